#pragma once
// Single LZMS blocks, for uploads that are compressed and sent block by block
// rather than as one frame (Lzms.h). A block travels with its uncompressed
// size and its stored size beside it; stored == uncompressed means raw. Each
// object keeps its LZMS state for many blocks and is used by one thread.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "codec/Result.h"

namespace DIFFLIB {

class LzmsCoder;
class LzmsDecoder;

// The largest block either side accepts.
inline constexpr std::uint32_t kLzmsMaxBlock = 4u << 20;

// How hard a compressor searches. Every effort writes plain LZMS that any
// decompressor reads; they differ in speed and size (on shared libraries in
// 1 MiB blocks, per core: Fast 19 MB/s for 0.34 of the input, Medium 14 MB/s
// for 0.30, Thorough 5.5 MB/s for 0.27).
enum class LzmsEffort : std::uint8_t { Fast, Medium, Thorough };
inline constexpr std::size_t kLzmsEfforts = 3;

class LzmsBlockCompressor {
  public:
    // LZMS state grows with the block size it is made for (about 10 MiB for
    // 1 MiB blocks): it is made for the largest block seen so far.
    explicit LzmsBlockCompressor(LzmsEffort effort = LzmsEffort::Thorough);
    ~LzmsBlockCompressor();
    LzmsBlockCompressor(const LzmsBlockCompressor&) = delete;
    LzmsBlockCompressor& operator=(const LzmsBlockCompressor&) = delete;

    // Ok with `out` holding the LZMS form when it is smaller than `block`;
    // Failed (out empty) when it is not, when the block is empty or above
    // kLzmsMaxBlock, or when the compressor cannot be had: the block then
    // travels raw.
    Result Compress(std::span<const std::uint8_t> block, std::vector<std::uint8_t>& out);

  private:
    std::unique_ptr<LzmsCoder> compressor_;
    std::size_t madeFor_ = 0;
    LzmsEffort effort_;
};

class LzmsBlockDecompressor {
  public:
    LzmsBlockDecompressor();
    ~LzmsBlockDecompressor();
    LzmsBlockDecompressor(const LzmsBlockDecompressor&) = delete;
    LzmsBlockDecompressor& operator=(const LzmsBlockDecompressor&) = delete;

    // Fills all of `out` (the block's uncompressed size) from `stored`: a
    // copy when the sizes are equal, LZMS otherwise. Failed for a stored
    // form larger than out, an out of 0 or above kLzmsMaxBlock, or damage.
    Result Decompress(std::span<const std::uint8_t> stored, std::span<std::uint8_t> out);

  private:
    std::unique_ptr<LzmsDecoder> decompressor_;
};

}  // namespace DIFFLIB
