#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/types.h>
#include <vector>

// One child process, launched without a shell, with its standard output and standard error in
// one pipe (or both inherited from us). Standard input, environment and working folder are
// ours. Every method may be called from any thread; whoever waits also reaps, so a child is
// never left a zombie, and the pipe is closed once it is no longer needed.
//
// (QProcess is not used for this: Qt 6.4 leaks a descriptor on every failed launch, and its
// objects are bound to one thread, while a held simulate process is started on a pool thread
// and ended from the GUI thread.)
class ChildProcess
{
public:
    enum class Output { Pipe, Inherit };

    struct Launch
    {
        std::shared_ptr<ChildProcess> process; // null when the launch failed
        QString error; // the system's description of the launch failure
    };

    // `environment`: "NAME=value" entries that the child gets on top of ours (replacing ours of
    // the same name).
    static Launch launch(const QString &path, const QStringList &arguments,
                         Output output = Output::Pipe, const QStringList &environment = {});

    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    const QString &program() const { return program_; }
    const QStringList &arguments() const { return arguments_; }
    pid_t processId() const { return pid_; }

    // Still running (reaps it when it has just ended).
    bool isRunning();
    // Exit status once ended: the exit code, or the signal number when a signal ended it.
    std::optional<int> exitStatus();
    bool endedBySignal();

    // Reads the pipe while waiting for the child to end, for at most `timeout` (negative: no
    // limit). True when the child has ended (and is reaped) by then. The output read so far is
    // kept unless `onOutput` takes it.
    bool waitForExit(std::chrono::milliseconds timeout,
                     const std::function<void(const QByteArray &)> &onOutput = {});
    // Everything read from the pipe so far, taken out of the object.
    QByteArray takeOutput();

    // Asks the child to end (SIGTERM, or the stop signal set here); a no-op once it has been
    // reaped. A tool that cleans up only when interrupted gets SIGINT.
    void terminate();
    void setStopSignal(int signal) { stopSignal_.store(signal); }
    // Freezes it and everything it started (SIGSTOP): it can do nothing more until killed.
    void suspend();
    void resume();
    // Ends it and everything it started, for sure (SIGKILL to its process group); a no-op once
    // it has been reaped.
    void kill();

    // Runs `callback` once the child has ended and been reaped, on whichever thread notices the
    // end (at once, here, when it has already ended). A watched child's end is noticed at once.
    void whenEnded(std::function<void()> callback);

private:
    ChildProcess() = default;
    bool waitLocked(std::chrono::milliseconds timeout,
                    const std::function<void(const QByteArray &)> &onOutput);
    bool reapLocked(bool block);
    void closePipeLocked();
    // Runs the end callbacks when the child has just been reaped; never under the lock.
    void runEndCallbacks();

    QString program_;
    QStringList arguments_;
    pid_t pid_ = -1;
    int pipe_ = -1;
    int exitWatch_ = -1; // Linux pidfd: readable once the child has ended
    std::optional<int> status_;
    bool signalled_ = false;
    std::atomic<int> stopSignal_ {SIGTERM};
    QByteArray output_;
    std::vector<std::function<void()>> endCallbacks_;
    std::mutex mutex_; // guards pid state and output; never held while blocking in poll
    std::mutex waitMutex_; // one waiter at a time
};

namespace childprocess {

// How one line of a child's output reads on the console.
using LineText = std::function<QString(const QByteArray &line)>;

// Hands a long-lived child to a watcher thread that writes each line of its output to the
// console while it runs (a line longer than 4 KiB cut there), through `lineText` when given,
// and reaps it when it ends, so a chatty child never stalls and an ended one never lingers as
// a zombie.
void watch(const std::shared_ptr<ChildProcess> &process, LineText lineText = {});

// Asks a child to end without waiting for it; it is killed when it is still there after
// `grace`. Null is a no-op.
void terminate(const std::shared_ptr<ChildProcess> &process,
               std::chrono::milliseconds grace = std::chrono::seconds(3));

// Joins the watcher and terminator threads above once their children have ended, waiting at
// most `timeout`; true when none is left. Called at quit so no thread outlives main().
bool waitForHelperThreads(std::chrono::milliseconds timeout);

// The program is quitting: from now on no child is launched (a launch fails at once), and every
// child still running is asked to end with its stop signal, then killed with its process group
// once `grace` has passed. Blocks for at most `grace` plus the reaping. Called once, at quit.
void endAll(std::chrono::milliseconds grace);
// True once endAll() has begun.
bool quitting();

} // namespace childprocess
