// Every way a tool can misbehave, on every tool call the program makes, through the whole
// screen: the screen ends where the rules say, the event loop keeps turning while the tool
// misbehaves, and no child, zombie or descriptor is left behind.
#include "Footprint.h"
#include "ScreenSupport.h"
#include "SpoofSupport.h"
#include "platform/Dispatch.h"
#include "spoof/LocationBackends.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>
#include <signal.h>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

constexpr int kPatience = 20000;
const QString kUdid = QString::fromLatin1(SimDeviceKit::defaultUdid);
const QString kConnected = u"iOS Device Connected!"_s;
const QString kPrompt = u"Connect iOS Device in normal mode"_s;

// The tool calls, each made by one operation of the screen.
enum class Call { Info, Value, Probe, Set, Reset, SimSet, SimClear, Tunneld, Shell };
enum class Fault { Missing, NoExec, Broken, ExitEarly, NonZero, NonUtf8, Huge, Hang, Slow };
// How the screen ends.
// clang-format off
enum class End { Detected, HugeValues, NoValues, NotFound, ToolMissing, Attached, Gone, Held,
                 Failed, Unlocked, UnlockFailed };
// clang-format on
// What the screen does before the faulty call.
enum class Before { Nothing, Detected, Holding };

struct CallTraits
{
    const char *name;
    QString tool; // file in the tool folder; the start-up shell is put there too
    QStringList selectors; // the kit's fault selectors that reach this call
    QStringList spared; // selectors of the same tool's other calls, kept healthy
    QByteArray only; // a `case` pattern of "$*" for this call, to make it end early
    Before before;
    bool tunnel; // iOS 17 (tunnel chain) rather than 16
};

const CallTraits &traits(Call call)
{
    const QString info = u"ideviceinfo"_s, set = u"idevicesetlocation"_s, py = u"pymobiledevice3"_s;
    const QStringList keys {info + u":ProductVersion"_s, info + u":SerialNumber"_s,
                            info + u":ProductType"_s, info + u":UniqueDeviceID"_s};
    // clang-format off
    static const CallTraits table[] = { // in the order of Call
        {"ideviceinfo", info, {info}, keys, "'-u '???????\?-????????????????", Before::Detected, false},
        {"ideviceinfo -k", info, keys, {}, "'-u '*' -k '*", Before::Detected, false},
        {"idevice_id -l", u"idevice_id"_s, {u"idevice_id"_s}, {}, "*", Before::Holding, false},
        {"idevicesetlocation --", set, {set + u":set"_s}, {}, {}, Before::Detected, false},
        {"idevicesetlocation reset", set, {set + u":reset"_s}, {}, "reset", Before::Holding, false},
        {"pymobiledevice3 set", py, {py + u":set"_s}, {}, {}, Before::Detected, true},
        {"pymobiledevice3 clear", py, {py + u":clear"_s}, {}, "*' clear '*", Before::Holding, true},
        {"pymobiledevice3 remote tunneld", py, {py + u":tunneld"_s}, {}, "'remote tunneld -d'",
         Before::Detected, true},
        {"start-up shell", u"sh"_s, {}, {}, "*", Before::Nothing, false},
    };
    // clang-format on
    return table[static_cast<int>(call)];
}

// Each fault: its row name, the kit's name for it, and the same misbehaviour as shell, for
// the calls the kit cannot fault.
struct FaultTraits
{
    const char *name, *kind, *script;
};
// clang-format off
const FaultTraits kFaults[] = { // in the order of Fault
    {"missing", "", ""}, {"no execute bit", "", ""}, {"launch failure", "", ""},
    {"early exit", "exit-early", "exit 0"},
    {"non-zero exit", "exit-nonzero", "echo 'ERROR: simulated failure' >&2; exit 1"},
    {"not UTF-8", "non-utf8", "printf 'ERROR: \\377\\376 bad bytes\\n'; exit 1"},
    {"megabyte of output", "huge", "head -c 1048576 /dev/zero | tr '\\0' x"},
    {"hang", "hang", "exec sleep 600"}, {"slow start", "slow", "sleep 0.3"},
};
// clang-format on

