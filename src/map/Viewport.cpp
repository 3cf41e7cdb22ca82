#include "map/Viewport.h"

#include <QSet>
#include <algorithm>
#include <cmath>

namespace mapgeometry {

void Viewport::setSize(QSizeF size)
{
    size_ = size;
    setCenterUnit(centerUnit_);
}

void Viewport::setCamera(CLLocationCoordinate2D center, double zoom)
{
    if (std::isfinite(zoom))
        zoom_ = std::clamp(zoom, kMinZoom, kMaxZoom);
    setCenterUnit(toUnit(center));
}

void Viewport::fitRegion(const MapRegion &region)
{
    const double zoom = fitZoom(region, size_);
    setCamera(region.center, std::isfinite(zoom) ? zoom : zoom_);
}

void Viewport::panBy(QPointF delta)
{
    setCenterUnit(centerUnit_ - delta / worldSize(zoom_));
}

void Viewport::zoomAround(QPointF viewPoint, double zoom)
{
    if (!std::isfinite(zoom))
        return;
    const QPointF anchor = viewToWorld(viewPoint) / worldSize(zoom_);
    zoom_ = std::clamp(zoom, kMinZoom, kMaxZoom);
    const QPointF offset = viewPoint - QPointF(size_.width(), size_.height()) / 2.0;
    setCenterUnit(anchor - offset / worldSize(zoom_));
}

QPointF Viewport::topLeftWorld() const
{
    return centerUnit_ * worldSize(zoom_) - QPointF(size_.width(), size_.height()) / 2.0;
}

QPointF Viewport::toView(CLLocationCoordinate2D coordinate) const
{
    const double world = worldSize(zoom_);
    QPointF unit = toUnit(coordinate);
    // The copy of the world whose instance of the point lies nearest the centre.
    unit.rx() -= std::round(unit.x() - centerUnit_.x());
    return (unit - centerUnit_) * world + QPointF(size_.width(), size_.height()) / 2.0;
}

std::optional<CLLocationCoordinate2D> Viewport::toCoordinate(QPointF viewPoint) const
{
    const QPointF unit = viewToWorld(viewPoint) / worldSize(zoom_);
    if (!std::isfinite(unit.x()) || !std::isfinite(unit.y()) || unit.y() < 0.0 || unit.y() > 1.0)
        return std::nullopt;
    return fromUnit(unit);
}

QList<TileKey> Viewport::wantedTiles(int margin) const
{
    const int z = tileZoomFor(zoom_);
    const int count = 1 << z;
    const double tile = kTileSize * std::exp2(zoom_ - z); // one tile, in view pixels
    const QPointF topLeft = topLeftWorld();
    const QPointF centre = topLeft + QPointF(size_.width(), size_.height()) / 2.0;
    const int x0 = static_cast<int>(std::floor(topLeft.x() / tile));
    const int x1 = static_cast<int>(std::ceil((topLeft.x() + size_.width()) / tile)) - 1;
    const int y0 = static_cast<int>(std::floor(topLeft.y() / tile));
    const int y1 = static_cast<int>(std::ceil((topLeft.y() + size_.height()) / tile)) - 1;

    struct Candidate
    {
        bool inMargin;
        double distance;
        int x;
        int y;
    };
    QList<Candidate> candidates;
    for (int y = std::max(0, y0 - margin); y <= std::min(count - 1, y1 + margin); ++y) {
        for (int x = x0 - margin; x <= x1 + margin; ++x) {
            const bool inMargin = x < x0 || x > x1 || y < y0 || y > y1;
            const QPointF middle = QPointF(x + 0.5, y + 0.5) * tile - centre;
            candidates.append({inMargin, std::hypot(middle.x(), middle.y()), x, y});
        }
    }
    std::stable_sort(candidates.begin(), candidates.end(), [](const auto &a, const auto &b) {
        return a.inMargin != b.inMargin ? !a.inMargin : a.distance < b.distance;
    });

    QList<TileKey> keys;
    QSet<TileKey> seen; // a wide view at a low zoom shows some tiles twice
    for (const Candidate &c : std::as_const(candidates)) {
        const TileKey key {z, wrapTileX(c.x, z), c.y};
        if (!seen.contains(key)) {
            seen.insert(key);
            keys.append(key);
        }
    }
    return keys;
}

void Viewport::setCenterUnit(QPointF unit)
{
    const double world = worldSize(zoom_);
    double x = unit.x() - std::floor(unit.x());
    if (!std::isfinite(x))
        x = 0.5;
    // The view never shows what lies beyond the clamp lines while the world is taller than it.
    const double halfHeight = size_.height() / 2.0 / world;
    double y = std::isfinite(unit.y()) ? unit.y() : 0.5;
    y = halfHeight >= 0.5 ? 0.5 : std::clamp(y, halfHeight, 1.0 - halfHeight);
    centerUnit_ = {x, y};
}

} // namespace mapgeometry
