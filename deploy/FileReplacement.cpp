#include "deploy/FileReplacement.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#endif

#include <cerrno>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/Files.h"

namespace deploy {

namespace {

// The permission bits a replaced file keeps: setuid, setgid and sticky
// would otherwise lend the old file's privileges to bytes from the peer.
constexpr unsigned kKeptModeBits = 0777;

#ifdef _WIN32
// The FILETIME goes to the file as it came.
bool SetLastWriteTime(int fd, std::uint64_t fileTime) {
    if (fileTime > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return false;
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    FILETIME written{static_cast<DWORD>(fileTime), static_cast<DWORD>(fileTime >> 32)};
    return handle != INVALID_HANDLE_VALUE && ::SetFileTime(handle, nullptr, nullptr, &written);
}
#else
// FILETIME counts 100 ns from 1601-01-01; Unix time seconds from 1970-01-01.
constexpr std::int64_t kFileTimeUnixEpoch = 116444736000000000;
constexpr std::int64_t kFileTimeTicksPerSecond = 10000000;

bool SetLastWriteTime(int fd, std::uint64_t fileTime) {
    if (fileTime > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return false;
    const std::int64_t ticks = static_cast<std::int64_t>(fileTime) - kFileTimeUnixEpoch;
    std::int64_t seconds = ticks / kFileTimeTicksPerSecond;
    std::int64_t rest = ticks % kFileTimeTicksPerSecond;
    if (rest < 0) {
        rest += kFileTimeTicksPerSecond;
        --seconds;
    }
    timespec times[2]{};
    times[0].tv_nsec = UTIME_OMIT;  // the access time stays
    times[1].tv_sec = static_cast<time_t>(seconds);
    times[1].tv_nsec = static_cast<long>(rest * 100);
    return ::futimens(fd, times) == 0;
}
#endif

}  // namespace

FileReplacement::~FileReplacement() {
    writer_.reset();
    fd_.reset();
    if (!temp_.empty())
        platform::RemovePath(temp_);
}

DeployError FileReplacement::Begin(const std::filesystem::path& target) {
    if (target.empty() || !target.has_filename() || !temp_.empty())
        return DeployError::Target;
    if (target.has_parent_path()) {
        std::error_code ignored;
        std::filesystem::create_directories(target.parent_path(), ignored);
    }
    const auto old = platform::InfoOf(target);
    hadOld_ = old.has_value();
    if (hadOld_ && !old->regular)
        return DeployError::Target;
    oldMode_ = hadOld_ ? old->mode : 0;
    static constexpr std::string_view kLetters =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    // The system's own form of the name (UTF-16 on Windows), so nothing is
    // lost in a conversion.
    std::filesystem::path::string_type name = target.filename().native();
    // Leaves room for the dot and the suffix within a 255-unit name.
    if (name.size() > 200)
        name.resize(200);
    std::random_device random;
    std::uniform_int_distribution<std::size_t> pick(0, kLetters.size() - 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::filesystem::path candidate(".");
        candidate += name;
        candidate += ".vtr";
        for (int i = 0; i < 6; ++i)
            candidate += std::string(1, kLetters[pick(random)]);
        const std::filesystem::path path = target.parent_path() / candidate;
        const int fd = platform::OpenPath(path, O_WRONLY | O_CREAT | O_EXCL, 0666);
        if (fd >= 0) {
            fd_ = platform::UniqueFd(fd);
            writer_.emplace(fd_.get());
            temp_ = path;
            target_ = target;
            return DeployError::None;
        }
        if (errno != EEXIST)
            return DeployError::Target;
    }
    return DeployError::Target;
}

DeployError FileReplacement::Write(std::span<const std::uint8_t> bytes) {
    return writer_ && writer_->Write(bytes) ? DeployError::None : DeployError::Target;
}

DeployError FileReplacement::Commit(std::uint64_t fileTime) {
    if (!writer_ || !writer_->Finish())
        return DeployError::Target;
    writer_.reset();
    const bool kept =
        fd_ && (!hadOld_ || platform::SetFileMode(fd_.get(), oldMode_ & kKeptModeBits)) &&
        (fileTime == 0 || SetLastWriteTime(fd_.get(), fileTime)) && platform::SyncFile(fd_.get()) &&
        fd_.close() && platform::ReplacePath(temp_, target_);
    if (kept)
        temp_.clear();
    return kept ? DeployError::None : DeployError::Target;
}

}  // namespace deploy
