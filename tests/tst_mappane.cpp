// The map pane on the screen state: the two-way camera, the pin and its colour, the click.
#include "MapTestSupport.h"
#include "map/MapPane.h"
#include "map/MapView.h"
#include "map/PinMarker.h"
#include "state/PinPlacement.h"
#include "state/ScreenModel.h"

#include <QNativeGestureEvent>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <bit>
#include <cmath>

using mapgeometry::Viewport;

namespace {

const CLLocationCoordinate2D kStart {40.689247, -74.044502};
const CLLocationCoordinate2D kLondon {51.500729, -0.124625};

AppEnvironment offline()
{
    AppEnvironment environment;
    environment.tileUrlTemplate.clear(); // the placeholder grid: no network in these tests
    return environment;
}

// A pane shown at 600 x 500 on a fresh screen state, with a recording mover.
struct Screen
{
    explicit Screen(const QString &cache)
        : model(offline())
        , pane(
              model,
              [this](bool recenter, CLLocationCoordinate2D c) {
                  moves.append({recenter, c});
              },
              cache)
    {
        pane.resize(600, 500);
        pane.show();
    }
    MapView &map() const { return *pane.mapView(); }
    // What a view of the map's size shows for the pin region around a point.
    bool showsRegionAround(CLLocationCoordinate2D centre) const
    {
        Viewport view(map().size());
        view.fitRegion(coordinates::pinRegion(centre));
        return map().viewport() == view;
    }
    double pinDistance(QPointF point) const
    {
        const QPointF centre = QRectF(pane.pinMarker()->geometry()).center() + QPointF(0.5, 0.5);
        return std::hypot(centre.x() - point.x(), centre.y() - point.y());
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
        QVERIFY(QTest::qWaitForWindowExposed(&screen.pane));
        QVERIFY(screen.showsRegionAround(kStart));
        QVERIFY(screen.pinDistance({300, 250}) <= 1.0);
        QCOMPARE(MapPane::markerTitle(), QStringLiteral("Spoofed Location"));
        QVERIFY(screen.map().markerTitleRect().isValid());
        screen.pane.resize(420, 480);
        QVERIFY(screen.showsRegionAround(kStart));
        // Once the user has moved the map, a new size keeps the user's camera.
        dragMap(&screen.map(), {100, 100}, {40, 0});
        const double zoom = screen.map().zoom();
        const CLLocationCoordinate2D centre = screen.map().center();
        screen.pane.resize(700, 600);
        QCOMPARE(screen.map().zoom(), zoom);
        QVERIFY(std::abs(screen.map().center().longitude - centre.longitude) < 1e-9);
    }

    void aClickMovesThePinOrTheHeldLocationAndNeverTheCamera_data()
    {
        QTest::addColumn<bool>("held");
        QTest::addColumn<bool>("mover");
        QTest::newRow("free: the pin moves") << false << true;
        QTest::newRow("held: the mover gets it") << true << true;
        QTest::newRow("held, no mover wired: nothing") << true << false;
    }

    void aClickMovesThePinOrTheHeldLocationAndNeverTheCamera()
    {
        QFETCH(bool, held);
        QFETCH(bool, mover);
        Screen screen(cache_.path());
        QVERIFY(QTest::qWaitForWindowExposed(&screen.pane));
        if (!mover)
            screen.pane.setMoveSpoofedLocation({});
        screen.model.update([&](ScreenState &s) { s.isLocationLocked = held; });
        const quint64 camera = screen.model.state().cameraPosition.request;
        const Viewport before = screen.map().viewport();
        const QPoint at(123, 77);
        QTest::mouseClick(&screen.map(), Qt::LeftButton, {}, at);

        const ScreenState &s = screen.model.state();
        const CLLocationCoordinate2D clicked = *screen.map().coordinateAt(at);
        QCOMPARE(s.cameraPosition.request, camera);
        QVERIFY(screen.map().viewport() == before);
        QCOMPARE(screen.moves.size(), held && mover ? 1 : 0);
        if (held) {
            QCOMPARE(s.pinCoordinate, kStart); // the mover places the pin itself
            if (mover)
                QCOMPARE(screen.moves.first(), std::make_pair(false, clicked));
            return;
        }
        // Exactly the converted point, and its full-precision text in both fields.
        QCOMPARE(std::bit_cast<quint64>(s.pinCoordinate.latitude),
                 std::bit_cast<quint64>(clicked.latitude));
        QCOMPARE(std::bit_cast<quint64>(s.pinCoordinate.longitude),
                 std::bit_cast<quint64>(clicked.longitude));
        QCOMPARE(s.latitudeText, coordinates::formatDegrees(clicked.latitude));
        QCOMPARE(s.longitudeText, coordinates::formatDegrees(clicked.longitude));
        QVERIFY(screen.pinDistance(at) <= 1.0);
    }

