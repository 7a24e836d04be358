#pragma once
// Compares a seed signature (of the old file) with a source signature (of the
// new file), fed in pieces, into needs in target order. A source chunk found
// in the seed becomes a seed need, any other a source need. A need is merged
// into the one before it only when it continues it: a seed need that starts
// where the previous seed need ends in the old file, or a source need after a
// source need.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "codec/Chunker.h"
#include "codec/Patch.h"
#include "codec/Result.h"
#include "codec/Signature.h"

namespace DIFFLIB {

class Comparator {
  public:
    // None when the seed signature is malformed. An empty seed (an empty old
    // file) is valid: every block then comes from the source.
    static std::optional<Comparator> Create(std::span<const std::uint8_t> seedSignature);
    // Whether Create would take `seedSignature`, without indexing it.
    static bool Accepts(std::span<const std::uint8_t> seedSignature);

    struct Progress {
        std::size_t consumed = 0;  // source-signature bytes taken
        std::size_t needs = 0;     // needs written to the output
        bool endOfOutput = false;
    };

    // Consumes a prefix of `input` and writes at most output.size() needs.
    // Call again with the unconsumed rest, or more input, until endOfOutput.
    // Failed for a malformed source signature or chunk parameters other than
    // the seed's; every later call fails too.
    Result Process(bool endOfInput, std::span<const std::uint8_t> input, std::span<Need> output,
                   Progress& progress);

  private:
    struct SeedChunk {
        std::uint64_t offset;
        std::uint32_t length;
        ChunkHash hash;
    };

    Comparator() = default;
    bool Load(std::span<const std::uint8_t> seed);
    std::size_t TakeInto(std::span<const std::uint8_t> input, std::size_t size);
    std::optional<std::size_t> FindSeed(const ChunkRecord& record) const;
    Result Fail();

    std::optional<ChunkParameters> seedParameters_;
    ChunkParameters sourceParameters_;
    std::vector<SeedChunk> chunks_;
    // Seed chunk numbers ordered by hash, then by number: a lookup costs
    // log n comparisons whatever hashes a peer chose, and the first of equal
    // hashes is the earliest chunk.
    std::vector<std::uint32_t> index_;

    bool headerDone_ = false;
    bool finished_ = false;
    bool failed_ = false;
    std::vector<std::uint8_t> carry_;  // a header or record cut by the end of an input piece
    std::uint64_t targetOffset_ = 0;
    std::optional<Need> pending_;  // the need still growing by merges
    std::size_t nextSeed_ = 0;
};

}  // namespace DIFFLIB
