// The map pane on the screen state: the two-way camera, the pin and its colour, the click.
#include "MapTestSupport.h"
#include "TestSupport.h"
#include "map/MapPane.h"
#include "map/PinMarker.h"
#include "state/PinPlacement.h"
#include "state/ScreenModel.h"

#include <QLabel>
#include <QSignalSpy>
#include <QTest>

using mapgeometry::Viewport;
using namespace Qt::StringLiterals;

namespace {

const CLLocationCoordinate2D kLondon {51.500729, -0.124625};

// The placeholder grid unless told otherwise: no network in these tests.
AppEnvironment withTiles(const QString &urlTemplate = {})
{
    AppEnvironment environment;
    environment.tileUrlTemplate = urlTemplate;
    return environment;
}

// A pane shown and exposed at 600 x 500 on a fresh screen state, with a recording mover.
struct Screen
{
    explicit Screen(const QString &cache, const QString &tiles = {})
        : model(withTiles(tiles))
        , pane(
              model,
              [this](bool recenter, CLLocationCoordinate2D c) {
                  moves.append({recenter, c});
              },
              cache)
    {
        pane.resize(600, 500);
        pane.show();
        QVERIFY(QTest::qWaitForWindowExposed(&pane));
    }
    MapView &map() const { return *pane.mapView(); }
    // Whether the map shows, north up and flat, the pin region around a point.
    bool showsRegionAround(CLLocationCoordinate2D centre) const
    {
        Viewport view(map().size());
        view.fitRegion(coordinates::pinRegion(centre));
        return map().viewport() == view;
    }
    double pinDistance(QPointF point) const
    {
        return distance(QRectF(pane.pinMarker()->geometry()).center() + QPointF(0.5, 0.5), point);
    }

    QList<std::pair<bool, CLLocationCoordinate2D>> moves;
    ScreenModel model;
    MapPane pane;
};

} // namespace

class TestMapPane : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir cache_;

