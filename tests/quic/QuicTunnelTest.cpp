// The stream bridge end to end: the control stream and its inboxes, the
// Visual Studio port, tunnel streams to a stand-in monitor with their
// preamble, closing in either direction, and teardown with traffic in flight.
#include <gtest/gtest.h>

#include <thread>

#include "quic/Bridge.h"
#include "quic/QuicTestSupport.h"

using namespace quic;

using namespace tunnel_test;

namespace {

class QuicTunnelTest : public TunnelFixture {
  protected:
    // Opens a stream on the server's session the way the bridge does, but
    // without a socket, so the test writes its bytes itself.
    std::shared_ptr<QuicStream> RawServerStream() {
        const OpenedStream opened = ServerSession()->OpenStream(0, nullptr, nullptr);
        EXPECT_EQ(opened.status, QUIC_STATUS_SUCCESS);
        if (!opened.stream || !opened.stream->WaitUntilReady())
            return nullptr;
        return opened.stream;
    }

    // A tunnel stream whose client has received only part of its preamble.
    std::shared_ptr<QuicStream> TunnelWaitingForItsPreamble() {
        const auto stream = RawServerStream();
        if (!stream || stream->Send(Bytes("{68D391E7")) != QUIC_STATUS_SUCCESS ||
            !WaitFor([this] { return ClientTunnelStreams().size() == 1; }))
            return nullptr;
        return stream;
    }

    // Client-side tunnel streams (all but the control stream).
    std::vector<std::shared_ptr<QuicStream>> ClientTunnelStreams() {
        std::vector<std::shared_ptr<QuicStream>> tunnels;
        if (const auto session = ClientSession())
            for (const auto& stream : session->Streams())
                if (stream->Handle() != clientControlStream.load())
                    tunnels.push_back(stream);
        return tunnels;
    }

    EchoServer echo_;
};

TEST_F(QuicTunnelTest, FirstStreamIsTheControlStreamAndCarriesBytesInOrder) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_NO_FATAL_FAILURE(OpenControlStream(echo_.Port()));
    const HQUIC control = serverControlStream.load();
    // Later deploys reuse the stream.
    EXPECT_EQ(EnsureServerControlStream(server_, port_, echo_.Port()), control);
    EXPECT_EQ(controlStreamCalls_, 1);
    EXPECT_EQ(controlStreamSeen_.load(), clientControlStream.load());
    EXPECT_NE(clientControlStream.load(), nullptr);

