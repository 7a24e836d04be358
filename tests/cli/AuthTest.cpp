// Shared-secret authentication end to end: real server and client processes
// over both transports, real files, a recording proxy on the TCP path, and
// peers that send garbage or nothing.
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/TestEnv.h"

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr char kSecret[] = "correct horse battery staple 7731";

std::size_t Count(const std::string& text, std::string_view what) {
    std::size_t n = 0;
    for (std::size_t p = 0; (p = text.find(what, p)) != std::string::npos; p += what.size())
        ++n;
    return n;
}

// Both roles of one transport, with the stand-in monitor and a file to deploy.
struct AuthRun {
    bool quic = false;
    TempDir dir;
    int port1 = quic ? 0 : FreePort(), port2 = FreePort(), port3 = FreePort();
    int quicPort = FreeTcpUdpPort();
    int monitorPort = FreePort();
    std::map<std::string, std::string> env;
    fs::path local, remote;
    std::unique_ptr<ChildProcess> server;

    explicit AuthRun(bool useQuic) : quic(useQuic) {
        InstallStandInMonitor(dir.Path() / "programs");
        env = {{"PROGRAMFILES", (dir.Path() / "programs").string()},
               {"XDG_DATA_HOME", (dir.Path() / "xdg").string()},
               {"VTR_ADDRESS_URL", "http://127.0.0.1:9"}};
        local = dir.Path() / "app.txt";
        remote = dir.Path() / "target" / "app.txt";
        std::string content;
        for (int i = 0; i < 2000; ++i)
            content += "entry " + std::to_string(i) + "\n";
        WriteText(local, content);
    }

    static std::map<std::string, std::string> With(std::map<std::string, std::string> env,
                                                   const std::string& secret) {
        if (!secret.empty())
            env["VTR_SECRET"] = secret;
        return env;
    }

    void StartServer(const std::string& secret, std::vector<std::string> extra = {}) {
        std::vector<std::string> args =
            quic ? std::vector<std::string>{"-q", "-s",
                                            "-p", std::to_string(quicPort),
                                            "-l", std::to_string(monitorPort)}
                 : std::vector<std::string>{"-s",
                                            "--p1",
                                            std::to_string(port1),
                                            "--p2",
                                            std::to_string(port2),
                                            "--p3",
                                            std::to_string(port3)};
        args.insert(args.end(), {"-f", local.string() + "," + remote.string()});
        args.insert(args.end(), extra.begin(), extra.end());
        server = std::make_unique<ChildProcess>(VTR232_PATH, args, With(env, secret));
        ASSERT_TRUE(server->WaitForOutput(quic ? "Waiting for Connection" : "Commands are", 10s));
        // The deployment port listens from its own thread, a moment later.
        if (!quic) {
            ASSERT_TRUE(WaitForListener(port1));
            ASSERT_TRUE(WaitForListener(port3));
        }
    }

    // A client dialling `dialPort1`/`dialPort3` (TCP; 0: the server's own).
    std::unique_ptr<ChildProcess> StartClient(const std::string& secret,
                                              std::vector<std::string> extra = {},
                                              int dialPort1 = 0, int dialPort3 = 0) {
        std::vector<std::string> args =
            quic ? std::vector<std::string>{"-q", "-c", "127.0.0.1:" + std::to_string(quicPort),
                                            "-l", std::to_string(monitorPort)}
                 : std::vector<std::string>{
                       "-d", "127.0.0.1:" + std::to_string(dialPort1 ? dialPort1 : port1),
                       "-c", "127.0.0.1:" + std::to_string(dialPort3 ? dialPort3 : port3),
                       "-l", "127.0.0.1:" + std::to_string(monitorPort)};
        args.insert(args.end(), extra.begin(), extra.end());
        return std::make_unique<ChildProcess>(VTR232_PATH, args, With(env, secret));
    }

