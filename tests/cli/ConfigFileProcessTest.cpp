// Configuration files through the real program: what "save" on the server's
// console writes, and what "-i" makes of a file at start-up, seen in the
// console lines and in the file the loaded settings save again.
#include <gtest/gtest.h>

#include <memory>

#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/TestEnv.h"

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const std::string kTcpBanner =
    "Vantora v.201 - TCP based. Use -q to use QUIC\r\n"
    "   Server example:  -s -t 2022 --p1 7001 --p2 7002 --p3 7003 -f "
    "r:\\download\\file1.zip,c:\\low\\file1.zip\r\n"
    "   Client example:  -t 2022 -d devbox.example.com:7001 -c devbox.example.com:7003 -l "
    "127.0.0.1:4026\r\n";
const std::string kCommands =
    "\r\nCommands are: deploy, exit, quit, file <local,remote>, save <file>\r\n";
const std::string kHead =
    "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>\r\n";

// Each line followed by `end`.
std::string Lines(const std::vector<std::string>& lines, const std::string& end) {
    std::string text;
    for (const auto& line : lines)
        text += line + end;
    return text;
}

std::string TcpSettingsLine(int port1, int port2, int port3) {
    return "Server settings: Port1 = " + std::to_string(port1) +
           ", Port2 = " + std::to_string(port2) + ", Port3 = " + std::to_string(port3) + " ";
}

// The start tag of a TCP server's root with the given values, in the order
// the program writes them.
std::string TcpServerRoot(const std::string& tools, const std::string& admin, int port1, int port2,
                          int port3, const std::string& c = "", const std::string& l = "") {
    return "<e mode=\"0\" arch=\"32\" tools=\"" + tools + "\" a=\"" + admin + "\" p1=\"" +
           std::to_string(port1) + "\" p2=\"" + std::to_string(port2) + "\" p3=\"" +
           std::to_string(port3) + "\" s=\"\" c=\"" + c + "\" l=\"" + l + "\">\r\n";
}

std::string FilesBlock(const std::vector<std::pair<std::string, std::string>>& pairs) {
    if (pairs.empty())
        return "\t<files />\r\n";
    std::string text = "\t<files>\r\n";
    for (const auto& [l, r] : pairs)
        text += "\t\t<f l=\"" + l + "\" r=\"" + r + "\"/>\r\n";
    return text + "\t</files>\r\n";
}

// A TCP server that needs no relay: Port 1 is free, Ports 2 and 3 are off.
std::vector<std::string> QuietTcpServer(int port1, std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"-s", "--p1", std::to_string(port1), "--p2", "0", "--p3", "0"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

// A QUIC server and the client that lets it reach its command loop.
struct QuicPair {
    TempDir dir;
    int port = FreeTcpUdpPort();
    std::map<std::string, std::string> env;
    std::unique_ptr<ChildProcess> server, client;

    QuicPair() {
        InstallStandInMonitor(dir.Path() / "programs");
        env = {{"PROGRAMFILES", (dir.Path() / "programs").string()},
               {"XDG_DATA_HOME", (dir.Path() / "xdg").string()},
               // Address discovery fails at once instead of going out.
               {"VTR_ADDRESS_URL", "http://127.0.0.1:9"}};
    }

    // Starts the server with `args` and a client, and waits for the prompt.
    bool Start(const std::vector<std::string>& args) {
        server = std::make_unique<ChildProcess>(VTR232_PATH, args, env);
        if (!server->WaitForOutput("Waiting for Connection ...\r\n", 10s))
            return false;
        client = std::make_unique<ChildProcess>(
            VTR232_PATH,
            std::vector<std::string>{"-q", "-c", "127.0.0.1:" + std::to_string(port), "-l",
                                     std::to_string(FreePort())},
            env);
        return server->WaitForOutput(kCommands, 15s);
    }

    // Leaves the server; its client ends with the connection.
    void Stop() {
        server->Write("q\n");
        EXPECT_EQ(server->Wait(10s), 0);
        EXPECT_EQ(client->Wait(10s), 0);
    }
};

}  // namespace

