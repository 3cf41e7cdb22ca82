#include "app/AppDelegate.h"
#include "app/MainWindow.h"
#include "formats/GeoFile.h"
#include "platform/ChildProcess.h"
#include "platform/Dispatch.h"
#include "platform/TerminationSignals.h"

#include <QApplication>
#include <QIcon>
#include <QSettings>
#include <QTimer>
#include <QWidget>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("PinDrift"));
    QApplication::setOrganizationName(QStringLiteral("PinDrift"));
    QApplication::setApplicationVersion(QStringLiteral(PINDRIFT_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("pindrift"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/images/pindrift.svg")));

    AppEnvironment environment;
    environment.readServiceSettings(QSettings());
    AppDelegate delegate(environment);
    // "pindrift walk.gpx" opens the route (as do .kml and .geojson files).
    for (const QString &argument : QApplication::arguments().mid(1))
        if (formats::isRouteFile(argument))
            delegate.setRouteFile(argument);
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);
    // Asked to end from outside (logout, Ctrl+C): close the window as the user would.
    platform::onTerminationSignal(&delegate, [&delegate] {
        if (QWidget *window = delegate.window())
            window->close();
        else
            QApplication::quit();
    });
    const int status = QApplication::exec();
    // Let background work that is still finishing (a probe, a pause, a child given its grace
    // before the kill) end before we do: no thread outlives main().
    dispatch::waitForBackgroundWork(5000);
    childprocess::waitForHelperThreads(std::chrono::seconds(5));
    return status;
}
