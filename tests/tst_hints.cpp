// Why a device tool failed and what to do: the recognisers over recorded tool output, the hint
// line and button each cause gets on screen, and each button's fix against the simulated phone.
#include "SpoofSupport.h"
#include "app/ContentView.h"
#include "platform/Dispatch.h"
#include "state/ScreenModel.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>

using failure::Cause;
Q_DECLARE_METATYPE(failure::Cause)

namespace {

// The screen over a kit with go-ios in it, shown offscreen.
struct Fixture
{
    explicit Fixture(const QString &ios, bool withPymobiledevice3 = false)
    {
        kit.attach(ios);
        kit.addTool(goios::kTool);
        if (!withPymobiledevice3)
            kit.removeTool(QStringLiteral("pymobiledevice3"));
        environment = kit.environment();
    }
    ~Fixture()
    {
        view.reset();
        dispatch::waitForBackgroundWork(20000);
    }
    void show()
    {
        view = std::make_unique<ContentView>(environment);
        view->show();
    }
    bool detected()
    {
        return QTest::qWaitFor([this] { return !state().udidLabelText.isEmpty(); }, 20000);
    }
    const ScreenState &state() { return view->model().state(); }
    const HintState &hint(bool device) { return device ? state().deviceHint : state().spoofHint; }
    QLabel *label(bool device)
    {
        return view->findChild<QLabel *>(device ? QStringLiteral("deviceHintLabel")
                                                : QStringLiteral("spoofHintLabel"));
    }
    QPushButton *button(bool device)
    {
        return view->findChild<QPushButton *>(device ? QStringLiteral("deviceHintButton")
                                                     : QStringLiteral("spoofHintButton"));
    }
    QPushButton *lockButton()
    {
        return view->findChild<QPushButton *>(QStringLiteral("lockButton"));
    }
    bool condition(const QString &name) { return kit.control({QStringLiteral("condition"), name}); }
    // Fails the way `name` makes it: at detection (device) or at the spoof.
    bool fail(const QString &name, bool device)
    {
        if (device) {
            condition(name);
            show();
            // The monitor detects a phone it sees; without usbmuxd it sees none.
            if (name == QLatin1StringView("no-usbmuxd"))
                QTest::mouseClick(view->findChild<QPushButton *>(QStringLiteral("detectButton")),
                                  Qt::LeftButton);
            return QTest::qWaitFor(
                [&] {
                    return hint(true).shown()
                        && state().statusLabelText
                        == QLatin1StringView("Connect iOS Device in normal mode");
                },
                20000);
        }
        show();
        if (!detected())
            return false;
        condition(name);
        QTest::mouseClick(lockButton(), Qt::LeftButton);
        return QTest::qWaitFor([&] { return !state().disabledLockButton; }, 20000);
    }