TEST(ConfigFileProcess, TcpServerSavesItsSettingsByteForByteAndReportsFailedSaves) {
    TempDir dir;
    const int port1 = FreePort();
    const fs::path taken = dir.Path() / "taken";
    fs::create_directory(taken);
    WriteText(taken / "inner", "kept");
    const fs::path plain = dir.Path() / "plain.xml";
    const fs::path odd = dir.Path() / "a&b <c> \"d\".xml";
    const fs::path noDir = dir.Path() / "missing" / "x.xml";

    // The client text of a TCP server is only kept, never dialled.
    ChildProcess server(VTR232_PATH,
                        QuietTcpServer(port1, {"-a", "-t", "2019", "-c", "h&o<s>t\"x:7003"}));
    const std::string pair = "C:\\a&b\\<x>.bin,\"D:\\r\xC3\xA9\\y\".bin";
    const std::string input = Lines({"save " + plain.string(),
                                     "save",   // no space: not even a message
                                     "save ",  // empty path
                                     "save " + noDir.string(), "save " + taken.string(),
                                     "file " + pair, "file rel,", "save " + odd.string(), "q"},
                                    "\n");
    EXPECT_EQ(RunToEnd(server, input), 0);

    EXPECT_EQ(
        server.Out(),
        kTcpBanner + TcpSettingsLine(port1, 0, 0) + kCommands +
            Lines({"Configuration saved to " + plain.string(), "Could not save configuration to ",
                   "Could not save configuration to " + noDir.string(),
                   "Could not save configuration to " + taken.string(),
                   "File added (local,remote): " + pair, "File added (local,remote): rel,",
                   "Configuration saved to " + odd.string()},
                  "\r\n"));

    const std::string root =
        TcpServerRoot("2019", "1", port1, 0, 0, "h&amp;o&lt;s&gt;t&quot;x:7003");
    EXPECT_EQ(ReadText(plain), kHead + root + FilesBlock({}) + "</e>\r\n");
    EXPECT_EQ(ReadText(odd),
              kHead + root +
                  FilesBlock({{"C:\\a&amp;b\\&lt;x&gt;.bin", "&quot;D:\\r\xC3\xA9\\y&quot;.bin"},
                              {"rel", ""}}) +
                  "</e>\r\n");
    // The failed saves wrote nothing, not even a temporary file.
    EXPECT_EQ(EntryNames(dir.Path()),
              (std::set<std::string>{"plain.xml", "taken", odd.filename().string()}));
    EXPECT_EQ(EntryNames(taken), std::set<std::string>{"inner"});
    EXPECT_EQ(ReadText(taken / "inner"), "kept");
}

TEST(ConfigFileProcess, FileSavedByTheServerLoadsBackToTheSameSettings) {
    TempDir dir;
    const int port1 = FreePort();
    const fs::path first = dir.Path() / "first.xml";
    const fs::path second = dir.Path() / "second.xml";

    ChildProcess saver(VTR232_PATH, QuietTcpServer(port1, {"-a", "-t", "2017", "-f", "l1,r1", "-f",
                                                           "x&<>\"\xC3\xA9,y,z"}));
    EXPECT_EQ(RunToEnd(saver, "file c,d\nsave " + first.string() + "\n"), 0);
    const std::string saved = ReadText(first);
    ASSERT_EQ(saved,
              kHead + TcpServerRoot("2017", "1", port1, 0, 0) +
                  FilesBlock({{"l1", "r1"}, {"x&amp;&lt;&gt;&quot;\xC3\xA9", "y,z"}, {"c", "d"}}) +
                  "</e>\r\n");

    // Nothing but the file: role, ports, tools, admin and pairs all come from it.
    ChildProcess loader(VTR232_PATH, {"-i", first.string()});
    EXPECT_EQ(RunToEnd(loader, "save " + second.string() + "\n"), 0);
    EXPECT_EQ(loader.Out(), kTcpBanner +
                                "Using TCP protocol\r\n"
                                "File to deploy: l1,r1 to r1\r\n"
                                "File to deploy: x&<>\"\xC3\xA9,y,z to y,z\r\n"
                                "File to deploy: c,d to d\r\n" +
                                TcpSettingsLine(port1, 0, 0) + kCommands +
                                "Configuration saved to " + second.string() + "\r\n");
    EXPECT_EQ(ReadText(second), saved);
}

