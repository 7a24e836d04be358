// Whole deployment runs: the RemoteSync server thread and the receiver in one
// process, over real TCP on loopback or over two inboxes wired back to back
// as the QUIC control stream joins them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <future>
#include <regex>
#include <thread>

#include "codec/LzmsCoder.h"
#include "deploy/DeployReceiver.h"
#include "deploy/DeploySender.h"
#include "deploy/DeployTestSupport.h"
#include "platform/Paths.h"
#include "platform/Text.h"

using namespace deploy;
using namespace net;

namespace {

using deploytest::ReadFile;
using deploytest::SampleContent;
using deploytest::WriteFile;

std::wstring Wide(const std::filesystem::path& path) {
    return platform::FromUtf8(path.string());
}

// The numbers of one "<word> <n> -> <c> bytes... Done\r\n" line, or false.
bool UploadNumbers(const std::wstring& text, const std::wstring& prefix, const std::wstring& word,
                   std::uint64_t& plain, std::uint64_t& sent) {
    if (text.rfind(prefix, 0) != 0)
        return false;
    std::wsmatch match;
    const std::wstring rest = text.substr(prefix.size());
    if (!std::regex_match(rest, match,
                          std::wregex(word + L" (\\d+) -> (\\d+) bytes\\.\\.\\. Done\r\n")))
        return false;
    plain = std::stoull(match[1].str());
    sent = std::stoull(match[2].str());
    return true;
}

class DeployRunTest : public ::testing::TestWithParam<bool> {
  protected:
    bool Quic() const { return GetParam(); }

    void Start(std::vector<std::wstring> files) {
        serverOut.Attach(server);
        clientOut.Attach(client);
        if (Quic()) {
            // Uneven pieces, as a stream may deliver them.
            auto wire = [](DeployChannel& to) {
                return [&to](std::span<const std::uint8_t> bytes) {
                    for (std::size_t at = 0; at < bytes.size(); at += 1000)
                        to.inbox.Push(
                            bytes.subspan(at, std::min<std::size_t>(1000, bytes.size() - at)));
                    return true;
                };
            };
            server.SetQuicSend(wire(client));
            client.SetQuicSend(wire(server));
            RunRemoteSyncServer(server, std::move(files), true, 0);
            receiver = std::thread([this] { RunReceiver(client, true); });
            return;
        }
        remoteSync = std::thread(
            [this, files = std::move(files)] { RunRemoteSyncServer(server, files, false, 0); });
        ASSERT_TRUE(deploytest::WaitFor([this] { return server.ListeningPort() != 0; }));
    }

    void ConnectClient() {
        const int port = server.ListeningPort();
        receiver = std::thread([this, port] { RunTcpReceiverThread(client, "127.0.0.1", port); });
        ASSERT_TRUE(deploytest::WaitFor([this] { return server.Connection().IsValid(); }));
        // A fault in the code under test fails the test instead of hanging it.
        deploytest::SetTimeouts(server.Connection(), 20);
    }

    void TearDown() override {
        server.CloseSockets();
        client.CloseSockets();
        server.inbox.Close();
        client.inbox.Close();
        if (remoteSync.joinable())
            remoteSync.join();
        if (receiver.joinable())
            receiver.join();
    }

    std::wstring Deploy() {
        serverOut.Clear();
        clientOut.Clear();
        RunSender(server, Quic());
        return serverOut.Text();
    }

