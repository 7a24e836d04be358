// A file signed on the side as it passes must get the signature of its
// bytes, all of them, in order, whatever pieces they came in.
#include "deploy/StreamSigner.h"

#include <gtest/gtest.h>

#include <random>

#include "codec/DiffLib.h"
#include "codec/MemoryDiffWriter.h"

namespace {

using namespace deploy;

TEST(StreamSignerTest, SignatureOfEverythingAddedInOrder) {
    std::mt19937 rng(9);
    // Less than the signer lets wait: it cannot fall behind far enough to
    // give up.
    std::vector<std::uint8_t> data(std::size_t{6} << 20);
    for (auto& b : data)
        b = static_cast<std::uint8_t>(rng() % 7 == 0 ? rng() : 'a');
    DIFFLIB::DiffLibrary library;
    DIFFLIB::MemoryDiffWriter expected;
    ASSERT_EQ(library.GenerateSignature(DIFFLIB::MemoryReader(data), expected),
              DIFFLIB::Result::Ok);

    StreamSigner signer(expected.Size());
    std::size_t piece = 1;
    for (std::size_t at = 0; at < data.size(); at += piece, piece = piece * 3 % 200003 + 1)
        signer.Add(std::span(data).subspan(at, std::min(piece, data.size() - at)));
    const SharedSignature signature = signer.Finish();
    ASSERT_NE(signature, nullptr);
    EXPECT_TRUE(std::equal(signature->begin(), signature->end(), expected.Data().begin(),
                           expected.Data().end()));

    StreamSigner empty(0);
    ASSERT_NE(empty.Finish(), nullptr);

    // Far more, as fast as it can be added: either the signature of every
    // byte or none (given up behind), never one of part of them.
    std::vector<std::uint8_t> large;
    for (int i = 0; i < 6; ++i)
        large.insert(large.end(), data.begin(), data.end());
    DIFFLIB::MemoryDiffWriter expectedLarge;
    ASSERT_EQ(library.GenerateSignature(DIFFLIB::MemoryReader(large), expectedLarge),
              DIFFLIB::Result::Ok);
    StreamSigner racing(expectedLarge.Size());
    for (std::size_t at = 0; at < large.size(); at += 65536)
        racing.Add(std::span(large).subspan(at, std::min<std::size_t>(65536, large.size() - at)));
    if (const SharedSignature raced = racing.Finish()) {
        EXPECT_TRUE(std::equal(raced->begin(), raced->end(), expectedLarge.Data().begin(),
                               expectedLarge.Data().end()));
    }

    // One byte less room than the signature needs: given up.
    StreamSigner bounded(expected.Size() - 1);
    bounded.Add(data);
    EXPECT_EQ(bounded.Finish(), nullptr);
}

}  // namespace
