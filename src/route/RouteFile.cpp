#include "route/RouteFile.h"

#include "formats/GeoFile.h"

#include <QFileInfo>

namespace routefile {

Opened open(const QString &path, const formats::ReadControl &control,
            const std::function<void(const QList<RoutePoint> &points)> &read)
{
    Opened opened;
    formats::ReadResult file = formats::readFile(path, control);
    if (!file.document) {
        opened.error = file.error;
        opened.cancelled = file.cancelled;
        return opened;
    }
    formats::Document &document = *file.document;
    using formats::Part;
    const auto has = [&document](Part part, qsizetype points) {
        return points > 0 || document.badPointsIn(part) > 0;
    };
    Part part = Part::Waypoints;
    if (has(Part::Track, document.track.size()))
        part = Part::Track;
    else if (has(Part::Route, document.route.size()))
        part = Part::Route;
    if (document.badPointsIn(part) > 0) {
        opened.error = document.firstBadPoint[static_cast<size_t>(part)];
        return opened;
    }
    QList<RoutePoint> points;
    switch (part) {
    case Part::Track:
        points = std::move(document.track);
        opened.name = document.trackName;
        break;
    case Part::Route:
        points = std::move(document.route);
        opened.name = document.routeName;
        break;
    case Part::Waypoints:
        points.reserve(document.waypoints.size());
        for (const formats::Waypoint &waypoint : std::as_const(document.waypoints))
            points.append({waypoint.coordinate, std::nullopt});
        break;
    }
    if (points.isEmpty()) {
        opened.error =
            QFileInfo(path).fileName() + QStringLiteral(": no track, route or waypoint in it");
        return opened;
    }
    opened.name = opened.name.simplified();
    if (opened.name.isEmpty())
        opened.name = QFileInfo(path).completeBaseName();
    opened.isTrack = part == Part::Track || points.size() > kMaxWaypoints;
    if (control.cancelled()) {
        opened.cancelled = true;
        return opened;
    }
    if (read)
        read(points);
    opened.path = RoutePath(std::move(points));
    return opened;
}

std::optional<QString> save(const QString &path, const QString &name,
                            const QList<RoutePoint> &points)
{
    formats::Document document;
    document.trackName = name;
    document.track = points;
    return formats::writeGpxFile(path, document);
}

} // namespace routefile
