// The two simulated-location back-ends against the simulated device kit.
#include "SpoofSupport.h"
#include "platform/Console.h"
#include "platform/Dispatch.h"
#include "spoof/LocationBackends.h"

#include <QRegularExpression>
#include <QTest>
#include <memory>

using namespace std::chrono_literals;

namespace {

constexpr int kPatience = 20000;
const QString kUdid = QString::fromLatin1(SimDeviceKit::defaultUdid);

enum Setup { TunnelUp = 1, TunnelRefused = 2, ToolMissing = 4, ToolBroken = 8 };

const QString kSet =
    QStringLiteral("pymobiledevice3 developer dvt simulate-location set --tunnel ");
const QString kTunnelFailed =
    QStringLiteral("❌ Failed to start tunneld (password prompt may have been cancelled): no\n");
const QString kNoTunnel =
    QStringLiteral("❌ Could not establish iOS 17+ tunnel (tunneld not reachable)");

bool matches(const QStringList &lines, const QStringList &expected)
{
    if (lines.size() != expected.size())
        return false;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const bool prefix = expected[i].endsWith(u'*');
        if (prefix ? !lines[i].startsWith(expected[i].chopped(1)) : lines[i] != expected[i])
            return false;
    }
    return true;
}

} // namespace

class TestBackend : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        kit_ = std::make_unique<SimDeviceKit>();
        QVERIFY(kit_->isValid());
        QVERIFY(kit_->attach());
        environment_ = kit_->environment();
    }

    void cleanup()
    {
        QVERIFY(dispatch::waitForBackgroundWork(kPatience));
        kit_->stopTunnel();
        QTRY_VERIFY_WITH_TIMEOUT(nothingLeftBehind(*kit_), kPatience);
        kit_.reset();
    }

    void start_data()
    {
        QTest::addColumn<int>("setup");
        QTest::addColumn<QStringList>("fault"); // selector, kind
        QTest::addColumn<QString>("udid");
        QTest::addColumn<double>("latitude");
        QTest::addColumn<double>("longitude");
        QTest::addColumn<QStringList>("console"); // "*" ends a prefix
        QTest::addColumn<QString>("command"); // what the device was told; empty: nothing

        const QString early = QStringLiteral("❌ simulate-location set exited early: ");
        const QString setCommand = kSet + kUdid + QStringLiteral(" -- 40.689247 -74.044502");
        const QStringList setFault {QStringLiteral("pymobiledevice3:set")};
        QTest::newRow("tunnel: holds") << int(TunnelUp) << QStringList() << kUdid << 40.689247
                                       << -74.044502 << QStringList() << setCommand;
        QTest::newRow("tunnel: negative and tiny coordinates")
            << int(TunnelUp) << QStringList() << kUdid << -33.5 << 1e-05 << QStringList()
            << kSet + kUdid + QStringLiteral(" -- -33.5 1e-05");
        QTest::newRow("tunnel: exits with an error")
            << int(TunnelUp) << setFault + QStringList {QStringLiteral("exit-nonzero")} << kUdid
            << 40.689247 << -74.044502
            << QStringList {early + QStringLiteral("ERROR: simulated failure\n")} << setCommand;
        QTest::newRow("tunnel: empty UDID passed unchanged")
            << int(TunnelUp) << QStringList() << QString() << 1.0 << 2.0
            << QStringList {early + QStringLiteral("ERROR: Device is not connected\n")}
            << kSet + QStringLiteral("'' -- 1.0 2.0");
        QTest::newRow("tunnel: tool missing")
            << int(TunnelUp | ToolMissing) << QStringList() << kUdid << 1.0 << 2.0
            << QStringList {QStringLiteral("❌ pymobiledevice3 not found in bundled tools")}
            << QString();
        QTest::newRow("tunnel: launch failure")
            << int(TunnelUp | ToolBroken) << QStringList() << kUdid << 1.0 << 2.0
            << QStringList {QStringLiteral("❌ Error launching simulate-location set: *")}
            << QString();
        QTest::newRow("tunnel: unreachable")
            << int(TunnelRefused) << QStringList() << kUdid << 1.0 << 2.0
            << QStringList {kTunnelFailed, kNoTunnel} << QString();

        const QString setEarly = QStringLiteral("❌ idevicesetlocation exited early: ");
        const QStringList oldFault {QStringLiteral("idevicesetlocation:set")};
        const QString oldCommand = QStringLiteral("idevicesetlocation -- 40.689247 -74.044502");
        QTest::newRow("set: holds") << 0 << QStringList() << kUdid << 40.689247 << -74.044502
                                    << QStringList() << oldCommand;
        QTest::newRow("set: negative latitude after --")
            << 0 << QStringList() << kUdid << -33.5 << 151.25 << QStringList()
            << QStringLiteral("idevicesetlocation -- -33.5 151.25");
        QTest::newRow("set: exits early with status 0")
            << 0 << oldFault + QStringList {QStringLiteral("exit-early")} << kUdid << 40.689247
            << -74.044502 << QStringList {setEarly} << oldCommand;
        QTest::newRow("set: tool missing")
            << int(ToolMissing) << QStringList() << kUdid << 1.0 << 2.0
            << QStringList {QStringLiteral("❌ idevicesetlocation not found in bundled tools")}
            << QString();
        QTest::newRow("set: launch failure")
            << int(ToolBroken) << QStringList() << kUdid << 1.0 << 2.0
            << QStringList {QStringLiteral("❌ Error launching idevicesetlocation: *")} << QString();
    }

    void start()
    {
        QFETCH(int, setup);
        QFETCH(QStringList, fault);
        QFETCH(QString, udid);
        QFETCH(double, latitude);
        QFETCH(double, longitude);
        QFETCH(QStringList, console);
        QFETCH(QString, command);

        const bool tunnel = setup & (TunnelUp | TunnelRefused);
        const QString tool =
            tunnel ? QStringLiteral("pymobiledevice3") : QStringLiteral("idevicesetlocation");
        prepare(setup, tool);
        if (!fault.isEmpty())
            QVERIFY(kit_->fault(fault[0], fault[1]));

        ConsoleCapture capture;
        const std::shared_ptr<ChildProcess> process = tunnel
            ? SimulateLocationBackend(environment_).startSimulation(udid, latitude, longitude)
            : SetLocationBackend(environment_).startSetLocation(latitude, longitude);

        QVERIFY2(matches(capture.lines(), console), qPrintable(capture.lines().join(u'|')));
        QCOMPARE(kit_->commands().filter(QStringLiteral(" -- ")),
                 command.isEmpty() ? QStringList() : QStringList {command});
        QCOMPARE(bool(process), console.isEmpty());
        if (process) {
            QVERIFY(process->isRunning());
            QCOMPARE(kit_->location(), command.section(QStringLiteral(" -- "), 1));
            childprocess::terminate(process, 1s);
            QTRY_VERIFY_WITH_TIMEOUT(!process->isRunning(), kPatience);
        }
        QTRY_VERIFY_WITH_TIMEOUT(ProcessCensus::children().isEmpty(), kPatience);
    }

    void heldProcessOutputIsDrained()
    {
        QVERIFY(kit_->fault(QStringLiteral("idevicesetlocation:set"), QStringLiteral("chatty")));
        ConsoleCapture capture;
        const auto process = SetLocationBackend(environment_).startSetLocation(1.0, 2.0);
        QVERIFY(process);
        // Far more than a pipe holds: the tool would stall if nobody read it.
        QTRY_VERIFY_WITH_TIMEOUT(
            !capture.lines().filter(QRegularExpression(QStringLiteral("^tick 1000 "))).isEmpty(),
            kPatience);
        childprocess::terminate(process, 1s);
        QTRY_VERIFY_WITH_TIMEOUT(!process->isRunning(), kPatience);
    }

    void clear_data()
    {
        QTest::addColumn<int>("setup");
        QTest::addColumn<int>("failure"); // exit status the clear tool is made to fail with
        QTest::addColumn<bool>("result");
        QTest::addColumn<QStringList>("console");
        QTest::newRow("clears") << int(TunnelUp) << 0 << true << QStringList();
        QTest::newRow("tool fails")
            << int(TunnelUp) << 3 << false
            << QStringList {QStringLiteral("❌ simulate-location clear failed (exit 3)")};
        QTest::newRow("tool missing")
            << int(TunnelUp | ToolMissing) << 0 << false
            << QStringList {QStringLiteral("❌ Bundled tool not found: pymobiledevice3"),
                            QStringLiteral("❌ simulate-location clear failed (exit -1)")};
        QTest::newRow("tunnel unreachable")
            << int(TunnelRefused) << 0 << false << QStringList {kTunnelFailed, kNoTunnel};
    }

    void clear()
    {
        QFETCH(int, setup);
        QFETCH(int, failure);
        QFETCH(bool, result);
        QFETCH(QStringList, console);
        prepare(setup, QStringLiteral("pymobiledevice3"));
        if (failure)
            QVERIFY(kit_->fault(QStringLiteral("pymobiledevice3:clear"),
                                QStringLiteral("exit-nonzero"), failure));

        ConsoleCapture capture;
        QCOMPARE(SimulateLocationBackend(environment_).clearSimulation(kUdid), result);
        QCOMPARE(capture.lines(), console);
        const QString clear =
            QStringLiteral("pymobiledevice3 developer dvt simulate-location clear --tunnel ")
            + kUdid;
        QCOMPARE(kit_->commands().contains(clear), !(setup & (ToolMissing | TunnelRefused)));
    }

    void reset_data()
    {
        QTest::addColumn<int>("setup");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<bool>("ran");
        QTest::newRow("resets") << 0 << QString() << true;
        QTest::newRow("tool fails, nothing reported")
            << 0 << QStringLiteral("exit-nonzero") << true;
        QTest::newRow("tool hangs, stopped at the deadline") << 0 << QStringLiteral("hang") << true;
        QTest::newRow("tool missing, nothing run") << int(ToolMissing) << QString() << false;
        QTest::newRow("launch failure dropped") << int(ToolBroken) << QString() << false;
    }

    void reset()
    {
        QFETCH(int, setup);
        QFETCH(QString, fault);
        QFETCH(bool, ran);
        prepare(setup, QStringLiteral("idevicesetlocation"));
        if (!fault.isEmpty())
            QVERIFY(kit_->fault(QStringLiteral("idevicesetlocation:reset"), fault));
        environment_.timings.toolDeadline = 300ms;

        ConsoleCapture capture;
        SetLocationBackend(environment_).resetSetLocation();
        QCOMPARE(capture.lines(), QStringList());
        QCOMPARE(kit_->commands(),
                 ran ? QStringList {QStringLiteral("idevicesetlocation reset")} : QStringList());
        QVERIFY(ProcessCensus::children().isEmpty());
    }

private:
    void prepare(int setup, const QString &tool)
    {
        environment_.adminPromptCommand = {
            writeFakePrompt(kit_->resourceFolder(), QByteArrayLiteral("echo no\nexit 1\n"))};
        if (setup & TunnelUp) {
            QVERIFY(startKitTunnel(*kit_));
            QTRY_VERIFY_WITH_TIMEOUT(portListening(kit_->tunnelPort()), kPatience);
        }
        if (setup & ToolMissing)
            kit_->removeTool(tool);
        if (setup & ToolBroken) {
            kit_->removeTool(tool); // a new file: the running daemon keeps the old one busy
            kit_->breakTool(tool);
        }
    }

    std::unique_ptr<SimDeviceKit> kit_;
    AppEnvironment environment_;
};

QTEST_GUILESS_MAIN(TestBackend)
#include "tst_backend.moc"
