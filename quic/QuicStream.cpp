#include "quic/QuicStream.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>

#include "platform/Socket.h"
#include "quic/QuicSession.h"

namespace quic {

namespace {

// A non-waiting send or receive found nothing to move, or was interrupted.
bool WouldWait(platform::SocketError error) {
    return error == platform::SocketError::WouldBlock ||
           error == platform::SocketError::Interrupted;
}

// Takes back a SendRequest that the layer held as a send's context.
void FreeSendRequest(void* context) {
    std::unique_ptr<SendRequest> request(static_cast<SendRequest*>(context));
}

}  // namespace

std::span<const std::uint8_t> ReceivedBlock(const QUIC_STREAM_EVENT& event,
                                            std::vector<std::uint8_t>& joined) {
    const auto& receive = event.RECEIVE;
    if (receive.BufferCount == 1)
        return {receive.Buffers[0].Buffer, receive.Buffers[0].Length};
    for (std::uint32_t index = 0; index < receive.BufferCount; ++index) {
        const QUIC_BUFFER& buffer = receive.Buffers[index];
        joined.insert(joined.end(), buffer.Buffer, buffer.Buffer + buffer.Length);
    }
    return joined;
}

QuicStream::QuicStream(std::weak_ptr<QuicSession> owner, const QUIC_API_TABLE* api,
                       QuicStreamInit init)
    : owner_(std::move(owner)),
      api_(api),
      expectsPreamble_(init.expectsPreamble),
      port_(init.port),
      handler_(init.handler),
      context_(init.context),
      handlerState_(std::move(init.handlerState)),
      socket_(std::move(init.socket)),
      slot_(std::move(init.slot)) {}

QuicStream::~QuicStream() {
    Close();
    // A stream given up before the layer completed it must not call back into
    // this object again.
    CloseHandle(false);
}

void QuicStream::CloseHandle(bool wait) {
    const QUIC_API_TABLE* api = api_;
    handle_.Retire([api](HQUIC stream) { api->StreamClose(stream); }, wait);
}

QUIC_STATUS QuicStream::Start() {
    const auto status = handle_.Use([this](HQUIC stream) {
        return api_->StreamStart(stream, QUIC_STREAM_START_FLAG_IMMEDIATE);
    });
    return status.value_or(QUIC_STATUS_INVALID_STATE);
}

QUIC_STATUS QuicStream::Send(std::span<const std::uint8_t> bytes) {
    return Send(std::make_unique<SendRequest>(bytes));
}

QUIC_STATUS QuicStream::Send(std::unique_ptr<SendRequest> request) {
    const std::size_t size = request->Size();
    {
        // Counted before the layer has it: its SEND_COMPLETE may come first.
        std::lock_guard guard(lock_);
        unacknowledged_ += size;
    }
    const auto status = handle_.Use([&](HQUIC stream) {
        return api_->StreamSend(stream, &request->buffer, 1, QUIC_SEND_FLAG_NONE, request.get());
    });
    // Accepted: the layer owns the request until SEND_COMPLETE.
    if (status && QUIC_SUCCEEDED(*status)) {
        (void)request.release();
        return *status;
    }
    {
        std::lock_guard guard(lock_);
        unacknowledged_ -= size;
    }
    changed_.notify_all();
    return status.value_or(QUIC_STATUS_INVALID_STATE);
}

std::size_t QuicStream::Unacknowledged() const {
    std::lock_guard guard(lock_);
    return unacknowledged_;
}

bool QuicStream::WaitForSendRoom(std::size_t limit) {
    for (;;) {
        {
            std::unique_lock guard(lock_);
            if (changed_.wait_for(guard, std::chrono::milliseconds(200),
                                  [&] { return ended_ || closed_ || unacknowledged_ < limit; }))
                return !ended_ && !closed_;
        }
        // A handle retired without its last events never notifies.
        if (!handle_.Available())
            return false;
    }
}

bool QuicStream::WaitForSendRoom(std::size_t limit, std::chrono::milliseconds idle) {
    std::unique_lock guard(lock_);
    for (;;) {
        if (ended_ || closed_)
            return false;
        if (unacknowledged_ < limit)
            return true;
        const std::size_t before = unacknowledged_;
        // Any acknowledgement starts the wait again; none within `idle` ends it.
        if (!changed_.wait_for(guard, idle,
                               [&] { return ended_ || closed_ || unacknowledged_ < before; }))
            return false;
    }
}

void QuicStream::OnSendComplete(void* context) {
    const std::size_t size = context != nullptr ? static_cast<SendRequest*>(context)->Size() : 0;
    FreeSendRequest(context);
    {
        std::lock_guard guard(lock_);
        unacknowledged_ -= std::min(size, unacknowledged_);
    }
    changed_.notify_all();
    // Room again: the socket is read on (the worker's events come here only).
    if (bridge_.readable)
        ReadFromSocket();
    if (bridge_.ended)
        CloseWhenDrained();
}

void QuicStream::CloseSocket() {
    net::TcpSocket socket{net::kInvalidSocket};
    {
        std::lock_guard guard(lock_);
        socket = std::exchange(socket_, net::TcpSocket(net::kInvalidSocket));
    }
    if (socket.IsValid())
        socket.Close();
}

void QuicStream::Close() {
    {
        std::lock_guard guard(lock_);
        closed_ = true;
    }
    changed_.notify_all();
    CloseSocket();
    handle_.Use([this](HQUIC stream) {
        return api_->StreamShutdown(stream, QUIC_STREAM_SHUTDOWN_FLAG_ABORT, 0);
    });
}

void QuicStream::CompleteReceive(std::size_t count) {
    if (count == 0)
        return;
    handle_.Use([this, count](HQUIC stream) {
        api_->StreamReceiveComplete(stream, count);
        return QUIC_STATUS_SUCCESS;
    });
}

ReceiveCredit QuicStream::CreditFunction() {
    return [weak = weak_from_this()](std::size_t count) {
        if (const auto self = weak.lock())
            self->CompleteReceive(count);
    };
}

bool QuicStream::WaitUntilReady() {
    std::unique_lock guard(lock_);
    changed_.wait(guard, [this] { return ready_ || ended_; });
    return ready_ && !ended_;
}

bool QuicStream::WaitForPreamble(int timeoutMs) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [this] {
        return preamble_.Checked() || handler_ != nullptr || ended_;
    });
}

