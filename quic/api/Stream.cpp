#include "quic/api/Stream.h"

#include <algorithm>

#include "platform/Socket.h"
#include "quic/api/Connection.h"

namespace quicapi {

Stream::Stream(std::shared_ptr<Connection> owner, QUIC_STREAM_OPEN_FLAGS flags)
    : QUIC_HANDLE(QuicHandleType::Stream), connection(std::move(owner)), openFlags(flags) {}

void Stream::RunOnWorker(std::function<void()> op, bool wait) {
    auto worker = connection->GetWorker();
    if (worker == nullptr) {
        // The connection never started: no thread owns this stream yet.
        op();
        return;
    }
    if (wait)
        worker->RunAndWait(std::move(op));
    else
        worker->Post(std::move(op));
}

// ---------------------------------------------------------------- API

QUIC_STATUS Stream::Start(QUIC_STREAM_START_FLAGS flags) {
    if (appClosed || connection->HasEnded() || connection->GetWorker() == nullptr)
        return QUIC_STATUS_INVALID_STATE;
    StreamState idle = StreamState::Idle;
    if (!state.compare_exchange_strong(idle, StreamState::Started))
        return QUIC_STATUS_INVALID_STATE;
    auto self = shared_from_this();
    RunOnWorker([self, flags] { self->StartOnWorker(flags); }, false);
    return QUIC_STATUS_SUCCESS;
}

QUIC_STATUS Stream::Send(const QUIC_BUFFER* buffers, uint32_t count, QUIC_SEND_FLAGS flags,
                         void* context) {
    if (count > 0 && buffers == nullptr)
        return QUIC_STATUS_INVALID_PARAMETER;
    QueuedSend request;
    request.buffers.assign(buffers, buffers + count);
    for (const auto& buffer : request.buffers) {
        if (buffer.Length > 0 && buffer.Buffer == nullptr)
            return QUIC_STATUS_INVALID_PARAMETER;
        request.length += buffer.Length;
    }
    request.fin = (flags & QUIC_SEND_FLAG_FIN) != 0;
    request.context = context;
    bool first;
    {
        std::lock_guard guard(sendLock);
        if (!sendsOpen || appClosed)
            return QUIC_STATUS_INVALID_STATE;
        if (request.fin)
            sendsOpen = false;
        first = incoming.empty();
        incoming.push_back(std::move(request));
    }
    if (first) {
        auto self = shared_from_this();
        RunOnWorker([self] { self->TakeIncoming(); }, false);
    }
    return QUIC_STATUS_SUCCESS;
}

QUIC_STATUS Stream::Shutdown(QUIC_STREAM_SHUTDOWN_FLAGS flags, QUIC_UINT62 errorCode) {
    bool abort = (flags & QUIC_STREAM_SHUTDOWN_FLAG_ABORT) != 0;
    if (!abort && (flags & QUIC_STREAM_SHUTDOWN_FLAG_GRACEFUL) == 0)
        return QUIC_STATUS_INVALID_PARAMETER;
    if (errorCode >= (1ull << 62))
        return QUIC_STATUS_INVALID_PARAMETER;
    auto self = shared_from_this();
    if (!abort) {
        // A graceful end: a FIN after everything already queued.
        bool first;
        {
            std::lock_guard guard(sendLock);
            if (!sendsOpen)
                return QUIC_STATUS_SUCCESS;
            sendsOpen = false;
            first = incoming.empty();
            QueuedSend fin;
            fin.fin = true;
            fin.internal = true;
            incoming.push_back(std::move(fin));
        }
        if (first)
            RunOnWorker([self] { self->TakeIncoming(); }, false);
        return QUIC_STATUS_SUCCESS;
    }
    if (flags & QUIC_STREAM_SHUTDOWN_FLAG_ABORT_SEND) {
        std::lock_guard guard(sendLock);
        sendsOpen = false;
    }
    RunOnWorker([self, flags, errorCode] { self->AbortOnWorker(flags, errorCode); }, false);
    return QUIC_STATUS_SUCCESS;
}

QUIC_STATUS Stream::SetReceiveEnabled(bool enabled) {
    auto self = shared_from_this();
    auto worker = connection->GetWorker();
    if (worker != nullptr && worker->OnThread()) {
        receiveEnabled = enabled;
        if (enabled)
            receivePaused = false;
        if (enabled && HasHeld())
            worker->Post([self] { self->DeliverHeld(); });
        return QUIC_STATUS_SUCCESS;
    }
    RunOnWorker([self, enabled] { self->EnableReceive(enabled); }, false);
    return QUIC_STATUS_SUCCESS;
}

void Stream::ReceiveComplete(uint64_t length) {
    auto self = shared_from_this();
    RunOnWorker([self, length] { self->CompleteOnWorker(length); }, false);
}

QUIC_STATUS Stream::AttachSocket(QUIC_SOCKET fd) {
    if (appClosed || connection->GetWorker() == nullptr)
        return QUIC_STATUS_INVALID_STATE;
    // A duplicate of the worker's own: the application may close its
    // socket at any time without the worker watching a reused number.
    const platform::SocketHandle watched = platform::DuplicateSocket(fd);
    if (watched == platform::kInvalidSocket)
        return QUIC_STATUS_OUT_OF_MEMORY;
    auto self = shared_from_this();
    RunOnWorker([self, watched] { self->AttachOnWorker(watched); }, false);
    return QUIC_STATUS_SUCCESS;
}

void Stream::AttachOnWorker(platform::SocketHandle fd) {
    auto worker = connection->GetWorker();
    // Only a started stream is sure to end, and so to let the watch go.
    if (state.load() != StreamState::Started || appClosed || socketWatch != 0 ||
        worker == nullptr || !worker->OnThread()) {
        platform::CloseSocket(fd);
        return;
    }
    std::weak_ptr<Stream> weak = weak_from_this();
    socketWatch = worker->Watch(fd, [weak](bool readable, bool writable) {
        const auto stream = weak.lock();
        if (!stream || stream->Ended())
            return;
        QUIC_STREAM_EVENT event{};
        event.Type = QUIC_STREAM_EVENT_SOCKET_READY;
        event.SOCKET_READY.Readable = readable ? TRUE : FALSE;
        event.SOCKET_READY.Writable = writable ? TRUE : FALSE;
        stream->Indicate(event);
    });
}

void Stream::DetachSocket() {
    if (socketWatch == 0)
        return;
    if (auto worker = connection->GetWorker())
        worker->Unwatch(socketWatch);
    socketWatch = 0;
}

void Stream::Close() {
    if (appClosed.exchange(true))
        return;
    {
        std::lock_guard guard(sendLock);
        sendsOpen = false;
    }
    auto self = shared_from_this();
    if (state.load() == StreamState::Started)
        RunOnWorker([self] { self->AbortOnWorker(QUIC_STREAM_SHUTDOWN_FLAG_ABORT, 0); }, true);
    std::shared_ptr<Stream> drop = std::move(appRef);
}

// ---------------------------------------------------------------- worker

QUIC_STATUS Stream::Indicate(QUIC_STREAM_EVENT& event) {
    if (appClosed)
        return QUIC_STATUS_SUCCESS;
    auto [handler, context] = Handler<QUIC_STREAM_CALLBACK>();
    if (handler == nullptr)
        return QUIC_STATUS_SUCCESS;
    return handler(this, context, &event);
}

void Stream::EnableReceive(bool enabled) {
    receiveEnabled = enabled;
    if (enabled)
        receivePaused = false;
    DeliverHeld();
}

void Stream::CompleteOnWorker(uint64_t length) {
    // More than was withheld would open the window beyond what is buffered.
    const uint64_t credit = std::min(length, uncredited);
    uncredited -= credit;
    if (!Ended() && !appClosed)
        Credit(credit);
    if (receivePaused) {
        receivePaused = false;
        DeliverHeld();
    }
}

void Stream::Credit(uint64_t length) {
    if (length > 0 && connection->Native() != nullptr && !connection->Ended())
        connection->ExtendReceiveWindow(id, length);
}

void Stream::Hold(uint64_t offset, const uint8_t* data, size_t length, bool fin) {
    if (heldHead == held.size()) {
        held.clear();
        heldHead = 0;
        heldOffset = offset;
    } else if (heldHead >= held.size() / 2) {
        // Drop what was taken once it outweighs what is left.
        held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(heldHead));
        heldHead = 0;
    }
    held.insert(held.end(), data, data + length);
    heldFin = heldFin || fin;
}

