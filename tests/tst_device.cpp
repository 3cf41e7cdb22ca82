// Device detection and the attachment monitor, against the simulated device kit.
#include "TestSupport.h"
#include "device/DeviceDetection.h"
#include "device/DeviceMonitor.h"
#include "spoof/SpoofController.h"
#include "state/ScreenModel.h"
#include "tools/DeviceTools.h"

#include <QSignalSpy>
#include <QTest>

using namespace std::chrono_literals;

namespace {

// The screen's device half: model, detector, spoof controller and monitor over one kit.
struct DeviceScreen
{
    explicit DeviceScreen(const Timings &timings = shortTimings())
        : model(kit.environment(timings))
        , detector(model)
        , spoof(model)
        , monitor(model, detector, spoof)
    {
    }

    const ScreenState &state() const { return model.state(); }

    bool fieldsAreEmpty() const
    {
        return state().deviceiosLabelText.isEmpty() && state().serialnumberLabelText.isEmpty()
            && state().productTypeLabelText.isEmpty() && state().udidLabelText.isEmpty();
    }

    SimDeviceKit kit;
    ScreenModel model;
    DeviceDetector detector;
    SpoofController spoof;
    DeviceMonitor monitor;
};

// What the screen looked like after each change notification.
struct Snapshot
{
    QString status;
    QString picture;
    QString version, serial, product, udid;
    bool detectDisabled = false;
    bool lockDisabled = false;
    bool polling = false;
};

class Recorder
{
public:
    explicit Recorder(ScreenModel &model)
    {
        QObject::connect(&model, &ScreenModel::changed, &context_, [this, &model] {
            const ScreenState &s = model.state();
            snapshots.append({s.statusLabelText, s.statusIMGText, s.deviceiosLabelText,
                              s.serialnumberLabelText, s.productTypeLabelText, s.udidLabelText,
                              s.disabledDetectButtonSafety, s.disabledLockButton,
                              s.isPollingDeviceAttachment});
        });
    }
    QList<Snapshot> snapshots;

private:
    QObject context_;
};

const QString kUdid = QString::fromLatin1(SimDeviceKit::defaultUdid);

} // namespace

