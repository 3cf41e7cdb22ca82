#include "ParserProperties.h"

#include "coordinates/Coordinates.h"
#include "geo/GeolocationBody.h"

#include <bit>
#include <charconv>
#include <cmath>

namespace properties {

namespace {

bool sameValue(double a, double b)
{
    return (std::isnan(a) && std::isnan(b))
        || std::bit_cast<quint64>(a) == std::bit_cast<quint64>(b);
}

bool samePlace(const std::optional<CLLocationCoordinate2D> &a,
               const std::optional<CLLocationCoordinate2D> &b)
{
    return a.has_value() == b.has_value()
        && (!a || (sameValue(a->latitude, b->latitude) && sameValue(a->longitude, b->longitude)));
}

QString shown(const std::optional<double> &value)
{
    return value ? coordinates::formatDegrees(*value) : QStringLiteral("nothing");
}

} // namespace

std::optional<QString> checkDegrees(const QString &text)
{
    const std::optional<double> parsed = coordinates::parseDegrees(text);
    if (parsed && std::isfinite(*parsed)) {
        const std::optional<double> back =
            coordinates::parseDegrees(coordinates::formatDegrees(*parsed));
        if (!back || !sameValue(*back, *parsed))
            return QStringLiteral("%1 does not write back").arg(*parsed);
    }

    // from_chars takes no leading '+' and none of strtod's hexadecimal "0x" forms: a '+' is
    // dropped first, and hexadecimal texts are left to the round trip above.
    QByteArray bytes = text.toUtf8();
    if (bytes.startsWith('+') && !bytes.startsWith("++") && !bytes.startsWith("+-"))
        bytes.remove(0, 1);
    const QByteArray digits = bytes.startsWith('-') ? bytes.mid(1) : bytes;
    if (digits.startsWith("0x") || digits.startsWith("0X"))
        return std::nullopt;
    double value = 0;
    const auto [end, error] =
        std::from_chars(bytes.constData(), bytes.constData() + bytes.size(), value);
    const bool whole = end == bytes.constData() + bytes.size() && !bytes.isEmpty();
    std::optional<double> expected;
    if (whole && error == std::errc())
        expected = value;
    else if (whole && error == std::errc::result_out_of_range)
        expected = parsed; // strtod's underflow and overflow values are its own business
    if (expected.has_value() != parsed.has_value() || (expected && !sameValue(*expected, *parsed)))
        return QStringLiteral("\"%1\" read as %2, from_chars says %3")
            .arg(text, shown(parsed), shown(expected));
    return std::nullopt;
}

std::optional<QString> checkGeolocationBody(const QByteArray &body)
{
    const std::optional<CLLocationCoordinate2D> place = geolocation::parseGeolocationBody(body);
    if (place && !(std::isfinite(place->latitude) && std::isfinite(place->longitude)))
        return QStringLiteral("a place that is not finite");
    QByteArray text = body.startsWith("\xef\xbb\xbf") ? body.mid(3) : body;
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.isEmpty() && blank(text.front()))
        text.remove(0, 1);
    while (!text.isEmpty() && blank(text.back()))
        text.chop(1);
    if (place && !(text.startsWith('{') && text.endsWith('}')))
        return QStringLiteral("a place from something else than an object");
    if (!samePlace(geolocation::parseGeolocationBody(body + "\r\n \t"), place))
        return QStringLiteral("blanks after the body change the answer");
    if (place && geolocation::parseGeolocationBody("{\"answer\":" + body + '}'))
        return QStringLiteral("a place nested in an object");
    if (place && geolocation::parseGeolocationBody('[' + body + ']'))
        return QStringLiteral("a place nested in an array");
    return std::nullopt;
}

} // namespace properties
