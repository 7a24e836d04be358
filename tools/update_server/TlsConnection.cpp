#include "TlsConnection.h"

#include <unistd.h>

namespace update_server {

Credentials LoadCredentials(const std::string& certFile, const std::string& keyFile,
                            std::string& error) {
    gnutls_certificate_credentials_t raw = nullptr;
    if (gnutls_certificate_allocate_credentials(&raw) < 0) {
        error = "cannot allocate credentials";
        return nullptr;
    }
    Credentials credentials(raw);
    const int rc = gnutls_certificate_set_x509_key_file(raw, certFile.c_str(), keyFile.c_str(),
                                                        GNUTLS_X509_FMT_PEM);
    if (rc < 0) {
        error = std::string("cannot load certificate: ") + gnutls_strerror(rc);
        return nullptr;
    }
    return credentials;
}

TlsConnection::TlsConnection(int fd, gnutls_certificate_credentials_t credentials) : fd_(fd) {
    if (gnutls_init(&session_, GNUTLS_SERVER) < 0) {
        session_ = nullptr;
        return;
    }
    gnutls_set_default_priority(session_);
    gnutls_credentials_set(session_, GNUTLS_CRD_CERTIFICATE, credentials);
    gnutls_certificate_server_set_request(session_, GNUTLS_CERT_IGNORE);
    gnutls_transport_set_int(session_, fd_);
    gnutls_handshake_set_timeout(session_, 10000);
}

TlsConnection::~TlsConnection() {
    if (session_ != nullptr)
        gnutls_deinit(session_);
    if (fd_ >= 0)
        ::close(fd_);
}

bool TlsConnection::Handshake() {
    if (session_ == nullptr)
        return false;
    int rc = 0;
    do {
        rc = gnutls_handshake(session_);
    } while (rc < 0 && gnutls_error_is_fatal(rc) == 0);
    return rc >= 0;
}

long TlsConnection::Receive(std::span<std::uint8_t> buffer) {
    for (;;) {
        const ssize_t n = gnutls_record_recv(session_, buffer.data(), buffer.size());
        if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED)
            continue;
        if (n == GNUTLS_E_PREMATURE_TERMINATION)
            return 0;
        return n < 0 ? -1 : static_cast<long>(n);
    }
}

bool TlsConnection::SendAll(std::span<const std::uint8_t> data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = gnutls_record_send(session_, data.data() + done, data.size() - done);
        if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void TlsConnection::Close() {
    if (session_ != nullptr)
        gnutls_bye(session_, GNUTLS_SHUT_WR);
}

}  // namespace update_server
