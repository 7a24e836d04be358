// Streamed deployments between real processes: a file far larger than the
// pipeline's memory arrives intact over TCP and QUIC while both processes
// stay small, a client that fails in the middle of a large file keeps its old
// one, and progress lines appear on a terminal only.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/Sanitizers.h"
#include "support/TestEnv.h"

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

// Megabytes that differ from each other yet compress, written piece by piece.
void WriteLarge(const fs::path& path, std::size_t mib, unsigned seed) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::string block(kMiB, '\0');
    for (std::size_t m = 0; m < mib; ++m) {
        std::uint32_t state = seed * 2654435761u + static_cast<std::uint32_t>(m) * 40503u + 1;
        for (std::size_t i = 0; i < block.size(); ++i) {
            state = state * 1103515245u + 12345u;
            // Mostly text-like, every 64th byte noise.
            block[i] = (i & 63) == 0 ? static_cast<char>(state >> 24)
                                     : static_cast<char>('a' + (state >> 28));
        }
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
}

bool SameFiles(const fs::path& a, const fs::path& b) {
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    if (!x || !y || fs::file_size(a) != fs::file_size(b))
        return false;
    std::vector<char> p(kMiB), q(kMiB);
    while (x && y) {
        x.read(p.data(), static_cast<std::streamsize>(p.size()));
        y.read(q.data(), static_cast<std::streamsize>(q.size()));
        if (x.gcount() != y.gcount() || !std::equal(p.begin(), p.begin() + x.gcount(), q.begin()))
            return false;
    }
    return true;
}

// Peak resident memory of a process in KiB (0 when it cannot be read).
long PeakKiB(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

std::size_t Leftovers(const fs::path& dir) {
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator(dir))
        count += entry.path().filename().string().find(".vtr") != std::string::npos;
    return count;
}

// The server and client of one run, over TCP or QUIC.
struct DeployRun {
    TempDir dir;
    bool quic = false;
    int port = FreeTcpUdpPort();
    std::unique_ptr<ChildProcess> server, client;

    // `wrapped`: the whole command line of serverProgram, which runs the
    // server itself (a terminal for it, say).
    void Start(const fs::path& local, const fs::path& remote,
               const std::string& serverProgram = VTR232_PATH,
               std::vector<std::string> wrapped = {}) {
        std::vector<std::string> args = std::move(wrapped);
        if (args.empty()) {
            args =
                quic ? std::vector<std::string>{"-q", "-s", "-t", "1", "-p", std::to_string(port)}
                     : std::vector<std::string>{"-s",   "-t", "1",    "--p1", std::to_string(port),
                                                "--p2", "0",  "--p3", "0"};
            args.push_back("-f");
            args.push_back(local.string() + "," + remote.string());
        }
        server = std::make_unique<ChildProcess>(serverProgram, args);
        ASSERT_TRUE(server->WaitForOutput(quic ? "Waiting for Connection" : "Commands are", 10s))
            << server->Out() << server->Err();
        StartClient();
    }

    void StartClient() {
        const std::vector<std::string> args =
            quic ? std::vector<std::string>{"-q", "-t", "1", "-c",
                                            "127.0.0.1:" + std::to_string(port)}
                 : std::vector<std::string>{"-t", "1",
                                            "-d", "127.0.0.1:" + std::to_string(port),
                                            "-c", "127.0.0.1:" + std::to_string(FreePort())};
        client = std::make_unique<ChildProcess>(VTR232_PATH, args);
        if (quic) {
            ASSERT_TRUE(server->WaitForOutput("Commands are", 15s)) << server->Out();
        } else {
            ASSERT_TRUE(WaitForAcceptedConnection(port));
            std::this_thread::sleep_for(100ms);
        }
    }

    // Deploys once and waits for the file's line to end.
    bool Deploy(std::chrono::seconds limit = 60s) {
        const std::size_t before = server->Out().size();
        server->Write("deploy\n");
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            const std::string out = server->Out();
            if (out.size() > before && (out.find("Done\r", before) != std::string::npos ||
                                        out.find("Failed\r", before) != std::string::npos))
                return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    void Quit() {
        server->Write("q\n");
        EXPECT_EQ(server->Wait(15s), 0);
        EXPECT_EQ(client->Wait(30s), 0);
    }
};

class DeployStream : public testing::TestWithParam<bool> {};

TEST_P(DeployStream, FileFarLargerThanThePipelineArrivesWithBothProcessesSmall) {
    // Sanitizers make everything slower and memory larger: a lighter file
    // and their scaled bound.
    const std::size_t mib = kSanitizedBuild ? 32 : 256;
    const long boundKiB = MemoryBoundKiB(128 * 1024);
    DeployRun run;
    run.quic = GetParam();
    const fs::path local = run.dir.Path() / "large.bin";
    const fs::path remote = run.dir.Path() / "client" / "large.bin";
    WriteLarge(local, mib, 1);
    run.Start(local, remote);
    ASSERT_TRUE(run.Deploy(120s)) << run.server->Out();
    const std::string out = run.server->Out();
    const std::regex line("Local: " + local.string() + " to " + remote.string() +
                          R"(\.\.\. Uploading (\d+) -> (\d+) bytes\.\.\. Done\r\n)");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, line)) << out;
    EXPECT_EQ(std::stoull(m[1]), mib * kMiB);
    EXPECT_LE(std::stoull(m[2]), mib * kMiB);
    EXPECT_TRUE(SameFiles(local, remote));
    const long serverPeak = PeakKiB(run.server->Pid());
    const long clientPeak = PeakKiB(run.client->Pid());
    EXPECT_GT(serverPeak, 0);
    EXPECT_LT(serverPeak, boundKiB) << "server peak KiB";
    EXPECT_GT(clientPeak, 0);
    EXPECT_LT(clientPeak, boundKiB) << "client peak KiB";
    // Far below the file itself (the sanitizers' own memory aside).
    if (!kSanitizedBuild) {
        EXPECT_LT(static_cast<std::size_t>(std::max(serverPeak, clientPeak)) * 1024,
                  mib * kMiB / 2);
    }
    run.Quit();
}

