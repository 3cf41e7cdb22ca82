#include "coordinates/Coordinates.h"

#include <array>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <locale.h>
#ifdef Q_OS_MACOS
#include <xlocale.h>
#endif

namespace {

// Mean metres per degree of latitude, and of longitude at the equator (WGS 84 sphere).
constexpr double kMetersPerDegree = 6378137.0 * M_PI / 180.0;

quint64 nextCameraRequest()
{
    static std::atomic<quint64> counter {0};
    return ++counter;
}

locale_t cLocale()
{
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    return locale;
}

} // namespace

MapRegion MapRegion::withDistance(CLLocationCoordinate2D center, double latitudinalMeters,
                                  double longitudinalMeters)
{
    MapRegion region;
    region.center = center;
    region.latitudeDelta = latitudinalMeters / kMetersPerDegree;
    const double parallelScale = std::cos(center.latitude * M_PI / 180.0);
    region.longitudeDelta = parallelScale > 1e-9
        ? std::min(360.0, longitudinalMeters / (kMetersPerDegree * parallelScale))
        : 360.0;
    return region;
}

MapCameraPosition MapCameraPosition::fromRegion(const MapRegion &region)
{
    MapCameraPosition position;
    position.kind = Kind::Region;
    position.region = region;
    position.center = region.center;
    position.request = nextCameraRequest();
    return position;
}

MapCameraPosition MapCameraPosition::fromCamera(CLLocationCoordinate2D center, double zoom,
                                                double bearing, double pitch)
{
    MapCameraPosition position;
    position.kind = Kind::Camera;
    position.center = center;
    position.zoom = zoom;
    position.bearing = bearing;
    position.pitch = pitch;
    position.request = nextCameraRequest();
    return position;
}

namespace coordinates {

std::optional<double> parseDegrees(const QString &text)
{
    if (text.isEmpty())
        return std::nullopt;
    switch (text.front().unicode()) {
    case u' ':
    case u'\t':
    case u'\n':
    case u'\v':
    case u'\f':
    case u'\r':
    case u'\0':
        return std::nullopt;
    default:
        break;
    }
    const QByteArray bytes = text.toUtf8();
    char *end = nullptr;
    const double value = strtod_l(bytes.constData(), &end, cLocale());
    // An embedded NUL stops the parse early, so it is caught here too.
    if (end != bytes.constData() + bytes.size())
        return std::nullopt;
    return value;
}

std::optional<CLLocationCoordinate2D> readCoordinates(const QString &latitudeText,
                                                      const QString &longitudeText)
{
    const std::optional<double> latitude = parseDegrees(latitudeText);
    if (!latitude)
        return std::nullopt;
    const std::optional<double> longitude = parseDegrees(longitudeText);
    if (!longitude)
        return std::nullopt;
    // Written so that NaN fails both tests.
    if (!(std::fabs(*latitude) <= 90.0) || !(std::fabs(*longitude) <= 180.0))
        return std::nullopt;
    return CLLocationCoordinate2D {*latitude, *longitude};
}

CLLocationCoordinate2D rounded(CLLocationCoordinate2D coordinate)
{
    const auto micro = [](double degrees) { return std::round(degrees * 1e6) / 1e6; };
    return {micro(coordinate.latitude), micro(coordinate.longitude)};
}

QString formatDegrees(double value)
{
    if (std::isnan(value))
        return QStringLiteral("nan");
    if (std::isinf(value))
        return value < 0 ? QStringLiteral("-inf") : QStringLiteral("inf");

    // Plain decimals between 1e-4 and 2^53 (where every whole number is still exact);
    // exponent form outside, like 1e-05 and 1e+16.
    const double magnitude = std::fabs(value);
    const bool exponentForm = magnitude != 0.0 && (magnitude < 1e-4 || magnitude >= 0x1p53);
    std::array<char, 64> buffer {};
    const auto format = exponentForm ? std::chars_format::scientific : std::chars_format::fixed;
    const auto [end, error] =
        std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, format);
    Q_UNUSED(error); // 64 characters hold every double in these two forms
    QString text = QString::fromLatin1(buffer.data(), end - buffer.data());
    if (!exponentForm && !text.contains(QLatin1Char('.')))
        text += QStringLiteral(".0");
    return text;
}

MapRegion pinRegion(CLLocationCoordinate2D center)
{
    return MapRegion::withDistance(center, kPinRegionMeters, kPinRegionMeters);
}

} // namespace coordinates
