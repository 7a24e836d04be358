#pragma once
// Termination signals (Ctrl+C, SIGTERM, a closed terminal) are taken by one
// watcher thread instead of ending the process wherever it happens to be, so
// that the run can remove what it must not leave behind.
#include <functional>

namespace platform {

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread and every thread it
// starts afterwards; call first thing in main. Then starts a detached thread
// that waits for one of them and calls onSignal(signal) there. False when the
// thread could not be started (signals then keep their default effect).
bool WatchTerminationSignals(std::function<void(int)> onSignal);

}  // namespace platform
