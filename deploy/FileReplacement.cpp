#include "deploy/FileReplacement.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <system_error>

namespace deploy {

namespace {

// The permission bits a replaced file keeps: setuid, setgid and sticky
// would otherwise lend the old file's privileges to bytes from the peer.
constexpr mode_t kKeptModeBits = 0777;

// Writes to the disk start in the background each time this much more was
// written.
constexpr std::uint64_t kWriteBehind = std::uint64_t{8} << 20;

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

}  // namespace

FileReplacement::~FileReplacement() {
    fd_.reset();
    if (!temp_.empty())
        ::unlink(temp_.c_str());
}

DeployError FileReplacement::Begin(const std::filesystem::path& target) {
    if (target.empty() || !target.has_filename() || !temp_.empty())
        return DeployError::Target;
    if (target.has_parent_path()) {
        std::error_code ignored;
        std::filesystem::create_directories(target.parent_path(), ignored);
    }
    struct stat old {};
    hadOld_ = ::stat(target.c_str(), &old) == 0;
    if (hadOld_ && !S_ISREG(old.st_mode))
        return DeployError::Target;
    oldMode_ = old.st_mode;
    static constexpr std::string_view kLetters =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string name = target.filename().string();
    // Leaves room for the dot and the suffix within a 255-byte name.
    if (name.size() > 200)
        name.resize(200);
    std::random_device random;
    std::uniform_int_distribution<std::size_t> pick(0, kLetters.size() - 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = "." + name + ".vtr";
        for (int i = 0; i < 6; ++i)
            candidate.push_back(kLetters[pick(random)]);
        const std::filesystem::path path = target.parent_path() / candidate;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            fd_ = platform::UniqueFd(fd);
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
    if (!fd_ || !platform::WriteAll(fd_.get(), bytes))
        return DeployError::Target;
    written_ += bytes.size();
    if (written_ - started_ >= kWriteBehind) {
        // Only a hint: the flush at Commit is what counts.
        ::sync_file_range(fd_.get(), static_cast<off64_t>(started_),
                          static_cast<off64_t>(written_ - started_), SYNC_FILE_RANGE_WRITE);
        started_ = written_;
    }
    return DeployError::None;
}

DeployError FileReplacement::Commit(std::uint64_t fileTime) {
    const bool kept = fd_ && (!hadOld_ || ::fchmod(fd_.get(), oldMode_ & kKeptModeBits) == 0) &&
                      (fileTime == 0 || SetLastWriteTime(fd_.get(), fileTime)) &&
                      ::fsync(fd_.get()) == 0 && fd_.close() &&
                      ::rename(temp_.c_str(), target_.c_str()) == 0;
    if (kept)
        temp_.clear();
    return kept ? DeployError::None : DeployError::Target;
}

}  // namespace deploy