    // The server has a client: QUIC says so; over TCP both channels are
    // authenticated once a deploy goes through, so this deploys.
    void ExpectServed() {
        if (quic) {
            ASSERT_TRUE(server->WaitForOutput("Commands are", 15s)) << server->Out();
        }
        const std::size_t before = Count(server->Out(), "bytes... Done");
        // Over TCP the deployment connection may still be proving itself: a
        // deploy before it is accepted fails, so deploy until one is done.
        for (int attempt = 0; attempt < 40; ++attempt) {
            const std::size_t mark = server->Out().size();
            server->Write("deploy\n");
            for (int i = 0; i < 400; ++i) {
                const std::string out = server->Out();
                if (out.find("Done\r\n", mark) != std::string::npos ||
                    out.find("Failed\r\n", mark) != std::string::npos)
                    break;
                std::this_thread::sleep_for(50ms);
            }
            if (Count(server->Out(), "bytes... Done") > before)
                break;
            std::this_thread::sleep_for(250ms);
        }
        ASSERT_GT(Count(server->Out(), "bytes... Done"), before) << server->Out();
        EXPECT_EQ(ReadText(local), ReadText(remote));
        // The tunnel reaches the monitor.
        const int debuggerPort = quic ? quicPort : port2;
        const auto data = RandomBytes(300000, 9);
        bool echoed = false;
        for (int attempt = 0; attempt < 100 && !echoed; ++attempt) {
            const int fd = ConnectLoopback(debuggerPort);
            if (fd >= 0) {
                echoed = EchoThrough(fd, data) == data;
                close(fd);
            }
            if (!echoed)
                std::this_thread::sleep_for(100ms);
        }
        EXPECT_TRUE(echoed);
    }

    // A deploy with no authenticated client fails and writes nothing.
    void ExpectNothingDeployed() {
        const std::size_t mark = server->Out().size();
        server->Write("deploy\n");
        ASSERT_TRUE(server->WaitForOutput("Failed\r\n", 60s, mark)) << server->Out();
        EXPECT_FALSE(fs::exists(remote));
    }
};

// Forwards one connection at a time from a port of its own to `target`,
// recording every byte in both directions.
class RecordingProxy {
  public:
    explicit RecordingProxy(int target) : target_(target) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener_, 4);
        socklen_t length = sizeof a;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~RecordingProxy() {
        stop_ = true;
        shutdown(listener_, SHUT_RDWR);
        thread_.join();
        close(listener_);
    }
    int Port() const { return port_; }
    std::string Recorded() {
        std::lock_guard guard(lock_);
        return recorded_;
    }

  private:
    void Run() {
        while (!stop_) {
            const int in = accept(listener_, nullptr, nullptr);
            if (in < 0)
                return;
            const int out = ConnectLoopback(target_);
            if (out < 0) {
                close(in);
                continue;
            }
            pollfd fds[2] = {{in, POLLIN, 0}, {out, POLLIN, 0}};
            char buffer[65536];
            while (!stop_) {
                if (poll(fds, 2, 200) <= 0)
                    continue;
                bool ended = false;
                for (int i = 0; i < 2; ++i) {
                    if (fds[i].revents == 0)
                        continue;
                    const ssize_t got = recv(fds[i].fd, buffer, sizeof buffer, 0);
                    if (got <= 0 || send(fds[1 - i].fd, buffer, static_cast<std::size_t>(got),
                                         MSG_NOSIGNAL) != got) {
                        ended = true;
                        break;
                    }
                    std::lock_guard guard(lock_);
                    recorded_.append(buffer, static_cast<std::size_t>(got));
                }
                if (ended)
                    break;
            }
            close(in);
            close(out);
        }
    }

    int target_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex lock_;  // guards recorded_
    std::string recorded_;
};

// A raw connection that sends `bytes` (possibly none) and stays open.
int RawPeer(int port, const std::vector<unsigned char>& bytes) {
    const int fd = ConnectWhenReady(port);
    if (fd >= 0 && !bytes.empty())
        send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    return fd;
}

}  // namespace

// ---------------------------------------------------------------- TCP

