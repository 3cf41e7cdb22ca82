// Paint times of the map view: a full 900x580 view with every tile in memory and the pin with
// its title, at device pixel ratio 1 and 2, at a whole and at a fractional zoom, and one step
// of a drag; then the same turned to bearing 37 and tilted to pitch 60. Tiles are generated
// PNGs read through file:// URLs, so no network is involved.
//
//   build/bench/bench_map            (runs ratio 1, then itself again at ratio 2)
//   build/bench/bench_map --ratio 2  (one ratio only)
#include "map/MapView.h"
#include "map/PinMarker.h"
#include "map/TileSource.h"
#include "BenchTiles.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>

using mapgeometry::TileKey;

namespace {

constexpr int kRounds = 300;
const CLLocationCoordinate2D kCentre {40.689247, -74.044502};

struct Stats
{
    double median;
    double p90;
    double cpuMedian; // CPU time of all the process's threads: what a busy machine cannot hide
};

double processCpuMs()
{
    timespec now {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

Stats measure(const std::function<void()> &step)
{
    QList<double> times;
    QList<double> cpu;
    for (int i = 0; i < kRounds; ++i) {
        QElapsedTimer timer;
        const double cpuStart = processCpuMs();
        timer.start();
        step();
        times.append(timer.nsecsElapsed() / 1e6);
        cpu.append(processCpuMs() - cpuStart);
        QCoreApplication::processEvents(); // the view's own timers, outside the timing
    }
    std::sort(times.begin(), times.end());
    std::sort(cpu.begin(), cpu.end());
    return {times[times.size() / 2], times[times.size() * 9 / 10], cpu[cpu.size() / 2]};
}

void report(qreal ratio, double zoom, double bearing, double pitch, const char *what,
            const Stats &stats, qsizetype tiles = 0)
{
    std::printf("ratio %.0f  zoom %-5g  bearing %2.0f  pitch %2.0f  %-10s  median %6.2f ms  "
                "p90 %6.2f ms  cpu %6.2f ms",
                ratio, zoom, bearing, pitch, what, stats.median, stats.p90, stats.cpuMedian);
    std::printf(tiles > 0 ? "  (%d tiles)\n" : "\n", static_cast<int>(tiles));
}

int runOneRatio()
{
    QTemporaryDir folder;
    QTemporaryDir cache;
    const QString url =
        QUrl::fromLocalFile(folder.path()).toString() + QStringLiteral("/{z}/{x}/{y}.png");
    MapView view(url, cache.path());
    view.resize(900, 580);
    view.setMarkerView(new PinMarker);
    view.setMarkerTitle(QStringLiteral("Spoofed Location"));
    view.setMarkerCoordinate(kCentre);
    view.show();
    const qreal ratio = view.devicePixelRatioF();

    struct Camera
    {
        double zoom;
        double bearing;
        double pitch;
    };
    for (const Camera camera : {Camera {14.0, 0, 0}, Camera {13.49, 0, 0}, Camera {14.0, 37, 60},
                                Camera {13.49, 37, 60}}) {
        const double zoom = camera.zoom;
        if (!bench::loadAll(view, folder.path(), kCentre, zoom, camera.bearing, camera.pitch)) {
            std::fprintf(stderr, "tiles did not load\n");
            return 1;
        }
        const Stats full = measure([&] { view.repaint(); });
        report(ratio, camera.zoom, camera.bearing, camera.pitch, "full paint", full,
               view.viewport().wantedTiles(1).size());

        // One step of a drag: the move event (the pan, the marker, the tile wish list) and
        // the repaint. Steps go back and forth, so every tile stays in memory.
        const QPointF start(450, 290);
        QMouseEvent press(QEvent::MouseButtonPress, start, view.mapToGlobal(start), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&view, &press);
        int stepIndex = 0;
        const Stats pan = measure([&] {
            const int phase = stepIndex++ % 20;
            const double dx = 20.0 + 3.0 * (phase < 10 ? phase : 20 - phase);
            const QPointF at = start + QPointF(dx, 0.5 * dx);
            QMouseEvent move(QEvent::MouseMove, at, view.mapToGlobal(at), Qt::NoButton,
                             Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(&view, &move);
            view.repaint();
        });
        QMouseEvent release(QEvent::MouseButtonRelease, start, view.mapToGlobal(start),
                            Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(&view, &release);
        report(ratio, camera.zoom, camera.bearing, camera.pitch, "pan step", pan);
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    const bool oneRatio = argc >= 3 && std::strcmp(argv[1], "--ratio") == 0;
    if (oneRatio)
        qputenv("QT_SCALE_FACTOR", argv[2]);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::printf("map view 900x580, %d rounds each\n", kRounds);
    std::fflush(stdout);
    if (oneRatio)
        return runOneRatio();
    if (const int status = runOneRatio(); status != 0)
        return status;
    std::fflush(stdout);
    QProcess second;
    second.setProcessChannelMode(QProcess::ForwardedChannels);
    second.start(QCoreApplication::applicationFilePath(),
                 {QStringLiteral("--ratio"), QStringLiteral("2")});
    second.waitForFinished(120000);
    return second.exitCode();
}
