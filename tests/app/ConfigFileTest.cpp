// The configuration file: number scanning, the saved bytes, loading rules and
// the console lines, and saving that never loses an existing file.
#include "app/ConfigFile.h"

#include <gtest/gtest.h>
#include <unistd.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "app/Settings.h"

using namespace app;

namespace {

namespace fs = std::filesystem;

constexpr const char* kHead =
    "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>\r\n";

// What the console wrote while captured. The framework reads its capture file
// in text mode, which on Windows turns each "\r\n" back into "\n"; the line
// ends are restored so that one expectation holds on both systems (the exact
// bytes on a pipe are the platform tests' business).
std::string CapturedStdout() {
    const std::string text = testing::internal::GetCapturedStdout();
#ifdef _WIN32
    std::string restored;
    for (const char c : text) {
        if (c == '\n' && (restored.empty() || restored.back() != '\r'))
            restored.push_back('\r');
        restored.push_back(c);
    }
    return restored;
#else
    return text;
#endif
}

class ConfigFile : public testing::Test {
  protected:
    ConfigFile() {
        dir_ = fs::temp_directory_path() /
               ("vtr-config-" + std::to_string(::getpid()) + "-" +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    ~ConfigFile() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    fs::path Path(const std::string& name) const { return dir_ / name; }
    static std::wstring Wide(const fs::path& p) { return p.wstring(); }

    static void Write(const fs::path& p, const std::string& bytes) {
        std::ofstream(p, std::ios::binary) << bytes;
    }
    static std::string Read(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    // Loads `xml` into `settings` and returns what was printed.
    std::string Load(const std::string& xml, Settings& settings) {
        Write(Path("in.xml"), xml);
        testing::internal::CaptureStdout();
        LoadConfiguration(Wide(Path("in.xml")), settings);
        return CapturedStdout();
    }

    std::size_t EntriesInDir() const {
        return static_cast<std::size_t>(
            std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
    }

    fs::path dir_;
};

}  // namespace

TEST(ScanConfigNumber, ReadsLikePercentI) {
    EXPECT_EQ(ScanConfigNumber("7001"), 7001);
    EXPECT_EQ(ScanConfigNumber(" \t\r\n\v\f+42 ports"), 42);
    EXPECT_EQ(ScanConfigNumber("-17"), -17);
    EXPECT_EQ(ScanConfigNumber("07001"), 3585);  // octal
    EXPECT_EQ(ScanConfigNumber("0x1B59"), 7001);
    EXPECT_EQ(ScanConfigNumber("0X1b59z"), 7001);
    EXPECT_EQ(ScanConfigNumber("-0x10"), -16);
    EXPECT_EQ(ScanConfigNumber("08"), 0);  // octal stops at the 8
    EXPECT_EQ(ScanConfigNumber("0"), 0);
    EXPECT_EQ(ScanConfigNumber("0x"), 0);  // the zero is the number
    EXPECT_EQ(ScanConfigNumber("0xg"), 0);
    EXPECT_EQ(ScanConfigNumber("2147483647"), 2147483647);
    EXPECT_EQ(ScanConfigNumber("-2147483648"), -2147483647 - 1);
}

TEST(ScanConfigNumber, NoNumberOrOutOfRangeGivesNothing) {
    for (const char* text : {"", "   ", "abc", "-", "+ 5", "x12", "2147483648", "-2147483649",
                             "0xFFFFFFFF", "99999999999999999999999"}) {
        EXPECT_FALSE(ScanConfigNumber(text)) << text;
    }
}

TEST_F(ConfigFile, TcpServerWithDefaultsAndOnePairIsWrittenByteForByte) {
    Settings s;
    s.server = true;
    s.files = {L"C:\\a.zip,D:\\b.zip"};
    ASSERT_TRUE(SaveConfiguration(Wide(Path("tcp.xml")), s));
    EXPECT_EQ(Read(Path("tcp.xml")),
              std::string(kHead) +
                  "<e mode=\"0\" arch=\"32\" tools=\"2022\" a=\"0\" p1=\"7001\" p2=\"7002\" "
                  "p3=\"7003\" s=\"\" c=\"\" l=\"\">\r\n"
                  "\t<files>\r\n"
                  "\t\t<f l=\"C:\\a.zip\" r=\"D:\\b.zip\"/>\r\n"
                  "\t</files>\r\n"
                  "</e>\r\n");
}

TEST_F(ConfigFile, QuicServerWithoutPairsOmitsTcpFieldsAndClosesFilesWithSpace) {
    Settings s;
    s.server = true;
    s.quic = true;
    s.admin = true;
    s.port1 = 9000;
    s.port2 = 1;  // not written for QUIC
    s.toolsVersion = 2019;
    s.remoteSyncText = "ignored:1";
    s.localText = "8888";
    s.files = {L"no comma here"};  // skipped
    ASSERT_TRUE(SaveConfiguration(Wide(Path("quic.xml")), s));
    EXPECT_EQ(Read(Path("quic.xml")),
              std::string(kHead) +
                  "<e mode=\"0\" arch=\"32\" tools=\"2019\" a=\"1\" p1=\"9000\" c=\"\" "
                  "l=\"8888\">\r\n"
                  "\t<files />\r\n"
                  "</e>\r\n");
}

TEST_F(ConfigFile, ClientWithSpecialCharactersIsEscapedAndReadBack) {
    Settings s;
    s.clientText = "srv&co:7003";
    s.remoteSyncText = "srv:7001";
    s.localText = "127.0.0.1:4026";
    s.admin = true;
    s.files = {L"a&b<c>\"d\",r\u00e9mote", L"x,", L"p,q,r"};
    ASSERT_TRUE(SaveConfiguration(Wide(Path("client.xml")), s));
    EXPECT_EQ(Read(Path("client.xml")),
              std::string(kHead) +
                  "<e mode=\"1\" arch=\"32\" tools=\"2022\" a=\"1\" p1=\"7001\" p2=\"7002\" "
                  "p3=\"7003\" s=\"srv:7001\" c=\"srv&amp;co:7003\" l=\"127.0.0.1:4026\">\r\n"
                  "\t<files>\r\n"
                  "\t\t<f l=\"a&amp;b&lt;c&gt;&quot;d&quot;\" r=\"r\xC3\xA9mote\"/>\r\n"
                  "\t\t<f l=\"x\" r=\"\"/>\r\n"
                  "\t\t<f l=\"p\" r=\"q,r\"/>\r\n"
                  "\t</files>\r\n"
                  "</e>\r\n");

    Settings back;
    back.server = true;
    back.toolsVersion = 1;  // only read in mode 0
    testing::internal::CaptureStdout();
    LoadConfiguration(Wide(Path("client.xml")), back);
    const std::string out = CapturedStdout();
    EXPECT_FALSE(back.server);
    EXPECT_TRUE(back.admin);
    EXPECT_EQ(back.clientText, s.clientText);
    EXPECT_EQ(back.remoteSyncText, s.remoteSyncText);
    EXPECT_EQ(back.localText, s.localText);
    EXPECT_EQ(back.toolsVersion, 1);
    EXPECT_EQ(back.files, s.files);
    EXPECT_EQ(out,
              "Using TCP protocol\r\n"
              "File to deploy: a&b<c>\"d\",r\xC3\xA9mote to r\xC3\xA9mote\r\n"
              "File to deploy: x, to \r\n"
              "File to deploy: p,q,r to q,r\r\n");
}

TEST_F(ConfigFile, QuicServerFileIsReadBackAsTcpUnlessQuicIsAdded) {
    Settings s;
    s.server = true;
    s.quic = true;
    s.port1 = 9000;
    ASSERT_TRUE(SaveConfiguration(Wide(Path("q.xml")), s));

    Settings back;
    back.port2 = 1;
    back.port3 = 2;
    testing::internal::CaptureStdout();
    LoadConfiguration(Wide(Path("q.xml")), back);
    EXPECT_EQ(CapturedStdout(), "Using TCP protocol\r\n");
    EXPECT_FALSE(back.quic);
    EXPECT_TRUE(back.server);
    EXPECT_EQ(back.port1, 9000);
    EXPECT_EQ(back.port2, 7002);
    EXPECT_EQ(back.port3, 7003);

    Settings quic;
    EXPECT_EQ(Load("<e quic=\"1\" p1=\"9000\" p2=\"5\"/>", quic), "Using QUIC protocol\r\n");
    EXPECT_TRUE(quic.quic);
    EXPECT_EQ(quic.port2, 7002);  // not read for QUIC
    EXPECT_EQ(quic.localText, "4026");
}

TEST_F(ConfigFile, LoadedValuesAndDefaultsOverrideTheCommandLine) {
    Settings s;
    s.port1 = 1234;  // as if from --p1
    s.toolsVersion = 2017;
    s.admin = true;
    s.localText = "given";
    s.files = {L"cmd,line"};
    EXPECT_EQ(Load("<e p2=\" 07001\" p3=\"0x1B59junk\" tools=\"abc\"><files>"
                   "<f l=\"a\" r=\"b\"/><anything r=\"only-r\" l=\"only-l\"/><x/>"
                   "</files></e>",
                   s),
              "Using TCP protocol\r\n"
              "File to deploy: a,b to b\r\n"
              "File to deploy: only-l,only-r to only-r\r\n"
              "File to deploy: , to \r\n");
    EXPECT_TRUE(s.server);            // mode defaults to 0
    EXPECT_FALSE(s.admin);            // "a" missing
    EXPECT_EQ(s.port1, 7001);         // missing p1 resets the command line's port
    EXPECT_EQ(s.port2, 3585);         // octal
    EXPECT_EQ(s.port3, 7001);         // hex, trailing text ignored
    EXPECT_EQ(s.toolsVersion, 2022);  // not a number
    EXPECT_EQ(s.localText, "");
    EXPECT_EQ(s.files, (std::vector<std::wstring>{L"cmd,line", L"a,b", L"only-l,only-r", L","}));
}

TEST_F(ConfigFile, UnknownModeLeavesRoleAndModeFieldsAlone) {
    Settings s;
    s.server = true;
    s.port1 = 1;
    s.toolsVersion = 2;
    s.clientText = "keep";
    s.remoteSyncText = "keep too";
    EXPECT_EQ(Load("<e mode=\"2\" p1=\"5\" tools=\"6\" c=\"x\" s=\"y\" l=\"z\" a=\"0x1\"/>", s),
              "Using TCP protocol\r\n");
    EXPECT_TRUE(s.server);
    EXPECT_EQ(s.port1, 1);
    EXPECT_EQ(s.toolsVersion, 2);
    EXPECT_EQ(s.clientText, "keep");
    EXPECT_EQ(s.remoteSyncText, "keep too");
    EXPECT_EQ(s.localText, "z");
    EXPECT_TRUE(s.admin);
}

TEST_F(ConfigFile, MissingOrBrokenFileActsAsEmpty) {
    Settings s;
    s.port1 = 1;
    testing::internal::CaptureStdout();
    LoadConfiguration(Wide(Path("missing.xml")), s);
    EXPECT_EQ(CapturedStdout(), "Using TCP protocol\r\n");
    EXPECT_TRUE(s.server);
    EXPECT_EQ(s.port1, 7001);

    // A parse error part-way keeps what was read before it.
    Settings t;
    EXPECT_EQ(Load("<e mode=\"1\" c=\"host:7003\" l==\"x\"/>", t), "Using TCP protocol\r\n");
    EXPECT_FALSE(t.server);
    EXPECT_EQ(t.clientText, "host:7003");
    EXPECT_EQ(t.localText, "");
}

TEST_F(ConfigFile, PathsWithEntityTextComeBackDecoded) {
    Settings s;
    s.files = {L"&lt;x&gt;,&amp;"};
    ASSERT_TRUE(SaveConfiguration(Wide(Path("e.xml")), s));
    Settings back;
    testing::internal::CaptureStdout();
    LoadConfiguration(Wide(Path("e.xml")), back);
    CapturedStdout();
    // The escaped ampersand is decoded once, so "&amp;" turns into "&" only
    // one level deep, while "&lt;" and "&gt;" collapse fully.
    EXPECT_EQ(back.files, (std::vector<std::wstring>{L"<x>,&amp;"}));
}

TEST_F(ConfigFile, SavingReplacesAnExistingFileFromScratch) {
    const fs::path target = Path("cfg.xml");
    Write(target, "<e extra=\"old\"><files><f l=\"old\" r=\"old\"/></files></e>");
    Settings s;
    s.files = {L"new,new"};
    ASSERT_TRUE(SaveConfiguration(Wide(target), s));
    const std::string bytes = Read(target);
    EXPECT_EQ(bytes.find("old"), std::string::npos);
    EXPECT_NE(bytes.find("<f l=\"new\" r=\"new\"/>"), std::string::npos);
    EXPECT_EQ(EntriesInDir(), 1u);  // no temporary file left behind
}

TEST_F(ConfigFile, FailedSaveLeavesNothingBehindAndReportsIt) {
    Settings s;
    EXPECT_FALSE(SaveConfiguration(Wide(Path("no-such-dir") / "cfg.xml"), s));
    EXPECT_FALSE(SaveConfiguration(L"", s));
    EXPECT_FALSE(SaveConfiguration(Wide(Path("cut")) + std::wstring(L"\0.xml", 5), s));
    EXPECT_FALSE(SaveConfiguration(Wide(dir_) + L"/", s));

    // A directory in the way cannot be replaced; it stays as it was.
    fs::create_directory(Path("taken"));
    Write(Path("taken") / "inner", "kept");
    EXPECT_FALSE(SaveConfiguration(Wide(Path("taken")), s));
    EXPECT_EQ(Read(Path("taken") / "inner"), "kept");
    EXPECT_EQ(EntriesInDir(), 1u);
}

#ifndef _WIN32
// Both need what only POSIX has here: a file size limit, and symbolic links
// that any user may make.
TEST_F(ConfigFile, WriteFailureKeepsTheOldFile) {
    const fs::path target = Path("cfg.xml");
    Write(target, "old content");
    Settings s;
    s.files.assign(200, L"a-long-local-path,a-long-remote-path");

    // A file size limit makes the write fail part-way, as a full disk would.
    struct sigaction ignore = {}, previous = {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &previous), 0);
    rlimit saved = {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 1000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool result = SaveConfiguration(Wide(target), s);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::sigaction(SIGXFSZ, &previous, nullptr);

    EXPECT_FALSE(result);
    EXPECT_EQ(Read(target), "old content");
    EXPECT_EQ(EntriesInDir(), 1u);
}

TEST_F(ConfigFile, SavingThroughASymbolicLinkReplacesItsTarget) {
    Write(Path("real.xml"), "old");
    fs::create_symlink(Path("real.xml"), Path("link.xml"));
    Settings s;
    ASSERT_TRUE(SaveConfiguration(Wide(Path("link.xml")), s));
    EXPECT_TRUE(fs::is_symlink(Path("link.xml")));
    EXPECT_EQ(Read(Path("real.xml")).substr(0, 3), "\xEF\xBB\xBF");
}
#endif

TEST_F(ConfigFile, SaveCommandPrintsTheOutcome) {
    Settings s;
    const std::wstring good = Wide(Path("ok.xml"));
    testing::internal::CaptureStdout();
    SaveConfigurationCommand(good, s);
    EXPECT_EQ(CapturedStdout(),
              "Configuration saved to " + Path("ok.xml").string() + "\r\n");
    EXPECT_TRUE(fs::exists(Path("ok.xml")));

    testing::internal::CaptureStdout();
    SaveConfigurationCommand(L"", s);
    EXPECT_EQ(CapturedStdout(), "Could not save configuration to \r\n");

    const std::wstring bad = Wide(Path("missing") / "x.xml");
    testing::internal::CaptureStdout();
    SaveConfigurationCommand(bad, s);
    EXPECT_EQ(CapturedStdout(),
              "Could not save configuration to " + (Path("missing") / "x.xml").string() + "\r\n");
}
