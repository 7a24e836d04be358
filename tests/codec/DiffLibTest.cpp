// DIFFLIB: signatures, needs lists and patches over memory and file readers,
// hostile patches, and the compressed-buffer round trip.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <string>

#include "RandomBytes.h"
#include "codec/Chunker.h"
#include "codec/DiffLib.h"
#include "codec/Signature.h"

namespace {

using namespace DIFFLIB;
using codectest::RandomBytes;

std::vector<std::uint8_t> Signature(DiffLibrary& library, std::span<const std::uint8_t> data) {
    MemoryReader reader(data);
    MemoryDiffWriter writer;
    EXPECT_EQ(library.GenerateSignature(reader, writer), Result::Ok);
    return writer.Take();
}

struct Patch {
    std::vector<std::uint8_t> bytes;
    Result result;
};

Patch MakePatch(DiffLibrary& library, std::span<const std::uint8_t> oldFile,
                std::span<const std::uint8_t> newFile, bool withSource = true) {
    const auto seed = Signature(library, oldFile);
    const auto source = Signature(library, newFile);
    MemoryReader seedReader(seed);
    MemoryReader sourceReader(source);
    MemoryReader newReader(newFile);
    MemoryDiffWriter writer;
    const Result result = library.CompareSignatures(seedReader, sourceReader,
                                                    withSource ? &newReader : nullptr, writer);
    return Patch{writer.Take(), result};
}

std::vector<std::uint8_t> Apply(DiffLibrary& library, std::span<const std::uint8_t> oldFile,
                                std::span<const std::uint8_t> patch, Result expected = Result::Ok) {
    MemoryReader oldReader(oldFile);
    MemoryReader patchReader(patch);
    MemoryDiffWriter writer;
    EXPECT_EQ(library.ApplyPatch(oldReader, patchReader, writer), expected);
    return writer.Take();
}

// Bytes of the patch that are not need records.
std::size_t InlineBytes(std::span<const std::uint8_t> patch) {
    std::size_t inlineBytes = 0;
    for (std::size_t at = 0; at < patch.size();) {
        const Need need = DecodeNeedRecord(patch.subspan(at).first<kNeedRecordSize>());
        at += kNeedRecordSize;
        if (need.type == NeedType::Source) {
            at += need.length;
            inlineBytes += need.length;
        }
    }
    return inlineBytes;
}

void ExpectRoundTrip(DiffLibrary& library, const std::vector<std::uint8_t>& oldFile,
                     const std::vector<std::uint8_t>& newFile, const char* what) {
    const Patch patch = MakePatch(library, oldFile, newFile);
    ASSERT_EQ(patch.result, Result::Ok) << what;
    EXPECT_EQ(Apply(library, oldFile, patch.bytes), newFile) << what;
}

TEST(DiffLib, RoundTripsEdgeSizesAndShapes) {
    DiffLibrary library;
    const auto random = RandomBytes(300000, 1);
    const std::vector<std::uint8_t> repetitive(250000, 'a');
    std::vector<std::uint8_t> text;
    const std::string line = "Local: C:\\a.exe to D:\\b.exe... Patch 1234 -> 99 bytes... Done\r\n";
    while (text.size() < 200000)
        text.insert(text.end(), line.begin(), line.end());
    const std::vector<std::uint8_t> empty;
    const auto tiny = RandomBytes(5, 2);
    const auto exact = RandomBytes(10000, 3);
    const auto exactPlusOne = RandomBytes(10001, 4);

    ExpectRoundTrip(library, empty, empty, "empty to empty");
    ExpectRoundTrip(library, empty, random, "empty to random");
    ExpectRoundTrip(library, random, empty, "random to empty");
    ExpectRoundTrip(library, tiny, exact, "tiny to 10000");
    ExpectRoundTrip(library, exact, exactPlusOne, "10000 to 10001");
    ExpectRoundTrip(library, exactPlusOne, exact, "10001 to 10000");
    ExpectRoundTrip(library, random, repetitive, "random to repetitive");
    ExpectRoundTrip(library, repetitive, text, "repetitive to text");
    ExpectRoundTrip(library, text, text, "text to itself");
}

TEST(DiffLib, RandomEditsRebuildTheNewFileExactly) {
    DiffLibrary library;
    std::mt19937 rng(42);
    auto current = RandomBytes(200000, 5);
    for (int round = 0; round < 40; ++round) {
        auto next = current;
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            const std::size_t at = next.empty() ? 0 : rng() % next.size();
            const std::size_t length = 1 + rng() % 20000;
            switch (rng() % 3) {
                case 0: {  // insert
                    const auto bytes = RandomBytes(length, static_cast<std::uint32_t>(rng()));
                    next.insert(next.begin() + at, bytes.begin(), bytes.end());
                    break;
                }
                case 1:  // delete
                    next.erase(next.begin() + at,
                               next.begin() + std::min(next.size(), at + length));
                    break;
                default:  // overwrite
                    for (std::size_t i = at; i < std::min(next.size(), at + length); ++i)
                        next[i] = static_cast<std::uint8_t>(rng());
            }
        }
        const Patch patch = MakePatch(library, current, next);
        ASSERT_EQ(patch.result, Result::Ok) << "round " << round;
        ASSERT_EQ(Apply(library, current, patch.bytes), next) << "round " << round;
        current = std::move(next);
    }
}

