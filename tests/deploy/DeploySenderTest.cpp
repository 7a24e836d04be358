// The sender against a hand-driven client that speaks the real header
// format: what goes on the wire, and how each bad answer ends an entry.
#include "deploy/DeploySender.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "codec/DiffLib.h"
#include "deploy/DeployTestSupport.h"
#include "platform/Text.h"

using namespace deploy;

namespace {

using namespace std::chrono_literals;
using namespace net;
using deploytest::Bytes;
using deploytest::RawMessage;

std::wstring Wide(const std::filesystem::path& path) {
    return platform::FromUtf8(path.string());
}

class DeploySenderTest : public ::testing::Test {
  protected:
    void Start(std::vector<std::wstring> files) {
        serverOut.Attach(server);
        remoteSync = std::thread(
            [this, files = std::move(files)] { RunRemoteSyncServer(server, files, false, 0); });
        ASSERT_TRUE(deploytest::WaitFor([this] { return server.ListeningPort() != 0; }));
        TcpSocket socket(kInvalidSocket);
        ASSERT_EQ(socket.Create(AF_INET6), NetError::None);
        ASSERT_EQ(socket.Connect("127.0.0.1", server.ListeningPort()), NetError::None);
        client = std::make_unique<deploytest::RawPeer>(std::move(socket));
        ASSERT_TRUE(deploytest::WaitFor([this] { return server.Connection().IsValid(); }));
        deploytest::SetTimeouts(server.Connection(), 20);
        run = std::async(std::launch::async, [this] { RunSender(server, false); });
    }

    void TearDown() override {
        if (client)
            client->Socket().Close();
        server.CloseSockets();
        if (run.valid())
            run.wait();
        if (remoteSync.joinable())
            remoteSync.join();
    }

    // Receives the signature request for `remote` and answers it.
    void AnswerRequest(const std::wstring& remote, const std::vector<std::uint8_t>& signature) {
        RawMessage request;
        ASSERT_TRUE(client->Receive(request));
        EXPECT_EQ(request.type, DEPLOY_SIGNATURE);
        EXPECT_EQ(request.size, 2 * remote.size()) << "UTF-16 without terminating zero";
        EXPECT_EQ(request.payload, platform::ToUtf16Le(remote));
        ASSERT_TRUE(client->Send(DEPLOY_SIGNATURE, signature));
    }

    std::wstring Finished() {
        EXPECT_EQ(run.wait_for(10s), std::future_status::ready);
        return serverOut.Text();
    }

