// The map pane on the screen state: the two-way camera, the pin and its colour, the click.
#include "app/ScreenModel.h"
#include "map/MapPane.h"
#include "map/MapView.h"
#include "map/PinMarker.h"
#include "map/PinPlacement.h"

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

bool sameBits(double a, double b)
{
    return std::bit_cast<quint64>(a) == std::bit_cast<quint64>(b);
}

// What a view of the pane's map size shows for a region.
Viewport fitted(const MapView &map, const MapRegion &region)
{
    Viewport view(map.size());
    view.fitRegion(region);
    return view;
}

void drag(QWidget *widget, QPoint from, QPoint delta)
{
    QTest::mousePress(widget, Qt::LeftButton, {}, from);
    for (int i = 1; i <= 5; ++i)
        QTest::mouseMove(widget, from + delta * i / 5, 16);
    QTest::mouseRelease(widget, Qt::LeftButton, {}, from + delta, 300);
}

QPointF markerCentre(const MapPane &pane)
{
    return QRectF(pane.pinMarker()->geometry()).center() + QPointF(0.5, 0.5);
}

struct Moves
{
    QList<std::pair<bool, CLLocationCoordinate2D>> calls;
    MapPane::MoveSpoofedLocation function()
    {
        return [this](bool recenter, CLLocationCoordinate2D c) { calls.append({recenter, c}); };
    }
};

} // namespace

class TestMapPane : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir cache_;

    // A pane shown at 600 x 500 on a fresh screen state.
    struct Screen
    {
        explicit Screen(const QString &cache, MapPane::MoveSpoofedLocation move = {})
            : model(offline())
            , pane(model, std::move(move), cache)
        {
            pane.resize(600, 500);
            pane.show();
        }
        ScreenModel model;
        MapPane pane;
        MapView &map() const { return *pane.mapView(); }
    };

