#pragma once

#include "platform/Dispatch.h"
#include "state/AppEnvironment.h"
#include "state/ScreenState.h"

#include <QObject>
#include <functional>

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
    AppEnvironment environment_;
    ScreenState state_;
    MainQueue mainQueue_;
};
