// The approximate starting location, against a loopback HTTP server.
#include "LoopbackHttpServer.h"
#include "TestSupport.h"
#include "geo/GeolocationLookup.h"
#include "state/PinPlacement.h"
#include "state/ScreenModel.h"

#include <QSignalSpy>
#include <QTest>

class TestGeolocation : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void answers_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("moved");
        QTest::addColumn<double>("latitude");
        QTest::addColumn<double>("longitude");
        QTest::addColumn<QString>("latitudeText");
        QTest::addColumn<QString>("longitudeText");

        QTest::newRow("good body")
            << 200
            << QByteArray(
                   R"({"ip":"192.0.2.1","city":"Paris","latitude":48.8566,"longitude":2.3522})")
            << true << 48.8566 << 2.3522 << "48.8566"
            << "2.3522";
        QTest::newRow("integer values") << 200 << QByteArray(R"({"latitude":48,"longitude":2})")
                                        << true << 48.0 << 2.0 << "48.0"
                                        << "2.0";
        QTest::newRow("out of range is placed as is")
            << 200 << QByteArray(R"({"latitude":95,"longitude":-200.5})") << true << 95.0 << -200.5
            << "95.0"
            << "-200.5";
        QTest::newRow("error status with both numbers")
            << 429 << QByteArray(R"({"latitude":1.5,"longitude":-1.5,"error":true})") << true << 1.5
            << -1.5 << "1.5"
            << "-1.5";
        QTest::newRow("quoted number")
            << 200 << QByteArray(R"({"latitude":"48.8","longitude":2.3})") << false << 0.0 << 0.0
            << ""
            << "";
        QTest::newRow("missing longitude")
            << 200 << QByteArray(R"({"latitude":48.8})") << false << 0.0 << 0.0 << ""
            << "";
        QTest::newRow("null value")
            << 200 << QByteArray(R"({"latitude":null,"longitude":2})") << false << 0.0 << 0.0 << ""
            << "";
        QTest::newRow("array") << 200 << QByteArray(R"([{"latitude":48,"longitude":2}])") << false
                               << 0.0 << 0.0 << ""
                               << "";
        QTest::newRow("bare number") << 200 << QByteArray("48") << false << 0.0 << 0.0 << ""
                                     << "";
        QTest::newRow("not JSON") << 200 << QByteArray("<html>rate limited</html>") << false << 0.0
                                  << 0.0 << ""
                                  << "";
        QTest::newRow("empty body") << 200 << QByteArray() << false << 0.0 << 0.0 << ""
                                    << "";
        QTest::newRow("error status without numbers")
            << 500 << QByteArray(R"({"error":true,"reason":"RateLimited"})") << false << 0.0 << 0.0
            << ""
            << "";
    }

    void answers()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(bool, moved);
        QFETCH(double, latitude);
        QFETCH(double, longitude);
        QFETCH(QString, latitudeText);
        QFETCH(QString, longitudeText);

        LoopbackHttpServer server;
        QVERIFY(server.isListening());
        server.respondWith({status, body});
        AppEnvironment environment = SimDeviceKit().environment();
        environment.geolocationUrl = server.url(QStringLiteral("/json/"));
        ScreenModel model(environment);
        GeolocationLookup lookup(model);
        QSignalSpy finished(&lookup, &GeolocationLookup::lookupFinished);
        ConsoleCapture console;
        const ScreenState before = model.state();

        lookup.lookUpApproximateLocation();
        QVERIFY(finished.wait(10000));

        QCOMPARE(server.requestedPaths, QList<QByteArray> {"/json/"});
        QCOMPARE(server.requestHeaders.first().value("user-agent"), AppEnvironment::userAgent());
        QCOMPARE(finished.first().first().toBool(), moved);
        if (moved) {
            QCOMPARE(model.state().pinCoordinate, (CLLocationCoordinate2D {latitude, longitude}));
            QCOMPARE(model.state().latitudeText, latitudeText);
            QCOMPARE(model.state().longitudeText, longitudeText);
            QCOMPARE(model.state().cameraPosition,
                     MapCameraPosition::fromRegion(coordinates::pinRegion({latitude, longitude})));
            QVERIFY(console.lines().isEmpty());
        } else {
            QCOMPARE(console.lines(), QStringList {geolocation::kFailureLine});
            QCOMPARE(model.state().pinCoordinate, before.pinCoordinate);
            QCOMPARE(model.state().latitudeText, QStringLiteral("40.689247"));
            QCOMPARE(model.state().longitudeText, QStringLiteral("-74.044502"));
            QCOMPARE(model.state().cameraPosition, before.cameraPosition);
        }
    }

    void noServerAtAll()
    {
        AppEnvironment environment = SimDeviceKit().environment();
        environment.geolocationUrl =
            QUrl(QStringLiteral("http://127.0.0.1:%1/json/").arg(freeLoopbackPort()));
        ScreenModel model(environment);
        GeolocationLookup lookup(model);
        QSignalSpy finished(&lookup, &GeolocationLookup::lookupFinished);
        ConsoleCapture console;
        lookup.lookUpApproximateLocation();
        QVERIFY(finished.wait(10000));
        QCOMPARE(console.lines(), QStringList {geolocation::kFailureLine});
        QCOMPARE(model.state().latitudeText, QStringLiteral("40.689247"));
    }

    void startupAsksOnceAndALateAnswerStillWins()
    {
        LoopbackHttpServer server;
        server.respondWith({200, R"({"latitude":48.8566,"longitude":2.3522})", 400});
        AppEnvironment environment = SimDeviceKit().environment();
        environment.geolocationUrl = server.url(QStringLiteral("/json/"));
        ScreenModel model(environment);
        GeolocationLookup lookup(model);
        QSignalSpy finished(&lookup, &GeolocationLookup::lookupFinished);

        model.runStartupSequence();
        // The user clicks the map and holds a location before the answer arrives.
        QTRY_COMPARE(server.requestedPaths.size(), 1);
        coordinates::placePin(model, false, {10.0, 20.0});
        model.update([](ScreenState &s) { s.isLocationLocked = true; });

        QVERIFY(finished.wait(10000));
        QCOMPARE(model.state().pinCoordinate, (CLLocationCoordinate2D {48.8566, 2.3522}));
        QCOMPARE(model.state().latitudeText, QStringLiteral("48.8566"));
        QCOMPARE(model.state().cameraPosition,
                 MapCameraPosition::fromRegion(coordinates::pinRegion({48.8566, 2.3522})));
        QVERIFY(model.state().isLocationLocked); // the pin moves, the held location does not
        QCOMPARE(server.requestedPaths.size(), 1);
        model.stopBackgroundWork();
    }
};

QTEST_GUILESS_MAIN(TestGeolocation)
#include "tst_geolocation.moc"