class TestDevice : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup()
    {
        QVERIFY(dispatch::waitForBackgroundWork(20000));
        QTRY_VERIFY(ProcessCensus::children().isEmpty());
        QCOMPARE(ProcessCensus::zombieChildren(), 0);
    }

    void answersAreReadAsTheToolsGiveThem_data()
    {
        QTest::addColumn<QString>("output"); // "<absent>" for no output
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("answered");
        QTest::addColumn<QString>("value"); // "<none>" for no value
        QTest::addColumn<bool>("listed");

        QTest::newRow("info with ActivationState")
            << "DeviceName: x\nActivationState: Activated\n"
            << 0 << true << "DeviceName: x\nActivationState: Activated" << true;
        QTest::newRow("ActivationState but failing") << "ActivationState: Activated\n"
                                                     << 255 << true << "<none>" << false;
        QTest::newRow("lower case does not count")
            << "activationstate: Activated\n"
            << 0 << false << "activationstate: Activated" << true;
        QTest::newRow("value trimmed both ends")
            << " \n17.4.1\r\n\t" << 0 << false << "17.4.1" << true;
        QTest::newRow("blank value is still a value") << "\n" << 0 << false << "" << false;
        QTest::newRow("only line ends") << "\n\n\r\n" << 0 << false << "" << false;
        QTest::newRow("no output") << "<absent>" << 0 << false << "<none>" << false;
        QTest::newRow("tool missing") << "<absent>" << -1 << false << "<none>" << false;
    }

    void answersAreReadAsTheToolsGiveThem()
    {
        QFETCH(QString, output);
        QFETCH(int, status);
        QFETCH(bool, answered);
        QFETCH(QString, value);
        QFETCH(bool, listed);
        ToolRunResult result;
        if (output != QStringLiteral("<absent>"))
            result.output = output;
        result.exitStatus = status;
        QCOMPARE(devicetools::deviceAnswered(result), answered);
        QCOMPARE(devicetools::valueOf(result).value_or(QStringLiteral("<none>")), value);
        QCOMPARE(devicetools::deviceListed(result), listed);
    }

    void pluggingInWhileTheScreenIsUpDetects()
    {
        DeviceScreen screen;
        screen.model.runStartupSequence();
        QTRY_VERIFY(screen.kit.commands().contains(QStringLiteral("idevice_id -l")));
        QCOMPARE(screen.state().statusLabelText,
                 QStringLiteral("Connect iOS Device in normal mode"));

        ConsoleCapture console;
        QVERIFY(screen.kit.attach(QStringLiteral("17.4.1")));

        QTRY_COMPARE(screen.state().udidLabelText, kUdid);
        QTRY_VERIFY(!screen.state().disabledDetectButtonSafety);
        QCOMPARE(screen.state().statusLabelText, QStringLiteral("iOS Device Connected!"));
        QCOMPARE(screen.state().statusIMGText, QStringLiteral("iphone16hello"));
        QCOMPARE(screen.state().deviceiosLabelText, QStringLiteral("17.4.1"));
        QCOMPARE(screen.state().serialnumberLabelText, QStringLiteral("F2LZK0ABCDEF"));
        QCOMPARE(screen.state().productTypeLabelText, QStringLiteral("iPhone15,2"));
        QVERIFY(!screen.state().disabledLockButton);
        QVERIFY(screen.state().wasDeviceAttached);
        QCOMPARE(console.lines(),
                 (QStringList {QStringLiteral("🔍 Checking for connected iOS devices..."),
                               QStringLiteral("✓ Device detected"),
                               QStringLiteral("ProductVersion: 17.4.1"),
                               QStringLiteral("SerialNumber: F2LZK0ABCDEF"),
                               QStringLiteral("ProductType: iPhone15,2"),
                               QStringLiteral("UniqueDeviceID: ") + kUdid}));

        // The detection asked the device in this order, after the probe saw it.
        QStringList asked = screen.kit.commands();
        asked.removeAll(QStringLiteral("idevice_id -l"));
        QCOMPARE(asked,
                 (QStringList {QStringLiteral("ideviceinfo"),
                               QStringLiteral("ideviceinfo -k ProductVersion"),
                               QStringLiteral("ideviceinfo -k SerialNumber"),
                               QStringLiteral("ideviceinfo -k ProductType"),
                               QStringLiteral("ideviceinfo -k UniqueDeviceID")}));

        // Staying attached does not detect again.
        const qsizetype before = screen.kit.commands().count(QStringLiteral("ideviceinfo"));
        const qsizetype polls = screen.kit.commands().count(QStringLiteral("idevice_id -l"));
        QTRY_VERIFY(screen.kit.commands().count(QStringLiteral("idevice_id -l")) >= polls + 3);
        QCOMPARE(screen.kit.commands().count(QStringLiteral("ideviceinfo")), before);
        screen.model.stopBackgroundWork();
    }

    void aDeviceAttachedAtStartIsDetectedAtTheFirstTick()
    {
        Timings timings = shortTimings();
        timings.monitorInterval = 200ms;
        DeviceScreen screen(timings);
        QVERIFY(screen.kit.attach(QStringLiteral("16.7.10")));
        QSignalSpy ticks(&screen.model, &ScreenModel::deviceMonitorTick);

        screen.model.runStartupSequence();
        QCOMPARE(screen.state().statusLabelText,
                 QStringLiteral("Connect iOS Device in normal mode"));
        QVERIFY(screen.kit.commands().isEmpty()); // no poll before the first tick

        QVERIFY(ticks.wait(5000));
        QTRY_COMPARE(screen.state().deviceiosLabelText, QStringLiteral("16.7.10"));
        QCOMPARE(screen.kit.commands().first(), QStringLiteral("idevice_id -l"));
        screen.model.stopBackgroundWork();
    }

    void pullingOutWithNothingHeld()
    {
        DeviceScreen screen;
        QVERIFY(screen.kit.attach());
        screen.model.runStartupSequence();
        QTRY_COMPARE(screen.state().udidLabelText, kUdid);
        QTRY_VERIFY(!screen.state().disabledDetectButtonSafety);
        screen.model.update(
            [](ScreenState &s) { s.lockStatusText = QStringLiteral("earlier text"); });

        QVERIFY(screen.kit.detach());

        QTRY_VERIFY(!screen.state().wasDeviceAttached);
        QCOMPARE(screen.state().statusLabelText,
                 QStringLiteral("Connect iOS Device in normal mode"));
        QCOMPARE(screen.state().statusIMGText, QStringLiteral("iphone16"));
        QVERIFY(screen.fieldsAreEmpty());
        QVERIFY(screen.state().disabledLockButton);
        QVERIFY(!screen.state().disabledDetectButtonSafety);
        QCOMPARE(screen.state().lockStatusText, QStringLiteral("earlier text"));
        QVERIFY(!screen.state().isLocationLocked);
        screen.model.stopBackgroundWork();
    }

    void pullingOutWhileALocationIsHeldEndsIt()
    {
        DeviceScreen screen;
        QVERIFY(screen.kit.attach(QStringLiteral("16.7")));
        screen.model.runStartupSequence();
        QTRY_COMPARE(screen.state().udidLabelText, kUdid);
        QTRY_VERIFY(!screen.state().disabledDetectButtonSafety);

        // Hold a location the way the spoofing code does: a running set process.
        const auto held =
            ChildProcess::launch(screen.kit.toolPath(QStringLiteral("idevicesetlocation")),
                                 devicetools::setLocationArguments(48.8566, 2.3522))
                .process;
        QVERIFY(held);
        childprocess::watch(held);
        QTRY_COMPARE(screen.kit.location(), QStringLiteral("48.8566 2.3522"));
        screen.model.update([held](ScreenState &s) {
            s.locationProcess = held;
            s.isLocationLocked = true;
            s.lockStatusText = QStringLiteral("🔒 Spoofing at 48.8566, 2.3522");
        });

        QVERIFY(screen.kit.detach());

        QTRY_VERIFY(!screen.state().isLocationLocked);
        QCOMPARE(screen.state().lockStatusText,
                 QStringLiteral("Device disconnected — location spoof ended."));
        QVERIFY(!screen.state().locationProcess);
        QVERIFY(screen.state().disabledLockButton);
        QVERIFY(screen.fieldsAreEmpty());
        QTRY_VERIFY(!ProcessCensus::isRunning(held->processId()));
        QTRY_VERIFY(!held->isRunning());
        screen.model.stopBackgroundWork();
    }

    void noDeviceShowsNotFoundThenThePromptWithNoPollBetween()
    {
        DeviceScreen screen;
        screen.model.runStartupSequence();
        QTRY_VERIFY(screen.kit.commands().contains(QStringLiteral("idevice_id -l")));
        QTRY_VERIFY(!screen.state().isPollingDeviceAttachment);
        Recorder recorder(screen.model);
        ConsoleCapture console;
        QSignalSpy finished(&screen.detector, &DeviceDetector::detectionFinished);

        screen.detector.startDeviceDetection();
        QVERIFY(finished.wait(10000));

        QStringList statuses;
        bool inNotFound = false;
        for (const Snapshot &snap : std::as_const(recorder.snapshots)) {
            if (statuses.isEmpty() || statuses.last() != snap.status)
                statuses.append(snap.status);
            if (snap.status == QStringLiteral("Not detecting any devices!")) {
                inNotFound = true;
                QVERIFY(snap.detectDisabled);
                QVERIFY(snap.lockDisabled);
                QCOMPARE(snap.picture, QStringLiteral("iphone16"));
                QVERIFY2(!snap.polling, "a probe ran during the not-found pause");
            }
        }
        QVERIFY(inNotFound);
        // A poll already in flight may land before the Checking step; none after it.
        while (!statuses.isEmpty() && statuses.first() != QStringLiteral("Checking devices..."))
            statuses.removeFirst();
        QCOMPARE(statuses,
                 (QStringList {QStringLiteral("Checking devices..."),
                               QStringLiteral("Not detecting any devices!"),
                               QStringLiteral("Connect iOS Device in normal mode")}));
        QCOMPARE(console.lines(),
                 (QStringList {QStringLiteral("🔍 Checking for connected iOS devices..."),
                               QStringLiteral("No device detected :(")}));
        QVERIFY(!screen.state().disabledDetectButtonSafety);
        QVERIFY(screen.state().disabledLockButton);
        screen.model.stopBackgroundWork();
    }

    void detectionFaults_data()
    {
        QTest::addColumn<QStringList>("fault"); // selector, kind, parameter; or "remove"/"break"
        QTest::addColumn<QString>("status");
        QTest::addColumn<QStringList>("fields"); // version, serial, product, udid
        QTest::addColumn<bool>("lockDisabled");
        QTest::addColumn<QStringList>("console"); // lines that must appear, in this order

        const QStringList all {QStringLiteral("17.4.1"), QStringLiteral("F2LZK0ABCDEF"),
                               QStringLiteral("iPhone15,2"), kUdid};
        const QStringList none {QString(), QString(), QString(), QString()};
        QTest::newRow("serial query fails")
            << QStringList {QStringLiteral("ideviceinfo:SerialNumber"),
                            QStringLiteral("exit-nonzero"), QStringLiteral("1")}
            << "iOS Device Connected!"
            << QStringList {QStringLiteral("17.4.1"), QString(), QStringLiteral("iPhone15,2"),
                            kUdid}
            << false
            << QStringList {QStringLiteral("ProductVersion: 17.4.1"),
                            QStringLiteral("Error getting SerialNumber:"),
                            QStringLiteral("ProductType: iPhone15,2")};
        QTest::newRow("serial is not UTF-8")
            << QStringList {QStringLiteral("ideviceinfo:SerialNumber"), QStringLiteral("non-utf8"),
                            QStringLiteral("0")}
            << "iOS Device Connected!"
            << QStringList {QStringLiteral("17.4.1"), QString(), QStringLiteral("iPhone15,2"),
                            kUdid}
            << false << QStringList {QStringLiteral("Error getting SerialNumber:")};
        QTest::newRow("version answers non-zero with a value")
            << QStringList {QStringLiteral("ideviceinfo:ProductVersion"),
                            QStringLiteral("exit-status"), QStringLiteral("2")}
            << "iOS Device Connected!"
            << QStringList {QString(), QStringLiteral("F2LZK0ABCDEF"), QStringLiteral("iPhone15,2"),
                            kUdid}
            << false << QStringList {QStringLiteral("Error getting ProductVersion:")};
        QTest::newRow("non-zero exit but ActivationState")
            << QStringList {QStringLiteral("ideviceinfo"), QStringLiteral("exit-status"),
                            QStringLiteral("255")}
            << "iOS Device Connected!" << none << false
            << QStringList {QStringLiteral("✓ Device detected"),
                            QStringLiteral("Error getting ProductVersion:")};
        QTest::newRow("no ActivationState")
            << QStringList {QStringLiteral("ideviceinfo"), QStringLiteral("no-activation"),
                            QStringLiteral("0")}
            << "Connect iOS Device in normal mode" << none << true
            << QStringList {QStringLiteral("No device detected :(")};
        QTest::newRow("ideviceinfo missing")
            << QStringList {QStringLiteral("remove")}
            << "Error: ideviceinfo missing from app bundle!" << none << true
            << QStringList {QStringLiteral("❌ ERROR: ideviceinfo missing from app bundle")};
        QTest::newRow("ideviceinfo cannot launch")
            << QStringList {QStringLiteral("break")} << "Connect iOS Device in normal mode" << none
            << true
            << QStringList {QStringLiteral("❌ Error running ideviceinfo: Exec format error"),
                            QStringLiteral("No device detected :(")};
        QTest::newRow("ideviceinfo hangs")
            << QStringList {QStringLiteral("ideviceinfo"), QStringLiteral("hang"),
                            QStringLiteral("0")}
            << "Connect iOS Device in normal mode" << none << true
            << QStringList {
                   QStringLiteral("❌ ideviceinfo did not finish within 0.5 s and was stopped"),
                   QStringLiteral("No device detected :(")};
        Q_UNUSED(all);
    }

    void detectionFaults()
    {
        QFETCH(QStringList, fault);
        QFETCH(QString, status);
        QFETCH(QStringList, fields);
        QFETCH(bool, lockDisabled);
        QFETCH(QStringList, console);

        Timings timings = shortTimings();
        timings.toolDeadline = 500ms;
        DeviceScreen screen(timings);
        QVERIFY(screen.kit.attach());
        if (fault.first() == QStringLiteral("remove"))
            screen.kit.removeTool(QStringLiteral("ideviceinfo"));
        else if (fault.first() == QStringLiteral("break"))
            screen.kit.breakTool(QStringLiteral("ideviceinfo"));
        else
            QVERIFY(screen.kit.fault(fault[0], fault[1], fault[2].toInt()));
        ConsoleCapture capture;
        QSignalSpy finished(&screen.detector, &DeviceDetector::detectionFinished);

        screen.detector.startDeviceDetection();
        QVERIFY(finished.wait(15000));

        QCOMPARE(screen.state().statusLabelText, status);
        QCOMPARE(screen.state().deviceiosLabelText, fields[0]);
        QCOMPARE(screen.state().serialnumberLabelText, fields[1]);
        QCOMPARE(screen.state().productTypeLabelText, fields[2]);
        QCOMPARE(screen.state().udidLabelText, fields[3]);
        QCOMPARE(screen.state().disabledLockButton, lockDisabled);
        QVERIFY(!screen.state().disabledDetectButtonSafety); // the button is usable again
        qsizetype at = 0;
        const QStringList lines = capture.lines();
        for (const QString &expected : console) {
            at = lines.indexOf(expected, at);
            QVERIFY2(at >= 0, qPrintable(expected + QStringLiteral(" in ") + lines.join(u'|')));
        }
    }

    void updatesReachTheScreenInOrder()
    {
        DeviceScreen screen;
        QVERIFY(screen.kit.attach());
        Recorder recorder(screen.model);
        QSignalSpy finished(&screen.detector, &DeviceDetector::detectionFinished);

        screen.detector.startDeviceDetection();
        QVERIFY(finished.wait(10000));

        const QList<Snapshot> &snaps = recorder.snapshots;
        QCOMPARE(snaps.size(), 7); // Checking, Connected, four Values, Finished
        QCOMPARE(snaps[0].status, QStringLiteral("Checking devices..."));
        QCOMPARE(snaps[0].picture, QStringLiteral("iphone16_halfload"));
        QVERIFY(snaps[0].detectDisabled && snaps[0].lockDisabled);
        QVERIFY(snaps[0].version.isEmpty() && snaps[0].udid.isEmpty());
        QCOMPARE(snaps[1].status, QStringLiteral("iOS Device Connected!"));
        QVERIFY(snaps[1].version.isEmpty());
        QCOMPARE(snaps[2].version, QStringLiteral("17.4.1"));
        QVERIFY(snaps[2].serial.isEmpty());
        QCOMPARE(snaps[3].serial, QStringLiteral("F2LZK0ABCDEF"));
        QVERIFY(snaps[3].product.isEmpty());
        QCOMPARE(snaps[4].product, QStringLiteral("iPhone15,2"));
        QVERIFY(snaps[4].udid.isEmpty());
        QCOMPARE(snaps[5].udid, kUdid);
        QVERIFY(snaps[5].detectDisabled && snaps[5].lockDisabled);
        QVERIFY(!snaps[6].detectDisabled && !snaps[6].lockDisabled);
    }

    void aSecondDetectionInFlightIsIgnored()
    {
        DeviceScreen screen;
        QVERIFY(screen.kit.attach());
        Recorder recorder(screen.model);
        QSignalSpy finished(&screen.detector, &DeviceDetector::detectionFinished);

        // A press and a device arrival in the same turn of the event loop.
        screen.detector.startDeviceDetection();
        screen.monitor.applyAttachmentResult(true);

        QVERIFY(finished.wait(10000));
        QVERIFY(dispatch::waitForBackgroundWork(10000));
        QCoreApplication::processEvents();
        QCOMPARE(finished.size(), 1);
        QCOMPARE(screen.kit.commands().count(QStringLiteral("ideviceinfo")), 1);
        QCOMPARE(screen.kit.commands().count(QStringLiteral("ideviceinfo -k UniqueDeviceID")), 1);
        QCOMPARE(recorder.snapshots.size(), 8); // the monitor's own change, then one detection
        QVERIFY(screen.state().wasDeviceAttached);

        // Once it is over, a new detection runs and clears the fields first.
        recorder.snapshots.clear();
        screen.detector.startDeviceDetection();
        QVERIFY(finished.wait(10000));
        QVERIFY(recorder.snapshots.first().udid.isEmpty());
        QCOMPARE(screen.state().udidLabelText, kUdid);
    }

    void theGuiThreadKeepsTurningWhileAToolIsSlow()
    {
        DeviceScreen screen;
        QVERIFY(screen.kit.attach());
        QVERIFY(screen.kit.fault(QStringLiteral("ideviceinfo"), QStringLiteral("slow"), 1500));
        QSignalSpy finished(&screen.detector, &DeviceDetector::detectionFinished);

        screen.detector.startDeviceDetection();
        // If the GUI thread waited for the tool, these events would only run after it.
        QString seenByLaterEvent;
        int turns = 0;
        QTimer pulse;
        connect(&pulse, &QTimer::timeout, this, [&] {
            if (++turns == 5)
                seenByLaterEvent = screen.state().statusLabelText;
        });
        pulse.start(10);
        QVERIFY(finished.wait(15000));
        QCOMPARE(seenByLaterEvent, QStringLiteral("Checking devices..."));
    }

    void probeFaultsMeanNotAttached_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("parameter");
        QTest::newRow("blank output") << "blank" << 0;
        QTest::newRow("non-zero status") << "exit-status" << 1;
        QTest::newRow("error exit") << "exit-nonzero" << 0;
        QTest::newRow("not UTF-8") << "non-utf8" << 0;
        QTest::newRow("missing") << "remove" << 0;
        QTest::newRow("cannot launch") << "break" << 0;
    }

    void probeFaultsMeanNotAttached()
    {
        QFETCH(QString, kind);
        QFETCH(int, parameter);
        SimDeviceKit kit;
        QVERIFY(kit.attach());
        const AppEnvironment environment = kit.environment();
        QVERIFY(DeviceMonitor::isDeviceAttached(environment));
        if (kind == QStringLiteral("remove"))
            kit.removeTool(QStringLiteral("idevice_id"));
        else if (kind == QStringLiteral("break"))
            kit.breakTool(QStringLiteral("idevice_id"));
        else
            QVERIFY(kit.fault(QStringLiteral("idevice_id"), kind, parameter));
        QVERIFY(!DeviceMonitor::isDeviceAttached(environment));
    }

    void missingProbeToolOnlyPrintsItsLine()
    {
        DeviceScreen screen;
        QVERIFY(screen.kit.attach());
        screen.kit.removeTool(QStringLiteral("idevice_id"));
        screen.model.update([](ScreenState &s) { s.isLocationLocked = true; });
        ConsoleCapture console;
        screen.model.runStartupSequence();

        QTRY_VERIFY(console.lines().size() >= 3);
        screen.model.stopBackgroundWork();
        QVERIFY(dispatch::waitForBackgroundWork(10000));
        QCoreApplication::processEvents();
        for (const QString &line : console.lines())
            QCOMPARE(line, QStringLiteral("❌ Bundled tool not found: idevice_id"));
        QCOMPARE(screen.state().statusLabelText,
                 QStringLiteral("Connect iOS Device in normal mode"));
        QVERIFY(screen.state().isLocationLocked); // never ended by the monitor
        QVERIFY(!screen.state().wasDeviceAttached);
        QVERIFY(screen.kit.commands().isEmpty());
    }

    void ticksAreSkippedWhileBusy()
    {
        DeviceScreen screen;
        screen.model.update([](ScreenState &s) { s.disabledDetectButtonSafety = true; });
        screen.monitor.pollDeviceAttachment();
        QVERIFY(!screen.state().isPollingDeviceAttachment);

        screen.model.update([](ScreenState &s) {
            s.disabledDetectButtonSafety = false;
            s.isPollingDeviceAttachment = true; // a probe is still out
        });
        screen.monitor.pollDeviceAttachment();
        QVERIFY(dispatch::waitForBackgroundWork(10000));
        QVERIFY(screen.kit.commands().isEmpty());

        screen.model.update([](ScreenState &s) { s.isPollingDeviceAttachment = false; });
        screen.monitor.pollDeviceAttachment();
        QVERIFY(screen.state().isPollingDeviceAttachment);
        QTRY_VERIFY(!screen.state().isPollingDeviceAttachment);
        QCOMPARE(screen.kit.commands(), QStringList {QStringLiteral("idevice_id -l")});
    }

    // The real Debian tools, with no device attached, through the same code. They run from
    // wrapper scripts so that making the tool folder executable never touches a system file.
    void realToolsWithNoDevice()
    {
        const QStringList tools {QStringLiteral("ideviceinfo"), QStringLiteral("idevice_id")};
        for (const QString &tool : tools) {
            if (!QFileInfo::exists(QStringLiteral("/usr/bin/") + tool))
                QSKIP("libimobiledevice-utils is not installed");
        }
        const QFile::Permissions systemBefore =
            QFileInfo(QStringLiteral("/usr/bin/ideviceinfo")).permissions();
        QTemporaryDir root;
        const ToolLocator locator(root.path());
        QDir().mkpath(locator.toolsDirectory());
        for (const QString &tool : tools)
            writeScript(locator.toolsDirectory() + u'/' + tool,
                        "#!/bin/sh\nexec /usr/bin/" + tool.toUtf8() + " \"$@\"\n");

        AppEnvironment environment = SimDeviceKit().environment();
        environment.tools = locator;
        QVERIFY(!DeviceMonitor::isDeviceAttached(environment));

        ScreenModel model(environment);
        DeviceDetector detector(model);
        QSignalSpy finished(&detector, &DeviceDetector::detectionFinished);
        ConsoleCapture console;
        detector.startDeviceDetection();
        QVERIFY(finished.wait(20000));
        QVERIFY(console.contains(QStringLiteral("No device detected :(")));
        QCOMPARE(model.state().statusLabelText,
                 QStringLiteral("Connect iOS Device in normal mode"));
        QVERIFY(model.state().disabledLockButton);
        QCOMPARE(QFileInfo(QStringLiteral("/usr/bin/ideviceinfo")).permissions(), systemBefore);
    }
};

QTEST_GUILESS_MAIN(TestDevice)
#include "tst_device.moc"
