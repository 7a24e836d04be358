#pragma once
// A configuration: ALPN list, transport settings and TLS credentials shared by
// the connections that use it.
#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "quic/api/Handle.h"

namespace quicapi {

class Registration;

struct TransportSettings {
    uint64_t idleTimeoutMs = 30000;
    uint64_t handshakeIdleTimeoutMs = 10000;
    uint16_t peerBidiStreamCount = 100;
    uint16_t peerUnidiStreamCount = 100;
    uint32_t keepAliveIntervalMs = 0;
    bool datagramReceiveEnabled = false;
    // Announced to the peer: the largest datagram payload we accept.
    uint16_t maxUdpPayloadSize = 65527;
};

class Configuration : public QUIC_HANDLE, public std::enable_shared_from_this<Configuration> {
  public:
    Configuration(std::shared_ptr<Registration> owner, std::vector<std::string> alpnList,
                  const TransportSettings& transportSettings);
    ~Configuration() override;

    QUIC_STATUS LoadCredential(const QUIC_CREDENTIAL_CONFIG& config);

    const std::shared_ptr<Registration> registration;
    // The application's reference, dropped when it closes the handle.
    std::shared_ptr<Configuration> appRef;
    const std::vector<std::string> alpns;
    const TransportSettings settings;

    bool Loaded() const { return loaded.load(); }
    bool IsClient() const { return client; }
    bool ValidatesPeer() const { return validate; }
    // Client side: the credentials for the session (trust store when validating).
    gnutls_certificate_credentials_t ClientCredentials() const { return clientCredentials; }
    // Server side: the certificate chain and key to present.
    gnutls_pcert_st* CertificateChain() { return chain.data(); }
    unsigned CertificateCount() const { return static_cast<unsigned>(chain.size()); }
    gnutls_privkey_t PrivateKey() const { return privateKey; }

  private:
    void Release();

    std::atomic<bool> loaded{false};
    bool client = false;
    bool validate = false;
    gnutls_certificate_credentials_t clientCredentials = nullptr;
    std::vector<gnutls_pcert_st> chain;
    gnutls_privkey_t privateKey = nullptr;
};

}  // namespace quicapi
