#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>

#include "platform/Files.h"
#include "platform/UniqueFd.h"

namespace platform {

namespace {
FileInfo ToInfo(const struct _stat64& info) {
    return FileInfo{(info.st_mode & _S_IFMT) == _S_IFREG, 0,
                    static_cast<std::uint64_t>(info.st_size < 0 ? 0 : info.st_size)};
}
}  // namespace

std::optional<FileInfo> InfoOf(int fd) {
    struct _stat64 info {};
    if (::_fstat64(fd, &info) != 0)
        return std::nullopt;
    return ToInfo(info);
}

std::optional<FileInfo> InfoOf(const std::filesystem::path& path) {
    struct _stat64 info {};
    if (::_wstat64(path.c_str(), &info) != 0)
        return std::nullopt;
    return ToInfo(info);
}

// CreateFileW rather than _wopen, to share deletion: as on POSIX, a file that
// is open here (a seed being read) may still be replaced by a rename.
int OpenPath(const std::filesystem::path& path, int flags, int) {
    const int accessMode = flags & (O_RDONLY | O_WRONLY | O_RDWR);
    const DWORD access = accessMode == O_WRONLY ? GENERIC_WRITE
                         : accessMode == O_RDWR ? GENERIC_READ | GENERIC_WRITE
                                                : GENERIC_READ;
    DWORD disposition = OPEN_EXISTING;
    if ((flags & O_CREAT) && (flags & O_EXCL))
        disposition = CREATE_NEW;
    else if ((flags & O_CREAT) && (flags & O_TRUNC))
        disposition = CREATE_ALWAYS;
    else if (flags & O_CREAT)
        disposition = OPEN_ALWAYS;
    else if (flags & O_TRUNC)
        disposition = TRUNCATE_EXISTING;
    const HANDLE handle =
        ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        switch (::GetLastError()) {
            case ERROR_FILE_EXISTS:
            case ERROR_ALREADY_EXISTS:
                errno = EEXIST;
                break;
            case ERROR_FILE_NOT_FOUND:
            case ERROR_PATH_NOT_FOUND:
                errno = ENOENT;
                break;
            case ERROR_ACCESS_DENIED:
            case ERROR_SHARING_VIOLATION:
                errno = EACCES;
                break;
            default:
                errno = EIO;
        }
        return -1;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle),
                                     accessMode | (flags & O_APPEND) | _O_BINARY);
    if (fd < 0)
        ::CloseHandle(handle);
    return fd;
}

bool SyncFile(int fd) {
    return ::_commit(fd) == 0;
}

bool SetFileMode(int, unsigned) {
    return true;
}

bool ReplacePath(const std::filesystem::path& from, const std::filesystem::path& to) {
    return ::MoveFileExW(from.c_str(), to.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

bool RemovePath(const std::filesystem::path& path) {
    return ::DeleteFileW(path.c_str()) != FALSE;
}

bool DirectoryWritable(const std::filesystem::path& directory) {
    // Access rights are ACLs here; trying is the only sure answer.
    wchar_t name[MAX_PATH + 1];
    if (::GetTempFileNameW(directory.c_str(), L"vtr", 0, name) == 0)
        return false;
    ::DeleteFileW(name);
    return true;
}

// A running executable cannot be deleted, only renamed; what is left goes at
// the next restart.
bool RemoveNowOrLater(const std::filesystem::path& path) {
    return ::DeleteFileW(path.c_str()) ||
           ::MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

std::filesystem::path MakeTempDirectory(std::string_view prefix) {
    wchar_t base[MAX_PATH + 1];
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, base);
    if (length == 0 || length > MAX_PATH)
        return {};
    const std::wstring widePrefix(prefix.begin(), prefix.end());
    for (int attempt = 0; attempt < 16; ++attempt) {
        // A unique name from the system, turned from a file into a directory.
        wchar_t name[MAX_PATH + 1];
        if (::GetTempFileNameW(base, widePrefix.c_str(), 0, name) == 0)
            return {};
        ::DeleteFileW(name);
        if (::CreateDirectoryW(name, nullptr))
            return std::filesystem::path(name);
    }
    return {};
}

// No pread here: ReadFile with the offset in an OVERLAPPED.
bool ReadAllAt(int fd, std::span<std::uint8_t> out, off_t offset) {
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    std::uint64_t at = static_cast<std::uint64_t>(offset);
    while (!out.empty()) {
        OVERLAPPED position{};
        position.Offset = static_cast<DWORD>(at);
        position.OffsetHigh = static_cast<DWORD>(at >> 32);
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(out.size(), 1u << 30));
        DWORD got = 0;
        if (!::ReadFile(handle, out.data(), want, &got, &position) || got == 0)
            return false;
        out = out.subspan(got);
        at += got;
    }
    return true;
}

}  // namespace platform
