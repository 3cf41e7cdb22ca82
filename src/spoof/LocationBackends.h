#pragma once

#include "platform/ChildProcess.h"
#include "state/AppEnvironment.h"

#include <QString>
#include <QStringList>
#include <chrono>
#include <memory>

// Both back-ends rest on one contract with the tools: the command that sets a location keeps
// running while the location is to be held, and ending it ends the simulation. Every operation
// blocks its calling thread for seconds; call them from background work only.

// Launches `path` with `arguments` and waits up to `wait` for it to end. A child still running
// then is the answer: its output goes on to the console, line by line, while it runs, and it is
// reaped when it ends. A child that ended within the wait is a failure whatever its status: its
// output (empty when not UTF-8) follows `earlyExitPrefix` on the console. A launch failure
// writes `launchErrorPrefix` and the system's description. `lineText` turns the tool's lines
// into console lines; `stopSignal` is what ending it sends.
std::shared_ptr<ChildProcess>
launchLongLived(const QString &path, const QStringList &arguments, std::chrono::milliseconds wait,
                const QString &launchErrorPrefix, const QString &earlyExitPrefix,
                childprocess::LineText lineText = {}, int stopSignal = SIGTERM);

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

// iOS 17 and later: pymobiledevice3 through the tunnel daemon.
class SimulateLocationBackend
{
public:
    explicit SimulateLocationBackend(AppEnvironment environment);

    // A running "simulate-location set" process, or null.
    std::shared_ptr<ChildProcess> startSimulation(const QString &udid, double latitude,
                                                  double longitude) const;
    // A running "simulate-location play" of a timestamped GPX file, which the device replays
    // at the pace of its times and then holds at its last point; or null.
    std::shared_ptr<ChildProcess> startReplay(const QString &udid, const QString &gpxFile) const;
    // True when "simulate-location clear" ended with status 0.
    bool clearSimulation(const QString &udid) const;

private:
    // pymobiledevice3, once the tunnel daemon answers; the console says why not otherwise.
    std::optional<QString> readyTool() const;

    AppEnvironment environment_;
};

// Older devices: idevicesetlocation, on whichever device it finds.
class SetLocationBackend
{
public:
    explicit SetLocationBackend(AppEnvironment environment);

    // A running "idevicesetlocation -- LAT LON" process, or null.
    std::shared_ptr<ChildProcess> startSetLocation(double latitude, double longitude) const;
    // "idevicesetlocation reset", its output on our own standard output. Reports nothing.
    void resetSetLocation() const;

    // One step of a moving location. The stock tool sets the location and exits; one that is
    // still running after `settle` holds it and is the answer's `holder`.
    struct Step
    {
        bool applied = false;
        std::shared_ptr<ChildProcess> holder;
    };
    Step setOnce(double latitude, double longitude, std::chrono::milliseconds settle) const;

private:
    AppEnvironment environment_;
};
