// QUIC mode end to end: a real server and client process on loopback, the
// stand-in monitor, deployments over the control stream and debugger
// connections through tunnel streams.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "quic/PublishedHandles.h"
#include "quic/QuicEndpoint.h"
#include "quic/ShellHandlers.h"
#include "support/ChildProcess.h"
#include "support/Sanitizers.h"
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

    // "q" on the server ends both processes with code 0.
    void Quit() {
        server->Write("q\n");
        EXPECT_EQ(server->Wait(15s), 0);
        EXPECT_EQ(client->Wait(90s), 0);
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

// Resident memory of a process in KiB.
long RssKib(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// Local addresses (hex, as the kernel shows them) of sockets listening on
// `port`, from /proc/net/tcp and /proc/net/tcp6.
std::vector<std::string> ListeningAddresses(int port) {
    std::vector<std::string> found;
    char portHex[8];
    std::snprintf(portHex, sizeof portHex, "%04X", port);
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);  // header
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            const auto colon = local.find(':');
            if (state == "0A" && colon != std::string::npos && local.substr(colon + 1) == portHex)
                found.push_back(local.substr(0, colon));
        }
    }
    return found;
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
    // The per-run keys live in memory: nothing is in the key store.
    EXPECT_EQ(KeyFiles(run.KeyDir()), 0u);

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

