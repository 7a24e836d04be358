#pragma once
// The handler the shell installs on an endpoint or session, with the context
// passed to it. Set from the shell's thread, read by worker-thread callbacks.
#include <mutex>
#include <utility>

namespace quic {

template <typename Fn>
class HandlerSlot {
  public:
    void Set(Fn handler, void* context) {
        std::lock_guard guard(lock_);
        handler_ = handler;
        context_ = context;
    }
    std::pair<Fn, void*> Get() const {
        std::lock_guard guard(lock_);
        return {handler_, context_};
    }

  private:
    mutable std::mutex lock_;  // guards handler_, context_
    Fn handler_ = nullptr;
    void* context_ = nullptr;
};

}  // namespace quic
