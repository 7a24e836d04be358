// Connection lifetime: idle timeout, closing a connection while its streams
// are busy, and closing everything from inside the last callback.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <future>
#include <thread>

#include "QuicHarness.h"

namespace quictest {
namespace {

TEST(QuicLifecycle, IdleTimeoutEndsBothConnections) {
    QuicPair::Options options;
    options.idleTimeoutMs = 500;
    QuicPair pair(options);
    ConnectionRecord* client = nullptr;
    ConnectionRecord* server = nullptr;
    ASSERT_TRUE(pair.ConnectBoth(client, server));
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(pair.events.WaitFor(
        [&] { return client->shutdownComplete == 1 && server->shutdownComplete == 1; }, 5000));
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(400));
    EXPECT_EQ(client->shutdownByTransport, 1);
    EXPECT_EQ(client->transportStatus, QUIC_STATUS_CONNECTION_IDLE);
    EXPECT_EQ(server->shutdownByTransport, 1);
    EXPECT_EQ(server->transportStatus, QUIC_STATUS_CONNECTION_IDLE);
}

TEST(QuicLifecycle, ClosingABusyConnectionCompletesEveryStreamAndSend) {
    QuicPair pair;
    ConnectionRecord* client = nullptr;
    ConnectionRecord* server = nullptr;
    ASSERT_TRUE(pair.ConnectBoth(client, server));
    constexpr int kStreams = 4;
    constexpr int kSends = 16;
    std::vector<uint8_t> block(1 << 20, 0x5a);
    QUIC_BUFFER buffer{static_cast<uint32_t>(block.size()), block.data()};
    std::vector<StreamRecord*> mine;
    client->onPeerStream = [](StreamRecord& stream) { stream.keepData = false; };
    for (int s = 0; s < kStreams; ++s) {
        StreamRecord* stream = pair.OpenStream(server);
        stream->keepData = false;
        mine.push_back(stream);
        for (int i = 0; i < kSends; ++i)
            ASSERT_EQ(
                pair.api->StreamSend(stream->handle, &buffer, 1, QUIC_SEND_FLAG_NONE, nullptr),
                QUIC_STATUS_SUCCESS);
    }
    // Wait until data flows, then close the server's connection from here.
    ASSERT_TRUE(pair.events.WaitFor([&] {
        for (auto* stream : client->peerStreams)
            if (stream->receivedBytes > (1u << 20))
                return true;
        return false;
    }));
    {
        std::lock_guard guard(pair.events.lock);
        server->closeOnShutdown = false;
    }
    pair.api->ConnectionClose(server->handle);
    // Close blocks until everything on the server side has completed.
    {
        std::lock_guard guard(pair.events.lock);
        for (auto* stream : mine) {
            EXPECT_EQ(stream->shutdownComplete, 1);
            EXPECT_EQ(stream->sendComplete, kSends);
            EXPECT_TRUE(stream->connectionShutdown);
        }
        EXPECT_EQ(server->shutdownComplete, 1);
    }
    ASSERT_TRUE(pair.events.WaitFor([&] {
        if (client->shutdownComplete != 1)
            return false;
        for (auto* stream : client->peerStreams)
            if (stream->shutdownComplete != 1)
                return false;
        return true;
    }));
    EXPECT_EQ(client->shutdownByPeer, 1);
    int canceled = 0;
    for (auto* stream : mine)
        canceled += stream->sendCanceled;
    EXPECT_GT(canceled, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::lock_guard guard(pair.events.lock);
    for (auto* stream : mine)
        EXPECT_FALSE(stream->shutdownAfterEnd);
    for (auto* stream : client->peerStreams)
        EXPECT_FALSE(stream->shutdownAfterEnd);
    EXPECT_FALSE(client->eventAfterEnd);
}

// More than a stream's flow-control window, queued at once on a new stream
// of `owner`, each send with its own context.
class QueuedSends {
  public:
    static constexpr int kCount = 24;

    QueuedSends(QuicPair& pair, ConnectionRecord* owner, uint8_t fill)
        : block_(1 << 20, fill), buffer_{static_cast<uint32_t>(block_.size()), block_.data()} {
        stream = pair.OpenStream(owner);
        stream->keepData = false;
        for (int i = 0; i < kCount; ++i)
            queued += pair.api->StreamSend(stream->handle, &buffer_, 1, QUIC_SEND_FLAG_NONE,
                                           &contexts_[i]) == QUIC_STATUS_SUCCESS;
    }
    QueuedSends(const QueuedSends&) = delete;
    QueuedSends& operator=(const QueuedSends&) = delete;

    // With the events' lock held: every send completed exactly once, some cancelled.
    void ExpectEachCompletedOnceSomeCancelled() const {
        EXPECT_EQ(stream->sendComplete, kCount);
        EXPECT_GT(stream->sendCanceled, 0);
        for (int i = 0; i < kCount; ++i)
            EXPECT_EQ(std::count(stream->completedContexts.begin(), stream->completedContexts.end(),
                                 &contexts_[i]),
                      1)
                << "send " << i;
    }

    StreamRecord* stream = nullptr;
    int queued = 0;

  private:
    std::vector<uint8_t> block_;
    QUIC_BUFFER buffer_;
    std::array<int, kCount> contexts_{};
};

// Sends still queued when a stream is aborted each complete exactly once, the
// unsent ones cancelled.
TEST(QuicLifecycle, AbortedStreamCompletesEveryQueuedSendOnceCancelled) {
    QuicPair pair;
    ConnectionRecord* client = nullptr;
    ConnectionRecord* server = nullptr;
    ASSERT_TRUE(pair.ConnectBoth(client, server));
    client->onPeerStream = [](StreamRecord& stream) { stream.keepData = false; };
    // Most of it cannot have gone when the stream is aborted.
    const QueuedSends sends(pair, server, 0x3c);
    ASSERT_EQ(sends.queued, QueuedSends::kCount);
    StreamRecord* stream = sends.stream;
    ASSERT_EQ(pair.api->StreamShutdown(stream->handle, QUIC_STREAM_SHUTDOWN_FLAG_ABORT, 0),
              QUIC_STATUS_SUCCESS);
    ASSERT_TRUE(
        pair.events.WaitFor([&] { return stream->sendComplete >= QueuedSends::kCount; }, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::lock_guard guard(pair.events.lock);
    sends.ExpectEachCompletedOnceSomeCancelled();
}

// The peer stops reading (STOP_SENDING) while our sends wait for its flow
// control: every queued send completes exactly once, cancelled, although the
// stream itself stays open (the peer's own direction is not finished).
TEST(QuicLifecycle, PeerStopSendingCompletesFlowBlockedSends) {
    QuicPair pair;
    ConnectionRecord* client = nullptr;
    ConnectionRecord* server = nullptr;
    ASSERT_TRUE(pair.ConnectBoth(client, server));
    std::atomic<HQUIC> peer{nullptr};
    client->onPeerStream = [&](StreamRecord& stream) {
        stream.keepData = false;
        // Nothing is taken, so no credit goes back: the sender blocks at
        // the stream's window.
        stream.api->StreamReceiveSetEnabled(stream.handle, FALSE);
        peer = stream.handle;
    };
    constexpr int kSends = QueuedSends::kCount;
    const QueuedSends sends(pair, server, 0x5a);
    ASSERT_EQ(sends.queued, kSends);
    StreamRecord* stream = sends.stream;
    // The stream's window (a few MiB) goes out and is acknowledged; the
    // rest waits for credit that never comes.
    ASSERT_TRUE(pair.events.WaitFor([&] { return stream->sendComplete >= 1; }, 10000));
    ASSERT_NE(peer.load(), nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(pair.api->StreamShutdown(peer.load(), QUIC_STREAM_SHUTDOWN_FLAG_ABORT_RECEIVE, 7),
              QUIC_STATUS_SUCCESS);
    ASSERT_TRUE(pair.events.WaitFor([&] { return stream->sendComplete >= kSends; }, 10000))
        << stream->sendComplete << " of " << kSends << " sends completed";
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::lock_guard guard(pair.events.lock);
    sends.ExpectEachCompletedOnceSomeCancelled();
    EXPECT_EQ(stream->peerReceiveAborted, 1);
    EXPECT_EQ(stream->shutdownComplete, 0) << "the stream is still open";
}

// A UDP socket on 127.0.0.1 that reads nothing and answers nothing, so a
// handshake towards it can only time out.
class SilentPeer {
  public:
    SilentPeer() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            socklen_t length = sizeof address;
            if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
                port_ = ntohs(address.sin_port);
        }
    }
    ~SilentPeer() { ::close(fd_); }
    SilentPeer(const SilentPeer&) = delete;
    SilentPeer& operator=(const SilentPeer&) = delete;
    uint16_t Port() const { return port_; }

  private:
    int fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    uint16_t port_ = 0;
};

struct ClosingApp {
    const QUIC_API_TABLE* api = nullptr;
    HQUIC registration = nullptr;
    HQUIC configuration = nullptr;
    std::promise<void> closed;
};

// Closes the connection, configuration and registration from the worker
// thread that delivers the connection's last event.
QUIC_STATUS QUIC_API CloseEverythingOnShutdown(HQUIC connection, void* context,
                                               QUIC_CONNECTION_EVENT* event) {
    auto* app = static_cast<ClosingApp*>(context);
    if (event->Type == QUIC_CONNECTION_EVENT_SHUTDOWN_COMPLETE) {
        app->api->ConnectionClose(connection);
        app->api->ConfigurationClose(app->configuration);
        app->api->RegistrationClose(app->registration);
        app->closed.set_value();
    }
    return QUIC_STATUS_SUCCESS;
}

// The worker then loses its last owner on its own thread; it must wind down
// without touching what has been freed (the sanitizer runs check that).
TEST(QuicLifecycle, RegistrationClosedInsideItsLastCallback) {
    ClosingApp app;
    ASSERT_EQ(MsQuicOpen2(&app.api), QUIC_STATUS_SUCCESS);
    const QUIC_REGISTRATION_CONFIG config{"closing", QUIC_EXECUTION_PROFILE_LOW_LATENCY};
    ASSERT_EQ(app.api->RegistrationOpen(&config, &app.registration), QUIC_STATUS_SUCCESS);
    QUIC_SETTINGS settings{};
    settings.HandshakeIdleTimeoutMs = 200;
    settings.IsSet.HandshakeIdleTimeoutMs = 1;
    QUIC_BUFFER alpn{static_cast<uint32_t>(std::strlen(kAlpn)),
                     reinterpret_cast<uint8_t*>(const_cast<char*>(kAlpn))};
    ASSERT_EQ(app.api->ConfigurationOpen(app.registration, &alpn, 1, &settings, sizeof settings,
                                         nullptr, &app.configuration),
              QUIC_STATUS_SUCCESS);
    QUIC_CREDENTIAL_CONFIG credential{};
    credential.Type = QUIC_CREDENTIAL_TYPE_NONE;
    credential.Flags = static_cast<QUIC_CREDENTIAL_FLAGS>(
        QUIC_CREDENTIAL_FLAG_CLIENT | QUIC_CREDENTIAL_FLAG_NO_CERTIFICATE_VALIDATION);
    ASSERT_EQ(app.api->ConfigurationLoadCredential(app.configuration, &credential),
              QUIC_STATUS_SUCCESS);
    HQUIC connection = nullptr;
    ASSERT_EQ(
        app.api->ConnectionOpen(app.registration, CloseEverythingOnShutdown, &app, &connection),
        QUIC_STATUS_SUCCESS);
    std::future<void> closed = app.closed.get_future();
    const SilentPeer peer;
    ASSERT_NE(peer.Port(), 0);
    ASSERT_EQ(app.api->ConnectionStart(connection, app.configuration, QUIC_ADDRESS_FAMILY_INET,
                                       "127.0.0.1", peer.Port()),
              QUIC_STATUS_SUCCESS);
    // Nobody answers: the handshake times out and the connection ends.
    ASSERT_EQ(closed.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    MsQuicClose(app.api);
}

}  // namespace
}  // namespace quictest
