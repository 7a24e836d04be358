#pragma once
// How a thread other than the entry thread ends the process (the client's
// tunnel or deployment receiver ended, the install prompt's Yes or Cancel, a
// termination signal): it records the exit code here and returns. The entry
// thread, woken wherever it waits (the console, the waits for a connection),
// runs the shutdown in its order and returns that code from main.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

namespace app {

class ProcessEnd {
  public:
    // The first request's code is the one the process exits with. Ends the
    // console input, so that a read on the entry thread gives way.
    void Request(int exitCode);
    bool Requested() const;
    // True once an end is requested, at the latest after `timeout`.
    bool WaitFor(std::chrono::milliseconds timeout) const;
    // The requested code, or 0 for a run that ended by itself.
    int ExitCode() const;

    // The entry thread has run its shutdown.
    void Finished();
    // True once Finished has been called, at the latest after `timeout`.
    bool WaitFinished(std::chrono::milliseconds timeout) const;

  private:
    mutable std::mutex lock_;  // guards code_, finished_
    mutable std::condition_variable changed_;
    std::optional<int> code_;
    bool finished_ = false;
};

}  // namespace app
