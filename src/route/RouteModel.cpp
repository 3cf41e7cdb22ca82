#include "route/RouteModel.h"

RouteModel::RouteModel(const AppEnvironment &environment, QObject *parent, net::WebClient *web)
    : QObject(parent)
    , router_(new RoadRouter(environment, this, web))
{
    connect(router_, &RoadRouter::routed, this,
            [this](const QList<CLLocationCoordinate2D> &geometry) {
                if (!followRoads_)
                    return;
                roads_ = geometry;
                measure();
                Q_EMIT roadStatusChanged({});
                Q_EMIT changed();
            });
    connect(router_, &RoadRouter::failed, this, &RouteModel::roadStatusChanged);
}

void RouteModel::measure()
{
    QList<RoutePoint> points = track_;
    const QList<CLLocationCoordinate2D> &legs = roads_.isEmpty() ? waypoints_ : roads_;
    points.reserve(points.size() + legs.size());
    for (const CLLocationCoordinate2D &point : legs)
        points.append({point, std::nullopt});
    path_ = RoutePath(std::move(points));
}

void RouteModel::addWaypoint(CLLocationCoordinate2D coordinate)
{
    edited();
    waypoints_.append(coordinate);
    routeAgain();
}

void RouteModel::moveWaypoint(int index, CLLocationCoordinate2D coordinate)
{
    if (index < 0 || index >= waypoints_.size())
        return;
    edited();
    waypoints_[index] = coordinate;
    routeAgain();
}

void RouteModel::removeLastWaypoint()
{
    if (waypoints_.isEmpty())
        return;
    edited();
    waypoints_.removeLast();
    routeAgain();
}

void RouteModel::clear()
{
    edited();
    track_.clear();
    waypoints_.clear();
    name_.clear();
    routeAgain();
}

void RouteModel::setFromFile(const QString &name, RoutePath path, bool isTrack)
{
    replaced_.reset();
    if (!isEmpty())
        replaced_ = Snapshot {track_, waypoints_, name_, std::move(path_)};
    name_ = name;
    track_.clear();
    waypoints_.clear();
    if (!isTrack) {
        for (const RoutePoint &point : path.points())
            waypoints_.append(point.coordinate);
        routeAgain();
        return;
    }
    // Measured already, off the GUI thread: a long track takes a while.
    track_ = path.points();
    path_ = std::move(path);
    routeAgain(false);
}

void RouteModel::undoOpen()
{
    if (!replaced_)
        return;
    Snapshot before = *std::exchange(replaced_, std::nullopt);
    track_ = std::move(before.track);
    waypoints_ = std::move(before.waypoints);
    name_ = std::move(before.name);
    path_ = std::move(before.path);
    routeAgain(false);
}

void RouteModel::setFollowRoads(bool follow)
{
    if (follow == followRoads_)
        return;
    followRoads_ = follow;
    routeAgain();
}

void RouteModel::setProfile(road::Profile profile)
{
    if (profile == profile_)
        return;
    profile_ = profile;
    if (followRoads_)
        routeAgain();
}

void RouteModel::setDragging(bool dragging)
{
    dragging_ = dragging;
    if (!dragging)
        routeAgain();
}

void RouteModel::routeAgain(bool measureFirst)
{
    // The straight legs show at once; the roads replace them when they come.
    roads_.clear();
    if (measureFirst)
        measure();
    Q_EMIT changed();
    if (!followRoads_ || dragging_)
        return;
    QList<CLLocationCoordinate2D> through;
    if (!track_.isEmpty())
        through.append(track_.last().coordinate);
    through += waypoints_;
    if (through.size() >= 2)
        router_->route(through, profile_);
}
