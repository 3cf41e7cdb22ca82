// Files: opening a 100,000-point GPX and a 200 MB track in the window (time, the longest
// GUI-thread stall, memory), importing 100,000 waypoints into 100,000 saved places, and the
// first frame of a window that starts with 1,000,000 saved places.
//
// Each figure comes from a fresh child process of this program (so memory is its own); the
// parent writes the files first. A stall is how late a 1 ms precise timer fires on the GUI
// thread.
//
//   build/bench/bench_files [runs]        (default 5)
#include "BenchCommon.h"
#include "ScreenSupport.h"
#include "TestSupport.h"
#include "app/ContentView.h"
#include "app/MainWindow.h"
#include "formats/GeoFile.h"
#include "formats/Gpx.h"
#include "places/SavedPlaces.h"
#include "platform/Files.h"
#include "route/RouteModel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <sys/syscall.h>

namespace {

// The GUI thread's time on a CPU and waiting for one so far, in ms, from its schedstat.
std::pair<double, double> schedMs()
{
    QFile file(QStringLiteral("/proc/self/task/%1/schedstat").arg(syscall(SYS_gettid)));
    const QList<QByteArray> fields =
        file.open(QIODevice::ReadOnly) ? file.readAll().split(' ') : QList<QByteArray>();
    return {fields.value(0).toDouble() / 1e6, fields.value(1).toDouble() / 1e6};
}

// The longest lateness of a 1 ms timer while it runs, split into the GUI thread's time on a
// CPU (our work), waiting for one (a busy machine) and neither (blocked, or asleep); and the
// most time on a CPU between two ticks.
class StallProbe
{
public:
    struct Stall
    {
        double ms = 0, onCpu = 0, waiting = 0;
    };

    StallProbe()
    {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(1);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const double now = bench::monotonicMs();
            const auto [cpu, wait] = schedMs();
            if (now - last_ - 1.0 > longest_.ms)
                longest_ = {now - last_ - 1.0, cpu - lastCpu_, wait - lastWait_};
            mostCpu_ = std::max(mostCpu_, cpu - lastCpu_);
            last_ = now;
            lastCpu_ = cpu;
            lastWait_ = wait;
        });
    }
    void start()
    {
        longest_ = {};
        mostCpu_ = 0;
        last_ = bench::monotonicMs();
        std::tie(lastCpu_, lastWait_) = schedMs();
        timer_.start();
    }
    // The longest stall; `cpu`: the most time on a CPU between two ticks.
    double stop(double *cpu = nullptr)
    {
        timer_.stop();
        if (cpu)
            *cpu = mostCpu_;
        splits_.append(QStringLiteral("%1 (%2 on a CPU, %3 waiting for one; at most %4 on a CPU "
                                      "between two ticks)")
                           .arg(longest_.ms, 0, 'f', 1)
                           .arg(longest_.onCpu, 0, 'f', 1)
                           .arg(longest_.waiting, 0, 'f', 1)
                           .arg(mostCpu_, 0, 'f', 1));
        return longest_.ms;
    }
    // Each run's longest stall and its split, for the record.
    QByteArray splits() const { return splits_.join(QStringLiteral("; ")).toUtf8(); }

private:
    QTimer timer_;
    double last_ = 0, lastCpu_ = 0, lastWait_ = 0, mostCpu_ = 0;
    Stall longest_;
    QStringList splits_;
};

// Runs the event loop for `ms`.
void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

double rssMb()
{
    return bench::statusMb(getpid(), "VmRSS").value_or(0);
}

// A track due east, a second and about 1.3 m apart, with elevations, as a recorder writes it.
bool writeTrack(const QString &path, qint64 bytesWanted, int pointsWanted)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<gpx version=\"1.1\" creator=\"bench\" "
               "xmlns=\"http://www.topografix.com/GPX/1/1\">\n<trk><name>Long</name><trkseg>\n");
    const QDateTime start = QDateTime::fromSecsSinceEpoch(1800000000, Qt::UTC);
    QByteArray chunk;
    for (int i = 0; (pointsWanted > 0 && i < pointsWanted)
         || (bytesWanted > 0 && file.size() + chunk.size() < bytesWanted - 200);
         ++i) {
        chunk += "<trkpt lat=\"" + QByteArray::number(48.85 + (i % 7) * 1e-6, 'f', 7) + "\" lon=\""
            + QByteArray::number(2.35 + i * 1.8e-5, 'f', 7) + "\"><ele>"
            + QByteArray::number(35 + i % 10) + ".0</ele><time>"
            + start.addSecs(i).toString(Qt::ISODate).toLatin1() + "</time></trkpt>\n";
        if (chunk.size() > 1 << 20)
            file.write(std::exchange(chunk, {}));
    }
    file.write(chunk);
    file.write("</trkseg></trk></gpx>\n");
    return true;
}

