#include "quic/QuicSession.h"

#include <algorithm>
#include <utility>

#include "quic/Bridge.h"

namespace quic {

QuicSession::QuicSession(const QUIC_API_TABLE* api, HQUIC configuration,
                         std::shared_ptr<QuicEndpointState> owner)
    : api_(api), configuration_(configuration), owner_(std::move(owner)) {}

QuicSession::~QuicSession() {
    CloseAll();
}

void QuicSession::SetHandler(ConnectionHandler handler, void* context) {
    std::lock_guard guard(handlerLock_);
    handler_ = handler;
    handlerContext_ = context;
}

void QuicSession::CloseListeningSockets() {
    std::vector<net::TcpSocket> sockets;
    {
        std::lock_guard guard(owner_->lock);
        sockets = std::exchange(listeningSockets_, {});
    }
    // Closing wakes the accept threads, which then end.
    for (net::TcpSocket& socket : sockets)
        socket.Close();
}

void QuicSession::CloseAll() {
    CloseListeningSockets();
    std::vector<std::shared_ptr<QuicStream>> streams;
    {
        std::lock_guard guard(owner_->lock);
        ended_ = true;
        streams = streams_;
    }
    // Every socket first: that releases a worker blocked in a write to one,
    // before anything waits for the worker.
    for (const auto& stream : streams)
        stream->CloseSocket();
    for (const auto& stream : streams)
        stream->Close();
    const QUIC_API_TABLE* api = api_;
    // Called from outside the worker, ConnectionClose returns once the
    // connection and its streams are shut down.
    connection_.Retire([api](HQUIC connection) { api->ConnectionClose(connection); }, true);
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
        std::lock_guard guard(owner_->lock);
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
    std::lock_guard guard(owner_->lock);
    if (stream == nullptr)
        return streams_.empty() ? nullptr : streams_.front();
    for (const auto& candidate : streams_)
        if (candidate->Handle() == stream)
            return candidate;
    return nullptr;
}

std::vector<std::shared_ptr<QuicStream>> QuicSession::Streams() const {
    std::lock_guard guard(owner_->lock);
    return streams_;
}

bool QuicSession::AddListeningSocket(net::TcpSocket socket) {
    {
        std::lock_guard guard(owner_->lock);
        if (!ended_) {
            listeningSockets_.push_back(std::move(socket));
            return true;
        }
    }
    socket.Close();
    return false;
}

std::size_t QuicSession::ListeningSocketCount() const {
    std::lock_guard guard(owner_->lock);
    return listeningSockets_.size();
}

void QuicSession::RemoveStream(const QuicStream* stream) {
    std::shared_ptr<QuicStream> removed;
    {
        std::lock_guard guard(owner_->lock);
        const auto found =
            std::find_if(streams_.begin(), streams_.end(),
                         [stream](const auto& item) { return item.get() == stream; });
        if (found == streams_.end())
            return;
        removed = std::move(*found);
        streams_.erase(found);
    }
    // `removed` dies here, outside the lock.
}

QUIC_STATUS QUIC_API QuicSession::Callback(HQUIC connection, void* context,
                                           QUIC_CONNECTION_EVENT* event) {
    auto* raw = static_cast<QuicSession*>(context);
    if (raw == nullptr)
        return QUIC_STATUS_INVALID_STATE;
    // A session already being destroyed is closing its connection.
    const std::shared_ptr<QuicSession> self = raw->weak_from_this().lock();
    if (!self)
        return QUIC_STATUS_SUCCESS;
    return self->OnEvent(connection, event);
}

QUIC_STATUS QuicSession::OnEvent(HQUIC connection, QUIC_CONNECTION_EVENT* event) {
    ConnectionHandler handler;
    void* context;
    {
        std::lock_guard guard(handlerLock_);
        handler = handler_;
        context = handlerContext_;
    }
    if (handler != nullptr) {
        const QUIC_STATUS status = handler(connection, event, context, false);
        if (QUIC_FAILED(status))
            return status;
    }
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
        std::lock_guard guard(owner_->lock);
        streams_.push_back(stream);
    }
    api_->SetCallbackHandler(handle, reinterpret_cast<void*>(&QuicStream::Callback), stream.get());

    ConnectionHandler handler;
    void* context;
    {
        std::lock_guard guard(handlerLock_);
        handler = handler_;
        context = handlerContext_;
    }
    if (handler != nullptr) {
        const QUIC_STATUS status = handler(connection, event, context, true);
        if (QUIC_FAILED(status))
            return status;
    }
    // A tunnel stream that never names its port does not hold a stream slot
    // for ever.
    if (stream->ExpectsPreamble() && !stream->HasHandler())
        StartPreambleWatchdog(stream, owner_->preambleTimeoutMs);
    return QUIC_STATUS_SUCCESS;
}

void QuicSession::OnShutdownComplete() {
    const QUIC_API_TABLE* api = api_;
    // Inside the callback the close takes effect when the callback returns.
    connection_.Retire([api](HQUIC connection) { api->ConnectionClose(connection); }, false);
    {
        std::lock_guard guard(owner_->lock);
        ended_ = true;
    }
    // The Visual Studio port belongs to the connection; with the connection
    // gone its accept thread would only refuse connections.
    CloseListeningSockets();
    std::shared_ptr<QuicSession> removed;
    {
        std::lock_guard guard(owner_->lock);
        auto& sessions = owner_->sessions;
        const auto found = std::find_if(sessions.begin(), sessions.end(),
                                        [this](const auto& item) { return item.get() == this; });
        if (found != sessions.end()) {
            removed = std::move(*found);
            sessions.erase(found);
        }
    }
}

}  // namespace quic
