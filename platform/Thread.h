#pragma once
// Thread helpers: creation that reports failure instead of throwing, a set
// that owns a changing number of threads and joins every one of them, the
// millisecond sleep of the polling loops, and a lower priority for threads
// whose work is optional.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <list>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace platform {

inline void SleepMs(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// Lowers the calling thread's scheduling priority (and only that thread's),
// so that it runs on what the rest of the machine leaves: for work that
// merely saves something, such as compression that a transport can do
// without. False when the system refused.
bool LowerThisThreadsPriority();

// Starts fn on a new thread into `out`; false when the system refused.
template <typename Fn>
bool StartThread(std::thread& out, Fn&& fn) {
    try {
        out = std::thread(std::forward<Fn>(fn));
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

// Owns threads that start and end at any time (one per connection, say).
// A finished thread is joined at the next Start; JoinAll and the destructor
// join the rest, so whatever a thread uses must be woken (a socket closed)
// before. Never call JoinAll from one of the set's own threads.
class ThreadSet {
  public:
    ThreadSet() = default;
    ThreadSet(const ThreadSet&) = delete;
    ThreadSet& operator=(const ThreadSet&) = delete;
    ~ThreadSet() { JoinAll(); }

    // Runs fn on a new thread of the set; false when the system refused.
    template <typename Fn>
    bool Start(Fn&& fn) {
        std::list<Entry> finished;
        std::lock_guard guard(lock_);
        Reap(finished);
        Entry& entry = entries_.emplace_back();
        if (StartThread(entry.thread, [&done = entry.done, fn = std::forward<Fn>(fn)]() mutable {
                fn();
                done.store(true);
            }))
            return true;
        entries_.pop_back();
        return false;
    }

    void JoinAll() {
        std::list<Entry> all;
        {
            std::lock_guard guard(lock_);
            all.swap(entries_);
        }
        for (Entry& entry : all)
            entry.thread.join();
    }

    // Threads started and not yet joined, finished ones included.
    std::size_t Size() const {
        std::lock_guard guard(lock_);
        return entries_.size();
    }

  private:
    struct Entry {
        std::thread thread;
        std::atomic<bool> done{false};
    };

    // Moves finished threads to `out` and joins them (they have returned).
    void Reap(std::list<Entry>& out) {
        for (auto it = entries_.begin(); it != entries_.end();) {
            auto next = std::next(it);
            if (it->done.load()) {
                it->thread.join();
                out.splice(out.end(), entries_, it);
            }
            it = next;
        }
    }

    mutable std::mutex lock_;  // guards entries_
    std::list<Entry> entries_;
};

}  // namespace platform
