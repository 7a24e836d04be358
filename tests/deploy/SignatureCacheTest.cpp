// The receiver's kept signatures: found only for the very file they were
// made from, and never more of them than the budget allows.
#include "deploy/SignatureCache.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include "deploy/DeployTestSupport.h"

namespace {

using deploytest::TempDir;
using deploytest::WriteFile;

SharedSignature Signature(std::size_t size, std::uint8_t fill) {
    return std::make_shared<const std::vector<std::uint8_t>>(size, fill);
}

TEST(SignatureCacheTest, FoundOnlyForTheSameFileAndWithinTheBudget) {
    const FileIdentity a{1, 10, 100, 5, 6};
    FileIdentity aLater = a;
    aLater.changedNs += 1;
    SignatureCache cache(1000);
    cache.Store("/x/a", a, Signature(400, 1));
    ASSERT_NE(cache.Find("/x/a", a), nullptr);
    EXPECT_EQ(cache.Find("/x/a", aLater), nullptr);
    EXPECT_EQ(cache.Find("/x/b", a), nullptr);

    // Storing again replaces; the oldest goes when the budget is passed.
    cache.Store("/x/a", aLater, Signature(400, 2));
    EXPECT_EQ(cache.Find("/x/a", a), nullptr);
    EXPECT_EQ(cache.Find("/x/a", aLater)->front(), 2);
    cache.Store("/x/b", a, Signature(400, 3));
    cache.Store("/x/c", a, Signature(400, 4));
    EXPECT_EQ(cache.Find("/x/a", aLater), nullptr);
    EXPECT_NE(cache.Find("/x/b", a), nullptr);
    EXPECT_NE(cache.Find("/x/c", a), nullptr);
    // One larger than the whole budget is not kept, and drops what was kept
    // for that name.
    cache.Store("/x/b", a, Signature(1001, 5));
    EXPECT_EQ(cache.Find("/x/b", a), nullptr);
    cache.Forget("/x/c");
    EXPECT_EQ(cache.Find("/x/c", a), nullptr);
}

TEST(SignatureCacheTest, IdentityFollowsEveryChangeOfTheFile) {
    TempDir dir;
    const auto path = dir / "f.bin";
    WriteFile(path, std::vector<std::uint8_t>(5000, 1));
    const auto first = IdentityOf(path);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->size, 5000u);
    // The same size, the old modification time put back, a clock tick later
    // (file times move in ticks of a few ms).
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    WriteFile(path, std::vector<std::uint8_t>(5000, 2));
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    const auto second = IdentityOf(path);
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->modifiedNs, first->modifiedNs);
    EXPECT_NE(*second, *first);
    EXPECT_FALSE(IdentityOf(dir.Path()).has_value());  // no regular file
}

}  // namespace
