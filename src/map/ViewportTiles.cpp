// Which tiles a viewport shows: a block of one level while north up and flat, and a quadtree
// cut of up to three levels over the visible trapezoid while turned or tilted.
#include "map/Viewport.h"

#include <QSet>
#include <algorithm>
#include <array>
#include <cmath>

namespace mapgeometry {

namespace {

constexpr int kMaxCoarserLevels = 2;

using Quad = std::array<QPointF, 4>;

double cross(QPointF a, QPointF b, QPointF c)
{
    return (b.x() - a.x()) * (c.y() - a.y()) - (b.y() - a.y()) * (c.x() - a.x());
}

// Whether a convex quadrilateral and a rectangle share more than an edge: no side of either
// separates them.
bool overlaps(const Quad &quad, const QRectF &rect)
{
    const auto [minX, maxX] = std::minmax({quad[0].x(), quad[1].x(), quad[2].x(), quad[3].x()});
    const auto [minY, maxY] = std::minmax({quad[0].y(), quad[1].y(), quad[2].y(), quad[3].y()});
    if (maxX <= rect.left() || minX >= rect.right() || maxY <= rect.top() || minY >= rect.bottom())
        return false;
    const Quad corners {rect.topLeft(), rect.topRight(), rect.bottomRight(), rect.bottomLeft()};
    const double inside = cross(quad[0], quad[1], quad[2]) > 0.0 ? 1.0 : -1.0;
    for (int i = 0; i < 4; ++i) {
        const QPointF a = quad[i];
        const QPointF b = quad[(i + 1) % 4];
        if (std::all_of(corners.cbegin(), corners.cend(),
                        [&](QPointF c) { return cross(a, b, c) * inside <= 0.0; }))
            return false;
    }
    return true;
}

} // namespace

QList<Viewport::Cover> Viewport::coveringTiles() const
{
    if (size_.isEmpty())
        return {};
    const QTransform toView = planeToView();
    const QTransform toPlane = toView.inverted();
    // At pitches up to the cap the horizon lies above the view, so every corner is on the ground.
    const Quad quad {toPlane.map(QPointF(0, 0)), toPlane.map(QPointF(size_.width(), 0)),
                     toPlane.map(QPointF(size_.width(), size_.height())),
                     toPlane.map(QPointF(0, size_.height()))};
    const QPointF middle(size_.width() / 2.0, size_.height() / 2.0);
    const QPointF origin = topLeftWorld();
    const int z = tileZoomFor(zoom_);

    // How many levels coarser a tile may be: the far side of the view shows the plane smaller by
    // the homogeneous weight, so a tile where it is w times smaller may be log2(w) levels up.
    const auto levelsCoarser = [&](const QRectF &r) {
        double nearest = INFINITY;
        for (const QPointF c : {r.topLeft(), r.topRight(), r.bottomLeft(), r.bottomRight()})
            nearest = std::min(nearest, toView.m13() * c.x() + toView.m23() * c.y() + toView.m33());
        return nearest <= 1.0
            ? 0
            : std::clamp(static_cast<int>(std::lround(std::log2(nearest))), 0, kMaxCoarserLevels);
    };

    QList<Cover> covers;
    const auto visit = [&](auto &&self, int level, int x, int y) -> void {
        const double size = kTileSize * std::exp2(zoom_ - level);
        // Edges from their own index, so neighbours (and levels) meet exactly.
        const QRectF r(QPointF(x * size - origin.x(), y * size - origin.y()),
                       QPointF((x + 1) * size - origin.x(), (y + 1) * size - origin.y()));
        if (!overlaps(quad, r))
            return;
        if (level < z && z - levelsCoarser(r) > level) {
            for (int part = 0; part < 4; ++part)
                self(self, level + 1, 2 * x + (part & 1), 2 * y + (part >> 1));
            return;
        }
        covers.append({{level, wrapTileX(x, level), y}, r});
    };
    const int top = std::max(0, z - kMaxCoarserLevels);
    const double size = kTileSize * std::exp2(zoom_ - top);
    const auto [minX, maxX] = std::minmax({quad[0].x(), quad[1].x(), quad[2].x(), quad[3].x()});
    const auto [minY, maxY] = std::minmax({quad[0].y(), quad[1].y(), quad[2].y(), quad[3].y()});
    const int y0 = std::max(0, static_cast<int>(std::floor((minY + origin.y()) / size)));
    const int y1 =
        std::min((1 << top) - 1, static_cast<int>(std::floor((maxY + origin.y()) / size)));
    const int x0 = static_cast<int>(std::floor((minX + origin.x()) / size));
    const int x1 = static_cast<int>(std::floor((maxX + origin.x()) / size));
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x)
            visit(visit, top, x, y);

    const auto distance = [&](const Cover &c) {
        const QPointF d = c.plane.center() - middle;
        return std::hypot(d.x(), d.y());
    };
    std::stable_sort(covers.begin(), covers.end(),
                     [&](const Cover &a, const Cover &b) { return distance(a) < distance(b); });
    return covers;
}

QList<TileKey> Viewport::wantedTiles(int margin) const
{
    QList<TileKey> keys;
    QSet<TileKey> seen; // a wide view at a low zoom shows some tiles twice
    const auto add = [&](const TileKey &key) {
        if (!seen.contains(key)) {
            seen.insert(key);
            keys.append(key);
        }
    };
    if (!isNorthUpFlat()) {
        for (const Cover &cover : coveringTiles())
            add(cover.key);
        return keys;
    }

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
    for (const Candidate &c : std::as_const(candidates))
        add({z, wrapTileX(c.x, z), c.y});
    return keys;
}

} // namespace mapgeometry
