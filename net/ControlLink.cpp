#include "net/ControlLink.h"

#include <algorithm>
#include <cstring>

#include "net/TcpRelay.h"
#include "platform/SocketPoll.h"

namespace net {

namespace {

// Room for the largest message and a good many small ones behind it.
constexpr std::size_t kReadBuffer = std::size_t{256} << 10;
static_assert(kReadBuffer >= kRelayHeaderSize + kRelayMaxPayload);

}  // namespace

void RelayBatch::Data(std::uint64_t connection, std::span<const std::uint8_t> bytes,
                      std::size_t maxPayload) {
    maxPayload = std::max<std::size_t>(maxPayload, 1);
    heads_.clear();
    pieces_.clear();
    // Reserved first, so the pieces that point into it never move.
    heads_.reserve((bytes.size() + maxPayload - 1) / maxPayload);
    for (std::size_t at = 0; at < bytes.size(); at += maxPayload) {
        const auto part = bytes.subspan(at, std::min(maxPayload, bytes.size() - at));
        heads_.push_back(EncodeRelayHeader({RELAY_DATA, connection, 0, 0, part.size()}));
        pieces_.push_back(platform::MakePiece(heads_.back().data(), kRelayHeaderSize));
        pieces_.push_back(platform::MakePiece(part.data(), part.size()));
    }
}

ControlLink::ControlLink(TcpSocket connected) : socket_(std::move(connected)), in_(kReadBuffer) {
    socket_.SetNoDelay();
}

NetError ControlLink::Send(std::uint32_t type, std::uint64_t connA, std::uint64_t connB,
                           std::uint32_t status) {
    auto head = EncodeRelayHeader({type, connA, connB, status, 0});
    platform::IoPiece piece = platform::MakePiece(head.data(), head.size());
    std::lock_guard guard(writeLock_);
    return WriteAll(std::span(&piece, 1));
}

NetError ControlLink::Send(RelayBatch& batch) {
    std::lock_guard guard(writeLock_);
    return WriteAll(batch.pieces_);
}

NetError ControlLink::WriteAll(std::span<platform::IoPiece> pieces) {
    const SocketHandle fd = socket_.Handle();
    while (!pieces.empty()) {
        if (platform::PieceSize(pieces.front()) == 0) {
            pieces = pieces.subspan(1);
            continue;
        }
        const long sent = platform::SendPieces(fd, pieces);
        const platform::SocketError error =
            sent < 0 ? platform::LastSocketError() : platform::SocketError::None;
        if (error == platform::SocketError::Interrupted)
            continue;
        if (error == platform::SocketError::WouldBlock) {
            // A send timeout ran out with nothing sent: wait for room; a
            // shutdown wakes this too.
            platform::PollEntry room = platform::MakePollEntry(fd, platform::kPollOut);
            platform::PollSockets(std::span(&room, 1), -1);
            continue;
        }
        if (sent <= 0)
            return NetError::Closed;
        // A partial write: skip what went, start the next call mid-piece.
        auto left = static_cast<std::size_t>(sent);
        while (left > 0 && left >= platform::PieceSize(pieces.front())) {
            left -= platform::PieceSize(pieces.front());
            pieces = pieces.subspan(1);
        }
        if (left > 0)
            platform::AdvancePiece(pieces.front(), left);
    }
    return NetError::None;
}

bool ControlLink::Fill(std::size_t count) {
    if (end_ - begin_ >= count)
        return true;
    if (in_.size() - begin_ < count) {
        // Too little room behind the unread bytes: move them to the front.
        std::memmove(in_.data(), in_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    while (end_ - begin_ < count) {
        const int got = socket_.Receive(in_.data() + end_, in_.size() - end_, false);
        if (got < 0 && platform::LastSocketError() == platform::SocketError::Interrupted)
            continue;
        if (got <= 0)
            return false;
        end_ += static_cast<std::size_t>(got);
    }
    return true;
}

bool ControlLink::HasMessage() const {
    const std::size_t ready = end_ - begin_;
    if (ready < kRelayHeaderSize)
        return false;
    const RelayHeader header = DecodeRelayHeader(
        std::span<const std::uint8_t, kRelayHeaderSize>(in_.data() + begin_, kRelayHeaderSize));
    // An oversize length is reported by Read at once.
    return header.length > kRelayMaxPayload || ready - kRelayHeaderSize >= header.length;
}

NetError ControlLink::Read(RelayHeader& header, std::span<const std::uint8_t>& payload) {
    if (!Fill(kRelayHeaderSize))
        return NetError::Closed;
    header = DecodeRelayHeader(
        std::span<const std::uint8_t, kRelayHeaderSize>(in_.data() + begin_, kRelayHeaderSize));
    if (header.length > kRelayMaxPayload)
        return NetError::Oversize;
    const std::size_t whole = kRelayHeaderSize + static_cast<std::size_t>(header.length);
    if (!Fill(whole))
        return NetError::Closed;
    payload = std::span<const std::uint8_t>(in_.data() + begin_ + kRelayHeaderSize,
                                            static_cast<std::size_t>(header.length));
    begin_ += whole;
    if (begin_ == end_)
        begin_ = end_ = 0;
    return NetError::None;
}

}  // namespace net
