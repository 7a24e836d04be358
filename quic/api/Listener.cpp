#include "quic/api/Listener.h"

#include <gnutls/crypto.h>
#include <string.h>

#include "quic/api/Connection.h"
#include "quic/api/Registration.h"
#include "quic/api/Worker.h"

namespace quicapi {

namespace {

// Called by GnuTLS once the client hello (and with it the ALPN) has been read:
// the application decides about the connection and names its certificate.
int RetrieveCertificate(gnutls_session_t session, const gnutls_datum_t*, int,
                        const gnutls_pk_algorithm_t*, int, gnutls_pcert_st** chain,
                        unsigned int* chainLength, gnutls_privkey_t* key) {
    auto* ref = static_cast<ngtcp2_crypto_conn_ref*>(gnutls_session_get_ptr(session));
    if (ref == nullptr || ref->user_data == nullptr)
        return -1;
    auto* connection = static_cast<Connection*>(ref->user_data);
    return connection->ProvideCertificate(chain, chainLength, key) ? 0 : -1;
}

}  // namespace

Listener::Listener(std::shared_ptr<Registration> owner)
    : QUIC_HANDLE(QuicHandleType::Listener), registration(std::move(owner)) {}

Listener::~Listener() {
    if (credentials != nullptr)
        gnutls_certificate_free_credentials(credentials);
}

QUIC_STATUS Listener::Start(std::vector<std::string> alpnList, const QUIC_ADDR* localAddress) {
    if (alpnList.empty())
        return QUIC_STATUS_INVALID_PARAMETER;
    SocketAddress bindTo;
    if (localAddress == nullptr || QuicAddrGetFamily(localAddress) == QUIC_ADDRESS_FAMILY_UNSPEC) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&bindTo.storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_addr = in6addr_any;
        in6->sin6_port = localAddress != nullptr ? localAddress->Ipv4.sin_port : 0;
        bindTo.length = sizeof(sockaddr_in6);
    } else if (QuicAddrGetFamily(localAddress) == QUIC_ADDRESS_FAMILY_INET) {
        memcpy(&bindTo.storage, &localAddress->Ipv4, sizeof(sockaddr_in));
        bindTo.length = sizeof(sockaddr_in);
    } else if (QuicAddrGetFamily(localAddress) == QUIC_ADDRESS_FAMILY_INET6) {
        memcpy(&bindTo.storage, &localAddress->Ipv6, sizeof(sockaddr_in6));
        bindTo.length = sizeof(sockaddr_in6);
    } else {
        return QUIC_STATUS_INVALID_PARAMETER;
    }

    std::lock_guard guard(lock);
    if (started || closed)
        return QUIC_STATUS_INVALID_STATE;
    if (credentials == nullptr) {
        if (gnutls_certificate_allocate_credentials(&credentials) != 0)
            return QUIC_STATUS_OUT_OF_MEMORY;
        gnutls_certificate_set_retrieve_function2(credentials, RetrieveCertificate);
    }
    std::unique_ptr<UdpSocket> socket;
    QUIC_STATUS status = UdpSocket::Open(bindTo, socket);
    if (QUIC_FAILED(status))
        return status;
    local = socket->LocalAddress();
    alpns = std::move(alpnList);
    auto self = shared_from_this();
    auto newWorker =
        Worker::Start(std::move(socket), [self](Worker& on) { on.SetListener(self.get()); });
    if (newWorker == nullptr)
        return QUIC_STATUS_INTERNAL_ERROR;
    registration->AddWorker(newWorker);
    worker = std::move(newWorker);
    started = true;
    return QUIC_STATUS_SUCCESS;
}

void Listener::Stop() {
    std::shared_ptr<Worker> current;
    {
        std::lock_guard guard(lock);
        if (!started)
            return;
        started = false;
        current = worker;
    }
    auto self = shared_from_this();
    current->RunAndWait([self, raw = current.get()] {
        if (raw->CurrentListener() == self.get())
            raw->SetListener(nullptr);
    });
}

void Listener::Close() {
    Stop();
    std::lock_guard guard(lock);
    closed = true;
}

void Listener::OnUnknownPacket(Worker& on, const UdpSocket::Datagram& datagram,
                               const ngtcp2_version_cid& vc) {
    // Connections are made in QUIC v1 only, which our client speaks (ngtcp2
    // would take other versions its settings here do not prepare, and abort
    // the process on the first packet it writes). A client that starts in
    // another version is told so; only a datagram large enough to start a
    // connection is answered, so that an answer never amplifies.
    if (vc.version != NGTCP2_PROTO_VER_V1) {
        if (vc.version != 0 && datagram.length >= NGTCP2_MAX_UDP_PAYLOAD_SIZE)
            SendVersionNegotiation(on, datagram, vc);
        return;
    }
    ngtcp2_pkt_hd header;
    if (ngtcp2_accept(&header, datagram.data, datagram.length) != 0)
        return;
    auto connection = Connection::Accept(shared_from_this(), on, header, *datagram.remote);
    if (connection == nullptr)
        return;
    on.AddConnection(connection);
    connection->OnDatagram(*datagram.remote, datagram.data, datagram.length);
}

void Listener::SendVersionNegotiation(Worker& on, const UdpSocket::Datagram& datagram,
                                      const ngtcp2_version_cid& vc) {
    const uint32_t versions[] = {NGTCP2_PROTO_VER_V1};
    uint8_t unused = 0;
    gnutls_rnd(GNUTLS_RND_NONCE, &unused, 1);
    // Room for the longest connection ids an unknown version may carry.
    uint8_t packet[1 + 4 + 2 * (1 + 255) + sizeof versions];
    const ngtcp2_ssize written = ngtcp2_pkt_write_version_negotiation(
        packet, sizeof packet, unused, vc.scid, vc.scidlen, vc.dcid, vc.dcidlen, versions, 1);
    if (written > 0)
        on.Socket().Send(*datagram.remote, packet, static_cast<size_t>(written),
                         static_cast<size_t>(written));
}

bool Listener::IndicateNewConnection(Connection& connection, const std::string& alpn) {
    auto [handler, context] = Handler<QUIC_LISTENER_CALLBACK>();
    if (handler == nullptr)
        return false;
    QUIC_NEW_CONNECTION_INFO info{};
    info.QuicVersion = NGTCP2_PROTO_VER_V1;
    QUIC_ADDR localAddr{};
    QUIC_ADDR remoteAddr{};
    memcpy(&localAddr, &local.storage, std::min(sizeof localAddr, sizeof local.storage));
    memcpy(&remoteAddr, &connection.RemoteAddress().storage,
           std::min(sizeof remoteAddr, sizeof connection.RemoteAddress().storage));
    info.LocalAddress = &localAddr;
    info.RemoteAddress = &remoteAddr;
    info.NegotiatedAlpn = reinterpret_cast<const uint8_t*>(alpn.data());
    info.NegotiatedAlpnLength = static_cast<uint8_t>(alpn.size());
    QUIC_LISTENER_EVENT event{};
    event.Type = QUIC_LISTENER_EVENT_NEW_CONNECTION;
    event.NEW_CONNECTION.Info = &info;
    event.NEW_CONNECTION.Connection = &connection;
    QUIC_STATUS status = handler(this, context, &event);
    return QUIC_SUCCEEDED(status);
}

}  // namespace quicapi
