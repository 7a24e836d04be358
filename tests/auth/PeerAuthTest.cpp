// The shared-secret exchange: both roles against each other in memory, and
// its socket driver on a real loopback connection.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "auth/PeerAuth.h"
#include "auth/SocketExchange.h"
#include "platform/Socket.h"

using namespace auth;
using namespace std::chrono_literals;

namespace {

std::vector<std::uint8_t> Bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

// Carries every message between the two until neither has anything to say.
void Carry(Exchange& client, Exchange& server) {
    for (int round = 0; round < 4; ++round) {
        server.Feed(client.TakeOutgoing());
        client.Feed(server.TakeOutgoing());
    }
}

struct Pair {
    Exchange client, server;
    Pair(std::string_view clientSecret, std::string_view serverSecret,
         std::string_view clientChannel = kTcpRelayChannel,
         std::string_view serverChannel = kTcpRelayChannel)
        : client(Exchange::Role::Client, Secret(clientSecret), ChannelBinding(clientChannel)),
          server(Exchange::Role::Server, Secret(serverSecret), ChannelBinding(serverChannel)) {}
};

}  // namespace

TEST(PeerAuth, SameSecretPassesBothWaysAndDifferentSecretsOrChannelsFailBoth) {
    Pair same("s3cret", "s3cret");
    Carry(same.client, same.server);
    EXPECT_TRUE(same.client.Passed());
    EXPECT_TRUE(same.server.Passed());
    EXPECT_EQ(same.client.Wanted(), 0u);
    EXPECT_EQ(same.server.Wanted(), 0u);

    Pair wrong("s3cret", "s3creT");
    Carry(wrong.client, wrong.server);
    EXPECT_EQ(wrong.client.Error(), AuthError::Refused);
    EXPECT_EQ(wrong.server.Error(), AuthError::Refused);  // the client's proof still came

    // A proof made for one channel is worth nothing on another.
    Pair channels("s3cret", "s3cret", kTcpRelayChannel, kTcpDeployChannel);
    Carry(channels.client, channels.server);
    EXPECT_FALSE(channels.client.Passed());
    EXPECT_FALSE(channels.server.Passed());
}

TEST(PeerAuth, MessagesHaveFixedSizesFreshNoncesAndNeverCarryTheSecret) {
    const std::string secret = "a secret of some length, 0123456789";
    Pair first(secret, secret), second(secret, secret);
    const auto helloA = first.client.TakeOutgoing();
    const auto helloB = second.client.TakeOutgoing();
    ASSERT_EQ(helloA.size(), kHelloSize);
    EXPECT_NE(helloA, helloB);  // fresh client nonces
    EXPECT_EQ(first.server.Feed(helloA), kHelloSize);
    EXPECT_EQ(second.server.Feed(helloA), kHelloSize);  // the same hello twice...
    const auto challengeA = first.server.TakeOutgoing();
    const auto challengeB = second.server.TakeOutgoing();
    ASSERT_EQ(challengeA.size(), kChallengeSize);
    EXPECT_NE(challengeA, challengeB);  // ...still gets two different challenges
    EXPECT_EQ(first.client.Feed(challengeA), kChallengeSize);
    const auto proof = first.client.TakeOutgoing();
    ASSERT_EQ(proof.size(), kProofSize);
    for (const auto* message : {&helloA, &challengeA, &proof}) {
        const std::string text(message->begin(), message->end());
        EXPECT_EQ(text.find("secret"), std::string::npos);
    }
    // A reply to another challenge does not pass.
    EXPECT_EQ(second.server.Feed(proof), kProofSize);
    EXPECT_EQ(second.server.Error(), AuthError::Refused);
}