private Q_SLOTS:
    void itStartsOnThePinWithItsRegionAtAnySize()
    {
        Screen screen(cache_.path());
        QVERIFY(screen.showsRegionAround(kLiberty));
        QVERIFY(screen.pinDistance({300, 250}) <= 1.0);
        QVERIFY(screen.map().markerTitleRect().isValid());
        screen.pane.resize(420, 480);
        QVERIFY(screen.showsRegionAround(kLiberty));
        // Once the user has moved the map, a new size keeps the user's camera.
        dragMap(&screen.map(), {100, 100}, {40, 0});
        const Viewport moved = screen.map().viewport();
        screen.pane.resize(700, 600);
        QCOMPARE(screen.map().zoom(), moved.zoom());
        QVERIFY(near(screen.map().center(), moved.center()));
    }

    void aClickMovesThePinOrTheHeldLocationAndNeverTheCamera_data()
    {
        QTest::addColumn<bool>("held");
        QTest::addColumn<bool>("mover");
        QTest::addColumn<double>("bearing"); // and pitch, half of it
        QTest::newRow("free: the pin moves") << false << true << 0.0;
        QTest::newRow("free, turned and tilted: the pin moves") << false << true << 110.0;
        QTest::newRow("held: the mover gets it") << true << true << 0.0;
        QTest::newRow("held, turned and tilted: the mover gets it") << true << true << 110.0;
        QTest::newRow("held, no mover wired: nothing") << true << false << 0.0;
    }

    void aClickMovesThePinOrTheHeldLocationAndNeverTheCamera()
    {
        QFETCH(bool, held);
        QFETCH(bool, mover);
        QFETCH(double, bearing);
        Screen screen(cache_.path());
        if (!mover)
            screen.pane.setMoveSpoofedLocation({});
        screen.model.update([&](ScreenState &s) {
            s.isLocationLocked = held;
            s.cameraPosition = MapCameraPosition::fromCamera(kLiberty, 13.5, bearing, bearing / 2);
        });
        const quint64 camera = screen.model.state().cameraPosition.request;
        const Viewport before = screen.map().viewport();
        const QPoint at(123, 77);
        const CLLocationCoordinate2D expected = groundUnder(before, at);
        QTest::mouseClick(&screen.map(), Qt::LeftButton, {}, at);

        // The point under the pointer, to a millionth of a degree (a tenth of a metre).
        const ScreenState &s = screen.model.state();
        const CLLocationCoordinate2D clicked = coordinates::rounded(*screen.map().coordinateAt(at));
        QVERIFY(near(clicked, expected, 5e-7));
        QCOMPARE(s.cameraPosition.request, camera);
        QVERIFY(screen.map().viewport() == before);
        QCOMPARE(screen.moves.size(), held && mover ? 1 : 0);
        if (held) {
            QCOMPARE(s.pinCoordinate, kLiberty); // the mover places the pin itself
            if (mover)
                QCOMPARE(screen.moves.first(), std::make_pair(false, clicked));
            return;
        }
        QCOMPARE(s.pinCoordinate, clicked); // and its text, six decimals at most, in both fields
        QCOMPARE(s.latitudeText, coordinates::formatDegrees(clicked.latitude));
        QCOMPARE(s.longitudeText, coordinates::formatDegrees(clicked.longitude));
        QVERIFY(screen.pinDistance(at) <= 1.0);
    }

    void thePinColourFollowsTheHeldFlag()
    {
        Screen screen(cache_.path());
        const QPoint centre = screen.pane.pinMarker()->geometry().center();
        const auto pixel = [&](QPoint offset) {
            return QColor(screen.pane.grab().toImage().pixel(centre + offset));
        };
        const QPoint disc(PinMarker::kDiscDiameter / 2 - 4, 0); // beside the glyph
        QCOMPARE(pixel(disc), PinMarker::kFreeColor);
        QCOMPARE(pixel({0, -4}), QColor(Qt::white)); // the glyph's head
        screen.model.update([](ScreenState &s) { s.isLocationLocked = true; });
        QCOMPARE(pixel(disc), PinMarker::kHeldColor);
        screen.model.update([](ScreenState &s) { s.isLocationLocked = false; });
        QCOMPARE(pixel(disc), PinMarker::kFreeColor);
    }

    void theUsersCameraIsWrittenBackAndNotReapplied()
    {
        Screen screen(cache_.path());
        QSignalSpy changes(&screen.model, &ScreenModel::changed);
        dragMap(&screen.map(), {300, 250}, {-120, 60});
        QVERIFY(screen.pinDistance({180, 310}) <= 1.0); // the pin went with the map
        QTest::keyClick(&screen.map(), Qt::Key_Right, Qt::ShiftModifier);
        dragMap(&screen.map(), {300, 250}, {0, -40}, false, Qt::RightButton);
        QCOMPARE(changes.size(), 3);
        const MapCameraPosition camera = screen.model.state().cameraPosition;
        QCOMPARE(camera,
                 MapCameraPosition::fromCamera(screen.map().center(), screen.map().zoom(), 15, 20));

        // Other changes of the screen leave the user's camera alone.
        const Viewport moved = screen.map().viewport();
        screen.model.update([](ScreenState &s) { s.lockStatusText = QStringLiteral("x"); });
        QVERIFY(screen.map().viewport() == moved);
    }

    void theProgramsRegionIsShownAtOnceEvenWhenItWasShownBefore()
    {
        Screen screen(cache_.path());
        coordinates::placePin(screen.model, true, kLondon);
        QVERIFY(screen.showsRegionAround(kLondon));
        // The user pans, turns and tilts away; the same place chosen again brings the map back,
        // north up and flat.
        dragMap(&screen.map(), {300, 250}, {200, 0});
        dragMap(&screen.map(), {300, 250}, {50, -50}, false, Qt::RightButton);
        coordinates::placePin(screen.model, true, kLondon);
        QVERIFY(screen.showsRegionAround(kLondon));

        // Even while the user's zoom has not come to rest (nothing written back yet).
        sendWheel(&screen.map(), {100, 100}, {0, 40}, {0, 40}, Qt::ScrollUpdate);
        QCOMPARE(screen.model.state().cameraPosition.kind, MapCameraPosition::Kind::Region);
        coordinates::placePin(screen.model, true, kLondon);
        QVERIFY(screen.showsRegionAround(kLondon));
        // The interrupted zoom does not write its camera over the region when it ends.
        sendGesture(&screen.map(), Qt::EndNativeGesture, {});
        QCOMPARE(screen.model.state().cameraPosition.kind, MapCameraPosition::Kind::Region);

        // A camera set by the program is shown too, turned and tilted.
        screen.model.update([](ScreenState &s) {
            s.cameraPosition = MapCameraPosition::fromCamera(kLondon, 9.25, 300, 70);
        });
        QCOMPARE(screen.map().zoom(), 9.25);
        QCOMPARE(screen.map().bearing(), 300.0);
        QCOMPARE(screen.map().pitch(), 60.0);
        QVERIFY(near(screen.map().center(), kLondon));
    }

    // One quiet line over the map while no tile server answers; an answer, even a refusal,
    // means the connection is there.
    void theMapSaysWhenItsTilesCannotBeFetched_data()
    {
        QTest::addColumn<QString>("server"); // "none", "tiles", "failing"
        QTest::addColumn<bool>("notice");
        QTest::newRow("no server") << u"none"_s << true;
        QTest::newRow("a server with tiles") << u"tiles"_s << false;
        QTest::newRow("a server that fails") << u"failing"_s << false;
    }

    void theMapSaysWhenItsTilesCannotBeFetched()
    {
        QFETCH(QString, server);
        QFETCH(bool, notice);
        TileServer tiles;
        QString url = tiles.urlTemplate();
        if (server == u"none"_s)
            url = u"http://127.0.0.1:%1/{z}/{x}/{y}.png"_s.arg(freeLoopbackPort());
        else if (server == u"failing"_s)
            url.replace(u"/{z}"_s, u"/no/{z}"_s); // the server answers 503
        QTemporaryDir cache;
        Screen screen(cache.path(), url);
        QLabel *line = screen.pane.offlineNotice();
        QCOMPARE(line->text(), u"Map tiles unavailable — no connection"_s);
        QTRY_VERIFY(!tiles.requests.isEmpty() || server == u"none"_s);
        QTRY_COMPARE_WITH_TIMEOUT(line->isVisible(), notice, 10000);
        if (notice) // centred at the top of the map, over it
            QVERIFY(qAbs(line->geometry().center().x() - screen.pane.width() / 2) <= 1);
        else
            QTRY_VERIFY(screen.map().tileSource()->tilesInMemory() > 0 || server != u"tiles"_s);
        QVERIFY(!line->isVisible() || line->y() < screen.pane.height() / 4);
    }
};

QTEST_MAIN(TestMapPane)
#include "tst_mappane.moc"
