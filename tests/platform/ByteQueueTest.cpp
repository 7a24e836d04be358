#include "platform/ByteQueue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <numeric>
#include <thread>
#include <vector>

using namespace platform;

namespace {

std::vector<std::uint8_t> Sequence(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    std::iota(bytes.begin(), bytes.end(), std::uint8_t{0});
    return bytes;
}

}  // namespace

TEST(ByteQueue, TakesOnlyWhatFitsAndCarriesMoreThanItsCapacityInOrder) {
    ByteQueue queue(1000);
    const auto data = Sequence(10000);
    std::vector<std::uint8_t> out(data.size());
    std::size_t reported = 0;
    std::thread reader(
        [&] { EXPECT_TRUE(queue.PopAll(out, [&](std::size_t count) { reported += count; })); });
    // The producer never waits: it offers the rest again, as a transport
    // does when credit comes back.
    std::size_t offset = 0;
    while (offset < data.size()) {
        const std::size_t taken = queue.Push(std::span(data).subspan(offset));
        EXPECT_LE(queue.Queued(), queue.Capacity());
        offset += taken;
        if (taken == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    reader.join();
    EXPECT_EQ(out, data);
    EXPECT_EQ(reported, data.size());
}

TEST(ByteQueue, FullQueueRefusesAndCloseWakesAndDrops) {
    ByteQueue queue(4);
    const auto data = Sequence(6);
    EXPECT_EQ(queue.Push(data), 4u);
    EXPECT_EQ(queue.Push(data), 0u);
    std::vector<std::uint8_t> some(3);
    EXPECT_EQ(queue.PopSome(some), 3u);
    EXPECT_EQ(some, (std::vector<std::uint8_t>{0, 1, 2}));
    EXPECT_EQ(queue.Push(data), 3u);

    std::vector<std::uint8_t> more(100);
    std::thread reader([&] { EXPECT_FALSE(queue.PopAll(more, nullptr)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    queue.Close();
    reader.join();
    // After the close every byte counts as taken and goes nowhere.
    EXPECT_EQ(queue.Push(data), data.size());
    EXPECT_EQ(queue.Queued(), 0u);
    EXPECT_EQ(queue.PopSome(some), 0u);
}

// A producer may hand bytes on by another way only while nothing it queued
// earlier is still queued or held by the consumer: else they would overtake.
TEST(ByteQueue, DrainedOnlyWhileNothingIsQueuedOrHeldByTheConsumer) {
    ByteQueue queue(100);
    EXPECT_TRUE(queue.Drained());
    ASSERT_EQ(queue.Push(Sequence(10)), 10u);
    EXPECT_FALSE(queue.Drained());
    std::vector<std::uint8_t> out(10);
    ASSERT_EQ(queue.PopSome(out), 10u);
    EXPECT_FALSE(queue.Drained());  // taken, not yet written by the consumer
    queue.Release();
    EXPECT_TRUE(queue.Drained());
    queue.Close();
    EXPECT_FALSE(queue.Drained());
}
