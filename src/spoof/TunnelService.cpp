#include "spoof/TunnelService.h"

#include "platform/ChildProcess.h"
#include "platform/Console.h"
#include "platform/Files.h"
#include "tools/ToolRunner.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QHostAddress>
#include <QTcpSocket>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono;

namespace tunnel {

QString shellQuoted(const QString &text)
{
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QByteArray helperScript(const QString &interpreter, const QString &toolPath, const QString &logPath)
{
    const QString text = QStringLiteral("#!") + interpreter + QLatin1Char('\n')
        + shellQuoted(toolPath) + QStringLiteral(" remote tunneld -d > ") + shellQuoted(logPath)
        + QStringLiteral(" 2>&1");
    return text.toUtf8();
}

QStringList appleScriptArguments(const QString &scriptPath)
{
    QString command = shellQuoted(scriptPath);
    command.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    command.replace(QLatin1Char('"'), QStringLiteral("\\\""));
    return {QStringLiteral("-e"),
            QStringLiteral("do shell script \"") + command
                + QStringLiteral("\" with administrator privileges")};
}

Invocation adminInvocation(const AppEnvironment &environment, const QString &scriptPath)
{
    if (!environment.adminPromptCommand.isEmpty()) {
        return {environment.adminPromptCommand.first(),
                environment.adminPromptCommand.mid(1) + QStringList {scriptPath}};
    }
    if (geteuid() == 0)
        return {environment.shellPath(), {scriptPath}};
#ifdef Q_OS_MACOS
    return {QStringLiteral("/usr/bin/osascript"), appleScriptArguments(scriptPath)};
#else
    return {QStringLiteral("/usr/bin/pkexec"), {environment.shellPath(), scriptPath}};
#endif
}

std::optional<QString> writeExecutableAtomically(const QString &path, const QByteArray &content,
                                                 SetMode setMode)
{
    return platform::writeFileAtomically(path, content, [setMode](QFileDevice &file) {
        return setMode(file.handle(), 0755) == 0
            ? std::nullopt
            : std::optional<QString>(QString::fromLocal8Bit(std::strerror(errno)));
    });
}

std::optional<int> httpStatus(const QString &host, quint16 port, const QString &path,
                              const Timings &t)
{
    // Runs on pool threads without an event loop, hence the blocking socket calls. As with the
    // platform HTTP clients, the request time-out is the longest silence of one step (connect,
    // send, each read); the longest wait bounds the whole probe.
    const QDeadlineTimer deadline(t.probeWait);
    const auto left = [&deadline, idle = static_cast<qint64>(t.probeRequestTimeout.count())] {
        return static_cast<int>(std::min(idle, deadline.remainingTime()));
    };

    QTcpSocket socket;
    socket.connectToHost(host, port);
    if (!socket.waitForConnected(left()))
        return std::nullopt;
    const QString authority = host + QLatin1Char(':') + QString::number(port);
    socket.write(QByteArrayLiteral("GET ") + path.toUtf8()
                 + QByteArrayLiteral(" HTTP/1.1\r\nHost: ") + authority.toLatin1()
                 + QByteArrayLiteral("\r\nAccept: */*\r\nConnection: close\r\n\r\n"));
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(left()))
            return std::nullopt;
    }
    // "HTTP/1.1 200": the status code follows the first blank.
    QByteArray answer;
    while (!answer.contains('\n') && answer.size() < 64 && !deadline.hasExpired()) {
        const bool more = socket.waitForReadyRead(left());
        answer += socket.readAll();
        if (!more)
            break;
    }
    if (!answer.startsWith("HTTP/"))
        return std::nullopt;
    const qsizetype blank = answer.indexOf(' ');
    bool ok = false;
    const int status = blank < 0 ? 0 : answer.mid(blank + 1, 3).toInt(&ok);
    return ok ? status : 0;
}

} // namespace tunnel

namespace {

// One bring-up at a time for the whole program: overlapping spoofs would otherwise show the
// password prompt twice and start two daemons. The count tells a waiting caller that a bring-up
// finished while it waited.
std::mutex g_bringUpMutex;
std::atomic<quint64> g_bringUpsFinished {0};

} // namespace

TunnelService::TunnelService(AppEnvironment environment)
    : environment_(std::move(environment))
{
}

QString TunnelService::scriptPath() const
{
    return environment_.temporaryFolderPath() + tunnel::kScriptName;
}

QString TunnelService::logPath() const
{
    return environment_.temporaryFolderPath() + tunnel::kLogName;
}

bool TunnelService::isTunnelReachable() const
{
    return tunnel::httpStatus(environment_.tunnelHost, environment_.tunnelPort, QStringLiteral("/"),
                              environment_.timings)
        .has_value();
}

bool TunnelService::ensureTunnel() const
{
    const quint64 seen = g_bringUpsFinished.load();
    if (isTunnelReachable())
        return true;
    std::lock_guard lock(g_bringUpMutex);
    if (g_bringUpsFinished.load() != seen) // someone brought it up (or tried) while we waited
        return isTunnelReachable();
    const bool reachable = bringUp();
    ++g_bringUpsFinished;
    return reachable;
}

bool TunnelService::bringUp() const
{
    const std::optional<QString> tool = environment_.pymobiledevice3();
    if (!tool) {
        consoleLine(QStringLiteral("❌ pymobiledevice3 not found in bundled tools"));
        return false;
    }
    const QString script = scriptPath();
    const QString log = logPath();
    if (const auto failure = tunnel::writeExecutableAtomically(
            script, tunnel::helperScript(environment_.shellPath(), *tool, log))) {
        consoleLine(QStringLiteral("❌ Could not write tunneld helper script: ") + *failure);
        return false;
    }

    const tunnel::Invocation prompt = tunnel::adminInvocation(environment_, script);
    const ChildProcess::Launch launched = ChildProcess::launch(prompt.program, prompt.arguments);
    if (!launched.process) {
        consoleLine(QStringLiteral("❌ Error requesting admin privileges for tunneld: ")
                    + launched.error);
        return false;
    }
    // As long as the password prompt stays open.
    launched.process->waitForExit(milliseconds(-1));
    if (launched.process->exitStatus().value_or(-1) != 0) {
        const QString output =
            decodeUtf8Strictly(launched.process->takeOutput()).value_or(QString());
        consoleLine(
            QStringLiteral("❌ Failed to start tunneld (password prompt may have been cancelled): ")
            + output);
        return false;
    }

    const auto deadline = steady_clock::now() + environment_.timings.tunnelWindow;
    while (steady_clock::now() < deadline) {
        if (isTunnelReachable())
            return true;
        std::this_thread::sleep_for(environment_.timings.tunnelProbePause);
    }
    consoleLine(QStringLiteral("❌ tunneld did not become reachable in time — check ") + log);
    return false;
}
