#include "map/MapGeometry.h"

#include <algorithm>
#include <cmath>

namespace mapgeometry {

namespace {

constexpr double kDegrees = 180.0 / M_PI;
constexpr double kRadians = M_PI / 180.0;

double latitudeToUnitY(double latitude)
{
    const double phi = clampLatitude(latitude) * kRadians;
    return 0.5 - std::log(std::tan(M_PI / 4.0 + phi / 2.0)) / (2.0 * M_PI);
}

double unitYToLatitude(double y)
{
    return std::atan(std::sinh(M_PI * (1.0 - 2.0 * y))) * kDegrees;
}

} // namespace

double worldSize(double zoom)
{
    return kTileSize * std::exp2(zoom);
}

double clampLatitude(double latitude)
{
    return std::clamp(latitude, -kMaxLatitude, kMaxLatitude);
}

double wrapLongitude(double longitude)
{
    if (longitude >= -180.0 && longitude < 180.0)
        return longitude;
    const double wrapped = std::fmod(longitude + 180.0, 360.0);
    return (wrapped < 0.0 ? wrapped + 360.0 : wrapped) - 180.0;
}

int wrapTileX(int x, int zoom)
{
    const int count = 1 << zoom;
    const int wrapped = x % count;
    return wrapped < 0 ? wrapped + count : wrapped;
}

QPointF toUnit(CLLocationCoordinate2D coordinate)
{
    return {(coordinate.longitude + 180.0) / 360.0, latitudeToUnitY(coordinate.latitude)};
}

CLLocationCoordinate2D fromUnit(QPointF unit)
{
    return {unitYToLatitude(std::clamp(unit.y(), 0.0, 1.0)),
            wrapLongitude(unit.x() * 360.0 - 180.0)};
}

QPointF project(CLLocationCoordinate2D coordinate, double zoom)
{
    return toUnit(coordinate) * worldSize(zoom);
}

CLLocationCoordinate2D unproject(QPointF worldPixel, double zoom)
{
    return fromUnit(worldPixel / worldSize(zoom));
}

double metersPerPixel(double latitude, double zoom)
{
    return std::cos(clampLatitude(latitude) * kRadians) * 2.0 * M_PI * kEarthRadius
        / worldSize(zoom);
}

QPoint tileAt(CLLocationCoordinate2D coordinate, int zoom)
{
    const QPointF unit = toUnit(coordinate);
    const int count = 1 << zoom;
    const int x = static_cast<int>(std::floor(unit.x() * count));
    const int y = static_cast<int>(std::floor(unit.y() * count));
    return {wrapTileX(x, zoom), std::clamp(y, 0, count - 1)};
}

double fitZoom(const MapRegion &region, QSizeF viewport)
{
    // The region's extent in world pixels at zoom 0.
    const double north = latitudeToUnitY(region.center.latitude + region.latitudeDelta / 2.0);
    const double south = latitudeToUnitY(region.center.latitude - region.latitudeDelta / 2.0);
    const double height = std::abs(south - north) * kTileSize;
    const double width = region.longitudeDelta / 360.0 * kTileSize;
    const double scale = std::min(height > 0.0 ? viewport.height() / height : INFINITY,
                                  width > 0.0 ? viewport.width() / width : INFINITY);
    return std::log2(scale);
}

int tileZoomFor(double zoom)
{
    return static_cast<int>(std::lround(std::clamp(zoom, kMinZoom, kMaxZoom)));
}

} // namespace mapgeometry