void Stream::StartOnWorker(QUIC_STREAM_START_FLAGS flags) {
    startFlags = flags;
    if (Ended())
        return;
    if (connection->Ended()) {
        FinishWithoutTransport(QUIC_STATUS_ABORTED);
        return;
    }
    pendingStart = true;
    connection->QueueStart(shared_from_this());
}

bool Stream::TryOpen() {
    ngtcp2_conn* conn = connection->Native();
    if (conn == nullptr)
        return false;
    int64_t streamId = -1;
    int rv = (openFlags & QUIC_STREAM_OPEN_FLAG_UNIDIRECTIONAL)
                 ? ngtcp2_conn_open_uni_stream(conn, &streamId, this)
                 : ngtcp2_conn_open_bidi_stream(conn, &streamId, this);
    if (rv == NGTCP2_ERR_STREAM_ID_BLOCKED) {
        if ((startFlags & QUIC_STREAM_START_FLAG_FAIL_BLOCKED) == 0)
            return false;
        pendingStart = false;
        FinishWithoutTransport(QUIC_STATUS_STREAM_LIMIT_REACHED);
        return true;
    }
    pendingStart = false;
    if (rv != 0) {
        FinishWithoutTransport(QUIC_STATUS_INTERNAL_ERROR);
        return true;
    }
    id = streamId;
    connection->AddStream(id, shared_from_this());
    // ngtcp2 sends nothing for a stream until it has a frame to carry; the
    // peer would learn of a silent stream only when a later one shows up.
    announcePending = (startFlags & QUIC_STREAM_START_FLAG_IMMEDIATE) != 0;
    IndicateStartComplete(QUIC_STATUS_SUCCESS);
    TakeIncoming();
    if (announcePending)
        connection->ScheduleSend(this);
    return true;
}

