// Connection lifetime: idle timeout, and closing a connection while its
// streams are busy.
#include <thread>

#include "QuicHarness.h"

namespace quictest {
namespace {

TEST(QuicLifecycle, IdleTimeoutEndsBothConnections) {
    QuicPair::Options options;
    options.idleTimeoutMs = 500;
    QuicPair pair(options);
    ConnectionRecord* client = nullptr;
    ConnectionRecord* server = nullptr;
    ASSERT_TRUE(pair.ConnectBoth(client, server));
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(pair.events.WaitFor(
        [&] { return client->shutdownComplete == 1 && server->shutdownComplete == 1; }, 5000));
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(400));
    EXPECT_EQ(client->shutdownByTransport, 1);
    EXPECT_EQ(client->transportStatus, QUIC_STATUS_CONNECTION_IDLE);
    EXPECT_EQ(server->shutdownByTransport, 1);
    EXPECT_EQ(server->transportStatus, QUIC_STATUS_CONNECTION_IDLE);
}

TEST(QuicLifecycle, ClosingABusyConnectionCompletesEveryStreamAndSend) {
    QuicPair pair;
    ConnectionRecord* client = nullptr;
    ConnectionRecord* server = nullptr;
    ASSERT_TRUE(pair.ConnectBoth(client, server));
    constexpr int kStreams = 4;
    constexpr int kSends = 16;
    std::vector<uint8_t> block(1 << 20, 0x5a);
    QUIC_BUFFER buffer{static_cast<uint32_t>(block.size()), block.data()};
    std::vector<StreamRecord*> mine;
    client->onPeerStream = [](StreamRecord& stream) { stream.keepData = false; };
    for (int s = 0; s < kStreams; ++s) {
        StreamRecord* stream = pair.OpenStream(server);
        stream->keepData = false;
        mine.push_back(stream);
        for (int i = 0; i < kSends; ++i)
            ASSERT_EQ(
                pair.api->StreamSend(stream->handle, &buffer, 1, QUIC_SEND_FLAG_NONE, nullptr),
                QUIC_STATUS_SUCCESS);
    }
    // Wait until data flows, then close the server's connection from here.
    ASSERT_TRUE(pair.events.WaitFor([&] {
        for (auto* stream : client->peerStreams)
            if (stream->receivedBytes > (1u << 20))
                return true;
        return false;
    }));
    {
        std::lock_guard guard(pair.events.lock);
        server->closeOnShutdown = false;
    }
    pair.api->ConnectionClose(server->handle);
    // Close blocks until everything on the server side has completed.
    {
        std::lock_guard guard(pair.events.lock);
        for (auto* stream : mine) {
            EXPECT_EQ(stream->shutdownComplete, 1);
            EXPECT_EQ(stream->sendComplete, kSends);
            EXPECT_TRUE(stream->connectionShutdown);
        }
        EXPECT_EQ(server->shutdownComplete, 1);
    }
    ASSERT_TRUE(pair.events.WaitFor([&] {
        if (client->shutdownComplete != 1)
            return false;
        for (auto* stream : client->peerStreams)
            if (stream->shutdownComplete != 1)
                return false;
        return true;
    }));
    EXPECT_EQ(client->shutdownByPeer, 1);
    int canceled = 0;
    for (auto* stream : mine)
        canceled += stream->sendCanceled;
    EXPECT_GT(canceled, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::lock_guard guard(pair.events.lock);
    for (auto* stream : mine)
        EXPECT_FALSE(stream->shutdownAfterEnd);
    for (auto* stream : client->peerStreams)
        EXPECT_FALSE(stream->shutdownAfterEnd);
    EXPECT_FALSE(client->eventAfterEnd);
}

}  // namespace
}  // namespace quictest
