#include "formats/Gpx.h"

#include "formats/XmlFeed.h"

#include <QXmlStreamWriter>
#include <charconv>
#include <cmath>

namespace gpx {

using formats::Document;
using formats::Part;
using formats::XmlFeed;

namespace {

// A number as strtod reads it; plain decimals (nearly all) without a copy.
std::optional<double> number(QStringView text)
{
    std::array<char, 48> ascii {};
    if (text.size() < static_cast<qsizetype>(ascii.size())) {
        bool plain = true;
        for (qsizetype i = 0; plain && i < text.size(); ++i) {
            const char16_t c = text[i].unicode();
            plain = (c >= u'0' && c <= u'9') || c == u'.' || c == u'-';
            ascii[static_cast<size_t>(i)] = static_cast<char>(c);
        }
        double value = 0;
        const char *end = ascii.data() + text.size();
        if (plain) {
            const auto [stop, error] = std::from_chars(ascii.data(), end, value);
            if (error == std::errc() && stop == end)
                return value;
        }
    }
    return coordinates::parseDegrees(text.toString());
}

// What an open element is to us; everything else is Other and only walked through.
enum class Node { Other, Gpx, Metadata, Track, Segment, Route, Point, Name, Time };

class Reader
{
public:
    Reader(XmlFeed &feed, QString fileName)
        : feed_(feed)
        , xml_(feed.xml())
        , fileName_(std::move(fileName))
    {
    }

    formats::ReadResult run()
    {
        const QString ns = xml_.namespaceUri().toString();
        const QStringView version = xml_.attributes().value(QLatin1StringView("version"));
        if ((!ns.isEmpty() && ns != kNamespace10 && ns != kNamespace11)
            || (!version.isNull() && version != u"1.0" && version != u"1.1"))
            return fail(QStringLiteral("not a GPX 1.0 or 1.1 file"));
        namespace_ = ns;
        nodes_.append(Node::Gpx);
        while (!nodes_.isEmpty()) {
            switch (feed_.next()) {
            case QXmlStreamReader::StartElement:
                start();
                break;
            case QXmlStreamReader::EndElement:
                end();
                break;
            case QXmlStreamReader::Characters:
                if (inText_)
                    text_ += xml_.text();
                break;
            case QXmlStreamReader::Invalid:
                return {std::nullopt, message(feed_.error()), feed_.cancelled()};
            default:
                break;
            }
        }
        return {std::move(document_), QString(), false};
    }

private:
    QString message(const QString &what) const
    {
        return fileName_ + QStringLiteral(", ") + feed_.line() + QStringLiteral(": ") + what;
    }
    formats::ReadResult fail(const QString &what) const
    {
        return formats::ReadResult::failure(message(what));
    }

    Node childOf(Node parent) const
    {
        if (xml_.namespaceUri() != namespace_)
            return Node::Other; // other programs' extensions
        const QStringView name = xml_.name();
        switch (parent) {
        case Node::Gpx:
            return name == u"trk"     ? Node::Track
                : name == u"rte"      ? Node::Route
                : name == u"wpt"      ? Node::Point
                : name == u"metadata" ? Node::Metadata
                                      : Node::Other;
        case Node::Metadata:
            return Node::Other;
        case Node::Track:
            return name == u"name" ? Node::Name : name == u"trkseg" ? Node::Segment : Node::Other;
        case Node::Segment:
            return name == u"trkpt" ? Node::Point : Node::Other;
        case Node::Route:
            return name == u"name" ? Node::Name : name == u"rtept" ? Node::Point : Node::Other;
        case Node::Point:
            return name == u"name" ? Node::Name : name == u"time" ? Node::Time : Node::Other;
        default:
            return Node::Other;
        }
    }

    void start()
    {
        const Node parent = nodes_.last();
        const Node node = childOf(parent);
        nodes_.append(node);
        if (node == Node::Name || node == Node::Time) {
            inText_ = true;
            text_.resize(0); // keeps its room
            textLine_ = xml_.lineNumber();
        } else if (node == Node::Track || node == Node::Route) {
            named_ = false;
        } else if (node == Node::Point) {
            startPoint(parent == Node::Gpx         ? Part::Waypoints
                           : parent == Node::Route ? Part::Route
                                                   : Part::Track);
        }
    }

    void end()
    {
        const Node node = nodes_.takeLast();
        if (node == Node::Name || node == Node::Time) {
            inText_ = false;
            const Node owner = nodes_.last();
            if (node == Node::Time)
                readTime();
            else if (owner == Node::Point)
                pointName_ = text_;
            else if (!named_)
                nameContainer(owner);
        } else if (node == Node::Point) {
            endPoint();
        }
    }

    void nameContainer(Node owner)
    {
        named_ = true;
        QString &name = owner == Node::Track ? document_.trackName : document_.routeName;
        if (name.isEmpty())
            name = text_;
    }

    void readTime()
    {
        pointTime_ = formats::readTime(text_);
        if (!pointTime_ && pointError_.isEmpty()) {
            pointError_ = QStringLiteral("time \"%1\" is not a date and time").arg(text_.trimmed());
            pointLine_ = textLine_;
        }
    }

    std::optional<double> degrees(const QXmlStreamAttributes &attributes, const char *attribute,
                                  const char *word, double limit)
    {
        const QStringView text = attributes.value(QLatin1StringView(attribute));
        const QLatin1StringView what(word);
        if (text.isNull()) {
            pointError_ = what + QStringLiteral(" is missing");
            return std::nullopt;
        }
        const std::optional<double> value = number(text.trimmed());
        if (!value || !std::isfinite(*value)) {
            pointError_ = QStringLiteral("%1 \"%2\" is not a number").arg(what, text);
            return std::nullopt;
        }
        if (std::fabs(*value) > limit) {
            pointError_ = QStringLiteral("%1 %2 is out of range").arg(what, text.trimmed());
            return std::nullopt;
        }
        return value;
    }

