#include "net/TcpRelay.h"

#include <gtest/gtest.h>
#ifdef _WIN32
// clang-format off
#include <windows.h>
#include <tlhelp32.h>
// clang-format on
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <array>
#include <chrono>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <optional>

#include "NetTestSupport.h"
#include "net/RelayHeader.h"
#include "platform/Process.h"

using namespace net;

using namespace nettest;

namespace {

TEST(RelayHeader, LittleEndianLayoutWithoutPadding) {
    RelayHeader header;
    header.type = RELAY_OPEN;
    header.connA = 0x0807060504030201ull;
    header.connB = 0xfffffffffffffffeull;
    header.status = 0x11223344;
    header.length = 90000;
    const auto bytes = EncodeRelayHeader(header);
    const std::array<std::uint8_t, 32> expected = {
        1,    0,    0,    0,    1,    2,    3,    4,    5,    6,    7,    8, 0xfe, 0xff, 0xff, 0xff,
        0xff, 0xff, 0xff, 0xff, 0x44, 0x33, 0x22, 0x11, 0x90, 0x5f, 0x01, 0, 0,    0,    0,    0};
    EXPECT_EQ(bytes, expected);
    const RelayHeader back = DecodeRelayHeader(bytes);
    EXPECT_EQ(back.type, header.type);
    EXPECT_EQ(back.connA, header.connA);
    EXPECT_EQ(back.connB, header.connB);
    EXPECT_EQ(back.status, header.status);
    EXPECT_EQ(back.length, header.length);
}

// One side of the control connection played by the test.
struct RawPeer {
    TcpSocket socket{kInvalidSocket};

    bool Send(std::uint32_t type, std::uint64_t a, std::uint64_t b, std::uint32_t status,
              const std::vector<std::uint8_t>& payload = {},
              std::optional<std::uint64_t> length = {}) {
        RelayHeader h{type, a, b, status, length.value_or(payload.size())};
        const auto head = EncodeRelayHeader(h);
        std::vector<std::uint8_t> message(head.begin(), head.end());
        message.insert(message.end(), payload.begin(), payload.end());
        return socket.Send(message) == static_cast<int>(message.size());
    }

    bool Read(RelayHeader& h, std::vector<std::uint8_t>& payload) {
        std::array<std::uint8_t, 32> head;
        if (socket.Receive(head.data(), 32, true) != 32)
            return false;
        h = DecodeRelayHeader(head);
        payload.resize(h.length);
        return h.length == 0 ||
               socket.Receive(payload.data(), payload.size(), true) == static_cast<int>(h.length);
    }
};

// A listener standing in for the monitor inside the test process, so the test
// can watch the monitor side of each tunnelled connection.
struct FakeMonitor {
    FakeMonitor() {
        port = FreePort();
        ok = Ok(listener.Create(AF_INET6)) && Ok(listener.BindAndListen(port));
    }
    TcpSocket Accept() {
        TcpSocket s = listener.Accept();
        SetTimeouts(s);
        return s;
    }
    TcpSocket listener{kInvalidSocket};
    int port = 0;
    bool ok = false;
};

void ExpectThreadsEnd(TcpRelay& relay) {
    EXPECT_TRUE(WaitFor([&] { return relay.RunningThreads() == 0; }))
        << relay.RunningThreads() << " relay threads still running";
}

// A server relay, a client relay and the stand-in monitor program.
class RelayTunnel : public ::testing::Test {
  protected:
    void SetUp() override {
        port2 = FreePort();
        port3 = FreePort();
        monitorPort = FreePort();
        ASSERT_TRUE(port2 && port3 && monitorPort);
    }

    void StartMonitorProgram() {
#ifdef _WIN32
        const std::string program = std::string(VTR_TOOLS_DIR) + "/standin_monitor.exe";
        if (!std::filesystem::exists(program))
            GTEST_SKIP() << "no Windows build of the stand-in monitor program";
#else
        const std::string program = std::string(VTR_TOOLS_DIR) + "/standin_monitor";
#endif
        const std::vector<std::string> argv{
            program,   "/port",    std::to_string(monitorPort), "/timeout",   "9000",
            "/noauth", "/anyuser", "/nosecuritywarn",           "/noclrwarn", "/nowowwarn"};
        ASSERT_TRUE(monitor.Start(argv)) << "build the standin_monitor target first";
        ASSERT_TRUE(WaitFor([&] { return Dial("127.0.0.1", monitorPort).IsValid(); }));
    }

    void StartBoth() {
        server.StartServer(port2, port3);
        client.localHost = "127.0.0.1";
        client.localPort = monitorPort;
        ASSERT_EQ(client.StartClient("localhost", port3), NetError::None);
        ASSERT_TRUE(WaitFor([&] { return server.ControlConnected(); }));
    }

