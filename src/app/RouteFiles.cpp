#include "app/RouteFiles.h"

#include "map/CameraFit.h"

#include <QPointer>
#include <future>

namespace {

// Drops the last reference to a value on a pool thread: a long track takes a while to free.
template<typename T>
void letGo(T value)
{
    dispatch::runInBackground(dispatch::Priority::Background, [dead = std::move(value)] {});
}

void prepareLine(RouteFiles::Opened &opened, const QList<RoutePoint> &points)
{
    QList<CLLocationCoordinate2D> coordinates;
    coordinates.reserve(points.size());
    for (const RoutePoint &point : points)
        coordinates.append(point.coordinate);
    QList<QPointF> units = mapgeometry::toUnits(coordinates);
    opened.outline = mapgeometry::outline(units);
    opened.line = mapgeometry::RouteLine(std::move(units));
}

} // namespace

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
            auto result = std::make_shared<Opened>();
            // The map's line is made on a second thread while this one measures the path.
            std::promise<void> lineMade;
            std::future<void> line = lineMade.get_future();
            bool making = false;
            result->route =
                routefile::open(path, control, [&result, &lineMade, &making](const auto &points) {
                    making = true;
                    dispatch::runInBackground(dispatch::Priority::UserInitiated,
                                              [points, result, &lineMade] {
                                                  prepareLine(*result, points);
                                                  lineMade.set_value();
                                              });
                });
            if (making)
                line.wait();
            queue.post([self, path, result, cancel] {
                if (!self || self->cancel_ != cancel)
                    return; // replaced, or cancelled and said so
                self->cancel_.reset();
                // Two files' lines are kept (Undo brings the one before back); the one before
                // that may hold millions of points, which go on a pool thread.
                letGo(std::exchange(
                    self->before_,
                    std::exchange(self->last_, {result->route.path.points(), result->line})));
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

std::optional<mapgeometry::RouteLine> RouteFiles::lineFor(const QList<RoutePoint> &points) const
{
    for (const Made *made : {&last_, &before_})
        if (!points.isEmpty() && points.constData() == made->points.constData()
            && points.size() == made->points.size())
            return made->line;
    return std::nullopt;
}
