#include "net/TcpSocket.h"

#ifndef _WIN32
#include <arpa/inet.h>
#include <netdb.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>

#include "net/AcceptPause.h"
#include "platform/SocketPoll.h"

namespace net {

using platform::LastSocketError;
using platform::SocketError;

struct TcpSocket::Owner {
    explicit Owner(SocketHandle handle) : fd(handle) {}
    platform::UniqueSocket fd;
    // Set by Shutdown: a listener's waits end on it where the system's
    // shutdown does not wake them.
    std::atomic<bool> shut{false};
};

namespace {

// Host names longer than this are refused, as the wide buffer of the
// connect-by-name call holds 1000 characters with its terminator.
constexpr std::size_t kMaxHostLength = 999;

SocketHandle NewStreamSocket(int family) {
    const SocketHandle fd = platform::OpenSocket(family, SOCK_STREAM, IPPROTO_TCP);
    if (fd == kInvalidSocket)
        return kInvalidSocket;
    // Dual stack: IPv4 peers arrive as v4-mapped addresses.
    if (family == AF_INET6)
        platform::SetDualStack(fd, true);
    return fd;
}

// The address to connect to on a socket of `family`, or false when the
// resolved address cannot be reached from such a socket.
bool TargetAddress(int family, const addrinfo& info, sockaddr_storage& out, socklen_t& length) {
    std::memset(&out, 0, sizeof out);
    if (info.ai_family == family) {
        std::memcpy(&out, info.ai_addr, info.ai_addrlen);
        length = info.ai_addrlen;
        return true;
    }
    if (family == AF_INET6 && info.ai_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(info.ai_addr);
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&out);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = v4->sin_port;
        v6->sin6_addr.s6_addr[10] = 0xff;
        v6->sin6_addr.s6_addr[11] = 0xff;
        std::memcpy(&v6->sin6_addr.s6_addr[12], &v4->sin_addr, 4);
        length = sizeof(sockaddr_in6);
        return true;
    }
    return false;
}

}  // namespace

TcpSocket::TcpSocket() : family_(AF_INET) {
    owner_ = std::make_shared<Owner>(NewStreamSocket(AF_INET));
}

TcpSocket::TcpSocket(SocketHandle handle) : family_(AF_INET6) {
    Attach(handle);
}

NetError TcpSocket::Create(int family) {
    owner_.reset();
    family_ = family;
    const SocketHandle fd = NewStreamSocket(family);
    if (fd == kInvalidSocket)
        return NetError::NoSocket;
    owner_ = std::make_shared<Owner>(fd);
    return NetError::None;
}

SocketHandle TcpSocket::Handle() const {
    return owner_ ? owner_->fd.get() : kInvalidSocket;
}

NetError TcpSocket::BindAndListen(int port) {
    if (!IsValid())
        return NetError::NoSocket;
    if (port < 0 || port > 65535)
        return NetError::BadArgument;
    // Lets a restarted listener bind while old connections sit in TIME_WAIT;
    // a port held by a live listener still refuses the bind.
    platform::SetReuseAddress(Handle());
    sockaddr_storage address{};
    socklen_t length = 0;
    if (family_ == AF_INET6) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = in6addr_any;
        v6->sin6_port = htons(static_cast<std::uint16_t>(port));
        length = sizeof(sockaddr_in6);
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl(INADDR_ANY);
        v4->sin_port = htons(static_cast<std::uint16_t>(port));
        length = sizeof(sockaddr_in);
    }
    if (::bind(Handle(), reinterpret_cast<sockaddr*>(&address), length) != 0)
        return NetError::Bind;
    ::listen(Handle(), 3);
    return NetError::None;
}

