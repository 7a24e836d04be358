#pragma once
// The TLS 1.3 session of one connection, wired to ngtcp2's GnuTLS helper.
#include <gnutls/gnutls.h>
#include <ngtcp2/ngtcp2_crypto.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quicapi {

class Configuration;

class TlsSession {
  public:
    TlsSession() = default;
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // Client: offers the configuration's ALPNs, names `host`, and checks the
    // server's certificate against the system trust and `host` when the
    // configuration validates.
    bool InitClient(const Configuration& config, const std::string& host,
                    ngtcp2_crypto_conn_ref* ref);
    // Server: `credentials` supply the certificate when the client hello has
    // been read; only the listed ALPNs are accepted.
    bool InitServer(gnutls_certificate_credentials_t credentials,
                    const std::vector<std::string>& alpns, ngtcp2_crypto_conn_ref* ref);

    gnutls_session_t Native() const { return session; }
    std::string SelectedAlpn() const;
    // The TLS exporter's value for `label` (empty context) into `out`; false
    // before the handshake has completed.
    bool Export(std::string_view label, std::span<std::uint8_t> out) const;

  private:
    bool Common(unsigned flags, ngtcp2_crypto_conn_ref* ref);
    gnutls_session_t session = nullptr;
};

}  // namespace quicapi
