#include "route/RoutePath.h"

#include <GeographicLib/Geodesic.hpp>
#include <GeographicLib/GeodesicLine.hpp>
#include <algorithm>

namespace {

const GeographicLib::Geodesic &earth()
{
    return GeographicLib::Geodesic::WGS84();
}

} // namespace

RoutePath::RoutePath(QList<RoutePoint> points)
    : points_(std::move(points))
{
    distances_.reserve(static_cast<size_t>(points_.size()));
    double total = 0.0;
    for (qsizetype i = 0; i < points_.size(); ++i) {
        if (i > 0) {
            const CLLocationCoordinate2D &a = points_[i - 1].coordinate;
            const CLLocationCoordinate2D &b = points_[i].coordinate;
            double metres = 0.0;
            earth().Inverse(a.latitude, a.longitude, b.latitude, b.longitude, metres);
            total += metres;
        }
        distances_.push_back(total);
    }
    schedule_ = scheduleOf(points_);
}

CLLocationCoordinate2D RoutePath::positionAt(double metres) const
{
    if (points_.isEmpty())
        return {};
    if (!(metres > 0.0)) // also NaN
        return points_.first().coordinate;
    if (metres >= length())
        return points_.last().coordinate;
    // The leg that holds the distance: the last point at or before it starts the leg.
    const auto after = std::upper_bound(distances_.begin(), distances_.end(), metres);
    const auto start = static_cast<qsizetype>(after - distances_.begin()) - 1;
    const CLLocationCoordinate2D &a = points_[start].coordinate;
    const CLLocationCoordinate2D &b = points_[start + 1].coordinate;
    const GeographicLib::GeodesicLine leg =
        earth().InverseLine(a.latitude, a.longitude, b.latitude, b.longitude);
    CLLocationCoordinate2D at;
    leg.Position(metres - distances_[static_cast<size_t>(start)], at.latitude, at.longitude);
    return at;
}

std::optional<std::vector<double>> RoutePath::scheduleOf(const QList<RoutePoint> &points)
{
    if (points.isEmpty() || !points.first().time)
        return std::nullopt;
    std::vector<double> seconds;
    seconds.reserve(static_cast<size_t>(points.size()));
    const QDateTime &first = *points.first().time;
    for (const RoutePoint &point : points) {
        if (!point.time)
            return std::nullopt;
        const double at = static_cast<double>(first.msecsTo(*point.time)) / 1000.0;
        if (!seconds.empty() && at < seconds.back())
            return std::nullopt;
        seconds.push_back(at);
    }
    return seconds;
}
