// The interruptible console reader over a real pipe, and the termination
// signal watcher with a real signal sent to this process (on Linux; on Windows
// the console control events cannot be raised without a console).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <pthread.h>
#endif

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/Platform.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {

struct Pipe {
    UniqueFd read, write;
    Pipe() {
        int fds[2];
#ifdef _WIN32
        if (::_pipe(fds, 4096, _O_BINARY) == 0) {
#else
        if (::pipe(fds) == 0) {
#endif
            read = UniqueFd(fds[0]);
            write = UniqueFd(fds[1]);
        }
    }
    void Send(std::string_view text) {
        ASSERT_EQ(::write(write.get(), text.data(), text.size()),
                  static_cast<ssize_t>(text.size()));
    }
};

TEST(InputReader, LinesAndBytesShareOneBufferAndTheEndStays) {
    Pipe pipe;
    InputReader reader(pipe.read.get());
    pipe.Send("first\r\nsecond\n\nxyz");
    EXPECT_EQ(reader.ReadLine(), "first");
    EXPECT_EQ(reader.ReadChar(), 's');
    EXPECT_EQ(reader.ReadLine(), "econd");
    EXPECT_EQ(reader.ReadLine(), "");
    // A line split over two writes is one line.
    pipe.Send("12\n");
    EXPECT_EQ(reader.ReadLine(), "xyz12");
    pipe.Send("last");
    pipe.write.reset();
    EXPECT_EQ(reader.ReadLine(), "last");  // no line end before the end
    EXPECT_EQ(reader.ReadLine(), std::nullopt);
    EXPECT_EQ(reader.ReadChar(), -1);
}

TEST(InputReader, EndWakesAWaitingReadAndEveryLaterOne) {
    Pipe pipe;
    InputReader reader(pipe.read.get());
    pipe.Send("half a comm");
    std::atomic<bool> returned{false};
    std::optional<std::string> line = "unset";
    std::thread reading([&] {
        line = reader.ReadLine();
        returned = true;
    });
    SleepMs(100);
    EXPECT_FALSE(returned.load());  // it waits for the line end
    const auto start = std::chrono::steady_clock::now();
    reader.End();
    reading.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(line, std::nullopt);  // the cut line is not handed out
    pipe.Send("and\nmore\n");
    EXPECT_EQ(reader.ReadLine(), std::nullopt);
    EXPECT_EQ(reader.ReadChar(), -1);
}

#ifndef _WIN32
TEST(TerminationSignals, EachSignalReachesTheHandlerOnTheWatcherAndTheWatcherIsJoined) {
    sigset_t before;
    pthread_sigmask(SIG_SETMASK, nullptr, &before);
    std::atomic<int> last{0};
    std::atomic<int> count{0};
    std::thread::id handlerThread;
    {
        TerminationSignals signals([&](int signal) {
            handlerThread = std::this_thread::get_id();
            last = signal;
            ++count;
        });
        ASSERT_TRUE(signals.Watching());
        ::kill(::getpid(), SIGHUP);
        for (int i = 0; i < 200 && count.load() < 1; ++i)
            SleepMs(10);
        EXPECT_EQ(last.load(), SIGHUP);
        ::kill(::getpid(), SIGTERM);
        for (int i = 0; i < 200 && count.load() < 2; ++i)
            SleepMs(10);
        EXPECT_EQ(last.load(), SIGTERM);
        EXPECT_EQ(count.load(), 2);
    }
    EXPECT_NE(handlerThread, std::this_thread::get_id());
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

#endif

}  // namespace
