#include "net/TcpSocket.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#endif

#include <chrono>
#include <future>

#include "NetTestSupport.h"
#include "support/Sanitizers.h"

using namespace net;

using namespace nettest;

namespace {

bool DescriptorOpen(SocketHandle fd) {
#ifdef _WIN32
    int type = 0;
    int length = sizeof type;
    return ::getsockopt(fd, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) == 0;
#else
    return ::fcntl(fd, F_GETFD) != -1;
#endif
}

struct Listening {
    Listening() : listener(kInvalidSocket) {
        port = FreePort();
        ok = Ok(listener.Create(AF_INET6)) && Ok(listener.BindAndListen(port));
    }
    TcpSocket listener;
    int port = 0;
    bool ok = false;
};

}  // namespace

TEST(TcpSocket, ConnectRefusesMissingHostOrPortWithoutNetwork) {
    TcpSocket socket(kInvalidSocket);
    ASSERT_EQ(socket.Create(AF_INET6), NetError::None);
    EXPECT_EQ(socket.Connect("", 7003), NetError::BadArgument);
    EXPECT_EQ(socket.Connect("127.0.0.1", 0), NetError::BadArgument);
    EXPECT_EQ(socket.Connect("127.0.0.1", 70000), NetError::BadArgument);
    EXPECT_EQ(socket.Connect(std::string(1000, 'a'), 7003), NetError::BadArgument);
    // Still usable afterwards: nothing was attempted.
    Listening server;
    ASSERT_TRUE(server.ok);
    EXPECT_EQ(socket.Connect("127.0.0.1", server.port), NetError::None);
}

TEST(TcpSocket, FailedCreateOrEmptyValueFailsEveryOperation) {
    TcpSocket socket(kInvalidSocket);
    EXPECT_FALSE(socket.IsValid());
    EXPECT_EQ(socket.Create(12345), NetError::NoSocket);
    EXPECT_FALSE(socket.IsValid());
    EXPECT_EQ(socket.BindAndListen(FreePort()), NetError::NoSocket);
    EXPECT_EQ(socket.Connect("127.0.0.1", 1), NetError::NoSocket);
    std::uint8_t bytes[1] = {0};
    EXPECT_EQ(socket.SendAll(bytes), NetError::Closed);
    EXPECT_EQ(socket.ReceiveAll(bytes), NetError::Closed);
    EXPECT_EQ(socket.SetNoDelay(), NetError::NoSocket);
    EXPECT_EQ(socket.Send("x", 1), -1);
    char byte;
    EXPECT_EQ(socket.Receive(&byte, 1, true), -1);
    EXPECT_FALSE(socket.Accept().IsValid());
}

TEST(TcpSocket, DualStackListenerTakesIPv4AndIPv6Peers) {
    Listening server;
    ASSERT_TRUE(server.ok);
    struct Case {
        const char* host;
        int family;
    };
    for (const Case& c : {Case{"127.0.0.1", AF_INET}, Case{"127.0.0.1", AF_INET6},
                          Case{"::1", AF_INET6}, Case{"localhost", AF_INET6}}) {
        SCOPED_TRACE(std::string(c.host) + (c.family == AF_INET ? " v4" : " v6"));
        TcpSocket client = Dial(c.host, server.port, c.family);
        ASSERT_TRUE(client.IsValid());
        TcpSocket accepted = server.listener.Accept();
        ASSERT_TRUE(accepted.IsValid());
        SetTimeouts(accepted);
        EXPECT_EQ(accepted.Family(), AF_INET6);
        EXPECT_EQ(client.Send("ping", 4), 4);
        char buffer[4] = {};
        EXPECT_EQ(accepted.Receive(buffer, 4, true), 4);
        EXPECT_EQ(std::string(buffer, 4), "ping");
    }
}

TEST(TcpSocket, ConnectToClosedPortFails) {
    const int port = FreePort();
    TcpSocket client(kInvalidSocket);
    ASSERT_EQ(client.Create(AF_INET6), NetError::None);
    EXPECT_EQ(client.Connect("localhost", port), NetError::Connect);
}