NetError TcpSocket::Connect(std::string_view host, int port) {
    if (host.empty() || host.size() > kMaxHostLength || port <= 0 || port > 65535)
        return NetError::BadArgument;
    if (!IsValid())
        return NetError::NoSocket;
    const std::string hostText(host);
    const std::string portText = std::to_string(port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    if (!platform::StartSockets() ||
        ::getaddrinfo(hostText.c_str(), portText.c_str(), &hints, &found) != 0 || !found)
        return NetError::Resolve;
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> results(found, &::freeaddrinfo);

    bool fresh = true;
    for (const addrinfo* info = results.get(); info; info = info->ai_next) {
        sockaddr_storage target;
        socklen_t length = 0;
        if (!TargetAddress(family_, *info, target, length))
            continue;
        // A socket whose connect failed is not reused for the next address.
        if (!fresh && !Ok(Create(family_)))
            return NetError::NoSocket;
        int rc;
        do {
            rc = ::connect(Handle(), reinterpret_cast<const sockaddr*>(&target), length);
        } while (rc != 0 && LastSocketError() == SocketError::Interrupted);
        if (rc == 0)
            return NetError::None;
        fresh = false;
    }
    return NetError::Connect;
}

TcpSocket TcpSocket::Accept() const {
    TcpSocket accepted(kInvalidSocket);
    accepted.family_ = family_;
    if (!IsValid())
        return accepted;
    std::chrono::milliseconds pause{0};
    for (;;) {
#ifdef _WIN32
        // A blocking accept is not woken by a shutdown here: wait for a
        // connection in slices and look at the flag between them.
        platform::PollEntry ready = platform::MakePollEntry(Handle(), platform::kPollIn);
        while (!owner_->shut.load() &&
               platform::PollSockets(std::span(&ready, 1), platform::PollSlice(-1)) == 0) {
        }
        if (owner_->shut.load())
            return accepted;
#endif
        const SocketHandle fd = platform::AcceptSocket(Handle());
        if (fd != kInvalidSocket) {
            accepted.Attach(fd);
            return accepted;
        }
        const SocketError error = LastSocketError();
        // A peer that gave up before we took it is not the listener's fault.
        if (error == SocketError::Interrupted || error == SocketError::Aborted)
            continue;
        if (!IsAcceptShortage(error))
            return accepted;
        // A listening socket reports nothing but its shutdown when asked for
        // nothing, so the pause ends early only when Close wakes it.
        pause = NextAcceptPause(pause);
        platform::PollEntry hangup = platform::MakePollEntry(Handle(), 0);
        if (platform::PollSockets(std::span(&hangup, 1), static_cast<int>(pause.count())) != 0 ||
            owner_->shut.load())
            return accepted;
    }
}

void TcpSocket::Attach(SocketHandle handle) {
    owner_.reset();
    if (handle == kInvalidSocket)
        return;
    owner_ = std::make_shared<Owner>(handle);
    if (const int domain = platform::SocketFamily(handle); domain != 0)
        family_ = domain;
}

SocketHandle TcpSocket::Detach() {
    const SocketHandle handle = Handle();
    if (owner_ && owner_.use_count() == 1)
        owner_->fd.release();
    owner_.reset();
    return handle;
}

namespace {

// One call of `transfer` when !all; otherwise calls until `size` bytes moved,
// the peer closed or an error, and returns the count so far.
template <typename Bytes, typename Transfer>
int Repeat(Bytes* bytes, std::size_t size, bool all, Transfer transfer) {
    if (!all)
        return static_cast<int>(transfer(bytes, size));
    std::size_t total = 0;
    while (total < size) {
        const long moved = transfer(bytes + total, size - total);
        if (moved < 0 && LastSocketError() == SocketError::Interrupted)
            continue;
        if (moved <= 0)
            break;
        total += static_cast<std::size_t>(moved);
    }
    return static_cast<int>(total);
}

// The counting calls report in int; whole transfers go in pieces well below.
constexpr std::size_t kPiece = std::size_t{1} << 20;

template <typename Bytes, typename Transfer>
NetError RepeatAll(std::span<Bytes> bytes, Transfer transfer) {
    while (!bytes.empty()) {
        const std::size_t piece = std::min(bytes.size(), kPiece);
        if (transfer(bytes.data(), piece) != static_cast<int>(piece))
            return NetError::Closed;
        bytes = bytes.subspan(piece);
    }
    return NetError::None;
}

}  // namespace

int TcpSocket::Send(const void* data, std::size_t length, bool all, Blocking mode) const {
    const SocketHandle fd = Handle();
    if (fd == kInvalidSocket)
        return -1;
    const bool wait = mode == Blocking::Wait;
    return Repeat(static_cast<const std::uint8_t*>(data), length, all,
                  [fd, wait](const std::uint8_t* from, std::size_t size) {
                      return platform::SendBytes(fd, from, size, wait);
                  });
}

int TcpSocket::Receive(void* buffer, std::size_t size, bool all, Blocking mode) const {
    const SocketHandle fd = Handle();
    if (fd == kInvalidSocket)
        return -1;
    const bool wait = mode == Blocking::Wait;
    return Repeat(static_cast<std::uint8_t*>(buffer), size, all,
                  [fd, wait](std::uint8_t* into, std::size_t room) {
                      return platform::ReceiveBytes(fd, into, room, wait);
                  });
}

NetError TcpSocket::SendAll(std::span<const std::uint8_t> data) const {
    return RepeatAll(data, [this](const std::uint8_t* from, std::size_t size) {
        return Send(from, size, true);
    });
}

NetError TcpSocket::ReceiveAll(std::span<std::uint8_t> buffer) const {
    return RepeatAll(
        buffer, [this](std::uint8_t* into, std::size_t size) { return Receive(into, size, true); });
}

void TcpSocket::Shutdown() const {
    if (!IsValid())
        return;
    owner_->shut = true;
    platform::ShutdownSocket(Handle());
}

bool TcpSocket::ShutDown() const {
    return owner_ && owner_->shut.load();
}

void TcpSocket::Close() {
    Shutdown();
    owner_.reset();
}

NetError TcpSocket::SetNoDelay() const {
    if (!IsValid())
        return NetError::NoSocket;
    return platform::SetNoDelay(Handle()) ? NetError::None : NetError::BadArgument;
}

NetError TcpSocket::SetSendTimeout(std::chrono::milliseconds limit) const {
    if (!IsValid())
        return NetError::NoSocket;
    return platform::SetSendTimeout(Handle(), limit) ? NetError::None : NetError::BadArgument;
}

NetError TcpSocket::SetReceiveTimeout(std::chrono::milliseconds limit) const {
    if (!IsValid())
        return NetError::NoSocket;
    return platform::SetReceiveTimeout(Handle(), limit) ? NetError::None : NetError::BadArgument;
}

int TcpSocket::LocalPort() const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (!IsValid() || ::getsockname(Handle(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    return 0;
}

}  // namespace net
