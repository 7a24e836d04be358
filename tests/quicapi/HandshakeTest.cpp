// Handshake, ALPN and certificate checks over real UDP on loopback.
#include "QuicHarness.h"

namespace quictest {
namespace {

TEST(QuicHandshake, BothSidesReportConnectedWithTheAlpn) {
    QuicPair pair;
    ConnectionRecord* client = nullptr;
    ConnectionRecord* server = nullptr;
    ASSERT_TRUE(pair.ConnectBoth(client, server));
    EXPECT_EQ(client->alpn, kAlpn);
    EXPECT_EQ(server->alpn, kAlpn);

    // A client-initiated shutdown reaches the server as a peer shutdown.
    pair.api->ConnectionShutdown(client->handle, QUIC_CONNECTION_SHUTDOWN_FLAG_NONE, 7);
    ASSERT_TRUE(pair.events.WaitFor(
        [&] { return client->shutdownComplete == 1 && server->shutdownComplete == 1; }));
    EXPECT_EQ(server->shutdownByPeer, 1);
    EXPECT_EQ(server->peerErrorCode, 7u);
    EXPECT_FALSE(client->eventAfterEnd);
    EXPECT_FALSE(server->eventAfterEnd);
}

TEST(QuicHandshake, ClientOfferingAnotherAlpnGetsNoConnection) {
    QuicPair::Options options;
    options.clientAlpn = "other";
    QuicPair pair(options);
    ConnectionRecord* client = pair.Connect();
    ASSERT_TRUE(pair.events.WaitFor([&] { return client->shutdownComplete == 1; }));
    EXPECT_EQ(client->connected, 0);
    EXPECT_EQ(client->shutdownByTransport, 1);
    EXPECT_EQ(client->transportStatus, QUIC_STATUS_ALPN_NEG_FAILURE);
    EXPECT_EQ(pair.LastServerConnection(), nullptr);
}

TEST(QuicHandshake, ValidatingClientRefusesSelfSignedCertificate) {
    QuicPair::Options options;
    options.clientValidates = true;
    QuicPair pair(options);
    ConnectionRecord* client = pair.Connect();
    ASSERT_TRUE(pair.events.WaitFor([&] { return client->shutdownComplete == 1; }));
    EXPECT_EQ(client->connected, 0);
    EXPECT_EQ(client->shutdownByTransport, 1);
    EXPECT_EQ(client->transportStatus, QUIC_STATUS_BAD_CERTIFICATE);
    // The server learns of the refusal and never reports the connection as up.
    ConnectionRecord* server = pair.LastServerConnection();
    if (server != nullptr) {
        ASSERT_TRUE(pair.events.WaitFor([&] { return server->shutdownComplete == 1; }));
        EXPECT_EQ(server->connected, 0);
    }
}

TEST(QuicHandshake, NothingListeningEndsWithHandshakeTimeout) {
    QuicPair::Options options;
    options.handshakeTimeoutMs = 700;
    QuicPair pair(options);
    // A port nobody serves: the client must give up by itself, not hang.
    ConnectionRecord* client = pair.Connect(static_cast<uint16_t>(pair.port + 1));
    ASSERT_TRUE(pair.events.WaitFor([&] { return client->shutdownComplete == 1; }));
    EXPECT_EQ(client->connected, 0);
    EXPECT_EQ(client->shutdownByTransport, 1);
    EXPECT_EQ(client->transportStatus, QUIC_STATUS_CONNECTION_TIMEOUT);
}

TEST(QuicApi, RejectsBadArguments) {
    const QUIC_API_TABLE* api = nullptr;
    ASSERT_EQ(MsQuicOpen2(&api), QUIC_STATUS_SUCCESS);
    EXPECT_EQ(MsQuicOpen2(nullptr), QUIC_STATUS_INVALID_PARAMETER);
    HQUIC registration = nullptr;
    ASSERT_EQ(api->RegistrationOpen(nullptr, &registration), QUIC_STATUS_SUCCESS);
    HQUIC configuration = nullptr;
    EXPECT_EQ(api->ConfigurationOpen(registration, nullptr, 0, nullptr, 0, nullptr, &configuration),
              QUIC_STATUS_INVALID_PARAMETER);
    QUIC_BUFFER alpn{3, reinterpret_cast<uint8_t*>(const_cast<char*>("abc"))};
    QUIC_SETTINGS settings{};
    EXPECT_EQ(api->ConfigurationOpen(registration, &alpn, 1, &settings, 4, nullptr, &configuration),
              QUIC_STATUS_INVALID_PARAMETER);
    ASSERT_EQ(api->ConfigurationOpen(registration, &alpn, 1, &settings, sizeof settings, nullptr,
                                     &configuration),
              QUIC_STATUS_SUCCESS);
    QUIC_CREDENTIAL_CONFIG empty{};
    empty.Type = QUIC_CREDENTIAL_TYPE_CERTIFICATE_PEM;
    EXPECT_EQ(api->ConfigurationLoadCredential(configuration, &empty),
              QUIC_STATUS_INVALID_PARAMETER);
    QUIC_CERTIFICATE_PEM garbage{"not a cert", 10, "not a key", 9};
    empty.CertificatePem = &garbage;
    EXPECT_EQ(api->ConfigurationLoadCredential(configuration, &empty),
              QUIC_STATUS_INVALID_PARAMETER);

    HQUIC connection = nullptr;
    EXPECT_EQ(api->ConnectionOpen(registration, nullptr, nullptr, &connection),
              QUIC_STATUS_INVALID_PARAMETER);
    ASSERT_EQ(api->ConnectionOpen(registration, ConnectionCallback, nullptr, &connection),
              QUIC_STATUS_SUCCESS);
    // No credentials loaded yet.
    EXPECT_EQ(api->ConnectionStart(connection, configuration, QUIC_ADDRESS_FAMILY_INET, "127.0.0.1",
                                   4433),
              QUIC_STATUS_INVALID_STATE);
    // Wrong handle kinds are refused, not misused.
    EXPECT_EQ(api->ConnectionStart(configuration, connection, QUIC_ADDRESS_FAMILY_INET, "127.0.0.1",
                                   4433),
              QUIC_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(api->StreamSend(connection, nullptr, 0, QUIC_SEND_FLAG_NONE, nullptr),
              QUIC_STATUS_INVALID_PARAMETER);
    HQUIC stream = nullptr;
    ASSERT_EQ(
        api->StreamOpen(connection, QUIC_STREAM_OPEN_FLAG_NONE, StreamCallback, nullptr, &stream),
        QUIC_STATUS_SUCCESS);
    // The connection has not started: the stream cannot start either.
    EXPECT_EQ(api->StreamStart(stream, QUIC_STREAM_START_FLAG_IMMEDIATE),
              QUIC_STATUS_INVALID_STATE);
    EXPECT_EQ(api->StreamShutdown(stream, QUIC_STREAM_SHUTDOWN_FLAG_NONE, 0),
              QUIC_STATUS_INVALID_PARAMETER);
    api->StreamClose(stream);
    api->ConnectionClose(connection);
    api->ConfigurationClose(configuration);
    api->RegistrationClose(registration);
    MsQuicClose(api);
}

}  // namespace
}  // namespace quictest
