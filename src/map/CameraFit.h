#pragma once

#include "map/MapGeometry.h"

#include <QList>
#include <QPointF>
#include <QSizeF>

namespace mapgeometry {

// The smallest convex polygon around unit points (each on the copy of the world nearest the
// point before it): what a camera must show to show them all. Linearithmic; for a long track,
// run it off the GUI thread.
QList<QPointF> outline(const QList<QPointF> &units);

// Unit points that follow each other across the antimeridian, not back around the world.
QList<QPointF> toUnits(const QList<CLLocationCoordinate2D> &coordinates);

struct Fit
{
    CLLocationCoordinate2D center;
    double zoom = kMinZoom;
};

// The camera at `bearing` and `pitch` that shows every point of `outline` inside a view of
// `size`, `margin` pixels clear of its edges, as close as `maxZoom` allows.
Fit fitOutline(const QList<QPointF> &outline, QSizeF size, double bearing, double pitch,
               double margin = 32.0, double maxZoom = 17.0);

} // namespace mapgeometry
