#pragma once
// LZMS compression in a framing of our own, so that the compressed form tells
// its original size and damage is detected:
//   magic "VLZMS\0\0\1" | original size u64 | block size u32 | block count u32
//   then per block: uncompressed size u32 | stored size u32 | stored bytes
// A block whose LZMS form would not be smaller is stored raw (stored size ==
// uncompressed size). All integers little-endian. Blocks are independent and
// are compressed and decompressed on all cores.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "codec/Result.h"

namespace DIFFLIB {

// Largest original size either direction accepts.
inline constexpr std::uint64_t kLzmsMaxOriginalSize = std::uint64_t{4} << 30;
// Uncompressed bytes per block.
inline constexpr std::uint32_t kLzmsBlockSize = 4u << 20;

// Empty input gives empty output. InvalidArgument (output untouched) for an
// input above the limit or a block size of 0 or above 64 MiB; Failed when
// memory or the compressor cannot be had. Smaller blocks spread over more
// cores but compress less well; any block size decompresses.
Result LzmsCompress(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& output,
                    std::uint32_t blockSize = kLzmsBlockSize);

// Empty input gives empty output. Failed (output untouched) for anything that
// is not a complete, intact frame: bad magic, sizes that do not add up or
// exceed the limits (maxOriginalSize among them), trailing bytes, or a block
// that fails to decompress. Memory grows with the blocks that decompressed,
// not with the size the frame declares.
Result LzmsDecompress(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& output,
                      std::uint64_t maxOriginalSize = kLzmsMaxOriginalSize);

// The largest frame LzmsCompress makes of originalSize bytes with blocks of
// 64 KiB or more (every block stored raw): what a reader may accept for it.
std::uint64_t LzmsFrameBound(std::uint64_t originalSize);

// The original size a frame declares, without decompressing; none when the
// frame's layout is not valid.
std::optional<std::uint64_t> LzmsOriginalSize(std::span<const std::uint8_t> input);

}  // namespace DIFFLIB
