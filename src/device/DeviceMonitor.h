#pragma once

#include "platform/Dispatch.h"
#include "state/AppEnvironment.h"

#include <QObject>
#include <optional>

class DeviceDetector;
class ScreenModel;
class SpoofController;

// Notices a device arriving or leaving, by asking idevice_id at every tick of the screen's
// attachment timer. An arrival starts a detection; a departure clears the device fields and
// ends a held location.
class DeviceMonitor : public QObject
{
    Q_OBJECT
public:
    DeviceMonitor(ScreenModel &model, DeviceDetector &detector, SpoofController &spoof,
                  QObject *parent = nullptr);
    ~DeviceMonitor() override;

    // The timer tick: probes in the background unless a detection or a spoofing operation
    // runs, or the previous probe has not answered yet.
    void pollDeviceAttachment();
    // One probe, on a background thread. Absent when idevice_id overran its deadline, which
    // says nothing about the device.
    static std::optional<bool> isDeviceAttached(const AppEnvironment &environment);
    // Applies one probe's answer on the GUI thread; without an answer the last known state
    // stays and the next tick asks again.
    void applyAttachmentResult(std::optional<bool> answer);

private:
    ScreenModel &model_;
    DeviceDetector &detector_;
    SpoofController &spoof_;
    MainQueue queue_;
};