void Stream::AdoptPeerStream(int64_t streamId) {
    state = StreamState::Started;
    id = streamId;
    ngtcp2_conn_set_stream_user_data(connection->Native(), id, this);
    connection->AddStream(id, shared_from_this());
}

void Stream::TakeIncoming() {
    std::vector<QueuedSend> batch;
    {
        std::lock_guard guard(sendLock);
        batch.swap(incoming);
    }
    for (auto& request : batch) {
        queuedOffset += request.length;
        request.endOffset = queuedOffset;
        if (request.fin)
            finQueued = true;
        sends.push_back(std::move(request));
    }
    if (sendAborted && !Ended())
        ReleaseAbortedSends();
    if (sendAborted || Ended())
        return;
    CompleteAcked();
    if (id >= 0 && HasUnsent())
        connection->ScheduleSend(this);
}

bool Stream::HasUnsent() const {
    if (sendAborted || Ended())
        return false;
    return announcePending || sentOffset < queuedOffset || (finQueued && !finSent);
}

size_t Stream::Gather(ngtcp2_vec* vectors, size_t max, size_t enough, bool& fin) const {
    size_t count = 0;
    uint64_t total = 0;
    size_t r = cursorRequest;
    size_t b = cursorBuffer;
    size_t offset = cursorByte;
    while (r < sends.size() && count < max && total < enough) {
        const QueuedSend& request = sends[r];
        if (b >= request.buffers.size()) {
            ++r;
            b = 0;
            offset = 0;
            continue;
        }
        const QUIC_BUFFER& buffer = request.buffers[b];
        if (offset < buffer.Length) {
            vectors[count].base = buffer.Buffer + offset;
            vectors[count].len = buffer.Length - offset;
            total += vectors[count].len;
            ++count;
        }
        ++b;
        offset = 0;
    }
    fin = finQueued && !finSent && sentOffset + total == queuedOffset;
    return count;
}

