// Renders the window in its states to PNG files, offscreen, for the README:
//   render_screenshots <output folder> [--font <points>] [--dark]
// The options show the same window with a larger desktop font or a dark palette.
#include "app/ContentView.h"
#include "app/MainWindow.h"
#include "app/Sidebar.h"
#include "map/MapPane.h"
#include "map/MapView.h"
#include "route/RouteModel.h"
#include "route/RoutePanel.h"
#include "state/PinPlacement.h"
#include "state/ScreenModel.h"

#include <QApplication>
#include <QDir>
#include <QPalette>
#include <QSettings>
#include <QStyle>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QStringList arguments = QApplication::arguments().mid(1);
    if (const qsizetype at = arguments.indexOf(QStringLiteral("--font")); at >= 0) {
        QFont font = QApplication::font();
        font.setPointSizeF(arguments.value(at + 1).toDouble());
        QApplication::setFont(font);
        arguments.remove(at, 2);
    }
    if (arguments.removeAll(QStringLiteral("--dark")) > 0) {
        QApplication::setStyle(QStringLiteral("Fusion"));
        QPalette dark;
        dark.setColor(QPalette::Window, QColor(45, 45, 48));
        dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
        dark.setColor(QPalette::Base, QColor(30, 30, 32));
        dark.setColor(QPalette::AlternateBase, QColor(45, 45, 48));
        dark.setColor(QPalette::Text, QColor(230, 230, 230));
        dark.setColor(QPalette::Button, QColor(60, 60, 64));
        dark.setColor(QPalette::ButtonText, QColor(230, 230, 230));
        dark.setColor(QPalette::Highlight, QColor(42, 130, 218));
        dark.setColor(QPalette::HighlightedText, Qt::white);
        dark.setColor(QPalette::PlaceholderText, QColor(150, 150, 150));
        dark.setColor(QPalette::ToolTipBase, QColor(60, 60, 64));
        dark.setColor(QPalette::ToolTipText, QColor(230, 230, 230));
        for (const QPalette::ColorRole role :
             {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
            dark.setColor(QPalette::Disabled, role, QColor(130, 130, 130));
        QApplication::setPalette(dark);
    }
    const QString folder = arguments.value(0, QStringLiteral("."));
    QDir().mkpath(folder);

    QTemporaryDir scratch;
    AppEnvironment environment;
    environment.tools = ToolLocator(scratch.path());
    environment.geolocationUrl = QUrl(QStringLiteral("http://127.0.0.1:9/json/"));
    environment.tileUrlTemplate.clear(); // the placeholder grid, and no word of a lost connection
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
        // The focus on the map, as after a click there: no field shows a selection.
        window.contentView()->mapPane().mapView()->setFocus();
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
    for (const CLLocationCoordinate2D point : {CLLocationCoordinate2D {40.68859, -74.04700},
                                               {40.69010, -74.04590},
                                               {40.69050, -74.04400},
                                               {40.68930, -74.04290},
                                               {40.68800, -74.04420}})
        route.addWaypoint(point);
    window.contentView()->routePanel().setDrawing(true);
    model.update([](ScreenState &s) {
        s.showSetupBanner = false;
        s.cameraPosition = MapCameraPosition::fromCamera(s.pinCoordinate, 16.3, 20.0, 35.0);
    });
    QTabWidget *sections = window.contentView()->sidebar().sections();
    sections->setCurrentIndex(
        sections->indexOf(window.findChild<QWidget *>(QStringLiteral("routePanelScroll"))));
    save(QStringLiteral("route.png"));
    sections->setCurrentIndex(0);
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
