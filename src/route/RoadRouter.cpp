#include "route/RoadRouter.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
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

RoadRouter::RoadRouter(const AppEnvironment &environment, QObject *parent)
    : QObject(parent)
    , serviceUrl_(environment.routingUrl)
    , timeout_(environment.timings.routingTimeout)
    , interval_(environment.timings.routingInterval)
    , network_(new QNetworkAccessManager(this))
{
    sendTimer_.setSingleShot(true);
    connect(&sendTimer_, &QTimer::timeout, this, &RoadRouter::sendPending);
}

RoadRouter::~RoadRouter()
{
    if (reply_) {
        reply_->disconnect(this);
        reply_->abort();
    }
}

void RoadRouter::route(const QList<CLLocationCoordinate2D> &waypoints, road::Profile profile)
{
    if (waypoints.size() < 2)
        return;
    QStringList places;
    for (const CLLocationCoordinate2D &point : waypoints)
        places.append(coordinates::formatDegrees(point.longitude) + u','
                      + coordinates::formatDegrees(point.latitude));
    QUrl url = AppEnvironment::serviceEndpoint(
        serviceUrl_,
        QStringLiteral("route/v1/") + road::profileName(profile) + u'/' + places.join(u';'));
    url.setQuery(QStringLiteral("overview=full&geometries=geojson"));
    pending_ = url;
    if (reply_) { // replaced: its answer would describe a route that is gone
        reply_->disconnect(this);
        reply_->abort();
    }
    const qint64 wait =
        sinceLastRequest_.isValid() ? interval_.count() - sinceLastRequest_.elapsed() : 0;
    if (wait > 0)
        sendTimer_.start(static_cast<int>(wait));
    else
        sendPending();
}

void RoadRouter::sendPending()
{
    if (!pending_)
        return;
    QNetworkRequest request(*std::exchange(pending_, std::nullopt));
    request.setTransferTimeout(static_cast<int>(timeout_.count()));
    request.setHeader(QNetworkRequest::UserAgentHeader, AppEnvironment::userAgent());
    QNetworkReply *reply = network_->get(request);
    reply_ = reply;
    sinceLastRequest_.start();
    connect(reply, &QNetworkReply::finished, this, [this, reply] { finish(reply); });
}

void RoadRouter::finish(QNetworkReply *reply)
{
    reply->deleteLater();
    reply_ = nullptr;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    QString error;
    road::Answer answer;
    if (reply->error() == QNetworkReply::OperationCanceledError)
        error = QStringLiteral("the service did not answer in time");
    else if (!status.isValid())
        error = reply->errorString();
    else
        answer = road::parseRouteAnswer(reply->readAll()); // OSRM explains its 400s in the body
    if (error.isEmpty() && answer.error.isEmpty() && status.toInt() != 200)
        error = QStringLiteral("HTTP %1").arg(status.toInt());
    if (error.isEmpty())
        error = answer.error;
    if (error.isEmpty())
        Q_EMIT routed(answer.geometry);
    else
        Q_EMIT failed(road::kFailurePrefix + error);
}
