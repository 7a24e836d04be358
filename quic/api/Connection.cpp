#include "quic/api/Connection.h"

#include <gnutls/crypto.h>
#ifndef _WIN32
#include <netdb.h>
#endif
#include <ngtcp2/ngtcp2_crypto_gnutls.h>
#include <string.h>

#include <algorithm>

#include "quic/api/Configuration.h"
#include "quic/api/Listener.h"
#include "quic/api/Registration.h"
#include "quic/api/StatusMap.h"

namespace quicapi {

namespace {

constexpr uint64_t kMiB = 1024 * 1024;
// Flow-control credit goes back only as the application finishes with bytes,
// so a stream whose reader has stalled keeps up to one stream window of the
// connection's window. The connection window holds sixteen stream windows:
// fifteen stalled streams still leave the others a whole stream window, and
// the bytes a peer can make us hold stay bounded by the connection window.
// Both are fixed (no auto-tuning), so the ratio holds all the time; 4 MiB
// is one stream's bandwidth-delay product at 80 MB/s and 50 ms.
constexpr uint64_t kStreamWindow = 4 * kMiB;
constexpr uint64_t kConnectionWindow = 16 * kStreamWindow;

void RandomCid(ngtcp2_cid& cid) {
    cid.datalen = kCidLength;
    gnutls_rnd(GNUTLS_RND_RANDOM, cid.data, cid.datalen);
}

}  // namespace

// ngtcp2's callbacks, forwarded to the connection and its streams. They run
// inside ngtcp2 calls on the worker; the application may call the API from
// the events they raise because API calls never enter ngtcp2 directly.
struct ConnectionCallbacks {
    static Connection* Of(void* user) { return static_cast<Connection*>(user); }