void Stream::AdvanceSent(size_t accepted, bool finWritten) {
    announcePending = false;
    size_t length = accepted;
    sentOffset += length;
    while (length > 0 && cursorRequest < sends.size()) {
        const QueuedSend& request = sends[cursorRequest];
        if (cursorBuffer >= request.buffers.size()) {
            ++cursorRequest;
            cursorBuffer = 0;
            cursorByte = 0;
            continue;
        }
        size_t available = request.buffers[cursorBuffer].Length - cursorByte;
        if (length < available) {
            cursorByte += length;
            length = 0;
        } else {
            length -= available;
            ++cursorBuffer;
            cursorByte = 0;
        }
    }
    if (finWritten)
        finSent = true;
}

void Stream::CompleteAcked() {
    while (!sends.empty() && sends.front().endOffset <= ackedOffset &&
           (sends.front().length > 0 || sends.front().endOffset <= sentOffset)) {
        QueuedSend done = std::move(sends.front());
        sends.pop_front();
        if (cursorRequest > 0) {
            --cursorRequest;
        } else {
            cursorBuffer = 0;
            cursorByte = 0;
        }
        if (!done.internal)
            IndicateSendComplete(done.context, false);
    }
}

void Stream::CancelSends() {
    std::vector<QueuedSend> late;
    {
        std::lock_guard guard(sendLock);
        sendsOpen = false;
        late.swap(incoming);
    }
    std::deque<QueuedSend> pending;
    pending.swap(sends);
    for (auto& request : late)
        pending.push_back(std::move(request));
    cursorRequest = cursorBuffer = cursorByte = 0;
    for (auto& request : pending)
        if (!request.internal)
            IndicateSendComplete(request.context, true);
}

void Stream::ReleaseAbortedSends() {
    std::vector<void*> released;
    std::deque<QueuedSend> kept;
    for (auto& request : sends) {
        const bool untouched = request.length == 0 ||
                               request.endOffset - request.length >= sentOffset ||
                               request.endOffset <= ackedOffset;
        if (!untouched)
            kept.push_back(std::move(request));
        else if (!request.internal)
            released.push_back(request.context);
    }
    sends.swap(kept);
    cursorRequest = cursorBuffer = cursorByte = 0;
    for (void* context : released)
        IndicateSendComplete(context, true);
}

void Stream::OnAcked(uint64_t offset, uint64_t length) {
    ackedOffset = std::max(ackedOffset, offset + length);
    if (sendAborted)
        ReleaseAbortedSends();
    else
        CompleteAcked();
}

void Stream::OnReceive(uint64_t offset, const uint8_t* data, size_t length, bool fin) {
    if (appClosed || Ended()) {
        connection->ExtendReceiveWindow(id, length);
        return;
    }
    // Held back, and not credited to the peer, until the application takes
    // it. What the datagrams of one receive round bring goes to the
    // application as one block once the round is over (the worker runs
    // operations only then), so a bridge writes it to its socket in one
    // call rather than one per packet.
    Hold(offset, data, length, fin);
    if (!receiveEnabled || receivePaused || deliveryPosted)
        return;
    auto worker = connection->GetWorker();
    if (worker == nullptr) {
        DeliverHeld();
        return;
    }
    deliveryPosted = true;
    worker->Post([self = shared_from_this()] {
        self->deliveryPosted = false;
        self->DeliverHeld();
    });
}

