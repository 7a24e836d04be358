#pragma once
// The process console: wide text goes to standard output as UTF-8, with the
// line ends exactly as the caller wrote them (on Windows standard output is in
// binary mode, so "\n" is not widened again); input is read as UTF-8 lines.
// Any thread may write; reads are taken one at a time, and EndConsoleInput
// lets a thread that is asked to end the process wake the one reading.
#include <atomic>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/UniqueFd.h"

namespace platform {

// Writes and flushes at once; safe to call from several threads (each call is
// written whole).
void ConsoleWrite(std::wstring_view text);
void ConsoleWriteUtf8(std::string_view text);

// One line without its line end ("\n", and a "\r" before it); nullopt once the
// input has ended.
std::optional<std::wstring> ConsoleReadLine();

// One byte of input; -1 at end of input.
int ConsoleReadChar();

// From now on every console read, the one waiting included, reports the end
// of input at once. Safe from any thread.
void EndConsoleInput();

// Standard error, one line, for what would be a message box; nothing waits.
void ShowMessage(std::wstring_view text);

// Puts the standard streams in the mode the console needs (binary on
// Windows, nothing to do elsewhere); the console calls it before any use.
void PrepareConsoleStreams();

// Buffered reading of one descriptor (not owned) that End can interrupt from
// another thread. The console reads standard input through one of these.
class InputReader {
  public:
    explicit InputReader(int fd);
    InputReader(const InputReader&) = delete;
    InputReader& operator=(const InputReader&) = delete;

    // One line without "\n" and a "\r" before it; a last line without a line
    // end counts. nullopt at the end of input or once ended.
    std::optional<std::string> ReadLine();
    // One byte; -1 at the end of input or once ended.
    int ReadChar();
    // Wakes a waiting read; it and every later one report the end.
    void End();

  private:
    int NextByte();  // with lock_ held

    const int fd_;
#ifndef _WIN32
    UniqueFd wake_;  // readable once End was called
#endif
    std::atomic<bool> ended_{false};
    std::mutex lock_;  // guards buffer_, next_, inputEnded_ (held while a read waits)
    std::string buffer_;
    std::size_t next_ = 0;
    bool inputEnded_ = false;
};

}  // namespace platform