// Kills whatever still runs with "/port N" on its command line (a monitor
// that outlived its client), so that a failed test leaves nothing behind.
// True when there was one.
bool KillMonitorsOnPort(int port) {
    const std::string wanted = std::string("/port") + '\0' + std::to_string(port) + '\0';
    bool found = false;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream in(entry.path() / "cmdline", std::ios::binary);
        const std::string cmdline((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
        if (cmdline.find("msvsmon") != std::string::npos &&
            cmdline.find(wanted) != std::string::npos) {
            kill(std::stoi(name), SIGKILL);
            found = true;
        }
    }
    return found;
}

// A client that dies without any chance to clean up (SIGKILL) must not leave
// its monitor listening: the monitor lets anyone attach. Over QUIC the
// monitor is started from the connection's worker thread, not the entry one.
TEST(QuicRun, KilledClientTakesItsMonitorAlong) {
    QuicRun run;
    ASSERT_NO_FATAL_FAILURE(run.StartServer());
    ASSERT_NO_FATAL_FAILURE(run.StartClient());
    ASSERT_TRUE(run.client->WaitForOutput("VTR Client connected", 10s));
    const int probe = ConnectWhenReady(run.monitorPort, 5s);
    ASSERT_GE(probe, 0);  // the client started the monitor
    close(probe);

    kill(run.client->Pid(), SIGKILL);
    EXPECT_EQ(run.client->Wait(10s), 128 + SIGKILL);
    bool closed = false;
    for (int i = 0; i < 200 && !closed; ++i) {
        const int fd = ConnectLoopback(run.monitorPort);
        closed = fd < 0;
        if (fd >= 0) {
            close(fd);
            std::this_thread::sleep_for(50ms);
        }
    }
    EXPECT_TRUE(closed) << "the monitor still listens after its client was killed";
    EXPECT_FALSE(KillMonitorsOnPort(run.monitorPort));
    kill(run.server->Pid(), SIGINT);
    EXPECT_EQ(run.server->Wait(10s), 128 + SIGINT);
}

TEST(QuicRun, TerminationSignalStillRemovesTheKeyAndStopsTheMonitor) {
    QuicRun run;
    ASSERT_NO_FATAL_FAILURE(run.StartServer());
    ASSERT_NO_FATAL_FAILURE(run.StartClient());
    ASSERT_TRUE(run.client->WaitForOutput("VTR Client connected", 10s));
    const int probe = ConnectWhenReady(run.monitorPort, 5s);
    ASSERT_GE(probe, 0);  // the client started the monitor
    close(probe);
    EXPECT_EQ(KeyFiles(run.KeyDir()), 0u);

    kill(run.client->Pid(), SIGTERM);
    EXPECT_EQ(run.client->Wait(10s), 128 + SIGTERM);
    EXPECT_EQ(ConnectLoopback(run.monitorPort), -1);
    kill(run.server->Pid(), SIGINT);
    EXPECT_EQ(run.server->Wait(10s), 128 + SIGINT);
    EXPECT_EQ(KeyFiles(run.KeyDir()), 0u);
}

TEST(QuicRun, DebuggerPortListensOnLoopbackOnly) {
    QuicRun run;
    ASSERT_NO_FATAL_FAILURE(run.StartServer());
    ASSERT_NO_FATAL_FAILURE(run.StartClient());
    run.server->Write("d\n");
    const int fd = ConnectWhenReady(run.port);
    ASSERT_GE(fd, 0);
    close(fd);
    const auto addresses = ListeningAddresses(run.port);
    // 127.0.0.1 and ::1, nothing on a wildcard or another interface.
    std::set<std::string> unique(addresses.begin(), addresses.end());
    EXPECT_EQ(unique, (std::set<std::string>{"0100007F", "00000000000000000000000001000000"}));
    const int v6 = ConnectLoopback(run.port, AF_INET6);
    EXPECT_GE(v6, 0);
    if (v6 >= 0)
        close(v6);
    run.server->Write("q\n");
    EXPECT_EQ(run.server->Wait(15s), 0);
    EXPECT_EQ(run.client->Wait(90s), 0);
}

TEST(QuicRun, ListenOptionPutsTheDebuggerPortOnTheGivenAddress) {
    QuicRun run;
    ASSERT_NO_FATAL_FAILURE(run.StartServer({"--listen", "127.0.0.2"}));
    ASSERT_NO_FATAL_FAILURE(run.StartClient());
    run.server->Write("d\n");
    std::vector<std::string> addresses;
    for (int i = 0; i < 200 && addresses.empty(); ++i) {
        std::this_thread::sleep_for(50ms);
        addresses = ListeningAddresses(run.port);
    }
    EXPECT_EQ(addresses, std::vector<std::string>{"0200007F"});
    run.Quit();
}

TEST(QuicRun, SecondClientIsRefusedAndTheFirstKeepsTheRun) {
    QuicRun run;
    const fs::path local = run.dir.Path() / "app.txt";
    const fs::path remote = run.dir.Path() / "target" / "app.txt";
    WriteText(local, "payload for the first client\n");
    ASSERT_NO_FATAL_FAILURE(run.StartServer({"-f", local.string() + "," + remote.string()}));
    ASSERT_NO_FATAL_FAILURE(run.StartClient());
    ASSERT_TRUE(run.client->WaitForOutput("VTR Client connected", 10s));

    ChildProcess second(
        VTR232_PATH,
        {"-q", "-c", "127.0.0.1:" + std::to_string(run.port), "-l", std::to_string(FreePort())},
        run.env);
    // Shut down at once: its connection ends, and with it the process.
    EXPECT_EQ(second.Wait(30s), 0) << second.Out();

    run.server->Write("deploy\n");
    ASSERT_TRUE(run.server->WaitForOutput("bytes... Done\r\n", 15s)) << run.server->Out();
    EXPECT_EQ(ReadText(remote), "payload for the first client\n");
    EXPECT_NE(run.client->Out().find("Writing"), std::string::npos) << run.client->Out();
    EXPECT_EQ(second.Out().find("Writing"), std::string::npos) << second.Out();
    run.Quit();
}

TEST(QuicRun, DebuggerConnectionThatDoesNotReadHoldsUpNoOther) {
    QuicRun run;
    ASSERT_NO_FATAL_FAILURE(run.StartServer());
    ASSERT_NO_FATAL_FAILURE(run.StartClient());
    ASSERT_TRUE(run.client->WaitForOutput("VTR Client connected", 10s));
    run.server->Write("d\n");

    // This one sends and never reads its echo: everything on its way back
    // piles up in front of it.
    const int stuck = ConnectWhenReady(run.port);
    ASSERT_GE(stuck, 0);
    timeval sendWait{1, 0};
    setsockopt(stuck, SOL_SOCKET, SO_SNDTIMEO, &sendWait, sizeof sendWait);
    std::thread flooder([stuck] {
        const std::vector<char> chunk(64 * 1024, 'x');
        for (std::size_t total = 0; total < (64u << 20);) {
            const ssize_t n = send(stuck, chunk.data(), chunk.size(), MSG_NOSIGNAL);
            if (n <= 0)
                break;
            total += static_cast<std::size_t>(n);
        }
    });
    std::this_thread::sleep_for(2s);

    const int other = ConnectWhenReady(run.port);
    ASSERT_GE(other, 0);
    timeval receiveWait{10, 0};
    setsockopt(other, SOL_SOCKET, SO_RCVTIMEO, &receiveWait, sizeof receiveWait);
    const auto data = RandomBytes(4000, 9);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(EchoThrough(other, data), data);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    close(other);
    flooder.join();
    close(stuck);
    run.Quit();
}

TEST(QuicRun, FloodOnTheControlStreamKeepsTheServerBounded) {
    QuicRun run;
    ASSERT_NO_FATAL_FAILURE(run.StartServer());

    // A client of our own QUIC layer that answers the control stream with
    // junk and never stops.
    quic::QuicEndpoint hostile;
    ASSERT_EQ(hostile.Open(quic::kQuicAppName, quic::QuicRole::ClientNoCertificateCheck), 0);
    quic::ClientShell shell;
    shell.endpoint = &hostile;
    shell.clientText = L"hostile";
    std::atomic<HQUIC> control{nullptr};
    shell.onControlStream = [&control](HQUIC stream) { control.store(stream); };
    shell.clientInbox = [](std::span<const std::uint8_t> bytes) { return bytes.size(); };
    ASSERT_EQ(quic::ConnectClientShell(shell, "127.0.0.1", static_cast<std::uint16_t>(run.port)),
              0);
    ASSERT_TRUE(run.server->WaitForOutput("Commands are", 15s)) << run.server->Out();
    run.server->Write("d\n");
    for (int i = 0; i < 200 && control.load() == nullptr; ++i)
        std::this_thread::sleep_for(50ms);
    ASSERT_NE(control.load(), nullptr);

    const long before = RssKib(run.server->Pid());
    ASSERT_GT(before, 0);
    const std::vector<std::uint8_t> junk(256 * 1024, 0xA5);
    for (int i = 0; i < 512; ++i)  // 128 MiB
        ASSERT_EQ(quic::SendOnStream(hostile, quic::clientConnection.load(), control.load(), junk),
                  QUIC_STATUS_SUCCESS);
    // Long enough for far more than a stream window to arrive if it could.
    std::this_thread::sleep_for(4s);
    const long after = RssKib(run.server->Pid());
    EXPECT_LT(after - before, testing_support::MemoryBoundKiB(48 * 1024))
        << before << " KiB -> " << after << " KiB";

    // The server still obeys its console.
    run.server->Write("q\n");
    EXPECT_EQ(run.server->Wait(15s), 0);
    hostile.Close();
}

TEST(QuicRun, KilledRunLeavesNoKeyBehind) {
    QuicRun run;
    ASSERT_NO_FATAL_FAILURE(run.StartServer());
    ASSERT_NO_FATAL_FAILURE(run.StartClient());
    ASSERT_TRUE(run.client->WaitForOutput("VTR Client connected", 10s));
    // No chance to clean up: the key was never anywhere but in memory.
    kill(run.server->Pid(), SIGKILL);
    run.server->Wait(10s);
    EXPECT_EQ(KeyFiles(run.KeyDir()), 0u);
    EXPECT_FALSE(fs::exists(run.KeyDir()));
    kill(run.client->Pid(), SIGTERM);
    EXPECT_EQ(run.client->Wait(10s), 128 + SIGTERM);
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
    // Woken, the client may still have answered and written the file before
    // it ended; it is then whole, never a part.
    if (fs::exists(remote)) {
        EXPECT_EQ(ReadText(remote), ReadText(local));
    }

    run.server->Write("q\n");
    EXPECT_EQ(run.server->Wait(10s), 0);
}

namespace {

// Entries of /proc/<pid>/<what>: its descriptors ("fd") or threads ("task").
std::size_t ProcCount(int pid, const char* what) {
    std::error_code error;
    std::size_t count = 0;
    for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/" + what, error), end;
         !error && it != end; it.increment(error))
        ++count;
    return count;
}

}  // namespace

