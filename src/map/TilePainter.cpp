#include "map/TilePainter.h"

#include "map/PlaneRaster.h"
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

void drawTileImage(PlaneRaster &raster, const QRectF &to, const QImage &image, const QRect &from)
{
    raster.draw(to, image, from);
}

// The grid of a tile no level can stand in for.
void drawPlaceholder(QPainter &painter, const QRect &target)
{
    painter.fillRect(target, kPlaceholderFill);
    const int fine = std::max(target.width() / 4, 8);
    for (int i = fine; i < target.width(); i += fine) {
        painter.fillRect(target.left() + i, target.top(), 1, target.height(), kPlaceholderFineLine);
        painter.fillRect(target.left(), target.top() + i, target.width(), 1, kPlaceholderFineLine);
    }
    painter.fillRect(target.left(), target.top(), target.width(), 1, kPlaceholderLine);
    painter.fillRect(target.left(), target.top(), 1, target.height(), kPlaceholderLine);
}

// The grid of the flat view, once, as a tile.
const QImage &placeholderTile()
{
    static const QImage image = [] {
        QImage tile(kTileSize, kTileSize, QImage::Format_RGB32);
        QPainter painter(&tile);
        drawPlaceholder(painter, tile.rect());
        return tile;
    }();
    return image;
}

void drawPlaceholder(PlaneRaster &raster, const QRectF &target)
{
    raster.draw(target, placeholderTile(), placeholderTile().rect());
}

// One quarter of a target (part: bit 0 east, bit 1 south). Device pixels split on whole
// pixels, so the quarters tile the target exactly.
QRect quarterOf(const QRect &target, bool east, bool south)
{
    const int middleX = target.left() + (target.width() + 1) / 2;
    const int middleY = target.top() + (target.height() + 1) / 2;
    return {QPoint(east ? middleX : target.left(), south ? middleY : target.top()),
            QPoint(east ? target.right() : middleX - 1, south ? target.bottom() : middleY - 1)};
}

QRectF quarterOf(const QRectF &target, bool east, bool south)
{
    const QPointF middle = target.center();
    return {QPointF(east ? middle.x() : target.left(), south ? middle.y() : target.top()),
            QPointF(east ? target.right() : middle.x(), south ? target.bottom() : middle.y())};
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

void TilePainter::paintTurned(QPainter &painter, const mapgeometry::Viewport &viewport, qreal dpr,
                              QImage &buffer) const
{
    const QSize device(static_cast<int>(std::ceil(viewport.size().width() * dpr)),
                       static_cast<int>(std::ceil(viewport.size().height() * dpr)));
    if (buffer.size() != device || buffer.format() != QImage::Format_RGB32)
        buffer = QImage(device, QImage::Format_RGB32);
    // Beyond the ends of the world no tile lies: the fill shows there. Elsewhere the tiles
    // cover every pixel.
    const QTransform toPlane = viewport.planeToView().inverted();
    const double top = -viewport.topLeftWorld().y();
    const double bottom = top + mapgeometry::worldSize(viewport.zoom());
    const QSizeF size = viewport.size();
    for (const QPointF corner : {QPointF(0, 0), QPointF(size.width(), 0), QPointF(0, size.height()),
                                 QPointF(size.width(), size.height())}) {
        const double y = toPlane.map(corner).y();
        if (y < top || y > bottom) {
            buffer.fill(kPlaceholderFill);
            break;
        }
    }
    PlaneRaster raster(buffer, viewport.planeToView() * QTransform::fromScale(dpr, dpr));
    for (const mapgeometry::Viewport::Cover &cover : viewport.coveringTiles())
        paintTile(raster, cover.key, cover.plane);
    painter.save();
    painter.setWorldTransform(QTransform::fromScale(1.0 / dpr, 1.0 / dpr));
    painter.drawImage(QPoint(), buffer);
    painter.restore();
}

template<typename Canvas, typename Rect>
void TilePainter::paintTile(Canvas &painter, TileKey key, const Rect &target) const
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
    if (!covered)
        drawPlaceholder(painter, target);
    // Finer levels, scaled down, over it: zooming out keeps the detail it had.
    paintDescendants(painter, key, target, kMaxDescendantLevels);
}

template<typename Canvas, typename Rect>
void TilePainter::paintDescendants(Canvas &painter, TileKey key, const Rect &target,
                                   int levels) const
{
    if (levels <= 0 || key.z >= static_cast<int>(mapgeometry::kMaxZoom))
        return;
    for (int part = 0; part < 4; ++part) {
        const bool east = part & 1;
        const bool south = part & 2;
        const TileKey child {key.z + 1, key.x * 2 + (east ? 1 : 0), key.y * 2 + (south ? 1 : 0)};
        const Rect quarter = quarterOf(target, east, south);
        if (tiles_.hasTile(child)) {
            const QImage image = tiles_.tile(child);
            drawTileImage(painter, quarter, image, image.rect());
        } else {
            paintDescendants(painter, child, quarter, levels - 1);
        }
    }
}
