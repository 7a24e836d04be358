// Winsock's headers first: windows.h must not bring in the old ones.
#include "platform/Socket.h"

#include <windows.h>

#include <algorithm>
#include <climits>

#include "platform/SocketPoll.h"

namespace platform {

namespace {

// Waits on a shut-down listening socket end within this long.
constexpr int kSliceMs = 200;

bool SetInt(SocketHandle socket, int level, int option, int value) {
    return ::setsockopt(socket, level, option, reinterpret_cast<const char*>(&value),
                        sizeof value) == 0;
}

bool SetTime(SocketHandle socket, int option, std::chrono::milliseconds limit) {
    // Winsock takes milliseconds as a DWORD.
    const DWORD value = static_cast<DWORD>(std::clamp<long long>(limit.count(), 0, MAXDWORD));
    return ::setsockopt(socket, SOL_SOCKET, option, reinterpret_cast<const char*>(&value),
                        sizeof value) == 0;
}

// True when one entry of `socket` reports `events` (or a hang-up) at once.
bool ReadyNow(SocketHandle socket, short events) {
    PollEntry entry = MakePollEntry(socket, events);
    return ::WSAPoll(&entry, 1, 0) > 0 && entry.revents != 0;
}

}  // namespace

SocketError LastSocketError() {
    switch (::WSAGetLastError()) {
        case 0:
            return SocketError::None;
        case WSAEWOULDBLOCK:
        case WSAEINPROGRESS:
        // A send or receive timeout ran out, as EAGAIN tells on POSIX.
        case WSAETIMEDOUT:
            return SocketError::WouldBlock;
        case WSAEINTR:
        case WSA_OPERATION_ABORTED:
            return SocketError::Interrupted;
        case WSAECONNABORTED:
        case WSAECONNRESET:
            return SocketError::Aborted;
        case WSAEMFILE:
        case WSAENOBUFS:
        case WSA_NOT_ENOUGH_MEMORY:
            return SocketError::Shortage;
        case WSAEAFNOSUPPORT:
        case WSAEPFNOSUPPORT:
        case WSAEADDRNOTAVAIL:
        case WSAEPROTONOSUPPORT:
            return SocketError::FamilyMissing;
        case WSAEADDRINUSE:
            return SocketError::AddressInUse;
        default:
            return SocketError::Other;
    }
}

bool StartSockets() {
    // Never cleaned up: sockets may live until the process ends.
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

SocketHandle OpenSocket(int family, int type, int protocol) {
    if (!StartSockets())
        return kInvalidSocket;
    return ::WSASocketW(family, type, protocol, nullptr, 0,
                        WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

bool CloseSocket(SocketHandle socket) {
    return ::closesocket(socket) == 0;
}

bool SetNonBlocking(SocketHandle socket, bool nonBlocking) {
    u_long mode = nonBlocking ? 1 : 0;
    return ::ioctlsocket(socket, FIONBIO, &mode) == 0;
}

bool SetNoDelay(SocketHandle socket) {
    return SetInt(socket, IPPROTO_TCP, TCP_NODELAY, 1);
}

bool SetDualStack(SocketHandle socket, bool dual) {
    return SetInt(socket, IPPROTO_IPV6, IPV6_V6ONLY, dual ? 0 : 1);
}

bool SetReuseAddress(SocketHandle) {
    // Windows binds over TIME_WAIT by default; its SO_REUSEADDR would let a
    // second listener take a port a live one holds.
    return true;
}

bool SetReceiveBuffer(SocketHandle socket, int bytes) {
    return SetInt(socket, SOL_SOCKET, SO_RCVBUF, bytes);
}

bool SetSendBuffer(SocketHandle socket, int bytes) {
    return SetInt(socket, SOL_SOCKET, SO_SNDBUF, bytes);
}

bool SetSendTimeout(SocketHandle socket, std::chrono::milliseconds limit) {
    return SetTime(socket, SO_SNDTIMEO, limit);
}

bool SetReceiveTimeout(SocketHandle socket, std::chrono::milliseconds limit) {
    return SetTime(socket, SO_RCVTIMEO, limit);
}

int SocketFamily(SocketHandle socket) {
    sockaddr_storage address{};
    int length = sizeof address;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        return address.ss_family;
    WSAPROTOCOL_INFOW info{};
    length = sizeof info;
    if (::getsockopt(socket, SOL_SOCKET, SO_PROTOCOL_INFOW, reinterpret_cast<char*>(&info),
                     &length) == 0)
        return info.iAddressFamily;
    return 0;
}

SocketHandle AcceptSocket(SocketHandle listener) {
    const SocketHandle accepted = ::accept(listener, nullptr, nullptr);
    if (accepted == INVALID_SOCKET)
        return kInvalidSocket;
    // An accepted socket inherits the listener's non-blocking mode here.
    SetNonBlocking(accepted, false);
    return accepted;
}

void ShutdownSocket(SocketHandle socket) {
    ::shutdown(socket, SD_BOTH);
    // A shutdown does not end a blocking call already waiting in another
    // thread on Windows; cancelling the socket's pending I/O does.
    ::CancelIoEx(reinterpret_cast<HANDLE>(socket), nullptr);
}

long SendBytes(SocketHandle socket, const void* data, std::size_t size, bool wait) {
    // A blocking socket has no per-call "don't wait": send only once it is
    // writable. Winsock then takes the whole buffer without blocking while
    // its send buffer is below its limit.
    if (!wait && !ReadyNow(socket, kPollOut)) {
        ::WSASetLastError(WSAEWOULDBLOCK);
        return -1;
    }
    const int length = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
    const int sent = ::send(socket, static_cast<const char*>(data), length, 0);
    return sent == SOCKET_ERROR ? -1 : sent;
}

long ReceiveBytes(SocketHandle socket, void* buffer, std::size_t size, bool wait) {
    // One reader per socket: once readable, a receive returns at once.
    if (!wait && !ReadyNow(socket, kPollIn)) {
        ::WSASetLastError(WSAEWOULDBLOCK);
        return -1;
    }
    const int length = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
    const int got = ::recv(socket, static_cast<char*>(buffer), length, 0);
    return got == SOCKET_ERROR ? -1 : got;
}

long TrySend(SocketHandle socket, const void* data, std::size_t size) {
    const int length = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
    const int sent = ::send(socket, static_cast<const char*>(data), length, 0);
    return sent == SOCKET_ERROR ? -1 : sent;
}

long TryReceive(SocketHandle socket, void* buffer, std::size_t size) {
    const int length = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
    const int got = ::recv(socket, static_cast<char*>(buffer), length, 0);
    return got == SOCKET_ERROR ? -1 : got;
}

long SendPieces(SocketHandle socket, std::span<const IoPiece> pieces) {
    DWORD sent = 0;
    const DWORD count = static_cast<DWORD>(std::min<std::size_t>(pieces.size(), 1024));
    if (::WSASend(socket, const_cast<WSABUF*>(pieces.data()), count, &sent, 0, nullptr, nullptr) !=
        0)
        return -1;
    return static_cast<long>(sent);
}

SocketHandle DuplicateSocket(SocketHandle socket) {
    WSAPROTOCOL_INFOW info{};
    if (::WSADuplicateSocketW(socket, ::GetCurrentProcessId(), &info) == 0) {
        const SocketHandle copy =
            ::WSASocketW(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &info, 0,
                         WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
        if (copy != INVALID_SOCKET)
            return copy;
    }
    // Without a layered provider a socket is a kernel handle, and a
    // duplicated handle is a second socket handle.
    HANDLE copy = nullptr;
    const HANDLE self = ::GetCurrentProcess();
    if (!::DuplicateHandle(self, reinterpret_cast<HANDLE>(socket), self, &copy, 0, FALSE,
                           DUPLICATE_SAME_ACCESS))
        return kInvalidSocket;
    return reinterpret_cast<SocketHandle>(copy);
}

int PollSockets(std::span<PollEntry> entries, int timeoutMs) {
    const int ready = ::WSAPoll(entries.data(), static_cast<ULONG>(entries.size()), timeoutMs);
    return ready == SOCKET_ERROR ? -1 : ready;
}

int PollSlice(int timeoutMs) {
    return timeoutMs < 0 ? kSliceMs : std::min(timeoutMs, kSliceMs);
}

}  // namespace platform
