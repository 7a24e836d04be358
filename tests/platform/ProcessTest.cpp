#include "platform/Process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

using platform::ChildProcess;
using Args = std::vector<std::string>;

namespace {

bool WaitExited(ChildProcess& child, int seconds = 5) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!child.Exited()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

TEST(ChildProcess, StartsWithArgumentsAndReportsExit) {
    ChildProcess child;
    EXPECT_FALSE(child.Running());
    ASSERT_TRUE(child.Start(L"/bin/sh -c \"test \\\"$0\\\" = 'a b' && exit 7\" \"a b\""));
    EXPECT_TRUE(child.Running());
    ASSERT_TRUE(WaitExited(child));
    EXPECT_TRUE(WIFEXITED(child.ExitStatus()));
    EXPECT_EQ(WEXITSTATUS(child.ExitStatus()), 7);
    EXPECT_FALSE(child.Running());
}

TEST(ChildProcess, MissingProgramFailsToStart) {
    ChildProcess child;
    EXPECT_FALSE(child.Start(L"/nonexistent/dir/program.exe /port 1"));
    EXPECT_FALSE(child.Start(L"no-such-program-in-path-xyz"));
    EXPECT_FALSE(child.Start(L""));
    EXPECT_FALSE(child.Running());
}

TEST(ChildProcess, TerminateKillsAndReaps) {
    ChildProcess child;
    ASSERT_TRUE(child.Start(Args{"sleep", "30"}));
    const pid_t pid = child.Id();
    const auto started = std::chrono::steady_clock::now();
    child.Terminate();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_FALSE(child.Running());
    // Reaped: the pid no longer names a child of ours.
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
    child.Terminate();  // nothing left to do
}

TEST(ChildProcess, DestructionKillsAndMoveKeepsOneOwner) {
    pid_t pid = -1;
    {
        ChildProcess first;
        ASSERT_TRUE(first.Start(Args{"sleep", "30"}));
        pid = first.Id();
        ChildProcess second = std::move(first);
        EXPECT_FALSE(first.Running());
        EXPECT_EQ(second.Id(), pid);
    }
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
}

TEST(ChildProcess, ChildGetsNoDescriptorsBeyondStandardStreams) {
    // A descriptor without close-on-exec must not leak into the child.
    const int fd = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 3);
    ChildProcess child;
    ASSERT_TRUE(child.Start(Args{"/bin/sh", "-c", "test -e /proc/self/fd/" + std::to_string(fd)}));
    ASSERT_TRUE(WaitExited(child));
    ::close(fd);
    EXPECT_NE(WEXITSTATUS(child.ExitStatus()), 0);
}

}  // namespace

namespace {

TEST(ChildProcess, OptionsRedirectStreamsChangeTheEnvironmentAndGiveAGroup) {
    int in[2], out[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    setenv("VTR_TEST_KEPT", "kept", 1);
    setenv("VTR_TEST_REPLACED", "old", 1);
    platform::ChildOptions options;
    options.stdIn = in[0];
    options.stdOut = out[1];
    options.stdErr = out[1];
    options.environment = {"VTR_TEST_REPLACED=new", "VTR_TEST_ADDED=a=b"};
    options.ownGroup = true;
    ChildProcess child;
    const Args argv{"/bin/sh", "-c",
                    "read line; echo \"$line $VTR_TEST_KEPT $VTR_TEST_REPLACED $VTR_TEST_ADDED\"; "
                    "echo err >&2"};
    ASSERT_TRUE(child.Start(argv, options));
    close(in[0]);
    close(out[1]);
    EXPECT_EQ(getpgid(child.Id()), child.Id());
    ASSERT_EQ(write(in[1], "hello\n", 6), 6);
    close(in[1]);
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    close(out[0]);
    ASSERT_TRUE(WaitExited(child));
    EXPECT_EQ(text, "hello kept new a=b\nerr\n");
    unsetenv("VTR_TEST_KEPT");
    unsetenv("VTR_TEST_REPLACED");
}

}  // namespace
