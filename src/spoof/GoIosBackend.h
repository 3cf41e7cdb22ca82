#pragma once

#include "platform/ChildProcess.h"
#include "state/AppEnvironment.h"

#include <QString>
#include <chrono>
#include <memory>
#include <mutex>

// go-ios's userspace tunnel agent ("ios tunnel start --userspace"), which needs no administrator
// rights. An agent that already answers is used as it is and never ended by us; when none
// answers, one is started as our own child, and that one ends with end() (at the latest when
// this object goes), so it never outlives the window.
//
// One object serves the whole screen. Background work holds it through a shared pointer, so it
// lives as long as any job that uses it; the child process is only ever reached through it.
class GoIosAgent
{
public:
    GoIosAgent() = default;
    ~GoIosAgent();
    GoIosAgent(const GoIosAgent &) = delete;
    GoIosAgent &operator=(const GoIosAgent &) = delete;

    // True once an agent answers on the agent port with a tunnel to `udid`, after starting ours
    // when none answers. One bring-up at a time. Blocks; background work only.
    bool ensure(const AppEnvironment &environment, const QString &udid);

    // Ends the agent we started, if any; from then on none is started. Returns at once.
    void end(std::chrono::milliseconds grace);

    // The agent we started, while it runs (for tests).
    std::shared_ptr<ChildProcess> ownAgent();

private:
    std::shared_ptr<ChildProcess> start(const AppEnvironment &environment, const QString &udid);

    std::mutex bringUp_; // held for a whole ensure()
    std::mutex mutex_; // guards the fields below, never held while waiting
    std::shared_ptr<ChildProcess> process_;
    QString udid_; // the device our agent serves
    bool ended_ = false;
};

// iOS 17 and later through go-ios: "ios setlocation" holds the location until it is interrupted
// (SIGINT), which is also how the location is taken off again.
class GoIosBackend
{
public:
    GoIosBackend(AppEnvironment environment, std::shared_ptr<GoIosAgent> agent);

    // A running "ios setlocation" process, or null.
    std::shared_ptr<ChildProcess> startSimulation(const QString &udid, double latitude,
                                                  double longitude) const;
    // Ends `held` when it runs, which clears the location; with nothing held, runs
    // "ios resetlocation". True when the location was cleared.
    bool clearSimulation(const QString &udid, const std::shared_ptr<ChildProcess> &held) const;

private:
    AppEnvironment environment_;
    std::shared_ptr<GoIosAgent> agent_;
};
