#pragma once

#include "coordinates/Coordinates.h"

#include <QByteArray>
#include <optional>

namespace geolocation {

// The approximate position in an IP-geolocation answer: a JSON object whose "latitude" and
// "longitude" are both numbers. Absent for anything else.
std::optional<CLLocationCoordinate2D> parseGeolocationBody(const QByteArray &body);

} // namespace geolocation
