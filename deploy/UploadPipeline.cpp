#include "deploy/UploadPipeline.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "platform/Thread.h"

namespace deploy {

namespace {

using Clock = std::chrono::steady_clock;

// The writer trusts its rate only after this much went through sends, and
// judges it from this many of the last sends.
constexpr std::uint64_t kRateSample = std::uint64_t{2} << 20;
constexpr std::size_t kRecentSends = 8;
// Blocks this small (a typical patch) get the middle search: a few
// milliseconds where the thorough one takes several times that on the
// deployment's critical path, for about a twentieth more output.
constexpr std::size_t kSmallBlock = 256 << 10;
// With a transport that tells what it holds: the link counts as about to
// fall idle below this much (or what it carries in kIdleMargin, when more),
// and its rate is judged from how much the peer took over the last
// kRateWindow (at least kRateSpan of it).
constexpr double kLowWater = 64 << 10;
constexpr double kIdleMargin = 0.010;
constexpr auto kRateWindow = std::chrono::milliseconds(500);
constexpr double kRateSpan = 0.020;
constexpr auto kRateSpanTime = std::chrono::milliseconds(20);
// Longest wait before the writer looks at the transport again, and how long
// a transport may take nothing before the writer stops waiting for it.
constexpr auto kLongestLook = std::chrono::milliseconds(50);
constexpr auto kStalled = std::chrono::milliseconds(250);

std::size_t Index(DIFFLIB::LzmsEffort effort) {
    return static_cast<std::size_t>(effort);
}

// The slower searches against the fast one on shared libraries in 1 MiB
// blocks: time a byte and output a byte.
constexpr EffortsSeen kRelative{{{1, 1}, {1.25, 0.88}, {3.7, 0.80}}};

}  // namespace

struct UploadPipeline::Slot {
    enum class State { Queued, Compressing, Packed, Raw };
    std::vector<std::uint8_t> plain;
    std::vector<std::uint8_t> packed;  // the LZMS form, when it is smaller
    State state = State::Queued;
    // While Compressing: when it started and with which effort.
    Clock::time_point started;
    DIFFLIB::LzmsEffort effort = DIFFLIB::LzmsEffort::Fast;
    bool taken = false;  // the writer has it; a compression still running is dropped
};

void EffortModel::Record(DIFFLIB::LzmsEffort effort, double secondsPerByte, double ratio) {
    if (effort != DIFFLIB::LzmsEffort::Fast)
        return;
    const auto blend = [](double old, double now) {
        return old == 0 ? now : 0.75 * old + 0.25 * now;
    };
    fast_.secondsPerByte = blend(fast_.secondsPerByte, secondsPerByte);
    fast_.ratio = blend(fast_.ratio, ratio);
}

EffortSeen EffortModel::Estimate(DIFFLIB::LzmsEffort effort) const {
    const EffortSeen& relative = kRelative[Index(effort)];
    return {fast_.secondsPerByte * relative.secondsPerByte, fast_.ratio * relative.ratio};
}

EffortsSeen EffortModel::Estimates() const {
    EffortsSeen all{};
    for (std::size_t i = 0; i < all.size(); ++i)
        all[i] = Estimate(static_cast<DIFFLIB::LzmsEffort>(i));
    return all;
}

UploadPipeline::UploadPipeline(Send send, Options options, Sent sent, Queued queued)
    : send_(std::move(send)),
      sent_(std::move(sent)),
      queued_(std::move(queued)),
      mode_(options.mode),
      total_(options.total) {
    std::size_t workers = options.workers;
    if (workers == 0)
        workers = std::max(1u, std::thread::hardware_concurrency());
    window_ = options.window != 0 ? options.window : 4 * workers;
    workers_ = workers;
    bool started = platform::StartThread(writer_, [this] { Write(); });
    for (std::size_t i = 0; started && i < workers && mode_ != Mode::Raw; ++i) {
        std::thread thread;
        started = platform::StartThread(thread, [this] { Compress(); });
        if (started)
            compressors_.push_back(std::move(thread));
    }
    if (!started) {
        std::lock_guard guard(lock_);
        stopping_ = true;
        error_ = DeployError::Source;
    }
}

UploadPipeline::~UploadPipeline() {
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    for (std::thread& thread : compressors_)
        thread.join();
    if (writer_.joinable())
        writer_.join();
}

bool UploadPipeline::Stopped() const {
    return stopping_ || error_ != DeployError::None;
}

DeployError UploadPipeline::Push(std::vector<std::uint8_t> plain) {
    if (plain.empty() || plain.size() > DIFFLIB::kLzmsMaxBlock)
        return DeployError::BadMessage;
    auto slot = std::make_shared<Slot>();
    slot->plain = std::move(plain);
    std::unique_lock guard(lock_);
    changed_.wait(guard, [&] { return Stopped() || slots_.size() < window_; });
    if (Stopped())
        return error_ != DeployError::None ? error_ : DeployError::Channel;
    if (mode_ == Mode::Raw)
        slot->state = Slot::State::Raw;
    slots_.push_back(std::move(slot));
    ++pushed_;
    changed_.notify_all();
    return DeployError::None;
}

DeployError UploadPipeline::Finish() {
    std::unique_lock guard(lock_);
    finished_ = true;
    changed_.notify_all();
    changed_.wait(guard, [&] { return Stopped() || written_ == pushed_; });
    if (error_ != DeployError::None)
        return error_;
    return written_ == pushed_ ? DeployError::None : DeployError::Channel;
}

UploadPipeline::Totals UploadPipeline::Done() const {
    std::lock_guard guard(lock_);
    return totals_;
}

void UploadPipeline::Compress() {
    using DIFFLIB::LzmsEffort;
    // Compression only saves link time: reading, sending and whatever
    // receives on this machine come first. Refused, it runs as it is.
    platform::LowerThisThreadsPriority();
    std::array<DIFFLIB::LzmsBlockCompressor, DIFFLIB::kLzmsEfforts> compressors{
        DIFFLIB::LzmsBlockCompressor(LzmsEffort::Fast),
        DIFFLIB::LzmsBlockCompressor(LzmsEffort::Medium),
        DIFFLIB::LzmsBlockCompressor(LzmsEffort::Thorough)};
    for (;;) {
        std::shared_ptr<Slot> slot;
        LzmsEffort effort = LzmsEffort::Thorough;
        {
            std::unique_lock guard(lock_);
            changed_.wait(guard, [&] {
                if (Stopped())
                    return true;
                const auto queued = [](const auto& s) { return s->state == Slot::State::Queued; };
                if (mode_ == Mode::Adaptive && queued_) {
                    // The writer waits while the link is busy: the oldest
                    // block that can be done before the writer wants it.
                    for (std::size_t i = 0; i < slots_.size() && !slot; ++i) {
                        if (!queued(slots_[i]))
                            continue;
                        effort = EffortFor(slots_[i]->plain.size());
                        if (WorthCompressing(i, effort))
                            slot = slots_[i];
                    }
                } else if (mode_ == Mode::Adaptive) {
                    // The writer does not wait: the newest block first, the
                    // one it needs last.
                    const auto found = std::find_if(slots_.rbegin(), slots_.rend(), queued);
                    if (found == slots_.rend())
                        return false;
                    effort = EffortFor((*found)->plain.size());
                    // The newest is the furthest ahead: if it cannot be done
                    // in time, none can.
                    if (WorthCompressing(static_cast<std::size_t>(slots_.rend() - found - 1),
                                         effort))
                        slot = *found;
                } else {
                    const auto found = std::find_if(slots_.begin(), slots_.end(), queued);
                    if (found != slots_.end())
                        slot = *found;
                }
                return slot != nullptr;
            });
            if (Stopped())
                return;
            slot->state = Slot::State::Compressing;
            slot->started = Clock::now();
            slot->effort = effort;
        }
        std::vector<std::uint8_t> packed;
        const auto start = Clock::now();
        const bool smaller =
            compressors[Index(effort)].Compress(slot->plain, packed) == DIFFLIB::Result::Ok;
        const auto plainSize = static_cast<double>(slot->plain.size());
        const double perByte =
            std::chrono::duration<double>(Clock::now() - start).count() / plainSize;
        const double ratio = smaller ? static_cast<double>(packed.size()) / plainSize : 1.0;
        {
            std::lock_guard guard(lock_);
            efforts_.Record(effort, perByte, ratio);
            ++totals_.compressions;
            if (!slot->taken) {
                slot->packed = std::move(packed);
                slot->state = smaller ? Slot::State::Packed : Slot::State::Raw;
            }
        }
        changed_.notify_all();
    }
}

DIFFLIB::LzmsEffort ChooseEffort(const EffortsSeen& seen, double linkRate, std::size_t workers) {
    using DIFFLIB::LzmsEffort;
    if (seen[0].secondsPerByte == 0 || linkRate <= 0)
        return LzmsEffort::Fast;
    // Seconds a plain byte costs through the compressors and through the
    // link; the slower of the two is what the effort costs.
    const auto compressors = [&](const EffortSeen& effort) {
        return effort.secondsPerByte / static_cast<double>(std::max<std::size_t>(workers, 1));
    };
    const auto link = [&](const EffortSeen& effort) { return effort.ratio / linkRate; };
    const auto cost = [&](const EffortSeen& effort) {
        return std::max(compressors(effort), link(effort));
    };
    std::size_t best = 0;
    for (std::size_t i = 1; i < seen.size(); ++i) {
        // A slower search pays only while the link is what holds the
        // bytes back; one not known is not taken.
        if (compressors(seen[i - 1]) >= link(seen[i - 1]) || seen[i].secondsPerByte == 0)
            break;
        if (cost(seen[i]) < cost(seen[best]))
            best = i;
    }
    return static_cast<LzmsEffort>(best);
}

DIFFLIB::LzmsEffort UploadPipeline::EffortFor(std::size_t size) const {
    if (mode_ != Mode::Adaptive)
        return DIFFLIB::LzmsEffort::Thorough;
    // A short block of a large file is one of its first, not a patch.
    if (size <= kSmallBlock && (total_ == 0 || total_ <= kSmallBlock))
        return DIFFLIB::LzmsEffort::Medium;
    return ChooseEffort(efforts_.Estimates(), linkRate_, workers_);
}

bool UploadPipeline::WorthCompressing(std::size_t ahead, DIFFLIB::LzmsEffort effort) const {
    const std::size_t size = slots_[ahead]->plain.size();
    const double secondsPerByte = efforts_.Estimate(effort).secondsPerByte;
    // With a transport that tells what it holds, a link whose rate is not
    // known yet has not been busy for long: compressing pays only for the
    // block the writer waits for, or while the link holds bytes to carry;
    // otherwise the transport may need the cores more.
    if (queued_ && linkRate_ == 0)
        return (ahead == 0 && pushed_ == 1) || (static_cast<double>(heldByLink_) > kLowWater &&
                                                Clock::now() - firstProbe_ <= 2 * kRateSpanTime);
    if (linkRate_ == 0 || secondsPerByte == 0)
        return true;  // nothing learnt yet: try
    // The writer sends what the link still holds and the `ahead` blocks
    // before it at about the link's rate, then wants this one.
    double before = static_cast<double>(heldByLink_);
    for (std::size_t i = 0; i < ahead; ++i) {
        const Slot& earlier = *slots_[i];
        if (earlier.state == Slot::State::Packed)
            before += static_cast<double>(earlier.packed.size());
        else if (earlier.state == Slot::State::Compressing && queued_)
            before += static_cast<double>(earlier.plain.size()) *
                      std::max(efforts_.Estimate(earlier.effort).ratio, 0.25);
        else
            before += static_cast<double>(earlier.plain.size());
    }
    const double untilNeeded = before / linkRate_;
    return secondsPerByte * static_cast<double>(size) < untilNeeded;
}

std::shared_ptr<UploadPipeline::Slot> UploadPipeline::TakeFront(Clock::time_point& until,
                                                                Clock::time_point waitingSince) {
    until = Clock::time_point::max();
    const std::shared_ptr<Slot>& front = slots_.front();
    if (front->state == Slot::State::Packed || front->state == Slot::State::Raw)
        return front;
    if (mode_ != Mode::Adaptive)
        return nullptr;
    // A single block has nothing to overlap with: it waits for LZMS. Until
    // a second block or the end comes, the first may be such a block.
    if (pushed_ == 1)
        return nullptr;
    if (const std::optional<std::uint64_t> held = ProbeQueue())
        return WhileTheLinkIsBusy(front, static_cast<double>(*held), until);
    // No compressor has started it: waiting would only idle the link.
    if (front->state == Slot::State::Queued)
        return front;
    // Being compressed: worth waiting for about as long as half its raw
    // send would take (LZMS roughly halves what it is given or better).
    if (linkRate_ == 0)
        return front;
    const double rate = linkRate_;
    const auto patience = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(static_cast<double>(front->plain.size()) / rate / 2));
    until = waitingSince + patience;
    return Clock::now() >= until ? front : nullptr;
}

