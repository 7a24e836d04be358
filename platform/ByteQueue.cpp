#include "platform/ByteQueue.h"

#include <algorithm>

namespace platform {

std::size_t ByteQueue::Push(std::span<const std::uint8_t> data) {
    std::size_t count = 0;
    {
        std::lock_guard guard(lock_);
        if (closed_)
            return data.size();
        count = std::min(data.size(), capacity_ - std::min(capacity_, data_.size() - head_));
        if (count == 0)
            return 0;
        // Drop what was read once it outweighs what is left, so the buffer
        // stays within twice the capacity.
        if (head_ > 0 && head_ >= data_.size() - head_) {
            data_.erase(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
        data_.insert(data_.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(count));
    }
    changed_.notify_all();
    return count;
}

std::size_t ByteQueue::TakeLocked(std::span<std::uint8_t> out) {
    const std::size_t count = std::min(out.size(), data_.size() - head_);
    const auto from = data_.begin() + static_cast<std::ptrdiff_t>(head_);
    std::copy(from, from + static_cast<std::ptrdiff_t>(count), out.begin());
    head_ += count;
    if (head_ == data_.size()) {
        data_.clear();
        head_ = 0;
    }
    return count;
}

std::size_t ByteQueue::PopSome(std::span<std::uint8_t> out,
                               std::optional<std::chrono::milliseconds> idle) {
    if (out.empty())
        return 0;
    std::unique_lock guard(lock_);
    const auto ready = [&] { return closed_ || data_.size() > head_; };
    if (idle)
        changed_.wait_for(guard, *idle, ready);
    else
        changed_.wait(guard, ready);
    if (closed_ || data_.size() == head_)
        return 0;
    held_ = true;
    return TakeLocked(out);
}

bool ByteQueue::Drained() const {
    std::lock_guard guard(lock_);
    return !closed_ && !held_ && data_.size() == head_;
}

void ByteQueue::Release() {
    std::lock_guard guard(lock_);
    held_ = false;
}

bool ByteQueue::PopAll(std::span<std::uint8_t> out, const std::function<void(std::size_t)>& taken) {
    while (!out.empty()) {
        std::size_t count = 0;
        {
            std::unique_lock guard(lock_);
            changed_.wait(guard, [&] { return closed_ || data_.size() > head_; });
            if (closed_)
                return false;
            count = TakeLocked(out);
        }
        out = out.subspan(count);
        if (taken)
            taken(count);
    }
    return true;
}

void ByteQueue::Close() {
    std::vector<std::uint8_t> released;
    {
        std::lock_guard guard(lock_);
        closed_ = true;
        released.swap(data_);
        head_ = 0;
    }
    changed_.notify_all();
}

bool ByteQueue::IsClosed() const {
    std::lock_guard guard(lock_);
    return closed_;
}

std::size_t ByteQueue::Queued() const {
    std::lock_guard guard(lock_);
    return data_.size() - head_;
}

}  // namespace platform
