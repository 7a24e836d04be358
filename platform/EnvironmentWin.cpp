#include <windows.h>

#include <vector>

#include "platform/Environment.h"

namespace platform {

std::wstring ExpandEnvironment(std::wstring_view text) {
    const std::wstring source(text);
    std::vector<wchar_t> buffer(source.size() + 256);
    for (int attempt = 0; attempt < 4; ++attempt) {
        const DWORD needed = ::ExpandEnvironmentStringsW(source.c_str(), buffer.data(),
                                                         static_cast<DWORD>(buffer.size()));
        if (needed == 0)
            return source;  // as written, like an unset name
        if (needed <= buffer.size())
            return std::wstring(buffer.data(), needed - 1);
        buffer.resize(needed);  // a variable grew between the two calls: again
    }
    return source;
}

}  // namespace platform
