// Deployment peers that lie: a real server or client process on loopback
// against a hand-driven peer that speaks the header format, and what the
// real process then holds (memory, files, its place in the conversation).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>

#include "deploy/DeployTestSupport.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/Sanitizers.h"
#include "support/TestEnv.h"

namespace ts = testing_support;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr std::uint64_t k4GiB = std::uint64_t{4} << 30;
// Far below what taking in any of the announced sizes would cost.
constexpr std::uint64_t kMemoryBoundKiB =
    static_cast<std::uint64_t>(testing_support::MemoryBoundKiB(200 * 1024));

// The peak resident memory of a process, from /proc.
std::uint64_t PeakResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with("VmHWM:"))
            return std::stoull(line.substr(6));
    ADD_FAILURE() << "no VmHWM for " << pid;
    return UINT64_MAX;
}

std::vector<std::uint8_t> Utf16(const fs::path& path) {
    std::vector<std::uint8_t> bytes;
    for (const char c : path.string()) {
        bytes.push_back(static_cast<std::uint8_t>(c));
        bytes.push_back(0);
    }
    return bytes;
}

void Put(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// A compressed frame laid out by hand: blocks of `blockSize` each claiming
// `stored` bytes, with `content` as the stored bytes of a single raw block.
std::vector<std::uint8_t> Frame(std::uint64_t original, std::uint32_t blockSize,
                                std::uint32_t count, std::string_view content = {}) {
    std::vector<std::uint8_t> frame{'V', 'L', 'Z', 'M', 'S', 0, 0, 1};
    Put(frame, original, 8);
    Put(frame, blockSize, 4);
    Put(frame, count, 4);
    for (std::uint32_t i = 0; i < count; ++i) {
        Put(frame, std::min<std::uint64_t>(blockSize, original - std::uint64_t{i} * blockSize), 4);
        Put(frame, content.empty() ? 1 : content.size(), 4);
        if (content.empty())
            frame.push_back(0x5a);
        else
            frame.insert(frame.end(), content.begin(), content.end());
    }
    return frame;
}

std::vector<std::uint8_t> RawFrame(std::string_view content) {
    return Frame(content.size(), static_cast<std::uint32_t>(content.size()), 1, content);
}

}  // namespace

