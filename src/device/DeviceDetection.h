#pragma once

#include "platform/Dispatch.h"
#include "state/AppEnvironment.h"
#include "tools/FailureCause.h"

#include <QObject>
#include <functional>
#include <map>

class ScreenModel;
struct DeviceSession;
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

// The assignments of one step, to the screen when no phone is listed, or to a phone's session.
void apply(ScreenState &state, const DetectionUpdate &update);
void apply(DeviceSession &session, const DetectionUpdate &update);

// Why ideviceinfo found no device, from its output; no usbmuxd when its socket is missing (and
// an Apple device is plugged in).
failure::Finding notFoundCause(const AppEnvironment &environment, const ToolRunResult &info);

// The whole detection of one phone (`udid`; empty: whichever the tool finds first), on a
// background thread; each step goes to `post`, in order. Blocks while the tools run and during
// the pause after "Not detecting any devices!".
void detectDevice(const AppEnvironment &environment,
                  const std::function<void(const DetectionUpdate &)> &post,
                  const QString &udid = {});

// The value queries of a detection, on the same background thread.
void readDeviceDetails(const ToolRunner &runner,
                       const std::function<void(const DetectionUpdate &)> &post,
                       const QString &udid = {});

} // namespace detection

// Starts detections from the GUI thread and applies their steps: to a phone's session, or to
// the screen when no phone is listed at all.
class DeviceDetector : public QObject
{
    Q_OBJECT
public:
    explicit DeviceDetector(ScreenModel &model, QObject *parent = nullptr);
    ~DeviceDetector() override;

    // The Detect Device button: lists the phones and detects each one; with none listed, asks
    // ideviceinfo, whose answer says why (in the screen's status and hint).
    void startDeviceDetection();
    // Detects one phone in its session (the monitor, when it arrives).
    void detectPhone(const QString &udid);
    bool isDetecting() const { return running_ > 0; }

Q_SIGNALS:
    void detectionFinished();
    // The Detect Device button listed the phones there are now.
    void phonesListed(const QStringList &udids);

private:
    // Runs one detection; `udid` empty: the screen's own, for no phone.
    void start(const QString &udid);

    ScreenModel &model_;
    MainQueue queue_;
    int running_ = 0; // detections whose last step has not been applied yet
    std::map<QString, quint64> newest_; // per phone ("" for none): the last detection started
    quint64 generations_ = 0;
};
