#include "state/AppEnvironment.h"

#include "net/WebClient.h"
#include "platform/Platform.h"

#include <QDir>
#include <QSettings>
#include <QStandardPaths>

void AppEnvironment::readServiceSettings(const QSettings &settings)
{
    const auto text = [&settings](const char *key) {
        return settings.value(QLatin1StringView("Services/") + QLatin1StringView(key)).toString();
    };
    if (const QString url = text("GeolocationUrl"); !url.isEmpty())
        geolocationUrl = QUrl(url);
    if (const QString url = text("TileUrlTemplate"); !url.isEmpty())
        tileUrlTemplate = url;
    if (const QString url = text("GeocodingUrl"); !url.isEmpty())
        geocodingUrl = QUrl(url);
    if (const QString url = text("RoutingUrl"); !url.isEmpty())
        routingUrl = QUrl(url);
    if (const QString host = text("GoIosAgentHost"); !host.isEmpty())
        goIosAgentHost = host;
    bool ok = false;
    if (const uint port = text("GoIosAgentPort").toUInt(&ok); ok && port > 0 && port < 65536)
        goIosAgentPort = static_cast<quint16>(port);
}

QStringList AppEnvironment::childEnvironment() const
{
    return {QStringLiteral("GO_IOS_AGENT_HOST=") + goIosAgentHost,
            QStringLiteral("GO_IOS_AGENT_PORT=") + QString::number(goIosAgentPort),
            QStringLiteral("PYTHONUNBUFFERED=1"),
            // A phone named in the user's environment would take the place of the one a
            // command leaves unnamed: go-ios reads the first two, pymobiledevice3 the third.
            QStringLiteral("GO_IOS_UDID"), QStringLiteral("udid"),
            QStringLiteral("PYMOBILEDEVICE3_UDID")};
}

QString AppEnvironment::dataSubfolder(const QString &name) const
{
    const QString path = dataFolderPath() + QLatin1Char('/') + name;
    QDir().mkpath(path);
    return path;
}

std::optional<QString> AppEnvironment::pymobiledevice3() const
{
    const QString name = QStringLiteral("pymobiledevice3");
    if (std::optional<QString> path = tools.resolveTool(name))
        return path;
    if (!searchSystemPath)
        return std::nullopt;
    const QString found = QStandardPaths::findExecutable(name);
    return found.isEmpty() ? std::nullopt : std::optional<QString>(found);
}

QByteArray AppEnvironment::userAgent()
{
    return net::userAgent();
}

QUrl AppEnvironment::serviceEndpoint(const QUrl &base, const QString &path)
{
    QUrl url = base;
    QString prefix = url.path();
    if (!prefix.endsWith(QLatin1Char('/')))
        prefix += QLatin1Char('/');
    url.setPath(prefix + path);
    return url;
}

QString AppEnvironment::shellPath() const
{
    return shell.isEmpty() ? platform::shellPath() : shell;
}

QString AppEnvironment::temporaryFolderPath() const
{
    if (temporaryFolder.isEmpty())
        return platform::temporaryFolder();
    return temporaryFolder.endsWith(QLatin1Char('/')) ? temporaryFolder
                                                      : temporaryFolder + QLatin1Char('/');
}

QString AppEnvironment::dataFolderPath() const
{
    return dataFolder.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)
                                : dataFolder;
}
