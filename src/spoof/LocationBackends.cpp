#include "spoof/LocationBackends.h"

#include "coordinates/Coordinates.h"
#include "platform/Console.h"
#include "platform/HolderRecords.h"
#include "spoof/TunnelService.h"
#include "tools/DeviceTools.h"
#include "tools/GoIos.h"
#include "tools/IosVersion.h"
#include "tools/ToolRunner.h"

using namespace std::chrono;

namespace {

QString readable(const QByteArray &output, const childprocess::LineText &lineText)
{
    QString text = decodeUtf8Strictly(output).value_or(QString());
    if (lineText && !text.isEmpty()) {
        QStringList lines;
        for (const QByteArray &line : output.trimmed().split('\n'))
            lines.append(lineText(line));
        text = lines.join(QLatin1Char('\n'));
    }
    return text;
}

// A child that goes on holding: its output so far to the console, the rest as it comes.
void keep(const std::shared_ptr<ChildProcess> &process, const AppEnvironment &environment,
          childprocess::LineText lineText, int stopSignal)
{
    holders::note(environment.holderRecordFolder(), process, stopSignal);
    childprocess::watch(process, std::move(lineText));
}

} // namespace

std::shared_ptr<ChildProcess> launchLongLived(const QString &path, const QStringList &arguments,
                                              milliseconds wait, const QString &launchErrorPrefix,
                                              const QString &earlyExitPrefix,
                                              const AppEnvironment &environment,
                                              childprocess::LineText lineText, int stopSignal)
{
    const ChildProcess::Launch launched = ChildProcess::launch(
        path, arguments, ChildProcess::Output::Pipe, environment.childEnvironment());
    if (!launched.process) {
        consoleLine(launchErrorPrefix + launched.error);
        return nullptr;
    }
    launched.process->setStopSignal(stopSignal);
    // The pipe is drained while waiting, and an early end is known at once.
    if (!launched.process->waitForExit(wait)) {
        keep(launched.process, environment, std::move(lineText), stopSignal);
        return launched.process;
    }
    consoleLine(earlyExitPrefix + readable(launched.process->takeOutput(), lineText));
    return nullptr;
}

