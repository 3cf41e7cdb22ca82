#include "route/RoutePlayer.h"

#include <GeographicLib/Geodesic.hpp>
#include <GeographicLib/GeodesicLine.hpp>
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
        return into < lap ? Progress {into, false, false}
                          : Progress {2.0 * lap - into, true, false};
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

namespace {

// Closer than this, a route ends where it started: no leg to join them.
constexpr double kClosedWithin = 1.0; // metres
// A loop is planned this far ahead (route seconds), so a replaying device goes from one lap into
// the next without a new plan at every lap.
constexpr double kLoopPlanSeconds = 3600.0;

double metresBetween(CLLocationCoordinate2D a, CLLocationCoordinate2D b)
{
    double metres = 0.0;
    GeographicLib::Geodesic::WGS84().Inverse(a.latitude, a.longitude, b.latitude, b.longitude,
                                             metres);
    return metres;
}

} // namespace

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
    plan_.clear();
    join_ = path_.points().size() >= 2
        ? metresBetween(path_.points().last().coordinate, path_.points().first().coordinate)
        : 0.0;
    if (join_ < kClosedWithin)
        join_ = 0.0;
    schedule_ = path_.recordedSchedule();
    if (schedule_ && schedule_->back() <= 0.0)
        schedule_.reset(); // all at one time: no pace to follow
    // Measured in metres from now on unless the new path keeps a recorded pace.
    walker_.travelled = usesRecordedPace() ? 0.0 : std::min(done, path_.length());
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
    plan_.clear();
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
            walker_.travelled = seconds;
        } else {
            walker_.travelled = done;
        }
    }
}

void RoutePlayer::setDrift(bool drift, quint32 seed)
{
    drift_ = drift;
    random_.seed(seed ? seed : QRandomGenerator::global()->generate());
    walker_ = {walker_.travelled, 1.0, 0.0, 0.0};
    plan_.clear();
}

void RoutePlayer::setRepeat(playback::Repeat repeat)
{
    if (repeat == repeat_)
        return;
    // The traveller keeps its place on the route (not its count of laps), going forwards.
    const Progress progress = progressAt(walker_.travelled, lap(), repeat_);
    if (!progress.finished)
        walker_.travelled = std::min(progress.intoLap, routePart());
    repeat_ = repeat;
    plan_.clear();
}

double RoutePlayer::routePart() const
{
    return usesRecordedPace() ? schedule_->back() : path_.length();
}

double RoutePlayer::joinPart() const
{
    const double join = loopJoin();
    if (!usesRecordedPace() || join <= 0.0)
        return join;
    // A recorded track goes back to its start at its own average pace.
    const double seconds = schedule_->back();
    const double average = path_.length() > 0.0 ? path_.length() / seconds : kWalk;
    return join / average;
}

double RoutePlayer::distanceDone() const
{
    const Progress progress = progressAt(walker_.travelled, lap(), repeat_);
    const double route = routePart();
    if (progress.intoLap > route) // on the leg back to the start
        return path_.length() + loopJoin() * (progress.intoLap - route) / joinPart();
    return usesRecordedPace() ? distanceAtTime(path_, *schedule_, progress.intoLap)
                              : progress.intoLap;
}

std::optional<double> RoutePlayer::secondsLeft() const
{
    const Progress progress = progressAt(walker_.travelled, lap(), repeat_);
    const double left = progress.backwards ? progress.intoLap : lap() - progress.intoLap;
    return usesRecordedPace() ? left : left / metresPerSecond();
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
        walker_.travelled = 0.0;
    plan_.clear();
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
    plan_.clear();
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
    plan_.clear();
    state_ = State::Stopped;
    Q_EMIT stateChanged();
}

void RoutePlayer::tick()
{
    advance(static_cast<double>(clock_.restart()) / 1000.0 * timeScale_);
}

void RoutePlayer::step(Walker &walker, double seconds, QRandomGenerator &random) const
{
    if (drift_ && seconds > 0.0) {
        // A slow random walk: the speed stays within ±10 %, the offset within about 4 m.
        const double span = std::min(seconds, 5.0);
        walker.speedFactor = std::clamp(
            walker.speedFactor + (random.generateDouble() - 0.5) * 0.04 * span, 0.9, 1.1);
        walker.offsetNorth =
            std::clamp(walker.offsetNorth + (random.generateDouble() - 0.5) * span, -4.0, 4.0);
        walker.offsetEast =
            std::clamp(walker.offsetEast + (random.generateDouble() - 0.5) * span, -4.0, 4.0);
    }
    walker.travelled +=
        (usesRecordedPace() ? seconds : seconds * metresPerSecond()) * walker.speedFactor;
}

