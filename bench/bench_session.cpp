// A whole session with the window, in-process and offscreen, against the simulated device kit
// with the program's own waits (the default Timings: 2 s poll, 2.5 s and 1 s start waits):
//
// - GUI-thread responsiveness: a 1 ms timer runs throughout; its lateness is how long the event
//   loop was kept from it. For each step (a detection, a spoof, a move, an unlock, an unplug,
//   and 60 s of polling with a location held) the longest stall, split by what the GUI thread
//   did meanwhile (from its schedstat): on a CPU (our work), waiting for a CPU (the machine was
//   busy) or neither (blocked in a call, or asleep for the timer).
// - End-to-end latency: from the device attaching to "iOS Device Connected!", and from pressing
//   Spoof to the held status, each against the floor that the poll and the waits set.
//
// Kit commands run on a helper thread, so the benchmark itself never blocks the GUI thread.
//
//   build/bench/bench_session [cycles] [polling seconds]     (default 5 and 60)
#include "BenchCommon.h"
#include "BenchLoop.h"
#include "BenchStall.h"
#include "TestSupport.h"
#include "app/ContentView.h"
#include "app/MainWindow.h"
#include "map/MapPane.h"
#include "map/MapView.h"
#include "platform/Dispatch.h"
#include "state/ScreenModel.h"
#include "widgets/TextWidgets.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <cmath>

using namespace std::chrono;
using bench::SchedStat;
using bench::Stall;
using bench::StallProbe;

namespace {

const QString kConnected = QStringLiteral("iOS Device Connected!");
const QString kChecking = QStringLiteral("Checking devices...");
const QString kConnectPrompt = QStringLiteral("Connect iOS Device in normal mode");
const QString kUnlocked = QStringLiteral("Location unlocked — real GPS restored.");

struct Step
{
    QString name;
    QList<double> stalls;
    Stall worst;
    void add(const Stall &stall)
    {
        stalls.append(stall.ms);
        if (stall.ms >= worst.ms)
            worst = stall;
    }
};

struct Latency
{
    QString name;
    QString floorText;
    QList<double> total, floor;
};

class Session
{
public:
    Session()
        : settingsFile_(settingsDir_.filePath(QStringLiteral("settings.ini")))
        , settings_(settingsFile_, QSettings::IniFormat)
    {
    }

    int run(int cycles, int pollingSeconds);

private:
    AppEnvironment environment() const
    {
        AppEnvironment environment = kit_.environment(Timings {}); // the program's own waits
        environment.adminPromptCommand = {QStringLiteral("/bin/sh")}; // the tunnel, no prompt
        return environment;
    }
    const ScreenState &state() const { return window_->contentView()->model().state(); }
    QPushButton *button(const char *name) const
    {
        return window_->findChild<QPushButton *>(QString::fromLatin1(name));
    }
    QString statusText() const
    {
        return window_->findChild<LineLimitedLabel *>(QStringLiteral("statusLabel"))->text();
    }

    double kitCommand(const std::function<bool()> &command) { return bench::kitCommand(command); }
    double waitFor(const std::function<bool()> &done, int timeoutMs = 30000)
    {
        return bench::waitFor(window_->contentView()->model(), done, timeoutMs);
    }
    void pause(int ms) { bench::pause(ms); }

    Step &step(const QString &name)
    {
        for (Step &s : steps_) {
            if (s.name == name)
                return s;
        }
        steps_.append(Step {name, {}, {}});
        return steps_.last();
    }
    Latency &latency(const QString &name, const QString &floorText)
    {
        for (Latency &l : latencies_) {
            if (l.name == name)
                return l;
        }
        latencies_.append(Latency {name, floorText, {}, {}});
        return latencies_.last();
    }

    bool cycle(const QString &ios, int index, bool last);
    bool fail(const char *what)
    {
        std::fprintf(stderr, "bench_session: %s (status \"%s\", lock status \"%s\")\n", what,
                     qPrintable(statusText()), qPrintable(state().lockStatusText));
        return false;
    }
    void report(int pollingSeconds) const;

