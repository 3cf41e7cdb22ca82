// Cold start: from process start to the first painted frame of the window, offscreen.
//
// The program has no hook for its first frame, so this benchmark starts itself again as a child
// (a fresh process each run, first launch, no saved window frame) that does what main() does,
// with the shipped environment except that the network seams point at loopback and the tools
// are the build's tool folder. The child notes when the first paint event of the window's
// central widget has been handled, and when the whole first frame is done, and reports both:
// measured from its start time in /proc/self/stat (10 ms resolution) and from the parent's
// clock just before the launch.
//
// Then the real executable (the demo layout, an iOS 17 device attached by the kit), started
// without network: the time to its first console line, and to the first attachment poll that
// finds the device (one 2 s poll interval after the window is shown; the poll timer is a coarse
// Qt timer, which may fire up to 5 % early).
//
//   build/bench/bench_startup [runs]        (default 7)
#include "BenchCommon.h"
#include "BenchProgram.h"
#include "app/AppDelegate.h"
#include "app/ContentView.h"
#include "app/MainWindow.h"
#include "platform/Dispatch.h"

#include <QApplication>
#include <QIcon>
#include <QTimer>
#include <cstring>

using namespace std::chrono;

namespace {

constexpr int kDefaultRuns = 7;

// Sees every event the program handles; notes the first show and paint of the central widget
// and the end of the first frame (the outermost event during which the first paint happened).
class FirstFrameApplication : public QApplication
{
public:
    using QApplication::QApplication;

    QWidget *central = nullptr;
    double showBegin = 0, showEnd = 0, centralPainted = 0, frameDone = 0;
    std::function<void()> onFrame;

