#include "map/TilePainter.h"

#include "map/TileSource.h"

#include <QPainter>
#include <cmath>

using mapgeometry::kTileSize;
using mapgeometry::TileKey;

namespace {

constexpr int kMaxAncestorLevels = 6; // a parent tile scaled up at most 64 times
constexpr int kMaxDescendantLevels = 2; // finer tiles scaled down at most 4 times

const QColor kPlaceholderFill(0xEE, 0xEC, 0xE8);
const QColor kPlaceholderLine(0xD9, 0xD6, 0xD0);
const QColor kPlaceholderFineLine(0xE6, 0xE3, 0xDE);

// Tiles at their own size are copied; scaled ones are filtered.
void drawTileImage(QPainter &painter, const QRect &to, const QImage &image, const QRect &from)
{
    if (to.size() == from.size()) {
        painter.drawImage(to.topLeft(), image, from);
    } else {
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(to, image, from);
    }
}

} // namespace

void TilePainter::paint(QPainter &painter, const mapgeometry::Viewport &viewport,
                        const QRect &deviceDirty, qreal dpr) const
{
    const double zoom = viewport.zoom();
    const int z = mapgeometry::tileZoomFor(zoom);
    const int count = 1 << z;
    const double tile = kTileSize * std::exp2(zoom - z) * dpr; // device pixels
    const QPointF origin = viewport.topLeftWorld() * dpr;
    const auto edgeX = [&](double x) {
        return static_cast<int>(std::lround(x * tile - origin.x()));
    };
    const auto edgeY = [&](double y) {
        return static_cast<int>(std::lround(y * tile - origin.y()));
    };

    const int x0 = static_cast<int>(std::floor((origin.x() + deviceDirty.left()) / tile));
    const int x1 = static_cast<int>(std::floor((origin.x() + deviceDirty.right()) / tile));
    const int y0 = static_cast<int>(std::floor((origin.y() + deviceDirty.top()) / tile));
    const int y1 = static_cast<int>(std::floor((origin.y() + deviceDirty.bottom()) / tile));

    // Above and below the world, when the view is taller than the world at this zoom.
    if (y0 < 0 || y1 >= count) {
        painter.fillRect(deviceDirty, kPlaceholderFill);
    }
    for (int y = std::max(y0, 0); y <= std::min(y1, count - 1); ++y) {
        for (int x = x0; x <= x1; ++x) {
            const QRect target(QPoint(edgeX(x), edgeY(y)),
                               QPoint(edgeX(x + 1) - 1, edgeY(y + 1) - 1));
            paintTile(painter, {z, mapgeometry::wrapTileX(x, z), y}, target);
        }
    }
}

void TilePainter::paintTile(QPainter &painter, TileKey key, const QRect &target) const
{
    if (const QImage image = tiles_.tile(key); !image.isNull()) {
        drawTileImage(painter, target, image, image.rect());
        return;
    }

    // A level above, scaled up: the view keeps its picture while new tiles arrive.
    bool covered = false;
    for (int levels = 1; levels <= kMaxAncestorLevels && key.z - levels >= 0; ++levels) {
        const TileKey ancestor = key.parent(levels);
        if (!tiles_.hasTile(ancestor))
            continue;
        const QImage image = tiles_.tile(ancestor);
        const int part = image.width() >> levels;
        const int mask = (1 << levels) - 1;
        drawTileImage(painter, target, image,
                      QRect((key.x & mask) * part, (key.y & mask) * part, part, part));
        covered = true;
        break;
    }
    if (!covered) {
        painter.fillRect(target, kPlaceholderFill);
        const int fine = std::max(target.width() / 4, 8);
        for (int i = fine; i < target.width(); i += fine) {
            painter.fillRect(target.left() + i, target.top(), 1, target.height(),
                             kPlaceholderFineLine);
            painter.fillRect(target.left(), target.top() + i, target.width(), 1,
                             kPlaceholderFineLine);
        }
        painter.fillRect(target.left(), target.top(), target.width(), 1, kPlaceholderLine);
        painter.fillRect(target.left(), target.top(), 1, target.height(), kPlaceholderLine);
    }
    // Finer levels, scaled down, over it: zooming out keeps the detail it had.
    paintDescendants(painter, key, target, kMaxDescendantLevels);
}

void TilePainter::paintDescendants(QPainter &painter, TileKey key, const QRect &target,
                                   int levels) const
{
    if (levels <= 0 || key.z >= static_cast<int>(mapgeometry::kMaxZoom))
        return;
    const int middleX = target.left() + (target.width() + 1) / 2;
    const int middleY = target.top() + (target.height() + 1) / 2;
    for (int part = 0; part < 4; ++part) {
        const bool east = part & 1;
        const bool south = part & 2;
        const TileKey child {key.z + 1, key.x * 2 + (east ? 1 : 0), key.y * 2 + (south ? 1 : 0)};
        const QRect quarter(
            QPoint(east ? middleX : target.left(), south ? middleY : target.top()),
            QPoint(east ? target.right() : middleX - 1, south ? target.bottom() : middleY - 1));
        if (tiles_.hasTile(child)) {
            const QImage image = tiles_.tile(child);
            drawTileImage(painter, quarter, image, image.rect());
        } else {
            paintDescendants(painter, child, quarter, levels - 1);
        }
    }
}