    SimDeviceKit kit_;
    QTemporaryDir settingsDir_;
    QString settingsFile_;
    QSettings settings_;
    std::unique_ptr<MainWindow> window_;
    StallProbe probe_;
    QList<double> ticks_;
    QList<Step> steps_;
    QList<Latency> latencies_;
    QList<double> pollingWindows_;
    Stall pollingWorst_;
    bool tunnelUp_ = false;
};

// Attach, detect, spoof, move, unlock, unplug. The last cycle keeps the location held.
bool Session::cycle(const QString &ios, int index, bool last)
{
    const bool tunnelChain = !ios.startsWith(QStringLiteral("16"));
    const QString label = QStringLiteral(" (iOS %1)").arg(ios.section(u'.', 0, 0));
    // pymobiledevice3 is taken at its word (its line once the phone has the location); the
    // stock idevicesetlocation still gets its second.
    const double startWait = tunnelChain ? 0 : 1000;

    // Detection, started by the attachment poll.
    probe_.reset();
    const qsizetype ticksBefore = ticks_.size();
    const double attachedAt = kitCommand([&] { return kit_.attach(ios); });
    if (attachedAt == 0)
        return fail("attach failed");
    const double checkingAt = waitFor([&] { return state().statusLabelText == kChecking; });
    const double connectedAt = waitFor([&] { return statusText() == kConnected; });
    const double finishedAt = waitFor([&] {
        return !state().disabledDetectButtonSafety && !state().disabledLockButton
            && !state().udidLabelText.isEmpty() && button("lockButton")->isEnabled();
    });
    if (checkingAt == 0 || connectedAt == 0 || finishedAt == 0)
        return fail("detection did not finish");
    step(QStringLiteral("detection") + label).add(probe_.worst());
    // The poll tick that found the device: the last one before the detection started.
    double detectingTick = attachedAt;
    for (qsizetype i = ticksBefore > 0 ? ticksBefore - 1 : 0; i < ticks_.size(); ++i) {
        if (ticks_[i] <= checkingAt)
            detectingTick = ticks_[i];
    }
    Latency &attach = latency(QStringLiteral("attach → \"iOS Device Connected!\"") + label,
                              QStringLiteral("wait for the next 2 s poll tick"));
    attach.total.append(connectedAt - attachedAt);
    attach.floor.append(std::max(0.0, detectingTick - attachedAt));
    pause(300);

    // Spoof at the pin.
    probe_.reset();
    const bool firstSpoof = tunnelChain && !tunnelUp_;
    const double pressedAt = bench::monotonicMs();
    QTest::mouseClick(button("lockButton"), Qt::LeftButton);
    const double heldAt = waitFor([&] {
        return state().isLocationLocked && !state().disabledLockButton
            && state().lockStatusText.startsWith(QStringLiteral("🔒 Spoofing at "));
    });
    if (heldAt == 0)
        return fail("spoof did not hold");
    step((firstSpoof ? QStringLiteral("spoof, tunnel bring-up") : QStringLiteral("spoof")) + label)
        .add(probe_.worst());
    Latency &spoof = latency((firstSpoof ? QStringLiteral("Spoof → held, tunnel bring-up")
                                         : QStringLiteral("Spoof → held"))
                                 + label,
                             tunnelChain ? QStringLiteral("none: the tool's word")
                                         : QStringLiteral("1000 ms wait"));
    spoof.total.append(heldAt - pressedAt);
    spoof.floor.append(startWait);
    tunnelUp_ = tunnelUp_ || tunnelChain;
    pause(300);

    // Move with a click on the map.
    probe_.reset();
    MapView *map = window_->findChild<MapPane *>(QStringLiteral("mapPane"))->mapView();
    const QPoint clickAt(map->width() / 4 + 37 * index % (map->width() / 2),
                         map->height() / 4 + 23 * index % (map->height() / 2));
    const CLLocationCoordinate2D target = *map->coordinateAt(clickAt);
    // A point picked on the map is held to six decimals.
    const auto six = [](double degrees) { return std::round(degrees * 1e6) / 1e6; };
    const QString held = QStringLiteral("🔒 Spoofing at ")
        + coordinates::formatDegrees(six(target.latitude)) + QStringLiteral(", ")
        + coordinates::formatDegrees(six(target.longitude));
    const double clickedAt = bench::monotonicMs();
    QTest::mouseClick(map, Qt::LeftButton, {}, clickAt);
    const double movedAt =
        waitFor([&] { return state().lockStatusText == held && !state().disabledLockButton; });
    if (movedAt == 0)
        return fail(qPrintable(QStringLiteral("move did not hold (wanted \"%1\")").arg(held)));
    step(QStringLiteral("move") + label).add(probe_.worst());
    Latency &move = latency(QStringLiteral("map click → moved") + label,
                            tunnelChain ? QStringLiteral("none: the tool's word")
                                        : QStringLiteral("1000 ms wait"));
    move.total.append(movedAt - clickedAt);
    move.floor.append(startWait);
    pause(300);
    if (last)
        return true;

    // Unlock.
    probe_.reset();
    const double unlockAt = bench::monotonicMs();
    QTest::mouseClick(button("lockButton"), Qt::LeftButton);
    const double unlockedAt = waitFor([&] { return state().lockStatusText == kUnlocked; });
    if (unlockedAt == 0)
        return fail("unlock did not finish");
    step(QStringLiteral("unlock") + label).add(probe_.worst());
    Latency &unlock = latency(QStringLiteral("Unlock → real GPS restored") + label,
                              QStringLiteral("none (one tool run)"));
    unlock.total.append(unlockedAt - unlockAt);
    unlock.floor.append(0);
    pause(300);

    // Unplug.
    probe_.reset();
    const qsizetype ticksAtDetach = ticks_.size();
    const double detachedAt = kitCommand([&] { return kit_.detach(); });
    const double goneAt = waitFor(
        [&] { return !state().wasDeviceAttached && state().statusLabelText == kConnectPrompt; });
    if (detachedAt == 0 || goneAt == 0)
        return fail("unplug was not noticed");
    step(QStringLiteral("unplug") + label).add(probe_.worst());
    double unplugTick = detachedAt;
    for (qsizetype i = ticksAtDetach > 0 ? ticksAtDetach - 1 : 0; i < ticks_.size(); ++i) {
        if (ticks_[i] <= goneAt)
            unplugTick = ticks_[i];
    }
    Latency &unplug = latency(QStringLiteral("unplug → \"Connect iOS Device...\"") + label,
                              QStringLiteral("wait for the next 2 s poll tick"));
    unplug.total.append(goneAt - detachedAt);
    unplug.floor.append(std::max(0.0, unplugTick - detachedAt));
    pause(300);
    return true;
}

int Session::run(int cycles, int pollingSeconds)
{
    if (!kit_.isValid()) {
        std::fprintf(stderr, "bench_session: the simulated device kit is not usable\n");
        return 1;
    }
    probe_.start();

    // Start-up, in three parts: building the window, showing it (its appear handler runs the
    // shell command), and its first paint with a second to settle.
    SchedStat sched;
    const auto measureCall = [&](const QString &name, const std::function<void()> &call) {
        double run0 = 0, wait0 = 0, run1 = 0, wait1 = 0;
        sched.read(run0, wait0);
        const double before = bench::monotonicMs();
        call();
        const double took = bench::monotonicMs() - before;
        sched.read(run1, wait1);
        Stall stall {took, run1 - run0, wait1 - wait0, 0};
        stall.otherMs = std::max(0.0, took - stall.onCpuMs - stall.waitingMs);
        step(name).add(stall);
        probe_.resync();
    };
    measureCall(QStringLiteral("start-up: building the window"),
                [&] { window_ = std::make_unique<MainWindow>(environment(), &settings_); });
    QObject::connect(&window_->contentView()->model(), &ScreenModel::deviceMonitorTick,
                     [this] { ticks_.append(bench::monotonicMs()); });
    pause(100);
    measureCall(QStringLiteral("start-up: show(), with the shell command"),
                [&] { window_->show(); });
    probe_.reset();
    pause(1000);
    step(QStringLiteral("start-up: first paint, then 1 s")).add(probe_.worst());

    bool ok = true;
    for (int i = 0; ok && i < cycles; ++i)
        ok = cycle(QStringLiteral("17.4.1"), i, false);
    for (int i = 0; ok && i < std::max(1, cycles / 2); ++i)
        ok = cycle(QStringLiteral("16.7"), cycles + i, false);
    // The last one keeps the location held for the polling.
    ok = ok && cycle(QStringLiteral("17.4.1"), 2 * cycles, true);

    if (ok) {
        for (int done = 0; done < pollingSeconds; done += 10) {
            probe_.reset();
            pause(std::min(10, pollingSeconds - done) * 1000);
            const Stall worst = probe_.worst();
            pollingWindows_.append(worst.ms);
            if (worst.ms >= pollingWorst_.ms)
                pollingWorst_ = worst;
        }
        if (!state().isLocationLocked)
            ok = fail("the location was not held through the polling");
        QTest::mouseClick(button("lockButton"), Qt::LeftButton);
        waitFor([&] { return state().lockStatusText == kUnlocked; });
    }

    window_->close();
    window_.reset();
    dispatch::waitForBackgroundWork(20000);
    kitCommand([&] { return kit_.detach(); });
    kit_.stopTunnel();
    QCoreApplication::processEvents();
    for (int i = 0; i < 100 && !ProcessCensus::children().isEmpty(); ++i)
        pause(50);
    if (!ProcessCensus::children().isEmpty())
        std::fprintf(stderr, "bench_session: child processes left behind\n");
    if (!ok)
        std::fprintf(
            stderr, "bench_session: the program's console is in %s\n",
            qPrintable(QDir::temp().filePath(QStringLiteral("pindrift-bench-session.log"))));

    report(pollingSeconds);
    return ok ? 0 : 1;
}

QByteArray stallLine(const QString &name, const QList<double> &stalls, const Stall &worst)
{
    return QStringLiteral("  %1 median %2  max %3 ms (n %4)   longest: %5 on CPU, %6 waiting "
                          "for a CPU, %7 neither")
        .arg(name.leftJustified(40), 0)
        .arg(bench::median(stalls), 6, 'f', 1)
        .arg(worst.ms, 6, 'f', 1)
        .arg(stalls.size())
        .arg(worst.onCpuMs, 0, 'f', 1)
        .arg(worst.waitingMs, 0, 'f', 1)
        .arg(worst.otherMs, 0, 'f', 1)
        .toUtf8();
}

void Session::report(int pollingSeconds) const
{
    bench::line("GUI-thread stalls (lateness of a 1 ms timer, ms), kit with the program's own "
                "waits:   target: none over 16 ms but the start-up shell command");
    double worstOverall = 0;
    for (const Step &s : steps_) {
        bench::line(stallLine(s.name, s.stalls, s.worst));
        if (!s.name.startsWith(QStringLiteral("start-up: building"))
            && !s.name.startsWith(QStringLiteral("start-up: show")))
            worstOverall = std::max(worstOverall, s.worst.ms);
    }
    bench::line(
        stallLine(QStringLiteral("polling %1 s, location held, per 10 s").arg(pollingSeconds),
                  pollingWindows_, pollingWorst_));
    worstOverall = std::max(worstOverall, pollingWorst_.ms);
    bench::line(QStringLiteral("  longest stall but building and showing the window: %1 ms")
                    .arg(worstOverall, 0, 'f', 1)
                    .toUtf8());

    bench::line("end-to-end latency (ms), and how far above its floor:");
    for (const Latency &l : latencies_) {
        QList<double> above;
        for (qsizetype i = 0; i < l.total.size() && i < l.floor.size(); ++i)
            above.append(l.total[i] - l.floor[i]);
        bench::line("  " + l.name.leftJustified(46).toUtf8() + " " + bench::summary(l.total));
        bench::line("  " + QByteArray(46, ' ') + "   above the floor (" + l.floorText.toUtf8()
                    + "): " + bench::summary(above));
    }
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int cycles = argc >= 2 ? std::max(1, std::atoi(argv[1])) : 5;
    const int polling = argc >= 3 ? std::max(10, std::atoi(argv[2])) : 60;
    // The window's console lines would drown the figures: they go to a file, the figures to
    // standard output.
    const QString console = QDir::temp().filePath(QStringLiteral("pindrift-bench-session.log"));
    bench::redirectStandardOutput(console);
    Session session;
    return session.run(cycles, polling);
}
