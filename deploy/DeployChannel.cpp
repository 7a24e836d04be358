#include "deploy/DeployChannel.h"

#ifndef _WIN32
#include <linux/sockios.h>
#include <sys/ioctl.h>
#endif

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <new>
#include <optional>

#include "platform/ByteOrder.h"
#include "platform/Console.h"
#include "platform/SocketPoll.h"

namespace deploy {

using platform::GetU32;
using platform::GetU64;
using platform::PutU32;
using platform::PutU64;

namespace {

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
    // A peer that stops taking bytes must not hold a writer for ever.
    if (socket.IsValid())
        platform::SetSendTimeout(socket.Handle(), idleDeadline);
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

void DeployChannel::SetQuicSend(std::function<bool(std::span<const std::uint8_t>)> send,
                                std::function<std::optional<std::uint64_t>()> held) {
    std::lock_guard guard(lock);
    quicSend = std::move(send);
    quicHeld = std::move(held);
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

namespace {

// Payload bytes are taken in pieces of this size, so memory follows what
// arrived rather than what a header announced.
constexpr std::size_t kReadPiece = std::size_t{1} << 20;
// Room kept for a payload before its bytes arrive.
constexpr std::uint64_t kReserveAhead = std::uint64_t{64} << 20;

using Idle = std::optional<std::chrono::milliseconds>;

// One side's view of its channel while it reads one message.
class MessageSource {
  public:
    MessageSource(DeployChannel& channel, bool quic)
        : channel_(channel),
          quic_(quic),
          socket_(quic ? net::TcpSocket(net::kInvalidSocket) : channel.Connection()) {}

    // Fills `out` in pieces as the bytes arrive. `first` bounds the wait for
    // the first piece, the channel's idle deadline every later one.
    DeployError Fill(std::span<std::uint8_t> out, Idle first) {
        Idle wait = first;
        for (std::size_t have = 0; have < out.size(); wait = channel_.idleDeadline) {
            const std::size_t got = Piece(out.subspan(have), wait);
            if (got == 0)
                return DeployError::Channel;
            have += got;
        }
        return DeployError::None;
    }

    // Ends the channel for both directions: after a refused or incomplete
    // message the stream can no longer be followed.
    void Abandon() {
        if (quic_)
            channel_.inbox.Close();
        else
            socket_.Shutdown();
    }

    bool Closed() const { return quic_ && channel_.inbox.IsClosed(); }

  private:
    // Up to out.size() bytes; 0 when the channel ended, failed or stayed
    // silent for `wait`.
    std::size_t Piece(std::span<std::uint8_t> out, Idle wait) {
        if (quic_)
            return channel_.inbox.PopSome(out, wait);
        if (!socket_.IsValid())
            return 0;
        if (wait) {
            platform::PollEntry ready =
                platform::MakePollEntry(socket_.Handle(), platform::kPollIn);
            const int timeout = static_cast<int>(
                std::min<std::chrono::milliseconds::rep>(wait->count(), INT32_MAX));
            // A signal counts as a silent wait here, as the caller treats both.
            if (platform::PollSockets(std::span(&ready, 1), timeout) <= 0)
                return 0;
        }
        const int got = socket_.Receive(out, false);
        return got > 0 ? static_cast<std::size_t>(got) : 0;
    }

    DeployChannel& channel_;
    bool quic_;
    net::TcpSocket socket_;
};

DeployError ReadHeaderFrom(MessageSource& source, DeployHeader& header, Idle first) {
    std::array<std::uint8_t, kDeployHeaderSize> raw{};
    if (source.Closed())
        return DeployError::Channel;
    const DeployError error = source.Fill(raw, first);
    if (!Ok(error)) {
        source.Abandon();
        return error;
    }
    header = DecodeDeployHeader(raw);
    return DeployError::None;
}

DeployError ReadPayloadFrom(MessageSource& source, std::uint64_t size, std::uint64_t cap,
                            std::vector<std::uint8_t>* payload, std::chrono::milliseconds idle) {
    if (payload)
        payload->clear();
    if (size > cap || size > kDeployMaxPayload) {
        source.Abandon();
        return DeployError::Oversize;
    }
    try {
        std::vector<std::uint8_t> dropped;
        std::vector<std::uint8_t>& into = payload ? *payload : dropped;
        if (payload)
            into.reserve(static_cast<std::size_t>(std::min(size, kReserveAhead)));
        for (std::uint64_t have = 0; have < size;) {
            const auto piece =
                static_cast<std::size_t>(std::min<std::uint64_t>(size - have, kReadPiece));
            const std::size_t at = payload ? static_cast<std::size_t>(have) : 0;
            into.resize(at + piece);
            if (const DeployError error = source.Fill(std::span(into).subspan(at), idle);
                !Ok(error)) {
                into.clear();
                source.Abandon();
                return error;
            }
            have += piece;
        }
        if (!payload)
            dropped.clear();
    } catch (const std::bad_alloc&) {
        if (payload) {
            payload->clear();
            payload->shrink_to_fit();
        }
        source.Abandon();
        return DeployError::Oversize;
    }
    return DeployError::None;
}

}  // namespace

DeployError ReadHeader(DeployChannel& channel, bool quic, DeployHeader& header, bool waitForStart) {
    MessageSource source(channel, quic);
    return ReadHeaderFrom(source, header, waitForStart ? Idle{} : Idle{channel.idleDeadline});
}

DeployError ReadPayload(DeployChannel& channel, bool quic, std::uint64_t size, std::uint64_t cap,
                        std::vector<std::uint8_t>* payload) {
    MessageSource source(channel, quic);
    return ReadPayloadFrom(source, size, cap, payload, channel.idleDeadline);
}

void AbandonChannel(DeployChannel& channel, bool quic) {
    MessageSource(channel, quic).Abandon();
}

DeployError ReadMessage(DeployChannel& channel, bool quic, DeployHeader& header,
                        std::vector<std::uint8_t>& payload, std::uint64_t cap) {
    MessageSource source(channel, quic);
    if (const DeployError error = ReadHeaderFrom(source, header, channel.idleDeadline); !Ok(error))
        return error;
    return ReadPayloadFrom(source, header.size, cap, &payload, channel.idleDeadline);
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

std::optional<std::uint64_t> HeldByTransport(const DeployChannel& channel, bool quic) {
    if (quic) {
        std::function<std::optional<std::uint64_t>()> held;
        {
            std::lock_guard guard(channel.lock);
            held = channel.quicHeld;
        }
        return held ? held() : std::nullopt;
    }
#ifdef _WIN32
    // Winsock does not tell what a socket still holds; the pipeline then
    // judges the link by how long its sends take.
    return std::nullopt;
#else
    const net::TcpSocket connection = channel.Connection();
    int queued = 0;
    if (!connection.IsValid() || ::ioctl(connection.Handle(), SIOCOUTQ, &queued) != 0 || queued < 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(queued);
#endif
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
