#include "app/AppDelegate.h"
#include "app/MainWindow.h"
#include "formats/GeoFile.h"
#include "app/SingleInstance.h"
#include "platform/ChildProcess.h"
#include "platform/Console.h"
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
    // "pindrift walk.gpx" opens the route (as do .kml and .geojson files).
    QString routeFile;
    for (const QString &argument : QApplication::arguments().mid(1))
        if (formats::isRouteFile(argument))
            routeFile = argument;
    // One PinDrift at a time: a later start hands its file to the running one and ends.
    SingleInstance instance(environment.temporaryFolderPath());
    if (!instance.claim()) {
        if (instance.handOver(routeFile.isEmpty() ? QStringList() : QStringList {routeFile}))
            return 0;
        consoleLine(QStringLiteral("❌ Another PinDrift is running but does not answer."));
        return 1;
    }
    AppDelegate delegate(environment);
    delegate.listen(instance);
    if (!routeFile.isEmpty())
        delegate.setRouteFile(routeFile);
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);
    // Asked to end from outside (logout, Ctrl+C): close the window as the user would.
    platform::onTerminationSignal(&delegate, [&delegate] {
        if (QWidget *window = delegate.window())
            window->close();
        else
            QApplication::quit();
    });
    const int status = QApplication::exec();
    // Nothing we started may outlive us, whatever was under way (a spoof being confirmed, a
    // tunnel coming up): every child is asked to end, then killed, and background work that
    // waited on one gives up. A logout that kills us a few seconds after asking finds nothing
    // of ours holding the phone.
    dispatch::shutdown();
    return status;
}
