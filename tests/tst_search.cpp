// The search field: coordinates read from pasted text, and place search against a loopback
// geocoding service with recorded answers.
#include "LoopbackHttpServer.h"
#include "ScreenSupport.h"
#include "SpoofSupport.h"
#include "geo/GeolocationLookup.h"
#include "map/MapPane.h"
#include "places/SavedPlaces.h"
#include "search/CoordinateText.h"
#include "search/PlaceSearch.h"
#include "state/ScreenModel.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QTcpSocket>
#include <QTest>
#include <QUrlQuery>

using search::CoordinateText;
using Kind = CoordinateText::Kind;
Q_DECLARE_METATYPE(CoordinateText::Kind)

using namespace Qt::StringLiterals;

namespace {

// Two answers as Nominatim gives them (jsonv2), shortened.
const QByteArray kEiffelAnswer = R"([
 {"place_id":1,"lat":"48.8582599","lon":"2.2945006","category":"tourism","type":"attraction",
  "addresstype":"tourism","name":"Eiffel Tower",
  "display_name":"Eiffel Tower, 5, Avenue Anatole France, Paris, 75007, France",
  "boundingbox":["48.8574753","48.8590453","2.2933119","2.2956897"]},
 {"place_id":2,"lat":"36.1125","lon":"-115.1728","type":"attraction","name":"Eiffel Tower",
  "display_name":"Eiffel Tower, Las Vegas Boulevard South, Paradise, Nevada, United States",
  "boundingbox":["36.1120","36.1130","-115.1733","-115.1723"]}])";
const CLLocationCoordinate2D kEiffel {48.8582599, 2.2945006};

QByteArray searchPath(const char *query)
{
    return "/search?q=" + QUrl::toPercentEncoding(QString::fromUtf8(query))
        + "&format=jsonv2&limit=8";
}

// The window over a simulated device, its geocoding service on loopback.
struct SearchWindow : ShownWindow
{
    explicit SearchWindow(const SimDeviceKit &kit, const QUrl &service,
                          std::chrono::milliseconds timeout = std::chrono::seconds(10))
        : ShownWindow(kit, kit.temporaryFolder() + u"window.ini"_s, [&](AppEnvironment &e) {
            e.geocodingUrl = service;
            e.timings.searchTimeout = timeout;
        })
    {
    }

    void search(const QString &text)
    {
        auto *field = find<QLineEdit>("searchField");
        field->setText(text);
        QTest::keyClick(field, Qt::Key_Return);
    }
    QString statusLine() { return find<QLabel>("searchStatus")->text(); }
};

} // namespace

