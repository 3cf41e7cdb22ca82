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

    // Which tunnel each iOS version gets on each iOS 17+ chain, whether that asks for the
    // password, and what the user sees: the location held, then given back.
    void versions_data()
    {
        QTest::addColumn<bool>("goIos"); // else pymobiledevice3
        QTest::addColumn<QString>("ios");
        QTest::addColumn<QString>("tunnel"); // what made the tunnel; empty: none needed
        QTest::addColumn<int>("prompts");
        const QString tunneld = u"pymobiledevice3 remote tunneld -d"_s;
        const QString own = u"simulate-location set --userspace --udid"_s;
        const QString userspaceAgent = u"ios tunnel start --userspace"_s;
        const QString kernelAgent = u"ios tunnel start --pair-record-path="_s;
        const auto rows = [](bool goIos,
                             const QList<std::tuple<const char *, QString, int>> &list) {
            for (const auto &[ios, tunnel, prompts] : list)
                QTest::addRow("%s %s", goIos ? "go-ios" : "pymobiledevice3", ios)
                    << goIos << QString::fromLatin1(ios) << tunnel << prompts;
        };
        rows(false,
             {{"16.7", {}, 0},
              {"17.0", tunneld, 1},
              {"17.3.1", tunneld, 1},
              {"17.4", own, 0},
              {"17.4.1", own, 0},
              {"18.2", own, 0},
              {"26.0", own, 0}});
        // go-ios's userspace tunnel needs more than 17.4.0; below, its kernel one, as root.
        rows(true,
             {{"16.7", {}, 0},
              {"17.0", kernelAgent, 1},
              {"17.3.1", kernelAgent, 1},
              {"17.4", kernelAgent, 1},
              {"17.4.1", userspaceAgent, 0},
              {"18.2", userspaceAgent, 0},
              {"26.0", userspaceAgent, 0}});
    }

    void versions()
    {
        QFETCH(bool, goIos);
        QFETCH(QString, ios);
        QFETCH(QString, tunnel);
        QFETCH(int, prompts);
        SimDeviceKit kit;
        QVERIFY(kit.attach(ios));
        if (goIos) {
            kit.removeTool(u"pymobiledevice3"_s);
            QVERIFY(kit.addTool(goios::kTool));
        }
        AppEnvironment environment = kit.environment();
        environment.adminPromptCommand = {writeFakePrompt(kit.resourceFolder(), kPromptRunsScript)};
        {
            Screen screen(environment);
            QVERIFY(screen.bringUp(20000));
            QVERIFY(screen.hold(20000));
            QCOMPARE(screen.state().lockStatusText, heldText(kDefaultPinCoordinate));
            QCOMPARE(kit.location(), u"40.689247 -74.044502"_s);
            QCOMPARE(promptCount(kit.resourceFolder()), prompts);
            const QStringList commands = kit.commands();
            if (tunnel.isEmpty())
                QCOMPARE(commands.filter(u"tunnel"_s), QStringList());
            else
                QCOMPARE(commands.filter(tunnel).size(), 1);
            screen.spoof.unlockLocation();
            QTRY_VERIFY_WITH_TIMEOUT(!screen.state().disabledLockButton, 20000);
            QCOMPARE(screen.state().lockStatusText, u"Location unlocked — real GPS restored."_s);
            QCOMPARE(kit.location(), QString());
            QVERIFY(screen.quiet(20000));
        }
        kit.stopTunnel();
        kit.control({u"stop-agent"_s}); // the kernel agent is left running on purpose
        QTRY_VERIFY_WITH_TIMEOUT(nothingLeftBehind(kit), 10000);
    }

    // go-ios tries a phone whose tunnel failed again only after 30 s to 5 min: the user who
    // unlocked the phone and tries again is served at once, and the hint said what go-ios said.
    void failedTunnelIsTriedAgainAtOnce_data()
    {
        QTest::addColumn<QString>("ios");
        QTest::addColumn<int>("prompts");
        QTest::newRow("our userspace agent, restarted") << u"17.4.1"_s << 0;
        QTest::newRow("our kernel agent, started again through the prompt") << u"17.3.1"_s << 2;
    }

    void failedTunnelIsTriedAgainAtOnce()
    {
        QFETCH(QString, ios);
        SimDeviceKit kit;
        QVERIFY(kit.attach(ios));
        kit.removeTool(u"pymobiledevice3"_s);
        QVERIFY(kit.addTool(goios::kTool));
        AppEnvironment environment = kit.environment();
        environment.adminPromptCommand = {writeFakePrompt(kit.resourceFolder(), kPromptRunsScript)};
        {
            Screen screen(environment);
            QVERIFY(screen.bringUp(20000));
            QVERIFY(kit.control({u"condition"_s, u"locked"_s}));
            screen.spoof.spoofLocation();
            QTRY_VERIFY_WITH_TIMEOUT(!screen.state().disabledLockButton, 20000);
            QVERIFY(!screen.state().isLocationLocked);
            QCOMPARE(screen.state().spoofHint.cause, failure::Cause::Locked);
            QVERIFY2(screen.state().spoofHint.words.contains(u"PasswordProtected"_s),
                     qPrintable(screen.state().spoofHint.words));

            QVERIFY(kit.control({u"condition"_s, u"none"_s}));
            QVERIFY(screen.hold(20000));
            QCOMPARE(kit.location(), u"40.689247 -74.044502"_s);
            QTEST(promptCount(kit.resourceFolder()), "prompts");
            QVERIFY(screen.quiet(20000));
        }
        kit.control({u"stop-agent"_s});
        QTRY_VERIFY_WITH_TIMEOUT(nothingLeftBehind(kit), 10000);
    }

    // Unlock and Reset say "restored" only when the tool confirms; otherwise the location stays
    // held (the phone may still report it) and the hint carries the tool's words.
    void unlockSaysWhatHappened_data()
    {
        QTest::addColumn<QString>("chain"); // "pymobiledevice3", "go-ios", "idevicesetlocation"
        QTest::addColumn<QString>("ios");
        QTest::addColumn<QString>("trouble"); // a condition, or a fault "TOOL:PART KIND"
        QTest::addColumn<QString>("words"); // part of the hint's tool words
        // clang-format off
        QTest::newRow("pymobiledevice3 logs the error and exits 0") << u"pymobiledevice3"_s << u"17.4.1"_s << u"locked"_s << u"Device is password protected"_s;
        QTest::newRow("go-ios cannot stop the simulation") << u"go-ios"_s << u"17.4.1"_s << u"ios:stop exit-nonzero"_s << QString();
        QTest::newRow("idevicesetlocation blames the image, ideviceinfo tells") << u"idevicesetlocation"_s << u"16.7"_s << u"locked"_s << u"Password protected"_s;
        // clang-format on
    }

    void unlockSaysWhatHappened()
    {
        QFETCH(QString, chain);
        QFETCH(QString, ios);
        QFETCH(QString, trouble);
        QFETCH(QString, words);
        SimDeviceKit kit;
        QVERIFY(kit.attach(ios));
        if (chain == u"go-ios"_s) {
            kit.removeTool(u"pymobiledevice3"_s);
            QVERIFY(kit.addTool(goios::kTool));
        }
        {
            Screen screen(kit.environment());
            QVERIFY(screen.bringUp(20000));
            QVERIFY(screen.hold(20000));
            if (trouble.contains(u' '))
                QVERIFY(kit.fault(trouble.section(u' ', 0, 0), trouble.section(u' ', 1)));
            else
                QVERIFY(kit.control({u"condition"_s, trouble}));
            screen.spoof.unlockLocation();
            QTRY_VERIFY_WITH_TIMEOUT(!screen.state().disabledLockButton, 20000);
            QCOMPARE(
                screen.state().lockStatusText,
                u"❌ The iPhone did not confirm its real location is back — see console log."_s);
            QVERIFY(screen.state().isLocationLocked); // honest: it may still be spoofed
            QVERIFY2(screen.state().spoofHint.words.contains(words),
                     qPrintable(screen.state().spoofHint.words));
            QVERIFY(screen.quiet(20000));
        }
        kit.control({u"stop-agent"_s});
        QTRY_VERIFY_WITH_TIMEOUT(nothingLeftBehind(kit), 10000);
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
