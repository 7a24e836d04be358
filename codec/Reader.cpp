#include "codec/Reader.h"

#include <sys/stat.h>
#include <unistd.h>

#include "platform/UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace DIFFLIB {

bool ReadExactly(const Reader& reader, std::uint64_t offset, std::span<std::uint8_t> out) {
    const std::optional<std::size_t> got = reader.Read(offset, out);
    return got && *got == out.size();
}

std::optional<std::uint64_t> FileReader::Size() const {
#ifdef _WIN32
    struct _stat64 info {};
    if (::_fstat64(fd_, &info) != 0 || info.st_size < 0)
        return std::nullopt;
#else
    struct stat info {};
    if (::fstat(fd_, &info) != 0 || info.st_size < 0)
        return std::nullopt;
#endif
    return static_cast<std::uint64_t>(info.st_size);
}

std::optional<std::size_t> FileReader::Read(std::uint64_t offset,
                                            std::span<std::uint8_t> out) const {
    const std::optional<std::uint64_t> size = Size();
    if (!size)
        return std::nullopt;
    if (offset >= *size)
        return 0;
    if (offset > static_cast<std::uint64_t>(INT64_MAX))
        return std::nullopt;
#ifdef _WIN32
    // No pread: a positioned read of what the file holds from offset on.
    const auto count =
        static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), *size - offset));
    if (!platform::ReadAllAt(fd_, out.first(count), static_cast<off_t>(offset)))
        return std::nullopt;
    return count;
#else
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t got =
            ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (got == 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    return done;
#endif
}

std::optional<std::size_t> MemoryReader::Read(std::uint64_t offset,
                                              std::span<std::uint8_t> out) const {
    if (offset >= data_.size())
        return 0;
    const std::size_t count =
        static_cast<std::size_t>(std::min<std::uint64_t>(data_.size() - offset, out.size()));
    if (count != 0)
        std::memcpy(out.data(), data_.data() + offset, count);
    return count;
}

}  // namespace DIFFLIB
