// The spoof controller end to end: screen state, console, what the simulated device was told,
// and which child processes live.
#include "ScreenSupport.h"
#include "SpoofSupport.h"
#include "platform/ChildProcess.h"
#include "platform/Dispatch.h"
#include "spoof/LocationBackends.h"
#include "spoof/SpoofController.h"
#include "state/ScreenModel.h"
#include "tools/GoIos.h"

#include <QTest>
#include <memory>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

constexpr int kPatience = 20000;
const QString kUdid = QString::fromLatin1(SimDeviceKit::defaultUdid);
const QString kUnlocked = u"Location unlocked — real GPS restored."_s;
const QString kFailed = u"❌ Failed to spoof location — see console log."_s;
const QString kDisconnected = u"Device disconnected — location spoof ended."_s;

// Where the kit's tunneld listens: not its usual port, so commands name it ("UDID:PORT").
quint16 g_tunnelPort = 0;

// What the device is told on each chain.
QString setCommand(bool tunnel, const QString &latitude, const QString &longitude)
{
    return (tunnel ? QString(u"pymobiledevice3 developer dvt simulate-location set --tunnel "_s
                             + kUdid + u':' + QString::number(g_tunnelPort) + u' ')
                   : QString(u"idevicesetlocation -u "_s + kUdid + u' '))
        + u"-- "_s + latitude + u' ' + longitude;
}

QString unlockCommand(bool tunnel)
{
    return tunnel ? QString(u"pymobiledevice3 developer dvt simulate-location clear --tunnel "_s
                            + kUdid + u':' + QString::number(g_tunnelPort))
                  : QString(u"idevicesetlocation -u "_s + kUdid + u" reset"_s);
}

QString setTool(bool tunnel)
{
    return tunnel ? u"pymobiledevice3:set"_s : u"idevicesetlocation:set"_s;
}

enum class Step { None, Spoof, Move, Reset, Unplug, Close };

} // namespace

Q_DECLARE_METATYPE(Step)

