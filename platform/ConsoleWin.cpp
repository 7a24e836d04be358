#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "platform/Console.h"

namespace platform {
namespace {

// How often a waiting read looks again at a pipe or the console and at End.
constexpr DWORD kPollMs = 20;
}  // namespace

// Binary mode once, before the first write: in text mode the runtime turns
// each "\n" into "\r\n" and the "\r\n" this program writes would become
// "\r\r\n".
void PrepareConsoleStreams() {
    static const bool once = [] {
        ::_setmode(::_fileno(stdout), _O_BINARY);
        ::_setmode(::_fileno(stderr), _O_BINARY);
        ::_setmode(::_fileno(stdin), _O_BINARY);
        return true;
    }();
    (void)once;
}

InputReader::InputReader(int fd) : fd_(fd) {}

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
                // Wine cannot peek a Unix pipe: that one is read blocking.
                if (::GetLastError() != ERROR_NOT_SUPPORTED) {
                    inputEnded_ = true;  // the writer closed its end
                    continue;
                }
            } else if (available == 0) {
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
