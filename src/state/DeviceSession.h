#pragma once

#include "coordinates/Coordinates.h"
#include "platform/ChildProcess.h"
#include "platform/Dispatch.h"
#include "state/ScreenState.h"

#include <QString>
#include <memory>
#include <optional>

// One plugged-in phone, from its arrival to its departure: what the detection read of it, what
// it holds, what failed, and the queue its tool work goes through, one job after another.
// Written on the GUI thread only, through ScreenModel::updateSession; the panel shows the current
// phone's session through the fields of ScreenState.
struct DeviceSession
{
    // What detection read: the values as the tool printed them, trimmed.
    QString udid;
    QString name; // DeviceName
    QString iosVersion; // ProductVersion
    QString serial; // SerialNumber
    QString productType; // ProductType
    int colour = 0; // the phone's colour on the map and in the list, by arrival

    // The device status, as the panel shows it for this phone.
    QString statusIMGText = QStringLiteral("iphone16_halfload");
    QString statusLabelText = QStringLiteral("Checking devices...");
    bool detecting = true;
    bool detected = false; // its facts are in
    QString udidValue; // the UDID as ideviceinfo printed it, which the panel shows
    HintState deviceHint;

    // Spoofing.
    bool isLocationLocked = false;
    bool busy = false; // a spoof, move or unlock of this phone is under way
    bool starting = false; // a spoof (not a move) is under way: detection waits for it
    QString lockStatusText;
    std::shared_ptr<ChildProcess> locationProcess;
    std::optional<CLLocationCoordinate2D> heldAt; // where it was last told to be
    bool moving = false; // a route or the keys move it
    HintState spoofHint;

    dispatch::SerialQueue work;

    // Ready for a spoof, a move or an unlock.
    bool ready() const { return detected && !busy && !detecting; }
};
