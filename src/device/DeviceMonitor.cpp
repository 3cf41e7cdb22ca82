#include "device/DeviceMonitor.h"

#include "device/DeviceDetection.h"
#include "spoof/SpoofController.h"
#include "state/ScreenModel.h"
#include "tools/DeviceTools.h"

DeviceMonitor::DeviceMonitor(ScreenModel &model, DeviceDetector &detector, SpoofController &spoof,
                             QObject *parent)
    : QObject(parent)
    , model_(model)
    , detector_(detector)
    , spoof_(spoof)
    , queue_(this)
{
    connect(&model_, &ScreenModel::deviceMonitorTick, this, &DeviceMonitor::pollDeviceAttachment);
}

DeviceMonitor::~DeviceMonitor()
{
    queue_.close();
}

void DeviceMonitor::pollDeviceAttachment()
{
    const ScreenState &s = model_.state();
    if (s.disabledDetectButtonSafety || s.isPollingDeviceAttachment)
        return; // skipped ticks are not made up
    model_.update([](ScreenState &state) { state.isPollingDeviceAttachment = true; });

    const MainQueue queue = queue_;
    DeviceMonitor *const receiver = this;
    dispatch::runInBackground(
        dispatch::Priority::Background, [environment = model_.environment(), queue, receiver] {
            const std::optional<bool> attached = isDeviceAttached(environment);
            queue.post([receiver, attached] { receiver->applyAttachmentResult(attached); });
        });
}

std::optional<bool> DeviceMonitor::isDeviceAttached(const AppEnvironment &environment)
{
    const ToolRunResult result = environment.toolRunner().runTool(
        devicetools::kIdeviceId, devicetools::listDevicesArguments());
    if (result.timedOut)
        return std::nullopt; // the runner has written the deadline line
    return devicetools::deviceListed(result);
}

void DeviceMonitor::applyAttachmentResult(std::optional<bool> answer)
{
    if (!answer) {
        model_.update([](ScreenState &s) { s.isPollingDeviceAttachment = false; });
        return;
    }
    const bool attached = *answer;
    const bool wasAttached = model_.state().wasDeviceAttached;
    if (attached && !wasAttached) {
        model_.update([](ScreenState &s) {
            s.isPollingDeviceAttachment = false;
            s.wasDeviceAttached = true;
        });
        detector_.startDeviceDetection();
        return;
    }
    if (!attached && wasAttached) {
        model_.update([](ScreenState &s) {
            s.isPollingDeviceAttachment = false;
            s.wasDeviceAttached = false;
            s.statusLabelText = QStringLiteral("Connect iOS Device in normal mode");
            s.statusIMGText = QStringLiteral("iphone16");
            s.deviceiosLabelText.clear();
            s.serialnumberLabelText.clear();
            s.udidLabelText.clear();
            s.productTypeLabelText.clear();
            s.disabledLockButton = true;
            s.deviceHint = {};
            s.spoofHint = {};
        });
        spoof_.endSpoofOnDisconnect();
        return;
    }
    model_.update([](ScreenState &s) { s.isPollingDeviceAttachment = false; });
}
