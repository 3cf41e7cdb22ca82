// The GUI thread's stalls for the benchmarks that run the window in-process: the lateness of a
// 1 ms timer, split by what the thread did meanwhile (from its schedstat).
#pragma once

#include "BenchCommon.h"

#include <QObject>
#include <QTimer>
#include <cstdio>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace bench {

// The GUI thread's time on a CPU and waiting for one, in ms, from its schedstat.
class SchedStat
{
public:
    SchedStat()
    {
        const long tid = syscall(SYS_gettid);
        fd_ = ::open(QStringLiteral("/proc/self/task/%1/schedstat").arg(tid).toLatin1().constData(),
                     O_RDONLY | O_CLOEXEC);
    }
    ~SchedStat()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    SchedStat(const SchedStat &) = delete;
    SchedStat &operator=(const SchedStat &) = delete;

    void read(double &runMs, double &waitMs) const
    {
        char buffer[128] = {};
        const ssize_t n = fd_ >= 0 ? ::pread(fd_, buffer, sizeof(buffer) - 1, 0) : -1;
        unsigned long long run = 0, wait = 0;
        if (n > 0)
            std::sscanf(buffer, "%llu %llu", &run, &wait);
        runMs = static_cast<double>(run) / 1e6;
        waitMs = static_cast<double>(wait) / 1e6;
    }

private:
    int fd_ = -1;
};

struct Stall
{
    double ms = 0; // lateness of the 1 ms timer
    double onCpuMs = 0;
    double waitingMs = 0;
    double otherMs = 0; // blocked in a call, or idle
};

// The 1 ms timer and the longest stall since the last reset.
class StallProbe : public QObject
{
public:
    StallProbe()
    {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(1);
        connect(&timer_, &QTimer::timeout, this, &StallProbe::tick);
    }
    void start()
    {
        last_ = bench::monotonicMs();
        sched_.read(lastRun_, lastWait_);
        timer_.start();
    }
    void stop() { timer_.stop(); }
    void reset() { worst_ = Stall {}; }
    // Forgets the gap since the last tick (a blocking call that was measured on its own).
    void resync()
    {
        last_ = bench::monotonicMs();
        sched_.read(lastRun_, lastWait_);
    }
    Stall worst() const { return worst_; }

private:
    void tick()
    {
        const double now = bench::monotonicMs();
        double run = 0, wait = 0;
        sched_.read(run, wait);
        const double late = now - last_ - 1.0;
        if (late > worst_.ms) {
            worst_.ms = late;
            worst_.onCpuMs = run - lastRun_;
            worst_.waitingMs = wait - lastWait_;
            worst_.otherMs = std::max(0.0, (now - last_) - worst_.onCpuMs - worst_.waitingMs);
        }
        last_ = now;
        lastRun_ = run;
        lastWait_ = wait;
    }

    QTimer timer_;
    SchedStat sched_;
    double last_ = 0, lastRun_ = 0, lastWait_ = 0;
    Stall worst_;
};

} // namespace bench
