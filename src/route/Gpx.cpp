#include "route/Gpx.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTimeZone>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>
#include <cmath>

namespace gpx {

namespace {

const QString kNamespace11 = QStringLiteral("http://www.topografix.com/GPX/1/1");
const QString kNamespace10 = QStringLiteral("http://www.topografix.com/GPX/1/0");

class Reader
{
public:
    Reader(QIODevice &device, QString fileName)
        : xml_(&device)
        , fileName_(std::move(fileName))
    {
    }

    ReadResult run()
    {
        if (!xml_.readNextStartElement()) {
            return fail(xml_.hasError() ? xml_.errorString() : QStringLiteral("the file is empty"));
        }
        if (xml_.name() != u"gpx"
            || (xml_.namespaceUri() != kNamespace11 && xml_.namespaceUri() != kNamespace10))
            return fail(QStringLiteral("not a GPX 1.0 or 1.1 file"));
        namespace_ = xml_.namespaceUri().toString();

        QList<RoutePoint> track, route, waypoints;
        QString trackName, routeName;
        while (!failed() && xml_.readNextStartElement()) {
            if (!inOurNamespace()) {
                xml_.skipCurrentElement(); // extensions of other programs
            } else if (xml_.name() == u"trk") {
                readContainer(u"trkseg", u"trkpt", track, trackName);
            } else if (xml_.name() == u"rte") {
                readContainer(nullptr, u"rtept", route, routeName);
            } else if (xml_.name() == u"wpt") {
                readPoint(waypoints);
            } else {
                xml_.skipCurrentElement();
            }
        }
        if (failed())
            return {std::nullopt, error_};
        if (xml_.hasError())
            return fail(xml_.errorString());
        Document document;
        if (!track.isEmpty())
            document = {Document::Kind::Track, trackName, track};
        else if (!route.isEmpty())
            document = {Document::Kind::Route, routeName, route};
        else if (!waypoints.isEmpty())
            document = {Document::Kind::Waypoints, QString(), waypoints};
        else
            return fail(QStringLiteral("no track, route or waypoint in the file"));
        return {document, QString()};
    }

private:
    bool failed() const { return !error_.isEmpty(); }
    bool inOurNamespace() const { return xml_.namespaceUri() == namespace_; }

    ReadResult fail(const QString &message)
    {
        note(message);
        return {std::nullopt, error_};
    }

    void note(const QString &message)
    {
        if (error_.isEmpty())
            error_ = QStringLiteral("%1, line %2: %3")
                         .arg(fileName_)
                         .arg(xml_.lineNumber())
                         .arg(message);
    }

    // A <trk> (segments of points) or an <rte> (points), with an optional <name>.
    void readContainer(const char16_t *segment, const char16_t *point, QList<RoutePoint> &into,
                       QString &name)
    {
        while (!failed() && xml_.readNextStartElement()) {
            if (!inOurNamespace())
                xml_.skipCurrentElement();
            else if (xml_.name() == u"name" && name.isEmpty())
                name = xml_.readElementText().trimmed();
            else if (segment && xml_.name() == segment)
                readContainer(nullptr, point, into, name);
            else if (xml_.name() == point)
                readPoint(into);
            else
                xml_.skipCurrentElement();
        }
    }

    std::optional<double> degrees(const char *what, double limit)
    {
        const QStringView text = xml_.attributes().value(QLatin1StringView(what, 3));
        const auto word = [what] { return QString::fromLatin1(what); }; // for messages only
        if (text.isNull()) {
            note(word() + QStringLiteral(" is missing"));
            return std::nullopt;
        }
        const std::optional<double> value = coordinates::parseDegrees(text.trimmed().toString());
        if (!value || !std::isfinite(*value)) {
            note(QStringLiteral("%1 \"%2\" is not a number").arg(word(), text));
            return std::nullopt;
        }
        if (std::fabs(*value) > limit) {
            note(QStringLiteral("%1 %2 is out of range").arg(word(), text.trimmed()));
            return std::nullopt;
        }
        return value;
    }

