#pragma once
// Thread helpers: creation that reports failure instead of throwing, and the
// millisecond sleep the design's polling loops use.
#include <chrono>
#include <system_error>
#include <thread>
#include <utility>

namespace platform {

inline void SleepMs(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

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

// Starts a detached thread; false when the system refused.
template <typename Fn>
bool StartDetached(Fn&& fn) {
    std::thread thread;
    if (!StartThread(thread, std::forward<Fn>(fn)))
        return false;
    thread.detach();
    return true;
}

}  // namespace platform
