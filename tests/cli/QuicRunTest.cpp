// QUIC mode end to end: a real server and client process on loopback, the
// stand-in monitor, deployments over the control stream and debugger
// connections through tunnel streams.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <regex>

#include "support/ChildProcess.h"
#include "support/TestEnv.h"

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

struct QuicRun {
    TempDir dir;
    int port = FreeTcpUdpPort();
    int monitorPort = FreePort();
    std::map<std::string, std::string> env;
    std::unique_ptr<ChildProcess> server, client;

    QuicRun() {
        InstallStandInMonitor(dir.Path() / "programs");
        env = {{"PROGRAMFILES", (dir.Path() / "programs").string()},
               {"XDG_DATA_HOME", (dir.Path() / "xdg").string()},
               // No address service on loopback: discovery fails at once.
               {"VTR_ADDRESS_URL", "http://127.0.0.1:9"}};
    }

    void StartServer(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args{
            "-q", "-s", "-p", std::to_string(port), "-l", std::to_string(monitorPort)};
        args.insert(args.end(), extra.begin(), extra.end());
        server = std::make_unique<ChildProcess>(VTR232_PATH, args, env);
        ASSERT_TRUE(server->WaitForOutput("Waiting for Connection ...\r\n", 10s));
    }

    void StartClient() {
        client = std::make_unique<ChildProcess>(
            VTR232_PATH,
            std::vector<std::string>{"-q", "-c", "127.0.0.1:" + std::to_string(port), "-l",
                                     std::to_string(monitorPort)},
            env);
        ASSERT_TRUE(server->WaitForOutput("Commands are", 15s)) << server->Out();
    }

    fs::path KeyDir() const { return dir.Path() / "xdg" / "vantora" / "keys"; }
};

std::size_t KeyFiles(const fs::path& dir) {
    std::error_code ignored;
    if (!fs::exists(dir, ignored))
        return 0;
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(dir, ignored), fs::directory_iterator()));
}

void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace

TEST(QuicRun, ConnectsDeploysTunnelsAndEndsTheClientWithTheServer) {
    QuicRun run;
    const fs::path local = run.dir.Path() / "app.txt";
    const fs::path remote = run.dir.Path() / "target" / "app.txt";
    const fs::path missing = run.dir.Path() / "missing.txt";
    std::string content;
    for (int i = 0; i < 5000; ++i)
        content += "symbol " + std::to_string(i * 7) + "\n";
    WriteText(local, content);

    ASSERT_NO_FATAL_FAILURE(
        run.StartServer({"-f", missing.string() + "," + (run.dir.Path() / "x").string(), "-f",
                         local.string() + "," + remote.string()}));
    ASSERT_NO_FATAL_FAILURE(run.StartClient());
    EXPECT_NE(run.server->Out().find("Server settings: Port = " + std::to_string(run.port) +
                                     " \r\nWaiting for Connection ...\r\nVTR Server accepted "
                                     "connection at " +
                                     std::to_string(run.port) + "\r\n"),
              std::string::npos)
        << run.server->Out();
    ASSERT_TRUE(run.client->WaitForOutput(
        "VTR Client connected to 127.0.0.1:" + std::to_string(run.port) + "\r\n", 10s));
    EXPECT_NE(run.client->Out().find("Client settings: Host = 127.0.0.1, Port = " +
                                     std::to_string(run.port) + " \r\n"),
              std::string::npos);
    // Each side keeps its per-run key in the user's key store while it runs.
    EXPECT_EQ(KeyFiles(run.KeyDir()), 2u);

    // No debugger port before the first deploy.
    EXPECT_EQ(ConnectLoopback(run.port), -1);

    run.server->Write("deploy\n");
    ASSERT_TRUE(run.server->WaitForOutput("bytes... Done\r\n", 15s)) << run.server->Out();
    EXPECT_EQ(ReadText(remote), content);
    content.insert(content.size() / 2, "inserted line\n");
    WriteText(local, content);
    run.server->Write("deploy\n");
    ASSERT_TRUE(run.server->WaitForOutput("Patch ", 15s));
    ASSERT_TRUE(run.server->WaitForOutput("... Failed\r\nLocal: " + local.string(), 15s));
    for (int i = 0; i < 100 && ReadText(remote) != content; ++i)
        std::this_thread::sleep_for(50ms);
    EXPECT_EQ(ReadText(remote), content);

    const std::string out = run.server->Out();
    const std::string head = "Local: " + local.string() + " to " + remote.string() + "... ";
    EXPECT_TRUE(
        std::regex_search(out, std::regex(head + R"(Uploading \d+ -> \d+ bytes\.\.\. Done\r\n)")))
        << out;
    EXPECT_TRUE(
        std::regex_search(out, std::regex(head + R"(Patch \d+ -> \d+ bytes\.\.\. Done\r\n)")))
        << out;
    EXPECT_NE(out.find("Local: " + missing.string() + " to " + (run.dir.Path() / "x").string() +
                       "... Failed\r\n"),
              std::string::npos);
    EXPECT_NE(run.client->Out().find("Requested signature for " + remote.string() +
                                     "...  Writing ... \r\n"),
              std::string::npos)
        << run.client->Out();

    // After the deploy the debugger's port is open on IPv4 and IPv6, and its
    // connections reach the monitor intact.
    const auto data = RandomBytes(2 * 1024 * 1024, 5);
    for (int family : {AF_INET, AF_INET6}) {
        int fd = -1;
        for (int i = 0; i < 100 && fd < 0; ++i) {
            fd = ConnectLoopback(run.port, family);
            if (fd < 0)
                std::this_thread::sleep_for(50ms);
        }
        ASSERT_GE(fd, 0);
        EXPECT_EQ(EchoThrough(fd, data), data);
        close(fd);
    }

    // The server going away ends the client with code 0, monitor and key gone.
    run.server->Write("q\n");
    EXPECT_EQ(run.server->Wait(15s), 0);
    EXPECT_EQ(run.client->Wait(90s), 0);
    EXPECT_EQ(ConnectLoopback(run.monitorPort), -1);
    EXPECT_EQ(KeyFiles(run.KeyDir()), 0u);
}

