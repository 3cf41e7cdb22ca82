#pragma once

#include <QWidget>
#include <functional>
#include <optional>

class Movement;
class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QPushButton;
class QToolButton;
class RouteModel;

// The sidebar's route section: drawing on the map, following roads, the pace, repeating, and
// Start, Pause and Stop, with how far the traveller has come and how long is left.
class RoutePanel : public QWidget
{
    Q_OBJECT
public:
    enum Pace { Recorded, Walk, Cycle, Drive, Custom };

    // What the user chose, to keep between runs.
    struct Choices
    {
        int pace = Walk;
        double customSpeed = 0.0; // in the unit shown
        int repeat = 0; // playback::Repeat
        bool drift = false;
        bool followRoads = false;
        bool mapFollows = true;
    };
    Choices choices() const;
    void setChoices(const Choices &choices);

    RoutePanel(RouteModel &route, Movement &movement, QWidget *parent = nullptr);

    bool isDrawing() const;
    void setDrawing(bool drawing);
    // The chosen speed in metres per second; nothing: the track's recorded pace.
    std::optional<double> speed() const;

    // A line under the route (a file that could not be read, a road route not found); empty
    // hides it. With an action, a button beside it does it (Undo, Cancel) and the line goes.
    void showStatus(const QString &line);
    void showStatus(const QString &line, const QString &action, const QString &accessibleName,
                    std::function<void()> act);

Q_SIGNALS:
    void drawingChanged(bool drawing);
    void choicesChanged();

private:
    void routeChanged();
    void paceChanged();
    void render();

    RouteModel &route_;
    Movement &movement_;
    QPushButton *draw_;
    QPushButton *clear_;
    QCheckBox *roads_;
    QComboBox *pace_;
    QDoubleSpinBox *custom_;
    QComboBox *repeat_;
    QCheckBox *drift_;
    QCheckBox *follow_;
    QPushButton *play_;
    QPushButton *pause_;
    QPushButton *stop_;
    QLabel *progress_;
    QLabel *status_;
    QToolButton *statusAction_;
    std::function<void()> act_;
    bool metric_;
};
