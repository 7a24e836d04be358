#pragma once
// One accepted TCP connection with a GnuTLS server session on it.
#include <gnutls/gnutls.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace update_server {

struct CredentialsDeleter {
    void operator()(gnutls_certificate_credentials_t c) const {
        gnutls_certificate_free_credentials(c);
    }
};
using Credentials =
    std::unique_ptr<std::remove_pointer_t<gnutls_certificate_credentials_t>, CredentialsDeleter>;

// Loads a PEM certificate and key; null with a message in `error` on failure.
Credentials LoadCredentials(const std::string& certFile, const std::string& keyFile,
                            std::string& error);

class TlsConnection {
  public:
    // Takes ownership of the socket.
    TlsConnection(int fd, gnutls_certificate_credentials_t credentials);
    ~TlsConnection();
    TlsConnection(const TlsConnection&) = delete;
    TlsConnection& operator=(const TlsConnection&) = delete;

    bool Handshake();
    // Bytes received (0 at the end of the stream, -1 on error).
    long Receive(std::span<std::uint8_t> buffer);
    bool SendAll(std::span<const std::uint8_t> data);
    void Close();

  private:
    int fd_;
    gnutls_session_t session_ = nullptr;
};

}  // namespace update_server
