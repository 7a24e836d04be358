#pragma once
// One QUIC connection of an endpoint, with its streams and the local TCP
// listeners that belong to it, and the cap on the local connections it
// bridges.
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "net/TcpListener.h"
#include "platform/Thread.h"
#include "quic/HandlerSlot.h"
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

// The entry of `items` whose handle (`handleOf`) is `handle`; a null handle
// selects the first entry.
template <typename T>
std::shared_ptr<T> FindByHandle(const std::vector<std::shared_ptr<T>>& items, HQUIC handle,
                                HQUIC (T::*handleOf)() const) {
    if (handle == nullptr)
        return items.empty() ? nullptr : items.front();
    for (const auto& item : items)
        if (((*item).*handleOf)() == handle)
            return item;
    return nullptr;
}

// What an endpoint shares with its sessions. Sessions may outlive the
// endpoint object (whoever found one may hold it), so they hold this part.
class QuicEndpointState {
  public:
    void AddSession(std::shared_ptr<QuicSession> session);
    // The session taken out of the list; null when it was not there.
    std::shared_ptr<QuicSession> RemoveSession(const QuicSession* session);
    std::shared_ptr<QuicSession> FindSession(HQUIC connection) const;
    std::vector<std::shared_ptr<QuicSession>> Sessions() const;
    std::vector<std::shared_ptr<QuicSession>> TakeSessions();

    // Peer-started streams are bridged to 127.0.0.1 (client roles only).
    // Written by Open only, before any connection exists.
    bool bridgePeerStreams = false;
    int preambleTimeoutMs = kPreambleTimeoutMs;
    // The bridge's accept and watchdog threads of every session. The
    // endpoint's Close joins them after its sessions have closed the sockets
    // and ended the streams they wait on.
    platform::ThreadSet bridgeThreads;

  private:
    mutable std::mutex sessionsLock_;  // guards sessions_
    std::vector<std::shared_ptr<QuicSession>> sessions_;
};

struct OpenedStream {
    QUIC_STATUS status = QUIC_STATUS_INVALID_STATE;
    HQUIC handle = nullptr;
    std::shared_ptr<QuicStream> stream;
};

class QuicSession : public std::enable_shared_from_this<QuicSession> {
  public:
    QuicSession(const QUIC_API_TABLE* api, std::shared_ptr<QuicEndpointState> owner);
    // Performs CloseAll.
    ~QuicSession();
    QuicSession(const QuicSession&) = delete;
    QuicSession& operator=(const QuicSession&) = delete;

    void SetHandler(ConnectionHandler handler, void* context) { handler_.Set(handler, context); }

    // Closes the listeners, closes every stream and the connection.
    // Not from a callback of this session's connection.
    void CloseAll();
    // Asks the layer to end the connection now (any thread, callbacks too);
    // its shutdown completes as for any other end.
    void Shutdown();

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
    // False (and the listener closed) when the session has already ended.
    bool AddListener(std::shared_ptr<net::TcpListener> listener);
    std::size_t ListenerCount() const;
    // A place for one more bridged connection; null when the cap is reached.
    std::shared_ptr<BridgeSlot> TakeBridgeSlot() { return bridgeSlots_->Take(); }
    std::size_t BridgedConnections() const { return bridgeSlots_->InUse(); }
    // Where the bridge starts the threads that serve this session.
    platform::ThreadSet& BridgeThreads() const { return owner_->bridgeThreads; }

    // The connection handle; it stays readable after the connection ended.
    HQUIC Connection() const { return connection_.Identity(); }
    bool IsOpen() const { return connection_.Available(); }

    // The layer's callback; the context is the QuicSession.
    static QUIC_STATUS QUIC_API Callback(HQUIC connection, void* context,
                                         QUIC_CONNECTION_EVENT* event);

  private:
    friend class QuicEndpoint;
    friend class QuicStream;
    void Attach(HQUIC connection) { connection_.Set(connection); }
    void RemoveStream(const QuicStream* stream);
    // Marks the session ended and closes its listeners (which ends their
    // accept threads); returns the streams it had.
    std::vector<std::shared_ptr<QuicStream>> End();
    QUIC_STATUS CallHandler(HQUIC connection, QUIC_CONNECTION_EVENT* event,
                            bool afterStreamCreated) const;
    QUIC_STATUS OnEvent(HQUIC connection, QUIC_CONNECTION_EVENT* event);
    QUIC_STATUS OnPeerStreamStarted(HQUIC connection, QUIC_CONNECTION_EVENT* event);
    void OnShutdownComplete();

    const QUIC_API_TABLE* const api_;
    const std::shared_ptr<QuicEndpointState> owner_;
    QuicHandleGuard connection_;
    HandlerSlot<ConnectionHandler> handler_;
    const std::shared_ptr<BridgeSlots> bridgeSlots_ =
        std::make_shared<BridgeSlots>(kBridgeMaxConnections);

    mutable std::mutex lock_;  // guards streams_, listeners_, ended_
    std::vector<std::shared_ptr<QuicStream>> streams_;
    std::vector<std::shared_ptr<net::TcpListener>> listeners_;
    bool ended_ = false;
};

}  // namespace quic
