#pragma once
// The TCP relay: every connection the debugger makes to the server's tunnel
// port is carried over one control connection to the client, which opens a
// matching connection to the debugger monitor. One instance serves either
// role.
//
// Threads: the server runs one thread on each listener (control, tunnel);
// the client runs one thread on its control connection. Each tunnelled
// connection (a debugger connection on the server, a monitor connection on
// the client) has a pump, which reads it and sends to the peer, and a writer,
// which writes what the peer sent for it. The relay owns them all;
// CloseSockets (and the destructor) wakes and joins every one of them.
// Pumps share the control connection (ControlLink): each read goes out as
// one batch of messages, never interleaved with another pump's.
//
// What a peer sends for one connection waits in that connection's own queue,
// so a connection that does not read holds up no other: the control reader
// never blocks on a tunnelled socket. The wire has no flow control: when a
// queue reaches kRelayQueueLimit the control reader waits for it as long as
// its writer keeps taking bytes (a reader slower than its peer loses
// nothing), and closes the connection once its writer has taken nothing for
// kRelayStallLimit; the peer learns it by the RELAY_CLOSE the pump then
// sends, and the other connections go on. All queues of one relay together
// stay within kRelayQueueBudget.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "net/NetError.h"

namespace net {

// A peer never sends more than this in one message; a larger length ends the
// control connection.
inline constexpr std::uint64_t kRelayMaxPayload = 90000;
// Reads on the server's tunnelled connections and on the client's monitor
// connections. The server sends a read as one message; the client cuts each
// read into messages of at most kRelayClientPayload bytes and sends them
// together.
inline constexpr std::size_t kRelayServerRead = 90000;
inline constexpr std::size_t kRelayClientRead = std::size_t{64} << 10;
inline constexpr std::size_t kRelayClientPayload = 1000;
// Tunnelled connections at once, per side (far more than a debugger opens);
// the server closes further debugger connections at once, the client answers
// further open requests with the failure reply.
inline constexpr std::size_t kRelayMaxTunnels = 64;
// Bytes queued for one connection that does not read before it is closed,
// and for all of them together before the one furthest behind is.
inline constexpr std::size_t kRelayQueueLimit = std::size_t{4} << 20;
inline constexpr std::chrono::milliseconds kRelayStallLimit{1000};
inline constexpr std::size_t kRelayQueueBudget = std::size_t{64} << 20;

class TcpRelay {
  public:
    TcpRelay();
    TcpRelay(const TcpRelay&) = delete;
    TcpRelay& operator=(const TcpRelay&) = delete;

    // Both roles: the shared secret each connection on port3 proves before
    // its first message (AuthGate.h); empty for none. Set before starting.
    std::string secret;

    // Client role: where the debugger monitor listens. Set before StartClient.
    std::string localHost;
    int localPort = 4026;

    // Server role: how long an announced debugger connection waits for the
    // client's reply before it is closed. Set before StartServer.
    std::chrono::milliseconds openTimeout{30000};

    // Server role: listens for the client on port3 (every interface, both
    // families) and for the debugger on port2 at `listenAddress` (see
    // TcpListener::Listen; empty is the loopback addresses, as the debugger
    // runs on this machine). Nothing happens unless both ports are set; a port
    // that cannot be bound starts no thread for it. With a secret, the first
    // client on port3 that passes the exchange is the run's one client.
    void StartServer(int port2, int port3, std::string_view listenAddress = {});

    // Client role: dials the server's port3 and serves its requests (no
    // retry when the connection cannot be made). With a secret, Refused when
    // the server did not pass the exchange; nothing is served then.
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
    // Server: debugger connections announced and still waiting for the reply.
    std::size_t PendingOpens() const;
    // Relay threads that have not finished yet.
    int RunningThreads() const;

    struct State;

  private:
    std::unique_ptr<State> state_;
};

}  // namespace net