QList<SavedPlace> somePlaces(int count, int offset)
{
    QList<SavedPlace> places;
    places.reserve(count);
    for (int i = 0; i < count; ++i) {
        const int n = i + offset;
        // Six decimals, as a GPX file gives them back: the overlap is found again.
        const auto exact = [](double value) { return QString::number(value, 'f', 6).toDouble(); };
        places.append({QStringLiteral("Place %1").arg(n),
                       {exact(-60.0 + (n % 120000) * 1e-3), exact(-170.0 + n * 3e-4)}});
    }
    return places;
}

struct Window
{
    explicit Window(const SimDeviceKit &kit)
        : settings(kit.temporaryFolder() + QStringLiteral("bench.ini"), QSettings::IniFormat)
        , window(kit.environment(), &settings)
    {
        window.resize(900, 600);
        window.show();
    }
    ~Window() { window.close(); }
    QSettings settings;
    MainWindow window;
};

// Opens the file `runs` times in the window: time to the route on screen, longest stall
// during the open and the paints that follow, and memory.
int openRoute(const QString &path, int runs)
{
    QList<double> reads;
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer timer;
        timer.start();
        if (!formats::readFile(path).document)
            return 1;
        reads.append(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    }
    SimDeviceKit kit;
    Window w(kit);
    ContentView &content = *w.window.contentView();
    spin(500); // start-up done
    const double before = rssMb();
    QList<double> opens, stalls, work;
    StallProbe probe;
    for (int run = 0; run < runs; ++run) {
        content.route().clear();
        spin(100);
        QSignalSpy opened(&content, &ContentView::routeOpened);
        probe.start();
        QElapsedTimer timer;
        timer.start();
        content.openRoute(path);
        if (!opened.wait(120000) || !opened.first().first().toBool())
            return 1;
        opens.append(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        spin(500); // the map paints the track
        double cpu = 0;
        stalls.append(probe.stop(&cpu));
        work.append(cpu);
    }
    const double peak = bench::statusMb(getpid(), "VmHWM").value_or(0);
    const double fileMb = static_cast<double>(QFileInfo(path).size()) / (1024.0 * 1024.0);
    bench::line(QStringLiteral("open %1 (%2 MB, %3 points), %4 runs")
                    .arg(QFileInfo(path).fileName())
                    .arg(fileMb, 0, 'f', 1)
                    .arg(content.route().track().size())
                    .arg(runs)
                    .toUtf8());
    bench::line("  to the route on screen: " + bench::summary(opens));
    bench::line("  of which reading the file (formats::readFile alone): " + bench::summary(reads));
    bench::line("  longest GUI-thread stall, open and 0.5 s of paints: " + bench::summary(stalls));
    bench::line("    each run, ms: " + probe.splits());
    bench::line("  most GUI-thread time on a CPU between two 1 ms ticks: " + bench::summary(work));
    bench::line(QStringLiteral("  memory: %1 MB before, peak %2 MB: %3 MB more = %4 x the file")
                    .arg(before, 0, 'f', 1)
                    .arg(peak, 0, 'f', 1)
                    .arg(peak - before, 0, 'f', 1)
                    .arg((peak - before) / fileMb, 0, 'f', 2)
                    .toUtf8());
    return 0;
}

// Imports the waypoints of `gpx` into 100,000 saved places, `runs` times.
int importPlaces(const QString &folder, const QString &gpx, int runs)
{
    QList<double> times, stalls, work;
    qsizetype added = 0;
    StallProbe probe;
    for (int run = 0; run < runs; ++run) {
        SavedPlaces places(folder);
        if (!QTest::qWaitFor([&places] { return places.isLoaded(); }, 60000))
            return 1;
        const qsizetype before = places.places().size();
        QSignalSpy finished(&places, &SavedPlaces::importFinished);
        probe.start();
        QElapsedTimer timer;
        timer.start();
        places.importFile(gpx);
        if (!finished.wait(60000))
            return 1;
        times.append(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        double cpu = 0;
        stalls.append(probe.stop(&cpu));
        work.append(cpu);
        added = places.places().size() - before;
        dispatch::waitForBackgroundWork(60000); // its write, before the next run reads
        QFile::remove(folder + QStringLiteral("/places.json"));
        QFile::copy(folder + QStringLiteral("/places.json.start"),
                    folder + QStringLiteral("/places.json"));
    }
    bench::line(QStringLiteral("import 100000 waypoints into 100000 places (%1 new), %2 runs")
                    .arg(added)
                    .arg(runs)
                    .toUtf8());
    bench::line("  read, compared and in the list: " + bench::summary(times));
    bench::line("  longest GUI-thread stall meanwhile: " + bench::summary(stalls));
    bench::line("    each run, ms: " + probe.splits());
    bench::line("  most GUI-thread time on a CPU between two 1 ms ticks: " + bench::summary(work));
    return 0;
}

// Watches for the window's first paint.
class FirstPaint : public QObject
{
public:
    double at = 0;
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (at == 0 && event->type() == QEvent::Paint && qobject_cast<ContentView *>(watched))
            at = bench::monotonicMs();
        return false;
    }
};

// A window over a data folder of 1,000,000 saved places: its first frame, when the places are
// in, and the longest stall from the first frame until then.
int startWithPlaces(const QString &dataFolder, int runs)
{
    QList<double> frames, loads, stalls, work;
    StallProbe probe;
    for (int run = 0; run < runs; ++run) {
        SimDeviceKit kit;
        AppEnvironment environment = kit.environment();
        environment.dataFolder = dataFolder;
        QSettings settings(kit.temporaryFolder() + QStringLiteral("bench.ini"),
                           QSettings::IniFormat);
        FirstPaint paint;
        qApp->installEventFilter(&paint);
        const double start = bench::monotonicMs();
        MainWindow window(environment, &settings);
        window.show();
        if (!QTest::qWaitFor([&paint] { return paint.at > 0; }, 10000))
            return 1;
        probe.start();
        SavedPlaces &places = window.contentView()->savedPlaces();
        if (!QTest::qWaitFor([&places] { return places.isLoaded(); }, 60000))
            return 1;
        const double loaded = bench::monotonicMs();
        spin(300);
        double cpu = 0;
        stalls.append(probe.stop(&cpu));
        work.append(cpu);
        frames.append(paint.at - start);
        loads.append(loaded - start);
        qApp->removeEventFilter(&paint);
        if (places.places().size() != 1000000)
            return 1;
        window.close();
    }
    bench::line(QStringLiteral("start with 1000000 saved places, %1 runs").arg(runs).toUtf8());
    bench::line("  window built to its first frame: " + bench::summary(frames));
    bench::line("  to the places in the list: " + bench::summary(loads));
    bench::line("  longest GUI-thread stall from the first frame on: " + bench::summary(stalls));
    bench::line("    each run, ms: " + probe.splits());
    bench::line("  most GUI-thread time on a CPU between two 1 ms ticks: " + bench::summary(work));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList arguments = QApplication::arguments();
    if (arguments.size() >= 4 && arguments[1] == QLatin1StringView("--child")) {
        const QString mode = arguments[2];
        const int runs = arguments.value(4).toInt();
        if (mode == QLatin1StringView("open"))
            return openRoute(arguments[3], runs);
        if (mode == QLatin1StringView("import"))
            return importPlaces(arguments[3], arguments.value(5), runs);
        return startWithPlaces(arguments[3], runs);
    }
    const int runs = arguments.size() > 1 ? std::max(1, arguments[1].toInt()) : 5;
    QTemporaryDir scratch;
    const QString track = scratch.filePath(QStringLiteral("track-100000.gpx"));
    const QString large = scratch.filePath(QStringLiteral("track-200MB.gpx"));
    const QString places = scratch.filePath(QStringLiteral("places"));
    const QString waypoints = scratch.filePath(QStringLiteral("waypoints.gpx"));
    const QString million = scratch.filePath(QStringLiteral("million"));
    QDir().mkpath(places);
    QDir().mkpath(million);
    formats::Document document;
    for (const SavedPlace &place : somePlaces(100000, 50000))
        document.waypoints.append({place.name, place.coordinate});
    if (!writeTrack(track, 0, 100000) || !writeTrack(large, formats::kMaxFileBytes - 1000, 0)
        || platform::writeFileAtomically(places + QStringLiteral("/places.json"),
                                         places::toJson(somePlaces(100000, 0)))
        || platform::writeFileAtomically(waypoints, gpx::write(document))
        || platform::writeFileAtomically(million + QStringLiteral("/places.json"),
                                         places::toJson(somePlaces(1000000, 0))))
        return 1;
    QFile::copy(places + QStringLiteral("/places.json"),
                places + QStringLiteral("/places.json.start"));
    const QString self = QCoreApplication::applicationFilePath();
    const auto child = [&self](const QStringList &what, int times) {
        return QProcess::execute(self,
                                 QStringList {QStringLiteral("--child")} + what
                                     + QStringList {QString::number(times)});
    };
    int status = 0;
    status |= child({QStringLiteral("open"), track}, runs);
    status |= child({QStringLiteral("open"), large}, std::min(runs, 2));
    status |= QProcess::execute(self,
                                {QStringLiteral("--child"), QStringLiteral("import"), places,
                                 QString::number(runs), waypoints});
    status |= child({QStringLiteral("start"), million}, runs);
    return status;
}
