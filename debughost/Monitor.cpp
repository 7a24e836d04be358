#include "debughost/Monitor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include <windows.h>

#include <shellapi.h>  // after windows.h, which it needs
#else
#include <sys/wait.h>
#endif

#include <cstdlib>
#include <cwctype>
#include <mutex>
#include <vector>

#include "platform/Console.h"
#include "platform/Environment.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/Text.h"
#include "platform/Thread.h"

namespace debughost {

namespace {

// The expansion of %PROGRAMFILES% is limited to this many characters.
constexpr std::size_t kMaxExpandedBase = 1000;

// The two pieces of process-wide state of the monitor search, each with the
// lock beside it.
template <typename Value>
struct Guarded {
    std::mutex lock;  // guards value
    Value value;
};

Guarded<std::wstring>& PathOverride() {
    static Guarded<std::wstring> monitorPathOverride;
    return monitorPathOverride;
}

Guarded<platform::ChildProcess>& Monitor() {
    static Guarded<platform::ChildProcess> monitorProcess;
    return monitorProcess;
}

// Readable the way the monitor will be opened: an existing file that is not a
// directory.
#ifdef _WIN32
bool CanOpenForReading(const std::wstring& path) {
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool regular = ::GetFileInformationByHandle(file, &info) &&
                         !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    ::CloseHandle(file);
    return regular;
}

// A string value of HKEY_LOCAL_MACHINE in the 32-bit view; empty when missing.
std::wstring MachineValue(const wchar_t* key, const wchar_t* name) {
    wchar_t value[1024];
    DWORD size = sizeof value;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ | RRF_SUBKEY_WOW6432KEY,
                       nullptr, value, &size) != ERROR_SUCCESS)
        return {};
    return std::wstring(value);
}
#else
bool CanOpenForReading(const std::wstring& path) {
    const std::string native = platform::NativePath(std::wstring_view(path)).string();
    const int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info {};
    const bool file = ::fstat(fd, &info) == 0 && !S_ISDIR(info.st_mode);
    ::close(fd);
    return file;
}
#endif

std::wstring Trim(std::wstring_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && std::iswspace(text[begin]))
        ++begin;
    while (end > begin && std::iswspace(text[end - 1]))
        --end;
    return std::wstring(text.substr(begin, end - begin));
}

std::wstring ProgramFilesBase(std::wstring_view rest) {
    const std::wstring root = platform::ExpandEnvironment(L"%PROGRAMFILES%");
    if (root.size() >= kMaxExpandedBase)
        return {};
    return root + std::wstring(rest);
}

#ifndef _WIN32
bool ExecutableInPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    if (!path)
        return false;
    std::string_view dirs(path);
    while (!dirs.empty()) {
        const std::size_t colon = dirs.find(':');
        const std::string_view dir = dirs.substr(0, colon);
        const std::string candidate = std::string(dir.empty() ? "." : dir) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return true;
        if (colon == std::string_view::npos)
            break;
        dirs.remove_prefix(colon + 1);
    }
    return false;
}
#endif

}  // namespace

MonitorPromptIo::MonitorPromptIo()
    : taskDialog(
          [](const platform::TaskDialogText& text) { return platform::ShowTaskDialog(text); }),
      fileDialog(
          [](const platform::OpenFileText& text) { return platform::ShowOpenFileDialog(text); }),
      write([](std::wstring_view text) { platform::ConsoleWrite(text); }),
      readLine([] { return platform::ConsoleReadLine(); }),
      openUrl([](const std::wstring& url) { OpenUrl(url); }),
      exitProcess([](int) {}) {}

