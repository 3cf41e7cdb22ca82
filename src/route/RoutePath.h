#pragma once

#include "coordinates/Coordinates.h"
#include "formats/GeoData.h"

#include <QDateTime>
#include <QList>
#include <optional>
#include <vector>

// One point of a route: where, and when it was recorded (tracks from files carry times). The
// files' own type, so a long track is never copied point by point.
using RoutePoint = formats::TrackPoint;

// A path through its points along the shortest lines on the WGS84 ellipsoid, measured once so
// that a position along it is found in logarithmic time, whatever its length.
class RoutePath
{
public:
    RoutePath() = default;
    explicit RoutePath(QList<RoutePoint> points);

    const QList<RoutePoint> &points() const { return points_; }
    bool isEmpty() const { return points_.isEmpty(); }
    // In metres.
    double length() const { return distances_.empty() ? 0.0 : distances_.back(); }
    // From the first point to point `index`, in metres.
    double distanceTo(qsizetype index) const { return distances_[static_cast<size_t>(index)]; }
    // The point `metres` along the path; before the start and past the end, the end points.
    CLLocationCoordinate2D positionAt(double metres) const;
    // Seconds from the first point's time to each point's, when every point has a time and
    // none goes back; otherwise nothing.
    const std::optional<std::vector<double>> &recordedSchedule() const { return schedule_; }

private:
    static std::optional<std::vector<double>> scheduleOf(const QList<RoutePoint> &points);

    QList<RoutePoint> points_;
    std::vector<double> distances_; // cumulative, one per point
    std::optional<std::vector<double>> schedule_; // worked out once, with the distances
};
