// The spoof controller end to end: screen state, console, what the simulated device was told,
// and which child processes live.
#include "SpoofSupport.h"
#include "platform/Dispatch.h"
#include "spoof/LocationBackends.h"
#include "spoof/SpoofController.h"
#include "state/ScreenModel.h"

#include <QFile>
#include <QTest>
#include <memory>

using namespace std::chrono_literals;

namespace {

constexpr int kPatience = 20000;
const QString kUdid = QString::fromLatin1(SimDeviceKit::defaultUdid);
const QString kUnlocked = QStringLiteral("Location unlocked — real GPS restored.");
const QString kFailed = QStringLiteral("❌ Failed to spoof location — see console log.");
const QString kDisconnected = QStringLiteral("Device disconnected — location spoof ended.");

QString held(const QString &latitude, const QString &longitude)
{
    return QStringLiteral("🔒 Spoofing at ") + latitude + QStringLiteral(", ") + longitude;
}

// What the device is told on each chain.
QString setCommand(bool tunnel, const QString &latitude, const QString &longitude)
{
    return (tunnel ? QStringLiteral("pymobiledevice3 developer dvt simulate-location set --tunnel ")
                    + kUdid + u' '
                   : QStringLiteral("idevicesetlocation "))
        + QStringLiteral("-- ") + latitude + u' ' + longitude;
}

QString unlockCommand(bool tunnel)
{
    return tunnel
        ? QStringLiteral("pymobiledevice3 developer dvt simulate-location clear --tunnel ") + kUdid
        : QStringLiteral("idevicesetlocation reset");
}

QString setTool(bool tunnel)
{
    return tunnel ? QStringLiteral("pymobiledevice3:set")
                  : QStringLiteral("idevicesetlocation:set");
}

} // namespace

