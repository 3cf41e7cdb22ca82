// Every way a tool can misbehave, on every tool call the program makes, through the whole
// screen: the screen ends where the rules say, the event loop keeps turning while the tool
// misbehaves, and no child, zombie or descriptor is left behind.
#include "Footprint.h"
#include "ScreenSupport.h"
#include "SpoofSupport.h"
#include "platform/Dispatch.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>
#include <signal.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr int kPatience = 20000;
const QString kUdid = QString::fromLatin1(SimDeviceKit::defaultUdid);
const QString kConnected = QStringLiteral("iOS Device Connected!");
const QString kPrompt = QStringLiteral("Connect iOS Device in normal mode");
const QString kSpoofing = QStringLiteral("Spoofing location...");
const QString kUnlocking = QStringLiteral("Unlocking location...");
const QString kFailed = QStringLiteral("❌ Failed to spoof location — see console log.");
const QString kUnlocked = QStringLiteral("Location unlocked — real GPS restored.");
const QString kDisconnected = QStringLiteral("Device disconnected — location spoof ended.");

// The tool calls, each made by one operation of the screen.
enum class Call { Info, Value, Probe, Set, Reset, SimSet, SimClear, Tunneld, Shell };
enum class Fault { Missing, NoExec, Broken, ExitEarly, NonZero, NonUtf8, Huge, Hang, Slow };
// How the screen ends.
enum class End {
    Detected,
    HugeValues,
    NoValues,
    NotFound,
    ToolMissing,
    Attached,
    Gone,
    Held,
    Failed,
    Unlocked
};
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
    const QString info = QStringLiteral("ideviceinfo");
    const QString set = QStringLiteral("idevicesetlocation");
    const QString py = QStringLiteral("pymobiledevice3");
    const QStringList keys {
        info + QStringLiteral(":ProductVersion"), info + QStringLiteral(":SerialNumber"),
        info + QStringLiteral(":ProductType"), info + QStringLiteral(":UniqueDeviceID")};
    // clang-format off
    static const CallTraits table[] = { // in the order of Call
        {"ideviceinfo", info, {info}, keys, "''", Before::Detected, false},
        {"ideviceinfo -k", info, keys, {}, "'-k '*", Before::Detected, false},
        {"idevice_id -l", QStringLiteral("idevice_id"), {QStringLiteral("idevice_id")}, {}, "*",
         Before::Holding, false},
        {"idevicesetlocation --", set, {set + QStringLiteral(":set")}, {}, {}, Before::Detected,
         false},
        {"idevicesetlocation reset", set, {set + QStringLiteral(":reset")}, {}, "reset",
         Before::Holding, false},
        {"pymobiledevice3 set", py, {py + QStringLiteral(":set")}, {}, {}, Before::Detected, true},
        {"pymobiledevice3 clear", py, {py + QStringLiteral(":clear")}, {}, "*' clear '*",
         Before::Holding, true},
        {"pymobiledevice3 remote tunneld", py, {py + QStringLiteral(":tunneld")}, {},
         "'remote tunneld -d'", Before::Detected, true},
        {"start-up shell", QStringLiteral("sh"), {}, {}, "*", Before::Nothing, false},
    };
    // clang-format on
    return table[static_cast<int>(call)];
}

// The same misbehaviour as the kit's faults, in a shell script put in front of a tool, for the
// calls the kit cannot fault on its own.
QByteArray scriptedFault(Fault fault)
{
    switch (fault) {
    case Fault::ExitEarly:
        return "exit 0";
    case Fault::NonZero:
        return "echo 'ERROR: simulated failure' >&2; exit 1";
    case Fault::NonUtf8:
        return "printf 'ERROR: \\377\\376 bad bytes\\n'; exit 1";
    case Fault::Huge:
        return "head -c 1048576 /dev/zero | tr '\\0' x";
    case Fault::Hang:
        return "exec sleep 600";
    case Fault::Slow:
        return "sleep 0.3";
    default:
        return {};
    }
}