std::wstring MonitorCandidate(int check, int toolsVersion) {
    const bool studio = check == 0;
    std::wstring base;
    switch (toolsVersion) {
        case 2022:
            base = ProgramFilesBase(
                studio ? L"\\Microsoft Visual Studio\\2022\\Community\\Common7\\IDE"
                       : L"\\Microsoft Visual Studio 17.0\\Common7\\IDE");
            break;
        case 2019:
            base = ProgramFilesBase(
                studio ? L"\\Microsoft Visual Studio\\2019\\Community\\Common7\\IDE"
                       : L"\\Microsoft Visual Studio 16.0\\Common7\\IDE");
            break;
        case 2017:
            base = ProgramFilesBase(
                studio ? L"\\Microsoft Visual Studio\\2017\\Community\\Common7\\IDE"
                       : L"\\Microsoft Visual Studio 15.0\\Common7\\IDE");
            break;
        default:
#ifdef _WIN32
            base = MachineValue(L"SOFTWARE\\Microsoft\\VisualStudio\\14.0", L"InstallDir");
            if (base.empty())
                base = MachineValue(
                    L"SOFTWARE\\Microsoft\\VisualStudio\\14.0\\EnterpriseTools\\QualityTools",
                    L"InstallDir");
#endif
            // Older tools are found through the registry, which Linux does
            // not have: no candidate there.
            break;
    }
    // An unknown base gives no candidate rather than a path at the root.
    if (base.empty())
        return {};
    return base + L"\\Remote Debugger\\" + L"x86\\msvsmon.exe";
}

std::wstring InstallerUrl(int toolsVersion) {
    switch (toolsVersion) {
        case 2022:
            return L"https://aka.ms/vs/17/release/964531996/RemoteTools.x86ret.enu.exe";
        case 2019:
            return L"https://aka.ms/vs/16/release/RemoteTools.x86ret.enu.exe";
        case 2017:
            return L"https://aka.ms/vs/15/release/RemoteTools.x86ret.enu.exe";
        default:
            return L"https://download.microsoft.com/download/E/7/A/"
                   L"E7AEA696-A4EB-48DD-BA4A-9BE41A402400/rtools_setup_x86.exe";
    }
}

std::wstring MonitorPathOverride() {
    auto& chosen = PathOverride();
    std::lock_guard guard(chosen.lock);
    return chosen.value;
}

void SetMonitorPathOverride(std::wstring path) {
    auto& chosen = PathOverride();
    std::lock_guard guard(chosen.lock);
    chosen.value = std::move(path);
}

std::wstring LocateMonitor(int toolsVersion, const MonitorPromptIo& io) {
    if (toolsVersion == kNoMonitorToolsVersion)
        return {};
    for (;;) {
        for (int check = 0; check < 3; ++check) {
            std::wstring candidate = MonitorPathOverride();
            const bool chosen = !candidate.empty();
            if (!chosen)
                candidate = MonitorCandidate(check, toolsVersion);
            if (!candidate.empty() && CanOpenForReading(candidate))
                return platform::WidePath(platform::NativePath(std::wstring_view(candidate)));
            SetMonitorPathOverride({});
            // A chosen file that went away does not use up this check's own
            // candidate.
            if (chosen)
                --check;
        }
        if (!PromptRemoteToolsInstall(toolsVersion, io)) {
            io.exitProcess(0);
            return {};
        }
    }
}

