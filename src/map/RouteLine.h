#pragma once

#include <QList>
#include <QPointF>
#include <QRectF>

namespace mapgeometry {

// A route's line in world units (each point on the copy of the world nearest the one before),
// made ready to draw at any zoom: with coarser copies for the zoom levels that show it small,
// and the bounds of each run of points, so that a paint costs what the view shows, not what
// the file held. A value: build it off the GUI thread for a long track.
class RouteLine
{
public:
    static constexpr qsizetype kRun = 256;

    struct Level
    {
        QList<QPointF> points;
        // Of points [i × kRun, (i + 1) × kRun], the first of the next run included, so the leg
        // between two runs lies in the bounds of the first.
        QList<QRectF> runs;
    };

    RouteLine() = default;
    explicit RouteLine(QList<QPointF> units);

    const QList<QPointF> &points() const { return levels_.first().points; }
    bool isEmpty() const { return points().isEmpty(); }
    // The copy to draw at `zoom`: no two points nearer than half a pixel there (but the ends),
    // nowhere more than a pixel off the line.
    const Level &levelFor(double zoom) const;

private:
    QList<Level> levels_ {Level {}}; // the whole line first, then ever coarser
    QList<int> zooms_ {99}; // the zoom level each was made for
};

} // namespace mapgeometry
