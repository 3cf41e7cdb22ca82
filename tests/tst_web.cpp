// The one web client against a loopback server: answers, limits, the pace of a service, the
// plain words of each failure; and the map tiles telling when there is no connection.
#include "LoopbackHttpServer.h"
#include "MapTestSupport.h"
#include "TestSupport.h"
#include "map/TileSource.h"
#include "net/WebClient.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
Q_DECLARE_METATYPE(net::Failure)

namespace {

net::Service testService(std::chrono::milliseconds timeout = 10s)
{
    return {u"test service"_s, 0ms, timeout, 1000};
}

} // namespace

class TestWeb : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void answers_data()
    {
        QTest::addColumn<int>("status"); // 0: nobody listens
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("delayMs");
        QTest::addColumn<net::Failure>("failure");
        QTest::addColumn<QString>("words");
        using F = net::Failure;
        const QByteArray small = "[1,2,3]";
        // clang-format off
        QTest::newRow("an answer") << 200 << small << 0 << F::None << QString();
        QTest::newRow("too large") << 200 << QByteArray(1001, 'x') << 0 << F::TooLarge << u"The test service sent an answer too large to read"_s;
        QTest::newRow("just large enough") << 200 << QByteArray(1000, 'x') << 0 << F::None << QString();
        QTest::newRow("too slow") << 200 << small << 3000 << F::TimedOut << u"The test service did not answer in time"_s;
        QTest::newRow("nobody listens") << 0 << QByteArray() << 0 << F::NoConnection << u"No connection to the test service"_s;
        QTest::newRow("busy") << 503 << small << 0 << F::None << u"The test service is not working right now (HTTP 503)"_s;
        QTest::newRow("too many requests") << 429 << small << 0 << F::None << u"The test service asks to slow down: too many requests (HTTP 429)"_s;
        QTest::newRow("not found") << 404 << small << 0 << F::None << u"The test service refused the request (HTTP 404)"_s;
        // clang-format on
    }

    void answers()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(int, delayMs);
        LoopbackHttpServer server;
        server.respondWith({status, body, delayMs});
        const QUrl url =
            status ? server.url(u"/a"_s) : QUrl(u"http://127.0.0.1:%1/a"_s.arg(freeLoopbackPort()));
        net::WebClient client;
        net::Reply *reply = client.get(testService(delayMs ? 300ms : 10s), QNetworkRequest(url));
        QSignalSpy finished(reply, &net::Reply::finished);
        QVERIFY(finished.wait(10000));
        const auto answer = finished.first().first().value<net::Answer>();
        QTEST(answer.failure, "failure");
        QTEST(net::plainWords(answer, u"test service"_s), "words");
        if (answer.failure == net::Failure::None)
            QCOMPARE(answer.status, status);
        QCOMPARE(answer.body, answer.failure == net::Failure::None ? body : QByteArray());
        QVERIFY(!answer.technical.isEmpty() || answer.failure == net::Failure::None);
        if (status)
            QCOMPARE(server.requestHeaders.first().value("user-agent"), net::userAgent());
    }

    // One request of a service after the other, each an interval after the one before; one
    // given up while it waits never goes.
    void aServiceIsAskedAtItsPace()
    {
        LoopbackHttpServer server;
        server.setHandler([](const LoopbackHttpServer::Request &request) {
            return LoopbackHttpServer::Response {200, request.path};
        });
        net::WebClient client;
        net::Service paced = testService();
        paced.interval = 200ms;
        QList<net::Reply *> replies;
        for (const char *path : {"/1", "/2", "/3", "/4"})
            replies.append(
                client.get(paced, QNetworkRequest(server.url(QString::fromLatin1(path)))));
        QVERIFY(replies[0]->isSent());
        QVERIFY(!replies[1]->isSent() && !replies[2]->isSent());
        replies[2]->abandon();
        QSignalSpy last(replies[3], &net::Reply::finished);
        QVERIFY(last.wait(10000));
        QCOMPARE(server.requestedPaths, (QList<QByteArray> {"/1", "/2", "/4"}));
        // Another service keeps its own pace.
        net::Service other = paced;
        other.name = u"other service"_s;
        QVERIFY(client.get(other, QNetworkRequest(server.url(u"/5"_s)))->isSent());
    }

    // The tiles say when there is no connection to their server, and when there is again.
    void tilesTellWhenThereIsNoConnection()
    {
        const quint16 port = freeLoopbackPort();
        QTemporaryDir cache;
        TileSource tiles(u"http://127.0.0.1:%1/{z}/{x}/{y}.png"_s.arg(port), cache.path());
        tiles.setRetryDelay(100ms);
        QSignalSpy offline(&tiles, &TileSource::offlineChanged);
        tiles.request({{3, 1, 2}});
        QTRY_VERIFY_WITH_TIMEOUT(tiles.isOffline(), 10000);
        QCOMPARE(offline.size(), 1);
        TileServer server(port);
        QSignalSpy ready(&tiles, &TileSource::tileReady);
        QVERIFY(ready.wait(10000));
        QVERIFY(!tiles.isOffline());
        QCOMPARE(offline.size(), 2);
        QCOMPARE(offline.last().first().toBool(), false);
    }
};

QTEST_MAIN(TestWeb)
#include "tst_web.moc"
