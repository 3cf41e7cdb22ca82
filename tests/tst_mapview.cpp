// The map view widget, offscreen: clicks, drags, zooms, the marker, and its tiles from a
// loopback tile server.
#include "MapTestSupport.h"
#include "map/MapView.h"
#include "map/TileSource.h"
#include "state/AppEnvironment.h"

#include <QNativeGestureEvent>
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

void gesture(QWidget *widget, Qt::NativeGestureType type, QPointF at, double value = 0)
{
    QNativeGestureEvent event(type, QPointingDevice::primaryPointingDevice(), 2, at, at,
                              widget->mapToGlobal(at), value, {});
    QApplication::sendEvent(widget, &event);
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
    bool show(CLLocationCoordinate2D centre = kLiberty, double zoom = 14)
    {
        view.setCamera(centre, zoom);
        view.show();
        return QTest::qWaitForWindowExposed(&view);
    }

    QTemporaryDir cache;
    MapView view;
};

enum class Input { Notches, Pixels, FineWheel, Pinch, DoubleClick };

} // namespace

Q_DECLARE_METATYPE(Input)

class TestMapView : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // ---- Pointer and camera -------------------------------------------------------------

    void pressMoveRelease_data()
    {
        QTest::addColumn<QPoint>("move");
        QTest::addColumn<bool>("isClick");
        QTest::newRow("click") << QPoint(0, 0) << true;
        QTest::newRow("wobble below the drag distance")
            << QPoint(QApplication::startDragDistance() - 1, 0) << true;
        QTest::newRow("drag") << QPoint(170, 90) << false;
    }

    void pressMoveRelease()
    {
        QFETCH(QPoint, move);
        QFETCH(bool, isClick);
        Map map;
        QVERIFY(map.show());
        const QPoint from(100, 50);
        const CLLocationCoordinate2D grabbed = *map.view.coordinateAt(from);
        QSignalSpy clicks(&map.view, &MapView::clicked);
        QSignalSpy moves(&map.view, &MapView::cameraChangedByUser);
        dragMap(&map.view, from, move);
        QVERIFY(!map.view.isAnimating()); // the pointer rested before release: no fling
        QCOMPARE(clicks.size(), isClick ? 1 : 0);
        QCOMPARE(moves.size(), isClick ? 0 : 1);
        if (isClick) {
            QCOMPARE(clicks.first().first().toPointF(), QPointF(from + move));
            // Independently: the centre's world pixel, moved by the offset from the middle.
            const QPointF world = project(kLiberty, 14) + QPointF(from + move) - QPointF(300, 200);
            const CLLocationCoordinate2D expected = unproject(world, 14);
            const CLLocationCoordinate2D got = *map.view.coordinateAt(from + move);
            QVERIFY(std::abs(got.latitude - expected.latitude) < 1e-9);
            QVERIFY(std::abs(got.longitude - expected.longitude) < 1e-9);
            QVERIFY(std::abs(map.view.center().longitude - kLiberty.longitude) < 1e-9);
        } else {
            // The place grabbed stays under the pointer.
            QVERIFY(pixelDistance(map.view.pointFor(grabbed), from + move) < 1e-6);
        }
    }

    void aQuickDragFlingsOnAndAPressOnlyStopsIt()
    {
        Map map;
        QVERIFY(map.show());
        const QPoint from(100, 200);
        const CLLocationCoordinate2D grabbed = *map.view.coordinateAt(from);
        QSignalSpy moves(&map.view, &MapView::cameraChangedByUser);
        QSignalSpy clicks(&map.view, &MapView::clicked);
        dragMap(&map.view, from, QPoint(400, 0), true); // 3000 pixels a second: a second's glide
        QVERIFY(map.view.isAnimating());
        QCOMPARE(moves.size(), 0); // not at rest yet
        QTRY_VERIFY(map.view.pointFor(grabbed).x() > from.x() + 420);
        QTest::mouseClick(&map.view, Qt::LeftButton, {}, QPoint(300, 300));
        QVERIFY(!map.view.isAnimating());
        QCOMPARE(clicks.size(), 0);
        QCOMPARE(moves.size(), 1);
        QVERIFY(std::abs(map.view.pointFor(grabbed).y() - from.y()) < 1e-6);
    }

    // Every way to zoom keeps the place under the pointer where it is and ends in one report.
    void zoomKeepsThePlaceUnderThePointer_data()
    {
        QTest::addColumn<double>("startZoom");
        QTest::addColumn<Input>("input");
        QTest::addColumn<double>("amount");
        QTest::addColumn<int>("times");
        QTest::addColumn<double>("endZoom");
        QTest::newRow("wheel notches glide on") << 12.0 << Input::Notches << 120.0 << 2 << 13.0;
        QTest::newRow("a notch out") << 12.0 << Input::Notches << -120.0 << 1 << 11.5;
        QTest::newRow("no further in than 19") << 18.0 << Input::Notches << 120.0 << 6 << 19.0;
        QTest::newRow("no further out than 2") << 3.0 << Input::Notches << -120.0 << 6 << 2.0;
        QTest::newRow("trackpad pixels, 200 a level") << 12.0 << Input::Pixels << 50.0 << 2 << 12.5;
        QTest::newRow("fine wheel") << 12.0 << Input::FineWheel << 45.0 << 1 << 12.1875;
        QTest::newRow("pinch, twice the scale twice") << 10.0 << Input::Pinch << 1.0 << 2 << 12.0;
        QTest::newRow("double click") << 11.3 << Input::DoubleClick << 0.0 << 1 << 12.0;
    }

    void zoomKeepsThePlaceUnderThePointer()
    {
        QFETCH(double, startZoom);
        QFETCH(Input, input);
        QFETCH(double, amount);
        QFETCH(int, times);
        QFETCH(double, endZoom);
        Map map;
        QVERIFY(map.show(kLiberty, startZoom));
        const QPoint at(120, 333);
        const CLLocationCoordinate2D under = *map.view.coordinateAt(at);
        QSignalSpy moves(&map.view, &MapView::cameraChangedByUser);
        QSignalSpy clicks(&map.view, &MapView::clicked);
        for (int i = 0; i < times; ++i) {
            const int step = static_cast<int>(amount);
            switch (input) {
            case Input::Notches:
                sendWheel(&map.view, at, {0, step});
                break;
            case Input::Pixels:
                sendWheel(&map.view, at, {0, step / 2}, {0, step}, Qt::ScrollUpdate);
                break;
            case Input::FineWheel:
                sendWheel(&map.view, at, {0, step});
                break;
            case Input::Pinch:
                gesture(&map.view, Qt::ZoomNativeGesture, at, amount);
                break;
            case Input::DoubleClick:
                QTest::mouseClick(&map.view, Qt::LeftButton, {}, at);
                QTest::mouseDClick(&map.view, Qt::LeftButton, {}, at);
                QTest::mouseRelease(&map.view, Qt::LeftButton, {}, at);
                break;
            }
        }
        if (input == Input::Pinch)
            gesture(&map.view, Qt::EndNativeGesture, at);
        QTRY_COMPARE(moves.size(), 1);
        QVERIFY(!map.view.isAnimating());
        QCOMPARE(map.view.zoom(), endZoom);
        if (endZoom > kMinZoom && endZoom < kMaxZoom)
            QVERIFY(pixelDistance(map.view.pointFor(under), at) < 1e-6);
        QCOMPARE(clicks.size(), input == Input::DoubleClick ? 1 : 0); // its first click only
    }

    void theMarkerStandsOnItsCoordinateOnTheNearestWorld()
    {
        Map map;
        auto *marker = new QWidget;
        marker->resize(30, 30);
        map.view.setMarkerView(marker);
        map.view.setMarkerTitle(QStringLiteral("Here"));
        QVERIFY(map.show({-17.7, 179.99}, 12));
        const CLLocationCoordinate2D east {-17.7, -179.98}; // across the antimeridian
        map.view.setMarkerCoordinate(east);
        QCOMPARE(marker->parentWidget(), &map.view);
        const QPointF at = map.view.pointFor(east);
        QVERIFY(at.x() > 300 && at.x() < 600);
        const auto markerCentre = [&] {
            return QRectF(marker->geometry()).center() + QPointF(0.5, 0.5);
        };
        QVERIFY(pixelDistance(markerCentre(), at) <= 1.0);
        // The title sits below the marker, centred.
        const QRectF title = map.view.markerTitleRect();
        QVERIFY(std::abs(title.center().x() - at.x()) < 1e-9);
        QVERIFY(title.top() >= at.y() + 10);
        // It moves with the map.
        dragMap(&map.view, {300, 300}, {-50, 20});
        QVERIFY(pixelDistance(markerCentre(), at + QPointF(-50, 20)) <= 1.0);
    }

    void offlineItDrawsAGridAndTheAttribution()
    {
        Map map;
        QVERIFY(map.show());
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
        QVERIFY(map.show(kLiberty, 13.49));
        QTRY_VERIFY(allWantedLoaded(map.view));
        QStringList expected;
        for (const TileKey &key : map.view.viewport().wantedTiles(1))
            expected.append(tilePath(key));
        QCOMPARE(server.paths(), expected);
        QCOMPARE(server.paths().first(), tilePath({13, 2411, 3080}));
        for (const TileServer::Request &request : server.requests()) {
            QCOMPARE(request.headers.value("user-agent"), AppEnvironment::userAgent());
            QVERIFY(!request.headers.value("cache-control").contains("no-cache"));
            QVERIFY(!request.headers.contains("pragma"));
        }
        QVERIFY(AppEnvironment::userAgent().startsWith("PinDrift/" PINDRIFT_VERSION " "));
    }

    void tilesThatLeaveTheViewAreAborted()
    {
        TileServer server;
        server.setHolding(true);
        Map map(server.urlTemplate());
        QVERIFY(map.show(kLiberty, 12));
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
        QVERIFY(map.show());
        QTRY_VERIFY(allWantedLoaded(map.view));
        QCOMPARE(server.requestsFor(centre), 3);
        QCOMPARE(server.requestsFor({14, 4821, 6161}), 1);
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
        const qsizetype fetched = server.requests().size();
        QVERIFY(load(fresh.path()));
        QCOMPARE(server.requests().size(), fetched); // fresh copies came from the disk

        // Expired copies are revalidated with the server (which answers "not modified").
        QTemporaryDir expired;
        server.setCacheControl("max-age=0, must-revalidate");
        QVERIFY(load(expired.path()));
        QVERIFY(load(expired.path()));
        const QList<TileServer::Request> again = server.requests().mid(fetched * 2);
        QCOMPARE(again.size(), fetched);
        for (const TileServer::Request &request : again)
            QCOMPARE(request.headers.value("if-modified-since"),
                     QByteArray("Mon, 01 Jan 2024 00:00:00 GMT"));
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
        QTest::newRow("whole zoom, ratio 1.5") << 2.0 << 1.5;
        QTest::newRow("fractional zoom, ratio 1.25") << 9.8 << 1.25;
    }

    void tilesMeetWithoutSeamsAtEveryRatio()
    {
        QFETCH(double, zoom);
        QFETCH(double, ratio);
        TileServer server;
        Map map(server.urlTemplate());
        QVERIFY(map.show({40.7013, -74.0112}, zoom));
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
    }
};

QTEST_MAIN(TestMapView)
#include "tst_mapview.moc"
