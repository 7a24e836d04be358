// Datagram sizes on the wire, as a relay between client and server sees
// them: Initials padded to 1200 bytes, nothing larger than the receiver
// announces, and datagrams above 1200 bytes only once path MTU discovery has
// found room for them.
#include "LossyRelay.h"
#include "QuicHarness.h"

namespace quictest {
namespace {

constexpr size_t kInitialSize = 1200;
// The largest size path MTU discovery tries on a path it knows nothing of.
constexpr size_t kLargestProbe = 1452;

TEST(QuicDatagrams, InitialsArePaddedAndNoDatagramExceedsWhatItsReceiverAnnounced) {
    constexpr uint16_t kServerLimit = 1300;
    constexpr size_t kSize = 4u << 20;
    QuicPair::Options options;
    options.serverMaxUdpPayload = kServerLimit;
    QuicPair pair(options);
    LossyRelay relay(pair.port, LossyRelay::kClean);
    std::vector<uint8_t> down(kSize, 0x5A);
    std::vector<uint8_t> up(kSize, 0xA5);
    QUIC_BUFFER downBuffer{static_cast<uint32_t>(kSize), down.data()};
    QUIC_BUFFER upBuffer{static_cast<uint32_t>(kSize), up.data()};

    ConnectionRecord* client = pair.Connect(relay.Port());
    client->onPeerStream = [&](StreamRecord& stream) {
        stream.keepData = false;
        stream.api->StreamSend(stream.handle, &upBuffer, 1, QUIC_SEND_FLAG_NONE, nullptr);
    };
    ASSERT_TRUE(pair.events.WaitFor([&] {
        return client->connected == 1 && pair.LastServerConnectionLocked() != nullptr &&
               pair.LastServerConnectionLocked()->connected == 1;
    }));
    // Bytes both ways, so that both sides fill whole packets and probe.
    StreamRecord* mine = pair.OpenStream(pair.LastServerConnection());
    mine->keepData = false;
    ASSERT_EQ(pair.api->StreamSend(mine->handle, &downBuffer, 1, QUIC_SEND_FLAG_NONE, nullptr),
              QUIC_STATUS_SUCCESS);
    ASSERT_TRUE(pair.events.WaitFor(
        [&] {
            return client->peerStreams.size() == 1 &&
                   client->peerStreams[0]->receivedBytes == kSize && mine->receivedBytes == kSize;
        },
        60000));
    // Discovery runs beside the transfer; on loopback its first probe fits.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (relay.Seen(LossyRelay::kToClient).largest <= kServerLimit &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));

    const LossyRelay::Sizes toServer = relay.Seen(LossyRelay::kToServer);
    const LossyRelay::Sizes toClient = relay.Seen(LossyRelay::kToClient);
    ASSERT_FALSE(toServer.initials.empty());
    ASSERT_FALSE(toClient.initials.empty());
    for (size_t size : toServer.initials)
        EXPECT_EQ(size, kInitialSize);
    for (size_t size : toClient.initials)
        EXPECT_EQ(size, kInitialSize);
    // The client never sends more than the server said it accepts ...
    EXPECT_LE(toServer.largest, kServerLimit);
    EXPECT_GT(toServer.datagrams, 100u);
    // ... while the server, told nothing smaller, grows past that once the
    // path has carried a probe, and no further than it probes.
    EXPECT_GT(toClient.largest, kServerLimit);
    EXPECT_LE(toClient.largest, kLargestProbe);
}

TEST(QuicDatagrams, AnnouncedLimitOutsideWhatUdpCarriesIsRefused) {
    const QUIC_API_TABLE* api = nullptr;
    ASSERT_EQ(MsQuicOpen2(&api), QUIC_STATUS_SUCCESS);
    HQUIC registration = nullptr;
    ASSERT_EQ(api->RegistrationOpen(nullptr, &registration), QUIC_STATUS_SUCCESS);
    QUIC_BUFFER alpn{3, reinterpret_cast<uint8_t*>(const_cast<char*>("abc"))};
    for (uint16_t limit : {uint16_t{1199}, uint16_t{65528}, uint16_t{1200}, uint16_t{65527}}) {
        QUIC_SETTINGS settings{};
        settings.MaxUdpPayloadSize = limit;
        settings.IsSet.MaxUdpPayloadSize = TRUE;
        HQUIC configuration = nullptr;
        const QUIC_STATUS status = api->ConfigurationOpen(registration, &alpn, 1, &settings,
                                                          sizeof settings, nullptr, &configuration);
        const bool fits = limit >= 1200 && limit <= 65527;
        EXPECT_EQ(status, fits ? QUIC_STATUS_SUCCESS : QUIC_STATUS_INVALID_PARAMETER) << limit;
        if (configuration != nullptr)
            api->ConfigurationClose(configuration);
    }
    api->RegistrationClose(registration);
    MsQuicClose(api);
}

}  // namespace
}  // namespace quictest
