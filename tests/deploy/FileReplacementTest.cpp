// A replaced file on the real file system: large files go out in aligned
// slabs (directly to the disk where it takes that), small ones and the tail
// through the page cache; either way the bytes must arrive exactly.
#include "deploy/FileReplacement.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "deploy/DeployTestSupport.h"
#include "support/Files.h"

namespace {

using deploytest::ReadFile;
using deploytest::TempDir;
using deploytest::WriteFile;

std::vector<std::uint8_t> Noise(std::size_t size, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> bytes(size);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(rng());
    return bytes;
}

// Writes `content` in pieces whose sizes cycle through awkward values, so
// that slab edges fall inside pieces and pieces end inside slabs.
DeployError WriteInPieces(FileReplacement& file, const std::vector<std::uint8_t>& content) {
    static constexpr std::size_t kPieces[] = {1, 4095, 3u << 20, 4097, 5u << 20, 65536, 777};
    std::span<const std::uint8_t> rest(content);
    for (std::size_t i = 0; !rest.empty(); ++i) {
        const std::size_t take = std::min(kPieces[i % std::size(kPieces)], rest.size());
        if (const DeployError error = file.Write(rest.first(take)); !Ok(error))
            return error;
        rest = rest.subspan(take);
    }
    return DeployError::None;
}

TEST(FileReplacementTest, FilesOfEverySizeArriveExactly) {
    TempDir dir;
    const auto target = dir / "target.bin";
    // Empty, smaller than a slab, exactly two slabs, and slabs plus a tail
    // that is no whole number of blocks.
    for (const std::size_t size : {std::size_t{0}, std::size_t{100000}, std::size_t{16} << 20,
                                   (std::size_t{19} << 20) + 4097}) {
        SCOPED_TRACE(size);
        WriteFile(target, {1, 2, 3});
        const auto content = Noise(size, static_cast<std::uint32_t>(size));
        FileReplacement file;
        ASSERT_EQ(file.Begin(target), DeployError::None);
        ASSERT_EQ(WriteInPieces(file, content), DeployError::None);
        ASSERT_EQ(file.Commit(), DeployError::None);
        EXPECT_TRUE(ReadFile(target) == content);
        EXPECT_EQ(testing_support::EntryNames(dir.Path()), std::set<std::string>{"target.bin"});
    }
}

TEST(FileReplacementTest, AbandonedAfterSlabsWentToDiskKeepsTheOldTarget) {
    TempDir dir;
    const auto target = dir / "target.bin";
    const auto old = Noise(70000, 1);
    WriteFile(target, old);
    {
        FileReplacement file;
        ASSERT_EQ(file.Begin(target), DeployError::None);
        ASSERT_EQ(WriteInPieces(file, Noise(std::size_t{20} << 20, 2)), DeployError::None);
    }
    EXPECT_TRUE(ReadFile(target) == old);
    EXPECT_EQ(testing_support::EntryNames(dir.Path()), std::set<std::string>{"target.bin"});
}

}  // namespace