TEST(DiffLib, SmallEditsInLargeFilesGiveSmallPatches) {
    DiffLibrary library;
    const auto old = RandomBytes(4 << 20, 6);

    auto inserted = old;
    const auto insertion = RandomBytes(100, 7);
    inserted.insert(inserted.begin() + 5000, insertion.begin(), insertion.end());
    Patch patch = MakePatch(library, old, inserted);
    ASSERT_EQ(patch.result, Result::Ok);
    EXPECT_LT(InlineBytes(patch.bytes), 40000u);
    EXPECT_LT(patch.bytes.size(), 40000u);
    EXPECT_EQ(Apply(library, old, patch.bytes), inserted);

    auto deleted = old;
    deleted.erase(deleted.begin() + 2000000, deleted.begin() + 2000777);
    patch = MakePatch(library, old, deleted);
    EXPECT_LT(InlineBytes(patch.bytes), 40000u);
    EXPECT_EQ(Apply(library, old, patch.bytes), deleted);

    // Identical files: seed records only, merged into one.
    patch = MakePatch(library, old, old);
    ASSERT_EQ(patch.result, Result::Ok);
    ASSERT_EQ(patch.bytes.size(), kNeedRecordSize);
    const Need need = DecodeNeedRecord(std::span(patch.bytes).first<kNeedRecordSize>());
    EXPECT_EQ(need, (Need{NeedType::Seed, 0, old.size()}));
}

TEST(DiffLib, NeedsListWithoutSourceReaderHoldsRecordsOnly) {
    DiffLibrary library;
    const auto old = RandomBytes(100000, 8);
    auto now = old;
    now[50000] ^= 0xFF;
    const Patch records = MakePatch(library, old, now, false);
    ASSERT_EQ(records.result, Result::Ok);
    std::vector<Need> needs;
    ASSERT_TRUE(ParseNeedsList(records.bytes, needs));
    ASSERT_EQ(needs.size(), 3u);
    EXPECT_EQ(needs[0].type, NeedType::Seed);
    EXPECT_EQ(needs[1].type, NeedType::Source);
    EXPECT_EQ(needs[2].type, NeedType::Seed);
    EXPECT_LE(needs[1].offset, 50000u);
    EXPECT_GT(needs[1].offset + needs[1].length, 50000u);
    std::uint64_t total = 0;
    for (const auto& need : needs)
        total += need.length;
    EXPECT_EQ(total, now.size());

    // The same list with source bytes is the patch: records plus the block.
    const Patch full = MakePatch(library, old, now, true);
    EXPECT_EQ(full.bytes.size(), records.bytes.size() + needs[1].length);

    // An empty source signature writes nothing.
    const Patch nothing = MakePatch(library, old, {}, false);
    EXPECT_EQ(nothing.result, Result::Ok);
    EXPECT_TRUE(nothing.bytes.empty());
    EXPECT_FALSE(ParseNeedsList(std::vector<std::uint8_t>(25), needs));
}