    static int HandshakeCompleted(ngtcp2_conn*, void* user) {
        Of(user)->OnHandshakeCompleted();
        return 0;
    }
    static int RecvStreamData(ngtcp2_conn*, uint32_t flags, int64_t id, uint64_t offset,
                              const uint8_t* data, size_t length, void* user, void* streamUser) {
        if (streamUser != nullptr)
            static_cast<Stream*>(streamUser)
                ->OnReceive(offset, data, length, (flags & NGTCP2_STREAM_DATA_FLAG_FIN) != 0);
        else
            Of(user)->ExtendReceiveWindow(id, length);
        return 0;
    }
    static int AckedStreamDataOffset(ngtcp2_conn*, int64_t, uint64_t offset, uint64_t length, void*,
                                     void* streamUser) {
        if (streamUser != nullptr)
            static_cast<Stream*>(streamUser)->OnAcked(offset, length);
        return 0;
    }
    static int StreamOpen(ngtcp2_conn*, int64_t id, void* user) {
        Of(user)->OnPeerStream(id);
        return 0;
    }
    static int StreamClose(ngtcp2_conn* conn, uint32_t flags, int64_t id, uint64_t code, void*,
                           void* streamUser) {
        if (streamUser != nullptr)
            static_cast<Stream*>(streamUser)
                ->OnClosed((flags & NGTCP2_STREAM_CLOSE_FLAG_APP_ERROR_CODE_SET) != 0 ? code : 0);
        // A stream the peer opened has ended: it may open another.
        if (!ngtcp2_conn_is_local_stream(conn, id)) {
            if (id & 0x2)
                ngtcp2_conn_extend_max_streams_uni(conn, 1);
            else
                ngtcp2_conn_extend_max_streams_bidi(conn, 1);
        }
        return 0;
    }
    static int StreamReset(ngtcp2_conn*, int64_t, uint64_t, uint64_t code, void*,
                           void* streamUser) {
        if (streamUser != nullptr)
            static_cast<Stream*>(streamUser)->OnPeerReset(code);
        return 0;
    }
    static int ExtendMaxLocalStreams(ngtcp2_conn*, uint64_t, void* user) {
        Of(user)->retryPendingStarts = true;
        return 0;
    }
    static int ExtendMaxStreamData(ngtcp2_conn*, int64_t, uint64_t, void* user, void* streamUser) {
        if (streamUser != nullptr) {
            auto* stream = static_cast<Stream*>(streamUser);
            stream->flowBlocked = false;
            Of(user)->ScheduleSend(stream);
        }
        return 0;
    }
    static void Rand(uint8_t* dest, size_t length, const ngtcp2_rand_ctx*) {
        gnutls_rnd(GNUTLS_RND_RANDOM, dest, length);
    }
    static int GetNewConnectionId(ngtcp2_conn*, ngtcp2_cid* cid, uint8_t* token, size_t length,
                                  void* user) {
        cid->datalen = length;
        if (gnutls_rnd(GNUTLS_RND_RANDOM, cid->data, length) != 0 ||
            gnutls_rnd(GNUTLS_RND_KEY, token, NGTCP2_STATELESS_RESET_TOKENLEN) != 0)
            return NGTCP2_ERR_CALLBACK_FAILURE;
        Connection* connection = Of(user);
        connection->cids[CidKey(cid->data, cid->datalen)] = *cid;
        connection->home->MapCid(*cid, connection);
        return 0;
    }
    static int RemoveConnectionId(ngtcp2_conn*, const ngtcp2_cid* cid, void* user) {
        Connection* connection = Of(user);
        connection->cids.erase(CidKey(cid->data, cid->datalen));
        connection->home->UnmapCid(*cid);
        return 0;
    }
    static int RecvDatagram(ngtcp2_conn*, uint32_t, const uint8_t* data, size_t length,
                            void* user) {
        QUIC_BUFFER buffer{static_cast<uint32_t>(length), const_cast<uint8_t*>(data)};
        QUIC_CONNECTION_EVENT event{};
        event.Type = QUIC_CONNECTION_EVENT_DATAGRAM_RECEIVED;
        event.DATAGRAM_RECEIVED.Buffer = &buffer;
        Of(user)->Indicate(event);
        return 0;
    }
    static ngtcp2_conn* GetConn(ngtcp2_crypto_conn_ref* ref) {
        return static_cast<Connection*>(ref->user_data)->conn;
    }
};

Connection::Connection(std::shared_ptr<Registration> owner, bool isServer)
    : QUIC_HANDLE(QuicHandleType::Connection), registration(std::move(owner)), server(isServer) {
    connRef.get_conn = ConnectionCallbacks::GetConn;
    connRef.user_data = this;
    appOwned = !server;
}

Connection::~Connection() {
    if (conn != nullptr)
        ngtcp2_conn_del(conn);
}

std::shared_ptr<Worker> Connection::GetWorker() const {
    std::lock_guard guard(stateLock);
    return worker;
}

// ---------------------------------------------------------------- API

QUIC_STATUS Connection::Start(std::shared_ptr<Configuration> config, QUIC_ADDRESS_FAMILY family,
                              const char* serverName, uint16_t serverPort) {
    if (server || closeCalled)
        return QUIC_STATUS_INVALID_STATE;
    if (config == nullptr || serverName == nullptr || serverName[0] == '\0' || serverPort == 0)
        return QUIC_STATUS_INVALID_PARAMETER;
    if (family != QUIC_ADDRESS_FAMILY_UNSPEC && family != QUIC_ADDRESS_FAMILY_INET &&
        family != QUIC_ADDRESS_FAMILY_INET6)
        return QUIC_STATUS_INVALID_PARAMETER;
    if (!config->Loaded() || !config->IsClient())
        return QUIC_STATUS_INVALID_STATE;
    ConnectionState idle = ConnectionState::Idle;
    if (!state.compare_exchange_strong(idle, ConnectionState::Started))
        return QUIC_STATUS_INVALID_STATE;

    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(serverName, nullptr, &hints, &found) != 0 || found == nullptr) {
        state = ConnectionState::Idle;
        return QUIC_STATUS_UNREACHABLE;
    }
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> results(found, freeaddrinfo);
    memcpy(&remote.storage, found->ai_addr, found->ai_addrlen);
    remote.length = found->ai_addrlen;
    SocketAddress bindTo;
    bindTo.storage.ss_family = found->ai_family;
    if (found->ai_family == AF_INET) {
        reinterpret_cast<sockaddr_in*>(&remote.storage)->sin_port = htons(serverPort);
        bindTo.length = sizeof(sockaddr_in);
    } else {
        reinterpret_cast<sockaddr_in6*>(&remote.storage)->sin6_port = htons(serverPort);
        bindTo.length = sizeof(sockaddr_in6);
    }
    std::unique_ptr<UdpSocket> socket;
    QUIC_STATUS status = UdpSocket::Open(bindTo, socket);
    if (QUIC_FAILED(status)) {
        state = ConnectionState::Idle;
        return status;
    }
    {
        std::lock_guard guard(stateLock);
        configuration = std::move(config);
    }
    auto self = shared_from_this();
    auto newWorker =
        Worker::Start(std::move(socket), [self, host = std::string(serverName)](Worker& on) {
            self->StartClientOnWorker(on, host);
        });
    if (newWorker == nullptr) {
        state = ConnectionState::Idle;
        return QUIC_STATUS_INTERNAL_ERROR;
    }
    {
        std::lock_guard guard(stateLock);
        worker = newWorker;
    }
    registration->AddWorker(std::move(newWorker));
    return QUIC_STATUS_SUCCESS;
}

