// Endpoints and sessions over real QUIC on loopback: the published handles,
// the shell's connection lines and hooks, ALPN, and teardown.
#include <gtest/gtest.h>

#include "quic/QuicTestSupport.h"

using namespace quic;

using namespace tunnel_test;

namespace {

class QuicSessionTest : public TunnelFixture {};

TEST_F(QuicSessionTest, ConnectPublishesHandlesAndPrintsTheClientLine) {
    ::testing::internal::CaptureStdout();
    ASSERT_NO_FATAL_FAILURE(Connect());
    std::string output = ::testing::internal::GetCapturedStdout();
#ifdef _WIN32
    // The framework reads its capture in text mode, which drops the "\r".
    if (output.size() >= 1 && output.back() == '\n' &&
        (output.size() < 2 || output[output.size() - 2] != '\r'))
        output.insert(output.size() - 1, "\r");
#endif
    EXPECT_EQ(output, "VTR Client connected to 127.0.0.1:" + std::to_string(port_) + "\r\n");

    EXPECT_NE(clientConnection.load(), nullptr);
    // Each side has exactly one session, found by its connection handle.
    ASSERT_EQ(server_.Sessions().size(), 1u);
    ASSERT_EQ(client_.Sessions().size(), 1u);
    EXPECT_EQ(server_.FindSession(serverConnection.load()), ServerSession());
    EXPECT_EQ(client_.FindSession(clientConnection.load()), ClientSession());
    EXPECT_EQ(server_.FindSession(clientConnection.load()), nullptr);
    EXPECT_EQ(connectedCalls_, 1);
    EXPECT_EQ(endedCalls_, 0);
    // No control stream and no Visual Studio port before the first deploy.
    EXPECT_EQ(controlStreamCalls_, 0);
    EXPECT_EQ(ServerSession()->ListenerCount(), 0u);
    EXPECT_FALSE(ConnectTo("127.0.0.1", port_).IsValid());
}

TEST_F(QuicSessionTest, ClosingTheClientClearsBothConnectionHandles) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    client_.Close();
    EXPECT_EQ(clientConnection.load(), nullptr);
    EXPECT_EQ(endedCalls_, 1);
    EXPECT_TRUE(client_.Sessions().empty());
    // The server learns of it from the peer's close.
    EXPECT_TRUE(WaitFor([] { return serverConnection.load() == nullptr; }));
    EXPECT_TRUE(WaitFor([this] { return server_.Sessions().empty(); }));
    EXPECT_NE(serverListener.load(), nullptr);
    server_.Close();
    EXPECT_EQ(serverListener.load(), nullptr);
}

TEST_F(QuicSessionTest, ClosingTheServerEndsTheClient) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    server_.Close();
    EXPECT_EQ(serverConnection.load(), nullptr);
    EXPECT_TRUE(WaitFor([this] { return endedCalls_ == 1; }));
    EXPECT_EQ(clientConnection.load(), nullptr);
}

TEST_F(QuicSessionTest, IdleConnectionEndsAfterTheIdleTimeout) {
    serverOptions_.idleTimeoutMs = 500;
    clientOptions_.idleTimeoutMs = 500;
    ASSERT_NO_FATAL_FAILURE(Connect());
    EXPECT_TRUE(WaitFor([this] { return endedCalls_ == 1; }, 5000));
    EXPECT_TRUE(WaitFor([] { return serverConnection.load() == nullptr; }, 5000));
}

TEST_F(QuicSessionTest, PeerWithAnotherAlpnGetsNoConnection) {
    ASSERT_NO_FATAL_FAILURE(StartServer("other"));
    ASSERT_NO_FATAL_FAILURE(StartClient());
    EXPECT_TRUE(WaitFor([this] { return endedCalls_ == 1; }));
    EXPECT_EQ(connectedCalls_, 0);
    EXPECT_EQ(serverConnection.load(), nullptr);
    EXPECT_EQ(clientConnection.load(), nullptr);
}

TEST_F(QuicSessionTest, OpenTwiceKeepsTheEndpointAndListenFailsOnATakenPort) {
    ASSERT_NO_FATAL_FAILURE(StartServer());
    EXPECT_EQ(server_.Open("Other", QuicRole::Server, serverOptions_), 1);
    EXPECT_EQ(server_.AppName(), "Other");
    const HQUIC listener = serverListener.load();
    EXPECT_NE(listener, nullptr);

    // A second server on the same UDP port: its listener never runs.
    QuicEndpoint second;
    ASSERT_EQ(second.Open(kQuicAppName, QuicRole::Server, serverOptions_), 0);
    EXPECT_TRUE(QUIC_FAILED(second.Listen(static_cast<std::uint16_t>(port_), kQuicAlpn)));
    EXPECT_EQ(serverListener.load(), listener);
    second.Close();
}

TEST_F(QuicSessionTest, SendOnStreamNeedsAKnownSessionAndStream) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    const std::string text = "x";
    // No stream yet.
    EXPECT_EQ(server_.SendOnStream(nullptr, nullptr, Bytes(text)), QUIC_STATUS_INVALID_PARAMETER);
    // A connection handle of another endpoint.
    EXPECT_EQ(server_.SendOnStream(clientConnection.load(), nullptr, Bytes(text)),
              QUIC_STATUS_INVALID_PARAMETER);
    ASSERT_NO_FATAL_FAILURE(OpenControlStream(4026));
    EXPECT_EQ(SendOnStream(server_, serverConnection.load(), clientConnection.load(), Bytes(text)),
              QUIC_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SendOnStream(server_, nullptr, nullptr, Bytes(text)), QUIC_STATUS_SUCCESS);
    EXPECT_TRUE(WaitFor([this] { return clientInbox_.Data() == "x"; }));
}

}  // namespace