    void TearDown() override {
        server.CloseSockets();
        client.CloseSockets();
        ExpectThreadsEnd(server);
        ExpectThreadsEnd(client);
    }

    int port2 = 0, port3 = 0, monitorPort = 0;
    platform::ChildProcess monitor;
    TcpRelay server;
    TcpRelay client;
};

// Sends `data` and reads the echo concurrently; true when it came back intact.
bool EchoRoundTrip(const TcpSocket& connection, const std::vector<std::uint8_t>& data) {
    auto writer = std::async(std::launch::async, [&] { return connection.Send(data); });
    std::vector<std::uint8_t> back(data.size());
    const int got = connection.Receive(back.data(), back.size(), true);
    return writer.get() == static_cast<int>(data.size()) && got == static_cast<int>(data.size()) &&
           back == data;
}

TEST_F(RelayTunnel, ConcurrentConnectionsThroughStandinMonitorNeverMix) {
    StartMonitorProgram();
    if (IsSkipped())
        return;
    StartBoth();
    constexpr int kConnections = 6;
    std::vector<std::future<bool>> results;
    for (int i = 0; i < kConnections; ++i) {
        results.push_back(std::async(std::launch::async, [this, i] {
            TcpSocket vs = Dial(i % 2 ? "::1" : "127.0.0.1", port2);
            if (!vs.IsValid())
                return false;
            // Several exchanges per connection, of sizes around both read limits.
            for (std::size_t size : {1u, 999u, 1000u, 1001u, 90000u, 250000u})
                if (!EchoRoundTrip(vs, Pattern(size, static_cast<std::uint32_t>(i * 100 + size))))
                    return false;
            return true;
        }));
    }
    for (auto& result : results)
        EXPECT_TRUE(result.get());
    // Closed connections leave no rows behind on either side.
    EXPECT_TRUE(WaitFor([&] { return server.TunnelCount() == 0 && client.TunnelCount() == 0; }));
}

TEST_F(RelayTunnel, LargeTransfersArriveIntactBothWays) {
    StartMonitorProgram();
    if (IsSkipped())
        return;
    StartBoth();
    std::vector<std::future<bool>> results;
    for (int i = 0; i < 2; ++i)
        results.push_back(std::async(std::launch::async, [this, i] {
            TcpSocket vs = Dial("127.0.0.1", port2);
            return vs.IsValid() && EchoRoundTrip(vs, Pattern(8 << 20, 40 + i));
        }));
    for (auto& result : results)
        EXPECT_TRUE(result.get());
}

TEST_F(RelayTunnel, DebuggerThatDoesNotReadItsEchoHoldsUpNoOtherConnection) {
    StartMonitorProgram();
    if (IsSkipped())
        return;
    StartBoth();
    TcpSocket stuck = Dial("127.0.0.1", port2);
    TcpSocket live = Dial("127.0.0.1", port2);
    ASSERT_TRUE(stuck.IsValid() && live.IsValid());
    ASSERT_TRUE(EchoRoundTrip(live, Pattern(10, 1)));
    // The stuck connection sends without reading, so its echo piles up in the
    // server's queue for it, in the small messages the client sends; the
    // server closes it, and meanwhile the live one goes on echoing.
    auto flood = std::async(std::launch::async, [&] {
        const auto block = Pattern(1 << 20, 2);
        std::size_t sent = 0;
        while (sent < (256u << 20) && stuck.Send(block) == static_cast<int>(block.size()))
            sent += block.size();
        return sent;
    });
    // Echoes go on through the stall (well past kRelayStallLimit) and after.
    int echoes = 0;
    const auto start = std::chrono::steady_clock::now();
    const auto busy = [&] {
        const auto now = std::chrono::steady_clock::now();
        return now - start < std::chrono::seconds(3) ||
               (flood.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready &&
                now - start < std::chrono::seconds(20));
    };
    while (busy()) {
        ASSERT_TRUE(EchoRoundTrip(live, Pattern(3000, 10 + echoes))) << "echo " << echoes;
        ++echoes;
    }
    ASSERT_EQ(flood.wait_for(std::chrono::seconds(15)), std::future_status::ready);
    flood.get();
    EXPECT_GT(echoes, 0);
    // The stuck connection is closed and forgotten on both sides (once the
    // relay has given up draining it).
    EXPECT_TRUE(
        WaitFor([&] { return server.TunnelCount() == 1 && client.TunnelCount() == 1; }, 15));
    EXPECT_TRUE(EchoRoundTrip(live, Pattern(250000, 99)));
}

TEST_F(RelayTunnel, ConnectionBeforeAnyClientIsClosedAtOnce) {
    server.StartServer(port2, port3);
    TcpSocket vs;
    ASSERT_TRUE(WaitFor([&] {
        vs = Dial("127.0.0.1", port2);
        return vs.IsValid();
    }));
    EXPECT_TRUE(PeerClosed(vs));
    EXPECT_EQ(server.TunnelCount(), 0u);
}

TEST_F(RelayTunnel, MonitorNotRunningClosesTheConnection) {
    StartBoth();  // nothing listens on monitorPort
    TcpSocket vs = Dial("127.0.0.1", port2);
    ASSERT_TRUE(vs.IsValid());
    EXPECT_TRUE(PeerClosed(vs));
    EXPECT_EQ(server.TunnelCount(), 0u);
    // The tunnel itself stays up for the next connection.
    EXPECT_TRUE(server.ControlConnected());
}

TEST_F(RelayTunnel, EitherEndClosingClosesTheOther) {
    FakeMonitor fake;
    ASSERT_TRUE(fake.ok);
    monitorPort = fake.port;
    StartBoth();

    TcpSocket vs = Dial("127.0.0.1", port2);
    TcpSocket mon = fake.Accept();
    ASSERT_TRUE(mon.IsValid());
    ASSERT_TRUE(WaitFor([&] { return server.TunnelCount() == 1; }));
    vs.Close();  // the debugger goes away: the client ends the monitor side
    EXPECT_TRUE(PeerClosed(mon));
    EXPECT_TRUE(WaitFor([&] { return server.TunnelCount() == 0 && client.TunnelCount() == 0; }));

    TcpSocket vs2 = Dial("127.0.0.1", port2);
    TcpSocket mon2 = fake.Accept();
    ASSERT_TRUE(mon2.IsValid());
    ASSERT_EQ(mon2.Send("hello", 5), 5);
    char buffer[5];
    ASSERT_EQ(vs2.Receive(buffer, 5, true), 5);
    mon2.Close();  // the monitor goes away: the debugger's connection ends
    EXPECT_TRUE(PeerClosed(vs2));
}

TEST_F(RelayTunnel, SecondClientIsRefusedAndLostControlEndsTunnels) {
    FakeMonitor fake;
    ASSERT_TRUE(fake.ok);
    monitorPort = fake.port;
    StartBoth();
    TcpRelay late;
    late.localHost = "127.0.0.1";
    late.localPort = monitorPort;
    EXPECT_NE(late.StartClient("127.0.0.1", port3), NetError::None);

    TcpSocket vs = Dial("127.0.0.1", port2);
    TcpSocket mon = fake.Accept();
    ASSERT_TRUE(mon.IsValid());
    ASSERT_TRUE(WaitFor([&] { return server.TunnelCount() == 1; }));
    client.CloseSockets();  // the client goes away
    EXPECT_TRUE(PeerClosed(vs));
    EXPECT_TRUE(PeerClosed(mon));
    EXPECT_TRUE(WaitFor([&] { return !server.ControlConnected(); }));
    // Without a client, new debugger connections are closed at once.
    TcpSocket vs2 = Dial("127.0.0.1", port2);
    ASSERT_TRUE(vs2.IsValid());
    EXPECT_TRUE(PeerClosed(vs2));
}

TEST_F(RelayTunnel, ShutdownWhileTransfersRunEndsEveryThread) {
    StartMonitorProgram();
    if (IsSkipped())
        return;
    StartBoth();
    std::vector<TcpSocket> connections;
    std::vector<std::future<void>> writers;
    for (int i = 0; i < 3; ++i) {
        connections.push_back(Dial("127.0.0.1", port2));
        ASSERT_TRUE(connections.back().IsValid());
        writers.push_back(std::async(std::launch::async, [vs = connections.back(), i] {
            const auto data = Pattern(1 << 20, i);
            while (vs.Send(data) == static_cast<int>(data.size())) {
            }
        }));
    }
    ASSERT_TRUE(WaitFor([&] { return server.TunnelCount() == 3; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    server.CloseSockets();
    client.CloseSockets();
    ExpectThreadsEnd(server);
    ExpectThreadsEnd(client);
    for (auto& c : connections)
        c.Close();
    for (auto& w : writers)
        EXPECT_EQ(w.wait_for(std::chrono::seconds(5)), std::future_status::ready);
}

// Threads of this process, as the system lists them.
std::size_t ProcessThreads() {
    std::size_t count = 0;
#ifdef _WIN32
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Thread32First(snapshot, &entry); more;
         more = ::Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == ::GetCurrentProcessId())
            ++count;
    }
    ::CloseHandle(snapshot);
#else
    for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
        ++count;
#endif
    return count;
}

TEST_F(RelayTunnel, DestroyingBothRelaysWithLiveTunnelsJoinsEveryThreadPromptly) {
    StartMonitorProgram();
    if (IsSkipped())
        return;
    const std::size_t before = ProcessThreads();
    auto serverRelay = std::make_unique<TcpRelay>();
    auto clientRelay = std::make_unique<TcpRelay>();
    serverRelay->StartServer(port2, port3);
    clientRelay->localHost = "127.0.0.1";
    clientRelay->localPort = monitorPort;
    ASSERT_EQ(clientRelay->StartClient("127.0.0.1", port3), NetError::None);
    ASSERT_TRUE(WaitFor([&] { return serverRelay->ControlConnected(); }));
    std::vector<TcpSocket> connections;
    for (int i = 0; i < 4; ++i) {
        connections.push_back(Dial("127.0.0.1", port2));
        const auto data = Pattern(5000, static_cast<std::uint32_t>(i));
        ASSERT_EQ(connections.back().Send(data), static_cast<int>(data.size()));
        std::vector<std::uint8_t> back(data.size());
        ASSERT_EQ(connections.back().Receive(back, true), static_cast<int>(back.size()));
        ASSERT_EQ(back, data);
    }
    ASSERT_EQ(serverRelay->TunnelCount(), 4u);
    ASSERT_EQ(clientRelay->TunnelCount(), 4u);
    // Listener, acceptor and control threads plus a pump and a writer per
    // tunnel and side.
    EXPECT_EQ(ProcessThreads(), before + 3 + 16);

    const auto start = std::chrono::steady_clock::now();
    clientRelay.reset();
    serverRelay.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(ProcessThreads(), before);
    for (const TcpSocket& connection : connections)
        EXPECT_TRUE(PeerClosed(connection));
}

TEST(TcpRelayServer, DestroyingTheRelayEndsItsConnectionsSafely) {
    const int port2 = FreePort(), port3 = FreePort();
    auto relay = std::make_unique<TcpRelay>();
    relay->StartServer(port2, port3);
    RawPeer peer{Dial("127.0.0.1", port3)};
    ASSERT_TRUE(peer.socket.IsValid());
    ASSERT_TRUE(WaitFor([&] { return relay->ControlConnected(); }));
    TcpSocket waiting = Dial("127.0.0.1", port2);
    TcpSocket relayed = Dial("127.0.0.1", port2);
    RelayHeader h;
    std::vector<std::uint8_t> payload;
    ASSERT_TRUE(peer.Read(h, payload));
    ASSERT_TRUE(peer.Read(h, payload));
    ASSERT_TRUE(peer.Send(RELAY_OPEN, 9, h.connA, 1));
    ASSERT_TRUE(relayed.Send("x", 1) == 1 && peer.Read(h, payload));
    EXPECT_EQ(h.type, RELAY_DATA);

    relay.reset();  // its threads are still running at this point
    EXPECT_TRUE(PeerClosed(waiting));
    EXPECT_TRUE(PeerClosed(relayed));
    // The control connection ends too, with nothing but closes before it.
    int messages = 0;
    while (peer.Read(h, payload) && ++messages < 10)
        EXPECT_EQ(h.type, RELAY_CLOSE);
    EXPECT_LT(messages, 10);
    EXPECT_FALSE(Dial("127.0.0.1", port2).IsValid());
}

TEST(TcpRelayServer, ZeroPortStartsNothing) {
    const int port = FreePort();
    TcpRelay relay;
    relay.StartServer(0, port);
    relay.StartServer(port, 0);
    EXPECT_EQ(relay.RunningThreads(), 0);
    EXPECT_FALSE(Dial("127.0.0.1", port).IsValid());
}

// The test plays the client against a real server relay.
class HostileClient : public ::testing::Test {
  protected:
    void SetUp() override {
        port2 = FreePort();
        port3 = FreePort();
        server.StartServer(port2, port3);
        ASSERT_TRUE(WaitFor([&] {
            peer.socket = Dial("127.0.0.1", port3);
            return peer.socket.IsValid();
        }));
        ASSERT_TRUE(WaitFor([&] { return server.ControlConnected(); }));
    }
    void TearDown() override {
        server.CloseSockets();
        ExpectThreadsEnd(server);
    }
    // A debugger connection and the server's announcement of it.
    std::uint64_t Announce(TcpSocket& vs) {
        vs = Dial("127.0.0.1", port2);
        RelayHeader h;
        std::vector<std::uint8_t> payload;
        if (!vs.IsValid() || !peer.Read(h, payload) || h.type != RELAY_OPEN)
            return 0;
        EXPECT_EQ(h.connB, 0u);
        EXPECT_EQ(h.status, 0u);
        EXPECT_EQ(h.length, 0u);
        return h.connA;
    }
    int port2 = 0, port3 = 0;
    TcpRelay server;
    RawPeer peer;
};

TEST_F(HostileClient, RepliesForUnannouncedConnectionsAreIgnored) {
    TcpSocket vs;
    const std::uint64_t serverId = Announce(vs);
    ASSERT_NE(serverId, 0u);
    // Replies naming other connections (including live descriptors of the
    // process) must neither close nor adopt anything.
    ASSERT_TRUE(peer.Send(RELAY_OPEN, 500, serverId + 1, 0));
    ASSERT_TRUE(peer.Send(RELAY_OPEN, 501, static_cast<std::uint64_t>(vs.Handle()), 0));
    ASSERT_TRUE(peer.Send(RELAY_OPEN, 502, static_cast<std::uint64_t>(peer.socket.Handle()), 1));
    ASSERT_TRUE(peer.Send(RELAY_OPEN, 700, serverId, 1));
    // A second reply for the same connection is not acted on either.
    ASSERT_TRUE(peer.Send(RELAY_OPEN, 701, serverId, 1));
    ASSERT_TRUE(WaitFor([&] { return server.TunnelCount() == 1; }));

    ASSERT_TRUE(peer.Send(RELAY_DATA, 700, 0, 0, {1, 2, 3}));
    std::uint8_t got[3];
    ASSERT_EQ(vs.Receive(got, 3, true), 3);
    EXPECT_EQ(got[2], 3);
    ASSERT_EQ(vs.Send("abcd", 4), 4);
    RelayHeader h;
    std::vector<std::uint8_t> payload;
    ASSERT_TRUE(peer.Read(h, payload));
    EXPECT_EQ(h.type, RELAY_DATA);
    EXPECT_EQ(h.connA, 700u);
    EXPECT_EQ(std::string(payload.begin(), payload.end()), "abcd");
    EXPECT_EQ(server.TunnelCount(), 1u);
    EXPECT_TRUE(server.ControlConnected());
}

TEST_F(HostileClient, ClosesNamingLiveDescriptorsShutNothingDown) {
    TcpSocket relayed;
    const std::uint64_t relayedId = Announce(relayed);
    ASSERT_NE(relayedId, 0u);
    ASSERT_TRUE(peer.Send(RELAY_OPEN, 700, relayedId, 1));
    ASSERT_TRUE(WaitFor([&] { return server.TunnelCount() == 1; }));
    TcpSocket waiting;
    const std::uint64_t waitingId = Announce(waiting);
    ASSERT_NE(waitingId, 0u);
    // Every small number, and so every descriptor the process has open (the
    // control connection, both debugger connections, the listeners), except
    // the one connection this client opened.
    for (std::uint64_t id = 0; id < 300; ++id) {
        if (id != 700) {
            ASSERT_TRUE(peer.Send(RELAY_CLOSE, id, 0, 0));
        }
    }
    ASSERT_TRUE(peer.Send(RELAY_OPEN, 701, waitingId, 1));
    for (const auto& [socket, id] : {std::pair{&relayed, 700u}, std::pair{&waiting, 701u}}) {
        ASSERT_TRUE(peer.Send(RELAY_DATA, id, 0, 0, {'o', 'k'}));
        char got[2];
        ASSERT_EQ(socket->Receive(got, 2, true), 2);
        EXPECT_EQ(std::string(got, 2), "ok");
        ASSERT_EQ(socket->Send("back", 4), 4);
        RelayHeader h;
        std::vector<std::uint8_t> payload;
        ASSERT_TRUE(peer.Read(h, payload));
        EXPECT_EQ(h.type, RELAY_DATA);
        EXPECT_EQ(h.connA, id);
        EXPECT_EQ(std::string(payload.begin(), payload.end()), "back");
    }
    EXPECT_EQ(server.TunnelCount(), 2u);
    EXPECT_TRUE(server.ControlConnected());
}

TEST_F(HostileClient, FailureReplyClosesAndUnknownTypesAreSkipped) {
    TcpSocket vs;
    const std::uint64_t serverId = Announce(vs);
    ASSERT_NE(serverId, 0u);
    ASSERT_TRUE(peer.Send(99, 1, 2, 3, {9, 9, 9, 9}));
    // connB as the reply carries it: low 32 bits sign-extended.
    ASSERT_TRUE(peer.Send(RELAY_OPEN, 0, serverId | 0xffffffff00000000ull, 0));
    EXPECT_TRUE(PeerClosed(vs));
    TcpSocket vs2;
    EXPECT_NE(Announce(vs2), 0u);  // the unknown message did not derail reading
}

TEST_F(HostileClient, ServerReadsAreAtMost90000BytesPerMessage) {
    TcpSocket vs;
    const std::uint64_t serverId = Announce(vs);
    ASSERT_TRUE(peer.Send(RELAY_OPEN, 42, serverId, 1));
    const auto data = Pattern(300000, 3);
    ASSERT_EQ(vs.Send(data), static_cast<int>(data.size()));
    std::vector<std::uint8_t> all;
    RelayHeader h;
    std::vector<std::uint8_t> payload;
    while (all.size() < data.size() && peer.Read(h, payload)) {
        ASSERT_EQ(h.type, RELAY_DATA);
        ASSERT_EQ(h.connA, 42u);
        ASSERT_GE(h.length, 1u);
        ASSERT_LE(h.length, 90000u);
        all.insert(all.end(), payload.begin(), payload.end());
    }
    EXPECT_EQ(all, data);
    vs.Close();
    ASSERT_TRUE(peer.Read(h, payload));
    EXPECT_EQ(h.type, RELAY_CLOSE);
    EXPECT_EQ(h.connA, 42u);
}

TEST_F(HostileClient, OversizedLengthEndsTheControlConnection) {
    TcpSocket vs;
    const std::uint64_t serverId = Announce(vs);
    ASSERT_TRUE(peer.Send(RELAY_OPEN, 42, serverId, 1));
    ASSERT_TRUE(WaitFor([&] { return server.TunnelCount() == 1; }));
    ASSERT_TRUE(peer.Send(RELAY_DATA, 42, 0, 0, {}, 1ull << 40));
    EXPECT_TRUE(PeerClosed(vs));
    EXPECT_TRUE(WaitFor([&] { return !server.ControlConnected(); }));
    EXPECT_TRUE(WaitFor([&] { return server.TunnelCount() == 0; }));
}

TEST_F(HostileClient, AnnouncedConnectionsGoWhenTheirDebuggerGoesOrNoReplyComes) {
    TcpSocket vs;
    const std::uint64_t serverId = Announce(vs);
    ASSERT_NE(serverId, 0u);
    ASSERT_EQ(server.PendingOpens(), 1u);
    vs.Close();
    EXPECT_TRUE(WaitFor([&] { return server.PendingOpens() == 0; }));
    // A success that comes late is undone at once; a stray one is not.
    ASSERT_TRUE(peer.Send(RELAY_OPEN, 77, 123456, 1));
    ASSERT_TRUE(peer.Send(RELAY_OPEN, 55, serverId, 1));
    RelayHeader h;
    std::vector<std::uint8_t> payload;
    ASSERT_TRUE(peer.Read(h, payload));
    EXPECT_EQ(h.type, RELAY_CLOSE);
    EXPECT_EQ(h.connA, 55u);
    EXPECT_EQ(server.TunnelCount(), 0u);
}

TEST(TcpRelayServer, UnansweredOpenTimesOut) {
    const int port2 = FreePort(), port3 = FreePort();
    TcpRelay server;
    server.openTimeout = std::chrono::milliseconds(300);
    server.StartServer(port2, port3);
    RawPeer peer{Dial("127.0.0.1", port3)};
    ASSERT_TRUE(WaitFor([&] { return server.ControlConnected(); }));
    TcpSocket vs = Dial("127.0.0.1", port2);
    ASSERT_TRUE(vs.IsValid());
    ASSERT_TRUE(WaitFor([&] { return server.PendingOpens() == 1; }));
    EXPECT_TRUE(PeerClosed(vs));  // well before the socket's own 10 s limit
    EXPECT_EQ(server.PendingOpens(), 0u);
}

TEST_F(HostileClient, ConnectionsBeyondTheCapAreClosedAtOnce) {
    std::vector<TcpSocket> held(kRelayMaxTunnels);
    for (std::size_t i = 0; i < held.size(); ++i) {
        const std::uint64_t id = Announce(held[i]);
        ASSERT_NE(id, 0u);
        // Half of them relayed, half still waiting: both count.
        if (i % 2) {
            ASSERT_TRUE(peer.Send(RELAY_OPEN, 1000 + i, id, 1));
        }
    }
    ASSERT_TRUE(WaitFor([&] { return server.TunnelCount() == kRelayMaxTunnels / 2; }));
    TcpSocket extra = Dial("127.0.0.1", port2);
    ASSERT_TRUE(extra.IsValid());
    EXPECT_TRUE(PeerClosed(extra));
    EXPECT_EQ(server.PendingOpens() + server.TunnelCount(), kRelayMaxTunnels);
    // Room again once one goes.
    held[0].Close();
    ASSERT_TRUE(WaitFor([&] { return server.PendingOpens() == kRelayMaxTunnels / 2 - 1; }));
    TcpSocket next;
    EXPECT_NE(Announce(next), 0u);
}

// The test plays the server against a real client relay.
class HostileServer : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(fake.ok);
        TcpSocket listener(kInvalidSocket);
        const int port3 = FreePort();
        ASSERT_TRUE(Ok(listener.Create(AF_INET6)) && Ok(listener.BindAndListen(port3)));
        client.localHost = "127.0.0.1";
        client.localPort = fake.port;
        ASSERT_EQ(client.StartClient("127.0.0.1", port3), NetError::None);
        peer.socket = listener.Accept();
        SetTimeouts(peer.socket);
    }
    void TearDown() override {
        client.CloseSockets();
        ExpectThreadsEnd(client);
    }
    // Asks the client to open a monitor connection; returns its identifier.
    std::uint64_t Open(std::uint64_t serverId, TcpSocket& mon) {
        RelayHeader h;
        std::vector<std::uint8_t> payload;
        if (!peer.Send(RELAY_OPEN, serverId, 0, 0) || !peer.Read(h, payload))
            return 0;
        EXPECT_EQ(h.type, RELAY_OPEN);
        EXPECT_EQ(h.status, 1u);
        EXPECT_EQ(h.connB, serverId);
        mon = fake.Accept();
        return h.connA;
    }
    // Asks for a monitor connection that the client must refuse.
    void ExpectFailureReply(std::uint64_t serverId) {
        RelayHeader h;
        std::vector<std::uint8_t> payload;
        ASSERT_TRUE(peer.Send(RELAY_OPEN, serverId, 0, 0));
        ASSERT_TRUE(peer.Read(h, payload));
        EXPECT_EQ(h.type, RELAY_OPEN);
        EXPECT_EQ(h.connA, 0u);
        EXPECT_EQ(h.connB, serverId);
        EXPECT_EQ(h.status, 0u);
    }
    FakeMonitor fake;
    TcpRelay client;
    RawPeer peer;
};

