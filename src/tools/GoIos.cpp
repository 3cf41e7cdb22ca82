#include "tools/GoIos.h"

#include "coordinates/Coordinates.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace goios {

namespace {

QString udidOption(const QString &udid)
{
    return QStringLiteral("--udid=") + udid;
}

// No UDID (the phone did not answer yet): go-ios takes the one attached device.
QStringList udidOptions(const QString &udid)
{
    return udid.isEmpty() ? QStringList() : QStringList {udidOption(udid)};
}

} // namespace

QStringList agentArguments(const Agent &agent)
{
    return {QStringLiteral("--tunnel-info-host=") + agent.host,
            QStringLiteral("--tunnel-info-port=") + QString::number(agent.port)};
}

QStringList tunnelStartArguments(const QString &pairRecordFolder, const Agent &agent)
{
    // Without a folder of its own go-ios keeps its tunnel identity in the working folder; the
    // folder must exist.
    return QStringList {QStringLiteral("tunnel"), QStringLiteral("start"),
                        QStringLiteral("--userspace"),
                        QStringLiteral("--pair-record-path=") + pairRecordFolder}
    + agentArguments(agent);
}

QStringList kernelTunnelStartArguments(const QString &pairRecordFolder, const Agent &agent)
{
    return QStringList {QStringLiteral("tunnel"), QStringLiteral("start"),
                        QStringLiteral("--pair-record-path=") + pairRecordFolder}
    + agentArguments(agent);
}

QStringList setLocationArguments(const QString &udid, double latitude, double longitude,
                                 const Agent &agent)
{
    // "--lat=VALUE" in one word, so a negative value is never read as an option.
    return QStringList {QStringLiteral("setlocation"), udidOption(udid),
                        QStringLiteral("--lat=") + coordinates::formatDegrees(latitude),
                        QStringLiteral("--lon=") + coordinates::formatDegrees(longitude)}
    + agentArguments(agent);
}

QStringList resetLocationArguments(const QString &udid, const Agent &agent)
{
    return QStringList {QStringLiteral("resetlocation"), udidOption(udid)} + agentArguments(agent);
}

QStringList imageAutoArguments(const QString &udid, const QString &imageFolder, const Agent &agent)
{
    // Without a folder go-ios downloads into the working folder.
    return QStringList {QStringLiteral("image"), QStringLiteral("auto")} + udidOptions(udid)
        + QStringList {QStringLiteral("--basedir=") + imageFolder} + agentArguments(agent);
}

QStringList revealDeveloperModeArguments(const QString &udid, const Agent &agent)
{
    return QStringList {QStringLiteral("devmode"), QStringLiteral("reveal")} + udidOptions(udid)
        + agentArguments(agent);
}

std::optional<LogLine> readLogLine(const QByteArray &line)
{
    const QByteArray trimmed = line.trimmed();
    if (!trimmed.startsWith('{'))
        return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(trimmed);
    const QJsonObject object = document.object();
    if (!object.value(QLatin1StringView("level")).isString()
        || !object.value(QLatin1StringView("msg")).isString())
        return std::nullopt;
    LogLine log {object.value(QLatin1StringView("level")).toString().toUpper(),
                 object.value(QLatin1StringView("msg")).toString(),
                 object.value(QLatin1StringView("udid")).toString()};
    for (const char *key : {"err", "error"}) {
        const QJsonValue detail = object.value(QLatin1StringView(key));
        if (detail.isString() && !detail.toString().isEmpty()) {
            log.message += QStringLiteral(": ") + detail.toString();
            break;
        }
    }
    return log;
}

QString consoleText(const QByteArray &line)
{
    const std::optional<LogLine> log = readLogLine(line);
    if (!log)
        return QString::fromUtf8(line);
    if (log->level == QLatin1StringView("ERROR"))
        return QStringLiteral("❌ go-ios: ") + log->message;
    if (log->level == QLatin1StringView("WARN"))
        return QStringLiteral("⚠️ go-ios: ") + log->message;
    return QStringLiteral("go-ios: ") + log->message;
}

std::optional<QString> lastError(const QByteArray &output)
{
    std::optional<QString> error;
    for (const QByteArray &line : output.split('\n')) {
        const std::optional<LogLine> log = readLogLine(line);
        if (log && log->level == QLatin1StringView("ERROR"))
            error = log->message;
    }
    return error;
}

} // namespace goios
