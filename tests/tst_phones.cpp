// Several phones at once, each on its own chain: they come and go in any order, the actions
// reach the selected ones only, one failing never stops the others, the list of phones selects
// them, and nothing is left running when the window closes.
#include "ScreenSupport.h"
#include "SpoofSupport.h"
#include "app/ContentView.h"
#include "app/MainWindow.h"
#include "device/PhonesList.h"
#include "map/MapPane.h"
#include "map/MapView.h"
#include "route/Movement.h"
#include "route/RouteModel.h"
#include "spoof/SpoofController.h"
#include "tools/GoIos.h"

#include <QContextMenuEvent>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

constexpr int kPatience = 20000;

// One of each chain: iOS 16 through idevicesetlocation, iOS 17.4 through pymobiledevice3 and
// iOS 17.4 through go-ios (chosen for that phone in its menu).
struct Phone
{
    QString udid, ios, name;
    bool goIos = false;
};
const Phone kPhones[] = {
    {u"00008030-001E11112222003E"_s, u"16.7"_s, u"Old iPhone"_s},
    {u"00008110-001A2B3C4D5E6F70"_s, u"17.4.1"_s, u"Work iPhone"_s},
    {u"00008120-000C33334444005E"_s, u"17.4.1"_s, u"Test iPad"_s, true},
};
const QString kAt = u"40.689247 -74.044502"_s; // the pin at start, as the phones are told it

// The window over a kit with both iOS 17 tools.
struct Window
{
    explicit Window(SimDeviceKit &theKit)
        : kit(theKit)
        , settings(theKit.temporaryFolder() + u"window.ini"_s, QSettings::IniFormat)
    {
        theKit.addTool(goios::kTool);
        Timings timings = shortTimings();
        timings.movementStep = 100ms;
        timings.movementTimeScale = 10.0;
        timings.stepSettle = 150ms;
        AppEnvironment environment = kit.environment(timings);
        environment.adminPromptCommand = {u"/bin/sh"_s};
        window = std::make_unique<MainWindow>(environment, &settings);
        window->show();
    }
    ~Window()
    {
        window.reset();
        dispatch::waitForBackgroundWork(kPatience);
    }

    ContentView &content() { return *window->contentView(); }
    ScreenModel &model() { return content().model(); }
    const ScreenState &state() { return model().state(); }
    const DeviceSession *session(int phone) { return model().session(kPhones[phone].udid); }
    PhonesList *list() { return window->findChild<PhonesList *>(u"phonesList"_s); }
    QPushButton *button(const char *name)
    {
        return window->findChild<QPushButton *>(QString::fromLatin1(name));
    }

    // Plugs a phone in and waits until its session has read it.
    bool attach(int phone)
    {
        const Phone &p = kPhones[phone];
        if (p.goIos)
            content().spoofController().preferChain(p.udid, IosChain::GoIos);
        return kit.attach(p.ios, {u"--udid"_s, p.udid, u"--name"_s, p.name})
            && QTest::qWaitFor(
                   [&] {
                       const DeviceSession *s = session(phone);
                       return s && s->detected && s->name == p.name && s->iosVersion == p.ios;
                   },
                   kPatience);
    }
    bool detach(int phone)
    {
        return kit.control({u"detach"_s, u"--udid"_s, kPhones[phone].udid})
            && QTest::qWaitFor([&] { return !session(phone); }, kPatience);
    }
    void select(const QList<int> &phones)
    {
        QStringList udids;
        for (int phone : phones)
            udids << kPhones[phone].udid;
        model().select(udids, udids.value(0));
    }
    bool held(int phone, const QString &at)
    {
        const DeviceSession *s = session(phone);
        return s && s->isLocationLocked && !s->busy && s->locationProcess
            && kit.location(kPhones[phone].udid) == at;
    }
    // Waits for every phone of `phones` to hold `at`, none of them busy.
    bool allHeld(const QList<int> &phones, const QString &at)
    {
        return QTest::qWaitFor(
            [&] {
                return std::all_of(phones.begin(), phones.end(),
                                   [&](int phone) { return held(phone, at); });
            },
            kPatience);
    }