void QuicStream::SetHandler(StreamHandler handler, void* context) {
    {
        std::lock_guard guard(lock_);
        handler_ = handler;
        context_ = context;
    }
    changed_.notify_all();
}

bool QuicStream::HasHandler() const {
    std::lock_guard guard(lock_);
    return handler_ != nullptr;
}

int QuicStream::Port() const {
    std::lock_guard guard(lock_);
    return port_;
}

net::TcpSocket QuicStream::Socket() const {
    std::lock_guard guard(lock_);
    return socket_;
}

QUIC_STATUS QUIC_API QuicStream::Callback(HQUIC stream, void* context, QUIC_STREAM_EVENT* event) {
    if (context == nullptr)
        return QUIC_STATUS_INVALID_STATE;
    // Keeps the object alive for the event; an object already being
    // destroyed is closing its handle and ignores what is left.
    if (const auto self = static_cast<QuicStream*>(context)->weak_from_this().lock())
        return self->OnEvent(stream, event);
    if (event->Type == QUIC_STREAM_EVENT_SEND_COMPLETE)
        FreeSendRequest(event->SEND_COMPLETE.ClientContext);
    return QUIC_STATUS_SUCCESS;
}

QUIC_STATUS QuicStream::OnEvent(HQUIC stream, QUIC_STREAM_EVENT* event) {
    StreamHandler handler;
    void* context;
    {
        std::lock_guard guard(lock_);
        handler = handler_;
        context = context_;
    }
    if (handler != nullptr) {
        const QUIC_STATUS status = handler(stream, event, context);
        if (QUIC_FAILED(status)) {
            // The request is freed whatever the handler said.
            if (event->Type == QUIC_STREAM_EVENT_SEND_COMPLETE)
                OnSendComplete(event->SEND_COMPLETE.ClientContext);
            return status;
        }
        // The handler took the bytes and gives their credit back later.
        if (status == QUIC_STATUS_PENDING && event->Type == QUIC_STREAM_EVENT_RECEIVE)
            return status;
    }
    switch (event->Type) {
        case QUIC_STREAM_EVENT_START_COMPLETE:
            OnStartComplete(event->START_COMPLETE.Status);
            break;
        case QUIC_STREAM_EVENT_RECEIVE:
            if (event->RECEIVE.BufferCount > 0)
                return OnReceive(*event);
            break;
        case QUIC_STREAM_EVENT_SEND_COMPLETE:
            OnSendComplete(event->SEND_COMPLETE.ClientContext);
            break;
        case QUIC_STREAM_EVENT_SHUTDOWN_COMPLETE:
            OnShutdownComplete();
            break;
        case QUIC_STREAM_EVENT_SOCKET_READY:
            OnSocketReady(event->SOCKET_READY.Readable != FALSE,
                          event->SOCKET_READY.Writable != FALSE);
            break;
        default:
            break;
    }
    return QUIC_STATUS_SUCCESS;
}

