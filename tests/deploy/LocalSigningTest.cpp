// The server's signature and hash of its file, made while the client signs:
// the same signature the engine makes directly, the file's own hash, and a
// clean end when the upload goes whole instead.
#include "deploy/LocalSigning.h"

#include <gtest/gtest.h>

#include "codec/DiffLib.h"
#include "deploy/DeployTestSupport.h"

namespace {

using deploytest::TempDir;

TEST(LocalSigning, MakesTheEnginesSignatureAndTheFilesHash) {
    TempDir dir;
    const auto content = deploytest::SampleContent(3 * 1000 * 1000 + 17, 21);
    deploytest::WriteFile(dir / "local.bin", content);

    LocalSigning local(dir.Path().wstring() + L"/local.bin", std::uint64_t{1} << 32);
    ASSERT_EQ(local.Wait(), DeployError::None);
    EXPECT_EQ(local.Size(), content.size());
    const auto digest = local.Digest();
    EXPECT_EQ(std::vector<std::uint8_t>(digest.begin(), digest.end()),
              deploytest::StrongHash(content));

    DIFFLIB::DiffLibrary library;
    DIFFLIB::MemoryDiffWriter direct;
    ASSERT_EQ(library.GenerateSignature(DIFFLIB::MemoryReader(content), direct),
              DIFFLIB::Result::Ok);
    EXPECT_TRUE(std::ranges::equal(local.Signature().Data(), direct.Data()));
    // The file stays open for the patch's source bytes.
    std::vector<std::uint8_t> tail(17);
    ASSERT_EQ(local.File().Read(content.size() - 17, tail), std::optional<std::size_t>(17));
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), content.end() - 17));
}

TEST(LocalSigning, MissingTooLargeAndAbandonedFilesFail) {
    TempDir dir;
    deploytest::WriteFile(dir / "local.bin", deploytest::SampleContent(64 * 1024 * 1024, 3));
    const std::wstring path = dir.Path().wstring() + L"/local.bin";

    EXPECT_EQ(LocalSigning(path + L".missing", std::uint64_t{1} << 32).Wait(), DeployError::Source);
    EXPECT_EQ(LocalSigning(dir.Path().wstring(), std::uint64_t{1} << 32).Wait(),
              DeployError::Source);
    EXPECT_EQ(LocalSigning(path, 64 * 1024 * 1024).Wait(), DeployError::Source);

    // The client has no file: the work stops at its next read and the
    // sender goes on at once.
    LocalSigning abandoned(path, std::uint64_t{1} << 32);
    abandoned.Abandon();
    EXPECT_EQ(abandoned.Wait(), DeployError::Source);
}

}  // namespace