class TestSpoof : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        kit_ = std::make_unique<SimDeviceKit>();
        QVERIFY(kit_->isValid());
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
        kit_.reset();
    }

    void versions_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<qint64>("major");
        QTest::newRow("17.2.1") << QStringLiteral("17.2.1") << qint64(17);
        QTest::newRow("17.0") << QStringLiteral("17.0") << qint64(17);
        QTest::newRow("16.7.10") << QStringLiteral("16.7.10") << qint64(16);
        QTest::newRow("empty") << QString() << qint64(0);
        QTest::newRow("leading point") << QStringLiteral(".18.0") << qint64(18);
        QTest::newRow("letters") << QStringLiteral("17b.1") << qint64(0);
        QTest::newRow("plus sign") << QStringLiteral("+18") << qint64(18);
        QTest::newRow("blank") << QStringLiteral(" 17.1") << qint64(0);
        QTest::newRow("sign alone") << QStringLiteral("-.17") << qint64(0);
        QTest::newRow("too large") << QStringLiteral("99999999999999999999.1") << qint64(0);
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
            s.latitudeText = QStringLiteral("-90");
            s.longitudeText = QStringLiteral("180");
        });
        ConsoleCapture capture;

        controller_->toggleLocationLock();
        QCOMPARE(state().lockStatusText, QStringLiteral("Spoofing location..."));
        QVERIFY(state().disabledLockButton && state().disabledDetectButtonSafety);
        QTRY_COMPARE_WITH_TIMEOUT(state().lockStatusText,
                                  held(QStringLiteral("-90.0"), QStringLiteral("180.0")),
                                  kPatience);
        QVERIFY(state().isLocationLocked);
        QVERIFY(!state().disabledLockButton && !state().disabledDetectButtonSafety);
        QCOMPARE(state().latitudeText, QStringLiteral("-90")); // the typed text stays
        const std::shared_ptr<ChildProcess> first = state().locationProcess;
        QVERIFY(first && first->isRunning());
        QCOMPARE(kit_->location(), QStringLiteral("-90.0 180.0"));

        const CLLocationCoordinate2D paris {48.8566, 2.3522};
        controller_->moveSpoofedLocation(true, paris);
        QCOMPARE(state().pinCoordinate, paris);
        QCOMPARE(state().latitudeText, QStringLiteral("48.8566"));
        QCOMPARE(state().cameraPosition,
                 MapCameraPosition::fromRegion(coordinates::pinRegion(paris)));
        QCOMPARE(state().lockStatusText, QStringLiteral("Moving spoofed location..."));
        QVERIFY(state().disabledLockButton);
        QTRY_COMPARE_WITH_TIMEOUT(state().lockStatusText,
                                  held(QStringLiteral("48.8566"), QStringLiteral("2.3522")),
                                  kPatience);
        QVERIFY(!state().disabledLockButton);
        QVERIFY(state().locationProcess != first);
        QTRY_VERIFY(!first->isRunning());
        QCOMPARE(ProcessCensus::children(), QList<pid_t> {state().locationProcess->processId()});
        QCOMPARE(kit_->location(), QStringLiteral("48.8566 2.3522"));

        controller_->toggleLocationLock(); // now "Unlock"
        QCOMPARE(state().lockStatusText, QStringLiteral("Unlocking location..."));
        QTRY_COMPARE_WITH_TIMEOUT(state().lockStatusText, kUnlocked, kPatience);
        QVERIFY(!state().isLocationLocked && !state().locationProcess);
        QVERIFY(!state().disabledLockButton);
        QCOMPARE(kit_->location(), QString());

        // Reset with nothing held still asks the device.
        controller_->unlockLocation();
        QCOMPARE(state().lockStatusText, QStringLiteral("Unlocking location..."));
        QTRY_COMPARE_WITH_TIMEOUT(state().lockStatusText, kUnlocked, kPatience);
        QVERIFY(!state().isLocationLocked);

        QStringList told {setCommand(tunnel, QStringLiteral("-90.0"), QStringLiteral("180.0")),
                          setCommand(tunnel, QStringLiteral("48.8566"), QStringLiteral("2.3522")),
                          unlockCommand(tunnel), unlockCommand(tunnel)};
        if (tunnel)
            told.prepend(QStringLiteral("pymobiledevice3 remote tunneld -d"));
        QCOMPARE(kit_->commands(), told);
        QCOMPARE(capture.lines().filter(QStringLiteral("❌")), QStringList());
        QTRY_VERIFY(ProcessCensus::children().isEmpty());
    }

    void invalidFieldsOnlyChangeTheStatus_data()
    {
        QTest::addColumn<QString>("latitude");
        QTest::addColumn<QString>("longitude");
        QTest::newRow("leading blank") << QStringLiteral(" 40.7") << QStringLiteral("-74.0");
        QTest::newRow("comma decimal") << QStringLiteral("40,7") << QStringLiteral("-74.0");
        QTest::newRow("latitude 91") << QStringLiteral("91") << QStringLiteral("-74.0");
        QTest::newRow("NaN") << QStringLiteral("40.7") << QStringLiteral("nan");
    }

    void invalidFieldsOnlyChangeTheStatus()
    {
        QFETCH(QString, latitude);
        QFETCH(QString, longitude);
        start(QStringLiteral("17.4.1"));
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

    void failedStart_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("fault"); // a kind for the set tool, or "missing" / "broken"
        QTest::addColumn<QString>("line"); // the back-end's console line ("*" ends a prefix)
        const QString ios16 = QStringLiteral("16.7.10");
        const QString ios17 = QStringLiteral("17.0");
        QTest::newRow("exits early with status 0")
            << ios16 << QStringLiteral("exit-early")
            << QStringLiteral("❌ idevicesetlocation exited early: ");
        QTest::newRow("exits with an error")
            << ios17 << QStringLiteral("exit-nonzero")
            << QStringLiteral("❌ simulate-location set exited early: ERROR: simulated failure\n");
        QTest::newRow("output not UTF-8")
            << ios17 << QStringLiteral("non-utf8")
            << QStringLiteral("❌ simulate-location set exited early: ");
        QTest::newRow("tool missing") << ios17 << QStringLiteral("missing") << kNoIosChainLine;
        QTest::newRow("launch failure")
            << ios16 << QStringLiteral("broken")
            << QStringLiteral("❌ Error launching idevicesetlocation: *");
    }

    void failedStart()
    {
        QFETCH(QString, version);
        QFETCH(QString, fault);
        QFETCH(QString, line);
        const bool tunnel = SpoofController::usesTunnelChain(version);
        start(version);
        const QString tool =
            tunnel ? QStringLiteral("pymobiledevice3") : QStringLiteral("idevicesetlocation");
        if (fault == QStringLiteral("missing"))
            kit_->removeTool(tool);
        else if (fault == QStringLiteral("broken"))
            kit_->breakTool(tool);
        else
            QVERIFY(kit_->fault(setTool(tunnel), fault));
        ConsoleCapture capture;

        controller_->spoofLocation();
        QTRY_COMPARE_WITH_TIMEOUT(state().lockStatusText, kFailed, kPatience);
        QVERIFY(!state().isLocationLocked && !state().locationProcess);
        QVERIFY(!state().disabledLockButton && !state().disabledDetectButtonSafety);
        const QStringList lines = capture.lines();
        QVERIFY2(line.endsWith(u'*') ? lines.last().startsWith(line.chopped(1))
                                     : lines.last() == line,
                 qPrintable(lines.join(u'|')));
        QTRY_VERIFY(ProcessCensus::children().isEmpty());
    }

    void failedMoveKeepsTheLock()
    {
        start(QStringLiteral("16.7.10"));
        controller_->spoofLocation();
        QTRY_VERIFY_WITH_TIMEOUT(state().isLocationLocked, kPatience);
        const auto first = state().locationProcess;
        QVERIFY(kit_->fault(setTool(false), QStringLiteral("exit-nonzero")));

        controller_->moveSpoofedLocation(false, {1.0, 2.0});
        QTRY_COMPARE_WITH_TIMEOUT(state().lockStatusText, kFailed, kPatience);
        QVERIFY(state().isLocationLocked && !state().locationProcess);
        QVERIFY(!state().disabledLockButton);
        QTRY_VERIFY(!first->isRunning());
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

        QTRY_COMPARE_WITH_TIMEOUT(state().lockStatusText,
                                  held(QStringLiteral("19.0"), QStringLiteral("29.0")), kPatience);
        QVERIFY(!state().disabledLockButton);
        QCOMPARE(kit_->location(), QStringLiteral("19.0 29.0"));
        QTRY_COMPARE(ProcessCensus::children(),
                     QList<pid_t> {state().locationProcess->processId()});
        // The first move ran, the intermediate targets were dropped, the newest followed.
        QCOMPARE(kit_->commands().filter(QStringLiteral(" -- ")),
                 (QStringList {
                     setCommand(tunnel, QStringLiteral("40.689247"), QStringLiteral("-74.044502")),
                     setCommand(tunnel, QStringLiteral("10.0"), QStringLiteral("20.0")),
                     setCommand(tunnel, QStringLiteral("19.0"), QStringLiteral("29.0"))}));
    }

    void unplugDuringMove_data() { chains(); }
    void unplugDuringMove()
    {
        QFETCH(QString, version);
        QFETCH(bool, tunnel);
        start(version, 3000ms); // a wide window in which the new process already runs
        controller_->spoofLocation();
        QTRY_VERIFY_WITH_TIMEOUT(state().isLocationLocked && !state().disabledLockButton,
                                 kPatience);
        const QString moved = setCommand(tunnel, QStringLiteral("1.0"), QStringLiteral("2.0"));

        controller_->moveSpoofedLocation(false, {1.0, 2.0});
        QTRY_VERIFY_WITH_TIMEOUT(kit_->commands().contains(moved), kPatience);
        unplug();
        QCOMPARE(state().lockStatusText, kDisconnected);
        QVERIFY(!state().isLocationLocked && !state().locationProcess);

        // The move's late completion is dropped and its process ended.
        QVERIFY(dispatch::waitForBackgroundWork(kPatience));
        QTRY_VERIFY_WITH_TIMEOUT(ProcessCensus::children().isEmpty(), kPatience);
        QCOMPARE(state().lockStatusText, kDisconnected);
        QVERIFY(!state().isLocationLocked && !state().locationProcess);
        QVERIFY(state().disabledLockButton);
    }

    void unplugCutsShortASpoofOrAReset_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<bool>("tunnel");
        QTest::addColumn<bool>("reset");
        QTest::newRow("spoof, iOS 16") << QStringLiteral("16.7.10") << false << false;
        QTest::newRow("spoof, iOS 17") << QStringLiteral("17.0") << true << false;
        QTest::newRow("reset, iOS 16") << QStringLiteral("16.7.10") << false << true;
        QTest::newRow("reset, iOS 17") << QStringLiteral("17.0") << true << true;
    }
    void unplugCutsShortASpoofOrAReset()
    {
        QFETCH(QString, version);
        QFETCH(bool, tunnel);
        QFETCH(bool, reset);
        start(version, 3000ms);
        QVERIFY(kit_->fault(reset ? (tunnel ? QStringLiteral("pymobiledevice3:clear")
                                            : QStringLiteral("idevicesetlocation:reset"))
                                  : setTool(tunnel),
                            QStringLiteral("slow"), 500));
        if (reset)
            controller_->unlockLocation();
        else
            controller_->spoofLocation();
        unplug();

        QVERIFY(dispatch::waitForBackgroundWork(kPatience));
        QTRY_VERIFY_WITH_TIMEOUT(ProcessCensus::children().isEmpty(), kPatience);
        QCoreApplication::processEvents();
        QCOMPARE(state().lockStatusText, QString()); // no stale progress line
        QVERIFY(!state().isLocationLocked && !state().locationProcess);
        QVERIFY(state().disabledLockButton);
        QVERIFY(!state().disabledDetectButtonSafety);
    }

    void completionAfterUnlock_data() { chains(); }
    void completionAfterUnlock()
    {
        QFETCH(QString, version);
        QFETCH(bool, tunnel);
        start(version, 3000ms);
        // The set tool has started but not yet told the device when the unlock comes.
        QVERIFY(kit_->fault(setTool(tunnel), QStringLiteral("slow"), 500));
        controller_->spoofLocation();
        QTRY_VERIFY_WITH_TIMEOUT(
            kit_->commands().contains(
                setCommand(tunnel, QStringLiteral("40.689247"), QStringLiteral("-74.044502"))),
            kPatience);

        QStringList statuses;
        const QObject recorder;
        connect(model_.get(), &ScreenModel::changed, &recorder, [&] {
            if (statuses.isEmpty() || statuses.last() != state().lockStatusText)
                statuses.append(state().lockStatusText);
        });
        controller_->unlockLocation(); // while the spoof is still starting
        QTRY_COMPARE_WITH_TIMEOUT(state().lockStatusText, kUnlocked, kPatience);
        QVERIFY(dispatch::waitForBackgroundWork(kPatience));
        QTRY_VERIFY_WITH_TIMEOUT(ProcessCensus::children().isEmpty(), kPatience);
        QCOMPARE(state().lockStatusText, kUnlocked);
        QVERIFY(!state().isLocationLocked && !state().locationProcess);
        QVERIFY(!state().disabledLockButton && !state().disabledDetectButtonSafety);
        QCOMPARE(kit_->location(), QString()); // the unlock reached the device after the spoof
        QCOMPARE(kit_->commands().last(), unlockCommand(tunnel));
        // The spoof never showed itself as held in between.
        QCOMPARE(statuses, (QStringList {QStringLiteral("Unlocking location..."), kUnlocked}));
    }

    void moveDuringUnlockOnlyPlacesThePin()
    {
        start(QStringLiteral("16.7.10"));
        controller_->spoofLocation();
        QTRY_VERIFY_WITH_TIMEOUT(state().isLocationLocked && !state().disabledLockButton,
                                 kPatience);
        QVERIFY(
            kit_->fault(QStringLiteral("idevicesetlocation:reset"), QStringLiteral("slow"), 300));

        controller_->unlockLocation();
        controller_->moveSpoofedLocation(false, {5.0, 6.0});
        QCOMPARE(state().pinCoordinate, (CLLocationCoordinate2D {5.0, 6.0}));
        QCOMPARE(state().lockStatusText, QStringLiteral("Unlocking location..."));
        QTRY_COMPARE_WITH_TIMEOUT(state().lockStatusText, kUnlocked, kPatience);
        QVERIFY(dispatch::waitForBackgroundWork(kPatience));
        QCoreApplication::processEvents();
        QCOMPARE(state().lockStatusText, kUnlocked);
        QVERIFY(!state().isLocationLocked && !state().locationProcess);
        QCOMPARE(kit_->commands().filter(QStringLiteral("5.0")), QStringList());
        QTRY_VERIFY(ProcessCensus::children().isEmpty());
    }

    void closingTheScreen_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<bool>("starting"); // closed while the spoof is still starting
        QTest::newRow("iOS 16, held") << QStringLiteral("16.7.10") << false;
        QTest::newRow("iOS 17, held") << QStringLiteral("17.0") << false;
        QTest::newRow("iOS 16, starting") << QStringLiteral("16.7.10") << true;
        QTest::newRow("iOS 17, starting") << QStringLiteral("17.0") << true;
    }

    void closingTheScreen()
    {
        QFETCH(QString, version);
        QFETCH(bool, starting);
        start(version, 1000ms);
        controller_->spoofLocation();
        if (starting)
            QTRY_COMPARE_WITH_TIMEOUT(kit_->commands().filter(QStringLiteral(" -- ")).size(), 1,
                                      kPatience);
        else
            QTRY_VERIFY_WITH_TIMEOUT(state().isLocationLocked, kPatience);

        // What the window does as it closes.
        model_->stopBackgroundWork();
        controller_.reset();
        model_.reset();
        QVERIFY(dispatch::waitForBackgroundWork(kPatience));
        QTRY_VERIFY_WITH_TIMEOUT(ProcessCensus::children().isEmpty(), kPatience);
    }

    void guiThreadNeverWaitsForThePrompt()
    {
        const QString gate = kit_->resourceFolder() + QStringLiteral("/gate");
        start(QStringLiteral("17.0"), {},
              "while [ ! -e '" + QFile::encodeName(gate) + "' ]; do sleep 0.02; done\n"
                  + kPromptRunsScript);
        controller_->spoofLocation();
        // The event loop turns while the prompt is open.
        QTRY_COMPARE_WITH_TIMEOUT(promptCount(kit_->resourceFolder()), 1, kPatience);
        QCOMPARE(state().lockStatusText, QStringLiteral("Spoofing location..."));
        QVERIFY(state().disabledDetectButtonSafety);
        QFile(gate).open(QIODevice::WriteOnly);
        QTRY_COMPARE_WITH_TIMEOUT(state().lockStatusText,
                                  held(QStringLiteral("40.689247"), QStringLiteral("-74.044502")),
                                  kPatience);
    }

