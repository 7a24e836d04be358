#pragma once
// A small blocking TCP socket whose descriptor several values may share.
// The descriptor is closed when the last sharing value lets go of it, so a
// number still held by one thread never names a different, reused socket.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

namespace net {

using SocketHandle = int;
inline constexpr SocketHandle kInvalidSocket = -1;

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
    // dual stack, or AF_INET). 0 on success, -1 on failure (value empty).
    int Create(int family);

    // Wildcard address of the socket's family, backlog 3. False when bind fails.
    bool BindAndListen(int port);

    // Resolves `host` (UTF-8) and tries every address in order until one
    // connects. False at once for an empty host or a port outside 1..65535.
    bool Connect(std::string_view host, int port);

    // Blocks for one connection; an empty value when accept fails.
    TcpSocket Accept() const;

    // Drops what the value held and owns `handle` with a fresh share.
    void Attach(SocketHandle handle);
    // Forgets the handle without closing it and returns it. A value that was
    // the only holder hands ownership to the caller; otherwise the other
    // holders keep it.
    SocketHandle Detach();

    // all=false: one call, result as is. all=true: until everything went (or
    // arrived), the peer closed, or an error; returns the count so far.
    int Send(const void* data, std::size_t length, bool all = true, int flags = 0) const;
    int Send(std::span<const std::uint8_t> data, bool all = true, int flags = 0) const {
        return Send(data.data(), data.size(), all, flags);
    }
    int Receive(void* buffer, std::size_t size, bool all, int flags = 0) const;
    int Receive(std::span<std::uint8_t> buffer, bool all, int flags = 0) const {
        return Receive(buffer.data(), buffer.size(), all, flags);
    }

    // Shuts the connection down for every holder, which wakes any thread
    // blocked in accept, recv or send on it, then lets go of this value's
    // share. The descriptor is closed now if no one else holds it, otherwise
    // by the last holder.
    void Close();
    // Shuts the connection down for every holder without letting go of the
    // share; the value stays valid (its calls fail) until it is destroyed.
    void Shutdown() const;

    // Sends small writes at once instead of waiting for earlier ones to be
    // acknowledged (TCP_NODELAY).
    bool SetNoDelay() const;

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
