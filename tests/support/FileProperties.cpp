#include "FileProperties.h"

#include "formats/GeoFile.h"
#include "formats/Gpx.h"
#include "places/PlacesFile.h"
#include "route/RoadAnswer.h"
#include "search/SearchAnswer.h"
#include "tools/GoIos.h"

#include <cmath>

namespace properties {

namespace {

bool real(CLLocationCoordinate2D at)
{
    return std::isfinite(at.latitude) && std::isfinite(at.longitude)
        && std::fabs(at.latitude) <= 90.0 && std::fabs(at.longitude) <= 180.0;
}

std::optional<QString> pointsAreReal(const formats::Document &document)
{
    for (const QList<formats::TrackPoint> *line : {&document.track, &document.route})
        for (const formats::TrackPoint &point : *line)
            if (!real(point.coordinate) || (point.time && !point.time->isValid()))
                return QStringLiteral("a point off the map or a time that is not one");
    for (const formats::Waypoint &waypoint : document.waypoints)
        if (!real(waypoint.coordinate))
            return QStringLiteral("a waypoint off the map");
    if (document.problems.size() > document.badPointCount())
        return QStringLiteral("more problems than bad points");
    return std::nullopt;
}

} // namespace

std::optional<QString> checkGeoFile(const QByteArray &bytes)
{
    const formats::ReadResult read = formats::read(bytes, QStringLiteral("fuzz"));
    if (!read.document)
        return read.error.isEmpty() ? std::optional(QStringLiteral("no document and no error"))
                                    : std::nullopt;
    if (std::optional<QString> problem = pointsAreReal(*read.document))
        return problem;
    const QByteArray written = gpx::write(*read.document);
    const formats::ReadResult back = formats::read(written, QStringLiteral("back"));
    if (!back.document)
        return QStringLiteral("what it wrote does not read: ") + back.error;
    if (back.document->badPointCount() > 0)
        return QStringLiteral("what it wrote has a bad point: ") + back.document->problems.first();
    if (back.document->track.size() != read.document->track.size()
        || back.document->route.size() != read.document->route.size()
        || back.document->waypoints.size() != read.document->waypoints.size())
        return QStringLiteral("what it wrote reads back with other points");
    if (gpx::write(*back.document) != written)
        return QStringLiteral("what it wrote reads back differently");
    return std::nullopt;
}

std::optional<QString> checkPlacesFile(const QByteArray &bytes)
{
    const places::JsonRead read = places::fromJson(bytes);
    for (const SavedPlace &place : read.places)
        if (!real(place.coordinate))
            return QStringLiteral("a place off the map");
    const places::JsonRead back = places::fromJson(places::toJson(read.places));
    if (!back.whole || back.places.size() != read.places.size())
        return QStringLiteral("what it wrote does not read back whole");
    for (qsizetype i = 0; i < read.places.size(); ++i)
        if (!(back.places[i].coordinate == read.places[i].coordinate)
            || back.places[i].name.toUtf8() != read.places[i].name.toUtf8())
            return QStringLiteral("place %1 reads back differently").arg(i);
    return std::nullopt;
}

std::optional<QString> checkSearchAnswer(const QByteArray &body)
{
    const std::optional<QList<search::FoundPlace>> places = search::parseSearchAnswer(body);
    if (!places)
        return std::nullopt;
    if (places->size() > 8)
        return QStringLiteral("more than eight places");
    for (const search::FoundPlace &place : *places) {
        if (!real(place.coordinate))
            return QStringLiteral("a place off the map");
        const MapRegion region = search::cameraRegion(place);
        if (!real(region.center) || !(region.latitudeDelta > 0.0) || !(region.longitudeDelta > 0.0)
            || !(region.longitudeDelta <= 360.0) || !std::isfinite(region.latitudeDelta))
            return QStringLiteral("a camera region of no real size");
    }
    return std::nullopt;
}

std::optional<QString> checkRouteAnswer(const QByteArray &body)
{
    const road::Answer answer = road::parseRouteAnswer(body);
    if ((answer.geometry.size() >= 2) == !answer.error.isEmpty())
        return QStringLiteral("a line and a reason, or neither");
    for (const CLLocationCoordinate2D &point : answer.geometry)
        if (!real(point))
            return QStringLiteral("a point off the map");
    return std::nullopt;
}

std::optional<QString> checkGoIosOutput(const QByteArray &output)
{
    const std::optional<QString> error = goios::lastError(output);
    if (!error)
        return std::nullopt;
    for (const QByteArray &line : output.split('\n'))
        if (goios::consoleText(line) == QStringLiteral("❌ go-ios: ") + *error)
            return std::nullopt;
    return QStringLiteral("an error no line shows");
}

} // namespace properties