QUIC_STATUS Connection::SetConfiguration(std::shared_ptr<Configuration> config) {
    if (config == nullptr)
        return QUIC_STATUS_INVALID_PARAMETER;
    if (!server)
        return QUIC_STATUS_INVALID_STATE;
    if (!config->Loaded() || config->IsClient())
        return QUIC_STATUS_INVALID_PARAMETER;
    std::lock_guard guard(stateLock);
    if (configuration != nullptr)
        return QUIC_STATUS_INVALID_STATE;
    configuration = std::move(config);
    return QUIC_STATUS_SUCCESS;
}

void Connection::Shutdown(QUIC_CONNECTION_SHUTDOWN_FLAGS flags, QUIC_UINT62 errorCode) {
    auto current = GetWorker();
    if (current == nullptr || Ended())
        return;
    auto self = shared_from_this();
    current->Post([self, flags, errorCode] {
        if (self->Ended() || self->conn == nullptr)
            return;
        ConnectionEnd end;
        end.byApp = true;
        end.errorCode = errorCode;
        end.status = QUIC_STATUS_SUCCESS;
        if (flags & QUIC_CONNECTION_SHUTDOWN_FLAG_SILENT) {
            self->End(end);
            return;
        }
        ngtcp2_connection_close_error error;
        ngtcp2_connection_close_error_set_application_error(&error, errorCode, nullptr, 0);
        self->CloseLocally(error, QUIC_STATUS_SUCCESS, true);
    });
}

void Connection::Close() {
    if (closeCalled.exchange(true))
        return;
    auto self = shared_from_this();
    auto current = GetWorker();
    if (current != nullptr && current->OnThread())
        appClosed = true;
    if (current != nullptr && !Ended()) {
        closeInProgress = true;
        current->RunAndWait([self] {
            if (self->Ended() || self->conn == nullptr)
                return;
            ngtcp2_connection_close_error error;
            ngtcp2_connection_close_error_set_application_error(&error, 0, nullptr, 0);
            self->CloseLocally(error, QUIC_STATUS_ABORTED, true);
        });
    }
    appClosed = true;
    std::shared_ptr<Connection> drop;
    {
        std::lock_guard guard(stateLock);
        drop = std::move(appRef);
    }
}

// ---------------------------------------------------------------- setup

void Connection::FillTransportParams(ngtcp2_transport_params& params) const {
    TransportSettings settings;
    if (configuration != nullptr)
        settings = configuration->settings;
    params.initial_max_stream_data_bidi_local = kStreamWindow;
    params.initial_max_stream_data_bidi_remote = kStreamWindow;
    params.initial_max_stream_data_uni = kStreamWindow;
    params.initial_max_data = kConnectionWindow;
    params.initial_max_streams_bidi = settings.peerBidiStreamCount;
    params.initial_max_streams_uni = settings.peerUnidiStreamCount;
    params.max_idle_timeout = settings.idleTimeoutMs * NGTCP2_MILLISECONDS;
    params.max_datagram_frame_size = settings.datagramReceiveEnabled ? 65535 : 0;
    params.max_udp_payload_size = settings.maxUdpPayloadSize;
}

