#pragma once
// What an update run learns about one file.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "codec/Patch.h"

namespace Zelt {

inline constexpr std::uint64_t kWholeFile = ~0ull;

struct PatchBlock {
    std::int32_t index = 0;    // unique within a run, from 1
    std::uint64_t offset = 0;  // in the new file
    std::uint64_t length = 0;  // kWholeFile with offset 0: the whole file
    std::vector<std::uint8_t> data;

    bool whole_file() const { return offset == 0 && length == kWholeFile; }
};

struct FileRecord {
    std::wstring name;  // relative to the program directory, "\" separated
    std::vector<std::uint8_t> local_signatures;
    std::vector<std::uint8_t> remote_signatures;
    std::vector<std::uint8_t> local_hash;
    std::vector<std::uint8_t> remote_hash;
    std::vector<DIFFLIB::Need> needs;
    std::vector<PatchBlock> blocks;
};

// The name as records keep it: every "/" read as "\\".
inline std::wstring RecordName(std::wstring_view name) {
    std::wstring normal(name);
    std::replace(normal.begin(), normal.end(), L'/', L'\\');
    return normal;
}

}  // namespace Zelt
