// The whole-file hash taken on the way: whatever pieces it is fed in, and
// whatever reads the signing makes, it is the one hash of the whole file.
#include <gtest/gtest.h>
#include <xxhash.h>

#include "RandomBytes.h"
#include "codec/DiffLib.h"
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

TEST(FileHash, ReaderTakesItFromTheSigningReadsAndFillsWhatTheyLeftOut) {
    const auto data = RandomBytes(250000, 9);
    const MemoryReader memory(data);
    {
        // Signing reads the file in order, repeating what a chunk left over.
        const HashingReader reader(memory);
        MemoryDiffWriter signature;
        ASSERT_EQ(DiffLibrary().GenerateSignature(reader, signature), Result::Ok);
        EXPECT_EQ(reader.Digest(), Expected(data));
    }
    {
        // Reads with a gap, and none at all past the middle.
        const HashingReader reader(memory);
        std::vector<std::uint8_t> piece(1000);
        ASSERT_TRUE(ReadExactly(reader, 0, piece));
        ASSERT_TRUE(ReadExactly(reader, 500, piece));
        ASSERT_TRUE(ReadExactly(reader, 5000, piece));
        ASSERT_TRUE(ReadExactly(reader, 1500, piece));
        EXPECT_EQ(reader.Digest(), Expected(data));
    }
    auto changed = data;
    changed[200000] ^= 1;
    EXPECT_NE(HashingReader(MemoryReader(changed)).Digest(), Expected(data));
}

}  // namespace
