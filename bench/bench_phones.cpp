// Four phones at once: the whole window, in-process and offscreen, against the simulated device
// kit with the program's own waits (the default Timings: the 2 s attachment poll, one step a
// second). Three phones are plugged in and held first: iOS 16.7 through idevicesetlocation,
// iOS 17.4.1 through pymobiledevice3 and iOS 17.4.1 through go-ios (chosen for that phone); the
// fourth is iOS 17.4.1 through pymobiledevice3. The kit's idevicesetlocation stays until it is
// ended, as the shipped tool folder's holding wrapper does.
//
// - Detection of the fourth phone plugged in while three hold (several rounds, unplugged in
//   between): from the kit's attach to the phone's session detected, and how much of that lies
//   above the poll tick that found it (the tick's own wait is the poll interval's, by design).
// - Idle, the four held: the program's CPU (all its threads, its children excluded) over the
//   window, with what each of its threads used and how often it was switched in.
// - A route played on the four at one step a second (Start in the route panel; 3 km due north at
//   walking pace, so it does not end): each phone's step intervals, from the times the kit noted
//   for the locations it applied, and the longest GUI-thread stall (the lateness of a 1 ms timer,
//   split by the thread's schedstat). The pymobiledevice3 phones replay the program's plan by
//   themselves; the other two are told each step.
//
// Kit commands run on a helper thread, so the benchmark itself never blocks the GUI thread.
//
//   build/bench/bench_phones [idle seconds] [route seconds] [detections]   (default 20, 30, 5)
#include "BenchCommon.h"
#include "BenchLoop.h"
#include "BenchStall.h"
#include "TestSupport.h"
#include "app/ContentView.h"
#include "app/MainWindow.h"
#include "platform/Dispatch.h"
#include "route/Movement.h"
#include "route/RouteModel.h"
#include "route/RoutePanel.h"
#include "spoof/SpoofController.h"
#include "state/ScreenModel.h"
#include "tools/GoIos.h"

#include <GeographicLib/Geodesic.hpp>
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <map>
#include <sys/resource.h>

