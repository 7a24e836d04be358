#include "quic/Bridge.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/Socket.h"
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

BridgeSlot::~BridgeSlot() {
    owner_->Release();
}

std::shared_ptr<BridgeSlot> BridgeSlots::Take() {
    std::lock_guard guard(lock_);
    if (inUse_ >= limit_)
        return nullptr;
    auto slot = std::make_shared<BridgeSlot>(shared_from_this());
    ++inUse_;
    return slot;
}

std::size_t BridgeSlots::InUse() const {
    std::lock_guard guard(lock_);
    return inUse_;
}

void BridgeSlots::Release() {
    std::lock_guard guard(lock_);
    --inUse_;
}

namespace {

// The thread bodies take what they use by value, so it is released when the
// body returns, before the thread counts as finished: the last reference to
// a stream or session never goes while the set joins the thread.

void AcceptLoop(std::shared_ptr<net::TcpListener> listener, std::shared_ptr<QuicSession> session,
                int localPort) {
    for (;;) {
        // Empty once the session has closed the listener.
        net::TcpSocket accepted = listener->Accept();
        if (!accepted.IsValid())
            break;
        std::shared_ptr<BridgeSlot> slot = session->TakeBridgeSlot();
        if (!slot) {
            // Refused before it costs a stream or a thread.
            accepted.Close();
            continue;
        }
        PrepareBridgedSocket(accepted);
        QuicStreamInit init;
        init.port = localPort;
        init.socket = accepted;
        init.slot = std::move(slot);
        // The stream attaches the socket to its worker once it has started.
        OpenedStream opened = session->OpenStream(std::move(init));
        if (!opened.stream)
            accepted.Close();
    }
}

void PreambleWatchdog(std::shared_ptr<QuicStream> stream, int timeoutMs) {
    if (!stream->WaitForPreamble(timeoutMs))
        stream->Close();
}

}  // namespace

void PrepareBridgedSocket(const net::TcpSocket& socket) {
    // Without it a small reply waits for the acknowledgement of the last one.
    (void)socket.SetNoDelay();
    // A fixed receive buffer: the kernel's tuning would let it grow to tens
    // of MiB on a fast local connection, all of it bytes parked in the tunnel.
    const int bytes = static_cast<int>(kBridgeSocketReceiveBuffer);
    (void)platform::SetReceiveBuffer(socket.Handle(), bytes);
#ifdef _WIN32
    // The stream moves its bytes with calls that must not wait, and Windows
    // has no per-call flag for it: the whole socket does not wait.
    (void)platform::SetNonBlocking(socket.Handle(), true);
#endif
}

QUIC_STATUS OpenVisualStudioPort(const std::shared_ptr<QuicSession>& session,
                                 std::string_view address, int port1, int localPort) {
    auto listener = std::make_shared<net::TcpListener>();
    // Loopback is served on whichever family binds: a machine without IPv6
    // still gets its IPv4 port.
    const net::NetError error = listener->Listen(address, port1);
    if (error == net::NetError::BadArgument)
        return QUIC_STATUS_INVALID_PARAMETER;
    if (!net::Ok(error))
        return QUIC_STATUS_ADDRESS_IN_USE;
    if (!session->AddListener(listener))
        return QUIC_STATUS_INVALID_STATE;
    if (!StartAcceptThread(session->BridgeThreads(), listener, session, localPort)) {
        listener->Close();
        return QUIC_STATUS_OUT_OF_MEMORY;
    }
    return QUIC_STATUS_SUCCESS;
}

bool StartAcceptThread(platform::ThreadSet& threads, std::shared_ptr<net::TcpListener> listener,
                       std::shared_ptr<QuicSession> session, int localPort) {
    return threads.Start(
        [listener = std::move(listener), session = std::move(session), localPort]() mutable {
            AcceptLoop(std::move(listener), std::move(session), localPort);
        });
}

bool StartPreambleWatchdog(platform::ThreadSet& threads, std::shared_ptr<QuicStream> stream,
                           int timeoutMs) {
    return threads.Start([stream = std::move(stream), timeoutMs]() mutable {
        PreambleWatchdog(std::move(stream), timeoutMs);
    });
}

}  // namespace quic
