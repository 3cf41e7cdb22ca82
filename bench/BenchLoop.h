#pragma once

// Waiting in the benchmarks that drive a whole window: the event loop runs meanwhile.
#include "BenchCommon.h"
#include "state/ScreenModel.h"

#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <functional>

namespace bench {

// Runs a kit command on a helper thread while the event loop goes on; answers when it
// finished (monotonic ms), 0 when it failed.
inline double kitCommand(const std::function<bool()> &command)
{
    bool ok = false;
    double finishedAt = 0;
    QThread *thread = QThread::create([&] {
        ok = command();
        finishedAt = monotonicMs();
    });
    QEventLoop loop;
    QObject::connect(thread, &QThread::finished, &loop, &QEventLoop::quit);
    thread->start();
    loop.exec();
    thread->wait();
    delete thread;
    return ok ? finishedAt : 0;
}

// Runs the event loop until `done` holds after a change of the screen state (checked once the
// screen has been redrawn from it); answers when (monotonic ms), 0 on time-out.
inline double waitFor(const ScreenModel &model, const std::function<bool()> &done,
                      int timeoutMs = 30000)
{
    if (done())
        return monotonicMs();
    double at = 0;
    QEventLoop loop;
    const auto connection = QObject::connect(&model, &ScreenModel::changed, &loop, [&] {
        if (at == 0 && done()) {
            at = monotonicMs();
            loop.quit();
        }
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    QObject::disconnect(connection);
    return at;
}

// Runs the event loop for `ms`.
inline void pause(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace bench
