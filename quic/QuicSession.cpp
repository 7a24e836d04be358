#include "quic/QuicSession.h"

#include <algorithm>
#include <utility>

#include "quic/Bridge.h"

namespace quic {

namespace {

// Takes the entry `item` out of `items`; null when it is not there.
template <typename T>
std::shared_ptr<T> TakeOut(std::vector<std::shared_ptr<T>>& items, const T* item) {
    const auto found = std::find_if(items.begin(), items.end(),
                                    [item](const auto& entry) { return entry.get() == item; });
    if (found == items.end())
        return nullptr;
    std::shared_ptr<T> taken = std::move(*found);
    items.erase(found);
    return taken;
}

}  // namespace

// ---------------------------------------------------------------- endpoint state

void QuicEndpointState::AddSession(std::shared_ptr<QuicSession> session) {
    std::lock_guard guard(sessionsLock_);
    sessions_.push_back(std::move(session));
}

std::shared_ptr<QuicSession> QuicEndpointState::RemoveSession(const QuicSession* session) {
    std::lock_guard guard(sessionsLock_);
    return TakeOut(sessions_, session);
}

std::shared_ptr<QuicSession> QuicEndpointState::FindSession(HQUIC connection) const {
    std::lock_guard guard(sessionsLock_);
    return FindByHandle(sessions_, connection, &QuicSession::Connection);
}

std::vector<std::shared_ptr<QuicSession>> QuicEndpointState::Sessions() const {
    std::lock_guard guard(sessionsLock_);
    return sessions_;
}

std::vector<std::shared_ptr<QuicSession>> QuicEndpointState::TakeSessions() {
    std::lock_guard guard(sessionsLock_);
    return std::exchange(sessions_, {});
}

// ---------------------------------------------------------------- session

QuicSession::QuicSession(const QUIC_API_TABLE* api, std::shared_ptr<QuicEndpointState> owner)
    : api_(api), owner_(std::move(owner)) {}

QuicSession::~QuicSession() {
    CloseAll();
}

std::vector<std::shared_ptr<QuicStream>> QuicSession::End() {
    std::vector<std::shared_ptr<net::TcpListener>> listeners;
    std::vector<std::shared_ptr<QuicStream>> streams;
    {
        std::lock_guard guard(lock_);
        ended_ = true;
        listeners = std::exchange(listeners_, {});
        streams = streams_;
    }
    // Closing wakes the accept threads, which then end.
    for (const auto& listener : listeners)
        listener->Close();
    return streams;
}

void QuicSession::CloseAll() {
    const std::vector<std::shared_ptr<QuicStream>> streams = End();
    // Every socket first: no local peer sends into a stream being closed.
    for (const auto& stream : streams)
        stream->CloseSocket();
    for (const auto& stream : streams)
        stream->Close();
    const QUIC_API_TABLE* api = api_;
    // Called from outside the worker, ConnectionClose returns once the
    // connection and its streams are shut down.
    connection_.Retire([api](HQUIC connection) { api->ConnectionClose(connection); }, true);
}

void QuicSession::Shutdown() {
    connection_.Use([this](HQUIC connection) {
        api_->ConnectionShutdown(connection, QUIC_CONNECTION_SHUTDOWN_FLAG_NONE, 0);
        return QUIC_STATUS_SUCCESS;
    });
}

OpenedStream QuicSession::OpenStream(QuicStreamInit init) {
    OpenedStream opened;
    auto stream = std::make_shared<QuicStream>(weak_from_this(), api_, std::move(init));
    HQUIC handle = nullptr;
    const auto status = connection_.Use([&](HQUIC connection) {
        return api_->StreamOpen(connection, QUIC_STREAM_OPEN_FLAG_NONE, &QuicStream::Callback,
                                stream.get(), &handle);
    });
    if (!status || QUIC_FAILED(*status)) {
        opened.status = status.value_or(QUIC_STATUS_INVALID_STATE);
        stream->Close();
        return opened;
    }
    stream->Attach(handle);
    {
        // Listed before it starts, so that no event finds it missing.
        std::lock_guard guard(lock_);
        if (ended_) {
            opened.status = QUIC_STATUS_INVALID_STATE;
            return opened;  // the stream's destructor closes the handle
        }
        streams_.push_back(stream);
    }
    opened.status = stream->Start();
    if (QUIC_FAILED(opened.status)) {
        RemoveStream(stream.get());
        stream->Close();
        return opened;
    }
    opened.handle = handle;
    opened.stream = std::move(stream);
    return opened;
}

std::shared_ptr<QuicStream> QuicSession::FindStream(HQUIC stream) const {
    std::lock_guard guard(lock_);
    return FindByHandle(streams_, stream, &QuicStream::Handle);
}

std::vector<std::shared_ptr<QuicStream>> QuicSession::Streams() const {
    std::lock_guard guard(lock_);
    return streams_;
}

bool QuicSession::AddListener(std::shared_ptr<net::TcpListener> listener) {
    {
        std::lock_guard guard(lock_);
        if (!ended_) {
            listeners_.push_back(std::move(listener));
            return true;
        }
    }
    listener->Close();
    return false;
}

std::size_t QuicSession::ListenerCount() const {
    std::lock_guard guard(lock_);
    return listeners_.size();
}

void QuicSession::RemoveStream(const QuicStream* stream) {
    std::shared_ptr<QuicStream> removed;
    {
        std::lock_guard guard(lock_);
        removed = TakeOut(streams_, stream);
    }
    // `removed` dies here, outside the lock.
}

QUIC_STATUS QUIC_API QuicSession::Callback(HQUIC connection, void* context,
                                           QUIC_CONNECTION_EVENT* event) {
    if (context == nullptr)
        return QUIC_STATUS_INVALID_STATE;
    // A session already being destroyed is closing its connection.
    const auto self = static_cast<QuicSession*>(context)->weak_from_this().lock();
    return self ? self->OnEvent(connection, event) : QUIC_STATUS_SUCCESS;
}

QUIC_STATUS QuicSession::CallHandler(HQUIC connection, QUIC_CONNECTION_EVENT* event,
                                     bool afterStreamCreated) const {
    const auto [handler, context] = handler_.Get();
    if (handler == nullptr)
        return QUIC_STATUS_SUCCESS;
    return handler(connection, event, context, afterStreamCreated);
}

QUIC_STATUS QuicSession::OnEvent(HQUIC connection, QUIC_CONNECTION_EVENT* event) {
    if (const QUIC_STATUS status = CallHandler(connection, event, false); QUIC_FAILED(status))
        return status;
    switch (event->Type) {
        case QUIC_CONNECTION_EVENT_SHUTDOWN_COMPLETE:
            OnShutdownComplete();
            return QUIC_STATUS_SUCCESS;
        case QUIC_CONNECTION_EVENT_PEER_STREAM_STARTED:
            return OnPeerStreamStarted(connection, event);
        default:
            return QUIC_STATUS_SUCCESS;
    }
}

QUIC_STATUS QuicSession::OnPeerStreamStarted(HQUIC connection, QUIC_CONNECTION_EVENT* event) {
    const HQUIC handle = event->PEER_STREAM_STARTED.Stream;
    api_->StreamReceiveSetEnabled(handle, TRUE);
    if (FindStream(handle) != nullptr)
        return QUIC_STATUS_SUCCESS;
    QuicStreamInit init;
    init.expectsPreamble = owner_->bridgePeerStreams;
    auto stream = std::make_shared<QuicStream>(weak_from_this(), api_, std::move(init));
    stream->Attach(handle);
    {
        std::lock_guard guard(lock_);
        streams_.push_back(stream);
    }
    api_->SetCallbackHandler(handle, reinterpret_cast<void*>(&QuicStream::Callback), stream.get());
    if (const QUIC_STATUS status = CallHandler(connection, event, true); QUIC_FAILED(status))
        return status;
    if (stream->ExpectsPreamble() && !stream->HasHandler()) {
        // A tunnel stream beyond the cap is refused before it costs a
        // thread or a socket.
        std::shared_ptr<BridgeSlot> slot = TakeBridgeSlot();
        if (!slot) {
            stream->Close();
            return QUIC_STATUS_SUCCESS;
        }
        stream->SetBridgeSlot(std::move(slot));
        // A tunnel stream that never names its port does not hold a stream
        // for ever.
        StartPreambleWatchdog(BridgeThreads(), stream, owner_->preambleTimeoutMs);
    }
    return QUIC_STATUS_SUCCESS;
}

void QuicSession::OnShutdownComplete() {
    const QUIC_API_TABLE* api = api_;
    // Inside the callback the close takes effect when the callback returns.
    connection_.Retire([api](HQUIC connection) { api->ConnectionClose(connection); }, false);
    // The Visual Studio port belongs to the connection; with the connection
    // gone its accept thread would only refuse connections.
    End();
    // The callback holds this session until it returns.
    owner_->RemoveSession(this);
}

}  // namespace quic
