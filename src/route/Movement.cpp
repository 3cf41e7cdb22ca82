#include "route/Movement.h"

#include "platform/Dispatch.h"
#include "route/RouteFile.h"
#include "spoof/SpoofController.h"
#include "state/PinPlacement.h"
#include "state/ScreenModel.h"

#include <GeographicLib/Geodesic.hpp>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <cmath>

namespace {

const QString kFollowing = QStringLiteral("▶ Following the route");
const QString kPreviewing =
    QStringLiteral("▶ Preview: no iPhone connected, only the pin moves along the route");
const QString kSteering = QStringLiteral("🕹 Steering with the keyboard");
// A key released and pressed again within this is held all along: what a keyboard's repeat
// looks like when the windowing system does not mark it. It only delays telling the device
// where the keys let go; the distance is counted to the moment of release.
constexpr std::chrono::milliseconds kReleaseGrace {150};

QString planFilePath(const QString &folder, int which)
{
    return QDir(folder).filePath(QStringLiteral("pindrift-route-%1-%2.gpx")
                                     .arg(QCoreApplication::applicationPid())
                                     .arg(which));
}

} // namespace

Movement::Movement(ScreenModel &model, SpoofController &spoof, QObject *parent)
    : QObject(parent)
    , model_(model)
    , spoof_(spoof)
    , player_(model.environment().timings.movementStep,
              model.environment().timings.movementTimeScale)
    , planFolder_(model.environment().temporaryFolderPath())
{
    steerTimer_.setInterval(model.environment().timings.movementStep);
    releaseGrace_.setSingleShot(true);
    releaseGrace_.setInterval(kReleaseGrace);
    connect(&releaseGrace_, &QTimer::timeout, this, [this] {
        steerStep(false, releasedAfter_); // to where the keys let go
        steerTimer_.stop();
        holdHere();
    });
    connect(&player_, &RoutePlayer::stepped, this, &Movement::step);
    connect(&player_, &RoutePlayer::finished, this, [this] {
        // A replaying phone holds the plan's last point by itself, as the file has it (nine
        // decimals); it is told the route's own end, as the others are.
        lastSkipped_ = lastSkipped_ || std::exchange(replaying_, false);
        holdHere();
    });
    connect(&player_, &RoutePlayer::planEnded, this, [this] {
        if (replaying_)
            replayPlan();
    });
    connect(&player_, &RoutePlayer::stateChanged, this, &Movement::stateChanged);
    // Once a step while a key is down: the device hears of the way gone since the last.
    connect(&steerTimer_, &QTimer::timeout, this, [this] {
        if (steerHeld_)
            steerStep(true);
    });
    // The user took the location over: nothing moves it on its own any more.
    connect(&spoof_, &SpoofController::heldLocationTaken, this, [this] {
        lastSkipped_ = false;
        replaying_ = false;
        endSteering();
        player_.stop();
        model_.setMovement(QString());
    });
    // The pin put somewhere else by the user (with nothing held, only the pin moves): the
    // movement gives way too.
    connect(&model_, &ScreenModel::changed, this, [this] {
        if ((isPlaying() || isSteering()) && lastPosition_
            && !(model_.state().pinCoordinate == *lastPosition_)) {
            endSteering();
            player_.stop();
            replaying_ = false;
            lastSkipped_ = false;
            holdHere(); // the line about moving goes
            return;
        }
        // A preview is for the pin alone: a location the user now holds ends it where it is.
        if (isPreview() && model_.state().isLocationLocked)
            stop();
    });
    // What held a phone's location went away: a replay starts again from where it is.
    connect(&spoof_, &SpoofController::holderLost, this, [this] {
        if (replaying_ && isPlaying())
            replayPlan();
    });
    connect(&spoof_, &SpoofController::stepFailed, this, [this] {
        replaying_ = false;
        endSteering();
        player_.stop();
        model_.setMovement(QString());
    });
}

Movement::~Movement()
{
    removePlanFiles();
}

