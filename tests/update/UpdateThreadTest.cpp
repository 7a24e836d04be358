// The update thread's entry: when it stays off the network, and which
// program directories it may change.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "TestSupport.h"
#include "platform/Text.h"
#include "update/ProgramDirectory.h"
#include "update/UpdateThread.h"

namespace {

class UpdateThreadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // A service with nothing published: its hash list is empty, so a run
        // that does start ends at its first step.
        service.Start();
        setenv("VTR_UPDATE_URL", platform::ToUtf8(service.Url()).c_str(), 1);
        setenv("VTR_UPDATE_CA_FILE", service.caFile().c_str(), 1);
        unsetenv("VTR_NO_UPDATE");
    }
    void TearDown() override {
        unsetenv("VTR_UPDATE_URL");
        unsetenv("VTR_UPDATE_CA_FILE");
        unsetenv("VTR_NO_UPDATE");
    }
    std::vector<std::string> Targets() const {
        std::vector<std::string> targets;
        for (const auto& line : service.LogLines())
            if (const auto at = line.find(" target "); line.rfind("method ", 0) == 0)
                targets.push_back(line.substr(at + 8));
        return targets;
    }
    updatetest::UpdateService service;
};

TEST_F(UpdateThreadTest, EnvironmentChoosesTheServiceAndCanTurnTheThreadOff) {
    EXPECT_EQ(Zelt::ServiceUrl(), service.Url());
    setenv("VTR_NO_UPDATE", "1", 1);
    Zelt::UpdateThreadEntry();
    EXPECT_EQ(service.Requests(), 0);

    unsetenv("VTR_NO_UPDATE");
    Zelt::UpdateThreadEntry();
    const auto targets = Targets();
    ASSERT_EQ(targets.size(), 1u);
    EXPECT_EQ(targets[0], "/zelt/zelt.php?k=VTR-5C83E1F0-2B7A-4D19-A6E4-0F9B3C72D851&f=hashes");

    unsetenv("VTR_UPDATE_URL");
    EXPECT_EQ(Zelt::ServiceUrl(), std::wstring(Zelt::kServiceUrl));
}

TEST_F(UpdateThreadTest, OnlyAnHttpsServiceIsEverContacted) {
    // A listener that counts connections, whatever they carry.
    updatetest::CountingListener listener;
    const std::string hostPort = listener.HostPort();
    auto connections = [&listener] { return listener.Accepted(); };
    for (const std::string scheme : {"http", "HTTP", "ftp", "file"}) {
        setenv("VTR_UPDATE_URL", (scheme + "://" + hostPort + "/zelt/zelt.php").c_str(), 1);
        Zelt::UpdateThreadEntry();
        EXPECT_EQ(connections(), 0) << scheme;
    }
    // The same listener behind https is dialled (the handshake fails at once:
    // the connection is closed as soon as it arrives).
    setenv("VTR_UPDATE_URL", ("https://" + hostPort + "/zelt/zelt.php").c_str(), 1);
    std::atomic<bool> done{false};
    std::thread run([&done] {
        Zelt::UpdateThreadEntry();
        done = true;
    });
    int dialled = 0;
    while (!done)
        dialled += connections();
    run.join();
    EXPECT_EQ(dialled + connections(), 1);
}

TEST_F(UpdateThreadTest, NoRequestWhileADebuggerIsAttached) {
    ASSERT_FALSE(Zelt::DebuggerAttached());
    int ready[2];
    int done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    const pid_t parent = getpid();
    const pid_t tracer = fork();
    ASSERT_GE(tracer, 0);
    if (tracer == 0) {
        // The child attaches as a debugger would, without stopping the parent.
        const char ok = ptrace(PTRACE_SEIZE, parent, nullptr, nullptr) == 0 ? 1 : 0;
        (void)!write(ready[1], &ok, 1);
        char wait;
        (void)!read(done[0], &wait, 1);
        _exit(0);  // detaches
    }
    char attached = 0;
    ASSERT_EQ(read(ready[0], &attached, 1), 1);
    if (attached == 1) {
        EXPECT_TRUE(Zelt::DebuggerAttached());
        Zelt::UpdateThreadEntry();
        EXPECT_EQ(service.Requests(), 0);
    }
    (void)!write(done[1], "x", 1);
    waitpid(tracer, nullptr, 0);
    for (const int fd : {ready[0], ready[1], done[0], done[1]})
        close(fd);
    if (attached != 1)
        GTEST_SKIP() << "this system does not allow attaching to the test process";
    EXPECT_FALSE(Zelt::DebuggerAttached());
}

// Whether `directory` counts as not writable for an unprivileged user; run in
// a child that gives up root first when the test runs as root.
Zelt::ProgramDirectory ClassifyAsNobody(const std::filesystem::path& directory) {
    if (::geteuid() != 0)
        return Zelt::ClassifyProgramDirectory(directory);
    const pid_t child = fork();
    if (child == 0) {
        const bool dropped = setgid(65534) == 0 && setuid(65534) == 0;
        _exit(dropped ? static_cast<int>(Zelt::ClassifyProgramDirectory(directory)) : 99);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 99);
    return static_cast<Zelt::ProgramDirectory>(WEXITSTATUS(status));
}

TEST(ProgramDirectory, OnlyAnUnmarkedWritableDirectoryIsTheProgramsOwn) {
    updatetest::TempDir dir;
    const auto path = dir.path();
    EXPECT_EQ(Zelt::ClassifyProgramDirectory(path), Zelt::ProgramDirectory::Own);
    EXPECT_TRUE(Zelt::UpdateOffReason(Zelt::ProgramDirectory::Own, path).empty());

    // The package's marker wins even where the user could write.
    updatetest::WriteBytes(path / Zelt::kPackageMarker, {});
    EXPECT_EQ(Zelt::ClassifyProgramDirectory(path), Zelt::ProgramDirectory::Packaged);
    const std::wstring packaged = Zelt::UpdateOffReason(Zelt::ProgramDirectory::Packaged, path);
    EXPECT_NE(packaged.find(L"installed by a package"), std::wstring::npos);
    EXPECT_NE(packaged.find(platform::FromUtf8(path.string())), std::wstring::npos);
    std::filesystem::remove(path / Zelt::kPackageMarker);

    // Read and search rights only, as /usr/bin has for a user: the file
    // inside may even be writable, but it cannot be renamed aside.
    updatetest::WriteBytes(path / "vtr232", {1});
    std::filesystem::permissions(path / "vtr232", std::filesystem::perms::all);
    std::filesystem::permissions(path, std::filesystem::perms(0555));
    EXPECT_EQ(ClassifyAsNobody(path), Zelt::ProgramDirectory::NotWritable);
    EXPECT_NE(
        Zelt::UpdateOffReason(Zelt::ProgramDirectory::NotWritable, path).find(L"not writable"),
        std::wstring::npos);
    std::filesystem::permissions(path, std::filesystem::perms(0755));
}

}  // namespace
