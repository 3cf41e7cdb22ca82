#pragma once

#include "formats/GeoData.h"

namespace formats {
class XmlFeed;
}

// KML (2.2 and Google Earth's extensions): Placemarks with a Point are waypoints, their
// LineStrings and gx:Tracks (with their times) make the track, in file order.
namespace kml {

// Reads the rest of a file whose root element (a "kml") `feed` has just read.
formats::ReadResult readAfterRoot(formats::XmlFeed &feed, const QString &fileName);

} // namespace kml
