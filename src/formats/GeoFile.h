#pragma once

#include "formats/GeoData.h"

#include <QByteArray>

class QIODevice;

// Reading GPX, KML and GeoJSON files, told apart by what they hold, and writing GPX.
namespace formats {

// Larger files are refused: a route or a list of places is far smaller.
inline constexpr qint64 kMaxFileBytes = 200LL * 1000 * 1000;
// GeoJSON is parsed whole, at several times its size in memory: a lower limit.
inline constexpr qint64 kMaxGeoJsonBytes = 50LL * 1000 * 1000;

// Reads what `device` holds; messages name `fileName`. An XML file whose root is "gpx" is
// GPX, "kml" KML; one that starts with "{" is GeoJSON.
ReadResult read(QIODevice &device, const QString &fileName, const ReadControl &control = {});
ReadResult read(const QByteArray &bytes, const QString &fileName);
// Only a regular file no larger than kMaxFileBytes is opened: a pipe, a device or a folder
// gets its line instead ("walk.gpx: a pipe, not a file"). Blocks its thread: never call it on
// the GUI thread.
ReadResult readFile(const QString &path, const ReadControl &control = {});

// The route files we open: .gpx, .kml, .geojson (and .json).
bool isRouteFile(const QString &path);
// The filter of an open dialog for them.
QString openFilter();

// Writes GPX 1.1 through the one atomic writer; the error, or nothing.
std::optional<QString> writeGpxFile(const QString &path, const Document &document);
// `path` with ".gpx" added when its name has no extension.
QString withGpxSuffix(const QString &path);

} // namespace formats
