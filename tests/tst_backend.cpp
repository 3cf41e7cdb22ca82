// The command lines of the two simulated-location back-ends, against the simulated device kit.
// How each tool call fails is the fault matrix's part (tst_faults).
#include "SpoofSupport.h"
#include "platform/Dispatch.h"
#include "spoof/LocationBackends.h"
#include "spoof/TunnelService.h"

#include <QProcess>
#include <QTest>
#include <csignal>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

constexpr int kPatience = 20000;
const QString kUdid = QString::fromLatin1(SimDeviceKit::defaultUdid);
const QString kTunnel = u" --tunnel "_s;
const QStringList kNoTunnel {
    u"❌ Failed to start tunneld (password prompt may have been cancelled): no"_s,
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

    // pymobiledevice3 reaches 17.0 to 17.3 through tunneld and later versions through a tunnel of
    // its own; a set counts only once it says the phone took the location.
    void start_data()
    {
        QTest::addColumn<QString>("ios"); // empty: idevicesetlocation on 16.7
        QTest::addColumn<bool>("reachable"); // tunneld runs
        QTest::addColumn<QString>("condition");
        QTest::addColumn<double>("latitude");
        QTest::addColumn<double>("longitude");
        QTest::addColumn<QString>("told"); // what the device was told after the tool's name
        QTest::addColumn<QStringList>("console"); // empty: started, nothing said

        // tunneld is not on its usual port here, so the command names it.
        const QString viaTunneld = u"developer dvt simulate-location set"_s + kTunnel + kUdid + u":PORT"_s;
        const QString viaOwnTunnel =
            u"developer dvt simulate-location set --userspace --udid "_s + kUdid;
        // clang-format off
        QTest::newRow("17.4.1: own tunnel, no tunneld, negative and tiny coordinates") << u"17.4.1"_s << false << QString() << -33.5 << 1e-05 << viaOwnTunnel + u" -- -33.5 1e-05"_s << QStringList();
        QTest::newRow("17.3.1: through tunneld") << u"17.3.1"_s << true << QString() << 1.0 << 2.0 << viaTunneld + u" -- 1.0 2.0"_s << QStringList();
        QTest::newRow("17.3.1: tunneld unreachable") << u"17.3.1"_s << false << QString() << 1.0 << 2.0 << QString() << kNoTunnel;
        QTest::newRow("17.4.1: locked, logged, exit 0: not confirmed") << u"17.4.1"_s << false << u"locked"_s << 1.0 << 2.0 << viaOwnTunnel + u" -- 1.0 2.0"_s << QStringList {u"❌ simulate-location set exited early: "_s};
        QTest::newRow("17.3.1: tunneld skipped the phone, asked to make its tunnel") << u"17.3.1:late"_s << true << QString() << 1.0 << 2.0 << viaTunneld + u" -- 1.0 2.0"_s << QStringList();
        QTest::newRow("17.3.1: held but never confirmed") << u"17.3.1:slow"_s << true << QString() << 1.0 << 2.0 << viaTunneld + u" -- 1.0 2.0"_s << QStringList {u"❌ simulate-location set did not confirm within 0.8 s"_s};
        QTest::newRow("16.7: negative latitude after --") << QString() << false << QString() << -33.5 << 151.25 << u"-- -33.5 151.25"_s << QStringList();
        // clang-format on
    }

    void start()
    {
        QFETCH(QString, ios);
        QFETCH(QString, condition);
        const bool slow = ios.endsWith(u":slow"_s);
        const bool late = ios.endsWith(u":late"_s);
        ios = ios.section(u':', 0, 0);
        QFETCH(double, latitude);
        QFETCH(double, longitude);
        QFETCH(QString, told);
        QFETCH(QStringList, console);
        // Locked when tunneld first saw it, unlocked since: tunneld does not try it again by
        // itself.
        prepare(ios.isEmpty() ? u"16.7"_s : ios, late);
        if (!condition.isEmpty())
            QVERIFY(kit_->control({u"condition"_s, condition}));
        if (slow) {
            QVERIFY(kit_->fault(u"pymobiledevice3:set"_s, u"slow"_s, 60000));
            environment_.timings.tunnelWindow = 800ms;
        }

        ConsoleCapture capture;
        const std::shared_ptr<ChildProcess> process = !ios.isEmpty()
            ? SimulateLocationBackend(environment_).startSimulation(kUdid, ios, latitude, longitude)
            : SetLocationBackend(environment_).startSetLocation(latitude, longitude);

        // Our lines (a tool's own lines, passed on as they come, start otherwise), each of which
        // starts as the row says.
        QStringList said = capture.lines();
        said.removeIf([](const QString &line) {
            return !line.startsWith(u"❌"_s) && !line.startsWith(u"⚠️"_s);
        });
        QCOMPARE(said.size(), console.size());
        for (qsizetype i = 0; i < said.size(); ++i)
            QVERIFY2(said[i].startsWith(console[i]), qPrintable(said[i]));
        const QString tool = !ios.isEmpty() ? u"pymobiledevice3 "_s : u"idevicesetlocation "_s;
        told.replace(u"PORT"_s, QString::number(kit_->tunnelPort()));
        QCOMPARE(kit_->commands().filter(u" -- "_s),
                 told.isEmpty() ? QStringList() : QStringList {tool + told});
        QCOMPARE(bool(process), console.isEmpty());
        if (process) {
            QCOMPARE(kit_->location(), told.section(u"-- "_s, 1));
            childprocess::terminate(process, 1s);
            QTRY_VERIFY_WITH_TIMEOUT(!process->isRunning(), kPatience);
        }
    }

    // Only what the phone confirms counts: pymobiledevice3 exits 0 after the errors it logs.
    void clear_data()
    {
        QTest::addColumn<QString>("ios");
        QTest::addColumn<bool>("reachable");
        QTest::addColumn<QString>("condition");
        QTest::addColumn<bool>("cleared");
        QTest::addColumn<QString>("failure"); // the last console line of a failure
        // clang-format off
        QTest::newRow("17.3.1 through tunneld") << u"17.3.1"_s << true << QString() << true << QString();
        QTest::newRow("17.3.1, tunneld unreachable") << u"17.3.1"_s << false << QString() << false << kNoTunnel.last();
        QTest::newRow("17.4.1 through its own tunnel") << u"17.4.1"_s << false << QString() << true << QString();
        QTest::newRow("17.4.1 locked: logged, exit 0") << u"17.4.1"_s << false << u"locked"_s << false << u"❌ simulate-location clear failed (exit 0): Device is password protected. Please unlock and retry"_s;
        QTest::newRow("17.4.1 no image") << u"17.4.1"_s << false << u"no-image"_s << false << u"❌ simulate-location clear failed (exit 0): Failed to start service. Possible reasons are:"_s;
        // clang-format on
    }

    void clear()
    {
        QFETCH(QString, ios);
        QFETCH(QString, condition);
        QFETCH(bool, cleared);
        QFETCH(QString, failure);
        prepare(ios);
        if (!condition.isEmpty())
            QVERIFY(kit_->control({u"condition"_s, condition}));
        ConsoleCapture capture;
        QCOMPARE(SimulateLocationBackend(environment_).clearSimulation(kUdid, ios), cleared);
        QCOMPARE(capture.lines().isEmpty() ? QString() : capture.lines().last(), failure);
    }

    // A reset counts only when idevicesetlocation ends with status 0; whatever else happens is
    // said.
    void reset_data()
    {
        QTest::addColumn<QString>(
            "fault"); // "remove", "break", a condition, or a fault of the kit's
        QTest::addColumn<bool>("ran");
        QTest::addColumn<bool>("reset");
        QTest::addColumn<QString>("said"); // the start of the last console line
        QTest::newRow("resets") << QString() << true << true << QString();
        QTest::newRow("tool fails") << u"exit-nonzero"_s << true << false
                                    << u"❌ idevicesetlocation reset failed (exit 1)"_s;
        QTest::newRow("locked: the tool blames the image, ideviceinfo tells")
            << u"locked"_s << true << false
            << u"❌ ideviceinfo: ERROR: Could not connect to lockdownd: Password protected (-17)"_s;
        QTest::newRow("tool hangs, stopped at the deadline")
            << u"hang"_s << true << false << u"❌ idevicesetlocation reset failed (exit -1)"_s;
        QTest::newRow("tool missing") << u"remove"_s << false << false
                                      << u"❌ idevicesetlocation not found in bundled tools"_s;
        QTest::newRow("launch failure")
            << u"break"_s << false << false << u"❌ idevicesetlocation reset failed (exit -1)"_s;
    }

    void reset()
    {
        QFETCH(QString, fault);
        kit_ = std::make_unique<SimDeviceKit>();
        QVERIFY(kit_->attach(u"16.7"_s));
        environment_ = kit_->environment();
        environment_.timings.toolDeadline = 300ms;
        if (fault == u"remove"_s || fault == u"break"_s)
            kit_->removeTool(u"idevicesetlocation"_s);
        if (fault == u"break"_s)
            kit_->breakTool(u"idevicesetlocation"_s);
        else if (!fault.isEmpty() && fault != u"remove"_s && fault != u"locked"_s)
            QVERIFY(kit_->fault(u"idevicesetlocation:reset"_s, fault));

        if (fault == u"locked"_s)
            QVERIFY(kit_->control({u"condition"_s, fault}));

        ConsoleCapture capture;
        QTEST(SetLocationBackend(environment_).resetSetLocation(), "reset");
        QFETCH(QString, said);
        const QStringList lines = capture.lines();
        if (said.isEmpty())
            QCOMPARE(lines, QStringList());
        else if (fault == u"locked"_s)
            QVERIFY2(lines.contains(said), qPrintable(lines.join(u'\n')));
        else
            QVERIFY2(!lines.isEmpty() && lines.last().startsWith(said),
                     qPrintable(lines.join(u'\n')));
        QTEST(kit_->commands().contains(u"idevicesetlocation reset"_s), "ran");
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
            + kUdid + u":PORT -- FILE"_s;
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
        QTest::newRow("play: no such file, a usage error")
            << true << play << QByteArray() << QString() << QList<int>() << 2;
    }

    void kitReplay()
    {
        QFETCH(QString, command);
        QFETCH(QByteArray, gpx);
        QFETCH(QString, track);
        QFETCH(QList<int>, gaps);
        QFETCH(int, exitCode);
        QFETCH(bool, reachable);
        prepare(reachable ? u"17.3.1"_s : u"16.7"_s);
        SimDeviceKit::setTimeScale(4); // nothing else runs now
        QVERIFY(kit_->setStockSetLocation(true));
        const QString file = kit_->temporaryFolder() + u"route.gpx"_s;
        if (!gpx.isEmpty())
            QVERIFY(writeScript(file, gpx) == file);
        QStringList arguments = command.replace(u"FILE"_s, file)
                                    .replace(u"PORT"_s, QString::number(kit_->tunnelPort()))
                                    .split(u' ');

        QProcess tool;
        tool.start(kit_->toolPath(arguments.takeFirst()), arguments);
        const QStringList expected = track.split(u',', Qt::SkipEmptyParts);
        if (exitCode < 0) {
            QTRY_COMPARE_WITH_TIMEOUT(kit_->track().size(), expected.size() - 1, kPatience);
            QCOMPARE(tool.state(), QProcess::Running);
            ::kill(static_cast<pid_t>(tool.processId()), SIGINT); // SIGTERM would kill it outright
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

    // Several phones in the kit: which one each tool takes, and its words for one not plugged in.
    void kitPhones_data()
    {
        QTest::addColumn<QStringList>("setup"); // control commands; "tunneld" starts tunneld
        QTest::addColumn<QString>("command"); // "GET /": tunneld's list, until it says `said`
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("said");
        QTest::addColumn<QString>("unsaid");
        QTest::addColumn<QString>("actedOn"); // the phone whose journal has the command
        const QStringList two {u"attach --udid AAA --ios 16.7"_s, u"attach --udid BBB"_s};
        const QString userspace =
            u"pymobiledevice3 developer dvt simulate-location clear --userspace"_s;
        // clang-format off
        QTest::newRow("usbmuxd: a phone plugged in takes the first free place") << two + QStringList {u"attach --udid CCC"_s, u"detach --udid AAA"_s, u"detach --udid BBB"_s, u"attach --udid BBB"_s, u"attach --udid AAA"_s} << u"idevice_id -l"_s << 0 << u"BBB\nAAA\nCCC\n"_s << QString() << QString();
        QTest::newRow("ideviceinfo without -u: the first") << two << u"ideviceinfo -k UniqueDeviceID"_s << 0 << u"AAA\n"_s << QString() << u"AAA"_s;
        QTest::newRow("idevicesetlocation -u, not plugged in") << two << u"idevicesetlocation -u ZZZ -- 1 2"_s << 255 << u"ERROR: Device ZZZ not found!\n"_s << QString() << QString();
        QTest::newRow("go-ios without --udid: the first, and says so") << two << u"ios resetlocation --tunnel-info-port=AGENT"_s << 0 << u"\"msg\":\"no udid specified using first device in list\",\"module\":\"go-ios\",\"udid\":\"AAA\""_s << QString() << u"AAA"_s;
        QTest::newRow("go-ios --udid, not plugged in") << two << u"ios setlocation --udid=ZZZ --lat=1 --lon=2 --tunnel-info-port=AGENT"_s << 1 << u"\"msg\":\"Device not found: ZZZ\",\"err\":\"Device 'ZZZ' not found. Is it attached to the machine?\""_s << QString() << QString();
        QTest::newRow("go-ios image auto asks the agent nothing") << two << u"ios image auto --udid=BBB --tunnel-info-port=AGENT"_s << 0 << u"success mounting image"_s << u"tunnel info"_s << u"BBB"_s;
        QTest::newRow("pymobiledevice3, two phones, none named: no terminal to ask on") << two << userspace << 1 << u"Choose device: interactive selection requires a terminal. Candidates:\n  <PlistUsbmuxLockdownClient ID:AAA VERSION:16.7 TYPE:iPhone15,2 PAIRED:True>\n  <PlistUsbmuxLockdownClient ID:BBB"_s << QString() << QString();
        QTest::newRow("pymobiledevice3 --udid: that phone") << two << userspace + u" --udid BBB"_s << 0 << QString() << u"ERROR"_s << u"BBB"_s;
        QTest::newRow("pymobiledevice3 --udid, not plugged in") << two << u"pymobiledevice3 mounter auto-mount --udid ZZZ"_s << 0 << u"ERROR Device not found: ZZZ\n"_s << QString() << QString();
        QTest::newRow("tunneld tries a skipped phone again when another comes") << QStringList {u"attach --udid AAA"_s, u"condition locked --udid AAA"_s, u"tunneld"_s, u"condition none --udid AAA"_s, u"attach --udid BBB"_s} << u"GET /"_s << 0 << u"\"AAA\": ["_s << QString() << QString();
        // clang-format on
    }

    void kitPhones()
    {
        QFETCH(QStringList, setup);
        QFETCH(QString, command);
        QFETCH(QString, said);
        QFETCH(QString, unsaid);
        QFETCH(QString, actedOn);
        kit_ = std::make_unique<SimDeviceKit>();
        QVERIFY(kit_->addTool(u"ios"_s));
        for (const QString &step : setup) {
            if (step == u"tunneld"_s) {
                QVERIFY(startKitTunnel(*kit_));
                // Once tunneld answers, it has looked at the phones.
                QTRY_VERIFY_WITH_TIMEOUT(
                    tunnel::httpGet(u"127.0.0.1"_s, kit_->tunnelPort(), u"/"_s, shortTimings()),
                    kPatience);
            } else {
                QVERIFY2(kit_->control(step.split(u' ')), qPrintable(step));
            }
        }
        if (command == u"GET /"_s) {
            QTRY_VERIFY_WITH_TIMEOUT(
                tunnel::httpGet(u"127.0.0.1"_s, kit_->tunnelPort(), u"/"_s, shortTimings())
                    .value_or(tunnel::HttpAnswer {})
                    .body.contains(said.toUtf8()),
                kPatience);
            return;
        }
        const QString line = command.replace(u"AGENT"_s, QString::number(kit_->agentPort()));
        QStringList arguments = line.split(u' ');
        QProcess tool;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"udid", "GO_IOS_UDID", "PYMOBILEDEVICE3_UDID"})
            environment.remove(QString::fromLatin1(name));
        environment.insert(u"GO_IOS_AGENT_PORT"_s, QString::number(kit_->agentPort()));
        tool.setProcessEnvironment(environment);
        tool.start(kit_->toolPath(arguments.takeFirst()), arguments);
        QVERIFY(tool.waitForFinished(kPatience));
        const QString output =
            QString::fromUtf8(tool.readAllStandardOutput() + tool.readAllStandardError());
        QTEST(tool.exitCode(), "exitCode");
        QVERIFY2(output.contains(said) && (unsaid.isEmpty() || !output.contains(unsaid)),
                 qPrintable(output));
        for (const QString &udid : {u"AAA"_s, u"BBB"_s})
            QCOMPARE(kit_->controlOutput({u"journal"_s, u"--udid"_s, udid}).contains(line),
                     udid == actedOn);
    }

private:
    // A kit with its device, and the tunnel up unless the row says it is unreachable.
    void prepare(const QString &ios = u"17.3.1"_s, bool lockedForTunneld = false)
    {
        kit_ = std::make_unique<SimDeviceKit>();
        QVERIFY(kit_->attach(ios));
        if (lockedForTunneld)
            QVERIFY(kit_->control({u"condition"_s, u"locked"_s}));
        environment_ = kit_->environment();
        environment_.adminPromptCommand = {
            writeFakePrompt(kit_->resourceFolder(), QByteArrayLiteral("echo no\nexit 1\n"))};
        QFETCH(bool, reachable);
        if (reachable) {
            QVERIFY(startKitTunnel(*kit_));
            QTRY_VERIFY_WITH_TIMEOUT(portListening(kit_->tunnelPort()), kPatience);
        }
        if (lockedForTunneld) {
            // Once tunneld answers, it has looked at the phone (and left it out).
            const auto answer =
                tunnel::httpGet(u"127.0.0.1"_s, kit_->tunnelPort(), u"/"_s, environment_.timings);
            QVERIFY(answer && answer->body == "{}");
            QVERIFY(kit_->control({u"condition"_s, u"none"_s}));
        }
    }

    std::unique_ptr<SimDeviceKit> kit_;
    AppEnvironment environment_;
};

QTEST_GUILESS_MAIN(TestBackend)
#include "tst_backend.moc"
