#include "spoof/SpoofController.h"

#include "app/ScreenModel.h"

SpoofController::SpoofController(ScreenModel &model, QObject *parent)
    : QObject(parent)
    , model_(model)
{
}

void SpoofController::endSpoofOnDisconnect()
{
    if (!model_.state().isLocationLocked)
        return;
    model_.update([this](ScreenState &s) {
        s.isLocationLocked = false;
        s.lockStatusText = QStringLiteral("Device disconnected — location spoof ended.");
        childprocess::terminate(s.locationProcess, model_.environment().timings.terminateGrace);
        s.locationProcess.reset();
    });
}