TEST_F(HostileServer, DataForForeignHandlesIsDropped) {
    TcpSocket mon;
    const std::uint64_t id = Open(7, mon);
    ASSERT_NE(id, 0u);
#ifdef _WIN32
    const std::uint64_t descriptors[] = {mon.Handle(), fake.listener.Handle(), 1, 2};
#else
    int pipeEnds[2];
    ASSERT_EQ(::pipe2(pipeEnds, O_NONBLOCK | O_CLOEXEC), 0);
    const std::uint64_t descriptors[] = {static_cast<std::uint64_t>(pipeEnds[1]),
                                         static_cast<std::uint64_t>(mon.Handle()),
                                         static_cast<std::uint64_t>(fake.listener.Handle()), 1, 2};
#endif
    // Identifiers that name descriptors of the process but no connection the
    // client opened: nothing may be written to them.
    for (const std::uint64_t fd : descriptors)
        if (fd != id) {
            ASSERT_TRUE(peer.Send(RELAY_DATA, fd, 0, 0, {'X'}));
        }
    ASSERT_TRUE(peer.Send(RELAY_DATA, id + 1, 0, 0, {'Y'}));
    ASSERT_TRUE(peer.Send(RELAY_DATA, id, 0, 0, {'o', 'k'}));
    char got[2];
    ASSERT_EQ(mon.Receive(got, 2, true), 2);
    EXPECT_EQ(std::string(got, 2), "ok");
#ifndef _WIN32
    char stray;
    EXPECT_EQ(::read(pipeEnds[0], &stray, 1), -1);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
#endif
}