    deploytest::TempDir dir;
    DeployChannel server;
    deploytest::PrintSink serverOut;
    std::thread remoteSync;
    std::unique_ptr<deploytest::RawPeer> client;
    std::future<void> run;
};

TEST_F(DeploySenderTest, UploadOnTheWireRefusedAckAndUnusableSignature) {
    const auto file = dir / "f.txt";
    const auto content = deploytest::SampleContent(20000, 4);
    deploytest::WriteFile(file, content);
    const std::wstring local = Wide(file);
    Start({local + L",r1", local + L",r2", local + L",r3"});

    // r1: a full upload whose acknowledgement says the write failed.
    AnswerRequest(L"r1", {});
    deploytest::RawUpload upload;
    ASSERT_TRUE(deploytest::ReceiveUpload(*client, upload));
    EXPECT_EQ(upload.type, DEPLOY_STREAM_FULL);
    EXPECT_EQ(upload.announced, content.size());
    EXPECT_TRUE(upload.complete);
    EXPECT_EQ(upload.plain, content);
    ASSERT_TRUE(client->Send(DEPLOY_FULL, {}, 0, 0, /*result=*/0));

    // r2: a signature the engine cannot use; nothing follows the reply.
    AnswerRequest(L"r2", std::vector<std::uint8_t>(100, 0xab));

    // r3: a patch against the client's real signature of an older copy.
    auto older = content;
    older.resize(15000);
    const DIFFLIB::MemoryReader olderReader(older);
    DIFFLIB::MemoryDiffWriter signature;
    DIFFLIB::DiffLibrary library;
    ASSERT_EQ(library.GenerateSignature(olderReader, signature), DIFFLIB::Result::Ok);
    AnswerRequest(L"r3",
                  std::vector<std::uint8_t>(signature.Data().begin(), signature.Data().end()));
    deploytest::RawUpload patch;
    ASSERT_TRUE(deploytest::ReceiveUpload(*client, patch));
    EXPECT_EQ(patch.type, DEPLOY_STREAM_PATCH);
    EXPECT_TRUE(patch.complete);
    const std::vector<std::uint8_t> patchBytes = patch.plain;
    const DIFFLIB::MemoryReader patchReader(patchBytes);
    DIFFLIB::MemoryDiffWriter rebuilt;
    ASSERT_EQ(library.ApplyPatch(olderReader, patchReader, rebuilt), DIFFLIB::Result::Ok);
    EXPECT_TRUE(
        std::equal(rebuilt.Data().begin(), rebuilt.Data().end(), content.begin(), content.end()));
    ASSERT_TRUE(client->Send(DEPLOY_PATCH, {}, 0, 0, /*result=*/1));

    const std::wstring text = Finished();
    const std::wstring r1 = L"Local: " + local + L" to r1... Uploading 20000 -> " +
                            std::to_wstring(upload.stored) + L" bytes... Failed\r\n";
    const std::wstring r2 = L"Local: " + local + L" to r2... Failed\r\n";
    const std::wstring r3 = L"Local: " + local + L" to r3... Patch " +
                            std::to_wstring(patchBytes.size()) + L" -> " +
                            std::to_wstring(patch.stored) + L" bytes... Done\r\n";
    EXPECT_EQ(text, r1 + r2 + r3);
}

// Every upload's end states the hash of the local file. A patch the client
// could not verify is followed by the file whole, once; a plain refusal is
// not.
TEST_F(DeploySenderTest, PatchThatDoesNotVerifyIsSentWholeOnce) {
    const auto file = dir / "v.txt";
    const auto content = deploytest::SampleContent(20000, 6);
    deploytest::WriteFile(file, content);
    const auto hash = deploytest::StrongHash(content);
    auto older = content;
    older.resize(12000);
    DIFFLIB::MemoryDiffWriter signature;
    DIFFLIB::DiffLibrary library;
    ASSERT_EQ(library.GenerateSignature(DIFFLIB::MemoryReader(older), signature),
              DIFFLIB::Result::Ok);
    const std::vector<std::uint8_t> seed(signature.Data().begin(), signature.Data().end());
    const std::wstring local = Wide(file);
    Start({local + L",r1", local + L",r2", local + L",r3"});

    // r1: the patch does not verify, the whole file then lands.
    AnswerRequest(L"r1", seed);
    deploytest::RawUpload patch1, whole1;
    ASSERT_TRUE(deploytest::ReceiveUpload(*client, patch1));
    EXPECT_EQ(patch1.type, DEPLOY_STREAM_PATCH);
    EXPECT_EQ(patch1.hash, hash);
    ASSERT_TRUE(client->Send(DEPLOY_UNVERIFIED, {}, 0, 0, 0));
    ASSERT_TRUE(deploytest::ReceiveUpload(*client, whole1));
    EXPECT_EQ(whole1.type, DEPLOY_STREAM_FULL);
    EXPECT_EQ(whole1.plain, content);
    EXPECT_EQ(whole1.hash, hash);
    ASSERT_TRUE(client->Send(DEPLOY_FULL, {}, 0, 0, 1));

    // r2: a plain refusal of the patch: no whole upload follows.
    AnswerRequest(L"r2", seed);
    deploytest::RawUpload patch2;
    ASSERT_TRUE(deploytest::ReceiveUpload(*client, patch2));
    ASSERT_TRUE(client->Send(DEPLOY_PATCH, {}, 0, 0, 0));

    // r3: neither verifies: one whole upload, then the entry fails.
    AnswerRequest(L"r3", seed);
    deploytest::RawUpload patch3, whole3;
    ASSERT_TRUE(deploytest::ReceiveUpload(*client, patch3));
    ASSERT_TRUE(client->Send(DEPLOY_UNVERIFIED, {}, 0, 0, 0));
    ASSERT_TRUE(deploytest::ReceiveUpload(*client, whole3));
    EXPECT_EQ(whole3.hash, hash);
    ASSERT_TRUE(client->Send(DEPLOY_UNVERIFIED, {}, 0, 0, 0));

    const std::wstring text = Finished();
    const auto patchPart = [&](const deploytest::RawUpload& upload) {
        return L"Patch " + std::to_wstring(upload.plain.size()) + L" -> " +
               std::to_wstring(upload.stored) + L" bytes... ";
    };
    const auto wholePart = [&](const deploytest::RawUpload& upload) {
        return L"Patch did not verify, uploading whole... Uploading 20000 -> " +
               std::to_wstring(upload.stored) + L" bytes... ";
    };
    EXPECT_EQ(text, L"Local: " + local + L" to r1... " + patchPart(patch1) + wholePart(whole1) +
                        L"Done\r\n" + L"Local: " + local + L" to r2... " + patchPart(patch2) +
                        L"Failed\r\n" + L"Local: " + local + L" to r3... " + patchPart(patch3) +
                        wholePart(whole3) + L"Failed\r\n");
}

TEST_F(DeploySenderTest, OversizedReplyEndsTheChannelAndTheRun) {
    Start({L"a,r1", L"b,r2"});
    RawMessage request;
    ASSERT_TRUE(client->Receive(request));
    ASSERT_TRUE(client->SendRaw(deploytest::RawHeader(DEPLOY_SIGNATURE, std::uint64_t{1} << 40)));
    EXPECT_EQ(Finished(), L"Local: a to r1... Failed\r\nLocal: b to r2... Failed\r\n");
    EXPECT_TRUE(client->PeerClosed());
}

TEST_F(DeploySenderTest, SignatureBeyondWhatTheLocalFileExplainsEndsTheChannel) {
    const auto file = dir / "small.txt";
    deploytest::WriteFile(file, deploytest::SampleContent(1000, 2));
    Start({Wide(file) + L",r1", Wide(file) + L",r2"});
    RawMessage request;
    ASSERT_TRUE(client->Receive(request));
    // Far more than any signature of a 1000-byte file, yet far below the
    // largest payload: refused at the header, before any byte is taken.
    ASSERT_TRUE(client->SendRaw(deploytest::RawHeader(DEPLOY_SIGNATURE, std::uint64_t{64} << 20)));
    const std::wstring local = Wide(file);
    EXPECT_EQ(Finished(), L"Local: " + local + L" to r1... Failed\r\nLocal: " + local +
                              L" to r2... Failed\r\n");
    EXPECT_TRUE(client->PeerClosed());
}

// A client that stops answering, before or inside a reply, costs a run no
// more than the idle deadline; the channel is then given up, so later entries
// fail at once.
class DeploySilentClientTest : public DeploySenderTest,
                               public ::testing::WithParamInterface<bool> {};

TEST_P(DeploySilentClientTest, RunFailsAfterTheIdleDeadline) {
    server.idleDeadline = 300ms;
    Start({L"a,r1", L"b,r2"});
    RawMessage request;
    ASSERT_TRUE(client->Receive(request));
    if (GetParam()) {
        ASSERT_TRUE(client->SendRaw(deploytest::RawHeader(DEPLOY_SIGNATURE, 100)));
        ASSERT_TRUE(client->SendRaw(std::vector<std::uint8_t>(10, 1)));
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Finished(), L"Local: a to r1... Failed\r\nLocal: b to r2... Failed\r\n");
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 250ms);
    EXPECT_LT(took, 5s);
    EXPECT_TRUE(client->PeerClosed());
}

