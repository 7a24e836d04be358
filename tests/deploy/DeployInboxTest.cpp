#include "deploy/DeployInbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <numeric>
#include <thread>
#include <vector>

using namespace deploy;

namespace {

using namespace std::chrono_literals;

std::vector<std::uint8_t> Sequence(std::size_t size, std::uint8_t first) {
    std::vector<std::uint8_t> bytes(size);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

TEST(DeployInboxTest, PopWaitsUntilTheWholeCountHasArrived) {
    DeployInbox inbox;
    const auto message = Sequence(40, 1);
    std::vector<std::uint8_t> out(40);
    auto reader = std::async(std::launch::async, [&] { return inbox.Pop(out); });

    inbox.Push(std::span(message).first(10));
    inbox.Push(std::span(message).subspan(10, 20));
    EXPECT_EQ(reader.wait_for(50ms), std::future_status::timeout) << "read before complete";
    inbox.Push(std::span(message).subspan(30));

    ASSERT_EQ(reader.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(reader.get(), 40u);
    EXPECT_EQ(out, message);
    EXPECT_EQ(inbox.Queued(), 0u);
}

TEST(DeployInboxTest, MessagesOfOnePushAreReadOneAfterTheOther) {
    DeployInbox inbox;
    const auto bytes = Sequence(100, 0);
    inbox.Push(bytes);
    std::vector<std::uint8_t> first(30), second(70);
    ASSERT_EQ(inbox.Pop(first), 30u);
    ASSERT_EQ(inbox.Pop(second), 70u);
    EXPECT_EQ(first, std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 30));
    EXPECT_EQ(second, std::vector<std::uint8_t>(bytes.begin() + 30, bytes.end()));

    // Many small pushes and pops keep order across the queue's compaction.
    std::vector<std::uint8_t> got;
    for (int round = 0; round < 200; ++round) {
        inbox.Push(Sequence(7, static_cast<std::uint8_t>(round * 7)));
        std::vector<std::uint8_t> piece(round % 2 ? 7 : 3);
        if (inbox.Queued() >= piece.size()) {
            ASSERT_EQ(inbox.Pop(piece), piece.size());
            got.insert(got.end(), piece.begin(), piece.end());
        }
    }
    std::vector<std::uint8_t> rest(inbox.Queued());
    ASSERT_EQ(inbox.Pop(rest), rest.size());
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_EQ(got, Sequence(1400, 0));
}

TEST(DeployInboxTest, ClosedInboxFailsAtOnceEvenWithBytesQueued) {
    DeployInbox inbox;
    inbox.Push(Sequence(64, 0));
    const auto start = std::chrono::steady_clock::now();
    inbox.Close();
    std::vector<std::uint8_t> out(16);
    EXPECT_EQ(inbox.Pop(out), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 200ms) << "close or pop waited";
    EXPECT_TRUE(inbox.IsClosed());
    EXPECT_EQ(inbox.Queued(), 0u) << "queued bytes are released";
    inbox.Push(Sequence(16, 0));
    EXPECT_EQ(inbox.Queued(), 0u) << "bytes after close are dropped";
}

TEST(DeployInboxTest, CloseWakesAWaitingReader) {
    DeployInbox inbox;
    inbox.Push(Sequence(10, 0));
    std::vector<std::uint8_t> out(40);
    auto reader = std::async(std::launch::async, [&] { return inbox.Pop(out); });
    ASSERT_EQ(reader.wait_for(30ms), std::future_status::timeout);
    const auto start = std::chrono::steady_clock::now();
    inbox.Close();
    ASSERT_EQ(reader.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(reader.get(), 0u) << "a short pop never returns part of a message";
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
}

}  // namespace

TEST(DeployInboxTest, ReaderReportsWhatItTookEvenBeforeTheHookExists) {
    DeployInbox inbox;
    const auto message = Sequence(100, 0);
    EXPECT_EQ(inbox.Push(message), 100u);
    std::vector<std::uint8_t> head(30);
    ASSERT_EQ(inbox.Pop(head), 30u);
    std::vector<std::size_t> reported;
    inbox.SetConsumedHook([&](std::size_t count) { reported.push_back(count); });
    EXPECT_EQ(reported, (std::vector<std::size_t>{30}));
    std::vector<std::uint8_t> rest(70);
    ASSERT_EQ(inbox.Pop(rest), 70u);
    EXPECT_EQ(reported, (std::vector<std::size_t>{30, 70}));
    // A full inbox takes nothing more; the stream keeps the rest.
    const std::vector<std::uint8_t> big(kDeployInboxCapacity + 10, 7);
    EXPECT_EQ(inbox.Push(big), kDeployInboxCapacity);
    EXPECT_EQ(inbox.Push(big), 0u);
}

namespace {

TEST(DeployInboxTest, PopSomeTakesWhatHasArrivedAndGivesUpWhenSilentOrClosed) {
    DeployInbox inbox;
    const auto bytes = Sequence(30, 1);
    inbox.Push(std::span(bytes).first(10));
    std::vector<std::uint8_t> out(25);
    ASSERT_EQ(inbox.PopSome(out, 1s), 10u);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 10, out.begin()));

    // Nothing queued: the wait ends with the time limit, not before.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(inbox.PopSome(out, 100ms), 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 90ms);

    // A wait without a limit ends with the next push, and takes no more
    // than fits.
    auto reader = std::async(std::launch::async, [&] { return inbox.PopSome(out); });
    EXPECT_EQ(reader.wait_for(50ms), std::future_status::timeout);
    inbox.Push(std::span(bytes).subspan(10));
    ASSERT_EQ(reader.wait_for(2s), std::future_status::ready);
    ASSERT_EQ(reader.get(), 20u);
    EXPECT_TRUE(std::equal(bytes.begin() + 10, bytes.end(), out.begin()));

    // Closing wakes a waiting reader and fails every later one at once.
    reader = std::async(std::launch::async, [&] { return inbox.PopSome(out); });
    EXPECT_EQ(reader.wait_for(50ms), std::future_status::timeout);
    inbox.Close();
    ASSERT_EQ(reader.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(reader.get(), 0u);
    EXPECT_EQ(inbox.PopSome(out, 1s), 0u);
}

}  // namespace
