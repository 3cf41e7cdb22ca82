#include "spoof/PhoneSpoofer.h"

#include "platform/Console.h"
#include "platform/Dispatch.h"
#include "spoof/GoIosBackend.h"
#include "spoof/IosChains.h"
#include "spoof/LocationBackends.h"
#include "spoof/SpoofController.h"
#include "state/ScreenModel.h"

#include <QFileInfo>
#include <QPointer>
#include <thread>

using namespace std::chrono;

namespace {

const QString kSpoofing = QStringLiteral("Spoofing location...");
const QString kMoving = QStringLiteral("Moving spoofed location...");
const QString kUnlocking = QStringLiteral("Unlocking location...");
const QString kFailed = QStringLiteral("❌ Failed to spoof location — see console log.");
const QString kUnlocked = QStringLiteral("Location unlocked — real GPS restored.");
const QString kUnlockFailed =
    QStringLiteral("❌ The iPhone did not confirm its real location is back — see console log.");
const QString kDisconnected = QStringLiteral("Device disconnected — location spoof ended.");
const QString kHoldingAgain = QStringLiteral("Holding the location again...");
const QString kHoldLost =
    QStringLiteral("❌ The location could not be held again — the iPhone is back at its real "
                   "position.");

// Carries a started process from background work to the GUI thread. Should the hand-over never
// arrive (the screen went away first), the process is terminated instead of left running.
class ProcessHandoff
{
public:
    ProcessHandoff(std::shared_ptr<ChildProcess> process, milliseconds grace)
        : process_(std::move(process))
        , grace_(grace)
    {
    }
    ~ProcessHandoff() { childprocess::terminate(process_, grace_); }
    ProcessHandoff(const ProcessHandoff &) = delete;
    ProcessHandoff &operator=(const ProcessHandoff &) = delete;

    std::shared_ptr<ChildProcess> take() { return std::exchange(process_, nullptr); }

private:
    std::shared_ptr<ChildProcess> process_;
    milliseconds grace_;
};

// Terminates a superseded process and waits, off the GUI thread, until it is gone, so the phone
// never has two simulate processes at once. A process that ignores the request is killed after
// the grace.
void endAndWait(const std::shared_ptr<ChildProcess> &process, milliseconds grace)
{
    if (!process)
        return;
    childprocess::terminate(process, grace);
    const auto deadline = steady_clock::now() + grace + seconds(2);
    while (process->isRunning() && steady_clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(10));
}

void killAndWait(const std::shared_ptr<ChildProcess> &process)
{
    if (!process)
        return;
    process->kill();
    const auto deadline = steady_clock::now() + seconds(2);
    while (process->isRunning() && steady_clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(5));
}

// Starts the process that holds the location from now on in place of `old` (see stepTo).
// When the start fails, the old one goes on holding.
std::pair<bool, std::shared_ptr<ChildProcess>>
replaceHolder(const std::shared_ptr<ChildProcess> &old,
              const std::function<std::shared_ptr<ChildProcess>()> &start)
{
    if (old)
        old->suspend();
    std::shared_ptr<ChildProcess> holder = start();
    if (holder)
        killAndWait(old);
    else if (old)
        old->resume();
    return {holder != nullptr, holder};
}

// The phone an operation is for, as its session knew it when the operation began.
struct Phone
{
    QString udid;
    QString version;
    bool tunnel = false; // iOS 17 and later
};

std::shared_ptr<ChildProcess> startOnDevice(const Phone &phone, const AppEnvironment &environment,
                                            IosChains &chains,
                                            const std::shared_ptr<GoIosAgent> &agent,
                                            CLLocationCoordinate2D target)
{
    if (!phone.tunnel)
        return SetLocationBackend(environment, phone.udid)
            .startSetLocation(target.latitude, target.longitude);
    switch (chains.announce(environment, phone.udid)) {
    case IosChain::PyMobileDevice3:
        return SimulateLocationBackend(environment)
            .startSimulation(phone.udid, phone.version, target.latitude, target.longitude);
    case IosChain::GoIos:
        return GoIosBackend(environment, agent)
            .startSimulation(phone.udid, phone.version, target.latitude, target.longitude);
    case IosChain::None:
        break;
    }
    return nullptr;
}

// Why it failed, from what this operation's tools said (not what other phones' did meanwhile).
HintState hintFrom(const QStringList &lines, const AppEnvironment &environment)
{
    return HintState::of(failure::recognise(lines), environment.tools);
}

} // namespace

