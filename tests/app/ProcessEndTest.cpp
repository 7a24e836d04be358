#include "app/ProcessEnd.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/Console.h"

using namespace app;
using namespace std::chrono_literals;

namespace {

TEST(ProcessEnd, FirstRequestWinsWakesTheWaiterAndEndsConsoleInput) {
    ProcessEnd end;
    EXPECT_FALSE(end.Requested());
    EXPECT_EQ(end.ExitCode(), 0);
    EXPECT_FALSE(end.WaitFor(20ms));

    const auto start = std::chrono::steady_clock::now();
    std::thread requester([&] {
        std::this_thread::sleep_for(50ms);
        end.Request(130);
    });
    EXPECT_TRUE(end.WaitFor(10s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    requester.join();

    end.Request(0);
    EXPECT_TRUE(end.Requested());
    EXPECT_EQ(end.ExitCode(), 130);
    // A read on the entry thread would give way now.
    EXPECT_EQ(platform::ConsoleReadChar(), -1);
    EXPECT_EQ(platform::ConsoleReadLine(), std::nullopt);
}

}  // namespace
