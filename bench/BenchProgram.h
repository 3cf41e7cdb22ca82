// Starting the real pindrift executable for a benchmark: without network (its own network
// namespace with only loopback), offscreen, with scratch cache and config folders, and the demo
// layout whose tools are the simulated device kit.
#pragma once

#include "BenchCommon.h"
#include "platform/ChildProcess.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <chrono>
#include <csignal>
#include <memory>

namespace bench {

// A copy of the program laid out by scripts/demo.sh, its tools the kit, with an iOS 17 device
// attached: <root>/demo/bin/pindrift.
class DemoLayout
{
public:
    DemoLayout()
    {
        for (const char *file : {PINDRIFT_BINARY, SIMDEVICE_BINARY}) {
            const QString from = QString::fromUtf8(file);
            if (!QFile::copy(from, root_.filePath(QFileInfo(from).fileName())))
                return;
        }
        QProcess demo;
        demo.start(QStringLiteral(PINDRIFT_SOURCE_DIR "/scripts/demo.sh"),
                   {QStringLiteral("--layout-only"), root_.path()});
        valid_ = demo.waitForFinished(30000) && demo.exitStatus() == QProcess::NormalExit
            && demo.exitCode() == 0;
    }
    bool isValid() const { return valid_; }
    QString program() const { return root_.filePath(QStringLiteral("demo/bin/pindrift")); }
    // The kit's control command: attach, detach, show, journal, stop-tunnel...
    bool device(const QStringList &arguments) const
    {
        QProcess control;
        control.start(root_.filePath(QStringLiteral("demo/device")), arguments);
        return control.waitForFinished(10000) && control.exitCode() == 0;
    }

private:
    QTemporaryDir root_;
    bool valid_ = false;
};

// The environment variables a started program sees: Qt's own, nothing of the program's.
inline void prepareEnvironment(const QString &scratch)
{
    for (const char *folder : {"cache", "config", "runtime"})
        QDir().mkpath(scratch + u'/' + QString::fromLatin1(folder));
    QFile::setPermissions(scratch + QStringLiteral("/runtime"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("XDG_CACHE_HOME", (scratch + QStringLiteral("/cache")).toUtf8());
    qputenv("XDG_CONFIG_HOME", (scratch + QStringLiteral("/config")).toUtf8());
    qputenv("XDG_RUNTIME_DIR", (scratch + QStringLiteral("/runtime")).toUtf8());
}

// Child processes are started without a path search.
inline QString unsharePath()
{
    return QStandardPaths::findExecutable(QStringLiteral("unshare"));
}

// One run of the real program in its own network namespace. The shell execs the program, so
// the process id is the program's; its standard error (Qt's own warnings) is dropped, standard
// output (the program's console) comes through the pipe.
struct RunningProgram
{
    std::shared_ptr<ChildProcess> process;
    double launchedAtMs = 0.0; // monotonic, just before the launch

    // With a console file, standard output goes there instead of through the pipe.
    static RunningProgram start(const QString &executable, const QString &consoleFile = {})
    {
        RunningProgram run;
        QStringList arguments {QStringLiteral("-n"), QStringLiteral("sh"), QStringLiteral("-c")};
        if (consoleFile.isEmpty())
            arguments << QStringLiteral("ip link set lo up && exec \"$0\" 2>/dev/null")
                      << executable;
        else
            arguments << QStringLiteral("ip link set lo up && exec \"$0\" >\"$1\" 2>/dev/null")
                      << executable << consoleFile;
        run.launchedAtMs = monotonicMs();
        run.process = ChildProcess::launch(unsharePath(), arguments,
                                           consoleFile.isEmpty() ? ChildProcess::Output::Pipe
                                                                 : ChildProcess::Output::Inherit)
                          .process;
        return run;
    }

    pid_t pid() const { return process ? process->processId() : -1; }

    // Asks it to close its window and waits for its exit; true when it exited with 0.
    bool stop()
    {
        if (!process)
            return false;
        ::kill(process->processId(), SIGTERM);
        if (!process->waitForExit(std::chrono::seconds(15))) {
            process->kill();
            process->waitForExit(std::chrono::milliseconds(-1));
            return false;
        }
        return !process->endedBySignal() && process->exitStatus() == 0;
    }
};

inline bool canIsolateNetwork()
{
    QProcess probe;
    probe.start(QStringLiteral("unshare"),
                {QStringLiteral("-n"), QStringLiteral("ip"), QStringLiteral("link"),
                 QStringLiteral("set"), QStringLiteral("lo"), QStringLiteral("up")});
    return probe.waitForFinished(10000) && probe.exitStatus() == QProcess::NormalExit
        && probe.exitCode() == 0;
}

} // namespace bench
