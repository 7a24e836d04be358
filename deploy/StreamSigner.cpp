#include "deploy/StreamSigner.h"

#include <new>
#include <system_error>
#include <utility>

#include "platform/Thread.h"

namespace deploy {

namespace {

constexpr std::size_t kMaxQueued = std::size_t{8} << 20;
constexpr std::size_t kMaxSpare = 4;

}  // namespace

StreamSigner::StreamSigner(std::size_t maxSize)
    : maxSize_(maxSize), generator_(DIFFLIB::SignatureGenerator::Create()) {
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
        // Without a thread the bytes are signed as they are added.
    }
}

StreamSigner::~StreamSigner() {
    Stop();
}

void StreamSigner::Add(std::span<const std::uint8_t> bytes) {
    if (bytes.empty())
        return;
    if (!thread_.joinable()) {
        Sign(false, bytes);
        return;
    }
    if (dropped_)
        return;
    std::vector<std::uint8_t> copy;
    {
        std::lock_guard lock(mutex_);
        // Behind: the file is signed when it is asked for instead, rather
        // than the receiver waiting for work that only might pay later.
        if (queued_ >= kMaxQueued) {
            dropped_ = true;
            return;
        }
        if (!spare_.empty()) {
            copy = std::move(spare_.back());
            spare_.pop_back();
        }
    }
    try {
        copy.assign(bytes.begin(), bytes.end());
    } catch (const std::bad_alloc&) {
        dropped_ = true;
        return;
    }
    {
        std::lock_guard lock(mutex_);
        queued_ += copy.size();
        queue_.push_back(std::move(copy));
    }
    changed_.notify_all();
}

void StreamSigner::Run() {
    platform::LowerThisThreadsPriority();
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return !queue_.empty() || ending_; });
        if (queue_.empty())
            return;
        std::vector<std::uint8_t> bytes = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        Sign(false, bytes);
        lock.lock();
        queued_ -= bytes.size();
        if (spare_.size() < kMaxSpare)
            spare_.push_back(std::move(bytes));
        changed_.notify_all();
    }
}

void StreamSigner::Sign(bool end, std::span<const std::uint8_t> bytes) {
    if (!generator_ || failed_)
        return;
    try {
        std::uint8_t out[16384];
        for (;;) {
            const auto step = generator_->Process(end, bytes, out);
            if (signature_.size() + step.produced > maxSize_) {
                failed_ = true;
                signature_ = {};
                return;
            }
            signature_.insert(signature_.end(), out, out + step.produced);
            bytes = bytes.subspan(step.consumed);
            if (end ? step.endOfOutput : bytes.empty())
                return;
        }
    } catch (const std::bad_alloc&) {
        failed_ = true;
    }
}

void StreamSigner::Stop() {
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

SharedSignature StreamSigner::Finish() {
    Stop();  // the thread signs what was queued first
    Sign(true, {});
    if (!generator_ || failed_ || dropped_)
        return nullptr;
    generator_.reset();
    return std::make_shared<const std::vector<std::uint8_t>>(std::move(signature_));
}

}  // namespace deploy
