#pragma once
// DIFFLIB, the codec: the differential transfer engine and LZMS framing.
// A receiver signs its old file (the seed), the sender compares that
// signature with the signature of its new file (the source) and writes a
// patch, the receiver rebuilds the new file from its old file and the patch.
// Patches and whole files travel LZMS-compressed.
//
// The module owns content-defined chunking (Chunker.h), the signature format
// and generator (Signature.h), a whole file's signature made on several
// threads (SegmentedSigning.h), a rebuilt file's signature worked out from
// its patch (RebuiltSignature.h), the comparator (Comparator.h), need records,
// patches and their application (Patch.h, and PatchApplier.h for a patch that
// arrives in pieces), the readers and the writers (Reader.h, DiffWriter.h,
// MemoryDiffWriter.h), the compressed frame (Lzms.h), single compressed
// blocks for uploads sent block by block (LzmsBlock.h) and the whole-file
// hash that verifies a deployed file (FileHash.h). It has no
// shared state: every operation runs on the caller's thread with objects of
// its own (LZMS and segmented signing alone spread work over helper threads
// they join before returning). Failures are a Result (Result.h), which callers map once to
// their own vocabulary.
#include <cstdint>
#include <vector>

#include "codec/MemoryDiffWriter.h"
#include "codec/Patch.h"
#include "codec/Reader.h"
#include "codec/Result.h"

namespace DIFFLIB {

inline constexpr std::uint32_t kReadChunkSize = 10000;  // file and signature reads
inline constexpr std::uint32_t kGeneratorOutputSize = 10000;
inline constexpr std::uint32_t kNeedsPerCall = 16384;

// The engine object callers create per run; it holds no more than the
// result of its last comparison.
class DiffLibrary {
  public:
    // Result of the last comparison (Ok before the first).
    Result LastResult() const { return lastResult_; }

    // Appends the signature of `file`: read in pieces of kReadChunkSize, at
    // most kGeneratorOutputSize signature bytes written per generator call.
    // Failed when a read comes up short (the file changed under us).
    Result GenerateSignature(const Reader& file, DiffWriter& writer);

    // Appends the needs that rebuild the source from the seed, in target
    // order; with `sourceFile` each source record is followed by its bytes.
    // An empty source signature writes nothing (Ok). Failed for a malformed
    // signature, signatures of different chunk parameters, or a failed read
    // or write.
    Result CompareSignatures(const Reader& seedSignature, const Reader& sourceSignature,
                             const Reader* sourceFile, DiffWriter& writer);

    // Appends the file rebuilt from `oldFile` and `patch` (see Patch.h).
    Result ApplyPatch(const Reader& oldFile, const Reader& patch, DiffWriter& writer);

    // Replace the bytes with their compressed / decompressed form; an empty
    // vector stays empty. On failure (corrupt input included, or a frame
    // that declares more than maxSize) the vector is untouched.
    static Result CompressBuffer(std::vector<std::uint8_t>& buffer);
    static Result DecompressBuffer(std::vector<std::uint8_t>& buffer,
                                   std::uint64_t maxSize = UINT64_MAX);

  private:
    Result lastResult_ = Result::Ok;
};

}  // namespace DIFFLIB
