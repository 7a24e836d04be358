// DIFFLIB: signatures, needs lists and patches over memory and file readers,
// hostile patches, and the compressed-buffer round trip.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <string>

#include "codec/DiffLib.h"

namespace {

using namespace DIFFLIB;

std::vector<std::uint8_t> RandomBytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> bytes(size);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(rng());
    return bytes;
}

std::vector<std::uint8_t> Signature(DiffLibrary& library, std::span<const std::uint8_t> data) {
    MemoryRdcFileReader reader(data);
    MemoryDiffWriter writer;
    EXPECT_EQ(library.GenerateSignature(&reader, writer), S_OK);
    return writer.Take();
}

struct Patch {
    std::vector<std::uint8_t> bytes;
    HRESULT result;
};

Patch MakePatch(DiffLibrary& library, std::span<const std::uint8_t> oldFile,
                std::span<const std::uint8_t> newFile, bool withSource = true) {
    const auto seed = Signature(library, oldFile);
    const auto source = Signature(library, newFile);
    MemoryRdcFileReader seedReader(seed);
    MemoryRdcFileReader sourceReader(source);
    MemoryRdcFileReader newReader(newFile);
    MemoryDiffWriter writer;
    const HRESULT hr = library.CompareSignatures(&seedReader, &sourceReader,
                                                 withSource ? &newReader : nullptr, writer);
    return Patch{writer.Take(), hr};
}

std::vector<std::uint8_t> Apply(DiffLibrary& library, std::span<const std::uint8_t> oldFile,
                                std::span<const std::uint8_t> patch, HRESULT expected = S_OK) {
    MemoryRdcFileReader oldReader(oldFile);
    MemoryRdcFileReader patchReader(patch);
    MemoryDiffWriter writer;
    EXPECT_EQ(library.ApplyPatch(&oldReader, &patchReader, writer), expected);
    return writer.Take();
}

// Bytes of the patch that are not need records.
std::size_t InlineBytes(std::span<const std::uint8_t> patch) {
    std::size_t inlineBytes = 0;
    for (std::size_t at = 0; at < patch.size();) {
        const rdc::RdcNeed need = DecodeNeedRecord(patch.subspan(at).first<kNeedRecordSize>());
        at += kNeedRecordSize;
        if (need.m_BlockType == rdc::RDCNEED_SOURCE) {
            at += need.m_BlockLength;
            inlineBytes += need.m_BlockLength;
        }
    }
    return inlineBytes;
}

void ExpectRoundTrip(DiffLibrary& library, const std::vector<std::uint8_t>& oldFile,
                     const std::vector<std::uint8_t>& newFile, const char* what) {
    const Patch patch = MakePatch(library, oldFile, newFile);
    ASSERT_EQ(patch.result, S_OK) << what;
    EXPECT_EQ(Apply(library, oldFile, patch.bytes), newFile) << what;
}

TEST(DiffLib, RoundTripsEdgeSizesAndShapes) {
    DiffLibrary library;
    ASSERT_TRUE(library.Available());
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
        ASSERT_EQ(patch.result, S_OK) << "round " << round;
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
    ASSERT_EQ(patch.result, S_OK);
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
    ASSERT_EQ(patch.result, S_OK);
    ASSERT_EQ(patch.bytes.size(), kNeedRecordSize);
    const rdc::RdcNeed need = DecodeNeedRecord(std::span(patch.bytes).first<kNeedRecordSize>());
    EXPECT_EQ(need.m_BlockType, rdc::RDCNEED_SEED);
    EXPECT_EQ(need.m_FileOffset, 0u);
    EXPECT_EQ(need.m_BlockLength, old.size());
}

