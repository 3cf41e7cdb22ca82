#include "ScreenSupport.h"

#include "platform/Dispatch.h"

#include <QTest>

bool Screen::bringUp(int timeoutMs)
{
    model.runStartupSequence();
    return QTest::qWaitFor(
        [this] {
            return state().wasDeviceAttached && !detector.isDetecting()
                && !state().udidLabelText.isEmpty();
        },
        timeoutMs);
}

bool Screen::quiet(int timeoutMs)
{
    if (state().deviceMonitorTimer)
        state().deviceMonitorTimer->stop();
    return QTest::qWaitFor([this] { return !state().isPollingDeviceAttachment; }, timeoutMs)
        && dispatch::waitForBackgroundWork(timeoutMs);
}

bool Screen::hold(int timeoutMs)
{
    spoof.spoofLocation();
    return QTest::qWaitFor(
        [this] { return state().isLocationLocked && !state().disabledLockButton; }, timeoutMs);
}

QString heldText(CLLocationCoordinate2D coordinate)
{
    return QStringLiteral("🔒 Spoofing at ") + coordinates::formatDegrees(coordinate.latitude)
        + QStringLiteral(", ") + coordinates::formatDegrees(coordinate.longitude);
}
