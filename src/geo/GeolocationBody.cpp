#include "geo/GeolocationBody.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace geolocation {

std::optional<CLLocationCoordinate2D> parseGeolocationBody(const QByteArray &body)
{
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    const QJsonValue latitude = object.value(QLatin1String("latitude"));
    const QJsonValue longitude = object.value(QLatin1String("longitude"));
    if (!latitude.isDouble() || !longitude.isDouble())
        return std::nullopt;
    return CLLocationCoordinate2D {latitude.toDouble(), longitude.toDouble()};
}

} // namespace geolocation
