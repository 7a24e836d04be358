#include "quic/api/TlsSession.h"

#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif
#include <ngtcp2/ngtcp2_crypto_gnutls.h>

#include "quic/api/Configuration.h"

namespace quicapi {

namespace {

// QUIC needs TLS 1.3 without the middlebox compatibility mode.
constexpr const char* kPriority = "%DISABLE_TLS13_COMPAT_MODE:NORMAL:-VERS-ALL:+VERS-TLS1.3";

std::vector<gnutls_datum_t> AlpnData(const std::vector<std::string>& alpns) {
    std::vector<gnutls_datum_t> data;
    for (const auto& alpn : alpns)
        data.push_back({reinterpret_cast<unsigned char*>(const_cast<char*>(alpn.data())),
                        static_cast<unsigned>(alpn.size())});
    return data;
}

bool IsNumericHost(const std::string& host) {
    unsigned char buffer[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

}  // namespace

TlsSession::~TlsSession() {
    if (session != nullptr)
        gnutls_deinit(session);
}

bool TlsSession::Common(unsigned flags, ngtcp2_crypto_conn_ref* ref) {
    if (gnutls_init(&session, flags | GNUTLS_NO_END_OF_EARLY_DATA) != 0) {
        session = nullptr;
        return false;
    }
    if (gnutls_priority_set_direct(session, kPriority, nullptr) != 0)
        return false;
    gnutls_session_set_ptr(session, ref);
    return true;
}

bool TlsSession::InitClient(const Configuration& config, const std::string& host,
                            ngtcp2_crypto_conn_ref* ref) {
    if (!Common(GNUTLS_CLIENT, ref))
        return false;
    if (ngtcp2_crypto_gnutls_configure_client_session(session) != 0)
        return false;
    if (gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, config.ClientCredentials()) != 0)
        return false;
    auto alpns = AlpnData(config.alpns);
    if (!alpns.empty() &&
        gnutls_alpn_set_protocols(session, alpns.data(), static_cast<unsigned>(alpns.size()),
                                  GNUTLS_ALPN_MANDATORY) != 0)
        return false;
    if (!host.empty() && !IsNumericHost(host))
        gnutls_server_name_set(session, GNUTLS_NAME_DNS, host.data(), host.size());
    if (config.ValidatesPeer())
        gnutls_session_set_verify_cert(session, host.c_str(), 0);
    return true;
}

bool TlsSession::InitServer(gnutls_certificate_credentials_t credentials,
                            const std::vector<std::string>& alpns, ngtcp2_crypto_conn_ref* ref) {
    if (!Common(GNUTLS_SERVER | GNUTLS_NO_AUTO_SEND_TICKET, ref))
        return false;
    if (ngtcp2_crypto_gnutls_configure_server_session(session) != 0)
        return false;
    if (gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, credentials) != 0)
        return false;
    auto data = AlpnData(alpns);
    return gnutls_alpn_set_protocols(session, data.data(), static_cast<unsigned>(data.size()),
                                     GNUTLS_ALPN_MANDATORY | GNUTLS_ALPN_SERVER_PRECEDENCE) == 0;
}

std::string TlsSession::SelectedAlpn() const {
    gnutls_datum_t alpn;
    if (session == nullptr || gnutls_alpn_get_selected_protocol(session, &alpn) != 0)
        return {};
    return std::string(reinterpret_cast<const char*>(alpn.data), alpn.size);
}

bool TlsSession::Export(std::string_view label, std::span<std::uint8_t> out) const {
    if (session == nullptr)
        return false;
    return gnutls_prf_rfc5705(session, label.size(), label.data(), 0, nullptr, out.size(),
                              reinterpret_cast<char*>(out.data())) == 0;
}

}  // namespace quicapi