TEST(ConfigFileProcess, LoadedValuesAndDefaultsOverrideTheCommandLine) {
    TempDir dir;
    // The file's p1 as written, and the port it gives. A missing p1 resets the
    // command line's --p1 to the default.
    const std::pair<std::string, int> cases[] = {
        {"", 7001}, {" p1=\"0x1B59\"", 7001}, {" p1=\" 07001\"", 3585}};
    for (const auto& [p1, port] : cases) {
        SCOPED_TRACE(p1);
        const fs::path config = dir.Path() / "in.xml";
        const fs::path out = dir.Path() / "out.xml";
        // No mode: a server. Ports 2 and 3 switched off by the file; any
        // element under "files" is a pair.
        WriteText(config, "<config p2=\"0\" p3=\"0x0\"" + p1 +
                              "><files><f l=\"a\" r=\"b\"/>"
                              "<pair r=\"R&amp;\" l=\"L&lt;\"/><x/></files></config>");
        ChildProcess child(VTR232_PATH,
                           {"-a", "-t", "2017", "--p1", std::to_string(FreePort()), "--p2",
                            std::to_string(FreePort()), "--p3", std::to_string(FreePort()), "-f",
                            "cmd,line", "-i", config.string()});
        EXPECT_EQ(RunToEnd(child, "save " + out.string() + "\n"), 0);
        EXPECT_EQ(child.Out(), kTcpBanner +
                                   "Using TCP protocol\r\n"
                                   "File to deploy: a,b to b\r\n"
                                   "File to deploy: L<,R& to R&\r\n"
                                   "File to deploy: , to \r\n" +
                                   TcpSettingsLine(port, 0, 0) + kCommands +
                                   "Configuration saved to " + out.string() + "\r\n");
        // -t and -a gave way to the defaults of the missing attributes.
        EXPECT_EQ(ReadText(out),
                  kHead + TcpServerRoot("2022", "0", port, 0, 0) +
                      FilesBlock({{"cmd", "line"}, {"a", "b"}, {"L&lt;", "R&amp;"}, {"", ""}}) +
                      "</e>\r\n");
    }
}

TEST(ConfigFileProcess, ModeTwoLeavesTheRoleAsTheCommandLineSetIt) {
    TempDir dir;
    const fs::path config = dir.Path() / "mode2.xml";
    const fs::path out = dir.Path() / "out.xml";
    // Neither ports, tools, s nor c are read in mode 2; a and l are.
    WriteText(config,
              "<e mode=\"2\" p1=\"5\" p2=\"6\" p3=\"7\" tools=\"1\" c=\"x:1\" s=\"y:2\" a=\"1\"/>");
    const int port1 = FreePort();

    ChildProcess server(VTR232_PATH, QuietTcpServer(port1, {"-t", "2017", "-i", config.string()}));
    EXPECT_EQ(RunToEnd(server, "save " + out.string() + "\n"), 0);
    EXPECT_EQ(server.Out(), kTcpBanner + "Using TCP protocol\r\n" + TcpSettingsLine(port1, 0, 0) +
                                kCommands + "Configuration saved to " + out.string() + "\r\n");
    EXPECT_EQ(ReadText(out),
              kHead + TcpServerRoot("2017", "1", port1, 0, 0) + FilesBlock({}) + "</e>\r\n");

    // Without -s the process stays a client with nothing to do, and ends.
    ChildProcess client(VTR232_PATH, {"-i", config.string()});
    EXPECT_EQ(RunToEnd(client, ""), 0);
    EXPECT_EQ(client.Out(), kTcpBanner + "Using TCP protocol\r\n");
}

