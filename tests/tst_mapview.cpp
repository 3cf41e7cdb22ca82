// The map view widget, offscreen: clicks, drags, zooms, turns and tilts, the marker, the
// compass, and its tiles from a loopback tile server.
#include "MapTestSupport.h"
#include "map/TileSource.h"
#include "state/AppEnvironment.h"

#include <QAbstractButton>
#include <QGestureEvent>
#include <QSignalSpy>
#include <QTest>

using namespace mapgeometry;
using namespace std::chrono_literals;

namespace {
enum class Input { Notches, Pixels, Pinch, DoubleClick, RightDrag, CtrlDrag, Keys, Rotate, Touch };
} // namespace

Q_DECLARE_METATYPE(Input)

class TestMapView : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void pressMoveRelease_data()
    {
        QTest::addColumn<QPoint>("move");
        QTest::addColumn<double>("bearing");
        QTest::addColumn<double>("pitch");
        const auto row = [](const char *name, QPoint move, double bearing, double pitch) {
            QTest::newRow(name) << move << bearing << pitch;
        };
        row("click", {}, 0, 0);
        row("wobble below the drag distance", {QApplication::startDragDistance() - 1, 0}, 0, 0);
        row("click, turned and tilted", {}, 37, 60);
        row("drag", {170, 90}, 0, 0);
        row("drag, turned and tilted", {170, 90}, 200, 45);
    }

    void pressMoveRelease()
    {
        QFETCH(QPoint, move);
        QFETCH(double, bearing);
        QFETCH(double, pitch);
        Map map;
        QVERIFY(map.show(kLiberty, 14, bearing, pitch));
        const QPoint from(100, 50);
        const CLLocationCoordinate2D grabbed = *map.view.coordinateAt(from);
        QSignalSpy clicks(&map.view, &MapView::clicked);
        QSignalSpy moves(&map.view, &MapView::cameraChangedByUser);
        dragMap(&map.view, from, move);
        QVERIFY(!map.view.isAnimating()); // the pointer rested before release: no fling
        const bool isClick = move.manhattanLength() < QApplication::startDragDistance();
        QCOMPARE(clicks.size(), isClick ? 1 : 0);
        QCOMPARE(moves.size(), isClick ? 0 : 1);
        if (isClick) {
            QCOMPARE(clicks.first().first().toPointF(), QPointF(from + move));
            QVERIFY(near(map.view.center(), kLiberty));
        } else { // the place grabbed stays under the pointer
            QVERIFY(distance(*map.view.pointFor(grabbed), from + move) < 0.5);
        }
    }

    void aQuickDragFlingsOnAndAPressOnlyStopsIt()
    {
        Map map;
        QVERIFY(map.show(kLiberty, 14, 90, 30));
        const QPoint from(100, 200);
        const CLLocationCoordinate2D grabbed = *map.view.coordinateAt(from);
        QSignalSpy moves(&map.view, &MapView::cameraChangedByUser);
        QSignalSpy clicks(&map.view, &MapView::clicked);
        dragMap(&map.view, from, QPoint(400, 0), true); // 3000 pixels a second: a second's glide
        QVERIFY(map.view.isAnimating());
        QCOMPARE(moves.size(), 0); // not at rest yet
        QTRY_VERIFY(map.view.pointFor(grabbed)->x() > from.x() + 420);
        QTest::mouseClick(&map.view, Qt::LeftButton, {}, QPoint(300, 300));
        QVERIFY(!map.view.isAnimating());
        QCOMPARE(clicks.size(), 0);
        QCOMPARE(moves.size(), 1);
        QVERIFY(std::abs(map.view.pointFor(grabbed)->y() - from.y()) < 0.5);
    }

    // Every way to zoom, turn and tilt ends in one report and never clicks; zooms and turns keep
    // the place under the pointer where it is, and the tilt stops at its cap.
    void zoomTurnAndTilt_data()
    {
        QTest::addColumn<Input>("input");
        QTest::addColumn<double>("amount");
        QTest::addColumn<int>("times");
        QTest::addColumn<QList<double>>("camera"); // zoom, bearing, pitch: before; then after
        const auto row = [](const char *name, Input input, double amount, int times,
                            QList<double> camera) {
            QTest::newRow(name) << input << amount << times << camera;
        };
        row("wheel notches glide on", Input::Notches, 120, 2, {12, 0, 0, 13, 0, 0});
        row("a notch out, tilted", Input::Notches, -120, 1, {12, 37, 60, 11.5, 37, 60});
        row("no further in than 19", Input::Notches, 120, 6, {18, 0, 0, 19, 0, 0});
        row("no further out than 2", Input::Notches, -120, 6, {3, 0, 0, 2, 0, 0});
        row("trackpad pixels, 200 a level", Input::Pixels, 50, 2, {12, 0, 0, 12.5, 0, 0});
        row("fine wheel", Input::Notches, 45, 1, {12, 0, 0, 12.1875, 0, 0});
        row("pinch, twice the scale twice", Input::Pinch, 1, 2, {10, 0, 0, 12, 0, 0});
        row("double click", Input::DoubleClick, 0, 1, {11.3, 0, 0, 12, 0, 0});
        row("right drag across turns", Input::RightDrag, -60, 1, {12, 0, 0, 12, 30, 0});
        row("right drag up tilts, to the cap", Input::RightDrag, 300, 1, {12, 0, 0, 12, 0, 60});
        row("Ctrl+drag up tilts", Input::CtrlDrag, 40, 1, {12, 10, 0, 12, 10, 20});
        row("Shift+Left turns 15 degrees", Input::Keys, Qt::Key_Left, 1, {12, 0, 0, 12, 345, 0});
        row("Shift+Right round the circle", Input::Keys, Qt::Key_Right, 25, {12, 0, 0, 12, 15, 0});
        row("Shift+Up tilts to the cap", Input::Keys, Qt::Key_Up, 8, {12, 0, 0, 12, 0, 60});
        row("Shift+Down untilts to flat", Input::Keys, Qt::Key_Down, 3, {12, 0, 25, 12, 0, 0});
        row("trackpad rotate gesture", Input::Rotate, 10, 3, {12, 350, 45, 12, 320, 45});
        row("touch pinch turns and zooms", Input::Touch, 20, 2, {12, 0, 0, 13, 320, 0});
    }

    void zoomTurnAndTilt()
    {
        QFETCH(Input, input);
        QFETCH(double, amount);
        QFETCH(int, times);
        QFETCH(QList<double>, camera);
        Map map;
        QVERIFY(map.show(kLiberty, camera[0], camera[1], camera[2]));
        const QPoint at(120, 333);
        const CLLocationCoordinate2D under = *map.view.coordinateAt(at);
        QSignalSpy moves(&map.view, &MapView::cameraChangedByUser);
        QSignalSpy clicks(&map.view, &MapView::clicked);
        const int step = static_cast<int>(amount);
        for (int i = 0; i < times; ++i) {
            if (input == Input::Notches)
                sendWheel(&map.view, at, {0, step});
            else if (input == Input::Pixels)
                sendWheel(&map.view, at, {0, step / 2}, {0, step}, Qt::ScrollUpdate);
            else if (input == Input::Pinch || input == Input::Rotate)
                sendGesture(&map.view,
                            input == Input::Pinch ? Qt::ZoomNativeGesture : Qt::RotateNativeGesture,
                            at, amount);
            else if (input == Input::DoubleClick) {
                QTest::mouseClick(&map.view, Qt::LeftButton, {}, at);
                QTest::mouseDClick(&map.view, Qt::LeftButton, {}, at);
                QTest::mouseRelease(&map.view, Qt::LeftButton, {}, at);
            } else if (input == Input::RightDrag)
                dragMap(&map.view, {300, 350}, {step == 300 ? 0 : step, step == 300 ? -300 : 0},
                        false, Qt::RightButton);
            else if (input == Input::CtrlDrag)
                dragMap(&map.view, {300, 350}, {0, -step}, false, Qt::LeftButton,
                        Qt::ControlModifier);
            else if (input == Input::Keys)
                QTest::keyClick(&map.view, Qt::Key(step), Qt::ShiftModifier);
            else {
                QPinchGesture pinch;
                pinch.setCenterPoint(map.view.mapToGlobal(QPointF(at)));
                pinch.setScaleFactor(std::sqrt(2.0));
                pinch.setLastRotationAngle(i * amount);
                pinch.setRotationAngle((i + 1) * amount);
                pinch.setChangeFlags(QPinchGesture::ScaleFactorChanged
                                     | QPinchGesture::RotationAngleChanged);
                QGestureEvent event({&pinch});
                QApplication::sendEvent(&map.view, &event);
            }
        }
        if (input == Input::Pinch || input == Input::Rotate)
            sendGesture(&map.view, Qt::EndNativeGesture, at);
        const int reports = input == Input::Keys ? times : input == Input::Touch ? 0 : 1;
        QTRY_COMPARE(moves.size(), reports);
        QVERIFY(!map.view.isAnimating());
        QCOMPARE(map.view.zoom(), camera[3]);
        QVERIFY(std::abs(map.view.bearing() - camera[4]) < 1e-9);
        QCOMPARE(map.view.pitch(), camera[5]);
        const bool anchored =
            input != Input::RightDrag && input != Input::CtrlDrag && input != Input::Keys;
        if (anchored && map.view.zoom() > kMinZoom && map.view.zoom() < kMaxZoom)
            QVERIFY(distance(*map.view.pointFor(under), at) < 0.5);
        QCOMPARE(clicks.size(), input == Input::DoubleClick ? 1 : 0); // its first click only
    }

    void theCompassShowsNorthAndBringsTheMapBack()
    {
        Map map;
        QVERIFY(map.show());
        auto *compass = map.view.findChild<QAbstractButton *>(QStringLiteral("compassButton"));
        QVERIFY(compass && !compass->isVisible());
        QTest::keyClick(&map.view, Qt::Key_Left, Qt::ShiftModifier);
        QTest::keyClick(&map.view, Qt::Key_Up, Qt::ShiftModifier);
        QVERIFY(compass->isVisible());
        QVERIFY(compass->geometry().right() > 500 && compass->geometry().top() < 50);
        // Its needle: red up and to the right, where north now is.
        const QImage face = compass->grab().toImage();
        const auto red = [](QRgb p) { return qRed(p) > 200 && qGreen(p) < 120; };
        QVERIFY(
            countPixels(face.copy(face.width() / 2, 0, face.width() / 2, face.height() / 2), red)
            > 2 * countPixels(face.copy(0, 0, face.width() / 2, face.height() / 2), red));
        const CLLocationCoordinate2D centre = map.view.center();
        QSignalSpy moves(&map.view, &MapView::cameraChangedByUser);
        QTest::mouseClick(compass, Qt::LeftButton);
        QVERIFY(map.view.isAnimating());
        QTRY_COMPARE(moves.size(), 1);
        QCOMPARE(map.view.bearing(), 0.0);
        QCOMPARE(map.view.pitch(), 0.0);
        QVERIFY(!compass->isVisible());
        QVERIFY(near(map.view.center(), centre));
    }

    void theMarkerStandsUprightOnItsCoordinate()
    {
        Map map;
        auto *marker = new QWidget;
        marker->resize(30, 30);
        map.view.setMarkerView(marker);
        map.view.setMarkerTitle(QStringLiteral("Here"));
        QVERIFY(map.show({-17.7, 179.99}, 12));
        const CLLocationCoordinate2D east {-17.7, -179.98}; // across the antimeridian
        map.view.setMarkerCoordinate(east);
        const auto check = [&] { // upright on its point, east of the seam, the title below
            const QPointF at = *map.view.pointFor(east);
            const QRectF title = map.view.markerTitleRect();
            return marker->isVisible() && at.x() > 300 && at.x() < 600
                && distance(QRectF(marker->geometry()).center() + QPointF(0.5, 0.5), at) <= 1.0
                && std::abs(title.center().x() - at.x()) < 1e-9 && title.top() >= at.y() + 10;
        };
        QVERIFY(check());
        dragMap(&map.view, {300, 300}, {-50, 20});
        QVERIFY(check());
        map.view.setCamera(map.view.center(), 12, 37, 60);
        QVERIFY(check());
        // Behind the camera it is hidden.
        map.view.setCamera({-17.69, -179.98}, 17, 0, 60);
        QVERIFY(!marker->isVisible());
        QVERIFY(map.view.markerTitleRect().isEmpty());
    }

    void offlineItDrawsAGridAndTheAttribution()
    {
        Map map;
        for (const double pitch : {0.0, 60.0}) {
            QVERIFY(map.show(kLiberty, 14, 37, pitch));
            const QImage image = map.view.grab().toImage();
            QVERIFY(countPixels(image, isPlaceholder) > image.width() * image.height() * 9 / 10);
            const QImage corner = image.copy(image.width() - 170, image.height() - 16, 170, 16);
            QVERIFY(countPixels(corner, [](QRgb p) { return qGray(p) < 120; }) > 50);
        }
    }

    // In the viewport's order, the centre first; a failed tile is asked for again later.
    void requestsGoCentreFirstNameTheProgramAndRetry()
    {
        TileServer server;
        server.failTimes({13, 2411, 3080}, 2);
        Map map(server.urlTemplate());
        map.view.tileSource()->setMaxConcurrentRequests(1); // the server sees the queue's order
        map.view.tileSource()->setRetryDelay(50ms);
        QVERIFY(map.show(kLiberty, 13.49));
        QTRY_VERIFY(allWantedLoaded(map.view));
        QStringList expected;
        for (const TileKey &key : map.view.viewport().wantedTiles(1))
            expected.append(tilePath(key));
        QStringList firsts = server.paths;
        QCOMPARE(firsts.removeDuplicates(), 2);
        QCOMPARE(firsts, expected);
        QCOMPARE(server.paths.count(expected.first()), 3);
        for (const TileServer::Request &request : server.requests) {
            QCOMPARE(request.headers.value("user-agent"), AppEnvironment::userAgent());
            QVERIFY(!request.headers.value("cache-control").contains("no-cache"));
            QVERIFY(!request.headers.contains("pragma"));
        }
    }

    void tilesThatLeaveTheViewAreAborted()
    {
        TileServer server;
        server.setHolding(true);
        Map map(server.urlTemplate());
        QVERIFY(map.show(kLiberty, 12));
        QTRY_COMPARE(server.waiting(), TileSource::kDefaultConcurrentRequests);
        const QStringList first = server.paths;
        QSignalSpy aborted(map.view.tileSource(), &TileSource::requestAborted);
        map.view.setCamera({-33.8568, 151.2153}, 12); // Sydney
        QTRY_COMPARE(aborted.size(), first.size());
        for (const QList<QVariant> &signal : aborted)
            QVERIFY(first.contains(tilePath(signal.first().value<TileKey>())));
        // The server sees each of those connections closed before its answer.
        QTRY_VERIFY(std::all_of(server.requests.cbegin(), server.requests.cbegin() + first.size(),
                                [](const TileServer::Request &r) { return r.dropped; }));
        QTRY_COMPARE(server.waiting(), TileSource::kDefaultConcurrentRequests);
        for (const QString &path : server.paths.mid(first.size()))
            QVERIFY(path.section(u'/', 2, 2).toInt() >= 3700); // Sydney's, not New York's
        server.setHolding(false);
        QTRY_VERIFY(allWantedLoaded(map.view));
    }

    void theDiskCacheFollowsTheServersExpiry()
    {
        TileServer server;
        const auto load = [&](const QString &cacheFolder) {
            Map map(server.urlTemplate(), {300, 300}, cacheFolder);
            return map.show(kLiberty, 15)
                && QTest::qWaitFor([&] { return allWantedLoaded(map.view); });
        };
        QTemporaryDir fresh;
        server.setCacheControl("max-age=3600");
        QVERIFY(load(fresh.path()));
        const qsizetype fetched = server.requests.size();
        QVERIFY(load(fresh.path()));
        QCOMPARE(server.requests.size(), fetched); // fresh copies came from the disk
        // Expired copies are revalidated with the server (which answers "not modified").
        QTemporaryDir expired;
        server.setCacheControl("max-age=0, must-revalidate");
        QVERIFY(load(expired.path()));
        QVERIFY(load(expired.path()));
        const QList<TileServer::Request> again = server.requests.mid(fetched * 2);
        QCOMPARE(again.size(), fetched);
        for (const TileServer::Request &request : again)
            QCOMPARE(request.headers.value("if-modified-since"), kLastModified);
    }

    void memoryStaysWithinItsBudgetAcrossAHundredTiles()
    {
        TileServer server;
        Map map(server.urlTemplate(), {256, 256});
        constexpr qint64 budget = 8 * 1024 * 1024; // 32 tiles
        map.view.tileSource()->setMemoryBudget(budget);
        QVERIFY(map.show(kLiberty, 12));
        QSet<TileKey> seen;
        for (int step = 0; step < 30; ++step) {
            QTRY_VERIFY(allWantedLoaded(map.view));
            for (const TileKey &key : map.view.viewport().wantedTiles(1))
                seen.insert(key);
            QVERIFY(map.view.tileSource()->memoryUsed() <= budget);
            dragMap(&map.view, {200, 128}, {-256, 0});
        }
        QVERIFY(seen.size() >= 100);
        QVERIFY(map.view.tileSource()->tilesInMemory() <= 32);
    }

    void zoomingInKeepsTheOldTilesUntilNewOnesArrive()
    {
        TileServer server;
        Map map(server.urlTemplate());
        QVERIFY(map.show());
        QTRY_VERIFY(allWantedLoaded(map.view));
        server.setHolding(true);
        for (const double zoom : {14.5, 15.0, 15.5}) {
            sendWheel(&map.view, {300, 200}, {0, 120});
            QTRY_VERIFY(!map.view.isAnimating());
            QCOMPARE(map.view.zoom(), zoom);
            QCOMPARE(countPixels(map.view.grab().toImage(), isPlaceholder), 0);
        }
        // Zooming back out two levels past them, the finer tiles fill what they cover.
        sendWheel(&map.view, {300, 200}, {0, -120 * 8});
        QTRY_VERIFY(!map.view.isAnimating());
        QCOMPARE(map.view.zoom(), 11.5); // drawn with tiles of zoom 12
        QVERIFY(!isPlaceholder(map.view.grab().toImage().pixel(300, 200)));
        server.setHolding(false);
        QTRY_VERIFY(allWantedLoaded(map.view));
    }

    void tilesMeetWithoutSeamsAtEveryRatio_data()
    {
        QTest::addColumn<double>("zoom");
        QTest::addColumn<double>("ratio");
        QTest::addColumn<double>("pitch"); // at bearing 37 when not 0
        const double rows[] = {13.37, 1,   0,      14, 2,   0,  14.29, 2,    0,
                               12.61, 1.5, 0,      2,  1.5, 0,  13.37, 1,    60,
                               12.61, 1.5, 0.0001, 14, 2,   45, 9.8,   1.25, 60};
        for (const double *r = rows; r != std::end(rows); r += 3)
            QTest::addRow("zoom %g, ratio %g, pitch %g", r[0], r[1], r[2]) << r[0] << r[1] << r[2];
    }

    void tilesMeetWithoutSeamsAtEveryRatio()
    {
        QFETCH(double, zoom);
        QFETCH(double, ratio);
        QFETCH(double, pitch);
        TileServer server;
        Map map(server.urlTemplate());
        QVERIFY(map.show({40.7013, -74.0112}, zoom, pitch > 0 ? 37 : 0, pitch));
        QTRY_VERIFY(allWantedLoaded(map.view));
        // Drawn one logical pixel in, as a widget beside others is: at ratio 1.5 that is half a
        // device pixel.
        QImage image((QSizeF(map.view.size() + QSize(1, 1)) * ratio).toSize(),
                     QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(ratio);
        image.fill(Qt::magenta);
        map.view.render(&image, QPoint(1, 1));
        const int margin = static_cast<int>(std::ceil(ratio));
        const QImage drawn =
            image.copy(margin, margin, image.width() - 2 * margin, image.height() - 2 * margin);
        // Not one pixel left unpainted or blended with what lay beneath.
        const auto magenta = [](QRgb p) {
            return qRed(p) > 150 && qGreen(p) < 120 && qBlue(p) > 150;
        };
        QCOMPARE(countPixels(drawn, magenta), 0);
        QCOMPARE(countPixels(drawn, isPlaceholder), 0);
        // Turned or tilted, what was fetched is what covers the view, and no more.
        if (pitch > 0) {
            QSet<QString> expected;
            for (const TileKey &key : map.view.viewport().wantedTiles(1))
                expected.insert(tilePath(key));
            QCOMPARE(QSet<QString>(server.paths.cbegin(), server.paths.cend()), expected);
        }
    }
};

QTEST_MAIN(TestMapView)
#include "tst_mapview.moc"