namespace {

// The buttons of the prompt, as the dialog returns them.
constexpr int kButtonYes = 101;
constexpr int kButtonSelect = 102;
constexpr int kButtonCancel = 103;

const wchar_t kPromptContent[] = L"Visual Studio Remote Tools were not found. Install?";
const wchar_t kSelectTitle[] = L"Select file...";

// The console's file prompt: nullopt when nothing was chosen.
std::optional<std::wstring> ConsoleChooseFile(const MonitorPromptIo& io) {
    for (;;) {
        io.write(std::wstring(kSelectTitle) + L"\r\n");
        const std::optional<std::wstring> answer = io.readLine();
        if (!answer)
            return std::nullopt;
        std::wstring path = Trim(*answer);
        if (path.size() >= 2 && path.front() == L'"' && path.back() == L'"')
            path = path.substr(1, path.size() - 2);
        if (path.empty())
            return std::nullopt;  // nothing chosen: the dialog was cancelled
        // Like the dialog, only an existing file is taken.
        if (CanOpenForReading(path))
            return path;
    }
}

std::optional<std::wstring> ChooseFile(const MonitorPromptIo& io) {
    platform::OpenFileResult result = io.fileDialog({L"msvsmon.exe", L"msvsmon.exe", kSelectTitle});
    switch (result.choice) {
        case platform::FileChoice::Chosen:
            return std::move(result.path);
        case platform::FileChoice::Cancelled:
            return std::nullopt;
        case platform::FileChoice::NotShown:
            break;
    }
    return ConsoleChooseFile(io);
}

// The console's choices, as the buttons they stand for; end of input counts
// as Cancel and an unknown answer as no button.
int ConsoleButton(const MonitorPromptIo& io) {
    io.write(std::wstring(kPromptContent) +
             L"\r\n"
             L"1) Yes\r\n"
             L"2) Select MSVSMON.EXE location\r\n"
             L"3) Cancel\r\n");
    const std::optional<std::wstring> line = io.readLine();
    if (!line)
        return kButtonCancel;
    const std::wstring choice = Trim(*line);
    if (choice == L"1")
        return kButtonYes;
    if (choice == L"2")
        return kButtonSelect;
    if (choice == L"3")
        return kButtonCancel;
    return 0;
}

}  // namespace

bool PromptRemoteToolsInstall(int toolsVersion, const MonitorPromptIo& io) {
    const std::optional<int> shown =
        io.taskDialog({L"Vantora",
                       L"Vantora",
                       kPromptContent,
                       {{kButtonYes, L"Yes"},
                        {kButtonSelect, L"Select MSVSMON.EXE location"},
                        {kButtonCancel, L"Cancel"}}});
    const int button = shown ? *shown : ConsoleButton(io);
    switch (button) {
        case kButtonYes:
            io.openUrl(InstallerUrl(toolsVersion));
            io.exitProcess(0);
            return false;
        case kButtonSelect: {
            std::optional<std::wstring> path = ChooseFile(io);
            if (!path)
                return false;
            SetMonitorPathOverride(std::move(*path));
            return true;
        }
        case kButtonCancel:
            return false;
        default:
            return true;
    }
}

std::wstring MonitorCommandLine(const std::wstring& path, int localPort) {
    return platform::QuoteArgument(path) + L" /port " + std::to_wstring(localPort) +
           L" /timeout 9000 /noauth /anyuser /nosecuritywarn /noclrwarn /nowowwarn";
}

bool StartMonitor(const std::wstring& commandLine) {
    auto& monitor = Monitor();
    std::lock_guard guard(monitor.lock);
    // It lets any peer attach without authentication: it must not keep
    // listening once this process is gone, however it ends.
    platform::ChildOptions options;
    options.endWithParent = true;
    return monitor.value.Start(std::wstring_view(commandLine), options);
}

void StopMonitor() {
    auto& monitor = Monitor();
    std::lock_guard guard(monitor.lock);
    monitor.value.Terminate();
}

int MonitorProcessId() {
    auto& monitor = Monitor();
    std::lock_guard guard(monitor.lock);
    return monitor.value.Running() ? static_cast<int>(monitor.value.Id()) : -1;
}

void OpenUrl(const std::wstring& url) {
#ifdef _WIN32
    // The default browser downloads it; without one the address is printed.
    const auto result = reinterpret_cast<INT_PTR>(
        ::ShellExecuteW(nullptr, L"open", url.c_str(), nullptr, nullptr, SW_SHOWMAXIMIZED));
    if (result > 32)
        return;
#else
    if (ExecutableInPath("xdg-open")) {
        platform::ChildProcess opener;
        const std::vector<std::string> argv{"xdg-open", platform::ToUtf8(url)};
        if (opener.Start(argv)) {
            while (!opener.Exited())
                platform::SleepMs(50);
            const int status = opener.ExitStatus();
            if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
                return;
        }
    }
#endif
    platform::ConsoleWrite(url + L"\r\n");
}

}  // namespace debughost
