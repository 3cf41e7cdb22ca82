#include "spoof/LocationBackends.h"

#include "coordinates/Coordinates.h"
#include "platform/Console.h"
#include "spoof/TunnelService.h"
#include "tools/DeviceTools.h"
#include "tools/ToolRunner.h"

using namespace std::chrono;

std::shared_ptr<ChildProcess> launchLongLived(const QString &path, const QStringList &arguments,
                                              milliseconds wait, const QString &launchErrorPrefix,
                                              const QString &earlyExitPrefix,
                                              childprocess::LineText lineText, int stopSignal)
{
    const ChildProcess::Launch launched = ChildProcess::launch(path, arguments);
    if (!launched.process) {
        consoleLine(launchErrorPrefix + launched.error);
        return nullptr;
    }
    launched.process->setStopSignal(stopSignal);
    // The pipe is drained while waiting, and an early end is known at once.
    if (!launched.process->waitForExit(wait)) {
        childprocess::watch(launched.process, std::move(lineText));
        return launched.process;
    }
    const QByteArray output = launched.process->takeOutput();
    QString text = decodeUtf8Strictly(output).value_or(QString());
    if (lineText && !text.isEmpty()) {
        QStringList lines;
        for (const QByteArray &line : output.trimmed().split('\n'))
            lines.append(lineText(line));
        text = lines.join(QLatin1Char('\n'));
    }
    consoleLine(earlyExitPrefix + text);
    return nullptr;
}

IosChain chooseIosChain(const AppEnvironment &environment)
{
    if (environment.pymobiledevice3())
        return IosChain::PyMobileDevice3;
    if (environment.tools.resolveTool(goios::kTool))
        return IosChain::GoIos;
    return IosChain::None;
}

QString chainAnnouncement(IosChain chain, const AppEnvironment &environment)
{
    switch (chain) {
    case IosChain::PyMobileDevice3:
        return environment.tools.resolveTool(QStringLiteral("pymobiledevice3"))
            ? QStringLiteral("iOS 17+ chain: pymobiledevice3 (found in the tool folder)")
            : QStringLiteral("iOS 17+ chain: pymobiledevice3 (found on the PATH)");
    case IosChain::GoIos:
        return QStringLiteral("iOS 17+ chain: go-ios (pymobiledevice3 not found; go-ios is in "
                              "the tool folder)");
    case IosChain::None:
        break;
    }
    return kNoIosChainLine;
}

SimulateLocationBackend::SimulateLocationBackend(AppEnvironment environment)
    : environment_(std::move(environment))
{
}

std::optional<QString> SimulateLocationBackend::readyTool() const
{
    if (!TunnelService(environment_).ensureTunnel()) {
        consoleLine(QStringLiteral("❌ Could not establish iOS 17+ tunnel (tunneld not reachable)"));
        return std::nullopt;
    }
    const std::optional<QString> tool = environment_.pymobiledevice3();
    if (!tool)
        consoleLine(QStringLiteral("❌ pymobiledevice3 not found in bundled tools"));
    return tool;
}

std::shared_ptr<ChildProcess> SimulateLocationBackend::startSimulation(const QString &udid,
                                                                       double latitude,
                                                                       double longitude) const
{
    const std::optional<QString> tool = readyTool();
    if (!tool)
        return nullptr;
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

std::shared_ptr<ChildProcess> SimulateLocationBackend::startReplay(const QString &udid,
                                                                   const QString &gpxFile) const
{
    const std::optional<QString> tool = readyTool();
    if (!tool)
        return nullptr;
    const QStringList arguments {QStringLiteral("developer"),
                                 QStringLiteral("dvt"),
                                 QStringLiteral("simulate-location"),
                                 QStringLiteral("play"),
                                 QStringLiteral("--tunnel"),
                                 udid,
                                 QStringLiteral("--"),
                                 gpxFile};
    return launchLongLived(*tool, arguments, environment_.timings.stepSettle,
                           QStringLiteral("❌ Error launching simulate-location play: "),
                           QStringLiteral("❌ simulate-location play exited early: "));
}

bool SimulateLocationBackend::clearSimulation(const QString &udid) const
{
    if (!TunnelService(environment_).ensureTunnel()) {
        consoleLine(QStringLiteral("❌ Could not establish iOS 17+ tunnel (tunneld not reachable)"));
        return false;
    }
    const QString name = QStringLiteral("pymobiledevice3");
    const QStringList arguments {QStringLiteral("developer"),         QStringLiteral("dvt"),
                                 QStringLiteral("simulate-location"), QStringLiteral("clear"),
                                 QStringLiteral("--tunnel"),          udid};
    const ToolRunner runner = environment_.toolRunner();
    const std::optional<QString> fromPath =
        environment_.tools.resolveTool(name) ? std::nullopt : environment_.pymobiledevice3();
    const ToolRunResult result =
        fromPath ? runner.runExecutable(*fromPath, arguments) : runner.runTool(name, arguments);
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

SetLocationBackend::Step SetLocationBackend::setOnce(double latitude, double longitude,
                                                     milliseconds settle) const
{
    const std::optional<QString> tool =
        environment_.tools.resolveTool(devicetools::kIdevicesetlocation);
    if (!tool) {
        consoleLine(QStringLiteral("❌ idevicesetlocation not found in bundled tools"));
        return {};
    }
    const ChildProcess::Launch launched =
        ChildProcess::launch(*tool, devicetools::setLocationArguments(latitude, longitude));
    if (!launched.process) {
        consoleLine(QStringLiteral("❌ Error launching idevicesetlocation: ") + launched.error);
        return {};
    }
    const std::shared_ptr<ChildProcess> &process = launched.process;
    if (!process->waitForExit(settle)) {
        childprocess::watch(process);
        return {true, process};
    }
    if (process->exitStatus() == 0)
        return {true, nullptr};
    consoleLine(QStringLiteral("❌ idevicesetlocation failed: ")
                + QString::fromUtf8(process->takeOutput()).trimmed());
    return {};
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
