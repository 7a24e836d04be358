// How a connection's streams share its packets: a stream with a few bytes
// queued behind a bulk stream waits for one turn of the bulk stream, not for
// the bulk stream's whole backlog.
#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>

#include "QuicHarness.h"

namespace quictest {
namespace {

TEST(QuicSendTurns, FewBytesQueuedBehindABulkStreamWaitOneTurnNotItsBacklog) {
    constexpr size_t kBulk = 32u << 20;
    QuicPair pair;
    // The client's peer streams count what they receive; the small one notes
    // what the bulk one had when its first byte arrived. Client worker only.
    std::mutex countLock;  // guards received
    std::map<const StreamRecord*, uint64_t> received;
    std::atomic<uint64_t> bulkAtSmall{UINT64_MAX};
    std::atomic<uint64_t> bulkTotal{0};
    pair.clientPeerStream = [&](StreamRecord& peer) {
        peer.keepData = false;
        peer.onReceive = [&](StreamRecord& self, const uint8_t* data, size_t length) {
            std::lock_guard guard(countLock);
            if (length > 0 && data[0] == 's') {
                uint64_t others = 0;
                for (const auto& [record, bytes] : received)
                    others += record != &self ? bytes : 0;
                uint64_t unset = UINT64_MAX;
                bulkAtSmall.compare_exchange_strong(unset, others);
                return;
            }
            received[&self] += length;
            bulkTotal = received[&self];
        };
    };
    ConnectionRecord* client = nullptr;
    ConnectionRecord* server = nullptr;
    ASSERT_TRUE(pair.ConnectBoth(client, server));
    StreamRecord* bulk = pair.OpenStream(server);
    StreamRecord* small = pair.OpenStream(server);
    ASSERT_TRUE(
        pair.events.WaitFor([&] { return bulk->startComplete == 1 && small->startComplete == 1; }));

    std::string bulkBytes(kBulk, 'b');
    std::string smallBytes(16, 's');
    QUIC_BUFFER bulkBuffer{static_cast<uint32_t>(bulkBytes.size()),
                           reinterpret_cast<uint8_t*>(bulkBytes.data())};
    QUIC_BUFFER smallBuffer{static_cast<uint32_t>(smallBytes.size()),
                            reinterpret_cast<uint8_t*>(smallBytes.data())};
    ASSERT_EQ(pair.api->StreamSend(bulk->handle, &bulkBuffer, 1, QUIC_SEND_FLAG_NONE, nullptr),
              QUIC_STATUS_SUCCESS);
    // Once the bulk stream is well under way, the small send joins the queue.
    ASSERT_TRUE(pair.events.WaitFor([&] { return bulkTotal.load() >= (1u << 20); }, 30000));
    ASSERT_EQ(pair.api->StreamSend(small->handle, &smallBuffer, 1, QUIC_SEND_FLAG_NONE, nullptr),
              QUIC_STATUS_SUCCESS);
    const uint64_t bulkAtSend = bulkTotal.load();
    ASSERT_TRUE(pair.events.WaitFor(
        [&] { return bulkAtSmall.load() != UINT64_MAX && bulkTotal.load() == kBulk; }, 60000))
        << bulkTotal.load();
    // A turn is at most 256 KiB; what was in flight when the small send was
    // queued adds some. The whole backlog would be tens of MiB.
    const uint64_t atArrival = std::max(bulkAtSmall.load(), bulkAtSend);
    EXPECT_LT(atArrival - bulkAtSend, uint64_t{4} << 20)
        << "at send " << bulkAtSend << ", at arrival " << bulkAtSmall.load();
}

}  // namespace
}  // namespace quictest
