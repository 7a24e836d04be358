#include "net/AuthGate.h"

#ifndef _WIN32
#include <arpa/inet.h>
#endif

#include <chrono>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "auth/PeerAuth.h"
#include "auth/SocketExchange.h"
#include "platform/Console.h"
#include "platform/SocketPoll.h"
#include "platform/Text.h"

namespace net {

namespace {

using Clock = std::chrono::steady_clock;

std::string_view ChannelName(TcpChannel channel) {
    return channel == TcpChannel::Relay ? auth::kTcpRelayChannel : auth::kTcpDeployChannel;
}

// "address:port" of the peer ("[v6]:port" for IPv6; a mapped IPv4 address as IPv4).
std::string PeerText(const TcpSocket& socket) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(socket.Handle(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return "an unknown address";
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        ::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
        return std::string(text) + ":" + std::to_string(ntohs(v4.sin_port));
    }
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    const int port = ntohs(v6.sin6_port);
    if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
        ::inet_ntop(AF_INET, &v6.sin6_addr.s6_addr[12], text, sizeof text);
        return std::string(text) + ":" + std::to_string(port);
    }
    ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
    std::string out = "[";
    out += text;
    out += "]:";
    out += std::to_string(port);
    return out;
}

// Connections accepted and not yet through the exchange.
class Gate {
  public:
    Gate(std::string_view secret, TcpChannel channel)
        : secret_(secret), binding_(auth::ChannelBinding(ChannelName(channel))) {}
    ~Gate() {
        for (auto& entry : waiting_)
            entry.socket.Close();
    }
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;

    void Add(TcpSocket socket) {
        if (waiting_.size() >= kAuthMaxWaiting) {
            socket.Close();
            return;
        }
        waiting_.push_back({socket, auth::Exchange(auth::Exchange::Role::Server, secret_, binding_),
                            Clock::now() + auth::kAuthDeadline});
    }

    // One pollfd a waiting connection, in order, appended to `fds`.
    void Watch(std::vector<platform::PollEntry>& fds) const {
        for (const auto& entry : waiting_)
            fds.push_back(platform::MakePollEntry(entry.socket.Handle(), platform::kPollIn));
    }

    // How long a wait may last before the nearest deadline; -1 for none.
    std::chrono::milliseconds Timeout() const {
        if (waiting_.empty())
            return std::chrono::milliseconds(-1);
        auto nearest = Clock::time_point::max();
        for (const auto& entry : waiting_)
            nearest = std::min(nearest, entry.deadline);
        return std::max(std::chrono::milliseconds(0),
                        std::chrono::ceil<std::chrono::milliseconds>(nearest - Clock::now()));
    }

    // Steps the connections with an event in `polled` (as Watch left them),
    // ends the failed and the overdue ones, and returns the first that
    // passed (taken out), or an empty value.
    TcpSocket Progress(std::span<const platform::PollEntry> polled) {
        for (std::size_t i = 0; i < polled.size() && i < waiting_.size(); ++i)
            if (polled[i].revents != 0)
                auth::StepOnSocket(waiting_[i].socket.Handle(), waiting_[i].exchange);
        const auto now = Clock::now();
        TcpSocket winner(kInvalidSocket);
        for (auto it = waiting_.begin(); it != waiting_.end();) {
            if (!winner.IsValid() && it->exchange.Passed()) {
                winner = it->socket;
                it = waiting_.erase(it);
                continue;
            }
            if (!it->exchange.Done() && now >= it->deadline)
                it->exchange.Fail(auth::AuthError::Timeout);
            if (it->exchange.Done() && !it->exchange.Passed()) {
                platform::ConsoleWrite(auth::FailureLine(platform::FromUtf8(PeerText(it->socket)),
                                                         it->exchange.Error()));
                it->socket.Close();
                it = waiting_.erase(it);
                continue;
            }
            ++it;
        }
        return winner;
    }

  private:
    struct Waiting {
        TcpSocket socket;
        auth::Exchange exchange;
        Clock::time_point deadline;
    };
    auth::Secret secret_;
    std::vector<std::uint8_t> binding_;
    std::vector<Waiting> waiting_;
};

}  // namespace

TcpSocket AcceptAuthenticated(TcpListener& listener, std::string_view secret, TcpChannel channel) {
    Gate gate(secret, channel);
    std::vector<platform::PollEntry> watched;
    for (;;) {
        watched.clear();
        gate.Watch(watched);
        TcpSocket accepted = listener.Accept(watched, gate.Timeout());
        if (TcpSocket winner = gate.Progress(watched); winner.IsValid()) {
            accepted.Close();
            return winner;
        }
        if (accepted.IsValid())
            gate.Add(std::move(accepted));
        else if (listener.Closed())
            return TcpSocket(kInvalidSocket);
    }
}

TcpSocket AcceptAuthenticated(const TcpSocket& listener, std::string_view secret,
                              TcpChannel channel) {
    if (!listener.IsValid())
        return TcpSocket(kInvalidSocket);
    // Accept follows poll; a peer that gave up in between must not block it.
    platform::SetNonBlocking(listener.Handle(), true);
    Gate gate(secret, channel);
    std::vector<platform::PollEntry> fds;
    for (;;) {
        fds.assign(1, platform::MakePollEntry(listener.Handle(), platform::kPollIn));
        gate.Watch(fds);
        // A shut-down listener wakes the wait on POSIX only; elsewhere the
        // wait comes back in slices to look at the shutdown.
        const int ready = platform::PollSockets(
            fds, platform::PollSlice(static_cast<int>(gate.Timeout().count())));
        if (ready < 0)
            return TcpSocket(kInvalidSocket);
        if ((fds[0].revents & platform::kPollHangup) || listener.ShutDown())
            return TcpSocket(kInvalidSocket);  // closed, or never listened
        if (TcpSocket winner = gate.Progress(std::span(fds).subspan(1)); winner.IsValid())
            return winner;
        if (!(fds[0].revents & platform::kPollIn))
            continue;
        TcpSocket accepted = listener.Accept();
        const platform::SocketError error = platform::LastSocketError();
        if (accepted.IsValid())
            gate.Add(std::move(accepted));
        else if (error != platform::SocketError::WouldBlock)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));  // rides out a shortage
    }
}

bool AuthenticateToServer(const TcpSocket& connection, std::string_view secret,
                          TcpChannel channel) {
    const auth::Secret key(secret);
    const auto binding = auth::ChannelBinding(ChannelName(channel));
    auth::Exchange exchange(auth::Exchange::Role::Client, key, binding);
    return auth::Ok(
        auth::RunOnSocket(connection.Handle(), exchange, Clock::now() + auth::kAuthDeadline));
}

}  // namespace net