class TestSpoof : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        kit_ = std::make_unique<SimDeviceKit>();
        QVERIFY(kit_->isValid());
        g_tunnelPort = kit_->tunnelPort();
        timings_ = shortTimings();
    }

    void cleanup()
    {
        controller_.reset();
        if (model_)
            model_->stopBackgroundWork();
        model_.reset();
        QVERIFY(dispatch::waitForBackgroundWork(kPatience));
        kit_->stopTunnel();
        QTRY_VERIFY_WITH_TIMEOUT(nothingLeftBehind(*kit_), kPatience);
        QVERIFY(childprocess::waitForHelperThreads(std::chrono::milliseconds(kPatience)));
        kit_.reset();
    }

    void versions_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<qint64>("major");
        const auto row = [](const char *text, qint64 major) {
            QTest::newRow(*text ? text : "empty") << QString::fromLatin1(text) << major;
        };
        row("17.2.1", 17);
        row("17.0", 17);
        row("16.7.10", 16);
        row("", 0);
        row(".18.0", 18);
        row("+18", 18);
        for (const char *text : {"17b.1", " 17.1", "-.17", "99999999999999999999.1"})
            row(text, 0);
    }

    void versions()
    {
        QFETCH(QString, version);
        QFETCH(qint64, major);
        QCOMPARE(SpoofController::iosMajorVersion(version), major);
        QCOMPARE(SpoofController::usesTunnelChain(version), major > 16);
    }

    void spoofMoveUnlockReset_data() { chains(); }
    void spoofMoveUnlockReset()
    {
        QFETCH(QString, version);
        QFETCH(bool, tunnel);
        start(version);
        model_->update([](ScreenState &s) {
            s.latitudeText = u"-90"_s;
            s.longitudeText = u"180"_s;
        });
        ConsoleCapture capture;

        controller_->toggleLocationLock();
        QCOMPARE(state().lockStatusText, u"Spoofing location..."_s);
        QVERIFY(state().disabledLockButton && state().disabledDetectButtonSafety);
        QTRY_COMPARE_WITH_TIMEOUT(state().lockStatusText, heldText({-90.0, 180.0}), kPatience);
        QVERIFY(state().isLocationLocked);
        QVERIFY(!state().disabledLockButton && !state().disabledDetectButtonSafety);
        QCOMPARE(state().latitudeText, u"-90"_s); // the typed text stays
        const std::shared_ptr<ChildProcess> first = state().locationProcess;
        QVERIFY(first && first->isRunning());
        QCOMPARE(kit_->location(), u"-90.0 180.0"_s);

        const CLLocationCoordinate2D paris {48.8566, 2.3522};
        controller_->moveSpoofedLocation(true, paris);
        QCOMPARE(state().pinCoordinate, paris);
        QCOMPARE(state().latitudeText, u"48.8566"_s);
        QCOMPARE(state().cameraPosition,
                 MapCameraPosition::fromRegion(coordinates::pinRegion(paris)));
        QCOMPARE(state().lockStatusText, u"Moving spoofed location..."_s);
        QVERIFY(state().disabledLockButton);
        QTRY_COMPARE_WITH_TIMEOUT(state().lockStatusText, heldText({48.8566, 2.3522}), kPatience);
        QVERIFY(!state().disabledLockButton);
        QVERIFY(state().locationProcess != first);
        QTRY_VERIFY(!first->isRunning());
        QCOMPARE(ProcessCensus::children(), QList<pid_t> {state().locationProcess->processId()});
        QCOMPARE(kit_->location(), u"48.8566 2.3522"_s);

        controller_->toggleLocationLock(); // now "Unlock"
        QCOMPARE(state().lockStatusText, u"Unlocking location..."_s);
        QTRY_COMPARE_WITH_TIMEOUT(state().lockStatusText, kUnlocked, kPatience);
        QVERIFY(!state().isLocationLocked && !state().locationProcess);
        QVERIFY(!state().disabledLockButton);
        QCOMPARE(kit_->location(), QString());

        // Reset with nothing held still asks the device.
        controller_->unlockLocation();
        QCOMPARE(state().lockStatusText, u"Unlocking location..."_s);
        QTRY_COMPARE_WITH_TIMEOUT(state().lockStatusText, kUnlocked, kPatience);
        QVERIFY(!state().isLocationLocked);

        QStringList told {setCommand(tunnel, u"-90.0"_s, u"180.0"_s),
                          setCommand(tunnel, u"48.8566"_s, u"2.3522"_s), unlockCommand(tunnel),
                          unlockCommand(tunnel)};
        if (tunnel)
            told.prepend(u"pymobiledevice3 remote tunneld -d"_s);
        QCOMPARE(kit_->commands(), told);
        QCOMPARE(capture.lines().filter(u"❌"_s), QStringList());
        QTRY_VERIFY(ProcessCensus::children().isEmpty());
    }

    void invalidFieldsOnlyChangeTheStatus_data()
    {
        QTest::addColumn<QString>("latitude");
        QTest::addColumn<QString>("longitude");
        QTest::newRow("leading blank") << u" 40.7"_s << u"-74.0"_s;
        QTest::newRow("comma decimal") << u"40,7"_s << u"-74.0"_s;
        QTest::newRow("latitude 91") << u"91"_s << u"-74.0"_s;
        QTest::newRow("NaN") << u"40.7"_s << u"nan"_s;
    }

    void invalidFieldsOnlyChangeTheStatus()
    {
        QFETCH(QString, latitude);
        QFETCH(QString, longitude);
        start(u"17.4.1"_s);
        model_->update([&](ScreenState &s) {
            s.latitudeText = latitude;
            s.longitudeText = longitude;
        });
        const ScreenState before = state();

        controller_->toggleLocationLock();
        QVERIFY(dispatch::waitForBackgroundWork(kPatience));
        QCoreApplication::processEvents();

        QCOMPARE(state().lockStatusText, kInvalidCoordinatesMessage);
        QCOMPARE(state().latitudeText, before.latitudeText);
        QCOMPARE(state().longitudeText, before.longitudeText);
        QCOMPARE(state().pinCoordinate, before.pinCoordinate);
        QCOMPARE(state().isLocationLocked, before.isLocationLocked);
        QCOMPARE(state().disabledLockButton, before.disabledLockButton);
        QCOMPARE(state().disabledDetectButtonSafety, before.disabledDetectButtonSafety);
        QVERIFY(!state().locationProcess);
        QCOMPARE(kit_->commands(), QStringList());
        QCOMPARE(promptCount(kit_->resourceFolder()), 0);
    }

    // A move that fails leaves the location held, on either chain. How a first spoof fails is
    // the fault matrix's part.
    void aFailedMoveKeepsTheLock_data() { chains(); }
    void aFailedMoveKeepsTheLock()
    {
        QFETCH(QString, version);
        QFETCH(bool, tunnel);
        start(version);
        controller_->spoofLocation();
        QTRY_VERIFY_WITH_TIMEOUT(state().isLocationLocked && !state().disabledLockButton,
                                 kPatience);
        QVERIFY(kit_->fault(setTool(tunnel), u"exit-nonzero"_s));
        ConsoleCapture capture;

        controller_->moveSpoofedLocation(false, {1.0, 2.0});
        QTRY_COMPARE_WITH_TIMEOUT(state().lockStatusText, kFailed, kPatience);
        QVERIFY(state().isLocationLocked && !state().locationProcess);
        QVERIFY(!state().disabledLockButton && !state().disabledDetectButtonSafety);
        const QString tool = tunnel ? u"simulate-location set"_s : u"idevicesetlocation"_s;
        QVERIFY2(capture.lines().last().startsWith(u"❌ "_s + tool + u" exited early: "_s),
                 qPrintable(capture.lines().join(u'|')));
        QTRY_VERIFY(ProcessCensus::children().isEmpty());
    }

    void rapidMovesEndAtTheLastTarget_data() { chains(); }
    void rapidMovesEndAtTheLastTarget()
    {
        QFETCH(QString, version);
        QFETCH(bool, tunnel);
        start(version);
        controller_->spoofLocation();
        QTRY_VERIFY_WITH_TIMEOUT(state().isLocationLocked && !state().disabledLockButton,
                                 kPatience);

        for (int i = 0; i < 10; ++i)
            controller_->moveSpoofedLocation(false, {10.0 + i, 20.0 + i});
        QCOMPARE(state().pinCoordinate, (CLLocationCoordinate2D {19.0, 29.0}));

        QTRY_COMPARE_WITH_TIMEOUT(state().lockStatusText, heldText({19.0, 29.0}), kPatience);
        QVERIFY(!state().disabledLockButton);
        QCOMPARE(kit_->location(), u"19.0 29.0"_s);
        QTRY_COMPARE(ProcessCensus::children(),
                     QList<pid_t> {state().locationProcess->processId()});
        // The first move ran, the intermediate targets were dropped, the newest followed.
        QCOMPARE(kit_->commands().filter(u" -- "_s),
                 (QStringList {setCommand(tunnel, u"40.689247"_s, u"-74.044502"_s),
                               setCommand(tunnel, u"10.0"_s, u"20.0"_s),
                               setCommand(tunnel, u"19.0"_s, u"29.0"_s)}));
    }

    // Something ends what is under way: whatever completes late is dropped, its process ended,
    // and the status says what happened last.
    void interruptions_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<bool>("held"); // a location is held first
        QTest::addColumn<Step>("step"); // then this is under way
        QTest::addColumn<Step>("interruption");
        QTest::addColumn<QStringList>("statuses"); // the status lines from the interruption on

        const auto rows = [](const char *name, bool held, Step step, Step interruption,
                             const QStringList &statuses) {
            for (const char *version : {"16.7.10", "17.0"})
                QTest::addRow("%s, iOS %.2s", name, version)
                    << QString::fromLatin1(version) << held << step << interruption << statuses;
        };
        rows("unplug during a move", true, Step::Move, Step::Unplug, {kDisconnected});
        rows("unplug during a spoof", false, Step::Spoof, Step::Unplug, {QString()});
        rows("unplug during a reset", false, Step::Reset, Step::Unplug, {QString()});
        rows("unlock during a spoof", false, Step::Spoof, Step::Reset,
             {u"Unlocking location..."_s, kUnlocked});
        rows("move during an unlock", true, Step::Reset, Step::Move, {kUnlocked});
        rows("close while held", true, Step::None, Step::Close, {});
        rows("close during a spoof", false, Step::Spoof, Step::Close, {});
    }

    void interruptions()
    {
        QFETCH(QString, version);
        QFETCH(bool, held);
        QFETCH(Step, step);
        QFETCH(Step, interruption);
        QFETCH(QStringList, statuses);
        const bool tunnel = SpoofController::usesTunnelChain(version);
        start(version, 3000ms); // a wide window in which the new process already runs
        if (held) {
            controller_->spoofLocation();
            QTRY_VERIFY_WITH_TIMEOUT(state().isLocationLocked && !state().disabledLockButton,
                                     kPatience);
        }
        // The step's tool has started, and told the device, when the interruption comes.
        const QString reset = tunnel ? u"pymobiledevice3:clear"_s : u"idevicesetlocation:reset"_s;
        if (step != Step::None)
            QVERIFY(kit_->fault(step == Step::Reset ? reset : setTool(tunnel), u"slow"_s, 500));
        const int before = kit_->commands().size();
        perform(step);
        if (step != Step::None)
            QTRY_VERIFY_WITH_TIMEOUT(kit_->commands().size() > before, kPatience);

        QStringList seen {state().lockStatusText};
        const QObject recorder;
        connect(model_.get(), &ScreenModel::changed, &recorder, [&] {
            if (seen.isEmpty() || seen.last() != state().lockStatusText)
                seen.append(state().lockStatusText);
        });
        perform(interruption);
        if (!statuses.isEmpty())
            QTRY_COMPARE_WITH_TIMEOUT(state().lockStatusText, statuses.last(), kPatience);

        QVERIFY(dispatch::waitForBackgroundWork(kPatience));
        QTRY_VERIFY_WITH_TIMEOUT(ProcessCensus::children().isEmpty(), kPatience);
        if (!model_)
            return; // closed: nothing may be left running, checked above and in cleanup()
        QCoreApplication::processEvents();
        QCOMPARE(seen.mid(1), statuses);
        QVERIFY(!state().isLocationLocked && !state().locationProcess);
        QCOMPARE(state().disabledLockButton, interruption == Step::Unplug);
        QVERIFY(!state().disabledDetectButtonSafety);
        if (interruption == Step::Move) // a move during an unlock only places the pin
            QCOMPARE(kit_->commands().filter(u"5.0"_s), QStringList());
        if (interruption == Step::Reset) { // the unlock reached the device after the spoof
            QCOMPARE(kit_->location(), QString());
            QCOMPARE(kit_->commands().last(), unlockCommand(tunnel));
        }
    }

    // What holds an iOS 17+ location can go away by itself (killed, crashed, the agent or
    // tunneld gone): that is noticed, the location is held again where it was, and only when
    // that fails does the lock end, saying so.
    void holdingIsWatched_data()
    {
        QTest::addColumn<bool>("goIos");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("gone"); // the kit's verb that ends it
        QTest::addColumn<bool>("heldAgain");
        // clang-format off
        QTest::newRow("pymobiledevice3, its own tunnel: the set process") << false << u"17.4.1"_s << u"kill-holder"_s << true;
        QTest::newRow("pymobiledevice3 through tunneld: the set process") << false << u"17.3.1"_s << u"kill-holder"_s << true;
        QTest::newRow("pymobiledevice3 through tunneld: tunneld") << false << u"17.3.1"_s << u"stop-tunnel"_s << true;
        QTest::newRow("go-ios: setlocation") << true << u"17.4.1"_s << u"kill-holder"_s << true;
        QTest::newRow("go-ios: the agent") << true << u"17.4.1"_s << u"stop-agent"_s << true;
        QTest::newRow("go-ios: setlocation, and holding again fails") << true << u"17.4.1"_s << u"kill-holder"_s << false;
        // clang-format on
    }

    void holdingIsWatched()
    {
        QFETCH(bool, goIos);
        QFETCH(QString, version);
        QFETCH(QString, gone);
        QFETCH(bool, heldAgain);
        if (goIos) {
            kit_->removeTool(u"pymobiledevice3"_s);
            QVERIFY(kit_->addTool(goios::kTool));
        }
        start(version);
        model_->startDeviceMonitor(); // its ticks look at the agent and tunneld
        controller_->spoofLocation();
        QTRY_VERIFY_WITH_TIMEOUT(state().isLocationLocked && !state().disabledLockButton,
                                 kPatience);
        const pid_t first = state().locationProcess->processId();
        if (!heldAgain)
            QVERIFY(kit_->control({u"condition"_s, u"no-image"_s}));
        ConsoleCapture console;
        QVERIFY(kit_->control({gone}));
        if (heldAgain) {
            QTRY_VERIFY_WITH_TIMEOUT(state().locationProcess
                                         && state().locationProcess->processId() != first
                                         && !state().disabledLockButton,
                                     kPatience);
            QCOMPARE(state().lockStatusText, heldText(kDefaultPinCoordinate));
            QTRY_COMPARE_WITH_TIMEOUT(kit_->location(), u"40.689247 -74.044502"_s, kPatience);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(state().lockStatusText,
                                      u"❌ The location could not be held again — the iPhone is "
                                      u"back at its real position."_s,
                                      kPatience);
            QVERIFY(!state().isLocationLocked && !state().locationProcess);
            QCOMPARE(state().spoofHint.cause, failure::Cause::ImageNotMounted);
        }
        QVERIFY2(!console.lines().filter(u"holding the location again"_s).isEmpty(),
                 qPrintable(console.lines().join(u'\n')));
        kit_->control({u"stop-agent"_s});
    }

