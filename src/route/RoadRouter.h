#pragma once

#include "coordinates/Coordinates.h"
#include "route/RoadAnswer.h"
#include "state/AppEnvironment.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <optional>

namespace net {
struct Answer;
class Reply;
class WebClient;
} // namespace net

// Asks an OSRM-compatible service for the roads through the waypoints. The caller asks only when
// the user changed the route; on top of that a request is never sent sooner than one interval
// after the one before (a burst leaves only its newest route waiting), and a new route replaces
// the one under way. Closing (the destructor) ends a request without a word. Failures of the
// network read in plain words; its own go to the console.
class RoadRouter : public QObject
{
    Q_OBJECT
public:
    // Without a web client it makes its own.
    explicit RoadRouter(const AppEnvironment &environment, QObject *parent = nullptr,
                        net::WebClient *web = nullptr);
    ~RoadRouter() override;

    void route(const QList<CLLocationCoordinate2D> &waypoints, road::Profile profile);

Q_SIGNALS:
    void routed(const QList<CLLocationCoordinate2D> &geometry);
    // The status line: "Could not find a road route: …"; the straight legs stay.
    void failed(const QString &line);

private:
    void finish(const net::Answer &answer);

    const QUrl serviceUrl_;
    const Timings::ms timeout_;
    const Timings::ms interval_;
    net::WebClient *web_;
    QPointer<net::Reply> reply_;
};