    deploytest::TempDir local;
    deploytest::TempDir remote;
    DeployChannel server;
    DeployChannel client;
    deploytest::PrintSink serverOut;
    deploytest::PrintSink clientOut;
    std::thread remoteSync;
    std::thread receiver;
};

TEST_P(DeployRunTest, NewFileIsUploadedWholeThenPatchedOnEachLaterRun) {
    const auto source = local / "app.bin";
    auto content = SampleContent(300000, 1);
    WriteFile(source, content);
    // Backslash separators and directories that do not exist yet.
    const std::wstring target = Wide(remote.Path()) + L"\\bin\\x64\\app.bin";
    const auto targetPath = remote / "bin/x64/app.bin";
    Start({Wide(source) + L"," + target});
    if (!Quic())
        ConnectClient();
    const std::wstring prefix = L"Local: " + Wide(source) + L" to " + target + L"... ";

    std::uint64_t plain = 0, sent = 0;
    std::wstring line = Deploy();
    ASSERT_TRUE(UploadNumbers(line, prefix, L"Uploading", plain, sent)) << line;
    EXPECT_EQ(plain, content.size());
    // Without an LZMS coder (Wine) the blocks travel raw.
    if (DIFFLIB::LzmsCoderAvailable()) {
        EXPECT_LT(sent, plain / 2) << "compressible content is sent compressed";
    }
    EXPECT_EQ(clientOut.Text(), L"Requested signature for " + target + L"...  Writing ... \r\n");
    EXPECT_EQ(ReadFile(targetPath), content);

    // An edit and an insertion: only the changed region travels.
    for (std::size_t i = 150000; i < 150010; ++i)
        content[i] ^= 0x5a;
    const auto inserted = SampleContent(500, 2);
    content.insert(content.begin() + 70000, inserted.begin(), inserted.end());
    WriteFile(source, content);
#ifndef _WIN32
    ASSERT_EQ(::chmod(targetPath.c_str(), 0751), 0);
#endif
    line = Deploy();
    ASSERT_TRUE(UploadNumbers(line, prefix, L"Patch", plain, sent)) << line;
    EXPECT_LT(plain, 40000u) << "patch carries the changed chunks only";
    EXPECT_EQ(clientOut.Text(), L"Requested signature for " + target + L"...  Patching ... \r\n");
    EXPECT_EQ(ReadFile(targetPath), content);
#ifndef _WIN32
    struct stat info {};
    ASSERT_EQ(::stat(targetPath.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0751u) << "the replaced file keeps its permissions";
#endif

    // Unchanged: still the patch way, seed records only.
    line = Deploy();
    ASSERT_TRUE(UploadNumbers(line, prefix, L"Patch", plain, sent)) << line;
    EXPECT_EQ(plain % 24, 0u);
    EXPECT_GT(plain, 0u);
    EXPECT_LE(plain, 24u * 10);
    EXPECT_EQ(ReadFile(targetPath), content);
    // No temporary files are left beside the target.
    std::size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(targetPath.parent_path())) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(entries, 1u);
}

TEST_P(DeployRunTest, MissingLocalFileFailsAndTheOtherEntriesStillGo) {
    const auto missing = local / "missing.bin";
    const auto empty = local / "empty.bin";
    const auto small = local / "small.txt";
    WriteFile(empty, {});
    WriteFile(small, deploytest::Bytes("hello, world\n"));
    // A remote path far longer than 1000 characters, in new directories.
    std::wstring longTarget = Wide(remote.Path());
    for (int i = 0; i < 30; ++i)
        longTarget += L"\\" + std::wstring(40, static_cast<wchar_t>(L'a' + i % 26));
    longTarget += L"\\small.txt";
    ASSERT_GT(longTarget.size(), 1200u);
    const std::wstring missingTarget = Wide(remote / "missing.bin");
    const std::wstring emptyTarget = Wide(remote / "empty.bin");
    Start({Wide(missing) + L"," + missingTarget, L"not an entry", Wide(empty) + L"," + emptyTarget,
           Wide(small) + L"," + longTarget});
    if (!Quic())
        ConnectClient();

    const std::wstring text = Deploy();
    const std::wstring failed =
        L"Local: " + Wide(missing) + L" to " + missingTarget + L"... Failed\r\n";
    const std::wstring emptyLine = L"Local: " + Wide(empty) + L" to " + emptyTarget +
                                   L"... Uploading 0 -> 0 bytes... Done\r\n";
    ASSERT_EQ(text.substr(0, failed.size() + emptyLine.size()), failed + emptyLine) << text;
    std::uint64_t plain = 0, sent = 0;
    EXPECT_TRUE(UploadNumbers(text.substr(failed.size() + emptyLine.size()),
                              L"Local: " + Wide(small) + L" to " + longTarget + L"... ",
                              L"Uploading", plain, sent))
        << text;
    EXPECT_EQ(plain, 13u);
    EXPECT_FALSE(std::filesystem::exists(remote / "missing.bin"));
    ASSERT_TRUE(std::filesystem::is_regular_file(remote / "empty.bin"));
    EXPECT_EQ(std::filesystem::file_size(remote / "empty.bin"), 0u);
    EXPECT_EQ(ReadFile(platform::NativePath(longTarget)), deploytest::Bytes("hello, world\n"));
    EXPECT_EQ(
        clientOut.Text().rfind(L"Requested signature for " + missingTarget + L"... Requested", 0),
        0u)
        << "a failed entry sends nothing after the signature reply";
}

INSTANTIATE_TEST_SUITE_P(Transports, DeployRunTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Quic" : "Tcp"; });

using DeployTcpRunTest = DeployRunTest;

TEST_P(DeployTcpRunTest, DeployWithoutAConnectedClientFailsEveryEntry) {
    const auto a = local / "a.txt";
    WriteFile(a, deploytest::Bytes("a"));
    const std::wstring target = Wide(remote / "a.txt");
    Start({Wide(a) + L"," + target, Wide(a) + L"," + target});
    const std::wstring failedLine = L"Local: " + Wide(a) + L" to " + target + L"... Failed\r\n";
    EXPECT_EQ(Deploy(), failedLine + failedLine);

    ConnectClient();
    EXPECT_NE(Deploy().find(L"Done\r\n"), std::wstring::npos);

    // Once the client's side is gone, the runs fail again.
    client.CloseSockets();
    receiver.join();
    EXPECT_EQ(Deploy(), failedLine + failedLine);
}

TEST_P(DeployTcpRunTest, ClosingTheChannelEndsTheRemoteSyncThreadWaitingForItsClient) {
    Start({});
    auto joined = std::async(std::launch::async, [this] { remoteSync.join(); });
    EXPECT_EQ(joined.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    server.CloseSockets();
    EXPECT_EQ(joined.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    // A channel closed before its thread set it up is not set up afterwards.
    DeployChannel late;
    late.CloseSockets();
    RunRemoteSyncServer(late, {L"a,b"}, false, 0);
    EXPECT_EQ(late.ListeningPort(), 0);
    EXPECT_EQ(late.Table().size(), 1u);
}

TEST_P(DeployTcpRunTest, ClientThatCannotConnectSaysSoAndReturns) {
    const int port = [] {
        TcpSocket probe(kInvalidSocket);
        probe.Create(AF_INET6);
        probe.BindAndListen(0);
        return probe.LocalPort();  // closed again when probe goes
    }();
    ASSERT_NE(port, 0);
    testing::internal::CaptureStderr();
    RunTcpReceiverThread(client, "127.0.0.1", port);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ZADAZ Client: Could not connect to Remote Sync Server\n");
}

INSTANTIATE_TEST_SUITE_P(Tcp, DeployTcpRunTest, ::testing::Values(false));

}  // namespace