INSTANTIATE_TEST_SUITE_P(TcpAndQuic, DeployStream, testing::Bool(),
                         [](const auto& info) { return info.param ? "Quic" : "Tcp"; });

TEST(DeployStreamFailure, ClientThatCannotWriteHalfWayKeepsItsOldFile) {
    constexpr rlim_t kLimit = 2 * kMiB;
    DeployRun run;
    const fs::path local = run.dir.Path() / "big.bin";
    fs::create_directory(run.dir.Path() / "client");
    const fs::path remote = run.dir.Path() / "client" / "big.bin";
    WriteLarge(local, 8, 2);
    {
        std::ofstream old(remote, std::ios::binary);
        old << std::string(100000, 'o');
    }
    {
        // Only the client gets the limit, and with SIGXFSZ ignored a write
        // beyond it fails instead of ending the process.
        std::vector<std::string> args{"-s",
                                      "-t",
                                      "1",
                                      "--p1",
                                      std::to_string(run.port),
                                      "--p2",
                                      "0",
                                      "--p3",
                                      "0",
                                      "-f",
                                      local.string() + "," + remote.string()};
        run.server = std::make_unique<ChildProcess>(VTR232_PATH, args);
        ASSERT_TRUE(run.server->WaitForOutput("Commands are", 10s));
        const ScopedFileSizeLimit limit(kLimit);  // the client inherits it
        ASSERT_TRUE(limit.ok);
        run.StartClient();
    }
    ASSERT_TRUE(run.Deploy());
    const std::string out = run.server->Out();
    EXPECT_TRUE(std::regex_search(out, std::regex(R"(Patch \d+ -> \d+ bytes\.\.\. Failed\r\n)")))
        << out;
    EXPECT_EQ(fs::file_size(remote), 100000u);
    EXPECT_EQ(Leftovers(remote.parent_path()), 0u);
    // The channel stayed in step: the client still answers the next run.
    ASSERT_TRUE(run.Deploy());
    run.Quit();
}

TEST(DeployStreamProgress, ProgressOnATerminalOnlyAndPlainLinesElsewhere) {
    const fs::path script = "/usr/bin/script";
    if (!fs::exists(script))
        GTEST_SKIP() << "no script(1) to give the server a terminal";
    DeployRun plain;
    const fs::path local = plain.dir.Path() / "data.bin";
    WriteLarge(local, 24, 3);
    plain.Start(local, plain.dir.Path() / "plain.bin");
    ASSERT_TRUE(plain.Deploy());
    const std::string plainOut = plain.server->Out();
    plain.Quit();
    // Not a terminal: no escape and no carriage return but before a line feed.
    EXPECT_EQ(plainOut.find('\x1b'), std::string::npos);
    for (std::size_t at = plainOut.find('\r'); at != std::string::npos;
         at = plainOut.find('\r', at + 1))
        ASSERT_EQ(plainOut[at + 1], '\n') << plainOut;

    // The same deployment with the server's output on a terminal.
    DeployRun tty;
    const fs::path remote = tty.dir.Path() / "tty.bin";
    std::string command = std::string(VTR232_PATH) + " -s -t 1 --p1 " + std::to_string(tty.port) +
                          " --p2 0 --p3 0 -f " + local.string() + "," + remote.string();
    tty.Start(local, remote, script.string(), {"-qfec", command, "/dev/null"});
    ASSERT_TRUE(tty.Deploy());
    const std::string out = tty.server->Out();
    const std::string head = "Local: " + local.string() + " to " + remote.string() + "... ";
    // At least one progress text, rewritten in place, then the usual line.
    EXPECT_TRUE(std::regex_search(
        out, std::regex("\r" +
                        std::regex_replace(head, std::regex(R"([.^$|()\[\]{}*+?\\/])"), R"(\$&)") +
                        R"(Uploading 25165824 -> [0-9.]+ of 24\.0 MiB, [0-9.]+ MiB/s)")))
        << out;
    EXPECT_NE(out.find("\x1b[K"), std::string::npos);
    EXPECT_TRUE(
        std::regex_search(
            out, std::regex(R"(\rLocal: .* Uploading 25165824 -> \d+ bytes\.\.\. \x1b\[KDone)")) ||
        std::regex_search(out,
                          std::regex(R"(\rLocal: .* Uploading 25165824 -> \d+ bytes\.\.\. Done)")))
        << out;
    EXPECT_TRUE(SameFiles(local, remote));
    tty.server->Write("q\n");
    tty.server->Wait(15s);
}

}  // namespace
