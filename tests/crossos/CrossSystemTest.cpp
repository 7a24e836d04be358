// Runs across the two systems on loopback: the Linux program and the Windows
// program under Wine, each as server and as client, over the TCP relay and
// over QUIC. Deployments must arrive byte for byte, debugger connections must
// be echoed by the monitor that the client started (on the Windows side, the
// stand-in monitor built for Windows, found under %PROGRAMFILES%).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/TestEnv.h"

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Wine starts slowly on a loaded machine: every wait is generous.
constexpr auto kWait = 60s;

std::string WindowsBuild() {
    const char* dir = std::getenv("VTR_WINDOWS_BUILD");
    return dir != nullptr && *dir != '\0' ? dir : std::string(VTR_SOURCE_DIR) + "/build-windows";
}

std::string WindowsProgram() {
    return WindowsBuild() + "/vtr232.exe";
}

std::string WindowsMonitor() {
    return WindowsBuild() + "/tools/standin_monitor.exe";
}

bool WineInstalled() {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "";
    for (std::size_t begin = 0; begin <= dirs.size();) {
        const std::size_t end = std::min(dirs.find(':', begin), dirs.size());
        if (::access((dirs.substr(begin, end - begin) + "/wine").c_str(), X_OK) == 0)
            return true;
        begin = end + 1;
    }
    return false;
}

// Why these tests cannot run here; empty when they can.
std::string Missing() {
    if (!fs::exists(WindowsProgram()))
        return WindowsProgram() + " is missing (windows/build makes it)";
    if (!fs::exists(WindowsMonitor()))
        return WindowsMonitor() + " is missing (windows/build makes it)";
    if (!WineInstalled())
        return "Wine is not installed";
    return {};
}

// Wine shows the Linux root as drive Z:.
std::string WinePath(const fs::path& path) {
    std::string text = "Z:" + path.string();
    std::replace(text.begin(), text.end(), '/', '\\');
    return text;
}

// One side of a run: the Linux program, or the Windows one under Wine.
struct Side {
    bool windows = false;

    std::string Path(const fs::path& path) const {
        return windows ? WinePath(path) : path.string();
    }

    std::unique_ptr<ChildProcess> Start(std::vector<std::string> args,
                                        const std::map<std::string, std::string>& env) const {
        if (!windows)
            return std::make_unique<ChildProcess>(VTR232_PATH, args, env);
        args.insert(args.begin(), WindowsProgram());
        return std::make_unique<ChildProcess>(std::string(VTR_SOURCE_DIR) + "/windows/wine-run",
                                              args, env);
    }
};

// Text-like content, so that compression and patches have work to do.
std::string SampleContent(std::size_t lines, unsigned seed) {
    std::string text;
    std::mt19937 random(seed);
    for (std::size_t i = 0; i < lines; ++i)
        text += "line " + std::to_string(i) + " value " + std::to_string(random() % 1000) + "\n";
    return text;
}

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size())
        ++n;
    return n;
}

// Deployment lines that have ended, well or not.
int FinishedLines(const std::string& out) {
    return Count(out, "... Done\r\n") + Count(out, "Failed\r\n");
}

