#pragma once
// Content-defined chunking with a gear hash: a boundary depends only on the
// bytes just before it, so an edit moves the boundaries near it and no others.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/Rdc.h"

namespace rdc {

class Chunker {
  public:
    explicit Chunker(const ChunkParameters& parameters);

    // Scans `data` as the continuation of the current chunk. Returns how many
    // bytes of it belong to the current chunk; `boundary` tells whether the
    // chunk ends after them (then the next call starts a new chunk).
    std::size_t Scan(std::span<const std::uint8_t> data, bool& boundary);

    // Bytes of the current, unfinished chunk.
    std::uint64_t CurrentLength() const { return length_; }

  private:
    ChunkParameters parameters_;
    std::uint64_t strictMask_;
    std::uint64_t looseMask_;
    std::uint64_t hash_ = 0;
    std::uint64_t length_ = 0;
};

// Chunk lengths of a whole buffer (the last chunk may be shorter than the
// minimum); empty input has no chunks.
std::vector<std::uint32_t> ChunkLengths(std::span<const std::uint8_t> data,
                                        const ChunkParameters& parameters = {});

}  // namespace rdc
