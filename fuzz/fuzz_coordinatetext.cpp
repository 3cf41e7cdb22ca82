// readCoordinateText on whatever is pasted into the search field: plain and degree-minute-second
// pairs, geo: URIs and map links. Besides the sanitizers, it checks that a coordinate is always
// in range, that blanks around the text change nothing, and that a coordinate it reads, written
// back as a plain decimal pair, reads back the same.
#include "search/CoordinateText.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void failWith(const char *problem, const QString &text)
{
    std::fprintf(stderr, "%s: %s\n", problem, text.toUtf8().constData());
    std::abort();
}

QString plain(double value)
{
    std::array<char, 400> buffer {};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                      std::chars_format::fixed);
    return QString::fromLatin1(buffer.data(), result.ptr - buffer.data());
}

bool same(const search::CoordinateText &a, const search::CoordinateText &b)
{
    return a.kind == b.kind
        && (a.kind != search::CoordinateText::Kind::Coordinate || a.coordinate == b.coordinate);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const search::CoordinateText read = search::readCoordinateText(text);
    if (!same(read, search::readCoordinateText(QStringLiteral(" \t") + text + u'\n')))
        failWith("blanks around the text changed its reading", text);
    if (read.kind != search::CoordinateText::Kind::Coordinate)
        return 0;
    const CLLocationCoordinate2D point = read.coordinate;
    if (!(std::fabs(point.latitude) <= 90.0) || !(std::fabs(point.longitude) <= 180.0))
        failWith("coordinate out of range", text);
    const QString again = plain(point.latitude) + QStringLiteral(", ") + plain(point.longitude);
    const search::CoordinateText reread = search::readCoordinateText(again);
    if (reread.kind != search::CoordinateText::Kind::Coordinate || !(reread.coordinate == point))
        failWith("the coordinate written back reads differently", text);
    return 0;
}