PhoneSpoofer::PhoneSpoofer(ScreenModel &model, QString udid, Shared shared, QObject *parent)
    : QObject(parent)
    , model_(model)
    , udid_(std::move(udid))
    , shared_(std::move(shared))
    , terminateGrace_(model.environment().timings.terminateGrace)
{
}

PhoneSpoofer::~PhoneSpoofer() = default;

const DeviceSession *PhoneSpoofer::session() const
{
    return model_.session(udid_);
}

void PhoneSpoofer::update(const std::function<void(DeviceSession &)> &change)
{
    model_.updateSession(udid_, change);
}

void PhoneSpoofer::say(const QString &status)
{
    update([&status](DeviceSession &s) { s.lockStatusText = status; });
}

void PhoneSpoofer::spoof(CLLocationCoordinate2D target)
{
    replaying_ = false;
    update([](DeviceSession &s) {
        s.busy = true;
        s.starting = true;
        s.lockStatusText = kSpoofing;
        s.spoofHint = {};
    });
    submitStart(StartKind::Spoof, target, nullptr);
}

void PhoneSpoofer::move(CLLocationCoordinate2D target)
{
    if (unlockInFlight_ || !session()) // the location is being given back: only the pin moves
        return;
    replaying_ = false;
    update([](DeviceSession &s) {
        s.busy = true;
        s.lockStatusText = kMoving;
        s.spoofHint = {};
    });
    if (startInFlight_ || stepInFlight_) {
        pendingMove_ = target; // the newest target wins once the running start completes
        return;
    }
    submitStart(StartKind::Move, target, session()->locationProcess);
}

void PhoneSpoofer::submitStart(StartKind kind, CLLocationCoordinate2D target,
                               std::shared_ptr<ChildProcess> oldProcess)
{
    const DeviceSession *s = session();
    if (!s)
        return;
    const Phone phone {udid_, s->iosVersion, SpoofController::usesTunnelChain(s->iosVersion)};
    const AppEnvironment environment = model_.environment();
    const MainQueue queue = model_.mainQueue();
    const quint64 epoch = epoch_;
    const QPointer<PhoneSpoofer> self(this);
    startInFlight_ = kind;

    s->work.submit([phone, environment, queue, epoch, self, kind, target, oldProcess,
                    shared = shared_] {
        const milliseconds grace = environment.timings.terminateGrace;
        endAndWait(oldProcess, grace);
        const ThreadLines said;
        std::shared_ptr<ChildProcess> process =
            startOnDevice(phone, environment, *shared.chains, shared.agent, target);
        const HintState hint = process ? HintState {} : hintFrom(said.lines(), environment);
        const auto handoff = std::make_shared<ProcessHandoff>(std::move(process), grace);
        queue.post([self, handoff, epoch, kind, target, grace, hint] {
            const std::shared_ptr<ChildProcess> started = handoff->take();
            if (self)
                self->finishStart(epoch, kind, started, target, hint);
            else
                childprocess::terminate(started, grace);
        });
    });
}

