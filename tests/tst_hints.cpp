// Why a device tool failed and what to do: the recognisers over recorded tool output, the hint
// line and button each cause gets on screen, and each button's fix against the simulated phone.
#include "SpoofSupport.h"
#include "app/ContentView.h"
#include "device/DeviceDetection.h"
#include "platform/Dispatch.h"
#include "state/ScreenModel.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>

using failure::Cause;
Q_DECLARE_METATYPE(failure::Cause)

using namespace Qt::StringLiterals;

namespace {

// The screen over a kit with go-ios in it, shown offscreen, failing the way a condition makes it:
// at detection (locked, untrusted, no usbmuxd, pairing pending) or else at the spoof.
struct Fixture
{
    explicit Fixture(const QString &ios, bool withPymobiledevice3 = false)
    {
        kit.attach(ios);
        kit.addTool(goios::kTool);
        if (!withPymobiledevice3)
            kit.removeTool(u"pymobiledevice3"_s);
        environment = kit.environment();
    }
    ~Fixture()
    {
        view.reset();
        dispatch::waitForBackgroundWork(20000);
    }
    const ScreenState &state() { return view->model().state(); }
    const HintState &hint() { return device ? state().deviceHint : state().spoofHint; }
    template<typename T = QPushButton>
    T *find(const char *name)
    {
        return view->findChild<T *>(QString::fromLatin1(name));
    }
    QLabel *label() { return find<QLabel>(device ? "deviceHintLabel" : "spoofHintLabel"); }
    QPushButton *button() { return find(device ? "deviceHintButton" : "spoofHintButton"); }
    bool condition(const QString &name) { return kit.control({u"condition"_s, name}); }
    bool fail(const QString &name)
    {
        device = QStringList {u"locked"_s, u"untrusted"_s, u"no-usbmuxd"_s, u"pairing-pending"_s}
                     .contains(name);
        if (device)
            condition(name);
        view = std::make_unique<ContentView>(environment);
        view->show();
        if (device) {
            // The monitor detects a phone it sees; without usbmuxd it sees none.
            if (name == QLatin1StringView("no-usbmuxd"))
                QTest::mouseClick(find("detectButton"), Qt::LeftButton);
            return QTest::qWaitFor(
                [&] { return hint().shown() && state().statusLabelText == kNormalMode; }, 20000);
        }
        // The UDID shows before detection has finished; a click on the still disabled button
        // would be lost.
        if (!QTest::qWaitFor(
                [this] {
                    return !state().udidLabelText.isEmpty() && find("lockButton")->isEnabled();
                },
                20000))
            return false;
        condition(name);
        QTest::mouseClick(find("lockButton"), Qt::LeftButton);
        return QTest::qWaitFor([&] { return !state().disabledLockButton; }, 20000);
    }

    static inline const QString kNormalMode = u"Connect iOS Device in normal mode"_s;
    SimDeviceKit kit;
    AppEnvironment environment;
    std::unique_ptr<ContentView> view;
    bool device = false;
};

} // namespace

