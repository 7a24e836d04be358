#pragma once
// The byte queue between the QUIC control stream's receive events (the only
// pusher) and the deployment reader (the only popper) of one side.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace deploy {

class DeployInbox {
  public:
    DeployInbox() = default;
    DeployInbox(const DeployInbox&) = delete;
    DeployInbox& operator=(const DeployInbox&) = delete;

    // Appends the bytes; bytes pushed after Close are dropped.
    void Push(std::span<const std::uint8_t> data);

    // Waits, without a time limit while the inbox is open, until out.size()
    // bytes are queued, then moves them into `out` and returns out.size().
    // Returns 0 as soon as the inbox is closed, even with bytes still queued,
    // so a reader never sees part of a message.
    std::size_t Pop(std::span<std::uint8_t> out);

    // Waits until at least one byte is queued (at most `idle`; none waits
    // without a limit), then moves up to out.size() bytes into `out` and
    // returns how many. Returns 0 when the inbox is closed or the time ran
    // out, so a reader can take a message in pieces as it arrives.
    std::size_t PopSome(std::span<std::uint8_t> out,
                        std::optional<std::chrono::milliseconds> idle = std::nullopt);

    // Marks the inbox closed, wakes a waiting reader at once and releases the
    // queued bytes. Readers wait on a condition variable rather than polling,
    // so no grace period is needed before the bytes go.
    void Close();
    bool IsClosed() const;

    // Bytes queued and not read yet.
    std::size_t Queued() const;

  private:
    // Moves out.size() queued bytes into `out`; lock_ held.
    std::size_t TakeLocked(std::span<std::uint8_t> out);

    mutable std::mutex lock_;  // guards data_, head_, closed_
    std::condition_variable changed_;
    std::vector<std::uint8_t> data_;
    std::size_t head_ = 0;  // bytes at the front of data_ already read
    bool closed_ = false;
};

}  // namespace deploy
