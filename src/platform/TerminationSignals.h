#pragma once

#include <functional>

class QObject;

namespace platform {

// Runs `handler` on the GUI thread when the process is asked to end (SIGTERM, SIGINT, SIGHUP),
// so it can close its window and clean up as if the user had quit.
void onTerminationSignal(QObject *context, std::function<void()> handler);

} // namespace platform