void QuicStream::OnStartComplete(QUIC_STATUS status) {
    if (QUIC_FAILED(status)) {
        MarkEnded();
        CloseSocket();
        return;
    }
    const int port = Port();
    if (port != 0) {
        // Queued before the stream is marked ready, so the preamble is always
        // the first bytes on the stream.
        const std::string preamble = BuildPreamble(port);
        Send({reinterpret_cast<const std::uint8_t*>(preamble.data()), kPreambleSize});
    }
    {
        std::lock_guard guard(lock_);
        ready_ = true;
    }
    changed_.notify_all();
    // After the preamble: the socket's first bytes follow it.
    AttachSocket();
}

QUIC_STATUS QuicStream::OnReceive(QUIC_STREAM_EVENT& event) {
    std::vector<std::uint8_t> joined;
    const std::span<const std::uint8_t> block = ReceivedBlock(event, joined);
    bool collecting = false;
    bool bridged = false;
    {
        std::lock_guard guard(lock_);
        // A control stream's bytes went to its handler; they never name a port.
        collecting = expectsPreamble_ && handler_ == nullptr && !preamble_.Checked() && !ended_;
        bridged = socket_.IsValid();
    }
    if (collecting) {
        const PreambleTail tail = OnPreambleBlock(block);
        if (tail.queued == 0)
            return QUIC_STATUS_SUCCESS;
        // What did not fit the socket's queue is indicated again once
        // the socket has taken some.
        event.RECEIVE.TotalBufferLength = block.size() - (tail.rest - tail.queued);
        // Only what waits for the socket keeps its credit back.
        CompleteReceive(block.size() - tail.rest);
        return QUIC_STATUS_PENDING;
    }
    // Without a socket the block is dropped.
    if (!bridged)
        return QUIC_STATUS_SUCCESS;
    // While nothing waits for the socket, what it takes without blocking
    // goes at once.
    std::size_t direct = 0;
    if (bridge_.heldHead == bridge_.held.size()) {
        net::TcpSocket socket{net::kInvalidSocket};
        {
            std::lock_guard guard(lock_);
            socket = socket_;
        }
        const long sent = platform::TrySend(socket.Handle(), block.data(), block.size());
        if (sent < 0 && !WouldWait(platform::LastSocketError())) {
            // The local end is gone: so is the stream, and these bytes.
            Close();
            return QUIC_STATUS_SUCCESS;
        }
        if (sent > 0)
            direct = static_cast<std::size_t>(sent);
        if (direct == block.size())
            return QUIC_STATUS_SUCCESS;
    }
    // The rest is written when the socket is writable again, and its credit
    // returned then; what does not fit stays with the transport meanwhile.
    event.RECEIVE.TotalBufferLength = direct + HoldForSocket(block.subspan(direct));
    if (direct > 0)
        CompleteReceive(direct);
    return QUIC_STATUS_PENDING;
}

void QuicStream::AttachSocket() {
    net::TcpSocket socket{net::kInvalidSocket};
    {
        std::lock_guard guard(lock_);
        socket = socket_;
    }
    if (!socket.IsValid())
        return;
    const auto status = handle_.Use(
        [&](HQUIC stream) { return api_->StreamAttachSocket(stream, socket.Handle()); });
    if (!status || QUIC_FAILED(*status))
        Close();
}

void QuicStream::OnSocketReady(bool readable, bool writable) {
    if (writable)
        WriteToSocket();
    if (readable) {
        bridge_.readable = true;
        ReadFromSocket();
    }
}

void QuicStream::ReadFromSocket() {
    net::TcpSocket socket{net::kInvalidSocket};
    {
        std::lock_guard guard(lock_);
        if (closed_ || ended_)
            return;
        socket = socket_;
    }
    if (!socket.IsValid())
        return;
    while (bridge_.readable && !bridge_.ended && Unacknowledged() < kBridgeUnacknowledgedLimit) {
        auto request = std::make_unique<SendRequest>(kRelayChunkSize);
        const long received =
            platform::TryReceive(socket.Handle(), request->bytes.get(), kRelayChunkSize);
        const platform::SocketError error =
            received < 0 ? platform::LastSocketError() : platform::SocketError::None;
        if (error == platform::SocketError::Interrupted)
            continue;
        if (error == platform::SocketError::WouldBlock) {
            bridge_.readable = false;
            break;
        }
        if (received <= 0) {
            bridge_.ended = true;
            break;
        }
        // A short read still reads on: the end of the connection may have
        // come with these bytes, in the same event.
        request->Resize(static_cast<std::size_t>(received));
        // A failed send (the stream is gone) drops the bytes.
        Send(std::move(request));
    }
    if (bridge_.ended)
        CloseWhenDrained();
}