std::optional<std::uint64_t> UploadPipeline::ProbeQueue() {
    if (!queued_)
        return std::nullopt;
    const std::optional<std::uint64_t> held = queued_();
    if (!held)
        return std::nullopt;
    const auto now = Clock::now();
    const std::uint64_t taken = sentStored_ - std::min(sentStored_, *held);
    if (probes_++ == 0)
        firstProbe_ = now;
    // Time the link stood idle says nothing about its rate.
    if (heldByLink_ == 0)
        taken_.clear();
    if (taken_.empty() || taken != taken_.back().second) {
        taken_.emplace_back(now, taken);
        moved_ = now;
    }
    while (taken_.size() > 2 && now - taken_[1].first > kRateWindow)
        taken_.pop_front();
    const double seconds = std::chrono::duration<double>(now - taken_.front().first).count();
    if (seconds >= kRateSpan && taken > taken_.front().second)
        linkRate_ = static_cast<double>(taken - taken_.front().second) / seconds;
    heldByLink_ = *held;
    return held;
}

std::shared_ptr<UploadPipeline::Slot> UploadPipeline::WhileTheLinkIsBusy(
    const std::shared_ptr<Slot>& front, double held, Clock::time_point& until) {
    const auto now = Clock::now();
    // A link that takes nothing more is not waited for: the send will tell.
    if (now - moved_ > kStalled)
        return front;
    if (linkRate_ <= 0) {
        // Not known yet: a busy link shows its rate within kRateSpan, and
        // is looked at again shortly until then; one that never holds
        // bytes for that long is faster than the pipeline, and not waited
        // for.
        if (held <= kLowWater || now - firstProbe_ > 2 * kRateSpanTime)
            return front;
        until = now + std::chrono::milliseconds(1);
        return nullptr;
    }
    const double lowWater = std::max(kLowWater, linkRate_ * kIdleMargin);
    // While the link carries what it has, a compressor may yet finish the
    // block: one is at it, or one will take it in time.
    if (held > lowWater && (front->state == Slot::State::Compressing ||
                            WorthCompressing(0, EffortFor(front->plain.size())))) {
        const auto look = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>((held - lowWater) / linkRate_));
        until = now + std::clamp<Clock::duration>(look, std::chrono::milliseconds(1), kLongestLook);
        return nullptr;
    }
    // The link is about to fall idle. A block being compressed is still
    // worth waiting for when the link time LZMS saves exceeds the wait.
    const EffortSeen seen = efforts_.Estimate(front->effort);
    if (front->state != Slot::State::Compressing || seen.secondsPerByte == 0)
        return front;
    const double size = static_cast<double>(front->plain.size());
    const auto expectedEnd =
        front->started + std::chrono::duration_cast<Clock::duration>(
                             std::chrono::duration<double>(seen.secondsPerByte * size));
    // Half of what it saves: the estimate of its end is rough under load.
    const double saves = (1 - seen.ratio) * size / linkRate_ / 2;
    if (expectedEnd <= now || std::chrono::duration<double>(expectedEnd - now).count() >= saves)
        return front;
    until = expectedEnd;
    return nullptr;
}

