#include "route/RoutePanel.h"

#include "route/Movement.h"
#include "route/RouteModel.h"
#include "widgets/Style.h"
#include "widgets/TextWidgets.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QStandardItemModel>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <cmath>

namespace {

constexpr double kMetresPerMile = 1609.344;

QString distanceText(double metres, bool metric)
{
    if (metric)
        return metres < 1000.0 ? QStringLiteral("%1 m").arg(std::round(metres))
                               : QStringLiteral("%1 km").arg(metres / 1000.0, 0, 'f', 1);
    const double miles = metres / kMetresPerMile;
    return QStringLiteral("%1 mi").arg(miles, 0, 'f', miles < 10 ? 2 : 1);
}

QString durationText(double seconds)
{
    const auto total = static_cast<qint64>(std::ceil(seconds));
    if (total < 60)
        return QStringLiteral("%1 s").arg(total);
    if (total < 3600)
        return QStringLiteral("%1 min").arg((total + 30) / 60);
    return QStringLiteral("%1 h %2 min").arg(total / 3600).arg((total % 3600) / 60);
}

QPushButton *button(QWidget *parent, const char *name, const QString &text,
                    const QString &accessible)
{
    auto *b = new QPushButton(text, parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setAccessibleName(accessible);
    return b;
}

// A box that turns with the wheel only once it has the focus, so that scrolling the sidebar
// past it does not change the pace by accident.
template<typename Box>
class FocusedWheel : public Box
{
public:
    explicit FocusedWheel(QWidget *parent)
        : Box(parent)
    {
        this->setFocusPolicy(Qt::StrongFocus);
    }

protected:
    void wheelEvent(QWheelEvent *event) override
    {
        if (this->hasFocus())
            Box::wheelEvent(event);
        else
            event->ignore();
    }
};

} // namespace

RoutePanel::RoutePanel(RouteModel &route, Movement &movement, QWidget *parent)
    : QWidget(parent)
    , route_(route)
    , movement_(movement)
    , metric_(QLocale().measurementSystem() == QLocale::MetricSystem)
{
    setObjectName(QStringLiteral("routePanel"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);

    auto *editRow = new QHBoxLayout;
    draw_ = button(this, "drawRouteButton", QStringLiteral("✏️ Draw"),
                   QStringLiteral("Draw a route on the map"));
    draw_->setCheckable(true);
    draw_->setToolTip(QStringLiteral("Each click on the map adds a waypoint (R)"));
    clear_ = button(this, "clearRouteButton", QStringLiteral("Clear"),
                    QStringLiteral("Clear the route"));
    clear_->setToolTip(QStringLiteral("Remove every waypoint"));
    editRow->addWidget(draw_, 1);
    editRow->addWidget(clear_);
    layout->addLayout(editRow);

    roads_ = new QCheckBox(QStringLiteral("Follow roads"), this);
    roads_->setObjectName(QStringLiteral("followRoadsCheck"));
    roads_->setAccessibleName(roads_->text());
    roads_->setToolTip(QStringLiteral(
        "Go along the roads between the waypoints, as a routing service finds them"));
    layout->addWidget(roads_);
    auto *statusRow = new QHBoxLayout;
    status_ = captionLabel(this, QStringLiteral("routeStatus"));
    statusRow->addWidget(status_, 1);
    statusAction_ = new QToolButton(this);
    statusAction_->setObjectName(QStringLiteral("routeStatusButton"));
    // Its words change with the line beside it (Cancel a file being read, Undo an open).
    statusAction_->setToolTip(QStringLiteral("Cancel the file being read, or undo the open"));
    statusAction_->hide();
    connect(statusAction_, &QToolButton::clicked, this, [this] {
        const std::function<void()> act = std::exchange(act_, {});
        showStatus({});
        if (act)
            act();
    });
    statusRow->addWidget(statusAction_, 0, Qt::AlignTop);
    layout->addLayout(statusRow);

    auto *grid = new QGridLayout;
    grid->setContentsMargins(0, 0, 0, 0);
    pace_ = new FocusedWheel<QComboBox>(this);
    pace_->setObjectName(QStringLiteral("paceCombo"));
    pace_->setAccessibleName(QStringLiteral("Pace"));
    const QString unit = metric_ ? QStringLiteral("km/h") : QStringLiteral("mph");
    const auto paceName = [&](const char *name, double kmh) -> QString {
        return QString::fromUtf8(name) + QStringLiteral(" · ")
            + QString::number(metric_ ? kmh : std::round(kmh / 1.609344)) + u' ' + unit;
    };
    pace_->addItems({QStringLiteral("As recorded"), paceName("Walk", 5), paceName("Cycle", 15),
                     paceName("Drive", 50), QStringLiteral("Custom")});
    pace_->setCurrentIndex(Walk);
    custom_ = new FocusedWheel<QDoubleSpinBox>(this);
    custom_->setObjectName(QStringLiteral("customSpeedField"));
    custom_->setAccessibleName(QStringLiteral("Custom speed"));
    custom_->setRange(0.5, 300.0);
    custom_->setDecimals(1);
    custom_->setValue(metric_ ? 8.0 : 5.0);
    custom_->setSuffix(u' ' + unit);
    auto *paceRow = new QHBoxLayout;
    paceRow->addWidget(pace_, 1);
    paceRow->addWidget(custom_);
    grid->addLayout(paceRow, 0, 0, 1, 2);
    repeat_ = new FocusedWheel<QComboBox>(this);
    repeat_->setObjectName(QStringLiteral("repeatCombo"));
    repeat_->setAccessibleName(QStringLiteral("At the end"));
    repeat_->addItems(
        {QStringLiteral("Once"), QStringLiteral("Loop"), QStringLiteral("Back and forth")});
    grid->addWidget(repeat_, 1, 0, 1, 2);
    layout->addLayout(grid);

    auto *checks = new QHBoxLayout;
    drift_ = new QCheckBox(QStringLiteral("Natural drift"), this);
    drift_->setObjectName(QStringLiteral("driftCheck"));
    drift_->setAccessibleName(drift_->text());
    drift_->setToolTip(QStringLiteral("A few metres of wander and a speed that varies a little"));
    follow_ = new QCheckBox(QStringLiteral("Map follows"), this);
    follow_->setObjectName(QStringLiteral("followMapCheck"));
    follow_->setAccessibleName(QStringLiteral("The map follows the moving location"));
    follow_->setChecked(true);
    follow_->setToolTip(QStringLiteral("Keep the moving location in view"));
    checks->addWidget(drift_);
    checks->addWidget(follow_);
    layout->addLayout(checks);

    auto *playRow = new QHBoxLayout;
    play_ = button(this, "playButton", QStringLiteral("▶ Start"), QStringLiteral("Start"));
    pause_ = button(this, "pauseButton", QStringLiteral("Pause"), QStringLiteral("Pause"));
    stop_ = button(this, "stopButton", QStringLiteral("Stop"), QStringLiteral("Stop"));
    play_->setToolTip(QStringLiteral("Move along the route at the pace; with no iPhone "
                                     "connected, a preview that moves only the pin"));
    pause_->setToolTip(QStringLiteral("Stop moving for now; the location stays held here"));
    stop_->setToolTip(QStringLiteral("End the route here; the location stays held here"));
    playRow->addWidget(play_, 1);
    playRow->addWidget(pause_);
    playRow->addWidget(stop_);
    layout->addLayout(playRow);
    progress_ = captionLabel(this, QStringLiteral("routeProgress"));
    layout->addWidget(progress_);

    connect(draw_, &QPushButton::toggled, this, &RoutePanel::drawingChanged);
    connect(clear_, &QPushButton::clicked, this, [this] {
        movement_.stop();
        route_.clear();
    });
    connect(roads_, &QCheckBox::toggled, &route_, &RouteModel::setFollowRoads);
    connect(pace_, &QComboBox::currentIndexChanged, this, &RoutePanel::paceChanged);
    connect(custom_, &QDoubleSpinBox::valueChanged, this, &RoutePanel::paceChanged);
    connect(repeat_, &QComboBox::currentIndexChanged, this, [this](int index) {
        movement_.setRepeat(static_cast<playback::Repeat>(index));
        render();
    });
    connect(drift_, &QCheckBox::toggled, this,
            [this](bool on) { movement_.player().setDrift(on); });
    connect(follow_, &QCheckBox::toggled, this, [this](bool on) { movement_.setFollow(on); });
    for (QComboBox *box : {static_cast<QComboBox *>(pace_), static_cast<QComboBox *>(repeat_)})
        connect(box, &QComboBox::currentIndexChanged, this, &RoutePanel::choicesChanged);
    connect(custom_, &QDoubleSpinBox::valueChanged, this, &RoutePanel::choicesChanged);
    for (QCheckBox *check : {roads_, drift_, follow_})
        connect(check, &QCheckBox::toggled, this, &RoutePanel::choicesChanged);
    connect(play_, &QPushButton::clicked, this, [this] { movement_.play(route_.path()); });
    connect(pause_, &QPushButton::clicked, &movement_, &Movement::pause);
    connect(stop_, &QPushButton::clicked, &movement_, &Movement::stop);
    connect(&route_, &RouteModel::changed, this, &RoutePanel::routeChanged);
    // A road route found takes away only the line about roads.
    connect(&route_, &RouteModel::roadStatusChanged, this, [this](const QString &line) {
        if (!line.isEmpty() || status_->text().startsWith(road::kFailurePrefix))
            showStatus(line);
    });
    connect(&movement_, &Movement::stateChanged, this, [this] {
        render();
        // Start, Pause, Stop and the progress stay in sight when the status line below takes
        // room, once the layout has made it; only up and down, the sidebar keeps its left edge.
        QTimer::singleShot(50, this, [this] {
            for (QWidget *up = parentWidget(); up; up = up->parentWidget())
                if (auto *scroll = qobject_cast<QScrollArea *>(up)) {
                    const QPoint bottom =
                        progress_->mapTo(scroll->widget(), QPoint(0, progress_->height()));
                    scroll->ensureVisible(scroll->horizontalScrollBar()->value(), bottom.y(), 0,
                                          12);
                    break;
                }
        });
    });
    connect(&movement_, &Movement::moved, this, &RoutePanel::render);
    status_->hide();
    paceChanged();
    render();
}

RoutePanel::Choices RoutePanel::choices() const
{
    return {pace_->currentIndex(), custom_->value(),    repeat_->currentIndex(),
            drift_->isChecked(),   roads_->isChecked(), follow_->isChecked()};
}

void RoutePanel::setChoices(const Choices &choices)
{
    // A pace that needs a recorded track waits for one.
    if (choices.pace >= Walk && choices.pace <= Custom)
        pace_->setCurrentIndex(choices.pace);
    custom_->setValue(choices.customSpeed);
    if (choices.repeat >= 0 && choices.repeat < repeat_->count())
        repeat_->setCurrentIndex(choices.repeat);
    drift_->setChecked(choices.drift);
    roads_->setChecked(choices.followRoads);
    follow_->setChecked(choices.mapFollows);
}

void RoutePanel::showStatus(const QString &line)
{
    showStatus(line, {}, {}, {});
}

void RoutePanel::showStatus(const QString &line, const QString &action,
                            const QString &accessibleName, std::function<void()> act)
{
    status_->setText(line);
    status_->setVisible(!line.isEmpty());
    act_ = std::move(act);
    statusAction_->setText(action);
    statusAction_->setAccessibleName(accessibleName);
    if (!accessibleName.isEmpty())
        statusAction_->setToolTip(accessibleName);
    statusAction_->setVisible(!action.isEmpty());
}

bool RoutePanel::isDrawing() const
{
    return draw_->isChecked();
}

void RoutePanel::setDrawing(bool drawing)
{
    draw_->setChecked(drawing);
}

std::optional<double> RoutePanel::speed() const
{
    switch (pace_->currentIndex()) {
    case Recorded:
        return std::nullopt;
    case Cycle:
        return playback::kCycle;
    case Drive:
        return playback::kDrive;
    case Custom:
        return custom_->value() * (metric_ ? 1000.0 : kMetresPerMile) / 3600.0;
    default:
        return playback::kWalk;
    }
}

void RoutePanel::paceChanged()
{
    const std::optional<double> metresPerSecond = speed();
    movement_.setSpeed(metresPerSecond);
    const double kmh = metresPerSecond.value_or(playback::kWalk) * 3.6;
    route_.setProfile(kmh < 10       ? road::Profile::Foot
                          : kmh < 25 ? road::Profile::Bike
                                     : road::Profile::Car);
    render();
}

void RoutePanel::routeChanged()
{
    const RoutePath &path = route_.path();
    // A track with times plays at its own pace until the user picks one; a drawn route has none.
    const bool recorded = path.recordedSchedule().has_value() && path.length() > 0.0;
    if (recorded && !route_.track().isEmpty() && route_.waypoints().isEmpty())
        pace_->setCurrentIndex(Recorded);
    else if (!recorded && pace_->currentIndex() == Recorded)
        pace_->setCurrentIndex(Walk);
    movement_.changePath(path);
    render();
}

void RoutePanel::render()
{
    const RoutePlayer &player = movement_.player();
    const bool playing = player.state() == RoutePlayer::State::Playing;
    const bool stopped = player.state() == RoutePlayer::State::Stopped;
    const RoutePath &shown = stopped ? route_.path() : player.path();
    const bool playable = shown.points().size() >= 2 && shown.length() > 0.0;
    const bool recorded = shown.recordedSchedule().has_value();
    if (auto *items = qobject_cast<QStandardItemModel *>(pace_->model()))
        items->item(Recorded)->setEnabled(recorded);
    custom_->setVisible(pace_->currentIndex() == Custom);
    clear_->setEnabled(!route_.isEmpty());
    const bool canPlay = playable && !playing;
    play_->setText(player.state() == RoutePlayer::State::Paused ? QStringLiteral("▶ Resume")
                                                                : QStringLiteral("▶ Start"));
    // A button that greys out once used hands the focus on within its row: Start to Pause,
    // Pause and Stop to Start (or Draw); never on down the line to the button that unlocks,
    // where a stray Space would give the location away.
    QPushButton *next = nullptr;
    if (play_->hasFocus() && !canPlay)
        next = playing ? pause_ : draw_;
    else if ((pause_->hasFocus() && !playing) || (stop_->hasFocus() && stopped))
        next = canPlay ? play_ : draw_;
    if (next) {
        next->setEnabled(true);
        next->setFocus(Qt::OtherFocusReason);
    }
    play_->setEnabled(canPlay);
    pause_->setEnabled(playing);
    stop_->setEnabled(!stopped);
    if (route_.isEmpty()) {
        progress_->setText(draw_->isChecked()
                               ? QStringLiteral("Click the map to add waypoints.")
                               : QStringLiteral("Draw a route, or open a GPX file."));
        return;
    }
    if (stopped) {
        const qsizetype stops = route_.waypoints().size();
        progress_->setText(distanceText(shown.length(), metric_)
                           + (stops ? QStringLiteral(" · %1 waypoints").arg(stops) : QString()));
        return;
    }
    const std::optional<double> left = player.secondsLeft();
    progress_->setText(distanceText(player.distanceDone(), metric_) + QStringLiteral(" done · ")
                       + distanceText(player.distanceLeft(), metric_) + QStringLiteral(" left")
                       + (left ? QStringLiteral(" · ") + durationText(*left) : QString()));
}
