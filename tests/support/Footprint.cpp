#include "Footprint.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <unistd.h>

namespace {

qint64 statusValue(const QByteArray &status, const QByteArray &key)
{
    for (const QByteArray &line : status.split('\n')) {
        if (line.startsWith(QByteArray(key + ':')))
            return line.mid(key.size() + 1).simplified().split(' ').first().toLongLong();
    }
    return -1;
}

bool isWakeDescriptor(const QString &kind)
{
    return kind == QLatin1String("anon_inode:[eventfd]")
        || kind == QLatin1String("anon_inode:[eventpoll]");
}

} // namespace

Footprint Footprint::now()
{
    Footprint f;
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        const QByteArray text = status.readAll();
        f.residentKb = statusValue(text, "VmRSS");
        f.threads = static_cast<int>(statusValue(text, "Threads"));
    }
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(task) + QStringLiteral("/comm"));
        const QByteArray name =
            comm.open(QIODevice::ReadOnly) ? comm.readAll().trimmed() : QByteArray();
        f.threadNames.append(QString::fromUtf8(name));
        if (name == "Thread (pooled)")
            ++f.pooledThreads;
    }
    // "pipe:[1234]" and "socket:[1234]" count by kind, not by inode.
    static const QRegularExpression inode(QStringLiteral(":\\[\\d+\\]$"));
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString &fd :
         fds.entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)) {
        char target[4096];
        const ssize_t length =
            readlink(QFile::encodeName(fds.filePath(fd)).constData(), target, sizeof(target));
        if (length <= 0)
            continue; // the descriptor that listed the folder, closed by now
        QString kind = QString::fromLocal8Bit(target, length);
        kind.remove(inode);
        ++f.descriptors[kind];
    }
    return f;
}

int Footprint::ownDescriptors() const
{
    int count = 0;
    for (auto it = descriptors.cbegin(); it != descriptors.cend(); ++it) {
        if (!isWakeDescriptor(it.key()))
            count += it.value();
    }
    return count;
}

QString Footprint::describe() const
{
    QStringList kinds;
    for (auto it = descriptors.cbegin(); it != descriptors.cend(); ++it)
        kinds.append(QStringLiteral("%1 %2").arg(it.value()).arg(it.key()));
    return QStringLiteral("VmRSS %1 kB, %2 threads (%3), descriptors: %4")
        .arg(residentKb)
        .arg(threads)
        .arg(threadNames.join(QStringLiteral(", ")))
        .arg(kinds.join(QStringLiteral(", ")));
}
