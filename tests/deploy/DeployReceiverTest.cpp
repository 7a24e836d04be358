// The receiver against a hand-driven server that speaks the real header
// format, including messages a sound server would never send.
#include "deploy/DeployReceiver.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <future>

#include "codec/DiffLib.h"
#include "deploy/DeployTestSupport.h"
#include "platform/Text.h"

using namespace deploy;

namespace {

using namespace std::chrono_literals;
using namespace net;
using deploytest::Bytes;
using deploytest::RawMessage;
using deploytest::ReadFile;
using deploytest::WriteFile;

std::vector<std::uint8_t> Compressed(std::vector<std::uint8_t> bytes) {
    EXPECT_EQ(DIFFLIB::DiffLibrary::CompressBuffer(bytes), DIFFLIB::Result::Ok);
    return bytes;
}

// A patch made of one record, followed by its bytes for a source record.
std::vector<std::uint8_t> OneRecordPatch(std::uint32_t type, std::uint64_t offset,
                                         std::uint64_t length,
                                         const std::vector<std::uint8_t>& bytes = {}) {
    std::vector<std::uint8_t> patch(24 + bytes.size(), 0);
    for (int i = 0; i < 4; ++i)
        patch[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(type >> (8 * i));
    for (int i = 0; i < 8; ++i) {
        patch[8 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(offset >> (8 * i));
        patch[16 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(length >> (8 * i));
    }
    std::copy(bytes.begin(), bytes.end(), patch.begin() + 24);
    return patch;
}

class DeployReceiverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(listener.Create(AF_INET6), NetError::None);
        ASSERT_EQ(listener.BindAndListen(0), NetError::None);
        const int port = listener.LocalPort();
        clientOut.Attach(client);
        receiver = std::async(std::launch::async,
                              [this, port] { RunTcpReceiverThread(client, "::1", port); });
        TcpSocket accepted = listener.Accept();
        ASSERT_TRUE(accepted.IsValid());
        server = std::make_unique<deploytest::RawPeer>(std::move(accepted));
    }

    void TearDown() override {
        if (server)
            server->Socket().Close();
        client.CloseSockets();
        if (receiver.valid())
            receiver.wait();
    }

    // Sends a signature request and returns the reply.
    RawMessage Ask(const std::filesystem::path& path) {
        RawMessage reply;
        EXPECT_TRUE(
            server->Send(DEPLOY_SIGNATURE, platform::ToUtf16Le(platform::FromUtf8(path.string()))));
        EXPECT_TRUE(server->Receive(reply));
        EXPECT_EQ(reply.type, DEPLOY_SIGNATURE);
        return reply;
    }

    // Sends an upload and returns the acknowledgement's result (-1: none).
    int Upload(std::uint32_t type, const std::vector<std::uint8_t>& payload,
               std::uint64_t plainSize = 0, std::uint64_t fileTime = 0) {
        RawMessage ack;
        if (!server->Send(type, payload, plainSize, fileTime) || !server->Receive(ack))
            return -1;
        EXPECT_EQ(ack.type, type);
        EXPECT_EQ(ack.size, 0u);
        return static_cast<int>(ack.result);
    }

    // Entries of `dir` whose names mark them as our temporary files.
    static std::size_t Leftovers(const std::filesystem::path& dir) {
        std::size_t count = 0;
        for (const auto& entry : std::filesystem::directory_iterator(dir))
            count += entry.path().filename().string().find(".vtr") != std::string::npos;
        return count;
    }

    deploytest::TempDir dir;
    TcpSocket listener{kInvalidSocket};
    DeployChannel client;
    deploytest::PrintSink clientOut;
    std::future<void> receiver;
    std::unique_ptr<deploytest::RawPeer> server;
};

TEST_F(DeployReceiverTest, UploadsBeforeAnySignatureRequestAreRefused) {
    EXPECT_EQ(Upload(DEPLOY_FULL, Compressed(Bytes("data")), 4), 0);
    EXPECT_EQ(Upload(DEPLOY_PATCH, Compressed(OneRecordPatch(0, 0, 1, Bytes("x")))), 0);
    EXPECT_EQ(clientOut.Text(), L" Writing ... \r\n Patching ... \r\n");
}

TEST_F(DeployReceiverTest, UnknownTypesAreSkippedWithoutReply) {
    ASSERT_TRUE(server->Send(0, Bytes("abc")));
    ASSERT_TRUE(server->Send(9, std::vector<std::uint8_t>(5000, 7)));
    ASSERT_TRUE(server->Send(0xffffffffu, {}));
    // The path ends at its first zero, as a terminated text would.
    auto path = platform::ToUtf16Le(platform::FromUtf8((dir / "none.bin").string()));
    const auto tail = platform::ToUtf16Le(std::wstring(L"\0junk", 5));
    path.insert(path.end(), tail.begin(), tail.end());
    ASSERT_TRUE(server->Send(DEPLOY_SIGNATURE, path));
    RawMessage reply;
    ASSERT_TRUE(server->Receive(reply));
    EXPECT_EQ(reply.type, DEPLOY_SIGNATURE) << "the first reply answers the signature request";
    EXPECT_EQ(reply.size, 0u);
    EXPECT_EQ(clientOut.Text(), L"Requested signature for " +
                                    platform::FromUtf8((dir / "none.bin").string()) + L"... ");
}

TEST_F(DeployReceiverTest, BadPayloadsLeaveTheOldFileUntouched) {
    const auto target = dir / "keep.txt";
    const auto old = Bytes("the old content that must survive\n");
    WriteFile(target, old);
    EXPECT_GT(Ask(target).size, 0u);

    EXPECT_EQ(Upload(DEPLOY_FULL, Bytes("not compressed at all"), 21), 0) << "corrupt payload";
    EXPECT_EQ(Upload(DEPLOY_FULL, Compressed(Bytes("new")), 999), 0) << "size disagrees";
    EXPECT_EQ(Upload(DEPLOY_FULL, Compressed(Bytes("new content, longer")), 3), 0)
        << "frame holds more than announced";
    EXPECT_EQ(Upload(DEPLOY_PATCH, Bytes("garbage patch")), 0) << "corrupt patch";
    EXPECT_EQ(Upload(DEPLOY_PATCH, Compressed(OneRecordPatch(2, 10, 1000))), 0)
        << "seed range beyond the old file";
    EXPECT_EQ(Upload(DEPLOY_PATCH, Compressed(OneRecordPatch(0, 0, 100, Bytes("short")))), 0)
        << "truncated source block";
    EXPECT_EQ(Upload(DEPLOY_PATCH, Compressed(OneRecordPatch(7, 0, 1))), 0) << "unknown record";
    EXPECT_EQ(ReadFile(target), old);
    EXPECT_EQ(Leftovers(dir.Path()), 0u);

    // The channel is still in step: a sound patch now applies.
    EXPECT_EQ(Upload(DEPLOY_PATCH, Compressed(OneRecordPatch(2, 4, 3))), 1);
    EXPECT_EQ(ReadFile(target), Bytes("old"));
}

TEST_F(DeployReceiverTest, TargetsThatCannotBeWrittenGiveResultZero) {
    // A patch needs its old file; nothing is created without one.
    const auto absent = dir / "absent.txt";
    EXPECT_EQ(Ask(absent).size, 0u);
    EXPECT_EQ(Upload(DEPLOY_PATCH, Compressed(OneRecordPatch(0, 0, 2, Bytes("hi")))), 0);
    EXPECT_FALSE(std::filesystem::exists(absent));

    // A directory at the path stays a directory.
    const auto directory = dir / "adir";
    std::filesystem::create_directory(directory);
    EXPECT_EQ(Ask(directory).size, 0u);
    EXPECT_EQ(Upload(DEPLOY_FULL, Compressed(Bytes("x")), 1), 0);
    EXPECT_TRUE(std::filesystem::is_directory(directory));

    // A regular file where a parent directory should be.
    const auto blocker = dir / "blocker";
    WriteFile(blocker, Bytes("file"));
    EXPECT_EQ(Ask(blocker / "child.txt").size, 0u);
    EXPECT_EQ(Upload(DEPLOY_FULL, Compressed(Bytes("x")), 1), 0);
    EXPECT_EQ(ReadFile(blocker), Bytes("file"));
    EXPECT_EQ(Leftovers(dir.Path()), 0u);
}

TEST_F(DeployReceiverTest, EmptyUploadAndPatchWithFileTime) {
    const auto target = dir / "data.bin";
    WriteFile(target, Bytes("something"));
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    EXPECT_GT(Ask(target).size, 0u);
    // A full upload of an empty file is a header alone.
    EXPECT_EQ(Upload(DEPLOY_FULL, {}, 0), 1);
    ASSERT_TRUE(std::filesystem::is_regular_file(target));
    EXPECT_EQ(std::filesystem::file_size(target), 0u);

    // 2020-01-01T00:00:00.5Z as a FILETIME.
    constexpr std::uint64_t kUnix = 1577836800;
    const std::uint64_t fileTime = kUnix * 10000000 + 5000000 + 116444736000000000ull;
    const auto fresh = Bytes("fresh bytes");
    EXPECT_EQ(
        Upload(DEPLOY_PATCH, Compressed(OneRecordPatch(0, 0, fresh.size(), fresh)), 0, fileTime),
        1);
    EXPECT_EQ(ReadFile(target), fresh);
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mtim.tv_sec, static_cast<time_t>(kUnix));
    EXPECT_EQ(info.st_mtim.tv_nsec, 500000000);
    EXPECT_EQ(info.st_mode & 07777, 0640u);

    // fileTime 0 leaves the time of the write.
    const auto before = std::filesystem::file_time_type::clock::now() - 10s;
    EXPECT_EQ(Upload(DEPLOY_PATCH, Compressed(OneRecordPatch(2, 0, 5))), 1);
    EXPECT_EQ(ReadFile(target), Bytes("fresh"));
    EXPECT_GT(std::filesystem::last_write_time(target), before);
}

TEST_F(DeployReceiverTest, HeaderBeyondWhatTheReceiverHoldsEndsTheChannel) {
    ASSERT_TRUE(server->SendRaw(deploytest::RawHeader(DEPLOY_FULL, std::uint64_t{5} << 30)));
    ASSERT_EQ(receiver.wait_for(5s), std::future_status::ready) << "receiver did not end";
    EXPECT_TRUE(server->PeerClosed());
}

TEST_F(DeployReceiverTest, ReceiverEndsWhenTheServerGoes) {
    EXPECT_EQ(Ask(dir / "x").size, 0u);
    server->Socket().Close();
    EXPECT_EQ(receiver.wait_for(5s), std::future_status::ready);
}

}  // namespace