class TestHints : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { QTRY_VERIFY(ProcessCensus::children().isEmpty()); }

    // Each line as the tool prints it (from its own source) → the cause.
    void recognisers_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<Cause>("cause");
        // The line is the row's name; the tools in turn: libimobiledevice, pymobiledevice3, go-ios.
        const auto row = [](Cause cause, const char *line) {
            QTest::newRow(line) << QString::fromUtf8(line) << cause;
        };
        // clang-format off
        row(Cause::Locked, "ERROR: Could not connect to lockdownd: Password protected (-17)");
        row(Cause::NotTrusted, "ERROR: Could not connect to lockdownd: Invalid HostID (-21)");
        row(Cause::NotTrusted, "ERROR: Could not connect to lockdownd: Pairing dialog response pending (-19)");
        row(Cause::NotTrusted, "ERROR: Device X is not paired with this host");
        row(Cause::ImageNotMounted, "ERROR: Could not start the simulatelocation service. Make sure a developer disk image is mounted!");
        row(Cause::Locked, "ERROR: Could not start the simulatelocation service. Make sure a developer disk image is mounted!\n❌ ideviceinfo: ERROR: Could not connect to lockdownd: Password protected (-17)");
        row(Cause::Locked, "ERROR: Could not validate with device X because a passcode is set. Please enter the passcode on the device and retry.");
        row(Cause::Locked, "2026-12-09 10:00:00 host pymobiledevice3.__main__[12] ERROR Device is password protected. Please unlock and retry");
        row(Cause::NotTrusted, "2026-12-09 10:00:00 host pymobiledevice3.lockdown[12] INFO waiting user pairing dialog...");
        row(Cause::DeveloperModeOff, "2026-12-09 10:00:00 host pymobiledevice3.__main__[12] ERROR Developer Mode is disabled. You can try to enable it using: python3 -m pymobiledevice3 amfi enable-developer-mode");
        row(Cause::ImageNotMounted, "    - Make sure the DeveloperDiskImage/PersonalizedImage is mounted via:");
        row(Cause::NoUsbmuxd, "2026-12-09 10:00:00 host pymobiledevice3.__main__[12] ERROR Failed to connect to usbmuxd socket. Make sure it's running.");
        row(Cause::TunnelNotAnswering, "2026-12-09 10:00:00 host pymobiledevice3.__main__[12] ERROR Unable to connect to Tunneld. You can start one using:");
        row(Cause::Locked, "⚠️ go-ios: failed to start tunnel: Could not start service:com.apple.internal.devicecompute.CoreDeviceProxy with reason:'PasswordProtected'. Have you mounted the Developer Image?");
        row(Cause::NotTrusted, "⚠️ go-ios: failed to start tunnel: could not retrieve PairRecord with error: ReadPair failed with errorcode '2', is the device paired?");
        row(Cause::NotTrusted, "❌ go-ios: failed to start tunnel: StartSession failed: {EnableSessionSSL:false Request: SessionID: Error:} error: failed to start new lockdown session: InvalidHostID");
        row(Cause::ImageNotMounted, "❌ go-ios: failed requesting channel: Timed out waiting for response for message:1 channel:0");
        row(Cause::ImageNotMounted, "❌ go-ios: failed to create location simulation service:: instruments service \"com.apple.instruments.dtservicehub\" unavailable on X: this device runs iOS 17.2.0 and needs an active tunnel — run `ios tunnel start` (cause: dial)");
        row(Cause::ImageNotMounted, "❌ go-ios: Resetting location failed with: Could not start service:com.apple.dt.simulatelocation with reason:'InvalidService'. Have you mounted the Developer Image?");
        row(Cause::NoUsbmuxd, "❌ go-ios: Device not found: X: dial unix /var/run/usbmuxd: connect: no such file or directory");
        row(Cause::TunnelNotAnswering, "⚠️ go-ios: failed to start tunnel: manualPairingTunnelStart: userspaceTUN not supported for iOS >=17 and < 17.4");
        row(Cause::ToolMissing, "❌ No iOS 17+ tool found: install go-ios");
        row(Cause::None, "ERROR: No device found!");
        // clang-format on
    }

    void recognisers()
    {
        QFETCH(QString, line);
        const failure::Finding finding =
            failure::recognise(QStringList {u"Spoofing location..."_s} + line.split(u'\n'));
        QTEST(finding.cause, "cause");
        // The tool's own words come along, without our markers.
        QVERIFY(finding.cause == Cause::None || finding.cause == Cause::ToolMissing
                || (!finding.words.isEmpty() && !finding.words.startsWith(u"❌"_s)));
    }

    // "No phone plugged in" is not "usbmuxd is not running": udev starts usbmuxd only while an
    // Apple device is plugged in, so without one its socket is rightly missing.
    void usbmuxdOrNoPhone_data()
    {
        QTest::addColumn<bool>("plugged");
        QTest::addColumn<Cause>("cause");
        QTest::newRow("no phone: no hint") << false << Cause::None;
        QTest::newRow("a phone, no usbmuxd") << true << Cause::NoUsbmuxd;
    }

    void usbmuxdOrNoPhone()
    {
        SimDeviceKit kit;
        QFETCH(bool, plugged);
        if (plugged)
            QVERIFY(kit.attach());
        AppEnvironment environment = kit.environment();
        environment.usbmuxdSocket = kit.resourceFolder() + u"/no-socket"_s;
        ToolRunResult noDevice;
        noDevice.output = u"ERROR: No device found!\n"_s;
        noDevice.exitStatus = 255;
        QTEST(detection::notFoundCause(environment, noDevice).cause, "cause");
    }

    // Each cause, as the simulated phone shows it to each chain: its hint and its button.
    void causes_data()
    {
        QTest::addColumn<QString>("condition");
        QTest::addColumn<Cause>("cause");
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("ios");
        QTest::addColumn<bool>("pymobiledevice3");
        const QString devmode = u"Show Developer Mode on iPhone"_s,
                      mount = u"Mount Developer Image"_s;
        const QString ios17 = u"17.4.1"_s;
        // clang-format off
        QTest::newRow("locked") << u"locked"_s << Cause::Locked << QString() << ios17 << false;
        QTest::newRow("not trusted") << u"untrusted"_s << Cause::NotTrusted << u"Pair Again"_s << ios17 << false;
        QTest::newRow("no usbmuxd") << u"no-usbmuxd"_s << Cause::NoUsbmuxd << QString() << ios17 << false;
        QTest::newRow("go-ios developer mode: worded as the image") << u"devmode-off"_s << Cause::ImageNotMounted << mount << ios17 << false;
        QTest::newRow("go-ios image") << u"no-image"_s << Cause::ImageNotMounted << mount << ios17 << false;
        // On iOS 17 a developer service is simply missing without Developer Mode, as without the image.
        QTest::newRow("pymobiledevice3 developer mode: worded as the image") << u"devmode-off"_s << Cause::ImageNotMounted << mount << ios17 << true;
        QTest::newRow("idevicesetlocation image") << u"no-image"_s << Cause::ImageNotMounted << mount << u"16.7"_s << false;
        QTest::newRow("go-ios agent") << QString() << Cause::TunnelNotAnswering << QString() << ios17 << false;
        // clang-format on
    }

    void causes()
    {
        QFETCH(QString, condition);
        QFETCH(Cause, cause);
        QFETCH(QString, button);
        QFETCH(QString, ios);
        QFETCH(bool, pymobiledevice3);
        Fixture f(ios, pymobiledevice3);
        if (pymobiledevice3)
            QVERIFY(startKitTunnel(f.kit));
        if (condition == QLatin1StringView("no-usbmuxd"))
            f.environment.usbmuxdSocket = f.kit.resourceFolder() + u"/no-socket"_s;
        if (condition.isEmpty()) // the agent cannot start
            QVERIFY(f.kit.fault(u"ios:tunnel"_s, u"exit-nonzero"_s));
        QVERIFY(f.fail(condition));
        QCOMPARE(f.hint().cause, cause);
        QVERIFY(f.label()->text().startsWith(failure::hintText(cause)));
        QVERIFY(f.label()->isVisible());
        QCOMPARE(f.button()->isVisible(), !button.isEmpty());
        if (!button.isEmpty())
            QCOMPARE(f.button()->text(), button);
        // The status lines stay as they were.
        QCOMPARE(f.device ? f.state().statusLabelText : f.state().lockStatusText,
                 f.device ? Fixture::kNormalMode
                          : u"❌ Failed to spoof location — see console log."_s);
        f.kit.stopTunnel();
    }

    // Each button against the simulated phone: the fix works, or the tool's error is shown;
    // nothing is left running either way.
    void fixes_data()
    {
        QTest::addColumn<QString>("condition");
        QTest::addColumn<QString>("before"); // the phone changes before the press
        QTest::addColumn<QString>("result");
        QTest::addColumn<QString>("command");
        QTest::addColumn<bool>("pymobiledevice3"); // go-ios words Developer Mode as the image
        // clang-format off
        QTest::newRow("mount") << u"no-image"_s << QString() << u"✓ Developer image mounted — press Spoof Location again"_s << u"ios image auto --udid=00008110-001A2B3C4D5E6F70 --basedir="_s << false;
        QTest::newRow("mount fails, exit 0") << u"no-image"_s << u"devmode-off"_s << u"❌ error mounting image: failed connecting to image mounter: Could not start service:com.apple.mobile.mobile_image_mounter with reason:'DeveloperModeIsNotEnabled'. Have you mounted the Developer Image?"_s << u"ios image auto"_s << false;
        QTest::newRow("reveal") << u"devmode-off"_s << QString() << u"✓ Now turn it on: Settings → Privacy & Security → Developer Mode"_s << u"ios devmode reveal --udid=00008110-001A2B3C4D5E6F70"_s << true;
        QTest::newRow("reveal fails") << u"devmode-off"_s << u"locked"_s << u"❌ Failed connecting to AMFI service: Could not start service:com.apple.amfi.lockdown with reason:'PasswordProtected'. Have you mounted the Developer Image?"_s << u"ios devmode reveal"_s << true;
        // The phone asks; once Trust is tapped, a second press pairs.
        QTest::newRow("pair") << u"untrusted"_s << QString() << u"✓ Paired — press Detect Device"_s << u"idevicepair pair"_s << false;
        QTest::newRow("pair fails") << u"pairing-pending"_s << QString() << u"❌ ERROR: Please accept the trust dialog on the screen of device 00008110-001A2B3C4D5E6F70, then attempt to pair again."_s << u"idevicepair pair"_s << false;
        QTest::newRow("cancelled") << u"no-image"_s << u"hang"_s << u"Cancelled."_s << u"ios image auto"_s << false;
        // clang-format on
    }

    void fixes()
    {
        QFETCH(QString, condition);
        QFETCH(QString, before);
        QFETCH(QString, result);
        QFETCH(QString, command);
        QFETCH(bool, pymobiledevice3);
        Fixture f(u"17.4.1"_s, pymobiledevice3);
        QVERIFY(f.fail(condition));
        if (condition == QLatin1StringView("devmode-off")) {
            // Only pymobiledevice3's mounter words it so (the spoof reads as a missing image).
            f.view->model().update([&f](ScreenState &s) {
                s.spoofHint = HintState::of({Cause::DeveloperModeOff, {}}, f.environment.tools);
            });
        }
        if (before == QLatin1StringView("hang"))
            QVERIFY(f.kit.fault(u"ios:image"_s, u"hang"_s));
        else if (!before.isEmpty())
            QVERIFY(f.condition(before));
        QVERIFY(f.button()->toolTip().size() > 0);
        QTest::mouseClick(f.button(), Qt::LeftButton);
        QVERIFY(f.hint().fixRunning);
        if (before == QLatin1StringView("hang")) {
            QTRY_VERIFY(!f.kit.commands().filter(command).isEmpty());
            QCOMPARE(f.button()->text(), u"Cancel"_s);
            QTest::mouseClick(f.button(), Qt::LeftButton);
        }
        if (condition == QLatin1StringView("untrusted")) {
            QTRY_VERIFY_WITH_TIMEOUT(
                f.label()->text().contains(u"Please accept the trust dialog"_s), 20000);
            QVERIFY(f.condition(u"none"_s)); // Trust tapped
            QTest::mouseClick(f.button(), Qt::LeftButton);
        }
        QTRY_COMPARE_WITH_TIMEOUT(f.label()->text(), result, 20000);
        QVERIFY(!f.hint().fixRunning);
        QVERIFY(!f.kit.commands().filter(command).isEmpty());
        if (before.isEmpty() && condition != QLatin1StringView("pairing-pending")
            && condition != QLatin1StringView("devmode-off"))
            QCOMPARE(f.kit.device().value(u"condition"_s), QString()); // fixed
        f.view.reset();
        QTRY_VERIFY(nothingLeftBehind(f.kit));
    }
};

QTEST_MAIN(TestHints)
#include "tst_hints.moc"
