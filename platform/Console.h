#pragma once
// The process console: wide text goes to standard output as UTF-8, with the
// line ends exactly as the caller wrote them; input is read as UTF-8 lines.
#include <optional>
#include <string>
#include <string_view>

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

// Standard error, one line, for the design's message boxes; nothing waits.
void ShowMessage(std::wstring_view text);

}  // namespace platform
