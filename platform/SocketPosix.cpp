#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/Socket.h"
#include "platform/SocketPoll.h"

namespace platform {

namespace {

bool SetInt(SocketHandle socket, int level, int option, int value) {
    return ::setsockopt(socket, level, option, &value, sizeof value) == 0;
}

bool SetTime(SocketHandle socket, int option, std::chrono::milliseconds limit) {
    timeval value{};
    value.tv_sec = static_cast<time_t>(limit.count() / 1000);
    value.tv_usec = static_cast<suseconds_t>(limit.count() % 1000 * 1000);
    return ::setsockopt(socket, SOL_SOCKET, option, &value, sizeof value) == 0;
}

}  // namespace

SocketError LastSocketError() {
    switch (errno) {
        case 0:
            return SocketError::None;
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
            return SocketError::WouldBlock;
        case EINTR:
            return SocketError::Interrupted;
        case ECONNABORTED:
        case EPROTO:
        case EPERM:
            return SocketError::Aborted;
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            return SocketError::Shortage;
        case EAFNOSUPPORT:
        case EADDRNOTAVAIL:
        case EPROTONOSUPPORT:
            return SocketError::FamilyMissing;
        case EADDRINUSE:
            return SocketError::AddressInUse;
        default:
            return SocketError::Other;
    }
}

bool StartSockets() {
    return true;
}

SocketHandle OpenSocket(int family, int type, int protocol) {
    const int fd = ::socket(family, type | SOCK_CLOEXEC, protocol);
    return fd < 0 ? kInvalidSocket : fd;
}

bool CloseSocket(SocketHandle socket) {
    return ::close(socket) == 0;
}

bool SetNonBlocking(SocketHandle socket, bool nonBlocking) {
    const int flags = ::fcntl(socket, F_GETFL);
    if (flags < 0)
        return false;
    return ::fcntl(socket, F_SETFL, nonBlocking ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0;
}

bool SetNoDelay(SocketHandle socket) {
    return SetInt(socket, IPPROTO_TCP, TCP_NODELAY, 1);
}

bool SetDualStack(SocketHandle socket, bool dual) {
    return SetInt(socket, IPPROTO_IPV6, IPV6_V6ONLY, dual ? 0 : 1);
}

bool SetReuseAddress(SocketHandle socket) {
    return SetInt(socket, SOL_SOCKET, SO_REUSEADDR, 1);
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
    int domain = 0;
    socklen_t length = sizeof domain;
    return ::getsockopt(socket, SOL_SOCKET, SO_DOMAIN, &domain, &length) == 0 ? domain : 0;
}

SocketHandle AcceptSocket(SocketHandle listener) {
    // accept4 never hands the listener's O_NONBLOCK on.
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    return fd < 0 ? kInvalidSocket : fd;
}

void ShutdownSocket(SocketHandle socket) {
    ::shutdown(socket, SHUT_RDWR);
}

long SendBytes(SocketHandle socket, const void* data, std::size_t size, bool wait) {
    return ::send(socket, data, size, MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT));
}

long ReceiveBytes(SocketHandle socket, void* buffer, std::size_t size, bool wait) {
    return ::recv(socket, buffer, size, wait ? 0 : MSG_DONTWAIT);
}

long TrySend(SocketHandle socket, const void* data, std::size_t size) {
    return ::send(socket, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
}

long TryReceive(SocketHandle socket, void* buffer, std::size_t size) {
    return ::recv(socket, buffer, size, MSG_DONTWAIT);
}

long SendPieces(SocketHandle socket, std::span<const IoPiece> pieces) {
    msghdr message{};
    message.msg_iov = const_cast<iovec*>(pieces.data());
    message.msg_iovlen = std::min<std::size_t>(pieces.size(), IOV_MAX);
    return ::sendmsg(socket, &message, MSG_NOSIGNAL);
}

SocketHandle DuplicateSocket(SocketHandle socket) {
    const int fd = ::fcntl(socket, F_DUPFD_CLOEXEC, 0);
    return fd < 0 ? kInvalidSocket : fd;
}

int PollSockets(std::span<PollEntry> entries, int timeoutMs) {
    const int ready = ::poll(entries.data(), entries.size(), timeoutMs);
    return ready < 0 && errno == EINTR ? 0 : ready;
}

int PollSlice(int timeoutMs) {
    return timeoutMs;
}

}  // namespace platform
