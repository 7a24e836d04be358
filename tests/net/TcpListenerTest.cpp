#include "net/TcpListener.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "NetTestSupport.h"

using namespace net;
using namespace nettest;
using namespace std::chrono_literals;

namespace {

TEST(TcpListener, AddressTextsItAccepts) {
    for (const char* good :
         {"", "127.0.0.1", "0.0.0.0", "::", "::1", "fe80::1", "::ffff:127.0.0.1"})
        EXPECT_TRUE(IsListenAddress(good)) << good;
    for (const char* bad :
         {"localhost", "1.2.3", "300.1.1.1", "::1:", "[::1", "::1]", "[]", "127.0.0.1:80",
          " 127.0.0.1", "host.example", "[127.0.0.1]", "[::1]", "fe80::1%lo"})
        EXPECT_FALSE(IsListenAddress(bad)) << bad;
    TcpListener listener;
    EXPECT_EQ(listener.Listen("localhost", 0), NetError::BadArgument);
    EXPECT_FALSE(listener.IsListening());
}

TEST(TcpListener, LoopbackByDefaultTakesBothFamiliesOnOnePort) {
    TcpListener listener;
    ASSERT_EQ(listener.Listen("", 0), NetError::None);
    const int port = listener.LocalPort();
    ASSERT_GT(port, 0);
    for (const char* host : {"127.0.0.1", "::1"}) {
        TcpSocket peer = Dial(host, port);
        ASSERT_TRUE(peer.IsValid()) << host;
        TcpSocket accepted = listener.Accept();
        ASSERT_TRUE(accepted.IsValid()) << host;
        ASSERT_EQ(peer.Send("k", 1), 1);
        char byte = 0;
        EXPECT_EQ(accepted.Receive(&byte, 1, true), 1);
    }
    // A port taken by someone else is refused, not half bound.
    TcpListener second;
    EXPECT_EQ(second.Listen("", port), NetError::Bind);
    EXPECT_FALSE(second.IsListening());
}

TEST(TcpListener, ChosenAddressListensThereOnly) {
    TcpListener listener;
    ASSERT_EQ(listener.Listen("127.0.0.2", 0), NetError::None);
    const int port = listener.LocalPort();
    EXPECT_TRUE(Dial("127.0.0.2", port).IsValid());
    EXPECT_FALSE(Dial("127.0.0.1", port).IsValid());
    EXPECT_FALSE(Dial("::1", port).IsValid());

    TcpListener everywhere;
    ASSERT_EQ(everywhere.Listen("::", 0), NetError::None);
    EXPECT_TRUE(Dial("127.0.0.1", everywhere.LocalPort()).IsValid());
    EXPECT_TRUE(Dial("::1", everywhere.LocalPort()).IsValid());
}

TEST(TcpListener, AcceptReturnsOnCloseWatchedEventOrTimeout) {
    TcpListener listener;
    ASSERT_EQ(listener.Listen("", 0), NetError::None);

    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(listener.Accept({}, 150ms).IsValid());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
    EXPECT_FALSE(listener.Closed());

    // A watched socket whose peer goes wakes the wait.
    TcpSocket peer = Dial("127.0.0.1", listener.LocalPort());
    TcpSocket accepted = listener.Accept();
    ASSERT_TRUE(accepted.IsValid());
    platform::PollEntry watched =
        platform::MakePollEntry(accepted.Handle(), platform::kPollPeerClosed);
    auto waiting = std::async(
        std::launch::async, [&] { return listener.Accept(std::span(&watched, 1), 10s).IsValid(); });
    std::this_thread::sleep_for(50ms);
    peer.Close();
    ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(waiting.get());
    EXPECT_NE(watched.revents & (platform::kPollPeerClosed | POLLHUP), 0);
    EXPECT_FALSE(listener.Closed());

    // Close from another thread ends a wait without limit, and every later one.
    auto blocked = std::async(std::launch::async, [&] { return listener.Accept().IsValid(); });
    std::this_thread::sleep_for(50ms);
    listener.Close();
    ASSERT_EQ(blocked.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(blocked.get());
    EXPECT_TRUE(listener.Closed());
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(listener.Accept().IsValid());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

}  // namespace
