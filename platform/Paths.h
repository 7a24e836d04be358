#pragma once
// File-system paths as this program builds them (and as configuration files
// and the deployment protocol carry them) use "\\" as separator; on Linux each
// backslash becomes "/" when the path reaches the file system.
#include <filesystem>
#include <string>
#include <string_view>

namespace platform {

std::filesystem::path NativePath(std::wstring_view path);
std::filesystem::path NativePath(std::string_view utf8Path);

// A path as the wide text this program works in, without loss on either
// system.
std::wstring WidePath(const std::filesystem::path& path);

// The running executable (readlink of /proc/self/exe, GetModuleFileNameW on
// Windows); empty on failure.
std::filesystem::path ExecutablePath();

}  // namespace platform
