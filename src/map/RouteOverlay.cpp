#include "map/CameraFit.h"
#include "map/MapView.h"

#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <cmath>

// The route drawn over the map, its editing by mouse, and steering by the keyboard.

namespace {

constexpr double kDotRadius = 9.0;
constexpr double kDotReach = 14.0; // a press this near a dot takes it
constexpr double kNearWeight = 1e-3; // nearer the eye than this: behind the camera
const QColor kRouteColour(0x00, 0x7a, 0xff);

// The stretch [t0, t1] of the leg from a to b that lies in `r` (Liang and Barsky), if any.
std::optional<std::pair<double, double>> clipped(QPointF a, QPointF b, const QRectF &r)
{
    double t0 = 0.0, t1 = 1.0;
    const QPointF d = b - a;
    const auto edge = [&t0, &t1](double p, double q) { // the part where p·t <= q
        if (p == 0.0)
            return q >= 0.0;
        const double t = q / p;
        if (p < 0.0) {
            if (t > t1)
                return false;
            t0 = std::max(t0, t);
        } else {
            if (t < t0)
                return false;
            t1 = std::min(t1, t);
        }
        return true;
    };
    if (edge(-d.x(), a.x() - r.left()) && edge(d.x(), r.right() - a.x())
        && edge(-d.y(), a.y() - r.top()) && edge(d.y(), r.bottom() - a.y()))
        return std::pair {t0, t1};
    return std::nullopt;
}

} // namespace

void MapView::setRoute(const QList<CLLocationCoordinate2D> &line,
                       const QList<CLLocationCoordinate2D> &dots)
{
    setRoute(mapgeometry::RouteLine(mapgeometry::toUnits(line)), dots);
}

void MapView::setRoute(mapgeometry::RouteLine line, const QList<CLLocationCoordinate2D> &dots)
{
    routeLine_ = std::move(line);
    routeDots_.clear();
    for (const CLLocationCoordinate2D &dot : dots)
        routeDots_.append(mapgeometry::toUnit(dot));
    update();
}

void MapView::setRouteEditing(bool editing)
{
    routeEditing_ = editing;
    draggedDot_ = -1;
    setCursor(editing ? Qt::CrossCursor : Qt::ArrowCursor);
}

void MapView::setSteering(bool steering)
{
    steering_ = steering;
    if (!steering && !steerKeys_.isEmpty()) {
        steerKeys_.clear();
        Q_EMIT steeringChanged({});
    }
}

std::optional<QPointF> MapView::unitToView(QPointF unit) const
{
    const QTransform t = viewport_.planeToView();
    const QPointF plane =
        unit * mapgeometry::worldSize(viewport_.zoom()) - viewport_.topLeftWorld();
    if (!(t.m13() * plane.x() + t.m23() * plane.y() + t.m33() > kNearWeight))
        return std::nullopt;
    return t.map(plane);
}

int MapView::routeDotAt(QPointF viewPoint) const
{
    int best = -1;
    double bestDistance = kDotReach;
    for (qsizetype i = 0; i < routeDots_.size(); ++i) {
        QPointF unit = routeDots_[i];
        unit.rx() -= std::round(unit.x() - viewport_.centerUnit().x());
        const std::optional<QPointF> at = unitToView(unit);
        if (!at)
            continue;
        const double distance = QLineF(*at, viewPoint).length();
        if (distance <= bestDistance) {
            bestDistance = distance;
            best = static_cast<int>(i);
        }
    }
    return best;
}

