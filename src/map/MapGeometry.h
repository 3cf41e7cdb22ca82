#pragma once

#include "coordinates/Coordinates.h"

#include <QHashFunctions>
#include <QList>
#include <QPointF>
#include <QSizeF>

// Web Mercator with 256-pixel tiles, at fractional zoom levels. Pure functions and values: no
// widget, no network. "World pixels" are pixels of the whole world drawn at a zoom level, with
// (0, 0) at 180° W on the northern clamp line; "units" are the same at zoom 0 divided by 256,
// so a unit point lies in [0, 1] x [0, 1] for every zoom.
namespace mapgeometry {

inline constexpr int kTileSize = 256;
inline constexpr double kMaxLatitude = 85.0511287798066; // where the square world ends
inline constexpr double kMinZoom = 2.0;
inline constexpr double kMaxZoom = 19.0;
inline constexpr double kEarthRadius = 6378137.0; // metres, the sphere of Web Mercator

// The width (and height) of the world in pixels at a zoom level.
double worldSize(double zoom);

double clampLatitude(double latitude);
// Into [-180, 180).
double wrapLongitude(double longitude);
// Into [0, 2^zoom).
int wrapTileX(int x, int zoom);

QPointF toUnit(CLLocationCoordinate2D coordinate);
// The longitude is wrapped into [-180, 180); y outside [0, 1] is clamped to the world.
CLLocationCoordinate2D fromUnit(QPointF unit);

// World pixels at a zoom level; x is in [0, worldSize) for longitudes in [-180, 180).
QPointF project(CLLocationCoordinate2D coordinate, double zoom);
CLLocationCoordinate2D unproject(QPointF worldPixel, double zoom);

// Ground metres covered by one pixel at a latitude and zoom level.
double metersPerPixel(double latitude, double zoom);

// The tile that holds a coordinate at a whole zoom level.
QPoint tileAt(CLLocationCoordinate2D coordinate, int zoom);

// The zoom level at which `region` just fits into a viewport of `viewport` pixels: one span
// fills its side exactly and the other fits inside. Not clamped to the zoom limits.
double fitZoom(const MapRegion &region, QSizeF viewport);

// One tile of the pyramid; x is always wrapped into [0, 2^z).
struct TileKey
{
    int z = 0;
    int x = 0;
    int y = 0;

    TileKey parent(int levels = 1) const { return {z - levels, x >> levels, y >> levels}; }
    friend bool operator==(const TileKey &, const TileKey &) = default;
    friend size_t qHash(const TileKey &key, size_t seed = 0)
    {
        return qHashMulti(seed, key.z, key.x, key.y);
    }
};

// The whole-numbered tile level drawn at a fractional zoom: the nearest one, so tiles are
// scaled by at most a factor of sqrt(2) either way.
int tileZoomFor(double zoom);

} // namespace mapgeometry
