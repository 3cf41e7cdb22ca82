#pragma once

#include "platform/Dispatch.h"
#include "state/AppEnvironment.h"

#include <QObject>
#include <optional>

class DeviceDetector;
class ScreenModel;
class SpoofController;

// Notices phones arriving and leaving, by asking idevice_id once at every tick of the screen's
// attachment timer, however many phones there are. Each phone that arrives gets its session and
// its detection; each that leaves ends its own held location and session, and no other.
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
    // One probe, on a background thread: the UDIDs listed. Absent when idevice_id overran its
    // deadline, which says nothing about the phones.
    static std::optional<QStringList> attachedPhones(const AppEnvironment &environment);
    // Applies one probe's answer on the GUI thread; without an answer the last known state
    // stays and the next tick asks again.
    void applyAttachmentResult(const std::optional<QStringList> &answer);
    // The phones listed now, by a probe or a detection: those that left end their sessions,
    // those that came get theirs and their detection.
    void applyListing(const QStringList &listed);

private:
    ScreenModel &model_;
    DeviceDetector &detector_;
    SpoofController &spoof_;
    QStringList listed_; // the phones the last listing named
    MainQueue queue_;
};
