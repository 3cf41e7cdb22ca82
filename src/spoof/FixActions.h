#pragma once

#include "platform/Dispatch.h"

#include <QObject>
#include <array>
#include <memory>

class ScreenModel;

// The buttons beside the hint lines: each runs the tool that fixes the cause (mount the developer
// image, show Developer Mode, pair again) in background work, shows its progress and outcome in
// the hint line, and can be cancelled. Nothing it starts outlives it.
class FixActions : public QObject
{
    Q_OBJECT
public:
    enum Target { Device, Spoof }; // the hint under the device status, under the spoofing status

    explicit FixActions(ScreenModel &model, QObject *parent = nullptr);
    ~FixActions() override;

    // The button: starts the hint's fix, or cancels it while it runs.
    void press(Target target);
    // Ends whatever runs (the window is closing). Returns at once.
    void cancelAll();

private:
    struct Run;

    ScreenModel &model_;
    MainQueue queue_;
    std::array<std::shared_ptr<Run>, 2> runs_;
};
