#pragma once

#include "coordinates/Coordinates.h"

#include <QByteArray>
#include <QList>
#include <QLocale>
#include <optional>

namespace search {

// One answer of the geocoding service.
struct FoundPlace
{
    QString name;
    QString kind; // "attraction", "city", …
    QString country;
    QString address; // what the service says between the name and the country
    CLLocationCoordinate2D coordinate;
    std::optional<MapRegion> bounds;
};

// A Nominatim jsonv2 answer: the places with a usable position, or absent when the body is not
// a JSON array.
std::optional<QList<FoundPlace>> parseSearchAnswer(const QByteArray &body);

// Where the camera goes for a place: its bounding box, never tighter than about a kilometre;
// the usual region around the point when there is no box.
MapRegion cameraRegion(const FoundPlace &place);

// The Accept-Language the service receives: the user's languages, most preferred first.
QByteArray acceptLanguage(const QLocale &locale);

inline const QString kSearchFailedPrefix = QStringLiteral("Search failed: "); // the console's
inline const QString kServiceName = QStringLiteral("place search service");
QString noPlaceFoundLine(const QString &query);

} // namespace search
