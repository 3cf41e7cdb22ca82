#pragma once

#include "coordinates/Coordinates.h"
#include "platform/ChildProcess.h"
#include "tools/FailureCause.h"

#include <QPointer>
#include <QString>
#include <QTimer>

inline constexpr CLLocationCoordinate2D kDefaultPinCoordinate {40.689247, -74.044502};

// Why the last operation failed: the hint line under a status, and the fix button beside it.
struct HintState
{
    failure::Cause cause = failure::Cause::None;
    failure::Fix fix = failure::Fix::None; // None: no tool here can fix it
    bool fixRunning = false;
    QString fixResult; // what the last fix came to, shown in place of the hint
    QString words; // what the tool said, shown under the hint

    static HintState of(const failure::Finding &finding, const ToolLocator &tools)
    {
        return {finding.cause, failure::availableFix(finding.cause, tools), false, QString(),
                finding.words};
    }
    bool shown() const { return cause != failure::Cause::None; }
    // The line under the status: the fix's progress, its outcome, or the hint.
    QString text() const
    {
        if (fixRunning)
            return failure::fixProgress(fix);
        if (!fixResult.isEmpty())
            return fixResult;
        return words.isEmpty() ? failure::hintText(cause)
                               : failure::hintText(cause) + QLatin1Char('\n') + words;
    }
    // The button's title: the fix, or "Cancel" while it runs; empty: no button.
    QString buttonText() const
    {
        return fixRunning ? QStringLiteral("Cancel") : failure::fixLabel(fix);
    }
};

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
    HintState deviceHint; // under the device status: detection
    HintState spoofHint; // under the spoofing status: spoof and move
};