class TestSearch : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup()
    {
        QVERIFY(dispatch::waitForBackgroundWork(20000));
        QTRY_VERIFY(ProcessCensus::children().isEmpty());
    }

    void coordinateText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<double>("latitude");
        QTest::addColumn<double>("longitude");
        // The text is the row's name; only coordinates carry numbers.
        const auto row = [](const char *text, Kind kind, double lat = 0, double lon = 0) {
            QTest::newRow(text) << QString::fromUtf8(text) << kind << lat << lon;
        };
        const auto accept = [&row](const char *text, double lat, double lon) {
            row(text, Kind::Coordinate, lat, lon);
        };
        constexpr double dms = 48.0 + 51.0 / 60 + 24.0 / 3600,
                         dmsLon = 2.0 + 21.0 / 60 + 8.0 / 3600;
        // clang-format off
        for (const char *text : {"48.8566, 2.3522", "48.8566 2.3522", "48.8566,2.3522", "geo:48.8566,2.3522",
                                 "GEO:48.8566,2.3522,35;u=10", "geo:0,0?q=48.8566,2.3522(Paris)",
                                 "https://maps.google.com/?q=48.8566%2C2.3522", "https://maps.apple.com/?ll=48.8566,2.3522&q=Paris",
                                 "https://www.openstreetmap.org/?mlat=48.8566&mlon=2.3522#map=15/1/1",
                                 "https://www.openstreetmap.org/#map=15/48.8566/2.3522"})
            accept(text, 48.8566, 2.3522);
        for (const char *text : {"48°51′24″N 2°21′08″E", "48°51'24\"N, 2°21'08\"E", "48 51 24 N 2 21 08 E",
                                 "48d51m24sN 2d21m08sE", "48°51′24″ 2°21′08″"})
            accept(text, dms, dmsLon);
        accept("48.856613; 2.352222", 48.856613, 2.352222);
        accept("  -33.8688,\t151.2093\n", -33.8688, 151.2093);
        accept("−33.8688, 151.2093", -33.8688, 151.2093); // a Unicode minus
        accept("48, 2", 48, 2);
        accept("90, -180", 90, -180);
        accept("33°52′4″S 151°12′26″W", -(33 + 52.0 / 60 + 4.0 / 3600), -(151 + 12.0 / 60 + 26.0 / 3600));
        accept("N 48° 51.4′ E 2° 21.1′", 48 + 51.4 / 60, 2 + 21.1 / 60);
        accept("2.35 E 48.85 N", 48.85, 2.35);
        accept("48.8566° N, 2.3522° W", 48.8566, -2.3522);
        accept("https://www.google.com/maps/@48.8583701,2.2944813,17z", 48.8583701, 2.2944813);
        accept("https://www.google.com/maps/place/Tour+Eiffel/@48.85,2.29,17z/data=!3m1!4b1!8m2!3d48.8583701!4d2.2944813", 48.8583701, 2.2944813);
        for (const char *text : {"48,8566", "48,8566 2,3522", "48.8566", "90.000001, 0", "0, -180.5", "48.1 2.2 3.3",
                                 "48°60′N 2°E", "48.5°30′N 2°E", "-48.85 N, 2.35 E", "48 N 2 S", "48.85 N, E 2.35",
                                 "4.8e1, 2", "48 51 24 2 21 08.5", "48°24″51′N 2°E", "geo:91,0",
                                 "geo:0,0?q=Eiffel+Tower", "https://maps.app.goo.gl/abc123"})
            row(text, Kind::Invalid);
        for (const char *text : {"Eiffel Tower", "75001", "114 55", "N1", "10 Downing Street", "News 24", "٤٨, 2"})
            row(text, Kind::PlaceName);
        // clang-format on
    }

    void coordinateText()
    {
        QFETCH(QString, text);
        QFETCH(Kind, kind);
        QFETCH(double, latitude);
        QFETCH(double, longitude);
        const CoordinateText read = search::readCoordinateText(text);
        QCOMPARE(read.kind, kind);
        if (kind == Kind::Coordinate)
            QCOMPARE(read.coordinate, (CLLocationCoordinate2D {latitude, longitude}));
        if (kind == Kind::Invalid)
            QVERIFY(!read.message.isEmpty());
    }

    void searchShowsResultsAndPickingMovesThePinAndTheHeldLocation()
    {
        LoopbackHttpServer server;
        server.respondWith({200, kEiffelAnswer});
        SimDeviceKit kit;
        SearchWindow w(kit, server.url({}));
        QVERIFY(QTest::qWaitForWindowActive(&w.window));
        // Held on the phone, so that picking moves the held location too.
        QVERIFY(kit.attach(u"16.7"_s));
        QTRY_VERIFY_WITH_TIMEOUT(w.find("lockButton")->isEnabled(), 15000);
        QTest::mouseClick(w.find("lockButton"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(w.state().isLocationLocked, 20000);
        auto *field = w.find<QLineEdit>("searchField");
        auto *results = w.find<QListWidget>("searchResults");

        // A map link places the pin without the network.
        w.search(u"https://www.google.com/maps/@48.8566,2.3522,15z"_s);
        QCOMPARE(w.state().pinCoordinate, (CLLocationCoordinate2D {48.8566, 2.3522}));
        QCOMPARE(w.state().cameraPosition,
                 MapCameraPosition::fromRegion(coordinates::pinRegion({48.8566, 2.3522})));
        QVERIFY(w.statusLine().isEmpty());

        QTest::keySequence(&w.window, QKeySequence::Find);
        QTRY_VERIFY(field->hasFocus());
        QTest::keyClicks(field, u"Eiffel Tower"_s);
        QVERIFY(server.requestedPaths.isEmpty()); // nothing per keystroke
        QTest::keyClick(field, Qt::Key_Return);
        QTRY_VERIFY(results->isVisible());
        QCOMPARE(server.requestedPaths, QList<QByteArray> {searchPath("Eiffel Tower")});
        const QHash<QByteArray, QByteArray> headers = server.requestHeaders.first();
        QCOMPARE(headers.value("user-agent"), AppEnvironment::userAgent());
        QVERIFY(!headers.value("accept-language").isEmpty());
        QCOMPARE(results->count(), 2);
        QCOMPARE(results->item(0)->text(), u"Eiffel Tower"_s);
        QCOMPARE(results->item(0)->data(Qt::UserRole), u"attraction · France"_s);
        QCOMPARE(results->item(1)->data(Qt::UserRole), u"attraction · United States"_s);
        // Two places of one name, told apart by their addresses.
        QCOMPARE(results->item(0)->data(Qt::UserRole + 1),
                 u"5, Avenue Anatole France, Paris, 75007"_s);
        QCOMPARE(results->item(1)->data(Qt::UserRole + 1),
                 u"Las Vegas Boulevard South, Paradise, Nevada"_s);

        // Down, Down, Up, Return: the first one.
        QTest::keyClick(field, Qt::Key_Down);
        QVERIFY(results->hasFocus());
        QTest::keyClick(results, Qt::Key_Down);
        QTest::keyClick(results, Qt::Key_Up);
        QTest::keyClick(results, Qt::Key_Return);
        QCOMPARE(w.state().pinCoordinate, kEiffel);
        QTRY_COMPARE_WITH_TIMEOUT(kit.location(), u"48.8582599 2.2945006"_s, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(!w.state().disabledLockButton, 20000);
        QVERIFY(w.state().isLocationLocked);
        QCOMPARE(w.state().latitudeText, u"48.8582599"_s);
        const MapCameraPosition &camera = w.state().cameraPosition;
        QCOMPARE(camera.kind, MapCameraPosition::Kind::Region);
        QCOMPARE(camera.region.center.latitude, (48.8574753 + 48.8590453) / 2);
        // The box is a building: shown with about a kilometre around it.
        QVERIFY(camera.region.latitudeDelta > 0.0016 && camera.region.latitudeDelta < 0.01);
        QVERIFY(!results->isVisible());

        // The star names the saved place after the result.
        QTest::mouseClick(w.find("savePlaceButton"), Qt::LeftButton);
        SavedPlaces &places = w.window.contentView()->savedPlaces();
        QCOMPARE(places.places().last(), (SavedPlace {u"Eiffel Tower"_s, kEiffel}));

        // The same search again comes from the session's cache; Escape closes the list.
        w.search(u"Eiffel  Tower "_s);
        QVERIFY(results->isVisible());
        QCOMPARE(server.requestedPaths.size(), 1);
        QTest::keyClick(field, Qt::Key_Escape);
        QVERIFY(!results->isVisible());
        QCOMPARE(w.state().pinCoordinate, kEiffel);
        QTest::mouseClick(w.find("lockButton"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!w.state().isLocationLocked, 20000);
    }

    void failuresGiveOneLineAndChangeNothing_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("status"); // 0: nobody listens
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("delayMs");
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("requests");
        QTest::addColumn<QString>("console"); // the network's own words
        const QString eiffel = u"Eiffel Tower"_s;
        const QString notAList =
            u"The place search service sent an answer that could not be read"_s;
        // clang-format off
        QTest::newRow("no answer") << eiffel << 0 << QByteArray() << 0 << u"No connection to the place search service"_s << 0 << u"⚠️ Search failed: Connection refused"_s;
        QTest::newRow("too slow") << eiffel << 200 << kEiffelAnswer << 5000 << u"The place search service did not answer in time"_s << 1 << u"⚠️ Search failed: no whole answer within 300 ms"_s;
        QTest::newRow("http error") << eiffel << 503 << QByteArray("busy") << 0 << u"The place search service is not working right now (HTTP 503)"_s << 1 << QString();
        QTest::newRow("malformed json") << eiffel << 200 << QByteArray(R"([{"lat":"48.8",)") << 0 << notAList << 1 << u"⚠️ Search failed: the answer was not a list of places"_s;
        QTest::newRow("not a list") << eiffel << 200 << QByteArray(R"({"error":"Unable to geocode"})") << 0 << notAList << 1 << QString();
        QTest::newRow("no results") << u"Eiffel Towr"_s << 200 << QByteArray("[]") << 0 << u"No place found for “Eiffel Towr”"_s << 1 << QString();
        QTest::newRow("ambiguous coordinates") << u"48,8566"_s << 200 << kEiffelAnswer << 0 << kInvalidCoordinatesMessage << 0 << QString();
        // clang-format on
    }

    void failuresGiveOneLineAndChangeNothing()
    {
        QFETCH(QString, text);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(int, delayMs);
        QFETCH(QString, line);
        QFETCH(QString, console);

        LoopbackHttpServer server;
        server.respondWith({status, body, delayMs});
        const QUrl service =
            status ? server.url({}) : QUrl(u"http://127.0.0.1:%1"_s.arg(freeLoopbackPort()));
        SimDeviceKit kit;
        // Only the slow answer meets a short time-out: a loaded machine may be slow itself.
        SearchWindow w(kit, service, std::chrono::milliseconds(delayMs ? 300 : 10000));
        const ScreenState before = w.state();

        ConsoleCapture said;
        w.search(text);
        QTRY_COMPARE_WITH_TIMEOUT(w.statusLine(), line, 15000);
        if (!console.isEmpty())
            QVERIFY2(said.contains(console), qPrintable(said.lines().join(u'\n')));
        QTEST(int(server.requestedPaths.size()), "requests");
        QVERIFY(!w.find("searchResults")->isVisible());
        QCOMPARE(w.state().pinCoordinate, before.pinCoordinate);
        QCOMPARE(w.state().latitudeText, before.latitudeText);
        QCOMPARE(w.state().cameraPosition, before.cameraPosition);
        QCOMPARE(w.state().lockStatusText, before.lockStatusText);
    }

    void aBurstOfReturnsAsksAtMostOncePerInterval()
    {
        LoopbackHttpServer server;
        // Each answer names the query it answers.
        server.setHandler([](const LoopbackHttpServer::Request &request) {
            const QString query = QUrlQuery(QUrl(QString::fromLatin1(request.path)))
                                      .queryItemValue(u"q"_s, QUrl::FullyDecoded);
            return LoopbackHttpServer::Response {
                200, R"([{"lat":"1","lon":"2","name":")" + query.toUtf8() + R"("}])"};
        });
        SimDeviceKit kit;
        SearchWindow w(kit, server.url({}));
        for (const char *query : {"first", "second", "third", "fourth", "last"})
            w.search(QString::fromLatin1(query));
        auto *results = w.find<QListWidget>("searchResults");
        QTRY_VERIFY(results->isVisible());
        QCOMPARE(results->item(0)->text(), u"last"_s);
        // The first at once, the newest after the interval, none of those in between.
        QCOMPARE(server.requestedPaths,
                 (QList<QByteArray> {searchPath("first"), searchPath("last")}));
    }

    void closingTheWindowAbortsQuietly()
    {
        LoopbackHttpServer server;
        server.respondWith({200, kEiffelAnswer, 3000});
        SimDeviceKit kit;
        ConsoleCapture startup;
        auto w = std::make_unique<SearchWindow>(kit, server.url({}));
        // The start-up lookup has its say first (nobody answers it here).
        QTRY_VERIFY(startup.contains(geolocation::kFailureLine));
        QTest::failOnWarning(QRegularExpression(u"."_s));
        ConsoleCapture console;
        w->search(u"Eiffel Tower"_s);
        QTRY_COMPARE(server.requestedPaths.size(), 1);

        w->window.close();
        w.reset();
        // The request is gone once the server sees its connection close.
        QTRY_VERIFY(server.findChildren<QTcpSocket *>().isEmpty());
        QCOMPARE(console.lines(), QStringList {});
    }
};

QTEST_MAIN(TestSearch)
#include "tst_search.moc"
