// The sender's pipeline on its own: blocks leave in order whatever the mix of
// raw and LZMS, memory is bounded by the window, a failed send stops the
// caller, and the adaptive choice follows how fast blocks leave.
#include "deploy/UploadPipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

#include "codec/LzmsBlock.h"
#include "deploy/DeployTestSupport.h"

using namespace deploy;
using namespace std::chrono_literals;

namespace {

// What the writer sent, put back together.
struct Received {
    std::mutex lock;  // guards plain, raw, lzms
    std::vector<std::uint8_t> plain;
    int raw = 0;
    int lzms = 0;

    DeployError Take(const UploadBlock& block) {
        std::vector<std::uint8_t> plainBlock(block.plainSize);
        DIFFLIB::LzmsBlockDecompressor decompressor;
        if (decompressor.Decompress(block.stored, plainBlock) != DIFFLIB::Result::Ok)
            return DeployError::Engine;
        std::lock_guard guard(lock);
        ++(block.stored.size() == block.plainSize ? raw : lzms);
        plain.insert(plain.end(), plainBlock.begin(), plainBlock.end());
        return DeployError::None;
    }
};

// A link of `rate` bytes a second behind a send that returns at once, as a
// socket with room in its buffer does: it holds what the rate has not
// carried away yet.
class SimulatedLink {
  public:
    explicit SimulatedLink(double rate) : rate_(rate) {}
    void Add(std::size_t bytes) {
        std::lock_guard guard(lock_);
        Drain();
        held_ += static_cast<double>(bytes);
    }
    std::optional<std::uint64_t> Held() {
        std::lock_guard guard(lock_);
        Drain();
        return static_cast<std::uint64_t>(held_);
    }

