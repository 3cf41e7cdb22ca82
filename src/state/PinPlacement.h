#pragma once

#include "coordinates/Coordinates.h"

#include <optional>

class ScreenModel;
struct ScreenState;

namespace coordinates {

// The coordinate in the two fields, or absent when either is unusable.
std::optional<CLLocationCoordinate2D> readCoordinateFields(const ScreenState &state);

// The one operation that moves the pin: pin, both fields, and (when recentring) the camera.
void placePin(ScreenModel &model, bool recenter, CLLocationCoordinate2D coordinate);

} // namespace coordinates
