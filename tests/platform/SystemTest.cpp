// The platform layer against the real system, on Linux and on Windows alike:
// wide text, environment expansion, paths, positioned file reads, and child
// processes (this test program itself, started again as the child).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#endif

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "platform/Platform.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {

void SetVariable(const char* name, const char* value) {
#ifdef _WIN32
    ::_putenv_s(name, value ? value : "");
#else
    if (value)
        ::setenv(name, value, 1);
    else
        ::unsetenv(name);
#endif
}

int MakePipe(int fds[2]) {
#ifdef _WIN32
    return ::_pipe(fds, 4096, _O_BINARY);
#else
    return ::pipe(fds);
#endif
}

bool WaitExited(ChildProcess& child, std::chrono::seconds limit = 30s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!child.Exited()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        SleepMs(10);
    }
    return true;
}

int ExitCode(const ChildProcess& child) {
#ifdef _WIN32
    return child.ExitStatus();
#else
    return WIFEXITED(child.ExitStatus()) ? WEXITSTATUS(child.ExitStatus()) : -1;
#endif
}

// This program once more, running only the ChildRole test below in `role`.
std::vector<std::string> ChildArgs(const std::string& role, std::vector<std::string> extra = {}) {
    std::vector<std::string> argv{ExecutablePath().string(), "--gtest_filter=ChildRole.Act",
                                  "--vtr-role=" + role};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
}

std::string RoleArgument(std::string_view prefix) {
    for (const std::string& arg : testing::internal::GetArgvs()) {
        if (arg.rfind(prefix, 0) == 0)
            return arg.substr(prefix.size());
    }
    return {};
}

// What the child does; without --vtr-role (a normal run) it is skipped.
TEST(ChildRole, Act) {
    const std::string role = RoleArgument("--vtr-role=");
    if (role.empty())
        GTEST_SKIP() << "runs only as the child of the process tests";
    if (role == "console") {
        ConsoleWrite(L"line one\r\nline two\n");
        std::fflush(stdout);
        std::_Exit(0);
    }
    if (role == "args") {
        // Every argument after the role, each on a line of its own.
        const auto& argv = testing::internal::GetArgvs();
        std::string text;
        bool after = false;
        for (const std::string& arg : argv) {
            if (after)
                text += arg + "\n";
            after = after || arg.rfind("--vtr-role=", 0) == 0;
        }
        ConsoleWriteUtf8(text);
        std::_Exit(0);
    }
    if (role == "env") {
        const char* value = std::getenv("VTR_TEST_CHILD");
        std::_Exit(value && std::string(value) == "given" ? 23 : 24);
    }
    if (role == "sleep") {
        std::this_thread::sleep_for(60s);
        std::_Exit(0);
    }
    std::_Exit(99);
}

