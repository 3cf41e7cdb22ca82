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
    // The map follows the traveller.
    void setFollow(bool follow) { follow_ = follow; }

    // The direction the steering keys point on screen (x right, y down; none: released) and
    // how the map is turned (degrees clockwise from north to the top of the view).
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
    void steerStep(double seconds);
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
    bool replaying_ = false; // the device goes by itself, along the player's plan
    int planFile_ = 0;
    const QString planFolder_; // kept: the model may be gone before us
    QPointF steerDirection_;
    double steerBearing_ = 0.0;
    QTimer steerTimer_;
    QElapsedTimer steerClock_;
};
