// The thread front: start, stop requests, kills, exit codes, slots.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <vector>

#include "support/TestFiles.h"
#include "tools/jsthread.h"

using namespace ovxToolsLib;

namespace {

class LambdaThread : public jsThread {
public:
    explicit LambdaThread(std::function<uint32_t(LambdaThread&)> body) : jsThread("test"), m_body(std::move(body)) {}
    ~LambdaThread() override { stop(2000, true); }
    uint32_t run() override { return m_body(*this); }

private:
    std::function<uint32_t(LambdaThread&)> m_body;
};

}  // namespace

TEST(Thread, RunsReportsItsExitCodeAndCanBeStartedAgain) {
    std::atomic<int> runs{0};
    LambdaThread thread([&](LambdaThread&) { return static_cast<uint32_t>(++runs); });
    EXPECT_FALSE(thread.isRunning() && thread.getThreadId() != 0);
    for (uint32_t run = 1; run <= 2; ++run) {
        ASSERT_TRUE(thread.start());
        ASSERT_TRUE(thread.waitForExit(10000));
        EXPECT_EQ(run, thread.getExitCode());
        EXPECT_FALSE(thread.isRunning());
        EXPECT_EQ(0u, thread.getThreadId());
    }
}

// A stop request ends a cooperative thread without a kill; without a kill
// an uncooperative one runs on; with a kill and no time it ends at once.
TEST(Thread, StopEndsACooperativeThreadAndKillsOnlyWhenAsked) {
    LambdaThread cooperative([](LambdaThread& self) {
        while (!self.waitForStop(5)) continue;
        return 7u;
    });
    ASSERT_TRUE(cooperative.start());
    jsThread::sleep(20);                          // stop() waits only for a thread that has begun
    EXPECT_FALSE(cooperative.stop(10000, true));  // ended in time: no kill
    EXPECT_EQ(7u, cooperative.getExitCode());

    std::atomic<bool> release{false};
    LambdaThread deaf([&](LambdaThread&) {
        while (!release.load()) jsThread::sleep(2);
        return 1u;
    });
    ASSERT_TRUE(deaf.start());
    jsThread::sleep(20);
    EXPECT_FALSE(deaf.stop(30, false));
    EXPECT_TRUE(deaf.isRunning());
    release = true;
    ASSERT_TRUE(deaf.waitForExit(10000));
    EXPECT_EQ(1u, deaf.getExitCode());

    LambdaThread stuck([](LambdaThread&) {
        for (;;) jsThread::sleep(5);  // ignores stop requests
        return 0u;
    });
    ASSERT_TRUE(stuck.start());
    jsThread::sleep(20);
    EXPECT_TRUE(stuck.stop(0, true));
    ASSERT_TRUE(stuck.waitForExit(10000));
    EXPECT_EQ(kJsThreadKilled, stuck.getExitCode());
}

// A thread that kills itself ends with 57005 at once; an exception in run()
// is contained and ends it with its own code.
TEST(Thread, ExitCodesOfAKillFromWithinAndOfAnException) {
    std::atomic<bool> after{false};
    LambdaThread killer([&](LambdaThread& self) {
        self.kill();
        after = true;  // never reached
        return 0u;
    });
    LambdaThread thrower([](LambdaThread&) -> uint32_t { throw 5; });
    for (auto [thread, code] : {std::make_pair(&killer, 57005u), std::make_pair(&thrower, 0xC7210005u)}) {
        ASSERT_TRUE(thread->start());
        ASSERT_TRUE(thread->waitForExit(10000));
        EXPECT_EQ(code, thread->getExitCode());
    }
    EXPECT_FALSE(after.load());
}

TEST(Thread, PriorityLevelsMapBothWays) {
    const int expected[] = {31, 47, 63, 79, 126};
    for (int level = 0; level < 5; ++level) {
        EXPECT_EQ(expected[level], jsThread::mapPriority(level));
        EXPECT_EQ(level, jsThread::priorityLevel(expected[level]));
    }
    EXPECT_EQ(63, jsThread::mapPriority(9));
    EXPECT_EQ(63, jsThread::mapPriority(-1));
    EXPECT_EQ(1, jsThread::priorityLevel(40));
    EXPECT_EQ(4, jsThread::priorityLevel(80));
}

TEST(Thread, SeventeenthSlotIsRefused) {
    std::vector<int> slots;
    for (int slot; slots.size() <= 16 && (slot = jsThread::allocSlot()) >= 0;) slots.push_back(slot);
    ASSERT_EQ(16u, slots.size());  // no other test holds a slot
    EXPECT_EQ(-1, jsThread::allocSlot());
    ASSERT_TRUE(jsThread::setSlot(slots[0], &slots));
    EXPECT_EQ(&slots, jsThread::getSlot(slots[0]));
    EXPECT_EQ(nullptr, ovxTest::OnAnotherThread([&] { return jsThread::getSlot(slots[0]); }));  // slots are per thread
    for (int slot : slots) EXPECT_TRUE(jsThread::freeSlot(slot));
    EXPECT_FALSE(jsThread::freeSlot(slots[0]));
    EXPECT_FALSE(jsThread::setSlot(16, nullptr));
}
