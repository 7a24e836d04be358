#include "deploy/DeployChannel.h"

#include <algorithm>
#include <array>
#include <new>
#include <stdexcept>

#include "platform/Console.h"

namespace deploy {

namespace {

void PutLe(std::span<std::uint8_t> out, std::size_t offset, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint64_t GetLe(std::span<const std::uint8_t> in, std::size_t offset, int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value |= std::uint64_t{in[offset + static_cast<std::size_t>(i)]} << (8 * i);
    return value;
}

// net::TcpSocket counts in int; large payloads go in pieces well below that.
constexpr std::size_t kSocketPiece = std::size_t{1} << 20;

bool ReceiveAll(const net::TcpSocket& socket, std::span<std::uint8_t> buffer) {
    while (!buffer.empty()) {
        const std::size_t piece = std::min(buffer.size(), kSocketPiece);
        if (socket.Receive(buffer.data(), piece, true) != static_cast<int>(piece))
            return false;
        buffer = buffer.subspan(piece);
    }
    return true;
}

bool SendAll(const net::TcpSocket& socket, std::span<const std::uint8_t> data) {
    while (!data.empty()) {
        const std::size_t piece = std::min(data.size(), kSocketPiece);
        if (socket.Send(data.data(), piece, true) != static_cast<int>(piece))
            return false;
        data = data.subspan(piece);
    }
    return true;
}

bool QuicPop(DeployInbox& inbox, std::span<std::uint8_t> out) {
    return inbox.Pop(out) == out.size();
}

}  // namespace

void EncodeDeployHeader(const DeployHeader& header,
                        std::span<std::uint8_t, kDeployHeaderSize> out) {
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    PutLe(out, 0, header.type, 4);
    PutLe(out, 8, header.size, 8);
    PutLe(out, 16, header.plainSize, 8);
    PutLe(out, 24, header.fileTime, 8);
    PutLe(out, 32, header.result, 4);
}

DeployHeader DecodeDeployHeader(std::span<const std::uint8_t, kDeployHeaderSize> in) {
    DeployHeader header;
    header.type = static_cast<std::uint32_t>(GetLe(in, 0, 4));
    header.size = GetLe(in, 8, 8);
    header.plainSize = GetLe(in, 16, 8);
    header.fileTime = GetLe(in, 24, 8);
    header.result = static_cast<std::uint32_t>(GetLe(in, 32, 4));
    return header;
}

void DeployChannel::CloseSockets() {
    std::lock_guard guard(lock);
    closed = true;
    listener.Close();
    connection.Close();
}

bool DeployChannel::AdoptConnection(net::TcpSocket socket) {
    std::lock_guard guard(lock);
    if (closed) {
        socket.Close();
        return false;
    }
    connection = std::move(socket);
    return true;
}

bool DeployChannel::AdoptListener(net::TcpSocket socket) {
    std::lock_guard guard(lock);
    if (closed) {
        socket.Close();
        return false;
    }
    listener = std::move(socket);
    return true;
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

bool ReadMessage(DeployChannel& channel, bool quic, DeployHeader& header,
                 std::vector<std::uint8_t>& payload) {
    std::array<std::uint8_t, kDeployHeaderSize> raw{};
    net::TcpSocket socket(net::kInvalidSocket);
    if (quic) {
        if (channel.inbox.IsClosed() || !QuicPop(channel.inbox, raw))
            return false;
    } else {
        socket = channel.Connection();
        if (!ReceiveAll(socket, raw))
            return false;
    }
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
        return false;
    }
    if (payload.empty())
        return true;
    return quic ? QuicPop(channel.inbox, payload) : ReceiveAll(socket, payload);
}

namespace {

bool WriteBytes(DeployChannel& channel, bool quic, std::span<const std::uint8_t> bytes) {
    if (quic) {
        std::function<bool(std::span<const std::uint8_t>)> send;
        {
            std::lock_guard guard(channel.lock);
            send = channel.quicSend;
        }
        return send && send(bytes);
    }
    return SendAll(channel.Connection(), bytes);
}

}  // namespace

bool WriteHeader(DeployChannel& channel, bool quic, const DeployHeader& header) {
    std::array<std::uint8_t, kDeployHeaderSize> raw{};
    EncodeDeployHeader(header, raw);
    return WriteBytes(channel, quic, raw);
}

bool WritePayload(DeployChannel& channel, bool quic, std::span<const std::uint8_t> payload) {
    return payload.empty() || WriteBytes(channel, quic, payload);
}

bool WriteMessage(DeployChannel& channel, bool quic, const DeployHeader& header,
                  std::span<const std::uint8_t> payload) {
    if (header.size != payload.size())
        return false;
    return WriteHeader(channel, quic, header) && WritePayload(channel, quic, payload);
}

}  // namespace deploy
