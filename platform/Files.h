#pragma once
// Files by path, the same calls on both systems: C-runtime descriptors that no
// child inherits (binary mode on Windows, where paths are wide), and the few
// operations whose Windows form differs: the durable flush, the permission
// bits (none on Windows), and the rename that replaces its target atomically
// (MoveFileExW on Windows, where rename() refuses an existing target).
#include <fcntl.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

namespace platform {

// Open flags that only POSIX has; nothing on Windows, where opening never
// blocks on a device and links are not followed silently.
#ifdef _WIN32
inline constexpr int kOpenNoBlock = 0;
inline constexpr int kOpenNoFollow = 0;
#else
inline constexpr int kOpenNoBlock = O_NONBLOCK;
inline constexpr int kOpenNoFollow = O_NOFOLLOW;
#endif

struct FileInfo {
    bool regular = false;  // a plain file, not a directory or device
    unsigned mode = 0;     // permission bits (0 on Windows)
    std::uint64_t size = 0;
};

// What stat/fstat tell; none when the call failed.
std::optional<FileInfo> InfoOf(int fd);
std::optional<FileInfo> InfoOf(const std::filesystem::path& path);

// open(2) with O_CLOEXEC added (on Windows _wopen with O_BINARY and
// O_NOINHERIT); -1 with errno set on failure.
int OpenPath(const std::filesystem::path& path, int flags, int mode = 0666);

// fsync, or _commit on Windows.
bool SyncFile(int fd);

// fchmod; on Windows nothing to keep, so always true.
bool SetFileMode(int fd, unsigned mode);

// Renames `from` to `to`, replacing a file there in one step.
bool ReplacePath(const std::filesystem::path& from, const std::filesystem::path& to);

// Removes a file; false when it could not be removed (a missing file too).
bool RemovePath(const std::filesystem::path& path);

// Whether the directory lets this process create and rename files in it.
bool DirectoryWritable(const std::filesystem::path& directory);

// Removes a file now, or where the system keeps it while it runs (a Windows
// executable), at the next restart; false when neither could be arranged.
bool RemoveNowOrLater(const std::filesystem::path& path);

// A new, empty directory in the temporary folder ($TMPDIR or /tmp; on Windows
// GetTempPathW) named after the prefix; empty on failure.
std::filesystem::path MakeTempDirectory(std::string_view prefix);

}  // namespace platform
