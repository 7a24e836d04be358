// The TCP relay of the real program against debugger connections and peers
// that misbehave: what it listens on, what it holds, and that one bad
// connection leaves the others alone.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>

#include <array>
#include <atomic>
#include <cstring>

#include "net/RelayHeader.h"
#include "net/TcpListener.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/Sanitizers.h"
#include "support/TcpTunnel.h"
#include "support/TestEnv.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

using Addresses = std::set<std::string>;

// Polls until `condition` holds or `limit` passes.
template <typename Condition>
bool Eventually(Condition condition, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// True when the peer closed `fd` (a receive returns 0 or fails) within the
// socket's receive limit; false when it timed out or delivered bytes.
bool ClosedByPeer(int fd) {
    char byte;
    const ssize_t got = recv(fd, &byte, 1, 0);
    return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

void SetReceiveLimit(int fd, std::chrono::milliseconds limit) {
    timeval tv{static_cast<time_t>(limit.count() / 1000),
               static_cast<suseconds_t>(limit.count() % 1000 * 1000)};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

TEST(RelayExposure, DebuggerPortListensOnLoopbackUnlessToldOtherwise) {
    {
        TcpTunnel t;
        ASSERT_NO_FATAL_FAILURE(t.StartServer());
        EXPECT_TRUE(Eventually([&] { return !ListeningAddresses(t.port1).empty(); }));
        EXPECT_EQ(ListeningAddresses(t.port2), (Addresses{"127.0.0.1", "::1"}));
        // The client dials the other two from its own machine.
        EXPECT_EQ(ListeningAddresses(t.port3), Addresses{"::"});
        EXPECT_EQ(ListeningAddresses(t.port1), Addresses{"::"});
        t.Quit();
    }
    for (const auto& [option, expected] :
         {std::pair{"127.0.0.2", Addresses{"127.0.0.2"}}, std::pair{"::", Addresses{"::"}},
          std::pair{"0.0.0.0", Addresses{"0.0.0.0"}}}) {
        TcpTunnel t;
        ASSERT_NO_FATAL_FAILURE(t.StartServer({"--listen", option}));
        EXPECT_EQ(ListeningAddresses(t.port2), expected) << option;
        EXPECT_EQ(ListeningAddresses(t.port3), Addresses{"::"}) << option;
        t.Quit();
    }
    TcpTunnel t;
    auto args = t.ServerArgs();
    args.insert(args.end(), {"--listen", "devbox.example.com"});
    ChildProcess bad(VTR232_PATH, args, t.env);
    EXPECT_EQ(RunToEnd(bad, ""), 0);
    EXPECT_NE(bad.Err().find("--listen"), std::string::npos) << bad.Err();
    EXPECT_TRUE(ListeningAddresses(t.port2).empty());
}

// A bulk echo whose way back is slower than its way out (the client reads
// the monitor in small pieces): the connection is held back, never closed,
// and every byte comes back.
TEST(RelayHostile, ConnectionFasterThanItsWayBackLosesNothing) {
    TcpTunnel t;
    ASSERT_NO_FATAL_FAILURE(t.Start());
    ASSERT_TRUE(t.RoundTrip(RandomBytes(1000, 1)));
    ChildProcess probe(std::string(VTR_TOOLS_DIR) + "/tunnel_probe",
                       {"127.0.0.1", std::to_string(t.port2), std::to_string(48u << 20), "2"});
    EXPECT_EQ(probe.Wait(120s), 0) << probe.Out();
    t.Quit();
}

TEST(RelayHostile, DebuggerConnectionThatDoesNotReadHoldsUpNoOther) {
    TcpTunnel t;
    ASSERT_NO_FATAL_FAILURE(t.Start());
    ASSERT_TRUE(t.RoundTrip(RandomBytes(1000, 1)));
    const long serverBefore = ResidentKiB(t.server->Pid());
    const long clientBefore = ResidentKiB(t.client->Pid());

    // Sends without ever reading what the monitor echoes.
    const int stuck = ConnectLoopback(t.port2);
    ASSERT_GE(stuck, 0);
    timeval limit{20, 0};
    setsockopt(stuck, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    std::atomic<bool> ended{false};
    std::thread flood([&] {
        const auto block = RandomBytes(1 << 16, 9);
        for (std::size_t sent = 0; sent < (std::size_t{256} << 20); sent += block.size())
            if (send(stuck, block.data(), block.size(), MSG_NOSIGNAL) !=
                static_cast<ssize_t>(block.size()))
                break;
        ended = true;
    });

    long serverPeak = 0, clientPeak = 0;
    const int live = ConnectLoopback(t.port2);
    ASSERT_GE(live, 0);
    for (unsigned i = 0; i < 30; ++i) {
        const auto data = RandomBytes(2000, 20 + i);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(EchoThrough(live, data), data) << "exchange " << i;
        EXPECT_LT(std::chrono::steady_clock::now() - start, 3s) << "exchange " << i;
        serverPeak = std::max(serverPeak, ResidentKiB(t.server->Pid()));
        clientPeak = std::max(clientPeak, ResidentKiB(t.client->Pid()));
        std::this_thread::sleep_for(30ms);
    }
    // The stuck connection is closed, long before all of the flood went.
    EXPECT_TRUE(Eventually(
        [&] {
            serverPeak = std::max(serverPeak, ResidentKiB(t.server->Pid()));
            clientPeak = std::max(clientPeak, ResidentKiB(t.client->Pid()));
            return ended.load();
        },
        30s));
    flood.join();
    close(stuck);
    // Queues stay within their budget (64 MiB) however much is sent.
    EXPECT_LT(serverPeak - serverBefore, testing_support::MemoryBoundKiB(100 * 1024)) << serverPeak;
    EXPECT_LT(clientPeak - clientBefore, testing_support::MemoryBoundKiB(100 * 1024)) << clientPeak;
    const auto data = RandomBytes(5000, 99);
    EXPECT_EQ(EchoThrough(live, data), data);
    close(live);
    t.Quit();
}

TEST(RelayHostile, ClosedOrUnansweredOpensLeaveNoDescriptorsBehind) {
    TcpTunnel t;
    ASSERT_NO_FATAL_FAILURE(t.StartServer());
    // A client that reads the open requests and never answers one.
    const int silent = ConnectWhenReady(t.port3);
    ASSERT_GE(silent, 0);
    const auto announced = [&] {
        std::array<std::uint8_t, 32> request;
        return recv(silent, request.data(), request.size(), MSG_WAITALL) == 32 &&
               net::DecodeRelayHeader(request).type == net::RELAY_OPEN;
    };
    // Until the server has taken the client, debugger connections are
    // closed without an announcement.
    ASSERT_TRUE(Eventually([&] {
        const int first = ConnectLoopback(t.port2);
        pollfd request{silent, POLLIN, 0};
        const bool ready = first >= 0 && poll(&request, 1, 200) == 1 && announced();
        if (first >= 0)
            close(first);
        return ready;
    }));
    ASSERT_TRUE(Eventually([&] { return ProcEntries(t.server->Pid(), "fd") < 100; }));
    std::this_thread::sleep_for(200ms);
    const std::size_t baseline = ProcEntries(t.server->Pid(), "fd");
    for (int i = 0; i < 400; ++i) {
        const int fd = ConnectLoopback(t.port2);
        ASSERT_GE(fd, 0) << "cycle " << i;
        ASSERT_TRUE(announced()) << "cycle " << i;
        close(fd);
    }
    EXPECT_TRUE(Eventually([&] { return ProcEntries(t.server->Pid(), "fd") <= baseline; }))
        << ProcEntries(t.server->Pid(), "fd") << " descriptors, " << baseline << " before";
    close(silent);
    t.Quit();
}

TEST(RelayHostile, DebuggerPortAcceptsAgainAfterRunningOutOfDescriptors) {
    TcpTunnel t;
    ASSERT_NO_FATAL_FAILURE(t.StartServer());
    const pid_t pid = t.server->Pid();
    rlimit normal{};
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, nullptr, &normal), 0);
    // The server's start-up must be over (its listeners up, its descriptors
    // settled), or the tight limit below would fail that instead of an accept.
    ASSERT_TRUE(WaitForListener(t.port1) && WaitForListener(t.port2) && WaitForListener(t.port3));
    const auto descriptors = [&] {
        std::set<int> fds;
        for (const auto& entry :
             std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
            fds.insert(std::stoi(entry.path().filename().string()));
        return fds;
    };
    std::set<int> used = descriptors();
    for (int i = 0; i < 50; ++i) {
        std::this_thread::sleep_for(100ms);
        auto now = descriptors();
        if (now == used)
            break;
        used = std::move(now);
    }
    // The lowest free descriptor number as the limit: the next accept fails.
    int lowestFree = 0;
    while (used.count(lowestFree))
        ++lowestFree;
    rlimit tight{static_cast<rlim_t>(lowestFree), normal.rlim_max};
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &tight, nullptr), 0);

    const int waiting = ConnectLoopback(t.port2);
    ASSERT_GE(waiting, 0);  // the kernel completes it; the program cannot take it
    SetReceiveLimit(waiting, 1500ms);
    EXPECT_FALSE(ClosedByPeer(waiting));

    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &normal, nullptr), 0);
    // Without a client every debugger connection is closed as soon as it is
    // taken: the waiting one first, then a new one.
    SetReceiveLimit(waiting, 10s);
    EXPECT_TRUE(ClosedByPeer(waiting));
    close(waiting);
    const int later = ConnectLoopback(t.port2);
    ASSERT_GE(later, 0);
    EXPECT_TRUE(ClosedByPeer(later));
    close(later);
    t.Quit();
}