bool Connection::CreateNative(const ngtcp2_cid& dcid, const ngtcp2_cid& scid,
                              const ngtcp2_path& path, uint32_t version,
                              const ngtcp2_pkt_hd* header) {
    ngtcp2_callbacks callbacks{};
    if (server) {
        callbacks.recv_client_initial = ngtcp2_crypto_recv_client_initial_cb;
    } else {
        callbacks.client_initial = ngtcp2_crypto_client_initial_cb;
        callbacks.recv_retry = ngtcp2_crypto_recv_retry_cb;
    }
    callbacks.recv_crypto_data = ngtcp2_crypto_recv_crypto_data_cb;
    callbacks.handshake_completed = ConnectionCallbacks::HandshakeCompleted;
    callbacks.encrypt = ngtcp2_crypto_encrypt_cb;
    callbacks.decrypt = ngtcp2_crypto_decrypt_cb;
    callbacks.hp_mask = ngtcp2_crypto_hp_mask_cb;
    callbacks.recv_stream_data = ConnectionCallbacks::RecvStreamData;
    callbacks.acked_stream_data_offset = ConnectionCallbacks::AckedStreamDataOffset;
    callbacks.stream_open = ConnectionCallbacks::StreamOpen;
    callbacks.stream_close = ConnectionCallbacks::StreamClose;
    callbacks.stream_reset = ConnectionCallbacks::StreamReset;
    callbacks.extend_max_local_streams_bidi = ConnectionCallbacks::ExtendMaxLocalStreams;
    callbacks.extend_max_local_streams_uni = ConnectionCallbacks::ExtendMaxLocalStreams;
    callbacks.extend_max_stream_data = ConnectionCallbacks::ExtendMaxStreamData;
    callbacks.rand = ConnectionCallbacks::Rand;
    callbacks.get_new_connection_id = ConnectionCallbacks::GetNewConnectionId;
    callbacks.remove_connection_id = ConnectionCallbacks::RemoveConnectionId;
    callbacks.update_key = ngtcp2_crypto_update_key_cb;
    callbacks.delete_crypto_aead_ctx = ngtcp2_crypto_delete_crypto_aead_ctx_cb;
    callbacks.delete_crypto_cipher_ctx = ngtcp2_crypto_delete_crypto_cipher_ctx_cb;
    callbacks.get_path_challenge_data = ngtcp2_crypto_get_path_challenge_data_cb;
    callbacks.version_negotiation = ngtcp2_crypto_version_negotiation_cb;
    callbacks.recv_datagram = ConnectionCallbacks::RecvDatagram;

    TransportSettings settings;
    if (configuration != nullptr)
        settings = configuration->settings;
    ngtcp2_settings ngSettings;
    ngtcp2_settings_default(&ngSettings);
    ngSettings.initial_ts = Now();
    ngSettings.max_window = kConnectionWindow;
    ngSettings.max_stream_window = kStreamWindow;
    // BBR, not the default CUBIC: this ngtcp2's CUBIC stops growing the window
    // at 2.89 times the largest delivery rate times the smallest RTT ever
    // seen. On a fast local path one lucky sample of tens of microseconds caps
    // the window near 42 KB while the RTT under load is five to ten times
    // that, halving throughput in whichever direction drew the sample. BBR
    // sizes the window with room for acknowledgement aggregation and GSO.
    ngSettings.cc_algo = NGTCP2_CC_ALGO_BBR;
    ngSettings.handshake_timeout = settings.handshakeIdleTimeoutMs * NGTCP2_MILLISECONDS;
    // Datagram sizes stay ngtcp2's: Initials padded to 1200 bytes, nothing
    // larger than 1200 until path MTU discovery has shown the path carries
    // it, and never more than the peer's max_udp_payload_size. Loopback gets
    // no exception: a peer behind it may be a relay to a real network.
    ngtcp2_transport_params params;
    ngtcp2_transport_params_default(&params);
    FillTransportParams(params);
    if (server) {
        ngSettings.token = header->token;
        params.original_dcid = header->dcid;
        params.stateless_reset_token_present = 1;
        gnutls_rnd(GNUTLS_RND_KEY, params.stateless_reset_token,
                   sizeof params.stateless_reset_token);
    }
    int rv = server ? ngtcp2_conn_server_new(&conn, &dcid, &scid, &path, version, &callbacks,
                                             &ngSettings, &params, nullptr, this)
                    : ngtcp2_conn_client_new(&conn, &dcid, &scid, &path, version, &callbacks,
                                             &ngSettings, &params, nullptr, this);
    if (rv != 0) {
        conn = nullptr;
        return false;
    }
    ngtcp2_conn_set_tls_native_handle(conn, tls.Native());
    if (settings.keepAliveIntervalMs != 0)
        ngtcp2_conn_set_keep_alive_timeout(conn,
                                           settings.keepAliveIntervalMs * NGTCP2_MILLISECONDS);
    cids[CidKey(scid.data, scid.datalen)] = scid;
    home->MapCid(scid, this);
    return true;
}