TEST(DiffLib, SeedNeedsInARowMergeOnlyWhenContiguousInTheSeed) {
    DiffLibrary library;
    const auto old = RandomBytes(60000, 12);
    const auto lengths = ChunkLengths(old);
    ASSERT_GE(lengths.size(), 4u);
    const std::size_t a = lengths[0];
    const std::size_t ab = a + lengths[1];
    const std::size_t abc = ab + lengths[2];
    // Chunks B, C, A, then the rest: B and C stay neighbours, A comes from
    // before them, and the rest continues after C, not after A.
    std::vector<std::uint8_t> now(old.begin() + a, old.begin() + abc);
    now.insert(now.end(), old.begin(), old.begin() + a);
    now.insert(now.end(), old.begin() + abc, old.end());

    const Patch records = MakePatch(library, old, now, false);
    ASSERT_EQ(records.result, Result::Ok);
    std::vector<Need> needs;
    ASSERT_TRUE(ParseNeedsList(records.bytes, needs));
    const std::vector<Need> expected{{NeedType::Seed, a, abc - a},
                                     {NeedType::Seed, 0, a},
                                     {NeedType::Seed, abc, old.size() - abc}};
    EXPECT_EQ(needs, expected);
    EXPECT_EQ(Apply(library, old, MakePatch(library, old, now).bytes), now);
    EXPECT_EQ(Apply(library, old, records.bytes), now);  // seed records need no bytes
}

std::vector<std::uint8_t> Record(std::uint32_t type, std::uint64_t offset, std::uint64_t length) {
    std::vector<std::uint8_t> bytes(kNeedRecordSize);
    EncodeNeedRecord(Need{static_cast<NeedType>(type), offset, length},
                     std::span<std::uint8_t, kNeedRecordSize>(bytes.data(), kNeedRecordSize));
    return bytes;
}

TEST(DiffLib, HostilePatchesFailWithoutReadingOutside) {
    DiffLibrary library;
    const auto old = RandomBytes(1000, 9);
    auto join = [](std::initializer_list<std::vector<std::uint8_t>> parts) {
        std::vector<std::uint8_t> all;
        for (const auto& p : parts)
            all.insert(all.end(), p.begin(), p.end());
        return all;
    };
    // A valid patch to start from: 10 seed bytes then 3 inline bytes.
    const auto good = join({Record(2, 990, 10), Record(0, 10, 3), {7, 8, 9}});
    auto rebuilt = Apply(library, old, good);
    ASSERT_EQ(rebuilt.size(), 13u);
    EXPECT_TRUE(std::equal(old.begin() + 990, old.end(), rebuilt.begin()));
    EXPECT_EQ(rebuilt[12], 9);

    Apply(library, old, Record(2, 991, 10), Result::Failed);                    // seed past the end
    Apply(library, old, Record(2, UINT64_MAX - 4, 10), Result::Failed);         // offset overflow
    Apply(library, old, Record(2, 0, std::uint64_t{1} << 32), Result::Failed);  // 4 GiB
    Apply(library, old, join({Record(0, 0, 4), {1, 2, 3}}), Result::Failed);  // short source block
    Apply(library, old, join({Record(0, 0, UINT64_MAX), {1}}), Result::Failed);
    Apply(library, old, Record(1, 0, 1), Result::Failed);  // unknown type
    Apply(library, old, Record(7, 0, 1), Result::Failed);
    Apply(library, old, {good.begin(), good.begin() + 30}, Result::Failed);  // truncated record
    EXPECT_TRUE(Apply(library, old, {}).empty());  // empty patch, empty file
}

TEST(DiffLib, MalformedSignaturesFailTheComparison) {
    DiffLibrary library;
    const auto data = RandomBytes(30000, 10);
    auto signature = Signature(library, data);
    const std::vector<std::uint8_t> junk{'n', 'o', 't', ' ', 'a', ' ', 's', 'i', 'g'};
    MemoryReader junkReader(junk);
    MemoryReader goodReader(signature);
    MemoryDiffWriter writer;
    EXPECT_EQ(library.CompareSignatures(junkReader, goodReader, nullptr, writer), Result::Failed);
    EXPECT_EQ(library.LastResult(), Result::Failed);
    EXPECT_EQ(library.CompareSignatures(goodReader, junkReader, nullptr, writer), Result::Failed);
    EXPECT_EQ(library.LastResult(), Result::Failed);
    EXPECT_EQ(library.CompareSignatures(goodReader, goodReader, nullptr, writer), Result::Ok);
    EXPECT_EQ(library.LastResult(), Result::Ok);
}

