// A location that moves: routes played and the arrow keys, through the whole window, against
// the simulated device on both chains. Paces are read off the device's track (when it was told
// what), not off the test's clock.
#include "ScreenSupport.h"
#include "SpoofSupport.h"
#include "app/ContentView.h"
#include "app/MainWindow.h"
#include "map/MapPane.h"
#include "map/MapView.h"
#include "route/Movement.h"
#include "route/RouteModel.h"
#include "route/RoutePanel.h"
#include "tools/GoIos.h"

#include <GeographicLib/Geodesic.hpp>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QTimeZone>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

constexpr double kTimeScale = 10.0; // route seconds per second
constexpr int kStepMs = 100; // one route second per step
const CLLocationCoordinate2D kStart {48.85, 2.35};

enum class Chain { Stock16, Holding16, PyMobileDevice3, GoIos };

CLLocationCoordinate2D north(CLLocationCoordinate2D from, double metres)
{
    CLLocationCoordinate2D to;
    GeographicLib::Geodesic::WGS84().Direct(from.latitude, from.longitude, 0.0, metres, to.latitude,
                                            to.longitude);
    return to;
}

double metresBetween(CLLocationCoordinate2D a, CLLocationCoordinate2D b)
{
    double metres = 0;
    GeographicLib::Geodesic::WGS84().Inverse(a.latitude, a.longitude, b.latitude, b.longitude,
                                             metres);
    return metres;
}

QString deviceText(CLLocationCoordinate2D at)
{
    return coordinates::formatDegrees(at.latitude) + u' '
        + coordinates::formatDegrees(at.longitude);
}

// The window over the kit, its movement sped up.
struct PlaybackWindow
{
    explicit PlaybackWindow(const SimDeviceKit &kit)
        : settings(kit.temporaryFolder() + u"window.ini"_s, QSettings::IniFormat)
        , window(environment(kit), &settings)
    {
        window.show();
    }
    ~PlaybackWindow() { window.close(); }

    static AppEnvironment environment(const SimDeviceKit &kit)
    {
        Timings timings = shortTimings();
        timings.movementStep = std::chrono::milliseconds(kStepMs);
        timings.movementTimeScale = kTimeScale;
        timings.stepSettle = 150ms;
        AppEnvironment environment = kit.environment(timings);
        environment.adminPromptCommand = {u"/bin/sh"_s};
        return environment;
    }

    ContentView &content() { return *window.contentView(); }
    const ScreenState &state() { return content().model().state(); }
    Movement &movement() { return content().movement(); }
    MapView *map() { return window.findChild<MapPane *>(u"mapPane"_s)->mapView(); }
    template<typename T = QPushButton>
    T *find(const char *name)
    {
        return window.findChild<T *>(QString::fromLatin1(name));
    }
    void click(const char *name) { QTest::mouseClick(find(name), Qt::LeftButton); }
    bool stopped() { return movement().player().state() == RoutePlayer::State::Stopped; }
    // Nothing on its way to the device any more.
    bool settled() { return !content().spoofController().isStepping(); }

    QSettings settings;
    MainWindow window;
};

bool setUp(SimDeviceKit &kit, Chain chain)
{
    if (chain == Chain::GoIos) {
        kit.removeTool(u"pymobiledevice3"_s);
        if (!kit.addTool(goios::kTool))
            return false;
    }
    if (chain == Chain::Stock16 && !kit.setStockSetLocation(true))
        return false;
    return kit.attach(chain == Chain::Stock16 || chain == Chain::Holding16 ? u"16.7"_s
                                                                           : u"17.4.1"_s);
}

// The kit's processes that set a location (not the tunnel daemon, not go-ios's agent).
int locationProcesses(const SimDeviceKit &kit)
{
    int count = 0;
    for (pid_t pid : processesRunningFrom(kit.resourceFolder())) {
        QFile file(u"/proc/%1/cmdline"_s.arg(pid));
        const QByteArray line = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        count += line.contains("setlocation") || line.contains("simulate-location") ? 1 : 0;
    }
    return count;
}

// Metres along a route due north from kStart, at each point the device was given.
QList<std::pair<qint64, double>> travelled(const SimDeviceKit &kit)
{
    QList<std::pair<qint64, double>> along;
    for (const SimDeviceKit::TrackPoint &point : kit.track())
        if (!point.cleared)
            along.append({point.ms, metresBetween(kStart, {point.latitude, point.longitude})});
    return along;
}

