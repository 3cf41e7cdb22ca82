// The command lines of the two simulated-location back-ends, against the simulated device kit.
// How each tool call fails is the fault matrix's part (tst_faults).
#include "SpoofSupport.h"
#include "platform/Dispatch.h"
#include "spoof/LocationBackends.h"

#include <QProcess>
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

    // The kit's side of route playback: a stock idevicesetlocation leaves at once; pymobiledevice3
    // replays a route at the pace of its times (divided by the time scale), then holds.
    void kitReplay_data()
    {
        QTest::addColumn<bool>("reachable");
        QTest::addColumn<QString>("command"); // "FILE": the row's route
        QTest::addColumn<QByteArray>("gpx"); // empty: no file
        QTest::addColumn<QString>("track"); // "lat lon" or "cleared", comma-separated
        QTest::addColumn<QList<int>>("gaps"); // milliseconds between applied points, scaled
        QTest::addColumn<int>("exitCode"); // -1: holds until terminated
        const QString play = u"pymobiledevice3 developer dvt simulate-location play --tunnel "_s
            + kUdid + u" -- FILE"_s;
        const QByteArray route =
            "<gpx><trk><trkseg>"
            R"(<trkpt lat="1" lon="2"><time>2026-12-07T10:00:00Z</time></trkpt>)"
            R"(<trkpt lat="3" lon="4"><time>2026-12-07T10:00:02Z</time></trkpt>)"
            R"(<trkpt lat="5" lon="6"><time>2026-12-07T10:00:02.600Z</time>)"
            R"(</trkpt><trkpt lat="7" lon="8"/></trkseg></trk></gpx>)";
        QTest::newRow("stock idevicesetlocation")
            << false << u"idevicesetlocation -- 1.5 -2.5"_s << QByteArray() << u"1.5 -2.5"_s
            << QList<int>() << 0;
        QTest::newRow("play: paced, untimed at once, holds, clears")
            << true << play << route << u"1 2,3 4,5 6,7 8,cleared"_s << QList<int> {500, 150, 0}
            << -1;
        QTest::newRow("play: no such file")
            << true << play << QByteArray() << QString() << QList<int>() << 1;
    }

    void kitReplay()
    {
        QFETCH(QString, command);
        QFETCH(QByteArray, gpx);
        QFETCH(QString, track);
        QFETCH(QList<int>, gaps);
        QFETCH(int, exitCode);
        prepare();
        SimDeviceKit::setTimeScale(4); // nothing else runs now
        QVERIFY(kit_->setStockSetLocation(true));
        const QString file = kit_->temporaryFolder() + u"route.gpx"_s;
        if (!gpx.isEmpty())
            QVERIFY(writeScript(file, gpx) == file);
        QStringList arguments = command.replace(u"FILE"_s, file).split(u' ');

        QProcess tool;
        tool.start(kit_->toolPath(arguments.takeFirst()), arguments);
        const QStringList expected = track.split(u',', Qt::SkipEmptyParts);
        if (exitCode < 0) {
            QTRY_COMPARE_WITH_TIMEOUT(kit_->track().size(), expected.size() - 1, kPatience);
            QCOMPARE(tool.state(), QProcess::Running);
            tool.terminate();
        }
        QVERIFY(tool.waitForFinished(kPatience));
        QCOMPARE(tool.exitCode(), std::max(exitCode, 0));
        QStringList applied;
        const QList<SimDeviceKit::TrackPoint> points = kit_->track();
        for (const SimDeviceKit::TrackPoint &p : points)
            applied << (p.cleared ? u"cleared"_s : u"%1 %2"_s.arg(p.latitude).arg(p.longitude));
        QCOMPARE(applied, expected);
        for (qsizetype i = 0; i < gaps.size(); ++i) {
            const qint64 gap = points[i + 1].ms - points[i].ms;
            QVERIFY2(qAbs(gap - gaps[i]) <= 150, qPrintable(QString::number(gap)));
        }
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
