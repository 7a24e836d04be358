#pragma once
// Owns one file descriptor and closes it once; whole reads and writes on one.
// On Windows these are the C runtime's descriptors (over file handles).
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <span>
#include <utility>

namespace platform {

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    // Gives the descriptor up without closing it.
    int release() { return std::exchange(fd_, -1); }
    // Closes now and tells whether the close went well (a late write error
    // shows here).
    bool close() {
        const int fd = std::exchange(fd_, -1);
        return fd < 0 || ::close(fd) == 0;
    }

  private:
    int fd_ = -1;
};

// Writes every byte, again after a signal; false on an error.
inline bool WriteAll(int fd, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return true;
}

// Fills `out` with the bytes from `offset` on; false on an error or when the
// file ends first.
#ifdef _WIN32
bool ReadAllAt(int fd, std::span<std::uint8_t> out, off_t offset);  // FilesWin.cpp
#else
inline bool ReadAllAt(int fd, std::span<std::uint8_t> out, off_t offset) {
    while (!out.empty()) {
        const ssize_t got = ::pread(fd, out.data(), out.size(), offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        out = out.subspan(static_cast<std::size_t>(got));
        offset += got;
    }
    return true;
}
#endif

}  // namespace platform