void Connection::StartClientOnWorker(Worker& on, std::string host) {
    home = &on;
    {
        std::lock_guard guard(stateLock);
        if (worker == nullptr)
            worker = on.shared_from_this();
    }
    local = on.Socket().LocalAddress();
    ngtcp2_cid dcid;
    ngtcp2_cid scid;
    RandomCid(dcid);
    RandomCid(scid);
    ngtcp2_path path{{local.Get(), local.length}, {remote.Get(), remote.length}, nullptr};
    on.AddConnection(shared_from_this());
    if (!tls.InitClient(*configuration, host, &connRef) ||
        !CreateNative(dcid, scid, path, NGTCP2_PROTO_VER_V1, nullptr)) {
        QUIC_CONNECTION_EVENT event{};
        event.Type = QUIC_CONNECTION_EVENT_SHUTDOWN_INITIATED_BY_TRANSPORT;
        event.SHUTDOWN_INITIATED_BY_TRANSPORT.Status = QUIC_STATUS_INTERNAL_ERROR;
        Indicate(event);
        ConnectionEnd end;
        end.status = QUIC_STATUS_INTERNAL_ERROR;
        End(end);
    }
}

std::shared_ptr<Connection> Connection::Accept(std::shared_ptr<Listener> owner, Worker& on,
                                               const ngtcp2_pkt_hd& header,
                                               const SocketAddress& from) {
    auto connection = std::make_shared<Connection>(owner->registration, true);
    connection->listener = owner;
    connection->home = &on;
    connection->worker = on.shared_from_this();
    connection->state = ConnectionState::Started;
    connection->local = on.Socket().LocalAddress();
    connection->remote = from;
    ngtcp2_cid scid;
    RandomCid(scid);
    ngtcp2_path path{{connection->local.Get(), connection->local.length},
                     {connection->remote.Get(), connection->remote.length},
                     nullptr};
    if (!connection->tls.InitServer(owner->Credentials(), owner->Alpns(), &connection->connRef))
        return nullptr;
    if (!connection->CreateNative(header.scid, scid, path, header.version, &header)) {
        connection->UnmapAll();
        return nullptr;
    }
    // Until the client learns our id it keeps using the one it chose.
    connection->cids[CidKey(header.dcid.data, header.dcid.datalen)] = header.dcid;
    on.MapCid(header.dcid, connection.get());
    return connection;
}

void Connection::UnmapAll() {
    if (home == nullptr)
        return;
    for (const auto& [key, cid] : cids)
        home->UnmapCid(cid);
    cids.clear();
}