TEST_F(HostileServer, OpenReplyEchoesSignExtendedLow32Bits) {
    RelayHeader h;
    std::vector<std::uint8_t> payload;
    ASSERT_TRUE(peer.Send(RELAY_OPEN, 0x1234567880000001ull, 0, 0));
    ASSERT_TRUE(peer.Read(h, payload));
    EXPECT_EQ(h.connB, 0xffffffff80000001ull);
    EXPECT_EQ(h.status, 1u);
}

TEST_F(HostileServer, MonitorUnreachableGivesFailureReply) {
    fake.listener.Close();
    ExpectFailureReply(5);
    EXPECT_EQ(client.TunnelCount(), 0u);
}

TEST_F(HostileServer, CloseFromServerClosesMonitorAndOversizeEndsControl) {
    TcpSocket mon1, mon2;
    const std::uint64_t id1 = Open(1, mon1);
    const std::uint64_t id2 = Open(2, mon2);
    ASSERT_NE(id1, id2);
    ASSERT_TRUE(peer.Send(77, id1, 0, 0, {1, 2}));  // unknown type, skipped
    ASSERT_TRUE(peer.Send(RELAY_CLOSE, id1, 0, 0));
    EXPECT_TRUE(PeerClosed(mon1));
    RelayHeader h;
    std::vector<std::uint8_t> payload;
    ASSERT_TRUE(peer.Read(h, payload));
    EXPECT_EQ(h.type, RELAY_CLOSE);
    EXPECT_EQ(h.connA, id1);
    // Data from the monitor arrives in pieces of at most 1000 bytes.
    const auto data = Pattern(5000, 9);
    ASSERT_EQ(mon2.Send(data), 5000);
    std::vector<std::uint8_t> all;
    while (all.size() < data.size() && peer.Read(h, payload)) {
        ASSERT_EQ(h.connA, id2);
        ASSERT_LE(h.length, 1000u);
        all.insert(all.end(), payload.begin(), payload.end());
    }
    EXPECT_EQ(all, data);

    ASSERT_TRUE(peer.Send(RELAY_DATA, id2, 0, 0, {}, 90001));
    EXPECT_TRUE(PeerClosed(mon2));
    EXPECT_TRUE(WaitFor([&] { return !client.ControlConnected(); }));
}

