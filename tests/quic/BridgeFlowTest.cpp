// How the bridge paces its traffic: a bridged connection stays within its
// bound of unacknowledged bytes, and parks no more than its fixed buffers,
// while the far side does not read, and loses nothing once it does; a
// closed stream ends a stalled connection, stalled connections do
// not hold up another one, and the bridge's sockets send small messages at
// once.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <netinet/tcp.h>
#endif

#include <condition_variable>
#include <thread>

#include "quic/Bridge.h"
#include "quic/QuicStream.h"
#include "quic/QuicTestSupport.h"

using namespace quic;

using namespace tunnel_test;

namespace {

// Small socket buffers on the test's own ends keep the bytes parked in the
// kernel few, so the bridge's own buffering is what a stall shows.
constexpr int kSmallSocketBuffer = 64 * 1024;

void SetSocketOption(const TcpSocket& socket, int level, int name, int value) {
    ::setsockopt(socket.Handle(), level, name, reinterpret_cast<const char*>(&value), sizeof value);
}

// Stands in for a monitor whose first `held` connections read nothing until
// Release, then read everything; later connections echo. Every byte read is
// kept.
class GatedMonitor {
  public:
    explicit GatedMonitor(int held) : held_(held), listener_(kInvalidSocket) {
        listener_.Create(AF_INET);
        // Accepted sockets inherit it.
        SetSocketOption(listener_, SOL_SOCKET, SO_RCVBUF, kSmallSocketBuffer);
        port_ = ListenOnLoopback(listener_);
        acceptor_ = std::thread([this] { AcceptLoop(); });
    }
    ~GatedMonitor() {
        listener_.Shutdown();
        acceptor_.join();
        std::vector<std::thread> threads;
        {
            std::lock_guard guard(lock_);
            stopping_ = true;
            for (auto& connection : connections_)
                connection->socket.Shutdown();
            threads = std::move(threads_);
        }
        released_.notify_all();
        for (auto& thread : threads)
            thread.join();
        listener_.Close();
    }
    GatedMonitor(const GatedMonitor&) = delete;
    GatedMonitor& operator=(const GatedMonitor&) = delete;

    int Port() const { return port_; }
    int Accepted() const {
        std::lock_guard guard(lock_);
        return static_cast<int>(connections_.size());
    }
    void Release() {
        {
            std::lock_guard guard(lock_);
            release_ = true;
        }
        released_.notify_all();
    }
    std::size_t ReceivedSize(int index) const {
        std::lock_guard guard(lock_);
        return index < static_cast<int>(connections_.size()) ? connections_[index]->received.size()
                                                             : 0;
    }
    // Connections whose far end has closed, once all was read.
    int Ended() const {
        std::lock_guard guard(lock_);
        return ended_;
    }
    bool ReceivedEquals(int index, const std::string& expected) const {
        std::lock_guard guard(lock_);
        return index < static_cast<int>(connections_.size()) &&
               connections_[index]->received == expected;
    }

  private:
    struct Connection {
        TcpSocket socket{kInvalidSocket};
        std::string received;
    };

    void AcceptLoop() {
        for (;;) {
            TcpSocket accepted = listener_.Accept();
            if (!accepted.IsValid())
                return;
            std::lock_guard guard(lock_);
            auto connection = std::make_shared<Connection>();
            connection->socket = accepted;
            const bool held = static_cast<int>(connections_.size()) < held_;
            connections_.push_back(connection);
            threads_.emplace_back([this, connection, held] { Serve(*connection, held); });
        }
    }

    void Serve(Connection& connection, bool held) {
        if (held) {
            std::unique_lock guard(lock_);
            released_.wait(guard, [this] { return release_ || stopping_; });
        }
        std::vector<char> buffer(65536);
        for (;;) {
            const int got = connection.socket.Receive(buffer.data(), buffer.size(), false);
            if (got <= 0)
                break;
            {
                std::lock_guard guard(lock_);
                connection.received.append(buffer.data(), static_cast<std::size_t>(got));
            }
            if (!held &&
                connection.socket.Send(buffer.data(), static_cast<std::size_t>(got)) != got)
                break;
        }
        {
            std::lock_guard guard(lock_);
            ++ended_;
        }
        connection.socket.Shutdown();
    }