bool inject(const SimDeviceKit &kit, Call call, Fault fault)
{
    const CallTraits &t = traits(call);
    const QString path = kit.toolPath(t.tool);
    switch (fault) {
    case Fault::Missing:
        kit.removeTool(t.tool);
        return !QFile::exists(path);
    case Fault::NoExec:
        return QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
    case Fault::Broken:
        kit.removeTool(t.tool); // a new file: a running daemon keeps the old one busy
        kit.breakTool(t.tool);
        return QFile::exists(path);
    default:
        break;
    }
    if (t.selectors.isEmpty() || (fault == Fault::ExitEarly && !t.only.isEmpty())) {
        // Moves the tool aside and puts a script in its place that misbehaves on the calls
        // matching `only` and hands every other call to the tool.
        const QString aside = kit.toolsDirectory() + u"/aside/"_s;
        QDir().mkpath(aside);
        QFile::rename(path, aside + t.tool);
        writeScript(path,
                    "#!/bin/sh\ncase \"$*\" in\n" + t.only + ") " + kFaults[int(fault)].script
                        + " ;;\nesac\nexport SIMDEVICE_STATE='"
                        + QFile::encodeName(kit.stateFolder()) + "'\nexec '"
                        + QFile::encodeName(aside + t.tool) + "' \"$@\"\n");
        return true;
    }
    bool ok = true;
    for (const QString &selector : t.selectors)
        ok = kit.fault(selector, QLatin1String(kFaults[int(fault)].kind),
                       fault == Fault::Slow ? 300 : 0)
            && ok;
    for (const QString &selector : t.spared)
        ok = kit.fault(selector, u"slow"_s, 0) && ok;
    return ok;
}

} // namespace

Q_DECLARE_METATYPE(Call)
Q_DECLARE_METATYPE(Fault)
Q_DECLARE_METATYPE(End)

