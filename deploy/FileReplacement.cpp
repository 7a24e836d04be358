#include "deploy/FileReplacement.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "platform/Files.h"

namespace deploy {

namespace {

// The permission bits a replaced file keeps: setuid, setgid and sticky
// would otherwise lend the old file's privileges to bytes from the peer.
constexpr unsigned kKeptModeBits = 0777;

// Writes to the disk start in the background each time this much more was
// written through the page cache.
constexpr std::uint64_t kWriteBehind = std::uint64_t{8} << 20;

// Bytes gather in slabs of this size, aligned in memory and in the file as
// direct writes need; a file smaller than one slab is written through the
// page cache at Commit.
constexpr std::size_t kSlabSize = std::size_t{8} << 20;
constexpr std::size_t kSlabAlignment = 4096;

#ifdef O_DIRECT
// Sets or clears O_DIRECT; false when the file system refuses it.
bool SetDirect(int fd, bool on) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, on ? flags | O_DIRECT : flags & ~O_DIRECT) == 0;
}
#endif

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
    if (!fd_)
        return DeployError::Target;
#ifndef _WIN32
    if (!slab_) {
        void* memory = nullptr;
        if (::posix_memalign(&memory, kSlabAlignment, kSlabSize) == 0)
            slab_.reset(static_cast<std::uint8_t*>(memory));
    }
#endif
    if (!slab_)
        return WriteBuffered(bytes) ? DeployError::None : DeployError::Target;
    while (!bytes.empty()) {
        const std::size_t take = std::min(kSlabSize - slabUsed_, bytes.size());
        std::memcpy(slab_.get() + slabUsed_, bytes.data(), take);
        slabUsed_ += take;
        bytes = bytes.subspan(take);
        if (slabUsed_ == kSlabSize) {
            if (const DeployError error = WriteSlab(); !Ok(error))
                return error;
        }
    }
    return DeployError::None;
}

// A full slab goes to the disk directly when the file system takes that,
// through the page cache otherwise.
DeployError FileReplacement::WriteSlab() {
    std::span<const std::uint8_t> bytes(slab_.get(), slabUsed_);
    slabUsed_ = 0;
#ifdef O_DIRECT
    if (!directTried_) {
        directTried_ = true;
        direct_ = SetDirect(fd_.get(), true);
    }
    if (direct_) {
        ssize_t written = -1;
        do {
            written = ::write(fd_.get(), bytes.data(), bytes.size());
        } while (written < 0 && errno == EINTR);
        if (written == static_cast<ssize_t>(bytes.size())) {
            written_ += bytes.size();
            started_ = written_;
            return DeployError::None;
        }
        // Refused or cut short: the rest goes through the page cache.
        if ((written < 0 && errno != EINVAL) || !SetDirect(fd_.get(), false))
            return DeployError::Target;
        direct_ = false;
        if (written > 0) {
            written_ += static_cast<std::uint64_t>(written);
            started_ = written_;
            bytes = bytes.subspan(static_cast<std::size_t>(written));
        }
    }
#endif
    return WriteBuffered(bytes) ? DeployError::None : DeployError::Target;
}

bool FileReplacement::WriteBuffered(std::span<const std::uint8_t> bytes) {
    if (!platform::WriteAll(fd_.get(), bytes))
        return false;
    written_ += bytes.size();
    if (written_ - started_ >= kWriteBehind) {
#ifndef _WIN32
        // Only a hint: the flush at Commit is what counts.
        ::sync_file_range(fd_.get(), static_cast<off64_t>(started_),
                          static_cast<off64_t>(written_ - started_), SYNC_FILE_RANGE_WRITE);
#endif
        started_ = written_;
    }
    return true;
}

DeployError FileReplacement::Commit(std::uint64_t fileTime) {
    // The last, partial slab is no whole number of blocks: it goes through
    // the page cache.
#ifdef O_DIRECT
    if (fd_ && direct_) {
        if (!SetDirect(fd_.get(), false))
            return DeployError::Target;
        direct_ = false;
    }
#endif
    if (fd_ && slabUsed_ != 0) {
        const std::span<const std::uint8_t> rest(slab_.get(), std::exchange(slabUsed_, 0));
        if (!WriteBuffered(rest))
            return DeployError::Target;
    }
    const bool kept =
        fd_ && (!hadOld_ || platform::SetFileMode(fd_.get(), oldMode_ & kKeptModeBits)) &&
        (fileTime == 0 || SetLastWriteTime(fd_.get(), fileTime)) && platform::SyncFile(fd_.get()) &&
        fd_.close() && platform::ReplacePath(temp_, target_);
    if (kept)
        temp_.clear();
    return kept ? DeployError::None : DeployError::Target;
}

}  // namespace deploy
