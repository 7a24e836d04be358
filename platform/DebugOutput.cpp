#include "platform/DebugOutput.h"

#include <syslog.h>

#include <string>

#include "platform/Text.h"

namespace platform {
void DebugOutput(std::wstring_view text) {
    const std::string line = ToUtf8(text);
    syslog(LOG_DEBUG, "%s", line.c_str());
}
}  // namespace platform
