#include "app/RouteFiles.h"

#include "map/CameraFit.h"

#include <QPointer>

RouteFiles::RouteFiles(QObject *parent)
    : QObject(parent)
    , queue_(this)
{
}

RouteFiles::~RouteFiles()
{
    cancel();
    queue_.close();
}

void RouteFiles::open(const QString &path)
{
    cancel();
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    cancel_ = cancel;
    const QPointer<RouteFiles> self(this);
    dispatch::runInBackground(
        dispatch::Priority::UserInitiated, [path, cancel, queue = queue_, self] {
            formats::ReadControl control;
            control.cancel = cancel.get();
            int shown = -1;
            control.progress = [&shown, &queue, self, path, cancel](double fraction) {
                const int percent = static_cast<int>(fraction * 100);
                if (percent != std::exchange(shown, percent))
                    queue.post([self, path, percent, cancel] {
                        if (self && self->cancel_ == cancel)
                            Q_EMIT self->progress(path, percent);
                    });
            };
            Opened result;
            result.route = routefile::open(path, control);
            if (!result.route.path.isEmpty()) {
                QList<CLLocationCoordinate2D> line;
                line.reserve(result.route.path.points().size());
                for (const RoutePoint &point : result.route.path.points())
                    line.append(point.coordinate);
                result.outline = mapgeometry::outline(mapgeometry::toUnits(line));
            }
            queue.post([self, path, result, cancel] {
                if (!self || self->cancel_ != cancel)
                    return; // replaced, or cancelled and said so
                self->cancel_.reset();
                Q_EMIT self->opened(path, result);
            });
        });
}

void RouteFiles::cancel()
{
    if (cancel_)
        cancel_->store(true);
    cancel_.reset();
}

void RouteFiles::save(const QString &path, const QString &name, const QList<RoutePoint> &points)
{
    const QPointer<RouteFiles> self(this);
    dispatch::runInBackground(
        dispatch::Priority::UserInitiated, [path, name, points, queue = queue_, self] {
            const QString error = routefile::save(path, name, points).value_or(QString());
            queue.post([self, path, error] {
                if (self)
                    Q_EMIT self->saved(path, error);
            });
        });
}
