#pragma once

#include "map/MapGeometry.h"

#include <QList>
#include <QPointF>
#include <QRectF>
#include <QSizeF>
#include <QTransform>
#include <optional>

// The map's camera: where a view of some size looks and how it maps view points to places and
// back. A pure value, testable without a widget.
namespace mapgeometry {

inline constexpr double kMaxPitch = 60.0; // degrees; beyond it the far tiles would be too many

// What a view of some size shows: its centre (in units), zoom, bearing and pitch. Keeps the
// view's centre inside the world vertically and wraps it around horizontally, so every camera
// it holds is valid.
//
// The "plane" is the map as it would be drawn north up and flat, in view pixels: the view
// centre's place lies at the view centre. The camera turns the plane by -bearing about the
// view centre, then looks at it from `cameraDistance()` pixels away, tilted by the pitch.
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
    // Degrees clockwise from north to the top of the view, in [0, 360).
    double bearing() const { return bearing_; }
    // Degrees from looking straight down, in [0, kMaxPitch].
    double pitch() const { return pitch_; }
    bool isNorthUpFlat() const { return bearing_ == 0.0 && pitch_ == 0.0; }
    CLLocationCoordinate2D center() const { return fromUnit(centerUnit_); }
    QPointF centerUnit() const { return centerUnit_; }

    void setSize(QSizeF size);
    // The zoom is clamped to [kMinZoom, kMaxZoom], the bearing wrapped, the pitch clamped.
    void setCamera(CLLocationCoordinate2D center, double zoom, double bearing = 0.0,
                   double pitch = 0.0);
    // Shows exactly `region` (its tighter span fills the view), north up and flat, as far as
    // the zoom limits allow.
    void fitRegion(const MapRegion &region);
    // Both turn about the view centre, which keeps its place.
    void setBearing(double degrees);
    void setPitch(double degrees);
    // Moves the map so that the place under `from` comes under `to` (as far as the ends of the
    // world allow); panBy(delta) drags the view centre by `delta`.
    void panBy(QPointF from, QPointF to);
    void panBy(QPointF delta);
    // Changes the zoom or the bearing keeping the place under `viewPoint` where it is.
    void zoomAround(QPointF viewPoint, double zoom);
    void rotateAround(QPointF viewPoint, double bearing);

    // Pixels from the eye to the view centre; the camera's field of view is about 37° high.
    double cameraDistance() const { return 1.5 * size_.height(); }
    // The projective map from the plane to the view; the identity while north up and flat.
    QTransform planeToView() const;
    // World pixels (at the current zoom) of the plane's top-left corner; may be negative.
    QPointF topLeftWorld() const;
    // The view point of a coordinate, on the copy of the world nearest the view centre; absent
    // when the point lies behind the camera.
    std::optional<QPointF> toView(CLLocationCoordinate2D coordinate) const;
    // The coordinate under a view point; absent above the horizon, beyond the north and south
    // ends of the world or for a point that is not a number.
    std::optional<CLLocationCoordinate2D> toCoordinate(QPointF viewPoint) const;
    // The direction of north on the screen at the view centre, in degrees clockwise from up.
    double northOnScreen() const;

    // One tile of what a turned or tilted view shows, and where it lies on the plane.
    struct Cover
    {
        TileKey key;
        QRectF plane;
    };
    // The tiles that cover what a turned or tilted view shows, and no others: at the drawn
    // level near the camera, up to two levels coarser far away; nearest the centre first.
    QList<Cover> coveringTiles() const;
    // The tiles to load, each once. North up and flat: the visible ones at the drawn level,
    // then a margin of `margin` tiles around them, each group nearest the centre first.
    // Otherwise: those of coveringTiles().
    QList<TileKey> wantedTiles(int margin = 1) const;

    friend bool operator==(const Viewport &, const Viewport &) = default;

private:
    void setCenterUnit(QPointF unit);
    // The unit point (not wrapped) under a view point; absent above the horizon.
    std::optional<QPointF> unitAt(QPointF viewPoint) const;
    // Moves the centre so that `unit` lies under `viewPoint`.
    void keepUnder(QPointF unit, QPointF viewPoint);

    QSizeF size_;
    QPointF centerUnit_ {0.5, 0.5};
    double zoom_ = kMinZoom;
    double bearing_ = 0.0;
    double pitch_ = 0.0;
};

} // namespace mapgeometry
