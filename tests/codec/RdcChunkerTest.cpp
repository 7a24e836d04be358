// Content-defined chunking and the RDC generator/comparator shapes.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <set>
#include <vector>

#include "codec/Chunker.h"
#include "codec/Rdc.h"
#include "codec/Signature.h"

namespace {

std::vector<std::uint8_t> RandomBytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> bytes(size);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(rng());
    return bytes;
}

// Chunk end offsets of a buffer.
std::set<std::uint64_t> Boundaries(std::span<const std::uint8_t> data) {
    std::set<std::uint64_t> ends;
    std::uint64_t at = 0;
    for (std::uint32_t length : rdc::ChunkLengths(data)) {
        at += length;
        ends.insert(at);
    }
    return ends;
}

TEST(RdcChunker, LengthsStayWithinBoundsAndAverageIsModerate) {
    const auto data = RandomBytes(8 << 20, 1);
    const rdc::ChunkParameters parameters;
    const auto lengths = rdc::ChunkLengths(data, parameters);
    ASSERT_FALSE(lengths.empty());
    EXPECT_EQ(std::accumulate(lengths.begin(), lengths.end(), std::uint64_t{0}), data.size());
    for (std::size_t i = 0; i + 1 < lengths.size(); ++i) {
        EXPECT_GE(lengths[i], parameters.minSize);
        EXPECT_LE(lengths[i], parameters.maxSize);
    }
    const double average = static_cast<double>(data.size()) / lengths.size();
    EXPECT_GT(average, 2048.0);
    EXPECT_LT(average, 8192.0);
}

TEST(RdcChunker, BoundariesDependOnlyOnContent) {
    const auto original = RandomBytes(2 << 20, 2);
    // Insert 17 bytes near the start and delete 300 bytes in the middle.
    auto edited = original;
    const auto insertion = RandomBytes(17, 3);
    edited.insert(edited.begin() + 1000, insertion.begin(), insertion.end());
    edited.erase(edited.begin() + (1 << 20), edited.begin() + (1 << 20) + 300);

    const auto before = Boundaries(original);
    std::set<std::uint64_t> after;
    for (std::uint64_t end : Boundaries(edited)) {
        // Map edited offsets back to original ones where the edits allow.
        if (end < 1000)
            after.insert(end);
        else if (end < (1 << 20) + 17)
            after.insert(end - 17);
        else
            after.insert(end - 17 + 300);
    }
    std::size_t shared = 0;
    for (std::uint64_t end : before)
        shared += after.count(end);
    // Only the chunks around the two edits may differ.
    EXPECT_GE(shared + 6, before.size());
}

TEST(RdcChunker, SplittingTheInputDoesNotMoveBoundaries) {
    const auto data = RandomBytes(300000, 4);
    const auto whole = rdc::ChunkLengths(data);
    for (std::size_t piece : {1u, 7u, 4096u, 10000u}) {
        rdc::Chunker chunker{rdc::ChunkParameters{}};
        std::vector<std::uint32_t> lengths;
        std::uint64_t current = 0;
        for (std::size_t at = 0; at < data.size(); at += piece) {
            std::span<const std::uint8_t> part(data.data() + at, std::min(piece, data.size() - at));
            while (!part.empty()) {
                bool boundary = false;
                const std::size_t used = chunker.Scan(part, boundary);
                current += used;
                part = part.subspan(used);
                if (boundary) {
                    lengths.push_back(static_cast<std::uint32_t>(current));
                    current = 0;
                }
            }
        }
        if (current)
            lengths.push_back(static_cast<std::uint32_t>(current));
        EXPECT_EQ(lengths, whole) << "piece " << piece;
    }
}

TEST(RdcChunker, UniformDataIsCutAtTheMaximum) {
    const std::vector<std::uint8_t> zeros(100000, 0);
    const rdc::ChunkParameters parameters;
    const auto lengths = rdc::ChunkLengths(zeros, parameters);
    ASSERT_EQ(lengths.size(), (zeros.size() + parameters.maxSize - 1) / parameters.maxSize);
    EXPECT_EQ(lengths[0], parameters.maxSize);
    EXPECT_TRUE(rdc::ChunkLengths({}).empty());
}

