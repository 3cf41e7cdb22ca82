#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

// pymobiledevice3: its command lines, and how its output reads. It logs through coloredlogs on
// standard error ("DATE TIME HOST NAME[PID] LEVEL MESSAGE") and, like its command-line entry
// does for every error it recognises, exits 0 after logging one; only the output tells.
namespace pymobiledevice3 {

inline const QString kTool = QStringLiteral("pymobiledevice3");

// How a location command reaches an iOS 17+ phone: through the tunnel daemon ("--tunnel UDID",
// which needs tunneld running as root), or through a tunnel the command makes for itself
// ("--userspace --udid UDID", no administrator rights, iOS 17.4 and later).
enum class Reach { Tunneld, Userspace };

// tunneld's own port: "--tunnel UDID" asks it there, on 127.0.0.1; another port must be named.
inline constexpr quint16 kTunneldPort = 49151;

// developer dvt simulate-location set OPTIONS -- LAT LON. OPTIONS: "--tunnel UDID[:PORT]"
// (`tunneldPort`, named when it is not 49151) or "--userspace --udid UDID".
QStringList setArguments(Reach reach, const QString &udid, double latitude, double longitude,
                         quint16 tunneldPort = kTunneldPort);
// developer dvt simulate-location clear OPTIONS
QStringList clearArguments(Reach reach, const QString &udid, quint16 tunneldPort = kTunneldPort);
// developer dvt simulate-location play OPTIONS -- FILE
QStringList playArguments(Reach reach, const QString &udid, const QString &gpxFile,
                          quint16 tunneldPort = kTunneldPort);
// remote tunneld -d: the daemon, detached, on 127.0.0.1:49151.
QStringList tunneldArguments();

// What "set" prints once the phone has taken the location (and "play" after its last point):
// the start of "Press Ctrl+C to send a SIGINT or use 'kill' command to send a SIGTERM".
inline constexpr const char *kHoldingLine = "Press Ctrl+C to send a SIGINT";
// What "play" logs as each point reaches the phone: "set location to LAT LON".
inline constexpr const char *kPointSetLine = "set location to ";

struct LogLine
{
    QString level; // "ERROR", "WARNING", "INFO", "DEBUG", "CRITICAL"
    QString message;
};
// Absent when the line is not one of its log lines.
std::optional<LogLine> readLogLine(const QByteArray &line);

// The first error in its output: an ERROR or CRITICAL log line, or the last line of a Python
// traceback. Absent when it reported none.
std::optional<QString> firstError(const QByteArray &output);

} // namespace pymobiledevice3
