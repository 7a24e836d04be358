#include "quic/Bridge.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "quic/QuicSession.h"
#include "quic/QuicStream.h"

namespace quic {

std::string BuildPreamble(int port) {
    char text[1000];
    std::snprintf(text, sizeof text, "%s%06d", std::string(kPreambleMarker).c_str(), port);
    std::string preamble(text);
    preamble.resize(kPreambleSize, '0');
    return preamble;
}

std::optional<int> ParsePreamble(std::span<const std::uint8_t> head) {
    if (head.size() < kPreambleSize ||
        std::memcmp(head.data(), kPreambleMarker.data(), kPreambleMarker.size()) != 0)
        return std::nullopt;
    int port = 0;
    for (std::size_t index = kPreambleMarker.size(); index < kPreambleSize; ++index) {
        const std::uint8_t digit = head[index];
        if (digit < '0' || digit > '9')
            return std::nullopt;
        port = port * 10 + (digit - '0');
    }
    if (port < 1 || port > 65535)
        return std::nullopt;
    return port;
}

PreambleCollector::Outcome PreambleCollector::Add(std::span<const std::uint8_t> block) {
    Outcome outcome;
    if (checked_) {
        outcome.state = State::Missing;
        return outcome;
    }
    head_.insert(head_.end(), block.begin(), block.end());
    if (head_.size() < kPreambleSize)
        return outcome;
    checked_ = true;
    const std::optional<int> port = ParsePreamble(head_);
    if (!port) {
        outcome.state = State::Missing;
    } else {
        outcome.state = State::Found;
        outcome.port = *port;
        outcome.rest.assign(head_.begin() + kPreambleSize, head_.end());
    }
    // Nothing of the head is needed any more.
    std::vector<std::uint8_t>().swap(head_);
    return outcome;
}

namespace {

// The thread bodies take what they use by value, so it is released when the
// body returns, before the thread counts as finished: the last reference to
// a stream or session never goes while the set joins the thread.

void AcceptLoop(platform::ThreadSet& threads, net::TcpSocket listener,
                std::shared_ptr<QuicSession> session, int localPort) {
    for (;;) {
        net::TcpSocket accepted = listener.Accept();
        if (!accepted.IsValid())
            break;
        QuicStreamInit init;
        init.port = localPort;
        init.socket = accepted;
        OpenedStream opened = session->OpenStream(std::move(init));
        if (!opened.stream) {
            accepted.Close();
            continue;
        }
        if (!StartServerPump(threads, accepted, session, opened.stream) ||
            !StartSocketWriter(threads, accepted, opened.stream))
            opened.stream->Close();
    }
}

// The session is held for as long as its Visual Studio connection is relayed.
void ServerPump(net::TcpSocket socket, std::shared_ptr<QuicSession> /*session*/,
                std::shared_ptr<QuicStream> stream) {
    std::array<std::uint8_t, kRelayChunkSize> buffer;
    bool ready = false;
    for (;;) {
        const int received = socket.Receive(buffer, false);
        if (received <= 0)
            break;
        // Nothing relayed is queued before the stream has started and
        // queued its preamble.
        if (!ready && !(ready = stream->WaitUntilReady()))
            break;
        // A failed send (the stream is gone) drops the bytes.
        stream->Send({buffer.data(), static_cast<std::size_t>(received)});
    }
    socket.Close();
    stream->Close();
}

void ClientPump(net::TcpSocket socket, std::shared_ptr<QuicStream> stream) {
    std::array<std::uint8_t, kRelayChunkSize> buffer;
    for (;;) {
        const int received = socket.Receive(buffer, false);
        if (received <= 0)
            break;
        stream->Send({buffer.data(), static_cast<std::size_t>(received)});
    }
    stream->Close();
}

// Written by this thread only, so the worker never waits for a local peer.
void SocketWriter(net::TcpSocket socket, std::shared_ptr<QuicStream> stream) {
    std::vector<std::uint8_t> buffer(64 * 1024);
    for (;;) {
        const std::size_t count = stream->NextForSocket(buffer);
        if (count == 0)
            break;
        if (!net::Ok(socket.SendAll({buffer.data(), count}))) {
            stream->Close();
            break;
        }
        stream->CompleteReceive(count);
    }
}

// One listening socket on `address` (already parsed) at `port`.
net::TcpSocket ListenOn(const sockaddr_storage& address, socklen_t length, bool dualStack,
                        int port) {
    net::TcpSocket listener(net::kInvalidSocket);
    if (!net::Ok(listener.Create(address.ss_family)))
        return net::TcpSocket(net::kInvalidSocket);
    int on = 1;
    ::setsockopt(listener.Handle(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (address.ss_family == AF_INET6) {
        // Create leaves IPv6 sockets dual stack; only "::" is meant so.
        int v6only = dualStack ? 0 : 1;
        ::setsockopt(listener.Handle(), IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
    }
    sockaddr_storage bound = address;
    if (bound.ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port =
            htons(static_cast<std::uint16_t>(port));
    else
        reinterpret_cast<sockaddr_in*>(&bound)->sin_port = htons(static_cast<std::uint16_t>(port));
    if (::bind(listener.Handle(), reinterpret_cast<const sockaddr*>(&bound), length) != 0 ||
        ::listen(listener.Handle(), 3) != 0) {
        listener.Close();
        return net::TcpSocket(net::kInvalidSocket);
    }
    return listener;
}

struct ListenAddress {
    sockaddr_storage address{};
    socklen_t length = 0;
    bool dualStack = false;
};

// The addresses that `text` names: loopback of both families when empty.
std::vector<ListenAddress> ListenAddresses(std::string_view text) {
    const std::string name(text);
    std::vector<ListenAddress> addresses;
    const auto addV4 = [&](const char* value) {
        ListenAddress entry;
        auto* v4 = reinterpret_cast<sockaddr_in*>(&entry.address);
        v4->sin_family = AF_INET;
        entry.length = sizeof(sockaddr_in);
        if (::inet_pton(AF_INET, value, &v4->sin_addr) == 1)
            addresses.push_back(entry);
    };
    const auto addV6 = [&](const char* value) {
        ListenAddress entry;
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&entry.address);
        v6->sin6_family = AF_INET6;
        entry.length = sizeof(sockaddr_in6);
        if (::inet_pton(AF_INET6, value, &v6->sin6_addr) == 1) {
            entry.dualStack = IN6_IS_ADDR_UNSPECIFIED(&v6->sin6_addr);
            addresses.push_back(entry);
        }
    };
    if (name.empty()) {
        addV4("127.0.0.1");
        addV6("::1");
    } else {
        addV4(name.c_str());
        if (addresses.empty())
            addV6(name.c_str());
    }
    return addresses;
}

void PreambleWatchdog(std::shared_ptr<QuicStream> stream, int timeoutMs) {
    if (!stream->WaitForPreamble(timeoutMs))
        stream->Close();
}

}  // namespace

QUIC_STATUS OpenVisualStudioPort(const std::shared_ptr<QuicSession>& session,
                                 std::string_view address, int port1, int localPort) {
    const std::vector<ListenAddress> addresses = ListenAddresses(address);
    if (addresses.empty())
        return QUIC_STATUS_INVALID_PARAMETER;
    // Loopback is served on whichever family binds: a machine without IPv6
    // still gets its IPv4 port.
    QUIC_STATUS status = QUIC_STATUS_ADDRESS_IN_USE;
    for (const ListenAddress& entry : addresses) {
        net::TcpSocket listener = ListenOn(entry.address, entry.length, entry.dualStack, port1);
        if (!listener.IsValid())
            continue;
        if (!session->AddListeningSocket(listener))
            return QUIC_STATUS_INVALID_STATE;
        if (!StartAcceptThread(session->BridgeThreads(), listener, session, localPort)) {
            listener.Close();
            return QUIC_STATUS_OUT_OF_MEMORY;
        }
        status = QUIC_STATUS_SUCCESS;
    }
    return status;
}

bool StartAcceptThread(platform::ThreadSet& threads, net::TcpSocket listener,
                       std::shared_ptr<QuicSession> session, int localPort) {
    return threads.Start([&threads, listener = std::move(listener), session = std::move(session),
                          localPort]() mutable {
        AcceptLoop(threads, std::move(listener), std::move(session), localPort);
    });
}

bool StartServerPump(platform::ThreadSet& threads, net::TcpSocket socket,
                     std::shared_ptr<QuicSession> session, std::shared_ptr<QuicStream> stream) {
    return threads.Start([socket = std::move(socket), session = std::move(session),
                          stream = std::move(stream)]() mutable {
        ServerPump(std::move(socket), std::move(session), std::move(stream));
    });
}

bool StartClientPump(platform::ThreadSet& threads, net::TcpSocket socket,
                     std::shared_ptr<QuicStream> stream) {
    return threads.Start([socket = std::move(socket), stream = std::move(stream)]() mutable {
        ClientPump(std::move(socket), std::move(stream));
    });
}

bool StartSocketWriter(platform::ThreadSet& threads, net::TcpSocket socket,
                       std::shared_ptr<QuicStream> stream) {
    return threads.Start([socket = std::move(socket), stream = std::move(stream)]() mutable {
        SocketWriter(std::move(socket), std::move(stream));
    });
}

bool StartPreambleWatchdog(platform::ThreadSet& threads, std::shared_ptr<QuicStream> stream,
                           int timeoutMs) {
    return threads.Start([stream = std::move(stream), timeoutMs]() mutable {
        PreambleWatchdog(std::move(stream), timeoutMs);
    });
}

}  // namespace quic