TEST(RelayHostile, TunnelledConnectionsAreCappedOnBothSides) {
    TcpTunnel t;
    ASSERT_NO_FATAL_FAILURE(t.Start());
    ASSERT_TRUE(t.RoundTrip(RandomBytes(100, 1)));
    std::this_thread::sleep_for(200ms);
    const std::size_t serverThreads = ProcEntries(t.server->Pid(), "task");
    const std::size_t clientThreads = ProcEntries(t.client->Pid(), "task");
    const std::size_t clientFds = ProcEntries(t.client->Pid(), "fd");

    constexpr int kHeld = 100;
    std::vector<int> held;
    int relayed = 0, refused = 0;
    for (int i = 0; i < kHeld; ++i) {
        const int fd = ConnectLoopback(t.port2);
        ASSERT_GE(fd, 0);
        held.push_back(fd);
        const std::vector<unsigned char> one{static_cast<unsigned char>(i)};
        if (EchoThrough(fd, one) == one)
            ++relayed;
        else
            ++refused;
    }
    EXPECT_EQ(relayed, 64);
    EXPECT_EQ(refused, kHeld - 64);
    // A pump and a writer per connection, on each side, and no more.
    EXPECT_LE(ProcEntries(t.server->Pid(), "task"), serverThreads + 2 * 64);
    EXPECT_LE(ProcEntries(t.client->Pid(), "task"), clientThreads + 2 * 64);
    EXPECT_LE(ProcEntries(t.client->Pid(), "fd"), clientFds + 64);
    for (const int fd : held)
        close(fd);
    EXPECT_TRUE(Eventually([&] {
        return ProcEntries(t.server->Pid(), "task") == serverThreads &&
               ProcEntries(t.client->Pid(), "task") == clientThreads;
    }));
    EXPECT_TRUE(t.RoundTrip(RandomBytes(3000, 2)));
    t.Quit();
}

