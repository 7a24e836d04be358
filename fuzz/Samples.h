#pragma once
// Sample files shared by the seed writer and the targets, so that the seeds
// of the signature and patch targets fit the files those targets hold: an old
// file and a new file made from it by an insertion, an overwrite, a deletion
// and an append.
#include <cstdint>
#include <span>
#include <vector>

#include "codec/DiffLib.h"

namespace fuzzsamples {

inline std::vector<std::uint8_t> OldFile() {
    std::vector<std::uint8_t> bytes(48 * 1024);
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (auto& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        byte = static_cast<std::uint8_t>(state);
    }
    return bytes;
}

inline std::vector<std::uint8_t> NewFile() {
    std::vector<std::uint8_t> bytes = OldFile();
    const std::vector<std::uint8_t> inserted(3000, 'x');
    bytes.insert(bytes.begin() + 10000, inserted.begin(), inserted.end());
    for (std::size_t i = 25000; i < 26000; ++i)
        bytes[i] ^= 0x5A;
    bytes.erase(bytes.begin() + 33000, bytes.begin() + 36000);
    bytes.insert(bytes.end(), inserted.begin(), inserted.end());
    return bytes;
}

inline std::vector<std::uint8_t> SignatureOf(std::span<const std::uint8_t> file) {
    DIFFLIB::DiffLibrary library;
    DIFFLIB::MemoryReader reader(file);
    DIFFLIB::MemoryDiffWriter writer;
    if (library.GenerateSignature(reader, writer) != DIFFLIB::Result::Ok)
        __builtin_trap();
    return writer.Take();
}

}  // namespace fuzzsamples
