#include "debughost/Monitor.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <thread>

#include "ScriptedPrompt.h"
#include "platform/Environment.h"
#include "platform/Process.h"
#include "platform/Text.h"

using namespace debughost;

namespace fs = std::filesystem;

namespace {
using debughost_test::ExitCalled;
using debughost_test::kPrompt;
using debughost_test::ScriptedConsole;

const std::wstring kArguments =
    L" /timeout 9000 /noauth /anyuser /nosecuritywarn /noclrwarn /nowowwarn";

class MonitorSearch : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/vtr-monitor-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root = pattern;
        programFiles = root / "Program Files";
        fs::create_directories(programFiles);
        const char* old = std::getenv("PROGRAMFILES");
        if (old)
            savedProgramFiles = old;
        ::setenv("PROGRAMFILES", programFiles.c_str(), 1);
        SetMonitorPathOverride({});
    }
    void TearDown() override {
        StopMonitor();
        SetMonitorPathOverride({});
        if (savedProgramFiles)
            ::setenv("PROGRAMFILES", savedProgramFiles->c_str(), 1);
        else
            ::unsetenv("PROGRAMFILES");
        fs::remove_all(root);
    }
    // Puts a monitor (the stand-in program) under `ide`/Remote Debugger/x86.
    fs::path Install(const std::string& ide) {
        const fs::path dir = programFiles / ide / "Remote Debugger" / "x86";
        fs::create_directories(dir);
        const fs::path exe = dir / "msvsmon.exe";
        fs::copy_file(fs::path(VTR_TOOLS_DIR) / "standin_monitor", exe,
                      fs::copy_options::overwrite_existing);
        return exe;
    }
    std::wstring Wide(const fs::path& p) { return platform::FromUtf8(p.string()); }

    fs::path root, programFiles;
    std::optional<std::string> savedProgramFiles;
    ScriptedConsole console;
};

TEST_F(MonitorSearch, CandidatesPerToolsVersion) {
    const std::wstring pf = Wide(programFiles);
    const std::wstring tail = L"\\Remote Debugger\\x86\\msvsmon.exe";
    EXPECT_EQ(MonitorCandidate(0, 2022),
              pf + L"\\Microsoft Visual Studio\\2022\\Community\\Common7\\IDE" + tail);
    EXPECT_EQ(MonitorCandidate(1, 2022),
              pf + L"\\Microsoft Visual Studio 17.0\\Common7\\IDE" + tail);
    EXPECT_EQ(MonitorCandidate(2, 2022), MonitorCandidate(1, 2022));
    EXPECT_EQ(MonitorCandidate(0, 2019),
              pf + L"\\Microsoft Visual Studio\\2019\\Community\\Common7\\IDE" + tail);
    EXPECT_EQ(MonitorCandidate(1, 2019),
              pf + L"\\Microsoft Visual Studio 16.0\\Common7\\IDE" + tail);
    EXPECT_EQ(MonitorCandidate(0, 2017),
              pf + L"\\Microsoft Visual Studio\\2017\\Community\\Common7\\IDE" + tail);
    EXPECT_EQ(MonitorCandidate(1, 2017),
              pf + L"\\Microsoft Visual Studio 15.0\\Common7\\IDE" + tail);
    // Other versions come from the registry, which is empty here.
    EXPECT_EQ(MonitorCandidate(0, 2015), L"");
    EXPECT_EQ(MonitorCandidate(2, 12345), L"");

    // Without PROGRAMFILES the variable stays as written.
    ::unsetenv("PROGRAMFILES");
    EXPECT_EQ(MonitorCandidate(1, 2019),
              L"%PROGRAMFILES%\\Microsoft Visual Studio 16.0\\Common7\\IDE" + tail);
}

