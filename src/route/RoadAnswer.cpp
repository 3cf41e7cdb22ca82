#include "route/RoadAnswer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>

namespace road {

QString profileName(Profile profile)
{
    switch (profile) {
    case Profile::Foot:
        return QStringLiteral("foot");
    case Profile::Bike:
        return QStringLiteral("bike");
    case Profile::Car:
        break;
    }
    return QStringLiteral("car");
}

Answer parseRouteAnswer(const QByteArray &body)
{
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject())
        return {{}, QStringLiteral("the answer was not a route")};
    const QJsonObject answer = document.object();
    if (answer.value(QStringLiteral("code")).toString() != QStringLiteral("Ok")) {
        const QString message = answer.value(QStringLiteral("message")).toString();
        return {{}, message.isEmpty() ? QStringLiteral("the service found no route") : message};
    }
    const QJsonArray points = answer.value(QStringLiteral("routes"))
                                  .toArray()
                                  .first()
                                  .toObject()
                                  .value(QStringLiteral("geometry"))
                                  .toObject()
                                  .value(QStringLiteral("coordinates"))
                                  .toArray();
    QList<CLLocationCoordinate2D> geometry;
    for (const QJsonValue &value : points) {
        const QJsonArray pair = value.toArray(); // GeoJSON: longitude first
        const double longitude = pair.at(0).toDouble(NAN), latitude = pair.at(1).toDouble(NAN);
        if (!(std::fabs(latitude) <= 90.0 && std::fabs(longitude) <= 180.0))
            return {{}, QStringLiteral("the answer held a point off the map")};
        geometry.append({latitude, longitude});
    }
    if (geometry.size() < 2)
        return {{}, QStringLiteral("the answer was not a route")};
    return {geometry, QString()};
}

} // namespace road