private:
    static void chains()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<bool>("tunnel");
        QTest::newRow("iOS 16: idevicesetlocation") << u"16.7.10"_s << false;
        QTest::newRow("iOS 17: pymobiledevice3") << u"17.0"_s << true;
    }

    // A device attached and detected, as the detection leaves the screen.
    void start(const QString &version, std::chrono::milliseconds wait = {})
    {
        if (wait.count() > 0)
            timings_.simulateWait = timings_.setLocationWait = wait;
        AppEnvironment environment = kit_->environment(timings_);
        environment.adminPromptCommand = {
            writeFakePrompt(kit_->resourceFolder(), kPromptRunsScript)};
        model_ = std::make_unique<ScreenModel>(environment);
        controller_ = std::make_unique<SpoofController>(*model_);
        QVERIFY(kit_->attach(version));
        const QMap<QString, QString> device = kit_->device();
        model_->addSession(device.value(u"udid"_s));
        model_->updateSession(device.value(u"udid"_s), [&](DeviceSession &s) {
            s.iosVersion = version;
            s.serial = device.value(u"serial"_s);
            s.productType = device.value(u"product"_s);
            s.detecting = false;
            s.detected = true;
        });
    }

    void perform(Step step)
    {
        switch (step) {
        case Step::None:
            break;
        case Step::Spoof:
            controller_->spoofLocation();
            break;
        case Step::Move:
            controller_->moveSpoofedLocation(false, {5.0, 6.0});
            QCOMPARE(state().pinCoordinate, (CLLocationCoordinate2D {5.0, 6.0}));
            break;
        case Step::Reset:
            controller_->unlockLocation();
            break;
        case Step::Unplug:
            unplug();
            break;
        case Step::Close: // what the window does as it closes
            model_->stopBackgroundWork();
            controller_.reset();
            model_.reset();
            break;
        }
    }

    // What the attachment monitor does when the device goes away.
    void unplug()
    {
        QVERIFY(kit_->detach());
        controller_->endSpoofOnDisconnect(kUdid);
        model_->removeSession(kUdid);
    }

    const ScreenState &state() const { return model_->state(); }

    std::unique_ptr<SimDeviceKit> kit_;
    Timings timings_;
    std::unique_ptr<ScreenModel> model_;
    std::unique_ptr<SpoofController> controller_;
};

QTEST_MAIN(TestSpoof)
#include "tst_spoof.moc"
