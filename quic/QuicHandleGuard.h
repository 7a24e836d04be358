#pragma once
// Keeps a QUIC handle valid while other threads make calls with it. API calls
// are never made under a lock that a callback could need (calls from outside
// a worker may wait for it), so instead of holding a lock across a call, each
// caller registers itself; the handle is closed only once no call is in
// flight.
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

#include "quic/api/msquic_api.h"

namespace quic {

class QuicHandleGuard {
  public:
    using Closer = std::function<void(HQUIC)>;

    void Set(HQUIC handle) {
        std::lock_guard guard(lock_);
        handle_ = handle;
        identity_ = handle;
        retired_ = false;
    }

    // The handle as it was set, for lookups; it stays after retirement.
    HQUIC Identity() const {
        std::lock_guard guard(lock_);
        return identity_;
    }
    // True while new calls may still be made.
    bool Available() const {
        std::lock_guard guard(lock_);
        return handle_ != nullptr && !retired_;
    }

    // Runs fn(handle) with the handle kept open; nullopt when it is gone.
    template <typename Fn>
    auto Use(Fn&& fn) -> std::optional<std::invoke_result_t<Fn, HQUIC>> {
        HQUIC handle = nullptr;
        {
            std::lock_guard guard(lock_);
            if (handle_ == nullptr || retired_)
                return std::nullopt;
            ++users_;
            handle = handle_;
        }
        auto result = fn(handle);
        Release();
        return result;
    }

    // Refuses new calls and closes the handle once none is in flight: now
    // when none is, otherwise by the last caller (wait = false; for callbacks,
    // whose callers may be waiting for the worker) or after waiting for it
    // (wait = true). Returns false when the handle was already retired.
    bool Retire(Closer close, bool wait) {
        HQUIC handle = nullptr;
        {
            std::unique_lock guard(lock_);
            if (handle_ == nullptr || retired_)
                return false;
            retired_ = true;
            if (users_ > 0 && !wait) {
                pendingClose_ = std::move(close);
                return true;
            }
            idle_.wait(guard, [this] { return users_ == 0; });
            handle = std::exchange(handle_, nullptr);
        }
        if (close)
            close(handle);
        return true;
    }

  private:
    void Release() {
        Closer close;
        HQUIC handle = nullptr;
        {
            std::lock_guard guard(lock_);
            if (--users_ == 0) {
                idle_.notify_all();
                if (pendingClose_) {
                    close = std::exchange(pendingClose_, nullptr);
                    handle = std::exchange(handle_, nullptr);
                }
            }
        }
        if (close)
            close(handle);
    }

    mutable std::mutex lock_;
    std::condition_variable idle_;
    HQUIC handle_ = nullptr;
    HQUIC identity_ = nullptr;
    bool retired_ = false;
    int users_ = 0;
    Closer pendingClose_;
};

}  // namespace quic
