// The text body of a patch request; what parses must format back to itself.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "update/PatchRequest.h"

using namespace Zelt;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    const auto lines = ParsePatchBody(body);
    if (!lines)
        return 0;
    for (const PatchLine& line : *lines) {
        const auto text = FormatPatchLine(line);
        if (!text || text->size() > kMaxPatchLine)
            __builtin_trap();
        const auto back = ParsePatchBody(*text);
        if (!back || back->size() != 1 || (*back)[0].name != line.name ||
            (*back)[0].index != line.index || (*back)[0].whole != line.whole)
            __builtin_trap();
    }
    return 0;
}
