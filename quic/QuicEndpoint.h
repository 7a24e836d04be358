#pragma once
// One side of the QUIC tunnel: the library, registration and configuration,
// the server's listener and the sessions of its connections.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quic/Bridge.h"
#include "quic/HostCertificate.h"
#include "quic/QuicSession.h"
#include "quic/api/msquic_api.h"

namespace quic {

inline constexpr std::string_view kQuicAlpn = "marvolent";
inline constexpr std::string_view kQuicAppName = "Vantora";

enum class QuicRole { Server = 0, Client = 1, ClientNoCertificateCheck = 2 };

using ListenerHandler = QUIC_STATUS (*)(HQUIC listener, QUIC_LISTENER_EVENT* event, void* context);

struct QuicEndpointOptions {
    // Server role: the certificate to present. Unset: the process-wide host
    // certificate (GetCertificate).
    std::optional<HostCredential> credential;
    std::uint64_t idleTimeoutMs = 60000;
    // Client roles: how long a tunnel stream may wait for its preamble.
    int preambleTimeoutMs = kPreambleTimeoutMs;
};

class QuicEndpoint {
  public:
    QuicEndpoint();
    // Frees memory only; Close is what ends connections.
    ~QuicEndpoint();
    QuicEndpoint(const QuicEndpoint&) = delete;
    QuicEndpoint& operator=(const QuicEndpoint&) = delete;

    // Opens the library, registration, configuration and credentials. Returns
    // 1 and changes nothing but the stored name when already open.
    QUIC_STATUS Open(std::string_view appName, QuicRole role,
                     const QuicEndpointOptions& options = {});
    // Server: one listener on the IPv4 wildcard address; publishes
    // serverListener once it runs.
    QUIC_STATUS Listen(std::uint16_t port, std::string_view alpn);
    // Client: a session whose connection is opened (publishing
    // clientConnection) and started towards host:port.
    QUIC_STATUS Connect(std::string_view host, std::uint16_t port, ConnectionHandler handler,
                        void* context);
    // The session of `connection`; a null handle selects the first session.
    std::shared_ptr<QuicSession> FindSession(HQUIC connection) const;
    std::vector<std::shared_ptr<QuicSession>> Sessions() const;
    // Listeners, sessions, configuration, registration, library; the
    // endpoint can be opened again afterwards.
    void Close();

    void SetListenerHandler(ListenerHandler handler, void* context);
    std::pair<ListenerHandler, void*> GetListenerHandler() const;

    // Sends on the stream `stream` (null: the first) of the session of
    // `connection` (null: the first); QUIC_STATUS_INVALID_PARAMETER when
    // either is missing.
    QUIC_STATUS SendOnStream(HQUIC connection, HQUIC stream, std::span<const std::uint8_t> bytes);

    bool IsOpen() const;
    const std::string& AppName() const { return appName_; }

  private:
    static QUIC_STATUS QUIC_API ListenerCallback(HQUIC listener, void* context,
                                                 QUIC_LISTENER_EVENT* event);
    QUIC_STATUS OnListenerEvent(HQUIC listener, QUIC_LISTENER_EVENT* event);
    void AddSession(const std::shared_ptr<QuicSession>& session);
    void RemoveSession(const std::shared_ptr<QuicSession>& session);

    const QUIC_API_TABLE* api_ = nullptr;
    std::string appName_;
    HQUIC registration_ = nullptr;
    HQUIC configuration_ = nullptr;
    std::vector<HQUIC> listeners_;
    std::shared_ptr<QuicEndpointState> state_;

    mutable std::mutex handlerLock_;
    ListenerHandler listenerHandler_ = nullptr;
    void* listenerContext_ = nullptr;
};

}  // namespace quic