TEST(PeerAuth, ReflectedProofsGarbageAndExtraBytesAreRefused) {
    // The server's own proof sent back as the client's does not pass.
    Pair reflect("k", "k");
    reflect.server.Feed(reflect.client.TakeOutgoing());
    const auto challenge = reflect.server.TakeOutgoing();
    reflect.server.Feed(std::span(challenge).subspan(8 + kNonceSize));
    EXPECT_EQ(reflect.server.Error(), AuthError::Refused);

    // Bytes of something else than a hello.
    Exchange server(Exchange::Role::Server, Secret("k"), ChannelBinding(kTcpRelayChannel));
    const auto garbage = Bytes("GET / HTTP/1.1\r\nHost: x\r\n\r\n0123456789abcdef");
    EXPECT_EQ(server.Feed(garbage), kHelloSize);  // never more than one message
    EXPECT_EQ(server.Error(), AuthError::Protocol);
    EXPECT_TRUE(server.TakeOutgoing().empty());

    // The exchange never takes what follows it.
    Pair exact("k", "k");
    auto hello = exact.client.TakeOutgoing();
    hello.insert(hello.end(), {1, 2, 3});
    EXPECT_EQ(exact.server.Feed(hello), kHelloSize);
    auto reply = exact.server.TakeOutgoing();
    reply.push_back(9);
    EXPECT_EQ(exact.client.Feed(reply), kChallengeSize);
    EXPECT_EQ(exact.client.Wanted(), 0u);
    auto last = exact.client.TakeOutgoing();
    last.push_back(7);
    EXPECT_EQ(exact.server.Feed(last), kProofSize);
    EXPECT_TRUE(exact.server.Passed());

    // An empty secret never passes.
    Exchange empty(Exchange::Role::Client, Secret(""), ChannelBinding(kQuicChannel));
    EXPECT_TRUE(empty.Done());
    EXPECT_FALSE(empty.Passed());
}

// Both ends of a TCP connection on the IPv4 loopback.
void LoopbackPair(platform::UniqueSocket (&ends)[2]) {
    platform::UniqueSocket listener(platform::OpenSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), length), 0);
    ASSERT_EQ(::listen(listener.get(), 1), 0);
    ASSERT_EQ(::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
    ends[0] = platform::UniqueSocket(platform::OpenSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    ASSERT_EQ(::connect(ends[0].get(), reinterpret_cast<const sockaddr*>(&address), length), 0);
    ends[1] = platform::UniqueSocket(platform::AcceptSocket(listener.get()));
    ASSERT_TRUE(ends[1]);
}

TEST(SocketExchange, RunsOverAConnectionAndGivesUpOnASilentOrClosedPeer) {
    platform::UniqueSocket ends[2];
    ASSERT_NO_FATAL_FAILURE(LoopbackPair(ends));
    const platform::SocketHandle fds[2] = {ends[0].get(), ends[1].get()};
    Exchange client(Exchange::Role::Client, Secret("k"), ChannelBinding(kTcpDeployChannel));
    Exchange server(Exchange::Role::Server, Secret("k"), ChannelBinding(kTcpDeployChannel));
    AuthError serverResult = AuthError::Crypto;
    std::thread serverThread([&] {
        serverResult = RunOnSocket(fds[1], server, std::chrono::steady_clock::now() + 10s);
    });
    EXPECT_EQ(RunOnSocket(fds[0], client, std::chrono::steady_clock::now() + 10s), AuthError::None);
    serverThread.join();
    EXPECT_EQ(serverResult, AuthError::None);
    // Whatever follows is left for the connection's own messages.
    ASSERT_EQ(platform::SendBytes(fds[0], "next", 4, true), 4);
    char next[4];
    ASSERT_EQ(platform::ReceiveBytes(fds[1], next, 4, true), 4);
    EXPECT_EQ(std::string(next, 4), "next");

    // A silent peer: the deadline ends it.
    Exchange waiting(Exchange::Role::Server, Secret("k"), ChannelBinding(kTcpDeployChannel));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunOnSocket(fds[1], waiting, start + 300ms), AuthError::Timeout);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 290ms);

    // A peer that goes.
    ends[0].reset();
    Exchange orphan(Exchange::Role::Server, Secret("k"), ChannelBinding(kTcpDeployChannel));
    EXPECT_EQ(RunOnSocket(fds[1], orphan, std::chrono::steady_clock::now() + 10s),
              AuthError::Closed);
}
