#pragma once
// A whole file's signature made on several threads, byte for byte the one
// the generator makes in a single pass. Each thread chunks one segment of the
// file as if a chunk began at its start; the segments are then joined in
// order: from the last true boundary the chunking goes on alone, one chunk at
// a time, until it reaches a boundary the next segment found too (content
// chunking falls back into step within a few chunks), and from there the
// segment's chunks are the true ones. Data that never falls into step
// (long runs of one byte) is chunked alone, correct but on one core. Runs on
// the caller's thread with helpers it joins before returning.
#include <cstdint>

#include "codec/Chunker.h"
#include "codec/DiffWriter.h"
#include "codec/Reader.h"
#include "codec/Result.h"

namespace DIFFLIB {

struct SegmentedSigningOptions {
    unsigned threads = 0;                               // 0: one per core, at most 8
    std::uint64_t minSegment = std::uint64_t{8} << 20;  // smaller files use fewer threads
    ChunkParameters parameters;
};

// Appends the signature of the file's first Size() bytes, read in large
// pieces. Failed when a read comes up short or the writer fails.
Result SignInSegments(const Reader& file, DiffWriter& writer,
                      const SegmentedSigningOptions& options = {});

}  // namespace DIFFLIB
