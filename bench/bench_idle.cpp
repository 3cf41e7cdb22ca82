// Idle cost and memory of the real pindrift executable, started offscreen in its own network
// namespace, polling for a device every 2 s:
// - with no device: the build's own program and tool folder (the real libimobiledevice tools,
//   which find no device);
// - with a simulated iOS 17 device attached: the demo layout, whose tools are the kit.
// Several instances of each run at the same time (CPU time is counted per process, so they do
// not inflate each other's figure). For each: the CPU time of the program itself, all its
// threads but without its children, over the measured window after a warm-up (start-up and the
// detection of the attached device are not idle); and its peak resident memory (VmHWM) after
// 30 s, with its resident memory again at the end of the window.
//
//   build/bench/bench_idle [seconds] [instances of each kind]     (default 60 and 3)
#include "BenchCommon.h"
#include "BenchProgram.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <thread>

using namespace std::chrono;

namespace {

constexpr double kWarmupSeconds = 6.0; // start-up, first poll and detection of the device
constexpr double kRssAfterSeconds = 30.0;

struct Instance
{
    QString kind;
    std::unique_ptr<bench::DemoLayout> layout;
    std::unique_ptr<QTemporaryDir> scratch;
    bench::RunningProgram run;
    double startedAt = 0;
    double cpuBefore = 0;
    double cpuAfter = 0;
    double peakMb = 0;
    double rssMb = 0;
    double endPeakMb = 0; // at the end of the measured window
    double endRssMb = 0;
    bool exitedCleanly = false;

    QString console() const
    {
        QFile file(scratch->filePath(QStringLiteral("console.txt")));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
};

void sleepUntil(double monotonicMs)
{
    const double left = monotonicMs - bench::monotonicMs();
    if (left > 0)
        std::this_thread::sleep_for(microseconds(static_cast<qint64>(left * 1000)));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const double seconds = argc >= 2 ? std::max(5.0, std::atof(argv[1])) : 60.0;
    const int perKind = argc >= 3 ? std::max(1, std::atoi(argv[2])) : 3;
    if (!bench::canIsolateNetwork()) {
        bench::line("idle: skipped (cannot start the program without network: unshare -n)");
        return 0;
    }

    std::vector<Instance> instances;
    for (int i = 0; i < 2 * perKind; ++i) {
        Instance instance;
        instance.kind = i % 2 ? QStringLiteral("device") : QStringLiteral("no device");
        if (i % 2) {
            instance.layout = std::make_unique<bench::DemoLayout>();
            if (!instance.layout->isValid()) {
                bench::line("idle: scripts/demo.sh --layout-only failed");
                return 1;
            }
        }
        instance.scratch = std::make_unique<QTemporaryDir>();
        instances.push_back(std::move(instance));
    }
    // Staggered a little, so the start-ups do not all compete for the two cores at once.
    for (Instance &instance : instances) {
        bench::prepareEnvironment(instance.scratch->path());
        const QString program =
            instance.layout ? instance.layout->program() : QStringLiteral(PINDRIFT_BINARY);
        instance.run = bench::RunningProgram::start(
            program, instance.scratch->filePath(QStringLiteral("console.txt")));
        instance.startedAt = instance.run.launchedAtMs;
        if (!instance.run.process) {
            bench::line("idle: could not start the program");
            return 1;
        }
        std::this_thread::sleep_for(milliseconds(250));
    }

    // Every reading at its own instance's time, in time order.
    struct Reading
    {
        double at;
        Instance *instance;
        int what; // 0: CPU before, 1: memory, 2: CPU after
    };
    std::vector<Reading> readings;
    for (Instance &instance : instances) {
        readings.push_back({instance.startedAt + kWarmupSeconds * 1000, &instance, 0});
        readings.push_back({instance.startedAt + kRssAfterSeconds * 1000, &instance, 1});
        readings.push_back({instance.startedAt + (kWarmupSeconds + seconds) * 1000, &instance, 2});
    }
    std::sort(readings.begin(), readings.end(),
              [](const Reading &a, const Reading &b) { return a.at < b.at; });
    for (const Reading &reading : readings) {
        sleepUntil(reading.at);
        const pid_t pid = reading.instance->run.pid();
        if (reading.what == 0)
            reading.instance->cpuBefore = bench::ownCpuMs(pid).value_or(-1);
        else if (reading.what == 2) {
            reading.instance->cpuAfter = bench::ownCpuMs(pid).value_or(-1);
            reading.instance->endPeakMb = bench::statusMb(pid, "VmHWM").value_or(0);
            reading.instance->endRssMb = bench::statusMb(pid, "VmRSS").value_or(0);
        } else {
            reading.instance->peakMb = bench::statusMb(pid, "VmHWM").value_or(0);
            reading.instance->rssMb = bench::statusMb(pid, "VmRSS").value_or(0);
        }
    }
    for (Instance &instance : instances)
        instance.exitedCleanly = instance.run.stop();

    bench::line(QStringLiteral("idle cost of the real executable over %1 s of polling after a %2 s "
                               "warm-up; %3 instances of each kind at once:")
                    .arg(seconds)
                    .arg(kWarmupSeconds)
                    .arg(perKind)
                    .toUtf8());
    for (const QString &kind : {QStringLiteral("no device"), QStringLiteral("device")}) {
        QList<double> percent, cpu, peak, rss, endRss;
        for (const Instance &instance : instances) {
            if (instance.kind != kind)
                continue;
            const double used = instance.cpuAfter - instance.cpuBefore;
            const bool detected = instance.console().contains(QStringLiteral("✓ Device detected"));
            std::printf("  %-9s pid %-7d CPU %4.0f ms = %.3f %% of a core   at 30 s: peak RSS "
                        "%.1f MB, RSS %.1f MB   at the end: %.1f MB, %.1f MB   %s%s\n",
                        qPrintable(kind), instance.run.pid(), used, used / (seconds * 10.0),
                        instance.peakMb, instance.rssMb, instance.endPeakMb, instance.endRssMb,
                        instance.exitedCleanly ? "exit 0" : "DID NOT EXIT CLEANLY",
                        kind == QStringLiteral("device") && !detected ? ", DEVICE NOT DETECTED"
                                                                      : "");
            cpu.append(used);
            percent.append(used / (seconds * 10.0));
            peak.append(instance.peakMb);
            rss.append(instance.rssMb);
            endRss.append(instance.endRssMb);
        }
        const QByteArray label = kind.toUtf8().leftJustified(9);
        bench::line("  " + label + " CPU  " + bench::summary(percent, "% of a core", 3)
                    + "   <- target < 0.2 %");
        bench::line("  " + label + " peak RSS after 30 s  " + bench::summary(peak, "MB")
                    + (kind == QStringLiteral("no device") ? "   <- target < 80 MB" : ""));
        bench::line("  " + label + " RSS at the end  " + bench::summary(endRss, "MB"));
    }
    std::fflush(stdout);
    return 0;
}
