// The whole-file hash taken on the way: whatever pieces it is fed in, it is
// the one hash of the whole file, as the hash library itself makes it.
#include <gtest/gtest.h>
#include <xxhash.h>

#include "RandomBytes.h"
#include "codec/FileHash.h"

namespace {

using namespace DIFFLIB;
using codectest::RandomBytes;

// Straight from the hash library, in the canonical order.
FileDigest Expected(std::span<const std::uint8_t> bytes) {
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits(bytes.data(), bytes.size()));
    FileDigest digest;
    std::copy_n(canonical.digest, digest.size(), digest.begin());
    return digest;
}

TEST(FileHash, PiecesOfAnySizeGiveTheHashOfTheWhole) {
    const auto data = RandomBytes(300001, 7);
    FileHash hash;
    for (std::size_t at = 0, piece = 1; at < data.size(); at += piece, piece = piece * 3 + 1)
        hash.Update(std::span(data).subspan(at, std::min(piece, data.size() - at)));
    EXPECT_EQ(hash.Digest(), Expected(data));
    EXPECT_EQ(FileHash().Digest(), Expected({}));
}

}  // namespace
