#pragma once
// How accepting rides out a shortage: running out of descriptors, buffers or
// memory passes once other connections end, so the accept is retried after a
// pause that grows from 100 ms to 1 s while the shortage lasts.
#include <algorithm>
#include <chrono>

#include "platform/Socket.h"

namespace net {

inline bool IsAcceptShortage(platform::SocketError error) {
    return error == platform::SocketError::Shortage;
}

// The pause after `last` (0 when the previous accept succeeded).
inline std::chrono::milliseconds NextAcceptPause(std::chrono::milliseconds last) {
    constexpr std::chrono::milliseconds first{100}, longest{1000};
    return last.count() == 0 ? first : std::min(last * 2, longest);
}

}  // namespace net
