#pragma once

#include "map/RouteLine.h"
#include "platform/Dispatch.h"
#include "route/RouteFile.h"

#include <QObject>
#include <QPointF>
#include <atomic>
#include <memory>

class MapView;
class Movement;
class RouteModel;
class RoutePanel;
class ScreenModel;

// Route files opened and saved off the GUI thread, and what the window shows of it. A file is
// read, measured and made ready for the map in the background, its progress and a Cancel under
// the route; once in, the map shows all of it at the turn and tilt it had, and a route it
// replaced can be brought back (Undo). A save says where it went, or why not.
class RouteFiles : public QObject
{
    Q_OBJECT
public:
    // What the files act on.
    struct Screen
    {
        RouteModel &route;
        RoutePanel &panel;
        Movement &movement;
        MapView &map;
        ScreenModel &model;
    };

    struct Opened
    {
        routefile::Opened route;
        mapgeometry::RouteLine line; // as the map draws it
        QList<QPointF> outline; // in world units: what the camera must show
    };

    RouteFiles(const Screen &screen, QObject *parent = nullptr);
    ~RouteFiles() override;

    // A new open replaces one under way.
    void open(const QString &path);
    void cancel();
    bool isOpening() const { return cancel_ != nullptr; }
    // As GPX, ".gpx" added to a name without an extension.
    void save(const QString &path);
    // The file the route came from or went to last.
    QString filePath() const { return filePath_; }
    // The map's line for these points, when they are the ones of one of the two files opened
    // last (made in the background with it; the one before comes back with Undo).
    std::optional<mapgeometry::RouteLine> lineFor(const QList<RoutePoint> &points) const;

Q_SIGNALS:
    void opened(bool opened);
    void saved(bool saved);

private:
    void showProgress(const QString &path, int percent);
    // Shared, so that a long track is handed on, never copied.
    void finishOpening(const QString &path, const std::shared_ptr<Opened> &result);
    void finishSaving(const QString &path, const QString &error);

    Screen screen_;
    QString filePath_;
    std::shared_ptr<std::atomic<bool>> cancel_;
    struct Made
    {
        QList<RoutePoint> points;
        mapgeometry::RouteLine line;
    };
    Made last_, before_;
    MainQueue queue_;
};
