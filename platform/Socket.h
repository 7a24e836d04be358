#pragma once
// The system's sockets behind one set of calls: the handle type and its
// owner, the options the program sets, transfers that wait or do not, and
// the system's error codes (errno or WSAGetLastError) mapped to one small
// set. Everything runs on the calling thread; Winsock is started once, by
// the first socket opened.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#endif

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

namespace platform {

#ifdef _WIN32
using SocketHandle = SOCKET;
inline constexpr SocketHandle kInvalidSocket = INVALID_SOCKET;
// One piece of a gather write.
using IoPiece = WSABUF;
inline IoPiece MakePiece(const void* data, std::size_t size) {
    return {static_cast<ULONG>(size), static_cast<CHAR*>(const_cast<void*>(data))};
}
inline std::uint8_t* PieceData(const IoPiece& piece) {
    return reinterpret_cast<std::uint8_t*>(piece.buf);
}
inline std::size_t PieceSize(const IoPiece& piece) {
    return piece.len;
}
#else
using SocketHandle = int;
inline constexpr SocketHandle kInvalidSocket = -1;
using IoPiece = iovec;
inline IoPiece MakePiece(const void* data, std::size_t size) {
    return {const_cast<void*>(data), size};
}
inline std::uint8_t* PieceData(const IoPiece& piece) {
    return static_cast<std::uint8_t*>(piece.iov_base);
}
inline std::size_t PieceSize(const IoPiece& piece) {
    return piece.iov_len;
}
#endif

// Drops the first `count` bytes of `piece` (at most its size).
inline void AdvancePiece(IoPiece& piece, std::size_t count) {
    piece = MakePiece(PieceData(piece) + count, PieceSize(piece) - count);
}

// What went wrong with the last socket call of this thread.
enum class SocketError {
    None,
    WouldBlock,     // nothing could move without waiting
    Interrupted,    // a signal, or a wait cancelled by a shutdown
    Aborted,        // a peer gave up before its connection was accepted
    Shortage,       // out of descriptors, buffers or memory
    FamilyMissing,  // no such address family or address on this system
    AddressInUse,   // the address is bound already
    Other,
};
SocketError LastSocketError();

// Winsock's start-up, once per process (nothing on POSIX); false when the
// system refused it.
bool StartSockets();

// A new socket, blocking, not inherited by child processes; kInvalidSocket
// on failure.
SocketHandle OpenSocket(int family, int type, int protocol);
// False when the system reported an error on closing.
bool CloseSocket(SocketHandle socket);

bool SetNonBlocking(SocketHandle socket, bool nonBlocking);
// Small writes go at once (TCP_NODELAY).
bool SetNoDelay(SocketHandle socket);
// IPv6 socket: true takes IPv4 peers too, as v4-mapped addresses.
bool SetDualStack(SocketHandle socket, bool dual);
// A restarted listener may bind while old connections sit in TIME_WAIT.
bool SetReuseAddress(SocketHandle socket);
bool SetReceiveBuffer(SocketHandle socket, int bytes);
bool SetSendBuffer(SocketHandle socket, int bytes);
// A waiting send or receive fails after `limit` (0: never).
bool SetSendTimeout(SocketHandle socket, std::chrono::milliseconds limit);
bool SetReceiveTimeout(SocketHandle socket, std::chrono::milliseconds limit);

// The family of the socket's address (AF_INET, AF_INET6), or 0.
int SocketFamily(SocketHandle socket);

// One connection from a listening socket, made blocking whatever the
// listener is; kInvalidSocket with LastSocketError telling why.
SocketHandle AcceptSocket(SocketHandle listener);

// Shuts both directions down, which wakes every thread waiting on the
// socket in another call.
void ShutdownSocket(SocketHandle socket);

// One send or receive of up to `size` bytes. `wait` false: only what moves
// at once (WouldBlock otherwise) on a blocking socket too. A send never
// raises a signal. Returns the count, 0 for a receive at the end of the
// stream, -1 on an error.
long SendBytes(SocketHandle socket, const void* data, std::size_t size, bool wait);
long ReceiveBytes(SocketHandle socket, void* buffer, std::size_t size, bool wait);
// One send or receive on a socket in non-blocking mode (WouldBlock when
// nothing moves). Unlike the calls above it always reaches the system, which
// is what re-arms Windows' readiness records (see WorkerPoll).
long TrySend(SocketHandle socket, const void* data, std::size_t size);
long TryReceive(SocketHandle socket, void* buffer, std::size_t size);
// One gather send of `pieces` (as many as the system takes in one call).
long SendPieces(SocketHandle socket, std::span<const IoPiece> pieces);

// A second handle to the same socket, closed on its own; kInvalidSocket on
// failure.
SocketHandle DuplicateSocket(SocketHandle socket);

// Owns one socket handle and closes it once.
class UniqueSocket {
  public:
    UniqueSocket() = default;
    explicit UniqueSocket(SocketHandle socket) : socket_(socket) {}
    UniqueSocket(UniqueSocket&& other) noexcept
        : socket_(std::exchange(other.socket_, kInvalidSocket)) {}
    UniqueSocket& operator=(UniqueSocket&& other) noexcept {
        if (this != &other) {
            reset();
            socket_ = std::exchange(other.socket_, kInvalidSocket);
        }
        return *this;
    }
    UniqueSocket(const UniqueSocket&) = delete;
    UniqueSocket& operator=(const UniqueSocket&) = delete;
    ~UniqueSocket() { reset(); }

    SocketHandle get() const { return socket_; }
    explicit operator bool() const { return socket_ != kInvalidSocket; }
    void reset() {
        if (socket_ != kInvalidSocket)
            CloseSocket(socket_);
        socket_ = kInvalidSocket;
    }
    // Gives the handle up without closing it.
    SocketHandle release() { return std::exchange(socket_, kInvalidSocket); }

  private:
    SocketHandle socket_ = kInvalidSocket;
};

}  // namespace platform