TEST(TcpSocket, BindOnPortInUseFailsButRebindsAfterClose) {
    Listening first;
    ASSERT_TRUE(first.ok);
    TcpSocket second(kInvalidSocket);
    ASSERT_EQ(second.Create(AF_INET6), NetError::None);
    EXPECT_EQ(second.BindAndListen(first.port), NetError::Bind);
    TcpSocket v4;
    EXPECT_EQ(v4.BindAndListen(first.port), NetError::Bind);

    // A connection leaves TIME_WAIT behind; the port is still reusable.
    TcpSocket client = Dial("127.0.0.1", first.port);
    TcpSocket accepted = first.listener.Accept();
    accepted.Close();
    client.Close();
    first.listener.Close();
    TcpSocket third(kInvalidSocket);
    ASSERT_EQ(third.Create(AF_INET6), NetError::None);
    EXPECT_EQ(third.BindAndListen(first.port), NetError::None);
}

TEST(TcpSocket, ReceiveAllReturnsShortCountWhenPeerCloses) {
    Listening server;
    ASSERT_TRUE(server.ok);
    TcpSocket client = Dial("127.0.0.1", server.port);
    TcpSocket accepted = server.listener.Accept();
    SetTimeouts(accepted);
    ASSERT_EQ(client.Send("0123456789", 10), 10);
    client.Close();
    char buffer[32];
    EXPECT_EQ(accepted.Receive(buffer, sizeof buffer, true), 10);
    EXPECT_EQ(std::string(buffer, 10), "0123456789");
    EXPECT_EQ(accepted.Receive(buffer, sizeof buffer, false), 0);
    std::uint8_t more[1];
    EXPECT_EQ(accepted.ReceiveAll(more), NetError::Closed);
}

TEST(TcpSocket, SendAllDeliversLargeBufferAndFailsShortOnClosedPeer) {
    Listening server;
    ASSERT_TRUE(server.ok);
    TcpSocket client = Dial("127.0.0.1", server.port);
    TcpSocket accepted = server.listener.Accept();
    SetTimeouts(accepted);
    const auto data = Pattern(4 << 20, 7);
    auto reader = std::async(std::launch::async, [&] {
        std::vector<std::uint8_t> got(data.size());
        const int n = accepted.Receive(got.data(), got.size(), true);
        return n == static_cast<int>(got.size()) && got == data;
    });
    EXPECT_EQ(client.Send(data), static_cast<int>(data.size()));
    EXPECT_TRUE(reader.get());

    // No SIGPIPE: writing to a closed peer just comes up short.
    accepted.Close();
    int sent = static_cast<int>(data.size());
    for (int i = 0; i < 5 && sent == static_cast<int>(data.size()); ++i)
        sent = client.Send(data);
    EXPECT_LT(sent, static_cast<int>(data.size()));
    EXPECT_EQ(client.SendAll(data), NetError::Closed);
}

TEST(TcpSocket, CopiesShareTheHandleUntilTheLastGoes) {
    int fd = -1;
    {
        TcpSocket original(kInvalidSocket);
        ASSERT_EQ(original.Create(AF_INET6), NetError::None);
        fd = original.Handle();
        EXPECT_EQ(original.Owners(), 1);
        {
            TcpSocket copy = original;
            EXPECT_EQ(copy.Handle(), fd);
            EXPECT_EQ(original.Owners(), 2);
        }
        EXPECT_TRUE(DescriptorOpen(fd));
        TcpSocket assigned(kInvalidSocket);
        assigned = original;
        original = TcpSocket(kInvalidSocket);  // reassigning one holder keeps it open
        EXPECT_TRUE(DescriptorOpen(fd));
        EXPECT_EQ(assigned.Owners(), 1);
    }
    EXPECT_FALSE(DescriptorOpen(fd));
}

