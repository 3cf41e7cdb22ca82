#pragma once

#include "coordinates/Coordinates.h"
#include "spoof/LocationBackends.h"
#include "state/ScreenState.h"

#include <QObject>
#include <QString>
#include <map>
#include <memory>
#include <optional>

class GoIosAgent;
class IosChains;
class PhoneSpoofer;
class ScreenModel;

// What the user does with simulated locations, for every selected phone: spoof, move, unlock,
// the steps of a movement, and the end of a phone's hold when it goes away. Each phone has its
// own PhoneSpoofer, which works through that phone's session and queue; they share go-ios's
// agent and the choice of iOS 17+ tool. Lives on the GUI thread; every entry point returns at
// once. A failure on one phone shows on that phone and never stops the others.
class SpoofController : public QObject
{
    Q_OBJECT
public:
    explicit SpoofController(ScreenModel &model, QObject *parent = nullptr);
    ~SpoofController() override;

    // The main button: unlock when every selected phone is held, spoof the others otherwise.
    void toggleLocationLock();
    // Starts holding the coordinate in the two fields, on each selected phone not yet held.
    void spoofLocation();
    // Gives each selected phone its real position back (also the Reset button, held or not).
    void unlockLocation();
    // Moves the held locations: the pin first (recentred when asked), then the phones.
    void moveSpoofedLocation(bool recenter, CLLocationCoordinate2D coordinate);
    // A phone went away: its held location ends, its process is terminated, no tool runs.
    void endSpoofOnDisconnect(const QString &udid);

    // One step of a moving location (a route played, the arrow keys): the pin goes there at
    // once and the selected phones follow, each unless the step before is still on its way to
    // it: then this one is skipped for that phone (false), never queued, so no phone falls behind
    // the pin. With nothing held yet, a step starts holding. A step that must arrive (where a
    // movement came to rest) waits for the one on its way instead of being skipped.
    // `leave`: the phones a replay moves, or is about to move, are left alone.
    enum class Replayers { Told, LeftWhileReplaying, LeftForTheirPlan };
    bool stepTo(CLLocationCoordinate2D coordinate, bool recenter, bool mustArrive = false,
                Replayers leave = Replayers::Told);
    bool isStepping() const;
    // A selected phone can replay a whole timestamped track by itself (iOS 17+ through
    // pymobiledevice3); those phones follow replay(), the others stepTo().
    bool canReplay() const;
    void replay(const QString &gpxFile);

    // The major number of a shown iOS version ("17.2.1" → 17); 0 when it cannot be read.
    static qint64 iosMajorVersion(const QString &version);
    // iOS 17 and later go through pymobiledevice3 and its tunnel, or go-ios and its agent; the
    // rest, unknown versions included, through idevicesetlocation.
    static bool usesTunnelChain(const QString &version);

    // Which tool reaches a phone of iOS 17 or later, when both are there.
    void preferChain(const QString &udid, std::optional<IosChain> chain);
    std::optional<IosChain> preferredChain(const QString &udid) const;
    IosChain chainFor(const QString &udid) const;

    // Ends the go-ios agent this screen started, if any (the window is closing).
    void endAgent();
    GoIosAgent &goIosAgent() { return *agent_; }

Q_SIGNALS:
    // The user moved the held location, unlocked it or reset it, or a phone went away:
    // whatever moves the location on its own stops.
    void heldLocationTaken();
    // A step could not reach a phone (the console says why).
    void stepFailed();
    // What held a phone's location went away by itself: a replaying route starts again from
    // where it is.
    void holderLost();

private:
    PhoneSpoofer &phone(const QString &udid);
    // The selected phones that have been detected, in the list's order.
    QStringList selectedPhones() const;
    // Another selected phone than `udid` holds a location.
    bool anotherHolds(const QString &udid) const;

    ScreenModel &model_;
    std::shared_ptr<GoIosAgent> agent_;
    std::shared_ptr<IosChains> chains_;
    std::map<QString, std::unique_ptr<PhoneSpoofer>> phones_;
    std::chrono::milliseconds terminateGrace_; // kept: the model may be gone before us
};
