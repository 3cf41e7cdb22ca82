#pragma once

#include <QObject>
#include <chrono>
#include <functional>
#include <memory>

// Background work and the hand-back to the GUI thread.
namespace dispatch {

enum class Priority {
    UserInitiated, // the user waits for it: detection, spoofing
    Background, // nobody waits: the attachment probe
};

// Runs `job` on a pool thread. The job gets copies of what it needs and never touches
// GUI objects; it reports back through a MainQueue.
void runInBackground(Priority priority, std::function<void()> job);

// Runs jobs one after another, in the order submitted, each on a pool thread: the tool work of
// one phone, which must reach it in order. Copies share the queue.
class SerialQueue
{
public:
    SerialQueue();
    void submit(std::function<void()> job) const;

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
};

// Waits until no background job runs or `msecs` passed; true when all are done.
bool waitForBackgroundWork(int msecs);

// The program is quitting, after its window has gone: ends every child process (see
// childprocess::endAll), lets background work that waited on one give up, and joins the helper
// threads. Returns within about a second, whatever was under way.
void shutdown();

// A pause of background work that ends early when the program quits: false then, and the job
// should give up.
bool sleepUnlessQuitting(std::chrono::milliseconds duration);

} // namespace dispatch

// Posts callables to the GUI thread, to be run there in the order they were posted, in the
// context of one receiver. Copies are cheap and may travel to any thread. The receiver must
// close the queue before it is destroyed; from then on posts are dropped and post() answers
// false, so a job that outlives its receiver never calls into a dead object.
class MainQueue
{
public:
    MainQueue() = default;
    explicit MainQueue(QObject *receiver);

    bool post(std::function<void()> block) const;
    void close() const;

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
};
