// Events and semaphores: reset semantics and timed waits.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tools/jsevent.h"
#include "tools/jssemaphore.h"

using namespace ovxToolsLib;

// An auto-reset event set twice releases one wait; a manual-reset one stays
// signalled until reset; one not initially reset starts signalled.
TEST(Event, ResetKinds) {
    jsEvent autoReset(/*initiallyReset=*/true, /*manualReset=*/false);
    EXPECT_TRUE(autoReset.set());
    EXPECT_TRUE(autoReset.set());
    EXPECT_EQ(0u, autoReset.wait(0));
    EXPECT_EQ(1u, autoReset.wait(0));
    jsEvent manual(true, true);
    EXPECT_EQ(1u, manual.wait(0));
    manual.set();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(0u, manual.wait(0));
    manual.reset();
    EXPECT_EQ(1u, manual.wait(5));
    jsEvent signalled(false, false);
    EXPECT_EQ(0u, signalled.wait(0));
    EXPECT_EQ(1u, signalled.wait(0));
}

TEST(Event, TimedWaitLastsAboutTheTimeoutEvenAcrossASecondBoundary) {
    jsEvent event;
    // 990 ms makes the nanosecond field overflow for most start times.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(1u, event.wait(990));
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(985));
    EXPECT_LT(waited, std::chrono::seconds(5));
}

TEST(Event, SetFromAnotherThreadWakesAWaiter) {
    jsEvent event;
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        event.set();
    });
    EXPECT_EQ(0u, event.wait(10000));
    setter.join();
}

TEST(Event, ManualResetReleasesEveryWaiter) {
    jsEvent event(true, true);
    std::atomic<int> released{0};
    std::thread waiters[4];
    for (auto& waiter : waiters)
        waiter = std::thread([&] {
            if (event.wait(10000) == 0) ++released;
        });
    event.set();
    for (auto& waiter : waiters) waiter.join();
    EXPECT_EQ(4, released.load());
}

TEST(Semaphore, CountsPostsTimesOutAndIsSharedByName) {
    jsSemaphore semaphore(1);
    EXPECT_EQ(0u, semaphore.tryWait());
    EXPECT_EQ(1u, semaphore.tryWait());
    EXPECT_EQ(1u, semaphore.wait(20));
    EXPECT_EQ(0u, semaphore.post());
    EXPECT_EQ(0u, semaphore.post());
    EXPECT_EQ(0u, semaphore.wait(20));
    EXPECT_EQ(0u, semaphore.wait());
    EXPECT_EQ(1u, semaphore.tryWait());
    // A named one is shared by its name.
    std::string name = "/ovx-test-" + std::to_string(::getpid());
    {
        jsNamedSemaphore first(name.c_str(), 0);
        jsNamedSemaphore second(name.c_str(), 0);
        EXPECT_EQ(0u, first.post());
        EXPECT_EQ(0u, second.tryWait());
        EXPECT_EQ(1u, first.tryWait());
    }
    sem_unlink(name.c_str());
}