void Movement::removePlanFiles()
{
    for (int which : {0, 1})
        QFile::remove(planFilePath(planFolder_, which));
}

void Movement::replayPlan()
{
    QList<RoutePoint> plan = player_.planAhead(QDateTime::currentDateTimeUtc());
    if (plan.size() < 2) {
        replaying_ = false; // steps instead
        return;
    }
    // Two files in turn: the one being replayed is never rewritten under its reader.
    planFile_ = 1 - planFile_;
    const QString file = planFilePath(planFolder_, planFile_);
    replaying_ = true;
    lastSkipped_ = false;
    // The file is written off the GUI thread (an hour ahead is a large file, and the save waits
    // for the disk); the phones go on by steps until it is there. Only the newest plan is
    // handed on.
    const quint64 ticket = ++planTicket_;
    const MainQueue queue = model_.mainQueue();
    const QPointer<Movement> self(this);
    dispatch::runInBackground(
        dispatch::Priority::UserInitiated, [plan = std::move(plan), file, queue, self, ticket] {
            const bool written = !routefile::save(file, QStringLiteral("PinDrift"), plan);
            queue.post([self, file, written, ticket] {
                if (!self || ticket != self->planTicket_ || !self->replaying_ || !self->isPlaying())
                    return;
                if (!written) {
                    self->replaying_ = false;
                    return;
                }
                self->spoof_.replay(file);
            });
        });
}

void Movement::play(const RoutePath &path)
{
    endSteering();
    if (player_.state() == RoutePlayer::State::Paused) {
        player_.resume();
    } else {
        // With no phone to tell, a playback is a preview on the map, and stays one: a phone
        // plugged in meanwhile is not spoofed unasked.
        preview_ = std::none_of(model_.selectedPhones().begin(), model_.selectedPhones().end(),
                                [this](const QString &udid) {
                                    const DeviceSession *phone = model_.session(udid);
                                    return phone && phone->detected;
                                });
        player_.setPath(path);
        skipped_ = 0;
        planComing_ = !preview_ && spoof_.canReplay();
        player_.start();
        planComing_ = false;
    }
    if (!isPlaying())
        return;
    model_.setMovement(preview_ ? kPreviewing : kFollowing);
    if (!preview_ && spoof_.canReplay())
        replayPlan();
}

void Movement::pause()
{
    if (!isPlaying())
        return;
    player_.pause();
    // A replay would go on without us: the usual hold takes over where the pin is.
    lastSkipped_ = lastSkipped_ || std::exchange(replaying_, false);
    holdHere();
}

void Movement::stop()
{
    if (player_.state() == RoutePlayer::State::Stopped)
        return;
    player_.stop();
    lastSkipped_ = lastSkipped_ || std::exchange(replaying_, false);
    holdHere();
}

void Movement::halt()
{
    releaseGrace_.stop();
    steerHeld_ = false;
    steerTimer_.stop();
    player_.stop();
    replaying_ = false;
}

void Movement::changePath(const RoutePath &path)
{
    if (player_.state() == RoutePlayer::State::Stopped)
        return;
    player_.setPath(path);
    if (player_.state() == RoutePlayer::State::Stopped) {
        // Too little route left to go on: it rests where it is.
        lastSkipped_ = lastSkipped_ || std::exchange(replaying_, false);
        holdHere();
    } else if (replaying_ && isPlaying()) {
        replayPlan(); // the device's plan no longer fits
    }
}

void Movement::setSpeed(std::optional<double> metresPerSecond)
{
    if (steerHeld_)
        steerStep(false); // the way so far at the old pace
    speed_ = metresPerSecond;
    player_.setSpeed(metresPerSecond);
    if (replaying_ && isPlaying())
        replayPlan();
}

void Movement::setRepeat(playback::Repeat repeat)
{
    player_.setRepeat(repeat);
    if (replaying_ && isPlaying())
        replayPlan(); // the device's plan went on the old way
}

