// The installed program: cmake --install into a scratch prefix, and the
// Debian package built by CPack from this build tree, unpacked and run.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/TestEnv.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ChildProcess;
using testing_support::ReadText;
using testing_support::TempDir;

struct Outcome {
    int code = -1;
    std::string out;
    std::string err;
};

Outcome RunCommand(const std::string& program, const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& env = {}) {
    ChildProcess child(program, args, env);
    Outcome run;
    run.code = testing_support::RunToEnd(child, "", std::chrono::seconds(120));
    run.out = child.Out();
    run.err = child.Err();
    return run;
}

// The program's full path when it is on PATH; empty otherwise.
std::string OnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const fs::path candidate = fs::path(dir) / name;
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0)
            return candidate.string();
    }
    return {};
}

// Every file and link under `root`, relative, a link as "name -> target".
std::set<std::string> Tree(const fs::path& root) {
    std::set<std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string name = entry.path().lexically_relative(root).string();
        if (entry.is_symlink())
            entries.insert(name + " -> " + fs::read_symlink(entry.path()).string());
        else if (!entry.is_directory())
            entries.insert(name);
    }
    return entries;
}

// The documented layout under a prefix.
std::set<std::string> InstalledLayout(const std::string& prefix) {
    return {prefix + "bin/vtr232 -> ../lib/vantora/vtr232",
            prefix + "bin/vtr232-publish",
            prefix + "bin/vtr232-update-server",
            prefix + "lib/vantora/vtr232",
            prefix + "share/man/man1/vtr232.1.gz",
            prefix + "share/doc/vantora/README.md"};
}

const std::regex kVersionLine(R"(Vantora v\.201 (\S+) \(revision (\S+)\)\n)");

void ExpectVersionLine(const fs::path& program) {
    const Outcome version = RunCommand(program.string(), {"--version"});
    EXPECT_EQ(version.code, 0);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(version.out, match, kVersionLine)) << version.out;
    EXPECT_EQ(match[1].str(), VTR_PROJECT_VERSION);
}