TEST(ConfigFileProcess, ClientFileMakesAServerCommandLineAClientThatDialsItsServer) {
    TempDir dir;
    const fs::path local = dir.Path() / "local.txt";
    const fs::path remote = dir.Path() / "remote" / "copy.txt";
    WriteText(local, "deployed by a client that only had a file\n");
    const int port1 = FreePort();
    ChildProcess server(VTR232_PATH,
                        QuietTcpServer(port1, {"-f", local.string() + "," + remote.string()}));
    ASSERT_TRUE(server.WaitForOutput(kCommands, 10s));

    const fs::path config = dir.Path() / "client.xml";
    WriteText(config, "<e mode=\"1\" s=\"127.0.0.1:" + std::to_string(port1) + "\" c=\"127.0.0.1:" +
                          std::to_string(FreePort()) + "\" l=\"\" p1=\"1\"/>");
    // Mode 1 overrides -s; the RemoteSync endpoint comes from "s".
    ChildProcess client(VTR232_PATH, {"-s", "--p1", "1", "-i", config.string()});
    ASSERT_TRUE(WaitForAcceptedConnection(port1));
    std::this_thread::sleep_for(100ms);
    server.Write("deploy\n");
    ASSERT_TRUE(server.WaitForOutput("Done\r\n", 10s)) << server.Out();
    EXPECT_EQ(ReadText(remote), ReadText(local));
    EXPECT_EQ(client.Out(), kTcpBanner + "Using TCP protocol\r\nRequested signature for " +
                                remote.string() + "...  Writing ... \r\n");

    server.Write("q\n");
    EXPECT_EQ(server.Wait(10s), 0);
    EXPECT_EQ(client.Wait(10s), 0);
}

TEST(ConfigFileProcess, QuicServerSavesWithoutTcpFieldsAndQuicAttributeBringsQuicBack) {
    QuicPair run;
    const fs::path first = run.dir.Path() / "quic.xml";
    const fs::path withQuic = run.dir.Path() / "with-quic.xml";
    const fs::path second = run.dir.Path() / "again.xml";
    const std::string port = std::to_string(run.port);

    ASSERT_TRUE(
        run.Start({"-q", "-s", "-p", port, "-l", "8888", "-t", "2017", "-f", "C:\\a&b,<r>\"q\""}))
        << run.server->Out();
    run.server->Write("save " + first.string() + "\n");
    ASSERT_TRUE(run.server->WaitForOutput("Configuration saved to " + first.string() + "\r\n", 5s));
    run.Stop();
    const std::string saved = ReadText(first);
    EXPECT_EQ(saved, kHead + "<e mode=\"0\" arch=\"32\" tools=\"2017\" a=\"0\" p1=\"" + port +
                         "\" c=\"\" l=\"8888\">\r\n" +
                         FilesBlock({{"C:\\a&amp;b", "&lt;r&gt;&quot;q&quot;"}}) + "</e>\r\n");

    // "quic" is never written, so the file alone loads as TCP; with quic="1"
    // added by hand it starts the QUIC server again, even from a command
    // line without -q, and saves back the same bytes.
    std::string edited = saved;
    edited.insert(edited.find("<e ") + 3, "quic=\"1\" ");
    WriteText(withQuic, edited);
    ASSERT_TRUE(run.Start({"-i", withQuic.string()})) << run.server->Out();
    run.server->Write("save " + second.string() + "\n");
    ASSERT_TRUE(
        run.server->WaitForOutput("Configuration saved to " + second.string() + "\r\n", 5s));
    run.Stop();
    EXPECT_EQ(run.server->Out(), kTcpBanner +
                                     "Using QUIC protocol\r\n"
                                     "File to deploy: C:\\a&b,<r>\"q\" to <r>\"q\"\r\n"
                                     "Server settings: Port = " +
                                     port +
                                     " \r\n"
                                     "Waiting for Connection ...\r\n"
                                     "VTR Server accepted connection at " +
                                     port + "\r\n" + kCommands + "Configuration saved to " +
                                     second.string() + "\r\n");
    EXPECT_EQ(ReadText(second), saved);
}
