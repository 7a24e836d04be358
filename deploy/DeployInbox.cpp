#include "deploy/DeployInbox.h"

#include <algorithm>

namespace deploy {

void DeployInbox::Push(std::span<const std::uint8_t> data) {
    if (data.empty())
        return;
    {
        std::lock_guard guard(lock_);
        if (closed_)
            return;
        // Drop what was read once it outweighs what is left, so the queue
        // does not grow with everything that ever passed through it.
        if (head_ > 0 && head_ >= data_.size() - head_) {
            data_.erase(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
        data_.insert(data_.end(), data.begin(), data.end());
    }
    changed_.notify_all();
}

std::size_t DeployInbox::Pop(std::span<std::uint8_t> out) {
    std::unique_lock guard(lock_);
    changed_.wait(guard, [&] { return closed_ || data_.size() - head_ >= out.size(); });
    if (closed_)
        return 0;
    return TakeLocked(out);
}

std::size_t DeployInbox::PopSome(std::span<std::uint8_t> out,
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
    return TakeLocked(out.first(std::min(out.size(), data_.size() - head_)));
}

std::size_t DeployInbox::TakeLocked(std::span<std::uint8_t> out) {
    const auto from = data_.begin() + static_cast<std::ptrdiff_t>(head_);
    std::copy(from, from + static_cast<std::ptrdiff_t>(out.size()), out.begin());
    head_ += out.size();
    if (head_ == data_.size()) {
        data_.clear();
        head_ = 0;
    }
    return out.size();
}

void DeployInbox::Close() {
    std::vector<std::uint8_t> released;
    {
        std::lock_guard guard(lock_);
        closed_ = true;
        released.swap(data_);
        head_ = 0;
    }
    changed_.notify_all();
}

bool DeployInbox::IsClosed() const {
    std::lock_guard guard(lock_);
    return closed_;
}

std::size_t DeployInbox::Queued() const {
    std::lock_guard guard(lock_);
    return data_.size() - head_;
}

}  // namespace deploy
