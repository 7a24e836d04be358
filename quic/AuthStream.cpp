#include "quic/AuthStream.h"

#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

#include <array>
#include <utility>
#include <vector>

#include "platform/Console.h"
#include "platform/Text.h"
#include "quic/QuicStream.h"

namespace quic {

namespace {

using Clock = std::chrono::steady_clock;

// Connections waiting to prove themselves at once; more are shut down.
constexpr std::size_t kMaxWaiting = 16;

// The channel's name and the TLS exporter's value of `connection`; empty
// when the exporter has nothing (the handshake is not complete).
std::vector<std::uint8_t> SessionBinding(HQUIC connection) {
    std::array<std::uint8_t, auth::kQuicExporterSize> exported{};
    if (QUIC_FAILED(
            MsQuicConnectionExport(connection, auth::kQuicExporterLabel.data(),
                                   static_cast<std::uint32_t>(auth::kQuicExporterLabel.size()),
                                   exported.data(), static_cast<std::uint32_t>(exported.size()))))
        return {};
    std::vector<std::uint8_t> binding = auth::ChannelBinding(auth::kQuicChannel);
    binding.insert(binding.end(), exported.begin(), exported.end());
    return binding;
}

std::string AddressText(const QUIC_ADDR* address) {
    if (address == nullptr)
        return "an unknown address";
    char text[INET6_ADDRSTRLEN] = {};
    const int port = QuicAddrGetPort(address);
    if (QuicAddrGetFamily(address) == QUIC_ADDRESS_FAMILY_INET) {
        ::inet_ntop(AF_INET, &address->Ipv4.sin_addr, text, sizeof text);
        return std::string(text) + ":" + std::to_string(port);
    }
    ::inet_ntop(AF_INET6, &address->Ipv6.sin6_addr, text, sizeof text);
    return "[" + std::string(text) + "]:" + std::to_string(port);
}

void SendOn(const std::shared_ptr<QuicSession>& session, HQUIC stream,
            const std::vector<std::uint8_t>& bytes) {
    if (bytes.empty() || !session)
        return;
    if (const auto found = session->FindStream(stream))
        found->Send(bytes);
}

}  // namespace

// ---------------------------------------------------------------- server

bool QuicAuthGate::Admit(const std::shared_ptr<QuicSession>& session, const QUIC_ADDR* remote) {
    std::lock_guard guard(lock_);
    if (waiting_.size() >= kMaxWaiting)
        return false;
    Waiting& entry = waiting_[session->Connection()];
    entry.session = session;
    entry.peer = AddressText(remote);
    entry.deadline = Clock::now() + auth::kAuthDeadline;
    return true;
}

void QuicAuthGate::OnPeerStream(HQUIC connection, HQUIC stream) {
    std::shared_ptr<QuicSession> session;
    {
        std::lock_guard guard(lock_);
        const auto it = waiting_.find(connection);
        if (it == waiting_.end() || it->second.stream != nullptr)
            return;  // later streams of a waiting connection carry nothing
        session = it->second.session.lock();
        const auto binding = SessionBinding(connection);
        if (!session || binding.empty())
            return;  // left waiting: its deadline ends it
        it->second.stream = stream;
        it->second.exchange.emplace(auth::Exchange::Role::Server, secret_, binding);
    }
    if (const auto found = session->FindStream(stream))
        found->SetHandler(&QuicAuthGate::StreamHandler, this);
}

QUIC_STATUS QuicAuthGate::StreamHandler(HQUIC stream, QUIC_STREAM_EVENT* event, void* context) {
    auto* gate = static_cast<QuicAuthGate*>(context);
    if (gate != nullptr && event->Type == QUIC_STREAM_EVENT_RECEIVE &&
        event->RECEIVE.BufferCount > 0) {
        std::vector<std::uint8_t> joined;
        gate->OnReceive(stream, ReceivedBlock(*event, joined));
    }
    // Bytes past the exchange are taken and dropped.
    return QUIC_STATUS_SUCCESS;
}

void QuicAuthGate::OnReceive(HQUIC stream, std::span<const std::uint8_t> bytes) {
    std::optional<Waiting> finished;
    std::vector<Waiting> others;
    std::vector<std::uint8_t> reply;
    HQUIC connection = nullptr;
    std::shared_ptr<QuicSession> session;
    {
        std::lock_guard guard(lock_);
        auto it = waiting_.begin();
        while (it != waiting_.end() && it->second.stream != stream)
            ++it;
        if (it == waiting_.end() || !it->second.exchange)
            return;
        auth::Exchange& exchange = *it->second.exchange;
        exchange.Feed(bytes);
        reply = exchange.TakeOutgoing();
        session = it->second.session.lock();
        connection = it->first;
        if (exchange.Done()) {
            finished = std::move(it->second);
            waiting_.erase(it);
        }
    }
    SendOn(session, stream, reply);
    if (!finished)
        return;
    if (!finished->exchange->Passed()) {
        Refuse(*finished, finished->exchange->Error());
        return;
    }
    if (!onPassed || !onPassed(connection)) {
        if (session)
            session->Shutdown();
        return;
    }
    // The run has its client: the others waiting are not served.
    {
        std::lock_guard guard(lock_);
        for (auto& [handle, entry] : waiting_)
            others.push_back(std::move(entry));
        waiting_.clear();
    }
    for (const auto& entry : others)
        if (const auto other = entry.session.lock())
            other->Shutdown();
}

void QuicAuthGate::Forget(HQUIC connection) {
    std::optional<Waiting> gone;
    {
        std::lock_guard guard(lock_);
        const auto it = waiting_.find(connection);
        if (it == waiting_.end())
            return;
        gone = std::move(it->second);
        waiting_.erase(it);
    }
    // A client that went before proving anything failed as well.
    platform::ConsoleWrite(L"Authentication failed: " + platform::FromUtf8(gone->peer) +
                           L" (connection closed)\r\n");
}

void QuicAuthGate::Expire() {
    std::vector<Waiting> overdue;
    {
        std::lock_guard guard(lock_);
        const auto now = Clock::now();
        for (auto it = waiting_.begin(); it != waiting_.end();) {
            if (now >= it->second.deadline) {
                overdue.push_back(std::move(it->second));
                it = waiting_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const auto& entry : overdue)
        Refuse(entry, auth::AuthError::Timeout);
}

void QuicAuthGate::Refuse(const Waiting& entry, auth::AuthError error) {
    platform::ConsoleWrite(auth::FailureLine(platform::FromUtf8(entry.peer), error));
    if (const auto session = entry.session.lock())
        session->Shutdown();
}

// ---------------------------------------------------------------- client

void QuicAuthClient::Start(HQUIC connection, const std::shared_ptr<QuicSession>& session) {
    std::vector<std::uint8_t> hello;
    {
        std::lock_guard guard(lock_);
        if (outcome_ != Outcome::Running || exchange_)
            return;
        session_ = session;
        const auto binding = SessionBinding(connection);
        if (!binding.empty())
            exchange_.emplace(auth::Exchange::Role::Client, secret_, binding);
        if (exchange_)
            hello = exchange_->TakeOutgoing();
    }
    // The stream's events come on this worker, after this callback: none is
    // missed while the stream is stored below.
    std::shared_ptr<QuicStream> stream;
    if (!hello.empty()) {
        QuicStreamInit init;
        init.handler = &QuicAuthClient::StreamHandler;
        init.context = this;
        stream = session->OpenStream(std::move(init)).stream;
    }
    if (stream) {
        {
            std::lock_guard guard(lock_);
            stream_ = stream;
        }
        if (QUIC_SUCCEEDED(stream->Send(hello)))
            return;
    }
    Fail(session);
}

QUIC_STATUS QuicAuthClient::StreamHandler(HQUIC, QUIC_STREAM_EVENT* event, void* context) {
    auto* self = static_cast<QuicAuthClient*>(context);
    if (self == nullptr || event->Type != QUIC_STREAM_EVENT_RECEIVE ||
        event->RECEIVE.BufferCount == 0)
        return QUIC_STATUS_SUCCESS;
    std::vector<std::uint8_t> joined;
    const auto bytes = ReceivedBlock(*event, joined);
    std::vector<std::uint8_t> proof;
    std::shared_ptr<QuicStream> stream;
    std::shared_ptr<QuicSession> session;
    Outcome outcome = Outcome::Running;
    {
        std::lock_guard guard(self->lock_);
        if (self->outcome_ != Outcome::Running || !self->exchange_)
            return QUIC_STATUS_SUCCESS;
        self->exchange_->Feed(bytes);
        proof = self->exchange_->TakeOutgoing();
        stream = self->stream_.lock();
        session = self->session_.lock();
        if (self->exchange_->Done())
            outcome = self->exchange_->Error() == auth::AuthError::None ? Outcome::Passed
                                                                        : Outcome::Failed;
    }
    // The proof goes out also when the server's failed (see Exchange).
    const bool sent = !proof.empty() && stream && QUIC_SUCCEEDED(stream->Send(proof));
    if (outcome == Outcome::Passed) {
        std::lock_guard guard(self->lock_);
        // Not sent, or the deadline came first: failed after all.
        if (sent && self->outcome_ == Outcome::Running)
            self->outcome_ = Outcome::Passed;
        else
            outcome = Outcome::Failed;
    }
    if (outcome == Outcome::Passed && self->onPassed)
        self->onPassed();
    else if (outcome == Outcome::Failed)
        self->Fail(session);
    return QUIC_STATUS_SUCCESS;
}

void QuicAuthClient::Fail(const std::shared_ptr<QuicSession>& session) {
    {
        std::lock_guard guard(lock_);
        if (outcome_ != Outcome::Running)
            return;
        outcome_ = Outcome::Failed;
    }
    if (onFailed)
        onFailed();
    if (session)
        session->Shutdown();
}

QuicAuthClient::Outcome QuicAuthClient::Current() const {
    std::lock_guard guard(lock_);
    return outcome_;
}

bool QuicAuthClient::Expire(Clock::time_point deadline) {
    std::shared_ptr<QuicSession> session;
    {
        std::lock_guard guard(lock_);
        if (outcome_ != Outcome::Running)
            return outcome_ == Outcome::Failed;
        if (Clock::now() < deadline)
            return false;
        session = session_.lock();
    }
    Fail(session);
    return true;
}

}  // namespace quic
