#pragma once

#include "state/AppEnvironment.h"

#include <QObject>
#include <memory>

class MainWindow;

// Builds the one window once the application has started; closing it quits.
class AppDelegate : public QObject
{
    Q_OBJECT
public:
    explicit AppDelegate(AppEnvironment environment = {}, QObject *parent = nullptr);
    ~AppDelegate() override;

    void applicationDidFinishLaunching();
    void applicationWillTerminate() { }
    static bool applicationShouldTerminateAfterLastWindowClosed() { return true; }

    MainWindow *window() const { return window_.get(); }
    // A GPX file named on the command line, opened as the route once the window is there.
    void setRouteFile(const QString &path) { routeFile_ = path; }

private:
    void createMainWindow();

    AppEnvironment environment_;
    std::unique_ptr<MainWindow> window_;
    QString routeFile_;
};
