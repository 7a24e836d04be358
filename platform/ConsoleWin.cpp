#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "platform/Console.h"
#include "platform/Text.h"

namespace platform {
namespace {

// How often a waiting read looks again at a pipe or the console and at End.
constexpr DWORD kPollMs = 20;

std::mutex& OutputLock() {
    static std::mutex lock;  // guards the writes to stdout and stderr
    return lock;
}

// Binary mode once, before the first write: in text mode the runtime turns
// each "\n" into "\r\n" and the "\r\n" this program writes would become
// "\r\r\n".
void BinaryStreams() {
    static const bool once = [] {
        ::_setmode(::_fileno(stdout), _O_BINARY);
        ::_setmode(::_fileno(stderr), _O_BINARY);
        ::_setmode(::_fileno(stdin), _O_BINARY);
        return true;
    }();
    (void)once;
}

InputReader& ConsoleInput() {
    BinaryStreams();
    static InputReader reader(::_fileno(stdin));
    return reader;
}

}  // namespace

void ConsoleWriteUtf8(std::string_view text) {
    BinaryStreams();
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
    BinaryStreams();
    std::lock_guard guard(OutputLock());
    const std::string line = ToUtf8(text) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

InputReader::InputReader(int fd) : fd_(fd) {}

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

// A blocked ReadFile cannot be woken portably (and not at all under Wine), so
// a read waits only where data is known to be there: a pipe is peeked, the
// console is waited on, both a short while at a time so that End is seen.
void InputReader::End() {
    ended_.store(true);
}

int InputReader::NextByte() {
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd_));
    const DWORD type = handle == INVALID_HANDLE_VALUE ? FILE_TYPE_UNKNOWN : ::GetFileType(handle);
    for (;;) {
        if (ended_.load())
            return -1;
        if (next_ < buffer_.size())
            return static_cast<unsigned char>(buffer_[next_++]);
        // Like a stream, input that has ended stays ended.
        if (inputEnded_ || handle == INVALID_HANDLE_VALUE) {
            inputEnded_ = true;
            return -1;
        }
        if (type == FILE_TYPE_PIPE) {
            DWORD available = 0;
            if (!::PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr)) {
                inputEnded_ = true;  // the writer closed its end
                continue;
            }
            if (available == 0) {
                ::Sleep(kPollMs);
                continue;
            }
        } else if (type == FILE_TYPE_CHAR) {
            const DWORD waited = ::WaitForSingleObject(handle, kPollMs);
            if (waited == WAIT_TIMEOUT)
                continue;
            if (waited != WAIT_OBJECT_0) {
                inputEnded_ = true;
                continue;
            }
        }
        char chunk[4096];
        DWORD got = 0;
        if (!::ReadFile(handle, chunk, sizeof chunk, &got, nullptr) || got == 0) {
            inputEnded_ = true;
            continue;
        }
        buffer_.assign(chunk, got);
        next_ = 0;
    }
}

}  // namespace platform
