#include "platform/Console.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "platform/Text.h"

namespace platform {
namespace {
std::mutex& OutputLock() {
    static std::mutex lock;
    return lock;
}

InputReader& ConsoleInput() {
    static InputReader reader(STDIN_FILENO);
    return reader;
}

// With standard input closed a new descriptor could take number 0 and be
// read as the console; keep the wake-up above the standard streams.
UniqueFd WakeDescriptor() {
    UniqueFd fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (fd && fd.get() <= STDERR_FILENO)
        fd = UniqueFd(::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
    return fd;
}
}  // namespace

void ConsoleWriteUtf8(std::string_view text) {
    std::lock_guard guard(OutputLock());
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void ConsoleWrite(std::wstring_view text) {
    ConsoleWriteUtf8(ToUtf8(text));
}

std::optional<std::wstring> ConsoleReadLine() {
    const auto line = ConsoleInput().ReadLine();
    if (!line)
        return std::nullopt;
    return FromUtf8(*line);
}

int ConsoleReadChar() {
    return ConsoleInput().ReadChar();
}

void EndConsoleInput() {
    ConsoleInput().End();
}

void ShowMessage(std::wstring_view text) {
    std::lock_guard guard(OutputLock());
    const std::string line = ToUtf8(text) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

InputReader::InputReader(int fd) : fd_(fd), wake_(WakeDescriptor()) {}

std::optional<std::string> InputReader::ReadLine() {
    std::lock_guard guard(lock_);
    std::string line;
    for (;;) {
        const int c = NextByte();
        if (c < 0) {
            // A line cut short by End is not handed out as a command.
            if (line.empty() || ended_.load())
                return std::nullopt;
            break;
        }
        if (c == '\n')
            break;
        line.push_back(static_cast<char>(c));
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

int InputReader::ReadChar() {
    std::lock_guard guard(lock_);
    return NextByte();
}

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
