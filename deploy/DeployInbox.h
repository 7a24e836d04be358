#pragma once
// The byte queue between the QUIC control stream's receive events (the only
// pusher) and the deployment reader (the only popper) of one side. It holds
// at most kDeployInboxCapacity bytes: the stream keeps what does not fit and
// withholds the peer's credit for it, and the reader hands credit back as it
// takes bytes, so a peer can never make the inbox grow beyond that.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>

#include "platform/ByteQueue.h"

namespace deploy {

inline constexpr std::size_t kDeployInboxCapacity = std::size_t{4} << 20;

class DeployInbox {
  public:
    // Told how many bytes the reader has taken, so their credit can go back.
    using ConsumedHook = std::function<void(std::size_t)>;

    DeployInbox() = default;
    DeployInbox(const DeployInbox&) = delete;
    DeployInbox& operator=(const DeployInbox&) = delete;

    // Takes as many of the bytes as fit and returns how many; bytes pushed
    // after Close are taken and dropped.
    std::size_t Push(std::span<const std::uint8_t> data);

    // Waits, without a time limit while the inbox is open, until out.size()
    // bytes have come (out may be larger than the capacity), then returns
    // out.size(). Returns 0 as soon as the inbox is closed, even with bytes
    // still queued, so a reader never sees part of a message.
    std::size_t Pop(std::span<std::uint8_t> out);

    // Waits until at least one byte is queued (at most `idle`; none waits
    // without a limit), then moves up to out.size() bytes into `out` and
    // returns how many. Returns 0 when the inbox is closed or the time ran
    // out, so a reader can take a message in pieces as it arrives.
    std::size_t PopSome(std::span<std::uint8_t> out,
                        std::optional<std::chrono::milliseconds> idle = std::nullopt);

    // Where taken bytes are reported; what was taken before it was set is
    // reported to it at once.
    void SetConsumedHook(ConsumedHook hook);

    // Marks the inbox closed, wakes a waiting reader at once and releases the
    // queued bytes.
    void Close();
    bool IsClosed() const;

    // Bytes queued and not read yet.
    std::size_t Queued() const;

  private:
    void Consumed(std::size_t count);

    platform::ByteQueue queue_{kDeployInboxCapacity};
    mutable std::mutex hookLock_;  // guards hook_, unreported_
    std::shared_ptr<const ConsumedHook> hook_;
    std::size_t unreported_ = 0;
};

}  // namespace deploy
