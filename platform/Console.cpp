#include "platform/Console.h"

#include <cstdio>

#include "platform/Text.h"

// What both systems share: the output lock, the console's one reader and
// line splitting. How a byte is waited for lives in the back ends.
namespace platform {
namespace {
std::mutex& OutputLock() {
    static std::mutex lock;  // guards the writes to stdout and stderr
    return lock;
}

InputReader& ConsoleInput() {
    PrepareConsoleStreams();
    static InputReader reader(0);
    return reader;
}
}  // namespace

void ConsoleWriteUtf8(std::string_view text) {
    PrepareConsoleStreams();
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
    PrepareConsoleStreams();
    std::lock_guard guard(OutputLock());
    const std::string line = ToUtf8(text) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

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

}  // namespace platform
