#include "app/AppDelegate.h"

#include "app/ContentView.h"
#include "app/MainWindow.h"
#include "app/SingleInstance.h"

#include <QApplication>

AppDelegate::AppDelegate(AppEnvironment environment, QSettings *settings, QObject *parent)
    : QObject(parent)
    , environment_(std::move(environment))
    , settings_(settings)
{
    QApplication::setQuitOnLastWindowClosed(applicationShouldTerminateAfterLastWindowClosed());
    connect(qApp, &QCoreApplication::aboutToQuit, this, &AppDelegate::applicationWillTerminate);
}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching()
{
    createMainWindow();
}

void AppDelegate::createMainWindow()
{
    window_ = std::make_unique<MainWindow>(environment_, settings_);
    window_->show();
    window_->raise();
    window_->activateWindow();
    if (!routeFile_.isEmpty())
        openRouteFile(std::exchange(routeFile_, QString()));
}

void AppDelegate::openRouteFile(const QString &path)
{
    if (window_)
        window_->contentView()->openRoute(path);
    else
        routeFile_ = path; // once the window is there
}

void AppDelegate::listen(SingleInstance &instance)
{
    connect(&instance, &SingleInstance::activated, this, &AppDelegate::activate);
}

void AppDelegate::activate(const QStringList &files)
{
    if (window_)
        window_->bringToFront();
    for (const QString &file : files)
        openRouteFile(file);
}
