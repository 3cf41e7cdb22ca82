// Routes: positions along a path on the ellipsoid, playback progress, and roads from the
// routing service.
#include "LoopbackHttpServer.h"
#include "TestSupport.h"
#include "route/RoadRouter.h"
#include "route/RouteModel.h"
#include "route/RoutePlayer.h"

#include <GeographicLib/Geodesic.hpp>
#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>
#include <cmath>

using namespace Qt::StringLiterals;
Q_DECLARE_METATYPE(playback::Repeat)

class TestRoute : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Positions along a path agree with GeographicLib's direct solution from the leg's start,
    // and the equator (a geodesic) is a·π/180 metres a degree.
    void positionAlongThePath_data()
    {
        QTest::addColumn<double>("metres");
        QTest::addColumn<int>("leg"); // -1: the start, -2: the end
        // clang-format off
        QTest::newRow("before the start") << -5.0 << -1;
        QTest::newRow("the start") << 0.0 << -1;
        QTest::newRow("inside the first leg") << 50000.0 << 0;
        QTest::newRow("at the corner") << 111319.49079327357 << 1;
        QTest::newRow("inside the second leg") << 300000.0 << 1;
        QTest::newRow("past the end") << 1e9 << -2;
        QTest::newRow("NaN") << std::nan("") << -1;
        // clang-format on
    }

    void positionAlongThePath()
    {
        QFETCH(double, metres);
        QFETCH(int, leg);
        const RoutePath path({{{0, 0}, {}}, {{0, 1}, {}}, {{10, 1}, {}}});
        QCOMPARE(path.distanceTo(1), 111319.49079327357); // 6378137 m × π / 180
        const CLLocationCoordinate2D at = path.positionAt(metres);
        CLLocationCoordinate2D expected =
            leg == -2 ? path.points().last().coordinate : path.points().first().coordinate;
        if (leg >= 0) {
            const auto &geodesic = GeographicLib::Geodesic::WGS84();
            const CLLocationCoordinate2D a = path.points()[leg].coordinate;
            const CLLocationCoordinate2D b = path.points()[leg + 1].coordinate;
            double s = 0, azimuth = 0, unused = 0;
            geodesic.Inverse(a.latitude, a.longitude, b.latitude, b.longitude, s, azimuth, unused);
            geodesic.Direct(a.latitude, a.longitude, azimuth, metres - path.distanceTo(leg),
                            expected.latitude, expected.longitude);
        }
        QVERIFY(std::fabs(at.latitude - expected.latitude) < 1e-9);
        QVERIFY(std::fabs(at.longitude - expected.longitude) < 1e-9);
        if (leg == 0)
            QVERIFY(std::fabs(at.longitude - metres / path.distanceTo(1)) < 1e-12);
    }

    void recordedSchedule()
    {
        const auto t = [](qint64 s) { return QDateTime::fromSecsSinceEpoch(s, QTimeZone::utc()); };
        QCOMPARE(
            RoutePath({{{0, 0}, t(100)}, {{0, 1}, t(100)}, {{0, 2}, t(112)}}).recordedSchedule(),
            (std::vector<double> {0, 0, 12}));
        QCOMPARE(RoutePath({{{0, 0}, t(100)}, {{0, 1}, t(99)}}).recordedSchedule(), std::nullopt);
        QCOMPARE(RoutePath({{{0, 0}, t(100)}, {{0, 1}, {}}}).recordedSchedule(), std::nullopt);
    }

    // Where a playback stands after so much travelled on a lap of 100, for each way of repeating.
    void progressOnALap_data()
    {
        using playback::Repeat;
        QTest::addColumn<Repeat>("repeat");
        QTest::addColumn<double>("travelled");
        QTest::addColumn<double>("intoLap");
        QTest::addColumn<bool>("backwards");
        QTest::addColumn<bool>("finished");
        // clang-format off
        QTest::newRow("once, under way") << Repeat::Once << 40.0 << 40.0 << false << false;
        QTest::newRow("once, at the end") << Repeat::Once << 100.0 << 100.0 << false << true;
        QTest::newRow("once, past the end") << Repeat::Once << 250.0 << 100.0 << false << true;
        QTest::newRow("loop, second lap") << Repeat::Loop << 140.0 << 40.0 << false << false;
        QTest::newRow("loop, lap done") << Repeat::Loop << 100.0 << 0.0 << false << false;
        QTest::newRow("back and forth, out") << Repeat::BackAndForth << 99.0 << 99.0 << false << false;
        QTest::newRow("back and forth, back") << Repeat::BackAndForth << 130.0 << 70.0 << true << false;
        QTest::newRow("back and forth, home") << Repeat::BackAndForth << 200.0 << 0.0 << false << false;
        QTest::newRow("not started") << Repeat::Loop << 0.0 << 0.0 << false << false;
        QTest::newRow("not a number") << Repeat::Once << std::nan("") << 0.0 << false << false;
        // clang-format on
    }

    void progressOnALap()
    {
        QFETCH(playback::Repeat, repeat);
        QFETCH(double, travelled);
        QFETCH(double, intoLap);
        QFETCH(bool, backwards);
        QFETCH(bool, finished);
        const playback::Progress progress = playback::progressAt(travelled, 100.0, repeat);
        QCOMPARE(progress.intoLap, intoLap);
        QCOMPARE(progress.backwards, backwards);
        QCOMPARE(progress.finished, finished);
    }

    // A track replays at its recorded pace: between two points at the speed it had there.
    void recordedPace()
    {
        const auto t = [](qint64 s) { return QDateTime::fromSecsSinceEpoch(s, QTimeZone::utc()); };
        const RoutePath path({{{0, 0}, t(0)}, {{0, 0.01}, t(10)}, {{0, 0.02}, t(110)}});
        const std::vector<double> schedule = *path.recordedSchedule();
        const double leg = path.distanceTo(1);
        for (const auto &[seconds, metres] : {std::pair {-1.0, 0.0},
                                              {5.0, leg / 2},
                                              {10.0, leg},
                                              {60.0, leg * 1.5},
                                              {500.0, leg * 2}})
            QVERIFY(std::fabs(playback::distanceAtTime(path, schedule, seconds) - metres) < 1e-6);

        // The player switches between the track's pace and a chosen one where it stands.
        RoutePlayer player(std::chrono::milliseconds(1000));
        player.setPath(path);
        QVERIFY(player.usesRecordedPace());
        QCOMPARE(*player.secondsLeft(), 110.0);
        player.setSpeed(playback::kWalk);
        QVERIFY(!player.usesRecordedPace());
        QVERIFY(std::fabs(*player.secondsLeft() - 2 * leg / playback::kWalk) < 1e-6);
    }

    // Repeated, a route goes from the end of a lap into the next at the pace: back along a
    // straight leg to the start when it is not closed, back along itself when it goes back and
    // forth. No jump, no stop, and a plan that goes on over several laps.
    void lapsJoinAtThePace_data()
    {
        QTest::addColumn<playback::Repeat>("repeat");
        QTest::addColumn<bool>("closed");
        QTest::addColumn<bool>("recorded");
        QTest::newRow("loop, open") << playback::Repeat::Loop << false << false;
        QTest::newRow("loop, closed") << playback::Repeat::Loop << true << false;
        QTest::newRow("loop, a recorded track") << playback::Repeat::Loop << false << true;
        QTest::newRow("back and forth") << playback::Repeat::BackAndForth << false << false;
    }

    void lapsJoinAtThePace()
    {
        QFETCH(playback::Repeat, repeat);
        QFETCH(bool, closed);
        QFETCH(bool, recorded);
        // An L: 300 m north, 200 m east (and back to the start when closed), one point every
        // 100 m at 2 m/s when recorded.
        const auto t = [](qint64 s) { return QDateTime::fromSecsSinceEpoch(s, QTimeZone::utc()); };
        const auto at = [](double north, double east) {
            CLLocationCoordinate2D p;
            GeographicLib::Geodesic::WGS84().Direct(
                48.85, 2.35, std::atan2(east, north) * 180 / M_PI, std::hypot(north, east),
                p.latitude, p.longitude);
            return p;
        };
        QList<RoutePoint> points;
        for (int i = 0; i <= 3; ++i)
            points.append({at(i * 100.0, 0), t(i * 50)});
        for (int i = 1; i <= 2; ++i)
            points.append({at(300, i * 100.0), t(150 + i * 50)});
        if (closed)
            points.append({at(0, 0), t(250 + 180)});
        if (!recorded)
            for (RoutePoint &point : points)
                point.time.reset();
        const RoutePath path(points);
        RoutePlayer player(std::chrono::milliseconds(1000));
        player.setPath(path);
        player.setRepeat(repeat);
        player.setSpeed(recorded ? std::nullopt : std::optional(playback::kWalk));
        const double pace = recorded ? 2.0 : playback::kWalk;
        const bool looping = repeat == playback::Repeat::Loop;
        const double join = looping && !closed ? std::hypot(300.0, 200.0) : 0.0;
        QVERIFY(std::abs(player.lapLength() - path.length() - join) < 0.5);

        const QList<RoutePoint> plan = player.planAhead(t(0));
        QVERIFY(plan.size() * pace > 2.5 * player.lapLength()); // well into the third lap
        // A step is at most the pace (a corner cuts it short); two steps together never stay
        // put: no jump, no stop.
        QList<double> steps;
        for (qsizetype i = 1; i < plan.size(); ++i) {
            const CLLocationCoordinate2D a = plan[i - 1].coordinate, b = plan[i].coordinate;
            double metres = 0;
            GeographicLib::Geodesic::WGS84().Inverse(a.latitude, a.longitude, b.latitude,
                                                     b.longitude, metres);
            steps.append(metres);
        }
        double slowest = pace;
        for (qsizetype i = 1; i < steps.size(); ++i)
            slowest = std::min(slowest, steps[i - 1] + steps[i]);
        const double fastest = *std::max_element(steps.cbegin(), steps.cend());
        QVERIFY2(fastest <= pace * 1.001, qPrintable(QString::number(fastest)));
        QVERIFY2(slowest >= pace * 0.5, qPrintable(QString::number(slowest)));
    }

    // Waypoints edited while roads are followed: the roads are asked for once per change, never
    // while a waypoint is dragged, and a failure keeps the straight legs.
    void routeModelAsksForRoadsPerEdit()
    {
        LoopbackHttpServer server;
        server.respondWith({200,
                            R"({"code":"Ok","routes":[{"geometry":{"coordinates":)"
                            R"([[2,48],[2.5,48.2],[3,48]]}}]})"});
        AppEnvironment environment;
        environment.routingUrl = server.url({});
        environment.timings.routingInterval = std::chrono::milliseconds(0);
        RouteModel route(environment);
        route.addWaypoint({48, 2});
        route.addWaypoint({48, 3});
        QCOMPARE(route.path().points().size(), 2); // straight until roads are asked for
        QVERIFY(server.requestedPaths.isEmpty());
        route.setFollowRoads(true);
        QTRY_COMPARE(route.path().points().size(), 3);
        QCOMPARE(server.requestedPaths.size(), 1);
        route.setDragging(true);
        route.moveWaypoint(1, {48.1, 3});
        route.moveWaypoint(1, {48.2, 3});
        QCOMPARE(route.path().points().size(), 2);
        route.setDragging(false);
        QTRY_COMPARE(server.requestedPaths.size(), 2);
        server.respondWith({503, "busy"});
        QSignalSpy status(&route, &RouteModel::roadStatusChanged);
        route.removeLastWaypoint();
        route.addWaypoint({49, 3});
        QTRY_COMPARE(status.size(), 1);
        QVERIFY(status.first().first().toString().startsWith(road::kFailurePrefix));
        QCOMPARE(route.path().points().last().coordinate, (CLLocationCoordinate2D {49, 3}));
    }

    // The road router against a loopback service: the roads, or one line and nothing else.
    void roadRoute_data()
    {
        QTest::addColumn<int>("status"); // 0: nobody listens
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("line"); // empty: routed
        const auto row = [](const char *name, int status, const char *body, const char *line) {
            QTest::newRow(name) << status << QByteArray(body) << QString::fromUtf8(line);
        };
        const char *ok = R"({"code":"Ok","routes":[{"geometry":{"type":"LineString",)"
                         R"("coordinates":[[2.35,48.85],[2.36,48.86],[2.4,48.9]]}}]})";
        row("roads", 200, ok, "");
        row("no route", 400, R"({"code":"NoRoute","message":"Impossible route between points"})",
            "Impossible route between points");
        row("server error", 502, "<html>bad gateway</html>",
            "the routing service is not working right now (HTTP 502)");
        row("error status with a route", 500, ok,
            "the routing service is not working right now (HTTP 500)");
        row("malformed JSON", 200, R"({"code":"Ok","routes":[)", "the answer was not a route");
        row("a point off the map", 200,
            R"({"code":"Ok","routes":[{"geometry":{"coordinates":[[2,48],[200,48]]}}]})",
            "the answer held a point off the map");
        row("no server", 0, "", "no connection to the routing service");
    }

    void roadRoute()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, line);
        LoopbackHttpServer server;
        server.respondWith({status, body});
        AppEnvironment environment = SimDeviceKit().environment();
        environment.routingUrl = status ? server.url(u"/osrm"_s)
                                        : QUrl(u"http://127.0.0.1:%1"_s.arg(freeLoopbackPort()));
        environment.timings.routingInterval = std::chrono::milliseconds(300);
        RoadRouter router(environment);
        QSignalSpy routed(&router, &RoadRouter::routed);
        QSignalSpy failed(&router, &RoadRouter::failed);

        // A burst of edits: the first goes out at once and is given up for the newer ones, of
        // which only the newest is sent, an interval later. One answer comes, for it.
        for (double longitude : {2.4, 2.5, 2.6})
            router.route({{48.85, 2.35}, {48.9, longitude}}, road::Profile::Foot);
        QTRY_COMPARE_WITH_TIMEOUT(routed.size() + failed.size(), 1, 10000);
        if (status) {
            QCOMPARE(server.requestedPaths.last(),
                     "/osrm/route/v1/foot/2.35,48.85;2.6,48.9?overview=full&geometries=geojson");
            QVERIFY(server.requestedPaths.size() <= 2);
            QVERIFY(!server.requestedPaths.first().contains("2.5,"));
            QCOMPARE(server.requestHeaders.last().value("user-agent"), AppEnvironment::userAgent());
        }
        QCOMPARE(failed.size(), line.isEmpty() ? 0 : 1);
        if (line.isEmpty())
            QCOMPARE(routed.first().first().value<QList<CLLocationCoordinate2D>>().last(),
                     (CLLocationCoordinate2D {48.9, 2.4}));
        else
            QCOMPARE(failed.first().first().toString(), road::kFailurePrefix + line);
    }
};

QTEST_GUILESS_MAIN(TestRoute)
#include "tst_route.moc"
