// The whole window, driven through its real widgets.
#include "ScreenSupport.h"
#include "SpoofSupport.h"
#include "app/LogWindow.h"
#include "app/SetupBanner.h"
#include "app/Sidebar.h"
#include "device/DeviceDetection.h"
#include "map/MapPane.h"
#include "map/MapView.h"
#include "map/PinMarker.h"
#include "platform/Console.h"
#include "spoof/SpoofController.h"
#include "state/ScreenModel.h"
#include "widgets/TextWidgets.h"

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

using namespace Qt::StringLiterals;

using namespace std::chrono_literals;

namespace {

// A window over a simulated device.
struct Window : ShownWindow
{
    using ShownWindow::ShownWindow;
    QPushButton *button(const char *name) { return find<QPushButton>(name); }
    QLineEdit *field(const char *name) { return find<QLineEdit>(name); }
};

} // namespace

Q_DECLARE_METATYPE(CLLocationCoordinate2D)
Q_DECLARE_METATYPE(std::optional<CLLocationCoordinate2D>)

class TestWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { QVERIFY(settingsDir_.isValid()); }

    void cleanup()
    {
        QVERIFY(dispatch::waitForBackgroundWork(20000));
        QCoreApplication::processEvents();
        QTRY_VERIFY(ProcessCensus::children().isEmpty());
    }

    void freshScreenIsTheStartState()
    {
        SimDeviceKit kit;
        Window w(kit, settingsFile());

        QVERIFY(w.find("setupBanner")->isVisible());
        QVERIFY(w.button("detectButton")->isEnabled());
        QVERIFY(!w.find("lockStatusLabel")->isVisible());
        QCOMPARE(w.find<LineLimitedLabel>("statusLabel")->text(),
                 u"Connect iOS Device in normal mode"_s);
        QCOMPARE(w.find("statusPicture")->accessibleName(), u"iphone16"_s);
        QVERIFY(!w.find("versionLabel")->isVisible());
        QVERIFY(!w.find("serialValue")->isVisible());
        QCOMPARE(w.field("latitudeField")->text(), u"40.689247"_s);
        QCOMPARE(w.field("longitudeField")->text(), u"-74.044502"_s);
        QCOMPARE(w.field("latitudeField")->placeholderText(), u"Latitude"_s);
        QCOMPARE(w.find<MapPane>("mapPane")->mapView()->markerCoordinate(),
                 (CLLocationCoordinate2D {40.689247, -74.044502}));
        QCOMPARE(w.find("sidebar")->width(), Sidebar::kWidth);
        QCOMPARE(w.window.centralWidget()->size(), QSize(900, 580));
        QCOMPARE(w.window.centralWidget()->minimumSize(), QSize(760, 480));
        // Centred on its screen at the first start.
        const QPoint off = w.window.frameGeometry().center()
            - QGuiApplication::primaryScreen()->availableGeometry().center();
        QVERIFY(qAbs(off.x()) <= 2 && qAbs(off.y()) <= 2); // rounding of odd sizes
    }

    void spoofingButtons_data()
    {
        QTest::addColumn<bool>("locked");
        QTest::addColumn<bool>("lockDisabled");
        QTest::addColumn<bool>("hasUdid");
        QTest::addColumn<bool>("lockEnabled");
        QTest::addColumn<bool>("resetEnabled");
        QTest::newRow("start") << false << true << false << false << false;
        QTest::newRow("detected") << false << false << true << true << true;
        QTest::newRow("operation running") << false << true << true << false << false;
        QTest::newRow("held") << true << false << true << true << true;
        QTest::newRow("held, moving") << true << true << true << false << false;
        QTest::newRow("no UDID keeps reset off") << false << false << false << true << false;
    }

    void spoofingButtons()
    {
        QFETCH(bool, locked);
        QFETCH(bool, lockDisabled);
        QFETCH(bool, hasUdid);

        SimDeviceKit kit;
        Window w(kit, settingsFile());
        w.model().update([&](ScreenState &s) {
            s.isLocationLocked = locked;
            s.disabledLockButton = lockDisabled;
            s.udidLabelText = hasUdid ? QString::fromLatin1(SimDeviceKit::defaultUdid) : QString();
        });
        QPushButton *lock = w.button("lockButton");
        QCOMPARE(lock->text(), locked ? u"🔓 Unlock Location"_s : u"🔒 Spoof Location"_s);
        const QColor colour = locked ? QColor(0xff, 0x3b, 0x30) : QColor(0x00, 0x7a, 0xff);
        QCOMPARE(lock->property("fillColor").value<QColor>(), colour);
        QTEST(lock->isEnabled(), "lockEnabled");
        QTEST(w.button("resetButton")->isEnabled(), "resetEnabled");
        QCOMPARE(w.find<MapPane>("mapPane")->pinMarker()->discColor(), colour);
    }

    // The map gets the closed banner's height and whatever the window grows by.
    void theMapTakesTheSpaceTheBannerAndTheWindowGive()
    {
        SimDeviceKit kit;
        Window w(kit, settingsFile());
        QWidget *banner = w.find("setupBanner");
        QWidget *map = w.find("mapPane");
        QWidget *sidebar = w.find("sidebar");
        const int mapHeight = map->height();
        const int bannerHeight = banner->height();
        QVERIFY(bannerHeight > 20);
        QTest::mouseClick(w.find<QToolButton>("closeBannerButton"), Qt::LeftButton);
        QVERIFY(!w.state().showSetupBanner);
        QTRY_VERIFY(!banner->isVisible());
        QTRY_COMPARE(map->height(), mapHeight + bannerHeight);

        const QSize mapBefore = map->size();
        w.window.resize(w.window.width() + 200, w.window.height() + 100);
        QTRY_COMPARE(map->width(), mapBefore.width() + 200);
        QCOMPARE(map->height(), mapBefore.height() + 100);
        QCOMPARE(sidebar->width(), Sidebar::kWidth);

        // It cannot get smaller than its minimum content. At the smallest size the sections
        // scroll and the spoofing controls stay whole inside the sidebar.
        w.window.resize(100, 100);
        QTRY_VERIFY(w.window.centralWidget()->width() >= 760);
        QVERIFY(w.window.centralWidget()->height() >= 480);
        auto *scroll = w.find<QScrollArea>("sidebarScroll");
        QTRY_VERIFY(scroll->verticalScrollBar()->maximum() > 0);
        for (const char *name : {"lockButton", "resetButton", "versionFooter"}) {
            QWidget *control = w.find(name);
            const QRect at(control->mapTo(sidebar, QPoint()), control->size());
            QVERIFY2(sidebar->rect().contains(at), name);
        }
    }

    void devicePanelRows_data()
    {
        QTest::addColumn<QStringList>("fields"); // version, product, serial, UDID
        QTest::addColumn<QString>("versionLine"); // empty: hidden
        QTest::addColumn<bool>("rowsShown");
        const auto row = [](const char *name, const char *fields, const char *line, bool shown) {
            QTest::newRow(name) << QString::fromUtf8(fields).split(u'|') << QString::fromUtf8(line)
                                << shown;
        };
        row("all four", "17.4.1|iPhone15,2|F2LZ|0000-1", "iOS 17.4.1 · iPhone15,2", true);
        row("serial without UDID", "17.4.1|iPhone15,2|F2LZ|", "iOS 17.4.1 · iPhone15,2", true);
        row("UDID without serial", "17.4.1|iPhone15,2||0000-1", "iOS 17.4.1 · iPhone15,2", false);
        row("version without product", "16.7|||", "iOS 16.7 · ", false);
        row("product without version", "|iPhone15,2||", "", false);
    }

    void devicePanelRows()
    {
        QFETCH(QStringList, fields);
        QFETCH(QString, versionLine);
        QFETCH(bool, rowsShown);

        SimDeviceKit kit;
        Window w(kit, settingsFile());
        w.model().update([&](ScreenState &s) {
            s.deviceiosLabelText = fields[0];
            s.productTypeLabelText = fields[1];
            s.serialnumberLabelText = fields[2];
            s.udidLabelText = fields[3];
        });
        auto *line = w.find<QLabel>("versionLabel");
        QCOMPARE(line->isVisible(), !versionLine.isEmpty());
        if (!versionLine.isEmpty())
            QCOMPARE(line->text(), versionLine);
        auto *serialField = w.find<ValueField>("serialValue");
        auto *udidField = w.find<ValueField>("udidValue");
        QCOMPARE(serialField->isVisible(), rowsShown);
        QCOMPARE(udidField->isVisible(), rowsShown);
        if (rowsShown)
            QCOMPARE((QStringList {serialField->value(), udidField->value()}), fields.mid(2));
    }

    void longTextsAreShortenedButKeptWhole()
    {
        SimDeviceKit kit;
        Window w(kit, settingsFile());
        const QString udid = u"00008110-001A2B3C4D5E6F70-AAAABBBBCCCCDDDDEEEEFFFF00001111"_s;
        const QString status =
            u"A status text that goes on and on, far longer than two lines of the narrow "
            u"sidebar could ever hold, so its end must be cut off with an ellipsis."_s;
        w.model().update([&](ScreenState &s) {
            s.serialnumberLabelText = u"F2LZK0ABCDEF"_s;
            s.udidLabelText = udid;
            s.statusLabelText = status;
        });

        auto *udidField = w.find<ValueField>("udidValue");
        QVERIFY(udidField->text() != udid);
        QVERIFY(udidField->text().contains(u"…"_s));
        QVERIFY(udidField->text().startsWith(u"0000"_s));
        QVERIFY(udidField->text().endsWith(u"1111"_s));
        udidField->setFocus();
        QTest::keySequence(udidField, QKeySequence::Copy);
        QCOMPARE(QApplication::clipboard()->text(), udid);

        auto *statusLabel = w.find<LineLimitedLabel>("statusLabel");
        const QStringList lines = statusLabel->visibleLines();
        QCOMPARE(lines.size(), 2);
        QVERIFY(lines.last().endsWith(u"…"_s));
    }

    void spoofingStatusIsShownLiterally_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("shown");
        QTest::newRow("empty takes no space") << "" << false;
        QTest::newRow("blanks still shown") << "   " << true;
        QTest::newRow("markdown") << "**bold** _it_ `code`" << true;
        QTest::newRow("html") << "<b>not bold</b> &amp;" << true;
    }

    void spoofingStatusIsShownLiterally()
    {
        QFETCH(QString, text);
        SimDeviceKit kit;
        Window w(kit, settingsFile());
        w.model().update([&](ScreenState &s) { s.lockStatusText = text; });
        auto *label = w.find<QLabel>("lockStatusLabel");
        QTEST(label->isVisible(), "shown");
        QCOMPARE(label->textFormat(), Qt::PlainText);
        QCOMPARE(label->text(), text);
    }

    // Return, Go and a quick location place the pin and the camera; with a location held they
    // move it too, and exactly one location process is alive afterwards. The typed text stays.
    void coordinateControls_data()
    {
        QTest::addColumn<bool>("held");
        QTest::addColumn<QString>("control"); // a button, or "Return"
        QTest::addColumn<QStringList>("typed");
        QTest::addColumn<std::optional<CLLocationCoordinate2D>>("target"); // none: invalid
        const auto row = [](const char *name, bool held, const char *control, const char *typed,
                            std::optional<CLLocationCoordinate2D> target) {
            QTest::newRow(name) << held << QString::fromLatin1(control)
                                << QString::fromLatin1(typed).split(u'|') << target;
        };
        const CLLocationCoordinate2D typed {40.7128, -74.006};
        const CLLocationCoordinate2D tokyo {35.658584, 139.745438};
        row("Return", false, "Return", "40.7128|-74.0060", typed);
        row("Go with a blank", false, "goButton", " 41|-74.0060", std::nullopt);
        const CLLocationCoordinate2D london {51.500729, -0.124625};
        row("quick location", false, "quickLocation1", "x|y", london);
        row("held: Go", true, "goButton", "40.7128|-74.0060", typed);
        row("held: Return", true, "Return", "40.7128|-74.0060", typed);
        row("held: quick location", true, "quickLocation2", "40.7128|-74.0060", tokyo);
    }

    void coordinateControls()
    {
        QFETCH(bool, held);
        QFETCH(QString, control);
        QFETCH(QStringList, typed);
        QFETCH(std::optional<CLLocationCoordinate2D>, target);
        SimDeviceKit kit;
        QVERIFY(kit.attach(u"16.7.10"_s));
        Window w(kit, settingsFile());
        pid_t first = 0;
        if (held) {
            QTRY_VERIFY_WITH_TIMEOUT(w.button("lockButton")->isEnabled(), 15000);
            QTest::mouseClick(w.button("lockButton"), Qt::LeftButton);
            QTRY_VERIFY_WITH_TIMEOUT(w.state().isLocationLocked && !w.state().disabledLockButton,
                                     20000);
            first = w.state().locationProcess->processId();
        }
        const ScreenState before = w.state();
        QLineEdit *fields[] = {w.field("latitudeField"), w.field("longitudeField")};
        for (int i = 0; i < 2; ++i) {
            fields[i]->clear();
            QTest::keyClicks(fields[i], typed[i]);
        }
        if (control == u"Return"_s)
            QTest::keyClick(fields[1], Qt::Key_Return);
        else
            QTest::mouseClick(w.button(qPrintable(control)), Qt::LeftButton);

        if (!target) {
            QCOMPARE(w.state().lockStatusText, kInvalidCoordinatesMessage);
            QCOMPARE(w.state().pinCoordinate, before.pinCoordinate);
            return;
        }
        QCOMPARE(w.state().pinCoordinate, *target);
        QCOMPARE(w.state().cameraPosition,
                 MapCameraPosition::fromRegion(coordinates::pinRegion(*target)));
        // Typed text stays when only the pin moves; a placed location writes its own.
        const bool written = held || control.startsWith(u"quick"_s);
        const QStringList shown {fields[0]->text(), fields[1]->text()};
        const QStringList placed {coordinates::formatDegrees(target->latitude),
                                  coordinates::formatDegrees(target->longitude)};
        QCOMPARE(shown, written ? placed : typed);
        if (!held) {
            QVERIFY(kit.commands().filter(u"idevicesetlocation"_s).isEmpty());
            return;
        }
        QCOMPARE(w.state().lockStatusText, u"Moving spoofed location..."_s);
        QTRY_COMPARE_WITH_TIMEOUT(w.state().lockStatusText, heldText(*target), 20000);
        QCOMPARE(kit.location(),
                 coordinates::formatDegrees(target->latitude) + u' '
                     + coordinates::formatDegrees(target->longitude));
        QTRY_COMPARE(ProcessCensus::children(),
                     QList<pid_t> {w.state().locationProcess->processId()});
        QVERIFY(w.state().locationProcess->processId() != first);
    }

    void windowRemembersItsFrame()
    {
        const QString file = settingsFile();
        SimDeviceKit kit;
        QRect moved;
        {
            Window first(kit, file);
            first.window.setGeometry(QRect(60, 70, 980, 640));
            moved = first.window.geometry();
        }
        Window second(kit, file);
        QCOMPARE(second.window.geometry(), moved);
    }

    void logWindowShowsTheConsoleLive()
    {
        SimDeviceKit kit;
        Window w(kit, settingsFile());
        consoleLine(u"before the log opened"_s);
        w.window.showLog();
        LogWindow *log = w.window.logWindow();
        QVERIFY(log && log->isVisible());
        QVERIFY(log->text().contains(u"before the log opened"_s));
        consoleLine(u"❌ after it opened"_s);
        QTRY_VERIFY(log->text().endsWith(u"❌ after it opened"_s));
    }

    void keyboardReachesEveryControlInOrder()
    {
        SimDeviceKit kit;
        Window w(kit, settingsFile());
        w.model().update([](ScreenState &s) {
            s.disabledLockButton = false;
            s.udidLabelText = u"x"_s;
        });
        const QStringList expected {
            u"detectButton"_s,    u"searchField"_s,     u"latitudeField"_s,    u"longitudeField"_s,
            u"goButton"_s,        u"quickLocation0"_s,  u"quickLocation1"_s,   u"quickLocation2"_s,
            u"savePlaceButton"_s, u"drawRouteButton"_s, u"followRoadsCheck"_s, u"paceCombo"_s,
            u"repeatCombo"_s,     u"driftCheck"_s,      u"followMapCheck"_s,   u"lockButton"_s,
            u"resetButton"_s};
        QWidget *widget = w.button("detectButton");
        widget->setFocus();
        QStringList order;
        for (int i = 0; i < expected.size(); ++i) {
            order.append(widget->objectName());
            widget = widget->nextInFocusChain();
            while (widget
                   && (!(widget->focusPolicy() & Qt::TabFocus) || !widget->isVisibleTo(&w.window)
                       || !widget->isEnabled()))
                widget = widget->nextInFocusChain();
        }
        QCOMPARE(order, expected);
        for (const QString &name : expected) {
            QWidget *control = w.window.findChild<QWidget *>(name);
            QVERIFY2(!control->accessibleName().isEmpty(), qPrintable(name));
        }

        // Space presses the focused button.
        QPushButton *quick = w.button("quickLocation2");
        quick->setFocus();
        QTest::keyClick(quick, Qt::Key_Space);
        QCOMPARE(w.state().pinCoordinate, (CLLocationCoordinate2D {35.658584, 139.745438}));
    }

    // The whole program against the simulated device: attach an iOS 17 device, detect it, spoof,
    // move with a map click, unlock, unplug.
    void endToEnd()
    {
        SimDeviceKit kit;
        Window w(kit, settingsFile());
        const QString udid = QString::fromLatin1(SimDeviceKit::defaultUdid);

        // Detect Device with nothing plugged in, then the device arrives by itself.
        QTest::mouseClick(w.button("detectButton"), Qt::LeftButton);
        auto *status = w.find<LineLimitedLabel>("statusLabel");
        QTRY_COMPARE_WITH_TIMEOUT(status->text(), u"Not detecting any devices!"_s, 15000);
        QTRY_COMPARE_WITH_TIMEOUT(status->text(), u"Connect iOS Device in normal mode"_s, 15000);
        QVERIFY(kit.attach(u"17.4.1"_s));
        QTRY_COMPARE_WITH_TIMEOUT(w.state().udidLabelText, udid, 15000);
        QTRY_VERIFY(w.button("lockButton")->isEnabled());
        QCOMPARE(status->text(), u"iOS Device Connected!"_s);
        QCOMPARE(w.find<QLabel>("versionLabel")->text(), u"iOS 17.4.1 · iPhone15,2"_s);

        QTest::mouseClick(w.button("lockButton"), Qt::LeftButton);
        QCOMPARE(w.state().lockStatusText, u"Spoofing location..."_s);
        QTRY_VERIFY_WITH_TIMEOUT(w.state().isLocationLocked, 20000);
        QCOMPARE(w.state().lockStatusText, u"🔒 Spoofing at 40.689247, -74.044502"_s);
        QCOMPARE(w.button("lockButton")->text(), u"🔓 Unlock Location"_s);
        QCOMPARE(kit.location(), u"40.689247 -74.044502"_s);
        QVERIFY(kit.commands().contains(
            u"pymobiledevice3 developer dvt simulate-location set --userspace --udid %1 "
            u"-- 40.689247 -74.044502"_s.arg(udid)));

        // A click on the map moves the held location there; the camera stays.
        auto *pane = w.find<MapPane>("mapPane");
        MapView *map = pane->mapView();
        const QPoint clickAt(map->width() / 3, map->height() / 3);
        const CLLocationCoordinate2D target = *map->coordinateAt(clickAt);
        const MapCameraPosition camera = w.state().cameraPosition;
        QTest::mouseClick(map, Qt::LeftButton, {}, clickAt);
        QCOMPARE(w.state().pinCoordinate, target);
        QCOMPARE(w.state().lockStatusText, u"Moving spoofed location..."_s);
        const QString expectedLocation = coordinates::formatDegrees(target.latitude) + u' '
            + coordinates::formatDegrees(target.longitude);
        QTRY_COMPARE_WITH_TIMEOUT(kit.location(), expectedLocation, 20000);
        QTRY_VERIFY(!w.state().disabledLockButton);
        QVERIFY(w.state().isLocationLocked);
        QCOMPARE(w.state().cameraPosition, camera);

        QTest::mouseClick(w.button("lockButton"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(w.state().lockStatusText,
                                  u"Location unlocked — real GPS restored."_s, 20000);
        QVERIFY(kit.location().isEmpty());
        QCOMPARE(w.button("lockButton")->text(), u"🔒 Spoof Location"_s);

        // Reset Location asks the device even with nothing held; Detect Device reads it again.
        const int told = kit.commands().size();
        QTest::mouseClick(w.button("resetButton"), Qt::LeftButton);
        QCOMPARE(w.state().lockStatusText, u"Unlocking location..."_s);
        QTRY_COMPARE_WITH_TIMEOUT(w.state().lockStatusText,
                                  u"Location unlocked — real GPS restored."_s, 20000);
        QCOMPARE(kit.commands().mid(told).filter(u"simulate-location"_s),
                 QStringList {
                     u"pymobiledevice3 developer dvt simulate-location clear --userspace --udid "_s
                     + udid});
        const ConsoleCapture console;
        QTest::mouseClick(w.button("detectButton"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(console.contains(u"✓ Device detected"_s), 15000);
        QTRY_COMPARE_WITH_TIMEOUT(w.state().udidLabelText, udid, 15000);
        QCOMPARE(status->text(), u"iOS Device Connected!"_s);

        QTest::mouseClick(w.button("lockButton"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(w.state().isLocationLocked, 20000);
        QVERIFY(kit.detach());
        QTRY_COMPARE_WITH_TIMEOUT(w.state().lockStatusText,
                                  u"Device disconnected — location spoof ended."_s, 15000);
        QVERIFY(!w.button("lockButton")->isEnabled());
        QCOMPARE(status->text(), u"Connect iOS Device in normal mode"_s);
        // The tunnel daemon stays; the simulate process is gone.
        QTRY_VERIFY(processesRunningFrom(kit.resourceFolder()).size() <= 1);
        kit.stopTunnel();
    }

private:
    QString settingsFile()
    {
        return settingsDir_.filePath(QString::number(++settingsCount_) + u".ini"_s);
    }

    QTemporaryDir settingsDir_;
    int settingsCount_ = 0;
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