TEST_F(MonitorSearch, FindsInstallationsInOrder) {
    const fs::path remote = Install("Microsoft Visual Studio 16.0/Common7/IDE");
    // 2019 with only the Remote Tools: check 0 fails, check 1 finds it.
    EXPECT_EQ(LocateMonitor(2019, console.Io()), Wide(remote));
    // The Visual Studio installation comes first when both exist.
    const fs::path studio = Install("Microsoft Visual Studio/2019/Community/Common7/IDE");
    EXPECT_EQ(LocateMonitor(2019, console.Io()), Wide(studio));
    const fs::path v2022 = Install("Microsoft Visual Studio/2022/Community/Common7/IDE");
    EXPECT_EQ(LocateMonitor(2022, console.Io()), Wide(v2022));
    EXPECT_TRUE(console.written.empty());
}

TEST_F(MonitorSearch, ToolsVersionOneNeedsNoMonitorAndNoPrompt) {
    EXPECT_EQ(LocateMonitor(1, console.Io()), L"");
    EXPECT_TRUE(console.written.empty());
}

TEST_F(MonitorSearch, DirectoryOfTheMonitorNameIsNotAMonitor) {
    fs::create_directories(
        programFiles / "Microsoft Visual Studio 17.0/Common7/IDE/Remote Debugger/x86/msvsmon.exe");
    EXPECT_THROW(LocateMonitor(2022, console.Io()), ExitCalled);
    EXPECT_EQ(console.written, kPrompt);
}

TEST_F(MonitorSearch, CancelAndEndOfInputEndTheProcessWithZero) {
    for (const std::optional<std::wstring>& answer :
         {std::optional<std::wstring>(L"3"), std::optional<std::wstring>()}) {
        ScriptedConsole scripted;
        if (answer)
            scripted.input.push_back(*answer);
        try {
            LocateMonitor(2019, scripted.Io());
            ADD_FAILURE() << "the process was not ended";
        } catch (const ExitCalled& exit) {
            EXPECT_EQ(exit.code, 0);
        }
        EXPECT_EQ(scripted.written, kPrompt);
        EXPECT_TRUE(scripted.opened.empty());
    }
}

TEST_F(MonitorSearch, AnEndRequestThatReturnsGivesUpTheSearch) {
    // The shell's end request returns (the entry thread ends the process):
    // the search must then stop, not prompt again.
    ScriptedConsole scripted;
    scripted.input = {L"3", L"3"};
    MonitorPromptIo io = scripted.Io();
    std::vector<int> codes;
    io.exitProcess = [&codes](int code) { codes.push_back(code); };
    EXPECT_EQ(LocateMonitor(2019, io), L"");
    EXPECT_EQ(codes, std::vector<int>{0});
    EXPECT_EQ(scripted.written, kPrompt);
    EXPECT_EQ(scripted.input.size(), 1u);
}

TEST_F(MonitorSearch, YesOpensTheInstallerOfTheAskedVersionThenExits) {
    struct Case {
        int version;
        const wchar_t* path;
    };
    for (const Case& c : {Case{2022, L"/vs/17/release/964531996/RemoteTools.x86ret.enu.exe"},
                          Case{2019, L"/vs/16/release/RemoteTools.x86ret.enu.exe"},
                          Case{2017, L"/vs/15/release/RemoteTools.x86ret.enu.exe"},
                          Case{2015,
                               L"/download/E/7/A/E7AEA696-A4EB-48DD-BA4A-9BE41A402400/"
                               L"rtools_setup_x86.exe"}}) {
        ScriptedConsole scripted;
        scripted.input.push_back(L" 1 ");
        EXPECT_THROW(LocateMonitor(c.version, scripted.Io()), ExitCalled);
        ASSERT_EQ(scripted.opened.size(), 1u);
        const std::wstring& url = scripted.opened[0];
        EXPECT_EQ(url.rfind(L"https://", 0), 0u);
        EXPECT_TRUE(url.ends_with(c.path)) << platform::ToUtf8(url);
    }
}

