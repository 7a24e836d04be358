#pragma once
// Content-defined chunking with a gear hash: a boundary depends only on the
// bytes just before it, so an edit moves the boundaries near it and no others.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace DIFFLIB {

// Content-defined chunking bounds. Chunks are at least minSize bytes (the
// last one of a file may be shorter) and at most maxSize; a boundary is cut
// where the rolling hash has averageBits leading zero bits, with a stricter
// test before and a looser one after 2^averageBits bytes, which keeps the
// lengths close to that size. The defaults give chunks of about 2.8 KiB: a
// small edit costs a few KiB of patch, and a signature is about 0.7% of its
// file.
struct ChunkParameters {
    std::uint32_t minSize = 1024;
    std::uint32_t averageBits = 11;
    std::uint32_t maxSize = 32768;

    bool Valid() const;
    friend bool operator==(const ChunkParameters&, const ChunkParameters&) = default;
};

class Chunker {
  public:
    // `parameters` must be Valid().
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

}  // namespace DIFFLIB
