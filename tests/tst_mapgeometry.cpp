// Web Mercator geometry and the camera, with no widget.
#include "MapTestSupport.h"

#include <QSet>
#include <QTest>
#include <QtMath>

using namespace mapgeometry;

Q_DECLARE_METATYPE(CLLocationCoordinate2D)

class TestMapGeometry : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void knownTilesAndTheRoundTrip_data()
    {
        QTest::addColumn<CLLocationCoordinate2D>("coordinate");
        QTest::addColumn<int>("zoom");
        QTest::addColumn<QPoint>("tile");
        // clang-format off
        QTest::newRow("null island z5") << CLLocationCoordinate2D {0, 0} << 5 << QPoint(16, 16);
        QTest::newRow("Westminster z10") << CLLocationCoordinate2D {51.5007, -0.1246} << 10 << QPoint(511, 340);
        QTest::newRow("Liberty Island z13") << kLiberty << 13 << QPoint(2411, 3080);
        QTest::newRow("Sydney Opera House z12") << CLLocationCoordinate2D {-33.8568, 151.2153} << 12 << QPoint(3768, 2457);
        QTest::newRow("Ushuaia z19") << CLLocationCoordinate2D {-54.8019, -68.303} << 19 << QPoint(162670, 357955);
        QTest::newRow("near the clamp, z7") << CLLocationCoordinate2D {85.05, 179.999999} << 7 << QPoint(127, 0);
        QTest::newRow("longitude 180 wraps to 0") << CLLocationCoordinate2D {0, 180} << 3 << QPoint(0, 4);
        QTest::newRow("pole clamps to last row") << CLLocationCoordinate2D {-90, 0} << 4 << QPoint(8, 15);
        // clang-format on
    }

    void knownTilesAndTheRoundTrip()
    {
        QFETCH(CLLocationCoordinate2D, coordinate);
        QFETCH(int, zoom);
        QTEST(tileAt(coordinate, zoom), "tile");
        if (std::abs(coordinate.latitude) < kMaxLatitude && coordinate.longitude < 180)
            QVERIFY(near(unproject(project(coordinate, zoom + 0.37), zoom + 0.37), coordinate));
    }

    void clampsAndWraps()
    {
        QVERIFY(std::abs(metersPerPixel(0, 0) - 156543.03392804097) < 1e-6);
        QCOMPARE(project({89.9, 0}, 3), project({kMaxLatitude, 0}, 3));
        QVERIFY(std::abs(project({-kMaxLatitude, 0}, 0).y() - 256) < 1e-9);
        QCOMPARE(fromUnit({0.5, -3}).latitude, unproject({128, 0}, 0).latitude);
        const double wraps[] = {-74, -74, 180, -180, 190, -170, -190, 170, 540.5, -179.5};
        for (const double *w = wraps; w != std::end(wraps); w += 2)
            QVERIFY(std::abs(wrapLongitude(w[0]) - w[1]) < 1e-9);
        QCOMPARE(wrapTileX(-1, 3), 7);
        QCOMPARE(wrapTileX(-17, 3), 7);
        // The camera's angles: the bearing wraps, the pitch stops at its ends.
        Viewport view({600, 400});
        for (const auto &[set, bearing] :
             {std::pair {-15.0, 345.0}, {720.5, 0.5}, {-1e-15, 0.0}, {359.9, 359.9}}) {
            view.setCamera(kLiberty, 12, set, set);
            QVERIFY(std::abs(view.bearing() - bearing) < 1e-9);
            QCOMPARE(view.pitch(), std::clamp(set, 0.0, kMaxPitch));
        }
    }

    // The 6000 m region: both spans at least 6000 m, the tighter within 3 %; north up and flat.
    void fitsTheRegionOfThePin_data()
    {
        QTest::addColumn<CLLocationCoordinate2D>("centre");
        QTest::addColumn<QSizeF>("size");
        QTest::newRow("default pin, window") << kLiberty << QSizeF(900, 580);
        QTest::newRow("default pin, narrow pane") << kLiberty << QSizeF(420, 480);
        QTest::newRow("equator, square") << CLLocationCoordinate2D {0, 0} << QSizeF(600, 600);
        QTest::newRow("Oslo, tall") << CLLocationCoordinate2D {59.91, 10.75} << QSizeF(500, 900);
        QTest::newRow("Fiji, antimeridian")
            << CLLocationCoordinate2D {-17.7, 179.999} << QSizeF(700, 500);
    }

    void fitsTheRegionOfThePin()
    {
        QFETCH(CLLocationCoordinate2D, centre);
        QFETCH(QSizeF, size);
        Viewport view(size);
        view.setCamera({0, 0}, 5, 40, 30);
        view.fitRegion(coordinates::pinRegion(centre));
        QVERIFY(view.isNorthUpFlat());
        QVERIFY(near(view.center(), centre));
        constexpr double kMetersPerDegree = kEarthRadius * M_PI / 180.0;
        const double northSouth = (view.toCoordinate({size.width() / 2, 0})->latitude
                                   - view.toCoordinate({size.width() / 2, size.height()})->latitude)
            * kMetersPerDegree;
        const double eastWest = size.width() * metersPerPixel(centre.latitude, view.zoom());
        QVERIFY(northSouth >= 6000 * (1 - 1e-9) && eastWest >= 6000 * (1 - 1e-9));
        QVERIFY(std::min(northSouth, eastWest) <= 6000 * 1.03);
        view.fitRegion(MapRegion::withDistance(centre, 1, 1));
        QCOMPARE(view.zoom(), kMaxZoom);
        view.fitRegion(MapRegion::withDistance(centre, 4e7, 4e7));
        QCOMPARE(view.zoom(), kMinZoom);
    }

    void theViewStaysInsideTheWorld()
    {
        Viewport tall({800, 1400}); // taller than the world at zoom 2 (1024 pixels)
        tall.setCamera({70, 0}, 2);
        QCOMPARE(tall.centerUnit().y(), 0.5);
        QVERIFY(!tall.toCoordinate({400, 10}).has_value()); // beyond the north end
        QVERIFY(!tall.toCoordinate({400, qQNaN()}).has_value());
        QCOMPARE(tall.wantedTiles(0).size(), 16); // every tile of zoom 2, once
        Viewport view({600, 400});
        view.setCamera({85, 0}, 4);
        QVERIFY(std::abs(view.topLeftWorld().y()) < 1e-9);
        view.panBy({0, 5000});
        QVERIFY(std::abs(view.topLeftWorld().y()) < 1e-9);
        view.panBy({0, -1e6});
        QVERIFY(std::abs(view.topLeftWorld().y() + 400 - worldSize(4)) < 1e-6);
        // Across the antimeridian a point east of it is drawn east of the centre.
        view.setCamera({-17.7, 179.99}, 10);
        const CLLocationCoordinate2D beyond = *view.toCoordinate({500, 200});
        QVERIFY(beyond.longitude < -179.0);
        view.panBy({-300, 0});
        QVERIFY(distance(*view.toView(beyond), {200, 200}) < 1e-6);
        QSet<int> columns;
        for (const TileKey &key : view.wantedTiles(0))
            columns.insert(key.x);
        QVERIFY(columns.contains(0) && columns.contains(1023) && !columns.contains(1024));
    }

    void wantedTilesComeCentreFirstThenTheMargin()
    {
        Viewport view({900, 580});
        view.setCamera(kLiberty, 13.49);
        const QList<TileKey> visible = view.wantedTiles(0);
        const QList<TileKey> wanted = view.wantedTiles(1);
        QCOMPARE(wanted.first(), (TileKey {13, 2411, 3080}));
        QCOMPARE(wanted.mid(0, visible.size()), visible);
        const double tile = 256 * std::exp2(view.zoom() - 13);
        const QPointF tl = view.topLeftWorld() / tile;
        const QPointF br = (view.topLeftWorld() + QPointF(900, 580)) / tile;
        const int columns = int(std::ceil(br.x())) - int(std::floor(tl.x()));
        const int rows = int(std::ceil(br.y())) - int(std::floor(tl.y()));
        QCOMPARE(visible.size(), columns * rows);
        QCOMPARE(wanted.size(), (columns + 2) * (rows + 2));
    }

    // Screen to ground and back, against a ray cast from the eye, with the place under the
    // pointer kept by a pan, a zoom and a turn.
    void theCameraMapsTheGround_data()
    {
        QTest::addColumn<double>("bearing");
        QTest::addColumn<double>("pitch");
        for (const double bearing : {0.0, 37.0, 180.0, 359.9})
            for (const double pitch : {0.0, 30.0, 60.0})
                QTest::addRow("bearing %g, pitch %g", bearing, pitch) << bearing << pitch;
    }

    void theCameraMapsTheGround()
    {
        QFETCH(double, bearing);
        QFETCH(double, pitch);
        Viewport view({900, 580});
        view.setCamera(kLiberty, 14.3, bearing, pitch);
        for (int x = 0; x <= 900; x += 150) {
            for (int y = 0; y <= 580; y += 116) {
                const auto coordinate = view.toCoordinate(QPointF(x, y));
                QVERIFY(coordinate.has_value());
                QVERIFY(distance(*view.toView(*coordinate), QPointF(x, y)) < 0.5);
                QVERIFY(near(*coordinate, groundUnder(view, QPointF(x, y)), 1e-8));
            }
        }
        const QPointF from(700, 100);
        const QPointF to(200, 500);
        const CLLocationCoordinate2D grabbed = *view.toCoordinate(from);
        view.panBy(from, to);
        QVERIFY(distance(*view.toView(grabbed), to) < 0.5);
        view.zoomAround(to, 15.1);
        QVERIFY(distance(*view.toView(grabbed), to) < 0.5);
        view.rotateAround(to, bearing + 100);
        QVERIFY(distance(*view.toView(grabbed), to) < 0.5);
        // Behind the eye nothing is drawn; north on the screen follows the bearing.
        view.setCamera(kLiberty, 14.3, bearing, pitch);
        const QPointF back =
            QPointF(-std::sin(qDegreesToRadians(bearing)), std::cos(qDegreesToRadians(bearing))) * 2
            * view.cameraDistance();
        const CLLocationCoordinate2D behind =
            fromUnit(view.centerUnit() + back / worldSize(view.zoom()));
        QCOMPARE(view.toView(behind).has_value(), pitch == 0.0);
        if (pitch == 0.0)
            QVERIFY(std::abs(std::remainder(view.northOnScreen() + bearing, 360.0)) < 1e-9);
    }

    // A turned and tilted view: tiles that cover it once, none beyond it, a bounded count.
    void aTiltedViewIsCoveredOnceByNearAndCoarserTiles_data()
    {
        QTest::addColumn<double>("zoom");
        QTest::addColumn<double>("bearing");
        QTest::addColumn<double>("pitch");
        QTest::addColumn<int>("coarsest");
        QTest::newRow("turned only") << 14.0 << 37.0 << 0.0 << 14;
        QTest::newRow("pitch 60") << 14.0 << 37.0 << 60.0 << 13;
        QTest::newRow("pitch 60, fractional zoom") << 13.49 << 200.0 << 60.0 << 12;
        QTest::newRow("pitch 60, lowest zoom") << 2.0 << 90.0 << 60.0 << 1;
    }

    void aTiltedViewIsCoveredOnceByNearAndCoarserTiles()
    {
        QFETCH(double, zoom);
        QFETCH(double, bearing);
        QFETCH(double, pitch);
        Viewport view({900, 580});
        view.setCamera(kLiberty, zoom, bearing, pitch);
        const QList<Viewport::Cover> covers = view.coveringTiles();
        QSet<TileKey> keys;
        int lowest = 99;
        for (const Viewport::Cover &cover : covers) {
            keys.insert(cover.key);
            lowest = std::min(lowest, cover.key.z);
            // Each shows some of the view.
            const QPolygonF drawn = view.planeToView().map(QPolygonF(cover.plane));
            QVERIFY(!drawn.intersected(QPolygonF(QRectF(0, 0, 900, 580))).isEmpty());
        }
        QTEST(lowest, "coarsest");
        const QList<TileKey> wanted = view.wantedTiles(1);
        QCOMPARE(QSet<TileKey>(wanted.cbegin(), wanted.cend()), keys);
        QVERIFY(covers.size() <= 48);
        // Every pixel on the world lies in exactly one of them.
        const QTransform toPlane = view.planeToView().inverted();
        for (int x = 1; x < 900; x += 23) {
            for (int y = 1; y < 580; y += 19) {
                const QPointF at = toPlane.map(QPointF(x, y));
                const double worldY = at.y() + view.topLeftWorld().y();
                if (worldY < 0 || worldY > worldSize(zoom))
                    continue;
                QCOMPARE(int(std::count_if(covers.cbegin(), covers.cend(),
                                           [&](const auto &c) { return c.plane.contains(at); })),
                         1);
            }
        }
    }
};

QTEST_MAIN(TestMapGeometry)
#include "tst_mapgeometry.moc"