bool Connection::ProvideCertificate(gnutls_pcert_st** chain, unsigned int* chainLength,
                                    gnutls_privkey_t* key) {
    auto owner = listener.lock();
    alpn = tls.SelectedAlpn();
    if (owner == nullptr || alpn.empty() || appOwned)
        return false;
    {
        std::lock_guard guard(stateLock);
        appRef = shared_from_this();
    }
    appOwned = true;
    bool accepted = owner->IndicateNewConnection(*this, alpn);
    std::shared_ptr<Configuration> config;
    {
        std::lock_guard guard(stateLock);
        config = configuration;
        if (!accepted) {
            // Refused: the application never owned it.
            appOwned = false;
            appRef.reset();
        }
    }
    if (!accepted || config == nullptr || config->CertificateCount() == 0)
        return false;
    // The configuration is known only now; its settings replace the defaults
    // before they are sent to the client.
    ngtcp2_transport_params params = *ngtcp2_conn_get_local_transport_params(conn);
    FillTransportParams(params);
    if (ngtcp2_conn_set_local_transport_params(conn, &params) != 0)
        return false;
    if (config->settings.keepAliveIntervalMs != 0)
        ngtcp2_conn_set_keep_alive_timeout(
            conn, config->settings.keepAliveIntervalMs * NGTCP2_MILLISECONDS);
    *chain = config->CertificateChain();
    *chainLength = config->CertificateCount();
    *key = config->PrivateKey();
    return true;
}

// ---------------------------------------------------------------- events

void Connection::Indicate(QUIC_CONNECTION_EVENT& event) {
    if (appClosed || !appOwned)
        return;
    auto [handler, context] = Handler<QUIC_CONNECTION_CALLBACK>();
    if (handler != nullptr)
        handler(this, context, &event);
}

void Connection::OnHandshakeCompleted() {
    state = ConnectionState::Connected;
    alpn = tls.SelectedAlpn();
    retryPendingStarts = true;
    QUIC_CONNECTION_EVENT event{};
    event.Type = QUIC_CONNECTION_EVENT_CONNECTED;
    event.CONNECTED.NegotiatedAlpn = reinterpret_cast<const uint8_t*>(alpn.data());
    event.CONNECTED.NegotiatedAlpnLength = static_cast<uint8_t>(alpn.size());
    Indicate(event);
}

void Connection::OnPeerStream(int64_t id) {
    bool unidirectional = (id & 0x2) != 0;
    auto stream = std::make_shared<Stream>(
        shared_from_this(),
        unidirectional ? QUIC_STREAM_OPEN_FLAG_UNIDIRECTIONAL : QUIC_STREAM_OPEN_FLAG_NONE);
    stream->AdoptPeerStream(id);
    auto [handler, context] = Handler<QUIC_CONNECTION_CALLBACK>();
    if (appClosed || !appOwned || handler == nullptr)
        return;  // nobody to hand it to: its data is consumed and dropped
    stream->appRef = stream;
    QUIC_CONNECTION_EVENT event{};
    event.Type = QUIC_CONNECTION_EVENT_PEER_STREAM_STARTED;
    event.PEER_STREAM_STARTED.Stream = stream.get();
    event.PEER_STREAM_STARTED.Flags = stream->openFlags;
    handler(this, context, &event);
}

// ---------------------------------------------------------------- I/O

void Connection::OnDatagram(const SocketAddress& from, const uint8_t* data, size_t length) {
    if (Ended() || conn == nullptr)
        return;
    ngtcp2_path path{
        {local.Get(), local.length}, {const_cast<sockaddr*>(from.Get()), from.length}, nullptr};
    ngtcp2_pkt_info info{};
    int rv = ngtcp2_conn_read_pkt(conn, &path, &info, data, length, Now());
    if (rv != 0)
        HandleError(rv);
    probeBlocked = true;
}

Timestamp Connection::Expiry() const {
    if (Ended() || conn == nullptr)
        return UINT64_MAX;
    return ngtcp2_conn_get_expiry(conn);
}

void Connection::HandleExpiry(Timestamp now) {
    if (Ended() || conn == nullptr)
        return;
    int rv = ngtcp2_conn_handle_expiry(conn, now);
    if (rv != 0)
        HandleError(rv);
}