  private:
    void Drain() {
        const auto now = std::chrono::steady_clock::now();
        held_ = std::max(0.0, held_ - std::chrono::duration<double>(now - last_).count() * rate_);
        last_ = now;
    }
    const double rate_;
    std::mutex lock_;  // guards held_, last_
    double held_ = 0;
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

DeployError PushAll(UploadPipeline& pipeline, std::span<const std::uint8_t> data,
                    std::size_t block) {
    for (std::size_t at = 0; at < data.size(); at += block) {
        const auto piece = data.subspan(at, std::min(block, data.size() - at));
        if (const DeployError error = pipeline.Push({piece.begin(), piece.end()}); !Ok(error))
            return error;
    }
    return pipeline.Finish();
}

TEST(UploadPipeline, BlocksLeaveInOrderInEveryMode) {
    const auto data = deploytest::SampleContent(3 * 1000 * 1000 + 123, 9);
    for (const auto mode :
         {UploadPipeline::Mode::Lzms, UploadPipeline::Mode::Raw, UploadPipeline::Mode::Adaptive}) {
        Received received;
        UploadPipeline pipeline([&](const UploadBlock& b) { return received.Take(b); },
                                {.workers = 2, .window = 4, .mode = mode});
        ASSERT_EQ(PushAll(pipeline, data, 256 * 1024), DeployError::None);
        EXPECT_EQ(received.plain, data);
        const auto totals = pipeline.Done();
        EXPECT_EQ(totals.plainBytes, data.size());
        EXPECT_EQ(totals.rawBlocks + totals.lzmsBlocks, 12u);
        EXPECT_EQ(totals.lzmsBlocks, static_cast<std::uint64_t>(received.lzms));
        if (mode == UploadPipeline::Mode::Raw) {
            EXPECT_EQ(received.lzms, 0);
        }
        if (mode == UploadPipeline::Mode::Lzms) {
            EXPECT_EQ(received.raw, 0);
            EXPECT_LT(totals.storedBytes, data.size() / 2);
        }
    }
}

TEST(UploadPipeline, TheWindowHoldsTheCallerWhileTheLinkIsStuck) {
    std::mutex gateLock;  // guards open
    std::condition_variable gateChanged;
    bool open = false;
    Received received;
    constexpr std::size_t kWindow = 3;
    UploadPipeline pipeline(
        [&](const UploadBlock& block) {
            std::unique_lock guard(gateLock);
            gateChanged.wait(guard, [&] { return open; });
            return received.Take(block);
        },
        {.workers = 1, .window = kWindow, .mode = UploadPipeline::Mode::Adaptive});
    const auto data = deploytest::SampleContent(20 * 65536, 4);
    std::atomic<std::size_t> pushed{0};
    auto producer = std::async(std::launch::async, [&] {
        for (std::size_t at = 0; at < data.size(); at += 65536) {
            if (!Ok(pipeline.Push({data.begin() + static_cast<long>(at),
                                   data.begin() + static_cast<long>(at + 65536)})))
                return DeployError::Channel;
            ++pushed;
        }
        return pipeline.Finish();
    });
    // One block in the writer's hands, the window full behind it; no more.
    ASSERT_TRUE(deploytest::WaitFor([&] { return pushed.load() == kWindow + 1; }));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(pushed.load(), kWindow + 1);
    {
        std::lock_guard guard(gateLock);
        open = true;
    }
    gateChanged.notify_all();
    ASSERT_EQ(producer.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(producer.get(), DeployError::None);
    EXPECT_EQ(received.plain, data);
}

TEST(UploadPipeline, AFailedSendStopsTheCallerAndNothingFollowsIt) {
    std::atomic<int> sends{0};
    UploadPipeline pipeline(
        [&](const UploadBlock&) { return ++sends == 3 ? DeployError::Channel : DeployError::None; },
        {.workers = 2, .window = 2, .mode = UploadPipeline::Mode::Adaptive});
    const auto data = deploytest::SampleContent(50 * 65536, 5);
    EXPECT_EQ(PushAll(pipeline, data, 65536), DeployError::Channel);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(sends.load(), 3);
    EXPECT_EQ(pipeline.Done().rawBlocks + pipeline.Done().lzmsBlocks, 2u);
}

TEST(UploadPipeline, AdaptiveFollowsTheLink) {
    const auto data = deploytest::SampleContent(16 * 262144, 6);
    {
        // A fast link: the writer does not wait for compressors, so some
        // blocks leave raw.
        Received received;
        UploadPipeline pipeline([&](const UploadBlock& b) { return received.Take(b); },
                                {.workers = 1, .window = 8});
        ASSERT_EQ(PushAll(pipeline, data, 262144), DeployError::None);
        EXPECT_EQ(received.plain, data);
        EXPECT_GT(received.raw, 0);
    }
    {
        // A slow link: compressors get ahead and blocks leave as LZMS.
        Received received;
        UploadPipeline pipeline(
            [&](const UploadBlock& b) {
                std::this_thread::sleep_for(100ms);
                return received.Take(b);
            },
            {.workers = 2, .window = 8});
        ASSERT_EQ(PushAll(pipeline, data, 262144), DeployError::None);
        EXPECT_EQ(received.plain, data);
        EXPECT_GT(received.lzms, 0);
    }
    {
        // A single block has nothing to overlap with: it is compressed.
        Received received;
        UploadPipeline pipeline([&](const UploadBlock& b) { return received.Take(b); }, {});
        ASSERT_EQ(PushAll(pipeline, std::span(data).first(200000), 262144), DeployError::None);
        EXPECT_EQ(received.lzms, 1);
    }
}

TEST(UploadPipeline, WhatTheTransportHoldsDecidesBetweenRawAndLzms) {
    // Blocks above the size that is always searched thoroughly.
    constexpr std::size_t kBlock = 300000;
    const auto data = deploytest::SampleContent(12 * kBlock, 8);
    {
        // Sends return at once but the link is slow: while it still carries
        // earlier bytes, the writer waits for the compressors.
        SimulatedLink link(1.5e6);
        Received received;
        UploadPipeline pipeline(
            [&](const UploadBlock& b) {
                link.Add(b.stored.size());
                return received.Take(b);
            },
            {.workers = 2, .window = 8}, {}, [&] { return link.Held(); });
        ASSERT_EQ(PushAll(pipeline, data, kBlock), DeployError::None);
        EXPECT_EQ(received.plain, data);
        EXPECT_GE(received.lzms, 8) << received.raw << " raw blocks";
    }
    {
        // A link that never holds anything is not worth the cores, even when
        // each send takes a while (a transport that needs the cores itself).
        Received received;
        UploadPipeline pipeline(
            [&](const UploadBlock& b) {
                std::this_thread::sleep_for(30ms);
                return received.Take(b);
            },
            {.workers = 2, .window = 8}, {}, [] { return std::optional<std::uint64_t>(0); });
        ASSERT_EQ(PushAll(pipeline, data, kBlock), DeployError::None);
        EXPECT_EQ(received.plain, data);
        EXPECT_LE(received.lzms, 1);
        EXPECT_LE(pipeline.Done().compressions, 1u) << "the cores were left to the transport";
    }
}

TEST(UploadPipeline, EffortFollowsWhatIsSlowerTheCoresOrTheLink) {
    using DIFFLIB::LzmsEffort;
    // Per-core speeds and ratios as measured on shared libraries in 1 MiB
    // blocks: fast 17 MB/s for 0.40, medium 9.4 MB/s for 0.30, thorough
    // 3.6 MB/s for 0.27.
    const EffortsSeen seen{{{1 / 17e6, 0.40}, {1 / 9.4e6, 0.30}, {1 / 3.6e6, 0.27}}};
    // A slow link wants the smallest output, even from one core.
    EXPECT_EQ(ChooseEffort(seen, 0.5e6, 1), LzmsEffort::Thorough);
    // 100 Mbit/s on two cores: the thorough search would starve the link.
    EXPECT_EQ(ChooseEffort(seen, 12.5e6, 2), LzmsEffort::Fast);
    // In between, the middle effort keeps the link full with less output.
    EXPECT_EQ(ChooseEffort(seen, 3e6, 2), LzmsEffort::Medium);
    // More cores move the choice towards smaller output.
    EXPECT_EQ(ChooseEffort(seen, 12.5e6, 16), LzmsEffort::Thorough);
    // Nothing known, or the link not known: the fast one. A search whose
    // figures are not known is not taken, however slow the link.
    EXPECT_EQ(ChooseEffort({}, 12.5e6, 2), LzmsEffort::Fast);
    EXPECT_EQ(ChooseEffort(seen, 0, 2), LzmsEffort::Fast);
    EffortsSeen partly = seen;
    partly[2] = {};
    EXPECT_EQ(ChooseEffort(partly, 0.5e6, 2), LzmsEffort::Medium);
}

TEST(UploadPipeline, SlowerSearchesAreJudgedAgainstTheFastOneNotOnTheirOwnBlocks) {
    using DIFFLIB::LzmsEffort;
    EffortModel model;
    // Nothing is known before the fast search finished a block.
    EXPECT_EQ(model.Estimate(LzmsEffort::Medium).secondsPerByte, 0);
    EXPECT_EQ(ChooseEffort(model.Estimates(), 3e6, 2), LzmsEffort::Fast);
    // Well-compressing blocks through the fast search, then slower searches
    // on blocks that compress badly whatever the search.
    for (int i = 0; i < 4; ++i)
        model.Record(LzmsEffort::Fast, 1 / 18e6, 0.20);
    for (int i = 0; i < 4; ++i) {
        model.Record(LzmsEffort::Medium, 1 / 12e6, 0.45);
        model.Record(LzmsEffort::Thorough, 1 / 40e6, 0.45);
    }
    const EffortsSeen seen = model.Estimates();
    EXPECT_LT(seen[1].ratio, seen[0].ratio);
    EXPECT_LT(seen[2].ratio, seen[1].ratio);
    EXPECT_GT(seen[1].secondsPerByte, seen[0].secondsPerByte);
    EXPECT_GT(seen[2].secondsPerByte, seen[1].secondsPerByte);
    // On a link that two cores keep full with the middle search, those bad
    // blocks do not send everything after them through the fast search.
    EXPECT_EQ(ChooseEffort(seen, 3e6, 2), LzmsEffort::Medium);
    // The fast search's figures follow its recent blocks.
    for (int i = 0; i < 20; ++i)
        model.Record(LzmsEffort::Fast, 1 / 9e6, 0.40);
    EXPECT_NEAR(model.Estimate(LzmsEffort::Fast).ratio, 0.40, 0.01);
    EXPECT_NEAR(model.Estimate(LzmsEffort::Fast).secondsPerByte, 1 / 9e6, 1e-9);
}

}  // namespace
