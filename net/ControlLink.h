#pragma once
// The relay's control connection as a stream of messages (a RelayHeader and
// its payload): writers on any thread, each message whole, and one reader
// thread. TcpRelay owns the links and the threads that use them.
//
// A batch of data messages goes out in as few system calls as the socket
// takes (one gather write, continued where a partial write stopped), and the
// reader takes whatever has arrived in one receive and hands out the
// messages from its buffer, so small messages cost no call each.
#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "net/NetError.h"
#include "net/RelayHeader.h"
#include "net/TcpSocket.h"

namespace net {

// The headers and payload pieces of several data messages for one
// connection; the payload stays where it is. One per sending thread, reused.
class RelayBatch {
  public:
    // RELAY_DATA messages carrying `bytes` for `connection`, at most
    // `maxPayload` (at least 1) bytes each; `bytes` must outlive the batch's
    // use. Replaces what the batch held.
    void Data(std::uint64_t connection, std::span<const std::uint8_t> bytes,
              std::size_t maxPayload);

    std::size_t Messages() const { return heads_.size(); }

  private:
    friend class ControlLink;
    std::vector<std::array<std::uint8_t, kRelayHeaderSize>> heads_;
    std::vector<platform::IoPiece> pieces_;
};

class ControlLink {
  public:
    // Turns Nagle off: every batch goes out whole in one call, so holding
    // small writes back only delays the debugger's request/reply traffic.
    explicit ControlLink(TcpSocket connected);
    ControlLink(const ControlLink&) = delete;
    ControlLink& operator=(const ControlLink&) = delete;

    // One message without data.
    NetError Send(std::uint32_t type, std::uint64_t connA, std::uint64_t connB,
                  std::uint32_t status);
    // Every message of `batch`, with no other writer's message in between.
    // The batch's pieces are used up.
    NetError Send(RelayBatch& batch);

    // The next message; `payload` points into the link's buffer and stays
    // valid until the next Read. Oversize for a length above
    // kRelayMaxPayload, Closed when the connection ended. Only the link's
    // one reader thread calls this.
    NetError Read(RelayHeader& header, std::span<const std::uint8_t>& payload);

    // A whole message has arrived: the next Read does not wait. Reader
    // thread only.
    bool HasMessage() const;

    // Wakes the reader and every writer; the descriptor itself is closed when
    // the last holder of the link lets go, so the socket never changes while
    // other threads use it.
    void Shutdown() const { socket_.Shutdown(); }

  private:
    // Gathers `pieces` onto the socket; the caller holds writeLock_.
    NetError WriteAll(std::span<platform::IoPiece> pieces);
    // At least `count` unread bytes in the buffer; false when the connection ended.
    bool Fill(std::size_t count);

    const TcpSocket socket_;
    std::mutex writeLock_;  // guards writes on socket_
    // Reader thread only: what has arrived and not yet been handed out.
    std::vector<std::uint8_t> in_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

}  // namespace net