size_t Stream::IndicateReceive(uint64_t offset, const uint8_t* data, size_t length, bool fin) {
    QUIC_BUFFER buffer{static_cast<uint32_t>(length), const_cast<uint8_t*>(data)};
    QUIC_STREAM_EVENT event{};
    event.Type = QUIC_STREAM_EVENT_RECEIVE;
    event.RECEIVE.AbsoluteOffset = offset;
    event.RECEIVE.TotalBufferLength = length;
    event.RECEIVE.Buffers = &buffer;
    event.RECEIVE.BufferCount = 1;
    event.RECEIVE.Flags = fin ? QUIC_RECEIVE_FLAG_FIN : QUIC_RECEIVE_FLAG_NONE;
    const QUIC_STATUS status = Indicate(event);
    const size_t taken =
        static_cast<size_t>(std::min<uint64_t>(event.RECEIVE.TotalBufferLength, length));
    if (status == QUIC_STATUS_PENDING)
        uncredited += taken;
    else
        Credit(taken);
    return taken;
}

void Stream::ReportPeerFin() {
    if (peerFinReported)
        return;
    peerFinReported = true;
    QUIC_STREAM_EVENT event{};
    event.Type = QUIC_STREAM_EVENT_PEER_SEND_SHUTDOWN;
    Indicate(event);
}

void Stream::IndicateSendComplete(void* context, bool canceled) {
    QUIC_STREAM_EVENT event{};
    event.Type = QUIC_STREAM_EVENT_SEND_COMPLETE;
    event.SEND_COMPLETE.Canceled = canceled ? TRUE : FALSE;
    event.SEND_COMPLETE.ClientContext = context;
    Indicate(event);
}

void Stream::IndicateStartComplete(QUIC_STATUS status) {
    QUIC_STREAM_EVENT event{};
    event.Type = QUIC_STREAM_EVENT_START_COMPLETE;
    event.START_COMPLETE.Status = status;
    event.START_COMPLETE.ID = QUIC_SUCCEEDED(status) ? static_cast<QUIC_UINT62>(id) : 0;
    Indicate(event);
}

void Stream::DeliverHeld() {
    if (!receiveEnabled || receivePaused || Ended() || appClosed || !HasHeld())
        return;
    const bool fin = heldFin;
    const size_t length = held.size() - heldHead;
    if (length > 0) {
        // The application may only post work from the event, so `held` does
        // not change under it.
        const size_t taken = IndicateReceive(heldOffset, held.data() + heldHead, length, fin);
        heldHead += taken;
        heldOffset += taken;
        if (heldHead == held.size()) {
            held.clear();
            heldHead = 0;
        }
        if (taken < length) {
            receivePaused = true;
            return;
        }
    }
    heldFin = false;
    if (fin)
        ReportPeerFin();
}

void Stream::OnPeerReset(uint64_t errorCode) {
    if (Ended())
        return;
    held.clear();
    heldHead = 0;
    heldFin = false;
    QUIC_STREAM_EVENT event{};
    event.Type = QUIC_STREAM_EVENT_PEER_SEND_ABORTED;
    event.PEER_SEND_ABORTED.ErrorCode = errorCode;
    Indicate(event);
}

void Stream::OnPeerStopSending(uint64_t errorCode) {
    if (Ended() || sendAborted)
        return;
    {
        std::lock_guard guard(sendLock);
        sendsOpen = false;
    }
    // ngtcp2 answers with a reset. What it never took is canceled now, the
    // rest once acknowledged or when the stream ends; before the event, in
    // case the application closes the stream from it.
    sendAborted = true;
    connection->UnscheduleSend(this);
    ReleaseAbortedSends();
    QUIC_STREAM_EVENT event{};
    event.Type = QUIC_STREAM_EVENT_PEER_RECEIVE_ABORTED;
    event.PEER_RECEIVE_ABORTED.ErrorCode = errorCode;
    Indicate(event);
}