void PhoneSpoofer::finishStart(quint64 epoch, StartKind kind,
                               const std::shared_ptr<ChildProcess> &process,
                               CLLocationCoordinate2D target, const HintState &hint)
{
    if (epoch != epoch_ || !session()) {
        // The phone went away or was unlocked meanwhile: this start serves nobody.
        childprocess::terminate(process, terminateGrace_);
        if (kind == StartKind::Spoof && startInFlight_ != StartKind::Spoof)
            update([](DeviceSession &s) { s.starting = false; });
        return;
    }
    startInFlight_.reset();

    if (pendingMove_) {
        // A newer target came in while this one was starting: keep what started (so it is
        // terminated by the next move) and go straight on to the newest target.
        const CLLocationCoordinate2D next = *std::exchange(pendingMove_, std::nullopt);
        update([&](DeviceSession &s) {
            s.starting = false;
            if (s.locationProcess != process)
                childprocess::terminate(s.locationProcess, terminateGrace_);
            s.locationProcess = process;
            if (process) {
                s.isLocationLocked = true;
                s.heldAt = target;
            }
        });
        watchHolder(process);
        submitStart(StartKind::Move, next, session()->locationProcess);
        return;
    }

    const bool holdingAgain = std::exchange(reholding_, false);
    if (process)
        applyStarted(process, target);
    else if (kind == StartKind::Rehold || holdingAgain)
        endLostHold(hint);
    else
        applyFailed(hint);
}

void PhoneSpoofer::applyStarted(const std::shared_ptr<ChildProcess> &process,
                                CLLocationCoordinate2D at)
{
    update([&](DeviceSession &s) {
        // Never leave a replaced process running.
        if (s.locationProcess != process)
            childprocess::terminate(s.locationProcess, terminateGrace_);
        s.locationProcess = process;
        s.isLocationLocked = true;
        s.heldAt = at;
        s.starting = false;
        s.busy = false;
        s.spoofHint = {};
        s.lockStatusText = ScreenModel::heldStatusText(at);
    });
    watchHolder(process);
}

void PhoneSpoofer::applyFailed(const HintState &hint)
{
    update([&](DeviceSession &s) {
        s.spoofHint = hint;
        childprocess::terminate(s.locationProcess, terminateGrace_);
        s.locationProcess.reset();
        s.starting = false;
        s.busy = false;
        s.lockStatusText = kFailed;
    });
}

void PhoneSpoofer::unlock()
{
    const DeviceSession *s = session();
    if (!s)
        return;
    update([](DeviceSession &session) {
        session.busy = true;
        session.lockStatusText = kUnlocking;
        session.spoofHint = {};
    });
    const Phone phone {udid_, s->iosVersion, SpoofController::usesTunnelChain(s->iosVersion)};
    const std::shared_ptr<ChildProcess> held = s->locationProcess;
    const AppEnvironment environment = model_.environment();
    const MainQueue queue = model_.mainQueue();
    // Whatever start is still under way is superseded by this unlock.
    beginEpoch();
    unlockInFlight_ = true;
    const quint64 epoch = epoch_;
    const QPointer<PhoneSpoofer> self(this);

    s->work.submit([phone, held, environment, queue, epoch, self, shared = shared_] {
        const ThreadLines said;
        bool restored = false;
        if (!phone.tunnel) {
            restored = SetLocationBackend(environment, phone.udid).resetSetLocation();
        } else {
            switch (shared.chains->announce(environment, phone.udid)) {
            case IosChain::PyMobileDevice3:
                restored =
                    SimulateLocationBackend(environment).clearSimulation(phone.udid, phone.version);
                break;
            case IosChain::GoIos:
                restored = GoIosBackend(environment, shared.agent).clearSimulation(held);
                break;
            case IosChain::None:
                break;
            }
        }
        const HintState hint = restored ? HintState {} : hintFrom(said.lines(), environment);
        queue.post([self, epoch, restored, hint] {
            if (self)
                self->finishUnlock(epoch, restored, hint);
        });
    });
}