TEST(AuthTcp, SameSecretDeploysAndTunnelsAndTheSecretIsNowhereOnTheWire) {
    AuthRun run(false);
    ASSERT_NO_FATAL_FAILURE(run.StartServer(kSecret));
    RecordingProxy deployPath(run.port1), relayPath(run.port3);
    auto client = run.StartClient(kSecret, {}, deployPath.Port(), relayPath.Port());
    ASSERT_NO_FATAL_FAILURE(run.ExpectServed());
    const std::string wire = deployPath.Recorded() + relayPath.Recorded();
    // The exchange ran on both channels, and neither the secret nor any
    // piece of it long enough to mean something crossed.
    EXPECT_EQ(deployPath.Recorded().rfind("VTRAUTH1", 0), 0u);
    EXPECT_EQ(relayPath.Recorded().rfind("VTRAUTH1", 0), 0u);
    const std::string secret = kSecret;
    for (std::size_t at = 0; at + 8 <= secret.size(); ++at)
        EXPECT_EQ(wire.find(secret.substr(at, 8)), std::string::npos) << at;
    EXPECT_EQ(run.server->Out().find(kSecret), std::string::npos);
    EXPECT_EQ(client->Out().find(kSecret), std::string::npos);
    EXPECT_EQ(Count(run.server->Out(), "Authentication failed"), 0u);
    run.server->Write("q\n");
    EXPECT_EQ(run.server->Wait(15s), 0);
    // Its key wait ends with the input (it may have ended with the server).
    EXPECT_EQ(client->Stop(15s), 0);
}

