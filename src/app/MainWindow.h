#pragma once

#include "app/LogWindow.h"
#include "state/AppEnvironment.h"

#include <QMainWindow>
#include <QPointer>
#include <QTimer>

class ContentView;
class QSettings;

// The one window: the screen, a small menu bar, and its frame remembered under "Main Window".
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    // `settings` keeps the window frame; null means the application's own settings.
    explicit MainWindow(const AppEnvironment &environment = {}, QSettings *settings = nullptr,
                        QWidget *parent = nullptr);
    ~MainWindow() override;

    ContentView *contentView() const { return content_; }
    LogWindow *logWindow() const { return log_; }
    void showLog();
    // Help → Getting Started: what the phone needs, how to spoof, move and play a route.
    void showGettingStarted();
    QWidget *gettingStartedWindow() const { return gettingStarted_; }
    // Shown, out of the dock or taskbar, in front and active.
    void bringToFront();

    static QString frameKey() { return QStringLiteral("Main Window/geometry"); }

protected:
    void closeEvent(QCloseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    void moveEvent(QMoveEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void placeOnFirstLaunch();
    void saveFrame();
    // The save dialog for a GPX file, starting at `start`; empty when cancelled.
    QString askGpxPath(const QString &title, const QString &start);

    ContentView *content_;
    QSettings *settings_;
    bool ownsSettings_;
    QPointer<LogWindow> log_;
    QPointer<QWidget> gettingStarted_;
    QTimer saveTimer_;
    QString lastFolder_; // where the file dialogs start
    QString placesExport_;
};
