#include "platform/Text.h"

namespace platform {
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

void AppendUtf16(std::u16string& out, char32_t c) {
    if (!IsScalar(c))
        c = kReplacement;
    if (c < 0x10000) {
        out.push_back(static_cast<char16_t>(c));
    } else {
        c -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 | (c >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 | (c & 0x3FF)));
    }
}

// Decodes one UTF-8 sequence at text[i], advancing i; rejects overlong forms.
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

template <typename Sink>
void DecodeUtf16(std::u16string_view text, Sink&& sink) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = kReplacement;
        }
        sink(c);
    }
}

// Wide text is UTF-32 where wchar_t has 32 bits (Linux) and UTF-16 where it
// has 16 (Windows); either way each code point goes through `sink`.
template <typename Sink>
void DecodeWide(std::wstring_view text, Sink&& sink) {
    if constexpr (sizeof(wchar_t) >= 4) {
        for (wchar_t c : text)
            sink(static_cast<char32_t>(c));
    } else {
        std::u16string_view units(reinterpret_cast<const char16_t*>(text.data()), text.size());
        DecodeUtf16(units, sink);
    }
}

void AppendWide(std::wstring& out, char32_t c) {
    if constexpr (sizeof(wchar_t) >= 4) {
        out.push_back(static_cast<wchar_t>(c));
    } else {
        std::u16string units;
        AppendUtf16(units, c);
        out.append(units.begin(), units.end());
    }
}

template <typename Out>
Out EncodeWide(std::wstring_view text, void (*append)(Out&, char32_t)) {
    Out out;
    out.reserve(text.size());
    DecodeWide(text, [&](char32_t c) { append(out, c); });
    return out;
}

}  // namespace

std::string ToUtf8(std::wstring_view text) {
    return EncodeWide<std::string>(text, AppendUtf8);
}

std::wstring FromUtf8(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();)
        AppendWide(out, NextUtf8(text, i));
    return out;
}

std::u16string ToUtf16(std::wstring_view text) {
    return EncodeWide<std::u16string>(text, AppendUtf16);
}

std::wstring FromUtf16(std::u16string_view text) {
    std::wstring out;
    out.reserve(text.size());
    DecodeUtf16(text, [&](char32_t c) { AppendWide(out, c); });
    return out;
}

std::vector<std::uint8_t> ToUtf16Le(std::wstring_view text) {
    std::vector<std::uint8_t> out;
    for (char16_t u : ToUtf16(text)) {
        out.push_back(static_cast<std::uint8_t>(u & 0xFF));
        out.push_back(static_cast<std::uint8_t>(u >> 8));
    }
    return out;
}

std::wstring FromUtf16Le(std::span<const std::uint8_t> bytes) {
    std::u16string units;
    units.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        units.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
    return FromUtf16(units);
}

}  // namespace platform
