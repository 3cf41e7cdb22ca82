#include "spoof/SpoofController.h"

#include "platform/Console.h"
#include "platform/Dispatch.h"
#include "spoof/GoIosBackend.h"
#include "spoof/LocationBackends.h"
#include "state/PinPlacement.h"
#include "state/ScreenModel.h"

#include <QFileInfo>
#include <QPointer>
#include <deque>
#include <mutex>
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

// Terminates a superseded process and waits, off the GUI thread, until it is gone, so the device
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

void terminateLater(const std::shared_ptr<ChildProcess> &process, const ScreenModel &model)
{
    childprocess::terminate(process, model.environment().timings.terminateGrace);
}

// The iOS 17+ chain for this operation. The console names it when it differs from the one
// named last; it says what to install every time there is none.
IosChain announcedChain(const AppEnvironment &environment, std::atomic<int> &lastNamed)
{
    const IosChain chain = chooseIosChain(environment);
    if (chain == IosChain::None)
        consoleLine(kNoIosChainLine);
    else if (lastNamed.exchange(static_cast<int>(chain)) != static_cast<int>(chain))
        consoleLine(chainAnnouncement(chain, environment));
    return chain;
}

// The phone an operation is for, as the screen knew it when the operation began.
struct Phone
{
    QString udid;
    QString version;
    bool tunnel = false; // iOS 17 and later

    static Phone of(const ScreenState &state)
    {
        return {state.udidLabelText, state.deviceiosLabelText,
                SpoofController::usesTunnelChain(state.deviceiosLabelText)};
    }
};

