#include "map/CameraFit.h"

#include "map/Viewport.h"

#include <QRectF>
#include <algorithm>
#include <cmath>

namespace mapgeometry {

QList<QPointF> toUnits(const QList<CLLocationCoordinate2D> &coordinates)
{
    QList<QPointF> units;
    units.reserve(coordinates.size());
    for (const CLLocationCoordinate2D &coordinate : coordinates) {
        QPointF unit = toUnit(coordinate);
        if (!units.isEmpty())
            unit.rx() -= std::round(unit.x() - units.last().x());
        units.append(unit);
    }
    return units;
}

QList<QPointF> outline(const QList<QPointF> &units)
{
    // Andrew's monotone chain.
    QList<QPointF> points = units;
    std::sort(points.begin(), points.end(), [](QPointF a, QPointF b) {
        return a.x() < b.x() || (a.x() == b.x() && a.y() < b.y());
    });
    points.erase(std::unique(points.begin(), points.end()), points.end());
    if (points.size() < 3)
        return points;
    const auto cross = [](QPointF o, QPointF a, QPointF b) {
        return (a.x() - o.x()) * (b.y() - o.y()) - (a.y() - o.y()) * (b.x() - o.x());
    };
    QList<QPointF> hull(2 * points.size());
    qsizetype k = 0;
    for (qsizetype i = 0; i < points.size(); ++i) {
        while (k >= 2 && cross(hull[k - 2], hull[k - 1], points[i]) <= 0)
            --k;
        hull[k++] = points[i];
    }
    for (qsizetype i = points.size() - 1, lower = k + 1; i-- > 0;) {
        while (k >= lower && cross(hull[k - 2], hull[k - 1], points[i]) <= 0)
            --k;
        hull[k++] = points[i];
    }
    hull.resize(k - 1);
    return hull;
}

namespace {

// The smallest rectangle around the points (QRectF::united skips empty ones).
struct Bounds
{
    double left = INFINITY, top = INFINITY, right = -INFINITY, bottom = -INFINITY;
    void add(QPointF p)
    {
        left = std::min(left, p.x());
        right = std::max(right, p.x());
        top = std::min(top, p.y());
        bottom = std::max(bottom, p.y());
    }
    QRectF rect() const { return QRectF(QPointF(left, top), QPointF(right, bottom)); }
};

// Where the outline lies in a view at this camera; nothing when a point is behind it.
std::optional<QRectF> shownAt(const QList<QPointF> &outline, const Viewport &view)
{
    Bounds bounds;
    for (const QPointF &unit : outline) {
        const std::optional<QPointF> at = view.toView(fromUnit(unit));
        if (!at)
            return std::nullopt;
        bounds.add(*at);
    }
    return bounds.rect();
}

} // namespace

Fit fitOutline(const QList<QPointF> &outline, QSizeF size, double bearing, double pitch,
               double margin, double maxZoom)
{
    if (outline.isEmpty())
        return {};
    Bounds box;
    for (const QPointF &unit : outline)
        box.add(unit);
    const QRectF room = QRectF(QPointF(0, 0), size).adjusted(margin, margin, -margin, -margin);
    Viewport view(size);
    CLLocationCoordinate2D center = fromUnit(box.rect().center());
    // The closest zoom at which the outline fits around `center`.
    const auto closest = [&] {
        const auto fits = [&](double z) {
            view.setCamera(center, z, bearing, pitch);
            const std::optional<QRectF> shown = shownAt(outline, view);
            return shown && shown->width() <= room.width() && shown->height() <= room.height();
        };
        double low = kMinZoom, high = std::max(kMinZoom, maxZoom);
        if (fits(high))
            return high;
        for (int step = 0; step < 40 && high - low > 1e-3; ++step) {
            const double middle = (low + high) / 2.0;
            (fits(middle) ? low : high) = middle;
        }
        return low;
    };
    // Then what it shows is centred: at a tilt the near side grows and the far side shrinks,
    // so the centre moves a little each round.
    double zoom = closest();
    for (int round = 0; round < 3; ++round) {
        view.setCamera(center, zoom, bearing, pitch);
        const std::optional<QRectF> shown = shownAt(outline, view);
        const std::optional<CLLocationCoordinate2D> middle =
            shown ? view.toCoordinate(shown->center()) : std::nullopt;
        if (!middle)
            break;
        center = *middle;
        zoom = closest();
    }
    return {center, zoom};
}

} // namespace mapgeometry
