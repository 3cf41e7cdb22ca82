#pragma once

#include "map/Viewport.h"

#include <QImage>
#include <QRect>

class PlaneRaster;
class QPainter;
class TileSource;

// Draws the tiles a viewport shows, in device pixels, so that their edges meet exactly at every
// pixel ratio. A missing tile is stood in for by a lower-zoom tile scaled up, finer tiles
// scaled down over it, or a neutral grid.
class TilePainter
{
public:
    explicit TilePainter(TileSource &tiles)
        : tiles_(tiles)
    {
    }

    // Paints the part of a north-up, flat view inside `deviceDirty` (device pixels); the
    // painter's transform maps device pixels onto the target.
    void paint(QPainter &painter, const mapgeometry::Viewport &viewport, const QRect &deviceDirty,
               qreal dpr) const;
    // Paints a turned or tilted view through its projective transform: exactly the tiles of
    // coveringTiles(), drawn into `buffer` (kept by the caller from one paint to the next) in
    // device pixels, which then goes onto the painter as it is.
    void paintTurned(QPainter &painter, const mapgeometry::Viewport &viewport, qreal dpr,
                     QImage &buffer) const;

private:
    // Canvas and Rect: a QPainter and a QRect in device pixels, or a PlaneRaster and a QRectF on
    // the plane.
    template<typename Canvas, typename Rect>
    void paintTile(Canvas &canvas, mapgeometry::TileKey key, const Rect &target) const;
    template<typename Canvas, typename Rect>
    void paintDescendants(Canvas &canvas, mapgeometry::TileKey key, const Rect &target,
                          int levels) const;

    TileSource &tiles_; // reading a tile counts as a use in its cache
};
