// The iOS 17+ chains: pymobiledevice3 when it is there, else go-ios and its tunnel agent, else a
// plain word on what to install; go-ios's own command lines and log lines.
#include "ScreenSupport.h"
#include "SpoofSupport.h"
#include "platform/Console.h"
#include "spoof/GoIosBackend.h"
#include "spoof/LocationBackends.h"
#include "tools/GoIos.h"

#include <QProcess>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString kUdid = QString::fromLatin1(SimDeviceKit::defaultUdid);

// The kit's go-ios agent, started as someone else's (a terminal, another program).
struct ForeignAgent
{
    explicit ForeignAgent(const SimDeviceKit &kit)
    {
        process.start(
            kit.toolPath(goios::kTool),
            goios::tunnelStartArguments(kit.resourceFolder(), {u"127.0.0.1"_s, kit.agentPort()}));
    }
    ~ForeignAgent()
    {
        process.terminate();
        process.waitForFinished();
    }
    QProcess process;
};

} // namespace

class TestGoIos : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { QTRY_VERIFY(ProcessCensus::children().isEmpty()); }

    void logLines_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("console");
        // clang-format off
        QTest::newRow("error with err") << QByteArray(R"({"time":"t","level":"ERROR","msg":"error mounting image",)" R"("err":"DeveloperModeIsNotEnabled"})") << "❌ go-ios: error mounting image: DeveloperModeIsNotEnabled";
        QTest::newRow("warning") << QByteArray(R"({"level":"WARN","msg":"failed to get tunnel info"})") << "⚠️ go-ios: failed to get tunnel info";
        QTest::newRow("not a log line") << QByteArray(R"({"version":"1.2.0"})") << R"({"version":"1.2.0"})";
        // clang-format on
    }

    void logLines()
    {
        QFETCH(QByteArray, line);
        QTEST(goios::consoleText(line), "console");
    }

    // Spoof, move, unlock and reset on each chain an iOS 17 phone can have, and nothing left.
    void chains_data()
    {
        QTest::addColumn<bool>("pymobiledevice3");
        QTest::addColumn<bool>("goIos");
        QTest::addColumn<QString>("announcement");
        // clang-format off
        QTest::newRow("pymobiledevice3 present") << true << true << "iOS 17+ chain: pymobiledevice3 (found in the tool folder)";
        QTest::newRow("only go-ios") << false << true << "iOS 17+ chain: go-ios (pymobiledevice3 not found; go-ios is in the tool folder)";
        QTest::newRow("neither") << false << false << kNoIosChainLine;
        // clang-format on
    }

    void chains()
    {
        QFETCH(bool, pymobiledevice3);
        QFETCH(bool, goIos);
        QFETCH(QString, announcement);
        SimDeviceKit kit;
        QVERIFY(kit.attach(u"17.4.1"_s));
        if (!pymobiledevice3)
            kit.removeTool(u"pymobiledevice3"_s);
        else
            QVERIFY(startKitTunnel(kit));
        if (goIos)
            QVERIFY(kit.addTool(goios::kTool));
        ConsoleCapture console;
        {
            Screen screen(kit.environment());
            QVERIFY(screen.bringUp(20000));
            screen.spoof.spoofLocation();
            QTRY_VERIFY_WITH_TIMEOUT(!screen.state().disabledLockButton, 20000);
            QCOMPARE(console.lines().count(announcement), 1);
            if (!goIos) {
                QCOMPARE(screen.state().lockStatusText,
                         u"❌ Failed to spoof location — see console log."_s);
                QCOMPARE(screen.state().spoofHint.cause, failure::Cause::ToolMissing);
                QVERIFY(kit.commands().filter(u"simulate-location"_s).isEmpty());
                return;
            }
            QVERIFY(screen.state().isLocationLocked);
            QCOMPARE(kit.location(), u"40.689247 -74.044502"_s);

            screen.spoof.moveSpoofedLocation(false, {-33.5, 151.25});
            QTRY_COMPARE_WITH_TIMEOUT(screen.state().lockStatusText, heldText({-33.5, 151.25}),
                                      20000);
            QCOMPARE(kit.location(), u"-33.5 151.25"_s);
            screen.spoof.unlockLocation();
            QTRY_VERIFY_WITH_TIMEOUT(
                !screen.state().isLocationLocked && !screen.state().disabledLockButton, 20000);
            QCOMPARE(kit.location(), QString()); // cleared, not just left behind
            screen.spoof.unlockLocation(); // reset with nothing held
            QTRY_VERIFY_WITH_TIMEOUT(!screen.state().disabledLockButton, 20000);
            QCOMPARE(console.lines().count(announcement), 1); // said once
            QVERIFY(screen.quiet(20000));
            if (!pymobiledevice3) {
                const QStringList commands = kit.commands();
                QCOMPARE(commands.filter(u"ios tunnel start --userspace"_s).size(), 1);
                const QString set =
                    u"ios setlocation --udid=%1 --lat=-33.5 --lon=151.25"_s.arg(kUdid);
                QVERIFY(!commands.filter(set).isEmpty());
                QVERIFY(screen.spoof.goIosAgent().ownAgent());
            }
        }
        kit.stopTunnel();
        QTRY_VERIFY_WITH_TIMEOUT(nothingLeftBehind(kit), 10000); // our agent included
    }

    void runningAgentIsReusedAndLeftRunning()
    {
        SimDeviceKit kit;
        QVERIFY(kit.attach(u"17.4.1"_s));
        kit.removeTool(u"pymobiledevice3"_s);
        QVERIFY(kit.addTool(goios::kTool));
        ForeignAgent agent(kit);
        QTRY_VERIFY(portListening(kit.agentPort()));
        {
            Screen screen(kit.environment());
            QVERIFY(screen.bringUp(20000));
            QVERIFY(screen.hold(20000));
            QVERIFY(!screen.spoof.goIosAgent().ownAgent());
            QVERIFY(screen.quiet(20000));
        }
        QCOMPARE(kit.commands().filter(u"ios tunnel start"_s).size(), 1); // its own
        QCOMPARE(agent.process.state(), QProcess::Running);
        QTRY_COMPARE(kit.location(), QString()); // interrupted as the screen went, so cleared
    }
};

QTEST_GUILESS_MAIN(TestGoIos)
#include "tst_goios.moc"
