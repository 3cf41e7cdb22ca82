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

namespace {

thread_local ThreadLines *t_collector = nullptr;

} // namespace

ThreadLines::ThreadLines()
    : outer_(t_collector)
{
    t_collector = this;
}

ThreadLines::~ThreadLines()
{
    t_collector = outer_;
}

void consoleLine(const QString &message)
{
    ConsoleLog::instance().append(message);
    // Every collector of this thread sees it, the outer ones too.
    for (ThreadLines *collector = t_collector; collector; collector = collector->outer_)
        collector->lines_.append(message);
}