bool WaitForLines(ChildProcess& process, int count) {
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (FinishedLines(process.Out()) < count) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

// Wine's prefix, as windows/wine-run chooses it.
fs::path WinePrefix() {
    if (const char* prefix = std::getenv("VTR_WINEPREFIX"); prefix != nullptr && *prefix != '\0')
        return prefix;
    const char* tmp = std::getenv("TMPDIR");
    return fs::path(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") /
           ("vtr232-wine-" + std::to_string(::getuid()));
}

// The stand-in monitor for `side`'s system where Visual Studio 2022 would have
// it under %PROGRAMFILES%. Wine sets that variable from its registry whatever
// the caller says, so on the Windows side it goes into the prefix's own
// program folder (C:\Program Files), replaced whole so that tests running at
// the same time never see half a file.
fs::path InstallMonitor(const Side& side, const fs::path& programs) {
    if (!side.windows)
        return InstallStandInMonitor(programs);
    const fs::path windowsPrograms = WinePrefix() / "drive_c" / "Program Files";
    if (!fs::exists(windowsPrograms)) {
        // The prefix is set up by the first program that Wine runs.
        ChildProcess boot(std::string(VTR_SOURCE_DIR) + "/windows/wine-run",
                          {"cmd.exe", "/c", "exit", "0"});
        boot.Wait(120s);
    }
    const fs::path dir = windowsPrograms / "Microsoft Visual Studio" / "2022" / "Community" /
                         "Common7" / "IDE" / "Remote Debugger" / "x86";
    fs::create_directories(dir);
    const fs::path part = dir / ("msvsmon.exe." + std::to_string(::getpid()));
    fs::copy_file(WindowsMonitor(), part, fs::copy_options::overwrite_existing);
    fs::rename(part, dir / "msvsmon.exe");
    return dir / "msvsmon.exe";
}

struct Case {
    const char* name;
    bool quic;
    bool windowsServer;
};

// A server and a client on different systems, with a file to deploy from the
// server's side to the client's.
struct CrossRun {
    TempDir dir;
    Side server, client;
    bool quic;
    int port1 = FreePort(), port2 = FreePort(), port3 = FreePort();
    int quicPort = FreeTcpUdpPort();
    int monitorPort = FreePort();
    std::map<std::string, std::string> serverEnv, clientEnv;
    std::unique_ptr<ChildProcess> serverProcess, clientProcess;
    fs::path local, remote;

    CrossRun(bool quicMode, bool windowsServer)
        : server{windowsServer}, client{!windowsServer}, quic(quicMode) {
        const fs::path programs = dir.Path() / "programs";
        InstallMonitor(client, programs);
        // No address service on loopback: discovery fails at once.
        serverEnv = {{"VTR_ADDRESS_URL", "http://127.0.0.1:9"},
                     {"XDG_DATA_HOME", (dir.Path() / "xdg").string()}};
        clientEnv = serverEnv;
        if (!client.windows)
            clientEnv["PROGRAMFILES"] = programs.string();
        // The Windows program under Wine has no LZMS decoder.
        if (client.windows)
            serverEnv["VTR_DEPLOY_RAW_BLOCKS"] = "1";
        local = dir.Path() / "app.bin";
        remote = dir.Path() / "target" / "deep" / "app.bin";
    }

    // The port where the debugger connects to the server.
    int DebuggerPort() const { return quic ? quicPort : port2; }

    void Start(const std::vector<std::string>& files) {
        std::vector<std::string> args;
        if (quic)
            args = {"-q", "-s", "-p", std::to_string(quicPort), "-l", std::to_string(monitorPort)};
        else
            args = {"-s",
                    "--p1",
                    std::to_string(port1),
                    "--p2",
                    std::to_string(port2),
                    "--p3",
                    std::to_string(port3)};
        for (const std::string& file : files)
            args.insert(args.end(), {"-f", file});
        serverProcess = server.Start(args, serverEnv);
        ASSERT_TRUE(
            serverProcess->WaitForOutput(quic ? "Waiting for Connection" : "Commands are", kWait))
            << serverProcess->Out() << serverProcess->Err();
        if (quic)
            clientProcess = client.Start({"-q", "-c", "127.0.0.1:" + std::to_string(quicPort), "-l",
                                          std::to_string(monitorPort)},
                                         clientEnv);
        else
            clientProcess = client.Start({"-d", "127.0.0.1:" + std::to_string(port1), "-c",
                                          "127.0.0.1:" + std::to_string(port3), "-l",
                                          "127.0.0.1:" + std::to_string(monitorPort)},
                                         clientEnv);
        if (quic) {
            ASSERT_TRUE(serverProcess->WaitForOutput("Commands are", kWait))
                << serverProcess->Out();
            ASSERT_TRUE(clientProcess->WaitForOutput("VTR Client connected", kWait))
                << clientProcess->Out() << clientProcess->Err();
        } else {
            // A deploy before the client dialled in would fail every file.
            ASSERT_TRUE(WaitForTcpPort(
                port1, [](const TcpPortState& s) { return s.established && !s.queued; }, kWait))
                << clientProcess->Out() << clientProcess->Err();
        }
    }

    std::string FileArgument() const { return server.Path(local) + "," + client.Path(remote); }

    // One echo round trip through the tunnel, retried while the client and
    // the monitor are still coming up.
    bool RoundTrip(const std::vector<unsigned char>& data) {
        return RoundTripWhenReady(DebuggerPort(), data, kWait);
    }

    // "q" ends the server; then the client ends, its monitor with it.
    void Quit() {
        serverProcess->Write("q\n");
        EXPECT_EQ(serverProcess->Wait(kWait), 0) << serverProcess->Out();
        clientProcess->CloseStdin();  // the TCP client's key wait
        EXPECT_EQ(clientProcess->Wait(90s), 0) << clientProcess->Out();
        EXPECT_TRUE(WaitForTcpPort(
            monitorPort, [](const TcpPortState& s) { return !s.listening; }, kWait))
            << "the monitor outlived the client";
    }
};

// Plain and stored sizes of the line "<what> <plain> -> <stored> bytes".
std::pair<unsigned long, unsigned long> Sizes(const std::string& out, const std::string& what) {
    std::smatch m;
    if (!std::regex_search(out, m, std::regex(what + R"( (\d+) -> (\d+) bytes\.\.\. Done\r\n)")))
        return {0, 0};
    return {std::stoul(m[1]), std::stoul(m[2])};
}

class CrossSystem : public testing::TestWithParam<Case> {
  protected:
    void SetUp() override {
        if (const std::string missing = Missing(); !missing.empty())
            GTEST_SKIP() << "needs the Windows program under Wine: " << missing;
    }
};

TEST_P(CrossSystem, DeploysWholeAndPatchByteIdenticalAndEchoesThroughTheMonitor) {
    CrossRun run(GetParam().quic, GetParam().windowsServer);
    // Over a megabyte, so that the upload streams more than one block.
    std::string content = SampleContent(60000, 1);
    WriteText(run.local, content);
    ASSERT_NO_FATAL_FAILURE(run.Start({run.FileArgument()}));

    run.serverProcess->Write("deploy\n");
    ASSERT_TRUE(WaitForLines(*run.serverProcess, 1)) << run.serverProcess->Out();
    EXPECT_EQ(ReadText(run.remote), content) << run.serverProcess->Out();

    // A change in the middle travels as a patch.
    content.insert(content.size() / 2, "a new line in the middle\n");
    WriteText(run.local, content);
    run.serverProcess->Write("deploy\n");
    ASSERT_TRUE(WaitForLines(*run.serverProcess, 2)) << run.serverProcess->Out();
    EXPECT_EQ(ReadText(run.remote), content);

    const std::string out = run.serverProcess->Out();
    const auto [plain, stored] = Sizes(out, "Uploading");
    EXPECT_EQ(plain, content.size() - 25) << out;
    // Towards Wine the blocks go raw (the file must still arrive intact).
    if (run.client.windows) {
        EXPECT_GE(stored, plain) << out;
    }
    const unsigned long patchPlain = Sizes(out, "Patch").first;
    EXPECT_GT(patchPlain, 0u) << out;
    EXPECT_LT(patchPlain, content.size() / 4) << out;  // only what differs travels

    // The debugger's connections reach the monitor on the client's side.
    ASSERT_TRUE(run.RoundTrip(RandomBytes(1000, 2)));
    const auto big = RandomBytes(3 * 1024 * 1024 + 5, 3);
    const int fd = ConnectWhenReady(run.DebuggerPort(), kWait);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(EchoThrough(fd, big), big);
    close(fd);
    // The monitor listens where the client said, started by the client.
    const int probe = ConnectLoopback(run.monitorPort);
    EXPECT_GE(probe, 0);
    if (probe >= 0)
        close(probe);

    run.Quit();
}

INSTANTIATE_TEST_SUITE_P(Modes, CrossSystem,
                         testing::Values(Case{"TcpWindowsServer", false, true},
                                         Case{"TcpWindowsClient", false, false},
                                         Case{"QuicWindowsServer", true, true},
                                         Case{"QuicWindowsClient", true, false}),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

// Without VTR_DEPLOY_RAW_BLOCKS the Linux program sends LZMS blocks, which the
// Windows program under Wine cannot decode: each file fails, and the target
// folder holds exactly what it held before.
TEST(CrossSystemLzms, WineReceiverRefusesLzmsBlocksAndKeepsItsFiles) {
    if (const std::string missing = Missing(); !missing.empty())
        GTEST_SKIP() << "needs the Windows program under Wine: " << missing;
    CrossRun run(false, false);
    run.serverEnv.erase("VTR_DEPLOY_RAW_BLOCKS");
    const std::string content = SampleContent(20000, 4);  // one block of LZMS
    WriteText(run.local, content);
    const fs::path oldLocal = run.dir.Path() / "old.bin";
    const fs::path oldRemote = run.remote.parent_path() / "old.bin";
    const std::string before = SampleContent(20000, 5);
    fs::create_directories(oldRemote.parent_path());
    WriteText(oldRemote, before);
    WriteText(oldLocal, before + SampleContent(5000, 6));
    ASSERT_NO_FATAL_FAILURE(run.Start(
        {run.FileArgument(), run.server.Path(oldLocal) + "," + run.client.Path(oldRemote)}));

    run.serverProcess->Write("deploy\n");
    ASSERT_TRUE(WaitForLines(*run.serverProcess, 2)) << run.serverProcess->Out();
    const std::string out = run.serverProcess->Out();
    EXPECT_EQ(Count(out, "Failed\r\n"), 2) << out;
    EXPECT_FALSE(fs::exists(run.remote));
    EXPECT_EQ(ReadText(oldRemote), before);
    EXPECT_EQ(EntryNames(oldRemote.parent_path()), std::set<std::string>{"old.bin"});
    run.Quit();
}

}  // namespace
