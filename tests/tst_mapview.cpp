// The map view widget, offscreen: clicks, drags, zooms, the marker, and its tiles from a
// loopback tile server.
#include "MapTestSupport.h"
#include "map/MapView.h"
#include "map/TileSource.h"

#include <QNativeGestureEvent>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>

using namespace mapgeometry;
using namespace std::chrono_literals;

namespace {

const CLLocationCoordinate2D kLiberty {40.689247, -74.044502};

double pixelDistance(QPointF a, QPointF b)
{
    return std::hypot(a.x() - b.x(), a.y() - b.y());
}

bool allWantedLoaded(const MapView &view)
{
    const QList<TileKey> wanted = view.viewport().wantedTiles(1);
    return std::all_of(wanted.cbegin(), wanted.cend(),
                       [&](const TileKey &key) { return view.tileSource()->hasTile(key); });
}

// A drag with the left button in `steps` moves; the pointer rests before release unless
// `fling` is set.
void drag(QWidget *widget, QPoint from, QPoint delta, bool fling = false, int steps = 8)
{
    QTest::mousePress(widget, Qt::LeftButton, {}, from);
    for (int i = 1; i <= steps; ++i)
        QTest::mouseMove(widget, from + delta * i / steps, 16);
    QTest::mouseRelease(widget, Qt::LeftButton, {}, from + delta, fling ? 16 : 300);
}

void wheel(QWidget *widget, QPointF at, QPoint angle, QPoint pixels = {},
           Qt::ScrollPhase phase = Qt::NoScrollPhase)
{
    QWheelEvent event(at, widget->mapToGlobal(at), pixels, angle, Qt::NoButton, Qt::NoModifier,
                      phase, false);
    QApplication::sendEvent(widget, &event);
}

void gesture(QWidget *widget, Qt::NativeGestureType type, QPointF at, double value = 0)
{
    QNativeGestureEvent event(type, QPointingDevice::primaryPointingDevice(), 2, at, at,
                              widget->mapToGlobal(at), value, {});
    QApplication::sendEvent(widget, &event);
}

int countPixels(const QImage &image, const std::function<bool(QRgb)> &test)
{
    int count = 0;
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < rgb.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(rgb.constScanLine(y));
        for (int x = 0; x < rgb.width(); ++x)
            count += test(line[x]) ? 1 : 0;
    }
    return count;
}

bool isPlaceholder(QRgb pixel)
{
    const QRgb rgb = pixel & 0xFFFFFF;
    return rgb == 0xEEECE8 || rgb == 0xD9D6D0 || rgb == 0xE6E3DE;
}

// A view with its own cache folder, shown at a size.
struct Map
{
    explicit Map(const QString &url = {}, QSize size = {600, 400}, const QString &cacheFolder = {})
        : view(url, cacheFolder.isEmpty() ? cache.path() : cacheFolder)
    {
        view.resize(size);
    }
    bool show()
    {
        view.show();
        return QTest::qWaitForWindowExposed(&view);
    }

    QTemporaryDir cache;
    MapView view;
};

} // namespace

