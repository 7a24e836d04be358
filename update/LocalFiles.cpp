#include "update/LocalFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "platform/Text.h"
#include "platform/UniqueFd.h"

namespace Zelt {

namespace {

bool WriteAll(int fd, std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

HRESULT ReadWholeFile(const std::filesystem::path& path, std::vector<std::uint8_t>& out,
                      bool followLinks) {
    out.clear();
    const platform::UniqueFd file(
        ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (followLinks ? 0 : O_NOFOLLOW)));
    if (!file)
        return kFail;
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::uint64_t>(info.st_size) >= (1ull << 32))
        return kFail;
    out.resize(static_cast<std::size_t>(info.st_size));
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::read(file.get(), out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    if (done != out.size()) {
        out.clear();
        return kFail;
    }
    return kOk;
}

void WalkFiles(
    const std::filesystem::path& directory,
    const std::function<bool(const std::filesystem::path&, const std::wstring&)>& visit) {
    namespace fs = std::filesystem;
    for (auto it = fs::recursive_directory_iterator(directory);
         it != fs::recursive_directory_iterator(); ++it) {
        const fs::path& full = it->path();
        if (full.empty())
            continue;
        std::error_code ec;
        const fs::file_status status = fs::status(full, ec);
        // A failed query counts as a directory; devices, pipes and sockets are
        // not program files and reading them could block.
        if (ec || !fs::is_regular_file(status))
            continue;
        std::wstring relative = platform::FromUtf8(full.lexically_relative(directory).string());
        std::replace(relative.begin(), relative.end(), L'/', L'\\');
        if (!visit(full, relative))
            return;
    }
}

std::filesystem::path WriteTempBeside(const std::filesystem::path& target,
                                      std::span<const std::uint8_t> bytes) {
    struct stat info {};
    const bool exists = ::stat(target.c_str(), &info) == 0;
    // A new file gets 0755 less the umask, applied by open itself.
    const mode_t createMode = exists ? 0600 : 0755;
    std::random_device random;
    for (int attempt = 0; attempt < 16; ++attempt) {
        char tag[16];
        std::snprintf(tag, sizeof tag, "%08x", static_cast<unsigned>(random()));
        std::filesystem::path temp = target;
        temp += ".new-";
        temp += tag;
        const platform::UniqueFd file(
            ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, createMode));
        if (!file) {
            if (errno == EEXIST)
                continue;
            return {};
        }
        const bool ok = (!exists || ::fchmod(file.get(), info.st_mode & 07777) == 0) &&
                        WriteAll(file.get(), bytes) && ::fsync(file.get()) == 0;
        if (!ok) {
            ::unlink(temp.c_str());
            return {};
        }
        return temp;
    }
    return {};
}

HRESULT WriteNewFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
    const platform::UniqueFd file(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file)
        return kFail;
    if (!WriteAll(file.get(), bytes)) {
        ::unlink(path.c_str());
        return kFail;
    }
    return kOk;
}

bool IsSafeRelativeName(std::wstring_view name) {
    if (name.empty() || name.find(L'\0') != std::wstring_view::npos || name.front() == L'\\' ||
        (name.size() >= 2 && name[1] == L':'))
        return false;
    std::size_t start = 0;
    for (;;) {
        const auto end = name.find(L'\\', start);
        const auto part = name.substr(start, end == std::wstring_view::npos ? end : end - start);
        if (part.empty() || part == L"." || part == L"..")
            return false;
        if (end == std::wstring_view::npos)
            return true;
        start = end + 1;
    }
}

TempArchive::TempArchive() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/zipXXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        return;
    directory_ = pattern;
    path_ = platform::FromUtf8(pattern + "/signatures.zip");
}

TempArchive::~TempArchive() {
    if (directory_.empty())
        return;
    ::unlink((directory_ / "signatures.zip").c_str());
    ::rmdir(directory_.c_str());
}

}  // namespace Zelt
