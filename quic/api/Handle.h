#pragma once
// Base of every object behind an HQUIC: its kind and the application's
// callback and context, which may be replaced from any thread.
#include <mutex>
#include <utility>

#include "quic/api/msquic_api.h"

enum class QuicHandleType { Registration, Configuration, Listener, Connection, Stream };

struct QUIC_HANDLE {
    explicit QUIC_HANDLE(QuicHandleType handleType) : type(handleType) {}
    virtual ~QUIC_HANDLE() = default;
    QUIC_HANDLE(const QUIC_HANDLE&) = delete;
    QUIC_HANDLE& operator=(const QUIC_HANDLE&) = delete;

    const QuicHandleType type;

    void SetHandler(void* newHandler, void* newContext) {
        std::lock_guard guard(handlerLock);
        handler = newHandler;
        context = newContext;
    }
    void SetContext(void* newContext) {
        std::lock_guard guard(handlerLock);
        context = newContext;
    }
    void* Context() const {
        std::lock_guard guard(handlerLock);
        return context;
    }
    // The callback, cast to its function type, and the context to pass to it.
    template <typename Fn>
    std::pair<Fn*, void*> Handler() const {
        std::lock_guard guard(handlerLock);
        return {reinterpret_cast<Fn*>(handler), context};
    }

  private:
    mutable std::mutex handlerLock;
    void* handler = nullptr;
    void* context = nullptr;
};
