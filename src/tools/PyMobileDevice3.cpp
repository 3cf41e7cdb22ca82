#include "tools/PyMobileDevice3.h"

#include "coordinates/Coordinates.h"

#include <QRegularExpression>

namespace pymobiledevice3 {

namespace {

QStringList simulateLocation(const QString &verb, Reach reach, const QString &udid,
                             quint16 tunneldPort)
{
    QStringList arguments {QStringLiteral("developer"), QStringLiteral("dvt"),
                           QStringLiteral("simulate-location"), verb};
    if (reach == Reach::Tunneld)
        arguments << QStringLiteral("--tunnel")
                  << (tunneldPort == kTunneldPort
                          ? udid
                          : udid + QLatin1Char(':') + QString::number(tunneldPort));
    else
        arguments << QStringLiteral("--userspace") << QStringLiteral("--udid") << udid;
    return arguments;
}

} // namespace

QStringList setArguments(Reach reach, const QString &udid, double latitude, double longitude,
                         quint16 tunneldPort)
{
    // "--" so that a negative coordinate is not read as an option.
    return simulateLocation(QStringLiteral("set"), reach, udid, tunneldPort)
        << QStringLiteral("--") << coordinates::formatDegrees(latitude)
        << coordinates::formatDegrees(longitude);
}

QStringList clearArguments(Reach reach, const QString &udid, quint16 tunneldPort)
{
    return simulateLocation(QStringLiteral("clear"), reach, udid, tunneldPort);
}

QStringList playArguments(Reach reach, const QString &udid, const QString &gpxFile,
                          quint16 tunneldPort)
{
    return simulateLocation(QStringLiteral("play"), reach, udid, tunneldPort)
        << QStringLiteral("--") << gpxFile;
}

QStringList tunneldArguments()
{
    return {QStringLiteral("remote"), QStringLiteral("tunneld"), QStringLiteral("-d")};
}

std::optional<LogLine> readLogLine(const QByteArray &line)
{
    // coloredlogs' default format: "%(asctime)s %(hostname)s %(name)s[%(process)d] %(levelname)s
    // %(message)s", the time as "%Y-%m-%d %H:%M:%S".
    static const QRegularExpression format(
        QStringLiteral(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \S+ \S+\[\d+\] ([A-Z]+) (.*)$)"));
    const QRegularExpressionMatch match = format.match(QString::fromUtf8(line.trimmed()));
    if (!match.hasMatch())
        return std::nullopt;
    return LogLine {match.captured(1), match.captured(2)};
}

std::optional<QString> firstError(const QByteArray &output)
{
    bool inTraceback = false;
    QString tracebackEnd;
    for (const QByteArray &line : output.split('\n')) {
        if (const std::optional<LogLine> log = readLogLine(line)) {
            inTraceback = false;
            if (log->level == QLatin1StringView("ERROR")
                || log->level == QLatin1StringView("CRITICAL"))
                return log->message;
            continue;
        }
        if (line.startsWith("Traceback (most recent call last):")) {
            inTraceback = true;
            continue;
        }
        // A traceback ends with the exception's line, the first one not indented.
        if (inTraceback && !line.isEmpty() && line[0] != ' ') {
            tracebackEnd = QString::fromUtf8(line.trimmed());
            inTraceback = false;
        }
    }
    if (!tracebackEnd.isEmpty())
        return tracebackEnd;
    return std::nullopt;
}

} // namespace pymobiledevice3
