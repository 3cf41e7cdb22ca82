#include "app/AppDelegate.h"

#include "app/ContentView.h"
#include "app/MainWindow.h"

#include <QApplication>

AppDelegate::AppDelegate(AppEnvironment environment, QObject *parent)
    : QObject(parent)
    , environment_(std::move(environment))
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
    window_ = std::make_unique<MainWindow>(environment_);
    window_->show();
    window_->raise();
    window_->activateWindow();
    if (!routeFile_.isEmpty())
        window_->contentView()->openRoute(routeFile_);
}
