#include "tools/IosVersion.h"

#include <QStringList>

namespace iosversion {

std::optional<Version> parse(const QString &text)
{
    const QStringList parts = text.trimmed().split(QLatin1Char('.'));
    if (parts.isEmpty() || parts.size() > 3)
        return std::nullopt;
    Version version {0, 0, 0};
    for (qsizetype i = 0; i < parts.size(); ++i) {
        bool ok = false;
        const int value = parts[i].toInt(&ok);
        if (!ok || value < 0 || parts[i].startsWith(QLatin1Char('+')))
            return std::nullopt;
        version[static_cast<size_t>(i)] = value;
    }
    return version;
}

Tunnel goIosTunnel(const QString &text)
{
    const std::optional<Version> version = parse(text);
    if (!version || (*version)[0] < 17)
        return Tunnel::None;
    return *version > Version {17, 4, 0} ? Tunnel::Userspace : Tunnel::Kernel;
}

Tunnel pymobiledevice3Tunnel(const QString &text)
{
    const std::optional<Version> version = parse(text);
    if (!version || (*version)[0] < 17)
        return Tunnel::None;
    return *version >= Version {17, 4, 0} ? Tunnel::Userspace : Tunnel::Kernel;
}

} // namespace iosversion
