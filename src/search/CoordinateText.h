#pragma once

#include "coordinates/Coordinates.h"

#include <QString>

namespace search {

// What a text typed or pasted into the search field is: a place name for the geocoding
// service, a coordinate, or something that looks like a coordinate but cannot be read as one
// without guessing.
struct CoordinateText
{
    enum class Kind { PlaceName, Coordinate, Invalid };

    Kind kind = Kind::PlaceName;
    CLLocationCoordinate2D coordinate; // Kind::Coordinate
    QString message; // Kind::Invalid: what to tell the user
};

inline const QString kNoCoordinatesInLink = QStringLiteral("No coordinates found in this link.");

// Reads decimal pairs ("48.8566, 2.3522", "48.8566 2.3522", "48.8566; 2.3522"), degrees with
// minutes and seconds in symbols or letters ("48°51′24″N 2°21′08″E", "48 51 24 N, 2 21 8 E",
// "48d51m24sN 2d21m8sE", "N 48° 51.4′ E 2° 21.1′"), geo: URIs and web map links ("@lat,lon",
// q=, ll=, OpenStreetMap's mlat/mlon and #map=). Numbers are C-locale decimals; the ranges are
// those of the coordinate fields; blanks around the whole text do not count.
CoordinateText readCoordinateText(const QString &text);

} // namespace search
