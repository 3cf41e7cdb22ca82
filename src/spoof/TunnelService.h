#pragma once

#include "state/AppEnvironment.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>
#include <sys/stat.h>

// The pieces of a tunnel bring-up that are plain text, kept apart so they can be checked alone.
namespace tunnel {

inline const QString kScriptName = QStringLiteral("pindrift_start_tunneld.sh");
inline const QString kLogName = QStringLiteral("pindrift_tunneld.log");

// One shell word that a POSIX shell (and zsh) reads back as exactly `text`, whatever it holds:
// everything inside single quotes, each single quote written as '\''.
QString shellQuoted(const QString &text);

// The helper script: the interpreter line, then the daemon's start command with both paths
// quoted and its output sent to the log. No line feed at the end.
QByteArray helperScript(const QString &interpreter, const QString &toolPath,
                        const QString &logPath);

// The two osascript arguments that run `scriptPath` through the administrator password prompt.
// The path is shell-quoted first, then escaped for the AppleScript string around it.
QStringList appleScriptArguments(const QString &scriptPath);

struct Invocation
{
    QString program;
    QStringList arguments;
};

// Writes `script` (atomically, executable) to `scriptPath` and runs it with administrator rights
// (see adminInvocation), waiting as long as the password prompt stays open. True when it ran and
// ended with status 0. `what` names the service in the console lines of a failure.
bool runScriptAsAdmin(const AppEnvironment &environment, const QString &scriptPath,
                      const QByteArray &script, const QString &what);

// How the helper script is run with administrator rights:
// - `adminPromptCommand` set (tests, the demo): that command and its arguments, then the
//   script path as the last argument;
// - already root: the shell with the script path, no prompt;
// - macOS: osascript's "do shell script ... with administrator privileges";
// - elsewhere: pkexec running the shell with the script path.
Invocation adminInvocation(const AppEnvironment &environment, const QString &scriptPath);

// Writes `content` to `path` through a fresh file in the same folder that is made 0755 and then
// renamed over `path`, so nobody ever runs half a script. Answers the error when it fails.
// `setMode` changes the fresh file's permissions (tests make it fail).
using SetMode = int (*)(int fd, mode_t mode);
std::optional<QString> writeExecutableAtomically(const QString &path, const QByteArray &content,
                                                 SetMode setMode = ::fchmod);

// One plain HTTP GET of `path`, within the probe's limits (request time-out and longest wait,
// both bounding the whole probe): the status code and the body (at most 256 KiB: the tunnel
// services answer a few hundred bytes); absent when no HTTP answer came.
struct HttpAnswer
{
    int status = 0;
    QByteArray body;
};
std::optional<HttpAnswer> httpGet(const QString &host, quint16 port, const QString &path,
                                  const Timings &timings);
// The status code alone; the probe ends as soon as it is known.
std::optional<int> httpStatus(const QString &host, quint16 port, const QString &path,
                              const Timings &timings);

// Whether tunneld's answer to "GET /" (a JSON object whose keys are the UDIDs it holds a tunnel
// to) lists `udid`.
bool tunneldLists(const QByteArray &body, const QString &udid);

} // namespace tunnel

// Makes sure the tunnel daemon answers before a simulate-location command needs it, starting it
// through the administrator prompt when it does not. Blocks its calling thread; never call it on
// the GUI thread. The daemon is left running on purpose: later runs find it answering.
class TunnelService
{
public:
    explicit TunnelService(AppEnvironment environment);

    // One HTTP GET of "/" on the tunnel host and port; any HTTP answer, whatever its status,
    // counts. Blocks for at most the probe's limits.
    bool isTunnelReachable() const;

    // True when the daemon answers, after bringing it up when needed. Only one bring-up runs at a
    // time in this program: a caller that finds one under way waits for it, then only probes.
    bool ensureTunnel() const;

    // True when the daemon answers and holds a tunnel to `udid` (its "GET /" lists it), after
    // bringing the daemon up and asking it to make that tunnel ("GET /start-tunnel?udid=") when
    // needed: tunneld tries a phone again only when usbmuxd reports a change, so one that was
    // locked when plugged in is otherwise never tried again. The console says why not.
    bool ensureTunnelTo(const QString &udid) const;

    QString scriptPath() const;
    QString logPath() const;

private:
    bool bringUp() const;

    AppEnvironment environment_;
};
