#pragma once
// Runs an Exchange over a connected stream socket: to the end
// on the calling thread (a client that dials), or a step at a time as bytes
// arrive (a server that keeps several connections waiting at once). Neither
// reads a byte beyond the exchange, so the connection's own messages follow
// it untouched.
#include <chrono>

#include "auth/PeerAuth.h"
#include "platform/Socket.h"

namespace auth {

// Sends and reads until the exchange is over or `deadline` passes (then
// Timeout). Returns the exchange's outcome.
AuthError RunOnSocket(platform::SocketHandle socket, Exchange& exchange,
                      std::chrono::steady_clock::time_point deadline);

// Sends what is due and takes what has arrived, without blocking; the
// exchange tells whether it is over. A connection that ended, or one that
// does not take a small message at once, fails it (Closed).
void StepOnSocket(platform::SocketHandle socket, Exchange& exchange);

}  // namespace auth
