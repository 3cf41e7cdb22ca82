#include "spoof/GoIosBackend.h"

#include "platform/Console.h"
#include "spoof/LocationBackends.h"
#include "spoof/TunnelService.h"
#include "tools/GoIos.h"
#include "tools/ToolRunner.h"

#include <csignal>
#include <thread>

using namespace std::chrono;

namespace {

QString agentAddress(const AppEnvironment &environment)
{
    return environment.goIosAgentHost + QLatin1Char(':')
        + QString::number(environment.goIosAgentPort);
}

bool answers(const AppEnvironment &environment, const QString &path)
{
    return tunnel::httpStatus(environment.goIosAgentHost, environment.goIosAgentPort, path,
                              environment.timings)
        == 200;
}

// Waits for a child that was asked to end; kills it when it outstays the grace.
void awaitEnd(const std::shared_ptr<ChildProcess> &process, milliseconds grace)
{
    const auto deadline = steady_clock::now() + grace;
    while (process->isRunning() && steady_clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(10));
    if (process->isRunning()) {
        process->kill();
        while (process->isRunning())
            std::this_thread::sleep_for(milliseconds(5));
    }
}

} // namespace

GoIosAgent::~GoIosAgent()
{
    end(seconds(3));
}

void GoIosAgent::end(milliseconds grace)
{
    std::shared_ptr<ChildProcess> process;
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
        process = std::exchange(process_, nullptr);
    }
    childprocess::terminate(process, grace);
}

std::shared_ptr<ChildProcess> GoIosAgent::ownAgent()
{
    std::lock_guard lock(mutex_);
    return process_ && process_->isRunning() ? process_ : nullptr;
}

std::shared_ptr<ChildProcess> GoIosAgent::start(const AppEnvironment &environment,
                                                const QString &udid)
{
    const std::optional<QString> tool = environment.tools.resolveTool(goios::kTool);
    if (!tool)
        return nullptr;
    const QStringList arguments = goios::tunnelStartArguments(
        udid, environment.dataSubfolder(QStringLiteral("go-ios")), environment.goIosAgent());
    consoleLine(QStringLiteral("Starting the go-ios tunnel agent: ios ") + arguments.join(u' '));
    const ChildProcess::Launch launched = ChildProcess::launch(*tool, arguments);
    if (!launched.process) {
        consoleLine(QStringLiteral("❌ Error launching the go-ios tunnel agent: ") + launched.error);
        return nullptr;
    }
    childprocess::watch(launched.process, goios::consoleText);
    std::lock_guard lock(mutex_);
    if (ended_) { // the window closed meanwhile
        childprocess::terminate(launched.process, environment.timings.terminateGrace);
        return nullptr;
    }
    process_ = launched.process;
    udid_ = udid;
    return launched.process;
}

bool GoIosAgent::ensure(const AppEnvironment &environment, const QString &udid)
{
    std::lock_guard bringUp(bringUp_);
    const QString tunnelPath = QStringLiteral("/tunnel/") + udid;
    std::shared_ptr<ChildProcess> ours;
    std::shared_ptr<ChildProcess> stale;
    {
        std::lock_guard lock(mutex_);
        if (ended_)
            return false;
        if (process_ && !process_->isRunning())
            process_.reset();
        // Our agent serves one device only: another device needs another agent.
        if (process_ && udid_ != udid)
            stale = std::exchange(process_, nullptr);
        ours = process_;
    }
    if (stale) {
        stale->terminate();
        awaitEnd(stale, environment.timings.terminateGrace);
    }
    if (answers(environment, QStringLiteral("/health"))) {
        if (answers(environment, tunnelPath))
            return true;
    } else if (!ours) {
        ours = start(environment, udid);
        if (!ours)
            return false;
    }

    // Ours, just started, or one that answers but has no tunnel to this device yet.
    const auto deadline = steady_clock::now() + environment.timings.tunnelWindow;
    while (steady_clock::now() < deadline) {
        if (answers(environment, tunnelPath))
            return true;
        if (ours && !ours->isRunning()) {
            consoleLine(QStringLiteral("❌ go-ios tunnel agent did not answer: it ended (exit ")
                        + QString::number(ours->exitStatus().value_or(-1)) + QLatin1Char(')'));
            return false;
        }
        std::this_thread::sleep_for(environment.timings.tunnelProbePause);
    }
    consoleLine(QStringLiteral("❌ go-ios tunnel agent did not answer on ")
                + agentAddress(environment) + QStringLiteral(" with a tunnel to ") + udid
                + QStringLiteral(" in time"));
    return false;
}

GoIosBackend::GoIosBackend(AppEnvironment environment, std::shared_ptr<GoIosAgent> agent)
    : environment_(std::move(environment))
    , agent_(std::move(agent))
{
}

std::shared_ptr<ChildProcess> GoIosBackend::startSimulation(const QString &udid, double latitude,
                                                            double longitude) const
{
    const std::optional<QString> tool = environment_.tools.resolveTool(goios::kTool);
    if (!tool) {
        consoleLine(QStringLiteral("❌ ios (go-ios) not found in bundled tools"));
        return nullptr;
    }
    if (!agent_->ensure(environment_, udid)) {
        consoleLine(QStringLiteral("❌ Could not establish iOS 17+ tunnel (go-ios agent not "
                                   "reachable)"));
        return nullptr;
    }
    return launchLongLived(
        *tool, goios::setLocationArguments(udid, latitude, longitude, environment_.goIosAgent()),
        environment_.timings.simulateWait, QStringLiteral("❌ Error launching ios setlocation: "),
        QStringLiteral("❌ ios setlocation exited early: "), goios::consoleText, SIGINT);
}

bool GoIosBackend::clearSimulation(const QString &udid,
                                   const std::shared_ptr<ChildProcess> &held) const
{
    if (held && held->isRunning()) {
        // Interrupted, setlocation stops the simulation before it exits.
        held->terminate();
        awaitEnd(held, environment_.timings.terminateGrace);
        if (held->exitStatus() == 0)
            return true;
        consoleLine(QStringLiteral("❌ ios setlocation did not stop cleanly (exit ")
                    + QString::number(held->exitStatus().value_or(-1)) + QLatin1Char(')'));
        return false;
    }
    const ToolRunResult result = environment_.toolRunner().runTool(
        goios::kTool, goios::resetLocationArguments(udid, environment_.goIosAgent()));
    const QByteArray output = result.output.value_or(QString()).toUtf8();
    for (const QByteArray &line : output.split('\n')) {
        if (!line.trimmed().isEmpty())
            consoleLine(goios::consoleText(line));
    }
    if (result.exitStatus == 0 && !goios::lastError(output))
        return true;
    consoleLine(QStringLiteral("❌ ios resetlocation failed (exit ")
                + QString::number(result.exitStatus) + QLatin1Char(')'));
    return false;
}