    SimDeviceKit &kit;
    QSettings settings;
    std::unique_ptr<MainWindow> window;
};

QList<int> parseOrder(const QString &order)
{
    QList<int> phones;
    for (QChar c : order)
        phones << c.digitValue();
    return phones;
}

// Every command a tool was given about a phone names the phone it is for; what is not about
// one phone (the list of phones, go-ios's agent, tunneld) names none.
bool everyCommandNamesItsPhone(const SimDeviceKit &kit)
{
    for (const QString &command : kit.commands()) {
        if (command.startsWith(u"idevice_id -l"_s) || command.contains(u"tunnel start"_s)
            || command.contains(u"remote tunneld"_s) || command.startsWith(u"ios version"_s))
            continue;
        const bool named = std::any_of(std::begin(kPhones), std::end(kPhones), [&](const Phone &p) {
            return command.contains(u"-u "_s + p.udid) || command.contains(u"--udid="_s + p.udid)
                || command.contains(u"--udid "_s + p.udid)
                || command.contains(u"--tunnel "_s + p.udid);
        });
        if (!named) {
            qWarning("names no phone: %s", qPrintable(command));
            return false;
        }
    }
    return true;
}

} // namespace

class TestPhones : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // A replayed route waits a tenth of its times, as the window's movement runs ten times fast.
    void initTestCase() { SimDeviceKit::setTimeScale(10.0); }
    void cleanup() { QTRY_VERIFY_WITH_TIMEOUT(ProcessCensus::children().isEmpty(), kPatience); }

    // Each phone comes and goes on its own: it is detected by its own UDID, held through its
    // own chain, and its leaving ends its hold alone.
    void arrivalAndRemoval_data()
    {
        QTest::addColumn<QString>("arrival");
        QTest::addColumn<QString>("removal");
        QTest::newRow("16, pymobiledevice3, go-ios; last in, first out") << u"012"_s << u"210"_s;
        QTest::newRow("go-ios first; first in, first out") << u"201"_s << u"201"_s;
        QTest::newRow("pymobiledevice3 first; the middle one first") << u"120"_s << u"201"_s;
        QTest::newRow("16 last; go-ios out first") << u"210"_s << u"201"_s;
    }

    void arrivalAndRemoval()
    {
        QFETCH(QString, arrival);
        QFETCH(QString, removal);
        SimDeviceKit kit;
        {
            Window w(kit);
            const QList<int> order = parseOrder(arrival);
            for (int phone : order)
                QVERIFY(w.attach(phone));
            // The first phone was selected when it came; the others join it by hand.
            QCOMPARE(w.model().selectedPhones(), QStringList {kPhones[order.first()].udid});
            QCOMPARE(w.state().udidLabelText, kPhones[order.first()].udid);
            QCOMPARE(w.model().phones().size(), 3);
            w.select({0, 1, 2});
            QVERIFY(w.button("lockButton")->isEnabled());
            QTest::mouseClick(w.button("lockButton"), Qt::LeftButton);
            QVERIFY(w.allHeld({0, 1, 2}, kAt));
            QCOMPARE(w.button("lockButton")->text(), u"🔓 Unlock Location"_s);

            QList<int> left {0, 1, 2};
            for (int phone : parseOrder(removal)) {
                const std::shared_ptr<ChildProcess> holder = w.session(phone)->locationProcess;
                QVERIFY(w.detach(phone));
                QTRY_VERIFY_WITH_TIMEOUT(!holder->isRunning(), kPatience);
                left.removeAll(phone);
                QVERIFY(w.allHeld(left, kAt)); // the others hold on
                QCOMPARE(w.model().phones().size(), left.size());
            }
            QVERIFY(w.model().phones().isEmpty());
            QVERIFY(everyCommandNamesItsPhone(kit));
        }
        QTRY_VERIFY_WITH_TIMEOUT(nothingLeftBehind(kit), kPatience);
    }

    // Spoof all, move all, then unlock one: the others stay where they were moved.
    void spoofMoveUnlockOne_data()
    {
        QTest::addColumn<int>("unlocked");
        QTest::newRow("iOS 16") << 0;
        QTest::newRow("pymobiledevice3") << 1;
        QTest::newRow("go-ios") << 2;
    }

    void spoofMoveUnlockOne()
    {
        QFETCH(int, unlocked);
        SimDeviceKit kit;
        {
            Window w(kit);
            for (int phone : {0, 1, 2})
                QVERIFY(w.attach(phone));
            w.select({0, 1, 2});
            w.content().spoofController().spoofLocation();
            QVERIFY(w.allHeld({0, 1, 2}, kAt));
            w.content().spoofController().moveSpoofedLocation(false, {10.0, 20.0});
            QVERIFY(w.allHeld({0, 1, 2}, u"10.0 20.0"_s));

            // The map marks each held phone in its colour, the selected ones standing out.
            const QList<MapView::PhoneMark> marks =
                w.window->findChild<MapPane *>(u"mapPane"_s)->mapView()->phoneMarks();
            QCOMPARE(marks.size(), 3);
            QVERIFY(std::all_of(marks.begin(), marks.end(), [](const auto &m) {
                return m.selected && m.at == CLLocationCoordinate2D {10.0, 20.0};
            }));

            w.select({unlocked});
            QCOMPARE(w.button("lockButton")->text(), u"🔓 Unlock Location"_s);
            QTest::mouseClick(w.button("lockButton"), Qt::LeftButton);
            QTRY_COMPARE_WITH_TIMEOUT(w.state().lockStatusText,
                                      u"Location unlocked — real GPS restored."_s, kPatience);
            QTRY_VERIFY_WITH_TIMEOUT(w.kit.location(kPhones[unlocked].udid).isEmpty(), kPatience);
            QList<int> others {0, 1, 2};
            others.removeAll(unlocked);
            QVERIFY(w.allHeld(others, u"10.0 20.0"_s));
            // Two of three held: the button offers to spoof them all again.
            w.select({0, 1, 2});
            QCOMPARE(w.button("lockButton")->text(), u"🔒 Spoof Location"_s);
            QVERIFY(everyCommandNamesItsPhone(kit));
        }
        QTRY_VERIFY_WITH_TIMEOUT(nothingLeftBehind(kit), kPatience);
    }

    // A phone that cannot take the location says why on its own row and hint; the others are
    // held all the same.
    void oneFailsOthersHold_data()
    {
        QTest::addColumn<int>("failing");
        QTest::addColumn<QString>("condition");
        QTest::newRow("iOS 16 without its image") << 0 << u"no-image"_s;
        QTest::newRow("pymobiledevice3 phone without its image") << 1 << u"no-image"_s;
        QTest::newRow("go-ios phone no longer trusted") << 2 << u"untrusted"_s;
    }

    void oneFailsOthersHold()
    {
        QFETCH(int, failing);
        QFETCH(QString, condition);
        SimDeviceKit kit;
        Window w(kit);
        for (int phone : {0, 1, 2})
            QVERIFY(w.attach(phone));
        QVERIFY(kit.control({u"condition"_s, condition, u"--udid"_s, kPhones[failing].udid}));
        w.select({0, 1, 2});
        w.content().spoofController().spoofLocation();
        QList<int> others {0, 1, 2};
        others.removeAll(failing);
        QVERIFY(w.allHeld(others, kAt));
        QTRY_VERIFY_WITH_TIMEOUT(w.session(failing)->spoofHint.shown(), kPatience);
        QVERIFY(!w.session(failing)->isLocationLocked);
        QVERIFY(kit.location(kPhones[failing].udid).isEmpty());
        QVERIFY(PhonesList::detailText(*w.session(failing)).endsWith(u"failed ⚠️"_s));
        // Its hint shows in the panel when it is the phone shown.
        w.model().select({kPhones[failing].udid}, kPhones[failing].udid);
        QCOMPARE(w.state().spoofHint.cause, w.session(failing)->spoofHint.cause);
        QVERIFY(w.state().spoofHint.shown());
        QVERIFY(everyCommandNamesItsPhone(kit));
    }

    // A route on two phones; one is unplugged half-way and the other goes on to the end.
    void routeGoesOnWithoutAnUnpluggedPhone_data()
    {
        QTest::addColumn<int>("unplugged");
        QTest::addColumn<int>("staying");
        QTest::newRow("iOS 16 unplugged, pymobiledevice3 replays on") << 0 << 1;
        QTest::newRow("go-ios unplugged, iOS 16 steps on") << 2 << 0;
    }

    void routeGoesOnWithoutAnUnpluggedPhone()
    {
        QFETCH(int, unplugged);
        QFETCH(int, staying);
        SimDeviceKit kit;
        Window w(kit);
        QVERIFY(w.attach(unplugged) && w.attach(staying));
        w.select({unplugged, staying});
        const CLLocationCoordinate2D start {48.85, 2.35}, end {48.852, 2.35}; // 222 m north
        w.content().route().addWaypoint(start);
        w.content().route().addWaypoint(end);
        QTest::mouseClick(w.button("playButton"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(w.kit.track(kPhones[unplugged].udid).size() > 3, kPatience);
        QTRY_VERIFY_WITH_TIMEOUT(w.kit.track(kPhones[staying].udid).size() > 3, kPatience);
        QVERIFY(w.detach(unplugged));
        const auto trackOf = [&] { return w.kit.track(kPhones[staying].udid); };
        const qsizetype stepsAtUnplug = trackOf().size();
        QVERIFY(w.content().movement().isPlaying());
        // The staying phone reaches the end of the route, and the route plays on until then.
        QTRY_VERIFY_WITH_TIMEOUT(!trackOf().isEmpty() && trackOf().last().latitude > 48.85199,
                                 kPatience);
        QVERIFY(trackOf().size() > stepsAtUnplug);
        QTRY_VERIFY_WITH_TIMEOUT(!w.content().movement().isPlaying(), kPatience);
        QVERIFY(w.session(staying)->isLocationLocked);
        QVERIFY(everyCommandNamesItsPhone(kit));
    }

    // The list of phones: hidden with one phone; with more, click, Ctrl-click, Shift-click and
    // Ctrl+A choose the phones acted on, and the panel shows the current one.
    void listSelects_data()
    {
        QTest::addColumn<QString>("gestures"); // row:modifier, or "all"
        QTest::addColumn<QString>("selected");
        QTest::addColumn<int>("shown");
        QTest::newRow("click") << u"1"_s << u"1"_s << 1;
        QTest::newRow("Ctrl-click adds") << u"1:ctrl"_s << u"01"_s << 1;
        QTest::newRow("Shift-click spans") << u"2:shift"_s << u"012"_s << 2;
        QTest::newRow("Ctrl+A") << u"all"_s << u"012"_s << 0;
        QTest::newRow("Ctrl-click takes away") << u"1:ctrl 0:ctrl"_s << u"1"_s << 0;
    }

    void listSelects()
    {
        QFETCH(QString, gestures);
        SimDeviceKit kit;
        Window w(kit);
        QVERIFY(w.attach(0));
        PhonesList *list = w.list();
        QVERIFY(list && list->isHidden()); // one phone: the window as it always was
        QCOMPARE(list->accessibleName(), u"Phones"_s);
        QVERIFY(w.attach(1) && w.attach(2));
        QTRY_VERIFY(list->isVisible());
        QCOMPARE(list->count(), 3);
        QVERIFY(list->item(1)->text().startsWith(kPhones[1].name + u" · iPhone"_s));
        QVERIFY(list->item(1)->text().contains(u"iOS 17.4.1 · idle"_s));
        for (const QString &gesture : gestures.split(u' ')) {
            if (gesture == u"all"_s) {
                list->setFocus();
                QTest::keyClick(list, Qt::Key_A, Qt::ControlModifier);
                continue;
            }
            const int row = gesture.section(u':', 0, 0).toInt();
            const QString how = gesture.section(u':', 1);
            const Qt::KeyboardModifiers modifiers = how == u"ctrl"_s ? Qt::ControlModifier
                : how == u"shift"_s                                  ? Qt::ShiftModifier
                                                                     : Qt::NoModifier;
            QTest::mouseClick(list->viewport(), Qt::LeftButton, modifiers,
                              list->visualItemRect(list->item(row)).center());
        }
        QFETCH(QString, selected);
        QStringList expected;
        for (int phone : parseOrder(selected))
            expected << kPhones[phone].udid;
        QCOMPARE(w.model().selectedPhones(), expected);
        QFETCH(int, shown);
        QCOMPARE(w.state().udidLabelText, kPhones[shown].udid);
        QCOMPARE(w.state().deviceiosLabelText, kPhones[shown].ios);
    }

    // A phone's menu chooses the tool that reaches it, for iOS 17 and later only.
    void menuChoosesTheTool_data()
    {
        QTest::addColumn<int>("phone");
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<int>("chain"); // what reaches it afterwards
        QTest::newRow("go-ios for a 17.4 phone")
            << 1 << u"goIosChainAction"_s << true << int(IosChain::GoIos);
        QTest::newRow("back to the usual tool")
            << 2 << u"usualChainAction"_s << true << int(IosChain::PyMobileDevice3);
        QTest::newRow("an iOS 16 phone needs neither")
            << 0 << u"goIosChainAction"_s << false << int(IosChain::PyMobileDevice3);
    }

    void menuChoosesTheTool()
    {
        QFETCH(int, phone);
        QFETCH(QString, action);
        SimDeviceKit kit;
        Window w(kit);
        QVERIFY(w.attach(0) && w.attach(1) && w.attach(2));
        PhonesList *list = w.list();
        QTRY_VERIFY(list->isVisible());
        bool enabled = false;
        // The menu is modal: it is answered from the event loop it runs.
        QTimer::singleShot(0, list, [&] {
            QMenu *menu = list->findChild<QMenu *>(u"phoneMenu"_s);
            QAction *chosen = menu ? menu->findChild<QAction *>(action) : nullptr;
            enabled = chosen && chosen->isEnabled();
            if (enabled)
                chosen->trigger();
            if (menu)
                menu->close();
        });
        const QPoint at = list->visualItemRect(list->item(phone)).center();
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, list->viewport()->mapToGlobal(at));
        QCoreApplication::sendEvent(list->viewport(), &event);
        QTEST(enabled, "enabled");
        QTEST(int(w.content().spoofController().chainFor(kPhones[phone].udid)), "chain");
    }

    // With nothing selected, the phone plugged in next is selected; one plugged in beside a
    // selection is not.
    void newPhoneSelectedWhenNoneIs()
    {
        SimDeviceKit kit;
        Window w(kit);
        QVERIFY(w.attach(0) && w.attach(1));
        QCOMPARE(w.model().selectedPhones(), QStringList {kPhones[0].udid});
        w.model().select({}, kPhones[0].udid);
        QVERIFY(w.button("lockButton")->isHidden() || !w.button("lockButton")->isEnabled());
        QVERIFY(w.attach(2));
        QCOMPARE(w.model().selectedPhones(), QStringList {kPhones[2].udid});
        QCOMPARE(w.state().udidLabelText, kPhones[2].udid);
    }
};

QTEST_MAIN(TestPhones)
#include "tst_phones.moc"
