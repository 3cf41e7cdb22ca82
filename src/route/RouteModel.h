#pragma once

#include "route/RoadRouter.h"
#include "route/RoutePath.h"

#include <QObject>

// The route on screen: a recorded track (from a GPX file) followed by waypoints the user put on
// the map, joined by straight lines or, with "Follow roads", by the roads a routing service
// found. Lives on the GUI thread.
class RouteModel : public QObject
{
    Q_OBJECT
public:
    // Without a web client its road router makes its own.
    explicit RouteModel(const AppEnvironment &environment, QObject *parent = nullptr,
                        net::WebClient *web = nullptr);

    const QList<RoutePoint> &track() const { return track_; }
    const QList<CLLocationCoordinate2D> &waypoints() const { return waypoints_; }
    bool isEmpty() const { return track_.isEmpty() && waypoints_.isEmpty(); }
    // The whole path: the track's points (with their times), then the legs through the
    // waypoints (roads when found).
    const RoutePath &path() const { return path_; }
    QString name() const { return name_; }

    void addWaypoint(CLLocationCoordinate2D coordinate);
    void moveWaypoint(int index, CLLocationCoordinate2D coordinate);
    void removeLastWaypoint();
    void clear();
    // Replaces everything with a file's points, measured already: a track stays a track, a
    // few route points or waypoints become editable waypoints. What was there before can be
    // brought back until the next edit.
    void setFromFile(const QString &name, RoutePath path, bool isTrack);
    bool canUndoOpen() const { return replaced_.has_value(); }
    void undoOpen();

    void setFollowRoads(bool follow);
    bool followsRoads() const { return followRoads_; }
    void setProfile(road::Profile profile);

    // While a dot is dragged the roads are asked for only once it is dropped.
    void setDragging(bool dragging);

Q_SIGNALS:
    void changed();
    // "Could not find a road route: …", or empty once a route was found.
    void roadStatusChanged(const QString &line);

private:
    struct Snapshot
    {
        QList<RoutePoint> track;
        QList<CLLocationCoordinate2D> waypoints;
        QString name;
        RoutePath path; // measured, so a long track comes back at once
    };
    void routeAgain(bool measureFirst = true);
    void measure();
    void edited() { replaced_.reset(); }

    QList<RoutePoint> track_;
    QList<CLLocationCoordinate2D> waypoints_;
    QList<CLLocationCoordinate2D> roads_; // through the waypoints; empty: straight legs
    RoutePath path_; // measured once per change: a long track takes a while
    QString name_;
    std::optional<Snapshot> replaced_; // by the last file opened
    bool followRoads_ = false;
    bool dragging_ = false;
    road::Profile profile_ = road::Profile::Foot;
    RoadRouter *router_;
};
