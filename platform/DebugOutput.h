#pragma once
#include <string_view>

namespace platform {
// The debugger-output channel: one syslog record at LOG_DEBUG.
void DebugOutput(std::wstring_view text);
}  // namespace platform
