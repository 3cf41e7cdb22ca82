#pragma once

#include <QMap>
#include <QStringList>

// What this process holds right now, read from /proc, for leak and soak checks.
struct Footprint
{
    qint64 residentKb = 0; // VmRSS
    int threads = 0;
    int pooledThreads = 0; // Qt pool threads, busy or idle until they expire
    QStringList threadNames;
    // Open descriptors by kind ("pipe", "socket", "anon_inode:[pidfd]", a file's path, ...).
    QMap<QString, int> descriptors;

    static Footprint now();

    // Every Qt thread's event dispatcher holds wake-up descriptors (eventfd, epoll), so their
    // number follows how many pool threads happen to live. The rest are the program's own.
    int ownDescriptors() const;
    // Threads other than idle or busy pool threads: the GUI thread, Qt's own, and the
    // program's watcher and terminator threads, which must all end.
    int otherThreads() const { return threads - pooledThreads; }
    QString describe() const;
};
