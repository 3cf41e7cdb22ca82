#pragma once

#include "formats/GeoData.h"

#include <QByteArray>

// GeoJSON (RFC 7946): Point and MultiPoint features are waypoints (named by their "name"
// property), LineString and MultiLineString features make the track, in file order, with the
// times of a "coordTimes" property where there is one for every point.
namespace geojson {

formats::ReadResult read(const QByteArray &bytes, const QString &fileName);

} // namespace geojson
