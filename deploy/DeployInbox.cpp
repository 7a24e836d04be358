#include "deploy/DeployInbox.h"

#include <utility>

namespace deploy {

std::size_t DeployInbox::Push(std::span<const std::uint8_t> data) {
    return queue_.Push(data);
}

std::size_t DeployInbox::Pop(std::span<std::uint8_t> out) {
    return queue_.PopAll(out, [this](std::size_t count) { Consumed(count); }) ? out.size() : 0;
}

std::size_t DeployInbox::PopSome(std::span<std::uint8_t> out,
                                 std::optional<std::chrono::milliseconds> idle) {
    const std::size_t count = queue_.PopSome(out, idle);
    if (count > 0)
        Consumed(count);
    return count;
}

void DeployInbox::Consumed(std::size_t count) {
    std::shared_ptr<const ConsumedHook> hook;
    {
        std::lock_guard guard(hookLock_);
        hook = hook_;
        if (!hook || !*hook) {
            unreported_ += count;
            return;
        }
    }
    (*hook)(count);
}

void DeployInbox::SetConsumedHook(ConsumedHook hook) {
    auto shared = std::make_shared<const ConsumedHook>(std::move(hook));
    std::size_t earlier = 0;
    {
        std::lock_guard guard(hookLock_);
        hook_ = shared;
        earlier = std::exchange(unreported_, 0);
    }
    if (earlier > 0 && *shared)
        (*shared)(earlier);
}

void DeployInbox::Close() {
    queue_.Close();
}

bool DeployInbox::IsClosed() const {
    return queue_.IsClosed();
}

std::size_t DeployInbox::Queued() const {
    return queue_.Queued();
}

}  // namespace deploy