void Movement::holdHere()
{
    // The last step that reached the device holds the location already; one that was skipped
    // is sent once the step on its way has arrived.
    if (lastSkipped_) {
        lastSkipped_ = false;
        spoof_.stepTo(model_.state().pinCoordinate, false, true);
    }
    model_.setMovement(QString());
}

void Movement::step(CLLocationCoordinate2D position)
{
    lastPosition_ = position;
    if (preview_) {
        coordinates::placePin(model_, false, position);
        Q_EMIT moved(position, follow_);
        return;
    }
    if (std::exchange(planComing_, false)) {
        // The start of a route that some phones replay: they begin with their plan, on time,
        // rather than after a step of their own.
        const bool taken =
            spoof_.stepTo(position, false, false, SpoofController::Replayers::LeftForTheirPlan);
        skipped_ += taken ? 0 : 1;
        // A route over as soon as it starts has no plan to come: where it rests is told to all.
        lastSkipped_ = !taken || !isPlaying();
        Q_EMIT moved(position, follow_);
        return;
    }
    if (replaying_ && player_.followsPlan()) {
        // The phones that replay go along the same plan by themselves; the others are told.
        lastSkipped_ =
            !spoof_.stepTo(position, false, false, SpoofController::Replayers::LeftWhileReplaying);
        skipped_ += lastSkipped_ ? 1 : 0;
        Q_EMIT moved(position, follow_);
        return;
    }
    lastSkipped_ = !spoof_.stepTo(position, false);
    skipped_ += lastSkipped_ ? 1 : 0;
    Q_EMIT moved(position, follow_);
}

void Movement::steer(QPointF direction, double mapBearing)
{
    const bool go = !direction.isNull() && model_.state().isLocationLocked && !isPlaying();
    if (!go) {
        // Released, perhaps only for a moment: the way is counted to here if it stays so.
        if (std::exchange(steerHeld_, false)) {
            releasedAfter_ = steerClock_.elapsed();
            releaseGrace_.start();
        }
        return;
    }
    // Another key joined or left: the way so far counts in the direction it was gone in.
    if (steerHeld_ && (direction != steerDirection_ || mapBearing != steerBearing_))
        steerStep(false);
    steerDirection_ = direction;
    steerBearing_ = mapBearing;
    if (std::exchange(steerHeld_, true))
        return;
    if (releaseGrace_.isActive()) {
        releaseGrace_.stop(); // the key repeating: it was down all along
        return;
    }
    steerClock_.start();
    steerAt_ = model_.state().pinCoordinate;
    preview_ = false;
    model_.setMovement(kSteering);
    steerTimer_.start();
}

void Movement::endSteering()
{
    releaseGrace_.stop();
    steerHeld_ = false;
    steerTimer_.stop();
}

void Movement::steerStep(bool tellDevice, std::optional<qint64> milliseconds)
{
    const qint64 gone = milliseconds ? *milliseconds : steerClock_.restart();
    const double seconds =
        static_cast<double>(gone) / 1000.0 * model_.environment().timings.movementTimeScale;
    const double metres = speed_.value_or(playback::kWalk) * seconds;
    // Up on the screen is the map's bearing; the rest turns from there.
    const double azimuth =
        steerBearing_ + std::atan2(steerDirection_.x(), -steerDirection_.y()) * 180.0 / M_PI;
    GeographicLib::Geodesic::WGS84().Direct(steerAt_.latitude, steerAt_.longitude, azimuth, metres,
                                            steerAt_.latitude, steerAt_.longitude);
    steerAt_.longitude = std::remainder(steerAt_.longitude, 360.0);
    // The pin shows six decimals; the way is counted on the exact point.
    const CLLocationCoordinate2D shown = coordinates::rounded(steerAt_);
    if (tellDevice) {
        step(shown);
        return;
    }
    lastPosition_ = shown;
    lastSkipped_ = true; // the device is told at the next step, or where the keys let go
    coordinates::placePin(model_, false, shown);
    Q_EMIT moved(shown, follow_);
}