void MapView::paintRoute(QPainter &painter)
{
    if (routeLine_.isEmpty() && routeDots_.isEmpty())
        return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const QTransform t = viewport_.planeToView();
    const double world = mapgeometry::worldSize(viewport_.zoom());
    const QPointF topLeft = viewport_.topLeftWorld();
    const auto weight = [&t](QPointF p) { return t.m13() * p.x() + t.m23() * p.y() + t.m33(); };
    // The copy of the line for this zoom, on the copy of the world nearest the centre, as far
    // as its middle goes.
    const mapgeometry::RouteLine::Level &level = routeLine_.levelFor(viewport_.zoom());
    const QList<QPointF> &line = level.points;
    const double shift =
        line.isEmpty() ? 0.0 : std::round(line[line.size() / 2].x() - viewport_.centerUnit().x());

    // A long track costs what the screen shows, not what the file holds: points closer than
    // half a pixel to the last one add nothing, legs wholly beyond one side of the view are
    // left out, and so are whole runs of points whose bounds lie off the view (where the view
    // shows no horizon, so that what it shows of the plane is bounded).
    const QRectF reach = QRectF(rect()).adjusted(-10, -10, 10, 10);
    std::optional<QRectF> shownPlane;
    {
        const QTransform back = t.inverted();
        QPolygonF corners;
        for (const QPointF corner :
             {reach.topLeft(), reach.topRight(), reach.bottomLeft(), reach.bottomRight()})
            if (viewport_.toCoordinate(corner))
                corners.append(back.map(corner));
        if (corners.size() == 4)
            shownPlane = corners.boundingRect();
    }
    const auto outcode = [&reach](QPointF p) {
        return (p.x() < reach.left() ? 1 : 0) | (p.x() > reach.right() ? 2 : 0)
            | (p.y() < reach.top() ? 4 : 0) | (p.y() > reach.bottom() ? 8 : 0);
    };
    QPainterPath path;
    bool open = false; // the path's last point is `lastView`
    std::optional<QPointF> lastView;
    int lastCode = 0;
    QPointF lastPlane;
    for (qsizetype i = 0; i < line.size(); ++i) {
        if (shownPlane && !level.runs.isEmpty() && i % mapgeometry::RouteLine::kRun == 0) {
            const QRectF run = level.runs[i / mapgeometry::RouteLine::kRun];
            const QPointF from = (run.topLeft() - QPointF(shift, 0)) * world - topLeft;
            const QPointF to = (run.bottomRight() - QPointF(shift, 0)) * world - topLeft;
            if (to.x() < shownPlane->left() || from.x() > shownPlane->right()
                || to.y() < shownPlane->top() || from.y() > shownPlane->bottom()) {
                lastView.reset();
                open = false;
                i += mapgeometry::RouteLine::kRun - 1;
                continue;
            }
        }
        const QPointF plane = (line[i] - QPointF(shift, 0)) * world - topLeft;
        const bool last = i + 1 == line.size();
        if (lastView && !last && std::abs(plane.x() - lastPlane.x()) < 0.5
            && std::abs(plane.y() - lastPlane.y()) < 0.5)
            continue;
        lastPlane = plane;
        if (!(weight(plane) > kNearWeight)) {
            lastView.reset();
            open = false;
            continue;
        }
        const QPointF at = t.map(plane);
        const int code = outcode(at);
        if (lastView && (code | lastCode) == 0) {
            if (!open)
                path.moveTo(*lastView);
            path.lineTo(at);
            open = true;
        } else if (lastView && (code & lastCode) == 0) {
            // A long leg (of a coarse copy) is cut to the view: stroked whole, thousands of
            // pixels beyond it would cost milliseconds.
            const std::optional<std::pair<double, double>> part = clipped(*lastView, at, reach);
            if (part) {
                const QPointF leg = at - *lastView;
                if (!open || part->first > 0.0)
                    path.moveTo(*lastView + leg * part->first);
                path.lineTo(*lastView + leg * part->second);
            }
            open = part && part->second >= 1.0;
        } else {
            open = false;
        }
        lastView = at;
        lastCode = code;
    }
    if (line.size() == 1 && lastView)
        path.addEllipse(*lastView, 2, 2);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(255, 255, 255, 220), 7, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPath(path);
    painter.setPen(QPen(kRouteColour, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPath(path);

    QFont font = this->font();
    font.setPixelSize(11);
    font.setBold(true);
    painter.setFont(font);
    for (qsizetype i = 0; i < routeDots_.size(); ++i) {
        QPointF unit = routeDots_[i];
        unit.rx() -= std::round(unit.x() - viewport_.centerUnit().x());
        const std::optional<QPointF> at = unitToView(unit);
        if (!at)
            continue;
        const QRectF disc(*at - QPointF(kDotRadius, kDotRadius), QSizeF(2, 2) * kDotRadius);
        painter.setPen(QPen(Qt::white, 2));
        painter.setBrush(i == draggedDot_ ? kRouteColour.darker(130) : kRouteColour);
        painter.drawEllipse(disc);
        painter.setPen(Qt::white);
        painter.drawText(disc, Qt::AlignCenter, QString::number(i + 1));
    }
    painter.restore();
}

bool MapView::steerKey(QKeyEvent *event, bool down)
{
    if (!steering_ || (event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier)))
        return false;
    int key = event->key();
    switch (key) {
    case Qt::Key_W:
        key = Qt::Key_Up;
        break;
    case Qt::Key_A:
        key = Qt::Key_Left;
        break;
    case Qt::Key_S:
        key = Qt::Key_Down;
        break;
    case Qt::Key_D:
        key = Qt::Key_Right;
        break;
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_Left:
    case Qt::Key_Right:
        break;
    default:
        return false;
    }
    if (event->isAutoRepeat())
        return true;
    if (down && !steerKeys_.contains(key))
        steerKeys_.append(key);
    else if (!down)
        steerKeys_.removeAll(key);
    QPointF direction;
    for (int held : steerKeys_)
        direction += held == Qt::Key_Up ? QPointF(0, -1)
            : held == Qt::Key_Down      ? QPointF(0, 1)
            : held == Qt::Key_Left      ? QPointF(-1, 0)
                                        : QPointF(1, 0);
    Q_EMIT steeringChanged(direction);
    return true;
}

void MapView::keyReleaseEvent(QKeyEvent *event)
{
    if (!steerKey(event, false))
        QWidget::keyReleaseEvent(event);
}

void MapView::focusInEvent(QFocusEvent *event)
{
    update(); // the focus ring
    QWidget::focusInEvent(event);
}

void MapView::focusOutEvent(QFocusEvent *event)
{
    update();
    // Keys released elsewhere never reach us: stop rather than run on.
    if (!steerKeys_.isEmpty()) {
        steerKeys_.clear();
        Q_EMIT steeringChanged({});
    }
    QWidget::focusOutEvent(event);
}
