// The Windows command-line rules, the same on every system: Process.h.
#include "platform/Process.h"
#include "platform/Text.h"

namespace platform {

std::vector<std::string> SplitCommandLine(std::wstring_view line) {
    std::vector<std::string> args;
    std::size_t i = 0;
    const auto blank = [](wchar_t c) { return c == L' ' || c == L'\t'; };
    for (;;) {
        while (i < line.size() && blank(line[i]))
            ++i;
        if (i >= line.size())
            break;
        std::wstring arg;
        bool quoted = false;
        while (i < line.size() && (quoted || !blank(line[i]))) {
            if (line[i] == L'\\') {
                std::size_t slashes = 0;
                while (i < line.size() && line[i] == L'\\') {
                    ++slashes;
                    ++i;
                }
                if (i < line.size() && line[i] == L'"') {
                    arg.append(slashes / 2, L'\\');
                    if (slashes % 2 == 1) {
                        arg.push_back(L'"');
                        ++i;
                    }
                    // An even count leaves the quote to the next round.
                } else {
                    arg.append(slashes, L'\\');
                }
            } else if (line[i] == L'"') {
                if (quoted && i + 1 < line.size() && line[i + 1] == L'"') {
                    arg.push_back(L'"');
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                arg.push_back(line[i]);
                ++i;
            }
        }
        args.push_back(ToUtf8(arg));
    }
    return args;
}

std::wstring QuoteArgument(std::wstring_view argument) {
    std::wstring out = L"\"";
    std::size_t slashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++slashes;
            continue;
        }
        if (c == L'"') {
            // Backslashes before a quote are doubled, the quote escaped.
            out.append(slashes * 2 + 1, L'\\');
            out.push_back(L'"');
        } else {
            out.append(slashes, L'\\');
            out.push_back(c);
        }
        slashes = 0;
    }
    // Trailing backslashes precede the closing quote, so they are doubled.
    out.append(slashes * 2, L'\\');
    out.push_back(L'"');
    return out;
}

}  // namespace platform