    void readPoint(QList<RoutePoint> &into)
    {
        const std::optional<double> latitude = degrees("latitude", 90.0);
        const std::optional<double> longitude =
            latitude ? degrees("longitude", 180.0) : std::nullopt;
        if (!latitude || !longitude)
            return;
        RoutePoint point {{*latitude, *longitude}, std::nullopt};
        while (!failed() && xml_.readNextStartElement()) {
            if (inOurNamespace() && xml_.name() == u"time") {
                const QString text = xml_.readElementText().trimmed();
                if (const std::optional<QDateTime> utc = plainUtcTime(text)) {
                    point.time = *utc;
                    continue;
                }
                QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
                if (!time.isValid()) {
                    note(QStringLiteral("time \"%1\" is not a date and time").arg(text));
                    return;
                }
                if (time.timeSpec() == Qt::LocalTime) // no zone given: GPX times are UTC
                    time.setTimeZone(QTimeZone::utc());
                point.time = time.toUTC();
            } else {
                xml_.skipCurrentElement();
            }
        }
        into.append(point);
    }

    QXmlStreamReader xml_;
    const QString fileName_;
    QString namespace_;
    QString error_;
};

} // namespace

std::optional<QDateTime> plainUtcTime(QStringView text)
{
    // "2026-05-01T10:00:00Z" or with ".sss" before the Z: what nearly every recorder writes.
    if (text.size() != 20 && text.size() != 24)
        return std::nullopt;
    const auto digits = [&text](qsizetype from, qsizetype count) -> int {
        int value = 0;
        for (qsizetype i = from; i < from + count; ++i) {
            if (text[i] < u'0' || text[i] > u'9')
                return -1;
            value = value * 10 + (text[i].unicode() - u'0');
        }
        return value;
    };
    const bool fraction = text.size() == 24;
    if (text[4] != u'-' || text[7] != u'-' || text[10] != u'T' || text[13] != u':'
        || text[16] != u':' || (fraction && text[19] != u'.') || text.back() != u'Z')
        return std::nullopt;
    const QDate date(digits(0, 4), digits(5, 2), digits(8, 2));
    const int hour = digits(11, 2), minute = digits(14, 2), second = digits(17, 2);
    const int ms = fraction ? digits(20, 3) : 0;
    if (!date.isValid() || hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0
        || second > 59 || ms < 0)
        return std::nullopt;
    const qint64 msecs = (date.toJulianDay() - QDate(1970, 1, 1).toJulianDay()) * 86400000LL
        + ((hour * 60LL + minute) * 60 + second) * 1000 + ms;
    return QDateTime::fromMSecsSinceEpoch(msecs, Qt::UTC); // a spec, not a zone: no allocation
}

ReadResult read(QIODevice &device, const QString &fileName)
{
    return Reader(device, fileName).run();
}

ReadResult readFile(const QString &path)
{
    QFile file(path);
    const QString name = QFileInfo(path).fileName();
    if (!file.open(QIODevice::ReadOnly))
        return {std::nullopt, name + QStringLiteral(": ") + file.errorString()};
    return read(file, name);
}

std::optional<QString> writeFile(const QString &path, const QString &name,
                                 const QList<RoutePoint> &points)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    QXmlStreamWriter xml(&file);
    xml.setAutoFormatting(true);
    xml.setAutoFormattingIndent(1);
    xml.writeStartDocument();
    xml.writeDefaultNamespace(kNamespace11);
    xml.writeStartElement(kNamespace11, QStringLiteral("gpx"));
    xml.writeAttribute(QStringLiteral("version"), QStringLiteral("1.1"));
    xml.writeAttribute(QStringLiteral("creator"), QStringLiteral("PinDrift " PINDRIFT_VERSION));
    xml.writeStartElement(kNamespace11, QStringLiteral("trk"));
    if (!name.isEmpty())
        xml.writeTextElement(kNamespace11, QStringLiteral("name"), name);
    xml.writeStartElement(kNamespace11, QStringLiteral("trkseg"));
    for (const RoutePoint &point : points) {
        xml.writeStartElement(kNamespace11, QStringLiteral("trkpt"));
        xml.writeAttribute(QStringLiteral("lat"),
                           coordinates::formatDegrees(point.coordinate.latitude));
        xml.writeAttribute(QStringLiteral("lon"),
                           coordinates::formatDegrees(point.coordinate.longitude));
        if (point.time)
            xml.writeTextElement(kNamespace11, QStringLiteral("time"),
                                 point.time->toUTC().toString(Qt::ISODateWithMs));
        xml.writeEndElement();
    }
    xml.writeEndDocument();
    if (xml.hasError() || !file.commit())
        return file.errorString();
    return std::nullopt;
}

} // namespace gpx
