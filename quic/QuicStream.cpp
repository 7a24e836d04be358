#include "quic/QuicStream.h"

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>

#include "quic/QuicSession.h"

namespace quic {

namespace {

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
      socket_(std::move(init.socket)) {}

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
    auto request = std::make_unique<SendRequest>(bytes);
    {
        // Counted before the layer has it: its SEND_COMPLETE may come first.
        std::lock_guard guard(lock_);
        unacknowledged_ += bytes.size();
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
        unacknowledged_ -= bytes.size();
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
    const std::size_t size =
        context != nullptr ? static_cast<SendRequest*>(context)->bytes.size() : 0;
    FreeSendRequest(context);
    {
        std::lock_guard guard(lock_);
        unacknowledged_ -= std::min(size, unacknowledged_);
    }
    changed_.notify_all();
}

void QuicStream::CloseSocket() {
    net::TcpSocket socket{net::kInvalidSocket};
    {
        std::lock_guard guard(lock_);
        socket = std::exchange(socket_, net::TcpSocket(net::kInvalidSocket));
    }
    if (socket.IsValid())
        socket.Close();
    // Wakes the socket writer, which then ends.
    toSocket_.Close();
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
        default:
            break;
    }
    return QUIC_STATUS_SUCCESS;
}

void QuicStream::OnStartComplete(QUIC_STATUS status) {
    if (QUIC_FAILED(status)) {
        MarkEnded();
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
        // What did not fit the socket writer's queue is indicated again once
        // the writer has made room.
        event.RECEIVE.TotalBufferLength = block.size() - (tail.rest - tail.queued);
        // Only what waits for the socket keeps its credit back.
        CompleteReceive(block.size() - tail.rest);
        return QUIC_STATUS_PENDING;
    }
    // Without a socket the block is dropped.
    if (!bridged)
        return QUIC_STATUS_SUCCESS;
    // While the writer has nothing to write, what the socket takes without
    // blocking goes at once: a small reply then reaches the debugger without
    // a hand-off to the writer thread.
    std::size_t direct = 0;
    if (toSocket_.Drained()) {
        net::TcpSocket socket{net::kInvalidSocket};
        {
            std::lock_guard guard(lock_);
            socket = socket_;
        }
        const int sent = socket.Send(block, false, MSG_DONTWAIT);
        if (sent > 0)
            direct = static_cast<std::size_t>(sent);
        if (direct == block.size())
            return QUIC_STATUS_SUCCESS;
    }
    // The writer writes the rest to the socket and returns its credit; what
    // does not fit stays with the transport until the writer has made room.
    event.RECEIVE.TotalBufferLength = direct + toSocket_.Push(block.subspan(direct));
    if (direct > 0)
        CompleteReceive(direct);
    return QUIC_STATUS_PENDING;
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
        if (ended_) {
            socket.Close();
            return {};
        }
        socket_ = socket;
    }
    std::shared_ptr<BridgeSlot> slot;
    {
        std::lock_guard guard(lock_);
        slot = slot_;
    }
    const std::shared_ptr<QuicSession> session = owner_.lock();
    if (!session || !StartClientPump(session->BridgeThreads(), socket, shared_from_this(), slot) ||
        !StartSocketWriter(session->BridgeThreads(), socket, shared_from_this(), slot)) {
        Close();
        return {};
    }
    PreambleTail tail;
    tail.rest = outcome.rest.size();
    tail.queued = toSocket_.Push(outcome.rest);
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