    bool notify(QObject *receiver, QEvent *event) override
    {
        const QEvent::Type type = event->type();
        // The central widget is the window's ContentView; its first event of interest is Show.
        if (!central && type == QEvent::Show)
            central = qobject_cast<ContentView *>(receiver);
        const bool isCentral = central && receiver == central;
        if (isCentral && type == QEvent::Show && showBegin == 0)
            showBegin = bench::monotonicMs();
        ++depth_;
        const bool result = QApplication::notify(receiver, event);
        --depth_;
        if (isCentral && type == QEvent::Show && showEnd == 0)
            showEnd = bench::monotonicMs();
        if (isCentral && type == QEvent::Paint && centralPainted == 0)
            centralPainted = bench::monotonicMs();
        if (centralPainted != 0 && frameDone == 0 && depth_ == 0) {
            frameDone = bench::monotonicMs();
            if (onFrame)
                onFrame();
        }
        return result;
    }

private:
    int depth_ = 0;
};

int runChild(int argc, char *argv[])
{
    const double atMain = bench::monotonicMs();
    FirstFrameApplication app(argc, argv);
    const double appBuilt = bench::monotonicMs();
    // As main() does.
    QApplication::setApplicationName(QStringLiteral("PinDrift"));
    QApplication::setOrganizationName(QStringLiteral("PinDrift"));
    QApplication::setApplicationVersion(QStringLiteral(PINDRIFT_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("pindrift"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/images/pindrift.svg")));

    AppEnvironment environment;
    environment.tools = ToolLocator(QFileInfo(QStringLiteral(PINDRIFT_BINARY)).absolutePath()
                                    + QStringLiteral("/tool_extras"));
    environment.geolocationUrl = QUrl(QStringLiteral("http://127.0.0.1:9/json/"));
    environment.tileUrlTemplate = QStringLiteral("http://127.0.0.1:9/{z}/{x}/{y}.png");
    AppDelegate delegate(environment);

    // The window is built and shown inside the first posted call, as in main().
    QTimer::singleShot(0, &delegate, [&] { delegate.applicationDidFinishLaunching(); });
    app.onFrame = [&] {
        const double bootNow = bench::clockMs(CLOCK_BOOTTIME);
        const double statStart = bench::startTimeBootMs(getpid()).value_or(bootNow);
        const double rss = bench::statusMb(getpid(), "VmHWM").value_or(0);
        std::printf("FRAME main=%.3f app=%.3f show=%.3f shown=%.3f central=%.3f frame=%.3f "
                    "statms=%.3f rss=%.1f\n",
                    atMain, appBuilt, app.showBegin, app.showEnd, app.centralPainted, app.frameDone,
                    bootNow - statStart + (app.centralPainted - app.frameDone), rss);
        std::fflush(stdout);
        QTimer::singleShot(0, &delegate, [&] { delegate.window()->close(); });
    };
    const int status = QApplication::exec();
    dispatch::waitForBackgroundWork(5000);
    return status;
}

struct ChildFrame
{
    double mainMs, appMs, showMs, shownMs, centralMs, frameMs, statCentralMs, rssMb;
};

std::optional<ChildFrame> runOnce(const QString &self, int index)
{
    QTemporaryDir scratch;
    bench::prepareEnvironment(scratch.path());
    const double before = bench::monotonicMs();
    const auto launched = ChildProcess::launch(self, {QStringLiteral("--child")});
    if (!launched.process)
        return std::nullopt;
    if (!launched.process->waitForExit(seconds(30))) {
        std::fprintf(stderr, "run %d: still running after 30 s:\n%s\n", index,
                     launched.process->takeOutput().constData());
        launched.process->kill();
        launched.process->waitForExit(milliseconds(-1));
        return std::nullopt;
    }
    const QByteArray output = launched.process->takeOutput();
    const qsizetype at = output.indexOf("FRAME ");
    if (at < 0) {
        std::fprintf(stderr, "run %d: no frame line:\n%s\n", index, output.constData());
        return std::nullopt;
    }
    QMap<QByteArray, double> values;
    for (const QByteArray &pair : output.mid(at + 6).split('\n').first().split(' ')) {
        const qsizetype eq = pair.indexOf('=');
        if (eq > 0)
            values.insert(pair.left(eq), pair.mid(eq + 1).toDouble());
    }
    return ChildFrame {values["main"] - before,    values["app"] - before,
                       values["show"] - before,    values["shown"] - before,
                       values["central"] - before, values["frame"] - before,
                       values["statms"],           values["rss"]};
}

// The real executable from the demo layout: first console line, and the first poll's detection.
void realExecutable(int runs)
{
    if (!bench::canIsolateNetwork()) {
        bench::line("real executable: skipped (cannot start it without network: unshare -n)");
        return;
    }
    bench::DemoLayout layout;
    if (!layout.isValid()) {
        bench::line("real executable: skipped (scripts/demo.sh --layout-only failed)");
        return;
    }
    QList<double> firstLine, firstPoll, detected, wrapper;
    for (int i = 0; i < runs; ++i) {
        QTemporaryDir scratch;
        bench::prepareEnvironment(scratch.path());
        bench::RunningProgram run = bench::RunningProgram::start(layout.program());
        if (!run.process)
            continue;
        QByteArray pending;
        double first = 0, poll = 0, done = 0;
        run.process->waitForExit(seconds(20), [&](const QByteArray &chunk) {
            const double now = bench::monotonicMs() - run.launchedAtMs;
            pending += chunk;
            if (first == 0 && pending.contains('\n'))
                first = now;
            if (poll == 0 && pending.contains("🔍 Checking for connected iOS devices..."))
                poll = now;
            if (done == 0 && pending.contains("✓ Device detected")) {
                done = now;
                ::kill(run.pid(), SIGTERM);
            }
        });
        if (!run.stop())
            std::fprintf(stderr, "real run %d did not end cleanly\n", i);
        if (first > 0)
            firstLine.append(first);
        if (poll > 0)
            firstPoll.append(poll);
        if (done > 0)
            detected.append(done);
    }
    // What the network-namespace wrapper alone costs.
    for (int i = 0; i < runs; ++i) {
        const double before = bench::monotonicMs();
        const auto launched = ChildProcess::launch(
            bench::unsharePath(),
            {QStringLiteral("-n"), QStringLiteral("sh"), QStringLiteral("-c"),
             QStringLiteral("ip link set lo up && exec \"$0\""), QStringLiteral("/bin/true")});
        if (launched.process && launched.process->waitForExit(seconds(10)))
            wrapper.append(bench::monotonicMs() - before);
    }
    bench::line("real executable (demo layout, iOS 17 device attached, own network namespace):");
    bench::line("  first console line             " + bench::summary(firstLine));
    bench::line("  first poll's detection line    " + bench::summary(firstPoll)
                + "  (includes the 2 s poll interval, coarse: +-5 %)");
    bench::line("  \"✓ Device detected\" line       " + bench::summary(detected));
    bench::line("  of which the unshare wrapper   " + bench::summary(wrapper));
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc >= 2 && std::strcmp(argv[1], "--child") == 0)
        return runChild(argc, argv);

    QCoreApplication app(argc, argv);
    const int runs = argc >= 2 ? std::max(1, std::atoi(argv[1])) : kDefaultRuns;
    const QString self = QCoreApplication::applicationFilePath();

    QList<double> mainAt, appAt, showAt, shownAt, central, frame, statCentral, rss, firstRun;
    for (int i = 0; i < runs; ++i) {
        const std::optional<ChildFrame> f = runOnce(self, i);
        if (!f)
            continue;
        if (i == 0)
            firstRun.append(f->centralMs);
        mainAt.append(f->mainMs);
        appAt.append(f->appMs);
        showAt.append(f->showMs);
        shownAt.append(f->shownMs);
        central.append(f->centralMs);
        frame.append(f->frameMs);
        statCentral.append(f->statCentralMs);
        rss.append(f->rssMb);
    }
    bench::line(QStringLiteral("cold start to the first painted frame, in-process, offscreen, %1 "
                               "runs (ms from the parent's clock before the launch):")
                    .arg(runs)
                    .toUtf8());
    bench::line("  main() entered                 " + bench::summary(mainAt));
    bench::line("  QApplication built             " + bench::summary(appAt));
    bench::line("  window built, shown            " + bench::summary(showAt));
    bench::line("  start-up sequence done         " + bench::summary(shownAt));
    bench::line("  central widget painted         " + bench::summary(central)
                + "   <- target < 300 ms");
    bench::line("  whole first frame done         " + bench::summary(frame));
    bench::line("  central painted, /proc start   " + bench::summary(statCentral)
                + "  (10 ms resolution)");
    bench::line("  first run alone                " + bench::summary(firstRun));
    bench::line("  peak RSS at the first frame    " + bench::summary(rss, "MB"));

    realExecutable(std::max(3, runs / 2 + 1));
    return 0;
}
