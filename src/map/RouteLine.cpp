#include "map/RouteLine.h"

#include "map/MapGeometry.h"

#include <algorithm>
#include <cmath>

namespace mapgeometry {

namespace {

QList<QRectF> runBounds(const QList<QPointF> &points)
{
    QList<QRectF> runs;
    if (points.size() <= RouteLine::kRun)
        return runs; // drawn whole
    for (qsizetype from = 0; from < points.size(); from += RouteLine::kRun) {
        const qsizetype to = std::min(from + RouteLine::kRun, points.size() - 1);
        double left = points[from].x(), right = left, top = points[from].y(), bottom = top;
        for (qsizetype i = from + 1; i <= to; ++i) {
            left = std::min(left, points[i].x());
            right = std::max(right, points[i].x());
            top = std::min(top, points[i].y());
            bottom = std::max(bottom, points[i].y());
        }
        runs.append(QRectF(QPointF(left, top), QPointF(right, bottom)));
    }
    return runs;
}

// The points at least `apart` from the last one kept, and the last point.
QList<QPointF> thinned(const QList<QPointF> &points, double apart)
{
    QList<QPointF> kept;
    for (qsizetype i = 0; i < points.size(); ++i) {
        const QPointF p = points[i];
        if (kept.isEmpty() || i + 1 == points.size() || std::abs(p.x() - kept.last().x()) >= apart
            || std::abs(p.y() - kept.last().y()) >= apart)
            kept.append(p);
    }
    return kept;
}

double distanceToSegment(QPointF p, QPointF a, QPointF b)
{
    const QPointF ab = b - a;
    const double length = QPointF::dotProduct(ab, ab);
    const double along =
        length > 0.0 ? std::clamp(QPointF::dotProduct(p - a, ab) / length, 0.0, 1.0) : 0.0;
    const QPointF off = p - (a + ab * along);
    return std::hypot(off.x(), off.y());
}

// The fewest points, looking up to kSpan points ahead, that keep the line within `within` of
// every point left out: a straight stretch of many points draws as a few legs, which a wide,
// rounded pen strokes far faster. Linear, whatever the line.
QList<QPointF> simplified(const QList<QPointF> &points, double within)
{
    constexpr qsizetype kSpan = 64;
    if (points.size() <= 2)
        return points;
    QList<QPointF> kept {points.first()};
    qsizetype anchor = 0;
    while (anchor < points.size() - 1) {
        qsizetype reach = anchor + 1;
        // Further while every point in between stays near the leg from the anchor.
        while (reach + 1 < points.size() && reach + 1 - anchor <= kSpan) {
            bool near = true;
            for (qsizetype i = anchor + 1; near && i <= reach; ++i)
                near = distanceToSegment(points[i], points[anchor], points[reach + 1]) <= within;
            if (!near)
                break;
            ++reach;
        }
        kept.append(points[reach]);
        anchor = reach;
    }
    return kept;
}

} // namespace

RouteLine::RouteLine(QList<QPointF> units)
{
    levels_.first().points = std::move(units);
    levels_.first().runs = runBounds(levels_.first().points);
    // Down to the widest view; a level is kept only when it halves the one before, since a
    // finer one draws right at a coarser zoom too.
    for (int zoom = static_cast<int>(kMaxZoom); zoom >= static_cast<int>(kMinZoom); --zoom) {
        const double halfPixel = 0.5 / (kTileSize * std::exp2(zoom));
        QList<QPointF> points = simplified(thinned(levels_.last().points, halfPixel), halfPixel);
        if (points.size() * 2 > levels_.last().points.size())
            continue;
        QList<QRectF> runs = runBounds(points);
        levels_.append({std::move(points), std::move(runs)});
        zooms_.append(zoom);
    }
}

const RouteLine::Level &RouteLine::levelFor(double zoom) const
{
    // Thinned for half a pixel at its zoom, a level is right up to one level closer.
    const int whole = static_cast<int>(std::floor(zoom));
    for (qsizetype i = levels_.size() - 1; i > 0; --i)
        if (zooms_[i] >= whole)
            return levels_[i];
    return levels_.first();
}

} // namespace mapgeometry
