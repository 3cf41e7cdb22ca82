#include "route/Movement.h"

#include "route/RouteFile.h"
#include "spoof/SpoofController.h"
#include "state/PinPlacement.h"
#include "state/ScreenModel.h"

#include <GeographicLib/Geodesic.hpp>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <cmath>

namespace {

const QString kFollowing = QStringLiteral("▶ Following the route");
const QString kSteering = QStringLiteral("🕹 Steering with the keyboard");

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
    connect(&player_, &RoutePlayer::stepped, this, &Movement::step);
    connect(&player_, &RoutePlayer::finished, this, [this] {
        // A replaying device holds the last point by itself.
        if (std::exchange(replaying_, false))
            lastSkipped_ = false;
        holdHere();
    });
    connect(&player_, &RoutePlayer::planEnded, this, [this] {
        if (replaying_)
            replayPlan();
    });
    connect(&player_, &RoutePlayer::stateChanged, this, &Movement::stateChanged);
    connect(&steerTimer_, &QTimer::timeout, this, [this] {
        steerStep(static_cast<double>(steerClock_.restart()) / 1000.0
                  * model_.environment().timings.movementTimeScale);
    });
    // The user took the location over: nothing moves it on its own any more.
    connect(&spoof_, &SpoofController::heldLocationTaken, this, [this] {
        lastSkipped_ = false;
        replaying_ = false;
        steerTimer_.stop();
        player_.stop();
    });
    // The pin put somewhere else by the user (with nothing held, only the pin moves): the
    // movement gives way too.
    connect(&model_, &ScreenModel::changed, this, [this] {
        if ((isPlaying() || isSteering()) && lastPosition_
            && !(model_.state().pinCoordinate == *lastPosition_)) {
            steerTimer_.stop();
            player_.stop();
            replaying_ = false;
            lastSkipped_ = false;
            holdHere(); // the line about moving goes
        }
    });
    connect(&spoof_, &SpoofController::stepFailed, this, [this] {
        replaying_ = false;
        steerTimer_.stop();
        player_.stop();
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
    const QList<RoutePoint> plan = player_.planAhead(QDateTime::currentDateTimeUtc());
    // Two files in turn: the one being replayed is never rewritten under its reader.
    planFile_ = 1 - planFile_;
    const QString file = planFilePath(planFolder_, planFile_);
    if (plan.size() < 2 || routefile::save(file, QStringLiteral("PinDrift"), plan)) {
        replaying_ = false; // steps instead
        return;
    }
    replaying_ = true;
    lastSkipped_ = false;
    spoof_.replay(file);
}

void Movement::play(const RoutePath &path)
{
    steerTimer_.stop();
    if (player_.state() == RoutePlayer::State::Paused) {
        player_.resume();
    } else {
        player_.setPath(path);
        skipped_ = 0;
        player_.start();
    }
    if (!isPlaying())
        return;
    model_.update([](ScreenState &s) { s.lockStatusText = kFollowing; });
    if (spoof_.canReplay())
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
    speed_ = metresPerSecond;
    player_.setSpeed(metresPerSecond);
    if (replaying_ && isPlaying())
        replayPlan();
}

void Movement::holdHere()
{
    // The last step that reached the device holds the location already; one that was skipped
    // is sent once the step on its way has arrived.
    if (lastSkipped_) {
        lastSkipped_ = false;
        spoof_.stepTo(model_.state().pinCoordinate, false, true);
    }
    const ScreenState &state = model_.state();
    if (state.isLocationLocked)
        model_.update([](ScreenState &s) {
            s.lockStatusText = SpoofController::heldStatusText(s.pinCoordinate);
        });
    else if (state.lockStatusText == kFollowing || state.lockStatusText == kSteering)
        model_.update([](ScreenState &s) { s.lockStatusText.clear(); });
}

void Movement::step(CLLocationCoordinate2D position)
{
    lastPosition_ = position;
    if (replaying_ && player_.followsPlan()) {
        // The device goes along the same plan by itself: only the pin moves here.
        coordinates::placePin(model_, false, position);
        Q_EMIT moved(position, follow_);
        return;
    }
    lastSkipped_ = !spoof_.stepTo(position, false);
    skipped_ += lastSkipped_ ? 1 : 0;
    Q_EMIT moved(position, follow_);
}

void Movement::steer(QPointF direction, double mapBearing)
{
    steerBearing_ = mapBearing;
    if (direction.isNull() || !model_.state().isLocationLocked || isPlaying()) {
        if (steerTimer_.isActive()) {
            steerTimer_.stop();
            holdHere();
        }
        return;
    }
    steerDirection_ = direction;
    if (steerTimer_.isActive())
        return;
    model_.update([](ScreenState &s) { s.lockStatusText = kSteering; });
    steerClock_.start();
    steerTimer_.start();
    // A tap moves as far as one step.
    steerStep(static_cast<double>(steerTimer_.interval()) / 1000.0
              * model_.environment().timings.movementTimeScale);
}

void Movement::steerStep(double seconds)
{
    const double metres = speed_.value_or(playback::kWalk) * seconds;
    // Up on the screen is the map's bearing; the rest turns from there.
    const double azimuth =
        steerBearing_ + std::atan2(steerDirection_.x(), -steerDirection_.y()) * 180.0 / M_PI;
    CLLocationCoordinate2D next = model_.state().pinCoordinate;
    GeographicLib::Geodesic::WGS84().Direct(next.latitude, next.longitude, azimuth, metres,
                                            next.latitude, next.longitude);
    next.longitude = std::remainder(next.longitude, 360.0);
    step(next);
}
