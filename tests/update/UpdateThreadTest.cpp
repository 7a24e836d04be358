// The update thread's entry: when it stays off the network.
#include <gtest/gtest.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "support/HttpTestServer.h"
#include "update/UpdateThread.h"

namespace {

using testing_support::HttpRequest;
using testing_support::HttpTestServer;

class UpdateThreadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // A service that answers every request with something that is no
        // hash list, so a run that does start ends at its first step.
        const std::string url =
            "http://127.0.0.1:" + std::to_string(server.port()) + "/zelt/zelt.php";
        setenv("VTR_UPDATE_URL", url.c_str(), 1);
        unsetenv("VTR_NO_UPDATE");
    }
    void TearDown() override {
        unsetenv("VTR_UPDATE_URL");
        unsetenv("VTR_NO_UPDATE");
    }
    HttpTestServer server{[](const HttpRequest&) { return HttpTestServer::Response(404, "no"); }};
};

TEST_F(UpdateThreadTest, EnvironmentChoosesTheServiceAndCanTurnTheThreadOff) {
    EXPECT_EQ(Zelt::ServiceUrl(),
              L"http://127.0.0.1:" + std::to_wstring(server.port()) + L"/zelt/zelt.php");
    setenv("VTR_NO_UPDATE", "1", 1);
    Zelt::UpdateThreadEntry();
    EXPECT_TRUE(server.Requests().empty());

    unsetenv("VTR_NO_UPDATE");
    Zelt::UpdateThreadEntry();
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target,
              "/zelt/zelt.php?k=VTR-5C83E1F0-2B7A-4D19-A6E4-0F9B3C72D851&f=hashes");

    unsetenv("VTR_UPDATE_URL");
    EXPECT_EQ(Zelt::ServiceUrl(), std::wstring(Zelt::kServiceUrl));
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
        EXPECT_TRUE(server.Requests().empty());
    }
    (void)!write(done[1], "x", 1);
    waitpid(tracer, nullptr, 0);
    for (const int fd : {ready[0], ready[1], done[0], done[1]})
        close(fd);
    if (attached != 1)
        GTEST_SKIP() << "this system does not allow attaching to the test process";
    EXPECT_FALSE(Zelt::DebuggerAttached());
}

}  // namespace
