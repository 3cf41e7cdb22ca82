#include "state/ScreenModel.h"

#include "platform/ChildProcess.h"

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

    startDeviceMonitor();

    Q_EMIT startupLookupRequested();
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
