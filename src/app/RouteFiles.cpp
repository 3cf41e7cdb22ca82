#include "app/RouteFiles.h"

#include "formats/GeoFile.h"
#include "map/CameraFit.h"
#include "map/MapView.h"
#include "platform/Console.h"
#include "route/Movement.h"
#include "route/RouteModel.h"
#include "route/RoutePanel.h"
#include "state/ScreenModel.h"

#include <QFileInfo>
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

RouteFiles::RouteFiles(const Screen &screen, QObject *parent)
    : QObject(parent)
    , screen_(screen)
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
    showProgress(path, -1);
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
                            self->showProgress(path, percent);
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
                self->finishOpening(path, result);
            });
        });
}

void RouteFiles::cancel()
{
    if (cancel_)
        cancel_->store(true);
    cancel_.reset();
}

void RouteFiles::save(const QString &path)
{
    const QString file = formats::withGpxSuffix(path);
    const QString name =
        screen_.route.name().isEmpty() ? QFileInfo(file).completeBaseName() : screen_.route.name();
    const QPointer<RouteFiles> self(this);
    dispatch::runInBackground(
        dispatch::Priority::UserInitiated,
        [file, name, points = screen_.route.path().points(), queue = queue_, self] {
            const QString error = routefile::save(file, name, points).value_or(QString());
            queue.post([self, file, error] {
                if (self)
                    self->finishSaving(file, error);
            });
        });
}

void RouteFiles::showProgress(const QString &path, int percent)
{
    const QString file = QFileInfo(path).fileName();
    screen_.panel.showStatus(
        percent < 0 ? QStringLiteral("Opening %1…").arg(file)
                    : QStringLiteral("Opening %1… %2 %").arg(file).arg(percent),
        QStringLiteral("Cancel"), QStringLiteral("Stop opening the file"), [this] {
            cancel();
            Q_EMIT opened(false);
        });
}

void RouteFiles::finishOpening(const QString &path, const std::shared_ptr<Opened> &result)
{
    routefile::Opened &file = result->route;
    if (file.path.isEmpty()) {
        if (!file.error.isEmpty())
            consoleLine(QStringLiteral("❌ Could not open ") + file.error);
        screen_.panel.showStatus(file.cancelled ? QString() : file.error);
        Q_EMIT opened(false);
        return;
    }
    screen_.movement.stop();
    screen_.route.setFromFile(file.name, std::move(file.path), file.isTrack);
    filePath_ = path;
    // Shown whole, at the bearing and pitch the user chose.
    MapView &map = screen_.map;
    const mapgeometry::Fit fit =
        mapgeometry::fitOutline(result->outline, QSizeF(map.size()), map.bearing(), map.pitch());
    screen_.model.update([&](ScreenState &s) {
        s.cameraPosition =
            MapCameraPosition::fromCamera(fit.center, fit.zoom, map.bearing(), map.pitch());
    });
    if (screen_.route.canUndoOpen())
        screen_.panel.showStatus(QStringLiteral("Opened %1 in place of the route before.")
                                     .arg(QFileInfo(path).fileName()),
                                 QStringLiteral("Undo"),
                                 QStringLiteral("Bring the route before back"),
                                 [this] { screen_.route.undoOpen(); });
    else
        screen_.panel.showStatus({});
    Q_EMIT opened(true);
}

void RouteFiles::finishSaving(const QString &path, const QString &error)
{
    const QString name = QFileInfo(path).fileName();
    if (error.isEmpty()) {
        filePath_ = path;
        screen_.panel.showStatus(QStringLiteral("Saved %1.").arg(name));
    } else {
        consoleLine(QStringLiteral("❌ Could not save %1: %2").arg(path, error));
        screen_.panel.showStatus(QStringLiteral("Could not save %1: %2").arg(name, error));
    }
    Q_EMIT saved(error.isEmpty());
}

std::optional<mapgeometry::RouteLine> RouteFiles::lineFor(const QList<RoutePoint> &points) const
{
    for (const Made *made : {&last_, &before_})
        if (!points.isEmpty() && points.constData() == made->points.constData()
            && points.size() == made->points.size())
            return made->line;
    return std::nullopt;
}
