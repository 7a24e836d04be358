// LZMS framing: round trips, block layout and rejection of damaged frames.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <random>
#include <string>

#include "codec/Lzms.h"
#include "support/Sanitizers.h"

namespace {

using namespace DIFFLIB;

std::vector<std::uint8_t> MixedBytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> bytes;
    bytes.reserve(size);
    const std::string text = "deploy the file, then patch it; the receiver rebuilds it. ";
    while (bytes.size() < size) {
        if (rng() % 2) {
            bytes.insert(bytes.end(), text.begin(), text.end());
        } else {
            for (int i = 0; i < 64; ++i)
                bytes.push_back(static_cast<std::uint8_t>(rng()));
        }
    }
    bytes.resize(size);
    return bytes;
}

constexpr std::uint32_t kSmallBlock = 16384;

TEST(Lzms, RoundTripsAnySize) {
    for (std::size_t size : {std::size_t{1}, std::size_t{2}, std::size_t{100}, std::size_t{16384},
                             std::size_t{16385}, std::size_t{16384 * 5 + 3}}) {
        const auto data = MixedBytes(size, static_cast<std::uint32_t>(size));
        std::vector<std::uint8_t> packed;
        ASSERT_EQ(LzmsCompress(data, packed, kSmallBlock), Result::Ok) << size;
        EXPECT_EQ(LzmsOriginalSize(packed), size);
        std::vector<std::uint8_t> unpacked;
        ASSERT_EQ(LzmsDecompress(packed, unpacked), Result::Ok) << size;
        EXPECT_EQ(unpacked, data) << size;
    }
    std::vector<std::uint8_t> out{1, 2, 3};
    ASSERT_EQ(LzmsCompress({}, out), Result::Ok);
    EXPECT_TRUE(out.empty());
    ASSERT_EQ(LzmsDecompress({}, out), Result::Ok);
    EXPECT_TRUE(out.empty());
    out = {1};
    EXPECT_EQ(LzmsCompress(MixedBytes(10, 1), out, 0), Result::InvalidArgument);
    EXPECT_EQ(out, std::vector<std::uint8_t>{1});
}

TEST(Lzms, FullSizeBlocksRoundTrip) {
    // A default-size block and a short one, of cheaply compressible text.
    std::vector<std::uint8_t> data;
    const std::string line = "block after block the same words return\n";
    while (data.size() < std::size_t{kLzmsBlockSize} + 10)
        data.insert(data.end(), line.begin(), line.end());
    data[12345] = 0;
    std::vector<std::uint8_t> packed;
    ASSERT_EQ(LzmsCompress(data, packed), Result::Ok);
    EXPECT_LT(packed.size(), data.size() / 50);
    std::vector<std::uint8_t> unpacked;
    ASSERT_EQ(LzmsDecompress(packed, unpacked), Result::Ok);
    EXPECT_EQ(unpacked, data);
}

TEST(Lzms, CompressesRedundantDataAndStoresRandomDataRaw) {
    const std::vector<std::uint8_t> zeros(1 << 20, 0);
    std::vector<std::uint8_t> packed;
    ASSERT_EQ(LzmsCompress(zeros, packed), Result::Ok);
    EXPECT_LT(packed.size(), zeros.size() / 100);

    std::mt19937 rng(9);
    std::vector<std::uint8_t> noise(100000);
    for (auto& b : noise)
        b = static_cast<std::uint8_t>(rng());
    ASSERT_EQ(LzmsCompress(noise, packed), Result::Ok);
    EXPECT_LE(packed.size(), noise.size() + 32);  // header and one block header
    std::vector<std::uint8_t> unpacked;
    ASSERT_EQ(LzmsDecompress(packed, unpacked), Result::Ok);
    EXPECT_EQ(unpacked, noise);
}

TEST(Lzms, DamagedFramesAreRejectedAndOutputUntouched) {
    const auto data = MixedBytes(kSmallBlock * 3 + 5000, 10);
    std::vector<std::uint8_t> packed;
    ASSERT_EQ(LzmsCompress(data, packed, kSmallBlock), Result::Ok);
    const std::vector<std::uint8_t> sentinel{42};

    auto rejects = [&](const std::vector<std::uint8_t>& frame, const char* what) {
        std::vector<std::uint8_t> out = sentinel;
        EXPECT_EQ(LzmsDecompress(frame, out), Result::Failed) << what;
        EXPECT_EQ(out, sentinel) << what;
    };
    rejects({packed.begin(), packed.end() - 1}, "truncated");
    auto trailing = packed;
    trailing.push_back(0);
    rejects(trailing, "trailing byte");
    auto magic = packed;
    magic[1] ^= 1;
    rejects(magic, "magic");
    auto size = packed;
    size[8] ^= 1;
    rejects(size, "original size");
    auto storedSize = packed;
    storedSize[28] ^= 0x10;
    rejects(storedSize, "stored size");
    rejects({packed.begin(), packed.begin() + 10}, "short header");

    // Damage inside the compressed stream is caught by the decompressor or
    // by the sizes; either way nothing is handed out.
    int caught = 0;
    for (std::size_t at = 40; at < packed.size(); at += packed.size() / 17) {
        auto flipped = packed;
        flipped[at] ^= 0x5A;
        std::vector<std::uint8_t> out = sentinel;
        if (LzmsDecompress(flipped, out) != Result::Ok) {
            EXPECT_EQ(out, sentinel);
            ++caught;
        } else {
            EXPECT_NE(out, data);  // a flip that decodes must not pass as the original
        }
    }
    EXPECT_GT(caught, 0);
}

