#pragma once

#include "platform/ChildProcess.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <chrono>
#include <memory>
#include <optional>
#include <sys/types.h>

// A process that holds a simulated location (or the tunnel agent it talks through) must never
// outlive PinDrift: a phone would stay spoofed with nobody to give it back. While one runs, a
// small record of it lies in a folder of the user's private runtime folder; a PinDrift that
// crashed or was killed leaves its records behind, and the next start ends what they name.
namespace holders {

// Notes `process` in `folder` until it ends; the record goes when the process does.
// `stopSignal` is what ends it cleanly (go-ios stops a simulation on SIGINT).
void note(const QString &folder, const std::shared_ptr<ChildProcess> &process, int stopSignal);

struct Ended
{
    pid_t pid = 0;
    QString program; // the file name of its executable
};

// Ends every process named by a record whose PinDrift is gone, and removes those records and the
// ones of processes already gone. A process that outstays `grace` after its stop signal is
// killed with its process group. Blocks: background work only.
QList<Ended> endOrphans(const QString &folder, std::chrono::milliseconds grace);

// What tells this run of a process from a later one that reuses its pid (its start time);
// absent when no such process runs (a zombie counts as gone).
std::optional<QByteArray> startStamp(pid_t pid);

} // namespace holders
