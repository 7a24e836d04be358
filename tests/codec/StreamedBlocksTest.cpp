// What streamed uploads rest on: single LZMS blocks (raw when LZMS does not
// help, damage detected) and a patch applied from pieces of any size.
#include <gtest/gtest.h>

#include <string>

#include "RandomBytes.h"
#include "codec/DiffLib.h"
#include "codec/LzmsBlock.h"
#include "codec/LzmsCoder.h"
#include "codec/PatchApplier.h"

namespace {

using namespace DIFFLIB;
using codectest::RandomBytes;

std::vector<std::uint8_t> Text(std::size_t lines) {
    std::string text;
    for (std::size_t i = 0; i < lines; ++i)
        text += "line " + std::to_string(i) + " of the sample, value " +
                std::to_string(i * 7919 % 1000) + "\n";
    return {text.begin(), text.end()};
}

// Where the system has no LZMS coder (Wine has no Compression API) a block
// is never compressed, so it travels raw, and the rest is not testable.
#define SKIP_WITHOUT_LZMS_CODER()                                                      \
    if (!LzmsCoderAvailable()) {                                                       \
        std::vector<std::uint8_t> packed;                                              \
        EXPECT_EQ(LzmsBlockCompressor().Compress(Text(1000), packed), Result::Failed); \
        GTEST_SKIP() << "no LZMS coder on this system: every block travels raw";       \
    }

TEST(LzmsBlock, CompressibleBlocksShrinkAndComeBackNoiseStaysRaw) {
    SKIP_WITHOUT_LZMS_CODER();
    LzmsBlockCompressor compressor;
    LzmsBlockDecompressor decompressor;
    const auto text = Text(20000);
    std::vector<std::uint8_t> packed;
    // Every search effort writes LZMS that the one decompressor reads.
    for (const auto effort : {LzmsEffort::Fast, LzmsEffort::Medium, LzmsEffort::Thorough}) {
        ASSERT_EQ(LzmsBlockCompressor(effort).Compress(text, packed), Result::Ok);
        EXPECT_LT(packed.size(), text.size() / 4);
        std::vector<std::uint8_t> back(text.size());
        ASSERT_EQ(decompressor.Decompress(packed, back), Result::Ok);
        EXPECT_EQ(back, text);
    }

    // Noise does not shrink: the caller sends it raw, which decodes as a copy.
    const auto noise = RandomBytes(300000, 5);
    EXPECT_EQ(compressor.Compress(noise, packed), Result::Failed);
    EXPECT_TRUE(packed.empty());
    std::vector<std::uint8_t> copy(noise.size());
    ASSERT_EQ(decompressor.Decompress(noise, copy), Result::Ok);
    EXPECT_EQ(copy, noise);

    // A larger block after a smaller one still compresses with the same object.
    const auto more = Text(60000);
    ASSERT_EQ(compressor.Compress(more, packed), Result::Ok);
    std::vector<std::uint8_t> moreBack(more.size());
    ASSERT_EQ(decompressor.Decompress(packed, moreBack), Result::Ok);
    EXPECT_EQ(moreBack, more);
}

TEST(LzmsBlock, DamageAndImpossibleSizesAreRefused) {
    SKIP_WITHOUT_LZMS_CODER();
    LzmsBlockCompressor compressor;
    LzmsBlockDecompressor decompressor;
    const auto text = Text(5000);
    std::vector<std::uint8_t> packed;
    ASSERT_EQ(compressor.Compress(text, packed), Result::Ok);
    std::vector<std::uint8_t> out(text.size());
    // A stored form longer than the block, an empty one, a block above the
    // limit, and a truncated LZMS stream.
    std::vector<std::uint8_t> longer(text.size() + 1, 1);
    EXPECT_EQ(decompressor.Decompress(longer, out), Result::Failed);
    EXPECT_EQ(decompressor.Decompress({}, out), Result::Failed);
    std::vector<std::uint8_t> huge(kLzmsMaxBlock + 1);
    EXPECT_EQ(decompressor.Decompress(packed, huge), Result::Failed);
    const std::vector<std::uint8_t> cut(packed.begin(), packed.begin() + packed.size() / 2);
    // Either the decompressor notices, or what it made is not the block.
    if (decompressor.Decompress(cut, out) == Result::Ok) {
        EXPECT_NE(out, text);
    }
    // Mixed with a good block afterwards, the object still works.
    ASSERT_EQ(decompressor.Decompress(packed, out), Result::Ok);
    EXPECT_EQ(out, text);
    EXPECT_EQ(compressor.Compress({}, packed), Result::Failed);
}

// A writer that collects what the applier writes.
struct Collect final : DiffWriter {
    std::vector<std::uint8_t> bytes;
    Result Write(std::span<const std::uint8_t> data) override {
        bytes.insert(bytes.end(), data.begin(), data.end());
        return Result::Ok;
    }
};

std::vector<std::uint8_t> MakePatch(std::span<const std::uint8_t> oldFile,
                                    std::span<const std::uint8_t> newFile) {
    DiffLibrary library;
    MemoryDiffWriter seed, source, patch;
    EXPECT_EQ(library.GenerateSignature(MemoryReader(oldFile), seed), Result::Ok);
    EXPECT_EQ(library.GenerateSignature(MemoryReader(newFile), source), Result::Ok);
    const MemoryReader newReader(newFile);
    EXPECT_EQ(library.CompareSignatures(MemoryReader(seed.Data()), MemoryReader(source.Data()),
                                        &newReader, patch),
              Result::Ok);
    return patch.Take();
}

TEST(PatchApplier, PiecesOfEverySizeRebuildTheNewFile) {
    auto oldFile = RandomBytes(200000, 1);
    auto newFile = oldFile;
    // An insertion, a changed stretch and a cut: seed and source records both.
    const auto inserted = RandomBytes(5000, 2);
    newFile.insert(newFile.begin() + 70000, inserted.begin(), inserted.end());
    for (std::size_t i = 120000; i < 121000; ++i)
        newFile[i] ^= 0x5a;
    newFile.resize(180000);
    const auto patch = MakePatch(oldFile, newFile);
    ASSERT_FALSE(patch.empty());
    const MemoryReader oldReader(oldFile);
    // Piece sizes that cut record headers and source bytes everywhere.
    for (const std::size_t piece :
         {std::size_t{1}, std::size_t{7}, std::size_t{23}, std::size_t{24}, std::size_t{25},
          std::size_t{4096}, patch.size()}) {
        Collect out;
        PatchApplier applier(oldReader, out);
        for (std::size_t at = 0; at < patch.size(); at += piece)
            ASSERT_EQ(
                applier.Feed(std::span(patch).subspan(at, std::min(piece, patch.size() - at))),
                Result::Ok)
                << piece;
        ASSERT_EQ(applier.Finish(), Result::Ok) << piece;
        EXPECT_EQ(out.bytes, newFile) << piece;
        EXPECT_EQ(applier.Written(), newFile.size());
    }
}

TEST(PatchApplier, HostilePatchesFailAndStayFailed) {
    const auto oldFile = RandomBytes(1000, 3);
    const MemoryReader oldReader(oldFile);
    auto record = [](std::uint32_t type, std::uint64_t offset, std::uint64_t length) {
        std::vector<std::uint8_t> bytes(kNeedRecordSize);
        EncodeNeedRecord(Need{static_cast<NeedType>(type), offset, length},
                         std::span<std::uint8_t, kNeedRecordSize>(bytes.data(), kNeedRecordSize));
        return bytes;
    };
    {
        Collect out;  // a seed range past the old file's end
        PatchApplier applier(oldReader, out);
        EXPECT_EQ(applier.Feed(record(2, 900, 200)), Result::Failed);
        EXPECT_EQ(applier.Feed(record(2, 0, 10)), Result::Failed) << "failed stays failed";
        EXPECT_TRUE(out.bytes.empty());
    }
    {
        Collect out;  // an unknown type
        PatchApplier applier(oldReader, out);
        EXPECT_EQ(applier.Feed(record(1, 0, 10)), Result::Failed);
    }
    {
        Collect out;  // a length of 4 GiB, which no record may have
        PatchApplier applier(oldReader, out);
        EXPECT_EQ(applier.Feed(record(0, 0, std::uint64_t{1} << 32)), Result::Failed);
    }
    {
        Collect out;  // ends inside a record header, then inside source bytes
        PatchApplier cutHeader(oldReader, out);
        const auto bytes = record(2, 0, 10);
        ASSERT_EQ(cutHeader.Feed(std::span(bytes).first(10)), Result::Ok);
        EXPECT_EQ(cutHeader.Finish(), Result::Failed);
        PatchApplier cutSource(oldReader, out);
        ASSERT_EQ(cutSource.Feed(record(0, 0, 100)), Result::Ok);
        ASSERT_EQ(cutSource.Feed(std::vector<std::uint8_t>(40, 1)), Result::Ok);
        EXPECT_EQ(cutSource.Finish(), Result::Failed);
    }
    {
        Collect out;  // an empty patch is an empty file
        PatchApplier applier(oldReader, out);
        EXPECT_EQ(applier.Finish(), Result::Ok);
        EXPECT_TRUE(out.bytes.empty());
    }
}

}  // namespace
