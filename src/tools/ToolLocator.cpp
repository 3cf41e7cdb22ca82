#include "tools/ToolLocator.h"

#include "platform/Platform.h"

#include <QFile>
#include <sys/stat.h>

ToolLocator::ToolLocator(const QString &resourceFolder, const QString &architecture)
    : resourceFolder_(resourceFolder)
{
    if (!architecture.isEmpty())
        architecture_ = architecture;
}

QString ToolLocator::resourceFolderPath() const
{
    return resourceFolder_ ? *resourceFolder_ : platform::resourceFolderPath();
}

QString ToolLocator::architectureFolderName() const
{
    return architecture_ ? *architecture_ : platform::architectureFolderName();
}

QString ToolLocator::toolsDirectory() const
{
    return resourceFolderPath() + QStringLiteral("/halvard_scripts/") + architectureFolderName();
}

std::optional<QString> ToolLocator::resolveTool(const QString &name) const
{
    const QString path = toolsDirectory() + QLatin1Char('/') + name;
    if (!QFile::exists(path))
        return std::nullopt;
    // Made executable at every resolution; a failure is not fatal, the launch will tell.
    const QByteArray encoded = QFile::encodeName(path);
    chmod(encoded.constData(), 0755);
    return path;
}
