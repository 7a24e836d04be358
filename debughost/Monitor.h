#pragma once
// The remote debugger monitor on the client: finding its executable for a
// tools version (offering the Remote Tools installer when it is missing),
// starting it on the local port and stopping it again. The search and the
// prompt run on the thread that asks for the monitor (the entry thread over
// TCP, a QUIC worker once the client is connected); the one started monitor
// is process-wide state behind a lock, stopped by whichever thread shuts down,
// and killed by the system should this process die without stopping it.
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Dialogs.h"

namespace debughost {

// How the install prompt talks to the user and asks for the end of the
// process. The defaults show the desktop's task dialog and open-file dialog
// where there is a desktop and use the console otherwise (or when a dialog
// cannot be shown), and open the address with the shell (xdg-open on Linux,
// or print it); exitProcess does nothing by default: the caller that owns
// the process sets it. Once it has been called the search gives up and
// returns an empty path.
struct MonitorPromptIo {
    std::function<std::optional<int>(const platform::TaskDialogText&)> taskDialog;
    std::function<platform::OpenFileResult(const platform::OpenFileText&)> fileDialog;
    std::function<void(std::wstring_view)> write;
    std::function<std::optional<std::wstring>()> readLine;
    std::function<void(const std::wstring& url)> openUrl;
    std::function<void(int exitCode)> exitProcess;

    MonitorPromptIo();
};

// The value that stands for "no monitor".
inline constexpr int kNoMonitorToolsVersion = 1;

// The candidate of check 0 (the Visual Studio installation) or checks 1 and 2
// (the Remote Tools installation) in its Windows form, with "\\" separators
// and %PROGRAMFILES% expanded; empty when its base is unknown.
std::wstring MonitorCandidate(int check, int toolsVersion);

// The 32-bit Remote Tools installer for the tools version.
std::wstring InstallerUrl(int toolsVersion);

// Full path of the monitor (with "/" separators), or empty for tools
// version 1. When nothing is found the install prompt runs; its Yes and
// Cancel ask for the end of the process with exit code 0.
std::wstring LocateMonitor(int toolsVersion, const MonitorPromptIo& io = MonitorPromptIo());

// The prompt. True asks the caller to search again.
bool PromptRemoteToolsInstall(int toolsVersion, const MonitorPromptIo& io = MonitorPromptIo());

// The path chosen at the prompt; it replaces every candidate while it exists.
std::wstring MonitorPathOverride();
void SetMonitorPathOverride(std::wstring path);

// The monitor's command line. The path is quoted so that one with spaces
// stays one executable.
std::wstring MonitorCommandLine(const std::wstring& path, int localPort);

// Starts the monitor (an earlier one still running is stopped first) so that
// it ends with this process. False when it could not be started; nothing is
// reported.
bool StartMonitor(const std::wstring& commandLine);
// Kills and reaps the started monitor; nothing when none runs.
void StopMonitor();
// The running monitor's process id, or -1.
int MonitorProcessId();

// Opens an address the way a user of the console expects: xdg-open when it is
// installed, otherwise (or when it fails) the address is printed.
void OpenUrl(const std::wstring& url);

}  // namespace debughost
