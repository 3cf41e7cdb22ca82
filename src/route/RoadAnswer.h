#pragma once

#include "coordinates/Coordinates.h"

#include <QByteArray>
#include <QList>

namespace road {

enum class Profile { Foot, Bike, Car };

QString profileName(Profile profile);
// The road geometry of an OSRM answer ("geometries=geojson"), or the reason there is none.
struct Answer
{
    QList<CLLocationCoordinate2D> geometry;
    QString error;
};
Answer parseRouteAnswer(const QByteArray &body);

inline const QString kFailurePrefix = QStringLiteral("Could not find a road route: ");
inline const QString kServiceName = QStringLiteral("routing service");

} // namespace road
