#include <windows.h>

#include <vector>

#include "platform/Paths.h"
#include "platform/Text.h"

namespace platform {

// Windows takes the paths as built: backslashes and drive letters stay.
std::filesystem::path NativePath(std::wstring_view path) {
    return std::filesystem::path(std::wstring(path));
}

std::filesystem::path NativePath(std::string_view utf8Path) {
    return NativePath(FromUtf8(utf8Path));
}

std::wstring WidePath(const std::filesystem::path& path) {
    return path.wstring();
}

std::filesystem::path ExecutablePath() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return {};
        if (length < buffer.size())
            return std::filesystem::path(std::wstring(buffer.data(), length));
        if (buffer.size() >= 32768)  // the longest path Windows has
            return {};
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace platform