void Connection::StartPendingStreams() {
    if (Ended() || conn == nullptr)
        return;
    retryPendingStarts = false;
    while (!pendingStarts.empty()) {
        auto stream = pendingStarts.front();
        if (!stream->TryOpen())
            break;
        if (!pendingStarts.empty() && pendingStarts.front() == stream)
            pendingStarts.pop_front();
    }
}

void Connection::HandleError(int liberr) {
    if (Ended() || conn == nullptr)
        return;
    ConnectionEnd end;
    QUIC_CONNECTION_EVENT event{};
    switch (liberr) {
        case NGTCP2_ERR_DRAINING: {
            ngtcp2_connection_close_error error;
            ngtcp2_conn_get_connection_close_error(conn, &error);
            end.remotely = true;
            end.errorCode = error.error_code;
            if (error.type == NGTCP2_CONNECTION_CLOSE_ERROR_CODE_TYPE_APPLICATION) {
                end.status = QUIC_STATUS_ABORTED;
                event.Type = QUIC_CONNECTION_EVENT_SHUTDOWN_INITIATED_BY_PEER;
                event.SHUTDOWN_INITIATED_BY_PEER.ErrorCode = error.error_code;
            } else {
                end.status = StatusFromTransportError(error.error_code);
                event.Type = QUIC_CONNECTION_EVENT_SHUTDOWN_INITIATED_BY_TRANSPORT;
                event.SHUTDOWN_INITIATED_BY_TRANSPORT.Status = end.status;
                event.SHUTDOWN_INITIATED_BY_TRANSPORT.ErrorCode = error.error_code;
            }
            Indicate(event);
            End(end);
            return;
        }
        case NGTCP2_ERR_IDLE_CLOSE:
        case NGTCP2_ERR_HANDSHAKE_TIMEOUT:
        case NGTCP2_ERR_DROP_CONN:
            end.status = liberr == NGTCP2_ERR_IDLE_CLOSE          ? QUIC_STATUS_CONNECTION_IDLE
                         : liberr == NGTCP2_ERR_HANDSHAKE_TIMEOUT ? QUIC_STATUS_CONNECTION_TIMEOUT
                                                                  : QUIC_STATUS_ABORTED;
            event.Type = QUIC_CONNECTION_EVENT_SHUTDOWN_INITIATED_BY_TRANSPORT;
            event.SHUTDOWN_INITIATED_BY_TRANSPORT.Status = end.status;
            Indicate(event);
            End(end);
            return;
        default:
            break;
    }
    ngtcp2_connection_close_error error;
    QUIC_STATUS status;
    if (liberr == NGTCP2_ERR_CRYPTO) {
        uint8_t alert = ngtcp2_conn_get_tls_alert(conn);
        ngtcp2_connection_close_error_set_transport_error_tls_alert(&error, alert, nullptr, 0);
        status = StatusFromAlert(alert);
        if (!server && configuration != nullptr && configuration->ValidatesPeer() &&
            gnutls_session_get_verify_cert_status(tls.Native()) != 0)
            status = QUIC_STATUS_BAD_CERTIFICATE;
    } else {
        ngtcp2_connection_close_error_set_transport_error_liberr(&error, liberr, nullptr, 0);
        status =
            liberr == NGTCP2_ERR_NOMEM ? QUIC_STATUS_OUT_OF_MEMORY : QUIC_STATUS_PROTOCOL_ERROR;
    }
    CloseLocally(error, status, false);
}

