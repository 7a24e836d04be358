#pragma once
// The signature byte format: a header naming the format version and the chunk
// parameters, then one record per chunk in file order (length and XXH3-128
// hash). An empty file has an empty signature (no header).
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/Rdc.h"

namespace rdc {

// "VRDCSIG" and the format version.
inline constexpr std::array<std::uint8_t, 8> kSignatureMagic{'V', 'R', 'D', 'C', 'S', 'I', 'G', 1};
inline constexpr std::size_t kSignatureHeaderSize = 24;  // magic, min, bits, max, reserved
inline constexpr std::size_t kSignatureRecordSize = 20;  // length u32, hash 16 bytes

struct ChunkHash {
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    friend bool operator==(const ChunkHash&, const ChunkHash&) = default;
};

struct ChunkRecord {
    std::uint32_t length = 0;
    ChunkHash hash;
};

ChunkHash HashChunk(std::span<const std::uint8_t> bytes);

void EncodeSignatureHeader(const ChunkParameters& parameters,
                           std::span<std::uint8_t, kSignatureHeaderSize> out);
void EncodeChunkRecord(const ChunkRecord& record,
                       std::span<std::uint8_t, kSignatureRecordSize> out);

enum class HeaderCheck { Ok, Corrupt, Newer, Older };
HeaderCheck DecodeSignatureHeader(std::span<const std::uint8_t, kSignatureHeaderSize> in,
                                  ChunkParameters& parameters);
// False for a length of 0 or above maxSize.
bool DecodeChunkRecord(std::span<const std::uint8_t, kSignatureRecordSize> in,
                       const ChunkParameters& parameters, ChunkRecord& record);

}  // namespace rdc
