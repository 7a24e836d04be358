#include "deploy/DeployChannel.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <future>
#include <thread>

#include "deploy/DeploySender.h"
#include "deploy/DeployTestSupport.h"

using namespace deploy;

namespace {

using namespace std::chrono_literals;
using namespace net;
using deploytest::RawHeader;

TEST(DeployChannelTest, HeaderIsFortyLittleEndianBytes) {
    DeployHeader header;
    header.type = DEPLOY_PATCH;
    header.size = 0x0102030405060708ull;
    header.plainSize = 0x1112131415161718ull;
    header.fileTime = 0x2122232425262728ull;
    header.result = 0x31323334u;
    std::array<std::uint8_t, kDeployHeaderSize> raw{};
    raw.fill(0xee);
    EncodeDeployHeader(header, raw);
    const std::array<std::uint8_t, kDeployHeaderSize> expected{
        3,    0,    0,    0,    0,    0,    0,    0,     // type, reserved
        0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // size
        0x18, 0x17, 0x16, 0x15, 0x14, 0x13, 0x12, 0x11,  // plainSize
        0x28, 0x27, 0x26, 0x25, 0x24, 0x23, 0x22, 0x21,  // fileTime
        0x34, 0x33, 0x32, 0x31, 0,    0,    0,    0};    // result, reserved
    EXPECT_EQ(raw, expected);

    // Reserved bytes set by a peer are ignored.
    raw[4] = raw[5] = raw[36] = raw[39] = 0xff;
    const DeployHeader decoded = DecodeDeployHeader(raw);
    EXPECT_EQ(decoded.type, header.type);
    EXPECT_EQ(decoded.size, header.size);
    EXPECT_EQ(decoded.plainSize, header.plainSize);
    EXPECT_EQ(decoded.fileTime, header.fileTime);
    EXPECT_EQ(decoded.result, header.result);
}

TEST(DeployChannelTest, TableSplitsAtTheFirstCommaAndSkipsTextsWithoutOne) {
    const auto table = BuildTable(
        {L"a.exe,C:\\x\\a.exe", L"no comma here", L" b , c,d ", L",", L"\u00e9t\u00e9.txt,\u00e9"});
    ASSERT_EQ(table.size(), 4u);
    EXPECT_EQ(table[0].local, L"a.exe");
    EXPECT_EQ(table[0].remote, L"C:\\x\\a.exe");
    EXPECT_EQ(table[1].local, L" b ");
    EXPECT_EQ(table[1].remote, L" c,d ");
    EXPECT_EQ(table[2].local, L"");
    EXPECT_EQ(table[2].remote, L"");
    EXPECT_EQ(table[3].remote, L"\u00e9");
}

// Two channels wired back to back the way the QUIC control stream joins
// them: what one side sends lands in the other side's inbox, here in small
// uneven pieces as a stream may deliver them.
struct QuicPair {
    DeployChannel a;
    DeployChannel b;
    QuicPair(std::size_t piece = 7) {
        auto wire = [piece](DeployChannel& to) {
            return [&to, piece](std::span<const std::uint8_t> bytes) {
                for (std::size_t at = 0; at < bytes.size(); at += piece)
                    to.inbox.Push(bytes.subspan(at, std::min(piece, bytes.size() - at)));
                return true;
            };
        };
        a.SetQuicSend(wire(b));
        b.SetQuicSend(wire(a));
    }
};

TEST(DeployChannelTest, QuicMessagesCrossTheInboxesWhole) {
    QuicPair pair;
    DeployHeader header;
    header.type = DEPLOY_FULL;
    header.plainSize = 1234;
    const auto payload = deploytest::SampleContent(5000, 3);
    header.size = payload.size();
    ASSERT_EQ(WriteMessage(pair.a, true, header, payload), DeployError::None);
    DeployHeader empty;
    empty.type = DEPLOY_PATCH;
    empty.result = 1;
    ASSERT_EQ(WriteMessage(pair.a, true, empty, {}), DeployError::None);

    DeployHeader got;
    std::vector<std::uint8_t> gotPayload;
    ASSERT_EQ(ReadMessage(pair.b, true, got, gotPayload), DeployError::None);
    EXPECT_EQ(got.type, DEPLOY_FULL);
    EXPECT_EQ(got.plainSize, 1234u);
    EXPECT_EQ(gotPayload, payload);
    ASSERT_EQ(ReadMessage(pair.b, true, got, gotPayload), DeployError::None);
    EXPECT_EQ(got.type, DEPLOY_PATCH);
    EXPECT_EQ(got.result, 1u);
    EXPECT_TRUE(gotPayload.empty());

    // A header whose payload has not fully arrived is not read yet; closing
    // the inbox then fails the read instead of handing out part of it.
    pair.b.inbox.Push(RawHeader(DEPLOY_FULL, 100));
    pair.b.inbox.Push(std::vector<std::uint8_t>(60, 1));
    auto reader =
        std::async(std::launch::async, [&] { return ReadMessage(pair.b, true, got, gotPayload); });
    EXPECT_EQ(reader.wait_for(50ms), std::future_status::timeout);
    pair.b.inbox.Close();
    ASSERT_EQ(reader.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(reader.get(), DeployError::Channel);
}

TEST(DeployChannelTest, QuicWritesFailWithoutOrWithAFailingStream) {
    DeployChannel channel;
    DeployHeader header;
    header.type = DEPLOY_SIGNATURE;
    EXPECT_EQ(WriteMessage(channel, true, header, {}), DeployError::Channel) << "no stream set";
    int calls = 0;
    channel.SetQuicSend([&](std::span<const std::uint8_t>) { return ++calls < 2; });
    const std::vector<std::uint8_t> payload{1, 2, 3};
    header.size = payload.size();
    EXPECT_EQ(WriteMessage(channel, true, header, payload), DeployError::Channel)
        << "payload send failed";
    EXPECT_EQ(calls, 2) << "header and payload are two sends";
    header.size = 2;
    EXPECT_EQ(WriteMessage(channel, true, header, payload), DeployError::BadMessage)
        << "size must match payload";
}

TEST(DeployChannelTest, OversizedHeaderEndsTheChannel) {
    // QUIC: the inbox is closed, so later reads fail too.
    DeployChannel quic;
    quic.inbox.Push(RawHeader(DEPLOY_FULL, kDeployMaxPayload + 1));
    quic.inbox.Push(RawHeader(DEPLOY_SIGNATURE, 0));
    DeployHeader header;
    std::vector<std::uint8_t> payload;
    EXPECT_EQ(ReadMessage(quic, true, header, payload), DeployError::Oversize);
    EXPECT_TRUE(quic.inbox.IsClosed());
    EXPECT_EQ(ReadMessage(quic, true, header, payload), DeployError::Channel);

    // TCP: the connection is shut down, which the peer sees.
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    DeployChannel tcp;
    ASSERT_EQ(tcp.AdoptConnection(TcpSocket(ends[0])), DeployError::None);
    deploytest::RawPeer peer{TcpSocket(ends[1])};
    ASSERT_TRUE(peer.SendRaw(RawHeader(DEPLOY_SIGNATURE, ~std::uint64_t{0})));
    EXPECT_EQ(ReadMessage(tcp, false, header, payload), DeployError::Oversize);
    EXPECT_TRUE(peer.PeerClosed());
}

TEST(DeployChannelTest, TcpReadsAndWritesWholeMessages) {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    DeployChannel one;
    DeployChannel two;
    ASSERT_EQ(one.AdoptConnection(TcpSocket(ends[0])), DeployError::None);
    ASSERT_EQ(two.AdoptConnection(TcpSocket(ends[1])), DeployError::None);
    deploytest::SetTimeouts(two.Connection(), 5);
    const auto payload = deploytest::SampleContent(3 << 20, 9);  // several socket pieces
    DeployHeader header;
    header.type = DEPLOY_FULL;
    header.size = payload.size();
    header.plainSize = 77;
    auto writer = std::async(std::launch::async, [&] {
        DeployHeader empty;
        empty.type = 9;
        return Ok(WriteMessage(one, false, header, payload)) &&
               Ok(WriteMessage(one, false, empty, {}));
    });
    DeployHeader got;
    std::vector<std::uint8_t> gotPayload;
    ASSERT_EQ(ReadMessage(two, false, got, gotPayload), DeployError::None);
    EXPECT_EQ(got.plainSize, 77u);
    EXPECT_EQ(gotPayload, payload);
    ASSERT_EQ(ReadMessage(two, false, got, gotPayload), DeployError::None);
    EXPECT_EQ(got.type, 9u);
    EXPECT_TRUE(gotPayload.empty());
    EXPECT_TRUE(writer.get());

    // A peer that closes in the middle of a payload fails the read.
    ASSERT_TRUE(deploytest::RawPeer(one.Connection()).SendRaw(RawHeader(DEPLOY_FULL, 100)));
    one.CloseSockets();
    EXPECT_EQ(ReadMessage(two, false, got, gotPayload), DeployError::Channel);
    EXPECT_EQ(WriteMessage(one, false, DeployHeader{}, {}), DeployError::Channel)
        << "a closed channel cannot write";
}

TEST(DeployChannelTest, TcpTellsWhatTheSocketStillHolds) {
    // A real TCP connection on loopback whose reader takes nothing at first
    // and offers a small window, so that sent bytes stay with the sender.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    const int small = 4096;
    ::setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const int dialer = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(dialer, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const int accepted = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    ASSERT_GE(accepted, 0);
    DeployChannel sender;
    DeployChannel reader;
    ASSERT_EQ(sender.AdoptConnection(TcpSocket(dialer)), DeployError::None);
    ASSERT_EQ(reader.AdoptConnection(TcpSocket(accepted)), DeployError::None);
    EXPECT_EQ(HeldByTransport(sender, false), std::optional<std::uint64_t>(0));

    const auto payload = deploytest::SampleContent(256 << 10, 3);
    DeployHeader header;
    header.type = DEPLOY_FULL;
    header.size = payload.size();
    auto writer = std::async(std::launch::async,
                             [&] { return WriteMessage(sender, false, header, payload); });
    EXPECT_TRUE(deploytest::WaitFor([&] { return HeldByTransport(sender, false).value_or(0) > 0; }))
        << "bytes the peer has not taken count as held";
    DeployHeader got;
    std::vector<std::uint8_t> gotPayload;
    ASSERT_EQ(ReadMessage(reader, false, got, gotPayload), DeployError::None);
    EXPECT_EQ(writer.get(), DeployError::None);
    EXPECT_EQ(gotPayload, payload);
    EXPECT_TRUE(deploytest::WaitFor([&] { return HeldByTransport(sender, false) == 0u; }))
        << "once taken, nothing is held";
    sender.CloseSockets();
    EXPECT_EQ(HeldByTransport(sender, false), std::nullopt) << "a closed channel cannot tell";
}

}  // namespace
