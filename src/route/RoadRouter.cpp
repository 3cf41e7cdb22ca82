#include "route/RoadRouter.h"

#include "net/WebClient.h"
#include "platform/Console.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

RoadRouter::RoadRouter(const AppEnvironment &environment, QObject *parent, net::WebClient *web)
    : QObject(parent)
    , serviceUrl_(environment.routingUrl)
    , timeout_(environment.timings.routingTimeout)
    , interval_(environment.timings.routingInterval)
    , web_(web ? web : new net::WebClient(this))
{
}

RoadRouter::~RoadRouter()
{
    if (reply_)
        reply_->abort();
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
    // Replaced: its answer would describe a route that is gone. One that waits its turn never
    // goes; the client keeps to the service's pace.
    if (reply_)
        reply_->abort();
    reply_ =
        web_->get({road::kServiceName, interval_, timeout_, 8 * 1000 * 1000}, QNetworkRequest(url));
    connect(reply_, &net::Reply::finished, this, &RoadRouter::finish);
}

void RoadRouter::finish(const net::Answer &answer)
{
    reply_ = nullptr;
    // "Could not find a road route: no connection to the routing service"
    const auto plain = [&answer] {
        QString words = net::plainWords(answer, road::kServiceName);
        words[0] = words[0].toLower();
        return words;
    };
    QString line;
    QString technical;
    road::Answer route;
    if (answer.failure != net::Failure::None) {
        line = plain();
        technical = answer.technical;
    } else {
        route = road::parseRouteAnswer(answer.body);
        // OSRM explains its 400s in the body; other failures are the service's trouble.
        const bool explained =
            QJsonDocument::fromJson(answer.body).object().contains(QLatin1StringView("message"));
        if (!answer.isSuccess() && !(explained && !route.error.isEmpty())) {
            line = plain();
            technical = QStringLiteral("HTTP %1").arg(answer.status);
        } else if (!route.error.isEmpty()) {
            line = technical = route.error;
        }
    }
    if (line.isEmpty()) {
        Q_EMIT routed(route.geometry);
        return;
    }
    consoleLine(QStringLiteral("⚠️ ") + road::kFailurePrefix + technical);
    Q_EMIT failed(road::kFailurePrefix + line);
}
