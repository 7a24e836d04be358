#include "update/LocalFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "platform/Files.h"
#include "platform/Paths.h"
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
    const platform::UniqueFd file(platform::OpenPath(
        path, O_RDONLY | platform::kOpenNoBlock | (followLinks ? 0 : platform::kOpenNoFollow)));
    if (!file)
        return kFail;
    const auto info = platform::InfoOf(file.get());
    if (!info || !info->regular || info->size >= (1ull << 32))
        return kFail;
    out.resize(static_cast<std::size_t>(info->size));
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
        std::wstring relative = platform::WidePath(full.lexically_relative(directory));
        std::replace(relative.begin(), relative.end(), L'/', L'\\');
        if (!visit(full, relative))
            return;
    }
}

std::filesystem::path WriteTempBeside(const std::filesystem::path& target,
                                      std::span<const std::uint8_t> bytes) {
    const auto info = platform::InfoOf(target);
    const bool exists = info.has_value();
    // A new file gets 0755 less the umask, applied by open itself.
    const int createMode = exists ? 0600 : 0755;
    std::random_device random;
    for (int attempt = 0; attempt < 16; ++attempt) {
        char tag[16];
        std::snprintf(tag, sizeof tag, "%08x", static_cast<unsigned>(random()));
        std::filesystem::path temp = target;
        temp += ".new-";
        temp += tag;
        const platform::UniqueFd file(
            platform::OpenPath(temp, O_WRONLY | O_CREAT | O_EXCL, createMode));
        if (!file) {
            if (errno == EEXIST)
                continue;
            return {};
        }
        const bool ok = (!exists || platform::SetFileMode(file.get(), info->mode)) &&
                        WriteAll(file.get(), bytes) && platform::SyncFile(file.get());
        if (!ok) {
            platform::RemovePath(temp);
            return {};
        }
        return temp;
    }
    return {};
}

HRESULT WriteNewFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
    const platform::UniqueFd file(
        platform::OpenPath(path, O_WRONLY | O_CREAT | O_EXCL | platform::kOpenNoFollow, 0600));
    if (!file)
        return kFail;
    if (!WriteAll(file.get(), bytes)) {
        platform::RemovePath(path);
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
    directory_ = platform::MakeTempDirectory("zip");
    if (directory_.empty())
        return;
    path_ = platform::WidePath(directory_ / "signatures.zip");
}

TempArchive::~TempArchive() {
    if (directory_.empty())
        return;
    platform::RemovePath(directory_ / "signatures.zip");
    std::error_code ignored;
    std::filesystem::remove(directory_, ignored);
}

}  // namespace Zelt
