#pragma once

#include "map/MapGeometry.h"

#include <QList>
#include <QPointF>
#include <QSizeF>
#include <optional>

// The map's camera: where a view of some size looks and how it maps view points to places and
// back. A pure value, testable without a widget.
namespace mapgeometry {

// What a view of some size shows: its centre (in units) and zoom. Keeps the view inside the
// world vertically and wraps it around horizontally, so every camera it holds is valid.
class Viewport
{
public:
    Viewport() = default;
    explicit Viewport(QSizeF size)
        : size_(size)
    {
    }

    QSizeF size() const { return size_; }
    double zoom() const { return zoom_; }
    CLLocationCoordinate2D center() const { return fromUnit(centerUnit_); }
    QPointF centerUnit() const { return centerUnit_; }

    void setSize(QSizeF size);
    // The zoom is clamped to [kMinZoom, kMaxZoom].
    void setCamera(CLLocationCoordinate2D center, double zoom);
    // Shows exactly `region` (its tighter span fills the view), as far as the zoom limits allow.
    void fitRegion(const MapRegion &region);
    // Moves the map with the pointer: the content moves by `delta` view pixels.
    void panBy(QPointF delta);
    // Changes the zoom keeping the place under `viewPoint` where it is.
    void zoomAround(QPointF viewPoint, double zoom);

    // World pixels (at the current zoom) of the view's top-left corner; may be negative.
    QPointF topLeftWorld() const;
    QPointF viewToWorld(QPointF viewPoint) const { return viewPoint + topLeftWorld(); }
    // The view point of a coordinate, on the copy of the world nearest the view centre.
    QPointF toView(CLLocationCoordinate2D coordinate) const;
    // The coordinate under a view point; absent beyond the north and south ends of the world
    // or for a point that is not a number.
    std::optional<CLLocationCoordinate2D> toCoordinate(QPointF viewPoint) const;

    // The tiles to load: the visible ones at the drawn level, then a margin of `margin` tiles
    // around them; each group sorted by distance from the view centre.
    QList<TileKey> wantedTiles(int margin = 1) const;

    friend bool operator==(const Viewport &, const Viewport &) = default;

private:
    void setCenterUnit(QPointF unit);

    QSizeF size_;
    QPointF centerUnit_ {0.5, 0.5};
    double zoom_ = kMinZoom;
};

} // namespace mapgeometry
