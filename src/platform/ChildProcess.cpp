#include "platform/ChildProcess.h"

#include "platform/Console.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <map>
#include <mutex>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#ifdef Q_OS_LINUX
#include <sys/syscall.h>
#endif

extern char **environ;

using namespace std::chrono;

namespace {

int openExitWatch([[maybe_unused]] pid_t pid)
{
#if defined(Q_OS_LINUX) && defined(SYS_pidfd_open)
    const long fd = syscall(SYS_pidfd_open, pid, 0);
    if (fd >= 0) {
        fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
        return static_cast<int>(fd);
    }
#endif
    return -1;
}

QString describe(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Every child launched and not yet let go, so that quitting can end them all.
struct Registry
{
    std::mutex mutex;
    std::vector<std::weak_ptr<ChildProcess>> children;
    std::atomic<bool> quitting {false};

    static Registry &instance()
    {
        static Registry *const registry = new Registry; // outlives static destruction
        return *registry;
    }
    void add(const std::shared_ptr<ChildProcess> &child)
    {
        std::lock_guard lock(mutex);
        std::erase_if(children, [](const std::weak_ptr<ChildProcess> &c) { return c.expired(); });
        children.push_back(child);
    }
    std::vector<std::shared_ptr<ChildProcess>> live()
    {
        std::lock_guard lock(mutex);
        std::vector<std::shared_ptr<ChildProcess>> result;
        for (const std::weak_ptr<ChildProcess> &c : children) {
            if (std::shared_ptr<ChildProcess> child = c.lock())
                result.push_back(std::move(child));
        }
        return result;
    }
};

} // namespace

ChildProcess::Launch ChildProcess::launch(const QString &path, const QStringList &arguments,
                                          Output output, const QStringList &environment)
{
    if (childprocess::quitting())
        return {nullptr, QStringLiteral("PinDrift is quitting")};
    int fds[2] = {-1, -1};
    if (output == Output::Pipe && pipe2(fds, O_CLOEXEC) != 0)
        return {nullptr, describe(errno)};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (output == Output::Pipe) {
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    }
    // The child starts with default signal handling and nothing blocked, whatever our
    // threads did.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGCHLD, SIGUSR1, SIGUSR2})
        sigaddset(&defaults, signal);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    // Its own process group, so that killing it also ends whatever it started.
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    const QByteArray file = QFile::encodeName(path);
    std::vector<QByteArray> storage;
    storage.reserve(static_cast<size_t>(arguments.size()) + 1);
    storage.push_back(file);
    for (const QString &argument : arguments)
        storage.push_back(argument.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    // Ours, with the caller's entries in place of ours of the same name; an entry that is a
    // bare name ("NAME", no "=") takes ours away.
    std::vector<QByteArray> envStorage;
    for (const QString &entry : environment)
        envStorage.push_back(entry.toLocal8Bit());
    const auto nameOf = [](const QByteArray &entry) {
        const qsizetype equals = entry.indexOf('=');
        return equals < 0 ? entry : entry.left(equals);
    };
    std::vector<char *> envp;
    for (char **variable = environ; variable && *variable; ++variable) {
        const QByteArray name = nameOf(QByteArray(*variable));
        const bool replaced = std::any_of(envStorage.begin(), envStorage.end(),
                                          [&](const QByteArray &e) { return nameOf(e) == name; });
        if (!replaced)
            envp.push_back(*variable);
    }
    for (QByteArray &entry : envStorage) {
        if (entry.contains('='))
            envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    pid_t pid = -1;
    const int error =
        posix_spawn(&pid, file.constData(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (output == Output::Pipe)
        ::close(fds[1]);
    if (error != 0) {
        if (output == Output::Pipe)
            ::close(fds[0]);
        return {nullptr, describe(error)};
    }

    std::shared_ptr<ChildProcess> process(new ChildProcess);
    process->program_ = path;
    process->arguments_ = arguments;
    process->pid_ = pid;
    process->pipe_ = fds[0];
    process->exitWatch_ = openExitWatch(pid);
    Registry::instance().add(process);
    // Quitting began while this one was being launched: it must not outlive us either.
    if (childprocess::quitting())
        process->kill();
    return {process, QString()};
}

ChildProcess::~ChildProcess()
{
    std::lock_guard lock(mutex_);
    closePipeLocked();
    if (exitWatch_ >= 0)
        ::close(exitWatch_);
    // A child still running here would become a zombie when it ends: end and reap it. Only
    // reached when every owner let go without waiting, which the program does not do.
    if (!status_ && pid_ > 0) {
        ::kill(-pid_, SIGKILL);
        reapLocked(true);
    }
}

bool ChildProcess::reapLocked(bool block)
{
    if (status_)
        return true;
    int raw = 0;
    pid_t result;
    do {
        result = ::waitpid(pid_, &raw, block ? 0 : WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result == pid_) {
        if (WIFSIGNALED(raw)) {
            status_ = WTERMSIG(raw);
            signalled_ = true;
        } else {
            status_ = WEXITSTATUS(raw);
        }
        return true;
    }
    if (result < 0) { // not our child any more (ECHILD): someone else reaped it
        status_ = -1;
        return true;
    }
    return false;
}

void ChildProcess::closePipeLocked()
{
    if (pipe_ >= 0) {
        ::close(pipe_);
        pipe_ = -1;
    }
}

void ChildProcess::runEndCallbacks()
{
    std::vector<std::function<void()>> callbacks;
    {
        std::lock_guard lock(mutex_);
        if (status_)
            callbacks.swap(endCallbacks_);
    }
    for (const std::function<void()> &callback : callbacks)
        callback();
}

void ChildProcess::whenEnded(std::function<void()> callback)
{
    {
        std::lock_guard lock(mutex_);
        if (!reapLocked(false)) {
            endCallbacks_.push_back(std::move(callback));
            return;
        }
    }
    runEndCallbacks();
    callback();
}

bool ChildProcess::isRunning()
{
    bool running;
    {
        std::lock_guard lock(mutex_);
        running = !reapLocked(false);
    }
    if (!running)
        runEndCallbacks();
    return running;
}

std::optional<int> ChildProcess::exitStatus()
{
    std::optional<int> status;
    {
        std::lock_guard lock(mutex_);
        reapLocked(false);
        status = status_;
    }
    if (status)
        runEndCallbacks();
    return status;
}

bool ChildProcess::endedBySignal()
{
    std::lock_guard lock(mutex_);
    reapLocked(false);
    return signalled_;
}

bool ChildProcess::waitForExit(milliseconds timeout,
                               const std::function<void(const QByteArray &)> &onOutput)
{
    const bool ended = waitLocked(timeout, onOutput);
    if (ended)
        runEndCallbacks();
    return ended;
}

bool ChildProcess::waitLocked(milliseconds timeout,
                              const std::function<void(const QByteArray &)> &onOutput)
{
    std::lock_guard waiting(waitMutex_);
    const auto deadline = steady_clock::now() + timeout;
    char buffer[65536];
    for (;;) {
        int readFd = -1;
        {
            std::lock_guard lock(mutex_);
            if (reapLocked(false)) {
                // Ended: take what is already in the pipe, but do not wait for an end of file
                // that a grandchild holding the pipe might never send.
                while (pipe_ >= 0) {
                    pollfd p {pipe_, POLLIN, 0};
                    if (::poll(&p, 1, 0) <= 0)
                        break;
                    const ssize_t n = ::read(pipe_, buffer, sizeof(buffer));
                    if (n < 0 && errno == EINTR)
                        continue;
                    if (n <= 0)
                        break;
                    const QByteArray chunk(buffer, n);
                    if (onOutput)
                        onOutput(chunk);
                    else
                        output_.append(chunk);
                }
                closePipeLocked();
                return true;
            }
            readFd = pipe_;
        }

        int wait = -1;
        if (timeout.count() >= 0) {
            const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
            if (left <= 0)
                return false;
            wait = static_cast<int>(left);
        }
        // Without an exit notification (no pidfd), look again every 20 ms.
        if (exitWatch_ < 0 && (wait < 0 || wait > 20))
            wait = 20;

        pollfd fds[2];
        nfds_t count = 0;
        if (readFd >= 0)
            fds[count++] = pollfd {readFd, POLLIN, 0};
        if (exitWatch_ >= 0)
            fds[count++] = pollfd {exitWatch_, POLLIN, 0};
        const int ready = ::poll(fds, count, wait);
        if (ready < 0 && errno != EINTR)
            return false;
        if (readFd >= 0 && ready > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            const ssize_t n = ::read(readFd, buffer, sizeof(buffer));
            if (n > 0) {
                const QByteArray chunk(buffer, n);
                std::lock_guard lock(mutex_);
                if (onOutput)
                    onOutput(chunk);
                else
                    output_.append(chunk);
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                std::lock_guard lock(mutex_);
                closePipeLocked(); // end of file: only the exit is left to wait for
            }
        }
    }
}

QByteArray ChildProcess::takeOutput()
{
    std::lock_guard lock(mutex_);
    return std::exchange(output_, QByteArray());
}

void ChildProcess::terminate()
{
    std::lock_guard lock(mutex_);
    if (!reapLocked(false))
        ::kill(pid_, stopSignal_.load());
}

void ChildProcess::kill()
{
    std::lock_guard lock(mutex_);
    if (!reapLocked(false))
        ::kill(-pid_, SIGKILL); // the whole group: a helper it started must not outlive it
}

void ChildProcess::suspend()
{
    std::lock_guard lock(mutex_);
    if (!reapLocked(false))
        ::kill(-pid_, SIGSTOP);
}

void ChildProcess::resume()
{
    std::lock_guard lock(mutex_);
    if (!reapLocked(false))
        ::kill(-pid_, SIGCONT);
}

namespace childprocess {

namespace {

// Writes whole lines to the console as they arrive; a last unfinished line at the end. A line
// longer than kLongestLine bytes is cut there and the rest of it dropped: a tool that never ends
// its line (a progress display redrawn with carriage returns, say) must not grow memory for as
// long as it runs.
class LineForwarder
{
public:
    static constexpr qsizetype kLongestLine = 4096;

    explicit LineForwarder(LineText lineText)
        : lineText_(std::move(lineText))
    {
    }

    void feed(const QByteArray &chunk)
    {
        qsizetype from = 0;
        while (from < chunk.size()) {
            const qsizetype newline = chunk.indexOf('\n', from);
            const qsizetype end = newline < 0 ? chunk.size() : newline;
            if (!cut_) {
                const qsizetype room = kLongestLine - pending_.size();
                pending_.append(chunk.constData() + from, std::min(end - from, room));
                if (end - from > room) {
                    consoleLine(text(pending_) + QStringLiteral(" […]"));
                    pending_.clear();
                    cut_ = true;
                }
            }
            if (newline < 0)
                return;
            if (!cut_)
                consoleLine(text(pending_));
            pending_.clear();
            cut_ = false;
            from = newline + 1;
        }
    }
    void finish()
    {
        if (!pending_.isEmpty())
            consoleLine(text(pending_));
        pending_.clear();
    }

private:
    QString text(const QByteArray &line) const
    {
        return lineText_ ? lineText_(line) : QString::fromUtf8(line);
    }

    LineText lineText_;
    QByteArray pending_;
    bool cut_ = false; // the rest of the current line is dropped
};

} // namespace

namespace {

// The watcher and terminator threads. Each is joined, never detached: finished ones when the
// next one starts, the rest at quit.
class HelperThreads
{
public:
    static HelperThreads &instance()
    {
        static HelperThreads *const threads = new HelperThreads; // outlives static destruction
        return *threads;
    }

    void start(std::function<void()> job)
    {
        std::lock_guard lock(mutex_);
        joinFinished();
        // The new thread cannot report before it is registered: it needs the lock for that.
        std::thread thread([this, job = std::move(job)] {
            job();
            std::lock_guard done(mutex_);
            finished_.push_back(std::this_thread::get_id());
            changed_.notify_all();
        });
        const std::thread::id id = thread.get_id();
        running_.emplace(id, std::move(thread));
    }

    bool waitUntilNoneRuns(milliseconds timeout)
    {
        std::unique_lock lock(mutex_);
        const bool none = changed_.wait_for(lock, timeout,
                                            [this] { return finished_.size() == running_.size(); });
        joinFinished();
        return none;
    }

private:
    void joinFinished()
    {
        for (const std::thread::id id : finished_) {
            const auto found = running_.find(id);
            found->second.join(); // it has nothing left to do but return
            running_.erase(found);
        }
        finished_.clear();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::thread::id, std::thread> running_;
    std::vector<std::thread::id> finished_;
};

} // namespace

bool waitForHelperThreads(milliseconds timeout)
{
    return HelperThreads::instance().waitUntilNoneRuns(timeout);
}

bool quitting()
{
    return Registry::instance().quitting.load();
}

void endAll(milliseconds grace)
{
    Registry::instance().quitting.store(true);
    const std::vector<std::shared_ptr<ChildProcess>> children = Registry::instance().live();
    for (const std::shared_ptr<ChildProcess> &child : children) {
        child->resume(); // a frozen one cannot take its stop signal
        child->terminate();
    }
    const auto anyRunning = [&children] {
        return std::any_of(children.begin(), children.end(),
                           [](const std::shared_ptr<ChildProcess> &c) { return c->isRunning(); });
    };
    const auto deadline = steady_clock::now() + grace;
    while (anyRunning() && steady_clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(10));
    for (const std::shared_ptr<ChildProcess> &child : children)
        child->kill();
    // SIGKILL cannot be ignored; the bound only guards against a child we cannot reap.
    const auto reaped = steady_clock::now() + seconds(1);
    while (anyRunning() && steady_clock::now() < reaped)
        std::this_thread::sleep_for(milliseconds(5));
}

void watch(const std::shared_ptr<ChildProcess> &process, LineText lineText)
{
    if (!process)
        return;
    // Forward whatever arrived before the hand-over first.
    auto forwarder = std::make_shared<LineForwarder>(std::move(lineText));
    forwarder->feed(process->takeOutput());
    HelperThreads::instance().start([process, forwarder] {
        process->waitForExit(milliseconds(-1),
                             [forwarder](const QByteArray &chunk) { forwarder->feed(chunk); });
        forwarder->finish();
    });
}

void terminate(const std::shared_ptr<ChildProcess> &process, milliseconds grace)
{
    if (!process)
        return;
    process->terminate();
    if (!process->isRunning())
        return;
    HelperThreads::instance().start([process, grace] {
        const auto deadline = steady_clock::now() + grace;
        while (process->isRunning() && steady_clock::now() < deadline)
            std::this_thread::sleep_for(milliseconds(20));
        process->kill();
        while (process->isRunning()) // reap it, so it does not linger as a zombie
            std::this_thread::sleep_for(milliseconds(5));
    });
}

} // namespace childprocess
