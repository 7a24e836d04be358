#pragma once
#include <string_view>

namespace platform {
// The debugger-output channel: one syslog record at LOG_DEBUG
// (OutputDebugStringW on Windows); with VTR_DEBUG_STDERR=1 in the environment
// also one line on standard error.
void DebugOutput(std::wstring_view text);

// Whether a debugger is attached to this process: TracerPid in
// /proc/self/status is not 0 (IsDebuggerPresent on Windows).
bool DebuggerPresent();
}  // namespace platform
