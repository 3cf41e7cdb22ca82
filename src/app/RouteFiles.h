#pragma once

#include "map/RouteLine.h"
#include "platform/Dispatch.h"
#include "route/RouteFile.h"

#include <QObject>
#include <QPointF>
#include <atomic>
#include <memory>

// Route files opened and saved off the GUI thread: a file is read, measured and outlined for
// the map's camera in the background, reporting its progress, and can be cancelled.
class RouteFiles : public QObject
{
    Q_OBJECT
public:
    struct Opened
    {
        routefile::Opened route;
        mapgeometry::RouteLine line; // as the map draws it
        QList<QPointF> outline; // in world units: what the camera must show
    };

    explicit RouteFiles(QObject *parent = nullptr);
    ~RouteFiles() override;

    // A new open replaces one under way.
    void open(const QString &path);
    void cancel();
    bool isOpening() const { return cancel_ != nullptr; }
    void save(const QString &path, const QString &name, const QList<RoutePoint> &points);
    // The map's line for these points, when they are the ones of one of the two files opened
    // last (made in the background with it; the one before comes back with Undo).
    std::optional<mapgeometry::RouteLine> lineFor(const QList<RoutePoint> &points) const;

Q_SIGNALS:
    void progress(const QString &path, int percent);
    // Shared, so that a long track is handed on, never copied.
    void opened(const QString &path, const std::shared_ptr<RouteFiles::Opened> &result);
    void saved(const QString &path, const QString &error);

private:
    std::shared_ptr<std::atomic<bool>> cancel_;
    struct Made
    {
        QList<RoutePoint> points;
        mapgeometry::RouteLine line;
    };
    Made last_, before_;
    MainQueue queue_;
};
