#include "platform/Paths.h"

#include <algorithm>
#include <string>
#include <system_error>

#include "platform/Text.h"

namespace platform {

std::filesystem::path NativePath(std::string_view utf8Path) {
    std::string text(utf8Path);
    std::replace(text.begin(), text.end(), '\\', '/');
    return std::filesystem::path(text);
}

std::filesystem::path NativePath(std::wstring_view path) {
    return NativePath(ToUtf8(path));
}

std::wstring WidePath(const std::filesystem::path& path) {
    return FromUtf8(path.string());
}

std::filesystem::path ExecutablePath() {
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : path;
}

}  // namespace platform
