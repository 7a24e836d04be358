#pragma once
// What one update run accepts from the service. Every reply is held in
// memory, so each is capped by what the files it describes can need, and no
// zip entry may inflate beyond what its file can need.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "codec/Chunker.h"
#include "codec/Signature.h"

namespace Zelt {

inline constexpr std::uint64_t kMiB = 1024 * 1024;

// The hash list: a few hundred bytes per file.
inline constexpr std::uint64_t kMaxHashListReply = 4 * kMiB;
inline constexpr std::uint64_t kMaxHashListText = 4 * kMiB;  // its XML entry
inline constexpr std::uint64_t kMaxRawHash = 64;             // one per-file entry
// Names one list may carry; more is no program's file set.
inline constexpr std::size_t kMaxListedFiles = 10000;
// The largest file an update fetches and rebuilds (the whole of it is held
// in memory, more than once).
inline constexpr std::uint64_t kMaxUpdateFile = 256 * kMiB;
// Absolute caps, whatever the lists say.
inline constexpr std::uint64_t kMaxSignatureReply = 64 * kMiB;
inline constexpr std::uint64_t kMaxPatchReply = 512 * kMiB;

// The longest signature a file of `size` bytes has with the parameters this
// program signs with: a header, then one record per chunk, every chunk but
// the last at least the minimum chunk size.
constexpr std::uint64_t SignatureBound(std::uint64_t size) {
    return DIFFLIB::kSignatureHeaderSize +
           DIFFLIB::kSignatureRecordSize * (size / DIFFLIB::ChunkParameters{}.minSize + 1);
}

// A zip archive of `entries` entries holding `content` bytes: incompressible
// content grows a little under Deflate, and each entry costs two headers
// with its name.
constexpr std::uint64_t ZipBound(std::uint64_t content, std::uint64_t entries) {
    return content + content / 256 + entries * 4096 + 64 * 1024;
}

}  // namespace Zelt