// Moves the tool aside and puts a script in its place that misbehaves on the calls matching
// `only` and hands every other call to the tool.
void interpose(const SimDeviceKit &kit, const QString &tool, const QByteArray &only, Fault fault)
{
    const QString aside = kit.toolsDirectory() + QStringLiteral("/aside/");
    QDir().mkpath(aside);
    QFile::rename(kit.toolPath(tool), aside + tool);
    writeScript(kit.toolPath(tool),
                "#!/bin/sh\ncase \"$*\" in\n" + only + ") " + scriptedFault(fault)
                    + " ;;\nesac\nexport SIMDEVICE_STATE='" + QFile::encodeName(kit.stateFolder())
                    + "'\nexec '" + QFile::encodeName(aside + tool) + "' \"$@\"\n");
}

bool inject(const SimDeviceKit &kit, Call call, Fault fault)
{
    const CallTraits &t = traits(call);
    const QString path = kit.toolPath(t.tool);
    switch (fault) {
    case Fault::Missing:
        kit.removeTool(t.tool);
        return !QFile::exists(path);
    case Fault::NoExec:
        return QFile::setPermissions(
            path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    case Fault::Broken:
        kit.removeTool(t.tool); // a new file: a running daemon keeps the old one busy
        kit.breakTool(t.tool);
        return QFile::exists(path);
    default:
        break;
    }
    const bool kitCanDoIt =
        !t.selectors.isEmpty() && (fault != Fault::ExitEarly || t.only.isEmpty());
    if (!kitCanDoIt) {
        interpose(kit, t.tool, t.only, fault);
        return true;
    }
    static const QMap<Fault, QString> kinds {{Fault::ExitEarly, QStringLiteral("exit-early")},
                                             {Fault::NonZero, QStringLiteral("exit-nonzero")},
                                             {Fault::NonUtf8, QStringLiteral("non-utf8")},
                                             {Fault::Huge, QStringLiteral("huge")},
                                             {Fault::Hang, QStringLiteral("hang")},
                                             {Fault::Slow, QStringLiteral("slow")}};
    bool ok = true;
    for (const QString &selector : t.selectors)
        ok = kit.fault(selector, kinds[fault], fault == Fault::Slow ? 300 : 0) && ok;
    for (const QString &selector : t.spared)
        ok = kit.fault(selector, QStringLiteral("slow"), 0) && ok;
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
        const QString stopped = QStringLiteral("❌ %1 did not finish within 0.8 s and was stopped");
        const QString early = QStringLiteral("❌ %1 exited early: ");
        const QString simulated = QStringLiteral("ERROR: simulated failure\n");
        const QString notFound = QStringLiteral("No device detected :(");
        const QString promptFailed =
            QStringLiteral("❌ Failed to start tunneld (password prompt may have been cancelled): ");
        const QString noPy = QStringLiteral("❌ pymobiledevice3 not found in bundled tools");

        row(Info, Missing, ToolMissing,
            QStringLiteral("❌ ERROR: ideviceinfo missing from app bundle"));
        row(Info, NoExec, Detected, QStringLiteral("✓ Device detected"));
        row(Info, Broken, NotFound,
            QStringLiteral("❌ Error running ideviceinfo: Exec format error"));
        row(Info, ExitEarly, NotFound, notFound);
        row(Info, NonZero, NotFound, notFound);
        row(Info, NonUtf8, NotFound, notFound);
        row(Info, Huge, Detected, QStringLiteral("✓ Device detected"));
        row(Info, Hang, NotFound, stopped.arg(QStringLiteral("ideviceinfo")));
        row(Info, Slow, Detected, QStringLiteral("✓ Device detected"));

        // The tool file is the same as above: only the faults of a call of its own.
        row(Value, ExitEarly, NoValues, QStringLiteral("UniqueDeviceID: "));
        row(Value, NonZero, NoValues, QStringLiteral("Error getting UniqueDeviceID:"));
        row(Value, NonUtf8, NoValues, QStringLiteral("Error getting UniqueDeviceID:"));
        row(Value, Huge, HugeValues, {});
        row(Value, Hang, NoValues, stopped.arg(QStringLiteral("ideviceinfo")));
        row(Value, Slow, Detected, QStringLiteral("UniqueDeviceID: ") + kUdid);

        // A probe that fails means the device is gone, which ends the held location; one that
        // times out says nothing about the device.
        row(Probe, Missing, Gone, QStringLiteral("❌ Bundled tool not found: idevice_id"));
        row(Probe, NoExec, Attached, {});
        row(Probe, Broken, Gone, QStringLiteral("❌ Error running idevice_id: Exec format error"));
        row(Probe, ExitEarly, Gone, {});
        row(Probe, NonZero, Gone, {});
        row(Probe, NonUtf8, Gone, {});
        row(Probe, Huge, Attached, {});
        row(Probe, Hang, Attached, stopped.arg(QStringLiteral("idevice_id")));
        row(Probe, Slow, Attached, {});

        // A set command that still runs after the wait holds the location, whatever it did.
        const QString setEarly = early.arg(QStringLiteral("idevicesetlocation"));
        row(Set, Missing, Failed,
            QStringLiteral("❌ idevicesetlocation not found in bundled tools"));
        row(Set, NoExec, Held, {});
        row(Set, Broken, Failed,
            QStringLiteral("❌ Error launching idevicesetlocation: Exec format error"));
        row(Set, ExitEarly, Failed, setEarly);
        row(Set, NonZero, Failed, setEarly + simulated);
        row(Set, NonUtf8, Failed, setEarly);
        row(Set, Huge, Held, QString(1023, u'x'));
        row(Set, Hang, Held, {});
        row(Set, Slow, Held, {});

        // Unlocking always ends unlocked; a reset reports nothing.
        for (Fault fault : {Missing, NoExec, Broken, ExitEarly, NonZero, NonUtf8, Huge, Hang, Slow})
            row(Reset, fault, Unlocked, {});

        const QString simEarly = early.arg(QStringLiteral("simulate-location set"));
        row(SimSet, Missing, Failed, noPy);
        row(SimSet, NoExec, Held, {});
        row(SimSet, Broken, Failed,
            QStringLiteral("❌ Error launching simulate-location set: Exec format error"));
        row(SimSet, ExitEarly, Failed, simEarly);
        row(SimSet, NonZero, Failed, simEarly + simulated);
        row(SimSet, NonUtf8, Failed, simEarly);
        row(SimSet, Huge, Held, QString(1023, u'x'));
        row(SimSet, Hang, Held, {});
        row(SimSet, Slow, Held, {});

        const QString clearFailed = QStringLiteral("❌ simulate-location clear failed (exit 1)");
        row(SimClear, Missing, Unlocked,
            QStringLiteral("❌ Bundled tool not found: pymobiledevice3"));
        row(SimClear, NoExec, Unlocked, {});
        row(SimClear, Broken, Unlocked,
            QStringLiteral("❌ Error running pymobiledevice3: Exec format error"));
        row(SimClear, ExitEarly, Unlocked, {});
        row(SimClear, NonZero, Unlocked, clearFailed);
        row(SimClear, NonUtf8, Unlocked, clearFailed);
        row(SimClear, Huge, Unlocked, {});
        row(SimClear, Hang, Unlocked, stopped.arg(QStringLiteral("pymobiledevice3")));
        row(SimClear, Slow, Unlocked, {});

        // The daemon's start command runs inside the password prompt, which is waited for as
        // long as it stays open: a hung start is ended by cancelling the prompt.
        row(Tunneld, Missing, Failed, noPy);
        row(Tunneld, NoExec, Held, {});
        row(Tunneld, Broken, Failed, promptFailed);
        row(Tunneld, ExitEarly, Failed,
            QStringLiteral("❌ tunneld did not become reachable in time — check *"));
        row(Tunneld, NonZero, Failed, promptFailed);
        row(Tunneld, NonUtf8, Failed, promptFailed);
        row(Tunneld, Huge, Held, {});
        row(Tunneld, Hang, Failed, promptFailed);
        row(Tunneld, Slow, Held, {});

        // The start-up shell blocks the GUI thread by design, within its deadline, and
        // whatever it does the monitor starts and finds the device.
        row(Shell, Missing, Detected, QStringLiteral("Error: No such file or directory"));
        row(Shell, NoExec, Detected, QStringLiteral("Error: Permission denied"));
        row(Shell, Broken, Detected, QStringLiteral("Error: Exec format error"));
        for (Fault fault : {ExitEarly, NonZero, NonUtf8, Huge, Slow})
            row(Shell, fault, Detected, {});
        row(Shell, Hang, Detected, stopped.arg(QStringLiteral("*")));
    }

    void everyFaultOnEveryCall()
    {
        QFETCH(Call, call);
        QFETCH(Fault, fault);
        QFETCH(End, end);
        QFETCH(QString, line);
        const CallTraits &t = traits(call);

        SimDeviceKit kit;
        QVERIFY(kit.isValid());
        QVERIFY(kit.attach(t.tunnel ? QStringLiteral("17.4.1") : QStringLiteral("16.7.10")));
        Timings timings = shortTimings();
        timings.toolDeadline = timings.startupShellDeadline = 800ms;
        timings.tunnelWindow = 1500ms;
        AppEnvironment environment = kit.environment(timings);
        environment.adminPromptCommand = {writeFakePrompt(kit.resourceFolder(), kPromptRunsScript)};
        environment.shell =
            writeScript(kit.toolPath(QStringLiteral("sh")), "#!/bin/sh\nexec /bin/sh \"$@\"\n");
        if (t.tunnel && call != Call::Tunneld)
            QVERIFY(startKitTunnel(kit));
        Screen screen(environment);

        // Up to the faulty call, all is well.
        const Footprint before = Footprint::now();
        if (t.before != Before::Nothing) {
            QVERIFY(screen.bringUp(kPatience));
            QVERIFY(screen.quiet(kPatience));
            QCoreApplication::processEvents();
        }
        const Footprint baseline = t.before == Before::Nothing ? before : Footprint::now();
        QVERIFY(ProcessCensus::children().isEmpty());
        if (t.before == Before::Holding)
            QVERIFY(screen.hold(kPatience));
        QVERIFY(inject(kit, call, fault));

        // The operation that makes the call, watched by events that must run meanwhile.
        const auto busy = [&] {
            const ScreenState &s = screen.state();
            switch (call) {
            case Call::Info:
            case Call::Value:
                return screen.detector.isDetecting();
            case Call::Probe:
                return s.isPollingDeviceAttachment;
            case Call::Shell:
                return !s.wasDeviceAttached || screen.detector.isDetecting();
            default:
                return s.lockStatusText == kSpoofing || s.lockStatusText == kUnlocking;
            }
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
            switch (call) {
            case Call::Info:
            case Call::Value:
                screen.detector.startDeviceDetection();
                break;
            case Call::Probe:
                screen.monitor.pollDeviceAttachment();
                break;
            case Call::Shell:
                screen.model.runStartupSequence();
                break;
            default:
                screen.spoof.toggleLocationLock();
                break;
            }
            if (call == Call::Tunneld && fault == Fault::Hang) {
                // The prompt stays open while the daemon's start hangs; the user cancels it.
                waitedForPrompt =
                    QTest::qWaitFor(
                        [&] { return !processesRunningFrom(kit.toolsDirectory()).isEmpty(); },
                        kPatience)
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
        if (call != Call::Shell)
            QVERIFY2(busyTurns > 0, "the event loop did not turn during the operation");
        if (fault == Fault::Hang && call != Call::Shell)
            QVERIFY2(turnsWhileToolRuns > 0, "the event loop did not turn while the tool hung");
        QVERIFY(screen.quiet(kPatience));
        QCoreApplication::processEvents();

        checkEnd(screen, end, t.tunnel);
        if (!line.isEmpty()) {
            QStringList pieces = line.split(u'*');
            for (QString &piece : pieces)
                piece = QRegularExpression::escape(piece);
            const QRegularExpression pattern(
                QRegularExpression::anchoredPattern(pieces.join(QStringLiteral(".*"))));
            QVERIFY2(lines.indexOf(pattern) >= 0,
                     qPrintable(line + QStringLiteral(" not in: ") + lines.join(u'|').left(2000)));
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
        QTRY_VERIFY2_WITH_TIMEOUT(Footprint::now().ownDescriptors() == baseline.ownDescriptors(),
                                  qPrintable(baseline.describe() + QStringLiteral(" before, now ")
                                             + Footprint::now().describe()),
                                  kPatience);
        kit.stopTunnel();
        QTRY_VERIFY_WITH_TIMEOUT(processesRunningFrom(kit.resourceFolder()).isEmpty(), kPatience);
    }

private:
    static void row(Call call, Fault fault, End end, const QString &line)
    {
        static const char *const faults[] = {
            "missing",   "no execute bit",     "launch failure", "early exit", "non-zero exit",
            "not UTF-8", "megabyte of output", "hang",           "slow start"};
        QTest::addRow("%s: %s", traits(call).name, faults[int(fault)])
            << call << fault << end << line;
    }

    static void checkEnd(const Screen &screen, End end, bool tunnel)
    {
        const ScreenState &s = screen.state();
        const QStringList device {tunnel ? QStringLiteral("17.4.1") : QStringLiteral("16.7.10"),
                                  QStringLiteral("F2LZK0ABCDEF"), QStringLiteral("iPhone15,2"),
                                  kUdid};
        const QStringList shown {s.deviceiosLabelText, s.serialnumberLabelText,
                                 s.productTypeLabelText, s.udidLabelText};
        const QStringList none(4);
        const QString held = heldText(kDefaultPinCoordinate);
        switch (end) {
        case End::Detected:
        case End::NoValues:
        case End::HugeValues:
            QCOMPARE(s.statusLabelText, kConnected);
            QVERIFY(!s.disabledLockButton && !s.disabledDetectButtonSafety);
            if (end == End::HugeValues) {
                for (qsizetype i = 0; i < 4; ++i)
                    QVERIFY(shown[i].size() > 1000000 && shown[i].endsWith(device[i]));
            } else {
                QCOMPARE(shown, end == End::Detected ? device : none);
            }
            break;
        case End::NotFound:
        case End::ToolMissing:
            QCOMPARE(s.statusLabelText,
                     end == End::NotFound
                         ? kPrompt
                         : QStringLiteral("Error: ideviceinfo missing from app bundle!"));
            QCOMPARE(shown, none);
            QVERIFY(s.disabledLockButton && !s.disabledDetectButtonSafety);
            break;
        case End::Attached:
            QVERIFY(s.wasDeviceAttached);
            QCOMPARE(s.statusLabelText, kConnected);
            QCOMPARE(shown, device);
            QCOMPARE(s.lockStatusText, held);
            QVERIFY(s.isLocationLocked && s.locationProcess && s.locationProcess->isRunning());
            break;
        case End::Gone:
            QVERIFY(!s.wasDeviceAttached);
            QCOMPARE(s.statusLabelText, kPrompt);
            QCOMPARE(s.statusIMGText, QStringLiteral("iphone16"));
            QCOMPARE(shown, none);
            QCOMPARE(s.lockStatusText, kDisconnected);
            QVERIFY(s.disabledLockButton && !s.isLocationLocked && !s.locationProcess);
            break;
        case End::Held:
            QCOMPARE(s.lockStatusText, held);
            QVERIFY(s.isLocationLocked && s.locationProcess && s.locationProcess->isRunning());
            QVERIFY(!s.disabledLockButton && !s.disabledDetectButtonSafety);
            break;
        case End::Failed:
        case End::Unlocked:
            QCOMPARE(s.lockStatusText, end == End::Failed ? kFailed : kUnlocked);
            QVERIFY(!s.isLocationLocked && !s.locationProcess);
            QVERIFY(!s.disabledLockButton && !s.disabledDetectButtonSafety);
            break;
        }
    }
};

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
