#pragma once
// Shared-secret authentication of the TCP channels (Port 1 and Port 3),
// over the exchange of the auth module. A server keeps every connection that
// has not yet proved itself waiting at once, each under its own deadline, so
// a silent or garbage peer holds up no one; the first that passes is the
// run's client, every one that fails is closed with one console line
// "Authentication failed: <address> (<reason>)". Runs on the thread that
// accepts (relay control thread, RemoteSync thread) or dials.
//
// The exchange guards who may connect; the channels stay unencrypted.
#include <string_view>

#include "net/TcpListener.h"
#include "net/TcpSocket.h"

namespace net {

enum class TcpChannel { Relay, Deployment };

// Connections waiting to prove themselves at once; more are closed on arrival.
inline constexpr std::size_t kAuthMaxWaiting = 16;

// The first connection on `listener` that proves `secret`; an empty value
// once the listener is closed or broken. `secret` must not be empty.
TcpSocket AcceptAuthenticated(TcpListener& listener, std::string_view secret, TcpChannel channel);
// The same on a single listening socket (made non-blocking here).
TcpSocket AcceptAuthenticated(const TcpSocket& listener, std::string_view secret,
                              TcpChannel channel);

// Client: proves `secret` to the server on a fresh connection and checks the
// server's proof, within the exchange's deadline. False when either failed.
bool AuthenticateToServer(const TcpSocket& connection, std::string_view secret, TcpChannel channel);

}  // namespace net