// Chunk hashes a peer can pick freely: all of them equal under a plain mix
// of their two halves, which an index must not turn into quadratic work.
TEST(DiffLib, SeedsOfCollidingHashesCompareInBoundedTime) {
    constexpr std::uint64_t kRecords = 150000;
    constexpr std::uint32_t kLength = 1024;
    auto signatureOf = [](std::uint64_t first, std::uint64_t count, bool reversed) {
        std::vector<std::uint8_t> bytes(kSignatureHeaderSize + count * kSignatureRecordSize);
        EncodeSignatureHeader(ChunkParameters{}, std::span<std::uint8_t, kSignatureHeaderSize>(
                                                     bytes.data(), kSignatureHeaderSize));
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::uint64_t k = first + (reversed ? count - 1 - i : i);
            const ChunkRecord record{kLength, ChunkHash{(k * 0x9E3779B97F4A7C15ull) ^ 0x1234, k}};
            EncodeChunkRecord(record,
                              std::span<std::uint8_t, kSignatureRecordSize>(
                                  bytes.data() + kSignatureHeaderSize + i * kSignatureRecordSize,
                                  kSignatureRecordSize));
        }
        return bytes;
    };
    const auto seed = signatureOf(0, kRecords, false);
    // Every seed chunk in reverse order (no run to follow), then as many
    // colliding chunks the seed does not have.
    auto source = signatureOf(0, kRecords, true);
    const auto missing = signatureOf(kRecords, kRecords, false);
    source.insert(source.end(), missing.begin() + kSignatureHeaderSize, missing.end());

    DiffLibrary library;
    MemoryReader seedReader(seed);
    MemoryReader sourceReader(source);
    MemoryDiffWriter writer;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(library.CompareSignatures(seedReader, sourceReader, nullptr, writer), Result::Ok);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));

    std::vector<Need> needs;
    ASSERT_TRUE(ParseNeedsList(writer.Data(), needs));
    ASSERT_EQ(needs.size(), kRecords + 1);
    for (std::uint64_t i = 0; i < kRecords; ++i)
        ASSERT_EQ(needs[i], (Need{NeedType::Seed, (kRecords - 1 - i) * kLength, kLength})) << i;
    EXPECT_EQ(needs.back(), (Need{NeedType::Source, kRecords * kLength, kRecords * kLength}));
}

