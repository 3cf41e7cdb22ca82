#pragma once

#include <QObject>
#include <QStringList>
#include <mutex>

// The console: one message per line on standard output, flushed at once. The lines of
// this run are also kept in memory (bounded) for the log window and for tests.
void consoleLine(const QString &message);

// Collects, besides, every console line that this thread writes while it lives: what one
// operation's tools said, apart from what other operations (other phones) said meanwhile.
class ThreadLines
{
public:
    ThreadLines();
    ~ThreadLines();
    ThreadLines(const ThreadLines &) = delete;
    ThreadLines &operator=(const ThreadLines &) = delete;

    const QStringList &lines() const { return lines_; }

private:
    friend void consoleLine(const QString &message);
    QStringList lines_;
    ThreadLines *outer_;
};

class ConsoleLog : public QObject
{
    Q_OBJECT
public:
    static ConsoleLog &instance();

    QStringList lines() const;
    qsizetype lineCount() const;
    // Lines written since `first` (a value of lineCount() taken earlier).
    QStringList linesSince(qsizetype first) const;

    // Older lines are dropped past this many, so a chatty tool cannot grow memory for ever.
    static constexpr qsizetype maxLines = 20000;

Q_SIGNALS:
    // Emitted on the thread that wrote the line; connect with a queued connection.
    void lineAdded(const QString &line);

private:
    friend void consoleLine(const QString &message);
    void append(const QString &message);

    mutable std::mutex mutex_;
    QStringList lines_;
    qsizetype dropped_ = 0;
};
