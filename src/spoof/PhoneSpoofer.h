#pragma once

#include "coordinates/Coordinates.h"
#include "platform/ChildProcess.h"
#include "state/AppEnvironment.h"
#include "state/ScreenState.h"

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

class GoIosAgent;
class IosChains;
class ScreenModel;
struct DeviceSession;

// Everything done with one phone's simulated location: spoof, move, unlock, the steps of a
// movement, and the end of its hold when it goes away. Lives on the GUI thread; each entry point
// returns at once, the tools run in the phone's own queue of work (its session's), so phones
// never wait for each other. It writes only its phone's session.
//
// Bookkeeping beyond the session, all GUI-thread only:
// - an epoch, advanced by every disconnection and every unlock: a start or unlock that was
//   submitted in an earlier epoch is dropped when it completes (its process terminated), so it
//   never marks a location held for a phone that is gone or was just given back its position;
// - at most one start (spoof or move) in flight; a move asked for meanwhile only remembers its
//   target, and the newest target is moved to once the running start completes;
// - whether an unlock is running, during which a move does nothing.
class PhoneSpoofer : public QObject
{
    Q_OBJECT
public:
    // What every phone's spoofer shares: go-ios's agent and the choice of iOS 17+ tool.
    struct Shared
    {
        std::shared_ptr<GoIosAgent> agent;
        std::shared_ptr<IosChains> chains;
    };

    PhoneSpoofer(ScreenModel &model, QString udid, Shared shared, QObject *parent = nullptr);
    ~PhoneSpoofer() override;

    const QString &udid() const { return udid_; }

    // Starts holding `target`.
    void spoof(CLLocationCoordinate2D target);
    // Moves a held location to `target` (the pin has already gone there).
    void move(CLLocationCoordinate2D target);
    // Gives the phone its real position back (also Reset, held or not).
    void unlock();
    // The phone went away: a held location ends, its process is terminated, no tool runs.
    void endOnDisconnect();
    // The invalid-coordinates message, or another word on the status line.
    void say(const QString &status);

    // One step of a moving location; false when skipped because the one before is still on its
    // way (a step that must arrive waits for it instead). With nothing held yet, a step starts
    // holding.
    bool stepTo(CLLocationCoordinate2D coordinate, bool mustArrive);
    bool isStepping() const { return stepInFlight_; }
    // It was last handed a track to replay, and goes along it by itself.
    bool isReplaying() const { return replaying_; }
    // The phone replays a whole timestamped track by itself (iOS 17+ through pymobiledevice3).
    bool canReplay() const;
    void replay(const QString &gpxFile);

    // A poll tick: whether the agent or tunneld that the holder talks through still serves the
    // phone.
    void checkTunnel();

Q_SIGNALS:
    // A step could not reach the phone (the console says why).
    void stepFailed();
    // What held the location went away by itself; a replaying route starts again from where it
    // is, otherwise the spoofer holds the location again itself.
    void holderLost();
    // Holding again failed: the lock has ended.
    void holdLost();

private:
    enum class StartKind { Spoof, Move, Rehold };
    using StepStart = std::function<std::pair<bool, std::shared_ptr<ChildProcess>>(
        const AppEnvironment &, const std::shared_ptr<ChildProcess> &old)>;

    const DeviceSession *session() const;
    void update(const std::function<void(DeviceSession &)> &change);
    void submitStart(StartKind kind, CLLocationCoordinate2D target,
                     std::shared_ptr<ChildProcess> oldProcess);
    void finishStart(quint64 epoch, StartKind kind, const std::shared_ptr<ChildProcess> &process,
                     CLLocationCoordinate2D target, const HintState &hint);
    void applyStarted(const std::shared_ptr<ChildProcess> &process, CLLocationCoordinate2D at);
    void applyFailed(const HintState &hint);
    void finishUnlock(quint64 epoch, bool restored, const HintState &hint);
    void submitStep(bool replacesHolder, CLLocationCoordinate2D at, StepStart start);
    void finishStep(quint64 epoch, bool applied, const std::shared_ptr<ChildProcess> &holder,
                    bool replacesHolder, CLLocationCoordinate2D at, const HintState &hint);
    void beginEpoch();
    void watchHolder(const std::shared_ptr<ChildProcess> &process);
    void holderEnded(const std::shared_ptr<ChildProcess> &process);
    void holdAgain(const QString &why);
    void endLostHold(const HintState &hint);

    ScreenModel &model_;
    const QString udid_;
    Shared shared_;
    quint64 epoch_ = 0;
    std::optional<StartKind> startInFlight_;
    std::optional<CLLocationCoordinate2D> pendingMove_;
    bool unlockInFlight_ = false;
    bool stepInFlight_ = false;
    bool reholding_ = false; // the start or replay on its way holds again after a loss
    bool tunnelCheckInFlight_ = false;
    bool replaying_ = false;
    std::optional<CLLocationCoordinate2D> pendingStep_; // must arrive once the running one has
    std::optional<QString> pendingReplay_; // likewise, a file to replay
    std::chrono::milliseconds terminateGrace_; // kept: the model may be gone before us
};
