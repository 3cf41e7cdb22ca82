#pragma once

#include <QString>
#include <optional>

// A geographic point in degrees, as the device and the map see it.
struct CLLocationCoordinate2D
{
    double latitude = 0.0;
    double longitude = 0.0;

    friend bool operator==(const CLLocationCoordinate2D &,
                           const CLLocationCoordinate2D &) = default;
};

// A map region: a centre and the spans, in degrees, that it shows.
struct MapRegion
{
    CLLocationCoordinate2D center;
    double latitudeDelta = 0.0;
    double longitudeDelta = 0.0;

    // The region of `latitudinalMeters` north-south by `longitudinalMeters` east-west
    // around `center`.
    static MapRegion withDistance(CLLocationCoordinate2D center, double latitudinalMeters,
                                  double longitudinalMeters);

    friend bool operator==(const MapRegion &, const MapRegion &) = default;
};

// Where the map looks: either a region that the program asked for (shown exactly, north up and
// flat), or the place the user panned, zoomed, rotated and tilted to (centre, zoom level, bearing
// and pitch of the map view).
struct MapCameraPosition
{
    enum class Kind { Region, Camera };

    Kind kind = Kind::Region;
    MapRegion region; // Kind::Region
    CLLocationCoordinate2D center; // Kind::Camera
    double zoom = 0.0; // Kind::Camera
    double bearing = 0.0; // Kind::Camera: degrees clockwise from north to the top of the view
    double pitch = 0.0; // Kind::Camera: degrees from looking straight down

    // Which assignment this is: every fromRegion() and fromCamera() takes a new number, so a
    // map can tell a new request from the one it already shows even when both name the same
    // place (the same quick location chosen twice). Equality below compares places only.
    quint64 request = 0;

    static MapCameraPosition fromRegion(const MapRegion &region);
    static MapCameraPosition fromCamera(CLLocationCoordinate2D center, double zoom,
                                        double bearing = 0.0, double pitch = 0.0);

    friend bool operator==(const MapCameraPosition &a, const MapCameraPosition &b)
    {
        return a.kind == b.kind && a.region == b.region && a.center == b.center && a.zoom == b.zoom
            && a.bearing == b.bearing && a.pitch == b.pitch;
    }
};

namespace coordinates {

inline constexpr double kPinRegionMeters = 6000.0;

// Strict C-locale reading of one field: the whole text must be a strtod number, with no
// leading blank. Absent otherwise.
std::optional<double> parseDegrees(const QString &text);

// Both fields, range-checked (|lat| <= 90, |lon| <= 180, inclusive). Absent on any failure.
std::optional<CLLocationCoordinate2D> readCoordinates(const QString &latitudeText,
                                                      const QString &longitudeText);

// The shortest text that reads back as exactly `value`: "40.0", "-0.124625", "1e-05".
QString formatDegrees(double value);

// The 6000 m by 6000 m region around a point.
MapRegion pinRegion(CLLocationCoordinate2D center);

// A point picked on screen, to a millionth of a degree (about 0.1 m, far below a pixel), so
// that it reads as at most six decimals.
CLLocationCoordinate2D rounded(CLLocationCoordinate2D coordinate);

} // namespace coordinates

inline const QString kInvalidCoordinatesMessage =
    QStringLiteral("Enter a valid latitude (-90 to 90) and longitude (-180 to 180).");