TEST(DiffLib, NeedsListWithoutSourceReaderHoldsRecordsOnly) {
    DiffLibrary library;
    const auto old = RandomBytes(100000, 8);
    auto now = old;
    now[50000] ^= 0xFF;
    const Patch records = MakePatch(library, old, now, false);
    ASSERT_EQ(records.result, S_OK);
    std::vector<rdc::RdcNeed> needs;
    ASSERT_TRUE(ParseNeedsList(records.bytes, needs));
    ASSERT_EQ(needs.size(), 3u);
    EXPECT_EQ(needs[0].m_BlockType, rdc::RDCNEED_SEED);
    EXPECT_EQ(needs[1].m_BlockType, rdc::RDCNEED_SOURCE);
    EXPECT_EQ(needs[2].m_BlockType, rdc::RDCNEED_SEED);
    EXPECT_LE(needs[1].m_FileOffset, 50000u);
    EXPECT_GT(needs[1].m_FileOffset + needs[1].m_BlockLength, 50000u);
    std::uint64_t total = 0;
    for (const auto& need : needs)
        total += need.m_BlockLength;
    EXPECT_EQ(total, now.size());

    // The same list with source bytes is the patch: records plus the block.
    const Patch full = MakePatch(library, old, now, true);
    EXPECT_EQ(full.bytes.size(), records.bytes.size() + needs[1].m_BlockLength);

    // An empty source signature writes nothing.
    const Patch nothing = MakePatch(library, old, {}, false);
    EXPECT_EQ(nothing.result, S_OK);
    EXPECT_TRUE(nothing.bytes.empty());
    EXPECT_FALSE(ParseNeedsList(std::vector<std::uint8_t>(25), needs));
}

std::vector<std::uint8_t> Record(std::uint32_t type, std::uint64_t offset, std::uint64_t length) {
    std::vector<std::uint8_t> bytes(kNeedRecordSize);
    EncodeNeedRecord(rdc::RdcNeed{static_cast<rdc::RdcNeedType>(type), offset, length},
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

    Apply(library, old, Record(2, 991, 10), E_FAIL);                    // seed past the end
    Apply(library, old, Record(2, UINT64_MAX - 4, 10), E_FAIL);         // offset overflow
    Apply(library, old, Record(2, 0, std::uint64_t{1} << 32), E_FAIL);  // 4 GiB
    Apply(library, old, join({Record(0, 0, 4), {1, 2, 3}}), E_FAIL);    // short source block
    Apply(library, old, join({Record(0, 0, UINT64_MAX), {1}}), E_FAIL);
    Apply(library, old, Record(1, 0, 1), E_FAIL);  // unknown type
    Apply(library, old, Record(7, 0, 1), E_FAIL);
    Apply(library, old, {good.begin(), good.begin() + 30}, E_FAIL);  // truncated record
    EXPECT_TRUE(Apply(library, old, {}).empty());                    // empty patch, empty file

    MemoryRdcFileReader patchReader(good);
    MemoryDiffWriter writer;
    EXPECT_EQ(library.ApplyPatch(nullptr, &patchReader, writer), E_INVALIDARG);
    EXPECT_EQ(library.GenerateSignature(nullptr, writer), E_INVALIDARG);
}

TEST(DiffLib, MalformedSignaturesFailTheComparison) {
    DiffLibrary library;
    const auto data = RandomBytes(30000, 10);
    auto signature = Signature(library, data);
    const std::vector<std::uint8_t> junk{'n', 'o', 't', ' ', 'a', ' ', 's', 'i', 'g'};
    MemoryRdcFileReader junkReader(junk);
    MemoryRdcFileReader goodReader(signature);
    MemoryDiffWriter writer;
    EXPECT_EQ(library.CompareSignatures(&junkReader, &goodReader, nullptr, writer), E_FAIL);
    EXPECT_EQ(library.LastResult(), E_FAIL);
    EXPECT_LT(library.CompareSignatures(&goodReader, &junkReader, nullptr, writer), 0);
    EXPECT_EQ(library.CompareSignatures(nullptr, &goodReader, nullptr, writer), E_INVALIDARG);
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
    FileRdcFileReader reader(file.fd());
    std::uint64_t size = 0;
    ASSERT_EQ(reader.GetFileSize(&size), S_OK);
    EXPECT_EQ(size, data.size());
    EXPECT_EQ(reader.GetFileSize(nullptr), E_POINTER);
    EXPECT_EQ(reader.GetFilePosition(nullptr), E_POINTER);

    std::vector<std::uint8_t> buffer(10000);
    std::uint32_t got = 0;
    bool eof = true;
    ASSERT_EQ(reader.Read(100, 10000, &got, buffer.data(), &eof), S_OK);
    EXPECT_EQ(got, 10000u);
    EXPECT_FALSE(eof);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), data.begin() + 100));
    std::uint64_t position = 0;
    ASSERT_EQ(reader.GetFilePosition(&position), S_OK);
    EXPECT_EQ(position, 10100u);
    ASSERT_EQ(reader.Read(20000, 10000, &got, buffer.data(), &eof), S_OK);
    EXPECT_EQ(got, 5000u);
    EXPECT_TRUE(eof);
    ASSERT_EQ(reader.Read(25000, 10, &got, buffer.data(), &eof), S_OK);
    EXPECT_EQ(got, 0u);
    EXPECT_TRUE(eof);

    // A signature over the file equals the one over the same bytes in memory.
    DiffLibrary library;
    MemoryDiffWriter fromFile;
    ASSERT_EQ(library.GenerateSignature(&reader, fromFile), S_OK);
    EXPECT_EQ(std::vector<std::uint8_t>(fromFile.Data().begin(), fromFile.Data().end()),
              Signature(library, data));

    // An empty file signs to nothing.
    TempFile emptyFile({});
    FileRdcFileReader emptyReader(emptyFile.fd());
    MemoryDiffWriter emptySignature;
    EXPECT_EQ(library.GenerateSignature(&emptyReader, emptySignature), S_OK);
    EXPECT_EQ(emptySignature.Size(), 0u);
}

