#include "state/PinPlacement.h"

#include "state/ScreenModel.h"

namespace coordinates {

std::optional<CLLocationCoordinate2D> readCoordinateFields(const ScreenState &state)
{
    return readCoordinates(state.latitudeText, state.longitudeText);
}

void placePin(ScreenModel &model, bool recenter, CLLocationCoordinate2D coordinate)
{
    model.update([&](ScreenState &s) {
        s.pinCoordinate = coordinate;
        s.latitudeText = formatDegrees(coordinate.latitude);
        s.longitudeText = formatDegrees(coordinate.longitude);
        if (recenter)
            s.cameraPosition = MapCameraPosition::fromRegion(pinRegion(coordinate));
    });
}

} // namespace coordinates
