#pragma once
// Termination signals (Ctrl+C, SIGTERM, a closed terminal) are taken by one
// watcher thread instead of ending the process wherever it happens to be, so
// that the run can shut down in order and remove what it must not leave
// behind.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/UniqueFd.h"

namespace platform {

class TerminationSignals {
  public:
    // Blocks SIGINT, SIGTERM and SIGHUP in the calling thread and every thread
    // it starts afterwards (so construct it first thing in main), then watches
    // for them on a thread of its own, which calls onSignal(signal) for each
    // one that arrives. When the watcher cannot be started the signals are
    // unblocked again and keep their default effect. On Windows a console
    // control handler takes Ctrl+C and Ctrl+Break (as SIGINT) and the closing
    // of the console, a log-off or a shutdown (as SIGTERM) instead.
    explicit TerminationSignals(std::function<void(int)> onSignal);
    // Stops and joins the watcher; the signals stay blocked.
    ~TerminationSignals();
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    bool Watching() const { return watcher_.joinable(); }

  private:
    void Watch();

    std::function<void(int)> onSignal_;
#ifdef _WIN32
  public:
    // From the console control handler's thread: queues one signal.
    void Deliver(int signal);

  private:
    std::mutex lock_;  // guards pending_, stop_
    std::condition_variable changed_;
    std::deque<int> pending_;
    bool stop_ = false;
#else
    UniqueFd signals_;  // signalfd of the three signals
    UniqueFd stop_;     // eventfd: readable once the watcher is to return
#endif
    std::thread watcher_;
};

}  // namespace platform
