#include "spoof/GoIosBackend.h"

#include "platform/Console.h"
#include "platform/Dispatch.h"
#include "platform/HolderRecords.h"
#include "spoof/LocationBackends.h"
#include "spoof/TunnelService.h"
#include "tools/GoIos.h"
#include "tools/IosVersion.h"

#include <QFile>
#include <QHash>
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

// The agent's words for a failed tunnel: "failed to start tunnel", with the phone's UDID.
std::optional<std::pair<QString, QString>> tunnelFailure(const QByteArray &line)
{
    const std::optional<goios::LogLine> log = goios::readLogLine(line);
    if (!log || log->udid.isEmpty()
        || !log->message.startsWith(QStringLiteral("failed to start tunnel")))
        return std::nullopt;
    return std::make_pair(log->udid, log->message);
}

} // namespace

// The last tunnel failure our agent reported for each phone; written by its output watcher.
struct GoIosAgent::Failures
{
    std::mutex mutex;
    QHash<QString, QString> byUdid;
};

GoIosAgent::GoIosAgent()
    : failures_(std::make_shared<Failures>())
{
}

GoIosAgent::~GoIosAgent()
{
    end(seconds(3));
}

QString GoIosAgent::kernelScriptPath(const AppEnvironment &environment)
{
    return environment.temporaryFolderPath() + QStringLiteral("pindrift_start_goios_agent.sh");
}