namespace {

struct Phone
{
    QString udid;
    QString ios;
    bool goIos = false;
    QString label;
};

const QList<Phone> kPhones {
    {QStringLiteral("00008030-000A16BE0C000001"), QStringLiteral("16.7"), false,
     QStringLiteral("iOS 16.7, idevicesetlocation")},
    {QStringLiteral("00008110-000A17BE0C000002"), QStringLiteral("17.4.1"), false,
     QStringLiteral("iOS 17.4.1, pymobiledevice3")},
    {QStringLiteral("00008110-000A17BE0C000003"), QStringLiteral("17.4.1"), true,
     QStringLiteral("iOS 17.4.1, go-ios")},
    {QStringLiteral("00008120-000A17BE0C000004"), QStringLiteral("17.4.1"), false,
     QStringLiteral("iOS 17.4.1, pymobiledevice3 (4th)")},
};
const Phone &kFourth = kPhones.last();

const CLLocationCoordinate2D kStart {48.85, 2.35};

// What one thread of this process used so far: its time on a CPU (schedstat, ns resolution) and
// how often it was switched in.
struct ThreadUse
{
    QString name;
    double cpuMs = 0;
    qint64 switches = 0;
};

QByteArray readProc(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

std::map<QString, ThreadUse> threadUse()
{
    std::map<QString, ThreadUse> threads;
    for (const QString &tid :
         QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString folder = QStringLiteral("/proc/self/task/") + tid;
        ThreadUse use;
        use.name = QString::fromUtf8(readProc(folder + QStringLiteral("/comm")).trimmed());
        use.cpuMs =
            readProc(folder + QStringLiteral("/schedstat")).split(' ').value(0).toDouble() / 1e6;
        for (const QByteArray &line : readProc(folder + QStringLiteral("/status")).split('\n')) {
            if (line.startsWith("voluntary_ctxt_switches:")
                || line.startsWith("nonvoluntary_ctxt_switches:"))
                use.switches += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
        }
        threads[tid] = use;
    }
    return threads;
}

double childrenCpuMs()
{
    rusage usage {};
    getrusage(RUSAGE_CHILDREN, &usage);
    const auto ms = [](const timeval &t) {
        return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
    };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

QList<QString> udidsOf(const QList<Phone> &phones)
{
    QList<QString> udids;
    for (const Phone &phone : phones)
        udids.append(phone.udid);
    return udids;
}

class Bench
{
public:
    Bench()
        : settings_(settingsDir_.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat)
    {
    }
    int run(int idleSeconds, int routeSeconds, int detections);

private:
    AppEnvironment environment() const
    {
        AppEnvironment environment = kit_.environment(Timings {}); // the program's own waits
        environment.adminPromptCommand = {QStringLiteral("/bin/sh")}; // the tunnel, no prompt
        environment.routingUrl = QUrl(QStringLiteral("http://127.0.0.1:9"));
        return environment;
    }
    ContentView &view() const { return *window_->contentView(); }
    ScreenModel &model() const { return view().model(); }
    const DeviceSession *session(const QString &udid) const { return model().session(udid); }
    bool detected(const QString &udid) const
    {
        const DeviceSession *s = session(udid);
        return s && s->detected && !s->detecting;
    }
    bool held(const QString &udid) const
    {
        const DeviceSession *s = session(udid);
        return s && s->isLocationLocked && !s->busy;
    }
    void click(const char *name) const
    {
        QTest::mouseClick(window_->findChild<QPushButton *>(QString::fromLatin1(name)),
                          Qt::LeftButton);
    }

    double kitCommand(const std::function<bool()> &command) { return bench::kitCommand(command); }
    double waitFor(const std::function<bool()> &done, int timeoutMs = 30000)
    {
        return bench::waitFor(model(), done, timeoutMs);
    }
    void pause(int ms) { bench::pause(ms); }
    bool attach(const Phone &phone)
    {
        return kit_.attach(phone.ios,
                           {QStringLiteral("--udid"), phone.udid, QStringLiteral("--name"),
                            QStringLiteral("Bench ") + phone.udid.right(1)});
    }
    int fail(const char *what)
    {
        std::fprintf(stderr, "bench_phones: %s\n", what);
        if (!window_)
            return 1;
        for (const Phone &phone : kPhones) {
            if (const DeviceSession *s = session(phone.udid))
                std::fprintf(stderr, "  %s: \"%s\", \"%s\"\n", qPrintable(phone.label),
                             qPrintable(s->statusLabelText), qPrintable(s->lockStatusText));
        }
        return 1;
    }
    bool holdSelected(const QList<Phone> &phones)
    {
        model().select(udidsOf(phones), phones.first().udid);
        click("lockButton");
        return waitFor(
                   [&] {
                       return std::all_of(phones.begin(), phones.end(),
                                          [&](const Phone &p) { return held(p.udid); });
                   },
                   60000)
            != 0;
    }

    int setUp();
    int detection(int rounds);
    int idle(int seconds);
    int route(int seconds);
    void tearDown();

    SimDeviceKit kit_;
    QTemporaryDir settingsDir_;
    QSettings settings_;
    std::unique_ptr<MainWindow> window_;
    bench::StallProbe probe_;
    QList<double> ticks_;
};

int Bench::run(int idleSeconds, int routeSeconds, int detections)
{
    int status = setUp();
    if (status == 0)
        status = detection(detections);
    if (status == 0 && !holdSelected(kPhones))
        status = fail("the fourth phone was not held");
    if (status == 0)
        status = idle(idleSeconds);
    if (status == 0)
        status = route(routeSeconds);
    tearDown();
    return status;
}

// Three phones plugged in, detected and held.
int Bench::setUp()
{
    if (!kit_.isValid() || !kit_.addTool(goios::kTool))
        return fail("the simulated device kit is not usable");
    for (const Phone &phone : kPhones.mid(0, 3)) {
        if (!attach(phone))
            return fail("attach failed");
    }
    window_ = std::make_unique<MainWindow>(environment(), &settings_);
    QObject::connect(&model(), &ScreenModel::deviceMonitorTick,
                     [this] { ticks_.append(bench::monotonicMs()); });
    for (const Phone &phone : kPhones) {
        if (phone.goIos)
            view().spoofController().preferChain(phone.udid, IosChain::GoIos);
    }
    window_->show();
    if (!waitFor([&] {
            return std::all_of(kPhones.begin(), kPhones.end() - 1,
                               [&](const Phone &p) { return detected(p.udid); });
        }))
        return fail("the three phones were not detected");
    if (!holdSelected(kPhones.mid(0, 3)))
        return fail("the three phones were not held");
    for (const Phone &phone : kPhones.mid(0, 3)) {
        if (phone.goIos && view().spoofController().chainFor(phone.udid) != IosChain::GoIos)
            return fail("go-ios was not the chain of its phone");
    }
    pause(1000);
    return 0;
}

int Bench::detection(int rounds)
{
    QList<double> total, tickWait, probe, detect, above;
    for (int round = 0; round < rounds; ++round) {
        // Plugged in at different points of the poll's cycle.
        pause(700 + round * 617 % 2000);
        const qsizetype ticksBefore = ticks_.size();
        const double attachedAt = kitCommand([&] { return attach(kFourth); });
        if (attachedAt == 0)
            return fail("attach failed");
        const double addedAt = waitFor([&] { return session(kFourth.udid) != nullptr; });
        const double detectedAt = waitFor([&] { return detected(kFourth.udid); });
        if (addedAt == 0 || detectedAt == 0)
            return fail("the fourth phone was not detected");
        // The tick whose poll listed the phone: the last one before its session came.
        double tick = attachedAt;
        for (qsizetype i = std::max<qsizetype>(0, ticksBefore - 1); i < ticks_.size(); ++i) {
            if (ticks_[i] <= addedAt)
                tick = std::max(attachedAt, ticks_[i]);
        }
        total.append(detectedAt - attachedAt);
        tickWait.append(tick - attachedAt);
        probe.append(addedAt - tick);
        detect.append(detectedAt - addedAt);
        above.append(detectedAt - tick);
        if (round + 1 == rounds)
            break; // the last one stays
        if (kitCommand([&] {
                return kit_.control(
                    {QStringLiteral("detach"), QStringLiteral("--udid"), kFourth.udid});
            }) == 0
            || waitFor([&] { return session(kFourth.udid) == nullptr; }) == 0)
            return fail("the fourth phone's unplugging was not noticed");
    }
    bench::line("detection of a 4th phone plugged in while three hold (2 s poll):");
    bench::line("  attach → session detected       " + bench::summary(total));
    bench::line("    waiting for the poll tick     " + bench::summary(tickWait));
    bench::line("    tick → session (idevice_id)   " + bench::summary(probe));
    bench::line("    session → detected (facts)    " + bench::summary(detect));
    bench::line("  above its poll tick             " + bench::summary(above)
                + "   <- target < 100 ms");
    return 0;
}

int Bench::idle(int seconds)
{
    pause(3000); // the fourth phone's spoof settles
    const std::map<QString, ThreadUse> before = threadUse();
    const qsizetype ticksBefore = ticks_.size();
    const double cpuBefore = bench::clockMs(CLOCK_PROCESS_CPUTIME_ID);
    const double childrenBefore = childrenCpuMs();
    const double wallBefore = bench::monotonicMs();
    pause(seconds * 1000);
    const double wall = bench::monotonicMs() - wallBefore;
    const double cpu = bench::clockMs(CLOCK_PROCESS_CPUTIME_ID) - cpuBefore;
    const double children = childrenCpuMs() - childrenBefore;
    const std::map<QString, ThreadUse> after = threadUse();
    const qsizetype ticks = ticks_.size() - ticksBefore;
    for (const Phone &phone : kPhones) {
        if (!held(phone.udid))
            return fail("a phone was not held through the idle window");
    }

    // By thread name: threads that came meanwhile count from zero; those that ended are missing.
    std::map<QString, std::tuple<double, qint64, int>> byName;
    double counted = 0;
    for (const auto &[tid, use] : after) {
        const auto was = before.find(tid);
        const double usedMs = use.cpuMs - (was != before.end() ? was->second.cpuMs : 0.0);
        const qint64 switched = use.switches - (was != before.end() ? was->second.switches : 0);
        auto &[nameMs, nameSwitches, count] = byName[use.name];
        nameMs += usedMs;
        nameSwitches += switched;
        count += 1;
        counted += usedMs;
    }
    bench::line(QStringLiteral("idle, four phones held, %1 s with the 2 s poll (%2 ticks):")
                    .arg(wall / 1000.0, 0, 'f', 1)
                    .arg(ticks)
                    .toUtf8());
    bench::line(QStringLiteral("  program CPU (children excluded): %1 ms = %2 % of a core   <- "
                               "target < 0.3 %")
                    .arg(cpu, 0, 'f', 0)
                    .arg(cpu / wall * 100.0, 0, 'f', 3)
                    .toUtf8());
    bench::line(QStringLiteral("  children reaped meanwhile (the tools): %1 ms = %2 % of a core")
                    .arg(children, 0, 'f', 0)
                    .arg(children / wall * 100.0, 0, 'f', 3)
                    .toUtf8());
    std::vector<std::pair<QString, std::tuple<double, qint64, int>>> rows(byName.begin(),
                                                                          byName.end());
    std::sort(rows.begin(), rows.end(), [](const auto &a, const auto &b) {
        return std::get<0>(a.second) > std::get<0>(b.second);
    });
    for (const auto &[name, use] : rows) {
        const auto &[usedMs, switched, count] = use;
        if (usedMs < 0.05 && switched == 0)
            continue;
        bench::line(QStringLiteral("    %1 ×%2  %3 ms on a CPU, switched in %4 times")
                        .arg(name.leftJustified(16))
                        .arg(count)
                        .arg(usedMs, 6, 'f', 1)
                        .arg(switched)
                        .toUtf8());
    }
    bench::line(QStringLiteral("    threads that ended meanwhile: %1 ms")
                    .arg(std::max(0.0, cpu - counted), 0, 'f', 1)
                    .toUtf8());
    return 0;
}

int Bench::route(int seconds)
{
    CLLocationCoordinate2D end;
    GeographicLib::Geodesic::WGS84().Direct(kStart.latitude, kStart.longitude, 0.0, 3000.0,
                                            end.latitude, end.longitude);
    view().route().addWaypoint(kStart);
    view().route().addWaypoint(end);
    pause(500);
    Movement &movement = view().movement();
    QList<double> steps;
    const auto stepped = QObject::connect(&movement.player(), &RoutePlayer::stepped,
                                          [&steps] { steps.append(bench::monotonicMs()); });

    probe_.start();
    const qint64 fromMs = QDateTime::currentMSecsSinceEpoch();
    bench::SchedStat sched;
    double run0 = 0, wait0 = 0, run1 = 0, wait1 = 0;
    sched.read(run0, wait0);
    const double clickAt = bench::monotonicMs();
    click("playButton");
    const double clickMs = bench::monotonicMs() - clickAt;
    sched.read(run1, wait1);
    if (!movement.isPlaying())
        return fail("the route did not start");
    pause(2000);
    const bench::Stall opening = probe_.worst();
    probe_.reset();
    pause(std::max(1, seconds - 2) * 1000);
    const bench::Stall rest = probe_.worst();
    probe_.stop();
    const qint64 toMs = QDateTime::currentMSecsSinceEpoch();
    const bool stillPlaying = movement.isPlaying();
    const int skipped = movement.skippedSteps();
    click("stopButton");
    QObject::disconnect(stepped);
    pause(1500); // the last step arrives

    QList<double> programIntervals;
    for (qsizetype i = 1; i < steps.size(); ++i)
        programIntervals.append(steps[i] - steps[i - 1]);
    bench::line(QStringLiteral("route on four phones, %1 s at %2 m/s, one step a second: %3 "
                               "steps, %4 skipped%5")
                    .arg(seconds)
                    .arg(view().routePanel().speed().value_or(0.0), 0, 'f', 2)
                    .arg(steps.size())
                    .arg(skipped)
                    .arg(stillPlaying ? QString() : QStringLiteral(", STOPPED EARLY"))
                    .toUtf8());
    bench::line(QStringLiteral("  the Start click itself: %1 ms (%2 on a CPU, %3 waiting for one)")
                    .arg(clickMs, 0, 'f', 1)
                    .arg(run1 - run0, 0, 'f', 1)
                    .arg(wait1 - wait0, 0, 'f', 1)
                    .toUtf8());
    bench::line("  step interval in the program          " + bench::summary(programIntervals));
    // The plan a replaying phone was handed (the program writes it when Start is pressed).
    qint64 planBytes = 0;
    for (const QFileInfo &file :
         QDir(model().environment().temporaryFolderPath())
             .entryInfoList({QStringLiteral("pindrift-route-*.gpx")}, QDir::Files))
        planBytes = std::max(planBytes, file.size());
    bench::line(QStringLiteral("  the replays' plan file: %1 kB").arg(planBytes / 1024).toUtf8());

    // Each phone's intervals from the kit's track; "settled" leaves out those that began in the
    // first 2 s, while Start's work and the replays' start were under way.
    const auto deviationOf = [](const QList<double> &intervals) {
        double deviation = intervals.isEmpty() ? 1000.0 : 0.0;
        for (const double interval : intervals)
            deviation = std::max(deviation, std::abs(interval - 1000.0));
        return deviation;
    };
    double worstDeviation = 0;
    double worstSettled = 0;
    for (const Phone &phone : kPhones) {
        QList<double> intervals, settled;
        std::optional<SimDeviceKit::TrackPoint> last;
        int repeats = 0;
        for (const SimDeviceKit::TrackPoint &point : kit_.track(phone.udid)) {
            if (point.cleared || point.ms < fromMs || point.ms > toMs)
                continue;
            // The same place given again is no step (a replay starts where the step before it
            // put the phone).
            if (last && point.latitude == last->latitude && point.longitude == last->longitude) {
                ++repeats;
                continue;
            }
            if (last) {
                intervals.append(static_cast<double>(point.ms - last->ms));
                if (last->ms >= fromMs + 2000)
                    settled.append(intervals.last());
            }
            last = point;
        }
        double sum = 0;
        for (const double interval : intervals)
            sum += interval;
        worstDeviation = std::max(worstDeviation, deviationOf(intervals));
        worstSettled = std::max(worstSettled, deviationOf(settled));
        bench::line(QStringLiteral("  %1 mean %2 ms, %3; worst deviation from 1 s %4 ms, "
                                   "settled %5 ms%6")
                        .arg(phone.label.leftJustified(37))
                        .arg(intervals.isEmpty() ? 0.0 : sum / intervals.size(), 0, 'f', 1)
                        .arg(QString::fromUtf8(bench::summary(intervals, "ms", 0)))
                        .arg(deviationOf(intervals), 0, 'f', 0)
                        .arg(deviationOf(settled), 0, 'f', 0)
                        .arg(repeats ? QStringLiteral("; the same place again %1×").arg(repeats)
                                     : QString())
                        .toUtf8());
    }
    bench::line(QStringLiteral("  worst deviation from 1 s on any phone: %1 ms; settled (after "
                               "the first 2 s) %2 ms   <- target within 50 ms")
                    .arg(worstDeviation, 0, 'f', 0)
                    .arg(worstSettled, 0, 'f', 0)
                    .toUtf8());
    const auto stallLine = [](const char *when, const bench::Stall &stall) {
        return QStringLiteral("  longest GUI-thread stall, %1 %2 ms (%3 on a CPU, %4 waiting for "
                              "one, %5 neither)")
            .arg(QString::fromLatin1(when))
            .arg(stall.ms, 0, 'f', 1)
            .arg(stall.onCpuMs, 0, 'f', 1)
            .arg(stall.waitingMs, 0, 'f', 1)
            .arg(stall.otherMs, 0, 'f', 1)
            .toUtf8();
    };
    bench::line(stallLine("first 2 s (Start, the replays begin):", opening));
    bench::line(stallLine("the rest:", rest));
    bench::line(QStringLiteral("  longest GUI-thread stall during the run: %1 ms   <- target < 16 "
                               "ms")
                    .arg(std::max(opening.ms, rest.ms), 0, 'f', 1)
                    .toUtf8());
    return 0;
}

void Bench::tearDown()
{
    if (window_) {
        // Every selected phone held: the button gives them all their real position back.
        if (model().state().isLocationLocked) {
            click("lockButton");
            waitFor([&] {
                return std::none_of(kPhones.begin(), kPhones.end(), [&](const Phone &p) {
                    const DeviceSession *s = session(p.udid);
                    return s && (s->isLocationLocked || s->busy);
                });
            });
        }
        window_->close();
        window_.reset();
    }
    dispatch::waitForBackgroundWork(20000);
    kitCommand([&] { return kit_.detach(); });
    kit_.stopTunnel();
    kit_.control({QStringLiteral("stop-agent")});
    QCoreApplication::processEvents();
    for (int i = 0; i < 100 && !ProcessCensus::children().isEmpty(); ++i)
        pause(50);
    if (!ProcessCensus::children().isEmpty())
        std::fprintf(stderr, "bench_phones: child processes left behind\n");
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int idleSeconds = argc >= 2 ? std::max(5, std::atoi(argv[1])) : 20;
    const int routeSeconds = argc >= 3 ? std::max(5, std::atoi(argv[2])) : 30;
    const int detections = argc >= 4 ? std::max(1, std::atoi(argv[3])) : 5;
    // The window's console lines would drown the figures: they go to a file, the figures to
    // standard output.
    const QString console = QDir::temp().filePath(QStringLiteral("pindrift-bench-phones.log"));
    bench::redirectStandardOutput(console);
    Bench bench;
    const int status = bench.run(idleSeconds, routeSeconds, detections);
    if (status != 0)
        std::fprintf(stderr, "bench_phones: the program's console is in %s\n", qPrintable(console));
    return status;
}
