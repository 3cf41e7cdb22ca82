#include "map/Viewport.h"

#include <QtMath>
#include <algorithm>
#include <cmath>

namespace mapgeometry {

namespace {

// A homogeneous weight at or below this is on or behind the camera's horizon.
constexpr double kNearWeight = 1e-9;

double weightAt(const QTransform &t, QPointF p)
{
    return t.m13() * p.x() + t.m23() * p.y() + t.m33();
}

} // namespace

void Viewport::setSize(QSizeF size)
{
    size_ = size;
    setCenterUnit(centerUnit_);
}

void Viewport::setCamera(CLLocationCoordinate2D center, double zoom, double bearing, double pitch)
{
    if (std::isfinite(zoom))
        zoom_ = std::clamp(zoom, kMinZoom, kMaxZoom);
    setBearing(bearing);
    setPitch(pitch);
    setCenterUnit(toUnit(center));
}

void Viewport::fitRegion(const MapRegion &region)
{
    const double zoom = fitZoom(region, size_);
    setCamera(region.center, std::isfinite(zoom) ? zoom : zoom_);
}

void Viewport::setBearing(double degrees)
{
    if (!std::isfinite(degrees))
        return;
    const double wrapped = std::fmod(degrees, 360.0) + (degrees < 0.0 ? 360.0 : 0.0);
    bearing_ = wrapped >= 360.0 ? 0.0 : wrapped;
}

void Viewport::setPitch(double degrees)
{
    if (std::isfinite(degrees))
        pitch_ = std::clamp(degrees, 0.0, kMaxPitch);
}

void Viewport::panBy(QPointF from, QPointF to)
{
    if (const std::optional<QPointF> unit = unitAt(from))
        keepUnder(*unit, to);
}

void Viewport::panBy(QPointF delta)
{
    const QPointF middle(size_.width() / 2.0, size_.height() / 2.0);
    panBy(middle, middle + delta);
}

void Viewport::zoomAround(QPointF viewPoint, double zoom)
{
    const std::optional<QPointF> unit = unitAt(viewPoint);
    if (!std::isfinite(zoom) || !unit)
        return;
    zoom_ = std::clamp(zoom, kMinZoom, kMaxZoom);
    keepUnder(*unit, viewPoint);
}

void Viewport::rotateAround(QPointF viewPoint, double bearing)
{
    const std::optional<QPointF> unit = unitAt(viewPoint);
    setBearing(bearing);
    if (unit)
        keepUnder(*unit, viewPoint);
}

QTransform Viewport::planeToView() const
{
    if (isNorthUpFlat())
        return {};
    const QPointF middle(size_.width() / 2.0, size_.height() / 2.0);
    QTransform t = QTransform::fromTranslate(-middle.x(), -middle.y());
    t *= QTransform().rotate(-bearing_);
    if (pitch_ > 0.0) {
        // Rows farther up lie farther away: their weight grows with the distance up the plane.
        const double p = qDegreesToRadians(pitch_);
        t *= QTransform(1, 0, 0, 0, std::cos(p), -std::sin(p) / std::max(cameraDistance(), 1.0), 0,
                        0, 1);
    }
    return t * QTransform::fromTranslate(middle.x(), middle.y());
}

QPointF Viewport::topLeftWorld() const
{
    return centerUnit_ * worldSize(zoom_) - QPointF(size_.width(), size_.height()) / 2.0;
}

std::optional<QPointF> Viewport::toView(CLLocationCoordinate2D coordinate) const
{
    QPointF unit = toUnit(coordinate);
    // The copy of the world whose instance of the point lies nearest the centre.
    unit.rx() -= std::round(unit.x() - centerUnit_.x());
    const QPointF plane = unit * worldSize(zoom_) - topLeftWorld();
    const QTransform t = planeToView();
    if (!(weightAt(t, plane) > kNearWeight))
        return std::nullopt;
    return t.map(plane);
}

std::optional<CLLocationCoordinate2D> Viewport::toCoordinate(QPointF viewPoint) const
{
    const std::optional<QPointF> unit = unitAt(viewPoint);
    if (!unit || !std::isfinite(unit->x()) || !std::isfinite(unit->y()) || unit->y() < 0.0
        || unit->y() > 1.0)
        return std::nullopt;
    return fromUnit(*unit);
}

double Viewport::northOnScreen() const
{
    const QPointF middle(size_.width() / 2.0, size_.height() / 2.0);
    const QTransform t = planeToView();
    const QPointF north = t.map(middle - QPointF(0.0, 1.0)) - t.map(middle);
    return qRadiansToDegrees(std::atan2(north.x(), -north.y()));
}

std::optional<QPointF> Viewport::unitAt(QPointF viewPoint) const
{
    const QTransform inverse = planeToView().inverted();
    // The weight of the inverse is positive for points in front of the camera only.
    if (!(weightAt(inverse, viewPoint) > kNearWeight))
        return std::nullopt;
    return (inverse.map(viewPoint) + topLeftWorld()) / worldSize(zoom_);
}

void Viewport::keepUnder(QPointF unit, QPointF viewPoint)
{
    const QTransform inverse = planeToView().inverted();
    if (!(weightAt(inverse, viewPoint) > kNearWeight))
        return;
    const QPointF offset = inverse.map(viewPoint) - QPointF(size_.width(), size_.height()) / 2.0;
    setCenterUnit(unit - offset / worldSize(zoom_));
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
