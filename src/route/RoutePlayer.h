#pragma once

#include "route/RoutePath.h"

#include <QElapsedTimer>
#include <QObject>
#include <QRandomGenerator>
#include <QTimer>
#include <chrono>
#include <optional>

namespace playback {

enum class Repeat { Once, Loop, BackAndForth };

// Speeds in metres per second.
inline constexpr double kWalk = 5.0 / 3.6;
inline constexpr double kCycle = 15.0 / 3.6;
inline constexpr double kDrive = 50.0 / 3.6;

// Where a traveller stands after `travelled` (metres, or seconds of a recorded track) on a lap
// of `lap`: how far into the lap, which way it goes, and whether the playback is over.
struct Progress
{
    double intoLap = 0.0;
    bool backwards = false;
    bool finished = false;
};
Progress progressAt(double travelled, double lap, Repeat repeat);

// The distance along the path at `seconds` into a recorded schedule (one time per point).
double distanceAtTime(const RoutePath &path, const std::vector<double> &schedule, double seconds);

} // namespace playback

// Moves a traveller along a route on the GUI thread: one step per interval (about a second),
// each at the position the chosen speed, or a track's recorded pace, has reached by then.
// `timeScale` route seconds pass per wall-clock second (1 in use; more in tests and the demo).
// With drift, the speed wanders by about ±10 % and the position by a few metres, so that the
// track does not look machine-drawn.
class RoutePlayer : public QObject
{
    Q_OBJECT
public:
    enum class State { Stopped, Playing, Paused };

    explicit RoutePlayer(std::chrono::milliseconds stepInterval, double timeScale = 1.0,
                         QObject *parent = nullptr);

    // A new path keeps the distance done (clamped to it) while playing.
    void setPath(const RoutePath &path);
    const RoutePath &path() const { return path_; }
    // Metres per second; nothing: the track's recorded pace when it has one, else walking.
    void setSpeed(std::optional<double> metresPerSecond);
    // Loop joins the end to the start along a straight leg when the route is not closed.
    void setRepeat(playback::Repeat repeat);
    void setDrift(bool drift, quint32 seed = 0);

    State state() const { return state_; }
    // From the start, when stopped; from the current position otherwise.
    void start();
    void pause();
    void resume();
    // Ends the playback without a last step.
    void stop();

    // The rest of the current lap (of the route, or of one way there and back), one point
    // every `stepSeconds` of route time, times counted from `start`: where the traveller will
    // be, drift and all. From then on the player follows that plan exactly, so a device that
    // replays it and the pin keep the same schedule; a change of path or speed drops it.
    QList<RoutePoint> planAhead(const QDateTime &start, double stepSeconds = 1.0);
    bool followsPlan() const { return !plan_.empty(); }

    CLLocationCoordinate2D position() const { return position_; }
    // Along the path, in metres, on the current lap (with the leg back to the start, looping).
    double distanceDone() const;
    double distanceLeft() const { return lapLength() - distanceDone(); }
    // The path, and the leg from its end back to its start when it loops and is not closed.
    double lapLength() const { return path_.length() + loopJoin(); }
    // To the end of the current lap at the current speed.
    std::optional<double> secondsLeft() const;
    bool usesRecordedPace() const { return !speed_ && schedule_.has_value(); }

Q_SIGNALS:
    // Each step, where the traveller now is.
    void stepped(CLLocationCoordinate2D position);
    // A playback that goes once reached the end; `last` is the end point.
    void finished(CLLocationCoordinate2D last);
    void stateChanged();
    // A plan came to its end and the playback goes on (another lap): time for the next.
    void planEnded();

private:
    // Where the traveller is: how far it has come and how its drift stands.
    struct Walker
    {
        double travelled = 0.0; // metres, or seconds of the recorded pace
        double speedFactor = 1.0;
        double offsetNorth = 0.0; // metres
        double offsetEast = 0.0;
    };
    struct Planned
    {
        double seconds;
        Walker walker;
    };

    void tick();
    void advance(double seconds);
    void step(Walker &walker, double seconds, QRandomGenerator &random) const;
    CLLocationCoordinate2D positionOf(const Walker &walker) const;
    void arrive(bool atTheEnd);
    // A lap in the walker's measure (metres, or seconds of the recorded pace): the route's own
    // part, then the leg back to the start.
    double lap() const { return routePart() + joinPart(); }
    double routePart() const;
    double joinPart() const;
    double loopJoin() const { return repeat_ == playback::Repeat::Loop ? join_ : 0.0; }
    double metresPerSecond() const { return speed_.value_or(playback::kWalk); }

    RoutePath path_;
    double join_ = 0.0; // metres from the last point back to the first; 0 when closed
    std::optional<std::vector<double>> schedule_;
    std::optional<double> speed_;
    playback::Repeat repeat_ = playback::Repeat::Once;
    bool drift_ = false;
    QRandomGenerator random_;
    Walker walker_;
    std::vector<Planned> plan_;
    double planElapsed_ = 0.0; // route seconds into the plan
    State state_ = State::Stopped;
    CLLocationCoordinate2D position_;
    double timeScale_;
    QTimer timer_;
    QElapsedTimer clock_;
};
