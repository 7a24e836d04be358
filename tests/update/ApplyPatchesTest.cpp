// Rebuilding and writing files from needs and blocks, without a service.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "platform/Text.h"
#include "update/Sha256.h"
#include "update/Updater.h"

namespace {

using namespace updatetest;
namespace fs = std::filesystem;

DIFFLIB::Need Need(DIFFLIB::NeedType type, std::uint64_t offset, std::uint64_t length) {
    DIFFLIB::Need need;
    need.type = type;
    need.offset = offset;
    need.length = length;
    return need;
}

class ApplyPatchesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        current = RandomBytes(1000, 7);
        WriteBytes(dir.path() / "vtr232", current);
    }
    TempDir dir;
    std::vector<std::uint8_t> current;
    Zelt::Updater updater{platform::FromUtf8(dir.path().string()), {}, 0};
};

TEST_F(ApplyPatchesTest, SeedAndSourceRangesRebuildTheNewFile) {
    const std::vector<std::uint8_t> fresh = {'N', 'E', 'W'};
    std::vector<std::uint8_t> expected(current.begin() + 500, current.end());
    expected.insert(expected.end(), fresh.begin(), fresh.end());
    expected.insert(expected.end(), current.begin(), current.begin() + 100);

    Zelt::FileRecord* record = updater.find_record(L"vtr232", true);
    record->needs = {Need(DIFFLIB::NeedType::Seed, 500, 500),
                     Need(DIFFLIB::NeedType::Source, 500, 3),
                     Need(DIFFLIB::NeedType::Seed, 0, 100)};
    record->blocks = {Zelt::PatchBlock{1, 500, 3, fresh}};
    record->remote_hash = Zelt::Sha256(expected);
    EXPECT_EQ(updater.apply_patches(), Zelt::kOk);
    EXPECT_EQ(ReadBytes(dir.path() / "vtr232"), expected);
    EXPECT_FALSE(updater.replaced_in_use());
}

TEST_F(ApplyPatchesTest, SeedRangeBeyondTheCurrentFileFailsTheFile) {
    Zelt::FileRecord* record = updater.find_record(L"vtr232", true);
    record->needs = {Need(DIFFLIB::NeedType::Seed, 900, 200),
                     Need(DIFFLIB::NeedType::Source, 200, 1)};
    record->blocks = {Zelt::PatchBlock{1, 200, 1, {'x'}}};
    record->remote_hash = Zelt::Sha256(current);
    EXPECT_EQ(updater.apply_patches(), Zelt::kFail);
    // An offset so large that offset + length wraps around.
    record->needs = {Need(DIFFLIB::NeedType::Seed, ~0ull - 10, 20),
                     Need(DIFFLIB::NeedType::Source, 0, 1)};
    record->blocks = {Zelt::PatchBlock{1, 0, 1, {'x'}}, Zelt::PatchBlock{2, 9, 9, {}}};
    EXPECT_EQ(updater.apply_patches(), Zelt::kFail);
    EXPECT_EQ(ReadBytes(dir.path() / "vtr232"), current);
}

TEST_F(ApplyPatchesTest, SourceNeedWithoutItsFullBlockFails) {
    Zelt::FileRecord* record = updater.find_record(L"vtr232", true);
    record->needs = {Need(DIFFLIB::NeedType::Seed, 0, 10), Need(DIFFLIB::NeedType::Source, 10, 4)};
    record->blocks = {Zelt::PatchBlock{1, 10, 4, {'a', 'b'}}};  // reply was short
    record->remote_hash = {1};
    EXPECT_EQ(updater.apply_patches(), Zelt::kFail);
    EXPECT_EQ(ReadBytes(dir.path() / "vtr232"), current);
}

TEST_F(ApplyPatchesTest, WholeFileBlockCreatesMissingDirectoriesAndRecordsMatchAnyCase) {
    const auto fresh = RandomBytes(300, 8);
    Zelt::FileRecord* record = updater.find_record(L"plugins/extra/a.so", true);
    EXPECT_EQ(record, updater.find_record(L"PLUGINS\\Extra\\A.so", false));
    EXPECT_EQ(record->name, L"plugins\\extra\\a.so");
    record->blocks = {Zelt::PatchBlock{1, 0, Zelt::kWholeFile, fresh}};
    record->remote_hash = Zelt::Sha256(fresh);
    EXPECT_EQ(updater.apply_patches(), Zelt::kOk);
    EXPECT_EQ(ReadBytes(dir.path() / "plugins" / "extra" / "a.so"), fresh);
}

TEST_F(ApplyPatchesTest, NamesLeadingOutOfTheDirectoryAreRefused) {
    const auto fresh = RandomBytes(10, 9);
    Zelt::FileRecord* good = updater.find_record(L"vtr232", true);
    good->blocks = {Zelt::PatchBlock{1, 0, Zelt::kWholeFile, fresh}};
    good->remote_hash = Zelt::Sha256(fresh);
    Zelt::FileRecord* bad = updater.find_record(L"sub/../../escaped", true);
    bad->blocks = {Zelt::PatchBlock{2, 0, Zelt::kWholeFile, fresh}};
    bad->remote_hash = Zelt::Sha256(fresh);
    EXPECT_EQ(updater.apply_patches(), Zelt::kFail);
    EXPECT_FALSE(fs::exists(dir.path().parent_path() / "escaped"));
    EXPECT_EQ(ReadBytes(dir.path() / "vtr232"), current) << "nothing is written";
}

}  // namespace
