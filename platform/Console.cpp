#include "platform/Console.h"

#include <cstdio>
#include <mutex>

#include "platform/Text.h"

namespace platform {
namespace {
std::mutex& OutputLock() {
    static std::mutex lock;
    return lock;
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
    std::string line;
    for (;;) {
        const int c = std::getc(stdin);
        if (c == EOF) {
            if (line.empty())
                return std::nullopt;
            break;
        }
        if (c == '\n')
            break;
        line.push_back(static_cast<char>(c));
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return FromUtf8(line);
}

int ConsoleReadChar() {
    const int c = std::getc(stdin);
    return c == EOF ? -1 : c;
}

void ShowMessage(std::wstring_view text) {
    std::lock_guard guard(OutputLock());
    const std::string line = ToUtf8(text) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

}  // namespace platform
