#pragma once

#include "platform/Dispatch.h"
#include "state/AppEnvironment.h"
#include "state/DeviceSession.h"
#include "state/ScreenState.h"

#include <QObject>
#include <QStringList>
#include <functional>
#include <map>

// The one owner of ScreenState, living on the GUI thread. It is the only writer: every change
// goes through update() and ends in exactly one changed() notification.
class ScreenModel : public QObject
{
    Q_OBJECT
public:
    explicit ScreenModel(AppEnvironment environment = {}, QObject *parent = nullptr);
    ~ScreenModel() override;

    const ScreenState &state() const { return state_; }
    const AppEnvironment &environment() const { return environment_; }

    // Applies one batch of assignments, then notifies once.
    void update(const std::function<void(ScreenState &)> &change);

    // The phones plugged in, each with its session, in the order they came. One of them is
    // shown in the device panel (its session fills the panel's fields of ScreenState); the
    // selected ones are those the spoofing acts on.
    const QStringList &phones() const { return phones_; }
    const DeviceSession *session(const QString &udid) const;
    const QString &shownPhone() const { return shown_; }
    const QStringList &selectedPhones() const { return selected_; }
    // A phone arrived: its session starts as being checked. With nothing selected, it is
    // selected and shown.
    void addSession(const QString &udid);
    // A phone left: its session goes (its hold must have been ended first).
    void removeSession(const QString &udid);
    // Applies one batch of assignments to a phone's session, then notifies once.
    void updateSession(const QString &udid, const std::function<void(DeviceSession &)> &change);
    // The selection (kept in the order of the phones) and the phone shown.
    void select(const QStringList &udids, const QString &shown);
    // A route or the keys move the selected phones: the status line says so instead of the
    // phone's own (with no phone, it is the preview's line). Empty: the movement ended; the
    // held phones' lines name where they stay.
    void setMovement(const QString &status);
    const QString &movement() const { return movement_; }
    // The status line of a held location: "🔒 Spoofing at LAT, LON".
    static QString heldStatusText(CLLocationCoordinate2D coordinate);

    // For background work: posts blocks back to this model on the GUI thread, in order.
    // Posts made after the model is gone are dropped.
    const MainQueue &mainQueue() const { return mainQueue_; }

    // The screen's appear handler: clears stale port forwarders (blocking, bounded), starts the
    // attachment monitor, starts the approximate-location lookup.
    void runStartupSequence();
    // Ends, in the background, the location processes that a PinDrift which crashed left
    // running (see platform/HolderRecords.h); one console line names them.
    void endOrphanedHolders();
    // Step 2 of the start-up: (re)creates the repeating attachment-poll timer.
    void startDeviceMonitor();
    // The screen's disappear handler: stops the timer, terminates the simulate process.
    void stopBackgroundWork();

Q_SIGNALS:
    void changed();
    // Each tick of the attachment-poll timer.
    void deviceMonitorTick();
    // Step 3 of the start-up: whoever looks up the approximate location listens here.
    void startupLookupRequested();

private:
    // Copies the shown phone's session (and what the selection as a whole allows) into the
    // panel's fields of ScreenState.
    void mirror();

    AppEnvironment environment_;
    ScreenState state_;
    std::map<QString, DeviceSession> sessions_;
    QStringList phones_;
    QString shown_;
    QStringList selected_;
    int nextColour_ = 0;
    QString movement_;
    MainQueue mainQueue_;
};
