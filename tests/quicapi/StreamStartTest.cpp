// When a started stream becomes known to the peer: at once with the immediate
// flag, even while nothing is sent on it; otherwise with its first data.
#include <chrono>
#include <thread>

#include "QuicHarness.h"

namespace quictest {
namespace {

QUIC_BUFFER BufferOf(std::string& text) {
    return QUIC_BUFFER{static_cast<uint32_t>(text.size()), reinterpret_cast<uint8_t*>(text.data())};
}

class QuicStreamStart : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(pair.ConnectBoth(client, server)); }

    size_t PeerStreamCount() {
        std::lock_guard guard(pair.events.lock);
        return client->peerStreams.size();
    }

    StreamRecord* OpenWith(QUIC_STREAM_START_FLAGS flags) {
        StreamRecord* record = pair.NewStreamRecord();
        EXPECT_EQ(pair.api->StreamOpen(server->handle, QUIC_STREAM_OPEN_FLAG_NONE, StreamCallback,
                                       record, &record->handle),
                  QUIC_STATUS_SUCCESS);
        EXPECT_EQ(pair.api->StreamStart(record->handle, flags), QUIC_STATUS_SUCCESS);
        return record;
    }

    QuicPair pair;
    ConnectionRecord* client = nullptr;
    ConnectionRecord* server = nullptr;
};

TEST_F(QuicStreamStart, ImmediateStreamIsAnnouncedBeforeAnyDataAndKeepsItsIdentity) {
    StreamRecord* control = OpenWith(QUIC_STREAM_START_FLAG_IMMEDIATE);
    // The peer learns of the silent stream promptly.
    ASSERT_TRUE(pair.events.WaitFor([&] { return client->peerStreams.size() == 1; }, 2000));
    StreamRecord* peerControl;
    {
        std::lock_guard guard(pair.events.lock);
        peerControl = client->peerStreams[0];
        EXPECT_EQ(control->startComplete, 1);
        EXPECT_EQ(control->startStatus, QUIC_STATUS_SUCCESS);
        EXPECT_EQ(peerControl->receivedBytes, 0u);
        EXPECT_EQ(peerControl->peerSendShutdown, 0);
        EXPECT_EQ(peerControl->shutdownComplete, 0);
    }

    // A stream opened later is a second, distinct stream carrying its own data.
    StreamRecord* tunnel = OpenWith(QUIC_STREAM_START_FLAG_IMMEDIATE);
    std::string tunnelData = "tunnel bytes";
    QUIC_BUFFER tunnelBuffer = BufferOf(tunnelData);
    ASSERT_EQ(pair.api->StreamSend(tunnel->handle, &tunnelBuffer, 1, QUIC_SEND_FLAG_NONE, nullptr),
              QUIC_STATUS_SUCCESS);
    ASSERT_TRUE(pair.events.WaitFor([&] {
        return client->peerStreams.size() == 2 && client->peerStreams[1]->received == tunnelData &&
               tunnel->sendComplete == 1;
    }));
    {
        std::lock_guard guard(pair.events.lock);
        EXPECT_NE(client->peerStreams[1], peerControl);
        EXPECT_NE(client->peerStreams[1]->handle, peerControl->handle);
        EXPECT_EQ(peerControl->receivedBytes, 0u);
    }

    // Data sent on the first stream long after its start arrives on the stream
    // the peer already holds.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::string controlData(20000, 'c');
    for (size_t i = 0; i < controlData.size(); ++i)
        controlData[i] = static_cast<char>('a' + i % 26);
    QUIC_BUFFER controlBuffer = BufferOf(controlData);
    ASSERT_EQ(
        pair.api->StreamSend(control->handle, &controlBuffer, 1, QUIC_SEND_FLAG_NONE, &controlData),
        QUIC_STATUS_SUCCESS);
    ASSERT_TRUE(pair.events.WaitFor(
        [&] { return peerControl->received == controlData && control->sendComplete == 1; }));
    std::lock_guard guard(pair.events.lock);
    EXPECT_EQ(client->peerStreams.size(), 2u);
    EXPECT_EQ(client->peerStreams[1]->received, tunnelData);
    EXPECT_EQ(control->completedContexts, std::vector<void*>{&controlData});
    EXPECT_EQ(control->sendCanceled, 0);
}

TEST_F(QuicStreamStart, ImmediateStreamCanBeEndedBeforeItCarriesData) {
    StreamRecord* silent = OpenWith(QUIC_STREAM_START_FLAG_IMMEDIATE);
    ASSERT_TRUE(pair.events.WaitFor([&] { return client->peerStreams.size() == 1; }, 2000));
    // A graceful end right after the announcement: the peer sees the FIN
    // with no data; when it ends its side too, both complete the stream once.
    ASSERT_EQ(pair.api->StreamShutdown(silent->handle, QUIC_STREAM_SHUTDOWN_FLAG_GRACEFUL, 0),
              QUIC_STATUS_SUCCESS);
    StreamRecord* peer;
    {
        std::lock_guard guard(pair.events.lock);
        peer = client->peerStreams[0];
    }
    ASSERT_TRUE(pair.events.WaitFor([&] { return peer->peerSendShutdown == 1; }));
    ASSERT_EQ(pair.api->StreamShutdown(peer->handle, QUIC_STREAM_SHUTDOWN_FLAG_GRACEFUL, 0),
              QUIC_STATUS_SUCCESS);
    ASSERT_TRUE(pair.events.WaitFor(
        [&] { return silent->shutdownComplete == 1 && peer->shutdownComplete == 1; }));
    std::lock_guard guard(pair.events.lock);
    EXPECT_EQ(peer->receivedBytes, 0u);
    EXPECT_EQ(silent->receivedBytes, 0u);
    EXPECT_EQ(silent->peerSendShutdown, 1);
    EXPECT_EQ(silent->peerSendAborted + peer->peerSendAborted, 0);
    EXPECT_FALSE(silent->shutdownAfterEnd || peer->shutdownAfterEnd);
}

TEST_F(QuicStreamStart, StreamWithoutImmediateFlagIsAnnouncedByItsFirstData) {
    StreamRecord* lazy = OpenWith(QUIC_STREAM_START_FLAG_NONE);
    ASSERT_TRUE(pair.events.WaitFor([&] { return lazy->startComplete == 1; }));
    EXPECT_EQ(lazy->startStatus, QUIC_STATUS_SUCCESS);
    // Nothing reaches the peer while nothing is sent.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(PeerStreamCount(), 0u);
    std::string data = "first bytes";
    QUIC_BUFFER buffer = BufferOf(data);
    ASSERT_EQ(pair.api->StreamSend(lazy->handle, &buffer, 1, QUIC_SEND_FLAG_NONE, nullptr),
              QUIC_STATUS_SUCCESS);
    ASSERT_TRUE(pair.events.WaitFor([&] {
        return client->peerStreams.size() == 1 && client->peerStreams[0]->received == data;
    }));
}

}  // namespace
}  // namespace quictest
