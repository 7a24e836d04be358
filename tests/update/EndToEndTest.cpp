// The real program updating itself from the real update service.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "TestSupport.h"
#include "platform/Text.h"
#include "support/Sanitizers.h"
#include "support/TestEnv.h"

namespace {

using namespace updatetest;
using testing_support::FreePort;
namespace fs = std::filesystem;

template <typename Condition>
bool WaitFor(Condition condition, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string ProgramUnderTest() {
    // A differently built program can be checked with the same test.
    const char* other = std::getenv("VTR232_UNDER_TEST");
    return other != nullptr && *other != '\0' ? other : VTR232_PATH;
}

TEST(UpdateEndToEnd, OlderProgramLeavesTheNewerOneInPlace) {
    const std::string program = ProgramUnderTest();
    if (!fs::exists(program))
        GTEST_SKIP() << "the program is not built: " << program;
    const auto older = ReadBytes(program);
    // The newer build: VTR232_NEWER names one (to measure a real update),
    // else the same program with a few bytes more.
    auto newer = older;
    const char* newerFile = std::getenv("VTR232_NEWER");
    if (newerFile != nullptr && *newerFile != '\0') {
        newer = ReadBytes(newerFile);
    } else {
        const std::string trailer = "\n-- newer build --\n";
        newer.insert(newer.end(), trailer.begin(), trailer.end());
    }
    ASSERT_NE(newer, older);

    UpdateService service;
    WriteBytes(service.release() / "vtr232", newer);
    service.Publish();
    service.Start();

    TempDir install;
    const fs::path installed = install.path() / "vtr232";
    WriteBytes(installed, older);
    fs::permissions(installed, fs::perms(0755));
    std::vector<std::string> env = {"VTR_UPDATE_URL=" + platform::ToUtf8(service.Url()),
                                    "VTR_UPDATE_CA_FILE=" + service.caFile().string(),
                                    "VTR_NO_UPDATE=0"};
    // A TCP server instance waits on its console until its input ends.
    auto start = [&] {
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{installed.string(), "-s", "--p1", std::to_string(FreePort()),
                                     "--p2", std::to_string(FreePort()), "--p3",
                                     std::to_string(FreePort())},
            env, true);
    };

    auto first = start();
    ASSERT_GT(first->pid(), 0);
    EXPECT_TRUE(WaitFor([&] { return ReadBytes(installed) == newer; }, 20000))
        << "the running program was not replaced";
    first->CloseStdin();
    EXPECT_EQ(first->Wait(10000), 0);
    EXPECT_EQ(HexSha256(ReadBytes(installed)), HexSha256(newer));
    EXPECT_TRUE(fs::status(installed).permissions() == fs::perms(0755));
    std::uint64_t requested = 0;
    for (const auto& block : service.Blocks())
        requested += block.length;
    EXPECT_LT(requested, newer.size() / 10);
    std::printf("update of a %zu-byte program requested %llu bytes\n", newer.size(),
                static_cast<unsigned long long>(requested));
    // Only the program itself is left in the install directory.
    int files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(install.path()))
        ++files;
    EXPECT_EQ(files, 1);

    // The next start asks once and downloads nothing.
    service.ClearLog();
    auto second = start();
    EXPECT_TRUE(WaitFor([&] { return service.Requests() >= 1; }, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    second->CloseStdin();
    EXPECT_EQ(second->Wait(10000), 0);
    EXPECT_EQ(service.Requests(), 1);
    EXPECT_TRUE(service.Blocks().empty());
    EXPECT_EQ(ReadBytes(installed), newer);
}

TEST(UpdateEndToEnd, NoUpdateSettingKeepsTheProgramOffTheNetwork) {
    const std::string program = ProgramUnderTest();
    if (!fs::exists(program))
        GTEST_SKIP() << "the program is not built: " << program;
    UpdateService service;
    WriteBytes(service.release() / "vtr232", {1, 2, 3});
    service.Publish();
    service.Start();
    TempDir install;
    const fs::path installed = install.path() / "vtr232";
    const auto original = ReadBytes(program);
    WriteBytes(installed, original);
    fs::permissions(installed, fs::perms(0755));
    ChildProcess run({installed.string(), "-s", "--p1", std::to_string(FreePort()), "--p2",
                      std::to_string(FreePort()), "--p3", std::to_string(FreePort())},
                     {"VTR_UPDATE_URL=" + platform::ToUtf8(service.Url()),
                      "VTR_UPDATE_CA_FILE=" + service.caFile().string(), "VTR_NO_UPDATE=1"},
                     true);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    run.CloseStdin();
    EXPECT_EQ(run.Wait(10000), 0);
    EXPECT_EQ(service.Requests(), 0);
    EXPECT_EQ(ReadBytes(installed), original);
}

long PeakKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

TEST(UpdateEndToEnd, HostileServiceCannotTakeMemoryAndPlainHttpIsNeverDialled) {
    const std::string program = ProgramUnderTest();
    if (!fs::exists(program))
        GTEST_SKIP() << "the program is not built: " << program;
    TempDir install;
    const fs::path installed = install.path() / "vtr232";
    WriteBytes(installed, ReadBytes(program));
    fs::permissions(installed, fs::perms(0755));
    auto start = [&](const std::string& url, const std::string& caFile) {
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{installed.string(), "-s", "--p1", std::to_string(FreePort()),
                                     "--p2", std::to_string(FreePort()), "--p3",
                                     std::to_string(FreePort())},
            std::vector<std::string>{"VTR_UPDATE_URL=" + url, "VTR_UPDATE_CA_FILE=" + caFile,
                                     "VTR_NO_UPDATE=0"},
            true);
    };

    // A service whose hash list never ends: the program hangs up early and
    // its memory stays near its size at rest.
    UpdateService service;
    WriteBytes(service.release() / "vtr232", {1, 2, 3});
    service.Publish();
    service.Start("flood");
    auto flooded = start(platform::ToUtf8(service.Url()), service.caFile().string());
    auto floodEnded = [&] {
        for (const auto& line : service.LogLines())
            if (line.rfind("flood ended", 0) == 0)
                return true;
        return false;
    };
    EXPECT_TRUE(WaitFor(floodEnded, 20000));
    const long peak = PeakKiB(flooded->pid());
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, testing_support::MemoryBoundKiB(96 * 1024));
    flooded->CloseStdin();
    EXPECT_EQ(flooded->Wait(10000), 0);

    // A listener that counts connections: behind http:// it is never dialled,
    // behind https:// it is.
    CountingListener listener;
    const std::string hostPort = listener.HostPort();
    auto accepted = [&listener] { return listener.Accepted() > 0; };
    auto plain = start("http://" + hostPort + "/zelt/zelt.php", "");
    EXPECT_FALSE(WaitFor(accepted, 1500));
    plain->CloseStdin();
    EXPECT_EQ(plain->Wait(10000), 0);
    auto secure = start("https://" + hostPort + "/zelt/zelt.php", "");
    EXPECT_TRUE(WaitFor(accepted, 10000));
    secure->CloseStdin();
    EXPECT_EQ(secure->Wait(10000), 0);
}

}  // namespace
