#pragma once
// The update library (Zelt): the background update of the program's own
// files, run once per start on the update thread that the shell starts and
// joins. It owns the run (Updater: hash list, local hashing, signature
// exchange, patch, rebuild, replacing files), the check that the program's
// directory is its own to change (ProgramDirectory), the zip archives of the
// exchange (ZZIP), the file filter and the REST client of the update service
// (rest/, over the program's HTTP client). What the service sends is held
// in memory under caps fitted to the files it describes (update/Limits.h),
// and its file names are checked before any use. Every status it reports is its own
// HRESULT (update/Result.h); only a whole run ends in a RunResult code.
#include <string>

namespace Zelt {

// The maker's update service; VTR_UPDATE_URL overrides it.
inline constexpr wchar_t kServiceUrl[] = L"https://update.vantora.net/zelt/zelt.php";

// Runs one silent update of the files beside the executable and returns.
// Does nothing while a debugger is attached, when VTR_NO_UPDATE=1, when the
// program directory is a package's or not writable (ProgramDirectory.h), or
// when the service URL is not https (the last two reasons go to the debug
// log). The run result goes to the debug log (syslog, debug level).
void UpdateThreadEntry();

// Makes a running UpdateThreadEntry give up promptly (transfers in flight
// are aborted); files are never left half written. Safe from any thread.
void RequestUpdateStop();

// The service URL and CA file in force (environment overrides applied).
std::wstring ServiceUrl();
std::string ServiceCaFile();

// Whether a debugger is attached (platform::DebuggerPresent).
bool DebuggerAttached();

}  // namespace Zelt