    const int held_;
    TcpSocket listener_;
    int port_ = 0;
    std::thread acceptor_;
    mutable std::mutex lock_;  // guards connections_, threads_, release_, stopping_, ended_,
                               // received
    std::condition_variable released_;
    std::vector<std::shared_ptr<Connection>> connections_;
    std::vector<std::thread> threads_;
    bool release_ = false;
    bool stopping_ = false;
    int ended_ = 0;
};

// A debugger connection that writes `data` from its own thread until all is
// sent or a send fails (its send timeout bounds every wait).
class Writer {
  public:
    Writer(int port, const std::string& data) : data_(data) {
        socket_ = ConnectTo("127.0.0.1", port);
        SetSocketOption(socket_, SOL_SOCKET, SO_SNDBUF, kSmallSocketBuffer);
        socket_.SetSendTimeout(std::chrono::seconds(60));
        thread_ = std::thread([this] {
            while (sent_ < data_.size()) {
                const std::size_t piece = std::min<std::size_t>(65536, data_.size() - sent_);
                const long n =
                    platform::SendBytes(socket_.Handle(), data_.data() + sent_, piece, true);
                if (n <= 0)
                    break;
                sent_ += static_cast<std::size_t>(n);
            }
            done_ = true;
        });
    }
    ~Writer() {
        socket_.Shutdown();
        thread_.join();
        socket_.Close();
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    bool Valid() const { return socket_.IsValid(); }
    std::size_t Sent() const { return sent_; }
    bool Done() const { return done_; }
    const TcpSocket& Socket() const { return socket_; }
    // True once nothing more was sent for half a second, or all was sent.
    bool WaitUntilStalled(int timeoutMs) const {
        std::size_t last = static_cast<std::size_t>(-1);
        int quiet = 0;
        return WaitFor(
            [&] {
                if (done_)
                    return true;
                const std::size_t now = sent_;
                quiet = now == last ? quiet + 1 : 0;
                last = now;
                return quiet >= 50;
            },
            timeoutMs);
    }

  private:
    const std::string& data_;
    TcpSocket socket_{kInvalidSocket};
    std::atomic<std::size_t> sent_{0};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

class BridgeFlowTest : public TunnelFixture {
  protected:
    // Tunnel streams of one side (all but its control stream).
    static std::vector<std::shared_ptr<QuicStream>> Tunnels(
        const std::shared_ptr<QuicSession>& session, HQUIC control) {
        std::vector<std::shared_ptr<QuicStream>> tunnels;
        if (session)
            for (const auto& stream : session->Streams())
                if (stream->Handle() != control)
                    tunnels.push_back(stream);
        return tunnels;
    }
    std::vector<std::shared_ptr<QuicStream>> ServerTunnels() {
        return Tunnels(ServerSession(), serverControlStream.load());
    }
    std::vector<std::shared_ptr<QuicStream>> ClientTunnels() {
        return Tunnels(ClientSession(), clientControlStream.load());
    }
};

// More than the whole path can park: the writer must stall.
constexpr std::size_t kStallingTransfer = 48u << 20;
// What one stalled connection may park in the tunnel at most: the sending
// stream's bound and a piece, the receiving stream's window (4 MiB) and
// socket queue, and twice the bridged socket's buffer as the kernel books it.
constexpr std::size_t kMostParked = kBridgeUnacknowledgedLimit + kRelayChunkSize +
                                    (std::size_t{4} << 20) + kSocketQueueCapacity +
                                    4 * kBridgeSocketReceiveBuffer;

TEST_F(BridgeFlowTest, BridgeKeepsToItsBoundWhileTheMonitorDoesNotReadAndLosesNothingAfter) {
#ifdef _WIN32
    GTEST_SKIP() << "48 MiB through the tunnel under Wine outlasts the test's limits";
#endif
    GatedMonitor monitor(1);
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_NO_FATAL_FAILURE(OpenControlStream(monitor.Port()));
    const std::string data = Pattern(kStallingTransfer, 3);
    Writer debugger(port_, data);
    ASSERT_TRUE(debugger.Valid());
    // The bridge fills its stream up to the bound ...
    std::vector<std::shared_ptr<QuicStream>> tunnels;
    ASSERT_TRUE(WaitFor(
        [&] {
            tunnels = ServerTunnels();
            return tunnels.size() == 1 &&
                   tunnels[0]->Unacknowledged() >= kBridgeUnacknowledgedLimit;
        },
        60000));
    ASSERT_TRUE(debugger.WaitUntilStalled(60000));
    // What the debugger got rid of sits in the tunnel: the stream's bound,
    // the far side's stream window and socket queue, and the bridged
    // sockets' fixed buffers; nothing grows with what the debugger offers.
    EXPECT_LT(debugger.Sent(), kMostParked) << debugger.Sent();
    // ... and, with the debugger still sending, never reads more than one
    // piece past it.
    std::size_t most = 0;
    for (int sample = 0; sample < 20; ++sample) {
        most = std::max(most, tunnels[0]->Unacknowledged());
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_LE(most, kBridgeUnacknowledgedLimit + kRelayChunkSize);

    monitor.Release();
    ASSERT_TRUE(WaitFor([&] { return debugger.Done(); }, 60000));
    EXPECT_EQ(debugger.Sent(), data.size());
    ASSERT_TRUE(WaitFor([&] { return monitor.ReceivedSize(0) == data.size(); }, 60000))
        << monitor.ReceivedSize(0);
    EXPECT_TRUE(monitor.ReceivedEquals(0, data));
}

TEST_F(BridgeFlowTest, ClosingAStalledTunnelGivesBackItsPlace) {
    GatedMonitor monitor(1);
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_NO_FATAL_FAILURE(OpenControlStream(monitor.Port()));
    const std::string data = Pattern(kStallingTransfer, 4);
    Writer debugger(port_, data);
    ASSERT_TRUE(debugger.Valid());
    ASSERT_TRUE(debugger.WaitUntilStalled(60000));
    ASSERT_LT(debugger.Sent(), data.size());
    const auto tunnels = ServerTunnels();
    ASSERT_EQ(tunnels.size(), 1u);
    ASSERT_EQ(ServerSession()->BridgedConnections(), 1u);
    // The bridge waits for room that will not come now; the close ends the
    // stream, and with it the bridged connection, which gives back the
    // connection's place.
    tunnels[0]->Close();
    EXPECT_TRUE(WaitFor([&] { return ServerSession()->BridgedConnections() == 0; }, 20000));
    SetReceiveTimeout(debugger.Socket(), 20000);
    EXPECT_TRUE(SeesClose(debugger.Socket()));
    EXPECT_TRUE(WaitFor([&] { return debugger.Done(); }, 20000));
}

TEST_F(BridgeFlowTest, LastBytesThatComeWithTheCloseArriveAndTheCloseIsPassedOn) {
    // A monitor that reads without echoing: the debugger's close is a plain
    // end, with nothing of its own left unread.
    GatedMonitor monitor(4);
    monitor.Release();
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_NO_FATAL_FAILURE(OpenControlStream(monitor.Port()));
    // Pieces closed at once: the last bytes and the end of the connection
    // reach the bridge together.
    for (int index = 0; index < 4; ++index) {
        const std::string data = Pattern(3000 + 70000 * index, 7 + index);
        TcpSocket debugger = ConnectTo("127.0.0.1", port_);
        ASSERT_TRUE(debugger.IsValid());
        ASSERT_TRUE(WaitFor([&] { return monitor.Accepted() == index + 1; }));
        ASSERT_EQ(debugger.Send(data.data(), data.size()), static_cast<int>(data.size()));
        debugger.Close();
        ASSERT_TRUE(WaitFor([&] { return monitor.Ended() == index + 1; }, 20000)) << index;
        EXPECT_TRUE(monitor.ReceivedEquals(index, data)) << index;
    }
}

TEST_F(BridgeFlowTest, StalledConnectionsDoNotHoldUpAnother) {
#ifdef _WIN32
    GTEST_SKIP() << "64 MiB through the tunnel under Wine outlasts the test's limits";
#endif
    // Four connections whose monitor ends do not read hold their stream
    // windows' worth of the connection window; a fifth still echoes.
    constexpr int kStalled = 4;
    GatedMonitor monitor(kStalled);
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_NO_FATAL_FAILURE(OpenControlStream(monitor.Port()));
    const std::string data = Pattern(16u << 20, 5);
    std::vector<std::unique_ptr<Writer>> stalled;
    for (int index = 0; index < kStalled; ++index) {
        stalled.push_back(std::make_unique<Writer>(port_, data));
        ASSERT_TRUE(stalled.back()->Valid());
        // One at a time, so monitor connection `index` is this writer's.
        ASSERT_TRUE(WaitFor([&] { return monitor.Accepted() == index + 1; }));
    }
    for (const auto& writer : stalled)
        ASSERT_TRUE(writer->WaitUntilStalled(60000));

    TcpSocket debugger = ConnectTo("127.0.0.1", port_);
    ASSERT_TRUE(debugger.IsValid());
    SetReceiveTimeout(debugger, 20000);
    const std::string message = Pattern(256 * 1024, 6);
    std::thread sender([&] { debugger.Send(message.data(), message.size()); });
    const std::string echoed = ReadExactly(debugger, message.size());
    sender.join();
    EXPECT_EQ(echoed.size(), message.size());
    EXPECT_TRUE(echoed == message);
    debugger.Close();

    monitor.Release();
    for (int index = 0; index < kStalled; ++index) {
        ASSERT_TRUE(WaitFor([&] { return monitor.ReceivedSize(index) == data.size(); }, 60000))
            << index << ": " << monitor.ReceivedSize(index);
        EXPECT_TRUE(monitor.ReceivedEquals(index, data)) << index;
    }
}

TEST_F(BridgeFlowTest, BridgedSocketsSendAtOnce) {
    EchoServer echo;
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_NO_FATAL_FAILURE(OpenControlStream(echo.Port()));
    TcpSocket debugger = ConnectTo("127.0.0.1", port_);
    ASSERT_TRUE(debugger.IsValid());
    ASSERT_EQ(debugger.Send("ping", 4), 4);
    ASSERT_EQ(ReadExactly(debugger, 4), "ping");
    const auto server = ServerTunnels();
    const auto client = ClientTunnels();
    ASSERT_EQ(server.size(), 1u);
    ASSERT_EQ(client.size(), 1u);
    for (const TcpSocket& socket : {server[0]->Socket(), client[0]->Socket()}) {
        ASSERT_TRUE(socket.IsValid());
        int noDelay = 0;
        socklen_t length = sizeof noDelay;
        ASSERT_EQ(::getsockopt(socket.Handle(), IPPROTO_TCP, TCP_NODELAY,
                               reinterpret_cast<char*>(&noDelay), &length),
                  0);
        EXPECT_NE(noDelay, 0);
    }
    debugger.Close();
}

}  // namespace
