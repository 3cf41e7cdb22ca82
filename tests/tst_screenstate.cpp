// The screen state's owner, the start-up sequence and the shutdown.
#include "TestSupport.h"
#include "platform/ChildProcess.h"
#include "platform/Dispatch.h"
#include "state/ScreenModel.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <csignal>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

class TestScreenState : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void startup_data()
    {
        QTest::addColumn<bool>("hungShell");
        QTest::addColumn<QString>("line"); // the one console line, in part
        QTest::newRow("stale iproxy killed, silently") << false << QString();
        QTest::newRow("a hung shell cannot freeze it")
            << true << u"did not finish within 0.3 s and was stopped"_s;
    }

    void startup()
    {
        QFETCH(bool, hungShell);
        QTemporaryDir dir;
        QVERIFY(QFile::copy(u"/bin/sleep"_s, dir.filePath(u"iproxy"_s)));
        QProcess iproxy;
        iproxy.start(dir.filePath(u"iproxy"_s), {u"60"_s});
        QVERIFY(iproxy.waitForStarted());
        AppEnvironment environment = SimDeviceKit().environment();
        environment.timings.monitorInterval = 150ms;
        environment.timings.startupShellDeadline = 300ms;
        if (hungShell)
            environment.shell = writeScript(dir.filePath(u"shell"_s), "#!/bin/sh\nexec sleep 60\n");
        ScreenModel model(environment);
        QSignalSpy lookups(&model, &ScreenModel::startupLookupRequested);
        QSignalSpy ticks(&model, &ScreenModel::deviceMonitorTick);
        ConsoleCapture capture;

        model.runStartupSequence();

        QFETCH(QString, line);
        const QStringList lines = capture.lines();
        QCOMPARE(lines.size(), line.isEmpty() ? 0 : 1);
        QVERIFY(line.isEmpty() || lines[0].contains(line));
        QCOMPARE(lookups.size(), 1);
        QList<pid_t> children = ProcessCensus::children();
        children.removeAll(pid_t(iproxy.processId()));
        QVERIFY(children.isEmpty()); // the shell was reaped
        QCOMPARE(ticks.size(), 0); // the first tick comes one interval later
        QCOMPARE(model.state().deviceMonitorTimer->interval(), 150);
        QPointer<QTimer> first = model.state().deviceMonitorTimer;
        model.startDeviceMonitor(); // a restart keeps one timer
        QVERIFY(first.isNull() && model.state().deviceMonitorTimer);
        QTRY_VERIFY(ticks.size() >= 3);
        if (hungShell)
            iproxy.kill();
        QTRY_COMPARE(iproxy.state(), QProcess::NotRunning);
        QCOMPARE(iproxy.exitCode(), SIGKILL);
        model.stopBackgroundWork();
    }

    void shutdownStopsTheTimerAndTerminatesTheSimulateProcess()
    {
        ScreenModel model(SimDeviceKit().environment());
        model.runStartupSequence();
        QPointer<QTimer> timer = model.state().deviceMonitorTimer;
        const auto process = ChildProcess::launch(u"/bin/sleep"_s, {u"60"_s}).process;
        QVERIFY(timer && process);
        model.update([process](ScreenState &s) {
            s.locationProcess = process;
            s.isLocationLocked = true;
        });

        model.stopBackgroundWork();

        QVERIFY(timer.isNull() && model.state().deviceMonitorTimer.isNull());
        QVERIFY(!model.state().locationProcess);
        QTRY_VERIFY(!ProcessCensus::children().contains(process->processId())); // reaped
        QCOMPARE(process->exitStatus(), std::optional<int>(SIGTERM));
    }

    void terminateKillsAChildThatIgnoresTheRequest()
    {
        QTemporaryDir dir;
        const QString ready = dir.filePath(u"ready"_s);
        const auto process = ChildProcess::launch(u"/bin/sh"_s,
                                                  {u"-c"_s,
                                                   u"trap '' TERM; touch '%1'; "
                                                   u"while :; do sleep 0.05; done"_s.arg(ready)})
                                 .process;
        QVERIFY(process);
        QTRY_VERIFY(QFile::exists(ready));
        childprocess::terminate(process, 200ms);
        QTRY_VERIFY(!ProcessCensus::children().contains(process->processId()));
        QCOMPARE(process->exitStatus(), std::optional<int>(SIGKILL));
    }

    void mainQueueKeepsOrderAndDropsAfterClose()
    {
        QObject receiver;
        MainQueue queue(&receiver);
        QList<int> seen, postingOrder;
        std::mutex mutex;
        for (int i = 0; i < 200; ++i) {
            dispatch::runInBackground(dispatch::Priority::Background,
                                      [=, &seen, &postingOrder, &mutex] {
                                          std::lock_guard lock(mutex);
                                          postingOrder.append(i);
                                          queue.post([i, &seen] {
                                              QCOMPARE(QThread::currentThread(), qApp->thread());
                                              seen.append(i);
                                          });
                                      });
        }
        QTRY_COMPARE(seen.size(), 200);
        {
            std::lock_guard lock(mutex);
            QCOMPARE(seen, postingOrder); // applied in the order posted, from many threads
        }
        queue.close();
        QVERIFY(!queue.post([&seen] { seen.append(-1); }));
        QCoreApplication::processEvents();
        QCOMPARE(seen.size(), 200);
    }
};

QTEST_MAIN(TestScreenState)
#include "tst_screenstate.moc"
