#pragma once
// The net module: a small blocking TCP socket (this file), the listening
// sockets of one port with their accept loop (TcpListener.h), the TCP relay
// (TcpRelay.h) with its control connection (ControlLink.h), and the
// shared-secret gate of the TCP channels (AuthGate.h). Sockets, listeners
// and the gate block the thread that calls them; the relay runs its own
// threads and joins them all when it is closed or destroyed. Failures are
// reported as NetError.
//
// A socket's descriptor may be shared by several values. It is closed when
// the last sharing value lets go of it, so a number still held by one thread
// never names a different, reused socket.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "net/NetError.h"
#include "platform/Socket.h"

namespace net {

using platform::kInvalidSocket;
using platform::SocketHandle;

// Whether a single Send or Receive may wait for the socket.
enum class Blocking { Wait, NoWait };

class TcpSocket {
  public:
    // Creates an IPv4 stream socket at once.
    TcpSocket();
    // Takes ownership of `handle` (kInvalidSocket gives an empty value).
    explicit TcpSocket(SocketHandle handle);
    TcpSocket(const TcpSocket&) = default;
    TcpSocket& operator=(const TcpSocket&) = default;
    TcpSocket(TcpSocket&&) noexcept = default;
    TcpSocket& operator=(TcpSocket&&) noexcept = default;
    ~TcpSocket() = default;

    // Drops what the value held and makes a new socket of `family` (AF_INET6
    // dual stack, or AF_INET). On failure the value is empty.
    NetError Create(int family);

    // Wildcard address of the socket's family, backlog 3.
    NetError BindAndListen(int port);

    // Resolves `host` (UTF-8) and tries every address in order until one
    // connects. BadArgument at once for an empty host or a port outside
    // 1..65535.
    NetError Connect(std::string_view host, int port);

    // Blocks for one connection; an empty value when accept fails or the
    // socket is closed. Running out of descriptors, buffers or memory is
    // waited out (see AcceptPause.h) rather than taken as a failure.
    TcpSocket Accept() const;

    // Drops what the value held and owns `handle` with a fresh share.
    void Attach(SocketHandle handle);
    // Forgets the handle without closing it and returns it. A value that was
    // the only holder hands ownership to the caller; otherwise the other
    // holders keep it.
    SocketHandle Detach();

    // Byte counts. all=false: one call, result as the system gives it (-1 on
    // an error). all=true: until everything went (or arrived), the peer
    // closed, or an error; returns the count so far.
    // NoWait moves only what goes at once (-1 and WouldBlock otherwise).
    int Send(const void* data, std::size_t length, bool all = true,
             Blocking mode = Blocking::Wait) const;
    int Send(std::span<const std::uint8_t> data, bool all = true,
             Blocking mode = Blocking::Wait) const {
        return Send(data.data(), data.size(), all, mode);
    }
    int Receive(void* buffer, std::size_t size, bool all, Blocking mode = Blocking::Wait) const;
    int Receive(std::span<std::uint8_t> buffer, bool all, Blocking mode = Blocking::Wait) const {
        return Receive(buffer.data(), buffer.size(), all, mode);
    }
    // Every byte, in pieces of any size; Closed when the connection ended or
    // failed first.
    NetError SendAll(std::span<const std::uint8_t> data) const;
    NetError ReceiveAll(std::span<std::uint8_t> buffer) const;

    // Shuts the connection down for every holder, which wakes any thread
    // blocked in accept, recv or send on it, then lets go of this value's
    // share. The descriptor is closed now if no one else holds it, otherwise
    // by the last holder.
    void Close();
    // Shuts the connection down for every holder without letting go of the
    // share; the value stays valid (its calls fail) until it is destroyed.
    void Shutdown() const;
    // Shutdown has been called on the socket (by any holder).
    bool ShutDown() const;

    // Sends small writes at once instead of waiting for earlier ones to be
    // acknowledged (TCP_NODELAY).
    NetError SetNoDelay() const;
    // A waiting Send gives up after `limit` (a peer that stopped reading).
    NetError SetSendTimeout(std::chrono::milliseconds limit) const;
    NetError SetReceiveTimeout(std::chrono::milliseconds limit) const;

    bool IsValid() const { return Handle() != kInvalidSocket; }
    SocketHandle Handle() const;
    int Family() const { return family_; }
    // Number of values sharing the handle (0 for an empty value).
    long Owners() const { return owner_ ? owner_.use_count() : 0; }
    // The local port the socket is bound to; 0 when unknown.
    int LocalPort() const;

  private:
    struct Owner;
    std::shared_ptr<Owner> owner_;
    int family_;
};

}  // namespace net
