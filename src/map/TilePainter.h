#pragma once

#include "map/Viewport.h"

#include <QRect>

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

    // Paints the part of the view inside `deviceDirty` (device pixels); the painter's transform
    // maps device pixels onto the target.
    void paint(QPainter &painter, const mapgeometry::Viewport &viewport, const QRect &deviceDirty,
               qreal dpr) const;

private:
    void paintTile(QPainter &painter, mapgeometry::TileKey key, const QRect &target) const;
    void paintDescendants(QPainter &painter, mapgeometry::TileKey key, const QRect &target,
                          int levels) const;

    TileSource &tiles_; // reading a tile counts as a use in its cache
};