// Metres per route second between the first and the last of the points, as the device saw them.
double paceOf(const QList<std::pair<qint64, double>> &along)
{
    const double seconds = static_cast<double>(along.last().first - along.first().first) / 1000.0;
    return (along.last().second - along.first().second) / (seconds * kTimeScale);
}

} // namespace

Q_DECLARE_METATYPE(Chain)

class TestPlayback : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // A replaying device keeps our pace.
    void initTestCase() { SimDeviceKit::setTimeScale(kTimeScale); }

    void cleanup()
    {
        QVERIFY(dispatch::waitForBackgroundWork(20000));
        QTRY_VERIFY_WITH_TIMEOUT(ProcessCensus::children().isEmpty(), 10000);
    }

    // Played at a preset, the route reaches the device point by point at the preset's pace;
    // played once it ends held at the last point, with one location process at most alive.
    void playsAtThePace_data()
    {
        QTest::addColumn<Chain>("chain");
        QTest::addColumn<int>("pace");
        QTest::addColumn<int>("repeat");
        const auto row = [](const char *name, Chain chain, RoutePanel::Pace pace,
                            playback::Repeat repeat) {
            QTest::newRow(name) << chain << static_cast<int>(pace) << static_cast<int>(repeat);
        };
        using R = playback::Repeat;
        // clang-format off
        row("iOS 16, stock tool, walk", Chain::Stock16, RoutePanel::Walk, R::Once);
        row("iOS 16, holding tool, cycle", Chain::Holding16, RoutePanel::Cycle, R::Once);
        row("iOS 17, pymobiledevice3, drive", Chain::PyMobileDevice3, RoutePanel::Drive, R::Once);
        row("iOS 17, go-ios, walk", Chain::GoIos, RoutePanel::Walk, R::Once);
        row("iOS 16, stock tool, loop", Chain::Stock16, RoutePanel::Cycle, R::Loop);
        row("iOS 17, pymobiledevice3, back and forth", Chain::PyMobileDevice3, RoutePanel::Walk, R::BackAndForth);
        // clang-format on
    }

    void playsAtThePace()
    {
        QFETCH(Chain, chain);
        QFETCH(int, pace);
        QFETCH(int, repeat);
        SimDeviceKit kit;
        QVERIFY(setUp(kit, chain));
        PlaybackWindow w(kit);
        QTRY_VERIFY_WITH_TIMEOUT(w.find("lockButton")->isEnabled(), 15000);
        w.find<QComboBox>("paceCombo")->setCurrentIndex(pace);
        w.find<QComboBox>("repeatCombo")->setCurrentIndex(repeat);
        const double speed = *w.content().routePanel().speed();
        const double length = speed * 30; // 30 route seconds, 3 s here
        const CLLocationCoordinate2D end = north(kStart, length);
        w.content().route().addWaypoint(kStart);
        w.content().route().addWaypoint(end);
        w.click("playButton");
        QCOMPARE(w.state().lockStatusText, u"▶ Following the route"_s);

        if (repeat == static_cast<int>(playback::Repeat::Once)) {
            QTRY_VERIFY_WITH_TIMEOUT(w.stopped(), 30000);
            QTRY_VERIFY_WITH_TIMEOUT(w.settled(), 10000);
            QCOMPARE(w.state().lockStatusText, heldText(end));
            QTRY_COMPARE_WITH_TIMEOUT(kit.location(), deviceText(end), 10000);
        } else {
            // Round again: back to the start along a straight leg, or back along the route.
            const auto cameBack = [&] {
                double furthest = 0;
                for (const auto &[ms, metres] : travelled(kit)) {
                    if (furthest > 0.8 * length && metres < 0.5 * length)
                        return true;
                    furthest = std::max(furthest, metres);
                }
                return false;
            };
            QTRY_VERIFY_WITH_TIMEOUT(cameBack(), 30000);
            const auto along = travelled(kit);
            double biggestDrop = 0;
            for (qsizetype i = 1; i < along.size(); ++i)
                biggestDrop = std::max(biggestDrop, along[i - 1].second - along[i].second);
            // Back to the start at the pace, never in a jump: a straight leg when it loops.
            QVERIFY2(biggestDrop < 0.3 * length, qPrintable(QString::number(biggestDrop / length)));
            w.click("stopButton");
            QTRY_VERIFY_WITH_TIMEOUT(w.settled(), 10000);
            QCOMPARE(w.state().lockStatusText, heldText(w.state().pinCoordinate));
        }
        auto along = travelled(kit);
        // The first lap's points beyond the first step, which waited for the device (go-ios's
        // agent, for one, looks for phones once a second) and so reached it late.
        along.removeFirst();
        while (along.size() > 2 && along[1].second < along[0].second + 1e-3)
            along.removeFirst();
        for (qsizetype i = 1; i < along.size(); ++i)
            if (along[i].second < along[i - 1].second) {
                along = along.mid(0, i);
                break;
            }
        QVERIFY2(along.size() >= 4, qPrintable(QString::number(along.size())));
        const double measured = paceOf(along);
        QVERIFY2(measured > 0.75 * speed && measured < 1.25 * speed,
                 qPrintable(u"%1 m/s for %2"_s.arg(measured).arg(speed)));
        QTRY_VERIFY(locationProcesses(kit) <= 1);
        QCOMPARE(locationProcesses(kit), chain == Chain::Stock16 ? 0 : 1);
        // pymobiledevice3 replays the route itself; the others are told step by step.
        QCOMPARE(kit.commands().filter(u"simulate-location play"_s).isEmpty(),
                 chain != Chain::PyMobileDevice3);
        // It starts with its plan, not with a step of its own that would make the plan late.
        const QStringList located = kit.commands().filter(u"simulate-location"_s);
        QVERIFY(chain != Chain::PyMobileDevice3
                || located.first().contains(u"simulate-location play"_s));
        w.click("lockButton");
        QTRY_VERIFY_WITH_TIMEOUT(!w.state().isLocationLocked, 20000);
        kit.stopTunnel();
    }

    // Pause holds where the traveller is and tells the device nothing more; Resume goes on; a
    // faster pace shows on the device at once.
    void pauseResumeAndPace_data()
    {
        QTest::addColumn<Chain>("chain");
        QTest::newRow("iOS 16") << Chain::Stock16;
        QTest::newRow("iOS 17, go-ios") << Chain::GoIos;
        QTest::newRow("iOS 17, pymobiledevice3 replaying") << Chain::PyMobileDevice3;
    }

    void pauseResumeAndPace()
    {
        QFETCH(Chain, chain);
        SimDeviceKit kit;
        QVERIFY(setUp(kit, chain));
        PlaybackWindow w(kit);
        QTRY_VERIFY_WITH_TIMEOUT(w.find("lockButton")->isEnabled(), 15000);
        w.content().route().addWaypoint(kStart);
        w.content().route().addWaypoint(north(kStart, 5000));
        w.click("playButton");
        QTRY_VERIFY_WITH_TIMEOUT(travelled(kit).size() >= 3, 15000);

        w.click("pauseButton");
        QCOMPARE(w.find("playButton")->text(), u"▶ Resume"_s);
        QTRY_VERIFY_WITH_TIMEOUT(w.settled(), 10000);
        const CLLocationCoordinate2D pausedAt = w.state().pinCoordinate;
        QCOMPARE(w.state().lockStatusText, heldText(pausedAt));
        const qsizetype told = kit.track().size();
        QTest::qWait(6 * kStepMs); // proving that nothing comes takes some waiting
        QCOMPARE(kit.track().size(), told);
        QCOMPARE(w.state().pinCoordinate, pausedAt);

        w.click("playButton");
        QTRY_VERIFY_WITH_TIMEOUT(kit.track().size() >= told + 3, 15000);
        // Steps follow each other with the device never sent back to its real place.
        const QList<SimDeviceKit::TrackPoint> track = kit.track();
        QVERIFY(std::none_of(track.cbegin(), track.cend(),
                             [](const SimDeviceKit::TrackPoint &p) { return p.cleared; }));
        QVERIFY(metresBetween(kStart, w.state().pinCoordinate) > metresBetween(kStart, pausedAt));
        w.find<QComboBox>("paceCombo")->setCurrentIndex(RoutePanel::Drive);
        const qsizetype fromHere = travelled(kit).size();
        QTRY_VERIFY_WITH_TIMEOUT(travelled(kit).size() >= fromHere + 5, 15000);
        const double measured = paceOf(travelled(kit).mid(fromHere));
        QVERIFY2(measured > 0.75 * playback::kDrive && measured < 1.25 * playback::kDrive,
                 qPrintable(QString::number(measured)));
        w.click("stopButton");
        QTRY_VERIFY_WITH_TIMEOUT(w.settled(), 10000);
        w.click("lockButton");
        QTRY_VERIFY_WITH_TIMEOUT(!w.state().isLocationLocked, 20000);
        kit.stopTunnel();
    }

    // Everything that ends a playback ends it for good: no step reaches the device afterwards,
    // no process is left that should not be, and the status line says what happened.
    void stopCauses_data()
    {
        QTest::addColumn<Chain>("chain");
        QTest::addColumn<QString>("cause");
        QTest::addColumn<QString>("status"); // "held": held at the pin
        // clang-format off
        QTest::newRow("Stop") << Chain::Holding16 << u"stopButton"_s << u"held"_s;
        QTest::newRow("Clear") << Chain::PyMobileDevice3 << u"clearRouteButton"_s << u"held"_s;
        QTest::newRow("Unlock") << Chain::PyMobileDevice3 << u"lockButton"_s << u"Location unlocked — real GPS restored."_s;
        QTest::newRow("Reset") << Chain::Stock16 << u"resetButton"_s << u"Location unlocked — real GPS restored."_s;
        QTest::newRow("a click on the map") << Chain::GoIos << u"map"_s << u"held"_s;
        QTest::newRow("unplugged") << Chain::Holding16 << u"unplug"_s << u"Device disconnected — location spoof ended."_s;
        QTest::newRow("window closed") << Chain::PyMobileDevice3 << u"close"_s << QString();
        // clang-format on
    }

    void stopCauses()
    {
        QFETCH(Chain, chain);
        QFETCH(QString, cause);
        QFETCH(QString, status);
        SimDeviceKit kit;
        QVERIFY(setUp(kit, chain));
        auto w = std::make_unique<PlaybackWindow>(kit);
        QTRY_VERIFY_WITH_TIMEOUT(w->find("lockButton")->isEnabled(), 15000);
        w->content().route().addWaypoint(kStart);
        w->content().route().addWaypoint(north(kStart, 5000));
        w->click("playButton");
        QTRY_VERIFY_WITH_TIMEOUT(travelled(kit).size() >= 3, 15000);

        CLLocationCoordinate2D clicked {};
        if (cause == u"map"_s) {
            MapView *map = w->map();
            const QPoint at(map->width() / 3, map->height() / 3);
            clicked = coordinates::rounded(*map->coordinateAt(at));
            QTest::mouseClick(map, Qt::LeftButton, {}, at);
        } else if (cause == u"unplug"_s) {
            QVERIFY(kit.detach());
        } else if (cause == u"close"_s) {
            w.reset();
            QVERIFY(dispatch::waitForBackgroundWork(20000));
            const qsizetype told = travelled(kit).size();
            QTest::qWait(6 * kStepMs);
            QCOMPARE(travelled(kit).size(), told);
            kit.stopTunnel();
            QTRY_VERIFY_WITH_TIMEOUT(nothingLeftBehind(kit), 10000);
            return;
        } else {
            w->click(qPrintable(cause));
        }
        QTRY_VERIFY_WITH_TIMEOUT(w->stopped(), 15000);
        QTRY_VERIFY_WITH_TIMEOUT(w->settled(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!w->state().disabledLockButton || cause == u"unplug"_s, 20000);
        const bool held = status == u"held"_s;
        QTRY_COMPARE_WITH_TIMEOUT(w->state().lockStatusText,
                                  held ? heldText(w->state().pinCoordinate) : status, 15000);
        const qsizetype told = kit.track().size();
        QTest::qWait(6 * kStepMs); // a late step would show by now
        QCOMPARE(kit.track().size(), told);
        if (cause == u"map"_s)
            QTRY_COMPARE_WITH_TIMEOUT(kit.location(), deviceText(clicked), 10000);
        else if (held)
            QCOMPARE(kit.location(), deviceText(w->state().pinCoordinate));
        else if (cause != u"unplug"_s)
            QCOMPARE(kit.location(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(locationProcesses(kit), held && chain != Chain::Stock16 ? 1 : 0,
                                  10000);
        if (w->state().isLocationLocked) {
            w->click("lockButton");
            QTRY_VERIFY_WITH_TIMEOUT(!w->state().isLocationLocked, 20000);
        }
        kit.stopTunnel();
    }

    // A route goes on from where it is when what holds the phone's location goes away.
    void routeGoesOnWhenItsHolderGoes_data()
    {
        QTest::addColumn<Chain>("chain");
        QTest::addColumn<QString>("gone"); // the kit's verb that ends it
        QTest::newRow("pymobiledevice3 replaying: the play process")
            << Chain::PyMobileDevice3 << u"kill-holder"_s;
        QTest::newRow("go-ios, step by step: the agent") << Chain::GoIos << u"stop-agent"_s;
    }

    void routeGoesOnWhenItsHolderGoes()
    {
        QFETCH(Chain, chain);
        QFETCH(QString, gone);
        SimDeviceKit kit;
        QVERIFY(setUp(kit, chain));
        PlaybackWindow w(kit);
        QTRY_VERIFY_WITH_TIMEOUT(w.find("lockButton")->isEnabled(), 15000);
        const CLLocationCoordinate2D end = north(kStart, playback::kWalk * 60);
        w.content().route().addWaypoint(kStart);
        w.content().route().addWaypoint(end);
        w.click("playButton");
        QTRY_VERIFY_WITH_TIMEOUT(travelled(kit).size() >= 3, 15000);
        ConsoleCapture console;
        QVERIFY(kit.control({gone}));
        // Said on the console: the holder held again, or the agent started again by the next step.
        QTRY_VERIFY_WITH_TIMEOUT(!console.lines().filter(u"again"_s).filter(u"⚠️"_s).isEmpty(),
                                 10000);
        QTRY_VERIFY_WITH_TIMEOUT(w.stopped(), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(w.settled(), 10000);
        QCOMPARE(w.state().lockStatusText, heldText(end));
        QTRY_COMPARE_WITH_TIMEOUT(kit.location(), deviceText(end), 10000);
        w.click("lockButton");
        QTRY_VERIFY_WITH_TIMEOUT(!w.state().isLocationLocked, 20000);
        kit.control({u"stop-agent"_s});
    }

    // The arrow keys and W A S D move a held location the way they point on the screen, and
    // the device follows to where the keys were released.
    void steering_data()
    {
        QTest::addColumn<Chain>("chain");
        QTest::addColumn<int>("key");
        QTest::addColumn<double>("bearing"); // of the map
        QTest::addColumn<double>("azimuth"); // the way the location goes
        // clang-format off
        QTest::newRow("iOS 16, up, north up") << Chain::Holding16 << int(Qt::Key_Up) << 0.0 << 0.0;
        QTest::newRow("iOS 16, D, map turned") << Chain::Holding16 << int(Qt::Key_D) << 90.0 << 180.0;
        QTest::newRow("pymobiledevice3, left") << Chain::PyMobileDevice3 << int(Qt::Key_Left) << 0.0 << -90.0;
        QTest::newRow("go-ios, S") << Chain::GoIos << int(Qt::Key_S) << 0.0 << 180.0;
        // clang-format on
    }

    void steering()
    {
        QFETCH(Chain, chain);
        QFETCH(int, key);
        QFETCH(double, bearing);
        QFETCH(double, azimuth);
        SimDeviceKit kit;
        QVERIFY(setUp(kit, chain));
        PlaybackWindow w(kit);
        QTRY_VERIFY_WITH_TIMEOUT(w.find("lockButton")->isEnabled(), 15000);
        w.click("lockButton");
        QTRY_VERIFY_WITH_TIMEOUT(w.state().isLocationLocked && !w.state().disabledLockButton,
                                 20000);
        const CLLocationCoordinate2D start = w.state().pinCoordinate;
        MapView *map = w.map();
        map->setCamera(start, 16, bearing);
        map->setFocus();
        QTest::keyPress(map, static_cast<Qt::Key>(key));
        QTRY_VERIFY_WITH_TIMEOUT(metresBetween(start, w.state().pinCoordinate) > 30, 15000);
        QTest::keyRelease(map, static_cast<Qt::Key>(key));
        QTRY_VERIFY(!w.movement().isSteering());
        const CLLocationCoordinate2D releasedAt = w.state().pinCoordinate;
        double metres = 0, went = 0, unused = 0;
        GeographicLib::Geodesic::WGS84().Inverse(start.latitude, start.longitude,
                                                 releasedAt.latitude, releasedAt.longitude, metres,
                                                 went, unused);
        QVERIFY2(std::abs(std::remainder(went - azimuth, 360.0)) < 1.0,
                 qPrintable(QString::number(went)));
        QTRY_VERIFY_WITH_TIMEOUT(w.settled(), 10000);
        // The device is where the keys let go, held by one process at most.
        const SimDeviceKit::TrackPoint last = kit.track().last();
        QCOMPARE(deviceText({last.latitude, last.longitude}), deviceText(releasedAt));
        QCOMPARE(w.state().lockStatusText, heldText(releasedAt));
        QTRY_COMPARE(locationProcesses(kit), chain == Chain::Stock16 ? 0 : 1);
        w.click("lockButton");
        QTRY_VERIFY_WITH_TIMEOUT(!w.state().isLocationLocked, 20000);
        kit.stopTunnel();
    }

    // A key held down while the keyboard repeats it moves the location at the pace, whether the
    // windowing system marks the repeated presses (Qt's flag) or hands them over as a release
    // and a press each. The way is counted on the playback clock, to the moment of release.
    void steeringKeepsThePaceThroughKeyRepeat_data()
    {
        QTest::addColumn<bool>("marked");
        QTest::newRow("repeats marked") << true;
        QTest::newRow("repeats as releases and presses") << false;
    }

    void steeringKeepsThePaceThroughKeyRepeat()
    {
        QFETCH(bool, marked);
        SimDeviceKit kit;
        QVERIFY(setUp(kit, Chain::Holding16));
        PlaybackWindow w(kit);
        QTRY_VERIFY_WITH_TIMEOUT(w.find("lockButton")->isEnabled(), 15000);
        w.find<QComboBox>("paceCombo")->setCurrentIndex(RoutePanel::Drive);
        w.click("lockButton");
        QTRY_VERIFY_WITH_TIMEOUT(w.state().isLocationLocked && !w.state().disabledLockButton,
                                 20000);
        const CLLocationCoordinate2D start = w.state().pinCoordinate;
        MapView *map = w.map();
        map->setFocus();
        const auto key = [map](QEvent::Type type, bool repeat) {
            QKeyEvent event(type, Qt::Key_Up, Qt::NoModifier, QString(), repeat);
            QApplication::sendEvent(map, &event);
        };
        QElapsedTimer held;
        key(QEvent::KeyPress, false);
        held.start();
        // The keyboard's repeat: a release and a press every 40 ms while the key is down.
        int repeats = 0;
        while (held.elapsed() < 1500) {
            QTest::qWait(40);
            key(QEvent::KeyRelease, marked);
            key(QEvent::KeyPress, marked);
            ++repeats;
        }
        key(QEvent::KeyRelease, false);
        const double seconds = static_cast<double>(held.elapsed()) / 1000.0 * kTimeScale;
        QTRY_VERIFY(!w.movement().isSteering());
        QVERIFY(repeats > 20);
        const double ratio =
            metresBetween(start, w.state().pinCoordinate) / (playback::kDrive * seconds);
        QVERIFY2(ratio > 0.95 && ratio < 1.05, qPrintable(QString::number(ratio)));
        QTRY_VERIFY_WITH_TIMEOUT(w.settled(), 10000);
        const SimDeviceKit::TrackPoint last = kit.track().last();
        QCOMPARE(deviceText({last.latitude, last.longitude}), deviceText(w.state().pinCoordinate));
        w.click("lockButton");
        QTRY_VERIFY_WITH_TIMEOUT(!w.state().isLocationLocked, 20000);
    }

    // With no phone, Start previews the route on the map and says so; a phone plugged in
    // meanwhile is detected but not spoofed. Spoofing takes over from the preview where it is.
    void withoutAPhoneStartIsAPreview()
    {
        SimDeviceKit kit;
        PlaybackWindow w(kit);
        w.content().route().addWaypoint(kStart);
        w.content().route().addWaypoint(north(kStart, 5000));
        w.click("playButton");
        QVERIFY(w.movement().isPlaying() && w.movement().isPreview());
        QCOMPARE(w.state().lockStatusText,
                 u"▶ Preview: no iPhone connected, only the pin moves along the route"_s);
        QVERIFY(kit.attach(u"16.7"_s));
        QTRY_VERIFY_WITH_TIMEOUT(!w.state().udidLabelText.isEmpty(), 15000);
        const double before = metresBetween(kStart, w.state().pinCoordinate);
        QTRY_VERIFY(metresBetween(kStart, w.state().pinCoordinate) > before + 10);
        QVERIFY(w.movement().isPlaying());
        QVERIFY(!w.state().isLocationLocked);
        QVERIFY(kit.commands().filter(u"setlocation"_s).isEmpty());
        QVERIFY(kit.track().isEmpty());

        QTRY_VERIFY_WITH_TIMEOUT(w.find("lockButton")->isEnabled(), 15000);
        w.click("lockButton");
        QVERIFY(w.stopped());
        const CLLocationCoordinate2D at = w.state().pinCoordinate;
        QTRY_VERIFY_WITH_TIMEOUT(w.state().isLocationLocked && !w.state().disabledLockButton,
                                 20000);
        QCOMPARE(kit.location(), deviceText(at));
        QCOMPARE(w.state().pinCoordinate, at);
        w.click("lockButton");
        QTRY_VERIFY_WITH_TIMEOUT(!w.state().isLocationLocked, 20000);
    }

    // Drawing on a turned and tilted map: each click in route mode adds the waypoint under the
    // pointer, a dot can be dragged, Backspace and Clear remove; outside route mode a click
    // places the pin again.
    void editingOnTheMap()
    {
        SimDeviceKit kit;
        PlaybackWindow w(kit);
        QVERIFY(QTest::qWaitForWindowActive(&w.window));
        RouteModel &route = w.content().route();
        MapView *map = w.map();
        map->setCamera(kStart, 15, 37, 45);
        map->setFocus();
        QTest::keyClick(map, Qt::Key_R);
        QVERIFY(w.find("drawRouteButton")->isChecked());
        QList<CLLocationCoordinate2D> expected;
        for (const QPoint at : {QPoint(150, 150), QPoint(250, 300), QPoint(350, 200)}) {
            expected.append(*map->coordinateAt(at));
            QTest::mouseClick(map, Qt::LeftButton, {}, at);
        }
        QCOMPARE(route.waypoints(), expected);
        QCOMPARE(w.state().pinCoordinate, kDefaultPinCoordinate);
        QCOMPARE(map->routeDotAt(QPointF(252, 297)), 1);
        QCOMPARE(map->routeDotAt(QPointF(200, 380)), -1);

        QTest::mousePress(map, Qt::LeftButton, {}, QPoint(250, 300));
        QTest::mouseMove(map, QPoint(280, 330));
        QTest::mouseMove(map, QPoint(300, 350));
        QTest::mouseRelease(map, Qt::LeftButton, {}, QPoint(300, 350));
        QCOMPARE(route.waypoints().size(), 3);
        QCOMPARE(route.waypoints()[1], *map->coordinateAt(QPointF(300, 350)));
        QCOMPARE(map->routeDotAt(QPointF(300, 350)), 1);
        QTest::keyClick(map, Qt::Key_Backspace);
        QCOMPARE(route.waypoints(), expected.mid(0, 1) << *map->coordinateAt(QPointF(300, 350)));
        QVERIFY(w.find("playButton")->isEnabled());
        w.click("clearRouteButton");
        QVERIFY(route.isEmpty());
        QVERIFY(!w.find("playButton")->isEnabled());

        QTest::keyClick(map, Qt::Key_R);
        QVERIFY(!w.find("drawRouteButton")->isChecked());
        QTest::mouseClick(map, Qt::LeftButton, {}, QPoint(200, 200));
        QCOMPARE(w.state().pinCoordinate,
                 coordinates::rounded(*map->coordinateAt(QPointF(200, 200))));
        QVERIFY(route.isEmpty());

        // With no phone only the pin moves; the user placing it elsewhere ends the playback.
        route.addWaypoint(kStart);
        route.addWaypoint(north(kStart, 5000));
        w.click("playButton");
        QVERIFY(w.movement().isPlaying());
        QTRY_VERIFY(metresBetween(kStart, w.state().pinCoordinate) > 10);
        QTest::mouseClick(map, Qt::LeftButton, {}, QPoint(300, 300));
        QVERIFY(w.stopped());
        QCOMPARE(w.state().pinCoordinate,
                 coordinates::rounded(*map->coordinateAt(QPointF(300, 300))));
        QCOMPARE(w.state().lockStatusText, QString());
    }
};

QTEST_MAIN(TestPlayback)
#include "tst_playback.moc"