    void startPoint(Part part)
    {
        part_ = part;
        pointError_.clear();
        pointLine_ = xml_.lineNumber();
        pointName_.clear();
        pointTime_.reset();
        const QXmlStreamAttributes attributes = xml_.attributes();
        const std::optional<double> latitude = degrees(attributes, "lat", "latitude", 90.0);
        const std::optional<double> longitude =
            latitude ? degrees(attributes, "lon", "longitude", 180.0) : std::nullopt;
        if (latitude && longitude)
            point_ = {*latitude, *longitude};
    }

    void endPoint()
    {
        if (!pointError_.isEmpty()) {
            document_.addBadPoint(
                part_,
                QStringLiteral("%1, line %2: %3").arg(fileName_).arg(pointLine_).arg(pointError_));
            return;
        }
        if (part_ == Part::Waypoints)
            document_.waypoints.append({pointName_, point_});
        else
            (part_ == Part::Track ? document_.track : document_.route).append({point_, pointTime_});
    }

    XmlFeed &feed_;
    QXmlStreamReader &xml_;
    const QString fileName_;
    QString namespace_;
    QList<Node> nodes_;
    Document document_;
    bool inText_ = false;
    QString text_;
    qint64 textLine_ = 0;
    bool named_ = false;
    Part part_ = Part::Track;
    CLLocationCoordinate2D point_;
    QString pointError_;
    qint64 pointLine_ = 0;
    QString pointName_;
    std::optional<QDateTime> pointTime_;
};

// Characters XML 1.0 cannot hold, even escaped, become U+FFFD.
QString xmlSafe(const QString &text)
{
    QString safe;
    safe.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        const char16_t u = c.unicode();
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            safe += c;
            safe += text[++i];
        } else if (c.isSurrogate() || u == 0xFFFE || u == 0xFFFF
                   || (u < 0x20 && u != u'\t' && u != u'\n' && u != u'\r')) {
            safe += QChar::ReplacementCharacter;
        } else {
            safe += c;
        }
    }
    return safe;
}

// A reader turns a written carriage return into a line feed: it goes as a character
// reference instead.
void writeTextElement(QXmlStreamWriter &xml, const QString &name, const QString &text)
{
    xml.writeStartElement(kNamespace11, name);
    const QStringList pieces = xmlSafe(text).split(u'\r');
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        if (i > 0)
            xml.writeEntityReference(QStringLiteral("#xD"));
        if (!pieces[i].isEmpty())
            xml.writeCharacters(pieces[i]);
    }
    xml.writeEndElement();
}

void writePoint(QXmlStreamWriter &xml, const QString &element, CLLocationCoordinate2D at,
                const std::optional<QDateTime> &time, const QString *name)
{
    xml.writeStartElement(kNamespace11, element);
    xml.writeAttribute(QStringLiteral("lat"), formats::plainDecimal(at.latitude));
    xml.writeAttribute(QStringLiteral("lon"), formats::plainLongitude(at.longitude));
    // The schema's order: time before name.
    if (time)
        if (const std::optional<QString> text = formats::writeTime(*time))
            xml.writeTextElement(kNamespace11, QStringLiteral("time"), *text);
    if (name)
        writeTextElement(xml, QStringLiteral("name"), *name);
    xml.writeEndElement();
}

} // namespace

formats::ReadResult readAfterRoot(XmlFeed &feed, const QString &fileName)
{
    return Reader(feed, fileName).run();
}

QByteArray write(const Document &document)
{
    QByteArray bytes;
    QXmlStreamWriter xml(&bytes);
    xml.setAutoFormatting(true);
    xml.setAutoFormattingIndent(1);
    xml.writeStartDocument();
    xml.writeDefaultNamespace(kNamespace11);
    xml.writeStartElement(kNamespace11, QStringLiteral("gpx"));
    xml.writeAttribute(QStringLiteral("version"), QStringLiteral("1.1"));
    xml.writeAttribute(QStringLiteral("creator"), QStringLiteral("PinDrift " PINDRIFT_VERSION));
    for (const formats::Waypoint &waypoint : document.waypoints)
        writePoint(xml, QStringLiteral("wpt"), waypoint.coordinate, std::nullopt, &waypoint.name);
    if (!document.route.isEmpty()) {
        xml.writeStartElement(kNamespace11, QStringLiteral("rte"));
        if (!document.routeName.isEmpty())
            writeTextElement(xml, QStringLiteral("name"), document.routeName);
        for (const formats::TrackPoint &point : document.route)
            writePoint(xml, QStringLiteral("rtept"), point.coordinate, point.time, nullptr);
        xml.writeEndElement();
    }
    if (!document.track.isEmpty()) {
        xml.writeStartElement(kNamespace11, QStringLiteral("trk"));
        if (!document.trackName.isEmpty())
            writeTextElement(xml, QStringLiteral("name"), document.trackName);
        xml.writeStartElement(kNamespace11, QStringLiteral("trkseg"));
        for (const formats::TrackPoint &point : document.track)
            writePoint(xml, QStringLiteral("trkpt"), point.coordinate, point.time, nullptr);
        xml.writeEndElement();
        xml.writeEndElement();
    }
    xml.writeEndDocument();
    return bytes;
}

} // namespace gpx
