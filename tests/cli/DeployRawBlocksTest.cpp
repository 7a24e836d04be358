// VTR_DEPLOY_RAW_BLOCKS=1 on the sender: every block of an upload travels
// raw, for receivers without an LZMS decoder; any other value compresses.
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

// Plain and stored sizes of the server's one upload line, once it is done.
std::pair<unsigned long, unsigned long> UploadOnce(const std::string& rawBlocks,
                                                   const std::string& content) {
    TempDir dir;
    const fs::path local = dir.Path() / "app.txt";
    const fs::path remote = dir.Path() / "target" / "app.txt";
    WriteText(local, content);
    const int port1 = FreePort();
    ChildProcess server(VTR232_PATH,
                        {"-s", "--p1", std::to_string(port1), "--p2", "0", "--p3", "0", "-f",
                         local.string() + "," + remote.string()},
                        {{"VTR_DEPLOY_RAW_BLOCKS", rawBlocks}});
    EXPECT_TRUE(server.WaitForOutput("Commands are", 10s));
    ChildProcess client(VTR232_PATH, {"-d", "127.0.0.1:" + std::to_string(port1), "-c",
                                      "127.0.0.1:" + std::to_string(FreePort())});
    EXPECT_TRUE(WaitForAcceptedConnection(port1));
    server.Write("deploy\n");
    EXPECT_TRUE(server.WaitForOutput("Done\r\n", 30s)) << server.Out();
    EXPECT_EQ(ReadText(remote), content);
    server.Write("q\n");
    EXPECT_EQ(server.Wait(10s), 0);
    std::smatch m;
    const std::string out = server.Out();
    if (!std::regex_search(out, m, std::regex(R"(Uploading (\d+) -> (\d+) bytes\.\.\. Done)")))
        return {0, 0};
    return {std::stoul(m[1]), std::stoul(m[2])};
}

}  // namespace

TEST(DeployRawBlocks, OneSendsEveryBlockRawAnyOtherValueCompresses) {
    std::string content;
    for (int i = 0; i < 50000; ++i)  // one block, which always waits for LZMS
        content += "symbol " + std::to_string(i * 7) + "\n";
    const auto [plain, stored] = UploadOnce("1", content);
    EXPECT_EQ(plain, content.size());
    EXPECT_GE(stored, plain);
    const auto [plainAgain, compressed] = UploadOnce("0", content);
    EXPECT_EQ(plainAgain, content.size());
    EXPECT_LT(compressed, plainAgain / 2);
}
