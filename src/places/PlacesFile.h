#pragma once

#include "coordinates/Coordinates.h"

#include <QByteArray>
#include <QList>
#include <QString>

struct SavedPlace
{
    QString name;
    CLLocationCoordinate2D coordinate;

    friend bool operator==(const SavedPlace &, const SavedPlace &) = default;
};

namespace places {

// "48.85660, 2.35220": the name of a place nobody named.
QString defaultName(CLLocationCoordinate2D coordinate);

QByteArray toJson(const QList<SavedPlace> &places);
// The places of a file, and whether all of it could be read: false for a file that is not
// ours or is damaged, in which case `places` holds every whole entry that could still be read
// from it (a file cut short keeps the entries before the cut).
struct JsonRead
{
    QList<SavedPlace> places;
    bool whole = false;
};
JsonRead fromJson(const QByteArray &bytes);

// The imported places that are not there yet (the same name at the same point), in their
// order, each once: linear in both lists.
QList<SavedPlace> newPlaces(const QList<SavedPlace> &existing, const QList<SavedPlace> &imported);

} // namespace places
