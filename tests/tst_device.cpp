// Device detection and the attachment monitor, against the simulated device kit.
#include "ScreenSupport.h"
#include "TestSupport.h"
#include "tools/DeviceTools.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

constexpr int kPatience = 20000;
const QString kUdid = QString::fromLatin1(SimDeviceKit::defaultUdid);
const QString kPrompt = u"Connect iOS Device in normal mode"_s;
const QString kConnected = u"iOS Device Connected!"_s;
const QString kTimedOut = u"❌ idevice_id did not finish within 0.8 s and was stopped"_s;

// The kit and the screen over it; the screen goes first.
struct Rig
{
    Rig()
        : screen(kit.environment(timings()))
    {
    }
    static Timings timings()
    {
        Timings t = shortTimings();
        t.toolDeadline = 800ms;
        return t;
    }

    SimDeviceKit kit;
    Screen screen;
};

QString fields(const ScreenState &s)
{
    return QStringList {s.deviceiosLabelText, s.serialnumberLabelText, s.productTypeLabelText,
                        s.udidLabelText}
        .join(u'/');
}

} // namespace

class TestDevice : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup()
    {
        QVERIFY(dispatch::waitForBackgroundWork(kPatience));
        QTRY_VERIFY(ProcessCensus::children().isEmpty());
        QCOMPARE(ProcessCensus::zombieChildren(), 0);
    }

    // Every change of the screen during one detection, in order, with the console and what the
    // device was asked. The monitor runs meanwhile and must not probe; the GUI thread must turn.
    void detectionReachesTheScreenInOrder_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QStringList>("changes"); // status|picture|fields|flags
        QTest::addColumn<QStringList>("console");
        QTest::addColumn<QStringList>("commands");

        const QString checking = u"Checking devices...|iphone16_halfload|///|DL"_s;
        const QString conn = kConnected + u"|iphone16hello|"_s;
        const QString v = u"17.4.1/"_s, sn = u"F2LZK0ABCDEF/"_s, pt = u"iPhone15,2/"_s;
        const QStringList notFound {checking, u"Not detecting any devices!|iphone16|///|DL"_s,
                                    kPrompt + u"|iphone16|///|-L"_s};
        // The phones are listed, then each is asked by its UDID.
        const QString u = u"ideviceinfo -u "_s + kUdid;
        const QStringList asked {u"idevice_id -l"_s, u, u + u" -k ProductVersion"_s,
                                 u + u" -k SerialNumber"_s, u + u" -k ProductType"_s,
                                 u + u" -k DeviceName"_s, u + u" -k UniqueDeviceID"_s};
        const QString start = u"🔍 Checking for connected iOS devices..."_s;
        const QString none = u"No device detected :("_s;
        // clang-format off
        QStringList console {start, u"✓ Device detected"_s, u"ProductVersion: 17.4.1"_s, u"SerialNumber: F2LZK0ABCDEF"_s, u"ProductType: iPhone15,2"_s, u"UniqueDeviceID: "_s + kUdid};
        const QStringList rows {checking, conn + u"///|DL"_s, conn + v + u"//|DL", conn + v + sn + u"/|DL", conn + v + sn + pt + u"|DL", conn + v + sn + pt + kUdid + u"|DL", conn + v + sn + pt + kUdid + u"|--"};
        QTest::newRow("device answers") << QString() << rows << console << asked;
        QTest::newRow("exits non-zero, but answers") << u"status"_s << rows << console << asked;
        console[3] = u"Error getting SerialNumber:"_s;
        QTest::newRow("serial query fails, the other rows follow") << u"serial"_s << QStringList {checking, conn + u"///|DL"_s, conn + v + u"//|DL", conn + v + u"/"_s + pt + u"|DL", conn + v + u"/"_s + pt + kUdid + u"|DL", conn + v + u"/"_s + pt + kUdid + u"|--"} << console << asked;
        QTest::newRow("no device") << u"detached"_s << notFound << QStringList {start, none} << QStringList {u"idevice_id -l"_s, u"ideviceinfo"_s};
        QTest::newRow("real tools, no device") << u"real"_s << notFound << QStringList {start, none} << QStringList();
        // clang-format on
    }

    void detectionReachesTheScreenInOrder()
    {
        QFETCH(QString, setup);
        Rig rig;
        ScreenModel &model = rig.screen.model;
        QVERIFY(rig.kit.fault(u"ideviceinfo"_s, u"slow"_s, 100));
        if (setup == u"status"_s) {
            QVERIFY(rig.kit.fault(u"ideviceinfo"_s, u"exit-status"_s, 255));
            for (const char *key :
                 {"ProductVersion", "SerialNumber", "ProductType", "UniqueDeviceID"})
                QVERIFY(rig.kit.fault(u"ideviceinfo:"_s + QLatin1String(key), u"slow"_s, 100));
        }
        if (setup == u"serial"_s)
            QVERIFY(rig.kit.fault(u"ideviceinfo:SerialNumber"_s, u"exit-nonzero"_s, 1));
        if (setup != u"detached"_s)
            QVERIFY(rig.kit.attach());
        if (setup == u"real"_s) {
            // The Debian tools, run through wrappers so that the tool folder's chmod never
            // touches a system file.
            for (const char *tool : {"ideviceinfo", "idevice_id"}) {
                if (!QFileInfo::exists(u"/usr/bin/"_s + QLatin1String(tool)))
                    QSKIP("libimobiledevice-utils is not installed");
                writeScript(rig.kit.toolPath(QLatin1String(tool)),
                            "#!/bin/sh\nexec /usr/bin/" + QByteArray(tool) + " \"$@\"\n");
            }
        }

        QStringList seen;
        int turns = 0;
        QList<int> turnsAt;
        QTimer pulse; // also the context of the recording, which ends before what it writes
        connect(&pulse, &QTimer::timeout, this, [&] { ++turns; });
        connect(&model, &ScreenModel::changed, &pulse, [&] {
            const ScreenState &s = model.state();
            const QString now = s.statusLabelText + u'|' + s.statusIMGText + u'|' + fields(s) + u'|'
                + (s.disabledDetectButtonSafety ? u'D' : u'-')
                + (s.disabledLockButton ? u'L' : u'-');
            if (!seen.isEmpty() && seen.last() == now)
                return; // the monitor's start is a change of its own, showing nothing new
            seen << now;
            turnsAt << turns;
            if (seen.size() == 1)
                model.startDeviceMonitor();
        });
        pulse.start(10ms);
        QSignalSpy finished(&rig.screen.detector, &DeviceDetector::detectionFinished);
        ConsoleCapture console;

        rig.screen.detector.startDeviceDetection();
        QVERIFY(finished.wait(kPatience));

        QTEST(seen, "changes");
        QTEST(console.lines(), "console");
        QTEST(rig.kit.commands(), "commands"); // the detection's own list only: the monitor waited
        QVERIFY(turnsAt.last() > turnsAt.first());
    }

    // The monitor, driven tick by tick after the screen came up with the kit's device.
    void attachmentPolls_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("end"); // held, attached or gone
        QTest::addColumn<QString>("lockStatus");
        QTest::addColumn<QStringList>("errors"); // console lines beginning with "❌"
        QTest::addColumn<int>("detections"); // after the start-up's own
        QTest::addColumn<int>("probes"); // idevice_id -l, the monitor's and the detections'

        const QString held = heldText(kDefaultPinCoordinate);
        const QString ended = u"Device disconnected — location spoof ended."_s;
        const QStringList none;
        // clang-format off
        QTest::newRow("staying attached detects nothing; one probe at a time") << QStringList {u"up"_s, u"poll twice"_s, u"poll"_s} << u"attached"_s << QString() << none << 0 << 2;
        QTest::newRow("unplugged, nothing held") << QStringList {u"up"_s, u"note"_s, u"detach"_s, u"poll"_s} << u"gone"_s << u"earlier"_s << none << 0 << 1;
        QTest::newRow("unplugged while held") << QStringList {u"up"_s, u"hold"_s, u"detach"_s, u"poll"_s} << u"gone"_s << ended << none << 0 << 1;
        QTest::newRow("time-outs keep the held location") << QStringList {u"up"_s, u"hold"_s, u"hang"_s, u"poll"_s, u"poll"_s} << u"held"_s << held << QStringList {kTimedOut, kTimedOut} << 0 << 2;
        QTest::newRow("time-out, then unplugged") << QStringList {u"up"_s, u"hold"_s, u"hang"_s, u"poll"_s, u"clear"_s, u"detach"_s, u"poll"_s} << u"gone"_s << ended << QStringList {kTimedOut} << 0 << 2;
        QTest::newRow("probe tool missing: never attached, never ended") << QStringList {u"remove"_s, u"detect"_s, u"settle"_s, u"hold"_s, u"poll"_s} << u"held"_s << held << QStringList {u"❌ Bundled tool not found: idevice_id"_s} << 1 << 0;
        QTest::newRow("two detections at once end as one") << QStringList {u"up"_s, u"detect"_s, u"detect"_s, u"settle"_s} << u"attached"_s << QString() << none << 2 << 2;
        // The older one's "not found" prompt must not land over the device found since.
        QTest::newRow("a detection overtaken by a newer one that finds the device") << QStringList {u"up"_s, u"detach"_s, u"detect"_s, u"not found"_s, u"attach"_s, u"detect"_s, u"settle"_s} << u"attached"_s << QString() << none << 1 << 2;
        // clang-format on
    }

    void attachmentPolls()
    {
        QFETCH(QStringList, steps);
        QFETCH(QString, end);
        Rig rig;
        QVERIFY(rig.kit.attach(u"16.7.10"_s));
        Screen &screen = rig.screen;
        qsizetype from = 0;
        std::shared_ptr<ChildProcess> holding;
        ConsoleCapture console;
        for (const QString &step : steps) {
            if (step == u"up"_s) {
                QVERIFY(screen.bringUp(kPatience) && screen.quiet(kPatience));
                from = rig.kit.commands().size();
            } else if (step == u"hold"_s) {
                QVERIFY(screen.hold(kPatience));
                holding = screen.state().locationProcess;
            } else if (step.startsWith(u"poll"_s)) {
                screen.monitor.pollDeviceAttachment();
                if (step == u"poll twice"_s)
                    screen.monitor.pollDeviceAttachment();
                QTRY_VERIFY_WITH_TIMEOUT(!screen.state().isPollingDeviceAttachment, kPatience);
            } else if (step == u"settle"_s) {
                QTRY_VERIFY_WITH_TIMEOUT(!screen.detector.isDetecting(), kPatience);
            } else if (step == u"detect"_s) {
                screen.detector.startDeviceDetection();
            } else if (step == u"note"_s) {
                screen.model.update([](ScreenState &s) { s.lockStatusText = u"earlier"_s; });
            } else if (step == u"not found"_s) {
                QTRY_COMPARE_WITH_TIMEOUT(screen.state().statusLabelText,
                                          u"Not detecting any devices!"_s, kPatience);
            } else if (step == u"attach"_s) {
                QVERIFY(rig.kit.attach(u"16.7.10"_s));
            } else if (step == u"remove"_s) {
                rig.kit.removeTool(u"idevice_id"_s);
            } else {
                QVERIFY(step == u"detach"_s     ? rig.kit.detach()
                            : step == u"hang"_s ? rig.kit.fault(u"idevice_id"_s, u"hang"_s)
                                                : rig.kit.clearFaults());
            }
        }

        const ScreenState &s = screen.state();
        QTEST(s.lockStatusText, "lockStatus");
        QCOMPARE(s.isLocationLocked, end == u"held"_s);
        QCOMPARE(bool(s.locationProcess), end == u"held"_s);
        QCOMPARE(s.disabledLockButton, end == u"gone"_s);
        QVERIFY(!s.disabledDetectButtonSafety);
        if (end == u"gone"_s) {
            QVERIFY(!s.wasDeviceAttached);
            QCOMPARE(s.statusLabelText + s.statusIMGText + fields(s), kPrompt + u"iphone16///"_s);
        } else {
            QCOMPARE(s.statusLabelText + s.statusIMGText, kConnected + u"iphone16hello"_s);
            QCOMPARE(fields(s), u"16.7.10/F2LZK0ABCDEF/iPhone15,2/"_s + kUdid);
        }
        if (holding)
            QTRY_COMPARE_WITH_TIMEOUT(holding->isRunning(), end == u"held"_s, kPatience);
        QTEST(console.lines().filter(QRegularExpression(u"^❌"_s)), "errors");
        const QStringList asked = rig.kit.commands().mid(from);
        QTEST(int(asked.count(u"ideviceinfo -u "_s + kUdid)), "detections");
        QTEST(int(asked.count(u"idevice_id -l"_s)), "probes");
    }
};

QTEST_GUILESS_MAIN(TestDevice)
#include "tst_device.moc"
