// Routes: a 10 km walk of 10,000 points played against the simulated device (iOS 16, the stock
// set-and-exit tool) at the program's own pace of one step a second, sped up so that each step
// covers `scale` seconds of the walk: the program's CPU (its children excluded), the longest
// GUI-thread stall (the lateness of a 5 ms timer) and the step intervals, in the program and on
// the device. Then a 100,000-point GPX file opened (read and measured), and a full repaint of
// a 900x580 map with that track drawn over cached tiles.
//
//   build/bench/bench_route [seconds] [scale]     (default 30 and 20)
#include "BenchCommon.h"
#include "BenchTiles.h"
#include "ScreenSupport.h"
#include "TestSupport.h"
#include "formats/GeoFile.h"
#include "route/Movement.h"
#include "route/RouteFile.h"
#include "route/RouteModel.h"

#include <GeographicLib/Geodesic.hpp>
#include <QApplication>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QTimer>
#include <cstdio>
#include <ctime>

namespace {

const CLLocationCoordinate2D kStart {48.85, 2.35};

// `count` points `metres` apart, due north, a second apart.
QList<RoutePoint> straightTrack(int count, double metres)
{
    QList<RoutePoint> points;
    points.reserve(count);
    const QDateTime t0 = QDateTime::fromSecsSinceEpoch(1800000000, QTimeZone::utc());
    for (int i = 0; i < count; ++i) {
        CLLocationCoordinate2D at;
        GeographicLib::Geodesic::WGS84().Direct(kStart.latitude, kStart.longitude, 0.0, metres * i,
                                                at.latitude, at.longitude);
        // A little zigzag, so the line is not one straight segment for the painter.
        at.longitude += (i % 2) * 2e-6;
        points.append({at, t0.addSecs(i)});
    }
    return points;
}

int playWalk(int seconds, double scale)
{
    SimDeviceKit kit;
    if (!kit.setStockSetLocation(true) || !kit.attach(QStringLiteral("16.7")))
        return 1;
    Timings timings; // the program's own waits and its one-second step
    timings.movementTimeScale = scale;
    Screen screen(kit.environment(timings));
    if (!screen.bringUp(20000))
        return 1;
    Movement movement(screen.model, screen.spoof);
    QList<RoutePoint> walk = straightTrack(10000, 1.0);
    for (RoutePoint &point : walk)
        point.time.reset(); // played at a walking pace, not as recorded
    movement.setSpeed(playback::kWalk);

    QList<double> steps;
    QObject::connect(&movement.player(), &RoutePlayer::stepped,
                     [&steps] { steps.append(bench::monotonicMs()); });
    double longestStall = 0.0;
    double lastTick = bench::monotonicMs();
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(5);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const double now = bench::monotonicMs();
        longestStall = std::max(longestStall, now - lastTick - 5.0);
        lastTick = now;
    });

    // The CPU over the first half, without the probe (whose own wake-ups would count); the
    // stalls over the second half.
    const double cpuStart = bench::clockMs(CLOCK_PROCESS_CPUTIME_ID);
    const double wallStart = bench::monotonicMs();
    double cpu = 0.0;
    double wall = 0.0;
    movement.play(RoutePath(walk));
    QEventLoop loop;
    QTimer::singleShot(seconds * 500, &loop, [&] {
        cpu = bench::clockMs(CLOCK_PROCESS_CPUTIME_ID) - cpuStart;
        wall = bench::monotonicMs() - wallStart;
        lastTick = bench::monotonicMs();
        probe.start();
    });
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    probe.stop();
    const double done = movement.player().distanceDone();
    movement.stop();

    QList<double> intervals;
    for (qsizetype i = 1; i < steps.size(); ++i)
        intervals.append(steps[i] - steps[i - 1]);
    QList<double> deviceIntervals;
    const QList<SimDeviceKit::TrackPoint> track = kit.track();
    for (qsizetype i = 1; i < track.size(); ++i)
        deviceIntervals.append(static_cast<double>(track[i].ms - track[i - 1].ms));
    std::printf("walk of 10 km, 10000 points, %d s at scale %.0f: %.0f m walked, %d steps, "
                "%d skipped\n",
                seconds, scale, done, static_cast<int>(steps.size()), movement.skippedSteps());
    std::printf("  program CPU (children excluded), first half: %.0f ms in %.0f s = %.3f %% of a "
                "core\n",
                cpu, wall / 1000.0, cpu / wall * 100.0);
    std::printf("  longest GUI-thread stall, second half: %.1f ms\n", longestStall);
    std::printf("  step interval in the program: %s\n", bench::summary(intervals).constData());
    std::printf("  step interval on the device:  %s\n",
                bench::summary(deviceIntervals).constData());
    return 0;
}

int openAndPaint()
{
    QTemporaryDir folder;
    const QString file = folder.filePath(QStringLiteral("long.gpx"));
    const QList<RoutePoint> track = straightTrack(100000, 0.5);
    if (routefile::save(file, QStringLiteral("Long"), track))
        return 1;
    RouteModel route {AppEnvironment {}};
    QList<double> opens;
    QList<double> reads;
    for (int i = 0; i < 5; ++i) {
        QElapsedTimer timer;
        timer.start();
        const formats::ReadResult read = formats::readFile(file);
        if (!read.document)
            return 1;
        reads.append(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        route.setFromFile(read.document->trackName, RoutePath(read.document->track), true);
        opens.append(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    }
    std::printf("open a GPX of 100000 points (%.1f MB), read and measured: %s\n",
                static_cast<double>(QFileInfo(file).size()) / 1e6,
                bench::summary(opens).constData());
    std::printf("  of which reading the file: %s\n", bench::summary(reads).constData());

    QTemporaryDir tiles;
    QTemporaryDir cache;
    MapView view(QUrl::fromLocalFile(tiles.path()).toString() + QStringLiteral("/{z}/{x}/{y}.png"),
                 cache.path());
    view.resize(900, 580);
    view.show();
    QList<CLLocationCoordinate2D> line;
    line.reserve(track.size());
    for (const RoutePoint &point : route.path().points())
        line.append(point.coordinate);
    for (const double zoom : {14.0, 11.0}) {
        const CLLocationCoordinate2D centre = route.path().positionAt(route.path().length() / 2);
        if (!bench::loadAll(view, tiles.path(), centre, zoom, 0, 0))
            return 1;
        for (const bool drawn : {false, true}) {
            view.setRoute(drawn ? line : QList<CLLocationCoordinate2D> {}, {});
            QList<double> paints;
            for (int i = 0; i < 100; ++i) {
                QElapsedTimer timer;
                timer.start();
                view.repaint();
                paints.append(static_cast<double>(timer.nsecsElapsed()) / 1e6);
                QCoreApplication::processEvents();
            }
            std::printf("full repaint 900x580, ratio %.0f, zoom %.0f, %s: %s\n",
                        view.devicePixelRatioF(), zoom,
                        drawn ? "with the 100000-point track" : "tiles only",
                        bench::summary(paints, "ms", 2).constData());
        }
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
    const double scale = argc > 2 ? std::atof(argv[2]) : 20.0;
    if (const int status = openAndPaint(); status != 0)
        return status;
    std::fflush(stdout);
    return playWalk(seconds, scale);
}
