// Saved places: the panel's edits, the file they are kept in, and GPX import and export.
#include "ScreenSupport.h"
#include "TestSupport.h"
#include "places/PlacesPanel.h"
#include "places/SavedPlaces.h"
#include "state/PinPlacement.h"
#include "state/ScreenModel.h"

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QAbstractItemView>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

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

bool loaded(const SavedPlaces &places)
{
    return QTest::qWaitFor([&places] { return places.isLoaded(); }, 10000);
}

// The saved places after everything pending was written, as the next start reads them.
QList<SavedPlace> afterRestart(const QString &folder)
{
    dispatch::waitForBackgroundWork(10000);
    SavedPlaces places(folder);
    return loaded(places) ? places.places() : QList<SavedPlace> {};
}

QString row(QAbstractItemView *list, int row)
{
    return list->model()->index(row, 0).data().toString();
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
        QVERIFY(loaded(places));
        QList<CLLocationCoordinate2D> visited;
        PlacesPanel panel(
            places, model,
            [](CLLocationCoordinate2D pin) { return pin.latitude > 50 ? u"London"_s : QString(); },
            [&visited](CLLocationCoordinate2D place) { visited.append(place); });
        panel.show();
        QWidget *star = find(&panel, "savePlaceButton"), *undo = find(&panel, "undoDeleteButton");
        auto *list = find<QAbstractItemView>(&panel, "placesList");
        auto *starButton = qobject_cast<QToolButton *>(star);
        for (const CLLocationCoordinate2D pin :
             {CLLocationCoordinate2D {48.8566, 2.3522}, CLLocationCoordinate2D {51.5, -0.12},
              CLLocationCoordinate2D {35.0, 139.0}}) {
            coordinates::placePin(model, false, pin);
            QVERIFY(star->isEnabled());
            QTest::mouseClick(star, Qt::LeftButton);
            QVERIFY(!star->isEnabled()); // this place is in the list now
            QTRY_COMPARE(starButton->text(), u"★ Saved"_s); // once it is in the file
        }
        // Named by the lookup, else by the coordinates (the end of the test checks both).

        // Renamed in place.
        list->edit(list->model()->index(0, 0));
        auto *editor = list->findChild<QLineEdit *>();
        QVERIFY(editor);
        editor->selectAll();
        QTest::keyClicks(editor, u"Paris"_s);
        QTest::keyClick(editor, Qt::Key_Return);
        QTRY_COMPARE(places.places().first().name, u"Paris"_s); // committed queued

        // Reordered (the offscreen platform runs no drag and drop): the list follows.
        places.move(2, 0);
        QCOMPARE(row(list, 0), u"35.00000, 139.00000"_s);

        // Delete, then undo.
        list->setCurrentIndex(list->model()->index(1, 0));
        QTest::keyClick(list, Qt::Key_Delete);
        QCOMPARE(list->model()->rowCount(), 2);
        QCOMPARE(find<QLabel>(&panel, "placesStatus")->text(), u"Deleted “Paris”."_s);
        QVERIFY(undo->isVisible());
        QTest::mouseClick(undo, Qt::LeftButton);
        QCOMPARE(row(list, 1), u"Paris"_s);
        QVERIFY(!undo->isVisible());

        QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                          list->visualRect(list->model()->index(1, 0)).center());
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
        QTest::newRow("cut short in the second entry") << good.left(good.lastIndexOf('{') + 9) << 1;
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
        QVERIFY(loaded(places));
        QTEST(int(places.places().size()), "readable");
        const QStringList backups =
            QDir(folder).entryList({u"places.json.damaged-*"_s}, QDir::Files);
        QCOMPARE(backups.size(), 1);
        QCOMPARE(contents(folder + u'/' + backups.first()), damaged);
        QVERIFY(places.statusLine().contains(backups.first()));
        QCOMPARE(console.lines().size(), 1);

        // What could be read is a sound file again; the next start says nothing.
        const QList<SavedPlace> kept = places.places();
        QTRY_VERIFY(places.isSaved());
        SavedPlaces next(folder);
        QVERIFY(loaded(next));
        QCOMPARE(next.places(), kept);
        QVERIFY(next.statusLine().isEmpty());
    }

    void anInterruptedWriteLeavesTheOldFile()
    {
        const QString folder = dir_.filePath(u"interrupted"_s);
        const QString path = folder + u"/places.json"_s;
        SavedPlaces places(folder);
        QVERIFY(loaded(places));
        places.add(kPlaces.first());
        QTRY_VERIFY(places.isSaved());
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
        QVERIFY(!places.isSaved());
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
        QVERIFY(loaded(source));
        for (const SavedPlace &place : kPlaces)
            source.add(place);
        const QString file = dir_.filePath(u"places.gpx"_s);
        QSignalSpy exported(&source, &SavedPlaces::exportFinished);
        source.exportGpx(file);
        QVERIFY(exported.wait(10000));
        QCOMPARE(source.statusLine(), u"Exported 4 places to places.gpx."_s);

        SavedPlaces target(dir_.filePath(u"gpx-target"_s));
        target.add(kPlaces[1]); // while the file is read; already there: not imported twice
        QSignalSpy imported(&target, &SavedPlaces::importFinished);
        target.importFile(file);
        QVERIFY(imported.wait(10000));
        QCOMPARE(target.statusLine(), u"Imported 3 places from places.gpx."_s);
        // The 180th meridian is written as -180, as GPX has it.
        QCOMPARE(target.places(),
                 (QList<SavedPlace> {
                     kPlaces[1], kPlaces[0], kPlaces[2], {kPlaces[3].name, {-90.0, -180.0}}}));
    }

    // Waypoints of other programs' files: bad ones skipped and counted, each place once.
    void importFromElsewhere_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QStringList>("names");
        const auto row = [](const char *name, const char *content, const char *line,
                            const char *names) {
            QTest::newRow(name) << QByteArray(content) << QString::fromUtf8(line)
                                << QString::fromUtf8(names).split(u'|', Qt::SkipEmptyParts);
        };
        // clang-format off
        row("GPX 1.0, a track, broken waypoints, one twice", "<?xml version='1.0'?><gpx version='1.0' xmlns='http://www.topografix.com/GPX/1/0'><wpt lat='1.5' lon='2.5'><ele>3</ele></wpt><wpt lat='1,5' lon='2'><name>comma</name></wpt><trk><trkseg><trkpt lat='4' lon='5'/></trkseg></trk><wpt lat=' 91' lon='0'/><wpt lat='1.5' lon='2.5'/><wpt lat='7' lon='8'><name>\n  Lake \n</name></wpt></gpx>",
            "Imported 2 places from in.file. 2 waypoints without a usable position skipped.", "1.50000, 2.50000|Lake");
        row("KML points", "<kml><Placemark><name>Tower</name><Point><coordinates>2.29,48.858</coordinates></Point></Placemark></kml>", "Imported 1 place from in.file.", "Tower");
        row("GeoJSON points", R"({"type":"FeatureCollection","features":[{"type":"Feature","properties":{"name":"A"},"geometry":{"type":"MultiPoint","coordinates":[[1,2],[3,4]]}}]})", "Imported 2 places from in.file.", "A|A");
        row("a track only", "<gpx><trk><trkseg><trkpt lat='1' lon='2'/></trkseg></trk></gpx>", "No places in in.file: it holds no waypoints.", "");
        row("not XML", "lat,lon\n1,2\n", "Could not import in.file, line 1: Start tag expected.", "");
        row("cut short", "<gpx><wpt lat='1' lon='2'><name>a", "Could not import in.file, line 1: Premature end of document.", "");
        // clang-format on
    }

    void importFromElsewhere()
    {
        QFETCH(QByteArray, content);
        const QString file = dir_.filePath(u"in.file"_s);
        writeFile(file, content);
        SavedPlaces places(dir_.filePath(QString::fromLatin1(QTest::currentDataTag())));
        QVERIFY(loaded(places));
        QSignalSpy imported(&places, &SavedPlaces::importFinished);
        places.importFile(file);
        QVERIFY(imported.wait(10000));
        QTEST(places.statusLine(), "line");
        QStringList names;
        for (const SavedPlace &place : places.places())
            names.append(place.name);
        QTEST(names, "names");
    }

    // A places file that cannot be read or written is never written over: the list says so for
    // as long as it holds, keeps every change, claims nothing saved, and can be saved elsewhere.
    void placesFileThatCannotBeKept_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("line");
        // clang-format off
        QTest::newRow("folder") << u"folder"_s << u"Saved places could not be read (places.json is a folder, not a file). Changes are kept only until PinDrift closes."_s;
        QTest::newRow("pipe") << u"pipe"_s << u"Saved places could not be read (places.json is a pipe, not a file). Changes are kept only until PinDrift closes."_s;
        QTest::newRow("dangling link") << u"dangling link"_s << u"Saved places could not be read (places.json is a link to a file that is not there). Changes are kept only until PinDrift closes."_s;
        QTest::newRow("damaged, no room for its copy") << u"damaged"_s << u"The saved places file is damaged and could not be copied aside (File too large), so it is left as it is; 1 place could be read from it. Changes are kept only until PinDrift closes."_s;
        // clang-format on
    }

    void placesFileThatCannotBeKept()
    {
        QFETCH(QString, kind);
        const QString folder = dir_.filePath(kind);
        const QString path = folder + u"/places.json"_s;
        QVERIFY(QDir().mkpath(folder));
        const QByteArray damaged = places::toJson(kPlaces.mid(0, 1)) + "\n}garbage";
        if (kind == u"folder")
            QVERIFY(QDir().mkpath(path));
        else if (kind == u"pipe")
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else if (kind == u"dangling link")
            QVERIFY(QFile::link(folder + u"/gone/places.json"_s, path));
        else
            writeFile(path, damaged);

        // No room on the disk for the damaged file's copy.
        rlimit saved {};
        getrlimit(RLIMIT_FSIZE, &saved);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit none = saved;
        none.rlim_cur = 16;
        if (kind == u"damaged")
            setrlimit(RLIMIT_FSIZE, &none);
        ScreenModel model;
        SavedPlaces places(folder);
        const bool read = loaded(places);
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
        QVERIFY(read);
        PlacesPanel panel(places, model, {}, {});
        panel.show();
        QFETCH(QString, line);
        auto *status = find<QLabel>(&panel, "placesStatus");
        QCOMPARE(status->text(), line);
        auto *action = find<QToolButton>(&panel, "placesActionButton");
        QVERIFY(action->isVisible());
        QCOMPARE(action->text(), u"Save Places Elsewhere…"_s);

        // Changes stay, the line stays, nothing says saved and nothing is written.
        auto *star = find<QToolButton>(&panel, "savePlaceButton");
        for (const CLLocationCoordinate2D pin :
             {CLLocationCoordinate2D {30, 40}, CLLocationCoordinate2D {10, 20}}) {
            coordinates::placePin(model, false, pin);
            QTest::mouseClick(star, Qt::LeftButton);
        }
        places.rename(places.places().size() - 1, u"Here"_s);
        places.remove(0);
        dispatch::waitForBackgroundWork(10000);
        QCoreApplication::processEvents();
        QVERIFY(status->text().startsWith(line));
        QCOMPARE(star->text(), u"★ Not saved"_s);
        QVERIFY(!places.isSaved());
        QCOMPARE(places.places().last(), (SavedPlace {u"Here"_s, {10, 20}}));
        const QFileInfo info(path);
        QCOMPARE(info.isDir(), kind == u"folder");
        QCOMPARE(info.isSymLink(), kind == u"dangling link");
        if (kind == u"damaged")
            QCOMPARE(contents(path), damaged);
        QCOMPARE(QDir(folder).entryList({u"places.json.*"_s}, QDir::Files), QStringList());

        // Kept elsewhere: written there from now on.
        const QString elsewhere = dir_.filePath(kind + u"-elsewhere.json"_s);
        places.saveElsewhere(elsewhere);
        QTRY_VERIFY(places.isSaved());
        QCOMPARE(star->text(), u"★ Saved"_s);
        QVERIFY(action->isHidden());
        QCOMPARE(places::fromJson(contents(elsewhere)).places, places.places());
    }

private:
    QTemporaryDir dir_;
};

QTEST_MAIN(TestPlaces)
#include "tst_places.moc"