// Streamed uploads: a start, blocks raw or LZMS, an end, one acknowledgement.
class DeployStreamReceiverTest : public DeployReceiverTest {
  protected:
    // A block as the sender would make it: LZMS when that is smaller and
    // `lzms` is asked for, raw otherwise.
    static RawMessage Block(std::span<const std::uint8_t> plain, bool lzms) {
        RawMessage block;
        block.plainSize = plain.size();
        if (lzms) {
            DIFFLIB::LzmsBlockCompressor compressor;
            if (compressor.Compress(plain, block.payload) == DIFFLIB::Result::Ok)
                return block;
        }
        block.payload.assign(plain.begin(), plain.end());
        return block;
    }

    // The acknowledgement's result of a streamed upload (-1: none came); its
    // type goes to lastAckType. `hash`: what the end states (none if empty).
    int Stream(std::uint32_t startType, std::uint64_t announced,
               const std::vector<RawMessage>& blocks, std::uint64_t endPlain,
               std::uint32_t endResult = 1, const std::vector<std::uint8_t>& hash = {}) {
        lastAckType = 0;
        if (!server->Send(startType, {}, announced))
            return -1;
        for (const RawMessage& block : blocks)
            if (!server->Send(DEPLOY_BLOCK, block.payload, block.plainSize))
                return -1;
        RawMessage ack;
        if (!server->Send(DEPLOY_END, hash, endPlain, 0, endResult) || !server->Receive(ack))
            return -1;
        lastAckType = ack.type;
        if (ack.type != DEPLOY_UNVERIFIED || ack.result != 0) {
            EXPECT_EQ(ack.type, startType == DEPLOY_STREAM_FULL ? DEPLOY_FULL : DEPLOY_PATCH);
        }
        return static_cast<int>(ack.result);
    }

