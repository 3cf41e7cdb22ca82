#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

// go-ios ("ios"): its command lines, and how its output reads. go-ios logs one JSON object per
// line on standard error, with "level" and "msg" (and sometimes "err" or "error").
namespace goios {

inline const QString kTool = QStringLiteral("ios");

struct Agent
{
    QString host;
    quint16 port = 0;
};

// The options that point a command at our tunnel agent.
QStringList agentArguments(const Agent &agent);

// ios tunnel start --userspace --pair-record-path=FOLDER, serving every phone on the agent's
// port, without administrator rights: iOS above 17.4.0 only.
QStringList tunnelStartArguments(const QString &pairRecordFolder, const Agent &agent);
// ios tunnel start --pair-record-path=FOLDER: the kernel tunnel, which needs root and is the only
// one go-ios has for iOS 17.0 to 17.4.0.
QStringList kernelTunnelStartArguments(const QString &pairRecordFolder, const Agent &agent);
// ios setlocation --udid=UDID --lat=LAT --lon=LON (holds until interrupted on iOS 17+).
QStringList setLocationArguments(const QString &udid, double latitude, double longitude,
                                 const Agent &agent);
// ios resetlocation --udid=UDID
QStringList resetLocationArguments(const QString &udid, const Agent &agent);
// ios image auto --udid=UDID --basedir=FOLDER (downloads the matching image, then mounts it).
QStringList imageAutoArguments(const QString &udid, const QString &imageFolder, const Agent &agent);
// ios devmode reveal --udid=UDID
QStringList revealDeveloperModeArguments(const QString &udid, const Agent &agent);

struct LogLine
{
    QString level; // "ERROR", "WARN", "INFO", "DEBUG"; empty when the line is not a log line
    QString message; // msg, then ": " and err or error when there is one
    QString udid; // the "udid" attribute, when the line names a phone
};
std::optional<LogLine> readLogLine(const QByteArray &line);

// How a line of go-ios output reads on the console: "❌ go-ios: …" for errors,
// "⚠️ go-ios: …" for warnings, "go-ios: …" otherwise; any other line stays as it is.
QString consoleText(const QByteArray &line);

// The message of the last error-level line, if any: go-ios may exit 0 after one.
std::optional<QString> lastError(const QByteArray &output);

} // namespace goios