void PhoneSpoofer::finishUnlock(quint64 epoch, bool restored, const HintState &hint)
{
    // An unlock overtaken by a disconnection is over.
    if (epoch != epoch_ || !session())
        return;
    unlockInFlight_ = false;
    if (restored) {
        update([&](DeviceSession &s) {
            childprocess::terminate(s.locationProcess, terminateGrace_);
            s.locationProcess.reset();
            s.isLocationLocked = false;
            s.heldAt.reset();
            s.busy = false;
            s.lockStatusText = kUnlocked;
        });
        return;
    }
    // The phone did not confirm: it may still report the spoofed location, so a held location
    // stays held (its process too, unless it has ended) and the user can try again.
    update([&](DeviceSession &s) {
        if (s.locationProcess && !s.locationProcess->isRunning())
            s.locationProcess.reset();
        s.busy = false;
        s.spoofHint = hint;
        s.lockStatusText = kUnlockFailed;
    });
}

void PhoneSpoofer::beginEpoch()
{
    ++epoch_;
    startInFlight_.reset();
    pendingMove_.reset();
    unlockInFlight_ = false;
    stepInFlight_ = false;
    reholding_ = false;
    replaying_ = false;
    pendingStep_.reset();
    pendingReplay_.reset();
}

bool PhoneSpoofer::stepTo(CLLocationCoordinate2D coordinate, bool mustArrive)
{
    const DeviceSession *s = session();
    if (unlockInFlight_ || !s || !s->detected)
        return true; // no phone to tell: the pin alone moves
    replaying_ = false;
    if (startInFlight_ || stepInFlight_) {
        if (mustArrive) {
            pendingStep_ = coordinate;
            pendingReplay_.reset();
        }
        return false;
    }
    const Phone phone {udid_, s->iosVersion, SpoofController::usesTunnelChain(s->iosVersion)};
    submitStep(phone.tunnel, coordinate,
               [phone, coordinate, shared = shared_](const AppEnvironment &environment,
                                                     const std::shared_ptr<ChildProcess> &old)
                   -> std::pair<bool, std::shared_ptr<ChildProcess>> {
                   if (!phone.tunnel) {
                       // The set command may simply set and exit; the holder of before stays until
                       // the new one is known to be there, as ending it does not take the location
                       // away.
                       const SetLocationBackend::Step step =
                           SetLocationBackend(environment, phone.udid)
                               .setOnce(coordinate.latitude, coordinate.longitude,
                                        environment.timings.stepSettle);
                       return {step.applied, step.holder};
                   }
                   // The old one is frozen, so it tells the phone nothing more, and the new one
                   // starts before the old one goes: the phone never drops back to its real
                   // position between two steps. The old one is killed, not asked to end, as an
                   // interrupted setlocation would stop the simulation the new one just set.
                   return replaceHolder(old, [&] {
                       return startOnDevice(phone, environment, *shared.chains, shared.agent,
                                            coordinate);
                   });
               });
    return true;
}

bool PhoneSpoofer::canReplay() const
{
    const DeviceSession *s = session();
    return s && s->detected && SpoofController::usesTunnelChain(s->iosVersion)
        && shared_.chains->chainFor(model_.environment(), udid_) == IosChain::PyMobileDevice3;
}

void PhoneSpoofer::replay(const QString &gpxFile)
{
    const DeviceSession *s = session();
    if (unlockInFlight_ || !s || !s->detected)
        return;
    replaying_ = true;
    if (startInFlight_ || stepInFlight_) {
        pendingReplay_ = gpxFile;
        pendingStep_.reset();
        return;
    }
    const Phone phone {udid_, s->iosVersion, true};
    submitStep(true, model_.state().pinCoordinate,
               [phone, gpxFile](const AppEnvironment &environment,
                                const std::shared_ptr<ChildProcess> &old)
                   -> std::pair<bool, std::shared_ptr<ChildProcess>> {
                   return replaceHolder(old, [&] {
                       return SimulateLocationBackend(environment)
                           .startReplay(phone.udid, phone.version, gpxFile);
                   });
               });
}

