// The screen state, its owner, the start-up sequence and the shutdown.
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

class TestScreenState : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void freshStateHasTheInitialValues()
    {
        const ScreenState s;
        QCOMPARE(s.statusIMGText, QStringLiteral("iphone16"));
        QCOMPARE(s.statusLabelText, QStringLiteral("Connect iOS Device in normal mode"));
        QVERIFY(s.deviceiosLabelText.isEmpty());
        QVERIFY(s.serialnumberLabelText.isEmpty());
        QVERIFY(s.productTypeLabelText.isEmpty());
        QVERIFY(s.udidLabelText.isEmpty());
        QCOMPARE(s.disabledDetectButtonSafety, false);
        QCOMPARE(s.showSetupBanner, true);
        QCOMPARE(s.latitudeText, QStringLiteral("40.689247"));
        QCOMPARE(s.longitudeText, QStringLiteral("-74.044502"));
        QCOMPARE(s.isLocationLocked, false);
        QCOMPARE(s.disabledLockButton, true);
        QVERIFY(s.lockStatusText.isEmpty());
        QVERIFY(!s.locationProcess);
        QCOMPARE(s.pinCoordinate, (CLLocationCoordinate2D {40.689247, -74.044502}));
        QCOMPARE(s.cameraPosition.kind, MapCameraPosition::Kind::Region);
        QCOMPARE(s.cameraPosition.region,
                 MapRegion::withDistance({40.689247, -74.044502}, 6000, 6000));
        QVERIFY(s.deviceMonitorTimer.isNull());
        QCOMPARE(s.wasDeviceAttached, false);
        QCOMPARE(s.isPollingDeviceAttachment, false);
    }

    void everyUpdateNotifiesOnce()
    {
        ScreenModel model;
        QSignalSpy changes(&model, &ScreenModel::changed);
        model.update([](ScreenState &s) {
            s.statusLabelText = QStringLiteral("a");
            s.lockStatusText = QStringLiteral("b");
            s.disabledLockButton = false;
        });
        QCOMPARE(changes.size(), 1);
        QCOMPARE(model.state().statusLabelText, QStringLiteral("a"));
    }

    void startupKillsStaleIproxy()
    {
        QTemporaryDir dir;
        const QString fake = dir.path() + QStringLiteral("/iproxy");
        QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), fake));
        QProcess iproxy;
        iproxy.start(fake, {QStringLiteral("60")});
        QVERIFY(iproxy.waitForStarted());

        ScreenModel model(SimDeviceKit().environment());
        ConsoleCapture capture;
        model.runStartupSequence();

        QVERIFY(iproxy.waitForFinished(5000));
        QCOMPARE(iproxy.exitStatus(), QProcess::CrashExit);
        QCOMPARE(iproxy.exitCode(), 9);
        QVERIFY(capture.lines().isEmpty());
        model.stopBackgroundWork();
    }

    void startupWithoutIproxyIsSilent()
    {
        ScreenModel model(SimDeviceKit().environment());
        ConsoleCapture capture;
        model.runStartupSequence();
        QVERIFY(capture.lines().isEmpty());
        QVERIFY(!model.state().deviceMonitorTimer.isNull());
        model.stopBackgroundWork();
    }

    void aHungShellCannotFreezeStartup()
    {
        QTemporaryDir dir;
        AppEnvironment environment = SimDeviceKit().environment();
        environment.shell =
            writeScript(dir.path() + QStringLiteral("/hung-shell"), "#!/bin/sh\nexec sleep 60\n");
        environment.timings.startupShellDeadline = 300ms;
        ScreenModel model(environment);
        ConsoleCapture capture;
        QSignalSpy lookups(&model, &ScreenModel::startupLookupRequested);

        model.runStartupSequence();

        QCOMPARE(capture.lines().size(), 1);
        QVERIFY(capture.lines().first().contains(QStringLiteral("did not finish within 0.3 s")));
        QVERIFY(!model.state().deviceMonitorTimer.isNull());
        QCOMPARE(lookups.size(), 1);
        QVERIFY(ProcessCensus::children().isEmpty());
        model.stopBackgroundWork();
    }

    void timerTicksAfterOneIntervalNotBefore()
    {
        Timings timings = shortTimings();
        timings.monitorInterval = 150ms;
        ScreenModel model(SimDeviceKit().environment(timings));
        QSignalSpy ticks(&model, &ScreenModel::deviceMonitorTick);
        model.runStartupSequence();
        QCOMPARE(model.state().deviceMonitorTimer->interval(), 150);
        QVERIFY(model.state().deviceMonitorTimer->isActive());
        QCOMPARE(ticks.size(), 0); // no immediate poll
        QVERIFY(ticks.wait(5000));
        QTRY_VERIFY(ticks.size() >= 3); // and it repeats
        model.stopBackgroundWork();
    }

    void restartingTheMonitorKeepsOneTimer()
    {
        ScreenModel model(SimDeviceKit().environment());
        model.startDeviceMonitor();
        QPointer<QTimer> first = model.state().deviceMonitorTimer;
        model.startDeviceMonitor();
        QVERIFY(first.isNull());
        QVERIFY(!model.state().deviceMonitorTimer.isNull());
        model.stopBackgroundWork();
    }

    void shutdownStopsTimerAndTerminatesTheSimulateProcess()
    {
        ScreenModel model(SimDeviceKit().environment());
        model.runStartupSequence();
        QPointer<QTimer> timer = model.state().deviceMonitorTimer;
        QVERIFY(timer);

        const auto process =
            ChildProcess::launch(QStringLiteral("/bin/sleep"), {QStringLiteral("60")}).process;
        QVERIFY(process);
        const pid_t pid = process->processId();
        model.update([process](ScreenState &s) {
            s.locationProcess = process;
            s.isLocationLocked = true;
        });
        QSignalSpy ticks(&model, &ScreenModel::deviceMonitorTick);

        model.stopBackgroundWork();

        QVERIFY(model.state().deviceMonitorTimer.isNull());
        QVERIFY(timer.isNull());
        QVERIFY(!model.state().locationProcess);
        QTRY_VERIFY(!ProcessCensus::isRunning(pid));
        QTRY_VERIFY(!ProcessCensus::children().contains(pid)); // reaped, not a zombie
        QCOMPARE(process->exitStatus(), std::optional<int>(SIGTERM));
        QTest::qWait(3 * static_cast<int>(shortTimings().monitorInterval.count()));
        QCOMPARE(ticks.size(), 0);
    }

    void terminateKillsAChildThatIgnoresTheRequest()
    {
        const auto process =
            ChildProcess::launch(QStringLiteral("/bin/sh"),
                                 {QStringLiteral("-c"),
                                  QStringLiteral("trap '' TERM; while :; do sleep 0.05; done")})
                .process;
        QVERIFY(process);
        const pid_t pid = process->processId();
        QTest::qWait(100); // let the shell install its trap
        childprocess::terminate(process, 200ms);
        QTRY_VERIFY(!ProcessCensus::children().contains(pid));
        QVERIFY(process->endedBySignal());
        QCOMPARE(process->exitStatus(), std::optional<int>(SIGKILL));
    }

    void mainQueueKeepsOrderAndDropsAfterClose()
    {
        QObject receiver;
        MainQueue queue(&receiver);
        QList<int> seen;
        QList<int> postingOrder;
        std::mutex mutex;
        for (int i = 0; i < 200; ++i) {
            dispatch::runInBackground(dispatch::Priority::Background,
                                      [queue, i, &seen, &postingOrder, &mutex] {
                                          std::lock_guard lock(mutex);
                                          postingOrder.append(i);
                                          queue.post([i, &seen] { seen.append(i); });
                                      });
        }
        QTRY_COMPARE(seen.size(), 200);
        {
            std::lock_guard lock(mutex);
            QCOMPARE(seen, postingOrder); // applied in the order posted, from many threads
        }
        QCOMPARE(QThread::currentThread(), receiver.thread());

        // Ordered posts from one thread arrive in that order.
        seen.clear();
        dispatch::runInBackground(dispatch::Priority::UserInitiated, [queue, &seen] {
            for (int i = 0; i < 100; ++i)
                queue.post([i, &seen] { seen.append(i); });
        });
        QTRY_COMPARE(seen.size(), 100);
        for (int i = 0; i < 100; ++i)
            QCOMPARE(seen[i], i);

        queue.close();
        QVERIFY(!queue.post([&seen] { seen.append(-1); }));
        QCoreApplication::processEvents();
        QCOMPARE(seen.size(), 100);
    }
};

QTEST_MAIN(TestScreenState)
#include "tst_screenstate.moc"