class TestFaults : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void everyFaultOnEveryCall_data()
    {
        QTest::addColumn<Call>("call");
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<End>("end");
        QTest::addColumn<QString>("line"); // a console line that must appear ("*": any text)

        using enum Call;
        using enum Fault;
        using enum End;
        const QString stopped = u"❌ %1 did not finish within 0.8 s and was stopped"_s;
        const QString early = u"❌ %1 exited early: "_s;
        const QString simulated = u"ERROR: simulated failure\n"_s;
        const QString notFound = u"No device detected :("_s;
        const QString detected = u"✓ Device detected"_s;
        const QString promptFailed =
            u"❌ Failed to start tunneld (password prompt may have been cancelled): "_s;
        // Without pymobiledevice3 (and without go-ios) the console says what to install.
        const QString noPy = kNoIosChainLine;

        row(Info, Missing, ToolMissing, u"❌ ERROR: ideviceinfo missing from app bundle"_s);
        row(Info, NoExec, Detected, detected);
        row(Info, Broken, NotFound, u"❌ Error running ideviceinfo: Exec format error"_s);
        for (Fault fault : {ExitEarly, NonZero, NonUtf8})
            row(Info, fault, NotFound, notFound);
        row(Info, Huge, Detected, detected);
        row(Info, Hang, NotFound, stopped.arg(u"ideviceinfo"_s));
        row(Info, Slow, Detected, detected);

        // The tool file is the same as above: only the faults of a call of its own.
        row(Value, ExitEarly, NoValues, u"UniqueDeviceID: "_s);
        row(Value, NonZero, NoValues, u"Error getting UniqueDeviceID:"_s);
        row(Value, NonUtf8, NoValues, u"Error getting UniqueDeviceID:"_s);
        row(Value, Huge, HugeValues, {});
        row(Value, Hang, NoValues, stopped.arg(u"ideviceinfo"_s));
        row(Value, Slow, Detected, u"UniqueDeviceID: "_s + kUdid);

        // A probe that fails means the device is gone, which ends the held location; one that
        // times out says nothing about the device.
        row(Probe, Missing, Gone, u"❌ Bundled tool not found: idevice_id"_s);
        row(Probe, Broken, Gone, u"❌ Error running idevice_id: Exec format error"_s);
        for (Fault fault : {ExitEarly, NonZero, NonUtf8})
            row(Probe, fault, Gone, {});
        for (Fault fault : {NoExec, Huge, Slow})
            row(Probe, fault, Attached, {});
        row(Probe, Hang, Attached, stopped.arg(u"idevice_id"_s));

        // A set command that still runs after the wait holds the location, whatever it did.
        const QString setEarly = early.arg(u"idevicesetlocation"_s);
        row(Set, Missing, Failed, u"❌ idevicesetlocation not found in bundled tools"_s);
        row(Set, Broken, Failed, u"❌ Error launching idevicesetlocation: Exec format error"_s);
        row(Set, ExitEarly, Failed, setEarly);
        row(Set, NonZero, Failed, setEarly + simulated);
        row(Set, NonUtf8, Failed, setEarly);
        row(Set, Huge, Held, QString(1023, u'x'));
        for (Fault fault : {NoExec, Hang, Slow})
            row(Set, fault, Held, {});

        // Unlocked only when the tool says so: otherwise the location stays held, and the
        // console says why.
        row(Reset, Missing, UnlockFailed, u"❌ idevicesetlocation not found in bundled tools"_s);
        row(Reset, Broken, UnlockFailed,
            u"❌ Error running idevicesetlocation: Exec format error"_s);
        for (Fault fault : {NonZero, NonUtf8})
            row(Reset, fault, UnlockFailed, u"❌ idevicesetlocation reset failed (exit 1)*"_s);
        row(Reset, Hang, UnlockFailed, stopped.arg(u"idevicesetlocation"_s));
        for (Fault fault : {NoExec, ExitEarly, Huge, Slow})
            row(Reset, fault, Unlocked, {});

        const QString simEarly = early.arg(u"simulate-location set"_s);
        row(SimSet, Missing, Failed, noPy);
        row(SimSet, Broken, Failed,
            u"❌ Error launching simulate-location set: Exec format error"_s);
        row(SimSet, ExitEarly, Failed, simEarly);
        row(SimSet, NonZero, Failed, simEarly + simulated.trimmed());
        row(SimSet, NonUtf8, Failed, simEarly);
        row(SimSet, Huge, Held, QString(1023, u'x'));
        // Still running is not enough: it must say the phone took the location.
        row(SimSet, Hang, Failed, u"❌ simulate-location set did not confirm within 1.5 s: "_s);
        for (Fault fault : {NoExec, Slow})
            row(SimSet, fault, Held, {});

        const QString clearFailed = u"❌ simulate-location clear failed (exit 1)*"_s;
        row(SimClear, Missing, UnlockFailed, noPy);
        row(SimClear, Broken, UnlockFailed, u"Error: Exec format error"_s);
        row(SimClear, NonZero, UnlockFailed, clearFailed);
        row(SimClear, NonUtf8, UnlockFailed, clearFailed);
        row(SimClear, Hang, UnlockFailed, stopped.arg(u"*pymobiledevice3"_s));
        for (Fault fault : {NoExec, ExitEarly, Huge, Slow})
            row(SimClear, fault, Unlocked, {});

        // The daemon's start command runs inside the password prompt, which is waited for as
        // long as it stays open: a hung start is ended by cancelling the prompt.
        row(Tunneld, Missing, Failed, noPy);
        row(Tunneld, ExitEarly, Failed, u"❌ tunneld did not become reachable in time — check *"_s);
        for (Fault fault : {Broken, NonZero, NonUtf8, Hang})
            row(Tunneld, fault, Failed, promptFailed);
        for (Fault fault : {NoExec, Huge, Slow})
            row(Tunneld, fault, Held, {});

        // The start-up shell blocks the GUI thread by design, within its deadline, and
        // whatever it does the monitor starts and finds the device.
        row(Shell, Missing, Detected, u"Error: No such file or directory"_s);
        row(Shell, NoExec, Detected, u"Error: Permission denied"_s);
        row(Shell, Broken, Detected, u"Error: Exec format error"_s);
        for (Fault fault : {ExitEarly, NonZero, NonUtf8, Huge, Slow})
            row(Shell, fault, Detected, {});
        row(Shell, Hang, Detected, stopped.arg(u"*"_s));
    }

    void everyFaultOnEveryCall()
    {
        QFETCH(Call, call);
        QFETCH(Fault, fault);
        QFETCH(QString, line);
        const CallTraits &t = traits(call);

        SimDeviceKit kit;
        // pymobiledevice3 needs tunneld for 17.0 to 17.3.
        QVERIFY(kit.attach(t.tunnel ? u"17.3.1"_s : u"16.7.10"_s));
        Timings timings = shortTimings();
        timings.toolDeadline = timings.startupShellDeadline = 800ms;
        timings.tunnelWindow = 1500ms;
        AppEnvironment environment = kit.environment(timings);
        environment.adminPromptCommand = {writeFakePrompt(kit.resourceFolder(), kPromptRunsScript)};
        environment.shell = writeScript(kit.toolPath(u"sh"_s), "#!/bin/sh\nexec /bin/sh \"$@\"\n");
        if (t.tunnel && call != Call::Tunneld)
            QVERIFY(startKitTunnel(kit));
        Screen screen(environment);

        // Up to the faulty call, all is well.
        Footprint baseline = Footprint::now();
        if (t.before != Before::Nothing) {
            QVERIFY(screen.bringUp(kPatience) && screen.quiet(kPatience));
            QCoreApplication::processEvents();
            baseline = Footprint::now();
        }
        QVERIFY(ProcessCensus::children().isEmpty());
        if (t.before == Before::Holding)
            QVERIFY(screen.hold(kPatience));
        QVERIFY(inject(kit, call, fault));

        // The operation that makes the call, watched by events that must run meanwhile.
        const bool detects = call == Call::Info || call == Call::Value || call == Call::Shell;
        const auto busy = [&] {
            const ScreenState &s = screen.state();
            if (call == Call::Probe)
                return s.isPollingDeviceAttachment;
            if (detects)
                return screen.detector.isDetecting()
                    || (call == Call::Shell && !s.wasDeviceAttached);
            return s.lockStatusText == u"Spoofing location..."_s
                || s.lockStatusText == u"Unlocking location..."_s;
        };
        const qsizetype childrenBefore = ProcessCensus::children().size();
        int busyTurns = 0;
        int turnsWhileToolRuns = 0;
        QTimer pulse;
        connect(&pulse, &QTimer::timeout, this, [&] {
            if (!busy())
                return;
            ++busyTurns;
            if (fault == Fault::Hang && ProcessCensus::children().size() > childrenBefore)
                ++turnsWhileToolRuns;
        });
        ConsoleCapture console;
        bool waitedForPrompt = true;
        bool ended = false;
        {
            const QuietStandardOutput quiet;
            pulse.start(10ms);
            // Queued ahead of anything the operation's background work can post: it runs once
            // the call below has returned and before any result is applied, so it sees the
            // operation under way unless that call waited for the tool itself.
            QTimer::singleShot(0, this, [&] { busyTurns += busy() ? 1 : 0; });
            if (call == Call::Info || call == Call::Value)
                screen.detector.startDeviceDetection();
            else if (call == Call::Probe)
                screen.monitor.pollDeviceAttachment();
            else if (call == Call::Shell)
                screen.model.runStartupSequence();
            else
                screen.spoof.toggleLocationLock();
            if (call == Call::Tunneld && fault == Fault::Hang) {
                // The prompt stays open while the daemon's start hangs; the user cancels it.
                const auto running = [&] {
                    return !processesRunningFrom(kit.toolsDirectory()).isEmpty();
                };
                waitedForPrompt = QTest::qWaitFor(running, kPatience)
                    && QTest::qWaitFor([&] { return turnsWhileToolRuns > 0; }, kPatience) && busy();
                for (pid_t pid : processesRunningFrom(kit.toolsDirectory()))
                    kill(pid, SIGTERM);
            }
            ended = QTest::qWaitFor([&] { return !busy(); }, kPatience);
            pulse.stop();
        }
        const QStringList lines = console.lines();
        QVERIFY2(waitedForPrompt, "the spoof did not wait for the open prompt");
        QVERIFY2(ended, "the operation never ended");
        QVERIFY2(call == Call::Shell || busyTurns > 0, "the event loop did not turn meanwhile");
        QVERIFY2(fault != Fault::Hang || call == Call::Shell || turnsWhileToolRuns > 0,
                 "the event loop did not turn while the tool hung");
        QVERIFY(screen.quiet(kPatience));
        QCoreApplication::processEvents();

        checkEnd(screen.state(), t.tunnel);
        if (!line.isEmpty()) {
            QStringList pieces = line.split(u'*');
            for (QString &piece : pieces)
                piece = QRegularExpression::escape(piece);
            const QRegularExpression pattern(
                QRegularExpression::anchoredPattern(pieces.join(u".*"_s)));
            QVERIFY2(lines.indexOf(pattern) >= 0, qPrintable(lines.join(u'|').left(2000)));
        }

        // Only the process that holds the location may still run, and nothing below it.
        const ChildProcess *holding = screen.state().locationProcess.get();
        const QList<pid_t> held = holding ? QList<pid_t> {holding->processId()} : QList<pid_t> {};
        QTRY_COMPARE_WITH_TIMEOUT(ProcessCensus::children(), held, kPatience);
        QCOMPARE(ProcessCensus::zombieChildren(), 0);

        // Once the screen goes away, everything of this run is gone.
        screen.model.stopBackgroundWork();
        QVERIFY(dispatch::waitForBackgroundWork(kPatience));
        QTRY_VERIFY_WITH_TIMEOUT(ProcessCensus::descendantsOf(getpid()).isEmpty(), kPatience);
        QTRY_VERIFY2_WITH_TIMEOUT(
            Footprint::now().ownDescriptors() == baseline.ownDescriptors(),
            qPrintable(baseline.describe() + u" before, now "_s + Footprint::now().describe()),
            kPatience);
        kit.stopTunnel();
        QTRY_VERIFY_WITH_TIMEOUT(processesRunningFrom(kit.resourceFolder()).isEmpty(), kPatience);
    }

