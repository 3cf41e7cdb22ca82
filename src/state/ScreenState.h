#pragma once

#include "coordinates/Coordinates.h"
#include "platform/ChildProcess.h"

#include <QPointer>
#include <QString>
#include <QTimer>

inline constexpr CLLocationCoordinate2D kDefaultPinCoordinate {40.689247, -74.044502};

// Everything the program knows at run time. Initialised at every start, never saved.
// Read and written on the GUI thread only, through ScreenModel.
struct ScreenState
{
    QString statusIMGText = QStringLiteral("iphone16");
    QString statusLabelText = QStringLiteral("Connect iOS Device in normal mode");
    QString deviceiosLabelText;
    QString serialnumberLabelText;
    QString productTypeLabelText;
    QString udidLabelText;
    bool disabledDetectButtonSafety = false;
    bool showSetupBanner = true;
    QString latitudeText = QStringLiteral("40.689247");
    QString longitudeText = QStringLiteral("-74.044502");
    bool isLocationLocked = false;
    bool disabledLockButton = true;
    QString lockStatusText;
    std::shared_ptr<ChildProcess> locationProcess; // the simulate process holding a location
    CLLocationCoordinate2D pinCoordinate = kDefaultPinCoordinate;
    MapCameraPosition cameraPosition =
        MapCameraPosition::fromRegion(coordinates::pinRegion(kDefaultPinCoordinate));
    QPointer<QTimer> deviceMonitorTimer;
    bool wasDeviceAttached = false;
    bool isPollingDeviceAttachment = false;
};