void UploadPipeline::Write() {
    for (;;) {
        std::shared_ptr<Slot> slot;
        {
            std::unique_lock guard(lock_);
            const Clock::time_point waitingSince = Clock::now();
            for (;;) {
                if (Stopped())
                    return;
                Clock::time_point until;
                if (!slots_.empty() && (slot = TakeFront(until, waitingSince)))
                    break;
                if (until == Clock::time_point::max()) {
                    changed_.wait(guard);
                } else {
                    // What the transport holds changed what is worth
                    // compressing: idle compressors look again.
                    if (queued_)
                        changed_.notify_all();
                    changed_.wait_until(guard, until);
                }
            }
            slot->taken = true;
            if (slot->state != Slot::State::Packed)
                slot->packed.clear();
            slots_.pop_front();
        }
        changed_.notify_all();
        const bool packed = !slot->packed.empty();
        const UploadBlock block{packed ? std::span<const std::uint8_t>(slot->packed)
                                       : std::span<const std::uint8_t>(slot->plain),
                                static_cast<std::uint32_t>(slot->plain.size())};
        const auto start = Clock::now();
        const DeployError error = send_(block);
        sentStored_ += block.stored.size();
        if (queued_) {
            std::lock_guard guard(lock_);
            ProbeQueue();
        }
        recentSends_.push_back(
            {block.stored.size(), std::chrono::duration<double>(Clock::now() - start).count()});
        if (recentSends_.size() > kRecentSends)
            recentSends_.pop_front();
        SendSample recent;
        for (const SendSample& sample : recentSends_) {
            recent.bytes += sample.bytes;
            recent.seconds += sample.seconds;
        }
        if (!queued_ && recent.bytes >= kRateSample && recent.seconds > 0) {
            std::lock_guard guard(lock_);
            linkRate_ = static_cast<double>(recent.bytes) / recent.seconds;
        }
        if (error != DeployError::None) {
            {
                std::lock_guard guard(lock_);
                error_ = error;
            }
            changed_.notify_all();
            return;
        }
        Totals totals;
        {
            std::lock_guard guard(lock_);
            totals_.plainBytes += block.plainSize;
            totals_.storedBytes += block.stored.size();
            ++(packed ? totals_.lzmsBlocks : totals_.rawBlocks);
            totals = totals_;
        }
        // Reported before the block counts as written, so that nothing the
        // report prints can follow what the caller prints after Finish.
        if (sent_)
            sent_(totals);
        {
            std::lock_guard guard(lock_);
            ++written_;
        }
        changed_.notify_all();
    }
}

}  // namespace deploy