    std::uint32_t lastAckType = 0;

    // The patch that turns the client's `target` into `changed`, from the
    // signature the client sends; empty when any step fails.
    std::vector<std::uint8_t> PatchFor(const std::filesystem::path& target,
                                       const std::vector<std::uint8_t>& changed) {
        const RawMessage signature = Ask(target);
        EXPECT_GT(signature.size, 0u);
        DIFFLIB::DiffLibrary library;
        DIFFLIB::MemoryDiffWriter source, patch;
        const DIFFLIB::MemoryReader changedReader(changed);
        if (signature.size == 0 ||
            library.GenerateSignature(changedReader, source) != DIFFLIB::Result::Ok ||
            library.CompareSignatures(DIFFLIB::MemoryReader(signature.payload),
                                      DIFFLIB::MemoryReader(source.Data()), &changedReader,
                                      patch) != DIFFLIB::Result::Ok)
            return {};
        return {patch.Data().begin(), patch.Data().end()};
    }

    // `data` cut into blocks of `size`, every other one LZMS.
    static std::vector<RawMessage> Blocks(std::span<const std::uint8_t> data, std::size_t size) {
        std::vector<RawMessage> blocks;
        for (std::size_t at = 0; at < data.size(); at += size)
            blocks.push_back(
                Block(data.subspan(at, std::min(size, data.size() - at)), blocks.size() % 2 == 0));
        return blocks;
    }
};

