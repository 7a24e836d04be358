// 64 MiB each way through a relay that loses, duplicates and reorders.
#include "LossyRelay.h"
#include "QuicHarness.h"

namespace quictest {
namespace {

// The byte at `offset` of the test stream with `seed`.
uint8_t PatternByte(uint64_t offset, uint32_t seed) {
    uint64_t x = (offset >> 3) * 0x9E3779B97F4A7C15ull + seed;
    x ^= x >> 29;
    return static_cast<uint8_t>(x >> (8 * (offset & 7)));
}

struct PatternCheck {
    uint32_t seed = 0;
    uint64_t offset = 0;
    bool intact = true;
    void Feed(const uint8_t* data, size_t size) {
        for (size_t i = 0; i < size && intact; ++i)
            intact = data[i] == PatternByte(offset + i, seed);
        offset += size;
    }
};

TEST(QuicRelay, SixtyFourMiBEachWayArriveIntactThroughALossyRelay) {
    constexpr size_t kSize = 64u << 20;
    constexpr size_t kChunk = 1u << 20;
    QuicPair pair;
    LossyRelay relay(pair.port, LossyRelay::Impairment{});
    std::vector<uint8_t> down(kSize);
    std::vector<uint8_t> up(kSize);
    for (size_t i = 0; i < kSize; ++i) {
        down[i] = PatternByte(i, 1);
        up[i] = PatternByte(i, 2);
    }
    PatternCheck atClient{1};
    PatternCheck atServer{2};
    std::vector<QUIC_BUFFER> downBuffers;
    std::vector<QUIC_BUFFER> upBuffers;
    for (size_t offset = 0; offset < kSize; offset += kChunk) {
        downBuffers.push_back({static_cast<uint32_t>(kChunk), down.data() + offset});
        upBuffers.push_back({static_cast<uint32_t>(kChunk), up.data() + offset});
    }
    pair.serverPeerStream = nullptr;
    ConnectionRecord* client = nullptr;
    {
        // The client dials the relay, which forwards to the listener.
        client = pair.Connect(relay.Port());
    }
    client->onPeerStream = [&](StreamRecord& stream) {
        stream.keepData = false;
        stream.onReceive = [&](StreamRecord&, const uint8_t* data, size_t size) {
            atClient.Feed(data, size);
        };
        // The client sends its half as soon as the stream appears.
        for (auto& buffer : upBuffers)
            stream.api->StreamSend(stream.handle, &buffer, 1, QUIC_SEND_FLAG_NONE, nullptr);
    };
    ASSERT_TRUE(pair.events.WaitFor([&] {
        return client->connected == 1 && pair.LastServerConnectionLocked() != nullptr &&
               pair.LastServerConnectionLocked()->connected == 1;
    }));
    ConnectionRecord* server = pair.LastServerConnection();
    StreamRecord* mine = pair.NewStreamRecord();
    mine->keepData = false;
    mine->onReceive = [&](StreamRecord&, const uint8_t* data, size_t size) {
        atServer.Feed(data, size);
    };
    ASSERT_EQ(pair.api->StreamOpen(server->handle, QUIC_STREAM_OPEN_FLAG_NONE, StreamCallback, mine,
                                   &mine->handle),
              QUIC_STATUS_SUCCESS);
    ASSERT_EQ(pair.api->StreamStart(mine->handle, QUIC_STREAM_START_FLAG_IMMEDIATE),
              QUIC_STATUS_SUCCESS);
    for (auto& buffer : downBuffers)
        ASSERT_EQ(pair.api->StreamSend(mine->handle, &buffer, 1, QUIC_SEND_FLAG_NONE, nullptr),
                  QUIC_STATUS_SUCCESS);
    bool done = pair.events.WaitFor(
        [&] {
            return client->peerStreams.size() == 1 &&
                   client->peerStreams[0]->receivedBytes == kSize && mine->receivedBytes == kSize &&
                   mine->sendComplete == static_cast<int>(downBuffers.size()) &&
                   client->peerStreams[0]->sendComplete == static_cast<int>(upBuffers.size());
        },
        90000);
    ASSERT_TRUE(done) << "down "
                      << (client->peerStreams.empty() ? 0 : client->peerStreams[0]->receivedBytes)
                      << " up " << mine->receivedBytes;
    EXPECT_TRUE(atClient.intact);
    EXPECT_TRUE(atServer.intact);
    EXPECT_EQ(mine->sendCanceled, 0);
    EXPECT_GT(relay.Dropped(), 0u);
}

}  // namespace
}  // namespace quictest
