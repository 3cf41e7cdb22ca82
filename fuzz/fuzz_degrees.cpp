// parseDegrees on whatever is typed or pasted into a coordinate field.
#include "ParserProperties.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    if (const std::optional<QString> problem = properties::checkDegrees(text)) {
        std::fprintf(stderr, "%s\n", problem->toUtf8().constData());
        std::abort();
    }
    return 0;
}
