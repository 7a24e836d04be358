#include "net/TcpListener.h"

#ifndef _WIN32
#include <arpa/inet.h>
#endif

#include <algorithm>
#include <cstring>

#include "net/AcceptPause.h"

namespace net {

namespace {

using platform::LastSocketError;
using platform::SocketError;
using std::chrono::milliseconds;

constexpr int kBacklog = 16;

// The numeric address of `text` with `port`, or false. Only the strict
// dotted-quad and IPv6 forms count, so a typo is not read as some address.
bool NumericAddress(std::string_view text, int port, sockaddr_storage& out, socklen_t& length) {
    const std::string host(text);
    std::memset(&out, 0, sizeof out);
    const auto value = htons(static_cast<std::uint16_t>(port));
    auto& v4 = reinterpret_cast<sockaddr_in&>(out);
    auto& v6 = reinterpret_cast<sockaddr_in6&>(out);
    if (::inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = value;
        length = sizeof v4;
        return true;
    }
    if (::inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = value;
        length = sizeof v6;
        return true;
    }
    return false;
}

bool IsUnspecifiedV6(const sockaddr_storage& address) {
    return address.ss_family == AF_INET6 &&
           IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6&>(address).sin6_addr);
}

// A listening socket on `address`; `error` tells why when it is empty.
TcpSocket BindOne(const sockaddr_storage& address, socklen_t length, SocketError& error) {
    TcpSocket socket(kInvalidSocket);
    if (!Ok(socket.Create(address.ss_family))) {
        error = LastSocketError();
        return socket;
    }
    const SocketHandle fd = socket.Handle();
    // Only "::" also takes IPv4 peers; a chosen IPv6 address keeps to its
    // own family, so the IPv4 loopback can sit on the same port beside it.
    if (address.ss_family == AF_INET6)
        platform::SetDualStack(fd, IsUnspecifiedV6(address));
    // As TcpSocket::BindAndListen: a restart may bind over TIME_WAIT.
    platform::SetReuseAddress(fd);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::listen(fd, kBacklog) != 0) {
        error = LastSocketError();
        socket.Close();
        return TcpSocket(kInvalidSocket);
    }
    // Accept runs after poll; a peer that gave up in between must not block it.
    platform::SetNonBlocking(fd, true);
    return socket;
}

void SetPort(sockaddr_storage& address, int port) {
    const auto value = htons(static_cast<std::uint16_t>(port));
    if (address.ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6&>(address).sin6_port = value;
    else
        reinterpret_cast<sockaddr_in&>(address).sin_port = value;
}

}  // namespace

bool IsListenAddress(std::string_view address) {
    sockaddr_storage ignored;
    socklen_t length = 0;
    return address.empty() || NumericAddress(address, 0, ignored, length);
}

NetError TcpListener::Listen(std::string_view address, int port) {
    if (port < 0 || port > 65535 || !sockets_.empty())
        return NetError::BadArgument;
    std::vector<std::pair<sockaddr_storage, socklen_t>> targets;
    sockaddr_storage one;
    socklen_t length = 0;
    const bool loopback = address.empty();
    if (loopback) {
        for (const char* text : {"::1", "127.0.0.1"})
            if (NumericAddress(text, port, one, length))
                targets.emplace_back(one, length);
    } else if (NumericAddress(address, port, one, length)) {
        targets.emplace_back(one, length);
    } else {
        return NetError::BadArgument;
    }
    std::vector<TcpSocket> bound;
    for (auto& [target, size] : targets) {
        // Port 0: the second family takes the port the first one got.
        if (port == 0 && !bound.empty())
            SetPort(target, bound.front().LocalPort());
        SocketError error = SocketError::None;
        TcpSocket socket = BindOne(target, size, error);
        if (socket.IsValid()) {
            bound.push_back(std::move(socket));
            continue;
        }
        // The system has no such family or address here (IPv6 turned off, say).
        if (!(loopback && error == SocketError::FamilyMissing)) {
            for (auto& s : bound)
                s.Close();
            return NetError::Bind;
        }
    }
    if (bound.empty())
        return NetError::Bind;
    port_ = bound.front().LocalPort();
    sockets_ = std::move(bound);
    return NetError::None;
}

