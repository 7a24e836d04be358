#include "platform/Process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
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

namespace {

// A child started with endWithParent by another process, or by a thread of
// ours that ends before it: it must die with that process and only then.
class EndWithParent : public testing::Test {
  protected:
    // Orphans of our helpers become our children, so they can be reaped.
    void SetUp() override { ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0); }
    void TearDown() override { ::prctl(PR_SET_CHILD_SUBREAPER, 0); }

    // Forks a helper that starts `sleep 30` and waits to be killed. Returns the
    // helper's pid and, in `sleeper`, the pid of what it started.
    static pid_t StartHelper(bool endWithParent, pid_t& sleeper) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            return -1;
        const pid_t helper = ::fork();
        if (helper == 0) {
            platform::ChildOptions options;
            options.endWithParent = endWithParent;
            ChildProcess child;
            const pid_t pid = child.Start(Args{"sleep", "30"}, options) ? child.Id() : -1;
            (void)!::write(ends[1], &pid, sizeof pid);
            while (true)
                ::pause();
        }
        ::close(ends[1]);
        sleeper = -1;
        if (::read(ends[0], &sleeper, sizeof sleeper) != sizeof sleeper)
            sleeper = -1;
        ::close(ends[0]);
        return helper;
    }

    static void KillAndReap(pid_t pid) {
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }

    // Reaps `pid` (once it is our child) within the deadline; its status or -1.
    static int ReapWithin(pid_t pid, std::chrono::seconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid)
                return status;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }
};

TEST_F(EndWithParent, ChildDiesWhenItsStarterIsKilledAndOnlyWithTheFlag) {
    for (const bool flag : {true, false}) {
        SCOPED_TRACE(flag ? "endWithParent" : "default");
        pid_t sleeper = -1;
        const pid_t helper = StartHelper(flag, sleeper);
        ASSERT_GT(helper, 0);
        ASSERT_GT(sleeper, 0);
        KillAndReap(helper);
        if (flag) {
            const int status = ReapWithin(sleeper, std::chrono::seconds(10));
            ASSERT_NE(status, -1) << "the child outlived the process that started it";
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
        } else {
            EXPECT_EQ(ReapWithin(sleeper, std::chrono::seconds(1)), -1)
                << "a child without the flag must not be killed";
            KillAndReap(sleeper);
        }
    }
}

TEST_F(EndWithParent, ChildOutlivesTheThreadThatStartedIt) {
    ChildProcess child;
    platform::ChildOptions options;
    options.endWithParent = true;
    bool started = false;
    std::thread starter([&] { started = child.Start(Args{"sleep", "30"}, options); });
    starter.join();
    ASSERT_TRUE(started);
    // The kernel's signal for an ended starting thread comes at once; give it
    // ample time to show.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(child.Exited()) << "the child died with the thread that started it";
    // A second start from another short-lived thread works as well.
    ChildProcess second;
    std::thread([&] { started = second.Start(Args{"sleep", "30"}, options); }).join();
    ASSERT_TRUE(started);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(second.Exited());
}

// The fork path gives the child what the spawn path does.
TEST_F(EndWithParent, KeepsTheOtherOptions) {
    platform::ChildOptions options;
    options.endWithParent = true;
    ChildProcess missing;
    EXPECT_FALSE(missing.Start(Args{"/nonexistent/dir/program.exe"}, options));
    EXPECT_FALSE(missing.Start(Args{"no-such-program-in-path-xyz"}, options));

    const int leaked = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 3);
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    options.stdOut = out[1];
    options.environment = {"VTR_TEST_ADDED=x"};
    options.ownGroup = true;
    ChildProcess child;
    ASSERT_TRUE(child.Start(Args{"sh", "-c",
                                 "test -e /proc/self/fd/" + std::to_string(leaked) +
                                     " && echo leaked; echo \"$VTR_TEST_ADDED\"; "
                                     "grep -E '^(SigBlk|SigIgn)' /proc/self/status"},
                            options));
    ::close(leaked);
    ::close(out[1]);
    EXPECT_EQ(getpgid(child.Id()), child.Id());
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    ::close(out[0]);
    ASSERT_TRUE(WaitExited(child));
    EXPECT_EQ(text, "x\nSigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
}

}  // namespace
