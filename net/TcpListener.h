#pragma once
// Listening sockets for one port: either the loopback addresses of both
// families, or one address the user chose. Accept waits on all of them at
// once and rides out a shortage of descriptors or buffers instead of giving
// up, so a port stays open for the whole run.
#include <atomic>
#include <chrono>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/NetError.h"
#include "net/TcpSocket.h"
#include "platform/SocketPoll.h"

namespace net {

// True when `address` names something Listen can bind: empty (loopback), a
// numeric IPv4 address or a numeric IPv6 address (without brackets: no port
// goes with it).
bool IsListenAddress(std::string_view address);

class TcpListener {
  public:
    TcpListener() = default;
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    // Binds `port` (0: the system picks one, the same for both families) on
    // `address`: empty binds ::1 and 127.0.0.1 (a family the system lacks is
    // skipped), "::" every interface of both families, any other numeric
    // address only that one. BadArgument for a text IsListenAddress refuses,
    // Bind when a socket could not be bound. Call once, before any Accept.
    NetError Listen(std::string_view address, int port);

    // Blocks for one connection on any of the sockets. Returns an empty value
    // once the listener is closed or broken, when one of `watched` reports an
    // event (peer-closed on a watched connection: platform::kPollPeerClosed),
    // or when `timeout` passes (negative: no limit); Closed() tells the
    // first case apart. Running out of descriptors, buffers or memory pauses
    // accepting for 100 ms, growing to 1 s while the shortage lasts. Only one
    // thread may wait in Accept at a time.
    TcpSocket Accept(std::span<platform::PollEntry> watched = {},
                     std::chrono::milliseconds timeout = std::chrono::milliseconds(-1));

    // Wakes a waiting Accept and makes every later one return at once; later
    // dials are refused. Any thread may call it.
    void Close();
    bool Closed() const { return closed_.load(); }

    bool IsListening() const { return !sockets_.empty(); }
    // The bound port (0 when nothing is bound).
    int LocalPort() const { return port_; }

  private:
    // Windows: a shut-down listening socket still takes connections into its
    // backlog, so Close closes the sockets themselves, or leaves it to the
    // waiting Accept as it returns.
    void CloseSockets();

    std::vector<TcpSocket> sockets_;  // fixed once Listen returned
    int port_ = 0;                    // fixed once Listen returned
    std::atomic<bool> closed_{false};
    std::atomic<int> accepting_{0};  // threads inside Accept
    std::mutex closeLock_;           // guards the closing of sockets_' handles
    // The waiting thread's back-off: its length and when it ends.
    std::chrono::milliseconds pause_{0};
    std::chrono::steady_clock::time_point pausedUntil_{};
};

}  // namespace net
