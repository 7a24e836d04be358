// Verified deployments between real processes. The client is the program
// built with the deployment's test hooks (vtr232_hooked): VTR_TEST_CORRUPT
// makes it write a wrong first byte into what it rebuilds, as a faulty
// patch or rebuild would. The hash check must catch that, keep the old file
// and let the server send the file whole.
#include <gtest/gtest.h>

#include <regex>

#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/TestEnv.h"

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const std::string kHookedProgram = std::string(VTR_TOOLS_DIR) + "/vtr232_hooked";

// Text-like lines that differ from seed to seed.
std::string Lines(int count, unsigned seed) {
    std::string text;
    std::uint32_t state = seed * 2654435761u + 1;
    for (int i = 0; i < count; ++i) {
        state = state * 1103515245u + 12345u;
        text += "line " + std::to_string(i) + " value " + std::to_string(state >> 8) + "\n";
    }
    return text;
}

std::size_t Leftovers(const fs::path& dir) {
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator(dir))
        count += entry.path().filename().string().find(".vtr") != std::string::npos;
    return count;
}

class DeployVerify : public testing::TestWithParam<bool> {
  protected:
    // `corrupt`: the client's VTR_TEST_CORRUPT ("patch", "all").
    void Start(const std::string& corrupt) {
        quic_ = GetParam();
        const std::string port = std::to_string(port_);
        std::vector<std::string> args =
            quic_
                ? std::vector<std::string>{"-q", "-s", "-t", "1", "-p", port}
                : std::vector<std::string>{"-s", "-t", "1", "--p1", port, "--p2", "0", "--p3", "0"};
        args.insert(args.end(), {"-f", local_.string() + "," + remote_.string()});
        server_ = std::make_unique<ChildProcess>(VTR232_PATH, args);
        ASSERT_TRUE(server_->WaitForOutput(quic_ ? "Waiting for Connection" : "Commands are", 10s))
            << server_->Out() << server_->Err();
        const std::vector<std::string> clientArgs =
            quic_ ? std::vector<std::string>{"-q", "-t", "1", "-c", "127.0.0.1:" + port}
                  : std::vector<std::string>{"-t", "1",
                                             "-d", "127.0.0.1:" + port,
                                             "-c", "127.0.0.1:" + std::to_string(FreePort())};
        client_ = std::make_unique<ChildProcess>(
            kHookedProgram, clientArgs,
            std::map<std::string, std::string>{{"VTR_TEST_CORRUPT", corrupt}});
        if (quic_) {
            ASSERT_TRUE(server_->WaitForOutput("Commands are", 15s)) << server_->Out();
        } else {
            ASSERT_TRUE(WaitForAcceptedConnection(port_));
            std::this_thread::sleep_for(100ms);
        }
    }

    // Deploys once; the file's line, or empty when it did not end in time.
    std::string Deploy() {
        const std::size_t before = server_->Out().size();
        server_->Write("deploy\n");
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (std::chrono::steady_clock::now() < deadline) {
            const std::string out = server_->Out();
            const std::size_t start = out.find("Local: ", before);
            const std::size_t end =
                out.find("\r\n", start == std::string::npos ? out.size() : start);
            if (start != std::string::npos && end != std::string::npos)
                return out.substr(start, end + 2 - start);
            std::this_thread::sleep_for(50ms);
        }
        return {};
    }

    void Quit() {
        server_->Write("q\n");
        EXPECT_EQ(server_->Wait(15s), 0);
        EXPECT_EQ(client_->Wait(30s), 0);
    }

    std::regex Line(const std::string& middle, const std::string& end) const {
        return std::regex("Local: " + local_.string() + " to " + remote_.string() + R"(\.\.\. )" +
                          middle + end + "\r\n");
    }

    TempDir dir_;
    const fs::path local_ = dir_.Path() / "app.txt";
    const fs::path remote_ = dir_.Path() / "client" / "app.txt";
    int port_ = FreeTcpUdpPort();
    bool quic_ = false;
    std::unique_ptr<ChildProcess> server_, client_;
};

const std::string kUploadPart = R"(Uploading (\d+) -> (\d+) bytes\.\.\. )";
const std::string kPatchPart = R"(Patch (\d+) -> (\d+) bytes\.\.\. )";
const std::string kRetryPart = R"(Patch did not verify, uploading whole\.\.\. )";

TEST_P(DeployVerify, RebuildThatDoesNotVerifyIsSentWholeAndArrivesIdentical) {
    const std::string first = Lines(4000, 1);
    WriteText(local_, first);
    Start("patch");
    // A whole file (not touched by the hook) reports exactly as ever.
    const std::string whole = Deploy();
    EXPECT_TRUE(std::regex_match(whole, Line(kUploadPart, "Done"))) << whole;
    EXPECT_TRUE(ReadText(remote_) == first);

    // A changed file goes as a patch, its rebuild is caught, and the file
    // is then sent whole.
    std::string second = first;
    second.replace(20000, 100, Lines(30, 2));
    WriteText(local_, second);
    const std::string retried = Deploy();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(retried, m, Line(kPatchPart + kRetryPart + kUploadPart, "Done")))
        << retried;
    EXPECT_EQ(std::stoull(m[3]), second.size());
    EXPECT_TRUE(ReadText(remote_) == second);
    EXPECT_EQ(Leftovers(remote_.parent_path()), 0u);
    Quit();
}

TEST_P(DeployVerify, OldFileStaysWhenNeitherPatchNorWholeVerifies) {
    const std::string old = Lines(3000, 3);
    fs::create_directories(remote_.parent_path());
    WriteText(remote_, old);
    std::string changed = old;
    changed.replace(10000, 50, Lines(20, 4));
    WriteText(local_, changed);
    Start("all");
    const std::string line = Deploy();
    EXPECT_TRUE(std::regex_match(line, Line(kPatchPart + kRetryPart + kUploadPart, "Failed")))
        << line;
    EXPECT_TRUE(ReadText(remote_) == old) << "the old file was replaced";
    EXPECT_EQ(Leftovers(remote_.parent_path()), 0u);
    Quit();
}

INSTANTIATE_TEST_SUITE_P(TcpAndQuic, DeployVerify, testing::Bool(),
                         [](const auto& info) { return info.param ? "Quic" : "Tcp"; });

}  // namespace
