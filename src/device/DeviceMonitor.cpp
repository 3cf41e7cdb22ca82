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
    connect(&detector_, &DeviceDetector::phonesListed, this, &DeviceMonitor::applyListing);
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
            const std::optional<QStringList> phones = attachedPhones(environment);
            queue.post([receiver, phones] { receiver->applyAttachmentResult(phones); });
        });
}

std::optional<QStringList> DeviceMonitor::attachedPhones(const AppEnvironment &environment)
{
    // The runner has written the line of a missing tool or an overrun deadline.
    return devicetools::phoneListing(environment.toolRunner().runTool(
        devicetools::kIdeviceId, devicetools::listDevicesArguments()));
}

void DeviceMonitor::applyAttachmentResult(const std::optional<QStringList> &answer)
{
    model_.update([](ScreenState &s) { s.isPollingDeviceAttachment = false; });
    if (answer)
        applyListing(*answer);
}

void DeviceMonitor::applyListing(const QStringList &listed)
{
    const QStringList known = model_.phones();
    // Those that left first: each ends its own hold. A phone that was never listed (found by
    // ideviceinfo alone, without idevice_id) cannot be seen leaving, so it is left as it is.
    for (const QString &udid : known) {
        if (listed.contains(udid) || !listed_.contains(udid))
            continue;
        spoof_.endSpoofOnDisconnect(udid);
        model_.removeSession(udid);
    }
    listed_ = listed;
    for (const QString &udid : listed) {
        if (known.contains(udid))
            continue;
        model_.addSession(udid);
        detector_.detectPhone(udid);
    }
    const bool attached = !listed.isEmpty();
    if (attached != model_.state().wasDeviceAttached)
        model_.update([attached](ScreenState &s) { s.wasDeviceAttached = attached; });
}
