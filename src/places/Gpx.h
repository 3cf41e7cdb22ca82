#pragma once

#include "places/SavedPlaces.h"

#include <QByteArray>
#include <QList>

namespace gpx {

// A GPX 1.1 file of one waypoint per place, names included.
QByteArray writeWaypoints(const QList<SavedPlace> &places);

// The waypoints of a GPX file (1.0 or 1.1). Waypoints without a usable position are counted in
// `skipped`; a file that is no GPX gives `error`, and no places.
struct Waypoints
{
    QList<SavedPlace> places;
    int skipped = 0;
    QString error;
};
Waypoints readWaypoints(const QByteArray &bytes);

} // namespace gpx
