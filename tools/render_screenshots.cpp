// Renders the window in four states to PNG files, offscreen, for the README:
//   render_screenshots <output folder>
#include "app/ContentView.h"
#include "app/MainWindow.h"
#include "map/MapView.h"
#include "route/RouteModel.h"
#include "route/RoutePanel.h"
#include "state/PinPlacement.h"
#include "state/ScreenModel.h"

#include <QApplication>
#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <QScrollArea>
#include <QTest>

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    QDir().mkpath(folder);

    QTemporaryDir scratch;
    AppEnvironment environment;
    environment.tools = ToolLocator(scratch.path());
    environment.geolocationUrl = QUrl(QStringLiteral("http://127.0.0.1:9/json/"));
    environment.tileUrlTemplate = QStringLiteral("http://127.0.0.1:9/{z}/{x}/{y}.png");
    environment.tileCacheFolder = scratch.filePath(QStringLiteral("tiles"));
    environment.geocodingUrl = QUrl(QStringLiteral("http://127.0.0.1:9"));
    environment.dataFolder = scratch.filePath(QStringLiteral("data")); // no saved places
    QSettings settings(scratch.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
    MainWindow window(environment, &settings);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return 1;
    ScreenModel &model = window.contentView()->model();

    const auto save = [&](const QString &name) {
        QCoreApplication::processEvents();
        window.grab().save(folder + u'/' + name);
    };
    save(QStringLiteral("start.png"));
    model.update([](ScreenState &s) {
        s.statusIMGText = QStringLiteral("iphone16hello");
        s.statusLabelText = QStringLiteral("iOS Device Connected!");
        s.deviceiosLabelText = QStringLiteral("17.4.1");
        s.productTypeLabelText = QStringLiteral("iPhone15,2");
        s.serialnumberLabelText = QStringLiteral("F2LZK0ABCDEF");
        s.udidLabelText = QStringLiteral("00008110-001A2B3C4D5E6F70");
        s.disabledLockButton = false;
    });
    save(QStringLiteral("detected.png"));
    model.update([](ScreenState &s) {
        s.isLocationLocked = true;
        s.lockStatusText = QStringLiteral("🔒 Spoofing at 40.689247, -74.044502");
    });
    save(QStringLiteral("held.png"));
    // Turned and tilted by the user, at the zoom of the pin's region.
    if (const auto *map = window.findChild<MapView *>(QStringLiteral("mapView"))) {
        const double zoom = map->zoom();
        model.update([zoom](ScreenState &s) {
            s.cameraPosition = MapCameraPosition::fromCamera(s.pinCoordinate, zoom, 37.0, 60.0);
        });
    }
    save(QStringLiteral("tilted.png"));
    // A walk drawn round the island, north up.
    RouteModel &route = window.contentView()->route();
    for (const CLLocationCoordinate2D point :
         {CLLocationCoordinate2D {40.68859, -74.04700}, {40.69010, -74.04590},
          {40.69050, -74.04400}, {40.68930, -74.04290}, {40.68800, -74.04420}})
        route.addWaypoint(point);
    window.contentView()->routePanel().setDrawing(true);
    model.update([](ScreenState &s) {
        s.showSetupBanner = false;
        s.cameraPosition = MapCameraPosition::fromCamera(s.pinCoordinate, 16.3, 20.0, 35.0);
    });
    if (auto *scroll = window.findChild<QScrollArea *>(QStringLiteral("sidebarScroll"))) {
        QCoreApplication::processEvents();
        scroll->ensureWidgetVisible(&window.contentView()->routePanel(), 0, 0);
    }
    save(QStringLiteral("route.png"));
    model.update([](ScreenState &s) { s.showSetupBanner = true; });
    window.contentView()->routePanel().setDrawing(false);
    route.clear();
    model.update([](ScreenState &s) {
        s.isLocationLocked = false;
        s.lockStatusText = QStringLiteral("❌ Failed to spoof location — see console log.");
        s.spoofHint = {failure::Cause::ImageNotMounted, failure::Fix::MountImage, false, {}};
        s.cameraPosition = MapCameraPosition::fromRegion(coordinates::pinRegion(s.pinCoordinate));
    });
    save(QStringLiteral("hint.png"));
    window.close();
    return 0;
}
