#pragma once

#include "platform/ChildProcess.h"
#include "state/AppEnvironment.h"

#include <QString>
#include <chrono>
#include <memory>
#include <mutex>

// go-ios's tunnel agent ("ios tunnel start"), which serves every phone's iOS 17+ tunnel on the
// agent port. Which one depends on the phone:
// - above iOS 17.4.0 the userspace agent ("--userspace"), which needs no administrator rights and
//   runs as our own child: it ends with end() (at the latest when this object goes);
// - iOS 17.0 to 17.4.0, which go-ios's userspace tunnel refuses, the kernel agent, which needs
//   root: started once through the administrator prompt and left running, like tunneld.
// An agent that already answers is used as it is.
//
// go-ios tries a phone whose tunnel failed (locked, not trusted) again only after 30 s, then 60,
// 120, 240 and 300 s. So when our agent has no tunnel to a phone, it is restarted before the
// phone is waited for: a user who has fixed the phone and tries again is served at once.
//
// One object serves the whole screen. Background work holds it through a shared pointer, so it
// lives as long as any job that uses it; the child process is only ever reached through it.
class GoIosAgent
{
public:
    GoIosAgent();
    ~GoIosAgent();
    GoIosAgent(const GoIosAgent &) = delete;
    GoIosAgent &operator=(const GoIosAgent &) = delete;

    // True once an agent answers on the agent port with a tunnel to `udid`, after starting (or
    // restarting) ours as the phone's `iosVersion` needs. One bring-up at a time. Blocks;
    // background work only.
    bool ensure(const AppEnvironment &environment, const QString &udid, const QString &iosVersion);

    // Ends the agent we started as our child, if any; from then on none is started. Returns at
    // once. A kernel agent started through the prompt is left running.
    void end(std::chrono::milliseconds grace);

    // The agent we started as our child, while it runs (for tests).
    std::shared_ptr<ChildProcess> ownAgent();

    // What go-ios last said about failing to make a tunnel to `udid`, from our agent's output or
    // the kernel agent's log; empty when it said nothing.
    QString lastFailure(const AppEnvironment &environment, const QString &udid) const;

    // The kernel agent's helper script and log, in the private temporary folder.
    static QString kernelScriptPath(const AppEnvironment &environment);
    static QString kernelLogPath(const AppEnvironment &environment);

private:
    struct Failures;

    std::shared_ptr<ChildProcess> startUserspace(const AppEnvironment &environment);
    bool startKernel(const AppEnvironment &environment);
    void stopOwn(std::chrono::milliseconds grace);

    std::mutex bringUp_; // held for a whole ensure()
    mutable std::mutex mutex_; // guards the fields below, never held while waiting
    std::shared_ptr<ChildProcess> process_;
    bool ended_ = false;
    bool kernelStartedHere_ = false;
    std::shared_ptr<Failures> failures_;
};

// iOS 17 and later through go-ios: "ios setlocation" holds the location until it is interrupted
// (SIGINT), which stops the simulation explicitly; that is also how the location is given back.
class GoIosBackend
{
public:
    GoIosBackend(AppEnvironment environment, std::shared_ptr<GoIosAgent> agent);

    // A running "ios setlocation" process, or null.
    std::shared_ptr<ChildProcess> startSimulation(const QString &udid, const QString &iosVersion,
                                                  double latitude, double longitude) const;
    // Interrupts `held`, which stops the simulation: true when it confirms (exit 0). With nothing
    // held nothing runs: iOS 17 and later drop a simulated location when the process that holds
    // it ends (go-ios's "resetlocation" speaks the older service, which they refuse).
    bool clearSimulation(const std::shared_ptr<ChildProcess> &held) const;

    // Why a location held through go-ios's agent holds nothing any more (the agent gone, or no
    // tunnel to this phone); absent while the agent serves the phone. One probe: background only.
    std::optional<QString> tunnelLost(const QString &udid) const;

private:
    AppEnvironment environment_;
    std::shared_ptr<GoIosAgent> agent_;
};
