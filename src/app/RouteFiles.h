#pragma once

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
        QList<QPointF> outline; // in world units: what the camera must show
    };

    explicit RouteFiles(QObject *parent = nullptr);
    ~RouteFiles() override;

    // A new open replaces one under way.
    void open(const QString &path);
    void cancel();
    bool isOpening() const { return cancel_ != nullptr; }
    void save(const QString &path, const QString &name, const QList<RoutePoint> &points);

Q_SIGNALS:
    void progress(const QString &path, int percent);
    void opened(const QString &path, const RouteFiles::Opened &result);
    void saved(const QString &path, const QString &error);

private:
    std::shared_ptr<std::atomic<bool>> cancel_;
    MainQueue queue_;
};
