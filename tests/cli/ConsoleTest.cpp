// Runs the real program and compares the bytes it writes to the console.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "support/ChildProcess.h"

using testing_support::ChildProcess;
using testing_support::RunToEnd;

namespace {

const std::string kTcpBanner =
    "Vantora v.201 - TCP based. Use -q to use QUIC\r\n"
    "   Server example:  -s -t 2022 --p1 7001 --p2 7002 --p3 7003 -f "
    "r:\\download\\file1.zip,c:\\low\\file1.zip\r\n"
    "   Client example:  -t 2022 -d devbox.example.com:7001 -c devbox.example.com:7003 -l "
    "127.0.0.1:4026\r\n";
const std::string kQuicBanner =
    "Vantora v.201 - QUIC based.\r\n"
    "   Server example: -q -s -t 2022 -p 7001 -l 8888 -f "
    "r:\\download\\file1.zip,c:\\low\\file1.zip\r\n"
    "   Client example: -q -t 2022 -c devbox.example.com:7001 -l 4026\r\n";
const std::string kCommands =
    "\r\nCommands are: deploy, exit, quit, file <local,remote>, save <file>\r\n";

// A TCP server whose relay and RemoteSync ports are all taken from the
// ephemeral range, so parallel tests do not collide.
std::vector<std::string> TcpServerArgs() {
    const int base = 20000 + (getpid() % 2000) * 3;
    return {"-s",
            "--p1",
            std::to_string(base),
            "--p2",
            std::to_string(base + 1),
            "--p3",
            std::to_string(base + 2)};
}

std::string ServerPrefix(const std::vector<std::string>& args) {
    return kTcpBanner + "Server settings: Port1 = " + args[2] + ", Port2 = " + args[4] +
           ", Port3 = " + args[6] + " " + kCommands;
}

}  // namespace

TEST(Console, WithoutArgumentsPrintsBannerAndExamplesThenEnds) {
    ChildProcess child(VTR232_PATH, {});
    EXPECT_EQ(RunToEnd(child, ""), 0);
    EXPECT_EQ(child.Out(), kTcpBanner);
}

TEST(Console, QuicBannerAndHelpShowTheQuicOptionTable) {
    ChildProcess child(VTR232_PATH, {"-q", "-h"});
    EXPECT_EQ(RunToEnd(child, ""), 0);
    const std::string out = child.Out();
    ASSERT_EQ(out.rfind(kQuicBanner, 0), 0u) << out;
    EXPECT_NE(out.find("VTR listening UDP port (WAN accessible)"), std::string::npos);
    EXPECT_EQ(out.find("--p1"), std::string::npos);
    EXPECT_EQ(out.find("RemoteSync"), std::string::npos);
}

TEST(Console, TcpHelpListsEveryOptionWithItsDescription) {
    ChildProcess child(VTR232_PATH, {"--help"});
    EXPECT_EQ(RunToEnd(child, ""), 0);
    const std::string out = child.Out();
    for (const char* text :
         {"Admin", "Use quic", "Server", "Port 1 - VTR control and deploy port (WAN accessible)",
          "Port 2 - VS connecting port", "Port 3 - Remote debugging portport (WAN accessible)",
          "-t,--tools INT", "Use VS Tools", "-f,--file TEXT", "Add files", "RemoteSync", "Client",
          "Local", "Configuration File"}) {
        EXPECT_NE(out.find(text), std::string::npos) << text;
    }
    // Registration order shows in the listing.
    const std::string options = out.substr(out.find("Options:"));
    EXPECT_LT(options.find("  -a "), options.find("  -q "));
    EXPECT_LT(options.find("  -q "), options.find("  -s "));
    EXPECT_LT(options.find("--p3"), options.find("-t,--tools"));
    EXPECT_LT(options.find("  -c "), options.find("  -l "));
}

TEST(Console, VersionIsOneLineWithoutBannerWhereverItStands) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--version"}, {"-q", "-s", "-V"}, {"-h", "--version"}}) {
        ChildProcess child(VTR232_PATH, args);
        EXPECT_EQ(RunToEnd(child, ""), 0);
        EXPECT_TRUE(std::regex_match(
            child.Out(), std::regex(R"(Vantora v\.201 [0-9]+\.[0-9]+\.[0-9]+ \(revision \S+\)\n)")))
            << child.Out();
        EXPECT_EQ(child.Err(), "");
    }
}

TEST(Console, ParseErrorsAreReportedAndEndTheRun) {
    ChildProcess wrongTransport(VTR232_PATH, {"-p", "9000"});
    EXPECT_EQ(RunToEnd(wrongTransport, ""), 0);
    EXPECT_EQ(wrongTransport.Out().rfind(kTcpBanner, 0), 0u);
    EXPECT_NE(wrongTransport.Err().find("-p"), std::string::npos) << wrongTransport.Err();

    ChildProcess badNumber(VTR232_PATH, {"-q", "-p", "x"});
    EXPECT_EQ(RunToEnd(badNumber, ""), 0);
    EXPECT_FALSE(badNumber.Err().empty());
}

TEST(Console, BadEndpointTextsAreRefusedWithAMessage) {
    ChildProcess child(VTR232_PATH, {"-c", "server.example:"});
    EXPECT_EQ(RunToEnd(child, ""), 0);
    EXPECT_EQ(child.Out(),
              kTcpBanner + "Invalid client endpoint \"server.example:\": expected host:port\r\n");

    ChildProcess port(VTR232_PATH, {"-s", "--p2", "70000"});
    EXPECT_EQ(RunToEnd(port, ""), 0);
    EXPECT_EQ(port.Out(), kTcpBanner + "Invalid port 70000 for --p2: expected 0 to 65535\r\n");
}

TEST(Console, CommandLoopMatchesCommandsExactly) {
    const auto args = TcpServerArgs();
    ChildProcess child(VTR232_PATH, args);
    const std::string input =
        " exit\nexit \nExit\nQ\n"  // none of these is a command
        "file a,b\n"               // a pair
        "file a,\n"                // empty remote path
        "file nocomma\nfile\n"     // nothing
        "fileX c,d\n"              // a fifth letter does not matter
        "file  x y,z,w\n"          // argument starts after the first space
        "save\n"                   // bare word: nothing
        "q\n"
        "file never,read\n";
    EXPECT_EQ(RunToEnd(child, input), 0);
    EXPECT_EQ(child.Out(), ServerPrefix(args) +
                               "File added (local,remote): a,b\r\n"
                               "File added (local,remote): a,\r\n"
                               "File added (local,remote): c,d\r\n"
                               "File added (local,remote):  x y,z,w\r\n");
}

TEST(Console, EndOfInputEndsTheServerLikeExit) {
    const auto args = TcpServerArgs();
    ChildProcess child(VTR232_PATH, args);
    EXPECT_EQ(RunToEnd(child, "file a,b"), 0);  // last line without line end
    EXPECT_EQ(child.Out(), ServerPrefix(args) + "File added (local,remote): a,b\r\n");
}