TEST(DiffLib, ReadersCountReferencesAndAnswerTheirInterfaces) {
    const std::vector<std::uint8_t> data{1, 2, 3};
    MemoryDiffWriter writer;
    ASSERT_EQ(writer.Write(data), S_OK);
    EXPECT_EQ(writer.Write(std::span<const std::uint8_t>()), E_INVALIDARG);
    EXPECT_EQ(writer.Flush(), E_NOTIMPL);

    RdcPtr<MemoryRdcFileReader> reader = writer.GetReader();
    ASSERT_TRUE(reader);
    void* object = nullptr;
    EXPECT_EQ(reader->QueryInterface(rdc::IID_IRdcLibrary, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(reader->QueryInterface(rdc::IID_IRdcFileReader, nullptr), E_POINTER);
    ASSERT_EQ(reader->QueryInterface(rdc::IID_IRdcFileReader, &object), S_OK);
    auto second = RdcPtr<rdc::IRdcFileReader>::Attach(static_cast<rdc::IRdcFileReader*>(object));
    ASSERT_EQ(reader->QueryInterface(rdc::IID_IUnknown, &object), S_OK);
    auto third = RdcPtr<rdc::IUnknown>::Attach(static_cast<rdc::IUnknown*>(object));
    EXPECT_EQ(reader->AddRef(), 4u);
    EXPECT_EQ(reader->Release(), 3u);
    third.reset();
    second.reset();
    reader.reset();  // the last reference frees it (checked by the sanitizer build)

    MemoryRdcFileReader local(data);  // a local keeps its creator's reference
    std::uint8_t byte = 0;
    std::uint32_t got = 0;
    bool eof = false;
    ASSERT_EQ(local.Read(2, 1, &got, &byte, &eof), S_OK);
    EXPECT_EQ(byte, 3);
    EXPECT_TRUE(eof);
    std::uint64_t position = 0;
    ASSERT_EQ(local.GetFilePosition(&position), S_OK);
    EXPECT_EQ(position, 3u);
}

TEST(DiffLib, CompressedBuffersRoundTripAndCorruptionIsReported) {
    std::vector<std::uint8_t> buffer;
    EXPECT_TRUE(DiffLibrary::CompressBuffer(buffer));
    EXPECT_TRUE(buffer.empty());

    std::vector<std::uint8_t> data;
    const std::string line = "needs in target order, seed and source\n";
    while (data.size() < 100000)
        data.insert(data.end(), line.begin(), line.end());
    buffer = data;
    ASSERT_TRUE(DiffLibrary::CompressBuffer(buffer));
    EXPECT_LT(buffer.size(), data.size() / 10);
    auto damaged = buffer;
    ASSERT_TRUE(DiffLibrary::DecompressBuffer(buffer));
    EXPECT_EQ(buffer, data);

    damaged.resize(damaged.size() - 2);
    const auto kept = damaged;
    EXPECT_FALSE(DiffLibrary::DecompressBuffer(damaged));
    EXPECT_EQ(damaged, kept);
    std::vector<std::uint8_t> plain(data.begin(), data.begin() + 100);
    EXPECT_FALSE(DiffLibrary::DecompressBuffer(plain));
}

}  // namespace
