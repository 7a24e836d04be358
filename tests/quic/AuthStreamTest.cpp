// The shared-secret exchange on a real QUIC connection: what each side lets
// through before, and after, the other has proved the secret.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "quic/QuicTestSupport.h"

using namespace quic;
using namespace tunnel_test;
using namespace std::chrono_literals;

namespace {

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
