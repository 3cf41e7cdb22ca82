#include "formats/GeoFile.h"

#include "formats/GeoJson.h"
#include "formats/Gpx.h"
#include "formats/Kml.h"
#include "formats/XmlFeed.h"
#include "platform/Files.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>

namespace formats {

namespace {

// The first character that is neither a blank nor a byte-order mark, in any of the encodings
// a file may start with.
char firstSign(QIODevice &device)
{
    const QByteArray start = device.peek(4096);
    for (char c : start) {
        if (c == '{' || c == '[' || c == '<')
            return c;
        const auto byte = static_cast<unsigned char>(c);
        // Blanks, a UTF-8 or UTF-16 byte-order mark, the zero bytes of UTF-16.
        if (!(c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == 0 || byte == 0xEF
              || byte == 0xBB || byte == 0xBF || byte == 0xFE || byte == 0xFF))
            return c;
    }
    return 0;
}

} // namespace

ReadResult read(QIODevice &device, const QString &fileName, const ReadControl &control)
{
    const char sign = firstSign(device);
    if (sign == '{' || sign == '[') {
        // GeoJSON is read whole: the JSON parser has no stream form.
        const QByteArray bytes = device.read(
            device.isSequential() ? kMaxGeoJsonBytes + 1
                                  : std::min(kMaxGeoJsonBytes + 1, device.bytesAvailable()));
        if (bytes.size() > kMaxGeoJsonBytes)
            return ReadResult::failure(fileName + QStringLiteral(": a GeoJSON file larger than ")
                                       + platform::sizeText(kMaxGeoJsonBytes));
        if (control.cancelled())
            return {std::nullopt, fileName + QStringLiteral(": cancelled"), true};
        return geojson::read(bytes, fileName);
    }
    XmlFeed feed(device, control);
    QXmlStreamReader::TokenType token = feed.next();
    while (token != QXmlStreamReader::StartElement && token != QXmlStreamReader::Invalid
           && token != QXmlStreamReader::EndDocument)
        token = feed.next();
    const QString where = fileName + QStringLiteral(", ") + feed.line() + QStringLiteral(": ");
    if (token != QXmlStreamReader::StartElement)
        return {std::nullopt, where + feed.error(), feed.cancelled()};
    const QStringView root = feed.xml().name();
    if (root == u"gpx")
        return gpx::readAfterRoot(feed, fileName);
    if (root == u"kml")
        return kml::readAfterRoot(feed, fileName);
    return ReadResult::failure(where + QStringLiteral("not a GPX, KML or GeoJSON file"));
}

ReadResult read(const QByteArray &bytes, const QString &fileName)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    return read(buffer, fileName);
}

ReadResult readFile(const QString &path, const ReadControl &control)
{
    const QString name = QFileInfo(path).fileName();
    const platform::OpenedFile opened = platform::openRegularFile(path, kMaxFileBytes);
    if (!opened.file)
        return ReadResult::failure(name + QStringLiteral(": ") + opened.error);
    return read(*opened.file, name, control);
}

bool isRouteFile(const QString &path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    return suffix == u"gpx" || suffix == u"kml" || suffix == u"geojson" || suffix == u"json";
}

QString openFilter()
{
    return QStringLiteral("GPS files (*.gpx *.kml *.geojson *.json);;GPX files (*.gpx);;"
                          "KML files (*.kml);;GeoJSON files (*.geojson *.json);;All files (*)");
}

std::optional<QString> writeGpxFile(const QString &path, const Document &document)
{
    return platform::writeFileAtomically(path, gpx::write(document));
}

QString withGpxSuffix(const QString &path)
{
    return QFileInfo(path).suffix().isEmpty() ? path + QStringLiteral(".gpx") : path;
}

} // namespace formats
