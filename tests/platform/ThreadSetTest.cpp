#include "platform/Thread.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <atomic>
#include <condition_variable>
#include <mutex>

using platform::ThreadSet;

namespace {

TEST(ThreadSet, FinishedThreadsAreJoinedAtTheNextStartAndTheRestAtTheEnd) {
    std::atomic<int> ran{0};
    std::mutex lock;
    std::condition_variable changed;
    bool release = false;
    {
        ThreadSet threads;
        for (int i = 0; i < 20; ++i)
            ASSERT_TRUE(threads.Start([&] { ran.fetch_add(1); }));
        // Wait until all twenty have run, then one more start reaps them.
        while (ran.load() < 20)
            platform::SleepMs(1);
        platform::SleepMs(20);
        ASSERT_TRUE(threads.Start([&] {
            std::unique_lock guard(lock);
            changed.wait(guard, [&] { return release; });
            ran.fetch_add(1);
        }));
        EXPECT_EQ(threads.Size(), 1u);
        {
            std::lock_guard guard(lock);
            release = true;
        }
        changed.notify_all();
    }  // the destructor joins the waiting thread
    EXPECT_EQ(ran.load(), 21);
}

TEST(ThreadSet, JoinAllWaitsForEveryThreadAndTheSetCanBeUsedAgain) {
    ThreadSet threads;
    std::atomic<int> ran{0};
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(threads.Start([&] {
            platform::SleepMs(30);
            ran.fetch_add(1);
        }));
    threads.JoinAll();
    EXPECT_EQ(ran.load(), 4);
    EXPECT_EQ(threads.Size(), 0u);
    ASSERT_TRUE(threads.Start([&] { ran.fetch_add(1); }));
    threads.JoinAll();
    EXPECT_EQ(ran.load(), 5);
}

// The calling thread's priority, larger for more urgent.
int ThisThreadsPriority() {
#ifdef _WIN32
    return GetThreadPriority(GetCurrentThread());
#else
    return -getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
#endif
}

TEST(ThreadPriority, OnlyTheLoweredThreadRunsBelowTheOthers) {
    const int before = ThisThreadsPriority();
    int lowered = before;
    int sibling = before;
    bool done = false;
    std::thread low;
    ASSERT_TRUE(platform::StartThread(low, [&] {
        done = platform::LowerThisThreadsPriority();
        lowered = ThisThreadsPriority();
    }));
    low.join();
    // A sibling started afterwards keeps the process's priority.
    std::thread other;
    ASSERT_TRUE(platform::StartThread(other, [&] { sibling = ThisThreadsPriority(); }));
    other.join();
    ASSERT_TRUE(done);
    EXPECT_LT(lowered, before);
    EXPECT_EQ(sibling, before);
    EXPECT_EQ(ThisThreadsPriority(), before);
}

}  // namespace