CLLocationCoordinate2D RoutePlayer::positionOf(const Walker &walker) const
{
    const Progress progress = progressAt(walker.travelled, lap(), repeat_);
    if (progress.finished)
        return path_.points().last().coordinate;
    CLLocationCoordinate2D at;
    const double route = routePart();
    if (progress.intoLap > route) {
        // On the straight leg from the end back to the start.
        const CLLocationCoordinate2D &from = path_.points().last().coordinate;
        const CLLocationCoordinate2D &to = path_.points().first().coordinate;
        GeographicLib::Geodesic::WGS84()
            .InverseLine(from.latitude, from.longitude, to.latitude, to.longitude)
            .Position(join_ * (progress.intoLap - route) / joinPart(), at.latitude, at.longitude);
    } else {
        at = path_.positionAt(usesRecordedPace()
                                  ? distanceAtTime(path_, *schedule_, progress.intoLap)
                                  : progress.intoLap);
    }
    if (drift_ && (walker.offsetNorth != 0.0 || walker.offsetEast != 0.0)) {
        const double metres = std::hypot(walker.offsetNorth, walker.offsetEast);
        const double azimuth = std::atan2(walker.offsetEast, walker.offsetNorth) * 180.0 / M_PI;
        GeographicLib::Geodesic::WGS84().Direct(at.latitude, at.longitude, azimuth, metres,
                                                at.latitude, at.longitude);
    }
    return at;
}

QList<RoutePoint> RoutePlayer::planAhead(const QDateTime &start, double stepSeconds)
{
    plan_.clear();
    planElapsed_ = 0.0;
    QList<RoutePoint> points;
    const double length = lap();
    if (!(length > 0.0) || !(stepSeconds > 0.0))
        return points;
    // Played once, the plan ends with the route. Repeated, it goes on through the laps (or the
    // ways out and back) for an hour or so and ends where one does.
    double end = (std::floor(walker_.travelled / length) + 1.0) * length;
    if (repeat_ != Repeat::Once) {
        const double ahead = kLoopPlanSeconds * (usesRecordedPace() ? 1.0 : metresPerSecond());
        end = std::max(end, std::ceil((walker_.travelled + ahead) / length) * length);
    }
    Walker walker = walker_;
    QRandomGenerator random = random_;
    constexpr int kMostPoints = 200000;
    for (int i = 0; i <= kMostPoints; ++i) {
        const bool last = walker.travelled >= end || i == kMostPoints;
        if (last)
            walker.travelled = std::min(walker.travelled, end);
        const double seconds = i * stepSeconds;
        plan_.push_back({seconds, walker});
        points.append({positionOf(walker), start.addMSecs(std::llround(seconds * 1000.0))});
        if (last)
            break;
        step(walker, stepSeconds, random);
    }
    random_ = random;
    return points;
}

void RoutePlayer::advance(double seconds)
{
    if (plan_.empty()) {
        step(walker_, seconds, random_);
    } else {
        planElapsed_ += seconds;
        if (planElapsed_ >= plan_.back().seconds) {
            walker_ = plan_.back().walker;
            plan_.clear();
            const bool over = progressAt(walker_.travelled, lap(), repeat_).finished;
            position_ = positionOf(walker_);
            if (!over) {
                Q_EMIT stepped(position_);
                Q_EMIT planEnded();
                return;
            }
            arrive(true);
            return;
        }
        // Between two planned points, the way a replaying device goes between them.
        const auto after =
            std::upper_bound(plan_.begin(), plan_.end(), planElapsed_,
                             [](double t, const Planned &planned) { return t < planned.seconds; });
        const Planned &from = *(after - 1);
        const Planned &to = *after;
        const double f = (planElapsed_ - from.seconds) / (to.seconds - from.seconds);
        walker_.travelled =
            from.walker.travelled + f * (to.walker.travelled - from.walker.travelled);
        walker_.offsetNorth =
            from.walker.offsetNorth + f * (to.walker.offsetNorth - from.walker.offsetNorth);
        walker_.offsetEast =
            from.walker.offsetEast + f * (to.walker.offsetEast - from.walker.offsetEast);
        walker_.speedFactor = to.walker.speedFactor;
    }
    position_ = positionOf(walker_);
    arrive(progressAt(walker_.travelled, lap(), repeat_).finished);
}

void RoutePlayer::arrive(bool atTheEnd)
{
    if (!atTheEnd) {
        Q_EMIT stepped(position_);
        return;
    }
    position_ = path_.points().last().coordinate;
    timer_.stop();
    plan_.clear();
    state_ = State::Stopped;
    Q_EMIT stepped(position_);
    Q_EMIT finished(position_);
    Q_EMIT stateChanged();
}
