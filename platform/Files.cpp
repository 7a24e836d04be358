#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace platform {

namespace {
FileInfo ToInfo(const struct stat& info) {
    return FileInfo{S_ISREG(info.st_mode), static_cast<unsigned>(info.st_mode & 07777),
                    static_cast<std::uint64_t>(info.st_size < 0 ? 0 : info.st_size)};
}
}  // namespace

std::optional<FileInfo> InfoOf(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return std::nullopt;
    return ToInfo(info);
}

std::optional<FileInfo> InfoOf(const std::filesystem::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return std::nullopt;
    return ToInfo(info);
}

int OpenPath(const std::filesystem::path& path, int flags, int mode) {
    return ::open(path.c_str(), flags | O_CLOEXEC, mode);
}

bool SyncFile(int fd) {
    return ::fsync(fd) == 0;
}

bool SetFileMode(int fd, unsigned mode) {
    return ::fchmod(fd, static_cast<mode_t>(mode)) == 0;
}

bool ReplacePath(const std::filesystem::path& from, const std::filesystem::path& to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool RemovePath(const std::filesystem::path& path) {
    return ::unlink(path.c_str()) == 0;
}

bool DirectoryWritable(const std::filesystem::path& directory) {
    return ::access(directory.c_str(), W_OK | X_OK) == 0;
}

// The running process keeps its image, so the name can go at once.
bool RemoveNowOrLater(const std::filesystem::path& path) {
    return ::unlink(path.c_str()) == 0;
}

std::filesystem::path MakeTempDirectory(std::string_view prefix) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" +
                          std::string(prefix) + "XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        return {};
    return pattern;
}

}  // namespace platform
