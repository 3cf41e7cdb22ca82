#include "route/RoutePlayer.h"

#include <GeographicLib/Geodesic.hpp>
#include <algorithm>
#include <cmath>

namespace playback {

Progress progressAt(double travelled, double lap, Repeat repeat)
{
    if (!(lap > 0.0) || !(travelled > 0.0))
        return {0.0, false, repeat == Repeat::Once && !(lap > 0.0)};
    switch (repeat) {
    case Repeat::Once:
        return travelled >= lap ? Progress {lap, false, true} : Progress {travelled, false, false};
    case Repeat::Loop:
        return {std::fmod(travelled, lap), false, false};
    case Repeat::BackAndForth: {
        const double into = std::fmod(travelled, 2.0 * lap);
        return into < lap ? Progress {into, false, false} : Progress {2.0 * lap - into, true, false};
    }
    }
    return {};
}

double distanceAtTime(const RoutePath &path, const std::vector<double> &schedule, double seconds)
{
    if (schedule.empty() || seconds <= schedule.front())
        return 0.0;
    if (seconds >= schedule.back())
        return path.length();
    const auto after = std::upper_bound(schedule.begin(), schedule.end(), seconds);
    const auto index = static_cast<qsizetype>(after - schedule.begin());
    const double from = schedule[static_cast<size_t>(index - 1)];
    const double to = schedule[static_cast<size_t>(index)];
    const double a = path.distanceTo(index - 1);
    const double b = path.distanceTo(index);
    return a + (b - a) * (seconds - from) / (to - from);
}

} // namespace playback

using namespace playback;

RoutePlayer::RoutePlayer(std::chrono::milliseconds stepInterval, double timeScale, QObject *parent)
    : QObject(parent)
    , timeScale_(timeScale)
{
    timer_.setInterval(stepInterval);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &RoutePlayer::tick);
}

void RoutePlayer::setPath(const RoutePath &path)
{
    const double done = distanceDone();
    path_ = path;
    schedule_ = path_.recordedSchedule();
    if (schedule_ && schedule_->back() <= 0.0)
        schedule_.reset(); // all at one time: no pace to follow
    // Measured in metres from now on unless the new path keeps a recorded pace.
    travelled_ = usesRecordedPace() ? 0.0 : std::min(done, path_.length());
    if (state_ != State::Stopped && path_.points().size() < 2)
        stop();
}

void RoutePlayer::setSpeed(std::optional<double> metresPerSecond)
{
    if (metresPerSecond == speed_)
        return;
    // The traveller keeps its place when the measure changes between time and distance.
    const double done = distanceDone();
    const bool wasRecorded = usesRecordedPace();
    speed_ = metresPerSecond;
    if (wasRecorded != usesRecordedPace()) {
        if (usesRecordedPace()) {
            // The time at which the track passed this distance.
            double seconds = 0.0;
            for (qsizetype i = 1; i < path_.points().size(); ++i) {
                if (path_.distanceTo(i) >= done) {
                    const double a = path_.distanceTo(i - 1), b = path_.distanceTo(i);
                    const double t0 = (*schedule_)[static_cast<size_t>(i - 1)];
                    const double t1 = (*schedule_)[static_cast<size_t>(i)];
                    seconds = b > a ? t0 + (t1 - t0) * (done - a) / (b - a) : t0;
                    break;
                }
            }
            travelled_ = seconds;
        } else {
            travelled_ = done;
        }
    }
}

void RoutePlayer::setDrift(bool drift, quint32 seed)
{
    drift_ = drift;
    random_.seed(seed ? seed : QRandomGenerator::global()->generate());
    speedFactor_ = 1.0;
    offsetNorth_ = offsetEast_ = 0.0;
}

double RoutePlayer::lap() const
{
    return usesRecordedPace() ? schedule_->back() : path_.length();
}

double RoutePlayer::distanceDone() const
{
    const Progress progress = progressAt(travelled_, lap(), repeat_);
    return usesRecordedPace() ? distanceAtTime(path_, *schedule_, progress.intoLap)
                              : progress.intoLap;
}

std::optional<double> RoutePlayer::secondsLeft() const
{
    const Progress progress = progressAt(travelled_, lap(), repeat_);
    if (usesRecordedPace())
        return progress.backwards ? progress.intoLap : lap() - progress.intoLap;
    const double left = progress.backwards ? progress.intoLap : path_.length() - progress.intoLap;
    return left / metresPerSecond();
}

void RoutePlayer::start()
{
    if (path_.points().size() < 2)
        return;
    if (state_ == State::Paused) {
        resume();
        return;
    }
    if (state_ == State::Stopped)
        travelled_ = 0.0;
    state_ = State::Playing;
    clock_.start();
    timer_.start();
    advance(0.0);
    Q_EMIT stateChanged();
}

void RoutePlayer::pause()
{
    if (state_ != State::Playing)
        return;
    advance(static_cast<double>(clock_.restart()) / 1000.0 * timeScale_);
    timer_.stop();
    state_ = State::Paused;
    Q_EMIT stateChanged();
}

void RoutePlayer::resume()
{
    if (state_ != State::Paused)
        return;
    state_ = State::Playing;
    clock_.start();
    timer_.start();
    Q_EMIT stateChanged();
}

void RoutePlayer::stop()
{
    if (state_ == State::Stopped)
        return;
    timer_.stop();
    state_ = State::Stopped;
    Q_EMIT stateChanged();
}

void RoutePlayer::tick()
{
    advance(static_cast<double>(clock_.restart()) / 1000.0 * timeScale_);
}

void RoutePlayer::advance(double seconds)
{
    if (drift_ && seconds > 0.0) {
        // A slow random walk: the speed stays within ±10 %, the offset within about 4 m.
        const double step = std::min(seconds, 5.0);
        speedFactor_ = std::clamp(speedFactor_ + (random_.generateDouble() - 0.5) * 0.04 * step,
                                  0.9, 1.1);
        offsetNorth_ = std::clamp(offsetNorth_ + (random_.generateDouble() - 0.5) * step, -4.0, 4.0);
        offsetEast_ = std::clamp(offsetEast_ + (random_.generateDouble() - 0.5) * step, -4.0, 4.0);
    }
    travelled_ += usesRecordedPace() ? seconds * speedFactor_
                                     : seconds * metresPerSecond() * speedFactor_;
    const Progress progress = progressAt(travelled_, lap(), repeat_);
    position_ = path_.positionAt(distanceDone());
    if (drift_ && (offsetNorth_ != 0.0 || offsetEast_ != 0.0)) {
        const double metres = std::hypot(offsetNorth_, offsetEast_);
        const double azimuth = std::atan2(offsetEast_, offsetNorth_) * 180.0 / M_PI;
        GeographicLib::Geodesic::WGS84().Direct(position_.latitude, position_.longitude, azimuth,
                                                metres, position_.latitude, position_.longitude);
    }
    if (progress.finished) {
        position_ = path_.points().last().coordinate;
        timer_.stop();
        state_ = State::Stopped;
        Q_EMIT stepped(position_);
        Q_EMIT finished(position_);
        Q_EMIT stateChanged();
        return;
    }
    Q_EMIT stepped(position_);
}