TEST(TcpSocket, AttachAndDetachTransferOwnership) {
    const SocketHandle fd = platform::OpenSocket(AF_INET6, SOCK_STREAM, 0);
    ASSERT_NE(fd, kInvalidSocket);
    {
        TcpSocket wrapped(fd);
        EXPECT_EQ(wrapped.Family(), AF_INET6);
        EXPECT_EQ(wrapped.Detach(), fd);
        EXPECT_FALSE(wrapped.IsValid());
    }
    EXPECT_TRUE(DescriptorOpen(fd));
    {
        TcpSocket owner;
        const SocketHandle previous = owner.Handle();
        owner.Attach(fd);  // closes what it held before
        EXPECT_FALSE(DescriptorOpen(previous));
    }
    EXPECT_FALSE(DescriptorOpen(fd));
}

TEST(TcpSocket, CloseWakesThreadsBlockedInAcceptAndReceive) {
    Listening server;
    ASSERT_TRUE(server.ok);
    TcpSocket listenerCopy = server.listener;
    auto accepting =
        std::async(std::launch::async, [listenerCopy] { return listenerCopy.Accept().IsValid(); });

    Listening other;
    ASSERT_TRUE(other.ok);
    TcpSocket client = Dial("127.0.0.1", other.port);
    TcpSocket accepted = other.listener.Accept();
    TcpSocket receiverCopy = accepted;
    auto receiving = std::async(std::launch::async, [receiverCopy] {
        char byte;
        return receiverCopy.Receive(&byte, 1, true);
    });

    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    server.listener.Close();
    accepted.Close();
    ASSERT_EQ(accepting.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    ASSERT_EQ(receiving.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    EXPECT_FALSE(accepting.get());
    EXPECT_LE(receiving.get(), 0);
    EXPECT_FALSE(server.listener.IsValid());
    // The peer sees the connection end.
    EXPECT_TRUE(PeerClosed(client));
}

#ifndef _WIN32
namespace {

// Lowers this process's descriptor limit to the lowest free descriptor
// number, so the next descriptor cannot be made, until destroyed.
class NoDescriptorsLeft {
  public:
    NoDescriptorsLeft() {
        ::getrlimit(RLIMIT_NOFILE, &normal_);
        int lowest = 0;
        while (DescriptorOpen(lowest))
            ++lowest;
        const rlimit tight{static_cast<rlim_t>(lowest), normal_.rlim_max};
        ::setrlimit(RLIMIT_NOFILE, &tight);
    }
    ~NoDescriptorsLeft() { ::setrlimit(RLIMIT_NOFILE, &normal_); }

  private:
    rlimit normal_{};
};

}  // namespace

TEST(TcpSocket, AcceptWaitsOutADescriptorShortageAndStillWakesOnClose) {
    if (testing_support::kSanitizedBuild)
        GTEST_SKIP() << "the sanitizer runtime needs descriptors of its own";
    Listening l;
    ASSERT_TRUE(l.ok);
    TcpSocket peer(kInvalidSocket);
    ASSERT_TRUE(Ok(peer.Create(AF_INET6)));  // made before the limit drops
    std::future<TcpSocket> accepted;
    {
        NoDescriptorsLeft shortage;
        ASSERT_TRUE(Ok(peer.Connect("127.0.0.1", l.port)));
        accepted =
            std::async(std::launch::async, [listener = l.listener] { return listener.Accept(); });
        EXPECT_EQ(accepted.wait_for(std::chrono::milliseconds(400)), std::future_status::timeout);
    }
    ASSERT_EQ(accepted.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_TRUE(accepted.get().IsValid());

    TcpSocket second(kInvalidSocket);
    ASSERT_TRUE(Ok(second.Create(AF_INET6)));
    NoDescriptorsLeft shortage;
    ASSERT_TRUE(Ok(second.Connect("127.0.0.1", l.port)));
    auto waiting = std::async(std::launch::async,
                              [listener = l.listener] { return listener.Accept().IsValid(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    l.listener.Close();
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_FALSE(waiting.get());
}
#endif  // Windows has no per-process descriptor limit to lower
