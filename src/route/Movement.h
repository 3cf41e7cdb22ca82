#pragma once

#include "route/RoutePlayer.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointF>
#include <QTimer>

class ScreenModel;
class SpoofController;

// A location that moves by itself: a route played, or the arrow keys steering. Each step goes
// to the device through the spoof controller, which skips a step while the one before is still
// on its way. Whatever the user does to the held location (a move, Unlock, Reset, the device
// going away) stops it; a stopped or finished movement leaves the device held at its last point.
class Movement : public QObject
{
    Q_OBJECT
public:
    Movement(ScreenModel &model, SpoofController &spoof, QObject *parent = nullptr);
    ~Movement() override;

    RoutePlayer &player() { return player_; }
    const RoutePlayer &player() const { return player_; }
    bool isPlaying() const { return player_.state() == RoutePlayer::State::Playing; }

    void play(const RoutePath &path);
    void pause();
    void stop();
    // The window is closing: everything stops, nothing more is said.
    void halt();
    // A route edit while playing: the traveller goes on from where it is along the new path.
    void changePath(const RoutePath &path);

    // Metres per second for playback and steering; nothing: a track's own pace, else walking.
    void setSpeed(std::optional<double> metresPerSecond);
    void setRepeat(playback::Repeat repeat);
    // The map follows the traveller.
    void setFollow(bool follow) { follow_ = follow; }
    // The playback moves only the pin: there was no phone when it started.
    bool isPreview() const { return preview_ && player_.state() != RoutePlayer::State::Stopped; }

    // The direction the steering keys point on screen (x right, y down; none: released) and
    // how the map is turned (degrees clockwise from north to the top of the view). The location
    // moves at the pace for as long as a key is down, on the playback clock, however often the
    // keyboard repeats the key.
    void steer(QPointF direction, double mapBearing);
    bool isSteering() const { return steerTimer_.isActive(); }

    // Steps skipped because the one before was still on its way.
    int skippedSteps() const { return skipped_; }

Q_SIGNALS:
    // The traveller moved; `follow` says whether the map should keep it in view.
    void moved(CLLocationCoordinate2D position, bool follow);
    void stateChanged();

private:
    void step(CLLocationCoordinate2D position);
    // The way gone since the last count (or in the time given), at the pace; to the device
    // too, or to the pin alone.
    void steerStep(bool tellDevice, std::optional<qint64> milliseconds = std::nullopt);
    void endSteering();
    void holdHere();
    // iOS 17+ through pymobiledevice3: the device replays the rest of the lap from a file.
    void replayPlan();
    void removePlanFiles();

    ScreenModel &model_;
    SpoofController &spoof_;
    RoutePlayer player_;
    std::optional<double> speed_;
    bool follow_ = true;
    int skipped_ = 0;
    bool lastSkipped_ = false; // the device has not been told the pin's place
    std::optional<CLLocationCoordinate2D> lastPosition_; // where our last step put the pin
    quint64 planTicket_ = 0; // the newest plan being written
    bool replaying_ = false; // the device goes by itself, along the player's plan
    bool planComing_ = false; // the first step of a route that some phones will replay
    int planFile_ = 0;
    const QString planFolder_; // kept: the model may be gone before us
    bool preview_ = false; // the playback moves the pin alone
    QPointF steerDirection_;
    double steerBearing_ = 0.0;
    bool steerHeld_ = false; // a steering key is down
    CLLocationCoordinate2D steerAt_; // exact, where the pin shows it rounded
    QTimer steerTimer_; // runs from the first press until the keys stay released
    QTimer releaseGrace_;
    qint64 releasedAfter_ = 0; // ms from the last count to the release
    QElapsedTimer steerClock_; // since the way was last counted
};