    // Pieces of many sizes both ways; each side's inbox sees them in order.
    std::string toClient, toServer;
    for (unsigned piece = 0; piece < 200; ++piece) {
        const std::string down = Pattern(1 + (piece * 97) % 5000, piece);
        const std::string up = Pattern(1 + (piece * 31) % 3000, piece + 1000);
        ASSERT_EQ(SendOnStream(server_, serverConnection.load(), control, Bytes(down)), 0);
        ASSERT_EQ(
            SendOnStream(client_, clientConnection.load(), clientControlStream.load(), Bytes(up)),
            0);
        toClient += down;
        toServer += up;
    }
    ASSERT_TRUE(WaitFor([&] { return clientInbox_.Size() >= toClient.size(); }));
    ASSERT_TRUE(WaitFor([&] { return serverInbox_.Size() >= toServer.size(); }));
    EXPECT_TRUE(clientInbox_.Data() == toClient);
    EXPECT_TRUE(serverInbox_.Data() == toServer);
    // Deployment bytes never open a connection to the monitor, not even
    // when a file's content looks like a preamble.
    clientInbox_.Clear();
    const std::string lookalike = BuildPreamble(echo_.Port()) + "payload";
    ASSERT_EQ(SendOnStream(server_, nullptr, control, Bytes(lookalike)), 0);
    ASSERT_TRUE(WaitFor([&] { return clientInbox_.Data() == lookalike; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(echo_.Accepted(), 0);
}

TEST_F(QuicTunnelTest, VisualStudioPortTunnelsIPv4AndIPv6ToTheMonitor) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_NO_FATAL_FAILURE(OpenControlStream(echo_.Port()));
    const struct {
        const char* host;
        int family;
    } peers[] = {{"127.0.0.1", AF_INET}, {"::1", AF_INET6}};
    int index = 0;
    for (const auto& peer : peers) {
        TcpSocket debugger = ConnectTo(peer.host, port_, peer.family);
        ASSERT_TRUE(debugger.IsValid()) << peer.host;
        // Sent at once, before the tunnel stream can have started.
        const std::string message = std::string("hello over ") + peer.host;
        ASSERT_EQ(debugger.Send(message.data(), message.size()), static_cast<int>(message.size()));
        EXPECT_EQ(ReadExactly(debugger, message.size()), message);
        // The monitor saw the debugger's bytes and nothing of the preamble.
        EXPECT_EQ(echo_.Received(index), message);
        debugger.Close();
        ++index;
    }
    EXPECT_EQ(echo_.Accepted(), 2);
}

TEST_F(QuicTunnelTest, ConcurrentConnectionsKeepTheirOwnBytes) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_NO_FATAL_FAILURE(OpenControlStream(echo_.Port()));
    constexpr int kConnections = 10;
    std::vector<std::string> sent(kConnections);
    std::vector<std::string> echoed(kConnections);
    std::vector<std::thread> threads;
    for (int index = 0; index < kConnections; ++index) {
        sent[index] = Pattern(100000 + index * 1000, index + 7);
        threads.emplace_back([&, index] {
            TcpSocket debugger = ConnectTo("127.0.0.1", port_);
            if (!debugger.IsValid())
                return;
            std::thread writer([&] {
                for (std::size_t at = 0; at < sent[index].size(); at += 1500)
                    debugger.Send(sent[index].data() + at,
                                  std::min<std::size_t>(1500, sent[index].size() - at));
            });
            echoed[index] = ReadExactly(debugger, sent[index].size());
            writer.join();
            debugger.Close();
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (int index = 0; index < kConnections; ++index)
        EXPECT_TRUE(echoed[index] == sent[index]) << index;
    // Every monitor connection got exactly one debugger connection's bytes.
    ASSERT_EQ(echo_.Accepted(), kConnections);
    std::vector<bool> matched(kConnections, false);
    for (int connection = 0; connection < kConnections; ++connection) {
        const std::string received = echo_.Received(connection);
        for (int index = 0; index < kConnections; ++index)
            if (received == sent[index])
                matched[index] = true;
    }
    for (int index = 0; index < kConnections; ++index)
        EXPECT_TRUE(matched[index]) << index;
}

TEST_F(QuicTunnelTest, LargeTransferArrivesIntact) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_NO_FATAL_FAILURE(OpenControlStream(echo_.Port()));
    TcpSocket debugger = ConnectTo("127.0.0.1", port_);
    ASSERT_TRUE(debugger.IsValid());
    SetReceiveTimeout(debugger, 30000);
    const std::string data = Pattern(16 << 20, 42);
    std::thread writer([&] { debugger.Send(data.data(), data.size()); });
    const std::string back = ReadExactly(debugger, data.size());
    writer.join();
    EXPECT_EQ(back.size(), data.size());
    EXPECT_TRUE(back == data);
    EXPECT_EQ(echo_.Received(0).size(), data.size());
}

TEST_F(QuicTunnelTest, ClosingEitherSideClosesThePeer) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_NO_FATAL_FAILURE(OpenControlStream(echo_.Port()));

    // The debugger hangs up: the monitor's connection is closed.
    TcpSocket first = ConnectTo("127.0.0.1", port_);
    ASSERT_TRUE(first.IsValid());
    ASSERT_EQ(first.Send("ping", 4), 4);
    ASSERT_EQ(ReadExactly(first, 4), "ping");
    first.Close();
    EXPECT_TRUE(WaitFor([this] { return echo_.Ended() == 1; }));
    // Both ends have completed and dropped the tunnel stream.
    EXPECT_TRUE(WaitFor([this] { return ClientTunnelStreams().empty(); }));
    EXPECT_TRUE(WaitFor([this] { return ServerSession()->Streams().size() == 1; }));

    // The monitor hangs up: the debugger's connection is closed.
    TcpSocket second = ConnectTo("127.0.0.1", port_);
    ASSERT_TRUE(second.IsValid());
    ASSERT_EQ(second.Send("pong", 4), 4);
    ASSERT_EQ(ReadExactly(second, 4), "pong");
    echo_.Drop(1);
    EXPECT_TRUE(SeesClose(second));
    EXPECT_TRUE(WaitFor([this] { return ClientTunnelStreams().empty(); }));
    EXPECT_TRUE(WaitFor([this] { return ServerSession()->Streams().size() == 1; }));
    // The control stream is untouched.
    ASSERT_EQ(SendOnStream(server_, nullptr, serverControlStream.load(), Bytes("still")), 0);
    EXPECT_TRUE(WaitFor([this] { return clientInbox_.Data() == "still"; }));
}

TEST_F(QuicTunnelTest, SplitPreambleAndTheBytesAfterItReachTheMonitorOnce) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_NO_FATAL_FAILURE(OpenControlStream(echo_.Port()));
    const auto stream = RawServerStream();
    ASSERT_TRUE(stream);
    const std::string preamble = BuildPreamble(echo_.Port());
    // Pauses between the sends make them separate receive events.
    ASSERT_EQ(stream->Send(Bytes(preamble.substr(0, 20))), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(echo_.Accepted(), 0);
    ASSERT_EQ(stream->Send(Bytes(preamble.substr(20) + "first")), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(stream->Send(Bytes("second")), 0);
    EXPECT_TRUE(WaitFor([this] { return echo_.Received(0) == "firstsecond"; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(echo_.Received(0), "firstsecond");
    EXPECT_EQ(echo_.Accepted(), 1);
    const auto tunnels = ClientTunnelStreams();
    ASSERT_EQ(tunnels.size(), 1u);
    EXPECT_EQ(tunnels[0]->Port(), echo_.Port());
}

TEST_F(QuicTunnelTest, StreamWithoutMarkerGetsNoSocket) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_NO_FATAL_FAILURE(OpenControlStream(echo_.Port()));
    const auto stream = RawServerStream();
    ASSERT_TRUE(stream);
    ASSERT_EQ(stream->Send(Bytes(std::string(60, 'g'))), 0);
    // A preamble after the first 44 bytes is payload, and dropped.
    ASSERT_EQ(stream->Send(Bytes(BuildPreamble(echo_.Port()))), 0);
    ASSERT_TRUE(WaitFor([this] { return ClientTunnelStreams().size() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(echo_.Accepted(), 0);
    const auto tunnels = ClientTunnelStreams();
    ASSERT_EQ(tunnels.size(), 1u);
    EXPECT_FALSE(tunnels[0]->Socket().IsValid());
    // The checked stream is not taken for one still waiting.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_TRUE(stream->IsOpen());
}

TEST_F(QuicTunnelTest, UnreachableMonitorLeavesTheStreamOpenAndSilent) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_NO_FATAL_FAILURE(OpenControlStream(echo_.Port()));
    const auto stream = RawServerStream();
    ASSERT_TRUE(stream);
    // A port nothing listens on.
    TcpSocket probe(kInvalidSocket);
    ASSERT_EQ(probe.Create(AF_INET), NetError::None);
    ASSERT_EQ(probe.BindAndListen(0), NetError::None);
    const int closedPort = probe.LocalPort();
    probe.Close();
    ASSERT_EQ(stream->Send(Bytes(BuildPreamble(closedPort) + "lost")), 0);
    ASSERT_TRUE(WaitFor([this, closedPort] {
        const auto tunnels = ClientTunnelStreams();
        return tunnels.size() == 1 && tunnels[0]->Port() == closedPort;
    }));
    const auto tunnel = ClientTunnelStreams().at(0);
    EXPECT_FALSE(tunnel->Socket().IsValid());
    ASSERT_EQ(stream->Send(Bytes("more")), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_TRUE(stream->IsOpen());
    EXPECT_TRUE(tunnel->IsOpen());
}

TEST_F(QuicTunnelTest, StreamsTheClientStartsAreNotBridgedByTheServer) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_NO_FATAL_FAILURE(OpenControlStream(echo_.Port()));
    // A client that announces a port on the server's machine gets nothing.
    const OpenedStream opened = ClientSession()->OpenStream(echo_.Port(), nullptr, nullptr);
    ASSERT_EQ(opened.status, QUIC_STATUS_SUCCESS);
    ASSERT_TRUE(opened.stream->WaitUntilReady());
    ASSERT_EQ(opened.stream->Send(Bytes("to the server's monitor")), 0);
    ASSERT_TRUE(WaitFor([this] { return ServerSession()->Streams().size() == 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(echo_.Accepted(), 0);
    EXPECT_EQ(serverInbox_.Size(), 0u);
}

TEST_F(QuicTunnelTest, StreamThatNeverCompletesItsPreambleIsAborted) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_NO_FATAL_FAILURE(OpenControlStream(echo_.Port()));
    const auto stream = TunnelWaitingForItsPreamble();
    ASSERT_TRUE(stream);
    // The client's limit in this fixture is one second.
    EXPECT_TRUE(WaitFor([&] { return !stream->IsOpen(); }, 5000));
    EXPECT_TRUE(WaitFor([this] { return ClientTunnelStreams().empty(); }));
    EXPECT_EQ(echo_.Accepted(), 0);
    // The control stream has no preamble and is not aborted.
    ASSERT_EQ(SendOnStream(server_, nullptr, serverControlStream.load(), Bytes("alive")), 0);
    EXPECT_TRUE(WaitFor([this] { return clientInbox_.Data() == "alive"; }));
}

TEST_F(QuicTunnelTest, CloseEndsAPreambleWaitWithoutSittingOutItsLimit) {
    clientOptions_.preambleTimeoutMs = 30000;
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_NO_FATAL_FAILURE(OpenControlStream(echo_.Port()));
    const auto stream = TunnelWaitingForItsPreamble();
    ASSERT_TRUE(stream);
    const auto clientSession = ClientSession();
    ASSERT_TRUE(clientSession);
    // The stream's watchdog starts just after the stream is listed.
    EXPECT_TRUE(WaitFor([&] { return clientSession->BridgeThreads().Size() == 1u; }));
    const auto started = std::chrono::steady_clock::now();
    client_.Close();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(clientSession->BridgeThreads().Size(), 0u);
    EXPECT_EQ(echo_.Accepted(), 0);
}

TEST_F(QuicTunnelTest, FifteenTunnelsBesideTheControlStreamThenTheSixteenthWhenOneEnds) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_NO_FATAL_FAILURE(OpenControlStream(echo_.Port()));
    std::vector<TcpSocket> open;
    for (int index = 0; index < 15; ++index) {
        TcpSocket debugger = ConnectTo("127.0.0.1", port_);
        ASSERT_TRUE(debugger.IsValid());
        const std::string message = "tunnel " + std::to_string(index);
        ASSERT_EQ(debugger.Send(message.data(), message.size()), static_cast<int>(message.size()));
        ASSERT_EQ(ReadExactly(debugger, message.size()), message);
        open.push_back(debugger);
    }
    // The sixteenth is accepted but waits for a stream; its bytes wait too.
    TcpSocket waiting = ConnectTo("127.0.0.1", port_);
    ASSERT_TRUE(waiting.IsValid());
    ASSERT_EQ(waiting.Send("late", 4), 4);
    SetReceiveTimeout(waiting, 500);
    EXPECT_EQ(ReadExactly(waiting, 4), "");
    EXPECT_EQ(echo_.Accepted(), 15);

    open[3].Close();
    SetReceiveTimeout(waiting, 5000);
    EXPECT_EQ(ReadExactly(waiting, 4), "late");
    ASSERT_EQ(echo_.Accepted(), 16);
    EXPECT_EQ(echo_.Received(15), "late");
    for (auto& socket : open)
        socket.Close();
    waiting.Close();
}

// Teardown while tunnels are relaying must neither hang nor touch freed
// objects (run under the sanitizers too).
class QuicTunnelShutdownTest : public QuicTunnelTest, public ::testing::WithParamInterface<bool> {};

TEST_P(QuicTunnelShutdownTest, ClosingEndpointsWithTrafficInFlight) {
    const bool serverFirst = GetParam();
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_NO_FATAL_FAILURE(OpenControlStream(echo_.Port()));
    std::vector<TcpSocket> debuggers;
    std::vector<std::thread> writers;
    std::atomic<int> finished{0};
    for (int index = 0; index < 4; ++index) {
        TcpSocket debugger = ConnectTo("127.0.0.1", port_);
        ASSERT_TRUE(debugger.IsValid());
        debuggers.push_back(debugger);
        writers.emplace_back([debugger, &finished] {
            const std::string chunk = Pattern(8000, 3);
            char sink[65536];
            for (;;) {
                if (debugger.Send(chunk.data(), chunk.size()) <= 0)
                    break;
                if (debugger.Receive(sink, sizeof sink, false) <= 0)
                    break;
            }
            ++finished;
        });
    }
    ASSERT_TRUE(WaitFor([this] { return echo_.Accepted() == 4; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto serverSession = ServerSession();
    const auto clientSession = ClientSession();
    ASSERT_TRUE(serverSession && clientSession);
    // The worker moves the bytes: the server keeps one accept thread for both
    // loopback families, the client at most the preamble watchdogs not yet
    // reaped; every connection holds its place on both sides.
    EXPECT_EQ(serverSession->BridgeThreads().Size(), 1u);
    EXPECT_LE(clientSession->BridgeThreads().Size(), 4u);
    EXPECT_EQ(serverSession->BridgedConnections(), 4u);
    EXPECT_EQ(clientSession->BridgedConnections(), 4u);
    const auto started = std::chrono::steady_clock::now();
    // Each Close returns with every bridge thread of its endpoint joined.
    if (serverFirst) {
        server_.Close();
        EXPECT_EQ(serverSession->BridgeThreads().Size(), 0u);
        client_.Close();
    } else {
        client_.Close();
        EXPECT_EQ(clientSession->BridgeThreads().Size(), 0u);
        server_.Close();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(serverSession->BridgeThreads().Size(), 0u);
    EXPECT_EQ(clientSession->BridgeThreads().Size(), 0u);
    // The teardown closed every debugger connection, which ends the writers.
    EXPECT_TRUE(WaitFor([&] { return finished == 4; }));
    for (auto& debugger : debuggers)
        debugger.Shutdown();
    for (auto& writer : writers)
        writer.join();
    EXPECT_TRUE(WaitFor([this] { return echo_.Ended() == 4; }));
    // The Visual Studio port went with the session.
    EXPECT_FALSE(ConnectTo("127.0.0.1", port_).IsValid());
}

INSTANTIATE_TEST_SUITE_P(QuicServerFirst, QuicTunnelShutdownTest, ::testing::Bool());

}  // namespace