void Stream::AbortOnWorker(QUIC_STREAM_SHUTDOWN_FLAGS flags, uint64_t errorCode) {
    if (Ended())
        return;
    if (id < 0) {
        if (pendingStart) {
            pendingStart = false;
            connection->UnqueueStart(this);
            FinishWithoutTransport(QUIC_STATUS_ABORTED);
        }
        return;
    }
    ngtcp2_conn* conn = connection->Native();
    if (conn == nullptr)
        return;
    bool abortSend = (flags & QUIC_STREAM_SHUTDOWN_FLAG_ABORT_SEND) != 0;
    bool abortReceive = (flags & QUIC_STREAM_SHUTDOWN_FLAG_ABORT_RECEIVE) != 0;
    if (abortSend) {
        sendAborted = true;
        std::lock_guard guard(sendLock);
        sendsOpen = false;
    }
    if (abortSend)
        connection->UnscheduleSend(this);
    if (abortReceive) {
        held.clear();
        heldHead = 0;
        heldFin = false;
    }
    if (abortSend && abortReceive)
        ngtcp2_conn_shutdown_stream(conn, id, errorCode);
    else if (abortSend)
        ngtcp2_conn_shutdown_stream_write(conn, id, errorCode);
    else
        ngtcp2_conn_shutdown_stream_read(conn, id, errorCode);
    if (abortSend)
        ReleaseAbortedSends();
}

void Stream::FinishWithoutTransport(QUIC_STATUS startStatus) {
    IndicateStartComplete(startStatus);
    ConnectionEnd end;
    end.status = startStatus;
    ShutdownComplete(connection->Ended() ? &end : nullptr);
}

void Stream::OnClosed(uint64_t errorCode) {
    auto self = shared_from_this();
    connection->UnscheduleSend(this);
    connection->RemoveStream(id);
    // ngtcp2 reports no event for a received STOP_SENDING; a stream that
    // closes while our side had not finished and was not aborted by us was
    // stopped by the peer.
    bool sendFinished = finSent && ackedOffset >= queuedOffset;
    bool hasSendSide = (openFlags & QUIC_STREAM_OPEN_FLAG_UNIDIRECTIONAL) == 0 ||
                       ngtcp2_conn_is_local_stream(connection->Native(), id);
    if (hasSendSide && !sendFinished)
        OnPeerStopSending(errorCode);
    ShutdownComplete(nullptr);
}

void Stream::OnConnectionEnded(const ConnectionEnd& end) {
    if (Ended())
        return;
    if (pendingStart) {
        pendingStart = false;
        IndicateStartComplete(QUIC_STATUS_ABORTED);
    }
    ShutdownComplete(&end);
}

void Stream::ShutdownComplete(const ConnectionEnd* end) {
    if (Ended())
        return;
    // Data that arrived while receiving was disabled is still handed over:
    // dropping it silently would lose bytes the peer considers delivered.
    if (HasHeld()) {
        receiveEnabled = true;
        receivePaused = false;
        DeliverHeld();
        // What the application would still not take goes with the stream.
        held.clear();
        heldHead = 0;
        heldFin = false;
    }
    DetachSocket();
    bool graceful = finSent && !sendAborted && sends.empty();
    CancelSends();
    if (!sendShutdownReported) {
        sendShutdownReported = true;
        QUIC_STREAM_EVENT event{};
        event.Type = QUIC_STREAM_EVENT_SEND_SHUTDOWN_COMPLETE;
        event.SEND_SHUTDOWN_COMPLETE.Graceful = graceful;
        Indicate(event);
    }
    state = StreamState::Ended;
    QUIC_STREAM_EVENT event{};
    event.Type = QUIC_STREAM_EVENT_SHUTDOWN_COMPLETE;
    event.SHUTDOWN_COMPLETE.ConnectionShutdown = end != nullptr;
    if (end != nullptr) {
        event.SHUTDOWN_COMPLETE.ConnectionShutdownByApp = end->byApp;
        event.SHUTDOWN_COMPLETE.ConnectionClosedRemotely = end->remotely;
        event.SHUTDOWN_COMPLETE.ConnectionErrorCode = end->errorCode;
        event.SHUTDOWN_COMPLETE.ConnectionCloseStatus = end->status;
    }
    Indicate(event);
}

}  // namespace quicapi
