// Our LZMS frames across systems: a frame that the Linux build made (wimlib's
// coder) must decode wherever an LZMS coder is present, and a system without
// one (Wine has no Compression API) must still make frames that decode
// everywhere, its blocks stored raw.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "codec/Lzms.h"
#include "codec/LzmsCoder.h"
#include "platform/ByteOrder.h"

namespace {

using namespace DIFFLIB;

constexpr std::uint32_t kVectorBlock = 65536;

// Text with repeats and some noise: every block compresses. The same bytes on
// every system (mt19937 is exact).
std::vector<std::uint8_t> VectorContent() {
    std::mt19937 rng(20261210);
    const std::string words[] = {"deploy ",  "patch ",  "signature ", "receiver ",
                                 "monitor ", "tunnel ", "\r\n"};
    std::vector<std::uint8_t> bytes;
    while (bytes.size() < 300000) {
        const std::string& word = words[rng() % std::size(words)];
        bytes.insert(bytes.end(), word.begin(), word.end());
        if (rng() % 16 == 0)
            bytes.push_back(static_cast<std::uint8_t>(rng()));
    }
    bytes.resize(300000);
    return bytes;
}

std::filesystem::path VectorPath() {
    return std::filesystem::path(VTR_SOURCE_DIR) / "tests" / "codec" / "data" / "lzms-linux.bin";
}

// Stored sizes of the frame's blocks, read from its layout.
std::vector<std::pair<std::uint32_t, std::uint32_t>> Blocks(
    const std::vector<std::uint8_t>& frame) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> blocks;
    std::size_t at = 24;
    const std::uint32_t count = platform::GetU32(frame.data() + 20);
    for (std::uint32_t i = 0; i < count && at + 8 <= frame.size(); ++i) {
        const std::uint32_t size = platform::GetU32(frame.data() + at);
        const std::uint32_t stored = platform::GetU32(frame.data() + at + 4);
        blocks.emplace_back(size, stored);
        at += 8 + stored;
    }
    return blocks;
}

TEST(LzmsVector, TheLinuxFrameDecodesWhereverLzmsIsAvailable) {
    std::ifstream in(VectorPath(), std::ios::binary);
    ASSERT_TRUE(in) << VectorPath();
    const std::vector<std::uint8_t> frame((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
    const auto original = VectorContent();
    ASSERT_EQ(LzmsOriginalSize(frame), original.size());
    const auto blocks = Blocks(frame);
    ASSERT_EQ(blocks.size(), (original.size() + kVectorBlock - 1) / kVectorBlock);
    for (const auto& [size, stored] : blocks)
        EXPECT_LT(stored, size) << "every block of the vector is LZMS-coded";
    std::vector<std::uint8_t> output{1, 2, 3};
    if (!LzmsCoderAvailable()) {
        // Refused as a whole, the output untouched, rather than half-written.
        EXPECT_EQ(LzmsDecompress(frame, output), Result::Failed);
        EXPECT_EQ(output, (std::vector<std::uint8_t>{1, 2, 3}));
        GTEST_SKIP() << "no LZMS coder on this system (no Compression API, as under Wine): "
                        "the Linux frame's layout was checked, its blocks not decoded";
    }
    ASSERT_EQ(LzmsDecompress(frame, output), Result::Ok);
    EXPECT_TRUE(output == original);
}

TEST(LzmsVector, FramesMadeHereRoundTripAndWithoutACoderEveryBlockIsRaw) {
    const auto original = VectorContent();
    std::vector<std::uint8_t> frame;
    ASSERT_EQ(LzmsCompress(original, frame, kVectorBlock), Result::Ok);
    std::vector<std::uint8_t> output;
    ASSERT_EQ(LzmsDecompress(frame, output), Result::Ok);
    EXPECT_TRUE(output == original);
    const auto blocks = Blocks(frame);
    ASSERT_EQ(blocks.size(), 5u);
    for (const auto& [size, stored] : blocks) {
        if (LzmsCoderAvailable())
            EXPECT_LT(stored, size);
        else
            EXPECT_EQ(stored, size);
    }
}

// Run by hand on Linux to make the vector again:
//   test_codec --gtest_also_run_disabled_tests --gtest_filter=LzmsVector.DISABLED_Write
TEST(LzmsVector, DISABLED_Write) {
    ASSERT_TRUE(LzmsCoderAvailable());
    std::vector<std::uint8_t> frame;
    ASSERT_EQ(LzmsCompress(VectorContent(), frame, kVectorBlock), Result::Ok);
    std::ofstream out(VectorPath(), std::ios::binary);
    out.write(reinterpret_cast<const char*>(frame.data()),
              static_cast<std::streamsize>(frame.size()));
    ASSERT_TRUE(out.good());
}

}  // namespace
