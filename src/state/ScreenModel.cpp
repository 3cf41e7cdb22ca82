#include "state/ScreenModel.h"

#include "coordinates/Coordinates.h"
#include "platform/ChildProcess.h"
#include "platform/Console.h"
#include "platform/HolderRecords.h"

ScreenModel::ScreenModel(AppEnvironment environment, QObject *parent)
    : QObject(parent)
    , environment_(std::move(environment))
    , mainQueue_(this)
{
}

ScreenModel::~ScreenModel()
{
    mainQueue_.close();
}

void ScreenModel::update(const std::function<void(ScreenState &)> &change)
{
    change(state_);
    Q_EMIT changed();
}

const DeviceSession *ScreenModel::session(const QString &udid) const
{
    const auto found = sessions_.find(udid);
    return found == sessions_.end() ? nullptr : &found->second;
}

void ScreenModel::addSession(const QString &udid)
{
    if (sessions_.count(udid))
        return;
    DeviceSession session;
    session.udid = udid;
    session.colour = nextColour_++;
    sessions_.emplace(udid, std::move(session));
    phones_.append(udid);
    if (selected_.isEmpty()) {
        selected_ = {udid};
        shown_ = udid;
    }
    mirror();
    Q_EMIT changed();
}

void ScreenModel::removeSession(const QString &udid)
{
    if (!sessions_.erase(udid))
        return;
    phones_.removeAll(udid);
    selected_.removeAll(udid);
    if (shown_ == udid) {
        shown_ = !selected_.isEmpty() ? selected_.first() : QString();
        if (shown_.isEmpty() && !phones_.isEmpty()) {
            shown_ = phones_.first();
            selected_ = {shown_};
        }
    }
    if (shown_.isEmpty()) {
        // No phone left: the panel as it is with none (the last status line stays).
        state_.statusLabelText = QStringLiteral("Connect iOS Device in normal mode");
        state_.statusIMGText = QStringLiteral("iphone16");
        state_.deviceiosLabelText.clear();
        state_.serialnumberLabelText.clear();
        state_.udidLabelText.clear();
        state_.productTypeLabelText.clear();
        state_.disabledLockButton = true;
        state_.isLocationLocked = false;
        state_.locationProcess.reset();
        state_.deviceHint = {};
        state_.spoofHint = {};
    }
    mirror();
    Q_EMIT changed();
}

void ScreenModel::updateSession(const QString &udid,
                                const std::function<void(DeviceSession &)> &change)
{
    const auto found = sessions_.find(udid);
    if (found == sessions_.end())
        return;
    change(found->second);
    mirror();
    Q_EMIT changed();
}

void ScreenModel::select(const QStringList &udids, const QString &shown)
{
    QStringList selected;
    for (const QString &udid : phones_) {
        if (udids.contains(udid))
            selected.append(udid);
    }
    selected_ = selected;
    if (sessions_.count(shown))
        shown_ = shown;
    else if (!selected_.isEmpty() && !selected_.contains(shown_))
        shown_ = selected_.first();
    mirror();
    Q_EMIT changed();
}

void ScreenModel::setMovement(const QString &status)
{
    const bool ends = !movement_.isEmpty() && status.isEmpty();
    for (const QString &udid : phones_) {
        DeviceSession &phone = sessions_.at(udid);
        // A phone that moved along stays where the pin stopped; one that failed keeps its word.
        if (ends && phone.moving && phone.isLocationLocked && !phone.busy
            && !phone.spoofHint.shown())
            phone.lockStatusText = heldStatusText(state_.pinCoordinate);
        phone.moving = !status.isEmpty() && selected_.contains(udid) && phone.detected;
    }
    if (shown_.isEmpty() && (ends || !status.isEmpty()))
        state_.lockStatusText = status; // no phone: the preview's line, then none
    movement_ = status;
    mirror();
    Q_EMIT changed();
}

QString ScreenModel::heldStatusText(CLLocationCoordinate2D coordinate)
{
    return QStringLiteral("🔒 Spoofing at ") + coordinates::formatDegrees(coordinate.latitude)
        + QStringLiteral(", ") + coordinates::formatDegrees(coordinate.longitude);
}

void ScreenModel::mirror()
{
    const auto found = sessions_.find(shown_);
    if (found == sessions_.end())
        return;
    const DeviceSession &phone = found->second;
    ScreenState &s = state_;
    phone.showIn(s);
    const bool moves = !movement_.isEmpty() && (phone.moving || !phone.isLocationLocked);
    s.lockStatusText = moves ? movement_ : phone.lockStatusText;
    s.spoofHint = phone.spoofHint;
    s.locationProcess = phone.locationProcess;
    // The buttons act on the selected phones: Unlock once every one of them is held, enabled
    // while one of them can take it.
    bool allHeld = !selected_.isEmpty();
    bool anyReady = false;
    bool anyDetecting = false;
    for (const auto &[udid, session] : sessions_) {
        anyDetecting = anyDetecting || session.detecting || session.starting;
        if (!selected_.contains(udid))
            continue;
        allHeld = allHeld && session.isLocationLocked;
        anyReady = anyReady || session.ready();
    }
    s.isLocationLocked = allHeld;
    s.disabledLockButton = !anyReady;
    s.disabledDetectButtonSafety = anyDetecting;
}

void ScreenModel::runStartupSequence()
{
    // Kill port forwarders left over from an earlier run. This blocks the GUI thread by
    // design, but never for longer than the deadline.
    environment_.toolRunner().runExecutable(
        environment_.shellPath(),
        {QStringLiteral("-c"), QStringLiteral("killall -9 iproxy 2>/dev/null || true")},
        environment_.timings.startupShellDeadline);

    endOrphanedHolders();

    startDeviceMonitor();

    Q_EMIT startupLookupRequested();
}

void ScreenModel::endOrphanedHolders()
{
    // A PinDrift that crashed while holding a location left its holder running, and the phone
    // spoofed with nobody to give it back.
    dispatch::runInBackground(
        dispatch::Priority::UserInitiated,
        [folder = environment_.holderRecordFolder(), grace = environment_.timings.terminateGrace] {
            const QList<holders::Ended> ended = holders::endOrphans(folder, grace);
            QStringList names;
            for (const holders::Ended &process : ended)
                names.append(process.program + QStringLiteral(" (pid ")
                             + QString::number(process.pid) + QLatin1Char(')'));
            if (!names.isEmpty())
                consoleLine(QStringLiteral("⚠️ Ended what an earlier PinDrift "
                                           "left holding the location: ")
                            + names.join(QStringLiteral(", ")));
        });
}

void ScreenModel::startDeviceMonitor()
{
    update([this](ScreenState &s) {
        delete s.deviceMonitorTimer.data();
        auto *timer = new QTimer(this);
        timer->setInterval(environment_.timings.monitorInterval);
        connect(timer, &QTimer::timeout, this, &ScreenModel::deviceMonitorTick);
        timer->start();
        s.deviceMonitorTimer = timer;
    });
}

void ScreenModel::stopBackgroundWork()
{
    // Every phone's holder goes with the screen.
    for (auto &[udid, session] : sessions_) {
        childprocess::terminate(session.locationProcess, environment_.timings.terminateGrace);
        session.locationProcess.reset();
    }
    update([this](ScreenState &s) {
        delete s.deviceMonitorTimer.data();
        s.deviceMonitorTimer = nullptr;
        childprocess::terminate(s.locationProcess, environment_.timings.terminateGrace);
        s.locationProcess.reset();
    });
}
