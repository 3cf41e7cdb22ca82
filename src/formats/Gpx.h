#pragma once

#include "formats/GeoData.h"

#include <QByteArray>

class QIODevice;

namespace formats {
class XmlFeed;
}

// GPX 1.0 and 1.1, with or without their namespace.
namespace gpx {

inline const QString kNamespace10 = QStringLiteral("http://www.topografix.com/GPX/1/0");
inline const QString kNamespace11 = QStringLiteral("http://www.topografix.com/GPX/1/1");

// Reads the rest of a file whose root element (a "gpx") `feed` has just read. Messages name
// `fileName` and the line.
formats::ReadResult readAfterRoot(formats::XmlFeed &feed, const QString &fileName);

// GPX 1.1 that validates against the published schema: waypoints (with their names), then the
// route, then the track as one segment (with its name and times). Degrees as plain decimals of
// at most 9 places, longitudes within [-180, 180); names exactly as given, carriage returns
// included, but for the few characters XML cannot hold at all, which become U+FFFD.
QByteArray write(const formats::Document &document);

} // namespace gpx