class TestMapView : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // ---- Pointer and camera -------------------------------------------------------------

    void clickReportsItsPointAndTheCoordinateUnderIt()
    {
        Map map;
        QVERIFY(map.show());
        map.view.setCamera(kLiberty, 14);
        QSignalSpy clicks(&map.view, &MapView::clicked);
        QSignalSpy moves(&map.view, &MapView::cameraChangedByUser);
        QTest::mouseClick(&map.view, Qt::LeftButton, {}, QPoint(100, 50));
        QCOMPARE(clicks.size(), 1);
        const QPointF point = clicks.first().first().toPointF();
        QCOMPARE(point, QPointF(100, 50));
        // Independently: the pin's world pixel, moved by the offset from the view's middle.
        const QPointF world = project(kLiberty, 14) + QPointF(100 - 300, 50 - 200);
        const CLLocationCoordinate2D expected = unproject(world, 14);
        const CLLocationCoordinate2D got = *map.view.coordinateAt(point);
        QVERIFY(std::abs(got.latitude - expected.latitude) < 1e-9);
        QVERIFY(std::abs(got.longitude - expected.longitude) < 1e-9);
        QCOMPARE(map.view.center(), map.view.viewport().center()); // a click moved nothing
        QVERIFY(std::abs(map.view.center().longitude - kLiberty.longitude) < 1e-9);
        QCOMPARE(moves.size(), 0);
    }

    void aWobbleBelowTheDragDistanceIsStillAClick()
    {
        Map map;
        QVERIFY(map.show());
        map.view.setCamera(kLiberty, 14);
        const auto before = map.view.viewport();
        QSignalSpy clicks(&map.view, &MapView::clicked);
        const int wobble = QApplication::startDragDistance() - 1;
        QTest::mousePress(&map.view, Qt::LeftButton, {}, QPoint(200, 200));
        QTest::mouseMove(&map.view, QPoint(200 + wobble, 200));
        QTest::mouseRelease(&map.view, Qt::LeftButton, {}, QPoint(200 + wobble, 200));
        QCOMPARE(clicks.size(), 1);
        QVERIFY(map.view.viewport() == before);
    }

    void aDragPansUnderThePointerAndNeverClicks()
    {
        Map map;
        QVERIFY(map.show());
        map.view.setCamera(kLiberty, 14);
        const QPoint from(150, 120);
        const CLLocationCoordinate2D grabbed = *map.view.coordinateAt(from);
        QSignalSpy clicks(&map.view, &MapView::clicked);
        QSignalSpy moves(&map.view, &MapView::cameraChangedByUser);
        drag(&map.view, from, QPoint(170, 90));
        QCOMPARE(clicks.size(), 0);
        QVERIFY(!map.view.isAnimating()); // the pointer rested: no fling
        QCOMPARE(moves.size(), 1);
        QVERIFY(pixelDistance(map.view.pointFor(grabbed), from + QPoint(170, 90)) < 1e-6);
    }

    void aQuickDragFlingsOnAndAPressOnlyStopsIt()
    {
        Map map;
        QVERIFY(map.show());
        map.view.setCamera(kLiberty, 14);
        const QPoint from(100, 200);
        const CLLocationCoordinate2D grabbed = *map.view.coordinateAt(from);
        QSignalSpy moves(&map.view, &MapView::cameraChangedByUser);
        QSignalSpy clicks(&map.view, &MapView::clicked);
        drag(&map.view, from, QPoint(400, 0), true); // 3000 pixels a second: a second's glide
        QVERIFY(map.view.isAnimating());
        QCOMPARE(moves.size(), 0); // not at rest yet
        QTRY_VERIFY(map.view.pointFor(grabbed).x() > from.x() + 420);
        QTest::mouseClick(&map.view, Qt::LeftButton, {}, QPoint(300, 300));
        QVERIFY(!map.view.isAnimating());
        QCOMPARE(clicks.size(), 0);
        QCOMPARE(moves.size(), 1);
        QVERIFY(std::abs(map.view.pointFor(grabbed).y() - from.y()) < 1e-6);
    }

    void wheelNotchesZoomAboutThePointer()
    {
        Map map;
        QVERIFY(map.show());
        map.view.setCamera(kLiberty, 12);
        const QPointF at(120, 333);
        const CLLocationCoordinate2D under = *map.view.coordinateAt(at);
        QSignalSpy moves(&map.view, &MapView::cameraChangedByUser);
        wheel(&map.view, at, {0, 120});
        wheel(&map.view, at, {0, 120}); // a second click during the glide goes further
        QVERIFY(map.view.isAnimating());
        QTRY_VERIFY(!map.view.isAnimating());
        QCOMPARE(map.view.zoom(), 13.0);
        QVERIFY(pixelDistance(map.view.pointFor(under), at) < 1e-6);
        QCOMPARE(moves.size(), 1);

        wheel(&map.view, at, {0, -120});
        QTRY_VERIFY(!map.view.isAnimating());
        QCOMPARE(map.view.zoom(), 12.5);
        QVERIFY(pixelDistance(map.view.pointFor(under), at) < 1e-6);
    }

    void trackpadScrollingZoomsAtOnceAndSettles()
    {
        Map map;
        QVERIFY(map.show());
        map.view.setCamera(kLiberty, 12);
        const QPointF at(420, 80);
        const CLLocationCoordinate2D under = *map.view.coordinateAt(at);
        QSignalSpy moves(&map.view, &MapView::cameraChangedByUser);
        wheel(&map.view, at, {0, 30}, {0, 50}, Qt::ScrollUpdate);
        wheel(&map.view, at, {0, 30}, {0, 50}, Qt::ScrollUpdate);
        QCOMPARE(map.view.zoom(), 12.5); // 200 pixels a level
        QVERIFY(pixelDistance(map.view.pointFor(under), at) < 1e-6);
        QCOMPARE(moves.size(), 0);
        QTRY_COMPARE(moves.size(), 1); // after the burst
        wheel(&map.view, at, {0, -45}); // a fine wheel without pixels: 0.5 level a notch
        QCOMPARE(map.view.zoom(), 12.5 - 0.1875);
    }

    void zoomStaysBetweenTwoAndNineteen()
    {
        Map map;
        QVERIFY(map.show());
        map.view.setCamera(kLiberty, 18);
        for (int i = 0; i < 6; ++i)
            wheel(&map.view, {300, 200}, {0, 120});
        QTRY_VERIFY(!map.view.isAnimating());
        QCOMPARE(map.view.zoom(), kMaxZoom);
        wheel(&map.view, {300, 200}, {0, -120 * 60});
        QTRY_VERIFY(!map.view.isAnimating());
        QCOMPARE(map.view.zoom(), kMinZoom);
    }

    void pinchZoomsAboutItsCentre()
    {
        Map map;
        QVERIFY(map.show());
        map.view.setCamera(kLiberty, 10);
        const QPointF at(200, 150);
        const CLLocationCoordinate2D under = *map.view.coordinateAt(at);
        QSignalSpy moves(&map.view, &MapView::cameraChangedByUser);
        gesture(&map.view, Qt::BeginNativeGesture, at);
        gesture(&map.view, Qt::ZoomNativeGesture, at, 1.0); // twice the scale
        gesture(&map.view, Qt::ZoomNativeGesture, at, -0.5); // half of it back
        gesture(&map.view, Qt::ZoomNativeGesture, at, 3.0); // four times
        QVERIFY(std::abs(map.view.zoom() - 12.0) < 1e-12);
        QVERIFY(pixelDistance(map.view.pointFor(under), at) < 1e-6);
        gesture(&map.view, Qt::EndNativeGesture, at);
        QCOMPARE(moves.size(), 1);
    }

    void doubleClickZoomsIn()
    {
        Map map;
        QVERIFY(map.show());
        map.view.setCamera(kLiberty, 11.3);
        const QPoint at(450, 100);
        const CLLocationCoordinate2D under = *map.view.coordinateAt(at);
        QSignalSpy clicks(&map.view, &MapView::clicked);
        QTest::mousePress(&map.view, Qt::LeftButton, {}, at);
        QTest::mouseRelease(&map.view, Qt::LeftButton, {}, at);
        QTest::mouseDClick(&map.view, Qt::LeftButton, {}, at);
        QTest::mouseRelease(&map.view, Qt::LeftButton, {}, at);
        QCOMPARE(clicks.size(), 1); // the first click of the two
        QTRY_VERIFY(!map.view.isAnimating());
        QCOMPARE(map.view.zoom(), 12.0);
        QVERIFY(pixelDistance(map.view.pointFor(under), at) < 1e-6);
    }

    void aRegionFromTheProgramIsShownAtOnceUntilTheUserMoves()
    {
        Map map(QString(), {420, 480});
        QVERIFY(map.show());
        const MapRegion region = coordinates::pinRegion(kLiberty);
        map.view.showRegion(region);
        Viewport expected({420, 480});
        expected.fitRegion(region);
        QVERIFY(map.view.viewport() == expected);
        // Still the region's camera when the window changes size.
        map.view.resize(900, 300);
        expected.setSize({900, 300});
        expected.fitRegion(region);
        QVERIFY(map.view.viewport() == expected);
        // Once the user has moved, a resize keeps the user's camera.
        drag(&map.view, {100, 100}, {40, 0});
        const double zoom = map.view.zoom();
        map.view.resize(600, 600);
        QCOMPARE(map.view.zoom(), zoom);
        // The program may show the same region again.
        map.view.showRegion(region);
        expected.setSize({600, 600});
        expected.fitRegion(region);
        QVERIFY(map.view.viewport() == expected);
    }

    void theMarkerStandsOnItsCoordinateOnTheNearestWorld()
    {
        Map map;
        auto *marker = new QWidget;
        marker->resize(30, 30);
        map.view.setMarkerView(marker);
        map.view.setMarkerTitle(QStringLiteral("Here"));
        QVERIFY(map.show());
        map.view.setCamera({-17.7, 179.99}, 12);
        const CLLocationCoordinate2D east {-17.7, -179.98}; // across the antimeridian
        map.view.setMarkerCoordinate(east);
        QCOMPARE(marker->parentWidget(), &map.view);
        const QPointF at = map.view.pointFor(east);
        QVERIFY(at.x() > 300 && at.x() < 600);
        QVERIFY(pixelDistance(QRectF(marker->geometry()).center() + QPointF(0.5, 0.5), at) <= 1.0);
        // The title sits below the marker, centred.
        const QRectF title = map.view.markerTitleRect();
        QVERIFY(std::abs(title.center().x() - at.x()) < 1e-9);
        QVERIFY(title.top() >= at.y() + 10);
        // It moves with the map.
        drag(&map.view, {300, 300}, {-50, 20});
        QVERIFY(pixelDistance(QRectF(marker->geometry()).center() + QPointF(0.5, 0.5),
                              at + QPointF(-50, 20))
                <= 1.0);
    }

    void offlineItDrawsAGridAndTheAttribution()
    {
        Map map;
        QVERIFY(map.show());
        map.view.setCamera(kLiberty, 14);
        const QImage image = map.view.grab().toImage();
        QVERIFY(countPixels(image, isPlaceholder) > image.width() * image.height() * 9 / 10);
        // The attribution: dark text in the bottom-right corner.
        const QImage corner = image.copy(image.width() - 170, image.height() - 16, 170, 16);
        QVERIFY(countPixels(corner, [](QRgb p) { return qGray(p) < 120; }) > 50);
        QCOMPARE(MapView::attribution(), QStringLiteral("© OpenStreetMap contributors"));
    }

    // ---- Tiles --------------------------------------------------------------------------

    void requestsGoCentreFirstAndNameTheProgram()
    {
        TileServer server;
        Map map(server.urlTemplate());
        map.view.tileSource()->setMaxConcurrentRequests(1); // the server sees the queue's order
        map.view.setCamera(kLiberty, 13.49);
        QVERIFY(map.show());
        QTRY_VERIFY(allWantedLoaded(map.view));
        QStringList expected;
        for (const TileKey &key : map.view.viewport().wantedTiles(1))
            expected.append(tilePath(key));
        QCOMPARE(server.paths(), expected);
        QCOMPARE(server.paths().first(), tilePath({13, 2411, 3080}));
        for (const TileServer::Request &request : server.requests()) {
            QCOMPARE(request.headers.value("user-agent"), TileSource::userAgent());
            QVERIFY(!request.headers.value("cache-control").contains("no-cache"));
            QVERIFY(!request.headers.contains("pragma"));
        }
        QVERIFY(TileSource::userAgent().startsWith("PinDrift/" PINDRIFT_VERSION " "));
    }

    void tilesThatLeaveTheViewAreAborted()
    {
        TileServer server;
        server.setHolding(true);
        Map map(server.urlTemplate());
        map.view.setCamera(kLiberty, 12);
        QVERIFY(map.show());
        QTRY_COMPARE(server.waiting(), TileSource::kDefaultConcurrentRequests);
        const QStringList first = server.paths();
        QSignalSpy aborted(map.view.tileSource(), &TileSource::requestAborted);

        map.view.setCamera({-33.8568, 151.2153}, 12); // Sydney
        QTRY_COMPARE(aborted.size(), first.size());
        for (const QList<QVariant> &signal : aborted)
            QVERIFY(first.contains(tilePath(signal.first().value<TileKey>())));
        // The server sees each of those connections closed before its answer.
        QTRY_VERIFY(std::all_of(server.requests().cbegin(),
                                server.requests().cbegin() + first.size(),
                                [](const TileServer::Request &r) { return r.dropped; }));
        QTRY_COMPARE(server.waiting(), TileSource::kDefaultConcurrentRequests);
        for (const QString &path : server.paths().mid(first.size()))
            QCOMPARE(tileKeyOfPath(path).x >= 3700, true); // Sydney's, not New York's
        server.setHolding(false);
        QTRY_VERIFY(allWantedLoaded(map.view));
    }

    void aFailedTileIsRetriedLater()
    {
        TileServer server;
        const TileKey centre {14, 4822, 6161};
        server.failTimes(centre, 2);
        Map map(server.urlTemplate());
        map.view.tileSource()->setRetryDelay(50ms);
        map.view.setCamera(kLiberty, 14);
        QVERIFY(map.show());
        QTRY_VERIFY(allWantedLoaded(map.view));
        QCOMPARE(server.requestsFor(centre), 3);
        QCOMPARE(server.requestsFor({14, 4821, 6161}), 1);
    }

    void theDiskCacheFollowsTheServersExpiry()
    {
        TileServer server;
        QTemporaryDir cache;
        server.setCacheControl("max-age=3600");
        {
            Map map(server.urlTemplate(), {300, 300}, cache.path());
            map.view.setCamera(kLiberty, 15);
            QVERIFY(map.show());
            QTRY_VERIFY(allWantedLoaded(map.view));
        }
        const qsizetype fetched = server.requests().size();
        {
            Map map(server.urlTemplate(), {300, 300}, cache.path());
            map.view.setCamera(kLiberty, 15);
            QVERIFY(map.show());
            QTRY_VERIFY(allWantedLoaded(map.view));
        }
        QCOMPARE(server.requests().size(), fetched); // fresh copies came from the disk

        // Expired copies are revalidated with the server (which answers "not modified").
        server.setCacheControl("max-age=0, must-revalidate");
        QTemporaryDir other;
        for (int round = 0; round < 2; ++round) {
            Map map(server.urlTemplate(), {300, 300}, other.path());
            map.view.setCamera(kLiberty, 16);
            QVERIFY(map.show());
            QTRY_VERIFY(allWantedLoaded(map.view));
        }
        const QList<TileServer::Request> requests = server.requests().mid(fetched);
        QCOMPARE(requests.size() % 2, 0);
        for (const TileServer::Request &request : requests.mid(requests.size() / 2))
            QCOMPARE(request.headers.value("if-modified-since"),
                     QByteArray("Mon, 01 Jan 2024 00:00:00 GMT"));
    }

    void memoryStaysWithinItsBudgetAcrossAHundredTiles()
    {
        TileServer server;
        Map map(server.urlTemplate(), {256, 256});
        constexpr qint64 budget = 8 * 1024 * 1024; // 32 tiles
        map.view.tileSource()->setMemoryBudget(budget);
        map.view.setCamera(kLiberty, 12);
        QVERIFY(map.show());
        QSet<TileKey> seen;
        for (int step = 0; step < 30; ++step) {
            QTRY_VERIFY(allWantedLoaded(map.view));
            for (const TileKey &key : map.view.viewport().wantedTiles(1))
                seen.insert(key);
            QVERIFY(map.view.tileSource()->memoryUsed() <= budget);
            drag(&map.view, {200, 128}, {-256, 0});
        }
        QVERIFY(seen.size() >= 100);
        QVERIFY(map.view.tileSource()->tilesInMemory() <= 32);
    }

    void zoomingInKeepsTheOldTilesUntilNewOnesArrive()
    {
        TileServer server;
        Map map(server.urlTemplate());
        map.view.setCamera(kLiberty, 14);
        QVERIFY(map.show());
        QTRY_VERIFY(allWantedLoaded(map.view));
        server.setHolding(true);
        for (const double zoom : {14.5, 15.0, 15.5}) {
            wheel(&map.view, {300, 200}, {0, 120});
            QTRY_VERIFY(!map.view.isAnimating());
            QCOMPARE(map.view.zoom(), zoom);
            QCOMPARE(countPixels(map.view.grab().toImage(), isPlaceholder), 0);
        }
        // Zooming back out two levels past them, the finer tiles fill what they cover.
        wheel(&map.view, {300, 200}, {0, -120 * 8});
        QTRY_VERIFY(!map.view.isAnimating());
        QCOMPARE(map.view.zoom(), 11.5); // drawn with tiles of zoom 12
        const QImage image = map.view.grab().toImage();
        QVERIFY(!isPlaceholder(image.pixel(300, 200)));
        server.setHolding(false);
        QTRY_VERIFY(allWantedLoaded(map.view));
    }

    void tilesMeetWithoutSeamsAtEveryRatio_data()
    {
        QTest::addColumn<double>("zoom");
        QTest::addColumn<double>("ratio");
        QTest::newRow("whole zoom, ratio 1") << 14.0 << 1.0;
        QTest::newRow("fractional zoom, ratio 1") << 13.37 << 1.0;
        QTest::newRow("whole zoom, ratio 2") << 14.0 << 2.0;
        QTest::newRow("fractional zoom, ratio 2") << 14.29 << 2.0;
        QTest::newRow("fractional zoom, ratio 1.5") << 12.61 << 1.5;
    }

    void tilesMeetWithoutSeamsAtEveryRatio()
    {
        QFETCH(double, zoom);
        QFETCH(double, ratio);
        TileServer server;
        Map map(server.urlTemplate());
        map.view.setCamera({40.7013, -74.0112}, zoom);
        QVERIFY(map.show());
        QTRY_VERIFY(allWantedLoaded(map.view));
        QImage image((QSizeF(map.view.size()) * ratio).toSize(),
                     QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(ratio);
        image.fill(Qt::magenta);
        map.view.render(&image);
        // Not one pixel left unpainted or blended with what lay beneath.
        QCOMPARE(
            countPixels(image,
                        [](QRgb p) { return qRed(p) > 150 && qGreen(p) < 120 && qBlue(p) > 150; }),
            0);
    }
};

QTEST_MAIN(TestMapView)
#include "tst_mapview.moc"
