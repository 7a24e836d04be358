#include "platform/DebugOutput.h"

#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/Text.h"

namespace platform {
namespace {
// Read once: where no system log is kept (a container, a test) the lines can
// still be seen.
bool MirrorToStderr() {
    static const bool mirror = [] {
        const char* value = std::getenv("VTR_DEBUG_STDERR");
        return value != nullptr && std::string(value) == "1";
    }();
    return mirror;
}
}  // namespace

void DebugOutput(std::wstring_view text) {
    const std::string line = ToUtf8(text);
    syslog(LOG_DEBUG, "%s", line.c_str());
    if (MirrorToStderr()) {
        const std::string withEnd = line + "\n";
        std::fwrite(withEnd.data(), 1, withEnd.size(), stderr);
    }
}

bool DebuggerPresent() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("TracerPid:", 0) == 0) {
            const auto value = line.find_first_not_of(" \t", 10);
            return value != std::string::npos && line.compare(value, 1, "0") != 0;
        }
    }
    return false;
}
}  // namespace platform