// Runs the generator over `data` with the given input and output piece sizes.
std::vector<std::uint8_t> Sign(rdc::IRdcLibrary& library, std::span<const std::uint8_t> data,
                               std::size_t inputPiece, std::size_t outputPiece) {
    rdc::RdcPtr<rdc::IRdcGeneratorParameters> parameters;
    EXPECT_EQ(library.CreateGeneratorParameters(rdc::RDCGENTYPE_FilterMax, 1, parameters.Put()),
              rdc::S_OK);
    rdc::IRdcGeneratorParameters* list[] = {parameters.get()};
    rdc::RdcPtr<rdc::IRdcGenerator> generator;
    EXPECT_EQ(library.CreateGenerator(1, list, generator.Put()), rdc::S_OK);
    std::vector<std::uint8_t> signature;
    std::vector<std::uint8_t> out(outputPiece);
    std::size_t position = 0;
    for (int guard = 0; guard < 10000000; ++guard) {
        const std::size_t chunk = std::min(inputPiece, data.size() - position);
        const bool endOfInput = position + chunk == data.size();
        std::vector<std::uint8_t> in(data.begin() + position, data.begin() + position + chunk);
        rdc::RdcBufferPointer input{static_cast<std::uint32_t>(chunk), 0, in.data()};
        rdc::RdcBufferPointer output{static_cast<std::uint32_t>(outputPiece), 0, out.data()};
        rdc::RdcBufferPointer* outputs[] = {&output};
        bool endOfOutput = false;
        rdc::RDC_ErrorCode error{};
        EXPECT_EQ(generator->Process(endOfInput, &endOfOutput, &input, 1, outputs, &error),
                  rdc::S_OK);
        position += input.m_Used;
        signature.insert(signature.end(), out.begin(), out.begin() + output.m_Used);
        if (endOfOutput)
            return signature;
    }
    ADD_FAILURE() << "generator never finished";
    return signature;
}

TEST(RdcGenerator, OutputDoesNotDependOnBufferSizes) {
    auto library = rdc::CreateRdcLibrary();
    ASSERT_TRUE(library);
    const auto data = RandomBytes(200000, 5);
    const auto reference = Sign(*library, data, 10000, 10000);
    ASSERT_GT(reference.size(), rdc::kSignatureHeaderSize);
    EXPECT_EQ((reference.size() - rdc::kSignatureHeaderSize) % rdc::kSignatureRecordSize, 0u);
    EXPECT_EQ(Sign(*library, data, 333, 7), reference);
    EXPECT_EQ(Sign(*library, data, 200000, 1), reference);
    EXPECT_TRUE(Sign(*library, {}, 10000, 10000).empty());
}