// The test plays the server against the real client program.
TEST(RelayHostile, ClientRefusesOpenRequestsBeyondTheCap) {
    TcpTunnel t;
    net::TcpListener listener;
    ASSERT_EQ(listener.Listen("127.0.0.1", t.port3), net::NetError::None);
    t.client = std::make_unique<ChildProcess>(
        VTR232_PATH,
        std::vector<std::string>{"-c", "127.0.0.1:" + std::to_string(t.port3), "-l",
                                 "127.0.0.1:" + std::to_string(t.monitorPort)},
        t.env);
    const net::TcpSocket accepted = listener.Accept({}, 10s);
    const int control = accepted.Handle();
    ASSERT_GE(control, 0);
    SetReceiveLimit(control, 10s);
    const int monitorUp = ConnectWhenReady(t.monitorPort);
    ASSERT_GE(monitorUp, 0);
    close(monitorUp);
    std::this_thread::sleep_for(200ms);
    const std::size_t threads = ProcEntries(t.client->Pid(), "task");
    const std::size_t fds = ProcEntries(t.client->Pid(), "fd");

    int opened = 0, refused = 0;
    for (std::uint64_t id = 1; id <= 300; ++id) {
        const auto request = net::EncodeRelayHeader({net::RELAY_OPEN, id, 0, 0, 0});
        ASSERT_EQ(send(control, request.data(), request.size(), MSG_NOSIGNAL), 32);
        std::array<std::uint8_t, 32> reply;
        ASSERT_EQ(recv(control, reply.data(), reply.size(), MSG_WAITALL), 32);
        const net::RelayHeader h = net::DecodeRelayHeader(reply);
        ASSERT_EQ(h.type, net::RELAY_OPEN);
        ASSERT_EQ(h.connB, id);
        (h.status == 1 ? opened : refused)++;
    }
    EXPECT_EQ(opened, 64);
    EXPECT_EQ(refused, 300 - 64);
    EXPECT_LE(ProcEntries(t.client->Pid(), "task"), threads + 2 * 64);
    EXPECT_LE(ProcEntries(t.client->Pid(), "fd"), fds + 64);
    accepted.Shutdown();  // the server goes: the client ends
    t.client->Write("\n");
    EXPECT_EQ(t.client->Wait(10s), 0);
}

}  // namespace
