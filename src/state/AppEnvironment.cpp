#include "state/AppEnvironment.h"

#include "platform/Platform.h"

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
}

QByteArray AppEnvironment::userAgent()
{
    return QByteArrayLiteral("PinDrift/" PINDRIFT_VERSION " (Qt ") + qVersion() + ')';
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