// A TCP server of `program` with the update on, whose service is a closed
// loopback port; its debug output goes to standard error. Waits until a
// line containing `line` appears there, then ends the server; that stderr.
std::string UpdateDebugOutput(const fs::path& program, const std::string& line) {
    using testing_support::FreePort;
    ChildProcess server(
        program.string(),
        {"-s", "--p1", std::to_string(FreePort()), "--p2", std::to_string(FreePort()), "--p3",
         std::to_string(FreePort())},
        {{"VTR_NO_UPDATE", "0"},
         {"VTR_DEBUG_STDERR", "1"},
         {"VTR_UPDATE_URL", "https://127.0.0.1:" + std::to_string(FreePort()) + "/zelt/zelt.php"}});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (server.Err().find(line) == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(server.Stop(std::chrono::seconds(20)), 0);
    return server.Err();
}

constexpr char kPackagedOff[] = "update: off, installed by a package";
constexpr char kRunResult[] = "update: run result";

TEST(Install, PrefixGetsTheDocumentedLayoutAndTheCopyUpdatesItself) {
    TempDir prefix;
    const Outcome install = RunCommand(
        VTR_CMAKE_COMMAND, {"--install", VTR_BINARY_DIR, "--prefix", prefix.Path().string()});
    ASSERT_EQ(install.code, 0) << install.out << install.err;
    // Nothing else: no stand-in monitor or test tools, and no package marker.
    EXPECT_EQ(Tree(prefix.Path()), InstalledLayout(""));
    const std::string page = ReadText(prefix.Path() / "share/man/man1/vtr232.1.gz");
    EXPECT_EQ(page.substr(0, 2), "\x1f\x8b");

    const fs::path program = prefix.Path() / "bin/vtr232";
    ExpectVersionLine(program);
    for (const char* helper : {"vtr232-publish", "vtr232-update-server"}) {
        const fs::path path = prefix.Path() / "bin" / helper;
        EXPECT_EQ(::access(path.c_str(), X_OK), 0) << helper;
    }
    // A user's own copy keeps its self-update; through the link the program
    // directory is lib/vantora, not the shared bin.
    const std::string debug = UpdateDebugOutput(program, kRunResult);
    EXPECT_NE(debug.find(kRunResult), std::string::npos) << debug;
    EXPECT_EQ(debug.find("update: off"), std::string::npos) << debug;
}

TEST(Install, RevisionFallsBackOutsideACheckoutAndItsFileIsRewrittenOnlyOnChange) {
    TempDir dir;
    const fs::path out = dir.Path() / "BuildInfo.cpp";
    auto write = [&](const std::string& revision) {
        return RunCommand(VTR_CMAKE_COMMAND,
                          {"-DSOURCE_DIR=" + dir.Path().string(), "-DOUTPUT=" + out.string(),
                           "-DVERSION=7.8.9", "-DREVISION=" + revision, "-P",
                           std::string(VTR_SOURCE_DIR) + "/cmake/Revision.cmake"},
                          // No checkout around the temporary directory counts either.
                          {{"GIT_CEILING_DIRECTORIES", dir.Path().parent_path().string()}})
            .code;
    };
    ASSERT_EQ(write(""), 0);
    EXPECT_NE(ReadText(out).find("kBuildVersion[] = \"7.8.9\""), std::string::npos);
    EXPECT_NE(ReadText(out).find("kBuildRevision[] = \"unknown\""), std::string::npos)
        << ReadText(out);

    // An unchanged text leaves the file alone, so nothing is rebuilt.
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(1);
    fs::last_write_time(out, old);
    ASSERT_EQ(write(""), 0);
    EXPECT_EQ(fs::last_write_time(out), old);

    // A given revision wins; what would break the string literal is replaced.
    ASSERT_EQ(write("v2.0.1-3-gabc \"x\\"), 0);
    EXPECT_NE(ReadText(out).find("kBuildRevision[] = \"v2.0.1-3-gabc__x_\""), std::string::npos)
        << ReadText(out);
}

// The package, built once per test from this build tree (CPack does not
// build: it installs what the build made, stripped, into its own staging).
class Package : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* tool : {"dpkg-deb", "dpkg-shlibdeps"})
            if (OnPath(tool).empty())
                GTEST_SKIP() << tool << " is not installed: no Debian package can be built";
        const Outcome cpack = RunCommand(
            VTR_CPACK_COMMAND, {"--config", std::string(VTR_BINARY_DIR) + "/CPackConfig.cmake",
                                "-G", "DEB", "-B", out_.Path().string()});
        ASSERT_EQ(cpack.code, 0) << cpack.out << cpack.err;
        for (const auto& entry : fs::directory_iterator(out_.Path()))
            if (entry.path().extension() == ".deb")
                debs_.push_back(entry.path());
        ASSERT_EQ(debs_.size(), 1u);
        deb_ = debs_.front();
    }

    std::string Field(const std::string& name) {
        const Outcome run = RunCommand("dpkg-deb", {"-f", deb_.string(), name});
        EXPECT_EQ(run.code, 0) << run.err;
        return run.out.substr(0, run.out.find_last_not_of('\n') + 1);
    }

    TempDir out_;
    std::vector<fs::path> debs_;
    fs::path deb_;
};