TEST(RdcLibrary, RefusesWhatItDoesNotOffer) {
    void* object = nullptr;
    EXPECT_EQ(rdc::CreateRdcInstance(rdc::IID_IRdcFileReader, rdc::IID_IRdcLibrary, &object),
              rdc::E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(rdc::CreateRdcInstance(rdc::CLSID_RdcLibrary, rdc::IID_IRdcFileReader, &object),
              rdc::E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    auto library = rdc::CreateRdcLibrary();
    ASSERT_TRUE(library);
    rdc::RdcPtr<rdc::IRdcGeneratorParameters> parameters;
    EXPECT_EQ(library->CreateGeneratorParameters(rdc::RDCGENTYPE_FilterMax, 2, parameters.Put()),
              rdc::E_INVALIDARG);
    EXPECT_FALSE(parameters);
    ASSERT_EQ(library->CreateGeneratorParameters(rdc::RDCGENTYPE_FilterMax, 1, parameters.Put()),
              rdc::S_OK);
    EXPECT_EQ(parameters->SetChunkParameters(rdc::ChunkParameters{4096, 12, 1024}),
              rdc::E_INVALIDARG);
    rdc::IRdcGeneratorParameters* list[] = {parameters.get()};
    rdc::RdcPtr<rdc::IRdcGenerator> generator;
    EXPECT_EQ(library->CreateGenerator(2, list, generator.Put()), rdc::E_INVALIDARG);
    EXPECT_EQ(library->CreateComparator(nullptr, 3200000, nullptr), rdc::E_POINTER);
}

// A reader over bytes, enough for the comparator's seed.
class BytesReader final : public rdc::IRdcFileReader {
  public:
    explicit BytesReader(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
    rdc::HRESULT QueryInterface(const rdc::Guid&, void**) override { return rdc::E_NOTIMPL; }
    std::uint32_t AddRef() override { return 2; }
    std::uint32_t Release() override { return 1; }
    rdc::HRESULT GetFileSize(std::uint64_t* size) override {
        *size = bytes_.size();
        return rdc::S_OK;
    }
    rdc::HRESULT Read(std::uint64_t offset, std::uint32_t count, std::uint32_t* got,
                      std::uint8_t* buffer, bool* eof) override {
        const std::size_t n =
            offset >= bytes_.size() ? 0 : std::min<std::size_t>(count, bytes_.size() - offset);
        std::copy_n(bytes_.begin() + offset, n, buffer);
        *got = static_cast<std::uint32_t>(n);
        *eof = n < count;
        return rdc::S_OK;
    }
    rdc::HRESULT GetFilePosition(std::uint64_t* position) override {
        *position = 0;
        return rdc::S_OK;
    }

  private:
    std::vector<std::uint8_t> bytes_;
};

// Feeds `source` to a comparator in pieces, with a small needs buffer.
std::vector<rdc::RdcNeed> Compare(rdc::IRdcLibrary& library, std::vector<std::uint8_t> seed,
                                  const std::vector<std::uint8_t>& source, std::size_t piece,
                                  std::uint32_t needsPerCall, rdc::HRESULT* failure = nullptr) {
    BytesReader seedReader(std::move(seed));
    rdc::RdcPtr<rdc::IRdcComparator> comparator;
    const rdc::HRESULT created = library.CreateComparator(&seedReader, 3200000, comparator.Put());
    std::vector<rdc::RdcNeed> needs;
    if (created != rdc::S_OK) {
        if (failure)
            *failure = created;
        return needs;
    }
    std::vector<rdc::RdcNeed> buffer(needsPerCall);
    std::size_t position = 0;
    for (int guard = 0; guard < 1000000; ++guard) {
        const std::size_t chunk = std::min(piece, source.size() - position);
        const bool endOfInput = position + chunk == source.size();
        std::vector<std::uint8_t> in(source.begin() + position, source.begin() + position + chunk);
        rdc::RdcBufferPointer input{static_cast<std::uint32_t>(chunk), 0, in.data()};
        rdc::RdcNeedPointer output{needsPerCall, 0, buffer.data()};
        bool endOfOutput = false;
        rdc::RDC_ErrorCode error{};
        const rdc::HRESULT hr =
            comparator->Process(endOfInput, &endOfOutput, &input, &output, &error);
        if (hr != rdc::S_OK) {
            if (failure)
                *failure = hr;
            return needs;
        }
        EXPECT_LE(output.m_Used, needsPerCall);
        needs.insert(needs.end(), buffer.begin(), buffer.begin() + output.m_Used);
        position += input.m_Used;
        if (endOfOutput)
            return needs;
    }
    ADD_FAILURE() << "comparator never finished";
    return needs;
}

TEST(RdcComparator, NeedsRebuildTheTargetWhateverTheBufferSizes) {
    auto library = rdc::CreateRdcLibrary();
    const auto old = RandomBytes(400000, 6);
    auto now = old;
    // Swap two halves and change a few bytes: seed needs out of order.
    std::rotate(now.begin(), now.begin() + 150000, now.end());
    now[5000] ^= 1;
    now[300000] ^= 1;
    const auto seed = Sign(*library, old, 10000, 10000);
    const auto source = Sign(*library, now, 10000, 10000);
    const auto reference = Compare(*library, seed, source, 10000, 16384);
    for (auto [piece, room] : {std::pair<std::size_t, std::uint32_t>{7, 1}, {19, 2}, {100000, 1}}) {
        const auto needs = Compare(*library, seed, source, piece, room);
        ASSERT_EQ(needs.size(), reference.size());
        for (std::size_t i = 0; i < needs.size(); ++i) {
            EXPECT_EQ(needs[i].m_BlockType, reference[i].m_BlockType);
            EXPECT_EQ(needs[i].m_FileOffset, reference[i].m_FileOffset);
            EXPECT_EQ(needs[i].m_BlockLength, reference[i].m_BlockLength);
        }
    }
    std::vector<std::uint8_t> rebuilt;
    std::uint64_t sourceBytes = 0;
    for (std::size_t i = 0; i < reference.size(); ++i) {
        const auto& need = reference[i];
        const auto& from = need.m_BlockType == rdc::RDCNEED_SEED ? old : now;
        rebuilt.insert(rebuilt.end(), from.begin() + need.m_FileOffset,
                       from.begin() + need.m_FileOffset + need.m_BlockLength);
        if (need.m_BlockType == rdc::RDCNEED_SOURCE)
            sourceBytes += need.m_BlockLength;
        if (i > 0) {  // merged: no two neighbours continue each other
            EXPECT_FALSE(reference[i - 1].m_BlockType == need.m_BlockType &&
                         reference[i - 1].m_FileOffset + reference[i - 1].m_BlockLength ==
                             need.m_FileOffset);
        }
    }
    EXPECT_EQ(rebuilt, now);
    EXPECT_LT(sourceBytes, 100000u);
    EXPECT_LE(reference.size(), 8u);
}

TEST(RdcComparator, RejectsMalformedSignatures) {
    auto library = rdc::CreateRdcLibrary();
    const auto data = RandomBytes(50000, 7);
    const auto signature = Sign(*library, data, 10000, 10000);

    rdc::HRESULT failure = rdc::S_OK;
    // A seed cut inside a record, or with a bad magic, is refused at creation.
    Compare(*library, {signature.begin(), signature.end() - 3}, signature, 10000, 16, &failure);
    EXPECT_EQ(failure, rdc::E_FAIL);
    auto badMagic = signature;
    badMagic[0] ^= 0xFF;
    failure = rdc::S_OK;
    Compare(*library, badMagic, signature, 10000, 16, &failure);
    EXPECT_EQ(failure, rdc::E_FAIL);

    // A source cut inside a record, a newer version, or a chunk above the maximum.
    failure = rdc::S_OK;
    Compare(*library, signature, {signature.begin(), signature.end() - 1}, 10000, 16, &failure);
    EXPECT_EQ(failure, rdc::E_FAIL);
    auto newer = signature;
    newer[7] = 2;
    failure = rdc::S_OK;
    Compare(*library, signature, newer, 10000, 16, &failure);
    EXPECT_EQ(failure, rdc::E_FAIL);
    auto huge = signature;
    huge[rdc::kSignatureHeaderSize + 3] = 0x7F;
    failure = rdc::S_OK;
    Compare(*library, signature, huge, 10000, 16, &failure);
    EXPECT_EQ(failure, rdc::E_FAIL);

    // An empty seed: the whole target is one source need.
    const auto needs = Compare(*library, {}, signature, 10000, 16);
    ASSERT_EQ(needs.size(), 1u);
    EXPECT_EQ(needs[0].m_BlockType, rdc::RDCNEED_SOURCE);
    EXPECT_EQ(needs[0].m_BlockLength, data.size());
}

}  // namespace
