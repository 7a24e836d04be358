// The deploy command end to end over TCP: a real server and client process,
// real files on both sides.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/TestEnv.h"

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

void WriteFile(const fs::path& path, const std::vector<unsigned char>& data) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
}

std::vector<unsigned char> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Text-like content so that compression and patches both have work to do.
std::vector<unsigned char> SampleContent(std::size_t lines, unsigned seed) {
    std::string text;
    std::mt19937 random(seed);
    for (std::size_t i = 0; i < lines; ++i)
        text += "line " + std::to_string(i) + " value " + std::to_string(random() % 1000) + "\n";
    return {text.begin(), text.end()};
}

// Counts complete deployment lines ending in Done or Failed.
int FinishedLines(const std::string& out) {
    int n = 0;
    for (std::size_t p = 0; (p = out.find("... Done\r\n", p)) != std::string::npos; ++p)
        ++n;
    for (std::size_t p = 0; (p = out.find("Failed\r\n", p)) != std::string::npos; ++p)
        ++n;
    return n;
}

bool WaitForLines(ChildProcess& p, int count) {
    for (int i = 0; i < 300; ++i) {
        if (FinishedLines(p.Out()) >= count)
            return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

}  // namespace

TEST(DeployCommand, UploadsWholeThenPatchesAndReportsMissingFiles) {
    TempDir dir;
    const fs::path local = dir.Path() / "app.bin";
    const fs::path remote = dir.Path() / "target" / "deep" / "app.bin";
    const fs::path missing = dir.Path() / "missing.bin";
    WriteFile(local, SampleContent(20000, 1));
    const int port1 = FreePort();

    ChildProcess server(VTR232_PATH,
                        {"-s", "--p1", std::to_string(port1), "--p2", "0", "--p3", "0", "-f",
                         missing.string() + "," + (dir.Path() / "never").string(), "-f",
                         local.string() + "," + remote.string()});
    ASSERT_TRUE(server.WaitForOutput("Commands are", 10s));
    // -c without -l only makes the client wait for a key at the end, as the
    // usage example's client does.
    ChildProcess client(VTR232_PATH, {"-d", "127.0.0.1:" + std::to_string(port1), "-c",
                                      "127.0.0.1:" + std::to_string(FreePort())});
    // The server's deploy before the client dialled in would fail every file.
    ASSERT_TRUE(WaitForLines(server, 0));
    ASSERT_TRUE(WaitForAcceptedConnection(port1));

    server.Write("deploy\n");
    ASSERT_TRUE(WaitForLines(server, 2)) << server.Out();
    EXPECT_EQ(ReadFile(remote), ReadFile(local));

    // A change in the middle goes as a patch much smaller than the file.
    auto changed = ReadFile(local);
    const std::string insert = "a new line in the middle\n";
    changed.insert(changed.begin() + static_cast<long>(changed.size() / 2), insert.begin(),
                   insert.end());
    WriteFile(local, changed);
    server.Write("d\n");
    ASSERT_TRUE(WaitForLines(server, 4)) << server.Out();
    EXPECT_EQ(ReadFile(remote), changed);

    const std::string out = server.Out();
    const std::string missingLine =
        "Local: " + missing.string() + " to " + (dir.Path() / "never").string() + "... Failed\r\n";
    EXPECT_NE(out.find(missingLine), std::string::npos) << out;
    const std::regex upload("Local: " + local.string() + " to " + remote.string() +
                            R"(\.\.\. Uploading (\d+) -> (\d+) bytes\.\.\. Done\r\n)");
    const std::regex patch("Local: " + local.string() + " to " + remote.string() +
                           R"(\.\.\. Patch (\d+) -> (\d+) bytes\.\.\. Done\r\n)");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, upload)) << out;
    EXPECT_EQ(std::stoul(m[1]), 20000 > 0 ? ReadFile(local).size() - insert.size() : 0);
    EXPECT_LT(std::stoul(m[2]), std::stoul(m[1]));  // compressed
    ASSERT_TRUE(std::regex_search(out, m, patch)) << out;
    EXPECT_LT(std::stoul(m[1]), changed.size() / 4);  // only what differs travels

    const std::string clientOut = client.Out();
    EXPECT_NE(
        clientOut.find("Requested signature for " + remote.string() + "...  Writing ... \r\n"),
        std::string::npos)
        << clientOut;
    EXPECT_NE(
        clientOut.find("Requested signature for " + remote.string() + "...  Patching ... \r\n"),
        std::string::npos);

    // Leaving the server ends the channel, and with it the client.
    server.Write("q\n");
    EXPECT_EQ(server.Wait(10s), 0);
    EXPECT_EQ(client.Wait(10s), 0);
    EXPECT_TRUE(client.Out().find("Requested") != std::string::npos);
}

TEST(DeployCommand, ClientThatCannotReachTheServerSaysSoAndEnds) {
    ChildProcess client(VTR232_PATH, {"-d", "127.0.0.1:" + std::to_string(FreePort()), "-c",
                                      "127.0.0.1:" + std::to_string(FreePort())});
    EXPECT_EQ(client.Wait(10s), 0);  // no key needed: the receiver ends the client
    EXPECT_NE(client.Err().find("ZADAZ Client: Could not connect to Remote Sync Server"),
              std::string::npos)
        << client.Err();
}