TEST_F(DeployStreamReceiverTest, RawAndLzmsBlocksMixedInOneFileAndPatchArriveIntact) {
    const auto target = dir / "sub" / "mixed.bin";
    // Text and noise, so that LZMS blocks and raw blocks both occur.
    auto content = deploytest::SampleContent(900000, 3);
    for (std::size_t i = 300000; i < 500000; ++i)
        content[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 13);
    EXPECT_EQ(Ask(target).size, 0u);
    const auto blocks = Blocks(content, 100000);
    int raw = 0, lzms = 0;
    for (const auto& block : blocks)
        ++(block.payload.size() == block.plainSize ? raw : lzms);
    ASSERT_GT(raw, 0);
    ASSERT_GT(lzms, 0);
    EXPECT_EQ(Stream(DEPLOY_STREAM_FULL, content.size(), blocks, content.size()), 1);
    EXPECT_EQ(ReadFile(target), content);

    // A patch of the same file, cut so that records and source bytes
    // straddle the blocks.
    auto changed = content;
    changed.insert(changed.begin() + 450000, 3000, 'x');
    const auto patch = PatchFor(target, changed);
    ASSERT_FALSE(patch.empty());
    EXPECT_EQ(Stream(DEPLOY_STREAM_PATCH, 0, Blocks(patch, 1001), patch.size()), 1);
    EXPECT_EQ(ReadFile(target), changed);
    EXPECT_EQ(Leftovers(target.parent_path()), 0u);
    EXPECT_NE(clientOut.Text().find(L"...  Writing ... \r\n"), std::wstring::npos);
    EXPECT_NE(clientOut.Text().find(L"...  Patching ... \r\n"), std::wstring::npos);
}

