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

    // What the list and the map call it: its name, else its model, else its UDID.
    QString shownName() const
    {
        if (!name.isEmpty())
            return name;
        return productType.isEmpty() ? udid : productType;
    }

    // Ready for a spoof, a move or an unlock.
    bool ready() const { return detected && !busy && !detecting; }

    // The device panel's fields and this phone's facts, one for the other.
    void showIn(ScreenState &s) const
    {
        s.statusIMGText = statusIMGText;
        s.statusLabelText = statusLabelText;
        s.deviceiosLabelText = iosVersion;
        s.serialnumberLabelText = serial;
        s.productTypeLabelText = productType;
        s.udidLabelText = udidValue;
        s.deviceHint = deviceHint;
    }
    void readFrom(const ScreenState &s)
    {
        statusIMGText = s.statusIMGText;
        statusLabelText = s.statusLabelText;
        iosVersion = s.deviceiosLabelText;
        serial = s.serialnumberLabelText;
        productType = s.productTypeLabelText;
        udidValue = s.udidLabelText;
        deviceHint = s.deviceHint;
    }
};