// A server that sends what no sound server would, against a real client:
// every answer comes in step, and the client never takes what was merely
// announced.
TEST(DeployHostile, ClientHoldsItsGroundAgainstALyingServer) {
    ts::TempDir dir;
    net::TcpSocket listener(net::kInvalidSocket);
    ASSERT_EQ(listener.Create(AF_INET6), net::NetError::None);
    ASSERT_EQ(listener.BindAndListen(0), net::NetError::None);
    ts::ChildProcess client(VTR232_PATH, {"-d", "127.0.0.1:" + std::to_string(listener.LocalPort()),
                                          "-c", "127.0.0.1:" + std::to_string(ts::FreePort())});
    net::TcpSocket accepted = listener.Accept();
    ASSERT_TRUE(accepted.IsValid());
    deploytest::RawPeer server(std::move(accepted));
    deploytest::RawMessage reply;
    auto ask = [&](const fs::path& path) {
        EXPECT_TRUE(server.Send(deploy::DEPLOY_SIGNATURE, Utf16(path)));
        EXPECT_TRUE(server.Receive(reply)) << "no answer for " << path;
        return reply.size;
    };
    auto upload = [&](std::uint32_t type, const std::vector<std::uint8_t>& payload,
                      std::uint64_t plainSize) {
        EXPECT_TRUE(server.Send(type, payload, plainSize));
        EXPECT_TRUE(server.Receive(reply));
        return reply.result;
    };

    // Content from the peer does not inherit setuid, setgid or sticky.
    const fs::path tool = dir.Path() / "tool";
    ts::WriteText(tool, "old tool");
    ASSERT_EQ(::chmod(tool.c_str(), 07755), 0);
    EXPECT_GT(ask(tool), 0u);
    EXPECT_EQ(upload(deploy::DEPLOY_FULL, RawFrame("new tool"), 8), 1u);
    EXPECT_EQ(ts::ReadText(tool), "new tool");
    struct stat info {};
    ASSERT_EQ(::stat(tool.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0755u);

    // A FIFO at the path neither holds the client nor gets replaced.
    const fs::path fifo = dir.Path() / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(ask(fifo), 0u);
    EXPECT_EQ(upload(deploy::DEPLOY_FULL, RawFrame("data"), 4), 0u);
    EXPECT_EQ(upload(deploy::DEPLOY_PATCH, RawFrame("not a patch"), 0), 0u);
    ASSERT_EQ(::stat(fifo.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));

    // 600 bytes declaring 4 GiB, announced as such and announced as less.
    const fs::path big = dir.Path() / "big.bin";
    const auto claiming = Frame(k4GiB, 64u << 20, 64);
    ASSERT_EQ(claiming.size(), 600u);
    EXPECT_EQ(ask(big), 0u);
    EXPECT_EQ(upload(deploy::DEPLOY_FULL, claiming, k4GiB), 0u);
    EXPECT_EQ(upload(deploy::DEPLOY_FULL, claiming, 5), 0u);
    EXPECT_EQ(upload(deploy::DEPLOY_PATCH, claiming, 0), 0u);
    EXPECT_FALSE(fs::exists(big));

    // A header announcing 4 GiB whose bytes never come.
    ASSERT_TRUE(server.SendRaw(deploytest::RawHeader(deploy::DEPLOY_FULL, k4GiB, k4GiB)));
    std::this_thread::sleep_for(1s);
    EXPECT_LT(PeakResidentKiB(client.Pid()), kMemoryBoundKiB);
    EXPECT_FALSE(client.Wait(0ms).has_value()) << "the client ended";

    // Its channel ended, so the client ends as usual.
    server.Socket().Close();
    EXPECT_EQ(client.Wait(10s), 0);
}

// A client that announces 4 GiB of signature for a small file: that reply
// is refused at its header and the server's run goes on.
TEST(DeployHostile, ServerRefusesAReplyItsFileCannotExplain) {
    ts::TempDir dir;
    const fs::path local = dir.Path() / "app.txt";
    ts::WriteText(local, std::string(5000, 'x'));
    const int port1 = ts::FreePort();
    ts::ChildProcess server(VTR232_PATH, {"-s", "--p1", std::to_string(port1), "--p2", "0", "--p3",
                                          "0", "-f", local.string() + ",remote.txt"});
    ASSERT_TRUE(server.WaitForOutput("Commands are", 10s));
    ASSERT_TRUE(ts::WaitForListener(port1));
    net::TcpSocket socket(net::kInvalidSocket);
    ASSERT_EQ(socket.Create(AF_INET6), net::NetError::None);
    ASSERT_EQ(socket.Connect("127.0.0.1", port1), net::NetError::None);
    deploytest::RawPeer client(std::move(socket));
    ASSERT_TRUE(ts::WaitForAcceptedConnection(port1));
    std::this_thread::sleep_for(100ms);

    const std::string line = "Local: " + local.string() + " to remote.txt... Failed\r\n";
    server.Write("deploy\n");
    deploytest::RawMessage request;
    ASSERT_TRUE(client.Receive(request));
    ASSERT_TRUE(client.SendRaw(deploytest::RawHeader(deploy::DEPLOY_SIGNATURE, k4GiB)));
    ASSERT_TRUE(server.WaitForOutput(line, 10s)) << server.Out();
    EXPECT_TRUE(client.PeerClosed());
    EXPECT_LT(PeakResidentKiB(server.Pid()), kMemoryBoundKiB);

    // The channel is gone; later runs fail at once and the console still
    // takes commands.
    server.Write("deploy\n");
    ASSERT_TRUE(server.WaitForOutput(line + line, 10s)) << server.Out();
    server.Write("q\n");
    EXPECT_EQ(server.Wait(10s), 0);
}