TEST_F(DeployStreamReceiverTest, FailureMidFileKeepsTheOldFileAndTheChannelInStep) {
    const auto target = dir / "keep.bin";
    const auto old = deploytest::SampleContent(50000, 1);
    WriteFile(target, old);
    const auto content = deploytest::SampleContent(600000, 2);
    EXPECT_GT(Ask(target).size, 0u);

    // A damaged LZMS block in the middle: the rest is still taken to the end.
    auto blocks = Blocks(content, 100000);
    ASSERT_LT(blocks[2].payload.size(), blocks[2].plainSize);
    std::fill(blocks[2].payload.begin() + 8, blocks[2].payload.end(), 0xee);
    EXPECT_EQ(Stream(DEPLOY_STREAM_FULL, content.size(), blocks, content.size()), 0);
    EXPECT_EQ(ReadFile(target), old);

    // An end that counts other bytes than came, and a sender that gives up.
    blocks = Blocks(content, 100000);
    EXPECT_EQ(Stream(DEPLOY_STREAM_FULL, content.size(), blocks, content.size() - 1), 0);
    EXPECT_EQ(Stream(DEPLOY_STREAM_FULL, content.size(), blocks, content.size(), 0), 0);
    // A patch whose seed reaches past the old file.
    EXPECT_EQ(Stream(DEPLOY_STREAM_PATCH, 0, {Block(OneRecordPatch(2, 10, 100000), true)}, 24), 0);
    EXPECT_EQ(ReadFile(target), old);
    EXPECT_EQ(Leftovers(dir.Path()), 0u);

    // Still in step: the next request is answered and a good upload lands.
    EXPECT_GT(Ask(target).size, 0u);
    EXPECT_EQ(Stream(DEPLOY_STREAM_FULL, content.size(), blocks, content.size()), 1);
    EXPECT_EQ(ReadFile(target), content);
}

// The end states the hash of the file the target is to hold: a rebuilt or
// written file that does not match it never replaces the old one, and the
// acknowledgement says why; files that match land.
TEST_F(DeployStreamReceiverTest, FileThatDoesNotMatchTheStatedHashKeepsTheOldOne) {
    using deploytest::StrongHash;
    const auto target = dir / "verified.bin";
    const auto old = deploytest::SampleContent(300000, 5);
    WriteFile(target, old);
    auto changed = old;
    changed.insert(changed.begin() + 120000, 5000, 'y');
    const auto patch = PatchFor(target, changed);
    ASSERT_FALSE(patch.empty());
    const auto patchBlocks = Blocks(patch, 4096);

    // A sound patch whose end states another file's hash (one byte apart).
    auto almost = changed;
    almost.back() ^= 1;
    EXPECT_EQ(Stream(DEPLOY_STREAM_PATCH, 0, patchBlocks, patch.size(), 1, StrongHash(almost)), 0);
    EXPECT_EQ(lastAckType, DEPLOY_UNVERIFIED);
    EXPECT_EQ(ReadFile(target), old);
    EXPECT_EQ(Leftovers(dir.Path()), 0u);
    // The same whole.
    const auto wholeBlocks = Blocks(changed, 100000);
    EXPECT_EQ(Stream(DEPLOY_STREAM_FULL, changed.size(), wholeBlocks, changed.size(), 1,
                     StrongHash(almost)),
              0);
    EXPECT_EQ(lastAckType, DEPLOY_UNVERIFIED);
    EXPECT_EQ(ReadFile(target), old);
    EXPECT_EQ(Leftovers(dir.Path()), 0u);

    // With the right hash both land.
    EXPECT_EQ(Stream(DEPLOY_STREAM_PATCH, 0, patchBlocks, patch.size(), 1, StrongHash(changed)), 1);
    EXPECT_EQ(ReadFile(target), changed);
    EXPECT_EQ(
        Stream(DEPLOY_STREAM_FULL, old.size(), Blocks(old, 100000), old.size(), 1, StrongHash(old)),
        1);
    EXPECT_EQ(ReadFile(target), old);

    // A patch that does not fit the old file is refused the same way; a
    // target that cannot be written is not a verification failure.
    EXPECT_EQ(Stream(DEPLOY_STREAM_PATCH, 0, {Block(OneRecordPatch(2, 10, 10000000), true)}, 24, 1,
                     StrongHash(changed)),
              0);
    EXPECT_EQ(lastAckType, DEPLOY_UNVERIFIED);
    const auto directory = dir / "adir";
    std::filesystem::create_directory(directory);
    EXPECT_EQ(Ask(directory).size, 0u);
    EXPECT_EQ(
        Stream(DEPLOY_STREAM_FULL, old.size(), Blocks(old, 100000), old.size(), 1, StrongHash(old)),
        0);
    EXPECT_EQ(lastAckType, DEPLOY_FULL);
    EXPECT_EQ(ReadFile(target), old);
    EXPECT_EQ(Leftovers(dir.Path()), 0u);
}

