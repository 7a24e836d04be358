// Signing in segments on several threads must give the single-pass
// generator's signature byte for byte, whatever the data and wherever the
// segments are cut.
#include "codec/SegmentedSigning.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RandomBytes.h"
#include "codec/DiffLib.h"
#include "codec/MemoryDiffWriter.h"

namespace {

using namespace DIFFLIB;
using codectest::RandomBytes;

std::vector<std::uint8_t> SinglePass(const std::vector<std::uint8_t>& data) {
    DiffLibrary library;
    MemoryDiffWriter out;
    const MemoryReader reader(data);
    EXPECT_EQ(library.GenerateSignature(reader, out), Result::Ok);
    return out.Take();
}

void ExpectSameAsSinglePass(const std::vector<std::uint8_t>& data) {
    const auto expected = SinglePass(data);
    // Segments shorter than a chunk, about a chunk, and many chunks long.
    for (const std::uint64_t segment : {1000u, 4096u, 40000u, 300000u}) {
        for (const unsigned threads : {2u, 3u, 7u}) {
            SCOPED_TRACE("segment " + std::to_string(segment) + ", threads " +
                         std::to_string(threads));
            MemoryDiffWriter out;
            const MemoryReader reader(data);
            ASSERT_EQ(SignInSegments(reader, out, {threads, segment, {}}), Result::Ok);
            EXPECT_TRUE(out.Data().size() == expected.size() &&
                        std::equal(expected.begin(), expected.end(), out.Data().begin()));
        }
    }
}

TEST(SegmentedSigning, RandomDataMatchesTheSinglePass) {
    ExpectSameAsSinglePass(RandomBytes(1 << 20, 7));
    ExpectSameAsSinglePass(RandomBytes(100001, 8));
}

TEST(SegmentedSigning, RepetitiveDataMatchesTheSinglePass) {
    // One byte throughout (every chunk as long as allowed, segments never
    // fall into step), a short period, and text-like lines.
    ExpectSameAsSinglePass(std::vector<std::uint8_t>(700000, 0));
    std::vector<std::uint8_t> periodic(600000);
    for (std::size_t i = 0; i < periodic.size(); ++i)
        periodic[i] = static_cast<std::uint8_t>((i % 1000) * 7);
    ExpectSameAsSinglePass(periodic);
    std::vector<std::uint8_t> text;
    for (int line = 0; text.size() < 500000; ++line) {
        const std::string row = "line " + std::to_string(line % 97) + " of the same few words\n";
        text.insert(text.end(), row.begin(), row.end());
    }
    ExpectSameAsSinglePass(text);
}

TEST(SegmentedSigning, SmallAndEmptyFiles) {
    for (const std::size_t size : {0u, 1u, 1023u, 1024u, 1025u, 32768u, 32769u}) {
        SCOPED_TRACE(size);
        ExpectSameAsSinglePass(RandomBytes(size, 3));
    }
}

TEST(SegmentedSigning, AShortReadFails) {
    // A reader that claims more than it holds: the file shrank under us.
    class Shrunk final : public Reader {
      public:
        explicit Shrunk(std::span<const std::uint8_t> data) : inner_(data) {}
        std::optional<std::uint64_t> Size() const override { return *inner_.Size() + 5000; }
        std::optional<std::size_t> Read(std::uint64_t offset,
                                        std::span<std::uint8_t> out) const override {
            return inner_.Read(offset, out);
        }

      private:
        MemoryReader inner_;
    };
    const auto data = RandomBytes(200000, 4);
    MemoryDiffWriter out;
    EXPECT_EQ(SignInSegments(Shrunk(data), out, {3, 4096, {}}), Result::Failed);
}

}  // namespace
