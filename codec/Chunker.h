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

// A chunker fed in pieces that hands on each chunk's bytes whole, gathering
// those of a chunk that spans pieces.
class ChunkGatherer {
  public:
    explicit ChunkGatherer(const ChunkParameters& parameters)
        : parameters_(parameters), chunker_(parameters) {}

    // Scans `data` up to the current chunk's end or its own, handing the
    // chunk to `whole` when it ends there; returns the bytes scanned.
    template <typename Whole>
    std::size_t Step(std::span<const std::uint8_t> data, Whole&& whole) {
        bool boundary = false;
        const std::size_t used = chunker_.Scan(data, boundary);
        const auto piece = data.first(used);
        if (boundary && carry_.empty()) {
            whole(piece);
        } else {
            carry_.insert(carry_.end(), piece.begin(), piece.end());
            if (boundary) {
                whole(std::span<const std::uint8_t>(carry_));
                carry_.clear();
            }
        }
        return used;
    }

    template <typename Whole>
    void Feed(std::span<const std::uint8_t> data, Whole&& whole) {
        while (!data.empty())
            data = data.subspan(Step(data, whole));
    }

    // The input ends here: hands on the chunk begun, if any (a file's last
    // chunk ends with the file), and starts afresh. False when none was begun.
    template <typename Whole>
    bool End(Whole&& whole) {
        chunker_ = Chunker(parameters_);
        if (carry_.empty())
            return false;
        whole(std::span<const std::uint8_t>(carry_));
        carry_.clear();
        return true;
    }

  private:
    ChunkParameters parameters_;
    Chunker chunker_;
    std::vector<std::uint8_t> carry_;  // the current chunk's bytes from earlier pieces
};

// Chunk lengths of a whole buffer (the last chunk may be shorter than the
// minimum); empty input has no chunks.
std::vector<std::uint32_t> ChunkLengths(std::span<const std::uint8_t> data,
                                        const ChunkParameters& parameters = {});

}  // namespace DIFFLIB