// The packages that hold the shared libraries `program` links itself.
std::set<std::string> LinkedLibraryPackages(const fs::path& program) {
    std::set<std::string> packages;
    const Outcome elf = RunCommand("readelf", {"-d", program.string()});
    EXPECT_EQ(elf.code, 0) << elf.err;
    // Where each library is found, to tell the program's architecture's copy
    // from another one (libc6-i386 has a libc.so.6 too).
    const Outcome ldd = RunCommand("ldd", {program.string()});
    EXPECT_EQ(ldd.code, 0) << ldd.err;
    std::vector<std::string> patterns{"-S"};
    const std::regex needed(R"(\(NEEDED\)\s+Shared library: \[([^\]]+)\])");
    for (std::sregex_iterator it(elf.out.begin(), elf.out.end(), needed), end; it != end; ++it) {
        const std::string soname = (*it)[1].str();
        std::smatch found;
        const std::regex resolved(
            "\\s" + std::regex_replace(soname, std::regex(R"([.+])"), R"(\$&)") + R"( => (\S+))");
        if (!std::regex_search(ldd.out, found, resolved)) {
            ADD_FAILURE() << soname << " not resolved: " << ldd.out;
            continue;
        }
        const std::string dir = fs::path(found[1].str()).parent_path().filename().string();
        patterns.push_back("*/" + dir + "/" + soname);
    }
    EXPECT_GT(patterns.size(), 1u);
    const Outcome owners = RunCommand("dpkg-query", patterns);
    EXPECT_EQ(owners.code, 0) << owners.err;
    // "libgnutls30:amd64: /usr/lib/x86_64-linux-gnu/libgnutls.so.30"
    std::istringstream lines(owners.out);
    std::string line;
    while (std::getline(lines, line))
        packages.insert(line.substr(0, line.find_first_of(":,")));
    EXPECT_FALSE(packages.empty()) << owners.out;
    return packages;
}

// "libc6 (>= 2.35), libgnutls30 (>= 3.7.5) | x" -> every package named.
std::set<std::string> DependsNames(const std::string& depends) {
    std::set<std::string> names;
    const std::regex name(R"((?:^|[,|])\s*([a-z0-9][a-z0-9+.-]*))");
    for (std::sregex_iterator it(depends.begin(), depends.end(), name), end; it != end; ++it)
        names.insert((*it)[1].str());
    return names;
}

// The packages "apt-get install <deb>" would install (a simulation: the
// machine is left as it is).
std::set<std::string> AptWouldInstall(const fs::path& deb) {
    const Outcome simulate = RunCommand("apt-get", {"-s", "install", deb.string()});
    EXPECT_EQ(simulate.code, 0) << simulate.out << simulate.err;
    std::set<std::string> installed;
    const std::regex inst(R"(^Inst (\S+))", std::regex::multiline);
    for (std::sregex_iterator it(simulate.out.begin(), simulate.out.end(), inst), end; it != end;
         ++it)
        installed.insert((*it)[1].str());
    return installed;
}