TEST_F(HostileServer, LargeMonitorTransfersGoInOrderInMessagesOfAtMost1000Bytes) {
    TcpSocket mon1, mon2;
    const std::uint64_t id1 = Open(1, mon1);
    const std::uint64_t id2 = Open(2, mon2);
    ASSERT_TRUE(id1 && id2);
    // Both monitors write far more than one read takes, at once.
    const auto data1 = Pattern(6 << 20, 21);
    const auto data2 = Pattern((3 << 20) + 17, 22);
    auto send1 = std::async(std::launch::async, [&] { return mon1.Send(data1); });
    auto send2 = std::async(std::launch::async, [&] { return mon2.Send(data2); });
    std::map<std::uint64_t, std::vector<std::uint8_t>> got;
    RelayHeader h;
    std::vector<std::uint8_t> payload;
    std::size_t messages = 0;
    while (got[id1].size() + got[id2].size() < data1.size() + data2.size() &&
           peer.Read(h, payload)) {
        ++messages;
        if (h.type != RELAY_DATA || (h.connA != id1 && h.connA != id2) || h.length < 1 ||
            h.length > kRelayClientPayload) {
            ADD_FAILURE() << "message " << h.type << " for " << h.connA << " of " << h.length;
            break;
        }
        got[h.connA].insert(got[h.connA].end(), payload.begin(), payload.end());
    }
    EXPECT_EQ(send1.get(), static_cast<int>(data1.size()));
    EXPECT_EQ(send2.get(), static_cast<int>(data2.size()));
    EXPECT_TRUE(got[id1] == data1);
    EXPECT_TRUE(got[id2] == data2);
    EXPECT_GE(messages, (data1.size() + data2.size()) / kRelayClientPayload);
}

