// The relay's control connection on its own: batches cut into messages of
// the size asked for, written whole under concurrent writers and partial
// writes, and read back from whatever pieces the stream delivers.
#include "net/ControlLink.h"

#include <gtest/gtest.h>

#include <array>
#include <future>
#include <map>
#include <memory>
#include <thread>

#include "NetTestSupport.h"
#include "net/TcpRelay.h"

using namespace nettest;

namespace {

// A connected pair on loopback: `local` for the link, `remote` for the test.
struct Pair {
    Pair() {
        TcpSocket listener(kInvalidSocket);
        const int port = FreePort();
        if (!Ok(listener.Create(AF_INET6)) || !Ok(listener.BindAndListen(port)))
            return;
        local = Dial("127.0.0.1", port);
        remote = listener.Accept();
        SetTimeouts(remote);
    }
    TcpSocket local{kInvalidSocket};
    TcpSocket remote{kInvalidSocket};
};

// Small buffers and a short send timeout, so a large batch leaves the
// link's writes partial (some bytes sent) or empty (the timeout ran out).
// Windows leaves a socket unusable once a send timed out: there only the
// buffer is small.
void ForcePartialWrites(const TcpSocket& socket) {
    platform::SetSendBuffer(socket.Handle(), 4096);
#ifndef _WIN32
    socket.SetSendTimeout(std::chrono::milliseconds(20));
#endif
}

bool ReadMessage(const TcpSocket& from, RelayHeader& header, std::vector<std::uint8_t>& payload) {
    std::array<std::uint8_t, kRelayHeaderSize> head;
    if (from.Receive(head.data(), head.size(), true) != static_cast<int>(head.size()))
        return false;
    header = DecodeRelayHeader(head);
    if (header.length > kRelayMaxPayload)
        return false;
    payload.resize(header.length);
    return header.length == 0 ||
           from.Receive(payload.data(), payload.size(), true) == static_cast<int>(header.length);
}

TEST(ControlLinkSend, BatchIsCutIntoMessagesOfAtMostTheLimitAndSurvivesPartialWrites) {
    Pair pair;
    ASSERT_TRUE(pair.remote.IsValid());
    ForcePartialWrites(pair.local);
    ControlLink link(pair.local);
    // More pieces than one gather call takes, with a short last message.
    const auto data = Pattern(1500 * 1000 + 321, 11);
    RelayBatch batch;
    batch.Data(77, data, kRelayClientPayload);
    EXPECT_EQ(batch.Messages(), 1501u);
    // The reader starts late, so the writer meets a full buffer many times.
    auto sent = std::async(std::launch::async, [&] { return link.Send(batch); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::vector<std::uint8_t> all;
    RelayHeader header;
    std::vector<std::uint8_t> payload;
    while (all.size() < data.size() && ReadMessage(pair.remote, header, payload)) {
        if (header.type != RELAY_DATA || header.connA != 77u || header.length < 1 ||
            header.length > kRelayClientPayload) {
            ADD_FAILURE() << "message " << header.type << " for " << header.connA << " of "
                          << header.length << " bytes after " << all.size();
            break;
        }
        all.insert(all.end(), payload.begin(), payload.end());
    }
    if (all.size() < data.size())
        link.Shutdown();  // frees the writer
    EXPECT_EQ(sent.get(), NetError::None);
    EXPECT_EQ(all, data);
    // Nothing beyond the batch, and a plain message after it is whole too.
    ASSERT_EQ(link.Send(RELAY_CLOSE, 77, 5, 6), NetError::None);
    ASSERT_TRUE(ReadMessage(pair.remote, header, payload));
    EXPECT_EQ(header.type, RELAY_CLOSE);
    EXPECT_EQ(header.connB, 5u);
    EXPECT_EQ(header.status, 6u);
    EXPECT_EQ(header.length, 0u);
}

TEST(ControlLinkSend, ConcurrentWritersNeverSplitEachOthersMessages) {
    Pair pair;
    ASSERT_TRUE(pair.remote.IsValid());
    ForcePartialWrites(pair.local);
    ControlLink link(pair.local);
    constexpr int kWriters = 4;
    constexpr std::size_t kEach = 600000;
    std::vector<std::future<bool>> writers;
    for (int w = 0; w < kWriters; ++w)
        writers.push_back(std::async(std::launch::async, [&link, w] {
            const auto data = Pattern(kEach, 200 + w);
            RelayBatch batch;
            // Reads of varied sizes, as a pump gets them.
            for (std::size_t at = 0, step = 1; at < data.size();
                 at += step, step = step * 7 % 65537)
                if (batch.Data(w, std::span(data).subspan(at, std::min(step, data.size() - at)),
                               kRelayClientPayload);
                    !Ok(link.Send(batch)))
                    return false;
            return true;
        }));
    std::map<std::uint64_t, std::vector<std::uint8_t>> got;
    RelayHeader header;
    std::vector<std::uint8_t> payload;
    std::size_t total = 0;
    while (total < kWriters * kEach && ReadMessage(pair.remote, header, payload)) {
        if (header.type != RELAY_DATA || header.connA >= kWriters ||
            header.length > kRelayClientPayload) {
            ADD_FAILURE() << "message " << header.type << " for " << header.connA << " of "
                          << header.length << " bytes after " << total;
            break;
        }
        got[header.connA].insert(got[header.connA].end(), payload.begin(), payload.end());
        total += payload.size();
    }
    if (total < kWriters * kEach)
        link.Shutdown();  // frees the writers
    for (auto& writer : writers)
        EXPECT_TRUE(writer.get());
    for (int w = 0; w < kWriters; ++w)
        EXPECT_EQ(got[w], Pattern(kEach, 200 + w)) << "writer " << w;
}

std::vector<std::uint8_t> Message(std::uint32_t type, std::uint64_t connA,
                                  const std::vector<std::uint8_t>& payload, std::uint64_t length) {
    const auto head = EncodeRelayHeader({type, connA, 0, 0, length});
    std::vector<std::uint8_t> bytes(head.size() + payload.size());
    std::copy(head.begin(), head.end(), bytes.begin());
    std::copy(payload.begin(), payload.end(), bytes.begin() + static_cast<long>(head.size()));
    return bytes;
}

TEST(ControlLinkRead, MessagesComeWholeFromAnyCutOfTheStream) {
    Pair pair;
    ASSERT_TRUE(pair.remote.IsValid());
    ControlLink link(pair.local);
    // Small and largest messages back to back, then sent in awkward pieces:
    // a header split in two, many messages in one write, one message over
    // several writes.
    std::vector<std::vector<std::uint8_t>> payloads;
    std::vector<std::uint8_t> stream;
    for (std::size_t i = 0; i < 400; ++i) {
        const std::size_t size = i % 50 == 7  ? kRelayMaxPayload
                                 : i % 5 == 0 ? 0
                                              : 1 + i * 37 % 1000;
        payloads.push_back(Pattern(size, static_cast<std::uint32_t>(i)));
        const auto bytes = Message(RELAY_DATA, i, payloads.back(), size);
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    }
    auto writer = std::async(std::launch::async, [&] {
        std::size_t at = 0;
        for (std::size_t step = 5; at < stream.size(); step = step * 13 % 150001 + 1) {
            const std::size_t piece = std::min(step, stream.size() - at);
            if (pair.remote.Send(stream.data() + at, piece) != static_cast<int>(piece))
                return false;
            at += piece;
        }
        return true;
    });
    RelayHeader header;
    std::span<const std::uint8_t> payload;
    for (std::size_t i = 0; i < payloads.size(); ++i) {
        ASSERT_EQ(link.Read(header, payload), NetError::None) << "message " << i;
        ASSERT_EQ(header.connA, i);
        ASSERT_TRUE(
            std::equal(payload.begin(), payload.end(), payloads[i].begin(), payloads[i].end()))
            << "message " << i;
    }
    EXPECT_TRUE(writer.get());
    EXPECT_FALSE(link.HasMessage());
    // Half a message is not one; the rest makes it whole.
    const auto last = Message(RELAY_CLOSE, 9, {1, 2, 3}, 3);
    ASSERT_EQ(pair.remote.Send(last.data(), 20), 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto rest = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return pair.remote.Send(last.data() + 20, last.size() - 20);
    });
    ASSERT_EQ(link.Read(header, payload), NetError::None);
    EXPECT_EQ(rest.get(), static_cast<int>(last.size() - 20));
    EXPECT_EQ(header.type, RELAY_CLOSE);
    EXPECT_EQ(std::vector<std::uint8_t>(payload.begin(), payload.end()),
              (std::vector<std::uint8_t>{1, 2, 3}));
    // The end of the stream ends reading.
    pair.remote.Close();
    EXPECT_EQ(link.Read(header, payload), NetError::Closed);
}

TEST(ControlLinkRead, OversizedLengthIsRefusedBeforeAnyPayloadIsAwaited) {
    Pair pair;
    ASSERT_TRUE(pair.remote.IsValid());
    ControlLink link(pair.local);
    const auto bytes = Message(RELAY_DATA, 1, {}, kRelayMaxPayload + 1);
    ASSERT_EQ(pair.remote.Send(bytes.data(), bytes.size()), static_cast<int>(bytes.size()));
    RelayHeader header;
    std::span<const std::uint8_t> payload;
    // No payload follows: waiting for one would end in Closed (the socket's
    // own time limit), not Oversize.
    EXPECT_EQ(link.Read(header, payload), NetError::Oversize);
}

}  // namespace
