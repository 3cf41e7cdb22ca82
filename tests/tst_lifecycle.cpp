// The program's own life around a held location: a PinDrift that crashes while holding leaves its
// holder running, and the next start ends it; one that is asked to quit while a spoof or a move
// is being confirmed ends every child and goes at once, not after the tool. Each case runs the
// program in a child process of this test, as main() runs it.
#include "ScreenSupport.h"
#include "SpoofSupport.h"
#include "app/AppDelegate.h"
#include "app/ContentView.h"
#include "app/MainWindow.h"
#include "platform/Dispatch.h"
#include "platform/TerminationSignals.h"
#include "spoof/SpoofController.h"
#include "state/ScreenModel.h"
#include "tools/GoIos.h"

#include <QApplication>
#include <QDir>
#include <QProcess>
#include <QTest>
#include <csignal>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

constexpr int kPatience = 20000;

// The program in a child process, over the kit of the test that started it: it spoofs as soon as
// the phone is detected, then does what the scenario says.
int runProgram(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QString scenario = QString::fromLocal8Bit(argv[2]);
    AppEnvironment environment = SimDeviceKit::environmentAt(
        QString::fromLocal8Bit(argv[3]), static_cast<quint16>(QByteArray(argv[4]).toUInt()),
        static_cast<quint16>(QByteArray(argv[5]).toUInt()));
    environment.adminPromptCommand = {u"/bin/sh"_s};
    AppDelegate delegate(environment);
    delegate.applicationDidFinishLaunching();
    platform::onTerminationSignal(&delegate, [&delegate] {
        if (QWidget *window = delegate.window())
            window->close();
        else
            QApplication::quit();
    });
    ContentView &content = *delegate.window()->contentView();
    bool spoofed = false;
    bool moved = false;
    // Ended before the locals it reads go: the window's own teardown still changes the model.
    const QMetaObject::Connection watch =
        QObject::connect(&content.model(), &ScreenModel::changed, &content, [&] {
            const ScreenState &s = content.model().state();
            if (!spoofed && !s.udidLabelText.isEmpty() && !s.disabledLockButton) {
                spoofed = true;
                content.spoofController().spoofLocation();
            } else if (spoofed && s.isLocationLocked && !s.disabledLockButton) {
                if (scenario == u"crash while holding"_s)
                    ::_exit(3); // no clean-up of any kind
                if (scenario == u"quit while a move is confirmed"_s && !moved) {
                    moved = true;
                    // From now on go-ios takes a minute to set a location.
                    QProcess::execute(QStringLiteral(SIMDEVICE_BINARY),
                                      {u"--state"_s,
                                       environment.tools.toolsDirectory() + u"/simdevice-state"_s,
                                       u"fault"_s, u"ios:setlocation"_s, u"slow"_s, u"60000"_s});
                    content.spoofController().moveSpoofedLocation(false, {1.0, 2.0});
                }
            }
        });
    const int status = QApplication::exec();
    QObject::disconnect(watch);
    dispatch::shutdown();
    return status;
}

struct Program
{
    Program(const SimDeviceKit &kit, const QString &scenario)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        environment.insert(u"XDG_CONFIG_HOME"_s, kit.resourceFolder() + u"/config"_s);
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(QCoreApplication::applicationFilePath(),
                      {u"--program"_s, scenario, kit.resourceFolder(),
                       QString::number(kit.tunnelPort()), QString::number(kit.agentPort())});
    }
    ~Program()
    {
        process.kill();
        process.waitForFinished();
    }
    QProcess process;
};

bool goIosOnly(SimDeviceKit &kit)
{
    kit.removeTool(u"pymobiledevice3"_s);
    return kit.addTool(goios::kTool);
}

} // namespace

class TestLifecycle : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { QTRY_VERIFY(ProcessCensus::children().isEmpty()); }

    // The crashed run's holder and agent are still there, the phone still spoofed; the next
    // start ends them and says so once.
    void crashWhileHoldingThenStart()
    {
        SimDeviceKit kit;
        QVERIFY(kit.attach(u"17.4.1"_s));
        QVERIFY(goIosOnly(kit));
        {
            Program crashed(kit, u"crash while holding"_s);
            QVERIFY(crashed.process.waitForFinished(kPatience));
            QCOMPARE(crashed.process.exitCode(), 3);
        }
        QCOMPARE(kit.location(), u"40.689247 -74.044502"_s); // held by the orphan
        QVERIFY(!processesRunningFrom(kit.toolsDirectory()).isEmpty());

        ConsoleCapture console;
        Screen screen(kit.environment());
        screen.model.runStartupSequence();
        const auto said = [&console] {
            return console.lines().filter(
                u"Ended what an earlier PinDrift left holding the location"_s);
        };
        QTRY_VERIFY_WITH_TIMEOUT(!said().isEmpty(), kPatience); // once all are ended
        QCOMPARE(said().size(), 1);
        QCOMPARE(kit.location(), QString());
        QTRY_VERIFY(processesRunningFrom(kit.toolsDirectory()).isEmpty()); // killed, going
        QVERIFY2(said().first().contains(u"ios (pid"_s), qPrintable(said().first()));
        QVERIFY(QDir(kit.environment().holderRecordFolder()).isEmpty());
        QVERIFY(screen.quiet(kPatience));
    }

    // Asked to end (SIGTERM, as a logout does) while a tool has not yet confirmed: every child
    // goes, and so does the program, without waiting for the tool.
    void quitWhileConfirming_data()
    {
        QTest::addColumn<bool>("goIos");
        QTest::addColumn<QString>("waitFor"); // the journal line of the command under way
        QTest::newRow("quit while a spoof is confirmed")
            << false << u"pymobiledevice3 developer dvt simulate-location set"_s;
        QTest::newRow("quit while a move is confirmed") << true << u"--lat=1.0"_s;
    }

    void quitWhileConfirming()
    {
        QFETCH(bool, goIos);
        QFETCH(QString, waitFor);
        SimDeviceKit kit;
        QVERIFY(kit.attach(u"17.4.1"_s));
        if (goIos)
            QVERIFY(goIosOnly(kit));
        else // pymobiledevice3 takes a minute to confirm
            QVERIFY(kit.fault(u"pymobiledevice3:set"_s, u"slow"_s, 60000));
        Program program(kit, QString::fromLatin1(QTest::currentDataTag()));
        QTRY_VERIFY_WITH_TIMEOUT(!kit.commands().filter(waitFor).isEmpty(), kPatience);
        const auto pid = static_cast<pid_t>(program.process.processId());
        ::kill(pid, SIGTERM);
        // A logout kills what is still there a few seconds later: by then the program is gone,
        // and nothing of it holds the phone. (It used to wait for its background work first.)
        if (!program.process.waitForFinished(2500)) {
            ::kill(pid, SIGKILL);
            program.process.waitForFinished();
        }
        QTRY_VERIFY(processesRunningFrom(kit.toolsDirectory()).isEmpty());
        QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.process.exitCode(), 0);
        QCOMPARE(kit.location(), QString());
        QVERIFY(QDir(kit.environment().holderRecordFolder()).isEmpty());
    }
};

int main(int argc, char *argv[])
{
    if (argc >= 6 && qstrcmp(argv[1], "--program") == 0)
        return runProgram(argc, argv);
    QApplication app(argc, argv);
    TestLifecycle test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_lifecycle.moc"
