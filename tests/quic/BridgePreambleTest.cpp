// The tunnel stream preamble: its wire form and how a receiver collects it
// however the transport splits the first bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quic/Bridge.h"

using namespace quic;

namespace {

std::vector<std::uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

const std::string kMarker(kPreambleMarker);

TEST(BridgePreambleTest, WireFormIsMarkerAndSixDigits) {
    EXPECT_EQ(BuildPreamble(4026), kMarker + "004026");
    EXPECT_EQ(BuildPreamble(65535), kMarker + "065535");
    EXPECT_EQ(BuildPreamble(1).size(), kPreambleSize);
    // Never longer than the preamble, whatever the number.
    EXPECT_EQ(BuildPreamble(12345678).size(), kPreambleSize);
    EXPECT_EQ(ParsePreamble(Bytes(BuildPreamble(4026))), 4026);
    EXPECT_EQ(ParsePreamble(Bytes(BuildPreamble(7))), 7);
}

TEST(BridgePreambleTest, RejectsWhatDoesNotNameAPort) {
    EXPECT_FALSE(ParsePreamble(Bytes(kMarker + "00402")));        // short
    EXPECT_FALSE(ParsePreamble(Bytes(kMarker + "0040a6")));       // not digits
    EXPECT_FALSE(ParsePreamble(Bytes(kMarker + "X04026")));       // the first is no digit
    EXPECT_FALSE(ParsePreamble(Bytes(kMarker + "165535")));       // six digits past a port
    EXPECT_FALSE(ParsePreamble(Bytes(kMarker + "+04026")));       // a sign is no digit
    EXPECT_FALSE(ParsePreamble(Bytes(kMarker + "000000")));       // port 0
    EXPECT_FALSE(ParsePreamble(Bytes(kMarker + "065536")));       // beyond TCP
    EXPECT_FALSE(ParsePreamble(Bytes("x" + kMarker + "00402")));  // not at the start
    std::string wrongMarker = BuildPreamble(4026);
    wrongMarker[5] = 'X';
    EXPECT_FALSE(ParsePreamble(Bytes(wrongMarker)));
}

TEST(BridgePreambleTest, CollectsAPreambleSplitOverBlocks) {
    const std::vector<std::uint8_t> preamble = Bytes(BuildPreamble(4026));
    PreambleCollector collector;
    auto outcome = collector.Add({preamble.data(), 20});
    EXPECT_EQ(outcome.state, PreambleCollector::State::Collecting);
    EXPECT_FALSE(collector.Checked());
    outcome = collector.Add({preamble.data() + 20, 24});
    EXPECT_EQ(outcome.state, PreambleCollector::State::Found);
    EXPECT_EQ(outcome.port, 4026);
    EXPECT_TRUE(outcome.rest.empty());
    EXPECT_TRUE(collector.Checked());
}

TEST(BridgePreambleTest, ByteByByteAndTrailingBytesComeBackOnce) {
    const std::vector<std::uint8_t> stream = Bytes(BuildPreamble(4026) + "HELLO");
    PreambleCollector collector;
    PreambleCollector::Outcome outcome;
    std::size_t offset = 0;
    // One byte at a time up to 43, then the rest in one block.
    for (; offset < kPreambleSize - 1; ++offset) {
        outcome = collector.Add({stream.data() + offset, 1});
        ASSERT_EQ(outcome.state, PreambleCollector::State::Collecting) << offset;
    }
    outcome = collector.Add({stream.data() + offset, stream.size() - offset});
    ASSERT_EQ(outcome.state, PreambleCollector::State::Found);
    EXPECT_EQ(std::string(outcome.rest.begin(), outcome.rest.end()), "HELLO");
    // Later blocks are payload, not part of the check.
    const std::vector<std::uint8_t> more = Bytes("WORLD");
    EXPECT_EQ(collector.Add(more).state, PreambleCollector::State::Missing);
}

TEST(BridgePreambleTest, PreambleAndPayloadInOneBlock) {
    const std::vector<std::uint8_t> block = Bytes(BuildPreamble(5000) + std::string(3000, 'z'));
    PreambleCollector collector;
    const auto outcome = collector.Add(block);
    ASSERT_EQ(outcome.state, PreambleCollector::State::Found);
    EXPECT_EQ(outcome.port, 5000);
    EXPECT_EQ(outcome.rest.size(), 3000u);
}

TEST(BridgePreambleTest, HeadWithoutMarkerIsMissing) {
    PreambleCollector collector;
    const std::vector<std::uint8_t> first = Bytes(std::string(30, 'a'));
    const std::vector<std::uint8_t> second = Bytes(std::string(30, 'b'));
    EXPECT_EQ(collector.Add(first).state, PreambleCollector::State::Collecting);
    const auto outcome = collector.Add(second);
    EXPECT_EQ(outcome.state, PreambleCollector::State::Missing);
    EXPECT_TRUE(outcome.rest.empty());
    EXPECT_TRUE(collector.Checked());
}

}  // namespace
