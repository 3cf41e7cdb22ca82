#include "places/PlacesFile.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <cctype>
#include <cmath>
#include <optional>

namespace {

std::optional<SavedPlace> placeFrom(const QJsonObject &object)
{
    const QJsonValue name = object.value(QLatin1StringView("name"));
    const double latitude = object.value(QLatin1StringView("latitude")).toDouble(NAN);
    const double longitude = object.value(QLatin1StringView("longitude")).toDouble(NAN);
    if (!name.isString() || !(std::fabs(latitude) <= 90.0) || !(std::fabs(longitude) <= 180.0))
        return std::nullopt;
    return SavedPlace {name.toString(), {latitude, longitude}};
}

// The whole entries of a places file that is not JSON any more (cut short, overwritten in
// part): each object of the "places" list that parses on its own, up to the first that
// does not.
QList<SavedPlace> recoverEntries(const QByteArray &bytes)
{
    QList<SavedPlace> places;
    qsizetype at = bytes.indexOf("\"places\"");
    if (at < 0)
        return places;
    at += 8;
    const auto skipBlanks = [&bytes, &at] {
        while (at < bytes.size() && std::isspace(static_cast<unsigned char>(bytes[at])))
            ++at;
    };
    skipBlanks();
    if (at >= bytes.size() || bytes[at++] != ':')
        return places;
    skipBlanks();
    if (at >= bytes.size() || bytes[at++] != '[')
        return places;
    for (;;) {
        while (at < bytes.size()
               && (bytes[at] == ',' || std::isspace(static_cast<unsigned char>(bytes[at]))))
            ++at;
        if (at >= bytes.size() || bytes[at] != '{')
            return places;
        // The end of this object, strings and nesting considered.
        int depth = 0;
        bool inString = false;
        qsizetype end = at;
        for (; end < bytes.size(); ++end) {
            const char c = bytes[end];
            if (inString) {
                if (c == '\\')
                    ++end;
                else if (c == '"')
                    inString = false;
            } else if (c == '"') {
                inString = true;
            } else if (c == '{' || c == '[') {
                ++depth;
            } else if ((c == '}' || c == ']') && --depth == 0) {
                break;
            }
        }
        if (end >= bytes.size())
            return places; // cut short inside this entry
        const QJsonDocument entry = QJsonDocument::fromJson(bytes.mid(at, end + 1 - at));
        if (const std::optional<SavedPlace> place = placeFrom(entry.object()))
            places.append(*place);
        at = end + 1;
    }
}

struct PlaceKey
{
    const SavedPlace *place;
    friend bool operator==(const PlaceKey &a, const PlaceKey &b) { return *a.place == *b.place; }
    friend size_t qHash(const PlaceKey &key, size_t seed = 0)
    {
        // 0.0 and -0.0 are the same place.
        return qHashMulti(seed, key.place->name, key.place->coordinate.latitude + 0.0,
                          key.place->coordinate.longitude + 0.0);
    }
};

} // namespace

namespace places {

QString defaultName(CLLocationCoordinate2D coordinate)
{
    return QString::number(coordinate.latitude, 'f', 5) + QStringLiteral(", ")
        + QString::number(coordinate.longitude, 'f', 5);
}

QByteArray toJson(const QList<SavedPlace> &places)
{
    QJsonArray list;
    for (const SavedPlace &place : places) {
        list.append(QJsonObject {{QStringLiteral("name"), place.name},
                                 {QStringLiteral("latitude"), place.coordinate.latitude},
                                 {QStringLiteral("longitude"), place.coordinate.longitude}});
    }
    return QJsonDocument(
               QJsonObject {{QStringLiteral("version"), 1}, {QStringLiteral("places"), list}})
        .toJson(QJsonDocument::Indented);
}

JsonRead fromJson(const QByteArray &bytes)
{
    JsonRead read;
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError) {
        read.places = recoverEntries(bytes);
        return read;
    }
    const QJsonValue list = document.object().value(QLatin1StringView("places"));
    if (!list.isArray())
        return read;
    read.whole = document.object().value(QLatin1StringView("version")).toInt() == 1;
    const QJsonArray entries = list.toArray();
    read.places.reserve(entries.size());
    for (const QJsonValue &entry : entries) {
        if (const std::optional<SavedPlace> place = placeFrom(entry.toObject()))
            read.places.append(*place);
        else
            read.whole = false;
    }
    return read;
}

QList<SavedPlace> newPlaces(const QList<SavedPlace> &existing, const QList<SavedPlace> &imported)
{
    QSet<PlaceKey> seen;
    seen.reserve(existing.size() + imported.size());
    for (const SavedPlace &place : existing)
        seen.insert({&place});
    QList<SavedPlace> added;
    for (const SavedPlace &place : imported) {
        if (seen.contains({&place}))
            continue;
        seen.insert({&place});
        added.append(place);
    }
    return added;
}

} // namespace places