class TempFile {
  public:
    explicit TempFile(std::span<const std::uint8_t> content) {
        char name[] = "/tmp/difflibXXXXXX";
        fd_ = ::mkstemp(name);
        path_ = name;
        if (fd_ >= 0 && !content.empty()) {
            EXPECT_EQ(::write(fd_, content.data(), content.size()),
                      static_cast<ssize_t>(content.size()));
        }
    }
    ~TempFile() {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    int fd() const { return fd_; }

  private:
    int fd_ = -1;
    std::string path_;
};

TEST(DiffLib, FileReaderFollowsTheReadContract) {
    const auto data = RandomBytes(25000, 11);
    TempFile file(data);
    ASSERT_GE(file.fd(), 0);
    const FileReader reader(file.fd());
    EXPECT_EQ(reader.Size(), data.size());

    std::vector<std::uint8_t> buffer(10000);
    EXPECT_EQ(reader.Read(100, buffer), 10000u);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), data.begin() + 100));
    EXPECT_EQ(reader.Read(20000, buffer), 5000u);  // fewer left than asked
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 5000, data.begin() + 20000));
    EXPECT_EQ(reader.Read(25000, buffer), 0u);
    EXPECT_EQ(reader.Read(UINT64_MAX, buffer), 0u);
    EXPECT_FALSE(ReadExactly(reader, 20000, buffer));
    EXPECT_TRUE(ReadExactly(reader, 15000, buffer));

    // A signature over the file equals the one over the same bytes in memory.
    DiffLibrary library;
    MemoryDiffWriter fromFile;
    ASSERT_EQ(library.GenerateSignature(reader, fromFile), Result::Ok);
    EXPECT_EQ(std::vector<std::uint8_t>(fromFile.Data().begin(), fromFile.Data().end()),
              Signature(library, data));

    // The old file of a patch read through the descriptor.
    auto now = data;
    now[12345] ^= 0x55;
    const Patch patch = MakePatch(library, data, now);
    ASSERT_EQ(patch.result, Result::Ok);
    const MemoryReader patchReader(patch.bytes);
    MemoryDiffWriter rebuilt;
    ASSERT_EQ(library.ApplyPatch(reader, patchReader, rebuilt), Result::Ok);
    EXPECT_TRUE(std::equal(rebuilt.Data().begin(), rebuilt.Data().end(), now.begin(), now.end()));

    // An empty file signs to nothing.
    TempFile emptyFile({});
    const FileReader emptyReader(emptyFile.fd());
    MemoryDiffWriter emptySignature;
    EXPECT_EQ(library.GenerateSignature(emptyReader, emptySignature), Result::Ok);
    EXPECT_EQ(emptySignature.Size(), 0u);

    // A descriptor that is not open cannot be read.
    const FileReader closed(-1);
    EXPECT_EQ(closed.Size(), std::nullopt);
    EXPECT_EQ(closed.Read(0, buffer), std::nullopt);
    MemoryDiffWriter nothing;
    EXPECT_EQ(library.GenerateSignature(closed, nothing), Result::Failed);
}

TEST(DiffLib, MemoryReaderAndWriter) {
    const std::vector<std::uint8_t> data{1, 2, 3};
    MemoryDiffWriter writer;
    ASSERT_EQ(writer.Write(data), Result::Ok);
    ASSERT_EQ(writer.Write(data), Result::Ok);
    EXPECT_EQ(writer.Write(std::span<const std::uint8_t>()), Result::InvalidArgument);
    EXPECT_EQ(writer.Size(), 6u);

    const MemoryReader reader = writer.GetReader();
    EXPECT_EQ(reader.Size(), 6u);
    std::uint8_t bytes[4] = {};
    EXPECT_EQ(reader.Read(4, bytes), 2u);  // the rest only
    EXPECT_EQ(bytes[0], 2);
    EXPECT_EQ(bytes[1], 3);
    EXPECT_EQ(reader.Read(6, bytes), 0u);
    EXPECT_EQ(reader.Read(1, std::span(bytes, 0)), 0u);
    EXPECT_TRUE(ReadExactly(reader, 2, bytes));
    EXPECT_EQ(bytes[0], 3);
    EXPECT_EQ(bytes[3], 3);
    EXPECT_EQ(writer.Take().size(), 6u);
    EXPECT_EQ(writer.Size(), 0u);
}

TEST(DiffLib, CompressedBuffersRoundTripAndCorruptionIsReported) {
    std::vector<std::uint8_t> buffer;
    EXPECT_EQ(DiffLibrary::CompressBuffer(buffer), Result::Ok);
    EXPECT_TRUE(buffer.empty());

    std::vector<std::uint8_t> data;
    const std::string line = "needs in target order, seed and source\n";
    while (data.size() < 100000)
        data.insert(data.end(), line.begin(), line.end());
    buffer = data;
    ASSERT_EQ(DiffLibrary::CompressBuffer(buffer), Result::Ok);
    EXPECT_LT(buffer.size(), data.size() / 10);
    auto damaged = buffer;
    ASSERT_EQ(DiffLibrary::DecompressBuffer(buffer), Result::Ok);
    EXPECT_EQ(buffer, data);

    damaged.resize(damaged.size() - 2);
    const auto kept = damaged;
    EXPECT_EQ(DiffLibrary::DecompressBuffer(damaged), Result::Failed);
    EXPECT_EQ(damaged, kept);
    std::vector<std::uint8_t> plain(data.begin(), data.begin() + 100);
    EXPECT_EQ(DiffLibrary::DecompressBuffer(plain), Result::Failed);
}

}  // namespace