void QuicStream::CloseWhenDrained() {
    {
        std::lock_guard guard(lock_);
        if (closed_ || unacknowledged_ > 0)
            return;
    }
    Close();
}

void QuicStream::WriteToSocket() {
    if (bridge_.heldHead == bridge_.held.size())
        return;
    net::TcpSocket socket{net::kInvalidSocket};
    {
        std::lock_guard guard(lock_);
        socket = socket_;
    }
    std::size_t written = 0;
    bool failed = !socket.IsValid();
    while (!failed && bridge_.heldHead < bridge_.held.size()) {
        const long sent = platform::TrySend(socket.Handle(), bridge_.held.data() + bridge_.heldHead,
                                            bridge_.held.size() - bridge_.heldHead);
        const platform::SocketError error =
            sent < 0 ? platform::LastSocketError() : platform::SocketError::None;
        if (sent > 0) {
            bridge_.heldHead += static_cast<std::size_t>(sent);
            written += static_cast<std::size_t>(sent);
        } else if (error == platform::SocketError::Interrupted) {
            continue;
        } else if (error == platform::SocketError::WouldBlock) {
            break;
        } else {
            failed = true;
        }
    }
    if (bridge_.heldHead == bridge_.held.size()) {
        bridge_.held.clear();
        bridge_.heldHead = 0;
    }
    CompleteReceive(written);
    if (failed)
        Close();
}

std::size_t QuicStream::HoldForSocket(std::span<const std::uint8_t> bytes) {
    const std::size_t waiting = bridge_.held.size() - bridge_.heldHead;
    const std::size_t taken =
        std::min(bytes.size(), kSocketQueueCapacity - std::min(waiting, kSocketQueueCapacity));
    if (bridge_.heldHead > 0 && bridge_.heldHead >= bridge_.held.size() / 2) {
        // Drop what was written once it outweighs what is left.
        bridge_.held.erase(bridge_.held.begin(),
                           bridge_.held.begin() + static_cast<std::ptrdiff_t>(bridge_.heldHead));
        bridge_.heldHead = 0;
    }
    bridge_.held.insert(bridge_.held.end(), bytes.begin(),
                        bytes.begin() + static_cast<std::ptrdiff_t>(taken));
    return taken;
}

QuicStream::PreambleTail QuicStream::OnPreambleBlock(std::span<const std::uint8_t> block) {
    PreambleCollector::Outcome outcome;
    {
        std::lock_guard guard(lock_);
        outcome = preamble_.Add(block);
        if (outcome.state == PreambleCollector::State::Found)
            port_ = outcome.port;
    }
    if (outcome.state == PreambleCollector::State::Collecting)
        return {};
    changed_.notify_all();
    if (outcome.state == PreambleCollector::State::Missing)
        return {};  // no socket: every byte of this stream is dropped

    net::TcpSocket socket;
    if (!net::Ok(socket.Connect("127.0.0.1", outcome.port))) {
        // The stream stays open and silent.
        socket.Close();
        return {};
    }
    PrepareBridgedSocket(socket);
    {
        std::lock_guard guard(lock_);
        if (ended_ || closed_) {
            socket.Close();
            return {};
        }
        socket_ = socket;
    }
    AttachSocket();
    PreambleTail tail;
    tail.rest = outcome.rest.size();
    tail.queued = HoldForSocket(outcome.rest);
    WriteToSocket();
    return tail;
}

void QuicStream::SetBridgeSlot(std::shared_ptr<BridgeSlot> slot) {
    std::lock_guard guard(lock_);
    slot_ = std::move(slot);
}

void QuicStream::OnShutdownComplete() {
    // Inside the callback the close takes effect when the callback returns.
    CloseHandle(false);
    if (const auto session = owner_.lock())
        session->RemoveStream(this);
    CloseSocket();
    std::shared_ptr<BridgeSlot> slot;
    {
        std::lock_guard guard(lock_);
        slot = std::exchange(slot_, nullptr);
    }
    MarkEnded();
}

void QuicStream::MarkEnded() {
    {
        std::lock_guard guard(lock_);
        ended_ = true;
    }
    changed_.notify_all();
}

}  // namespace quic
