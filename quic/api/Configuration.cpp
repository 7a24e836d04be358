#include "quic/api/Configuration.h"

namespace quicapi {

Configuration::Configuration(std::shared_ptr<Registration> owner, std::vector<std::string> alpnList,
                             const TransportSettings& transportSettings)
    : QUIC_HANDLE(QuicHandleType::Configuration),
      registration(std::move(owner)),
      alpns(std::move(alpnList)),
      settings(transportSettings) {}

Configuration::~Configuration() {
    Release();
}

void Configuration::Release() {
    if (clientCredentials != nullptr)
        gnutls_certificate_free_credentials(clientCredentials);
    clientCredentials = nullptr;
    for (auto& cert : chain)
        gnutls_pcert_deinit(&cert);
    chain.clear();
    if (privateKey != nullptr)
        gnutls_privkey_deinit(privateKey);
    privateKey = nullptr;
}

QUIC_STATUS Configuration::LoadCredential(const QUIC_CREDENTIAL_CONFIG& config) {
    // Credentials are loaded once, before the configuration is used.
    if (loaded)
        return QUIC_STATUS_INVALID_STATE;
    if (config.Flags & QUIC_CREDENTIAL_FLAG_CLIENT) {
        if (config.Type != QUIC_CREDENTIAL_TYPE_NONE)
            return QUIC_STATUS_NOT_SUPPORTED;
        client = true;
        validate = (config.Flags & QUIC_CREDENTIAL_FLAG_NO_CERTIFICATE_VALIDATION) == 0;
        if (gnutls_certificate_allocate_credentials(&clientCredentials) != 0)
            return QUIC_STATUS_OUT_OF_MEMORY;
        if (validate && gnutls_certificate_set_x509_system_trust(clientCredentials) < 0) {
            // No trust store: nothing can be validated, so every server is refused.
        }
        loaded = true;
        return QUIC_STATUS_SUCCESS;
    }
    if (config.Type != QUIC_CREDENTIAL_TYPE_CERTIFICATE_PEM)
        return QUIC_STATUS_NOT_SUPPORTED;
    const QUIC_CERTIFICATE_PEM* pem = config.CertificatePem;
    if (pem == nullptr || pem->Certificate == nullptr || pem->PrivateKey == nullptr ||
        pem->CertificateLength == 0 || pem->PrivateKeyLength == 0)
        return QUIC_STATUS_INVALID_PARAMETER;

    gnutls_datum_t certData{reinterpret_cast<unsigned char*>(const_cast<char*>(pem->Certificate)),
                            pem->CertificateLength};
    gnutls_datum_t keyData{reinterpret_cast<unsigned char*>(const_cast<char*>(pem->PrivateKey)),
                           pem->PrivateKeyLength};
    std::vector<gnutls_pcert_st> parsed(16);
    unsigned count = static_cast<unsigned>(parsed.size());
    if (gnutls_pcert_list_import_x509_raw(parsed.data(), &count, &certData, GNUTLS_X509_FMT_PEM,
                                          0) < 0 ||
        count == 0)
        return QUIC_STATUS_INVALID_PARAMETER;
    parsed.resize(count);
    chain = std::move(parsed);
    if (gnutls_privkey_init(&privateKey) < 0) {
        Release();
        return QUIC_STATUS_OUT_OF_MEMORY;
    }
    if (gnutls_privkey_import_x509_raw(privateKey, &keyData, GNUTLS_X509_FMT_PEM, nullptr, 0) < 0) {
        Release();
        return QUIC_STATUS_INVALID_PARAMETER;
    }
    client = false;
    loaded = true;
    return QUIC_STATUS_SUCCESS;
}

}  // namespace quicapi
