// The worker's wait on its own: wake-ups from another thread, and how a
// watched socket's readiness is reported (once per change, not while it
// lasts), on real loopback sockets.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/Socket.h"
#include "quic/api/WorkerPoll.h"

namespace {

using platform::SocketHandle;
using platform::UniqueSocket;
using quicapi::WorkerPoll;
using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kMs = 1000000;
constexpr std::uint64_t kWatch = 7;

// A UDP socket on the IPv4 loopback, for the poll's own socket.
UniqueSocket LoopbackUdp() {
    UniqueSocket udp(platform::OpenSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(udp.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    platform::SetNonBlocking(udp.get(), true);
    return udp;
}

// Both ends of a TCP connection on the IPv4 loopback.
struct TcpPair {
    UniqueSocket local;
    UniqueSocket peer;
};

TcpPair ConnectedPair() {
    UniqueSocket listener(platform::OpenSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), length), 0);
    EXPECT_EQ(::listen(listener.get(), 1), 0);
    EXPECT_EQ(::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
    TcpPair pair{UniqueSocket(platform::OpenSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP)), {}};
    EXPECT_EQ(::connect(pair.local.get(), reinterpret_cast<const sockaddr*>(&address), length), 0);
    pair.peer = UniqueSocket(platform::AcceptSocket(listener.get()));
    EXPECT_TRUE(pair.peer);
    return pair;
}

// The report for the watch in `events`, if any.
const WorkerPoll::Ready* Find(const WorkerPoll::Events& events) {
    for (const auto& ready : events.watches)
        if (ready.id == kWatch)
            return &ready;
    return nullptr;
}

// Waits (up to a generous limit) until the watch is reported.
WorkerPoll::Ready WaitForReport(WorkerPoll& poll) {
    WorkerPoll::Events events;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        poll.Wait(500 * kMs, events);
        if (const auto* ready = Find(events))
            return *ready;
    }
    ADD_FAILURE() << "the watch was never reported";
    return {kWatch, false, false};
}

void Drain(SocketHandle socket) {
    std::array<char, 256> buffer;
    while (platform::TryReceive(socket, buffer.data(), buffer.size()) > 0) {
    }
}

TEST(WorkerPoll, WakeFromAnotherThreadEndsTheWaitAndClearsOnce) {
    const UniqueSocket udp = LoopbackUdp();
    auto poll = WorkerPoll::Open(udp.get());
    ASSERT_NE(poll, nullptr);
    WorkerPoll::Events events;
    const auto started = Clock::now();
    std::thread waker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        poll->Wake();
    });
    poll->Wait(UINT64_MAX, events);
    waker.join();
    EXPECT_TRUE(events.woken);
    EXPECT_FALSE(events.udpReadable);
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(30));

    // Two wake-ups before the clear: one clear forgets both.
    poll->Wake();
    poll->Wake();
    poll->ClearWake();
    poll->Wait(20 * kMs, events);
    EXPECT_FALSE(events.woken);
}

TEST(WorkerPoll, ReportsTheUdpSocketWhenADatagramArrives) {
    const UniqueSocket udp = LoopbackUdp();
    auto poll = WorkerPoll::Open(udp.get());
    ASSERT_NE(poll, nullptr);
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(udp.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
    const UniqueSocket sender(platform::OpenSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    ASSERT_EQ(
        ::sendto(sender.get(), "x", 1, 0, reinterpret_cast<const sockaddr*>(&address), length), 1);
    WorkerPoll::Events events;
    poll->Wait(10000 * kMs, events);
    EXPECT_TRUE(events.udpReadable);
    EXPECT_FALSE(events.woken);
}

TEST(WorkerPoll, WatchIsReportedOncePerChangeNotWhileItLasts) {
    const UniqueSocket udp = LoopbackUdp();
    auto poll = WorkerPoll::Open(udp.get());
    ASSERT_NE(poll, nullptr);
    TcpPair pair = ConnectedPair();
    platform::SetNonBlocking(pair.local.get(), true);
    ASSERT_TRUE(poll->Add(kWatch, pair.local.get()));

    // A fresh connection has room: writable, once.
    EXPECT_TRUE(WaitForReport(*poll).writable);
    WorkerPoll::Events events;
    poll->Wait(50 * kMs, events);
    EXPECT_EQ(Find(events), nullptr) << "an unchanged socket was reported again";

    // Bytes arrive: readable, and not again while they wait unread.
    ASSERT_EQ(platform::SendBytes(pair.peer.get(), "abc", 3, true), 3);
    EXPECT_TRUE(WaitForReport(*poll).readable);
    poll->Wait(50 * kMs, events);
    const auto* again = Find(events);
    EXPECT_TRUE(again == nullptr || !again->readable) << "unread bytes were reported again";

    // Read to the end of what came: the next bytes are a new change.
    Drain(pair.local.get());
    ASSERT_EQ(platform::SendBytes(pair.peer.get(), "de", 2, true), 2);
    EXPECT_TRUE(WaitForReport(*poll).readable);
    Drain(pair.local.get());

    // The peer closes: readable (the end of the stream), once.
    pair.peer.reset();
    EXPECT_TRUE(WaitForReport(*poll).readable);
    std::array<char, 8> buffer;
    EXPECT_EQ(platform::TryReceive(pair.local.get(), buffer.data(), buffer.size()), 0);
    int reports = 0;
    for (int round = 0; round < 5; ++round) {
        poll->Wait(20 * kMs, events);
        reports += Find(events) != nullptr ? 1 : 0;
    }
    EXPECT_LE(reports, 1) << "a closed connection kept the wait from sleeping";

    // Removed: no report whatever happens to it.
    poll->Remove(kWatch, pair.local.get());
    poll->Wait(20 * kMs, events);
    EXPECT_EQ(Find(events), nullptr);
}

TEST(WorkerPoll, AFullSocketIsReportedWritableAgainOnceThePeerReads) {
    const UniqueSocket udp = LoopbackUdp();
    auto poll = WorkerPoll::Open(udp.get());
    ASSERT_NE(poll, nullptr);
    TcpPair pair = ConnectedPair();
    platform::SetNonBlocking(pair.local.get(), true);
    platform::SetSendBuffer(pair.local.get(), 16 << 10);
    ASSERT_TRUE(poll->Add(kWatch, pair.local.get()));
    EXPECT_TRUE(WaitForReport(*poll).writable);

    // Fill until the socket refuses: no room any more.
    std::array<char, 4096> block{};
    std::size_t queued = 0;
    long sent = 0;
    while ((sent = platform::TrySend(pair.local.get(), block.data(), block.size())) > 0) {
        queued += static_cast<std::size_t>(sent);
        ASSERT_LT(queued, std::size_t{64} << 20) << "the socket never filled";
    }
    ASSERT_EQ(platform::LastSocketError(), platform::SocketError::WouldBlock);

    // The peer reads everything: room again, reported.
    platform::SetReceiveTimeout(pair.peer.get(), std::chrono::seconds(10));
    std::thread reader([&] {
        std::array<char, 65536> sink;
        std::size_t read = 0;
        while (read < queued) {
            const long got =
                platform::ReceiveBytes(pair.peer.get(), sink.data(), sink.size(), true);
            if (got <= 0)
                break;
            read += static_cast<std::size_t>(got);
        }
    });
    EXPECT_TRUE(WaitForReport(*poll).writable);
    reader.join();
}

}  // namespace
