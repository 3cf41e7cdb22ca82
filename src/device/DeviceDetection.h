#pragma once

#include "platform/Dispatch.h"
#include "state/AppEnvironment.h"
#include "tools/FailureCause.h"

#include <QObject>
#include <functional>

class ScreenModel;
struct ScreenState;

// One step of a detection, as the GUI thread applies it.
struct DetectionUpdate
{
    enum Kind { Checking, ToolMissing, Connected, Value, Finished, NotFound, ConnectPrompt };

    DetectionUpdate(Kind k = Checking, failure::Cause why = failure::Cause::None)
        : kind(k)
        , cause(why)
    {
    }
    DetectionUpdate(Kind k, int valueRow, const QString &trimmedValue)
        : kind(k)
        , row(valueRow)
        , value(trimmedValue)
    {
    }

    Kind kind;
    failure::Cause cause = failure::Cause::None; // NotFound: why, when the tool said
    failure::Fix fix = failure::Fix::None; // and the button for it
    QString words; // and what the tool said
    int row = -1; // Value: the row of devicetools::kDeviceDetails
    QString value; // Value: the trimmed value

    // Whether the detection is over once this step is applied.
    bool endsDetection() const
    {
        return kind == ToolMissing || kind == Finished || kind == ConnectPrompt;
    }
};

namespace detection {

// The assignments of one step.
void apply(ScreenState &state, const DetectionUpdate &update);

// Why ideviceinfo found no device, from its output; no usbmuxd when its socket is missing.
failure::Finding notFoundCause(const AppEnvironment &environment, const ToolRunResult &info);

// The whole detection, on a background thread; each step goes to `post`, in order. Blocks
// while the tools run and during the pause after "Not detecting any devices!".
void detectDevice(const AppEnvironment &environment,
                  const std::function<void(const DetectionUpdate &)> &post);

// The four value queries of a detection, on the same background thread.
void readDeviceDetails(const ToolRunner &runner,
                       const std::function<void(const DetectionUpdate &)> &post);

} // namespace detection

// Starts detections from the GUI thread and applies their steps to the screen.
class DeviceDetector : public QObject
{
    Q_OBJECT
public:
    explicit DeviceDetector(ScreenModel &model, QObject *parent = nullptr);
    ~DeviceDetector() override;

    // Runs a detection in the background. A second one started meanwhile runs too: its steps
    // interleave with the first's, each field's last write is a step of the same device's
    // answer, so the screen ends as after one.
    void startDeviceDetection();
    bool isDetecting() const { return running_ > 0; }

Q_SIGNALS:
    void detectionFinished();

private:
    ScreenModel &model_;
    MainQueue queue_;
    int running_ = 0; // detections whose last step has not been applied yet
    quint64 newest_ = 0; // the generation of the last detection started
};
