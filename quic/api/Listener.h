#pragma once
// A listener: a UDP socket on a local address whose worker accepts new
// connections in QUIC v1 offering one of the listener's ALPNs, and answers
// other versions with Version Negotiation.
#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <ngtcp2/ngtcp2.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "quic/api/Handle.h"
#include "quic/api/UdpSocket.h"

namespace quicapi {

class Registration;
class Worker;
class Connection;

class Listener : public QUIC_HANDLE, public std::enable_shared_from_this<Listener> {
  public:
    explicit Listener(std::shared_ptr<Registration> owner);
    ~Listener() override;

    QUIC_STATUS Start(std::vector<std::string> alpnList, const QUIC_ADDR* localAddress);
    void Stop();
    void Close();

    const std::shared_ptr<Registration> registration;
    // The application's reference, dropped when it closes the handle.
    std::shared_ptr<Listener> appRef;

    // Worker thread only.
    void OnUnknownPacket(Worker& worker, const UdpSocket::Datagram& datagram,
                         const ngtcp2_version_cid& vc);
    // Asks the application to take `connection`; true when it set a configuration.
    bool IndicateNewConnection(Connection& connection, const std::string& alpn);
    gnutls_certificate_credentials_t Credentials() const { return credentials; }
    const std::vector<std::string>& Alpns() const { return alpns; }
    const SocketAddress& LocalAddress() const { return local; }

  private:
    // Answers a client's first datagram in a version other than v1.
    void SendVersionNegotiation(Worker& on, const UdpSocket::Datagram& datagram,
                                const ngtcp2_version_cid& vc);

    std::mutex lock;
    bool started = false;
    bool closed = false;
    std::shared_ptr<Worker> worker;
    std::vector<std::string> alpns;
    SocketAddress local;
    gnutls_certificate_credentials_t credentials = nullptr;
};

}  // namespace quicapi
