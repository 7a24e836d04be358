#pragma once
// Conversions between the wide text this program works in (paths, console
// text) and the narrow UTF-8 / UTF-16 forms used by files, sockets and the
// console.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Invalid input sequences become U+FFFD; conversions never throw.
std::string ToUtf8(std::wstring_view text);
std::wstring FromUtf8(std::string_view text);
std::u16string ToUtf16(std::wstring_view text);
std::wstring FromUtf16(std::u16string_view text);

// UTF-16 little-endian bytes as they travel on the wire (no terminator).
std::vector<std::uint8_t> ToUtf16Le(std::wstring_view text);
std::wstring FromUtf16Le(std::span<const std::uint8_t> bytes);

}  // namespace platform