private:
    static void chains()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<bool>("tunnel");
        QTest::newRow("iOS 16: idevicesetlocation") << QStringLiteral("16.7.10") << false;
        QTest::newRow("iOS 17: pymobiledevice3") << QStringLiteral("17.0") << true;
    }

    // A device attached and detected, as the detection leaves the screen.
    void start(const QString &version, std::chrono::milliseconds wait = {},
               const QByteArray &prompt = kPromptRunsScript)
    {
        if (wait.count() > 0)
            timings_.simulateWait = timings_.setLocationWait = wait;
        AppEnvironment environment = kit_->environment(timings_);
        environment.adminPromptCommand = {writeFakePrompt(kit_->resourceFolder(), prompt)};
        model_ = std::make_unique<ScreenModel>(environment);
        controller_ = std::make_unique<SpoofController>(*model_);
        QVERIFY(kit_->attach(version));
        const QMap<QString, QString> device = kit_->device();
        model_->update([&](ScreenState &s) {
            s.deviceiosLabelText = version;
            s.udidLabelText = device.value(QStringLiteral("udid"));
            s.serialnumberLabelText = device.value(QStringLiteral("serial"));
            s.productTypeLabelText = device.value(QStringLiteral("product"));
            s.disabledLockButton = false;
        });
    }

    // What the attachment monitor does when the device goes away.
    void unplug()
    {
        QVERIFY(kit_->detach());
        model_->update([](ScreenState &s) {
            s.deviceiosLabelText.clear();
            s.serialnumberLabelText.clear();
            s.productTypeLabelText.clear();
            s.udidLabelText.clear();
            s.disabledLockButton = true;
        });
        controller_->endSpoofOnDisconnect();
    }

    const ScreenState &state() const { return model_->state(); }

    std::unique_ptr<SimDeviceKit> kit_;
    Timings timings_;
    std::unique_ptr<ScreenModel> model_;
    std::unique_ptr<SpoofController> controller_;
};

QTEST_MAIN(TestSpoof)
#include "tst_spoof.moc"
