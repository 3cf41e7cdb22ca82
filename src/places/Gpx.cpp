#include "places/Gpx.h"

#include <QXmlStreamReader>
#include <QXmlStreamWriter>
#include <array>
#include <charconv>
#include <cmath>

namespace gpx {
namespace {

// xsd:decimal has no exponent: the shortest plain decimal that reads back the same.
QString plainDecimal(double value)
{
    std::array<char, 400> buffer {};
    const auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                            std::chars_format::fixed);
    Q_UNUSED(error); // 400 characters hold every double in this form
    return QString::fromLatin1(buffer.data(), end - buffer.data());
}

std::optional<double> attribute(const QXmlStreamAttributes &attributes, const char *name,
                                double limit)
{
    const std::optional<double> value =
        coordinates::parseDegrees(attributes.value(QLatin1StringView(name)).toString().trimmed());
    if (!value || !(std::fabs(*value) <= limit))
        return std::nullopt;
    return value;
}

} // namespace

QByteArray writeWaypoints(const QList<SavedPlace> &places)
{
    QByteArray bytes;
    QXmlStreamWriter xml(&bytes);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("gpx"));
    xml.writeDefaultNamespace(QStringLiteral("http://www.topografix.com/GPX/1/1"));
    xml.writeAttribute(QStringLiteral("version"), QStringLiteral("1.1"));
    xml.writeAttribute(QStringLiteral("creator"), QStringLiteral("PinDrift " PINDRIFT_VERSION));
    for (const SavedPlace &place : places) {
        xml.writeStartElement(QStringLiteral("wpt"));
        xml.writeAttribute(QStringLiteral("lat"), plainDecimal(place.coordinate.latitude));
        xml.writeAttribute(QStringLiteral("lon"), plainDecimal(place.coordinate.longitude));
        xml.writeTextElement(QStringLiteral("name"), place.name);
        xml.writeEndElement();
    }
    xml.writeEndElement();
    xml.writeEndDocument();
    return bytes;
}

Waypoints readWaypoints(const QByteArray &bytes)
{
    Waypoints result;
    QXmlStreamReader xml(bytes);
    if (!xml.readNextStartElement() || xml.name() != QLatin1StringView("gpx")) {
        result.error = xml.hasError() ? xml.errorString() : QStringLiteral("not a GPX file");
        return result;
    }
    while (xml.readNextStartElement()) {
        if (xml.name() != QLatin1StringView("wpt")) {
            xml.skipCurrentElement(); // routes, tracks, metadata
            continue;
        }
        const std::optional<double> latitude = attribute(xml.attributes(), "lat", 90.0);
        const std::optional<double> longitude = attribute(xml.attributes(), "lon", 180.0);
        QString name;
        while (xml.readNextStartElement()) {
            if (xml.name() == QLatin1StringView("name"))
                name = xml.readElementText(QXmlStreamReader::IncludeChildElements).trimmed();
            else
                xml.skipCurrentElement();
        }
        if (!latitude || !longitude) {
            ++result.skipped;
            continue;
        }
        const CLLocationCoordinate2D coordinate {*latitude, *longitude};
        result.places.append({name.isEmpty() ? places::defaultName(coordinate) : name, coordinate});
    }
    if (xml.hasError()) {
        result.error = QStringLiteral("line %1: %2").arg(xml.lineNumber()).arg(xml.errorString());
        result.places.clear();
        result.skipped = 0;
    }
    return result;
}

} // namespace gpx
