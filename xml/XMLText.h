#pragma once
// Character-set conversions at the edges of the library. The tree itself holds
// UTF-8; wide text (paths, GetWideValue) and UTF-16LE files are converted here
// so that the library needs nothing from the rest of the program.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace Tessel::text {

// Malformed input becomes U+FFFD; nothing throws except on allocation.
std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::wstring_view text);

// UTF-16 little-endian bytes; an odd last byte is taken as a unit with a zero
// high byte.
std::string Utf16LeToUtf8(std::span<const std::uint8_t> bytes);

// Without the blanks (space, CR, LF, tab) at either end.
std::string_view Trim(std::string_view text);

}  // namespace Tessel::text
