#pragma once
// The QUIC tunnel. This module owns the two endpoints (server and client)
// with their sessions and streams, the bridge between local TCP connections
// and tunnel streams, the shell's QUIC handlers and published handles, the
// shared-secret exchange at a connection's start (AuthStream.h), and the
// per-run host certificate. Its one error type is QUIC_STATUS (0
// success, negative failure); the few yes/no answers are documented bools.
//
// Threads: the entry thread opens, listens, connects and closes the
// endpoints and opens the control stream; the QUIC layer's worker threads
// run every listener, connection and stream callback (one connection's
// events one at a time) and move a bridged connection's bytes between its
// socket and its stream; the bridge's accept and watchdog threads belong to
// their endpoint, which joins them in Close.
//
// This header: one side of the tunnel, the library, registration and
// configuration, the server's listener and the sessions of its connections.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quic/Bridge.h"
#include "quic/HandlerSlot.h"
#include "quic/HostCertificate.h"
#include "quic/QuicSession.h"
#include "quic/api/msquic_api.h"

namespace quic {

inline constexpr std::string_view kQuicAlpn = "marvolent";
inline constexpr std::string_view kQuicAppName = "Vantora";

enum class QuicRole { Server = 0, Client = 1, ClientNoCertificateCheck = 2 };

// Open's answer when the endpoint is already open: not a failure, and
// nothing was opened.
inline constexpr QUIC_STATUS kQuicStatusAlreadyOpen = 1;

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
    // Closes the endpoint if Close has not run, so that no bridge thread
    // outlives it.
    ~QuicEndpoint();
    QuicEndpoint(const QuicEndpoint&) = delete;
    QuicEndpoint& operator=(const QuicEndpoint&) = delete;

    // Opens the library, registration, configuration and credentials. Returns
    // kQuicStatusAlreadyOpen and changes nothing but the stored name when
    // already open.
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
    // Listeners, sessions, the bridge threads (joined once the sessions have
    // closed what they wait on), configuration, registration, library; the
    // endpoint can be opened again afterwards. Entry thread only: never from
    // a callback or a bridge thread.
    void Close();

    void SetListenerHandler(ListenerHandler handler, void* context) {
        listenerHandler_.Set(handler, context);
    }
    std::pair<ListenerHandler, void*> GetListenerHandler() const { return listenerHandler_.Get(); }

    // Sends on the stream `stream` (null: the first) of the session of
    // `connection` (null: the first); QUIC_STATUS_INVALID_PARAMETER when
    // either is missing. A maxUnsent other than 0 first waits while the
    // stream has that many bytes queued and not completed
    // (QuicStream::WaitForSendRoom, kPacedSendIdle); QUIC_STATUS_INVALID_STATE
    // when that wait fails.
    QUIC_STATUS SendOnStream(HQUIC connection, HQUIC stream, std::span<const std::uint8_t> bytes,
                             std::size_t maxUnsent = 0);

    // The bytes sent on that stream that the peer has not acknowledged;
    // none when the session or the stream cannot be found.
    std::optional<std::size_t> UnacknowledgedOnStream(HQUIC connection, HQUIC stream) const;

    bool IsOpen() const;
    const std::string& AppName() const { return appName_; }

  private:
    static QUIC_STATUS QUIC_API ListenerCallback(HQUIC listener, void* context,
                                                 QUIC_LISTENER_EVENT* event);
    QUIC_STATUS OnListenerEvent(HQUIC listener, QUIC_LISTENER_EVENT* event);

    const QUIC_API_TABLE* api_ = nullptr;
    std::string appName_;
    HQUIC registration_ = nullptr;
    HQUIC configuration_ = nullptr;
    std::vector<HQUIC> listeners_;
    std::shared_ptr<QuicEndpointState> state_;
    HandlerSlot<ListenerHandler> listenerHandler_;
};

}  // namespace quic
