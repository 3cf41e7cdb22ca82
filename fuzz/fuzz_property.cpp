// One of the properties of FileProperties.h (PROPERTY, set by the build) on whatever a file or
// a web service gives us.
#include "FileProperties.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    if (const std::optional<QString> problem = properties::PROPERTY(bytes)) {
        std::fprintf(stderr, "%s\n", problem->toUtf8().constData());
        std::abort();
    }
    return 0;
}