INSTANTIATE_TEST_SUITE_P(BeforeAndInsideTheReply, DeploySilentClientTest, ::testing::Bool());

TEST_F(DeploySenderTest, FilesOfFourGibibytesAreNotSent) {
    const auto big = dir / "big.bin";
    {
        const int fd = ::open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        const bool sized = ::ftruncate(fd, std::int64_t{4} << 30) == 0;
        ::close(fd);
        if (!sized)
            GTEST_SKIP() << "no sparse file of 4 GiB here";
    }
    const auto small = dir / "small.bin";
    deploytest::WriteFile(small, Bytes("s"));
    Start({Wide(big) + L",r1", Wide(small) + L",r2"});
    AnswerRequest(L"r1", {});
    // The next message is already the next entry's request.
    AnswerRequest(L"r2", {});
    deploytest::RawUpload upload;
    ASSERT_TRUE(deploytest::ReceiveUpload(*client, upload));
    EXPECT_EQ(upload.type, DEPLOY_STREAM_FULL);
    ASSERT_TRUE(client->Send(DEPLOY_FULL, {}, 0, 0, 1));
    const std::wstring text = Finished();
    EXPECT_EQ(text.rfind(L"Local: " + Wide(big) + L" to r1... Failed\r\nLocal: " + Wide(small) +
                             L" to r2... Uploading 1 -> ",
                         0),
              0u)
        << text;
}

}  // namespace