    void thePinColourFollowsTheHeldFlag()
    {
        Screen screen(cache_.path());
        QVERIFY(QTest::qWaitForWindowExposed(&screen.pane));
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

    void theUsersPanIsWrittenBackAndNotReapplied()
    {
        Screen screen(cache_.path());
        QVERIFY(QTest::qWaitForWindowExposed(&screen.pane));
        QSignalSpy changes(&screen.model, &ScreenModel::changed);
        dragMap(&screen.map(), {300, 250}, {-120, 60});
        QCOMPARE(changes.size(), 1);
        const MapCameraPosition camera = screen.model.state().cameraPosition;
        QCOMPARE(camera.kind, MapCameraPosition::Kind::Camera);
        QCOMPARE(camera.center, screen.map().center());
        QCOMPARE(camera.zoom, screen.map().zoom());
        QVERIFY(screen.pinDistance({180, 310}) <= 1.0); // the pin went with the map

        // Other changes of the screen leave the user's camera alone.
        const Viewport panned = screen.map().viewport();
        screen.model.update([](ScreenState &s) { s.lockStatusText = QStringLiteral("x"); });
        QVERIFY(screen.map().viewport() == panned);
    }

    void theProgramsRegionIsShownAtOnceEvenWhenItWasShownBefore()
    {
        Screen screen(cache_.path());
        QVERIFY(QTest::qWaitForWindowExposed(&screen.pane));
        coordinates::placePin(screen.model, true, kLondon);
        QVERIFY(screen.showsRegionAround(kLondon));
        // The user pans away; the same place chosen again brings the map back.
        dragMap(&screen.map(), {300, 250}, {200, 0});
        coordinates::placePin(screen.model, true, kLondon);
        QVERIFY(screen.showsRegionAround(kLondon));

        // Even while the user's zoom has not come to rest (nothing written back yet).
        sendWheel(&screen.map(), {100, 100}, {0, 40}, {0, 40}, Qt::ScrollUpdate);
        QCOMPARE(screen.model.state().cameraPosition.kind, MapCameraPosition::Kind::Region);
        coordinates::placePin(screen.model, true, kLondon);
        QVERIFY(screen.showsRegionAround(kLondon));
        // The interrupted zoom does not write its camera over the region when it ends.
        QNativeGestureEvent end(Qt::EndNativeGesture, QPointingDevice::primaryPointingDevice(), 2,
                                {}, {}, {}, 0, {});
        QApplication::sendEvent(&screen.map(), &end);
        QCOMPARE(screen.model.state().cameraPosition.kind, MapCameraPosition::Kind::Region);

        // A camera set by the program is shown too.
        screen.model.update([](ScreenState &s) {
            s.cameraPosition = MapCameraPosition::fromCamera(kLondon, 9.25);
        });
        QCOMPARE(screen.map().zoom(), 9.25);
        QVERIFY(std::abs(screen.map().center().latitude - kLondon.latitude) < 1e-9);
    }
};

QTEST_MAIN(TestMapPane)
#include "tst_mappane.moc"