// A whole file whose payload decompresses to more bytes than its header's
// plain size is refused like a shorter one: result 0, the old file kept, the
// channel in step. In one message the frame says more than the header. In a
// stream a block's LZMS bytes hold more than the block's plain size; LZMS
// itself does not always notice (it stops when the block is full), so the
// end's hash of the file the sender meant is what catches it.
TEST_F(DeployStreamReceiverTest, PayloadLargerThanItsPlainSizeIsRefused) {
    const auto target = dir / "exact.bin";
    const auto old = Bytes("the old content\n");
    WriteFile(target, old);
    const auto longer = deploytest::SampleContent(70000, 8);
    EXPECT_GT(Ask(target).size, 0u);
    for (const std::size_t less : {std::size_t{1}, std::size_t{60000}}) {
        EXPECT_EQ(Upload(DEPLOY_FULL, Compressed(longer), longer.size() - less), 0) << less;
        EXPECT_EQ(ReadFile(target), old);
    }
    RawMessage block = Block(longer, true);
    ASSERT_LT(block.payload.size(), longer.size());
    block.plainSize = longer.size() - 1;
    EXPECT_EQ(Stream(DEPLOY_STREAM_FULL, block.plainSize, {block}, block.plainSize, 1,
                     deploytest::StrongHash(longer)),
              0);
    EXPECT_EQ(ReadFile(target), old);
    EXPECT_EQ(Leftovers(dir.Path()), 0u);

    // Still in step: the exact sizes land.
    EXPECT_EQ(Upload(DEPLOY_FULL, Compressed(longer), longer.size()), 1);
    EXPECT_EQ(ReadFile(target), longer);
    EXPECT_EQ(Stream(DEPLOY_STREAM_FULL, longer.size(), {Block(old, true)}, old.size()), 0);
    EXPECT_EQ(Stream(DEPLOY_STREAM_FULL, old.size(), {Block(old, false)}, old.size()), 1);
    EXPECT_EQ(ReadFile(target), old);
}

