#pragma once
// Waiting for readiness on several sockets at once: poll on POSIX, WSAPoll on
// Windows, with the same entry layout and flags either way. Level-triggered;
// the caller's thread waits.
#ifdef _WIN32
#include <winsock2.h>
#else
#include <poll.h>
#endif

#include <span>

#include "platform/Socket.h"

namespace platform {

#ifdef _WIN32
using PollEntry = WSAPOLLFD;
// Windows has no half-close event of its own: a peer's close shows as
// POLLHUP, which is reported whatever was asked for.
inline constexpr short kPollPeerClosed = 0;
// POLLIN also asks for POLLRDBAND, which WSAPoll takes; POLLPRI it refuses.
inline constexpr short kPollIn = POLLRDNORM;
inline constexpr short kPollOut = POLLWRNORM;
#else
using PollEntry = pollfd;
inline constexpr short kPollPeerClosed = POLLRDHUP;
inline constexpr short kPollIn = POLLIN;
inline constexpr short kPollOut = POLLOUT;
#endif
inline constexpr short kPollHangup = POLLHUP | POLLERR | POLLNVAL;

inline PollEntry MakePollEntry(SocketHandle socket, short events) {
    PollEntry entry{};
    entry.fd = socket;
    entry.events = events;
    return entry;
}

// Waits up to `timeoutMs` (negative: no limit) for an event on any entry.
// Returns how many entries have one, 0 when the time ran out or a signal
// came, -1 on an error.
int PollSockets(std::span<PollEntry> entries, int timeoutMs);

// The longest a wait that a shutdown must end may last in one call: a
// listening socket shut down on Windows wakes no WSAPoll, so the waiter
// looks at its own flag between calls. Without limit on POSIX.
int PollSlice(int timeoutMs);

}  // namespace platform