// Starts the child with its standard output on a pipe; what its role wrote
// (after the test framework's own lines).
std::string RunForOutput(const std::vector<std::string>& argv, int* exitCode = nullptr) {
    int fds[2];
    if (MakePipe(fds) != 0)
        return "(no pipe)";
    ChildOptions options;
    options.stdOut = fds[1];
    ChildProcess child;
    const bool started = child.Start(argv, options);
    ::close(fds[1]);
    std::string text;
    char buffer[256];
    if (started) {
        for (int n; (n = static_cast<int>(::read(fds[0], buffer, sizeof buffer))) > 0;)
            text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    if (!started || !WaitExited(child))
        return "(no child)";
    if (exitCode)
        *exitCode = ExitCode(child);
    // The framework writes its lines in text mode ("\r\n" on Windows).
    const std::size_t at = text.find("[ RUN      ] ChildRole.Act");
    const std::size_t end = at == std::string::npos ? at : text.find('\n', at);
    return end == std::string::npos ? text : text.substr(end + 1);
}

TEST(Text, AstralCharactersSurviveEveryConversionAndBrokenInputBecomesReplacement) {
    const std::string utf8 = "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80z";  // a é € 😀 z
    const std::wstring wide = FromUtf8(utf8);
    EXPECT_EQ(ToUtf8(wide), utf8);
    const std::u16string utf16 = ToUtf16(wide);
    EXPECT_EQ(utf16, (std::u16string{u'a', 0xE9, 0x20AC, 0xD83D, 0xDE00, u'z'}));
    EXPECT_EQ(FromUtf16(utf16), wide);
    const auto bytes = ToUtf16Le(wide);
    ASSERT_EQ(bytes.size(), 12u);
    EXPECT_EQ(bytes[6], 0x3D);
    EXPECT_EQ(bytes[7], 0xD8);
    EXPECT_EQ(FromUtf16Le(bytes), wide);
    // A lone surrogate, a truncated sequence and an overlong form.
    EXPECT_EQ(ToUtf8(FromUtf16(std::u16string{u'x', 0xD800, u'y'})), "x\xef\xbf\xbdy");
    EXPECT_EQ(ToUtf8(FromUtf8("\xf0\x9f\x98")), "\xef\xbf\xbd");
    EXPECT_EQ(ToUtf8(FromUtf8("\xc0\xaf")), "\xef\xbf\xbd");
}

TEST(Environment, NamesAreExpandedAndUnknownOnesStayAsWritten) {
    SetVariable("VTR_TEST_DIR", "C:\\Program Files");
    SetVariable("VTR_TEST_UNSET", nullptr);
    EXPECT_EQ(ExpandEnvironment(L"%VTR_TEST_DIR%\\Vantora\\x.exe"),
              L"C:\\Program Files\\Vantora\\x.exe");
    EXPECT_EQ(ExpandEnvironment(L"%VTR_TEST_UNSET%\\a"), L"%VTR_TEST_UNSET%\\a");
#ifndef _WIN32
    // A lone "%" before a name; Windows versions differ here (Wine keeps the
    // name unexpanded), so only our own expansion is held to it.
    EXPECT_EQ(ExpandEnvironment(L"100% and %VTR_TEST_DIR%"), L"100% and C:\\Program Files");
#endif
    SetVariable("VTR_TEST_DIR", nullptr);
}

TEST(Paths, TheExecutableIsFoundAndBuiltPathsReachTheFileSystem) {
    const auto self = ExecutablePath();
    ASSERT_FALSE(self.empty());
    EXPECT_TRUE(std::filesystem::is_regular_file(self));
    EXPECT_EQ(self.stem().string().rfind("test_platform", 0), 0u) << self;
#ifdef _WIN32
    // Drive letters and backslashes are the system's own.
    const auto path = NativePath(L"C:\\Program Files\\Vantora\\x.exe");
    EXPECT_EQ(path.root_name().wstring(), L"C:");
    EXPECT_EQ(path.filename().wstring(), L"x.exe");
    EXPECT_EQ(path.parent_path().filename().wstring(), L"Vantora");
#else
    EXPECT_EQ(NativePath(L"dir\\sub\\x.exe"), std::filesystem::path("dir/sub/x.exe"));
#endif
    // A path with non-ASCII names goes to the file system intact.
    const auto dir = std::filesystem::temp_directory_path() / NativePath("vtr-\xc3\xa9t\xc3\xa9");
    std::filesystem::create_directories(dir);
    { std::ofstream(dir / "f") << "x"; }
    EXPECT_TRUE(std::filesystem::exists(dir / "f"));
    EXPECT_EQ(WidePath(dir.filename()), L"vtr-\x00e9t\x00e9");
    std::filesystem::remove_all(dir);
}

TEST(Files, ReadAllAtReadsFromAnOffsetAndFailsPastTheEnd) {
    const auto path = std::filesystem::temp_directory_path() / "vtr-readallat.bin";
    {
        std::ofstream out(path, std::ios::binary);
        for (int i = 0; i < 1000; ++i)
            out.put(static_cast<char>(i % 251));
    }
#ifdef _WIN32
    const int fd = ::_wopen(path.wstring().c_str(), _O_RDONLY | _O_BINARY);
#else
    const int fd = ::open(path.c_str(), O_RDONLY);
#endif
    ASSERT_GE(fd, 0);
    UniqueFd file(fd);
    std::vector<std::uint8_t> piece(10);
    ASSERT_TRUE(ReadAllAt(file.get(), piece, 600));
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(piece[i], (600 + i) % 251);
    EXPECT_FALSE(ReadAllAt(file.get(), piece, 995));  // the file ends first
    file.reset();
    std::filesystem::remove(path);
}

TEST(Files, ReplaceTakesAnExistingTargetAndTempDirectoriesAreFresh) {
    const auto dir = MakeTempDirectory("vtr");
    ASSERT_FALSE(dir.empty());
    EXPECT_TRUE(std::filesystem::is_directory(dir));
    EXPECT_NE(MakeTempDirectory("vtr"), dir);
    const auto target = dir / NativePath("\xc3\xa9t\xc3\xa9.bin");
    const auto temp = dir / "new.tmp";
    { std::ofstream(target, std::ios::binary) << "old"; }
    {
        const UniqueFd file(OpenPath(temp, O_WRONLY | O_CREAT | O_EXCL, 0600));
        ASSERT_TRUE(file);
        ASSERT_TRUE(WriteAll(file.get(), std::vector<std::uint8_t>{'n', 'e', 'w', '\n'}));
        EXPECT_TRUE(SyncFile(file.get()));
        const auto info = InfoOf(file.get());
        ASSERT_TRUE(info);
        EXPECT_TRUE(info->regular);
        EXPECT_EQ(info->size, 4u);
    }
    // Creating it again is refused, as the temporary files rely on.
    EXPECT_LT(OpenPath(temp, O_WRONLY | O_CREAT | O_EXCL, 0600), 0);
    ASSERT_TRUE(ReplacePath(temp, target));
    std::ifstream in(target, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    EXPECT_EQ(text, "new\n");  // binary: no "\r" added
    EXPECT_FALSE(std::filesystem::exists(temp));
    const auto info = InfoOf(dir);
    ASSERT_TRUE(info);
    EXPECT_FALSE(info->regular);
    EXPECT_TRUE(DirectoryWritable(dir));
    EXPECT_TRUE(RemoveNowOrLater(target));
    EXPECT_FALSE(RemovePath(target));  // already gone
    std::filesystem::remove_all(dir);
}

TEST(ChildProcess, ConsoleLineEndsReachAPipeExactlyAsWritten) {
    int code = -1;
    // No "\r" is added before either "\n" (text mode would double the first).
    EXPECT_EQ(RunForOutput(ChildArgs("console"), &code), "line one\r\nline two\n");
    EXPECT_EQ(code, 0);
}

TEST(ChildProcess, ArgumentsArriveWhole) {
    const std::vector<std::string> extra{"with space", "q\"uote", "trailing\\", "", "C:\\a b\\"};
    std::string expected;
    for (const auto& arg : extra)
        expected += arg + "\n";
    EXPECT_EQ(RunForOutput(ChildArgs("args", extra)), expected);
}

TEST(ChildProcess, EnvironmentChangesReachTheChildAndExitCodesComeBack) {
    ChildOptions options;
    options.environment = {"VTR_TEST_CHILD=given"};
    ChildProcess child;
    ASSERT_TRUE(child.Start(ChildArgs("env"), options));
    ASSERT_TRUE(WaitExited(child));
    EXPECT_EQ(ExitCode(child), 23);
    // Without the change the child does not see it.
    ASSERT_TRUE(child.Start(ChildArgs("env")));
    ASSERT_TRUE(WaitExited(child));
    EXPECT_EQ(ExitCode(child), 24);
}

TEST(ChildProcess, TerminateEndsARunningChildAtOnce) {
    ChildProcess child;
    ASSERT_TRUE(child.Start(ChildArgs("sleep")));
    EXPECT_TRUE(child.Running());
    SleepMs(200);
    EXPECT_FALSE(child.Exited());
    const auto started = std::chrono::steady_clock::now();
    child.Terminate();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
    EXPECT_FALSE(child.Running());
    EXPECT_TRUE(child.Exited());
    EXPECT_FALSE(child.Start(std::vector<std::string>{"no-such-program-in-path-xyz"}));
}

}  // namespace
