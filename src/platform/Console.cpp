#include "platform/Console.h"

#include <cstdio>

ConsoleLog &ConsoleLog::instance()
{
    static ConsoleLog log;
    return log;
}

void ConsoleLog::append(const QString &message)
{
    {
        std::lock_guard lock(mutex_);
        const QByteArray bytes = message.toUtf8();
        std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
        lines_.append(message);
        if (lines_.size() > maxLines) {
            lines_.removeFirst();
            ++dropped_;
        }
    }
    Q_EMIT lineAdded(message);
}

QStringList ConsoleLog::lines() const
{
    std::lock_guard lock(mutex_);
    return lines_;
}

qsizetype ConsoleLog::lineCount() const
{
    std::lock_guard lock(mutex_);
    return dropped_ + lines_.size();
}

QStringList ConsoleLog::linesSince(qsizetype first) const
{
    std::lock_guard lock(mutex_);
    const qsizetype start = qMax<qsizetype>(0, first - dropped_);
    return start >= lines_.size() ? QStringList() : lines_.mid(start);
}

void consoleLine(const QString &message)
{
    ConsoleLog::instance().append(message);
}
