#include "quic/Bridge.h"

#include <algorithm>
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

void AcceptLoop(platform::ThreadSet& threads, std::shared_ptr<net::TcpListener> listener,
                std::shared_ptr<QuicSession> session, int localPort) {
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
        OpenedStream opened = session->OpenStream(std::move(init));
        if (!opened.stream) {
            accepted.Close();
            continue;
        }
        if (!StartServerPump(threads, accepted, session, opened.stream, slot) ||
            !StartSocketWriter(threads, accepted, opened.stream, slot))
            opened.stream->Close();
    }
}

// Moves what `socket` receives onto `stream`, one send per read, reading
// only while the stream has room under kBridgeUnacknowledgedLimit. With
// `waitReady` nothing is sent before the stream has started and queued its
// preamble. Returns when the socket or the stream has ended; what was sent is
// acknowledged by then unless the stream ended first.
void Pump(const net::TcpSocket& socket, QuicStream& stream, bool waitReady) {
    std::vector<std::uint8_t> buffer(kRelayChunkSize);
    bool ready = !waitReady;
    for (;;) {
        if (!stream.WaitForSendRoom(kBridgeUnacknowledgedLimit))
            return;
        const int received = socket.Receive(buffer, false);
        if (received <= 0)
            break;
        if (!ready && !(ready = stream.WaitUntilReady()))
            return;
        // A failed send (the stream is gone) drops the bytes.
        stream.Send({buffer.data(), static_cast<std::size_t>(received)});
    }
    // The local end has gone: the close that follows aborts the stream, so
    // it waits for what is in flight to arrive first.
    stream.WaitForSendRoom(1);
}

// The session is held for as long as its Visual Studio connection is relayed;
// the slot is held, as in the other bodies, until the thread is done.
void ServerPump(net::TcpSocket socket, std::shared_ptr<QuicSession> /*session*/,
                std::shared_ptr<QuicStream> stream, std::shared_ptr<BridgeSlot> /*slot*/) {
    Pump(socket, *stream, true);
    socket.Close();
    stream->Close();
}

void ClientPump(net::TcpSocket socket, std::shared_ptr<QuicStream> stream,
                std::shared_ptr<BridgeSlot> /*slot*/) {
    Pump(socket, *stream, false);
    stream->Close();
}

// Written by this thread only, so the worker never waits for a local peer.
void SocketWriter(net::TcpSocket socket, std::shared_ptr<QuicStream> stream,
                  std::shared_ptr<BridgeSlot> /*slot*/) {
    std::vector<std::uint8_t> buffer(64 * 1024);
    for (;;) {
        const std::size_t count = stream->NextForSocket(buffer);
        if (count == 0)
            break;
        if (!net::Ok(socket.SendAll({buffer.data(), count}))) {
            stream->Close();
            break;
        }
        stream->WroteToSocket(count);
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
    return threads.Start([&threads, listener = std::move(listener), session = std::move(session),
                          localPort]() mutable {
        AcceptLoop(threads, std::move(listener), std::move(session), localPort);
    });
}

bool StartServerPump(platform::ThreadSet& threads, net::TcpSocket socket,
                     std::shared_ptr<QuicSession> session, std::shared_ptr<QuicStream> stream,
                     std::shared_ptr<BridgeSlot> slot) {
    return threads.Start([socket = std::move(socket), session = std::move(session),
                          stream = std::move(stream), slot = std::move(slot)]() mutable {
        ServerPump(std::move(socket), std::move(session), std::move(stream), std::move(slot));
    });
}

bool StartClientPump(platform::ThreadSet& threads, net::TcpSocket socket,
                     std::shared_ptr<QuicStream> stream, std::shared_ptr<BridgeSlot> slot) {
    return threads.Start(
        [socket = std::move(socket), stream = std::move(stream), slot = std::move(slot)]() mutable {
            ClientPump(std::move(socket), std::move(stream), std::move(slot));
        });
}

bool StartSocketWriter(platform::ThreadSet& threads, net::TcpSocket socket,
                       std::shared_ptr<QuicStream> stream, std::shared_ptr<BridgeSlot> slot) {
    return threads.Start(
        [socket = std::move(socket), stream = std::move(stream), slot = std::move(slot)]() mutable {
            SocketWriter(std::move(socket), std::move(stream), std::move(slot));
        });
}

bool StartPreambleWatchdog(platform::ThreadSet& threads, std::shared_ptr<QuicStream> stream,
                           int timeoutMs) {
    return threads.Start([stream = std::move(stream), timeoutMs]() mutable {
        PreambleWatchdog(std::move(stream), timeoutMs);
    });
}

}  // namespace quic
