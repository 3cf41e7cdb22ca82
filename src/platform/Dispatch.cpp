#include "platform/Dispatch.h"

#include "platform/ChildProcess.h"
#include "platform/Console.h"

#include <QDeadlineTimer>
#include <QThreadPool>
#include <deque>
#include <mutex>
#include <thread>

namespace dispatch {

namespace {

// Jobs block their thread on tools and pauses, so the pools are wider than the core count.
constexpr int kMaxThreads = 16;

QThreadPool &pool(Priority priority)
{
    // Touch the console first so it is destroyed after the pools that may still write to it.
    static ConsoleLog &console = ConsoleLog::instance();
    Q_UNUSED(console);
    static QThreadPool *const userPool = [] {
        auto *p = new QThreadPool;
        p->setMaxThreadCount(kMaxThreads);
        p->setExpiryTimeout(30000);
        return p;
    }();
    static QThreadPool *const backgroundPool = [] {
        auto *p = new QThreadPool;
        p->setMaxThreadCount(kMaxThreads);
        p->setExpiryTimeout(30000);
        p->setThreadPriority(QThread::LowPriority);
        return p;
    }();
    return priority == Priority::Background ? *backgroundPool : *userPool;
}

} // namespace

void runInBackground(Priority priority, std::function<void()> job)
{
    pool(priority).start(std::move(job));
}

bool waitForBackgroundWork(int msecs)
{
    const QDeadlineTimer deadline(msecs);
    return pool(Priority::UserInitiated).waitForDone(static_cast<int>(deadline.remainingTime()))
        && pool(Priority::Background).waitForDone(static_cast<int>(deadline.remainingTime()));
}

struct SerialQueue::Shared
{
    std::mutex mutex;
    std::deque<std::function<void()>> jobs;
    bool draining = false;
};

SerialQueue::SerialQueue()
    : shared_(std::make_shared<Shared>())
{
}

void SerialQueue::submit(std::function<void()> job) const
{
    {
        std::lock_guard lock(shared_->mutex);
        shared_->jobs.push_back(std::move(job));
        if (shared_->draining)
            return;
        shared_->draining = true;
    }
    runInBackground(Priority::UserInitiated, [shared = shared_] {
        for (;;) {
            std::function<void()> next;
            {
                std::lock_guard lock(shared->mutex);
                if (shared->jobs.empty()) {
                    shared->draining = false;
                    return;
                }
                next = std::move(shared->jobs.front());
                shared->jobs.pop_front();
            }
            next();
        }
    });
}

void shutdown()
{
    using namespace std::chrono_literals;
    childprocess::endAll(300ms);
    waitForBackgroundWork(500);
    childprocess::waitForHelperThreads(300ms);
}

bool sleepUnlessQuitting(std::chrono::milliseconds duration)
{
    using namespace std::chrono;
    const auto until = steady_clock::now() + duration;
    while (!childprocess::quitting()) {
        const auto left = until - steady_clock::now();
        if (left <= steady_clock::duration::zero())
            return true;
        std::this_thread::sleep_for(std::min<steady_clock::duration>(left, milliseconds(20)));
    }
    return false;
}

} // namespace dispatch

struct MainQueue::Shared
{
    std::mutex mutex;
    QObject *receiver = nullptr; // cleared by close(), which the receiver calls as it goes away
};

MainQueue::MainQueue(QObject *receiver)
    : shared_(std::make_shared<Shared>())
{
    shared_->receiver = receiver;
}

bool MainQueue::post(std::function<void()> block) const
{
    if (!shared_)
        return false;
    // The lock keeps close() from finishing while a post is under way: after close()
    // returns, nothing new reaches the receiver.
    std::lock_guard lock(shared_->mutex);
    QObject *receiver = shared_->receiver;
    if (!receiver)
        return false;
    return QMetaObject::invokeMethod(receiver, std::move(block), Qt::QueuedConnection);
}

void MainQueue::close() const
{
    if (!shared_)
        return;
    std::lock_guard lock(shared_->mutex);
    shared_->receiver = nullptr;
}
