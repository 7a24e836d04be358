// The monitor found under %PROGRAMFILES% and started with its arguments, on
// Linux and on Windows alike. The stand-in monitor is this test program,
// copied to the place Visual Studio 2022 would have it; as the child it runs
// only MonitorChild.Act, which records its arguments and waits to be ended.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "debughost/Monitor.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Thread.h"

namespace fs = std::filesystem;
using namespace debughost;
using namespace std::chrono_literals;

namespace {

// An empty value removes the variable.
void SetVariable(const char* name, const std::string& value) {
#ifdef _WIN32
    ::_putenv_s(name, value.c_str());
#else
    if (value.empty())
        ::unsetenv(name);
    else
        ::setenv(name, value.c_str(), 1);
#endif
}

TEST(MonitorChild, Act) {
    const char* out = std::getenv("VTR_MONITOR_CHILD_OUT");
    if (out == nullptr || *out == '\0')
        GTEST_SKIP() << "runs only as the monitor that MonitorStart starts";
    std::string args;
    for (const std::string& arg : testing::internal::GetArgvs())
        args += arg + "\n";
    { std::ofstream(fs::path(out).concat(".tmp"), std::ios::binary) << args; }
    platform::ReplacePath(fs::path(out).concat(".tmp"), out);
    std::this_thread::sleep_for(120s);  // ended by StopMonitor long before
    std::_Exit(0);
}

TEST(MonitorStart, FoundUnderProgramFilesStartedWithItsArgumentsAndStopped) {
    const fs::path root = platform::MakeTempDirectory("vtr");
    ASSERT_FALSE(root.empty());
    const fs::path programFiles = root / "Program Files";
    const fs::path dir = programFiles / "Microsoft Visual Studio" / "2022" / "Community" /
                         "Common7" / "IDE" / "Remote Debugger" / "x86";
    fs::create_directories(dir);
    fs::copy_file(platform::ExecutablePath(), dir / "msvsmon.exe");
    const char* saved = std::getenv("PROGRAMFILES");
    const std::string savedProgramFiles = saved ? saved : "";
    SetVariable("PROGRAMFILES", programFiles.string());
    const fs::path record = root / "args.txt";
    SetVariable("VTR_MONITOR_CHILD_OUT", record.string());
    SetVariable("GTEST_FILTER", "MonitorChild.Act");

    const std::wstring path = LocateMonitor(2022);
    EXPECT_EQ(fs::path(path), dir / "msvsmon.exe");
#ifdef _WIN32
    // The path as the program built it: backslashes, the drive kept.
    EXPECT_NE(path.find(L"\\Microsoft Visual Studio\\2022\\Community\\Common7\\IDE\\Remote "
                        L"Debugger\\x86\\msvsmon.exe"),
              std::wstring::npos);
    EXPECT_EQ(path.substr(1, 2), L":\\");
#endif
    ASSERT_TRUE(StartMonitor(MonitorCommandLine(path, 4026)));
    EXPECT_GT(MonitorProcessId(), 0);
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!fs::exists(record) && std::chrono::steady_clock::now() < deadline)
        platform::SleepMs(50);
    SetVariable("GTEST_FILTER", "");
    SetVariable("VTR_MONITOR_CHILD_OUT", "");
    std::ifstream in(record, std::ios::binary);
    const std::string args((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    // One executable despite the spaces in its path, then the fixed arguments.
    EXPECT_NE(args.find("msvsmon.exe\n/port\n4026\n/timeout\n9000\n/noauth\n/anyuser\n"
                        "/nosecuritywarn\n/noclrwarn\n/nowowwarn\n"),
              std::string::npos)
        << args;
    StopMonitor();
    EXPECT_EQ(MonitorProcessId(), -1);
    SetVariable("PROGRAMFILES", savedProgramFiles);
    std::error_code ignored;
    fs::remove_all(root, ignored);
}

}  // namespace
