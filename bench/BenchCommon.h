// Small helpers shared by the benchmarks: clocks, figures from /proc, and summaries.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <sys/types.h>
#include <unistd.h>

namespace bench {

inline double clockMs(clockid_t clock)
{
    timespec now {};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// Comparable across processes of this machine.
inline double monotonicMs()
{
    return clockMs(CLOCK_MONOTONIC);
}

inline double median(QList<double> values)
{
    if (values.isEmpty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const qsizetype middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2.0;
}

inline double maximum(const QList<double> &values)
{
    return values.isEmpty() ? 0.0 : *std::max_element(values.cbegin(), values.cend());
}

inline double minimum(const QList<double> &values)
{
    return values.isEmpty() ? 0.0 : *std::min_element(values.cbegin(), values.cend());
}

// "median 12.3 (min 11.0, max 14.2, n 7)"
inline QByteArray summary(const QList<double> &values, const char *unit = "ms", int decimals = 1)
{
    return QStringLiteral("median %1 %4 (min %2, max %3, n %5)")
        .arg(median(values), 0, 'f', decimals)
        .arg(minimum(values), 0, 'f', decimals)
        .arg(maximum(values), 0, 'f', decimals)
        .arg(QString::fromLatin1(unit))
        .arg(values.size())
        .toUtf8();
}

// The fields of /proc/<pid>/stat after the command name, numbered as in proc(5) from field 3.
inline QList<QByteArray> statFields(pid_t pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = file.readAll();
    const qsizetype close = text.lastIndexOf(')');
    if (close < 0)
        return {};
    return text.mid(close + 2).trimmed().split(' ');
}

inline double ticksToMs(qint64 ticks)
{
    return static_cast<double>(ticks) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// CPU time of the process itself, all its threads, without its children (utime + stime).
inline std::optional<double> ownCpuMs(pid_t pid)
{
    const QList<QByteArray> fields = statFields(pid);
    if (fields.size() < 13)
        return std::nullopt;
    return ticksToMs(fields[11].toLongLong() + fields[12].toLongLong()); // fields 14 and 15
}

// When the process was created, in CLOCK_BOOTTIME milliseconds (10 ms resolution).
inline std::optional<double> startTimeBootMs(pid_t pid)
{
    const QList<QByteArray> fields = statFields(pid);
    if (fields.size() < 20)
        return std::nullopt;
    return ticksToMs(fields[19].toLongLong()); // field 22
}

// A "VmHWM:   40600 kB" line of /proc/<pid>/status, in MB (1024 × 1024 bytes).
inline std::optional<double> statusMb(pid_t pid, const char *key)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray prefix = QByteArray(key) + ':';
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return std::nullopt;
}

// Where the figures go: standard output, unless it was redirected below.
inline FILE *&figures()
{
    static FILE *stream = stdout;
    return stream;
}

inline void line(const QByteArray &text)
{
    std::fputs(text.constData(), figures());
    std::fputc('\n', figures());
    std::fflush(figures());
}

// Sends what the program writes to standard output into `file`; the figures keep going to the
// original standard output.
inline bool redirectStandardOutput(const QString &file)
{
    std::fflush(stdout);
    const int original = ::dup(STDOUT_FILENO);
    const int target =
        ::open(QFile::encodeName(file).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (original < 0 || target < 0)
        return false;
    ::fcntl(original, F_SETFD, FD_CLOEXEC);
    FILE *stream = ::fdopen(original, "w");
    if (!stream)
        return false;
    figures() = stream;
    ::dup2(target, STDOUT_FILENO);
    ::close(target);
    return true;
}

} // namespace bench