TEST_F(MonitorSearch, ChosenFileIsUsedWhileItExists) {
    const fs::path chosen = root / "my tools" / "msvsmon.exe";
    fs::create_directories(chosen.parent_path());
    std::ofstream(chosen) << "x";
    // An unknown answer asks again; a missing file asks for the file again.
    console.input = {L"maybe", L"2", Wide(root / "missing.exe"), Wide(chosen)};
    EXPECT_EQ(LocateMonitor(2022, console.Io()), Wide(chosen));
    EXPECT_EQ(console.written, kPrompt + kPrompt + L"Select file...\r\nSelect file...\r\n");
    EXPECT_EQ(MonitorPathOverride(), Wide(chosen));

    // Later searches use it without asking, even over an installed monitor.
    Install("Microsoft Visual Studio/2022/Community/Common7/IDE");
    console.written.clear();
    EXPECT_EQ(LocateMonitor(2022, console.Io()), Wide(chosen));
    EXPECT_TRUE(console.written.empty());

    // Once it is gone the override is forgotten and the search goes on.
    fs::remove(chosen);
    EXPECT_NE(LocateMonitor(2022, console.Io()), Wide(chosen));
    EXPECT_EQ(MonitorPathOverride(), L"");
}

TEST_F(MonitorSearch, EmptyFileAnswerCancels) {
    console.input = {L"2", L""};
    EXPECT_THROW(LocateMonitor(2017, console.Io()), ExitCalled);
    EXPECT_EQ(console.written, kPrompt + L"Select file...\r\n");
}

TEST(MonitorCommandLine, QuotesPathAndAppendsTheFixedArguments) {
    const std::wstring line = MonitorCommandLine(L"/opt/Program Files/msvsmon.exe", 4026);
    EXPECT_EQ(line, L"\"/opt/Program Files/msvsmon.exe\" /port 4026" + kArguments);
    const auto argv = platform::SplitCommandLine(line);
    const std::vector<std::string> expected{"/opt/Program Files/msvsmon.exe",
                                            "/port",
                                            "4026",
                                            "/timeout",
                                            "9000",
                                            "/noauth",
                                            "/anyuser",
                                            "/nosecuritywarn",
                                            "/noclrwarn",
                                            "/nowowwarn"};
    EXPECT_EQ(argv, expected);
}

TEST(Environment, ExpandsSetVariablesAndKeepsOthers) {
    ::setenv("VTR_TEST_VAR", "value", 1);
    ::unsetenv("VTR_TEST_UNSET");
    EXPECT_EQ(platform::ExpandEnvironment(L"a%VTR_TEST_VAR%b"), L"avalueb");
    EXPECT_EQ(platform::ExpandEnvironment(L"%VTR_TEST_UNSET%\\x"), L"%VTR_TEST_UNSET%\\x");
    EXPECT_EQ(platform::ExpandEnvironment(L"50% %VTR_TEST_VAR%"), L"50% value");
    EXPECT_EQ(platform::ExpandEnvironment(L"%%VTR_TEST_VAR%"), L"%value");
    EXPECT_EQ(platform::ExpandEnvironment(L"lone %"), L"lone %");
    ::unsetenv("VTR_TEST_VAR");
}

bool CanConnect(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool Eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 500; ++i) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST_F(MonitorSearch, StartsLocatedMonitorOnThePortAndStopsIt) {
    Install("Microsoft Visual Studio/2022/Community/Common7/IDE");
    const std::wstring path = LocateMonitor(2022, console.Io());
    ASSERT_NE(path.find(L"Microsoft Visual Studio"), std::wstring::npos);  // spaces in the path
    const int port = FreePort();
    EXPECT_EQ(MonitorProcessId(), -1);
    ASSERT_TRUE(StartMonitor(MonitorCommandLine(path, port)));
    const int pid = MonitorProcessId();
    EXPECT_GT(pid, 0);
    ASSERT_TRUE(Eventually([&] { return CanConnect(port); }));
    StopMonitor();
    EXPECT_EQ(MonitorProcessId(), -1);
    EXPECT_FALSE(CanConnect(port));
    StopMonitor();  // nothing running: nothing happens
}

TEST_F(MonitorSearch, FailedStartLeavesNoMonitor) {
    EXPECT_FALSE(StartMonitor(MonitorCommandLine(Wide(root / "absent.exe"), 4026)));
    EXPECT_EQ(MonitorProcessId(), -1);
    StopMonitor();
}

}  // namespace
