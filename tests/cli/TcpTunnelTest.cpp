// The TCP relay end to end: a real server and client process, the stand-in
// monitor started by the client, and test connections playing the debugger.
#include <gtest/gtest.h>

#include "support/ChildProcess.h"
#include "support/TcpTunnel.h"
#include "support/TestEnv.h"

using namespace testing_support;
using namespace std::chrono_literals;

TEST(TcpTunnel, CarriesDebuggerConnectionsToTheMonitorAndShutsDownInOrder) {
    TcpTunnel t;
    ASSERT_NO_FATAL_FAILURE(t.Start());
    ASSERT_TRUE(t.RoundTrip(RandomBytes(1000, 1)));

    // Several connections at once, larger than one relay message each.
    std::vector<std::thread> threads;
    std::atomic<int> intact{0};
    for (unsigned i = 0; i < 4; ++i) {
        threads.emplace_back([&, i] {
            const auto data = RandomBytes(3 * 1024 * 1024 + i, 100 + i);
            const int fd = ConnectLoopback(t.port2);
            if (fd >= 0 && EchoThrough(fd, data) == data)
                ++intact;
            if (fd >= 0)
                close(fd);
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(intact, 4);

    // The monitor runs while the client runs, and not after it.
    const int probe = ConnectLoopback(t.monitorPort);
    EXPECT_GE(probe, 0);
    if (probe >= 0)
        close(probe);

    t.server->Write("q\n");
    EXPECT_EQ(t.server->Wait(10s), 0);
    t.client->Write("\n");  // the client's key wait
    EXPECT_EQ(t.client->Wait(10s), 0);
    EXPECT_EQ(ConnectLoopback(t.monitorPort), -1);
}

TEST(TcpTunnel, DebuggerConnectionBeforeAnyClientIsClosedAtOnce) {
    TcpTunnel t;
    t.server = std::make_unique<ChildProcess>(
        VTR232_PATH,
        std::vector<std::string>{"-s", "--p1", std::to_string(t.port1), "--p2",
                                 std::to_string(t.port2), "--p3", std::to_string(t.port3)},
        t.env);
    ASSERT_TRUE(t.server->WaitForOutput("Commands are", 10s));
    const int fd = ConnectWhenReady(t.port2);
    ASSERT_GE(fd, 0);
    char byte;
    EXPECT_EQ(recv(fd, &byte, 1, 0), 0);  // closed by the server, not timed out
    close(fd);
    t.server->CloseStdin();
    EXPECT_EQ(t.server->Wait(10s), 0);
}

TEST(TcpTunnel, ClientWithoutMonitorOffersTheInstallerAndCancelsAtEndOfInput) {
    TempDir dir;
    ChildProcess client(VTR232_PATH,
                        {"-t", "2019", "-c", "127.0.0.1:" + std::to_string(FreePort()), "-l",
                         "127.0.0.1:" + std::to_string(FreePort())},
                        {{"PROGRAMFILES", (dir.Path() / "none").string()}});
    EXPECT_EQ(RunToEnd(client, ""), 0);
    const std::string out = client.Out();
    EXPECT_NE(out.find("Visual Studio Remote Tools were not found. Install?"), std::string::npos)
        << out;
    EXPECT_NE(out.find("3) Cancel"), std::string::npos);
}

TEST(TcpTunnel, ToolsVersionOneStartsNoMonitorAndNoPrompt) {
    TcpTunnel t;
    ChildProcess client(VTR232_PATH,
                        {"-t", "1", "-c", "127.0.0.1:" + std::to_string(t.port3), "-l",
                         "127.0.0.1:" + std::to_string(t.monitorPort)},
                        t.env);
    EXPECT_EQ(RunToEnd(client, "\n"), 0);
    EXPECT_EQ(client.Out().find("Remote Tools"), std::string::npos);
}

TEST(TcpTunnel, SignalDuringTheClientsKeyWaitEndsItInOrder) {
    TcpTunnel t;
    ASSERT_NO_FATAL_FAILURE(t.Start());
    ASSERT_TRUE(t.RoundTrip(RandomBytes(100, 7)));
    // The client now waits for its key with its input still open.
    const auto start = std::chrono::steady_clock::now();
    kill(t.client->Pid(), SIGTERM);
    EXPECT_EQ(t.client->Wait(10s), 128 + SIGTERM);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(ConnectLoopback(t.monitorPort), -1);  // the monitor went with it
    t.server->Write("q\n");
    EXPECT_EQ(t.server->Wait(10s), 0);
}
