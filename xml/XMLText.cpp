#include "xml/XMLText.h"

// platform/Text.cpp has the same UTF-8 coder: this library keeps its own so
// that it depends on nothing else in the program.
namespace Tessel::text {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsScalar(char32_t c) {
    return c < 0x110000 && (c < 0xD800 || c > 0xDFFF);
}

void AppendUtf8(std::string& out, char32_t c) {
    if (!IsScalar(c))
        c = kReplacement;
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// One UTF-8 sequence at text[i]; advances i. Overlong forms, surrogates and
// truncated sequences give U+FFFD.
char32_t NextUtf8(std::string_view text, std::size_t& i) {
    const auto b0 = static_cast<unsigned char>(text[i++]);
    if (b0 < 0x80)
        return b0;
    int extra;
    char32_t c;
    char32_t min;
    if ((b0 & 0xE0) == 0xC0) {
        extra = 1, c = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2, c = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3, c = b0 & 0x07, min = 0x10000;
    } else {
        return kReplacement;
    }
    for (int k = 0; k < extra; ++k) {
        if (i >= text.size())
            return kReplacement;
        const auto b = static_cast<unsigned char>(text[i]);
        if ((b & 0xC0) != 0x80)
            return kReplacement;
        c = (c << 6) | (b & 0x3F);
        ++i;
    }
    return (c < min || !IsScalar(c)) ? kReplacement : c;
}

bool IsHighSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char32_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

}  // namespace

std::wstring Utf8ToWide(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const char32_t c = NextUtf8(text, i);
        if constexpr (sizeof(wchar_t) >= 4) {
            out.push_back(static_cast<wchar_t>(c));
        } else if (c < 0x10000) {
            out.push_back(static_cast<wchar_t>(c));
        } else {
            out.push_back(static_cast<wchar_t>(0xD800 | ((c - 0x10000) >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 | ((c - 0x10000) & 0x3FF)));
        }
    }
    return out;
}

std::string WideToUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<char32_t>(text[i]);
        if constexpr (sizeof(wchar_t) < 4) {
            c &= 0xFFFF;
            if (IsHighSurrogate(c) && i + 1 < text.size() &&
                IsLowSurrogate(static_cast<char32_t>(text[i + 1]) & 0xFFFF)) {
                const char32_t low = static_cast<char32_t>(text[++i]) & 0xFFFF;
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            }
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::string Utf16LeToUtf8(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size());
    const std::size_t units = (bytes.size() + 1) / 2;
    auto unit = [&](std::size_t k) -> char32_t {
        const char32_t low = bytes[2 * k];
        const char32_t high = 2 * k + 1 < bytes.size() ? bytes[2 * k + 1] : 0;
        return low | (high << 8);
    };
    for (std::size_t k = 0; k < units; ++k) {
        char32_t c = unit(k);
        if (IsHighSurrogate(c) && k + 1 < units && IsLowSurrogate(unit(k + 1))) {
            c = 0x10000 + ((c - 0xD800) << 10) + (unit(k + 1) - 0xDC00);
            ++k;
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::string_view Trim(std::string_view text) {
    constexpr std::string_view kBlank = " \r\n\t";
    const std::size_t first = text.find_first_not_of(kBlank);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(kBlank) - first + 1);
}

}  // namespace Tessel::text
