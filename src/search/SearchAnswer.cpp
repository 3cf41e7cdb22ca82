#include "search/SearchAnswer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <array>
#include <cmath>

namespace search {
namespace {

constexpr qsizetype kResultLimit = 8;
// A single building's box would zoom in further than the tiles go.
constexpr double kSmallestViewMeters = 1000.0;

bool inRange(double latitude, double longitude)
{
    return std::fabs(latitude) <= 90.0 && std::fabs(longitude) <= 180.0;
}

// Nominatim writes its numbers as strings; a compatible service may not.
std::optional<double> degreesOf(const QJsonValue &value)
{
    if (value.isString())
        return coordinates::parseDegrees(value.toString());
    if (value.isDouble())
        return value.toDouble();
    return std::nullopt;
}

QString field(const QJsonObject &object, const char *key)
{
    return object.value(QLatin1StringView(key)).toString();
}

// [south, north, west, east]; a box across the antimeridian has its west edge east of its
// east edge.
std::optional<MapRegion> boundsOf(const QJsonValue &value)
{
    const QJsonArray box = value.toArray();
    if (box.size() != 4)
        return std::nullopt;
    std::array<double, 4> edges {};
    for (qsizetype i = 0; i < 4; ++i) {
        const std::optional<double> edge = degreesOf(box[i]);
        if (!edge)
            return std::nullopt;
        edges[static_cast<size_t>(i)] = *edge;
    }
    const auto [south, north, west, east] = edges;
    if (!(south <= north) || !inRange(south, west) || !inRange(north, east))
        return std::nullopt;
    const double width = east >= west ? east - west : east + 360.0 - west;
    double centre = west + width / 2.0;
    if (centre >= 180.0)
        centre -= 360.0;
    MapRegion region;
    region.center = {(south + north) / 2.0, centre};
    region.latitudeDelta = north - south;
    region.longitudeDelta = width;
    return region;
}

} // namespace

std::optional<QList<FoundPlace>> parseSearchAnswer(const QByteArray &body)
{
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isArray())
        return std::nullopt;
    QList<FoundPlace> places;
    const QJsonArray answers = document.array();
    for (const QJsonValue &answer : answers) {
        const QJsonObject object = answer.toObject();
        const std::optional<double> latitude = degreesOf(object.value(QLatin1StringView("lat")));
        const std::optional<double> longitude = degreesOf(object.value(QLatin1StringView("lon")));
        if (!latitude || !longitude || !inRange(*latitude, *longitude))
            continue;
        FoundPlace place;
        place.coordinate = {*latitude, *longitude};
        // "Eiffel Tower, 5, Avenue Anatole France, …, Paris, 75007, France"
        const QStringList parts = field(object, "display_name").split(u',', Qt::SkipEmptyParts);
        place.name = field(object, "name");
        if (place.name.isEmpty())
            place.name = parts.value(0).trimmed();
        // "city" says more than "administrative"; "attraction" more than "tourism".
        place.kind = field(object, "addresstype");
        if (place.kind.isEmpty() || place.kind == field(object, "category"))
            place.kind = field(object, "type");
        place.kind.replace(u'_', u' ');
        place.country = object.value(QLatin1StringView("address"))
                            .toObject()
                            .value(QLatin1StringView("country"))
                            .toString();
        if (place.country.isEmpty() && parts.size() > 1)
            place.country = parts.last().trimmed();
        // "5, Avenue Anatole France, Paris, 75007": two places of one name told apart.
        QStringList address;
        for (qsizetype i = 0; i < parts.size(); ++i) {
            const QString part = parts[i].trimmed();
            if ((i == 0 && part == place.name) || (i == parts.size() - 1 && part == place.country)
                || part.isEmpty())
                continue;
            address.append(part);
        }
        place.address = address.join(QStringLiteral(", "));
        place.bounds = boundsOf(object.value(QLatin1StringView("boundingbox")));
        places.append(place);
        if (places.size() == kResultLimit) // a service may not keep to the limit
            break;
    }
    return places;
}

MapRegion cameraRegion(const FoundPlace &place)
{
    if (!place.bounds)
        return coordinates::pinRegion(place.coordinate);
    MapRegion region = *place.bounds;
    const MapRegion smallest =
        MapRegion::withDistance(region.center, kSmallestViewMeters, kSmallestViewMeters);
    region.latitudeDelta = std::max(region.latitudeDelta, smallest.latitudeDelta);
    region.longitudeDelta = std::max(region.longitudeDelta, smallest.longitudeDelta);
    return region;
}

QByteArray acceptLanguage(const QLocale &locale)
{
    QStringList languages;
    const QStringList preferred = locale.uiLanguages();
    for (const QString &language : preferred) {
        if (language != QLatin1StringView("C") && !languages.contains(language))
            languages.append(language);
    }
    if (languages.isEmpty())
        languages.append(QStringLiteral("en"));
    return languages.join(QStringLiteral(", ")).toLatin1();
}

QString noPlaceFoundLine(const QString &query)
{
    return QStringLiteral("No place found for “%1”").arg(query);
}

} // namespace search