QString GoIosAgent::kernelLogPath(const AppEnvironment &environment)
{
    return environment.temporaryFolderPath() + QStringLiteral("pindrift_goios_agent.log");
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

QString GoIosAgent::lastFailure(const AppEnvironment &environment, const QString &udid) const
{
    {
        std::lock_guard lock(failures_->mutex);
        const QString words = failures_->byUdid.value(udid);
        if (!words.isEmpty())
            return words;
    }
    // The kernel agent writes to its log; its last lines are enough.
    QFile log(kernelLogPath(environment));
    if (!log.open(QIODevice::ReadOnly))
        return {};
    constexpr qint64 kTail = 64 * 1024;
    log.seek(std::max<qint64>(0, log.size() - kTail));
    QString words;
    for (const QByteArray &line : log.readAll().split('\n')) {
        if (const auto failure = tunnelFailure(line); failure && failure->first == udid)
            words = failure->second;
    }
    return words;
}

void GoIosAgent::stopOwn(milliseconds grace)
{
    std::shared_ptr<ChildProcess> process;
    {
        std::lock_guard lock(mutex_);
        process = std::exchange(process_, nullptr);
    }
    if (!process)
        return;
    process->terminate();
    awaitEnd(process, grace);
}

std::shared_ptr<ChildProcess> GoIosAgent::startUserspace(const AppEnvironment &environment)
{
    const std::optional<QString> tool = environment.tools.resolveTool(goios::kTool);
    if (!tool)
        return nullptr;
    const QStringList arguments = goios::tunnelStartArguments(
        environment.dataSubfolder(QStringLiteral("go-ios")), environment.goIosAgent());
    consoleLine(QStringLiteral("Starting the go-ios tunnel agent: ios ") + arguments.join(u' '));
    const ChildProcess::Launch launched = ChildProcess::launch(
        *tool, arguments, ChildProcess::Output::Pipe, environment.childEnvironment());
    if (!launched.process) {
        consoleLine(QStringLiteral("❌ Error launching the go-ios tunnel agent: ") + launched.error);
        return nullptr;
    }
    holders::note(environment.holderRecordFolder(), launched.process, SIGTERM);
    {
        std::lock_guard lock(failures_->mutex);
        failures_->byUdid.clear(); // a new agent tries every phone afresh
    }
    childprocess::watch(launched.process, [failures = failures_](const QByteArray &line) {
        if (const auto failure = tunnelFailure(line)) {
            std::lock_guard lock(failures->mutex);
            failures->byUdid.insert(failure->first, failure->second);
        }
        return goios::consoleText(line);
    });
    std::lock_guard lock(mutex_);
    if (ended_) { // the window closed meanwhile
        childprocess::terminate(launched.process, environment.timings.terminateGrace);
        return nullptr;
    }
    process_ = launched.process;
    return launched.process;
}

bool GoIosAgent::startKernel(const AppEnvironment &environment)
{
    const std::optional<QString> tool = environment.tools.resolveTool(goios::kTool);
    if (!tool)
        return false;
    const QStringList arguments = goios::kernelTunnelStartArguments(
        environment.dataSubfolder(QStringLiteral("go-ios")), environment.goIosAgent());
    // The agent stays in the foreground: the script starts it in the background, away from the
    // prompt's session, with the port variables our other go-ios commands get too.
    QString unset, command;
    for (const QString &variable : environment.childEnvironment()) {
        if (!variable.contains(QLatin1Char('='))) { // a name taken away
            unset += QStringLiteral("unset ") + variable + QStringLiteral("; ");
            continue;
        }
        command += variable.section(QLatin1Char('='), 0, 0) + QLatin1Char('=')
            + tunnel::shellQuoted(variable.section(QLatin1Char('='), 1)) + QLatin1Char(' ');
    }
    command.prepend(unset);
    command += QStringLiteral("nohup ") + tunnel::shellQuoted(*tool);
    for (const QString &argument : arguments)
        command += QLatin1Char(' ') + tunnel::shellQuoted(argument);
    command += QStringLiteral(" > ") + tunnel::shellQuoted(kernelLogPath(environment))
        + QStringLiteral(" 2>&1 < /dev/null &");
    const QByteArray script =
        (QStringLiteral("#!") + environment.shellPath() + QLatin1Char('\n') + command).toUtf8();
    consoleLine(QStringLiteral("Starting go-ios's kernel tunnel agent (iOS 17.0 to 17.4.0 need it; "
                               "it needs administrator rights): ios ")
                + arguments.join(u' '));
    if (!tunnel::runScriptAsAdmin(environment, kernelScriptPath(environment), script,
                                  QStringLiteral("go-ios's tunnel agent")))
        return false;
    {
        std::lock_guard lock(mutex_);
        kernelStartedHere_ = true;
    }
    const auto deadline = steady_clock::now() + environment.timings.tunnelWindow;
    while (steady_clock::now() < deadline) {
        if (answers(environment, QStringLiteral("/health")))
            return true;
        if (!dispatch::sleepUnlessQuitting(environment.timings.tunnelProbePause))
            return false;
    }
    consoleLine(QStringLiteral("❌ go-ios's kernel tunnel agent did not answer in time — check ")
                + kernelLogPath(environment));
    return false;
}

bool GoIosAgent::ensure(const AppEnvironment &environment, const QString &udid,
                        const QString &iosVersion)
{
    std::lock_guard bringUp(bringUp_);
    const QString tunnelPath = QStringLiteral("/tunnel/") + udid;
    const bool kernel = iosversion::goIosTunnel(iosVersion) == iosversion::Tunnel::Kernel;
    std::shared_ptr<ChildProcess> ours;
    bool kernelHere = false;
    {
        std::lock_guard lock(mutex_);
        if (ended_)
            return false;
        if (process_ && !process_->isRunning()) {
            consoleLine(
                QStringLiteral("⚠️ go-ios's tunnel agent ended by itself (")
                + (process_->endedBySignal() ? QStringLiteral("signal ") : QStringLiteral("exit "))
                + QString::number(process_->exitStatus().value_or(-1))
                + QStringLiteral("): starting it again"));
            process_.reset();
        }
        ours = process_;
        kernelHere = kernelStartedHere_;
    }
    if (answers(environment, tunnelPath))
        return true;

    bool running = answers(environment, QStringLiteral("/health"));
    if (running && ours) {
        // Our userspace agent has no tunnel to this phone: it cannot have one below 17.4.1, and
        // otherwise it is waiting out go-ios's back-off after a failed try.
        consoleLine(kernel ? QStringLiteral("go-ios's userspace agent cannot reach iOS ")
                            + iosVersion + QStringLiteral(": the kernel agent takes over")
                           : QStringLiteral("go-ios's agent has no tunnel to ") + udid
                            + QStringLiteral(" yet: restarting it, so that it tries now"));
        stopOwn(environment.timings.terminateGrace);
        ours.reset();
        running = false;
    } else if (running && kernelHere && !lastFailure(environment, udid).isEmpty()) {
        // The kernel agent we started is waiting out its back-off for this phone: only a new
        // one tries at once (it asks for the password again).
        consoleLine(QStringLiteral("go-ios's kernel agent gave up on ") + udid
                    + QStringLiteral(" for now: starting it again, so that it tries now"));
        tunnel::httpStatus(environment.goIosAgentHost, environment.goIosAgentPort,
                           QStringLiteral("/shutdown"), environment.timings);
        QFile::remove(kernelLogPath(environment));
        const auto gone = steady_clock::now() + environment.timings.tunnelWindow;
        while (answers(environment, QStringLiteral("/health")) && steady_clock::now() < gone)
            if (!dispatch::sleepUnlessQuitting(environment.timings.tunnelProbePause))
                return false;
        running = false;
    }
    if (!running) {
        if (kernel) {
            if (!startKernel(environment))
                return false;
        } else {
            ours = startUserspace(environment);
            if (!ours)
                return false;
        }
    }

    const auto deadline = steady_clock::now() + environment.timings.tunnelWindow;
    while (steady_clock::now() < deadline) {
        if (answers(environment, tunnelPath))
            return true;
        if (ours && !ours->isRunning()) {
            consoleLine(QStringLiteral("❌ go-ios tunnel agent did not answer: it ended (exit ")
                        + QString::number(ours->exitStatus().value_or(-1)) + QLatin1Char(')'));
            return false;
        }
        if (!dispatch::sleepUnlessQuitting(environment.timings.tunnelProbePause))
            return false;
    }
    const QString words = lastFailure(environment, udid);
    consoleLine(QStringLiteral("❌ go-ios tunnel agent did not answer on ")
                + agentAddress(environment) + QStringLiteral(" with a tunnel to ") + udid
                + QStringLiteral(" in time")
                + (words.isEmpty() ? QString() : QStringLiteral(" — go-ios: ") + words));
    if (!ours && !kernelHere)
        consoleLine(
            QStringLiteral("⚠️ That agent is not PinDrift's: go-ios tries a phone again only "
                           "after 30 s to 5 min; unplug the iPhone and plug it in again to "
                           "make it try at once"));
    return false;
}

GoIosBackend::GoIosBackend(AppEnvironment environment, std::shared_ptr<GoIosAgent> agent)
    : environment_(std::move(environment))
    , agent_(std::move(agent))
{
}

std::shared_ptr<ChildProcess> GoIosBackend::startSimulation(const QString &udid,
                                                            const QString &iosVersion,
                                                            double latitude, double longitude) const
{
    const std::optional<QString> tool = environment_.tools.resolveTool(goios::kTool);
    if (!tool) {
        consoleLine(QStringLiteral("❌ ios (go-ios) not found in bundled tools"));
        return nullptr;
    }
    if (!agent_->ensure(environment_, udid, iosVersion)) {
        consoleLine(QStringLiteral("❌ Could not establish iOS 17+ tunnel (go-ios agent not "
                                   "reachable)"));
        return nullptr;
    }
    // go-ios prints nothing once the location is set: a process still running after the wait,
    // with no error, holds it.
    return launchLongLived(
        *tool, goios::setLocationArguments(udid, latitude, longitude, environment_.goIosAgent()),
        environment_.timings.simulateWait, QStringLiteral("❌ Error launching ios setlocation: "),
        QStringLiteral("❌ ios setlocation exited early: "), environment_, goios::consoleText,
        SIGINT);
}

bool GoIosBackend::clearSimulation(const std::shared_ptr<ChildProcess> &held) const
{
    if (!held || !held->isRunning()) {
        consoleLine(QStringLiteral("No go-ios location process runs: iOS 17 and later drop a "
                                   "simulated location when the process holding it ends"));
        return true;
    }
    // Interrupted, setlocation stops the simulation, waits for the phone to confirm, and exits 0.
    held->terminate();
    awaitEnd(held, environment_.timings.terminateGrace);
    if (held->exitStatus() == 0 && !held->endedBySignal())
        return true;
    consoleLine(
        QStringLiteral("❌ ios setlocation did not confirm that the simulation stopped (")
        + (held->endedBySignal() ? QStringLiteral("killed") : QStringLiteral("exit "))
        + (held->endedBySignal() ? QString() : QString::number(held->exitStatus().value_or(-1)))
        + QLatin1Char(')'));
    return false;
}

std::optional<QString> GoIosBackend::tunnelLost(const QString &udid) const
{
    const std::optional<int> status =
        tunnel::httpStatus(environment_.goIosAgentHost, environment_.goIosAgentPort,
                           QStringLiteral("/tunnel/") + udid, environment_.timings);
    if (!status)
        return QStringLiteral("⚠️ go-ios's tunnel agent no longer answers on ")
            + agentAddress(environment_);
    if (*status != 200)
        return QStringLiteral("⚠️ go-ios's tunnel agent no longer has a tunnel to ") + udid;
    return std::nullopt;
}
