#include "spoof/LocationBackends.h"

#include "coordinates/Coordinates.h"
#include "platform/Console.h"
#include "spoof/TunnelService.h"
#include "tools/DeviceTools.h"
#include "tools/ToolRunner.h"

using namespace std::chrono;

std::shared_ptr<ChildProcess> launchLongLived(const QString &path, const QStringList &arguments,
                                              milliseconds wait, const QString &launchErrorPrefix,
                                              const QString &earlyExitPrefix)
{
    const ChildProcess::Launch launched = ChildProcess::launch(path, arguments);
    if (!launched.process) {
        consoleLine(launchErrorPrefix + launched.error);
        return nullptr;
    }
    // The pipe is drained while waiting, and an early end is known at once.
    if (!launched.process->waitForExit(wait)) {
        childprocess::watch(launched.process);
        return launched.process;
    }
    consoleLine(earlyExitPrefix
                + decodeUtf8Strictly(launched.process->takeOutput()).value_or(QString()));
    return nullptr;
}

SimulateLocationBackend::SimulateLocationBackend(AppEnvironment environment)
    : environment_(std::move(environment))
{
}

std::shared_ptr<ChildProcess> SimulateLocationBackend::startSimulation(const QString &udid,
                                                                       double latitude,
                                                                       double longitude) const
{
    if (!TunnelService(environment_).ensureTunnel()) {
        consoleLine(QStringLiteral("❌ Could not establish iOS 17+ tunnel (tunneld not reachable)"));
        return nullptr;
    }
    const std::optional<QString> tool =
        environment_.tools.resolveTool(QStringLiteral("pymobiledevice3"));
    if (!tool) {
        consoleLine(QStringLiteral("❌ pymobiledevice3 not found in bundled tools"));
        return nullptr;
    }
    const QStringList arguments {QStringLiteral("developer"),
                                 QStringLiteral("dvt"),
                                 QStringLiteral("simulate-location"),
                                 QStringLiteral("set"),
                                 QStringLiteral("--tunnel"),
                                 udid,
                                 QStringLiteral("--"),
                                 coordinates::formatDegrees(latitude),
                                 coordinates::formatDegrees(longitude)};
    return launchLongLived(*tool, arguments, environment_.timings.simulateWait,
                           QStringLiteral("❌ Error launching simulate-location set: "),
                           QStringLiteral("❌ simulate-location set exited early: "));
}

bool SimulateLocationBackend::clearSimulation(const QString &udid) const
{
    if (!TunnelService(environment_).ensureTunnel()) {
        consoleLine(QStringLiteral("❌ Could not establish iOS 17+ tunnel (tunneld not reachable)"));
        return false;
    }
    const ToolRunResult result = environment_.toolRunner().runTool(
        QStringLiteral("pymobiledevice3"),
        {QStringLiteral("developer"), QStringLiteral("dvt"), QStringLiteral("simulate-location"),
         QStringLiteral("clear"), QStringLiteral("--tunnel"), udid});
    if (result.exitStatus == 0)
        return true;
    consoleLine(QStringLiteral("❌ simulate-location clear failed (exit ")
                + QString::number(result.exitStatus) + QLatin1Char(')'));
    return false;
}

SetLocationBackend::SetLocationBackend(AppEnvironment environment)
    : environment_(std::move(environment))
{
}

std::shared_ptr<ChildProcess> SetLocationBackend::startSetLocation(double latitude,
                                                                   double longitude) const
{
    const std::optional<QString> tool =
        environment_.tools.resolveTool(devicetools::kIdevicesetlocation);
    if (!tool) {
        consoleLine(QStringLiteral("❌ idevicesetlocation not found in bundled tools"));
        return nullptr;
    }
    return launchLongLived(*tool, devicetools::setLocationArguments(latitude, longitude),
                           environment_.timings.setLocationWait,
                           QStringLiteral("❌ Error launching idevicesetlocation: "),
                           QStringLiteral("❌ idevicesetlocation exited early: "));
}

void SetLocationBackend::resetSetLocation() const
{
    const std::optional<QString> tool =
        environment_.tools.resolveTool(devicetools::kIdevicesetlocation);
    if (!tool)
        return;
    const ChildProcess::Launch launched = ChildProcess::launch(
        *tool, devicetools::resetLocationArguments(), ChildProcess::Output::Inherit);
    if (!launched.process)
        return;
    // Bounded like every tool run to completion: a reset that hangs must not keep the unlock
    // (and the buttons) waiting for ever.
    if (!launched.process->waitForExit(environment_.timings.toolDeadline)) {
        launched.process->kill();
        launched.process->waitForExit(milliseconds(-1));
    }
}
