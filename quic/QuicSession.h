#pragma once
// One QUIC connection of an endpoint, with its streams and the local TCP
// listening sockets that belong to it.
#include <memory>
#include <mutex>
#include <vector>

#include "net/TcpSocket.h"
#include "quic/QuicHandleGuard.h"
#include "quic/QuicStream.h"
#include "quic/api/msquic_api.h"

namespace quic {

class QuicSession;

// Installed by the shell; called first for every connection event, and once
// more with afterStreamCreated = true when a peer-started stream's object
// exists.
using ConnectionHandler = QUIC_STATUS (*)(HQUIC connection, QUIC_CONNECTION_EVENT* event,
                                          void* context, bool afterStreamCreated);

// What an endpoint shares with its sessions. Sessions may outlive the
// endpoint object (bridge threads hold them), so they hold this part.
struct QuicEndpointState {
    // Guards the sessions list and every session's stream and socket lists.
    std::recursive_mutex lock;
    std::vector<std::shared_ptr<QuicSession>> sessions;
    // Peer-started streams are bridged to 127.0.0.1 (client roles only).
    bool bridgePeerStreams = false;
    int preambleTimeoutMs = kPreambleTimeoutMs;
};

struct OpenedStream {
    QUIC_STATUS status = QUIC_STATUS_INVALID_STATE;
    HQUIC handle = nullptr;
    std::shared_ptr<QuicStream> stream;
};

class QuicSession : public std::enable_shared_from_this<QuicSession> {
  public:
    QuicSession(const QUIC_API_TABLE* api, HQUIC configuration,
                std::shared_ptr<QuicEndpointState> owner);
    // Performs CloseAll.
    ~QuicSession();
    QuicSession(const QuicSession&) = delete;
    QuicSession& operator=(const QuicSession&) = delete;

    void SetHandler(ConnectionHandler handler, void* context);

    // Closes the listening sockets, closes every stream and the connection.
    // Not from a callback of this session's connection.
    void CloseAll();

    // Opens and starts a bidirectional stream and adds it to the session. A
    // tunnel stream gets its local socket here, before any event can arrive.
    OpenedStream OpenStream(QuicStreamInit init);
    OpenedStream OpenStream(int port, StreamHandler handler, void* context) {
        QuicStreamInit init;
        init.port = port;
        init.handler = handler;
        init.context = context;
        return OpenStream(std::move(init));
    }

    // The stream with this handle; a null handle selects the first stream.
    std::shared_ptr<QuicStream> FindStream(HQUIC stream) const;
    std::vector<std::shared_ptr<QuicStream>> Streams() const;
    // False (and the socket closed) when the session has already ended.
    bool AddListeningSocket(net::TcpSocket socket);
    std::size_t ListeningSocketCount() const;

    // The connection handle; it stays readable after the connection ended.
    HQUIC Connection() const { return connection_.Identity(); }
    bool IsOpen() const { return connection_.Available(); }
    const QUIC_API_TABLE* Api() const { return api_; }
    HQUIC Configuration() const { return configuration_; }
    std::recursive_mutex& Lock() const { return owner_->lock; }
    const QuicEndpointState& Endpoint() const { return *owner_; }

    // The layer's callback; the context is the QuicSession.
    static QUIC_STATUS QUIC_API Callback(HQUIC connection, void* context,
                                         QUIC_CONNECTION_EVENT* event);

  private:
    friend class QuicEndpoint;
    friend class QuicStream;
    void Attach(HQUIC connection) { connection_.Set(connection); }
    void RemoveStream(const QuicStream* stream);
    void CloseListeningSockets();
    QUIC_STATUS OnEvent(HQUIC connection, QUIC_CONNECTION_EVENT* event);
    QUIC_STATUS OnPeerStreamStarted(HQUIC connection, QUIC_CONNECTION_EVENT* event);
    void OnShutdownComplete();

    const QUIC_API_TABLE* const api_;
    const HQUIC configuration_;
    const std::shared_ptr<QuicEndpointState> owner_;
    QuicHandleGuard connection_;

    mutable std::mutex handlerLock_;
    ConnectionHandler handler_ = nullptr;
    void* handlerContext_ = nullptr;

    // Guarded by the owner's lock.
    std::vector<std::shared_ptr<QuicStream>> streams_;
    std::vector<net::TcpSocket> listeningSockets_;
    bool ended_ = false;
};

}  // namespace quic
