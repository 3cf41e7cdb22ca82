// parseGeolocationBody on whatever an IP-geolocation service, or whoever answers in its place,
// sends back.
#include "ParserProperties.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    if (const std::optional<QString> problem = properties::checkGeolocationBody(body)) {
        std::fprintf(stderr, "%s\n", problem->toUtf8().constData());
        std::abort();
    }
    return 0;
}
