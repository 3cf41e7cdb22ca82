// Saved places: the panel's edits, the file they are kept in, and GPX import and export.
#include "ScreenSupport.h"
#include "TestSupport.h"
#include "places/Gpx.h"
#include "places/PlacesPanel.h"
#include "places/SavedPlaces.h"
#include "state/PinPlacement.h"
#include "state/ScreenModel.h"

#include <QDir>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>
#include <csignal>
#include <sys/resource.h>

using namespace Qt::StringLiterals;

namespace {

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

// The saved places after everything pending was written, as the next start reads them.
QList<SavedPlace> afterRestart(const QString &folder)
{
    dispatch::waitForBackgroundWork(10000);
    return SavedPlaces(folder).places();
}

const QList<SavedPlace> kPlaces {
    {u"Tour Eiffel <&> \"quoted\""_s, {48.8582599, 2.2945006}},
    {u"東京タワー"_s, {35.6585805, 139.7454329}},
    {u"Null Island nearby"_s, {1e-05, -0.0001}},
    {u"Edge"_s, {-90.0, 180.0}},
};

} // namespace

class TestPlaces : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { QVERIFY(dir_.isValid()); }

    void panelEditsSurviveARestart()
    {
        const QString folder = dir_.filePath(u"edits"_s);
        ScreenModel model;
        SavedPlaces places(folder);
        QList<CLLocationCoordinate2D> visited;
        PlacesPanel panel(
            places, model,
            [](CLLocationCoordinate2D pin) { return pin.latitude > 50 ? u"London"_s : QString(); },
            [&visited](CLLocationCoordinate2D place) { visited.append(place); });
        panel.show();
        QWidget *star = find(&panel, "savePlaceButton"), *undo = find(&panel, "undoDeleteButton");
        auto *list = find<QListWidget>(&panel, "placesList");
        for (const CLLocationCoordinate2D pin :
             {CLLocationCoordinate2D {48.8566, 2.3522}, CLLocationCoordinate2D {51.5, -0.12},
              CLLocationCoordinate2D {35.0, 139.0}}) {
            coordinates::placePin(model, false, pin);
            QVERIFY(star->isEnabled());
            QTest::mouseClick(star, Qt::LeftButton);
            QVERIFY(!star->isEnabled()); // this place is saved now
        }
        // Named by the lookup, else by the coordinates (the end of the test checks both).

        // Renamed in place.
        list->editItem(list->item(0));
        auto *editor = list->findChild<QLineEdit *>();
        QVERIFY(editor);
        editor->selectAll();
        QTest::keyClicks(editor, u"Paris"_s);
        QTest::keyClick(editor, Qt::Key_Return);
        QTRY_COMPARE(places.places().first().name, u"Paris"_s); // committed queued

        // Reordered (the offscreen platform runs no drag and drop): the list follows.
        places.move(2, 0);
        QCOMPARE(list->item(0)->text(), u"35.00000, 139.00000"_s);

        // Delete, then undo.
        list->setCurrentRow(1);
        QTest::keyClick(list, Qt::Key_Delete);
        QCOMPARE(list->count(), 2);
        QCOMPARE(find<QLabel>(&panel, "placesStatus")->text(), u"Deleted “Paris”."_s);
        QVERIFY(undo->isVisible());
        QTest::mouseClick(undo, Qt::LeftButton);
        QCOMPARE(list->item(1)->text(), u"Paris"_s);
        QVERIFY(!undo->isVisible());

        QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                          list->visualItemRect(list->item(1)).center());
        QCOMPARE(visited, (QList<CLLocationCoordinate2D> {{48.8566, 2.3522}}));

        const QList<SavedPlace> expected {{u"35.00000, 139.00000"_s, {35.0, 139.0}},
                                          {u"Paris"_s, {48.8566, 2.3522}},
                                          {u"London"_s, {51.5, -0.12}}};
        QCOMPARE(places.places(), expected);
        QCOMPARE(afterRestart(folder), expected);
    }

    void aDamagedFileIsKeptAside_data()
    {
        QTest::addColumn<QByteArray>("damaged");
        QTest::addColumn<int>("readable");
        const QByteArray good = places::toJson(kPlaces.mid(0, 2));
        // clang-format off
        QTest::newRow("not JSON") << QByteArray("\x89PNG\r\n\x1a\n garbage") << 0;
        QTest::newRow("cut short") << good.left(good.size() / 2) << 0;
        QTest::newRow("one entry out of range") << QByteArray(R"({"version":1,"places":[{"name":"A",)" R"("latitude":1,"longitude":2},{"name":"B","latitude":95,"longitude":2}]})") << 1;
        QTest::newRow("a version we do not know") << QByteArray(good).replace("\"version\": 1", "\"version\": 7") << 2;
        // clang-format on
    }

    void aDamagedFileIsKeptAside()
    {
        QFETCH(QByteArray, damaged);
        const QString folder = dir_.filePath(QString::fromLatin1(QTest::currentDataTag()));
        const QString path = folder + u"/places.json"_s;
        writeFile(path, damaged);

        ConsoleCapture console;
        SavedPlaces places(folder);
        QTEST(int(places.places().size()), "readable");
        const QStringList backups =
            QDir(folder).entryList({u"places.json.damaged-*"_s}, QDir::Files);
        QCOMPARE(backups.size(), 1);
        QCOMPARE(contents(folder + u'/' + backups.first()), damaged);
        QVERIFY(places.statusLine().contains(backups.first()));
        QCOMPARE(console.lines().size(), 1);

        // What could be read is a sound file again; the next start says nothing.
        const QList<SavedPlace> kept = places.places();
        dispatch::waitForBackgroundWork(10000);
        SavedPlaces next(folder);
        QCOMPARE(next.places(), kept);
        QVERIFY(next.statusLine().isEmpty());
    }

    void anInterruptedWriteLeavesTheOldFile()
    {
        const QString folder = dir_.filePath(u"interrupted"_s);
        const QString path = folder + u"/places.json"_s;
        SavedPlaces places(folder);
        places.add(kPlaces.first());
        dispatch::waitForBackgroundWork(10000);
        const QByteArray before = contents(path);
        QVERIFY(!before.isEmpty());

        // The disk fills up half-way through the next write.
        rlimit saved {};
        getrlimit(RLIMIT_FSIZE, &saved);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = saved;
        small.rlim_cur = static_cast<rlim_t>(before.size() / 2);
        setrlimit(RLIMIT_FSIZE, &small);
        places.add(kPlaces[1]);
        dispatch::waitForBackgroundWork(10000);
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);

        QTRY_VERIFY(places.statusLine().startsWith(u"Saved places could not be written: "_s));
        QCOMPARE(contents(path), before);
        QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList {u"places.json"_s});

        // The next change writes everything, the place the full disk missed included.
        places.add(kPlaces[2]);
        QTRY_VERIFY(places.statusLine().isEmpty());
        QCOMPARE(afterRestart(folder), kPlaces.mid(0, 3));
    }

    void gpxRoundTrip()
    {
        SavedPlaces source(dir_.filePath(u"gpx-source"_s));
        for (const SavedPlace &place : kPlaces)
            source.add(place);
        const QString file = dir_.filePath(u"places.gpx"_s);
        QSignalSpy exported(&source, &SavedPlaces::exportFinished);
        source.exportGpx(file);
        QVERIFY(exported.wait(10000));
        QCOMPARE(source.statusLine(), u"Exported 4 places to places.gpx."_s);

        SavedPlaces target(dir_.filePath(u"gpx-target"_s));
        target.add(kPlaces[1]); // already there: not imported twice
        QSignalSpy imported(&target, &SavedPlaces::importFinished);
        target.importGpx(file);
        QVERIFY(imported.wait(10000));
        QCOMPARE(target.statusLine(), u"Imported 3 places from places.gpx."_s);
        QCOMPARE(target.places(),
                 (QList<SavedPlace> {kPlaces[1], kPlaces[0], kPlaces[2], kPlaces[3]}));
    }

    void gpxFromElsewhere_data()
    {
        QTest::addColumn<QByteArray>("gpx");
        QTest::addColumn<int>("places"); // none: the file is an error
        QTest::addColumn<int>("skipped");
        const auto row = [](const char *name, const char *gpx, int places, int skipped) {
            QTest::newRow(name) << QByteArray(gpx) << places << skipped;
        };
        // clang-format off
        row("gpx 1.0, a track, a broken waypoint", "<?xml version='1.0'?><gpx version='1.0' xmlns='http://www.topografix.com/GPX/1/0'><wpt lat='1.5' lon='2.5'><ele>3</ele></wpt><wpt lat='1,5' lon='2'><name>comma</name></wpt><trk><trkseg><trkpt lat='4' lon='5'/></trkseg></trk><wpt lat=' 91' lon='0'/></gpx>", 1, 2);
        row("not XML", "lat,lon\n1,2\n", 0, 0);
        row("other XML", "<kml><Placemark/></kml>", 0, 0);
        row("cut short", "<gpx><wpt lat='1' lon='2'><name>a", 0, 0);
        // clang-format on
    }

    void gpxFromElsewhere()
    {
        QFETCH(QByteArray, gpx);
        QFETCH(int, places);
        const gpx::Waypoints read = gpx::readWaypoints(gpx);
        QCOMPARE(read.places.size(), places);
        QTEST(read.skipped, "skipped");
        QCOMPARE(!read.error.isEmpty(), places == 0);
        if (places)
            QCOMPARE(read.places.first(), (SavedPlace {u"1.50000, 2.50000"_s, {1.5, 2.5}}));
    }

private:
    QTemporaryDir dir_;
};

QTEST_MAIN(TestPlaces)
#include "tst_places.moc"
