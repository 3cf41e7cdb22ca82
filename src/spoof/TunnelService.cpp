#include "spoof/TunnelService.h"

#include "platform/ChildProcess.h"
#include "platform/Console.h"
#include "platform/Dispatch.h"
#include "platform/Files.h"
#include "tools/ToolRunner.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
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

bool runScriptAsAdmin(const AppEnvironment &environment, const QString &scriptPath,
                      const QByteArray &script, const QString &what)
{
    if (const auto failure = writeExecutableAtomically(scriptPath, script)) {
        consoleLine(QStringLiteral("❌ Could not write ") + what + QStringLiteral(" helper script: ")
                    + *failure);
        return false;
    }
    const Invocation prompt = adminInvocation(environment, scriptPath);
    const ChildProcess::Launch launched = ChildProcess::launch(prompt.program, prompt.arguments);
    if (!launched.process) {
        consoleLine(QStringLiteral("❌ Error requesting admin privileges for ") + what
                    + QStringLiteral(": ") + launched.error);
        return false;
    }
    // As long as the password prompt stays open.
    launched.process->waitForExit(milliseconds(-1));
    if (launched.process->exitStatus().value_or(-1) != 0) {
        const QString output =
            decodeUtf8Strictly(launched.process->takeOutput()).value_or(QString());
        consoleLine(QStringLiteral("❌ Failed to start ") + what
                    + QStringLiteral(" (password prompt may have been cancelled): ") + output);
        return false;
    }
    return true;
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

namespace {

std::optional<HttpAnswer> get(const QString &host, quint16 port, const QString &path,
                              const Timings &t, bool statusOnly)
{
    // Runs on pool threads without an event loop, hence the blocking socket calls. As with the
    // platform HTTP clients, the request time-out is the longest silence of one step (connect,
    // send, each read); the longest wait bounds the whole probe.
    const QDeadlineTimer deadline(t.probeWait);
    const auto left = [&deadline, idle = static_cast<qint64>(t.probeRequestTimeout.count())] {
        return static_cast<int>(std::min(idle, deadline.remainingTime()));
    };
    constexpr qsizetype kLargest = 256 * 1024;

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
    QByteArray answer;
    const auto enough = [&] {
        return statusOnly ? answer.contains('\n') : answer.size() > kLargest;
    };
    while (!enough() && !deadline.hasExpired() && !childprocess::quitting()) {
        const bool more = socket.waitForReadyRead(std::min(left(), 100));
        answer += socket.readAll();
        if (!more && socket.state() != QAbstractSocket::ConnectedState)
            break;
    }
    // "HTTP/1.1 200": the status code follows the first blank.
    if (!answer.startsWith("HTTP/"))
        return std::nullopt;
    const qsizetype blank = answer.indexOf(' ');
    bool ok = false;
    const int status = blank < 0 ? 0 : answer.mid(blank + 1, 3).toInt(&ok);
    const qsizetype headersEnd = answer.indexOf("\r\n\r\n");
    return HttpAnswer {ok ? status : 0,
                       headersEnd < 0 ? QByteArray() : answer.mid(headersEnd + 4, kLargest)};
}

} // namespace

std::optional<HttpAnswer> httpGet(const QString &host, quint16 port, const QString &path,
                                  const Timings &timings)
{
    return get(host, port, path, timings, false);
}

std::optional<int> httpStatus(const QString &host, quint16 port, const QString &path,
                              const Timings &timings)
{
    const std::optional<HttpAnswer> answer = get(host, port, path, timings, true);
    return answer ? std::optional<int>(answer->status) : std::nullopt;
}

bool tunneldLists(const QByteArray &body, const QString &udid)
{
    const QJsonDocument document = QJsonDocument::fromJson(body);
    return document.isObject() && !udid.isEmpty() && document.object().contains(udid);
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
    const QString log = logPath();
    if (!tunnel::runScriptAsAdmin(environment_, scriptPath(),
                                  tunnel::helperScript(environment_.shellPath(), *tool, log),
                                  QStringLiteral("tunneld")))
        return false;

    const auto deadline = steady_clock::now() + environment_.timings.tunnelWindow;
    while (steady_clock::now() < deadline) {
        if (isTunnelReachable())
            return true;
        if (!dispatch::sleepUnlessQuitting(environment_.timings.tunnelProbePause))
            return false;
    }
    consoleLine(QStringLiteral("❌ tunneld did not become reachable in time — check ") + log);
    return false;
}

bool TunnelService::ensureTunnelTo(const QString &udid) const
{
    if (!ensureTunnel())
        return false;
    const auto lists = [this, &udid] {
        const std::optional<tunnel::HttpAnswer> answer =
            tunnel::httpGet(environment_.tunnelHost, environment_.tunnelPort, QStringLiteral("/"),
                            environment_.timings);
        return answer && tunnel::tunneldLists(answer->body, udid);
    };
    if (lists())
        return true;
    // tunneld makes the tunnel and answers once it is up or has failed: that takes as long as
    // the phone needs, so this one request gets the whole tunnel window.
    Timings patient = environment_.timings;
    patient.probeRequestTimeout = environment_.timings.tunnelWindow;
    patient.probeWait = environment_.timings.tunnelWindow;
    consoleLine(QStringLiteral("tunneld has no tunnel to ") + udid
                + QStringLiteral(" yet: asking it to make one"));
    const std::optional<tunnel::HttpAnswer> made =
        tunnel::httpGet(environment_.tunnelHost, environment_.tunnelPort,
                        QStringLiteral("/start-tunnel?udid=") + udid, patient);
    if (made && made->status == 200 && lists())
        return true;
    const QString why =
        !made ? QStringLiteral("no answer") : QString::fromUtf8(made->body.left(300)).trimmed();
    consoleLine(QStringLiteral("❌ tunneld has no tunnel to ") + udid + QStringLiteral(": ") + why);
    return false;
}
