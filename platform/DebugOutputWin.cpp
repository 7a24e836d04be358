#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/DebugOutput.h"
#include "platform/Text.h"

namespace platform {
namespace {
// Read once: without a debugger attached the lines can still be seen.
bool MirrorToStderr() {
    static const bool mirror = [] {
        const char* value = std::getenv("VTR_DEBUG_STDERR");
        return value != nullptr && std::string(value) == "1";
    }();
    return mirror;
}
}  // namespace

void DebugOutput(std::wstring_view text) {
    const std::wstring line(text);
    ::OutputDebugStringW(line.c_str());
    if (MirrorToStderr()) {
        const std::string withEnd = ToUtf8(text) + "\n";
        std::fwrite(withEnd.data(), 1, withEnd.size(), stderr);
    }
}

bool DebuggerPresent() {
    return ::IsDebuggerPresent() != FALSE;
}
}  // namespace platform
