// Signatures, needs lists, patches and compressed frames are stored and
// exchanged with peers, so their bytes for fixed input must never change.
#include <gtest/gtest.h>

#include <random>

#include "RandomBytes.h"
#include "codec/DiffLib.h"
#include "codec/Lzms.h"

namespace {

using namespace DIFFLIB;
using codectest::RandomBytes;

std::uint64_t Fnv1a(std::span<const std::uint8_t> bytes) {
    std::uint64_t hash = 0xCBF29CE484222325ull;
    for (std::uint8_t b : bytes)
        hash = (hash ^ b) * 0x100000001B3ull;
    return hash;
}

std::vector<std::uint8_t> FromHex(std::string_view hex) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(
            static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return bytes;
}

std::vector<std::uint8_t> Sign(DiffLibrary& library, std::span<const std::uint8_t> data) {
    const MemoryReader reader(data);
    MemoryDiffWriter writer;
    EXPECT_EQ(library.GenerateSignature(reader, writer), Result::Ok);
    return writer.Take();
}

std::vector<std::uint8_t> Compare(DiffLibrary& library, std::span<const std::uint8_t> seed,
                                  std::span<const std::uint8_t> source,
                                  std::span<const std::uint8_t> newFile, bool inlineBytes) {
    const MemoryReader seedReader(seed);
    const MemoryReader sourceReader(source);
    const MemoryReader fileReader(newFile);
    MemoryDiffWriter writer;
    EXPECT_EQ(library.CompareSignatures(seedReader, sourceReader,
                                        inlineBytes ? &fileReader : nullptr, writer),
              Result::Ok);
    return writer.Take();
}

TEST(StableBytes, SignaturesNeedsAndPatchesOfFixedInput) {
    DiffLibrary library;
    const auto old = RandomBytes(60000, 77);
    auto now = old;
    now.insert(now.begin() + 20000, {1, 2, 3, 4, 5});
    now.erase(now.begin() + 40000, now.begin() + 40100);

    const auto seed = Sign(library, old);
    const auto source = Sign(library, now);
    ASSERT_EQ(seed.size(), 424u);
    // Magic and version, chunk parameters, then the first record.
    EXPECT_EQ(std::vector(seed.begin(), seed.begin() + 48),
              FromHex("5652444353494701000400000b00000000800000000000"
                      "00c40d000055bf8880648f21f1bbacf1351391c9eed60a0000"));
    EXPECT_EQ(Fnv1a(seed), 0x1d55c3e5927a59b1ull);
    EXPECT_EQ(source.size(), 424u);
    EXPECT_EQ(Fnv1a(source), 0x3074dbc9a2d8ba4eull);

    // Records: type, 4 zero bytes, offset, length.
    EXPECT_EQ(Compare(library, seed, source, now, false),
              FromHex("020000000000000000000000000000009445000000000000"
                      "000000000000000094450000000000001615000000000000"
                      "0200000000000000a55a000000000000ec3b000000000000"
                      "000000000000000096960000000000000b15000000000000"
                      "020000000000000000ac000000000000603e000000000000"));
    const auto patch = Compare(library, seed, source, now, true);
    EXPECT_EQ(patch.size(), 10905u);
    EXPECT_EQ(Fnv1a(patch), 0xfb602c28e2b81486ull);
}

TEST(StableBytes, CompressedFrames) {
    // Noise is stored raw, so the whole frame is ours and fixed.
    std::vector<std::uint8_t> frame;
    ASSERT_EQ(LzmsCompress(RandomBytes(3000, 78), frame), Result::Ok);
    ASSERT_EQ(frame.size(), 3032u);
    EXPECT_EQ(std::vector(frame.begin(), frame.begin() + 32),
              FromHex("564c5a4d53000001b80b000000000000b80b000001000000b80b0000b80b0000"));
    EXPECT_EQ(Fnv1a(frame), 0xc75b6c1afe38af05ull);

    // A compressible input: the header still says size, block size and count.
    const std::vector<std::uint8_t> zeros(5u << 20, 0);
    ASSERT_EQ(LzmsCompress(zeros, frame), Result::Ok);
    EXPECT_EQ(std::vector(frame.begin(), frame.begin() + 24),
              FromHex("564c5a4d5300000100005000000000000000400002000000"));
}

}  // namespace
