// The approximate starting location, against a loopback HTTP server.
#include "LoopbackHttpServer.h"
#include "TestSupport.h"
#include "geo/GeolocationLookup.h"
#include "state/PinPlacement.h"
#include "state/ScreenModel.h"

#include <QSignalSpy>
#include <QTest>

using Place = std::optional<CLLocationCoordinate2D>;
Q_DECLARE_METATYPE(Place)

class TestGeolocation : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void answers_data()
    {
        QTest::addColumn<int>("status"); // 0: nobody listens
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<Place>("place"); // where the pin goes, if anywhere

        auto row = [](const char *name, int status, const char *body, Place place) {
            QTest::newRow(name) << status << QByteArray(body) << place;
        };
        // The parser's own test reads bodies of every shape; here, what the lookup makes of them.
        // clang-format off
        row("good body", 200, R"({"ip":"192.0.2.1","city":"Paris","latitude":48.8566,"longitude":2.3522})", CLLocationCoordinate2D {48.8566, 2.3522});
        row("out of range is placed as is", 200, R"({"latitude":95,"longitude":-200.5})", CLLocationCoordinate2D {95, -200.5});
        row("error status with both numbers", 429, R"({"latitude":1.5,"longitude":-1.5,"error":true})", CLLocationCoordinate2D {1.5, -1.5});
        row("not JSON", 200, "<html>rate limited</html>", {});
        row("error status without numbers", 500, R"({"error":true,"reason":"RateLimited"})", {});
        row("no server at all", 0, "", {});
        // clang-format on
    }

    void answers()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(Place, place);

        LoopbackHttpServer server;
        server.respondWith({status, body});
        AppEnvironment environment = SimDeviceKit().environment();
        environment.geolocationUrl = status
            ? server.url(QStringLiteral("/json/"))
            : QUrl(QStringLiteral("http://127.0.0.1:%1/json/").arg(freeLoopbackPort()));
        ScreenModel model(environment);
        GeolocationLookup lookup(model);
        QSignalSpy finished(&lookup, &GeolocationLookup::lookupFinished);
        ConsoleCapture console;
        const ScreenState before = model.state();

        lookup.lookUpApproximateLocation();
        QVERIFY(finished.wait(10000));

        if (status) {
            QCOMPARE(server.requestedPaths, QList<QByteArray> {"/json/"});
            QCOMPARE(server.requestHeaders.first().value("user-agent"),
                     AppEnvironment::userAgent());
        }
        QCOMPARE(finished.first().first().toBool(), place.has_value());
        QCOMPARE(console.lines(), place ? QStringList() : QStringList {geolocation::kFailureLine});
        QCOMPARE(model.state().pinCoordinate, place.value_or(before.pinCoordinate));
        QCOMPARE(model.state().cameraPosition,
                 place ? MapCameraPosition::fromRegion(coordinates::pinRegion(*place))
                       : before.cameraPosition);
        if (!place)
            QCOMPARE(model.state().latitudeText, before.latitudeText);
    }

    // The user clicks the map and holds a location before the answer arrives: the pin still
    // moves, the held location does not; closing the window before any answer says nothing.
    void aLateAnswerStillWinsAndClosingEarlySaysNothing_data()
    {
        QTest::addColumn<bool>("closeEarly");
        QTest::newRow("answer arrives") << false;
        QTest::newRow("window closes first") << true;
    }

    void aLateAnswerStillWinsAndClosingEarlySaysNothing()
    {
        QFETCH(bool, closeEarly);
        LoopbackHttpServer server;
        server.respondWith({200, R"({"latitude":48.8566,"longitude":2.3522})", 400});
        AppEnvironment environment = SimDeviceKit().environment();
        environment.geolocationUrl = server.url(QStringLiteral("/json/"));
        ScreenModel model(environment);
        auto lookup = std::make_unique<GeolocationLookup>(model);
        QSignalSpy finished(lookup.get(), &GeolocationLookup::lookupFinished);
        ConsoleCapture console;

        model.runStartupSequence();
        QTRY_COMPARE(server.requestedPaths.size(), 1);
        coordinates::placePin(model, false, {10.0, 20.0});
        model.update([](ScreenState &s) { s.isLocationLocked = true; });
        if (closeEarly) {
            lookup.reset(); // an abort finishes the reply at once, inside this call
            QCoreApplication::processEvents();
            QCOMPARE(finished.size(), 0);
            QCOMPARE(model.state().pinCoordinate, (CLLocationCoordinate2D {10.0, 20.0}));
        } else {
            QVERIFY(finished.wait(10000));
            QCOMPARE(model.state().pinCoordinate, (CLLocationCoordinate2D {48.8566, 2.3522}));
            QCOMPARE(model.state().cameraPosition,
                     MapCameraPosition::fromRegion(coordinates::pinRegion({48.8566, 2.3522})));
        }
        QVERIFY(model.state().isLocationLocked);
        QVERIFY(console.lines().isEmpty());
        QCOMPARE(server.requestedPaths.size(), 1);
        model.stopBackgroundWork();
    }
};

QTEST_GUILESS_MAIN(TestGeolocation)
#include "tst_geolocation.moc"