void PhoneSpoofer::submitStep(bool tunnel, CLLocationCoordinate2D at, StepStart start)
{
    const DeviceSession *s = session();
    const std::shared_ptr<ChildProcess> oldProcess = s->locationProcess;
    AppEnvironment environment = model_.environment();
    // A step cannot wait seconds to see its command hold: the next one is due in one.
    environment.timings.simulateWait = environment.timings.stepSettle;
    const MainQueue queue = model_.mainQueue();
    const quint64 epoch = epoch_;
    const QPointer<PhoneSpoofer> self(this);
    stepInFlight_ = true;

    s->work.submit([tunnel, environment, queue, epoch, self, oldProcess, start, at] {
        const milliseconds grace = environment.timings.terminateGrace;
        const ThreadLines said;
        auto [applied, holder] = start(environment, oldProcess);
        const HintState hint = applied ? HintState {} : hintFrom(said.lines(), environment);
        const auto handoff = std::make_shared<ProcessHandoff>(std::move(holder), grace);
        queue.post([self, handoff, epoch, applied = applied, tunnel, grace, hint, at] {
            const std::shared_ptr<ChildProcess> process = handoff->take();
            if (self)
                self->finishStep(epoch, applied, process, tunnel || process, at, hint);
            else
                childprocess::terminate(process, grace);
        });
    });
}

void PhoneSpoofer::finishStep(quint64 epoch, bool applied,
                              const std::shared_ptr<ChildProcess> &holder, bool replacesHolder,
                              CLLocationCoordinate2D at, const HintState &hint)
{
    if (epoch != epoch_ || !session()) {
        childprocess::terminate(holder, terminateGrace_);
        return;
    }
    stepInFlight_ = false;
    if (!applied && std::exchange(reholding_, false)) {
        endLostHold(hint);
    } else if (!applied) {
        applyFailed(hint);
        Q_EMIT stepFailed();
    } else {
        reholding_ = false;
        update([&](DeviceSession &s) {
            if (replacesHolder) {
                if (s.locationProcess != holder)
                    childprocess::terminate(s.locationProcess, terminateGrace_);
                s.locationProcess = holder;
            }
            s.isLocationLocked = true;
            s.heldAt = at;
            s.busy = false;
            s.spoofHint = {};
        });
        if (replacesHolder)
            watchHolder(holder);
    }
    // The user moved the location while the step was on its way: that move goes next.
    if (pendingMove_ && session()->isLocationLocked) {
        pendingStep_.reset();
        pendingReplay_.reset();
        submitStart(StartKind::Move, *std::exchange(pendingMove_, std::nullopt),
                    session()->locationProcess);
    } else if (pendingStep_ && applied) {
        const CLLocationCoordinate2D next = *std::exchange(pendingStep_, std::nullopt);
        stepTo(next, true);
    } else if (pendingReplay_) {
        replay(*std::exchange(pendingReplay_, std::nullopt));
    }
}

void PhoneSpoofer::endOnDisconnect()
{
    const DeviceSession *s = session();
    if (!s)
        return;
    const bool wasBusy = startInFlight_ || unlockInFlight_;
    beginEpoch();
    if (!s->isLocationLocked) {
        // A spoof or reset cut short by the unplug: its "...ing location..." line would
        // otherwise stay on screen for good.
        update([wasBusy](DeviceSession &session) {
            session.starting = false;
            session.busy = false;
            if (wasBusy)
                session.lockStatusText.clear();
        });
        return;
    }
    update([&](DeviceSession &session) {
        session.isLocationLocked = false;
        session.starting = false;
        session.busy = false;
        session.lockStatusText = kDisconnected;
        childprocess::terminate(session.locationProcess, terminateGrace_);
        session.locationProcess.reset();
        session.heldAt.reset();
    });
}

void PhoneSpoofer::watchHolder(const std::shared_ptr<ChildProcess> &process)
{
    if (!process)
        return;
    const MainQueue queue = model_.mainQueue();
    const QPointer<PhoneSpoofer> self(this);
    // Weak: the callback lives inside the process object it names.
    const std::weak_ptr<ChildProcess> weak = process;
    process->whenEnded([queue, self, weak] {
        queue.post([self, weak] {
            const std::shared_ptr<ChildProcess> ended = weak.lock();
            if (self && ended)
                self->holderEnded(ended);
        });
    });
}

