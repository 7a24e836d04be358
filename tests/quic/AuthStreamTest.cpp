// The shared-secret exchange on a real QUIC connection: what each side lets
// through before, and after, the other has proved the secret.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "quic/QuicTestSupport.h"

using namespace quic;
using namespace tunnel_test;
using namespace std::chrono_literals;

namespace {

// A party in the middle that runs a TLS session with each side and copies
// the bytes of the client's first stream to a stream of its own towards the
// server, and back.
struct Relay {
    QuicEndpoint toServer, toClient;
    std::mutex lock;  // guards upstream, downstream, pending
    std::shared_ptr<QuicStream> upstream, downstream;
    std::vector<std::uint8_t> pending;  // client bytes before upstream opened
    std::atomic<int> forwarded{0};

    static void Forward(const std::shared_ptr<QuicStream>& to, const QUIC_STREAM_EVENT& event) {
        std::vector<std::uint8_t> joined;
        if (to)
            to->Send(ReceivedBlock(event, joined));
    }
    static QUIC_STATUS FromServer(HQUIC, QUIC_STREAM_EVENT* event, void* context) {
        auto* relay = static_cast<Relay*>(context);
        if (event->Type == QUIC_STREAM_EVENT_RECEIVE) {
            std::lock_guard guard(relay->lock);
            Forward(relay->downstream, *event);
            ++relay->forwarded;
        }
        return QUIC_STATUS_SUCCESS;
    }
    static QUIC_STATUS FromClient(HQUIC, QUIC_STREAM_EVENT* event, void* context) {
        auto* relay = static_cast<Relay*>(context);
        if (event->Type == QUIC_STREAM_EVENT_RECEIVE) {
            std::lock_guard guard(relay->lock);
            Forward(relay->upstream, *event);
            ++relay->forwarded;
        }
        return QUIC_STATUS_SUCCESS;
    }
    static QUIC_STATUS UpstreamConnection(HQUIC connection, QUIC_CONNECTION_EVENT* event,
                                          void* context, bool) {
        auto* relay = static_cast<Relay*>(context);
        if (event->Type == QUIC_CONNECTION_EVENT_CONNECTED)
            if (const auto session = relay->toServer.FindSession(connection)) {
                QuicStreamInit init;
                init.handler = &FromServer;
                init.context = relay;
                const auto stream = session->OpenStream(std::move(init)).stream;
                std::lock_guard guard(relay->lock);
                relay->upstream = stream;
            }
        return QUIC_STATUS_SUCCESS;
    }
    static QUIC_STATUS DownstreamConnection(HQUIC connection, QUIC_CONNECTION_EVENT* event,
                                            void* context, bool after) {
        auto* relay = static_cast<Relay*>(context);
        if (event->Type == QUIC_CONNECTION_EVENT_PEER_STREAM_STARTED && after)
            if (const auto session = relay->toClient.FindSession(connection))
                if (const auto stream = session->FindStream(event->PEER_STREAM_STARTED.Stream)) {
                    stream->SetHandler(&FromClient, relay);
                    std::lock_guard guard(relay->lock);
                    relay->downstream = stream;
                }
        return QUIC_STATUS_SUCCESS;
    }
    static QUIC_STATUS Listener(HQUIC, QUIC_LISTENER_EVENT* event, void* context) {
        auto* relay = static_cast<Relay*>(context);
        if (event->Type == QUIC_LISTENER_EVENT_NEW_CONNECTION)
            if (const auto session = relay->toClient.FindSession(event->NEW_CONNECTION.Connection))
                session->SetHandler(&DownstreamConnection, relay);
        return QUIC_STATUS_SUCCESS;
    }
};

class AuthStreamTest : public TunnelFixture {
  protected:
    std::atomic<int> failedCalls_{0};
    void CountFailures() {
        clientShell_.onAuthenticationFailed = [this] { ++failedCalls_; };
    }
};

}  // namespace

