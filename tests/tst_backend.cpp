// The command lines of the two simulated-location back-ends, against the simulated device kit.
// How each tool call fails is the fault matrix's part (tst_faults).
#include "SpoofSupport.h"
#include "platform/Dispatch.h"
#include "spoof/LocationBackends.h"

#include <QTest>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

constexpr int kPatience = 20000;
const QString kUdid = QString::fromLatin1(SimDeviceKit::defaultUdid);
const QString kTunnel = u" --tunnel "_s;
const QStringList kNoTunnel {
    u"❌ Failed to start tunneld (password prompt may have been cancelled): no\n"_s,
    u"❌ Could not establish iOS 17+ tunnel (tunneld not reachable)"_s};

} // namespace

class TestBackend : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup()
    {
        QVERIFY(dispatch::waitForBackgroundWork(kPatience));
        kit_->stopTunnel();
        QTRY_VERIFY_WITH_TIMEOUT(nothingLeftBehind(*kit_), kPatience);
        kit_.reset();
    }

    void start_data()
    {
        QTest::addColumn<bool>("tunnel"); // false: idevicesetlocation
        QTest::addColumn<bool>("reachable");
        QTest::addColumn<QString>("udid");
        QTest::addColumn<double>("latitude");
        QTest::addColumn<double>("longitude");
        QTest::addColumn<QString>("told"); // what the device was told after the tool's name
        QTest::addColumn<QStringList>("console");

        const QString set = u"developer dvt simulate-location set"_s + kTunnel;
        // clang-format off
        QTest::newRow("tunnel: negative and tiny coordinates") << true << true << kUdid << -33.5 << 1e-05 << set + kUdid + u" -- -33.5 1e-05"_s << QStringList();
        QTest::newRow("tunnel: empty UDID passed unchanged") << true << true << QString() << 1.0 << 2.0 << set + u"'' -- 1.0 2.0"_s << QStringList {u"❌ simulate-location set exited early: ERROR: Device is not connected\n"_s};
        QTest::newRow("tunnel: unreachable") << true << false << kUdid << 1.0 << 2.0 << QString() << kNoTunnel;
        QTest::newRow("set: negative latitude after --") << false << true << kUdid << -33.5 << 151.25 << u"-- -33.5 151.25"_s << QStringList();
        // clang-format on
    }

    void start()
    {
        QFETCH(bool, tunnel);
        QFETCH(QString, udid);
        QFETCH(double, latitude);
        QFETCH(double, longitude);
        QFETCH(QString, told);
        QFETCH(QStringList, console);
        prepare();

        ConsoleCapture capture;
        const std::shared_ptr<ChildProcess> process = tunnel
            ? SimulateLocationBackend(environment_).startSimulation(udid, latitude, longitude)
            : SetLocationBackend(environment_).startSetLocation(latitude, longitude);

        QCOMPARE(capture.lines(), console);
        const QString tool = tunnel ? u"pymobiledevice3 "_s : u"idevicesetlocation "_s;
        QCOMPARE(kit_->commands().filter(u" -- "_s),
                 told.isEmpty() ? QStringList() : QStringList {tool + told});
        QCOMPARE(bool(process), console.isEmpty());
        if (process) {
            QCOMPARE(kit_->location(), told.section(u"-- "_s, 1));
            childprocess::terminate(process, 1s);
            QTRY_VERIFY_WITH_TIMEOUT(!process->isRunning(), kPatience);
        }
    }

    void clear_data()
    {
        QTest::addColumn<bool>("reachable");
        QTest::addColumn<QStringList>("console");
        QTest::newRow("clears") << true << QStringList();
        QTest::newRow("tunnel unreachable") << false << kNoTunnel;
    }

    void clear()
    {
        QFETCH(bool, reachable);
        prepare();
        ConsoleCapture capture;
        QCOMPARE(SimulateLocationBackend(environment_).clearSimulation(kUdid), reachable);
        QTEST(capture.lines(), "console");
        QCOMPARE(kit_->commands().contains(
                     u"pymobiledevice3 developer dvt simulate-location clear"_s + kTunnel + kUdid),
                 reachable);
    }

    // Whatever the reset does, it reports nothing.
    void reset_data()
    {
        QTest::addColumn<QString>("fault"); // "remove", "break" or a fault of the kit's
        QTest::addColumn<bool>("ran");
        QTest::newRow("resets") << QString() << true;
        QTest::newRow("tool fails") << u"exit-nonzero"_s << true;
        QTest::newRow("tool hangs, stopped at the deadline") << u"hang"_s << true;
        QTest::newRow("tool missing") << u"remove"_s << false;
        QTest::newRow("launch failure") << u"break"_s << false;
    }

    void reset()
    {
        QFETCH(QString, fault);
        kit_ = std::make_unique<SimDeviceKit>();
        QVERIFY(kit_->attach());
        environment_ = kit_->environment();
        environment_.timings.toolDeadline = 300ms;
        if (fault == u"remove"_s || fault == u"break"_s)
            kit_->removeTool(u"idevicesetlocation"_s);
        if (fault == u"break"_s)
            kit_->breakTool(u"idevicesetlocation"_s);
        else if (!fault.isEmpty() && fault != u"remove"_s)
            QVERIFY(kit_->fault(u"idevicesetlocation:reset"_s, fault));

        ConsoleCapture capture;
        SetLocationBackend(environment_).resetSetLocation();
        QCOMPARE(capture.lines(), QStringList());
        QTEST(kit_->commands() == QStringList {u"idevicesetlocation reset"_s}, "ran");
        QVERIFY(ProcessCensus::children().isEmpty());
    }

private:
    // A kit with its device, and the tunnel up unless the row says it is unreachable.
    void prepare()
    {
        kit_ = std::make_unique<SimDeviceKit>();
        QVERIFY(kit_->attach());
        environment_ = kit_->environment();
        environment_.adminPromptCommand = {
            writeFakePrompt(kit_->resourceFolder(), QByteArrayLiteral("echo no\nexit 1\n"))};
        QFETCH(bool, reachable);
        if (reachable) {
            QVERIFY(startKitTunnel(*kit_));
            QTRY_VERIFY_WITH_TIMEOUT(portListening(kit_->tunnelPort()), kPatience);
        }
    }

    std::unique_ptr<SimDeviceKit> kit_;
    AppEnvironment environment_;
};

QTEST_GUILESS_MAIN(TestBackend)
#include "tst_backend.moc"