TcpSocket TcpListener::Accept(std::span<platform::PollEntry> watched, milliseconds timeout) {
#ifdef _WIN32
    ++accepting_;
    struct Leave {
        TcpListener& self;
        ~Leave() {
            if (--self.accepting_ == 0 && self.closed_.load())
                self.CloseSockets();
        }
    } leave{*this};
#endif
    using Clock = std::chrono::steady_clock;
    const auto deadline = timeout.count() < 0 ? Clock::time_point::max() : Clock::now() + timeout;
    std::vector<platform::PollEntry> fds(sockets_.size() + watched.size());
    for (auto& w : watched)
        w.revents = 0;
    while (!closed_.load() && !sockets_.empty()) {
        const auto now = Clock::now();
        if (now >= deadline)
            return TcpSocket(kInvalidSocket);
        // While paused the sockets are still polled, for their close only:
        // a listening socket reports a hang-up whatever it is asked for.
        const bool paused = now < pausedUntil_;
        const auto until = std::min(deadline, paused ? pausedUntil_ : Clock::time_point::max());
        for (std::size_t i = 0; i < sockets_.size(); ++i)
            fds[i] = platform::MakePollEntry(sockets_[i].Handle(), paused ? 0 : platform::kPollIn);
        std::copy(watched.begin(), watched.end(), fds.begin() + sockets_.size());
        const int wait =
            until == Clock::time_point::max()
                ? -1
                : static_cast<int>(std::chrono::ceil<milliseconds>(until - now).count());
        // Close shuts the sockets down, which wakes this wait on POSIX; on
        // Windows the wait comes back in slices to look at closed_.
        const int ready = platform::PollSockets(fds, platform::PollSlice(wait));
        if (ready < 0)
            break;
        if (ready <= 0)
            continue;
        bool event = false;
        for (std::size_t i = 0; i < watched.size(); ++i) {
            watched[i].revents = fds[sockets_.size() + i].revents;
            event = event || watched[i].revents != 0;
        }
        for (std::size_t i = 0; i < sockets_.size(); ++i) {
            if (fds[i].revents & platform::kPollHangup) {
                closed_ = true;
                return TcpSocket(kInvalidSocket);
            }
            if (!(fds[i].revents & platform::kPollIn))
                continue;
            const SocketHandle fd = platform::AcceptSocket(sockets_[i].Handle());
            if (fd != kInvalidSocket) {
                pause_ = milliseconds(0);
                TcpSocket accepted(kInvalidSocket);
                accepted.Attach(fd);
                return accepted;
            }
            const SocketError error = LastSocketError();
            if (IsAcceptShortage(error)) {
                // Longer each time the shortage is still there after a pause.
                pause_ = NextAcceptPause(pause_);
                pausedUntil_ = Clock::now() + pause_;
                break;
            }
            // A peer that gave up before we took it, or a race: try again.
            if (error != SocketError::WouldBlock && error != SocketError::Interrupted &&
                error != SocketError::Aborted) {
                closed_ = true;
                return TcpSocket(kInvalidSocket);
            }
        }
        if (event)
            return TcpSocket(kInvalidSocket);
    }
    return TcpSocket(kInvalidSocket);
}

void TcpListener::Close() {
    closed_ = true;
    for (const TcpSocket& socket : sockets_)
        socket.Shutdown();
#ifdef _WIN32
    if (accepting_.load() == 0)
        CloseSockets();
#endif
}

void TcpListener::CloseSockets() {
    // Each socket closes once: the first caller takes its share.
    std::lock_guard guard(closeLock_);
    for (TcpSocket& socket : sockets_)
        socket.Close();
}

}  // namespace net