TEST(QuicRun, FifteenDebuggerConnectionsAtOnceAndTheSixteenthWhenOneEnds) {
    QuicRun run;
    ASSERT_NO_FATAL_FAILURE(run.StartServer());
    ASSERT_NO_FATAL_FAILURE(run.StartClient());
    ASSERT_TRUE(run.client->WaitForOutput("VTR Client connected", 10s));
    run.server->Write("d\n");  // no files: only opens the control stream

    std::vector<int> fds;
    for (int i = 0; i < 15; ++i) {
        const int fd = ConnectWhenReady(run.port);
        ASSERT_GE(fd, 0);
        fds.push_back(fd);
    }
    // Every one of the fifteen is carried: each gets its own echo.
    for (std::size_t i = 0; i < fds.size(); ++i) {
        const auto data = RandomBytes(1000 + i, static_cast<unsigned>(i));
        EXPECT_EQ(EchoThrough(fds[i], data), data) << "connection " << i;
    }
    // The sixteenth is accepted but waits for a free stream...
    const int extra = ConnectLoopback(run.port);
    ASSERT_GE(extra, 0);
    const std::string ping = "sixteenth";
    ASSERT_EQ(send(extra, ping.data(), ping.size(), 0), static_cast<ssize_t>(ping.size()));
    timeval shortWait{0, 500000};
    setsockopt(extra, SOL_SOCKET, SO_RCVTIMEO, &shortWait, sizeof shortWait);
    char buffer[64];
    EXPECT_LT(recv(extra, buffer, sizeof buffer, 0), 1);
    // ...and is carried once one of the others ends.
    close(fds.back());
    fds.pop_back();
    timeval longWait{10, 0};
    setsockopt(extra, SOL_SOCKET, SO_RCVTIMEO, &longWait, sizeof longWait);
    std::string echoed;
    while (echoed.size() < ping.size()) {
        const ssize_t n = recv(extra, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        echoed.append(buffer, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(echoed, ping);
    close(extra);
    for (int fd : fds)
        close(fd);

    run.server->CloseStdin();  // end of input ends the server like "exit"
    EXPECT_EQ(run.server->Wait(15s), 0);
    EXPECT_EQ(run.client->Wait(90s), 0);
}

TEST(QuicRun, ServerWhoseUdpPortIsTakenSaysSoAndEnds) {
    QuicRun run;
    const int blocker = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(run.port));
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);

    ChildProcess server(VTR232_PATH, {"-q", "-s", "-p", std::to_string(run.port)}, run.env);
    EXPECT_EQ(server.Wait(15s), 0);
    EXPECT_NE(server.Out().find("Waiting for Connection ...\r\nCould not listen on UDP port " +
                                std::to_string(run.port) + "\r\n"),
              std::string::npos)
        << server.Out();
    EXPECT_EQ(server.Out().find("Commands are"), std::string::npos);
    EXPECT_EQ(KeyFiles(run.KeyDir()), 0u);
    close(blocker);
}

TEST(QuicRun, SignalWhileTheServerWaitsForAClientEndsItAtOnce) {
    QuicRun run;
    ASSERT_NO_FATAL_FAILURE(run.StartServer());
    const auto start = std::chrono::steady_clock::now();
    kill(run.server->Pid(), SIGINT);
    EXPECT_EQ(run.server->Wait(10s), 128 + SIGINT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(run.server->Out().find("Commands are"), std::string::npos);
    EXPECT_EQ(run.server->Out().find("Could not listen"), std::string::npos);
    EXPECT_EQ(KeyFiles(run.KeyDir()), 0u);
}

TEST(QuicRun, ClientWithoutServerWaitsTenSecondsThenForAKey) {
    QuicRun run;
    const auto start = std::chrono::steady_clock::now();
    ChildProcess client(VTR232_PATH,
                        {"-q", "-t", "1", "-c", "127.0.0.1:" + std::to_string(run.port)}, run.env);
    // Nobody answers; the connection object exists at once, so the wait ends
    // after its first second and the key wait (end of input) follows.
    EXPECT_EQ(RunToEnd(client, "", 30s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
    EXPECT_NE(client.Out().find("Client settings: Host = 127.0.0.1"), std::string::npos);
    EXPECT_EQ(client.Out().find("VTR Client connected"), std::string::npos);
}

TEST(QuicRun, TerminationSignalStillRemovesTheKeyAndStopsTheMonitor) {
    QuicRun run;
    ASSERT_NO_FATAL_FAILURE(run.StartServer());
    ASSERT_NO_FATAL_FAILURE(run.StartClient());
    ASSERT_TRUE(run.client->WaitForOutput("VTR Client connected", 10s));
    int probe = -1;
    for (int i = 0; i < 100 && probe < 0; ++i) {
        probe = ConnectLoopback(run.monitorPort);
        if (probe < 0)
            std::this_thread::sleep_for(50ms);
    }
    ASSERT_GE(probe, 0);  // the client started the monitor
    close(probe);
    EXPECT_EQ(KeyFiles(run.KeyDir()), 2u);

    kill(run.client->Pid(), SIGTERM);
    EXPECT_EQ(run.client->Wait(10s), 128 + SIGTERM);
    EXPECT_EQ(ConnectLoopback(run.monitorPort), -1);
    kill(run.server->Pid(), SIGINT);
    EXPECT_EQ(run.server->Wait(10s), 128 + SIGINT);
    EXPECT_EQ(KeyFiles(run.KeyDir()), 0u);
}

// A client that goes away while the server waits for its reply: the deploy
// ends with its failure line as soon as the connection does, long before any
// reply deadline, and the console goes on.
TEST(QuicRun, DeployWaitingOnAClientThatGoesEndsWhenTheConnectionDoes) {
    QuicRun run;
    const fs::path local = run.dir.Path() / "app.txt";
    const fs::path remote = run.dir.Path() / "target" / "app.txt";
    WriteText(local, std::string(100000, 'v'));
    ASSERT_NO_FATAL_FAILURE(run.StartServer({"-f", local.string() + "," + remote.string()}));
    ASSERT_NO_FATAL_FAILURE(run.StartClient());
    ASSERT_TRUE(run.client->WaitForOutput("VTR Client connected", 10s));

    // Held still, the client cannot answer the signature request.
    ASSERT_EQ(::kill(run.client->Pid(), SIGSTOP), 0);
    run.server->Write("deploy\n");
    ASSERT_TRUE(run.server->WaitForOutput("Local: ", 10s));
    std::this_thread::sleep_for(500ms);
    // It wakes to a termination signal and closes its connection.
    const auto ended = std::chrono::steady_clock::now();
    ::kill(run.client->Pid(), SIGTERM);
    ::kill(run.client->Pid(), SIGCONT);
    ASSERT_TRUE(run.server->WaitForOutput("Failed\r\n", 15s)) << run.server->Out();
    EXPECT_LT(std::chrono::steady_clock::now() - ended, 15s);
    EXPECT_TRUE(run.client->Wait(10s).has_value());
    EXPECT_FALSE(fs::exists(remote));

    run.server->Write("q\n");
    EXPECT_EQ(run.server->Wait(10s), 0);
}
