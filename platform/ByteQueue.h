#pragma once
// A bounded byte queue between one producer and one consumer thread. The
// producer never waits: it is told how much fitted, and holds the rest (a
// transport withholds the peer's credit for it). The consumer waits for
// bytes or for the queue to close.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace platform {

class ByteQueue {
  public:
    explicit ByteQueue(std::size_t capacity) : capacity_(capacity) {}
    ByteQueue(const ByteQueue&) = delete;
    ByteQueue& operator=(const ByteQueue&) = delete;

    // Takes as many leading bytes as there is room for and returns how many.
    // After Close every byte counts as taken and is dropped.
    std::size_t Push(std::span<const std::uint8_t> data);

    // Waits for at least one byte (at most `idle`; none waits without a
    // limit), then moves up to out.size() of them into `out`; 0 once the
    // queue is closed or the time ran out.
    std::size_t PopSome(std::span<std::uint8_t> out,
                        std::optional<std::chrono::milliseconds> idle = std::nullopt);

    // Fills all of `out` piece by piece as bytes arrive, so `out` may be far
    // larger than the capacity. `taken` (if set) hears of each piece, outside
    // the lock. False when the queue closed first, even with bytes queued.
    bool PopAll(std::span<std::uint8_t> out, const std::function<void(std::size_t)>& taken);

    // True when no byte is queued and the consumer holds none it took with
    // PopSome and has not Released: then bytes the producer hands on by
    // another way cannot overtake any (the producer alone fills the queue).
    bool Drained() const;
    // The consumer is done with what PopSome gave it.
    void Release();

    // Wakes a waiting consumer at once and releases the queued bytes.
    void Close();
    bool IsClosed() const;
    std::size_t Queued() const;
    std::size_t Capacity() const { return capacity_; }

  private:
    // Under lock_: moves up to out.size() queued bytes into `out`.
    std::size_t TakeLocked(std::span<std::uint8_t> out);

    const std::size_t capacity_;
    mutable std::mutex lock_;  // guards data_, head_, held_, closed_
    std::condition_variable changed_;
    std::vector<std::uint8_t> data_;
    std::size_t head_ = 0;  // bytes at the front of data_ already taken
    bool held_ = false;     // PopSome gave out bytes not Released yet
    bool closed_ = false;
};

}  // namespace platform
