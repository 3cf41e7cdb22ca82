// Web Mercator geometry and the viewport, with no widget.
#include "map/Viewport.h"

#include <QTest>
#include <cmath>

using namespace mapgeometry;

Q_DECLARE_METATYPE(CLLocationCoordinate2D)

namespace {

constexpr double kMetersPerDegree = kEarthRadius * M_PI / 180.0;

// The ground the view shows through its middle, north-south and east-west, in metres.
QSizeF visibleMeters(const Viewport &view)
{
    const QSizeF size = view.size();
    const auto top = view.toCoordinate({size.width() / 2, 0});
    const auto bottom = view.toCoordinate({size.width() / 2, size.height()});
    const double latitude = view.center().latitude;
    const double eastWest = size.width() * 360.0 / worldSize(view.zoom()) * kMetersPerDegree
        * std::cos(latitude * M_PI / 180);
    return {eastWest, (top->latitude - bottom->latitude) * kMetersPerDegree};
}

} // namespace

class TestMapGeometry : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void roundTrip_data()
    {
        QTest::addColumn<CLLocationCoordinate2D>("coordinate");
        QTest::addColumn<double>("zoom");
        QTest::newRow("default pin, z13.49")
            << CLLocationCoordinate2D {40.689247, -74.044502} << 13.49;
        QTest::newRow("origin, z2") << CLLocationCoordinate2D {0, 0} << 2.0;
        QTest::newRow("south, z19") << CLLocationCoordinate2D {-54.8019, -68.303} << 19.0;
        QTest::newRow("near the clamp") << CLLocationCoordinate2D {85.05, 179.999999} << 7.25;
        QTest::newRow("west edge") << CLLocationCoordinate2D {-85.05, -180.0} << 0.0;
    }

    void roundTrip()
    {
        QFETCH(CLLocationCoordinate2D, coordinate);
        QFETCH(double, zoom);
        const CLLocationCoordinate2D back = unproject(project(coordinate, zoom), zoom);
        QVERIFY(std::abs(back.latitude - coordinate.latitude) < 1e-9);
        QVERIFY(std::abs(back.longitude - coordinate.longitude) < 1e-9);
    }

    void knownTiles_data()
    {
        QTest::addColumn<CLLocationCoordinate2D>("coordinate");
        QTest::addColumn<int>("zoom");
        QTest::addColumn<QPoint>("tile");
        QTest::newRow("anything at zoom 0") << CLLocationCoordinate2D {10, 10} << 0 << QPoint(0, 0);
        QTest::newRow("null island z5") << CLLocationCoordinate2D {0, 0} << 5 << QPoint(16, 16);
        QTest::newRow("Westminster z10")
            << CLLocationCoordinate2D {51.5007, -0.1246} << 10 << QPoint(511, 340);
        QTest::newRow("Liberty Island z13")
            << CLLocationCoordinate2D {40.689247, -74.044502} << 13 << QPoint(2411, 3080);
        QTest::newRow("Liberty Island z17")
            << CLLocationCoordinate2D {40.689247, -74.044502} << 17 << QPoint(38577, 49291);
        QTest::newRow("Sydney Opera House z12")
            << CLLocationCoordinate2D {-33.8568, 151.2153} << 12 << QPoint(3768, 2457);
        QTest::newRow("Fiji z8") << CLLocationCoordinate2D {-17.7134, 178.065} << 8
                                 << QPoint(254, 140);
        QTest::newRow("Ushuaia z19")
            << CLLocationCoordinate2D {-54.8019, -68.303} << 19 << QPoint(162670, 357955);
        QTest::newRow("longitude 180 wraps to 0")
            << CLLocationCoordinate2D {0, 180} << 3 << QPoint(0, 4);
        QTest::newRow("pole clamps to last row")
            << CLLocationCoordinate2D {-90, 0} << 4 << QPoint(8, 15);
    }

    void knownTiles()
    {
        QFETCH(CLLocationCoordinate2D, coordinate);
        QFETCH(int, zoom);
        QFETCH(QPoint, tile);
        QCOMPARE(tileAt(coordinate, zoom), tile);
    }

    void clampsAtTheEndsOfTheSquareWorld()
    {
        QVERIFY(std::abs(metersPerPixel(0, 0) - 156543.03392804097) < 1e-6);
        QCOMPARE(project({89.9, 0}, 3), project({kMaxLatitude, 0}, 3));
        QVERIFY(std::abs(project({kMaxLatitude, 0}, 0).y()) < 1e-9);
        QVERIFY(std::abs(project({-kMaxLatitude, 0}, 0).y() - 256) < 1e-9);
        QCOMPARE(fromUnit({0.5, -3}).latitude, unproject({128, 0}, 0).latitude);
    }

    void wrapsLongitudeAndTileColumns_data()
    {
        QTest::addColumn<double>("longitude");
        QTest::addColumn<double>("wrapped");
        QTest::newRow("inside") << -74.0 << -74.0;
        QTest::newRow("180 is -180") << 180.0 << -180.0;
        QTest::newRow("east of 180") << 190.0 << -170.0;
        QTest::newRow("west of -180") << -190.0 << 170.0;
        QTest::newRow("twice round") << 540.5 << -179.5;
    }

    void wrapsLongitudeAndTileColumns()
    {
        QFETCH(double, longitude);
        QFETCH(double, wrapped);
        QVERIFY(std::abs(wrapLongitude(longitude) - wrapped) < 1e-9);
    }

    // The 6000 m region: both spans at least 6000 m, the tighter within 3 %.
    void fitsTheRegionOfThePin_data()
    {
        QTest::addColumn<CLLocationCoordinate2D>("centre");
        QTest::addColumn<QSizeF>("size");
        QTest::newRow("default pin, window")
            << CLLocationCoordinate2D {40.689247, -74.044502} << QSizeF(900, 580);
        QTest::newRow("default pin, narrow pane")
            << CLLocationCoordinate2D {40.689247, -74.044502} << QSizeF(420, 480);
        QTest::newRow("equator, square") << CLLocationCoordinate2D {0, 0} << QSizeF(600, 600);
        QTest::newRow("Oslo, tall") << CLLocationCoordinate2D {59.91, 10.75} << QSizeF(500, 900);
        QTest::newRow("Fiji, antimeridian")
            << CLLocationCoordinate2D {-17.7, 179.999} << QSizeF(700, 500);
        QTest::newRow("Ushuaia") << CLLocationCoordinate2D {-54.8019, -68.303} << QSizeF(900, 580);
    }

    void fitsTheRegionOfThePin()
    {
        QFETCH(CLLocationCoordinate2D, centre);
        QFETCH(QSizeF, size);
        Viewport view(size);
        view.fitRegion(coordinates::pinRegion(centre));
        QVERIFY(std::abs(view.center().latitude - centre.latitude) < 1e-9);
        QVERIFY(std::abs(view.center().longitude - centre.longitude) < 1e-9);
        const QSizeF meters = visibleMeters(view);
        QVERIFY2(meters.width() >= 6000 * (1 - 1e-9) && meters.height() >= 6000 * (1 - 1e-9),
                 qPrintable(QStringLiteral("%1 x %2").arg(meters.width()).arg(meters.height())));
        QVERIFY(std::min(meters.width(), meters.height()) <= 6000 * 1.03);
    }

    void fitRespectsTheZoomLimits()
    {
        Viewport view({600, 400});
        view.fitRegion(MapRegion::withDistance({10, 10}, 1, 1));
        QCOMPARE(view.zoom(), kMaxZoom);
        view.fitRegion(MapRegion::withDistance({10, 10}, 4e7, 4e7));
        QCOMPARE(view.zoom(), kMinZoom);
    }

    void aTallViewAtALowZoomShowsTheWholeWorldHeight()
    {
        Viewport view({800, 1400}); // taller than the world at zoom 2 (1024 pixels)
        view.setCamera({70, 0}, 2);
        QCOMPARE(view.centerUnit().y(), 0.5);
        QVERIFY(!view.toCoordinate({400, 10}).has_value()); // beyond the north end
        QVERIFY(!view.toCoordinate({400, qQNaN()}).has_value());
        QVERIFY(view.toCoordinate({400, 700}).has_value());
        QCOMPARE(view.wantedTiles(0).size(), 16); // every tile of zoom 2, once
        QCOMPARE(wrapTileX(-1, 3), 7);
        QCOMPARE(wrapTileX(-17, 3), 7);
    }

    void aViewNeverShowsBeyondTheClampLines()
    {
        Viewport view({600, 400});
        view.setCamera({85, 0}, 4);
        QVERIFY(std::abs(view.topLeftWorld().y()) < 1e-9);
        view.panBy({0, 5000});
        QVERIFY(std::abs(view.topLeftWorld().y()) < 1e-9);
        view.panBy({0, -1e6});
        QVERIFY(std::abs(view.topLeftWorld().y() + 400 - worldSize(4)) < 1e-6);
    }

    void panningCrossesTheAntimeridian()
    {
        Viewport view({600, 400});
        view.setCamera({-17.7, 179.99}, 10);
        const QPointF east(500, 200);
        const CLLocationCoordinate2D beyond = *view.toCoordinate(east);
        QVERIFY(beyond.longitude < -179.0); // wrapped, not 180-something
        // A point east of the line is drawn east of the centre, not a world away.
        QVERIFY(std::abs(view.toView(beyond).x() - east.x()) < 1e-6);
        view.panBy({-300, 0});
        QVERIFY(view.center().longitude < -179.0);
        QVERIFY(std::abs(view.toView(beyond).x() - (east.x() - 300)) < 1e-6);
        const QList<TileKey> keys = view.wantedTiles(0);
        QVERIFY(std::any_of(keys.cbegin(), keys.cend(), [](const TileKey &k) { return k.x == 0; }));
        QVERIFY(
            std::any_of(keys.cbegin(), keys.cend(), [](const TileKey &k) { return k.x == 1023; }));
        for (const TileKey &key : keys)
            QVERIFY(key.x >= 0 && key.x < 1024);
    }

    void wantedTilesComeCentreFirstThenTheMargin()
    {
        Viewport view({900, 580});
        view.setCamera({40.689247, -74.044502}, 13.49);
        const int z = tileZoomFor(view.zoom());
        QCOMPARE(z, 13);
        const QList<TileKey> visible = view.wantedTiles(0);
        const QList<TileKey> wanted = view.wantedTiles(1);
        const QPoint centre = tileAt(view.center(), z);
        QCOMPARE(wanted.first(), (TileKey {z, centre.x(), centre.y()}));
        QCOMPARE(wanted.mid(0, visible.size()), visible);
        const double tile = 256 * std::exp2(view.zoom() - z);
        const auto distance = [&](const TileKey &key) {
            const QPointF middle =
                QPointF(key.x + 0.5, key.y + 0.5) * tile - view.topLeftWorld() - QPointF(450, 290);
            return std::hypot(middle.x(), middle.y());
        };
        for (qsizetype i = 1; i < visible.size(); ++i)
            QVERIFY(distance(visible[i - 1]) <= distance(visible[i]));
        // The visible block grows by one tile on every side, and nothing more is fetched.
        const int columns = static_cast<int>(std::ceil((view.topLeftWorld().x() + 900) / tile))
            - static_cast<int>(std::floor(view.topLeftWorld().x() / tile));
        const int rows = static_cast<int>(std::ceil((view.topLeftWorld().y() + 580) / tile))
            - static_cast<int>(std::floor(view.topLeftWorld().y() / tile));
        QCOMPARE(visible.size(), columns * rows);
        QCOMPARE(wanted.size(), (columns + 2) * (rows + 2));
    }
};

QTEST_APPLESS_MAIN(TestMapGeometry)
#include "tst_mapgeometry.moc"
