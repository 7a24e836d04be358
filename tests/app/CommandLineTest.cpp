#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include "app/Settings.h"

using namespace app;

namespace {

// Parses the arguments with the full option table; false on a parse error.
bool Parse(Settings& settings, std::vector<std::string> args) {
    std::vector<const char*> argv{"vtr232"};
    for (auto& a : args)
        argv.push_back(a.c_str());
    PreParseTransport(settings, static_cast<int>(argv.size()), argv.data());
    CLI::App app("Vantora", "");
    WideOptionText wide;
    RegisterOptions(app, settings, wide);
    try {
        app.parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::ParseError&) {
        return false;
    }
    ApplyWideOptions(settings, wide);
    return true;
}

}  // namespace

TEST(CommandLine, PreParseFindsQuicAmongUnknownOptions) {
    Settings s;
    const char* argv[] = {"vtr232", "--p1", "5", "-s", "-q", "-x"};
    PreParseTransport(s, 6, argv);
    EXPECT_TRUE(s.quic);
    EXPECT_FALSE(s.server);  // only -q is looked at

    Settings help;
    const char* helpArgv[] = {"vtr232", "-h"};
    PreParseTransport(help, 2, helpArgv);
    EXPECT_FALSE(help.quic);
}

TEST(CommandLine, OptionsExistOnlyForTheirTransport) {
    Settings quic;
    ASSERT_TRUE(Parse(quic, {"-q", "-p", "9000"}));
    EXPECT_EQ(quic.port1, 9000);

    Settings tcpWithP;
    EXPECT_FALSE(Parse(tcpWithP, {"-p", "9000"}));
    Settings quicWithP2;
    EXPECT_FALSE(Parse(quicWithP2, {"-q", "--p2", "1"}));
    Settings quicWithD;
    EXPECT_FALSE(Parse(quicWithD, {"-q", "-d", "h:1"}));
    Settings notANumber;
    EXPECT_FALSE(Parse(notANumber, {"--p1", "abc"}));
}

TEST(CommandLine, FillsEveryFieldAndKeepsPairsWhole) {
    Settings s;
    ASSERT_TRUE(Parse(s, {"-s", "-a",   "--p1", "1",   "--p2",   "2",       "--p3", "3",
                          "-t", "2019", "-f",   "a,b", "--file", "c,d,e",   "-d",   "h:7",
                          "-c", "h",    "-l",   "x:1", "-i",     "conf.xml"}));
    EXPECT_TRUE(s.server);
    EXPECT_TRUE(s.admin);
    EXPECT_FALSE(s.quic);
    EXPECT_EQ(s.port1, 1);
    EXPECT_EQ(s.port2, 2);
    EXPECT_EQ(s.port3, 3);
    EXPECT_EQ(s.toolsVersion, 2019);
    EXPECT_EQ(s.files, (std::vector<std::wstring>{L"a,b", L"c,d,e"}));
    EXPECT_EQ(s.remoteSyncText, "h:7");
    EXPECT_EQ(s.clientText, "h");
    EXPECT_EQ(s.localText, "x:1");
    EXPECT_EQ(s.configFile, L"conf.xml");
}

TEST(CommandLine, UnicodePathsArriveAsWideText) {
    Settings s;
    ASSERT_TRUE(Parse(s, {"-f", "d\xC3\xA9j\xC3\xA0,\xE6\x97\xA5"}));
    ASSERT_EQ(s.files.size(), 1u);
    EXPECT_EQ(s.files[0], L"d\u00e9j\u00e0,\u65e5");
}

TEST(CommandLine, ListenTakesNumericAddressesInEitherTransport) {
    for (const bool quic : {false, true}) {
        Settings none;
        ASSERT_TRUE(
            Parse(none, quic ? std::vector<std::string>{"-q"} : std::vector<std::string>{}));
        EXPECT_EQ(none.listenAddress, "");  // loopback
        for (const char* address : {"0.0.0.0", "::", "192.168.1.20", "fe80::2"}) {
            Settings s;
            std::vector<std::string> args{"-s", "--listen", address};
            if (quic)
                args.push_back("-q");
            ASSERT_TRUE(Parse(s, args)) << address;
            EXPECT_EQ(s.listenAddress, address);
        }
        for (const char* bad : {"devbox.example.com", "1.2.3", "127.0.0.1:7002", "[::1]", ""}) {
            Settings s;
            EXPECT_FALSE(Parse(s, {"--listen", bad})) << bad;
        }
    }
}

TEST(CommandLine, VersionIsAskedForByEitherNameUpToTheEndOfOptions) {
    auto asked = [](std::vector<const char*> argv) {
        argv.insert(argv.begin(), "vtr232");
        return VersionRequested(static_cast<int>(argv.size()), argv.data());
    };
    EXPECT_TRUE(asked({"-V"}));
    EXPECT_TRUE(asked({"-q", "-s", "--version"}));
    EXPECT_FALSE(asked({}));
    EXPECT_FALSE(asked({"--versions", "-v", "-Vq"}));
    EXPECT_FALSE(asked({"--", "--version"}));
    // The same line whatever was asked: the one word "v.201", the version
    // and the revision, ended by one line feed.
    const std::wstring text = VersionText();
    EXPECT_EQ(text.rfind(L"Vantora v.201 ", 0), 0u);
    EXPECT_EQ(text.find(L'\n'), text.size() - 1);
    EXPECT_EQ(text.find(L'\r'), std::wstring::npos);
}
