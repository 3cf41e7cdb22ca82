#include "spoof/SpoofController.h"

#include "spoof/GoIosBackend.h"
#include "spoof/IosChains.h"
#include "spoof/PhoneSpoofer.h"
#include "state/PinPlacement.h"
#include "state/ScreenModel.h"

SpoofController::SpoofController(ScreenModel &model, QObject *parent)
    : QObject(parent)
    , model_(model)
    , agent_(std::make_shared<GoIosAgent>())
    , chains_(std::make_shared<IosChains>())
    , terminateGrace_(model.environment().timings.terminateGrace)
{
    // Each poll tick, every held phone looks at the agent or tunneld it goes through.
    connect(&model_, &ScreenModel::deviceMonitorTick, this, [this] {
        for (const auto &[udid, spoofer] : phones_)
            spoofer->checkTunnel();
    });
}

SpoofController::~SpoofController()
{
    phones_.clear();
    endAgent();
}

void SpoofController::endAgent()
{
    agent_->end(terminateGrace_);
}

PhoneSpoofer &SpoofController::phone(const QString &udid)
{
    auto found = phones_.find(udid);
    if (found == phones_.end()) {
        auto spoofer = std::make_unique<PhoneSpoofer>(
            model_, udid, PhoneSpoofer::Shared {agent_, chains_}, this);
        // A movement stops on a failed step only when no other selected phone goes along.
        connect(spoofer.get(), &PhoneSpoofer::stepFailed, this, [this, udid] {
            if (!anotherHolds(udid))
                Q_EMIT stepFailed();
        });
        connect(spoofer.get(), &PhoneSpoofer::holderLost, this, &SpoofController::holderLost);
        connect(spoofer.get(), &PhoneSpoofer::holdLost, this, [this] {
            // A movement stops when no selected phone is held any more.
            for (const QString &selected : selectedPhones())
                if (model_.session(selected)->isLocationLocked)
                    return;
            Q_EMIT heldLocationTaken();
        });
        found = phones_.emplace(udid, std::move(spoofer)).first;
    }
    return *found->second;
}

QStringList SpoofController::selectedPhones() const
{
    QStringList phones;
    for (const QString &udid : model_.selectedPhones()) {
        const DeviceSession *session = model_.session(udid);
        if (session && session->detected)
            phones.append(udid);
    }
    return phones;
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
    const QStringList phones = selectedPhones();
    if (!target) {
        for (const QString &udid : phones)
            phone(udid).say(kInvalidCoordinatesMessage);
        if (phones.isEmpty())
            model_.update([](ScreenState &s) { s.lockStatusText = kInvalidCoordinatesMessage; });
        return;
    }
    for (const QString &udid : phones) {
        const DeviceSession *session = model_.session(udid);
        if (session->ready() && !session->isLocationLocked)
            phone(udid).spoof(*target);
    }
}

void SpoofController::unlockLocation()
{
    Q_EMIT heldLocationTaken();
    // Also under way: an unlock supersedes a spoof or a move that has not finished.
    for (const QString &udid : selectedPhones())
        phone(udid).unlock();
}

void SpoofController::moveSpoofedLocation(bool recenter, CLLocationCoordinate2D coordinate)
{
    Q_EMIT heldLocationTaken();
    coordinates::placePin(model_, recenter, coordinate);
    for (const QString &udid : selectedPhones()) {
        if (model_.session(udid)->isLocationLocked)
            phone(udid).move(coordinate);
    }
}

bool SpoofController::anotherHolds(const QString &udid) const
{
    const QStringList phones = selectedPhones();
    return std::any_of(phones.begin(), phones.end(), [&](const QString &other) {
        return other != udid && model_.session(other)->isLocationLocked;
    });
}

void SpoofController::endSpoofOnDisconnect(const QString &udid)
{
    // What moves the location goes on for the other selected phones that are held.
    if (!anotherHolds(udid))
        Q_EMIT heldLocationTaken();
    const auto found = phones_.find(udid);
    if (found == phones_.end())
        return;
    found->second->endOnDisconnect();
    phones_.erase(found);
}

bool SpoofController::stepTo(CLLocationCoordinate2D coordinate, bool recenter, bool mustArrive,
                             Replayers leave)
{
    coordinates::placePin(model_, recenter, coordinate);
    bool taken = true;
    for (const QString &udid : selectedPhones()) {
        PhoneSpoofer &spoofer = phone(udid);
        // It goes along the same plan by itself; or its plan comes so soon that the step would
        // only make its replay start late.
        if ((leave == Replayers::LeftWhileReplaying && spoofer.isReplaying())
            || (leave == Replayers::LeftForTheirPlan && spoofer.canReplay()))
            continue;
        taken = spoofer.stepTo(coordinate, mustArrive) && taken;
    }
    return taken;
}

bool SpoofController::isStepping() const
{
    for (const auto &[udid, spoofer] : phones_)
        if (spoofer->isStepping())
            return true;
    return false;
}

bool SpoofController::canReplay() const
{
    const QStringList phones = selectedPhones();
    for (const QString &udid : phones) {
        const auto found = phones_.find(udid);
        if (found != phones_.end() ? found->second->canReplay()
                                   : const_cast<SpoofController *>(this)->phone(udid).canReplay())
            return true;
    }
    return false;
}

void SpoofController::replay(const QString &gpxFile)
{
    for (const QString &udid : selectedPhones()) {
        PhoneSpoofer &spoofer = phone(udid);
        if (spoofer.canReplay())
            spoofer.replay(gpxFile);
    }
}

void SpoofController::preferChain(const QString &udid, std::optional<IosChain> chain)
{
    chains_->prefer(udid, chain);
}

std::optional<IosChain> SpoofController::preferredChain(const QString &udid) const
{
    return chains_->preferred(udid);
}

IosChain SpoofController::chainFor(const QString &udid) const
{
    return chains_->chainFor(model_.environment(), udid);
}
