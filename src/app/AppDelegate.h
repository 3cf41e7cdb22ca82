#pragma once

#include "state/AppEnvironment.h"

#include <QObject>
#include <memory>

class MainWindow;
class QSettings;
class SingleInstance;

// Builds the one window once the application has started; closing it quits.
class AppDelegate : public QObject
{
    Q_OBJECT
public:
    // `settings` keeps the window's frame and choices; null means the application's own.
    explicit AppDelegate(AppEnvironment environment = {}, QSettings *settings = nullptr,
                         QObject *parent = nullptr);
    ~AppDelegate() override;

    void applicationDidFinishLaunching();
    void applicationWillTerminate() { }
    static bool applicationShouldTerminateAfterLastWindowClosed() { return true; }

    MainWindow *window() const { return window_.get(); }
    // A GPX file named on the command line, opened as the route once the window is there.
    void setRouteFile(const QString &path) { routeFile_ = path; }
    // Opens a route file, as the command line, a later start and a drop do.
    void openRouteFile(const QString &path);
    // Later starts come to this one: the window comes to the front and opens their files.
    void listen(SingleInstance &instance);

private:
    void createMainWindow();
    void activate(const QStringList &files);

    AppEnvironment environment_;
    QSettings *settings_;
    std::unique_ptr<MainWindow> window_;
    QString routeFile_;
};
