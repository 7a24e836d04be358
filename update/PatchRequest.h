#pragma once
// The text body of a patch request: one line per block, joined by "|";
// each line "index,name,F,0,0" or "index,name,P,offset,length".
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Zelt {

// A line never holds more characters than this.
inline constexpr std::size_t kMaxPatchLine = 999;

struct PatchLine {
    std::int32_t index = 0;
    std::string name;  // UTF-8, "/" separated
    bool whole = false;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// Formats one line; nullopt when it would be longer than kMaxPatchLine or the
// name holds a character that would break the body (",", "|", a control
// character).
std::optional<std::string> FormatPatchLine(const PatchLine& line);

// Splits a body into its lines; nullopt for any malformed line.
std::optional<std::vector<PatchLine>> ParsePatchBody(std::string_view body);

}  // namespace Zelt
