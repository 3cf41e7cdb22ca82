#include "state/ScreenModel.h"

#include "platform/ChildProcess.h"
#include "platform/Console.h"
#include "platform/HolderRecords.h"

ScreenModel::ScreenModel(AppEnvironment environment, QObject *parent)
    : QObject(parent)
    , environment_(std::move(environment))
    , mainQueue_(this)
{
}

ScreenModel::~ScreenModel()
{
    mainQueue_.close();
}

void ScreenModel::update(const std::function<void(ScreenState &)> &change)
{
    change(state_);
    Q_EMIT changed();
}

void ScreenModel::runStartupSequence()
{
    // Kill port forwarders left over from an earlier run. This blocks the GUI thread by
    // design, but never for longer than the deadline.
    environment_.toolRunner().runExecutable(
        environment_.shellPath(),
        {QStringLiteral("-c"), QStringLiteral("killall -9 iproxy 2>/dev/null || true")},
        environment_.timings.startupShellDeadline);

    endOrphanedHolders();

    startDeviceMonitor();

    Q_EMIT startupLookupRequested();
}

void ScreenModel::endOrphanedHolders()
{
    // A PinDrift that crashed while holding a location left its holder running, and the phone
    // spoofed with nobody to give it back.
    dispatch::runInBackground(
        dispatch::Priority::UserInitiated,
        [folder = environment_.holderRecordFolder(), grace = environment_.timings.terminateGrace] {
            const QList<holders::Ended> ended = holders::endOrphans(folder, grace);
            QStringList names;
            for (const holders::Ended &process : ended)
                names.append(process.program + QStringLiteral(" (pid ")
                             + QString::number(process.pid) + QLatin1Char(')'));
            if (!names.isEmpty())
                consoleLine(QStringLiteral("⚠️ Ended what an earlier PinDrift "
                                           "left holding the location: ")
                            + names.join(QStringLiteral(", ")));
        });
}

void ScreenModel::startDeviceMonitor()
{
    update([this](ScreenState &s) {
        delete s.deviceMonitorTimer.data();
        auto *timer = new QTimer(this);
        timer->setInterval(environment_.timings.monitorInterval);
        connect(timer, &QTimer::timeout, this, &ScreenModel::deviceMonitorTick);
        timer->start();
        s.deviceMonitorTimer = timer;
    });
}

void ScreenModel::stopBackgroundWork()
{
    update([this](ScreenState &s) {
        delete s.deviceMonitorTimer.data();
        s.deviceMonitorTimer = nullptr;
        childprocess::terminate(s.locationProcess, environment_.timings.terminateGrace);
        s.locationProcess.reset();
    });
}