std::shared_ptr<ChildProcess> launchConfirmed(const QString &path, const QStringList &arguments,
                                              const QByteArray &confirmation, milliseconds window,
                                              const QString &what,
                                              const AppEnvironment &environment, int stopSignal)
{
    const ChildProcess::Launch launched = ChildProcess::launch(
        path, arguments, ChildProcess::Output::Pipe, environment.childEnvironment());
    if (!launched.process) {
        consoleLine(QStringLiteral("❌ Error launching ") + what + QStringLiteral(": ")
                    + launched.error);
        return nullptr;
    }
    const std::shared_ptr<ChildProcess> &process = launched.process;
    process->setStopSignal(stopSignal);
    QByteArray output;
    const auto deadline = steady_clock::now() + window;
    bool ended = false;
    while (!output.contains(confirmation)) {
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
        if (left.count() <= 0)
            break;
        ended = process->waitForExit(std::min(left, milliseconds(50)),
                                     [&output](const QByteArray &chunk) { output += chunk; });
        if (ended)
            break;
    }
    if (!ended && output.contains(confirmation)) {
        for (const QByteArray &line : output.trimmed().split('\n'))
            consoleLine(QString::fromUtf8(line));
        keep(process, environment, {}, stopSignal);
        return process;
    }
    const QString printed = decodeUtf8Strictly(output).value_or(QString()).trimmed();
    if (ended) {
        consoleLine(QStringLiteral("❌ ") + what + QStringLiteral(" exited early: ") + printed);
    } else {
        consoleLine(QStringLiteral("❌ ") + what + QStringLiteral(" did not confirm within ")
                    + QString::number(static_cast<double>(window.count()) / 1000.0)
                    + QStringLiteral(" s: ") + printed);
        childprocess::terminate(process, environment.timings.terminateGrace);
    }
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
        return environment.tools.resolveTool(pymobiledevice3::kTool)
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

pymobiledevice3::Reach SimulateLocationBackend::reachFor(const QString &iosVersion)
{
    return iosversion::pymobiledevice3Tunnel(iosVersion) == iosversion::Tunnel::Userspace
        ? pymobiledevice3::Reach::Userspace
        : pymobiledevice3::Reach::Tunneld;
}

std::optional<QString> SimulateLocationBackend::readyTool(const QString &udid,
                                                          pymobiledevice3::Reach reach) const
{
    if (reach == pymobiledevice3::Reach::Tunneld
        && !TunnelService(environment_).ensureTunnelTo(udid)) {
        consoleLine(QStringLiteral("❌ Could not establish iOS 17+ tunnel (tunneld not reachable)"));
        return std::nullopt;
    }
    const std::optional<QString> tool = environment_.pymobiledevice3();
    if (!tool)
        consoleLine(QStringLiteral("❌ pymobiledevice3 not found in bundled tools"));
    return tool;
}

std::shared_ptr<ChildProcess> SimulateLocationBackend::startSimulation(const QString &udid,
                                                                       const QString &iosVersion,
                                                                       double latitude,
                                                                       double longitude) const
{
    const pymobiledevice3::Reach reach = reachFor(iosVersion);
    const std::optional<QString> tool = readyTool(udid, reach);
    if (!tool)
        return nullptr;
    // It says so once the phone has answered: that, not a process still running, is the sign.
    return launchConfirmed(
        *tool, pymobiledevice3::setArguments(reach, udid, latitude, longitude, environment_.tunnelPort),
        pymobiledevice3::kHoldingLine,
        std::max(environment_.timings.simulateWait, environment_.timings.tunnelWindow),
        QStringLiteral("simulate-location set"), environment_);
}

std::shared_ptr<ChildProcess> SimulateLocationBackend::startReplay(const QString &udid,
                                                                   const QString &iosVersion,
                                                                   const QString &gpxFile) const
{
    const pymobiledevice3::Reach reach = reachFor(iosVersion);
    const std::optional<QString> tool = readyTool(udid, reach);
    if (!tool)
        return nullptr;
    // The first point's "set location to" says the replay has reached the phone.
    return launchConfirmed(
        *tool, pymobiledevice3::playArguments(reach, udid, gpxFile, environment_.tunnelPort), pymobiledevice3::kPointSetLine,
        std::max(environment_.timings.simulateWait, environment_.timings.tunnelWindow),
        QStringLiteral("simulate-location play"), environment_);
}

bool SimulateLocationBackend::clearSimulation(const QString &udid, const QString &iosVersion) const
{
    const pymobiledevice3::Reach reach = reachFor(iosVersion);
    const std::optional<QString> tool = readyTool(udid, reach);
    if (!tool)
        return false;
    const ToolRunResult result = environment_.toolRunner().runExecutable(
        *tool, pymobiledevice3::clearArguments(reach, udid, environment_.tunnelPort));
    const QByteArray output = result.output.value_or(QString()).toUtf8();
    for (const QByteArray &line : output.trimmed().split('\n')) {
        if (!line.trimmed().isEmpty())
            consoleLine(QString::fromUtf8(line));
    }
    const std::optional<QString> error = pymobiledevice3::firstError(output);
    if (result.exitStatus == 0 && result.output && !error)
        return true;
    consoleLine(QStringLiteral("❌ simulate-location clear failed (exit ")
                + QString::number(result.exitStatus) + QLatin1Char(')')
                + (error ? QStringLiteral(": ") + *error : QString()));
    return false;
}

std::optional<QString> SimulateLocationBackend::tunnelLost(const QString &udid,
                                                           const QString &iosVersion) const
{
    if (reachFor(iosVersion) == pymobiledevice3::Reach::Userspace)
        return std::nullopt;
    const std::optional<tunnel::HttpAnswer> answer =
        tunnel::httpGet(environment_.tunnelHost, environment_.tunnelPort, QStringLiteral("/"),
                        environment_.timings);
    if (!answer)
        return QStringLiteral("⚠️ tunneld no longer answers on ") + environment_.tunnelHost
            + QLatin1Char(':') + QString::number(environment_.tunnelPort);
    if (!tunnel::tunneldLists(answer->body, udid))
        return QStringLiteral("⚠️ tunneld no longer has a tunnel to ") + udid;
    return std::nullopt;
}

SetLocationBackend::SetLocationBackend(AppEnvironment environment, QString udid)
    : environment_(std::move(environment))
    , udid_(std::move(udid))
{
}

void SetLocationBackend::explainFailure(const QByteArray &output) const
{
    if (!output.contains("Make sure a developer disk image is mounted"))
        return;
    const ToolRunResult info = environment_.toolRunner().runTool(
        devicetools::kIdeviceinfo,
        devicetools::deviceValueArguments(QStringLiteral("ProductVersion"), udid_));
    const QString said = info.output.value_or(QString()).trimmed();
    if (said.contains(QStringLiteral("Could not connect to lockdownd")))
        consoleLine(QStringLiteral("❌ ideviceinfo: ") + said);
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
    const ChildProcess::Launch launched =
        ChildProcess::launch(*tool, devicetools::setLocationArguments(latitude, longitude, udid_),
                             ChildProcess::Output::Pipe, environment_.childEnvironment());
    if (!launched.process) {
        consoleLine(QStringLiteral("❌ Error launching idevicesetlocation: ") + launched.error);
        return nullptr;
    }
    if (!launched.process->waitForExit(environment_.timings.setLocationWait)) {
        keep(launched.process, environment_, {}, SIGTERM);
        return launched.process;
    }
    const QByteArray output = launched.process->takeOutput();
    explainFailure(output);
    consoleLine(QStringLiteral("❌ idevicesetlocation exited early: ") + readable(output, {}));
    return nullptr;
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
        ChildProcess::launch(*tool, devicetools::setLocationArguments(latitude, longitude, udid_),
                             ChildProcess::Output::Pipe, environment_.childEnvironment());
    if (!launched.process) {
        consoleLine(QStringLiteral("❌ Error launching idevicesetlocation: ") + launched.error);
        return {};
    }
    const std::shared_ptr<ChildProcess> &process = launched.process;
    if (!process->waitForExit(settle)) {
        keep(process, environment_, {}, SIGTERM);
        return {true, process};
    }
    if (process->exitStatus() == 0)
        return {true, nullptr};
    const QByteArray output = process->takeOutput();
    explainFailure(output);
    consoleLine(QStringLiteral("❌ idevicesetlocation failed: ")
                + QString::fromUtf8(output).trimmed());
    return {};
}

bool SetLocationBackend::resetSetLocation() const
{
    if (!environment_.tools.resolveTool(devicetools::kIdevicesetlocation)) {
        consoleLine(QStringLiteral("❌ idevicesetlocation not found in bundled tools"));
        return false;
    }
    // Bounded like every tool run to completion: a reset that hangs must not keep the unlock
    // (and the buttons) waiting for ever.
    const ToolRunResult result = environment_.toolRunner().runTool(
        devicetools::kIdevicesetlocation, devicetools::resetLocationArguments(udid_));
    if (result.exitStatus == 0)
        return true;
    const QByteArray output = result.output.value_or(QString()).toUtf8();
    explainFailure(output);
    consoleLine(QStringLiteral("❌ idevicesetlocation reset failed (exit ")
                + QString::number(result.exitStatus) + QStringLiteral("): ")
                + QString::fromUtf8(output).trimmed());
    return false;
}