TEST_F(HostileServer, MonitorsBeyondTheCapGetTheFailureReply) {
    std::vector<TcpSocket> monitors(kRelayMaxTunnels);
    for (std::size_t i = 0; i < monitors.size(); ++i)
        ASSERT_NE(Open(i + 1, monitors[i]), 0u);
    ExpectFailureReply(999);
    EXPECT_EQ(client.TunnelCount(), kRelayMaxTunnels);
}

TEST_F(HostileServer, DataBeforeACloseIsWrittenWholeFirst) {
    TcpSocket mon;
    const std::uint64_t id = Open(3, mon);
    ASSERT_NE(id, 0u);
    const auto data = Pattern(20 * 90000, 5);
    for (std::size_t at = 0; at < data.size(); at += 90000)
        ASSERT_TRUE(
            peer.Send(RELAY_DATA, id, 0, 0,
                      std::vector<std::uint8_t>(data.begin() + at, data.begin() + at + 90000)));
    ASSERT_TRUE(peer.Send(RELAY_CLOSE, id, 0, 0));
    std::vector<std::uint8_t> back(data.size());
    ASSERT_EQ(mon.Receive(back, true), static_cast<int>(back.size()));
    EXPECT_EQ(back, data);
    EXPECT_TRUE(PeerClosed(mon));
}

