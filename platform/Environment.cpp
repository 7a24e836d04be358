#include "platform/Environment.h"

#include <cstdlib>

#include "platform/Text.h"

namespace platform {

std::wstring ExpandEnvironment(std::wstring_view text) {
    std::wstring out;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t open = text.find(L'%', i);
        if (open == std::wstring_view::npos) {
            out.append(text.substr(i));
            break;
        }
        out.append(text.substr(i, open - i));
        const std::size_t close = text.find(L'%', open + 1);
        if (close == std::wstring_view::npos) {
            out.append(text.substr(open));
            break;
        }
        const std::wstring_view name = text.substr(open + 1, close - open - 1);
        const char* value = name.empty() ? nullptr : std::getenv(ToUtf8(name).c_str());
        if (value) {
            out.append(FromUtf8(value));
            i = close + 1;
        } else {
            // The closing "%" may open the next name, as on Windows.
            out.append(text.substr(open, close - open));
            i = close;
        }
    }
    return out;
}

}  // namespace platform
