#pragma once

#include "platform/ChildProcess.h"
#include "state/AppEnvironment.h"
#include "tools/PyMobileDevice3.h"

#include <QString>
#include <QStringList>
#include <chrono>
#include <memory>

// Both back-ends rest on one contract with the tools: the command that sets a location keeps
// running while the location is to be held, and ending it ends the simulation. Every operation
// blocks its calling thread for seconds; call them from background work only.

// Launches `path` with `arguments` (and the environment's variables for device tools) and waits
// up to `wait` for it to end. A child still running then, with no error in its output, is the
// answer: its output goes on to the console, line by line, while it runs, it is noted among the
// holders (platform/HolderRecords.h), and it is reaped when it ends. A child that ended within the
// wait is a failure whatever its status: its output (empty when not UTF-8) follows
// `earlyExitPrefix` on the console. A launch failure writes `launchErrorPrefix` and the system's
// description. `lineText` turns the tool's lines into console lines; `stopSignal` is what ending
// it sends.
std::shared_ptr<ChildProcess>
launchLongLived(const QString &path, const QStringList &arguments, std::chrono::milliseconds wait,
                const QString &launchErrorPrefix, const QString &earlyExitPrefix,
                const AppEnvironment &environment, childprocess::LineText lineText = {},
                int stopSignal = SIGTERM);

// The same for a tool that says when it has done its work: the child is the answer once a line
// of its output contains `confirmation`. One that ends first, or says nothing of the kind within
// `window`, is a failure (and is ended); the console says which, with what it printed.
std::shared_ptr<ChildProcess> launchConfirmed(const QString &path, const QStringList &arguments,
                                              const QByteArray &confirmation,
                                              std::chrono::milliseconds window, const QString &what,
                                              const AppEnvironment &environment,
                                              int stopSignal = SIGINT);

// Which tool reaches iOS 17 and later: pymobiledevice3 when it is there (tool folder or PATH),
// else go-ios from the tool folder, else none.
enum class IosChain { PyMobileDevice3, GoIos, None };
IosChain chooseIosChain(const AppEnvironment &environment);
// The console line that says which chain is in use and why.
QString chainAnnouncement(IosChain chain, const AppEnvironment &environment);
// What the console says when neither tool is there.
inline const QString kNoIosChainLine =
    QStringLiteral("❌ No iOS 17+ tool found: install go-ios (scripts/fetch-go-ios.sh, which make "
                   "run calls) or pymobiledevice3 (pipx install pymobiledevice3), then build "
                   "again");

// iOS 17 and later through pymobiledevice3: through its tunnel daemon for 17.0 to 17.3, which
// needs administrator rights once; 17.4 and later through the tunnel each command makes for
// itself, with no daemon and no password.
class SimulateLocationBackend
{
public:
    explicit SimulateLocationBackend(AppEnvironment environment);

    static pymobiledevice3::Reach reachFor(const QString &iosVersion);

    // A running "simulate-location set" process that has said the phone took the location, or
    // null.
    std::shared_ptr<ChildProcess> startSimulation(const QString &udid, const QString &iosVersion,
                                                  double latitude, double longitude) const;
    // A running "simulate-location play" of a timestamped GPX file, whose first point has
    // reached the phone; the phone replays it at the pace of its times and then holds its last
    // point. Or null.
    std::shared_ptr<ChildProcess> startReplay(const QString &udid, const QString &iosVersion,
                                              const QString &gpxFile) const;
    // True when "simulate-location clear" ended with status 0 and reported no error (it exits 0
    // after the errors it recognises, so the status alone says nothing).
    bool clearSimulation(const QString &udid, const QString &iosVersion) const;

    // Why a location held through tunneld holds nothing any more (tunneld gone, or no tunnel to
    // this phone); absent while it serves the phone, and always for a command that carries its
    // own tunnel (whose end is noticed by itself). One probe: background work only.
    std::optional<QString> tunnelLost(const QString &udid, const QString &iosVersion) const;

private:
    // pymobiledevice3, once the way to the phone is open; the console says why not otherwise.
    std::optional<QString> readyTool(const QString &udid, pymobiledevice3::Reach reach) const;

    AppEnvironment environment_;
};

// Older devices: idevicesetlocation, on the phone `udid` names (empty: the first it finds).
class SetLocationBackend
{
public:
    explicit SetLocationBackend(AppEnvironment environment, QString udid = {});

    // A running "idevicesetlocation -u UDID -- LAT LON" process, or null.
    std::shared_ptr<ChildProcess> startSetLocation(double latitude, double longitude) const;
    // "idevicesetlocation -u UDID reset": true when it ended with status 0.
    bool resetSetLocation() const;

    // One step of a moving location. The stock tool sets the location and exits; one that is
    // still running after `settle` holds it and is the answer's `holder`.
    struct Step
    {
        bool applied = false;
        std::shared_ptr<ChildProcess> holder;
    };
    Step setOnce(double latitude, double longitude, std::chrono::milliseconds settle) const;

private:
    // idevicesetlocation 1.3.0 ignores why lockdown refused it and says every failure is a
    // missing developer image: when it says so, ideviceinfo is asked, and a lock or trust problem
    // it reports goes to the console too.
    void explainFailure(const QByteArray &output) const;

    AppEnvironment environment_;
    QString udid_;
};
