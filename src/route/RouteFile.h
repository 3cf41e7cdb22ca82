#pragma once

#include "formats/GeoData.h"
#include "route/RoutePath.h"

// Route files: read (GPX, KML, GeoJSON) and measured, or written as GPX.
namespace routefile {

// A file with more route points or waypoints than this is a track, not a list of stops.
inline constexpr qsizetype kMaxWaypoints = 100;

struct Opened
{
    QString name; // the file's name for it, else the file's base name
    RoutePath path; // measured
    bool isTrack = true; // false: a few stops, to edit as waypoints
    QString error; // "walk.gpx, line 12: latitude 123.4 is out of range"
    bool cancelled = false;
};

// The file's track, else its route, else its waypoints. A part with a point that cannot be read
// is refused, with the first such point named. `read` sees the points once they are read and
// before they are measured (to start other work on them meanwhile). Blocks its thread: never
// call it on the GUI thread.
Opened open(const QString &path, const formats::ReadControl &control = {},
            const std::function<void(const QList<RoutePoint> &points)> &read = {});

// GPX 1.1, one track of one segment, written atomically; the error, or nothing.
std::optional<QString> save(const QString &path, const QString &name,
                            const QList<RoutePoint> &points);

} // namespace routefile
