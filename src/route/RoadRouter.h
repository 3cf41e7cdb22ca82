#pragma once

#include "coordinates/Coordinates.h"
#include "state/AppEnvironment.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

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

} // namespace road

// Asks an OSRM-compatible service for the roads through the waypoints. The caller asks only when
// the user changed the route; on top of that a request is never sent sooner than one interval
// after the one before (a burst leaves only its newest route waiting), and a new route replaces
// the one under way. Closing (the destructor) ends a request without a word.
class RoadRouter : public QObject
{
    Q_OBJECT
public:
    explicit RoadRouter(const AppEnvironment &environment, QObject *parent = nullptr);
    ~RoadRouter() override;

    void route(const QList<CLLocationCoordinate2D> &waypoints, road::Profile profile);

Q_SIGNALS:
    void routed(const QList<CLLocationCoordinate2D> &geometry);
    // The status line: "Could not find a road route: …"; the straight legs stay.
    void failed(const QString &line);

private:
    void sendPending();
    void finish(QNetworkReply *reply);

    const QUrl serviceUrl_;
    const Timings::ms timeout_;
    const Timings::ms interval_;
    QNetworkAccessManager *network_;
    QPointer<QNetworkReply> reply_;
    std::optional<QUrl> pending_;
    QElapsedTimer sinceLastRequest_;
    QTimer sendTimer_;
};