    SimDeviceKit kit;
    AppEnvironment environment;
    std::unique_ptr<ContentView> view;
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
        const auto row = [](const char *tool, const char *line, Cause cause) {
            QTest::newRow(tool) << QString::fromUtf8(line) << cause;
        };
        row("ideviceinfo locked", "ERROR: Could not connect to lockdownd: Password protected (-17)",
            Cause::Locked);
        row("ideviceinfo not paired",
            "ERROR: Could not connect to lockdownd: Invalid host ID (-21)", Cause::NotTrusted);
        row("ideviceinfo pending",
            "ERROR: Could not connect to lockdownd: Pairing dialog response pending (-19)",
            Cause::NotTrusted);
        row("idevicesetlocation no image", "Make sure a developer disk image is mounted!",
            Cause::ImageNotMounted);
        row("idevicepair passcode",
            "ERROR: Could not validate with device X because a passcode is set. Please enter the "
            "passcode on the device and retry.",
            Cause::Locked);
        row("pymobiledevice3 locked", "ERROR Device is password protected. Please unlock and retry",
            Cause::Locked);
        row("pymobiledevice3 developer mode",
            "ERROR Developer Mode is disabled. You can try to enable it using: python3 -m "
            "pymobiledevice3 amfi enable-developer-mode",
            Cause::DeveloperModeOff);
        row("pymobiledevice3 no image",
            "    - Make sure the DeveloperDiskImage/PersonalizedImage is mounted via:",
            Cause::ImageNotMounted);
        row("pymobiledevice3 usbmuxd",
            "ERROR Failed to connect to usbmuxd socket. Make sure it's running.", Cause::NoUsbmuxd);
        row("pymobiledevice3 tunneld",
            "ERROR: Unable to connect to Tunneld. You can start one using:",
            Cause::TunnelNotAnswering);
        row("go-ios locked",
            "❌ go-ios: failed to create location simulation service:: StartSession failed: {} "
            "error: failed to start new lockdown session: PasswordProtected",
            Cause::Locked);
        row("go-ios pairing", "❌ go-ios: Lockdown error: PairingDialogResponsePending",
            Cause::NotTrusted);
        row("go-ios developer mode", "❌ go-ios: error mounting image: DeveloperModeIsNotEnabled",
            Cause::DeveloperModeOff);
        row("go-ios no image",
            "❌ go-ios: Resetting location failed with: Could not start "
            "service:com.apple.dt.simulatelocation with reason:'InvalidService'. Have you mounted "
            "the Developer Image?",
            Cause::ImageNotMounted);
        row("go-ios usbmuxd",
            "❌ go-ios: USBMuxConnection failed with: dial unix /var/run/usbmuxd: connect: no such "
            "file or directory",
            Cause::NoUsbmuxd);
        row("no tool", "❌ No iOS 17+ tool found: install go-ios", Cause::ToolMissing);
        row("unrelated", "ERROR: No device found!", Cause::None);
    }

    void recognisers()
    {
        QFETCH(QString, line);
        QFETCH(Cause, cause);
        QCOMPARE(failure::recognise({QStringLiteral("Spoofing location..."), line}), cause);
    }

    // Each cause, as the simulated phone shows it to each chain: its hint and its button.
    void causes_data()
    {
        QTest::addColumn<QString>("ios");
        QTest::addColumn<bool>("pymobiledevice3");
        QTest::addColumn<QString>("condition");
        QTest::addColumn<bool>("atDetection");
        QTest::addColumn<Cause>("cause");
        QTest::addColumn<QString>("button");
        QTest::newRow("locked") << "17.4.1" << false << "locked" << true << Cause::Locked << "";
        QTest::newRow("not trusted")
            << "17.4.1" << false << "untrusted" << true << Cause::NotTrusted << "Pair Again";
        QTest::newRow("no usbmuxd")
            << "17.4.1" << false << "no-usbmuxd" << true << Cause::NoUsbmuxd << "";
        QTest::newRow("go-ios developer mode")
            << "17.4.1" << false << "devmode-off" << false << Cause::DeveloperModeOff
            << "Show Developer Mode on iPhone";
        QTest::newRow("go-ios image") << "17.4.1" << false << "no-image" << false
                                      << Cause::ImageNotMounted << "Mount Developer Image";
        QTest::newRow("pymobiledevice3 developer mode")
            << "17.4.1" << true << "devmode-off" << false << Cause::DeveloperModeOff
            << "Show Developer Mode on iPhone";
        QTest::newRow("idevicesetlocation image")
            << "16.7" << false << "no-image" << false << Cause::ImageNotMounted
            << "Mount Developer Image";
        QTest::newRow("go-ios agent")
            << "17.4.1" << false << "" << false << Cause::TunnelNotAnswering << "";
    }

    void causes()
    {
        QFETCH(QString, ios);
        QFETCH(bool, pymobiledevice3);
        QFETCH(QString, condition);
        QFETCH(bool, atDetection);
        QFETCH(Cause, cause);
        QFETCH(QString, button);
        Fixture f(ios, pymobiledevice3);
        if (pymobiledevice3)
            QVERIFY(startKitTunnel(f.kit));
        if (condition == QLatin1StringView("no-usbmuxd"))
            f.environment.usbmuxdSocket = f.kit.resourceFolder() + QStringLiteral("/no-socket");
        if (condition.isEmpty()) // the agent cannot start
            QVERIFY(f.kit.fault(QStringLiteral("ios:tunnel"), QStringLiteral("exit-nonzero")));
        QVERIFY(f.fail(condition, atDetection));
        QCOMPARE(f.hint(atDetection).cause, cause);
        QCOMPARE(f.label(atDetection)->text(), failure::hintText(cause));
        QVERIFY(f.label(atDetection)->isVisible());
        QCOMPARE(f.button(atDetection)->isVisible(), !button.isEmpty());
        if (!button.isEmpty())
            QCOMPARE(f.button(atDetection)->text(), button);
        // The status lines stay as they were.
        QCOMPARE(atDetection ? f.state().statusLabelText : f.state().lockStatusText,
                 atDetection ? QStringLiteral("Connect iOS Device in normal mode")
                             : QStringLiteral("❌ Failed to spoof location — see console log."));
        f.kit.stopTunnel();
    }