private Q_SLOTS:
    void itStartsOnThePinWithItsRegion()
    {
        Screen screen(cache_.path());
        QVERIFY(QTest::qWaitForWindowExposed(&screen.pane));
        QVERIFY(screen.map().viewport() == fitted(screen.map(), coordinates::pinRegion(kStart)));
        QCOMPARE(screen.map().markerCoordinate(), kStart);
        QVERIFY(std::hypot(markerCentre(screen.pane).x() - 300, markerCentre(screen.pane).y() - 250)
                <= 1.0);
        QCOMPARE(screen.pane.pinMarker()->discColor(), PinMarker::kFreeColor);
        QCOMPARE(MapPane::markerTitle(), QStringLiteral("Spoofed Location"));
        QVERIFY(screen.map().markerTitleRect().isValid());
    }

    void aClickMovesThePinAndNotTheCamera()
    {
        Moves moves;
        Screen screen(cache_.path(), moves.function());
        QVERIFY(QTest::qWaitForWindowExposed(&screen.pane));
        const MapCameraPosition camera = screen.model.state().cameraPosition;
        const Viewport before = screen.map().viewport();
        const QPoint at(123, 77);
        QTest::mouseClick(&screen.map(), Qt::LeftButton, {}, at);

        const ScreenState &s = screen.model.state();
        const CLLocationCoordinate2D clicked = *screen.map().coordinateAt(at);
        QVERIFY(sameBits(s.pinCoordinate.latitude, clicked.latitude));
        QVERIFY(sameBits(s.pinCoordinate.longitude, clicked.longitude));
        QCOMPARE(s.latitudeText, coordinates::formatDegrees(clicked.latitude));
        QCOMPARE(s.longitudeText, coordinates::formatDegrees(clicked.longitude));
        QVERIFY(s.latitudeText.size() > 10); // a point from the map has many digits
        QCOMPARE(s.cameraPosition.request, camera.request);
        QVERIFY(screen.map().viewport() == before);
        QVERIFY(std::hypot(markerCentre(screen.pane).x() - at.x(),
                           markerCentre(screen.pane).y() - at.y())
                <= 1.0);
        QVERIFY(moves.calls.isEmpty());
    }

    void aClickWhileHeldMovesTheHeldLocation()
    {
        Moves moves;
        Screen screen(cache_.path(), moves.function());
        QVERIFY(QTest::qWaitForWindowExposed(&screen.pane));
        screen.model.update([](ScreenState &s) { s.isLocationLocked = true; });
        const Viewport before = screen.map().viewport();
        QTest::mouseClick(&screen.map(), Qt::LeftButton, {}, QPoint(400, 300));
        QCOMPARE(moves.calls.size(), 1);
        QCOMPARE(moves.calls.first().first, false);
        QCOMPARE(moves.calls.first().second, *screen.map().coordinateAt(QPointF(400, 300)));
        QCOMPARE(screen.model.state().pinCoordinate, kStart); // the mover places the pin
        QVERIFY(screen.map().viewport() == before);

        // Without a mover wired in, a click while held changes nothing.
        screen.pane.setMoveSpoofedLocation({});
        QTest::mouseClick(&screen.map(), Qt::LeftButton, {}, QPoint(10, 10));
        QCOMPARE(screen.model.state().pinCoordinate, kStart);
    }

    void thePinColourFollowsTheHeldFlag()
    {
        Screen screen(cache_.path());
        QVERIFY(QTest::qWaitForWindowExposed(&screen.pane));
        PinMarker *pin = screen.pane.pinMarker();
        const auto discPixel = [&] {
            // Beside the glyph, inside the disc.
            const QImage image = screen.pane.grab().toImage();
            const QPoint centre = pin->geometry().center();
            return QColor(image.pixel(centre + QPoint(PinMarker::kDiscDiameter / 2 - 4, 0)));
        };
        QCOMPARE(discPixel(), PinMarker::kFreeColor);
        screen.model.update([](ScreenState &s) { s.isLocationLocked = true; });
        QCOMPARE(pin->discColor(), PinMarker::kHeldColor);
        QCOMPARE(discPixel(), PinMarker::kHeldColor);
        screen.model.update([](ScreenState &s) { s.isLocationLocked = false; });
        QCOMPARE(discPixel(), PinMarker::kFreeColor);
        // The glyph is white.
        const QImage image = screen.pane.grab().toImage();
        QCOMPARE(QColor(image.pixel(pin->geometry().center() + QPoint(0, -4))), QColor(Qt::white));
    }

    void theUsersPanIsWrittenBackAndNotReapplied()
    {
        Screen screen(cache_.path());
        QVERIFY(QTest::qWaitForWindowExposed(&screen.pane));
        QSignalSpy changes(&screen.model, &ScreenModel::changed);
        drag(&screen.map(), {300, 250}, {-120, 60});
        QCOMPARE(changes.size(), 1);
        const MapCameraPosition camera = screen.model.state().cameraPosition;
        QCOMPARE(camera.kind, MapCameraPosition::Kind::Camera);
        QCOMPARE(camera.center, screen.map().center());
        QCOMPARE(camera.zoom, screen.map().zoom());
        // The pin stays on its coordinate, 120 px left and 60 px down.
        QVERIFY(std::hypot(markerCentre(screen.pane).x() - 180, markerCentre(screen.pane).y() - 310)
                <= 1.0);

        // Other changes of the screen leave the user's camera alone.
        const Viewport panned = screen.map().viewport();
        screen.model.update([](ScreenState &s) { s.lockStatusText = QStringLiteral("x"); });
        QVERIFY(screen.map().viewport() == panned);
        // So does a click: it moves the pin only.
        QTest::mouseClick(&screen.map(), Qt::LeftButton, {}, QPoint(50, 50));
        QVERIFY(screen.map().viewport() == panned);
        QCOMPARE(screen.model.state().cameraPosition.request, camera.request);
    }

    void theProgramsRegionIsShownAtOnceEvenWhenItWasShownBefore()
    {
        Screen screen(cache_.path());
        QVERIFY(QTest::qWaitForWindowExposed(&screen.pane));
        // Recentring elsewhere.
        coordinates::placePin(screen.model, true, kLondon);
        QVERIFY(screen.map().viewport() == fitted(screen.map(), coordinates::pinRegion(kLondon)));
        // The user pans away; the same place chosen again brings the map back.
        drag(&screen.map(), {300, 250}, {200, 0});
        coordinates::placePin(screen.model, true, kLondon);
        QVERIFY(screen.map().viewport() == fitted(screen.map(), coordinates::pinRegion(kLondon)));

        // Even while the user's zoom has not come to rest (nothing written back yet).
        QWheelEvent wheel(QPointF(100, 100), screen.map().mapToGlobal(QPointF(100, 100)), {0, 40},
                          {0, 40}, Qt::NoButton, Qt::NoModifier, Qt::ScrollUpdate, false);
        QApplication::sendEvent(&screen.map(), &wheel);
        QCOMPARE(screen.model.state().cameraPosition.kind, MapCameraPosition::Kind::Region);
        coordinates::placePin(screen.model, true, kLondon);
        QVERIFY(screen.map().viewport() == fitted(screen.map(), coordinates::pinRegion(kLondon)));
        // The interrupted zoom does not write its camera over the program's region when it
        // ends.
        QNativeGestureEvent end(Qt::EndNativeGesture, QPointingDevice::primaryPointingDevice(), 2,
                                {}, {}, {}, 0, {});
        QApplication::sendEvent(&screen.map(), &end);
        QCOMPARE(screen.model.state().cameraPosition.kind, MapCameraPosition::Kind::Region);
    }

    void aRegionStaysExactWhenThePaneChangesSize()
    {
        Screen screen(cache_.path());
        QVERIFY(QTest::qWaitForWindowExposed(&screen.pane));
        screen.pane.resize(420, 480);
        QCOMPARE(screen.map().size(), QSize(420, 480));
        QVERIFY(screen.map().viewport() == fitted(screen.map(), coordinates::pinRegion(kStart)));
    }

    void theCameraKindIsShownToo()
    {
        Screen screen(cache_.path());
        QVERIFY(QTest::qWaitForWindowExposed(&screen.pane));
        screen.model.update([](ScreenState &s) {
            s.cameraPosition = MapCameraPosition::fromCamera(kLondon, 9.25);
        });
        QCOMPARE(screen.map().zoom(), 9.25);
        QVERIFY(std::abs(screen.map().center().latitude - kLondon.latitude) < 1e-9);
        QVERIFY(std::abs(screen.map().center().longitude - kLondon.longitude) < 1e-9);
    }
};

QTEST_MAIN(TestMapPane)
#include "tst_mappane.moc"
