// Interop with an independent QUIC implementation (tools/quic_peer, on
// quic-go) over loopback: our client shell against its server and its client
// against our server shell, each with our ALPN. Every stream, whichever side
// opened it, carries a few MiB that the other side echoes; the opener checks
// them (quic_peer with SHA-256, we byte for byte). Tunnel streams go through
// the real bridge, control streams through the shell's handlers, and both
// data tests end with a connection close of application code 0 that the
// other side sees. Version negotiation is checked in both directions.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "quic/Bridge.h"
#include "quic/QuicTestSupport.h"
#include "support/ChildProcess.h"

using namespace quic;

using namespace tunnel_test;

namespace {

constexpr std::size_t kStreamBytes = std::size_t{2} << 20;
constexpr auto kDeadline = std::chrono::seconds(60);

std::string PeerPath() {
    return std::string(VTR_TOOLS_DIR) + "/quic_peer";
}

std::size_t Count(const std::string& text, std::string_view what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

// The first line of the peer's output that holds `prefix`, from there on.
std::string LineOf(const std::string& text, std::string_view prefix) {
    const std::size_t at = text.find(prefix);
    return at == std::string::npos ? std::string() : text.substr(at, text.find('\n', at) - at);
}

// Received bytes of the streams a test opens itself (stream handler context).
struct Collected {
    std::mutex lock;  // guards bytes
    std::string bytes;
    std::size_t Size() {
        std::lock_guard guard(lock);
        return bytes.size();
    }
    std::string Bytes() {
        std::lock_guard guard(lock);
        return bytes;
    }
};

QUIC_STATUS CollectHandler(HQUIC, QUIC_STREAM_EVENT* event, void* context) {
    auto* collected = static_cast<Collected*>(context);
    if (event->Type == QUIC_STREAM_EVENT_RECEIVE) {
        std::lock_guard guard(collected->lock);
        for (std::uint32_t i = 0; i < event->RECEIVE.BufferCount; ++i)
            collected->bytes.append(reinterpret_cast<const char*>(event->RECEIVE.Buffers[i].Buffer),
                                    event->RECEIVE.Buffers[i].Length);
    }
    return QUIC_STATUS_SUCCESS;
}

// Writes `payload` to a local connection from a thread of its own while
// reading what comes back, `expected` bytes at most.
std::string RoundTrip(const TcpSocket& socket, const std::string& payload, std::size_t expected) {
    std::thread writer([&] { socket.Send(payload.data(), payload.size()); });
    const std::string back = ReadExactly(socket, expected);
    // A stalled echo leaves the writer blocked; this frees it.
    if (back.size() < expected)
        socket.Shutdown();
    writer.join();
    return back;
}

class QuicInterop : public TunnelFixture {
  protected:
    void SetUp() override {
        if (!std::filesystem::exists(PeerPath()))
            GTEST_SKIP() << "no QUIC interop peer at " << PeerPath()
                         << ": install golang-go and golang-github-lucas-clemente-quic-go-dev "
                            "and configure again";
        TunnelFixture::SetUp();
    }

    std::unique_ptr<testing_support::ChildProcess> StartPeer(std::vector<std::string> args) {
        args.insert(args.begin(), {"-alpn", std::string(kQuicAlpn), "-timeout", "60s"});
        return std::make_unique<testing_support::ChildProcess>(PeerPath(), args);
    }

    // Passes the peer's view of the connection on to the test log, and
    // checks that it could read every packet we sent: nothing over the
    // datagram size it reads (1452 bytes) and nothing it had to drop as
    // malformed; a full receive queue on a loaded machine is only loss.
    static void CheckTraffic(const std::string& output) {
        for (std::string_view prefix : {"CONNECTED", "PEER_PARAMS", "DROPPED", "CLOSED"})
            std::cout << "[quic_peer] " << LineOf(output, prefix) << "\n";
        const std::string dropped = LineOf(output, "DROPPED ");
        const std::size_t largest = dropped.find("LARGEST_PACKET ");
        ASSERT_NE(largest, std::string::npos) << output;
        EXPECT_LE(std::stoul(dropped.substr(largest + 15)), 1452u) << output;
        std::size_t malformed = 0;
        for (std::size_t at = output.find("DROP type="); at != std::string::npos;
             at = output.find("DROP type=", at + 1))
            malformed +=
                LineOf(output.substr(at), "DROP").find("receive-queue-full") == std::string::npos
                    ? 1
                    : 0;
        EXPECT_EQ(malformed, 0u) << output;
    }

    // Our client's control stream echoes what it receives, as the
    // deployment receiver answers on it.
    void StartEchoingClient() {
        ASSERT_EQ(client_.Open(kQuicAppName, QuicRole::ClientNoCertificateCheck, clientOptions_),
                  0);
        clientShell_.endpoint = &client_;
        clientShell_.clientText = L"127.0.0.1:" + std::to_wstring(peerPort_);
        clientShell_.onClientConnected = [this] { ++connectedCalls_; };
        clientShell_.onControlStream = [this](HQUIC stream) { controlStreamSeen_.store(stream); };
        clientShell_.onClientConnectionEnded = [this] { ++endedCalls_; };
        clientShell_.clientInbox = [this](std::span<const std::uint8_t> bytes) {
            controlEchoed_ += bytes.size();
            SendOnStream(client_, nullptr, clientControlStream.load(), bytes);
            return bytes.size();
        };
        ASSERT_EQ(ConnectClientShell(clientShell_, "127.0.0.1", peerPort_), 0);
    }

    // Our server's session handler: the shell's, and peer-started streams
    // echo what they receive (the shell leaves them silent).
    static QUIC_STATUS ServerHandler(HQUIC connection, QUIC_CONNECTION_EVENT* event, void* context,
                                     bool afterStreamCreated) {
        auto* self = static_cast<QuicInterop*>(context);
        if (event->Type == QUIC_CONNECTION_EVENT_SHUTDOWN_INITIATED_BY_PEER &&
            !afterStreamCreated) {
            self->peerCloseCode_ = event->SHUTDOWN_INITIATED_BY_PEER.ErrorCode;
            ++self->peerCloses_;
        }
        if (event->Type == QUIC_CONNECTION_EVENT_PEER_STREAM_STARTED && afterStreamCreated)
            if (const auto session = self->server_.FindSession(connection))
                if (const auto stream = session->FindStream(event->PEER_STREAM_STARTED.Stream))
                    stream->SetHandler(&EchoHandler, self);
        return ServerConnectionHandler(connection, event, &self->serverShell_, afterStreamCreated);
    }

    static QUIC_STATUS EchoHandler(HQUIC stream, QUIC_STREAM_EVENT* event, void* context) {
        auto* self = static_cast<QuicInterop*>(context);
        if (event->Type != QUIC_STREAM_EVENT_RECEIVE)
            return QUIC_STATUS_SUCCESS;
        std::vector<std::uint8_t> joined;
        const std::span<const std::uint8_t> block = ReceivedBlock(*event, joined);
        self->peerStreamEchoed_ += block.size();
        SendOnStream(self->server_, serverConnection.load(), stream, block);
        return QUIC_STATUS_SUCCESS;
    }

    static QUIC_STATUS ServerListener(HQUIC listener, QUIC_LISTENER_EVENT* event, void* context) {
        auto* self = static_cast<QuicInterop*>(context);
        const QUIC_STATUS status = ServerListenerHandler(listener, event, &self->serverShell_);
        if (event->Type == QUIC_LISTENER_EVENT_NEW_CONNECTION)
            if (const auto session = self->server_.FindSession(event->NEW_CONNECTION.Connection))
                session->SetHandler(&ServerHandler, self);
        return status;
    }

    std::uint16_t peerPort_ = 0;
    std::atomic<std::size_t> controlEchoed_{0};
    std::atomic<std::size_t> peerStreamEchoed_{0};
    std::atomic<int> peerCloses_{0};
    std::atomic<std::uint64_t> peerCloseCode_{~std::uint64_t{0}};
};

TEST_F(QuicInterop, OurClientAgainstTheirServer) {
    EchoServer monitor;
    constexpr int kPeerStreams = 3;  // the control stream and two tunnel streams
    auto peer = StartPeer({"-mode", "server", "-open", std::to_string(kPeerStreams), "-size",
                           std::to_string(kStreamBytes), "-control", "-preamble",
                           std::to_string(monitor.Port())});
    std::size_t listenEnd = 0;
    ASSERT_TRUE(peer->WaitForOutput("LISTEN ", kDeadline, 0, &listenEnd)) << peer->Err();
    ASSERT_TRUE(peer->WaitForOutput("\n", kDeadline, listenEnd));
    peerPort_ = static_cast<std::uint16_t>(std::stoi(peer->Out().substr(listenEnd)));

    ASSERT_NO_FATAL_FAILURE(StartEchoingClient());
    ASSERT_TRUE(WaitFor([this] { return connectedCalls_ == 1; }, 20000)) << peer->Out();
    ASSERT_TRUE(peer->WaitForOutput("CONNECTED alpn=" + std::string(kQuicAlpn) + " ", kDeadline))
        << peer->Out();

    // Streams we open: the peer echoes them.
    const auto session = ClientSession();
    ASSERT_TRUE(session);
    constexpr int kOurStreams = 2;
    std::vector<Collected> collected(kOurStreams);
    std::vector<std::string> sent;
    std::vector<std::shared_ptr<QuicStream>> ours;
    for (int i = 0; i < kOurStreams; ++i) {
        const OpenedStream opened = session->OpenStream(0, &CollectHandler, &collected[i]);
        ASSERT_EQ(opened.status, QUIC_STATUS_SUCCESS);
        ours.push_back(opened.stream);
        sent.push_back(Pattern(kStreamBytes, 40 + i));
    }
    for (int i = 0; i < kOurStreams; ++i) {
        ASSERT_TRUE(ours[i]->WaitUntilReady());
        // In pieces, as the bridge sends, with the same bound on what waits.
        for (std::size_t at = 0; at < kStreamBytes; at += kRelayChunkSize) {
            ASSERT_TRUE(ours[i]->WaitForSendRoom(kBridgeUnacknowledgedLimit));
            ASSERT_EQ(ours[i]->Send(Bytes(sent[i].substr(at, kRelayChunkSize))), 0);
        }
    }
    for (int i = 0; i < kOurStreams; ++i) {
        ASSERT_TRUE(WaitFor([&] { return collected[i].Size() >= kStreamBytes; }, 60000))
            << "stream " << i << " got " << collected[i].Size() << "\n"
            << peer->Out();
        EXPECT_TRUE(collected[i].Bytes() == sent[i]) << "stream " << i << " differs";
    }

    // The peer's streams came back intact through the control stream's
    // handler and, for the tunnel streams, the bridge and the monitor.
    ASSERT_TRUE(WaitFor([&] { return Count(peer->Out(), "VERIFIED ") == kPeerStreams; }, 60000))
        << peer->Out();
    EXPECT_EQ(Count(peer->Out(), "MISMATCH"), 0u) << peer->Out();
    EXPECT_NE(controlStreamSeen_.load(), nullptr);
    EXPECT_EQ(controlEchoed_.load(), kStreamBytes);
    EXPECT_EQ(monitor.Accepted(), kPeerStreams - 1);
    for (int i = 0; i < kPeerStreams - 1; ++i)
        EXPECT_EQ(monitor.Received(i).size(), kStreamBytes) << "tunnel " << i;

    // Our close reaches the peer as an application close with code 0.
    client_.Close();
    EXPECT_EQ(endedCalls_, 1);
    const auto exit = peer->Wait(kDeadline);
    CheckTraffic(peer->Out());
    ASSERT_TRUE(exit.has_value()) << peer->Out();
    EXPECT_EQ(*exit, 0) << peer->Out() << peer->Err();
    EXPECT_NE(peer->Out().find("CLOSED by=peer code=0"), std::string::npos) << peer->Out();
}

TEST_F(QuicInterop, TheirClientAgainstOurServer) {
    server_.SetListenerHandler(&ServerListener, this);
    ASSERT_EQ(server_.Open(kQuicAppName, QuicRole::Server, serverOptions_), 0);
    serverShell_.endpoint = &server_;
    serverShell_.serverInbox = serverInbox_.Hook();
    ASSERT_EQ(server_.Listen(static_cast<std::uint16_t>(port_), kQuicAlpn), 0);

    constexpr int kPeerStreams = 2;
    auto peer =
        StartPeer({"-mode", "client", "-addr", "127.0.0.1:" + std::to_string(port_), "-open",
                   std::to_string(kPeerStreams), "-size", std::to_string(kStreamBytes)});
    ASSERT_TRUE(peer->WaitForOutput("CONNECTED alpn=" + std::string(kQuicAlpn) + " ", kDeadline))
        << peer->Out() << peer->Err();
    // It saw the certificate our server presents (named as the fixture names it).
    EXPECT_NE(LineOf(peer->Out(), "CONNECTED").find(" cert=localhost/"), std::string::npos)
        << peer->Out();
    ASSERT_TRUE(WaitFor([] { return serverConnection.load() != nullptr; }, 20000));

    // The control stream, opened as a deployment opens it: the peer echoes
    // it into the server's inbox. The shell's own listener handler again,
    // which the control stream looks for to find the inbox.
    InstallServerShell(serverShell_);
    constexpr int kLocalPort = 4020;
    const HQUIC control = EnsureServerControlStream(server_, port_, kLocalPort);
    ASSERT_NE(control, nullptr);
    const std::string controlBytes = Pattern(kStreamBytes, 7);
    for (std::size_t at = 0; at < kStreamBytes; at += kRelayChunkSize)
        ASSERT_EQ(SendOnStream(server_, serverConnection.load(), control,
                               Bytes(controlBytes.substr(at, kRelayChunkSize)), kPacedSendLimit),
                  0);

    // Debugger connections through the server's port become tunnel streams:
    // the peer echoes the preamble too, so each connection gets it back
    // before its own bytes.
    ASSERT_TRUE(
        WaitFor([this] { return ServerSession() && ServerSession()->ListenerCount() >= 1; }));
    constexpr int kTunnels = 2;
    std::vector<TcpSocket> debuggers;
    for (int i = 0; i < kTunnels; ++i) {
        debuggers.push_back(ConnectTo("127.0.0.1", port_));
        ASSERT_TRUE(debuggers.back().IsValid());
        SetReceiveTimeout(debuggers.back(), 60000);
    }
    std::vector<std::string> payloads, echoed(kTunnels);
    for (int i = 0; i < kTunnels; ++i)
        payloads.push_back(Pattern(kStreamBytes, 20 + i));
    std::vector<std::thread> tunnels;
    for (int i = 0; i < kTunnels; ++i)
        tunnels.emplace_back([&, i] {
            echoed[i] = RoundTrip(debuggers[i], payloads[i], kPreambleSize + kStreamBytes);
        });
    for (auto& tunnel : tunnels)
        tunnel.join();
    for (int i = 0; i < kTunnels; ++i) {
        ASSERT_EQ(echoed[i].size(), kPreambleSize + kStreamBytes) << "tunnel " << i;
        EXPECT_EQ(echoed[i].substr(0, kPreambleSize), BuildPreamble(kLocalPort));
        EXPECT_TRUE(echoed[i].substr(kPreambleSize) == payloads[i]) << "tunnel " << i << " differs";
    }
    ASSERT_TRUE(WaitFor([&] { return serverInbox_.Size() >= kStreamBytes; }, 60000))
        << serverInbox_.Size();
    EXPECT_TRUE(serverInbox_.Data() == controlBytes);

    // The peer's own streams came back intact from our echo.
    ASSERT_TRUE(WaitFor([&] { return Count(peer->Out(), "VERIFIED ") == kPeerStreams; }, 60000))
        << peer->Out();
    EXPECT_EQ(Count(peer->Out(), "MISMATCH"), 0u) << peer->Out();
    EXPECT_EQ(peerStreamEchoed_.load(), kPeerStreams * kStreamBytes);

    // The peer closes with code 0; our server sees it and ends the session.
    ASSERT_TRUE(peer->Write("close\n"));
    const auto exit = peer->Wait(kDeadline);
    CheckTraffic(peer->Out());
    ASSERT_TRUE(exit.has_value()) << peer->Out();
    EXPECT_EQ(*exit, 0) << peer->Out() << peer->Err();
    EXPECT_TRUE(WaitFor([] { return serverConnection.load() == nullptr; }, 20000));
    EXPECT_EQ(peerCloses_, 1);
    EXPECT_EQ(peerCloseCode_, 0u);
    EXPECT_TRUE(WaitFor([this] { return server_.Sessions().empty(); }));
    for (auto& debugger : debuggers)
        EXPECT_TRUE(SeesClose(debugger));
}

}  // namespace

// A client that starts in another version learns from our server's Version
// Negotiation packet that QUIC v1 is what it speaks, and connects in v1; one
// that knows no v1 gets no connection, and the server serves on.
TEST_F(QuicInterop, VersionNegotiationBringsTheirClientToVersionOne) {
    ASSERT_NO_FATAL_FAILURE(StartServer());
    const std::string target = "127.0.0.1:" + std::to_string(port_);
    for (const char* offered : {"v2,v1", "draft29,v1"}) {
        SCOPED_TRACE(offered);
        auto peer = StartPeer({"-mode", "client", "-addr", target, "-versions", offered});
        ASSERT_TRUE(peer->WaitForOutput("CONNECTED alpn=" + std::string(kQuicAlpn) + " version=v1 ",
                                        kDeadline))
            << peer->Out();
        EXPECT_NE(peer->Out().find("VERSION_NEGOTIATION offered=[v1]"), std::string::npos)
            << peer->Out();
        ASSERT_TRUE(peer->Write("close\n"));
        EXPECT_EQ(peer->Wait(kDeadline), std::optional<int>(0)) << peer->Out();
        // One client at a time: the next connects once this one has ended.
        ASSERT_TRUE(WaitFor([] { return serverConnection.load() == nullptr; }, 20000));
    }
    auto peer = StartPeer({"-mode", "client", "-addr", target, "-versions", "v2"});
    const auto exit = peer->Wait(kDeadline);
    ASSERT_TRUE(exit.has_value()) << peer->Out();
    EXPECT_NE(*exit, 0) << peer->Out();
    EXPECT_NE(peer->Out().find("VERSION_NEGOTIATION offered=[v1]"), std::string::npos)
        << peer->Out();
    EXPECT_EQ(peer->Out().find("CONNECTED"), std::string::npos) << peer->Out();
    EXPECT_TRUE(server_.Sessions().empty());
    EXPECT_EQ(serverConnection.load(), nullptr);
}

// A server without QUIC v1 answers our client's first datagram with Version
// Negotiation; the client, which speaks v1 only, gives up and says so.
TEST_F(QuicInterop, OurClientGivesUpOnAServerWithoutVersionOne) {
    auto peer = StartPeer({"-mode", "server", "-versions", "v2,draft29"});
    std::size_t listenEnd = 0;
    ASSERT_TRUE(peer->WaitForOutput("LISTEN ", kDeadline, 0, &listenEnd)) << peer->Err();
    ASSERT_TRUE(peer->WaitForOutput("\n", kDeadline, listenEnd));
    peerPort_ = static_cast<std::uint16_t>(std::stoi(peer->Out().substr(listenEnd)));
    ASSERT_NO_FATAL_FAILURE(StartEchoingClient());
    // On the answer (milliseconds), not on the 10-second handshake timeout
    // that would end it otherwise.
    ASSERT_TRUE(WaitFor([this] { return endedCalls_ == 1; }, 8000));
    EXPECT_EQ(connectedCalls_, 0);
    EXPECT_EQ(clientConnection.load(), nullptr);
    EXPECT_EQ(peer->Out().find("CONNECTED"), std::string::npos) << peer->Out();
}
