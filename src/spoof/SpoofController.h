#pragma once

#include "coordinates/Coordinates.h"
#include "platform/ChildProcess.h"
#include "state/AppEnvironment.h"
#include "state/ScreenState.h"

#include <QObject>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class GoIosAgent;
class ScreenModel;

// Everything the user does with a simulated location: spoof, move, unlock, and the end of a
// held location when the device goes away. Lives on the GUI thread beside the ScreenModel; every
// entry point is called there and returns at once, the tools run in background work.
//
// Bookkeeping beyond ScreenState, all GUI-thread only:
// - an epoch, advanced by every disconnection and every unlock: a start or unlock that was
//   submitted in an earlier epoch is dropped when it completes (its process terminated), so it
//   never marks a location held for a device that is gone or was just given back its position;
// - at most one start (spoof or move) in flight; a move asked for meanwhile only remembers its
//   target, and the newest target is moved to once the running start completes;
// - whether an unlock is running, during which a move only places the pin.
// The background work itself runs one operation after another, so an unlock's clear or reset
// reaches the device after any start submitted before it.
class SpoofController : public QObject
{
    Q_OBJECT
public:
    explicit SpoofController(ScreenModel &model, QObject *parent = nullptr);
    ~SpoofController() override;

    // The main button: unlock when a location is held, spoof otherwise.
    void toggleLocationLock();
    // Starts holding the coordinate in the two fields.
    void spoofLocation();
    // Gives the device its real position back (also the Reset button, held or not).
    void unlockLocation();
    // Moves a held location: the pin first (recentred when asked), then the device.
    void moveSpoofedLocation(bool recenter, CLLocationCoordinate2D coordinate);
    // The device went away: a held location ends, its process is terminated, no tool runs.
    // Called on every disconnection; changes no screen field when nothing is held.
    void endSpoofOnDisconnect();

    // One step of a moving location (a route played, the arrow keys): the pin goes there at
    // once and the device follows, unless the step before is still on its way: then this one
    // is skipped (false), never queued, so the device never falls behind the pin. With nothing
    // held yet, a step starts holding. Each step ends the process of the one before, so one
    // location process at most is alive after it. A step that must arrive (where a movement
    // came to rest) waits for the one on its way instead of being skipped.
    bool stepTo(CLLocationCoordinate2D coordinate, bool recenter, bool mustArrive = false);
    bool isStepping() const { return stepInFlight_; }
    // The device can replay a whole timestamped track by itself (iOS 17+ through
    // pymobiledevice3).
    bool canReplay() const;
    // Hands the device a timestamped GPX file to replay, in place of whatever holds the
    // location now; waits for a step on its way rather than be skipped.
    void replay(const QString &gpxFile);

    // Completion steps, on the GUI thread.
    void applySpoofStarted(const std::shared_ptr<ChildProcess> &process, double latitude,
                           double longitude);
    // `hint`: why it failed, as far as the tools' output tells.
    void applySpoofFailed(const HintState &hint = {});
    void applyUnlocked();

    // The status line of a held location: "🔒 Spoofing at LAT, LON".
    static QString heldStatusText(CLLocationCoordinate2D coordinate);

    // The major number of a shown iOS version ("17.2.1" → 17); 0 when it cannot be read.
    static qint64 iosMajorVersion(const QString &version);
    // iOS 17 and later go through pymobiledevice3 and its tunnel, or go-ios and its agent; the
    // rest, unknown versions included, through idevicesetlocation.
    static bool usesTunnelChain(const QString &version);

    // Ends the go-ios agent this screen started, if any (the window is closing).
    void endAgent();
    GoIosAgent &goIosAgent() { return *agent_; }

Q_SIGNALS:
    // The user moved the held location, unlocked it or reset it, or the device went away:
    // whatever moves the location on its own stops.
    void heldLocationTaken();
    // A step could not reach the device (the console says why).
    void stepFailed();
    // What held the location on an iOS 17+ device went away by itself (the location process,
    // go-ios's agent, tunneld). A movement that replays a route starts its replay again from
    // where it is; otherwise the controller holds the location again itself.
    void holderLost();

private:
    enum class StartKind { Spoof, Move, Rehold };

    // Notices, at once, the end of `process` while it holds the location.
    void watchHolder(const std::shared_ptr<ChildProcess> &process);
    void holderEnded(const std::shared_ptr<ChildProcess> &process);
    // Each poll tick while an iOS 17+ location is held: whether the agent or tunneld that the
    // holder talks through still serves this phone.
    void checkTunnel();
    // Holds the location again at the pin, after `why` (a console line).
    void holdAgain(const QString &why);
    // Holding again failed: the lock ends, and the status says the phone is back.
    void endLostHold(const HintState &hint);

    void submitStart(StartKind kind, CLLocationCoordinate2D target,
                     std::shared_ptr<ChildProcess> oldProcess);
    void finishStart(quint64 epoch, StartKind kind, const std::shared_ptr<ChildProcess> &process,
                     CLLocationCoordinate2D target, const HintState &hint);
    void finishUnlock(quint64 epoch, bool restored, const HintState &hint);
    // Runs `start` as the next step: it answers the process that holds the location now
    // (null: none, or the tool set it and left) and whether the device took it.
    using StepStart = std::function<std::pair<bool, std::shared_ptr<ChildProcess>>(
        const AppEnvironment &, const std::shared_ptr<ChildProcess> &old)>;
    void submitStep(bool replacesHolder, StepStart start);
    void finishStep(quint64 epoch, bool applied, const std::shared_ptr<ChildProcess> &holder,
                    bool replacesHolder, const HintState &hint);
    void beginEpoch();

    ScreenModel &model_;
    quint64 epoch_ = 0;
    std::optional<StartKind> startInFlight_;
    std::optional<CLLocationCoordinate2D> pendingMove_;
    bool unlockInFlight_ = false;
    bool stepInFlight_ = false;
    bool reholding_ = false; // the start or replay on its way holds again after a loss
    bool tunnelCheckInFlight_ = false;
    std::optional<CLLocationCoordinate2D> pendingStep_; // must arrive once the running one has
    std::optional<QString> pendingReplay_; // likewise, a file to replay

    class SerialWork;
    std::shared_ptr<SerialWork> work_;
    std::shared_ptr<GoIosAgent> agent_;
    std::chrono::milliseconds terminateGrace_; // kept: the model may be gone before us
    std::shared_ptr<std::atomic<int>> announcedChain_; // the iOS 17+ chain last named
};