TEST_F(DeployStreamReceiverTest, BlocksThatBreakTheRulesEndTheChannel) {
    const auto target = dir / "keep.bin";
    const auto old = Bytes("old content\n");
    WriteFile(target, old);
    EXPECT_GT(Ask(target).size, 0u);
    // More than the start announced: refused at the header, before its bytes.
    ASSERT_TRUE(server->Send(DEPLOY_STREAM_FULL, {}, 10));
    ASSERT_TRUE(server->Send(DEPLOY_BLOCK, std::vector<std::uint8_t>(11, 1), 11));
    EXPECT_TRUE(server->PeerClosed());
    EXPECT_EQ(receiver.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(ReadFile(target), old);
    EXPECT_EQ(Leftovers(dir.Path()), 0u);
}

class DeployStreamRuleTest : public DeployStreamReceiverTest,
                             public ::testing::WithParamInterface<int> {};

TEST_P(DeployStreamRuleTest, EachBrokenRuleEndsTheChannel) {
    const auto target = dir / "keep.bin";
    const auto old = Bytes("old content\n");
    WriteFile(target, old);
    EXPECT_GT(Ask(target).size, 0u);
    ASSERT_TRUE(server->Send(DEPLOY_STREAM_PATCH, {}));
    switch (GetParam()) {
        case 0:  // a block above the largest
            ASSERT_TRUE(
                server->SendRaw(deploytest::RawHeader(DEPLOY_BLOCK, 100, kDeployMaxBlock + 1)));
            break;
        case 1:  // stored longer than plain
            ASSERT_TRUE(server->Send(DEPLOY_BLOCK, std::vector<std::uint8_t>(20, 1), 10));
            break;
        case 2:  // an empty block
            ASSERT_TRUE(server->Send(DEPLOY_BLOCK, {}, 0));
            break;
        case 3:  // another message inside the upload
            ASSERT_TRUE(server->Send(DEPLOY_SIGNATURE, Bytes("x\0")));
            break;
        default:  // an end with a payload
            ASSERT_TRUE(server->Send(DEPLOY_END, Bytes("tail"), 0, 0, 1));
            break;
    }
    EXPECT_TRUE(server->PeerClosed());
    EXPECT_EQ(receiver.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(ReadFile(target), old);
    EXPECT_EQ(Leftovers(dir.Path()), 0u);
}

INSTANTIATE_TEST_SUITE_P(Rules, DeployStreamRuleTest, ::testing::Range(0, 5));

namespace {

std::vector<std::uint8_t> SignatureOf(const std::vector<std::uint8_t>& content) {
    DIFFLIB::DiffLibrary library;
    DIFFLIB::MemoryDiffWriter out;
    EXPECT_EQ(library.GenerateSignature(DIFFLIB::MemoryReader(content), out), DIFFLIB::Result::Ok);
    return out.Take();
}

// Rewrites the file in place with bytes of the same size and puts its old
// modification time back, as a tool that preserves times would.
void ChangeBehindOurBack(const std::filesystem::path& path,
                         const std::vector<std::uint8_t>& content) {
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    ASSERT_EQ(static_cast<std::size_t>(before.st_size), content.size());
    WriteFile(path, content);
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

}  // namespace

// The receiver answers a request for a file it wrote (whole or from a patch)
// with the signature it kept; that answer must be the file's own signature,
// and never one kept for bytes the file no longer holds.
TEST_F(DeployStreamReceiverTest, KeptSignaturesMatchTheFileAndNeverGoStale) {
    using deploytest::StrongHash;
    const auto target = dir / "kept.bin";
    const auto content = deploytest::SampleContent(1200000, 7);
    EXPECT_EQ(Ask(target).size, 0u);
    ASSERT_EQ(Stream(DEPLOY_STREAM_FULL, content.size(), Blocks(content, 100000), content.size(), 1,
                     StrongHash(content)),
              1);
    EXPECT_EQ(Ask(target).payload, SignatureOf(content));

    // Rebuilt from a patch with an insertion and scattered edits.
    auto changed = content;
    changed.insert(changed.begin() + 600000, 4000, 'z');
    for (std::size_t at = 1000; at < changed.size(); at += 150001)
        changed[at] ^= 0x5a;
    auto patch = PatchFor(target, changed);
    ASSERT_FALSE(patch.empty());
    ASSERT_EQ(
        Stream(DEPLOY_STREAM_PATCH, 0, Blocks(patch, 4096), patch.size(), 1, StrongHash(changed)),
        1);
    ASSERT_EQ(ReadFile(target), changed);
    EXPECT_EQ(Ask(target).payload, SignatureOf(changed));

    // Changed behind our back with the same size and the old time: the next
    // answer is the new bytes' signature, and a deployment from it lands.
    auto tampered = changed;
    for (std::size_t at = 0; at < tampered.size(); at += 3001)
        tampered[at] ^= 0xff;
    ChangeBehindOurBack(target, tampered);
    EXPECT_EQ(Ask(target).payload, SignatureOf(tampered));
    auto next = content;
    next.erase(next.begin() + 200000, next.begin() + 210000);
    patch = PatchFor(target, next);
    ASSERT_FALSE(patch.empty());
    EXPECT_EQ(
        Stream(DEPLOY_STREAM_PATCH, 0, Blocks(patch, 65536), patch.size(), 1, StrongHash(next)), 1);
    EXPECT_EQ(ReadFile(target), next);

    // Replaced by another file of the same size and time under the same name.
    const auto other = dir / "other.bin";
    auto swapped = next;
    swapped[5] ^= 1;
    WriteFile(other, swapped);
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    const timespec times[2] = {info.st_atim, info.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, other.c_str(), times, 0), 0);
    std::filesystem::rename(other, target);
    EXPECT_EQ(Ask(target).payload, SignatureOf(swapped));
    EXPECT_EQ(Leftovers(dir.Path()), 0u);
}
