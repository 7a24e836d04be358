#include "deploy/DeployChannel.h"

#include <algorithm>
#include <array>
#include <new>
#include <stdexcept>

#include "platform/ByteOrder.h"
#include "platform/Console.h"

namespace deploy {

using platform::GetU32;
using platform::GetU64;
using platform::PutU32;
using platform::PutU64;

namespace {

DeployError QuicPop(DeployInbox& inbox, std::span<std::uint8_t> out) {
    return inbox.Pop(out) == out.size() ? DeployError::None : DeployError::Channel;
}

// Stores `socket` in `slot` unless the channel was closed.
DeployError Adopt(DeployChannel& channel, net::TcpSocket& slot, net::TcpSocket socket) {
    std::lock_guard guard(channel.lock);
    if (channel.closed) {
        socket.Close();
        return DeployError::Closed;
    }
    slot = std::move(socket);
    return DeployError::None;
}

}  // namespace

void EncodeDeployHeader(const DeployHeader& header,
                        std::span<std::uint8_t, kDeployHeaderSize> out) {
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    PutU32(&out[0], header.type);
    PutU64(&out[8], header.size);
    PutU64(&out[16], header.plainSize);
    PutU64(&out[24], header.fileTime);
    PutU32(&out[32], header.result);
}

DeployHeader DecodeDeployHeader(std::span<const std::uint8_t, kDeployHeaderSize> in) {
    return {GetU32(&in[0]), GetU64(&in[8]), GetU64(&in[16]), GetU64(&in[24]), GetU32(&in[32])};
}

void DeployChannel::CloseSockets() {
    std::lock_guard guard(lock);
    closed = true;
    listener.Close();
    connection.Close();
}

DeployError DeployChannel::AdoptConnection(net::TcpSocket socket) {
    return Adopt(*this, connection, std::move(socket));
}

DeployError DeployChannel::AdoptListener(net::TcpSocket socket) {
    return Adopt(*this, listener, std::move(socket));
}

net::TcpSocket DeployChannel::Connection() const {
    std::lock_guard guard(lock);
    return connection;
}

int DeployChannel::ListeningPort() const {
    std::lock_guard guard(lock);
    return listener.LocalPort();
}

void DeployChannel::SetQuicSend(std::function<bool(std::span<const std::uint8_t>)> send) {
    std::lock_guard guard(lock);
    quicSend = std::move(send);
}

std::vector<DeployEntry> DeployChannel::Table() const {
    std::lock_guard guard(lock);
    return table;
}

void DeployChannel::SetTable(std::vector<DeployEntry> entries) {
    std::lock_guard guard(lock);
    table = std::move(entries);
}

void DeployChannel::Print(std::wstring_view text) const {
    if (print)
        print(text);
    else
        platform::ConsoleWrite(text);
}

DeployError ReadMessage(DeployChannel& channel, bool quic, DeployHeader& header,
                        std::vector<std::uint8_t>& payload) {
    std::array<std::uint8_t, kDeployHeaderSize> raw{};
    const net::TcpSocket socket = quic ? net::TcpSocket(net::kInvalidSocket) : channel.Connection();
    const auto receive = [&](std::span<std::uint8_t> into) {
        return quic ? QuicPop(channel.inbox, into) : FromNet(socket.ReceiveAll(into));
    };
    if (quic && channel.inbox.IsClosed())
        return DeployError::Channel;
    if (const DeployError error = receive(raw); !Ok(error))
        return error;
    header = DecodeDeployHeader(raw);

    bool held = header.size <= kDeployMaxPayload;
    if (held) {
        try {
            payload.clear();
            payload.resize(static_cast<std::size_t>(header.size));
        } catch (const std::bad_alloc&) {
            held = false;
        } catch (const std::length_error&) {
            held = false;
        }
    }
    if (!held) {
        // The payload cannot be taken in, so nothing after it can be found
        // either: end the channel rather than read garbage as headers.
        payload.clear();
        payload.shrink_to_fit();
        if (quic)
            channel.inbox.Close();
        else
            socket.Shutdown();
        return DeployError::Oversize;
    }
    return payload.empty() ? DeployError::None : receive(payload);
}

namespace {

DeployError WriteBytes(DeployChannel& channel, bool quic, std::span<const std::uint8_t> bytes) {
    if (!quic)
        return FromNet(channel.Connection().SendAll(bytes));
    std::function<bool(std::span<const std::uint8_t>)> send;
    {
        std::lock_guard guard(channel.lock);
        send = channel.quicSend;
    }
    return send && send(bytes) ? DeployError::None : DeployError::Channel;
}

}  // namespace

DeployError WriteHeader(DeployChannel& channel, bool quic, const DeployHeader& header) {
    std::array<std::uint8_t, kDeployHeaderSize> raw{};
    EncodeDeployHeader(header, raw);
    return WriteBytes(channel, quic, raw);
}

DeployError WritePayload(DeployChannel& channel, bool quic, std::span<const std::uint8_t> payload) {
    return payload.empty() ? DeployError::None : WriteBytes(channel, quic, payload);
}

DeployError WriteMessage(DeployChannel& channel, bool quic, const DeployHeader& header,
                         std::span<const std::uint8_t> payload) {
    if (header.size != payload.size())
        return DeployError::BadMessage;
    if (const DeployError error = WriteHeader(channel, quic, header); !Ok(error))
        return error;
    return WritePayload(channel, quic, payload);
}

}  // namespace deploy
