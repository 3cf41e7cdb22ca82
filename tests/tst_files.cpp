// Files people have and files we write: GPX, KML and GeoJSON read through one model, GPX written
// valid and read back, files that are not files refused at once, and the window's open, drop,
// save and undo.
#include "FileProperties.h"
#include "MapTestSupport.h"
#include "ScreenSupport.h"
#include "formats/GeoFile.h"
#include "formats/Gpx.h"
#include "map/MapPane.h"
#include "map/MapView.h"
#include "places/SavedPlaces.h"
#include "route/RouteModel.h"
#include "route/RoutePanel.h"

#include <QApplication>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QFileDialog>
#include <QLabel>
#include <QMimeData>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStringEncoder>
#include <QTest>
#include <QTimeZone>
#include <QToolButton>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

QByteArray gpx11(const QByteArray &body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<gpx version=\"1.1\" creator=\"t\" xmlns=\"http://www.topografix.com/GPX/1/1\">\n"
        + body + "\n</gpx>\n";
}

QString point(CLLocationCoordinate2D at, const std::optional<QDateTime> &time = {})
{
    QString text =
        coordinates::formatDegrees(at.latitude) + u' ' + coordinates::formatDegrees(at.longitude);
    if (time)
        text += u'@'
            + (time->time().msec() ? QString::number(time->toMSecsSinceEpoch()) + u"ms"_s
                                   : QString::number(time->toSecsSinceEpoch()));
    return text;
}

// A document in one line: "track Walk: 1.0 2.0@1777629600 | waypoints: A=1.0 2.0 | bad 1: …".
QString describe(const formats::ReadResult &read)
{
    if (!read.document)
        return u"error: "_s + read.error;
    const formats::Document &d = *read.document;
    QStringList parts;
    const auto line = [](const QList<formats::TrackPoint> &points) {
        QStringList texts;
        for (const formats::TrackPoint &p : points)
            texts.append(point(p.coordinate, p.time));
        return texts.join(u", "_s);
    };
    if (!d.track.isEmpty())
        parts.append(u"track"_s + (d.trackName.isEmpty() ? u""_s : u' ' + d.trackName) + u": "_s
                     + line(d.track));
    if (!d.route.isEmpty())
        parts.append(u"route"_s + (d.routeName.isEmpty() ? u""_s : u' ' + d.routeName) + u": "_s
                     + line(d.route));
    QStringList waypoints;
    for (const formats::Waypoint &w : d.waypoints)
        waypoints.append(w.name + u'=' + point(w.coordinate));
    if (!waypoints.isEmpty())
        parts.append(u"waypoints: "_s + waypoints.join(u", "_s));
    if (d.badPointCount() > 0)
        parts.append(u"bad %1: "_s.arg(d.badPointCount()) + d.problems.first());
    return parts.join(u" | "_s);
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

// A track of `count` points due east from 48.85, 2.35, a second apart.
QByteArray trackFile(int count)
{
    QByteArray points;
    for (int i = 0; i < count; ++i)
        points += "<trkpt lat=\"48.85\" lon=\"" + QByteArray::number(2.35 + i * 1e-4, 'f', 6)
            + "\"><time>"
            + QDateTime::fromSecsSinceEpoch(1777593600 + i, QTimeZone::utc())
                  .toString(Qt::ISODate)
                  .toLatin1()
            + "</time></trkpt>\n";
    return gpx11("<trk><name>East</name><trkseg>\n" + points + "</trkseg></trk>");
}

} // namespace