TEST_F(Package, HoldsTheProgramDeclaresItsLibrariesAndKeepsItsUpdateOff) {
    EXPECT_EQ(
        deb_.filename().string().rfind("vantora_" + std::string(VTR_PROJECT_VERSION) + "_", 0), 0u)
        << deb_;
    EXPECT_EQ(Field("Package"), "vantora");
    EXPECT_EQ(Field("Version"), VTR_PROJECT_VERSION);

    TempDir root;
    const Outcome unpack = RunCommand("dpkg-deb", {"-x", deb_.string(), root.Path().string()});
    ASSERT_EQ(unpack.code, 0) << unpack.err;
    auto expected = InstalledLayout("usr/");
    expected.insert("usr/lib/vantora/installed-by-package");
    EXPECT_EQ(Tree(root.Path()), expected);

    // Depends names the package of every library each program links, from
    // dpkg-shlibdeps, and nothing that is only needed to build.
    const std::set<std::string> depends = DependsNames(Field("Depends"));
    for (const char* program :
         {"usr/lib/vantora/vtr232", "usr/bin/vtr232-publish", "usr/bin/vtr232-update-server"}) {
        for (const auto& package : LinkedLibraryPackages(root.Path() / program))
            EXPECT_TRUE(depends.count(package)) << package << " missing for " << program;
    }
    for (const auto& package : depends)
        EXPECT_EQ(package.find("-dev"), std::string::npos) << package;
    // apt finds every one of them installed: nothing else would be fetched.
    if (!OnPath("apt-get").empty()) {
        EXPECT_EQ(AptWouldInstall(deb_), std::set<std::string>{"vantora"});
    }
    // The package's programs are stripped, the helpers (installed under a
    // new name) as well as the program.
    for (const auto& [built, packaged] : std::vector<std::pair<std::string, std::string>>{
             {VTR232_PATH, "usr/lib/vantora/vtr232"},
             {std::string(VTR_TOOLS_DIR) + "/publish", "usr/bin/vtr232-publish"},
             {std::string(VTR_TOOLS_DIR) + "/update_server", "usr/bin/vtr232-update-server"}}) {
        const Outcome symbols = RunCommand("readelf", {"-S", (root.Path() / packaged).string()});
        EXPECT_EQ(symbols.out.find(".symtab"), std::string::npos) << packaged;
        EXPECT_LT(fs::file_size(root.Path() / packaged), fs::file_size(built)) << packaged;
    }

    // The installed program answers as the built one does.
    const fs::path program = root.Path() / "usr/bin/vtr232";
    ExpectVersionLine(program);
    const Outcome help = RunCommand(program.string(), {"-h"});
    const Outcome builtHelp = RunCommand(VTR232_PATH, {"-h"});
    EXPECT_EQ(help.code, 0);
    const auto withoutUsage = [](std::string text) {
        return std::regex_replace(text, std::regex("Usage: \\S+"), "Usage: vtr232");
    };
    EXPECT_EQ(withoutUsage(help.out), withoutUsage(builtHelp.out));

    // The packaged program leaves its update to the package manager and says
    // so once; without the marker the same files update themselves.
    const std::string off = UpdateDebugOutput(program, kPackagedOff);
    EXPECT_NE(off.find(kPackagedOff), std::string::npos) << off;
    EXPECT_EQ(off.find(kPackagedOff), off.rfind(kPackagedOff)) << off;
    EXPECT_EQ(off.find(kRunResult), std::string::npos) << off;
    fs::remove(root.Path() / "usr/lib/vantora/installed-by-package");
    const std::string on = UpdateDebugOutput(program, kRunResult);
    EXPECT_NE(on.find(kRunResult), std::string::npos) << on;
}

// A real apt install and removal: it changes /usr for about fifteen seconds,
// so it runs only when asked for (VTR_TEST_APT_INSTALL=1, as root).
class PackageOnThisMachine : public Package {
  protected:
    void SetUp() override {
        const char* wanted = std::getenv("VTR_TEST_APT_INSTALL");
        if (wanted == nullptr || std::string(wanted) != "1" || ::geteuid() != 0)
            GTEST_SKIP() << "a real apt install runs with VTR_TEST_APT_INSTALL=1 as root";
        if (RunCommand("dpkg-query", {"-W", "vantora"}).code == 0)
            GTEST_SKIP() << "vantora is installed on this machine already; left alone";
        Package::SetUp();
    }
};

TEST_F(PackageOnThisMachine, AptInstallsAndRemovesItCleanly) {
    const std::map<std::string, std::string> env = {{"DEBIAN_FRONTEND", "noninteractive"}};
    // Only with every dependency present: nothing is fetched from the network.
    if (AptWouldInstall(deb_) != std::set<std::string>{"vantora"})
        GTEST_SKIP() << "apt would fetch more than the package";
    const Outcome install = RunCommand(
        "apt-get", {"install", "-y", "-o", "DPkg::Lock::Timeout=60", deb_.string()}, env);
    ASSERT_EQ(install.code, 0) << install.out << install.err;
    ExpectVersionLine("/usr/bin/vtr232");
    const std::string off = UpdateDebugOutput("/usr/bin/vtr232", kPackagedOff);
    EXPECT_NE(off.find(kPackagedOff), std::string::npos) << off;

    const Outcome remove =
        RunCommand("apt-get", {"purge", "-y", "-o", "DPkg::Lock::Timeout=60", "vantora"}, env);
    EXPECT_EQ(remove.code, 0) << remove.out << remove.err;
    EXPECT_NE(RunCommand("dpkg-query", {"-W", "vantora"}).code, 0);
    for (const char* path : {"/usr/bin/vtr232", "/usr/lib/vantora", "/usr/share/doc/vantora",
                             "/usr/share/man/man1/vtr232.1.gz"})
        EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << path;
}

}  // namespace
