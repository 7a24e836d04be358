#include "platform/KeyStore.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Text.h"

namespace platform {
namespace {

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { Close(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int Get() const { return fd_; }
    bool Close() {
        if (fd_ < 0)
            return true;
        const int result = ::close(fd_);
        fd_ = -1;
        return result == 0;
    }

  private:
    int fd_;
};

std::filesystem::path HomeDirectory() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return home;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/')
        return found->pw_dir;
    return {};
}

// Creates every missing directory of the path as private to the user.
bool MakeDirectories(const std::filesystem::path& path) {
    std::filesystem::path partial;
    for (const auto& part : path) {
        partial /= part;
        if (::mkdir(partial.c_str(), 0700) == 0 || errno == EEXIST)
            continue;
        // Some systems report EACCES for an existing parent we may not write.
        struct stat info {};
        if (::stat(partial.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
            return false;
    }
    return true;
}

// The store directory exists, belongs to us and admits nobody else.
bool PrepareStoreDirectory(const std::filesystem::path& directory) {
    if (directory.empty() || !MakeDirectories(directory))
        return false;
    struct stat info {};
    if (::stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::geteuid())
        return false;
    if ((info.st_mode & 07777) != 0700 && ::chmod(directory.c_str(), 0700) != 0)
        return false;
    return true;
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace

std::filesystem::path KeyStoreDirectory() {
    // A relative XDG_DATA_HOME is invalid and ignored, as the XDG rules say.
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    std::filesystem::path base;
    if (dataHome != nullptr && dataHome[0] == '/') {
        base = dataHome;
    } else {
        const auto home = HomeDirectory();
        if (home.empty())
            return {};
        base = home / ".local" / "share";
    }
    return base / "vantora" / "keys";
}

std::filesystem::path KeyStoreKeyPath(std::wstring_view keyName) {
    if (keyName.empty() || keyName == L"." || keyName == L".." ||
        keyName.find_first_of(std::wstring_view(L"/\0", 2)) != std::wstring_view::npos)
        return {};
    const auto directory = KeyStoreDirectory();
    if (directory.empty())
        return {};
    return directory / (ToUtf8(keyName) + ".pem");
}

bool KeyStoreCreateKey(std::wstring_view keyName, std::string_view pem) {
    const auto path = KeyStoreKeyPath(keyName);
    if (path.empty() || !PrepareStoreDirectory(path.parent_path()))
        return false;
    FileDescriptor file(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (file.Get() < 0)
        return false;
    // The umask may only narrow the mode; make it exactly owner read/write.
    const bool written = ::fchmod(file.Get(), 0600) == 0 && WriteAll(file.Get(), pem) &&
                         ::fsync(file.Get()) == 0 && file.Close();
    if (!written) {
        file.Close();
        ::unlink(path.c_str());
        return false;
    }
    return true;
}

bool KeyStoreDeleteKey(std::wstring_view keyName) {
    const auto path = KeyStoreKeyPath(keyName);
    return !path.empty() && ::unlink(path.c_str()) == 0;
}

}  // namespace platform