class TestFiles : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { QVERIFY(dir_.isValid()); }

    void read_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("read");
        const auto row = [](const char *name, const QByteArray &content, const char *read) {
            QTest::newRow(name) << content << QString::fromUtf8(read);
        };
        const QByteArray wpt = "<wpt lat=\"1\" lon=\"2\"><name>Café €</name></wpt>";
        const auto encoded = [&wpt](const char *encoding, QStringConverter::Encoding as,
                                    QStringEncoder::Flags flags) {
            const QString text = u"<?xml version=\"1.0\" encoding=\""_s
                + QString::fromLatin1(encoding) + u"\"?>\n<gpx version=\"1.1\">"_s
                + QString::fromUtf8(wpt) + u"</gpx>"_s;
            QStringEncoder encoder(as, flags);
            return QByteArray(encoder.encode(text));
        };
        const auto bom = QStringEncoder::Flag::WriteBom;
        const auto timed = [](const char *time) {
            return gpx11("<trk><trkseg><trkpt lat=\"1\" lon=\"1\"><time>" + QByteArray(time)
                         + "</time></trkpt></trkseg></trk>");
        };
        // clang-format off
        row("GPX 1.1 without a namespace, as ride services export it",
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<gpx creator=\"Rides\" version=\"1.1\" xmlns:gpxtpx=\"http://www.garmin.com/xmlschemas/TrackPointExtension/v1\">\n"
            "<metadata><name>Morning Ride</name><time>2026-05-01T06:00:00Z</time></metadata>\n<trk><name>Morning Ride</name><type>1</type><trkseg>\n"
            "<trkpt lat=\"48.8566100\" lon=\"2.3522200\"><ele>35.2</ele><time>2026-05-01T06:00:00Z</time></trkpt>\n"
            "<trkpt lat=\"48.8567\" lon=\"2.3525\"><ele>35.4</ele><time>2026-05-01T06:00:01Z</time><extensions><gpxtpx:TrackPointExtension><gpxtpx:hr>120</gpxtpx:hr></gpxtpx:TrackPointExtension></extensions></trkpt>\n"
            "</trkseg></trk></gpx>\n",
            "track Morning Ride: 48.85661 2.35222@1777615200, 48.8567 2.3525@1777615201");
        row("GPX 1.0, a route and a waypoint",
            "<gpx version=\"1.0\" xmlns=\"http://www.topografix.com/GPX/1/0\"><wpt lat=\"1\" lon=\"2\"><name>Start</name></wpt><rte><name>Loop</name><rtept lat=\"1\" lon=\"2\"/><rtept lat=\"-3.5\" lon=\"4\"/></rte></gpx>",
            "route Loop: 1.0 2.0, -3.5 4.0 | waypoints: Start=1.0 2.0");
        row("segments joined, the track's points only", gpx11("<trk><trkseg><trkpt lat=\"1\" lon=\"2\"/></trkseg><x:trkpt xmlns:x=\"urn:x\" lat=\"9\" lon=\"9\"/><trkseg><trkpt lat=\"3\" lon=\"4\"><extensions><trkpt lat=\"5\" lon=\"5\"/></extensions></trkpt></trkseg></trk>"),
            "track: 1.0 2.0, 3.0 4.0");
        row("names exactly, a carriage return kept", gpx11("<wpt lat=\"1\" lon=\"2\"><name> A&#13;B <b>c</b></name></wpt>"), "waypoints:  A\rB c=1.0 2.0");
        row("UTF-8 with a byte-order mark", "\xEF\xBB\xBF" + gpx11(wpt), "waypoints: Café €=1.0 2.0");
        row("UTF-16 little-endian with a byte-order mark", encoded("UTF-16", QStringConverter::Utf16LE, bom), "waypoints: Café €=1.0 2.0");
        row("UTF-16 big-endian with a byte-order mark", encoded("UTF-16", QStringConverter::Utf16BE, bom), "waypoints: Café €=1.0 2.0");
        row("ISO-8859-1 declared", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><gpx><wpt lat=\"1\" lon=\"2\"><name>Caf\xE9</name></wpt></gpx>", "waypoints: Café=1.0 2.0");
        row("windows-1252 declared", "<?xml version=\"1.0\" encoding=\"windows-1252\"?><gpx><wpt lat=\"1\" lon=\"2\"><name>\x80 5</name></wpt></gpx>", "waypoints: € 5=1.0 2.0");
        row("a bad point among good ones", gpx11("<trk><trkseg><trkpt lat=\"1\" lon=\"1\"/>\n<trkpt lat=\"123.4\" lon=\"1\"/><trkpt lat=\"1\" lon=\"nan\"/></trkseg></trk>"), "track: 1.0 1.0 | bad 2: walk.gpx, line 4: latitude 123.4 is out of range");
        row("a comma decimal", gpx11("<wpt lat=\"40,5\" lon=\"1\"/>"), "bad 1: walk.gpx, line 3: latitude \"40,5\" is not a number");
        row("a longitude missing", gpx11("<wpt lat=\"1\"/>"), "bad 1: walk.gpx, line 3: longitude is missing");
        row("time with an offset", timed("2026-05-01T12:00:00+02:00"), "track: 1.0 1.0@1777629600");
        row("time without a zone, a fraction, a blank for the T", timed("2026-05-01 10:00:00.5"), "track: 1.0 1.0@1777629600500ms");
        row("time: a letter in the year", timed("2O26-05-01T10:00:00Z"), "bad 1: walk.gpx, line 3: time \"2O26-05-01T10:00:00Z\" is not a date and time");
        row("time: a year before 1", timed("-001-05-01T10:00:00Z"), "bad 1: walk.gpx, line 3: time \"-001-05-01T10:00:00Z\" is not a date and time");
        row("time: 30 February", timed("2026-02-30T10:00:00Z"), "bad 1: walk.gpx, line 3: time \"2026-02-30T10:00:00Z\" is not a date and time");
        row("time: hour 24", timed("2026-05-01T24:00:00Z"), "bad 1: walk.gpx, line 3: time \"2026-05-01T24:00:00Z\" is not a date and time");
        row("time: words", timed("yesterday"), "bad 1: walk.gpx, line 3: time \"yesterday\" is not a date and time");
        row("another namespace", gpx11("").replace("GPX/1/1", "GPX/2/0"), "error: walk.gpx, line 2: not a GPX 1.0 or 1.1 file");
        row("another version", "<gpx version=\"2.0\"/>", "error: walk.gpx, line 1: not a GPX 1.0 or 1.1 file");
        row("empty", "", "error: walk.gpx, line 1: Premature end of document.");
        row("not XML", "lat,lon\n1,2\n", "error: walk.gpx, line 1: Start tag expected.");
        row("other XML", "<svg/>", "error: walk.gpx, line 1: not a GPX, KML or GeoJSON file");
        row("cut short", gpx11("<trk><trkseg><trkpt lat=\"1\" lon=\"1\"/>").left(150), "error: walk.gpx, line 3: Premature end of document.");
        row("70,000 elements nested in a name", gpx11("<wpt lat=\"1\" lon=\"1\"><name>" + QByteArray("<a>").repeated(70000) + "x" + QByteArray("</a>").repeated(70000) + "</name></wpt>"),
            "error: walk.gpx, line 3: elements nested more than 256 deep");
        row("KML: a line and named points, the name before or after",
            "<kml xmlns=\"http://www.opengis.net/kml/2.2\"><Document><name>Day</name><Placemark><name>Path</name><LineString><coordinates>2.35,48.85,35 2.36,48.86\n  2.37,48.87</coordinates></LineString></Placemark>"
            "<Placemark><Point><coordinates> 2.29,48.858 </coordinates></Point><name>Tower</name></Placemark><Folder><Placemark><name>Cafe</name><Point><coordinates>2.3,48.8,0</coordinates></Point></Placemark></Folder></Document></kml>",
            "track Path: 48.85 2.35, 48.86 2.36, 48.87 2.37 | waypoints: Tower=48.858 2.29, Cafe=48.8 2.3");
        row("KML: gx:Track with its times",
            "<kml xmlns=\"http://www.opengis.net/kml/2.2\" xmlns:gx=\"http://www.google.com/kml/ext/2.2\"><Placemark><gx:Track><when>2026-05-01T10:00:00Z</when><when>2026-05-01T10:00:05Z</when>"
            "<gx:coord>2.35 48.85 35</gx:coord><gx:coord>2.36 48.86 35</gx:coord></gx:Track></Placemark></kml>",
            "track: 48.85 2.35@1777629600, 48.86 2.36@1777629605");
        row("KML: a bad tuple", "<kml><Placemark><LineString><coordinates>\n2.35,48.85 2.36;48.86 2.37,95</coordinates></LineString></Placemark></kml>",
            "track: 48.85 2.35 | bad 2: walk.gpx, line 1: \"2.36;48.86\" is not a longitude and latitude");
        row("GeoJSON: a line and named points",
            R"({"type":"FeatureCollection","features":[{"type":"Feature","properties":{"name":"Path"},"geometry":{"type":"LineString","coordinates":[[2.35,48.85],[2.36,48.86,35]]}},)"
            R"({"type":"Feature","properties":{"name":"Tower"},"geometry":{"type":"Point","coordinates":[2.29,48.858]}},{"type":"Feature","properties":null,"geometry":{"type":"Polygon","coordinates":[]}}]})",
            "track Path: 48.85 2.35, 48.86 2.36 | waypoints: Tower=48.858 2.29");
        row("GeoJSON: lines with their times",
            R"({"type":"Feature","properties":{"coordTimes":[["2026-05-01T10:00:00Z","2026-05-01T10:00:05Z"],["x"]]},"geometry":{"type":"MultiLineString","coordinates":[[[2.35,48.85],[2.36,48.86]],[[2.4,48.9],[2.5,49]]]}})",
            "track: 48.85 2.35@1777629600, 48.86 2.36@1777629605, 48.9 2.4, 49.0 2.5");
        row("GeoJSON: a position off the map", R"({"type":"LineString","coordinates":[[2.35,48.85],[2.36,95],["a",1]]})",
            "track: 48.85 2.35 | bad 2: walk.gpx, the geometry: the position 2.36, 95.0 is out of range");
        row("GeoJSON: not an object", "[1, 2]", "error: walk.gpx: not a GeoJSON file");
        row("GeoJSON: broken", "{\"type\": ", "error: walk.gpx, at byte 9: unterminated object");
        // clang-format on
    }

    void read()
    {
        QFETCH(QByteArray, content);
        QTEST(describe(formats::read(content, u"walk.gpx"_s)), "read");
    }

    // Degrees as plain decimals of at most 9 places, longitudes in [-180, 180), names and times
    // exactly; what is written reads back and writes again the same.
    void writeAndReadBack_data()
    {
        QTest::addColumn<double>("latitude");
        QTest::addColumn<double>("longitude");
        QTest::addColumn<QString>("written"); // lat lon as in the file
        // clang-format off
        QTest::newRow("tiny") << 1e-5 << -1e-4 << u"0.00001 -0.0001"_s;
        QTest::newRow("below a nanodegree") << 4e-10 << -4e-10 << u"0 0"_s;
        QTest::newRow("nine places") << -89.123456789123 << 123.9876543219 << u"-89.123456789 123.987654322"_s;
        QTest::newRow("sum of tenths") << 0.1 + 0.2 << -(0.1 + 0.2) << u"0.3 -0.3"_s;
        QTest::newRow("antimeridian") << 90.0 << 180.0 << u"90 -180"_s;
        QTest::newRow("rounds to the antimeridian") << -90.0 << 179.9999999996 << u"-90 -180"_s;
        QTest::newRow("just short of it") << 0.0 << 179.999999999 << u"0 179.999999999"_s;
        QTest::newRow("west end") << 1.0 << -180.0 << u"1 -180"_s;
        // clang-format on
    }

    void writeAndReadBack()
    {
        QFETCH(double, latitude);
        QFETCH(double, longitude);
        QFETCH(QString, written);
        formats::Document document;
        const QString name = u" A\rB\r\nC\t<&>\"\x01 東京 \U0001F5FC"_s;
        document.waypoints = {{name, {latitude, longitude}}};
        document.trackName = u"Walk\r"_s;
        const QDateTime time = QDateTime::fromMSecsSinceEpoch(1777629600123, QTimeZone::utc());
        document.track = {{{latitude, longitude}, time}, {{1, 2}, std::nullopt}};
        const QByteArray bytes = gpx::write(document);

        // What the schema asks, checked on the text.
        QVERIFY(bytes.contains("<gpx xmlns=\"http://www.topografix.com/GPX/1/1\" version=\"1.1\" "
                               "creator=\"PinDrift "));
        const QRegularExpression decimal(u"^-?[0-9]+(\\.[0-9]{1,9})?$"_s);
        const QRegularExpression attributes(u"lat=\"([^\"]*)\" lon=\"([^\"]*)\""_s);
        const QString text = QString::fromUtf8(bytes);
        QVERIFY(text.contains(u"lat=\"%1\" lon=\"%2\""_s.arg(written.section(u' ', 0, 0),
                                                             written.section(u' ', 1, 1))));
        for (auto match = attributes.globalMatch(text); match.hasNext();) {
            const QRegularExpressionMatch m = match.next();
            QVERIFY2(decimal.match(m.captured(1)).hasMatch(), qPrintable(m.captured(1)));
            QVERIFY2(decimal.match(m.captured(2)).hasMatch(), qPrintable(m.captured(2)));
            QVERIFY(std::fabs(m.captured(1).toDouble()) <= 90.0);
            QVERIFY(m.captured(2).toDouble() >= -180.0 && m.captured(2).toDouble() < 180.0);
        }
        QVERIFY(text.contains(u"<time>2026-05-01T10:00:00.123Z</time>"_s));
        QVERIFY(text.contains(u"<wpt lat"_s) && text.indexOf(u"<wpt"_s) < text.indexOf(u"<trk>"_s));

        const formats::ReadResult back = formats::read(bytes, u"back.gpx"_s);
        QVERIFY2(back.document, qPrintable(back.error));
        const CLLocationCoordinate2D expected {
            *coordinates::parseDegrees(written.section(u' ', 0, 0)),
            *coordinates::parseDegrees(written.section(u' ', 1, 1))};
        QCOMPARE(back.document->waypoints,
                 (QList<formats::Waypoint> {
                     {QString(name).replace(u'\x01', QChar::ReplacementCharacter), expected}}));
        QCOMPARE(back.document->trackName, u"Walk\r"_s);
        QCOMPARE(back.document->track.first(), (formats::TrackPoint {expected, time}));
        QCOMPARE(gpx::write(*back.document), bytes);
    }

    // Only regular files are opened, and at once: a pipe would block the reader for ever, a
    // device never end.
    void notFiles_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("error");
        QTest::newRow("pipe") << u"pipe"_s << u"walk.gpx: a pipe, not a file"_s;
        QTest::newRow("folder") << u"folder"_s << u"walk.gpx: a folder, not a file"_s;
        QTest::newRow("device") << u"device"_s << u"walk.gpx: a device, not a file"_s;
        QTest::newRow("dangling link")
            << u"dangling link"_s << u"walk.gpx: No such file or directory"_s;
        QTest::newRow("too large") << u"too large"_s << u"walk.gpx: larger than 200 MB"_s;
        QTest::newRow("GeoJSON too large")
            << u"GeoJSON too large"_s << u"walk.gpx: a GeoJSON file larger than 50 MB"_s;
    }

    void notFiles()
    {
        QFETCH(QString, kind);
        QFETCH(QString, error);
        const QString path = dir_.filePath(kind + u"/walk.gpx"_s);
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        const QByteArray name = QFile::encodeName(path);
        if (kind == u"pipe")
            QCOMPARE(::mkfifo(name.constData(), 0600), 0);
        else if (kind == u"folder")
            QVERIFY(QDir().mkpath(path));
        else if (kind == u"device")
            QVERIFY(QFile::link(u"/dev/zero"_s, path));
        else if (kind == u"dangling link")
            QVERIFY(QFile::link(dir_.filePath(u"nowhere"_s), path));
        else if (kind == u"too large" || kind == u"GeoJSON too large")
            QCOMPARE(::truncate(
                         (writeFile(path, kind == u"too large" ? "<gpx/>" : "{"), name.constData()),
                         kind == u"too large" ? formats::kMaxFileBytes + 1
                                              : formats::kMaxGeoJsonBytes + 1),
                     0);
        QCOMPARE(describe(formats::readFile(path)), u"error: "_s + error);
    }

    // A large file reports its progress as it is read, and stops when cancelled.
    void progressAndCancel()
    {
        const QString path = dir_.filePath(u"long.gpx"_s);
        writeFile(path, trackFile(60000)); // about 5 MB
        std::atomic<bool> cancel = false;
        QList<double> seen;
        formats::ReadControl control;
        control.progress = [&seen](double fraction) { seen.append(fraction); };
        const formats::ReadResult read = formats::readFile(path, control);
        QVERIFY(read.document);
        QCOMPARE(read.document->track.size(), 60000);
        QVERIFY(seen.size() > 10);
        QVERIFY(std::is_sorted(seen.cbegin(), seen.cend()));
        QCOMPARE(seen.last(), 1.0);

        control.cancel = &cancel;
        control.progress = [&cancel](double fraction) { cancel = fraction > 0.5; };
        const formats::ReadResult cancelled = formats::readFile(path, control);
        QVERIFY(cancelled.cancelled && !cancelled.document);
    }

    // A long track drawn from its coarser copies and only where the view shows it: still drawn
    // through the view at every zoom, turn and tilt.
    void aLongTrackIsDrawnWhereItRuns_data()
    {
        QTest::addColumn<double>("zoom");
        QTest::addColumn<double>("bearing");
        QTest::addColumn<double>("pitch");
        for (const double zoom : {4.0, 9.5, 13.0, 17.2})
            for (const auto &[bearing, pitch] : {std::pair {0.0, 0.0}, std::pair {35.0, 55.0}})
                QTest::addRow("zoom %g, bearing %g, pitch %g", zoom, bearing, pitch)
                    << zoom << bearing << pitch;
    }

    void aLongTrackIsDrawnWhereItRuns()
    {
        QFETCH(double, zoom);
        QFETCH(double, bearing);
        QFETCH(double, pitch);
        // 200,000 points over 60 km due east, wobbling by a metre; the view's centre on it.
        QList<CLLocationCoordinate2D> track;
        for (int i = 0; i < 200000; ++i)
            track.append({48.85 + (i % 3) * 1e-5, 2.0 + i * 4e-6});
        Map map({}, {400, 300});
        map.view.setRoute(track, {});
        QVERIFY(map.show({48.85001, 2.0 + 123457 * 4e-6}, zoom, bearing, pitch));
        const QImage image = map.view.grab().toImage();
        const QColor middle = image.pixelColor(image.width() / 2, image.height() / 2);
        QVERIFY2(middle.blue() > 200 && middle.red() < 100,
                 qPrintable(middle.name())); // the route's blue
    }

    // The fuzzers' seeds keep their properties in every build, not only under the fuzzer.
    void seedsKeepTheirProperties()
    {
        const QList<std::pair<const char *, std::optional<QString> (*)(const QByteArray &)>>
            checks {{"gpx", properties::checkGeoFile},
                    {"kml", properties::checkGeoFile},
                    {"geojson", properties::checkGeoFile},
                    {"places", properties::checkPlacesFile},
                    {"nominatim", properties::checkSearchAnswer},
                    {"osrm", properties::checkRouteAnswer},
                    {"goios", properties::checkGoIosOutput}};
        for (const auto &[corpus, check] : checks) {
            const QDir folder(QStringLiteral(PINDRIFT_SOURCE_DIR "/fuzz/corpus/")
                              + QString::fromLatin1(corpus));
            QVERIFY(!folder.entryList(QDir::Files).isEmpty());
            for (const QFileInfo &seed : folder.entryInfoList(QDir::Files)) {
                QFile file(seed.filePath());
                QVERIFY(file.open(QIODevice::ReadOnly));
                const std::optional<QString> problem = check(file.readAll());
                QVERIFY2(!problem,
                         qPrintable(seed.filePath() + u": "_s + problem.value_or(QString())));
            }
        }
    }

    // Open, drop, undo and save in the window: a route opened is shown whole at the map's
    // bearing and pitch; one that replaces a drawn route can be undone; a file that cannot be
    // read changes nothing; a save starts at the opened file and adds ".gpx".
    void windowOpensShowsAndSaves()
    {
        SimDeviceKit kit;
        ShownWindow w(kit, kit.temporaryFolder() + u"window.ini"_s);
        ContentView &content = *w.window.contentView();
        RouteModel &route = content.route();
        MapView *map = w.find<MapPane>("mapPane")->mapView();
        QSignalSpy opened(&content, &ContentView::routeOpened);
        const auto open = [&](const QString &path) {
            opened.clear();
            content.openRoute(path);
            return opened.wait(10000) && opened.first().first().toBool();
        };
        auto *status = w.find<QLabel>("routeStatus");
        auto *statusButton = w.find<QToolButton>("routeStatusButton");

        route.addWaypoint({40.0, -74.0});
        route.addWaypoint({40.1, -74.0});
        map->setCamera({0, 0}, 3, 30, 40);
        const QString kml = dir_.filePath(u"walk.kml"_s);
        writeFile(kml,
                  "<kml><Placemark><name>Seine</name><gx:Track xmlns:gx=\"urn:gx\">"
                  "<when>2026-05-01T10:00:00Z</when><when>2026-05-01T10:01:00Z</when>"
                  "<when>2026-05-01T10:01:30Z</when><gx:coord>2.29 48.85 0</gx:coord>"
                  "<gx:coord>2.35 48.86 0</gx:coord><gx:coord>2.37 48.84 0</gx:coord>"
                  "</gx:Track></Placemark></kml>");
        QVERIFY(open(kml));
        QCOMPARE(route.name(), u"Seine"_s);
        QCOMPARE(route.track().size(), 3);
        QCOMPARE(w.find<QComboBox>("paceCombo")->currentIndex(), int(RoutePanel::Recorded));
        // The camera moved to show all of it, still turned and tilted as it was.
        QCOMPARE(map->bearing(), 30.0);
        QCOMPARE(map->pitch(), 40.0);
        QVERIFY(map->zoom() > 10);
        for (const RoutePoint &p : route.track()) {
            const std::optional<QPointF> at = map->pointFor(p.coordinate);
            QVERIFY(at && map->rect().contains(at->toPoint()));
        }
        QCOMPARE(status->text(), u"Opened walk.kml in place of the route before."_s);
        QCOMPARE(statusButton->text(), u"Undo"_s);
        QTest::mouseClick(statusButton, Qt::LeftButton);
        QCOMPARE(route.waypoints(), (QList<CLLocationCoordinate2D> {{40.0, -74.0}, {40.1, -74.0}}));
        QVERIFY(route.track().isEmpty());
        QVERIFY(status->isHidden());

        // A file that cannot be read, and a pipe: a line, and the route as it was.
        const QString bad = dir_.filePath(u"bad.gpx"_s);
        writeFile(bad, gpx11("<trk><trkseg><trkpt lat=\"123.4\" lon=\"1\"/></trkseg></trk>"));
        QVERIFY(!open(bad));
        QCOMPARE(status->text(), u"bad.gpx, line 3: latitude 123.4 is out of range"_s);
        const QString pipe = dir_.filePath(u"pipe.gpx"_s);
        QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
        QVERIFY(!open(pipe));
        QCOMPARE(status->text(), u"pipe.gpx: a pipe, not a file"_s);
        QCOMPARE(route.waypoints().size(), 2);

        // Dropped GeoJSON opens; nothing drawn is replaced, so there is nothing to undo.
        route.clear();
        const QString geojson = dir_.filePath(u"two.geojson"_s);
        writeFile(geojson, R"({"type":"LineString","coordinates":[[2.35,48.85],[2.36,48.85]]})");
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(geojson)});
        QDragEnterEvent enter(QPoint(400, 300), Qt::CopyAction, &data, Qt::LeftButton, {});
        QApplication::sendEvent(&w.window, &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(400, 300), Qt::CopyAction, &data, Qt::LeftButton, {});
        opened.clear();
        QApplication::sendEvent(&w.window, &drop);
        QVERIFY(opened.wait(10000));
        QCOMPARE(route.track().size(), 2);
        QVERIFY(status->isHidden());

        // Save Route starts at the opened file, as GPX; a name without an extension gets one.
        route.addWaypoint({48.86, 2.37});
        QString started;
        QTimer::singleShot(0, this, [&started, this] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            started = dialog->selectedFiles().value(0);
            dialog->selectFile(dir_.filePath(u"mine"_s));
            QMetaObject::invokeMethod(dialog, "accept");
        });
        QSignalSpy saved(&content, &ContentView::routeSaved);
        w.find<QAction>("saveRouteAction")->trigger();
        QVERIFY(saved.wait(10000) && saved.first().first().toBool());
        QCOMPARE(started, dir_.filePath(u"two.gpx"_s));
        QCOMPARE(status->text(), u"Saved mine.gpx."_s);
        const formats::ReadResult back = formats::readFile(dir_.filePath(u"mine.gpx"_s));
        QVERIFY2(back.document, qPrintable(back.error));
        QCOMPARE(back.document->trackName, u"two"_s);
        QCOMPARE(back.document->track.size(), 3);
        QCOMPARE(content.routeFilePath(), dir_.filePath(u"mine.gpx"_s));

        // A place saved at a quick location takes its name; exported, it gets ".gpx" too.
        SavedPlaces &places = content.savedPlaces();
        QTRY_VERIFY(places.isLoaded());
        QTest::mouseClick(w.find("quickLocation1"), Qt::LeftButton);
        QTest::mouseClick(w.find("savePlaceButton"), Qt::LeftButton);
        QCOMPARE(places.places().last().name, u"London"_s);
        QTimer::singleShot(0, this, [this] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            dialog->selectFile(dir_.filePath(u"places"_s));
            QMetaObject::invokeMethod(dialog, "accept");
        });
        QSignalSpy exported(&places, &SavedPlaces::exportFinished);
        w.find<QAction>("exportPlacesAction")->trigger();
        QVERIFY(exported.wait(10000));
        QCOMPARE(formats::readFile(dir_.filePath(u"places.gpx"_s)).document->waypoints.last().name,
                 u"London"_s);
    }

private:
    QTemporaryDir dir_;
};

QTEST_MAIN(TestFiles)
#include "tst_files.moc"