TEST(Lzms, HugeDeclaredSizesAreRefusedWithoutAllocating) {
    // Header: magic, original size 2^40, block size 4 MiB, block count to match.
    std::vector<std::uint8_t> frame{'V', 'L', 'Z', 'M', 'S', 0, 0, 1};
    const std::uint64_t original = std::uint64_t{1} << 40;
    for (int i = 0; i < 8; ++i)
        frame.push_back(static_cast<std::uint8_t>(original >> (8 * i)));
    const std::uint32_t block = 4u << 20;
    const std::uint32_t count = static_cast<std::uint32_t>(original / block);
    for (int i = 0; i < 4; ++i)
        frame.push_back(static_cast<std::uint8_t>(block >> (8 * i)));
    for (int i = 0; i < 4; ++i)
        frame.push_back(static_cast<std::uint8_t>(count >> (8 * i)));
    std::vector<std::uint8_t> out;
    EXPECT_EQ(LzmsDecompress(frame, out), Result::Failed);
    EXPECT_EQ(LzmsOriginalSize(frame), std::nullopt);

    // Within the limit but with block headers missing: refused before allocation.
    frame[13] = 0;  // original size 2^32 - ... now 0 in byte 5
    frame[11] = 1;  // 16 MiB
    const std::uint32_t smallCount = 4;
    for (int i = 0; i < 4; ++i)
        frame[20 + i] = static_cast<std::uint8_t>(smallCount >> (8 * i));
    EXPECT_EQ(LzmsDecompress(frame, out), Result::Failed);
    EXPECT_TRUE(out.empty());
}

}  // namespace

namespace {

// A frame of `count` blocks of `blockSize` bytes each, every one claiming to
// be packed into a single byte: small on the wire, huge if believed.
std::vector<std::uint8_t> ClaimingFrame(std::uint64_t original, std::uint32_t blockSize,
                                        std::uint32_t count) {
    std::vector<std::uint8_t> frame{'V', 'L', 'Z', 'M', 'S', 0, 0, 1};
    auto put = [&](std::uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            frame.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    };
    put(original, 8);
    put(blockSize, 4);
    put(count, 4);
    for (std::uint32_t i = 0; i < count; ++i) {
        put(std::min<std::uint64_t>(blockSize, original - std::uint64_t{i} * blockSize), 4);
        put(1, 4);
        frame.push_back(0x5a);
    }
    return frame;
}

std::uint64_t PeakResidentKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<std::uint64_t>(usage.ru_maxrss);
}

}  // namespace

TEST(Lzms, FramesClaimingMoreThanTheyHoldOrMoreThanAllowedAreRefusedCheaply) {
    // 600 bytes declaring 4 GiB in 64 blocks of 64 MiB.
    const auto huge = ClaimingFrame(std::uint64_t{4} << 30, 64u << 20, 64);
    ASSERT_EQ(huge.size(), 600u);
    EXPECT_EQ(LzmsOriginalSize(huge), std::uint64_t{4} << 30);
    const std::uint64_t before = PeakResidentKiB();
    std::vector<std::uint8_t> out{7};
    EXPECT_EQ(LzmsDecompress(huge, out), Result::Failed);
    EXPECT_EQ(out, std::vector<std::uint8_t>{7});
    // Memory follows what decompressed, not what was declared.
    EXPECT_LT(PeakResidentKiB() - before,
              static_cast<std::uint64_t>(testing_support::MemoryBoundKiB(100 * 1024)));

    // An intact frame above the caller's limit is refused; at the limit it
    // decompresses.
    const auto data = MixedBytes(50000, 3);
    std::vector<std::uint8_t> packed;
    ASSERT_EQ(LzmsCompress(data, packed, kSmallBlock), Result::Ok);
    EXPECT_EQ(LzmsDecompress(packed, out, data.size() - 1), Result::Failed);
    ASSERT_EQ(LzmsDecompress(packed, out, data.size()), Result::Ok);
    EXPECT_EQ(out, data);

    // What a reader may take for a size covers every frame of it.
    for (const std::size_t size : {1u, 65536u, 65537u, 300000u}) {
        const auto noise = MixedBytes(size, static_cast<std::uint32_t>(size));
        ASSERT_EQ(LzmsCompress(noise, packed), Result::Ok);
        EXPECT_LE(packed.size(), LzmsFrameBound(size)) << size;
    }
    EXPECT_EQ(LzmsFrameBound(0), 0u);
}
