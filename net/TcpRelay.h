#pragma once
// The TCP relay: every connection the debugger makes to the server's tunnel
// port is carried over one control connection to the client, which opens a
// matching connection to the debugger monitor. One instance serves either
// role.
//
// Threads: the server runs one thread on each listener (control, tunnel) and
// one pump per tunnelled connection; the client runs one thread on its
// control connection and one pump per monitor connection. The relay owns them
// all; CloseSockets (and the destructor) wakes and joins every one of them.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "net/NetError.h"

namespace net {

// A peer never sends more than this in one message; a larger length ends the
// control connection.
inline constexpr std::uint64_t kRelayMaxPayload = 90000;
// Reads on the server's tunnelled connections and on the client's monitor
// connections.
inline constexpr std::size_t kRelayServerRead = 90000;
inline constexpr std::size_t kRelayClientRead = 1000;

class TcpRelay {
  public:
    TcpRelay();
    TcpRelay(const TcpRelay&) = delete;
    TcpRelay& operator=(const TcpRelay&) = delete;

    // Client role: where the debugger monitor listens. Set before StartClient.
    std::string localHost;
    int localPort = 4026;

    // Server role: listens for the client on port3 and for the debugger on
    // port2 (both dual stack). Nothing happens unless both ports are set; a
    // port that cannot be bound starts no thread for it.
    void StartServer(int port2, int port3);

    // Client role: dials the server's port3 and serves its requests (no
    // retry when the connection cannot be made).
    NetError StartClient(const std::string& host, int port);

    // Shutdown: closes the control connection, the listeners and every
    // tunnelled connection of either role, which wakes every relay thread,
    // then joins the listener and control threads (the only ones that start
    // pumps) and after them the pumps. Nothing is accepted or opened
    // afterwards. Not for a relay thread to call.
    void CloseSockets();
    // As CloseSockets: no relay thread outlives the relay.
    ~TcpRelay();

    // Server: a client is connected. Client: the connection to the server is up.
    bool ControlConnected() const;
    // Tunnelled connections currently relayed (server rows, client monitor links).
    std::size_t TunnelCount() const;
    // Relay threads that have not finished yet.
    int RunningThreads() const;

    struct State;

  private:
    std::unique_ptr<State> state_;
};

}  // namespace net
