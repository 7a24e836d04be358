// Zip archives, the file filter and the patch request format.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "platform/Text.h"
#include "update/FileFilter.h"
#include "update/PatchRequest.h"
#include "update/ZZip.h"

namespace {

using namespace Zelt;
using updatetest::RandomBytes;
using updatetest::ReadBytes;
using updatetest::TempDir;

TEST(ZZip, FileRoundTripStoresForwardSlashesAndCompresses) {
    TempDir dir;
    const auto path = dir.path() / "a.zip";
    const std::vector<std::uint8_t> text(20000, 'z');
    const auto random = RandomBytes(3000, 4);
    {
        ZZIP archive;
        ASSERT_EQ(archive.create_file(platform::FromUtf8(path.string())), kOk);
        EXPECT_EQ(archive.add("sub\\deeper\\file.txt", text), kOk);
        EXPECT_EQ(archive.add("plain", random), kOk);
    }  // finalised on destruction
    const auto bytes = ReadBytes(path);
    ASSERT_FALSE(bytes.empty());
    EXPECT_LT(bytes.size(), random.size() + 1000) << "entries are deflated";

    ZZIP archive;
    ASSERT_EQ(archive.open_memory(bytes.data(), bytes.size()), kOk);
    const auto entries = archive.list();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].name, "sub/deeper/file.txt");
    EXPECT_EQ(entries[0].size, text.size());
    EXPECT_FALSE(entries[0].is_directory);
    std::vector<std::uint8_t> out;
    EXPECT_EQ(archive.extract("sub\\deeper\\file.txt", out), kOk);
    EXPECT_EQ(out, text);
    EXPECT_EQ(archive.extract("plain", out), kOk);
    EXPECT_EQ(out, random);
    EXPECT_EQ(archive.extract("missing", out), kNoInterface);
}

TEST(ZZip, BytesThatAreNoArchiveGiveNoEntries) {
    ZZIP archive;
    const std::string junk = "PK\x03\x04 but not really an archive at all";
    EXPECT_EQ(archive.open_memory(reinterpret_cast<const std::uint8_t*>(junk.data()), junk.size()),
              kFail);
    EXPECT_TRUE(archive.list().empty());
    std::vector<std::uint8_t> out;
    EXPECT_EQ(archive.extract("x", out), kNoInterface);
    EXPECT_EQ(archive.add("x", out), kNoInterface);
    EXPECT_EQ(archive.open_memory(nullptr, 0), kFail);
}

TEST(ZZip, MemoryArchiveAndCorruptEntryData) {
    ZZIP writer;
    ASSERT_EQ(writer.create_memory(), kOk);
    const auto content = RandomBytes(4000, 5);
    ASSERT_EQ(writer.add("7", content), kOk);
    std::vector<std::uint8_t> bytes;
    ASSERT_EQ(writer.finish_memory(bytes), kOk);

    ZZIP reader;
    ASSERT_EQ(reader.open_memory(bytes.data(), bytes.size()), kOk);
    std::vector<std::uint8_t> out;
    EXPECT_EQ(reader.extract("7", out), kOk);
    EXPECT_EQ(out, content);

    // Damage the compressed data of the entry: reading it must fail, not
    // hand out wrong bytes.
    auto damaged = bytes;
    for (std::size_t i = 100; i < 200; ++i)
        damaged[i] ^= 0xFF;
    ZZIP broken;
    if (broken.open_memory(damaged.data(), damaged.size()) == kOk) {
        EXPECT_NE(broken.extract("7", out), kOk);
    }
}

TEST(FileFilter, WholeNameMatchDecides) {
    const FileFilter thread{{L"vtr232"}, true};
    EXPECT_FALSE(thread.excludes(L"vtr232"));
    EXPECT_TRUE(thread.excludes(L"sub\\vtr232"));
    EXPECT_TRUE(thread.excludes(L"vtr2321"));
    EXPECT_TRUE(thread.excludes(L"VTR232"));  // case-sensitive
    EXPECT_FALSE(thread.excludes(static_cast<const std::wstring*>(nullptr)));

    const FileFilter windows{{L"vtr232.exe"}, true};
    EXPECT_FALSE(windows.excludes(L"vtr232Xexe"));  // the dot is any character

    const FileFilter skip{{L"logs\\\\.*", L".*\\.cfg"}, false};
    EXPECT_TRUE(skip.excludes(L"logs\\today.txt"));
    EXPECT_TRUE(skip.excludes(L"app.cfg"));
    EXPECT_FALSE(skip.excludes(L"vtr232"));

    // The first matching pattern decides; a broken pattern matches nothing.
    const FileFilter broken{{L"([", L"a.*"}, true};
    EXPECT_FALSE(broken.excludes(L"abc"));
    EXPECT_TRUE(broken.excludes(L"xyz"));
}

TEST(PatchRequest, LinesFormatAndParseBack) {
    EXPECT_EQ(FormatPatchLine({3, "sub/new.dll", true, 0, 0}), "3,sub/new.dll,F,0,0");
    EXPECT_EQ(FormatPatchLine({2, "vtr232", false, 81920, 18446744073709551614ull}),
              "2,vtr232,P,81920,18446744073709551614");
    const auto lines =
        ParsePatchBody("1,vtr232,P,0,4096|2,vtr232,P,81920,12288|3,sub/new.dll,F,0,0");
    ASSERT_TRUE(lines);
    ASSERT_EQ(lines->size(), 3u);
    EXPECT_EQ((*lines)[1].offset, 81920u);
    EXPECT_EQ((*lines)[1].length, 12288u);
    EXPECT_TRUE((*lines)[2].whole);
    EXPECT_EQ((*lines)[2].name, "sub/new.dll");
}

TEST(PatchRequest, LinesThatCannotTravelAreRefused) {
    // 999 characters fit, 1000 do not.
    const std::string fits(999 - std::string("1,,F,0,0").size(), 'n');
    EXPECT_TRUE(FormatPatchLine({1, fits, true, 0, 0}));
    EXPECT_FALSE(FormatPatchLine({1, fits + "n", true, 0, 0}));
    EXPECT_FALSE(FormatPatchLine({1, "a,b", true, 0, 0}));
    EXPECT_FALSE(FormatPatchLine({1, "a|b", true, 0, 0}));
    EXPECT_FALSE(FormatPatchLine({1, "", true, 0, 0}));

    EXPECT_FALSE(ParsePatchBody("1,x,Q,0,0"));
    EXPECT_FALSE(ParsePatchBody("1,x,P,0"));
    EXPECT_FALSE(ParsePatchBody("1,x,P,0,-5"));
    EXPECT_FALSE(ParsePatchBody("1,x,P,0,5|"));
    EXPECT_FALSE(ParsePatchBody("x,name,F,0,0"));
    EXPECT_FALSE(ParsePatchBody("1," + std::string(1000, 'n') + ",F,0,0"));
}

}  // namespace