std::shared_ptr<ChildProcess> startOnDevice(const Phone &phone, const AppEnvironment &environment,
                                            std::atomic<int> &lastNamed,
                                            const std::shared_ptr<GoIosAgent> &agent,
                                            CLLocationCoordinate2D target)
{
    if (!phone.tunnel)
        return SetLocationBackend(environment).startSetLocation(target.latitude, target.longitude);
    switch (announcedChain(environment, lastNamed)) {
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

} // namespace

// Runs the controller's background work one job after another, on one pool thread at a time.
class SpoofController::SerialWork
{
public:
    void submit(std::function<void()> job)
    {
        {
            std::lock_guard lock(shared_->mutex);
            shared_->jobs.push_back(std::move(job));
            if (shared_->draining)
                return;
            shared_->draining = true;
        }
        dispatch::runInBackground(dispatch::Priority::UserInitiated, [shared = shared_] {
            for (;;) {
                std::function<void()> next;
                {
                    std::lock_guard lock(shared->mutex);
                    if (shared->jobs.empty()) {
                        shared->draining = false;
                        return;
                    }
                    next = std::move(shared->jobs.front());
                    shared->jobs.pop_front();
                }
                next();
            }
        });
    }

private:
    struct Shared
    {
        std::mutex mutex;
        std::deque<std::function<void()>> jobs;
        bool draining = false;
    };
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

SpoofController::SpoofController(ScreenModel &model, QObject *parent)
    : QObject(parent)
    , model_(model)
    , work_(std::make_shared<SerialWork>())
    , agent_(std::make_shared<GoIosAgent>())
    , terminateGrace_(model.environment().timings.terminateGrace)
    , announcedChain_(std::make_shared<std::atomic<int>>(-1))
{
    connect(&model_, &ScreenModel::deviceMonitorTick, this, &SpoofController::checkTunnel);
}

SpoofController::~SpoofController()
{
    endAgent();
}

void SpoofController::endAgent()
{
    agent_->end(terminateGrace_);
}

QString SpoofController::heldStatusText(CLLocationCoordinate2D coordinate)
{
    return QStringLiteral("🔒 Spoofing at ") + coordinates::formatDegrees(coordinate.latitude)
        + QStringLiteral(", ") + coordinates::formatDegrees(coordinate.longitude);
}

qint64 SpoofController::iosMajorVersion(const QString &version)
{
    const QStringList pieces = version.split(QLatin1Char('.'), Qt::SkipEmptyParts);
    const QString first = pieces.isEmpty() ? QStringLiteral("0") : pieces.first();
    // An optional sign, then digits only: no blanks, no other characters.
    const qsizetype digitsFrom =
        (first.startsWith(QLatin1Char('+')) || first.startsWith(QLatin1Char('-'))) ? 1 : 0;
    if (first.size() == digitsFrom)
        return 0;
    for (qsizetype i = digitsFrom; i < first.size(); ++i) {
        if (first[i] < QLatin1Char('0') || first[i] > QLatin1Char('9'))
            return 0;
    }
    bool ok = false;
    const qint64 value = first.toLongLong(&ok, 10);
    return ok ? value : 0;
}

bool SpoofController::usesTunnelChain(const QString &version)
{
    return iosMajorVersion(version) > 16;
}

void SpoofController::toggleLocationLock()
{
    if (model_.state().isLocationLocked)
        unlockLocation();
    else
        spoofLocation();
}

void SpoofController::spoofLocation()
{
    const std::optional<CLLocationCoordinate2D> target =
        coordinates::readCoordinateFields(model_.state());
    if (!target) {
        model_.update([](ScreenState &s) { s.lockStatusText = kInvalidCoordinatesMessage; });
        return;
    }
    model_.update([](ScreenState &s) {
        s.disabledLockButton = true;
        s.disabledDetectButtonSafety = true;
        s.lockStatusText = kSpoofing;
        s.spoofHint = {};
    });
    submitStart(StartKind::Spoof, *target, nullptr);
}

void SpoofController::moveSpoofedLocation(bool recenter, CLLocationCoordinate2D coordinate)
{
    Q_EMIT heldLocationTaken();
    coordinates::placePin(model_, recenter, coordinate);
    if (unlockInFlight_) // the location is being given back: only the pin moves
        return;
    model_.update([](ScreenState &s) {
        s.disabledLockButton = true;
        s.lockStatusText = kMoving;
        s.spoofHint = {};
    });
    if (startInFlight_ || stepInFlight_) {
        pendingMove_ = coordinate; // the newest target wins once the running start completes
        return;
    }
    submitStart(StartKind::Move, coordinate, model_.state().locationProcess);
}

void SpoofController::submitStart(StartKind kind, CLLocationCoordinate2D target,
                                  std::shared_ptr<ChildProcess> oldProcess)
{
    const Phone phone = Phone::of(model_.state());
    const AppEnvironment environment = model_.environment();
    const MainQueue queue = model_.mainQueue();
    const quint64 epoch = epoch_;
    const QPointer<SpoofController> self(this);
    startInFlight_ = kind;

    work_->submit([phone, environment, queue, epoch, self, kind, target, oldProcess, agent = agent_,
                   named = announcedChain_] {
        const milliseconds grace = environment.timings.terminateGrace;
        endAndWait(oldProcess, grace);
        const qsizetype firstLine = ConsoleLog::instance().lineCount();
        std::shared_ptr<ChildProcess> process =
            startOnDevice(phone, environment, *named, agent, target);
        // Why it failed, from what the tools said meanwhile.
        const HintState hint = process
            ? HintState {}
            : HintState::of(failure::recognise(ConsoleLog::instance().linesSince(firstLine)),
                            environment.tools);
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

void SpoofController::finishStart(quint64 epoch, StartKind kind,
                                  const std::shared_ptr<ChildProcess> &process,
                                  CLLocationCoordinate2D target, const HintState &hint)
{
    if (epoch != epoch_) {
        // The device went away or was unlocked meanwhile: this start serves nobody.
        terminateLater(process, model_);
        // Only a spoof raises the detection safety; lower it unless a newer spoof holds it.
        if (kind == StartKind::Spoof && startInFlight_ != StartKind::Spoof
            && model_.state().disabledDetectButtonSafety)
            model_.update([](ScreenState &s) { s.disabledDetectButtonSafety = false; });
        return;
    }
    startInFlight_.reset();

    if (pendingMove_) {
        // A newer target came in while this one was starting: keep what started (so it is
        // terminated by the next move) and go straight on to the newest target.
        const CLLocationCoordinate2D next = *std::exchange(pendingMove_, std::nullopt);
        model_.update([&](ScreenState &s) {
            if (kind == StartKind::Spoof)
                s.disabledDetectButtonSafety = false;
            if (s.locationProcess != process)
                terminateLater(s.locationProcess, model_);
            s.locationProcess = process;
            if (process)
                s.isLocationLocked = true;
        });
        watchHolder(process);
        submitStart(StartKind::Move, next, model_.state().locationProcess);
        return;
    }

    const bool holdingAgain = std::exchange(reholding_, false);
    if (process)
        applySpoofStarted(process, target.latitude, target.longitude);
    else if (kind == StartKind::Rehold || holdingAgain)
        endLostHold(hint);
    else
        applySpoofFailed(hint);
}

void SpoofController::applySpoofStarted(const std::shared_ptr<ChildProcess> &process,
                                        double latitude, double longitude)
{
    model_.update([&](ScreenState &s) {
        // Never leave a replaced process running.
        if (s.locationProcess != process)
            terminateLater(s.locationProcess, model_);
        s.locationProcess = process;
        s.isLocationLocked = true;
        s.disabledDetectButtonSafety = false;
        s.disabledLockButton = false;
        s.spoofHint = {};
        s.lockStatusText = heldStatusText({latitude, longitude});
    });
    watchHolder(process);
}

void SpoofController::applySpoofFailed(const HintState &hint)
{
    model_.update([&](ScreenState &s) {
        s.spoofHint = hint;
        terminateLater(s.locationProcess, model_);
        s.locationProcess.reset();
        s.disabledDetectButtonSafety = false;
        s.disabledLockButton = false;
        s.lockStatusText = kFailed;
    });
}

void SpoofController::unlockLocation()
{
    Q_EMIT heldLocationTaken();
    model_.update([](ScreenState &s) {
        s.disabledLockButton = true;
        s.lockStatusText = kUnlocking;
        s.spoofHint = {};
    });
    const Phone phone = Phone::of(model_.state());
    const std::shared_ptr<ChildProcess> held = model_.state().locationProcess;
    const AppEnvironment environment = model_.environment();
    const MainQueue queue = model_.mainQueue();
    // Whatever start is still under way is superseded by this unlock.
    beginEpoch();
    unlockInFlight_ = true;
    const quint64 epoch = epoch_;
    const QPointer<SpoofController> self(this);

    work_->submit([phone, held, environment, queue, epoch, self, agent = agent_,
                   named = announcedChain_] {
        const qsizetype firstLine = ConsoleLog::instance().lineCount();
        bool restored = false;
        if (!phone.tunnel) {
            restored = SetLocationBackend(environment).resetSetLocation();
        } else {
            switch (announcedChain(environment, *named)) {
            case IosChain::PyMobileDevice3:
                restored =
                    SimulateLocationBackend(environment).clearSimulation(phone.udid, phone.version);
                break;
            case IosChain::GoIos:
                restored = GoIosBackend(environment, agent).clearSimulation(held);
                break;
            case IosChain::None:
                break;
            }
        }
        const HintState hint = restored
            ? HintState {}
            : HintState::of(failure::recognise(ConsoleLog::instance().linesSince(firstLine)),
                            environment.tools);
        queue.post([self, epoch, restored, hint] {
            if (self)
                self->finishUnlock(epoch, restored, hint);
        });
    });
}

void SpoofController::finishUnlock(quint64 epoch, bool restored, const HintState &hint)
{
    // An unlock overtaken by a disconnection is over: the buttons stay as the disconnection
    // left them until the device is detected again.
    if (epoch != epoch_)
        return;
    unlockInFlight_ = false;
    if (restored) {
        applyUnlocked();
        return;
    }
    // The phone did not confirm: it may still report the spoofed location, so a held location
    // stays held (its process too, unless it has ended) and the user can try again.
    model_.update([&](ScreenState &s) {
        if (s.locationProcess && !s.locationProcess->isRunning())
            s.locationProcess.reset();
        s.disabledLockButton = false;
        s.spoofHint = hint;
        s.lockStatusText = kUnlockFailed;
    });
}

void SpoofController::applyUnlocked()
{
    model_.update([&](ScreenState &s) {
        terminateLater(s.locationProcess, model_);
        s.locationProcess.reset();
        s.isLocationLocked = false;
        s.disabledLockButton = false;
        s.lockStatusText = kUnlocked;
    });
}

void SpoofController::beginEpoch()
{
    ++epoch_;
    startInFlight_.reset();
    pendingMove_.reset();
    unlockInFlight_ = false;
    stepInFlight_ = false;
    reholding_ = false;
    pendingStep_.reset();
    pendingReplay_.reset();
}

bool SpoofController::stepTo(CLLocationCoordinate2D coordinate, bool recenter, bool mustArrive)
{
    coordinates::placePin(model_, recenter, coordinate);
    const ScreenState &state = model_.state();
    if (unlockInFlight_ || state.udidLabelText.isEmpty())
        return true; // no device to tell: the pin alone moves
    if (startInFlight_ || stepInFlight_) {
        if (mustArrive) {
            pendingStep_ = coordinate;
            pendingReplay_.reset();
        }
        return false;
    }
    const Phone phone = Phone::of(state);
    submitStep(phone.tunnel,
               [phone, coordinate, agent = agent_, named = announcedChain_](
                   const AppEnvironment &environment, const std::shared_ptr<ChildProcess> &old)
                   -> std::pair<bool, std::shared_ptr<ChildProcess>> {
                   if (!phone.tunnel) {
                       // The set command may simply set and exit; the holder of before stays until
                       // the new one is known to be there, as ending it does not take the location
                       // away.
                       const SetLocationBackend::Step step =
                           SetLocationBackend(environment)
                               .setOnce(coordinate.latitude, coordinate.longitude,
                                        environment.timings.stepSettle);
                       return {step.applied, step.holder};
                   }
                   // The old one is frozen, so it tells the device nothing more, and the new one
                   // starts before the old one goes: the device never drops back to its real
                   // position between two steps. The old one is killed, not asked to end, as an
                   // interrupted setlocation would stop the simulation the new one just set.
                   return replaceHolder(old, [&] {
                       return startOnDevice(phone, environment, *named, agent, coordinate);
                   });
               });
    return true;
}

bool SpoofController::canReplay() const
{
    const ScreenState &state = model_.state();
    return !state.udidLabelText.isEmpty() && usesTunnelChain(state.deviceiosLabelText)
        && chooseIosChain(model_.environment()) == IosChain::PyMobileDevice3;
}

void SpoofController::replay(const QString &gpxFile)
{
    if (unlockInFlight_ || model_.state().udidLabelText.isEmpty())
        return;
    if (startInFlight_ || stepInFlight_) {
        pendingReplay_ = gpxFile;
        pendingStep_.reset();
        return;
    }
    const Phone phone = Phone::of(model_.state());
    submitStep(true,
               [phone, gpxFile](const AppEnvironment &environment,
                                const std::shared_ptr<ChildProcess> &old)
                   -> std::pair<bool, std::shared_ptr<ChildProcess>> {
                   return replaceHolder(old, [&] {
                       return SimulateLocationBackend(environment)
                           .startReplay(phone.udid, phone.version, gpxFile);
                   });
               });
}

void SpoofController::submitStep(bool tunnel, StepStart start)
{
    const std::shared_ptr<ChildProcess> oldProcess = model_.state().locationProcess;
    AppEnvironment environment = model_.environment();
    // A step cannot wait seconds to see its command hold: the next one is due in one.
    environment.timings.simulateWait = environment.timings.stepSettle;
    const MainQueue queue = model_.mainQueue();
    const quint64 epoch = epoch_;
    const QPointer<SpoofController> self(this);
    stepInFlight_ = true;

    work_->submit([tunnel, environment, queue, epoch, self, oldProcess, start] {
        const milliseconds grace = environment.timings.terminateGrace;
        const qsizetype firstLine = ConsoleLog::instance().lineCount();
        auto [applied, holder] = start(environment, oldProcess);
        const HintState hint = applied
            ? HintState {}
            : HintState::of(failure::recognise(ConsoleLog::instance().linesSince(firstLine)),
                            environment.tools);
        const auto handoff = std::make_shared<ProcessHandoff>(std::move(holder), grace);
        queue.post([self, handoff, epoch, applied = applied, tunnel, grace, hint] {
            const std::shared_ptr<ChildProcess> process = handoff->take();
            if (self)
                self->finishStep(epoch, applied, process, tunnel || process, hint);
            else
                childprocess::terminate(process, grace);
        });
    });
}

void SpoofController::finishStep(quint64 epoch, bool applied,
                                 const std::shared_ptr<ChildProcess> &holder, bool replacesHolder,
                                 const HintState &hint)
{
    if (epoch != epoch_) {
        terminateLater(holder, model_);
        return;
    }
    stepInFlight_ = false;
    if (!applied && std::exchange(reholding_, false)) {
        endLostHold(hint);
    } else if (!applied) {
        applySpoofFailed(hint);
        Q_EMIT stepFailed();
    } else {
        reholding_ = false;
        model_.update([&](ScreenState &s) {
            if (replacesHolder) {
                if (s.locationProcess != holder)
                    terminateLater(s.locationProcess, model_);
                s.locationProcess = holder;
            }
            s.isLocationLocked = true;
            s.disabledLockButton = false;
            s.spoofHint = {};
        });
        if (replacesHolder)
            watchHolder(holder);
    }
    // The user moved the location while the step was on its way: that move goes next.
    if (pendingMove_ && model_.state().isLocationLocked) {
        pendingStep_.reset();
        pendingReplay_.reset();
        submitStart(StartKind::Move, *std::exchange(pendingMove_, std::nullopt),
                    model_.state().locationProcess);
    } else if (pendingStep_ && applied) {
        const CLLocationCoordinate2D next = *std::exchange(pendingStep_, std::nullopt);
        stepTo(next, false, true);
    } else if (pendingReplay_) {
        replay(*std::exchange(pendingReplay_, std::nullopt));
    }
}

void SpoofController::endSpoofOnDisconnect()
{
    Q_EMIT heldLocationTaken();
    const bool wasBusy = startInFlight_ || unlockInFlight_;
    beginEpoch();
    if (!model_.state().isLocationLocked) {
        // A spoof or reset cut short by the unplug: its "...ing location..." line would
        // otherwise stay on screen for good.
        if (wasBusy)
            model_.update([](ScreenState &s) { s.lockStatusText.clear(); });
        return;
    }
    model_.update([&](ScreenState &s) {
        s.isLocationLocked = false;
        s.lockStatusText = kDisconnected;
        terminateLater(s.locationProcess, model_);
        s.locationProcess.reset();
    });
}

void SpoofController::watchHolder(const std::shared_ptr<ChildProcess> &process)
{
    if (!process)
        return;
    const MainQueue queue = model_.mainQueue();
    const QPointer<SpoofController> self(this);
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

void SpoofController::holderEnded(const std::shared_ptr<ChildProcess> &process)
{
    const ScreenState &s = model_.state();
    // Ended by us (replaced, unlocked, the device gone), or a start is on its way to replace it.
    if (s.locationProcess != process || !s.isLocationLocked || unlockInFlight_ || startInFlight_
        || stepInFlight_)
        return;
    if (!usesTunnelChain(s.deviceiosLabelText)) {
        // Before iOS 17 the phone keeps a location after the tool that set it has gone.
        model_.update([](ScreenState &state) { state.locationProcess.reset(); });
        return;
    }
    const QString program = QFileInfo(process->program()).fileName();
    const QString how = process->endedBySignal()
        ? QStringLiteral("signal ") + QString::number(process->exitStatus().value_or(0))
        : QStringLiteral("exit ") + QString::number(process->exitStatus().value_or(-1));
    holdAgain(QStringLiteral("⚠️ The location process ended by itself (") + program
              + QStringLiteral(", ") + how + QStringLiteral("): holding the location again"));
}

void SpoofController::checkTunnel()
{
    const ScreenState &s = model_.state();
    if (!s.isLocationLocked || !s.locationProcess || tunnelCheckInFlight_ || unlockInFlight_
        || startInFlight_ || stepInFlight_ || !usesTunnelChain(s.deviceiosLabelText))
        return;
    const IosChain chain = chooseIosChain(model_.environment());
    if (chain == IosChain::None)
        return;
    tunnelCheckInFlight_ = true;
    const QPointer<SpoofController> self(this);
    const quint64 epoch = epoch_;
    const std::shared_ptr<ChildProcess> holder = s.locationProcess;
    dispatch::runInBackground(
        dispatch::Priority::Background,
        [environment = model_.environment(), queue = model_.mainQueue(), udid = s.udidLabelText,
         version = s.deviceiosLabelText, agent = agent_, chain, self, epoch, holder] {
            const std::optional<QString> lost = chain == IosChain::GoIos
                ? GoIosBackend(environment, agent).tunnelLost(udid)
                : SimulateLocationBackend(environment).tunnelLost(udid, version);
            queue.post([self, epoch, holder, lost] {
                if (!self)
                    return;
                self->tunnelCheckInFlight_ = false;
                if (epoch != self->epoch_ || !lost || self->model_.state().locationProcess != holder
                    || self->startInFlight_ || self->stepInFlight_ || self->unlockInFlight_)
                    return;
                // The holder talks to a tunnel that is gone: it holds nothing any more.
                self->holdAgain(*lost + QStringLiteral(": holding the location again"));
            });
        });
}

void SpoofController::holdAgain(const QString &why)
{
    consoleLine(why);
    // A replaying route starts its replay again from where it is, which replaces the holder.
    Q_EMIT holderLost();
    if (stepInFlight_) {
        reholding_ = true;
        return;
    }
    reholding_ = true;
    model_.update([](ScreenState &s) {
        s.disabledLockButton = true;
        s.lockStatusText = kHoldingAgain;
        s.spoofHint = {};
    });
    submitStart(StartKind::Rehold, model_.state().pinCoordinate, model_.state().locationProcess);
}

void SpoofController::endLostHold(const HintState &hint)
{
    Q_EMIT heldLocationTaken();
    consoleLine(QStringLiteral("❌ Could not hold the location again; the lock has ended"));
    model_.update([&](ScreenState &s) {
        terminateLater(s.locationProcess, model_);
        s.locationProcess.reset();
        s.isLocationLocked = false;
        s.disabledDetectButtonSafety = false;
        s.disabledLockButton = false;
        s.spoofHint = hint;
        s.lockStatusText = kHoldLost;
    });
}
