#include "QuicHarness.h"

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <ctime>

namespace quictest {

const char kAlpn[] = "vtrtest";

TestCertificate MakeSelfSignedCertificate() {
    gnutls_x509_privkey_t key;
    gnutls_x509_crt_t crt;
    gnutls_x509_privkey_init(&key);
    gnutls_x509_crt_init(&crt);
    gnutls_x509_privkey_generate(key, GNUTLS_PK_ECDSA,
                                 GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP256R1), 0);
    gnutls_x509_crt_set_version(crt, 3);
    unsigned char serial[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    gnutls_x509_crt_set_serial(crt, serial, sizeof serial);
    time_t now = time(nullptr);
    gnutls_x509_crt_set_activation_time(crt, now - 3600);
    gnutls_x509_crt_set_expiration_time(crt, now + 86400);
    gnutls_x509_crt_set_dn(crt, "CN=localhost", nullptr);
    gnutls_x509_crt_set_subject_alt_name(crt, GNUTLS_SAN_DNSNAME, "localhost", 9,
                                         GNUTLS_FSAN_APPEND);
    gnutls_x509_crt_set_key(crt, key);
    gnutls_x509_crt_sign2(crt, crt, key, GNUTLS_DIG_SHA256, 0);
    gnutls_datum_t certOut{};
    gnutls_datum_t keyOut{};
    gnutls_x509_crt_export2(crt, GNUTLS_X509_FMT_PEM, &certOut);
    gnutls_x509_privkey_export2(key, GNUTLS_X509_FMT_PEM, &keyOut);
    TestCertificate result{std::string(reinterpret_cast<char*>(certOut.data), certOut.size),
                           std::string(reinterpret_cast<char*>(keyOut.data), keyOut.size)};
    gnutls_free(certOut.data);
    gnutls_free(keyOut.data);
    gnutls_x509_crt_deinit(crt);
    gnutls_x509_privkey_deinit(key);
    return result;
}

QUIC_STATUS QUIC_API StreamCallback(HQUIC stream, void* context, QUIC_STREAM_EVENT* event) {
    auto* record = static_cast<StreamRecord*>(context);
    bool close = false;
    {
        std::lock_guard guard(record->events->lock);
        if (record->shutdownComplete > 0)
            record->shutdownAfterEnd = true;
        switch (event->Type) {
            case QUIC_STREAM_EVENT_START_COMPLETE:
                ++record->startComplete;
                record->startStatus = event->START_COMPLETE.Status;
                break;
            case QUIC_STREAM_EVENT_RECEIVE:
                record->receivedBytes += event->RECEIVE.TotalBufferLength;
                ++record->receiveEvents;
                for (uint32_t i = 0; i < event->RECEIVE.BufferCount && record->keepData; ++i)
                    record->received.append(
                        reinterpret_cast<const char*>(event->RECEIVE.Buffers[i].Buffer),
                        event->RECEIVE.Buffers[i].Length);
                break;
            case QUIC_STREAM_EVENT_SEND_COMPLETE:
                ++record->sendComplete;
                if (event->SEND_COMPLETE.Canceled)
                    ++record->sendCanceled;
                record->completedContexts.push_back(event->SEND_COMPLETE.ClientContext);
                break;
            case QUIC_STREAM_EVENT_PEER_SEND_SHUTDOWN:
                ++record->peerSendShutdown;
                break;
            case QUIC_STREAM_EVENT_PEER_SEND_ABORTED:
                ++record->peerSendAborted;
                record->peerSendAbortCode = event->PEER_SEND_ABORTED.ErrorCode;
                break;
            case QUIC_STREAM_EVENT_PEER_RECEIVE_ABORTED:
                ++record->peerReceiveAborted;
                break;
            case QUIC_STREAM_EVENT_SEND_SHUTDOWN_COMPLETE:
                ++record->sendShutdownComplete;
                break;
            case QUIC_STREAM_EVENT_SOCKET_READY:
                break;  // no socket is attached here
            case QUIC_STREAM_EVENT_SHUTDOWN_COMPLETE:
                ++record->shutdownComplete;
                record->connectionShutdown = event->SHUTDOWN_COMPLETE.ConnectionShutdown;
                close = record->closeOnShutdown;
                break;
        }
    }
    if (event->Type == QUIC_STREAM_EVENT_RECEIVE && record->onReceive)
        for (uint32_t i = 0; i < event->RECEIVE.BufferCount; ++i)
            record->onReceive(*record, event->RECEIVE.Buffers[i].Buffer,
                              event->RECEIVE.Buffers[i].Length);
    if (close)
        record->api->StreamClose(stream);
    record->events->Notify();
    return QUIC_STATUS_SUCCESS;
}

QUIC_STATUS QUIC_API ConnectionCallback(HQUIC connection, void* context,
                                        QUIC_CONNECTION_EVENT* event) {
    auto* record = static_cast<ConnectionRecord*>(context);
    bool close = false;
    StreamRecord* peerStream = nullptr;
    if (event->Type == QUIC_CONNECTION_EVENT_PEER_STREAM_STARTED) {
        peerStream = record->makeStream();
        peerStream->handle = event->PEER_STREAM_STARTED.Stream;
        record->api->SetCallbackHandler(peerStream->handle, reinterpret_cast<void*>(StreamCallback),
                                        peerStream);
        record->api->StreamReceiveSetEnabled(peerStream->handle, TRUE);
        if (record->onPeerStream)
            record->onPeerStream(*peerStream);
    }
    {
        std::lock_guard guard(record->events->lock);
        if (record->shutdownComplete > 0)
            record->eventAfterEnd = true;
        switch (event->Type) {
            case QUIC_CONNECTION_EVENT_CONNECTED:
                ++record->connected;
                record->alpn.assign(reinterpret_cast<const char*>(event->CONNECTED.NegotiatedAlpn),
                                    event->CONNECTED.NegotiatedAlpnLength);
                break;
            case QUIC_CONNECTION_EVENT_SHUTDOWN_INITIATED_BY_TRANSPORT:
                ++record->shutdownByTransport;
                record->transportStatus = event->SHUTDOWN_INITIATED_BY_TRANSPORT.Status;
                break;
            case QUIC_CONNECTION_EVENT_SHUTDOWN_INITIATED_BY_PEER:
                ++record->shutdownByPeer;
                record->peerErrorCode = event->SHUTDOWN_INITIATED_BY_PEER.ErrorCode;
                break;
            case QUIC_CONNECTION_EVENT_SHUTDOWN_COMPLETE:
                ++record->shutdownComplete;
                close = record->closeOnShutdown;
                break;
            case QUIC_CONNECTION_EVENT_PEER_STREAM_STARTED:
                record->peerStreams.push_back(peerStream);
                break;
            default:
                break;
        }
    }
    if (close)
        record->api->ConnectionClose(connection);
    record->events->Notify();
    return QUIC_STATUS_SUCCESS;
}

QuicPair::QuicPair() {
    Open(Options());
}

QuicPair::QuicPair(const Options& options) {
    Open(options);
}

void QuicPair::Open(const Options& options) {
    static const TestCertificate certificate = MakeSelfSignedCertificate();
    ASSERT_EQ(MsQuicOpen2(&api), QUIC_STATUS_SUCCESS);
    QUIC_REGISTRATION_CONFIG serverReg{"test-server", QUIC_EXECUTION_PROFILE_TYPE_MAX_THROUGHPUT};
    QUIC_REGISTRATION_CONFIG clientReg{"test-client", QUIC_EXECUTION_PROFILE_TYPE_MAX_THROUGHPUT};
    ASSERT_EQ(api->RegistrationOpen(&serverReg, &serverRegistration), QUIC_STATUS_SUCCESS);
    ASSERT_EQ(api->RegistrationOpen(&clientReg, &clientRegistration), QUIC_STATUS_SUCCESS);

    QUIC_SETTINGS settings{};
    settings.IdleTimeoutMs = options.idleTimeoutMs;
    settings.IsSet.IdleTimeoutMs = TRUE;
    settings.HandshakeIdleTimeoutMs = options.handshakeTimeoutMs;
    settings.IsSet.HandshakeIdleTimeoutMs = TRUE;
    settings.PeerBidiStreamCount = options.peerBidiStreamCount;
    settings.IsSet.PeerBidiStreamCount = TRUE;
    settings.PeerUnidiStreamCount = 16;
    settings.IsSet.PeerUnidiStreamCount = TRUE;
    settings.DatagramReceiveEnabled = TRUE;
    settings.IsSet.DatagramReceiveEnabled = TRUE;

    QUIC_SETTINGS serverSettings = settings;
    if (options.serverMaxUdpPayload != 0) {
        serverSettings.MaxUdpPayloadSize = options.serverMaxUdpPayload;
        serverSettings.IsSet.MaxUdpPayloadSize = TRUE;
    }

    QUIC_BUFFER serverAlpn{
        static_cast<uint32_t>(options.serverAlpn.size()),
        reinterpret_cast<uint8_t*>(const_cast<char*>(options.serverAlpn.data()))};
    QUIC_BUFFER clientAlpn{
        static_cast<uint32_t>(options.clientAlpn.size()),
        reinterpret_cast<uint8_t*>(const_cast<char*>(options.clientAlpn.data()))};
    ASSERT_EQ(api->ConfigurationOpen(serverRegistration, &serverAlpn, 1, &serverSettings,
                                     sizeof serverSettings, nullptr, &serverConfiguration),
              QUIC_STATUS_SUCCESS);
    ASSERT_EQ(api->ConfigurationOpen(clientRegistration, &clientAlpn, 1, &settings, sizeof settings,
                                     nullptr, &clientConfiguration),
              QUIC_STATUS_SUCCESS);

    QUIC_CERTIFICATE_PEM pem{certificate.certificatePem.c_str(),
                             static_cast<uint32_t>(certificate.certificatePem.size()),
                             certificate.keyPem.c_str(),
                             static_cast<uint32_t>(certificate.keyPem.size())};
    QUIC_CREDENTIAL_CONFIG serverCred{};
    serverCred.Type = QUIC_CREDENTIAL_TYPE_CERTIFICATE_PEM;
    serverCred.Flags = QUIC_CREDENTIAL_FLAG_NONE;
    serverCred.CertificatePem = &pem;
    ASSERT_EQ(api->ConfigurationLoadCredential(serverConfiguration, &serverCred),
              QUIC_STATUS_SUCCESS);
    QUIC_CREDENTIAL_CONFIG clientCred{};
    clientCred.Type = QUIC_CREDENTIAL_TYPE_NONE;
    clientCred.Flags =
        options.clientValidates
            ? QUIC_CREDENTIAL_FLAG_CLIENT
            : static_cast<QUIC_CREDENTIAL_FLAGS>(QUIC_CREDENTIAL_FLAG_CLIENT |
                                                 QUIC_CREDENTIAL_FLAG_NO_CERTIFICATE_VALIDATION);
    ASSERT_EQ(api->ConfigurationLoadCredential(clientConfiguration, &clientCred),
              QUIC_STATUS_SUCCESS);

    ASSERT_EQ(api->ListenerOpen(serverRegistration, ListenerCallback, this, &listener),
              QUIC_STATUS_SUCCESS);
    QUIC_ADDR address{};
    QuicAddrSetFamily(&address, QUIC_ADDRESS_FAMILY_INET);
    address.Ipv4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // An ephemeral port: find it by binding a probe socket first.
    for (int attempt = 0; attempt < 20 && port == 0; ++attempt) {
        uint16_t candidate = static_cast<uint16_t>(20000 + (rand() % 30000));
        QuicAddrSetPort(&address, candidate);
        if (api->ListenerStart(listener, &serverAlpn, 1, &address) == QUIC_STATUS_SUCCESS)
            port = candidate;
    }
    ASSERT_NE(port, 0);
}

QUIC_STATUS QUIC_API QuicPair::ListenerCallback(HQUIC, void* context, QUIC_LISTENER_EVENT* event) {
    auto* pair = static_cast<QuicPair*>(context);
    if (event->Type != QUIC_LISTENER_EVENT_NEW_CONNECTION)
        return QUIC_STATUS_NOT_SUPPORTED;
    HQUIC connection = event->NEW_CONNECTION.Connection;
    QUIC_STATUS status =
        pair->api->ConnectionSetConfiguration(connection, pair->serverConfiguration);
    if (QUIC_FAILED(status))
        return status;
    auto record = std::make_unique<ConnectionRecord>();
    record->events = &pair->events;
    record->api = pair->api;
    record->handle = connection;
    record->makeStream = [pair] { return pair->NewStreamRecord(); };
    record->onPeerStream = pair->serverPeerStream;
    ConnectionRecord* raw = record.get();
    {
        std::lock_guard guard(pair->recordLock);
        pair->connections.push_back(std::move(record));
    }
    {
        std::lock_guard guard(pair->events.lock);
        pair->serverConnections.push_back(raw);
    }
    pair->api->SetCallbackHandler(connection, reinterpret_cast<void*>(ConnectionCallback), raw);
    pair->events.Notify();
    return QUIC_STATUS_SUCCESS;
}

ConnectionRecord* QuicPair::Connect(uint16_t targetPort) {
    auto record = std::make_unique<ConnectionRecord>();
    record->events = &events;
    record->api = api;
    record->makeStream = [this] { return NewStreamRecord(); };
    record->onPeerStream = clientPeerStream;
    ConnectionRecord* raw = record.get();
    {
        std::lock_guard guard(recordLock);
        connections.push_back(std::move(record));
    }
    EXPECT_EQ(api->ConnectionOpen(clientRegistration, ConnectionCallback, raw, &raw->handle),
              QUIC_STATUS_SUCCESS);
    EXPECT_EQ(api->ConnectionStart(raw->handle, clientConfiguration, QUIC_ADDRESS_FAMILY_INET,
                                   "127.0.0.1", targetPort != 0 ? targetPort : port),
              QUIC_STATUS_SUCCESS);
    return raw;
}

ConnectionRecord* QuicPair::LastServerConnection() {
    std::lock_guard guard(events.lock);
    return serverConnections.empty() ? nullptr : serverConnections.back();
}

bool QuicPair::ConnectBoth(ConnectionRecord*& client, ConnectionRecord*& server) {
    size_t before;
    {
        std::lock_guard guard(events.lock);
        before = serverConnections.size();
    }
    client = Connect();
    bool ok = events.WaitFor([&] {
        return client->connected == 1 && serverConnections.size() > before &&
               serverConnections.back()->connected == 1;
    });
    server = LastServerConnection();
    return ok;
}

StreamRecord* QuicPair::NewStreamRecord() {
    auto record = std::make_unique<StreamRecord>();
    record->events = &events;
    record->api = api;
    StreamRecord* raw = record.get();
    std::lock_guard guard(recordLock);
    streams.push_back(std::move(record));
    return raw;
}

StreamRecord* QuicPair::OpenStream(ConnectionRecord* connection) {
    StreamRecord* record = NewStreamRecord();
    EXPECT_EQ(api->StreamOpen(connection->handle, QUIC_STREAM_OPEN_FLAG_NONE, StreamCallback,
                              record, &record->handle),
              QUIC_STATUS_SUCCESS);
    EXPECT_EQ(api->StreamStart(record->handle, QUIC_STREAM_START_FLAG_IMMEDIATE),
              QUIC_STATUS_SUCCESS);
    return record;
}

void QuicPair::CloseAll() {
    if (closed)
        return;
    closed = true;
    if (listener != nullptr)
        api->ListenerClose(listener);
    // Connections still open are ended by closing their registrations.
    if (serverConfiguration != nullptr)
        api->ConfigurationClose(serverConfiguration);
    if (clientConfiguration != nullptr)
        api->ConfigurationClose(clientConfiguration);
    if (clientRegistration != nullptr)
        api->RegistrationClose(clientRegistration);
    if (serverRegistration != nullptr)
        api->RegistrationClose(serverRegistration);
    if (api != nullptr)
        MsQuicClose(api);
}

QuicPair::~QuicPair() {
    CloseAll();
}

}  // namespace quictest