TEST(QuicRun, DebuggerConnectionsBeyondTheCapAreClosedAtOnce) {
    QuicRun run;
    ASSERT_NO_FATAL_FAILURE(run.StartServer());
    ASSERT_NO_FATAL_FAILURE(run.StartClient());
    ASSERT_TRUE(run.client->WaitForOutput("VTR Client connected", 10s));
    run.server->Write("d\n");
    const int first = ConnectWhenReady(run.port);
    ASSERT_GE(first, 0);
    const auto warmUp = RandomBytes(100, 1);
    EXPECT_EQ(EchoThrough(first, warmUp), warmUp);
    close(first);
    // It is gone, and with it its place under the cap.
    std::this_thread::sleep_for(500ms);
    const int pid = run.server->Pid();
    const std::size_t threads = ProcCount(pid, "task");
    const std::size_t fds = ProcCount(pid, "fd");

    constexpr std::size_t kHeld = 100, kCap = 64;
    std::vector<int> held;
    for (std::size_t i = 0; i < kHeld; ++i) {
        const int fd = ConnectLoopback(run.port);
        ASSERT_GE(fd, 0);
        held.push_back(fd);
    }
    // Those beyond the cap are closed by the server; the rest stay open.
    const auto closedOnes = [&] {
        std::vector<std::size_t> closed;
        for (std::size_t i = 0; i < held.size(); ++i) {
            char byte;
            const ssize_t n = recv(held[i], &byte, 1, MSG_DONTWAIT | MSG_PEEK);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
                closed.push_back(i);
        }
        return closed;
    };
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (closedOnes().size() < kHeld - kCap && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(50ms);
    std::this_thread::sleep_for(500ms);
    const std::vector<std::size_t> closed = closedOnes();
    ASSERT_EQ(closed.size(), kHeld - kCap);
    EXPECT_EQ(closed.front(), kCap);  // accepted in order: the last ones
    // No thread per connection (the worker moves the bytes); a socket and
    // the worker's duplicate of it each.
    EXPECT_LE(ProcCount(pid, "task"), threads + 2);
    EXPECT_LE(ProcCount(pid, "fd"), fds + 2 * kCap);

    // Every one of the others is carried. Fewer streams than connections
    // run at once, so each ends once echoed and makes room for the next.
    std::atomic<std::size_t> echoed{0};
    std::vector<std::thread> echoes;
    for (std::size_t i = 0; i < kCap; ++i)
        echoes.emplace_back([&, fd = held[i], i] {
            const auto data = RandomBytes(200 + i, static_cast<unsigned>(i));
            if (EchoThrough(fd, data) == data)
                ++echoed;
            close(fd);
        });
    for (auto& echo : echoes)
        echo.join();
    EXPECT_EQ(echoed.load(), kCap);
    for (std::size_t i = kCap; i < kHeld; ++i)
        close(held[i]);

    // With all of them gone the server is back where it was, and takes more.
    const auto settled = std::chrono::steady_clock::now() + 15s;
    while ((ProcCount(pid, "task") > threads || ProcCount(pid, "fd") > fds) &&
           std::chrono::steady_clock::now() < settled)
        std::this_thread::sleep_for(50ms);
    EXPECT_LE(ProcCount(pid, "task"), threads);
    EXPECT_LE(ProcCount(pid, "fd"), fds);
    const int later = ConnectLoopback(run.port);
    ASSERT_GE(later, 0);
    const auto data = RandomBytes(3000, 2);
    EXPECT_EQ(EchoThrough(later, data), data);
    close(later);
    run.Quit();
}