TEST_F(AuthStreamTest, SameSecretConnectsBothSidesAndTheControlStreamWorks) {
    serverShell_.auth.SetSecret("shared 1");
    clientShell_.auth.SetSecret("shared 1");
    CountFailures();
    ASSERT_NO_FATAL_FAILURE(Connect());
    EXPECT_EQ(clientShell_.auth.Current(), QuicAuthClient::Outcome::Passed);
    ASSERT_NO_FATAL_FAILURE(OpenControlStream(4026));
    EXPECT_EQ(failedCalls_, 0);
}

TEST_F(AuthStreamTest, DifferentSecretsLeaveTheServersPlaceFreeAndEndTheClient) {
    serverShell_.auth.SetSecret("shared 1");
    clientShell_.auth.SetSecret("shared 2");
    CountFailures();
    ASSERT_NO_FATAL_FAILURE(StartServer());
    ASSERT_NO_FATAL_FAILURE(StartClient());
    ASSERT_TRUE(WaitFor([this] { return failedCalls_ == 1 && endedCalls_ == 1; }));
    EXPECT_EQ(connectedCalls_, 0);
    EXPECT_EQ(clientShell_.auth.Current(), QuicAuthClient::Outcome::Failed);
    // The refused connection never became the run's client.
    EXPECT_EQ(serverConnection.load(), nullptr);
    EXPECT_EQ(EnsureServerControlStream(server_, port_, 4026), nullptr);
}

TEST_F(AuthStreamTest, ProofsRelayedBetweenTwoTlsSessionsPassNeitherSide) {
    serverShell_.auth.SetSecret("shared 1");
    clientShell_.auth.SetSecret("shared 1");
    CountFailures();
    ASSERT_NO_FATAL_FAILURE(StartServer());
    Relay relay;
    const int relayPort = FreeDualPort();
    ASSERT_EQ(relay.toServer.Open(kQuicAppName, QuicRole::ClientNoCertificateCheck, clientOptions_),
              0);
    ASSERT_EQ(relay.toServer.Connect("127.0.0.1", static_cast<std::uint16_t>(port_),
                                     &Relay::UpstreamConnection, &relay),
              0);
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard guard(relay.lock);
        return relay.upstream != nullptr;
    }));
    ASSERT_EQ(relay.toClient.Open(kQuicAppName, QuicRole::Server, serverOptions_), 0);
    relay.toClient.SetListenerHandler(&Relay::Listener, &relay);
    ASSERT_EQ(relay.toClient.Listen(static_cast<std::uint16_t>(relayPort), kQuicAlpn), 0);
    port_ = relayPort;  // the client dials the relay
    ASSERT_NO_FATAL_FAILURE(StartClient());
    // Both ways carried bytes, yet the client refuses the server's proof,
    // made for the other session, and the server serves no one.
    ASSERT_TRUE(WaitFor([&] { return failedCalls_ == 1; })) << relay.forwarded;
    EXPECT_GE(relay.forwarded, 2);
    EXPECT_EQ(connectedCalls_, 0);
    EXPECT_EQ(serverConnection.load(), nullptr);
    client_.Close();
    relay.toClient.Close();
    relay.toServer.Close();
}

TEST_F(AuthStreamTest, ClientTakesNoStreamFromAServerThatHasNotProvedItself) {
    clientShell_.auth.SetSecret("shared 1");
    CountFailures();
    ASSERT_NO_FATAL_FAILURE(StartServer());
    ASSERT_NO_FATAL_FAILURE(StartClient());
    ASSERT_TRUE(WaitFor([] { return serverConnection.load() != nullptr; }));
    // The server without a secret opens its control stream and sends at once.
    const HQUIC control = EnsureServerControlStream(server_, port_, 4026);
    ASSERT_NE(control, nullptr);
    ASSERT_EQ(SendOnStream(server_, serverConnection.load(), control, Bytes("first")), 0);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(controlStreamCalls_, 0);
    EXPECT_EQ(clientInbox_.Data(), "");
    EXPECT_EQ(connectedCalls_, 0);
    EXPECT_EQ(clientShell_.auth.Current(), QuicAuthClient::Outcome::Running);
    // Its deadline passed: the client gives up and its connection ends.
    EXPECT_TRUE(clientShell_.auth.Expire(std::chrono::steady_clock::now()));
    ASSERT_TRUE(WaitFor([this] { return failedCalls_ == 1 && endedCalls_ == 1; }));
}