    // Each button against the simulated phone: the fix works, or the tool's error is shown;
    // nothing is left running either way.
    void fixes_data()
    {
        QTest::addColumn<QString>("condition");
        QTest::addColumn<bool>("atDetection");
        QTest::addColumn<QString>("before"); // the phone changes before the press
        QTest::addColumn<QString>("result");
        QTest::addColumn<QString>("command");
        QTest::newRow("mount") << "no-image" << false << ""
                               << "✓ Developer image mounted — press Spoof Location again"
                               << "ios image auto --udid=00008110-001A2B3C4D5E6F70 --basedir=";
        QTest::newRow("mount fails, exit 0") << "no-image" << false << "devmode-off"
                                             << "❌ error mounting image: DeveloperModeIsNotEnabled"
                                             << "ios image auto";
        QTest::newRow("reveal")
            << "devmode-off" << false << ""
            << "✓ Now turn it on: Settings → Privacy & Security → Developer Mode"
            << "ios devmode reveal --udid=00008110-001A2B3C4D5E6F70";
        QTest::newRow("reveal fails")
            << "devmode-off" << false << "locked"
            << "❌ Failed connecting to AMFI service: StartSession failed: {} error: failed to "
               "start new lockdown session: PasswordProtected"
            << "ios devmode reveal";
        QTest::newRow("pair") << "untrusted" << true << ""
                              << "✓ Paired — press Detect Device"
                              << "idevicepair pair";
        QTest::newRow("pair fails")
            << "pairing-pending" << true << ""
            << "❌ ERROR: Please accept the trust dialog on the screen of device "
               "00008110-001A2B3C4D5E6F70, then attempt to pair again."
            << "idevicepair pair";
        QTest::newRow("cancelled") << "no-image" << false << "hang"
                                   << "Cancelled."
                                   << "ios image auto";
    }

    void fixes()
    {
        QFETCH(QString, condition);
        QFETCH(bool, atDetection);
        QFETCH(QString, before);
        QFETCH(QString, result);
        QFETCH(QString, command);
        Fixture f(QStringLiteral("17.4.1"));
        QVERIFY(f.fail(condition, atDetection));
        if (before == QLatin1StringView("hang"))
            QVERIFY(f.kit.fault(QStringLiteral("ios:image"), QStringLiteral("hang")));
        else if (!before.isEmpty())
            QVERIFY(f.condition(before));
        QVERIFY(f.button(atDetection)->toolTip().size() > 0);
        QTest::mouseClick(f.button(atDetection), Qt::LeftButton);
        QVERIFY(f.hint(atDetection).fixRunning);
        if (before == QLatin1StringView("hang")) {
            QTRY_VERIFY(!f.kit.commands().filter(command).isEmpty());
            QCOMPARE(f.button(atDetection)->text(), QStringLiteral("Cancel"));
            QTest::mouseClick(f.button(atDetection), Qt::LeftButton);
        }
        QTRY_COMPARE_WITH_TIMEOUT(f.label(atDetection)->text(), result, 20000);
        QVERIFY(!f.hint(atDetection).fixRunning);
        QVERIFY(!f.kit.commands().filter(command).isEmpty());
        if (before.isEmpty() && condition != QLatin1StringView("pairing-pending")
            && condition != QLatin1StringView("devmode-off"))
            QCOMPARE(f.kit.device().value(QStringLiteral("condition")), QString()); // fixed
        f.view.reset();
        QTRY_VERIFY(nothingLeftBehind(f.kit));
    }
};

QTEST_MAIN(TestHints)
#include "tst_hints.moc"
