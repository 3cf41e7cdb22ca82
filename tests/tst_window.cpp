// The whole window, driven through its real widgets.
#include "ScreenSupport.h"
#include "SpoofSupport.h"
#include "app/AppDelegate.h"
#include "app/HelpPages.h"
#include "app/LogWindow.h"
#include "app/SetupBanner.h"
#include "app/Sidebar.h"
#include "app/SingleInstance.h"
#include "device/DeviceDetection.h"
#include "map/MapPane.h"
#include "map/MapView.h"
#include "map/PinMarker.h"
#include "platform/Console.h"
#include "formats/GeoFile.h"
#include "route/Movement.h"
#include "route/RouteModel.h"
#include "route/RoutePanel.h"
#include "spoof/SpoofController.h"
#include "state/ScreenModel.h"
#include "widgets/TextWidgets.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSplitter>
#include <QTabWidget>
#include <QTest>
#include <QTextBrowser>
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
        // As wide as its content wants, the Location section in front.
        QCOMPARE(w.find("sidebar")->width(), w.find("sidebar")->sizeHint().width());
        QCOMPARE(w.find<QTabWidget>("sidebarSections")->currentIndex(), 0);
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
        const int sidebarWidth = sidebar->width();
        w.window.resize(w.window.width() + 200, w.window.height() + 100);
        QTRY_COMPARE(map->width(), mapBefore.width() + 200);
        QCOMPARE(map->height(), mapBefore.height() + 100);
        QCOMPARE(sidebar->width(), sidebarWidth);

        // It cannot get smaller than its minimum content. At the smallest size the section
        // scrolls and the spoofing controls stay whole inside the sidebar.
        w.window.resize(100, 100);
        QTRY_VERIFY(w.window.centralWidget()->width() >= 760);
        QVERIFY(w.window.centralWidget()->height() >= 480);
        w.model().update([](ScreenState &s) {
            s.showSetupBanner = true;
            s.serialnumberLabelText = u"F2LZ"_s;
            s.lockStatusText = u"🔒 Spoofing at 40.689247, -74.044502"_s;
        });
        auto *scroll = w.find<QScrollArea>("locationPageScroll");
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

    // The console log: live, wrapped, copied, saved, cleared, and closed from the keyboard.
    void logWindowShowsTheConsoleLive()
    {
        SimDeviceKit kit;
        Window w(kit, settingsFile());
        consoleLine(u"before the log opened"_s);
        w.window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w.window));
        QTest::keyClick(&w.window, Qt::Key_L, Qt::ControlModifier | Qt::ShiftModifier);
        LogWindow *log = w.window.logWindow();
        QVERIFY(log && log->isVisible());
        QVERIFY(log->text().contains(u"before the log opened"_s));
        consoleLine(u"❌ after it opened"_s);
        QTRY_VERIFY(log->text().endsWith(u"❌ after it opened"_s));
        QCOMPARE(log->findChild<QPlainTextEdit *>()->lineWrapMode(), QPlainTextEdit::WidgetWidth);

        QTest::mouseClick(log->findChild<QPushButton *>(u"copyLogButton"_s), Qt::LeftButton);
        QCOMPARE(QApplication::clipboard()->text(), log->text());
        const QString file = settingsDir_.filePath(u"console.txt"_s);
        const QString shown = log->text();
        log->saveTo(file);
        QTRY_COMPARE(log->findChild<QLabel *>(u"logStatus"_s)->text(), u"Saved to console.txt"_s);
        QFile saved(file);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(saved.readAll()), shown + u'\n');
        log->saveTo(settingsDir_.filePath(u"no such folder/console.txt"_s));
        QTRY_VERIFY(
            log->findChild<QLabel *>(u"logStatus"_s)->text().startsWith(u"Could not save"_s));
        QTest::mouseClick(log->findChild<QPushButton *>(u"clearLogButton"_s), Qt::LeftButton);
        QCOMPARE(log->text(), QString());
        consoleLine(u"after the clear"_s);
        QTRY_COMPARE(log->text(), u"after the clear"_s);

        for (const QKeyCombination keys :
             {QKeyCombination(Qt::Key_Escape), QKeyCombination(Qt::ControlModifier, Qt::Key_W)}) {
            w.window.showLog();
            QVERIFY(QTest::qWaitForWindowActive(log));
            QTest::keyClick(log, keys.key(), keys.keyboardModifiers());
            QVERIFY(!log->isVisible());
        }
    }

    // Ctrl+L spoofs and unlocks, Ctrl+R resets, each only when its button could be pressed.
    void shortcutsSpoofUnlockAndReset()
    {
        SimDeviceKit kit;
        Window w(kit, settingsFile());
        w.window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w.window));
        QWidget *field = w.find("searchField");
        field->setFocus();
        QTest::keyClick(field, Qt::Key_L, Qt::ControlModifier); // no device: nothing happens
        QTest::keyClick(field, Qt::Key_R, Qt::ControlModifier);
        QCOMPARE(w.state().lockStatusText, QString());
        QVERIFY(kit.attach(u"16.7.10"_s));
        QTRY_VERIFY_WITH_TIMEOUT(w.button("lockButton")->isEnabled(), 15000);
        QTest::keyClick(field, Qt::Key_L, Qt::ControlModifier);
        QTRY_VERIFY_WITH_TIMEOUT(w.state().isLocationLocked && !w.state().disabledLockButton,
                                 20000);
        QCOMPARE(kit.location(), u"40.689247 -74.044502"_s);
        QTest::keyClick(field, Qt::Key_L, Qt::ControlModifier);
        QTRY_COMPARE_WITH_TIMEOUT(w.state().lockStatusText,
                                  u"Location unlocked — real GPS restored."_s, 20000);
        QVERIFY(kit.location().isEmpty());
        QTRY_VERIFY(!w.state().disabledLockButton);
        w.model().update([](ScreenState &s) { s.lockStatusText.clear(); });
        QTest::keyClick(field, Qt::Key_R, Qt::ControlModifier);
        QCOMPARE(w.state().lockStatusText, u"Unlocking location..."_s);
        QTRY_COMPARE_WITH_TIMEOUT(w.state().lockStatusText,
                                  u"Location unlocked — real GPS restored."_s, 20000);
    }

    // The section the user needs comes to the front: the search field's for Find, the route's
    // for drawing with R and for a route file opened.
    void sectionsComeForwardWhenNeeded()
    {
        SimDeviceKit kit;
        Window w(kit, settingsFile());
        w.window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w.window));
        auto *sections = w.find<QTabWidget>("sidebarSections");
        sections->setCurrentIndex(1);
        QTest::keySequence(&w.window, QKeySequence::Find);
        QCOMPARE(sections->currentIndex(), 0);
        QTRY_VERIFY(w.field("searchField")->hasFocus());
        MapView *map = w.find<MapPane>("mapPane")->mapView();
        map->setFocus();
        QTest::keyClick(map, Qt::Key_R);
        QCOMPARE(sections->currentIndex(), 2);
        QTest::keyClick(map, Qt::Key_R);
        sections->setCurrentIndex(0);
        QSignalSpy opened(w.window.contentView(), &ContentView::routeOpened);
        w.window.contentView()->openRoute(settingsDir_.filePath(u"none.gpx"_s));
        QCOMPARE(sections->currentIndex(), 2);
        QVERIFY(opened.wait(20000));
        QCOMPARE(opened.first().first().toBool(), false);
    }

    // A button that greys out once pressed hands the focus on within the route's row: never to
    // Unlock, where a stray Space would give the location away.
    void focusAfterStopGoesToStart()
    {
        SimDeviceKit kit;
        Window w(kit, settingsFile());
        w.window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w.window));
        w.model().update([](ScreenState &s) { s.disabledLockButton = false; });
        RouteModel &route = w.window.contentView()->route();
        route.addWaypoint({48.85, 2.35});
        route.addWaypoint({48.95, 2.35});
        w.find<QTabWidget>("sidebarSections")->setCurrentIndex(2);
        const auto press = [](QWidget *button) {
            QCOMPARE(QApplication::focusWidget(), button);
            QTest::keyClick(button, Qt::Key_Space);
        };
        w.button("playButton")->setFocus(Qt::ShortcutFocusReason);
        press(w.button("playButton"));
        QVERIFY(w.window.contentView()->movement().isPlaying());
        press(w.button("pauseButton"));
        press(w.button("playButton")); // Resume
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        press(w.button("stopButton"));
        QVERIFY(!w.window.contentView()->movement().isPlaying());
        QCOMPARE(QApplication::focusWidget(), w.button("playButton"));
    }

    // Help: a page on getting started, and an About box naming the licences.
    void helpPages()
    {
        SimDeviceKit kit;
        Window w(kit, settingsFile());
        w.window.showGettingStarted();
        QWidget *page = w.window.gettingStartedWindow();
        QVERIFY(page && page->isVisible());
        const QString text = page->findChild<QTextBrowser *>()->toPlainText();
        for (const QString &topic : {u"Developer Mode"_s, u"Trust"_s, u"Spoof Location"_s,
                                     u"arrow key"_s, u"Start"_s, u"preview"_s})
            QVERIFY2(text.contains(topic), qPrintable(topic));
        QVERIFY(QTest::qWaitForWindowActive(page));
        QTest::keyClick(page, Qt::Key_Escape);
        QVERIFY(!page->isVisible());
        const QString about = help::aboutText();
        for (const QString &licence :
             {u"Qt"_s, u"GNU Lesser General Public License version 3"_s, u"libimobiledevice"_s,
              u"go-ios"_s, u"MIT License"_s, u"GeographicLib"_s, u"OpenStreetMap"_s,
              u"Open Database License"_s})
            QVERIFY2(about.contains(licence), qPrintable(licence));
    }

    // The choices of a run come back at the next start: the closed banner, the section in
    // front, the sidebar's width, the route's settings. The pin and the device start afresh.
    void choicesAreRemembered()
    {
        const QString file = settingsFile();
        SimDeviceKit kit;
        int width = 0;
        {
            Window first(kit, file);
            QTest::mouseClick(first.find<QToolButton>("closeBannerButton"), Qt::LeftButton);
            first.find<QTabWidget>("sidebarSections")->setCurrentIndex(2);
            auto *splitter = first.find<QSplitter>("sidebarSplitter");
            QSplitterHandle *handle = splitter->handle(1);
            width = first.find("sidebar")->width() + 60;
            QTest::mousePress(handle, Qt::LeftButton, {}, QPoint(2, 100));
            QTest::mouseMove(handle, QPoint(62, 100)); // the handle moves on with the pointer
            QTest::mouseRelease(handle, Qt::LeftButton, {}, QPoint(2, 100));
            QTRY_COMPARE(first.find("sidebar")->width(), width);
            first.find<QComboBox>("paceCombo")->setCurrentIndex(RoutePanel::Drive);
            first.find<QComboBox>("repeatCombo")->setCurrentIndex(2);
            for (const char *check : {"driftCheck", "followRoadsCheck", "followMapCheck"})
                first.find<QCheckBox>(check)->toggle();
            first.model().update([](ScreenState &s) {
                s.pinCoordinate = {48.85, 2.35};
                s.udidLabelText = u"x"_s;
            });
        }
        Window second(kit, file);
        QVERIFY(!second.find("setupBanner")->isVisible());
        QCOMPARE(second.find<QTabWidget>("sidebarSections")->currentIndex(), 2);
        QCOMPARE(second.find("sidebar")->width(), width);
        QCOMPARE(second.find<QComboBox>("paceCombo")->currentIndex(), int(RoutePanel::Drive));
        QCOMPARE(second.find<QComboBox>("repeatCombo")->currentIndex(), 2);
        for (const auto &[check, on] : {std::pair {"driftCheck", true},
                                        {"followRoadsCheck", true},
                                        {"followMapCheck", false}})
            QVERIFY2(second.find<QCheckBox>(check)->isChecked() == on, check);
        QCOMPARE(*second.window.contentView()->routePanel().speed(), playback::kDrive);
        QCOMPARE(second.state().pinCoordinate, kDefaultPinCoordinate);
        QVERIFY(second.state().udidLabelText.isEmpty());
    }

    // A second start of the program finds this one running: it hands over the route it was
    // given (named relative to where it was started), this window comes to the front and opens
    // it, and the second one ends.
    void aSecondStartHandsOverItsFile()
    {
        SimDeviceKit kit;
        QTemporaryDir runtime; // private, as the user's runtime folder is
        QSettings settings(settingsFile(), QSettings::IniFormat);
        AppDelegate delegate(kit.environment(), &settings);
        SingleInstance first(runtime.path());
        QVERIFY(first.claim());
        QVERIFY(!SingleInstance(runtime.path()).claim());
        delegate.listen(first);
        delegate.applicationDidFinishLaunching();
        MainWindow *window = delegate.window();
        window->showMinimized();
        formats::Document walk;
        walk.trackName = u"Walk"_s;
        walk.track = {{{48.85, 2.35}, std::nullopt}, {{48.86, 2.35}, std::nullopt}};
        QVERIFY(!formats::writeGpxFile(settingsDir_.filePath(u"walk.gpx"_s), walk));

        QProcess second;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"XDG_RUNTIME_DIR"_s, runtime.path());
        environment.insert(u"XDG_CONFIG_HOME"_s, settingsDir_.filePath(u"config"_s));
        environment.insert(u"XDG_DATA_HOME"_s, settingsDir_.filePath(u"data"_s));
        environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        second.setProcessEnvironment(environment);
        second.setWorkingDirectory(settingsDir_.path());
        second.start(QString::fromUtf8(PINDRIFT_BINARY), {u"walk.gpx"_s});
        const auto reap = qScopeGuard([&second] {
            if (second.state() != QProcess::NotRunning) {
                second.kill();
                second.waitForFinished();
            }
        });
        QTRY_COMPARE_WITH_TIMEOUT(second.state(), QProcess::NotRunning, 20000);
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QTRY_COMPARE(window->contentView()->route().track().size(), 2);
        QVERIFY(!window->isMinimized());
        QVERIFY(window->isVisible());
        window->close();
    }

    // Tab goes down the sidebar through the section in front, shows where it is on every stop,
    // and every control has a name for assistive technology.
    void keyboardReachesEveryControlInOrder_data()
    {
        QTest::addColumn<int>("section");
        QTest::addColumn<QStringList>("expected");
        const QStringList top {u"detectButton"_s, u"sidebarTabs"_s};
        const QStringList bottom {u"lockButton"_s, u"resetButton"_s, u"mapView"_s};
        QTest::newRow("Location") << 0
                                  << top
                + QStringList {u"searchField"_s,   u"latitudeField"_s,  u"longitudeField"_s,
                               u"goButton"_s,      u"quickLocation0"_s, u"quickLocation1"_s,
                               u"quickLocation2"_s}
                + bottom;
        QTest::newRow("Places") << 1 << top + QStringList {u"savePlaceButton"_s} + bottom;
        QTest::newRow("Route") << 2
                               << top
                + QStringList {u"drawRouteButton"_s, u"followRoadsCheck"_s, u"paceCombo"_s,
                               u"repeatCombo"_s,     u"driftCheck"_s,       u"followMapCheck"_s}
                + bottom;
    }

    void keyboardReachesEveryControlInOrder()
    {
        QFETCH(int, section);
        QFETCH(QStringList, expected);
        SimDeviceKit kit;
        Window w(kit, settingsFile());
        w.window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w.window));
        w.model().update([](ScreenState &s) {
            s.disabledLockButton = false;
            s.udidLabelText = u"x"_s;
        });
        w.find<QTabWidget>("sidebarSections")->setCurrentIndex(section);
        // How each control looks without the focus, then as Tab brings it there.
        w.find<MapPane>("mapPane")->mapView()->setFocus();
        QHash<QString, QImage> unfocused;
        for (const QString &name : expected)
            unfocused[name] = w.find(qPrintable(name))->grab().toImage();
        w.button("detectButton")->setFocus(Qt::ShortcutFocusReason); // as from the keyboard
        QStringList order;
        for (qsizetype i = 0; i < expected.size(); ++i) {
            QWidget *focused = QApplication::focusWidget();
            QVERIFY(focused);
            order.append(focused->objectName());
            if (unfocused.contains(focused->objectName()))
                QVERIFY2(focused->grab().toImage() != unfocused[focused->objectName()],
                         qPrintable(focused->objectName() + u" shows no focus"_s));
            QTest::keyClick(focused, Qt::Key_Tab);
        }
        QCOMPARE(order, expected);
        for (const QString &name : expected) {
            QWidget *control = w.find(qPrintable(name));
            QVERIFY2(!control->accessibleName().isEmpty(), qPrintable(name));
        }

        // Space presses the focused button.
        if (section == 0) {
            QPushButton *quick = w.button("quickLocation2");
            quick->setFocus();
            QTest::keyClick(quick, Qt::Key_Space);
            QCOMPARE(w.state().pinCoordinate, (CLLocationCoordinate2D {35.658584, 139.745438}));
        }
    }

    // At the window's first size, with the desktop's font and with a larger one, the whole main
    // job is in sight: every control wholly inside the visible part of the sidebar, none
    // squeezed below the width its content needs.
    void mainJobFitsTheSidebar_data()
    {
        QTest::addColumn<qreal>("points"); // 0: the default font
        QTest::addColumn<QString>("state");
        QTest::newRow("nothing plugged in") << 0.0 << u"start"_s;
        QTest::newRow("held") << 0.0 << u"held"_s;
        QTest::newRow("failed, with a hint") << 0.0 << u"hint"_s;
        QTest::newRow("11 pt, nothing plugged in") << 11.0 << u"start"_s;
        QTest::newRow("11 pt, held") << 11.0 << u"held"_s;
    }

    void mainJobFitsTheSidebar()
    {
        QFETCH(qreal, points);
        QFETCH(QString, state);
        const QFont desktop = QApplication::font();
        QFont font = desktop;
        if (points > 0)
            font.setPointSizeF(points);
        QApplication::setFont(font);
        const auto restore = qScopeGuard([&] { QApplication::setFont(desktop); });
        SimDeviceKit kit;
        Window w(kit, settingsFile());
        QCOMPARE(w.window.centralWidget()->size(), QSize(900, 580));
        QStringList mainJob {u"statusLabel"_s,    u"detectButton"_s,   u"searchField"_s,
                             u"latitudeField"_s,  u"longitudeField"_s, u"goButton"_s,
                             u"quickLocation0"_s, u"quickLocation1"_s, u"quickLocation2"_s,
                             u"lockButton"_s,     u"resetButton"_s};
        if (state != u"start"_s) {
            w.model().update([&](ScreenState &s) {
                s.statusIMGText = u"iphone16hello"_s;
                s.statusLabelText = u"iOS Device Connected!"_s;
                s.deviceiosLabelText = u"17.4.1"_s;
                s.productTypeLabelText = u"iPhone15,2"_s;
                s.serialnumberLabelText = u"F2LZK0ABCDEF"_s;
                s.udidLabelText = u"00008110-001A2B3C4D5E6F70"_s;
                s.disabledLockButton = false;
                s.isLocationLocked = state == u"held"_s;
                s.lockStatusText = state == u"held"_s
                    ? u"🔒 Spoofing at 40.689247, -74.044502"_s
                    : u"❌ Failed to spoof location — see console log."_s;
                if (state == u"hint"_s)
                    s.spoofHint = {
                        failure::Cause::ImageNotMounted, failure::Fix::MountImage, false, {}, {}};
            });
            mainJob << u"versionLabel"_s << u"serialValue"_s << u"udidValue"_s
                    << u"lockStatusLabel"_s;
            if (state == u"hint"_s)
                mainJob << u"spoofHintLabel"_s << u"spoofHintButton"_s;
        }
        QWidget *sidebar = w.find("sidebar");
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        for (const QString &name : mainJob) {
            QWidget *control = w.find(qPrintable(name));
            QVERIFY2(control && control->isVisible(), qPrintable(name));
            QVERIFY2(control->visibleRegion() == QRegion(control->rect()),
                     qPrintable(name + u" is cut"_s));
        }
        QVERIFY(w.window.centralWidget()->rect().contains(
            QRect(sidebar->mapTo(w.window.centralWidget(), QPoint()), sidebar->size())));
        for (QWidget *widget : sidebar->findChildren<QWidget *>()) {
            if (!widget->isVisible() || qobject_cast<QScrollBar *>(widget))
                continue;
            QVERIFY2(widget->width() >= widget->minimumSizeHint().width(),
                     qPrintable(widget->objectName() + u"/"_s
                                + QString::fromLatin1(widget->metaObject()->className())
                                + u" squeezed"_s));
        }
    }

    // The status and hint lines take their room above the buttons, which stay where they are.
    void linesNeverMoveTheButtons_data()
    {
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("hint");
        QTest::newRow("a status line") << u"Spoofing location..."_s << false;
        QTest::newRow("a long status line")
            << u"❌ Failed to spoof location — see console log. The tool said something long "
               u"that goes on for several lines of the sidebar."_s
            << false;
        QTest::newRow("a hint with its button") << QString() << true;
        QTest::newRow("both") << u"❌ Failed to spoof location — see console log."_s << true;
    }

    void linesNeverMoveTheButtons()
    {
        QFETCH(QString, status);
        QFETCH(bool, hint);
        SimDeviceKit kit;
        Window w(kit, settingsFile());
        w.model().update([](ScreenState &s) {
            s.udidLabelText = u"x"_s;
            s.disabledLockButton = false;
        });
        const auto where = [&w](const char *name) {
            QWidget *button = w.find(name);
            return QRect(button->mapTo(&w.window, QPoint()), button->size());
        };
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        const QRect lock = where("lockButton");
        const QRect reset = where("resetButton");
        w.model().update([&](ScreenState &s) {
            s.lockStatusText = status;
            if (hint)
                s.spoofHint = {
                    failure::Cause::ImageNotMounted, failure::Fix::MountImage, false, {}, {}};
        });
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        QTRY_VERIFY(w.find("spoofHint")->isVisible() == hint);
        QCOMPARE(where("lockButton"), lock);
        QCOMPARE(where("resetButton"), reset);
    }

    // Every button says what it does when the pointer rests on it.
    void everyButtonHasATooltip()
    {
        SimDeviceKit kit;
        Window w(kit, settingsFile());
        w.model().update([](ScreenState &s) {
            s.deviceHint = {failure::Cause::NotTrusted, failure::Fix::PairAgain, false, {}, {}};
            s.spoofHint = {failure::Cause::ImageNotMounted, failure::Fix::MountImage, false, {}, {}};
        });
        w.window.showLog();
        w.window.showGettingStarted();
        QList<QAbstractButton *> buttons = w.window.findChildren<QAbstractButton *>();
        QVERIFY(buttons.size() > 20);
        QStringList silent;
        for (QAbstractButton *button : buttons) {
            // Not the parts of Qt's own widgets: a tab bar's arrows, a field's clear button.
            const QString name = button->objectName();
            if (name.isEmpty() || name.startsWith(u"qt_"_s) || name.startsWith(u"Scroll"_s))
                continue;
            if (button->toolTip().isEmpty())
                silent.append(name);
        }
        QVERIFY2(silent.isEmpty(), qPrintable(silent.join(u", "_s)));
        auto *tabs = w.find<QTabWidget>("sidebarSections");
        for (int i = 0; i < tabs->count(); ++i)
            QVERIFY(!tabs->tabToolTip(i).isEmpty());
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
        // The point under the pointer, to a millionth of a degree: six decimals to read.
        const QPoint clickAt(map->width() / 3, map->height() / 3);
        const CLLocationCoordinate2D under = *map->coordinateAt(clickAt);
        const CLLocationCoordinate2D target = coordinates::rounded(under);
        QVERIFY(std::abs(target.latitude - under.latitude) <= 5e-7);
        QVERIFY(std::abs(target.longitude - under.longitude) <= 5e-7);
        const MapCameraPosition camera = w.state().cameraPosition;
        QTest::mouseClick(map, Qt::LeftButton, {}, clickAt);
        QCOMPARE(w.state().pinCoordinate, target);
        for (const char *name : {"latitudeField", "longitudeField"}) {
            const QString shown = w.field(name)->text();
            QVERIFY2(shown.size() - shown.indexOf(u'.') - 1 <= 6, qPrintable(shown));
        }
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