void Connection::CloseLocally(const ngtcp2_connection_close_error& error, QUIC_STATUS status,
                              bool byApp) {
    if (Ended() || conn == nullptr)
        return;
    std::vector<uint8_t> packet(
        std::max<size_t>(1500, ngtcp2_conn_get_path_max_tx_udp_payload_size(conn)));
    ngtcp2_path_storage ps;
    ngtcp2_path_storage_zero(&ps);
    ngtcp2_pkt_info info{};
    Timestamp now = Now();
    ngtcp2_ssize written = ngtcp2_conn_write_connection_close(conn, &ps.path, &info, packet.data(),
                                                              packet.size(), &error, now);
    if (written > 0) {
        packet.resize(static_cast<size_t>(written));
        home->Socket().Send(remote, packet.data(), packet.size(), packet.size());
        // Keep answering for three probe timeouts in case this packet is lost.
        home->KeepClosePacket(IssuedCids(), remote, packet, now + 3 * ngtcp2_conn_get_pto(conn));
    }
    if (!byApp) {
        QUIC_CONNECTION_EVENT event{};
        event.Type = QUIC_CONNECTION_EVENT_SHUTDOWN_INITIATED_BY_TRANSPORT;
        event.SHUTDOWN_INITIATED_BY_TRANSPORT.Status = status;
        event.SHUTDOWN_INITIATED_BY_TRANSPORT.ErrorCode = error.error_code;
        Indicate(event);
    }
    ConnectionEnd end;
    end.status = status;
    end.errorCode = error.error_code;
    end.byApp = byApp;
    End(end);
}

void Connection::Abort(QUIC_STATUS status) {
    if (Ended())
        return;
    if (conn == nullptr) {
        ConnectionEnd end;
        end.status = status;
        End(end);
        return;
    }
    ngtcp2_connection_close_error error;
    ngtcp2_connection_close_error_set_application_error(&error, 0, nullptr, 0);
    CloseLocally(error, status, true);
}

std::vector<ngtcp2_cid> Connection::IssuedCids() const {
    std::vector<ngtcp2_cid> result;
    for (const auto& [key, cid] : cids)
        result.push_back(cid);
    return result;
}

void Connection::End(const ConnectionEnd& end) {
    if (Ended())
        return;
    const bool handshakeCompleted = Connected();
    auto self = shared_from_this();
    std::vector<std::shared_ptr<Stream>> open;
    for (auto& [id, stream] : streams)
        open.push_back(stream);
    for (auto& stream : pendingStarts)
        open.push_back(stream);
    streams.clear();
    pendingStarts.clear();
    sendQueue.clear();
    UnmapAll();
    state = ConnectionState::Ended;
    if (conn != nullptr) {
        ngtcp2_conn_del(conn);
        conn = nullptr;
    }
    for (auto& stream : open)
        stream->OnConnectionEnded(end);
    QUIC_CONNECTION_EVENT event{};
    event.Type = QUIC_CONNECTION_EVENT_SHUTDOWN_COMPLETE;
    event.SHUTDOWN_COMPLETE.HandshakeCompleted = handshakeCompleted;
    event.SHUTDOWN_COMPLETE.PeerAcknowledgedShutdown = end.remotely;
    event.SHUTDOWN_COMPLETE.AppCloseInProgress = closeInProgress.load();
    Indicate(event);
    if (!appOwned) {
        std::lock_guard guard(stateLock);
        appRef.reset();
    }
}

// ---------------------------------------------------------------- streams

void Connection::AddStream(int64_t id, std::shared_ptr<Stream> stream) {
    streams[id] = std::move(stream);
}

void Connection::RemoveStream(int64_t id) {
    streams.erase(id);
}

void Connection::QueueStart(std::shared_ptr<Stream> stream) {
    pendingStarts.push_back(std::move(stream));
    retryPendingStarts = true;
}

void Connection::UnqueueStart(Stream* stream) {
    std::erase_if(pendingStarts, [stream](const auto& entry) { return entry.get() == stream; });
}

void Connection::ScheduleSend(Stream* stream) {
    if (stream->queuedForSend || stream->flowBlocked || !stream->HasUnsent() || stream->Id() < 0)
        return;
    stream->queuedForSend = true;
    sendQueue.push_back(stream);
}

void Connection::UnscheduleSend(Stream* stream) {
    if (!stream->queuedForSend)
        return;
    stream->queuedForSend = false;
    std::erase(sendQueue, stream);
}

void Connection::ExtendReceiveWindow(int64_t id, uint64_t length) {
    if (conn == nullptr || length == 0)
        return;
    ngtcp2_conn_extend_max_stream_offset(conn, id, length);
    ngtcp2_conn_extend_max_offset(conn, length);
}

}  // namespace quicapi
