#include "tools/DeviceTools.h"

#include "coordinates/Coordinates.h"

namespace devicetools {

QStringList setLocationArguments(double latitude, double longitude, const QString &udid)
{
    return phoneOption(udid)
        + QStringList {QStringLiteral("--"), coordinates::formatDegrees(latitude),
                       coordinates::formatDegrees(longitude)};
}

std::optional<QStringList> phoneListing(const ToolRunResult &result)
{
    if (result.timedOut)
        return std::nullopt;
    if (result.exitStatus != 0 || !result.output)
        return QStringList();
    QStringList phones;
    for (const QString &line : result.output->split(QLatin1Char('\n'))) {
        const QString udid = line.trimmed();
        if (!udid.isEmpty() && !phones.contains(udid))
            phones.append(udid);
    }
    return phones;
}

bool deviceAnswered(const ToolRunResult &result)
{
    return result.output && result.output->contains(QStringLiteral("ActivationState:"));
}

std::optional<QString> valueOf(const ToolRunResult &result)
{
    if (result.exitStatus != 0 || !result.output)
        return std::nullopt;
    return result.output->trimmed();
}

bool deviceListed(const ToolRunResult &result)
{
    return result.exitStatus == 0 && result.output && !result.output->trimmed().isEmpty();
}

} // namespace devicetools
