#include "platform/Console.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace platform {
namespace {
// With standard input closed a new descriptor could take number 0 and be
// read as the console; keep the wake-up above the standard streams.
UniqueFd WakeDescriptor() {
    UniqueFd fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (fd && fd.get() <= STDERR_FILENO)
        fd = UniqueFd(::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
    return fd;
}
}  // namespace

void PrepareConsoleStreams() {}

InputReader::InputReader(int fd) : fd_(fd), wake_(WakeDescriptor()) {}

void InputReader::End() {
    ended_.store(true);
    const std::uint64_t one = 1;
    if (wake_) {
        [[maybe_unused]] const auto written = ::write(wake_.get(), &one, sizeof one);
    }
}

int InputReader::NextByte() {
    for (;;) {
        if (ended_.load())
            return -1;
        if (next_ < buffer_.size())
            return static_cast<unsigned char>(buffer_[next_++]);
        // Like a stream, input that has ended stays ended.
        if (inputEnded_)
            return -1;
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            inputEnded_ = true;
            continue;
        }
        if (fds[1].revents != 0)
            continue;  // ended_ is set
        char chunk[4096];
        const ssize_t got = ::read(fd_, chunk, sizeof chunk);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0) {
            inputEnded_ = true;
            continue;
        }
        buffer_.assign(chunk, static_cast<std::size_t>(got));
        next_ = 0;
    }
}

}  // namespace platform
