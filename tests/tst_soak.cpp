// Hundreds of plug-ins and spoofs in a row, with shortened waits: memory, threads and
// descriptors stay flat and no process is left.
#include "Footprint.h"
#include "ScreenSupport.h"
#include "SpoofSupport.h"
#include "platform/Dispatch.h"

#include <QFile>
#include <QTest>
#include <functional>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

constexpr int kPatience = 20000;
constexpr qint64 kMaxGrowthKb = 5 * 1024;

// AddressSanitizer keeps freed memory in quarantine: resident memory says nothing under it.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMemoryCounts = false;
#elif defined(__has_feature)
constexpr bool kMemoryCounts = !__has_feature(address_sanitizer);
#else
constexpr bool kMemoryCounts = true;
#endif

QString growth(const Footprint &from, const Footprint &to)
{
    return from.describe() + u" grew to "_s + to.describe();
}

} // namespace

class TestSoak : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        kit_ = std::make_unique<SimDeviceKit>();
        threadsAtRest_ = Footprint::now().otherThreads();
    }

    void cleanup()
    {
        screen_.reset();
        QVERIFY(dispatch::waitForBackgroundWork(kPatience));
        kit_->stopTunnel();
        QTRY_VERIFY_WITH_TIMEOUT(nothingLeftBehind(*kit_), kPatience);
    }

    void attachDetach()
    {
        Timings timings = shortTimings();
        timings.monitorInterval = 20ms;
        screen_ = std::make_unique<Screen>(kit_->environment(timings));
        screen_->model.runStartupSequence();
        const QString udid = QString::fromLatin1(SimDeviceKit::defaultUdid);
        soak(150, [&](int) {
            const ScreenState &s = screen_->state();
            return kit_->attach()
                && QTest::qWaitFor(
                       [&] { return s.udidLabelText == udid && !screen_->detector.isDetecting(); },
                       kPatience)
                && s.statusLabelText == u"iOS Device Connected!"_s && kit_->detach()
                && QTest::qWaitFor([&] { return !s.wasDeviceAttached; }, kPatience)
                && s.udidLabelText.isEmpty();
        });
    }

    void spoofMoveUnlock_data()
    {
        QTest::addColumn<QString>("version");
        QTest::newRow("iOS 16: idevicesetlocation") << u"16.7.10"_s;
        QTest::newRow("iOS 17: pymobiledevice3") << u"17.4.1"_s;
    }

    void spoofMoveUnlock()
    {
        QFETCH(QString, version);
        QVERIFY(kit_->attach(version));
        Timings timings = shortTimings();
        timings.setLocationWait = timings.simulateWait = 100ms;
        AppEnvironment environment = kit_->environment(timings);
        environment.adminPromptCommand = {
            writeFakePrompt(kit_->resourceFolder(), kPromptRunsScript)};
        screen_ = std::make_unique<Screen>(environment);
        QVERIFY(screen_->bringUp(kPatience));
        soak(100, [&](int cycle) {
            const ScreenState &s = screen_->state();
            const CLLocationCoordinate2D target {-45.0 + cycle * 0.25, 100.0 - cycle * 0.5};
            const QString there = coordinates::formatDegrees(target.latitude) + u' '
                + coordinates::formatDegrees(target.longitude);
            const auto shows = [&](const QString &status, const QString &location) {
                return QTest::qWaitFor(
                    [&] {
                        return s.lockStatusText == status && !s.disabledLockButton
                            && kit_->location() == location;
                    },
                    kPatience);
            };
            screen_->model.update([](ScreenState &state) { // typed in
                state.latitudeText = u"40.689247"_s;
                state.longitudeText = u"-74.044502"_s;
            });
            screen_->spoof.spoofLocation();
            if (!shows(heldText(kDefaultPinCoordinate), u"40.689247 -74.044502"_s))
                return false;
            screen_->spoof.moveSpoofedLocation(false, target);
            if (!shows(heldText(target), there))
                return false;
            screen_->spoof.unlockLocation();
            return shows(u"Location unlocked — real GPS restored."_s, QString())
                && !s.isLocationLocked;
        });
    }

    // A held tool that writes on and on without ending its line (a progress display redrawn
    // with carriage returns, say): the console gets the line's first 4 KiB once, memory stays
    // flat, and the tool is not stalled by a full pipe.
    void heldToolThatNeverEndsItsLine()
    {
        QVERIFY(kit_->attach(u"16.7.10"_s));
        const QString written = kit_->resourceFolder() + u"/written"_s;
        writeScript(kit_->toolPath(u"idevicesetlocation"_s),
                    "#!/bin/sh\n[ \"$1\" = reset ] && exit 0\nsleep 1\n"
                    "head -c 33554432 /dev/zero | tr '\\0' x\ntouch '"
                        + QFile::encodeName(written) + "'\nexec sleep 600\n");
        screen_ = std::make_unique<Screen>(kit_->environment());
        QVERIFY(screen_->bringUp(kPatience) && settle());
        const Footprint before = Footprint::now();
        ConsoleCapture console;
        bool held = false;
        {
            const QuietStandardOutput quiet;
            held = screen_->hold(kPatience)
                && QTest::qWaitFor([&] { return QFile::exists(written); }, kPatience);
        }
        QVERIFY(held);
        const Footprint after = Footprint::now();
        QVERIFY2(!kMemoryCounts || after.residentKb - before.residentKb < kMaxGrowthKb,
                 qPrintable(growth(before, after)));
        QCOMPARE(console.lines().filter(u"xxx"_s), QStringList {QString(4096, u'x') + u" […]"_s});
    }

private:
    // Runs a warm-up batch, then `cycles` more, and compares the footprints after each.
    void soak(int cycles, const std::function<bool(int)> &cycle)
    {
        constexpr int warmUp = 20;
        for (int i = 0; i < warmUp + cycles; ++i) {
            if (i == warmUp) {
                QVERIFY2(settle(), qPrintable(Footprint::now().describe()));
                warm_ = Footprint::now();
                screen_->model.startDeviceMonitor();
            }
            QVERIFY2(cycle(i), qPrintable(u"cycle %1"_s.arg(i)));
        }
        QVERIFY2(settle(), qPrintable(Footprint::now().describe()));
        const Footprint last = Footprint::now();
        qInfo("%d cycles: %s", cycles, qPrintable(growth(warm_, last)));
        QVERIFY2(last.residentKb - warm_.residentKb < kMaxGrowthKb,
                 qPrintable(growth(warm_, last)));
        QCOMPARE(last.otherThreads(), warm_.otherThreads());
        QCOMPARE(last.ownDescriptors(), warm_.ownDescriptors());
        QCOMPARE(ProcessCensus::zombieChildren(), 0);
    }

    // Nothing runs any more: the monitor is stopped, background work and every child are done,
    // and the program's own watcher and terminator threads have ended.
    bool settle()
    {
        return screen_->quiet(kPatience)
            && QTest::qWaitFor(
                   [this] {
                       return ProcessCensus::descendantsOf(getpid()).isEmpty()
                           && Footprint::now().otherThreads() == threadsAtRest_;
                   },
                   kPatience);
    }

    int threadsAtRest_ = 0;
    Footprint warm_;
    std::unique_ptr<SimDeviceKit> kit_;
    std::unique_ptr<Screen> screen_;
};

QTEST_GUILESS_MAIN(TestSoak)
#include "tst_soak.moc"
