// The signature of a rebuilt file worked out from the old signature and the
// patch must be the one signing the rebuilt file gives, or none at all.
#include "codec/RebuiltSignature.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "RandomBytes.h"
#include "codec/Chunker.h"
#include "codec/DiffLib.h"
#include "codec/MemoryDiffWriter.h"
#include "codec/Signature.h"

namespace {

using namespace DIFFLIB;
using codectest::RandomBytes;
using Bytes = std::vector<std::uint8_t>;

Bytes Sign(const Bytes& data) {
    DiffLibrary library;
    MemoryDiffWriter out;
    EXPECT_EQ(library.GenerateSignature(MemoryReader(data), out), Result::Ok);
    return out.Take();
}

Bytes PatchFor(const Bytes& oldSignature, const Bytes& changed) {
    DiffLibrary library;
    MemoryDiffWriter patch;
    const Bytes source = Sign(changed);
    const MemoryReader changedReader(changed);
    EXPECT_EQ(library.CompareSignatures(MemoryReader(oldSignature), MemoryReader(source),
                                        &changedReader, patch),
              Result::Ok);
    return patch.Take();
}

// Feeds `patch` in pieces of `piece` bytes.
std::optional<Bytes> Rebuild(const Bytes& oldSignature, const Bytes& patch, std::size_t piece,
                             std::size_t maxSize) {
    auto rebuilt = RebuiltSignature::Create(std::make_shared<const Bytes>(oldSignature), maxSize);
    EXPECT_TRUE(rebuilt.has_value());
    if (!rebuilt)
        return std::nullopt;
    for (std::size_t at = 0; at < patch.size(); at += piece)
        rebuilt->Feed(std::span(patch).subspan(at, std::min(piece, patch.size() - at)));
    return rebuilt->Finish();
}

std::optional<Bytes> Rebuild(const Bytes& oldSignature, const Bytes& patch, std::size_t piece) {
    return Rebuild(oldSignature, patch, piece, std::size_t{1} << 30);
}

Bytes Record(std::uint32_t type, std::uint64_t offset, std::uint64_t length) {
    Bytes record(kNeedRecordSize);
    EncodeNeedRecord({static_cast<NeedType>(type), offset, length},
                     std::span<std::uint8_t, kNeedRecordSize>(record.data(), kNeedRecordSize));
    return record;
}

TEST(RebuiltSignature, PatchesOfRealEditsGiveTheRebuiltFilesSignature) {
    const Bytes old = RandomBytes(600000, 11);
    const Bytes oldSignature = Sign(old);
    std::vector<Bytes> changes;
    Bytes edited = old;  // scattered edits and an insertion
    for (std::size_t at = 5000; at < edited.size(); at += 97001)
        edited[at] ^= 0x5a;
    const Bytes inserted = RandomBytes(4000, 12);
    edited.insert(edited.begin() + 300000, inserted.begin(), inserted.end());
    changes.push_back(edited);
    changes.push_back(Bytes(old.begin() + 100, old.end() - 5000));  // cut at both ends
    Bytes appended = old;
    appended.insert(appended.end(), inserted.begin(), inserted.end());
    changes.push_back(appended);
    changes.push_back(Bytes(old.begin() + 200000, old.begin() + 200500));  // one short chunk
    changes.push_back(Bytes(500000, 7));  // nothing in common, chunks as long as allowed
    for (std::size_t i = 0; i < changes.size(); ++i) {
        SCOPED_TRACE(i);
        const Bytes patch = PatchFor(oldSignature, changes[i]);
        for (const std::size_t piece : {std::size_t{7}, std::size_t{1} << 20}) {
            const auto rebuilt = Rebuild(oldSignature, patch, piece);
            ASSERT_TRUE(rebuilt.has_value());
            EXPECT_TRUE(*rebuilt == Sign(changes[i]));
        }
    }
    // An empty new file has an empty signature.
    EXPECT_EQ(Rebuild(oldSignature, {}, 1), Bytes{});
}

TEST(RebuiltSignature, RecordsOffChunkBoundariesGiveNone) {
    const Bytes old = RandomBytes(300000, 21);
    const Bytes oldSignature = Sign(old);
    const Bytes extra = RandomBytes(5000, 22);
    const auto patchOf = [&](std::initializer_list<Bytes> parts) {
        Bytes patch;
        for (const Bytes& part : parts)
            patch.insert(patch.end(), part.begin(), part.end());
        return patch;
    };
    // A seed that starts inside an old chunk, and one that ends inside one.
    EXPECT_FALSE(Rebuild(oldSignature, Record(2, 1, 10000), 64).has_value());
    EXPECT_FALSE(Rebuild(oldSignature, Record(2, 0, 10), 64).has_value());
    // Source bytes that the chunker does not end, followed by more.
    EXPECT_FALSE(Rebuild(oldSignature,
                         patchOf({Record(0, 0, 10), Bytes(10, 1), Record(0, 10, 5), Bytes(5, 2)}),
                         64)
                     .has_value());
    // The old file's last chunk with something after it.
    EXPECT_FALSE(
        Rebuild(oldSignature,
                patchOf({Record(2, 0, old.size()), Record(0, old.size(), extra.size()), extra}), 64)
            .has_value());
    // The old file named over and over: the new signature would pass its
    // bound, so it is given up.
    const auto lengths = ChunkLengths(old);
    ASSERT_GT(lengths.size(), 40u);
    const std::uint64_t run =
        std::accumulate(lengths.begin(), lengths.begin() + 40, std::uint64_t{0});
    Bytes repeated;
    for (int i = 0; i < 50; ++i) {
        const Bytes record = Record(2, 0, run);
        repeated.insert(repeated.end(), record.begin(), record.end());
    }
    const std::size_t tenRuns = kSignatureHeaderSize + 10 * 40 * kSignatureRecordSize;
    EXPECT_TRUE(Rebuild(oldSignature, repeated, 24).has_value());
    EXPECT_FALSE(Rebuild(oldSignature, repeated, 24, tenRuns).has_value());
    // A patch cut inside a record or its source bytes.
    EXPECT_FALSE(Rebuild(oldSignature, Bytes(10, 0), 64).has_value());
    EXPECT_FALSE(Rebuild(oldSignature, patchOf({Record(0, 0, 100), Bytes(50, 1)}), 64).has_value());
}

}  // namespace