void PhoneSpoofer::holderEnded(const std::shared_ptr<ChildProcess> &process)
{
    const DeviceSession *s = session();
    // Ended by us (replaced, unlocked, the phone gone), or a start is on its way to replace it.
    if (!s || s->locationProcess != process || !s->isLocationLocked || unlockInFlight_
        || startInFlight_ || stepInFlight_)
        return;
    if (!SpoofController::usesTunnelChain(s->iosVersion)) {
        // Before iOS 17 the phone keeps a location after the tool that set it has gone.
        update([](DeviceSession &session) { session.locationProcess.reset(); });
        return;
    }
    const QString program = QFileInfo(process->program()).fileName();
    const QString how = process->endedBySignal()
        ? QStringLiteral("signal ") + QString::number(process->exitStatus().value_or(0))
        : QStringLiteral("exit ") + QString::number(process->exitStatus().value_or(-1));
    holdAgain(QStringLiteral("⚠️ The location process of ") + udid_
              + QStringLiteral(" ended by itself (") + program + QStringLiteral(", ") + how
              + QStringLiteral("): holding the location again"));
}

void PhoneSpoofer::checkTunnel()
{
    const DeviceSession *s = session();
    if (!s || !s->isLocationLocked || !s->locationProcess || tunnelCheckInFlight_
        || unlockInFlight_ || startInFlight_ || stepInFlight_
        || !SpoofController::usesTunnelChain(s->iosVersion))
        return;
    const IosChain chain = shared_.chains->chainFor(model_.environment(), udid_);
    if (chain == IosChain::None)
        return;
    tunnelCheckInFlight_ = true;
    const QPointer<PhoneSpoofer> self(this);
    const quint64 epoch = epoch_;
    const std::shared_ptr<ChildProcess> holder = s->locationProcess;
    dispatch::runInBackground(
        dispatch::Priority::Background,
        [environment = model_.environment(), queue = model_.mainQueue(), udid = udid_,
         version = s->iosVersion, agent = shared_.agent, chain, self, epoch, holder] {
            const std::optional<QString> lost = chain == IosChain::GoIos
                ? GoIosBackend(environment, agent).tunnelLost(udid)
                : SimulateLocationBackend(environment).tunnelLost(udid, version);
            queue.post([self, epoch, holder, lost] {
                if (!self)
                    return;
                self->tunnelCheckInFlight_ = false;
                const DeviceSession *session = self->session();
                if (epoch != self->epoch_ || !lost || !session
                    || session->locationProcess != holder || self->startInFlight_
                    || self->stepInFlight_ || self->unlockInFlight_)
                    return;
                // The holder talks to a tunnel that is gone: it holds nothing any more.
                self->holdAgain(*lost + QStringLiteral(": holding the location again"));
            });
        });
}

void PhoneSpoofer::holdAgain(const QString &why)
{
    consoleLine(why);
    // A replaying route starts its replay again from where it is, which replaces the holder.
    Q_EMIT holderLost();
    reholding_ = true;
    if (stepInFlight_)
        return;
    update([](DeviceSession &s) {
        s.busy = true;
        s.lockStatusText = kHoldingAgain;
        s.spoofHint = {};
    });
    const DeviceSession *s = session();
    submitStart(StartKind::Rehold, s->heldAt.value_or(model_.state().pinCoordinate),
                s->locationProcess);
}

void PhoneSpoofer::endLostHold(const HintState &hint)
{
    consoleLine(QStringLiteral("❌ Could not hold the location of ") + udid_
                + QStringLiteral(" again; its lock has ended"));
    update([&](DeviceSession &s) {
        childprocess::terminate(s.locationProcess, terminateGrace_);
        s.locationProcess.reset();
        s.isLocationLocked = false;
        s.heldAt.reset();
        s.starting = false;
        s.busy = false;
        s.spoofHint = hint;
        s.lockStatusText = kHoldLost;
    });
    Q_EMIT holdLost();
}