private:
    static void row(Call call, Fault fault, End end, const QString &line)
    {
        QTest::addRow("%s: %s", traits(call).name, kFaults[int(fault)].name)
            << call << fault << end << line;
    }

    static void checkEnd(const ScreenState &s, bool tunnel)
    {
        QFETCH(End, end);
        const QStringList device {tunnel ? u"17.3.1"_s : u"16.7.10"_s, u"F2LZK0ABCDEF"_s,
                                  u"iPhone15,2"_s, kUdid};
        const QStringList shown {s.deviceiosLabelText, s.serialnumberLabelText,
                                 s.productTypeLabelText, s.udidLabelText};
        const bool held = s.isLocationLocked && s.locationProcess && s.locationProcess->isRunning();
        const bool idle = !s.disabledLockButton && !s.disabledDetectButtonSafety;
        switch (end) {
        case End::Detected:
        case End::NoValues:
            QCOMPARE(shown, end == End::Detected ? device : QStringList(4));
            [[fallthrough]];
        case End::HugeValues:
            QCOMPARE(s.statusLabelText, kConnected);
            QVERIFY(idle);
            for (qsizetype i = 0; end == End::HugeValues && i < 4; ++i)
                QVERIFY(shown[i].size() > 1000000 && shown[i].endsWith(device[i]));
            break;
        case End::NotFound:
        case End::ToolMissing:
            QCOMPARE(s.statusLabelText,
                     end == End::NotFound ? kPrompt
                                          : u"Error: ideviceinfo missing from app bundle!"_s);
            QCOMPARE(shown, QStringList(4));
            QVERIFY(s.disabledLockButton && !s.disabledDetectButtonSafety);
            break;
        case End::Attached:
            QVERIFY(s.wasDeviceAttached && held);
            QCOMPARE(s.statusLabelText, kConnected);
            QCOMPARE(shown, device);
            QCOMPARE(s.lockStatusText, heldText(kDefaultPinCoordinate));
            break;
        case End::Gone:
            QVERIFY(!s.wasDeviceAttached);
            QCOMPARE(s.statusLabelText + s.statusIMGText, kPrompt + u"iphone16"_s);
            QCOMPARE(shown, QStringList(4));
            QCOMPARE(s.lockStatusText, u"Device disconnected — location spoof ended."_s);
            QVERIFY(s.disabledLockButton && !s.isLocationLocked && !s.locationProcess);
            break;
        case End::Held:
            QCOMPARE(s.lockStatusText, heldText(kDefaultPinCoordinate));
            QVERIFY(held && idle);
            break;
        case End::UnlockFailed:
            QCOMPARE(
                s.lockStatusText,
                u"❌ The iPhone did not confirm its real location is back — see console log."_s);
            QVERIFY(s.isLocationLocked && idle);
            break;
        case End::Failed:
        case End::Unlocked:
            QCOMPARE(s.lockStatusText,
                     end == End::Failed ? u"❌ Failed to spoof location — see console log."_s
                                        : u"Location unlocked — real GPS restored."_s);
            QVERIFY(!s.isLocationLocked && !s.locationProcess && idle);
            break;
        }
    }
};

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
