// Content-defined chunking, the signature generator and the comparator fed in
// pieces of any size.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <set>
#include <vector>

#include "RandomBytes.h"
#include "codec/Chunker.h"
#include "codec/Comparator.h"
#include "codec/Signature.h"

namespace {

using namespace DIFFLIB;
using codectest::RandomBytes;

// Chunk end offsets of a buffer.
std::set<std::uint64_t> Boundaries(std::span<const std::uint8_t> data) {
    std::set<std::uint64_t> ends;
    std::uint64_t at = 0;
    for (std::uint32_t length : ChunkLengths(data)) {
        at += length;
        ends.insert(at);
    }
    return ends;
}

TEST(Chunker, LengthsStayWithinBoundsAndAverageIsModerate) {
    const auto data = RandomBytes(8 << 20, 1);
    const ChunkParameters parameters;
    const auto lengths = ChunkLengths(data, parameters);
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

TEST(Chunker, BoundariesDependOnlyOnContent) {
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

TEST(Chunker, SplittingTheInputDoesNotMoveBoundaries) {
    const auto data = RandomBytes(300000, 4);
    const auto whole = ChunkLengths(data);
    for (std::size_t piece : {1u, 7u, 4096u, 10000u}) {
        Chunker chunker{ChunkParameters{}};
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

TEST(Chunker, UniformDataIsCutAtTheMaximum) {
    const std::vector<std::uint8_t> zeros(100000, 0);
    const ChunkParameters parameters;
    const auto lengths = ChunkLengths(zeros, parameters);
    ASSERT_EQ(lengths.size(), (zeros.size() + parameters.maxSize - 1) / parameters.maxSize);
    EXPECT_EQ(lengths[0], parameters.maxSize);
    EXPECT_TRUE(ChunkLengths({}).empty());
}

// Runs the generator over `data` with the given input and output piece sizes.
std::vector<std::uint8_t> Sign(std::span<const std::uint8_t> data, std::size_t inputPiece,
                               std::size_t outputPiece) {
    std::optional<SignatureGenerator> generator = SignatureGenerator::Create();
    EXPECT_TRUE(generator);
    std::vector<std::uint8_t> signature;
    std::vector<std::uint8_t> out(outputPiece);
    std::size_t position = 0;
    for (int guard = 0; guard < 10000000; ++guard) {
        const std::size_t chunk = std::min(inputPiece, data.size() - position);
        const bool endOfInput = position + chunk == data.size();
        // A copy, so that the generator cannot keep pointers into old input.
        std::vector<std::uint8_t> in(data.begin() + position, data.begin() + position + chunk);
        const auto step = generator->Process(endOfInput, in, out);
        EXPECT_LE(step.consumed, chunk);
        EXPECT_LE(step.produced, outputPiece);
        position += step.consumed;
        signature.insert(signature.end(), out.begin(), out.begin() + step.produced);
        if (step.endOfOutput)
            return signature;
    }
    ADD_FAILURE() << "generator never finished";
    return signature;
}

TEST(SignatureGenerator, OutputDoesNotDependOnBufferSizes) {
    const auto data = RandomBytes(200000, 5);
    const auto reference = Sign(data, 10000, 10000);
    ASSERT_GT(reference.size(), kSignatureHeaderSize);
    EXPECT_EQ((reference.size() - kSignatureHeaderSize) % kSignatureRecordSize, 0u);
    EXPECT_EQ(Sign(data, 333, 7), reference);
    EXPECT_EQ(Sign(data, 200000, 1), reference);
    EXPECT_TRUE(Sign({}, 10000, 10000).empty());
}

TEST(SignatureGenerator, RefusesChunkBoundsOutOfRange) {
    EXPECT_TRUE(ChunkParameters{}.Valid());
    EXPECT_FALSE(SignatureGenerator::Create(ChunkParameters{4096, 12, 1024}));  // min above max
    EXPECT_FALSE(SignatureGenerator::Create(ChunkParameters{1024, 5, 32768}));
    EXPECT_FALSE(SignatureGenerator::Create(ChunkParameters{32, 11, 32768}));
    EXPECT_FALSE(SignatureGenerator::Create(ChunkParameters{1024, 11, (1u << 24) + 1}));
    EXPECT_TRUE(SignatureGenerator::Create(ChunkParameters{64, 6, 64}));
}

// Feeds `source` to a comparator in pieces, with a small needs buffer.
std::vector<Need> Compare(std::span<const std::uint8_t> seed,
                          const std::vector<std::uint8_t>& source, std::size_t piece,
                          std::size_t needsPerCall, bool* failed = nullptr) {
    std::optional<Comparator> comparator = Comparator::Create(seed);
    std::vector<Need> needs;
    if (!comparator) {
        if (failed)
            *failed = true;
        return needs;
    }
    std::vector<Need> buffer(needsPerCall);
    std::size_t position = 0;
    for (int guard = 0; guard < 1000000; ++guard) {
        const std::size_t chunk = std::min(piece, source.size() - position);
        const bool endOfInput = position + chunk == source.size();
        std::vector<std::uint8_t> in(source.begin() + position, source.begin() + position + chunk);
        Comparator::Progress step;
        if (comparator->Process(endOfInput, in, buffer, step) != Result::Ok) {
            if (failed)
                *failed = true;
            // A failed comparator stays failed.
            EXPECT_EQ(comparator->Process(endOfInput, in, buffer, step), Result::Failed);
            return needs;
        }
        EXPECT_LE(step.needs, needsPerCall);
        needs.insert(needs.end(), buffer.begin(), buffer.begin() + step.needs);
        position += step.consumed;
        if (step.endOfOutput)
            return needs;
    }
    ADD_FAILURE() << "comparator never finished";
    return needs;
}

TEST(Comparator, NeedsRebuildTheTargetWhateverTheBufferSizes) {
    const auto old = RandomBytes(400000, 6);
    auto now = old;
    // Swap two halves and change a few bytes: seed needs out of order.
    std::rotate(now.begin(), now.begin() + 150000, now.end());
    now[5000] ^= 1;
    now[300000] ^= 1;
    const auto seed = Sign(old, 10000, 10000);
    const auto source = Sign(now, 10000, 10000);
    const auto reference = Compare(seed, source, 10000, 16384);
    for (auto [piece, room] : {std::pair<std::size_t, std::size_t>{7, 1}, {19, 2}, {100000, 1}})
        EXPECT_EQ(Compare(seed, source, piece, room), reference) << piece << " " << room;
    std::vector<std::uint8_t> rebuilt;
    std::uint64_t sourceBytes = 0;
    for (std::size_t i = 0; i < reference.size(); ++i) {
        const auto& need = reference[i];
        const auto& from = need.type == NeedType::Seed ? old : now;
        rebuilt.insert(rebuilt.end(), from.begin() + need.offset,
                       from.begin() + need.offset + need.length);
        if (need.type == NeedType::Source)
            sourceBytes += need.length;
        if (i > 0) {  // merged: no two neighbours continue each other
            EXPECT_FALSE(reference[i - 1].type == need.type &&
                         reference[i - 1].offset + reference[i - 1].length == need.offset);
        }
    }
    EXPECT_EQ(rebuilt, now);
    EXPECT_LT(sourceBytes, 100000u);
    EXPECT_LE(reference.size(), 8u);
}

TEST(Comparator, RejectsMalformedSignatures) {
    const auto data = RandomBytes(50000, 7);
    const auto signature = Sign(data, 10000, 10000);

    // A seed cut inside a record, or with a bad magic, is refused at creation.
    EXPECT_FALSE(Comparator::Create(std::span(signature).first(signature.size() - 3)));
    auto badMagic = signature;
    badMagic[0] ^= 0xFF;
    EXPECT_FALSE(Comparator::Create(badMagic));

    // A source cut inside a record, a newer version, or a chunk above the maximum.
    bool failed = false;
    Compare(signature, {signature.begin(), signature.end() - 1}, 10000, 16, &failed);
    EXPECT_TRUE(failed);
    auto newer = signature;
    newer[7] = 2;
    failed = false;
    Compare(signature, newer, 10000, 16, &failed);
    EXPECT_TRUE(failed);
    auto huge = signature;
    huge[kSignatureHeaderSize + 3] = 0x7F;
    failed = false;
    Compare(signature, huge, 10000, 16, &failed);
    EXPECT_TRUE(failed);
    // Signatures of different chunk bounds cannot be compared.
    auto other = signature;
    other[12] = 12;  // averageBits
    failed = false;
    Compare(signature, other, 10000, 16, &failed);
    EXPECT_TRUE(failed);

    // An empty seed: the whole target is one source need.
    const auto needs = Compare({}, signature, 10000, 16);
    ASSERT_EQ(needs.size(), 1u);
    EXPECT_EQ(needs[0], (Need{NeedType::Source, 0, data.size()}));
}

}  // namespace

namespace {

// The sender's early check of a client's signature must agree with what the
// comparator itself takes.
TEST(Comparator, AcceptsAgreesWithCreate) {
    using namespace DIFFLIB;
    const auto data = codectest::RandomBytes(200000, 5);
    std::vector<std::uint8_t> good(kSignatureHeaderSize);
    EncodeSignatureHeader(
        {}, std::span<std::uint8_t, kSignatureHeaderSize>(good.data(), kSignatureHeaderSize));
    for (std::uint32_t length : ChunkLengths(data)) {
        std::uint8_t record[kSignatureRecordSize];
        EncodeChunkRecord({length, {length, 1}}, record);
        good.insert(good.end(), record, record + kSignatureRecordSize);
    }
    std::vector<std::vector<std::uint8_t>> cases{{}, good};
    cases.emplace_back(good.begin(), good.end() - 1);  // cut inside a record
    auto badMagic = good;
    badMagic[0] ^= 1;
    cases.push_back(badMagic);
    auto zeroLength = good;
    std::fill_n(zeroLength.end() - kSignatureRecordSize, 4, 0);  // the last record's length
    cases.push_back(zeroLength);
    auto tooLong = good;
    tooLong[kSignatureHeaderSize + 2] = 0x7f;  // the first record's length beyond the maximum
    cases.push_back(tooLong);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Comparator::Accepts(cases[i]), Comparator::Create(cases[i]).has_value());
    }
    EXPECT_TRUE(Comparator::Accepts(good));
    EXPECT_FALSE(Comparator::Accepts(zeroLength));
}

}  // namespace