TEST_F(HostileServer, MonitorThatDoesNotReadIsClosedWithoutHoldingUpTheOthers) {
    TcpSocket stuck, live;
    const std::uint64_t stuckId = Open(1, stuck);
    const std::uint64_t liveId = Open(2, live);
    ASSERT_TRUE(stuckId && liveId);
    // Far more than the queue holds, for a connection that never reads, with
    // data for the other one in between.
    const std::vector<std::uint8_t> block(90000, 0x5a);
    std::size_t sent = 0;
    auto reader = std::async(std::launch::async, [&] {
        RelayHeader h;
        std::vector<std::uint8_t> payload;
        while (peer.Read(h, payload))
            if (h.type == RELAY_CLOSE && h.connA == stuckId)
                return true;
        return false;
    });
    for (int i = 0;
         i < 400 && reader.wait_for(std::chrono::seconds(0)) != std::future_status::ready; ++i) {
        ASSERT_TRUE(peer.Send(RELAY_DATA, stuckId, 0, 0, block));
        sent += block.size();
        ASSERT_TRUE(peer.Send(RELAY_DATA, liveId, 0, 0, {std::uint8_t(i)}));
        std::uint8_t got = 0;
        ASSERT_EQ(live.Receive(&got, 1, true), 1) << "after " << sent << " bytes";
        EXPECT_EQ(got, std::uint8_t(i));
    }
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(reader.get());
    EXPECT_LT(sent, kRelayQueueLimit + (16u << 20));  // the kernel's buffers hold some too
    EXPECT_TRUE(WaitFor([&] { return client.TunnelCount() == 1; }));
}

}  // namespace