TEST(AuthTcp, WrongAndMissingSecretsAreRefusedAndARightClientIsServedAfter) {
    AuthRun run(false);
    ASSERT_NO_FATAL_FAILURE(run.StartServer(kSecret));
    // A client without a secret says nothing: it waits on both channels.
    auto silent = run.StartClient("");
    ASSERT_TRUE(WaitForAcceptedConnection(run.port1));

    const auto started = std::chrono::steady_clock::now();
    auto wrong = run.StartClient("not the secret");
    EXPECT_EQ(wrong->Wait(10s), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    EXPECT_NE(wrong->Out().find("Authentication failed"), std::string::npos) << wrong->Out();
    ASSERT_TRUE(run.server->WaitForOutput("Authentication failed: 127.0.0.1:", 10s))
        << run.server->Out();
    EXPECT_NE(run.server->Out().find("(wrong secret)"), std::string::npos) << run.server->Out();
    // The silent one is refused once its time is up, on both channels, and
    // ends as for a closed connection.
    ASSERT_TRUE(run.server->WaitForOutput("(no proof in time)", 15s)) << run.server->Out();
    EXPECT_EQ(silent->Wait(15s), 0);
    EXPECT_GE(Count(run.server->Out(), "Authentication failed: 127.0.0.1:"), 3u);
    ASSERT_NO_FATAL_FAILURE(run.ExpectNothingDeployed());

    auto right = run.StartClient(kSecret);
    ASSERT_NO_FATAL_FAILURE(run.ExpectServed());
    run.server->Write("q\n");
    EXPECT_EQ(run.server->Wait(15s), 0);
    // Its key wait ends with the input (it may have ended with the server).
    EXPECT_EQ(right->Stop(15s), 0);
}

TEST(AuthTcp, ClientWithASecretRefusesAServerWithoutOnePromptlyAndReceivesNothing) {
    AuthRun run(false);
    ASSERT_NO_FATAL_FAILURE(run.StartServer(""));
    const auto started = std::chrono::steady_clock::now();
    auto client = run.StartClient(kSecret);
    ASSERT_TRUE(WaitForAcceptedConnection(run.port1));
    // The server without a secret deploys at once and announces a debugger
    // connection; the client takes neither for the server's proof.
    run.server->Write("deploy\n");
    const int debugger = ConnectLoopback(run.port2);
    EXPECT_EQ(client->Wait(10s), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    EXPECT_EQ(Count(client->Out(), "Authentication failed"), 1u) << client->Out();
    EXPECT_FALSE(fs::exists(run.remote));
    EXPECT_EQ(ConnectLoopback(run.monitorPort), -1);  // no monitor was started
    if (debugger >= 0)
        close(debugger);
    run.server->Write("q\n");
    EXPECT_EQ(run.server->Wait(15s), 0);
}

TEST(AuthTcp, SecretFileWinsOverTheVariableAndIsNeverSavedOrPrinted) {
    AuthRun run(false);
    const fs::path secretFile = run.dir.Path() / "secret.txt";
    WriteText(secretFile, std::string(kSecret) + "\r\nsecond line\n");
    // The server's variable is wrong; its file is right.
    ASSERT_NO_FATAL_FAILURE(run.StartServer("variable value", {"--secret-file", secretFile}));
    auto client = run.StartClient(kSecret);
    ASSERT_NO_FATAL_FAILURE(run.ExpectServed());
    const fs::path saved = run.dir.Path() / "saved.xml";
    run.server->Write("save " + saved.string() + "\n");
    for (int i = 0; i < 100 && !fs::exists(saved); ++i)
        std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(fs::exists(saved));
    EXPECT_EQ(ReadText(saved).find("correct horse"), std::string::npos);
    EXPECT_EQ(ReadText(saved).find("secret"), std::string::npos);
    EXPECT_EQ(run.server->Out().find("correct horse"), std::string::npos);
    run.server->Write("q\n");
    EXPECT_EQ(run.server->Wait(15s), 0);
    // Its key wait ends with the input (it may have ended with the server).
    EXPECT_EQ(client->Stop(15s), 0);

    // A client whose file is wrong is refused although its variable is right.
    WriteText(secretFile, "something else\n");
    AuthRun second(false);
    ASSERT_NO_FATAL_FAILURE(second.StartServer(kSecret));
    auto refused = second.StartClient(kSecret, {"--secret-file", secretFile});
    EXPECT_EQ(refused->Wait(10s), 1) << refused->Out() << refused->Err();
    EXPECT_NE(refused->Out().find("Authentication failed"), std::string::npos);
    second.server->Write("q\n");
    EXPECT_EQ(second.server->Wait(15s), 0);
}

TEST(AuthTcp, GarbageAndSilentFirstConnectionsOnBothPortsDoNotStopARightClient) {
    AuthRun run(false);
    ASSERT_NO_FATAL_FAILURE(run.StartServer(kSecret));
    std::vector<int> peers;
    for (int port : {run.port1, run.port3}) {
        peers.push_back(RawPeer(port, RandomBytes(200, static_cast<unsigned>(port))));
        peers.push_back(RawPeer(port, {}));
        // Bytes that start like the exchange, then stop.
        peers.push_back(RawPeer(port, {'V', 'T', 'R', 'A', 'U', 'T', 'H', '1', 0, 1}));
    }
    ASSERT_TRUE(run.server->WaitForOutput("(not an authentication request)", 10s));
    auto client = run.StartClient(kSecret);
    ASSERT_NO_FATAL_FAILURE(run.ExpectServed());
    for (const int fd : peers)
        if (fd >= 0)
            close(fd);
    run.server->Write("q\n");
    EXPECT_EQ(run.server->Wait(15s), 0);
    // Its key wait ends with the input (it may have ended with the server).
    EXPECT_EQ(client->Stop(15s), 0);
}

TEST(AuthTcp, PeersStillProvingThemselvesDoNotHoldUpTheServersEnd) {
    AuthRun run(false);
    ASSERT_NO_FATAL_FAILURE(run.StartServer(kSecret));
    const int deployPeer = RawPeer(run.port1, {'V', 'T'});
    const int relayPeer = RawPeer(run.port3, {});
    ASSERT_TRUE(WaitForAcceptedConnection(run.port1));
    ASSERT_TRUE(WaitForAcceptedConnection(run.port3));
    const auto started = std::chrono::steady_clock::now();
    run.server->Write("q\n");
    EXPECT_EQ(run.server->Wait(15s), 0);
    // Well before the peers' deadline would have ended their wait.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    close(deployPeer);
    close(relayPeer);
}

TEST(AuthTcp, HelpSaysTheTcpChannelStaysUnencrypted) {
    ChildProcess help(VTR232_PATH, {"-h"});
    RunToEnd(help, "");
    EXPECT_NE(help.Out().find("--secret-file"), std::string::npos);
    EXPECT_NE(help.Out().find("TCP mode stays readable on the wire, use -q for encryption"),
              std::string::npos)
        << help.Out();
}

// ---------------------------------------------------------------- QUIC

TEST(AuthQuic, SameSecretDeploysAndTunnelsWithTheFileWinningOverTheVariable) {
    AuthRun run(true);
    const fs::path secretFile = run.dir.Path() / "secret.txt";
    WriteText(secretFile, std::string(kSecret) + "\n");
    ASSERT_NO_FATAL_FAILURE(run.StartServer("variable value", {"--secret-file", secretFile}));
    auto client = run.StartClient(kSecret);
    ASSERT_NO_FATAL_FAILURE(run.ExpectServed());
    EXPECT_NE(client->Out().find("VTR Client connected to"), std::string::npos);
    EXPECT_EQ(run.server->Out().find(kSecret), std::string::npos);
    EXPECT_EQ(Count(run.server->Out(), "Authentication failed"), 0u);
    run.server->Write("q\n");
    EXPECT_EQ(run.server->Wait(15s), 0);
    EXPECT_EQ(client->Wait(90s), 0);
}

TEST(AuthQuic, WrongAndMissingSecretsAreRefusedAndARightClientIsServedAfter) {
    AuthRun run(true);
    ASSERT_NO_FATAL_FAILURE(run.StartServer(kSecret));
    const auto started = std::chrono::steady_clock::now();
    auto wrong = run.StartClient("not the secret");
    EXPECT_EQ(wrong->Wait(10s), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    EXPECT_NE(wrong->Out().find("Authentication failed"), std::string::npos) << wrong->Out();
    EXPECT_EQ(wrong->Out().find("VTR Client connected"), std::string::npos);
    ASSERT_TRUE(run.server->WaitForOutput("Authentication failed: 127.0.0.1:", 10s))
        << run.server->Out();
    // A client without a secret is refused once its time is up, and ends
    // with its connection.
    auto missing = run.StartClient("");
    ASSERT_TRUE(run.server->WaitForOutput("(no proof in time)", 15s)) << run.server->Out();
    EXPECT_EQ(missing->Wait(30s), 0);
    EXPECT_EQ(run.server->Out().find("Commands are"), std::string::npos);
    EXPECT_FALSE(fs::exists(run.remote));

    auto right = run.StartClient(kSecret);
    ASSERT_NO_FATAL_FAILURE(run.ExpectServed());
    run.server->Write("q\n");
    EXPECT_EQ(run.server->Wait(15s), 0);
    EXPECT_EQ(right->Wait(90s), 0);
}

TEST(AuthQuic, ClientWithASecretRefusesAServerWithoutOnePromptlyAndReceivesNothing) {
    AuthRun run(true);
    ASSERT_NO_FATAL_FAILURE(run.StartServer(""));
    const auto started = std::chrono::steady_clock::now();
    auto client = run.StartClient(kSecret);
    ASSERT_TRUE(run.server->WaitForOutput("Commands are", 15s));
    // The server opens its control stream and deploys at once; the client
    // takes nothing from it.
    run.server->Write("deploy\n");
    EXPECT_EQ(client->Wait(10s), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    EXPECT_EQ(Count(client->Out(), "Authentication failed"), 1u) << client->Out();
    EXPECT_EQ(client->Out().find("VTR Client connected"), std::string::npos);
    EXPECT_FALSE(fs::exists(run.remote));
    EXPECT_EQ(ConnectLoopback(run.monitorPort), -1);  // no monitor was started
    run.server->Write("q\n");
    EXPECT_EQ(run.server->Wait(15s), 0);
}
