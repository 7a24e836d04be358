#pragma once
#include <string_view>

namespace platform {
// The debugger-output channel: one syslog record at LOG_DEBUG; with
// VTR_DEBUG_STDERR=1 in the environment also one line on standard error.
void DebugOutput(std::wstring_view text);
}  // namespace platform
