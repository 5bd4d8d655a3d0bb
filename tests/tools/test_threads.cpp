// The thread front (start, stop requests, kills, exit codes, slots) and the
// threading function table over the process-wide threading service.

#include <atomic>

#include "ovxStatus.h"
#include "support/Checks.h"
#include "support/TestFiles.h"
#include "tools/asThreadingDefault.h"
#include "tools/jsthread.h"

using namespace ovxToolsLib;
using ovxTest::Joined;

namespace {

class LambdaThread : public jsThread {
public:
    explicit LambdaThread(std::function<uint32_t(LambdaThread&)> body) : jsThread("test"), m_body(std::move(body)) {}
    ~LambdaThread() override { stop(2000, true); }
    uint32_t run() override { return m_body(*this); }

private:
    std::function<uint32_t(LambdaThread&)> m_body;
};

std::atomic<int> g_calls{0};
uint32_t CountCall(void* argument) {
    ++g_calls;
    static_cast<std::atomic<bool>*>(argument)->store(true);
    return 3;
}
std::atomic<int> g_unlocks{0};
uint32_t AcceptLock(ovxSyncHandle) { return 0; }
uint32_t RefuseLock(ovxSyncHandle) { return OVX_E_UNEXPECTED; }
uint32_t CountUnlock(ovxSyncHandle) {
    ++g_unlocks;
    return 0;
}
}  // namespace

TEST(Thread, RunsReportsItsExitCodeAndCanBeStartedAgain) {
    std::atomic<int> runs{0};
    LambdaThread thread([&](LambdaThread&) { return static_cast<uint32_t>(++runs); });
    EXPECT_FALSE(thread.isRunning() && thread.getThreadId() != 0);
    for (uint32_t run = 1; run <= 2; ++run) {
        ASSERT_TRUE(thread.start());
        ASSERT_TRUE(thread.waitForExit(10000));
        EXPECT_EQ(Joined({run, 0, 0}), Joined({thread.getExitCode(), thread.isRunning(), thread.getThreadId()}));
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
    EXPECT_EQ("0 1", Joined({deaf.stop(30, false), deaf.isRunning()}));
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
    EXPECT_EQ("63 63 1 4", Joined({jsThread::mapPriority(9), jsThread::mapPriority(-1), jsThread::priorityLevel(40),
                                   jsThread::priorityLevel(80)}));
}

TEST(Thread, SeventeenthSlotIsRefused) {
    std::vector<int> slots;
    for (int slot; slots.size() <= 16 && (slot = jsThread::allocSlot()) >= 0;) slots.push_back(slot);
    ASSERT_EQ(16u, slots.size());  // no other test holds a slot
    EXPECT_EQ("-1 1", Joined({jsThread::allocSlot(), jsThread::setSlot(slots[0], &slots)}));
    EXPECT_EQ(&slots, jsThread::getSlot(slots[0]));
    EXPECT_EQ(nullptr, ovxTest::OnAnotherThread([&] { return jsThread::getSlot(slots[0]); }));  // slots are per thread
    for (int slot : slots) EXPECT_TRUE(jsThread::freeSlot(slot));
    EXPECT_EQ("0 0", Joined({jsThread::freeSlot(slots[0]), jsThread::setSlot(16, nullptr)}));
}

// ---- The threading function table over the process-wide threading service.

// A guard releases only a hold it took: releasing after a refused lock would
// give up an outer scope's hold of a recursive sync, or another thread's.
TEST(ThreadingTable, AGuardReleasesOnlyWhatItTook) {
    ovxThreadingFunctions table = *ovxGetThreadingFunctions();
    table.Unlock = CountUnlock;
    for (const auto& [lock, status] :
         {std::make_pair(&AcceptLock, 0u), std::make_pair(&RefuseLock, OVX_E_UNEXPECTED)}) {
        table.Lock = lock;
        EXPECT_EQ(status, ovxSyncGuard(&table, 7).Status());  // the guard ends with the statement
        EXPECT_EQ(1, g_unlocks.load());
    }
}

TEST(ThreadingTable, EventsAndSyncsByHandleAndTheProcessWideLock) {
    const ovxThreadingFunctions* table = ovxGetThreadingFunctions();
    ovxEventHandle event = 0;
    ASSERT_EQ(0u, table->CreateEvent(0, 1, &event));
    EXPECT_NE(0u, event);
    // A time-out also counts as success; a closed event is no event.
    EXPECT_EQ("0 0 0 0 0", Joined({table->WaitEvent(event, 0), table->SetEvent(event), table->WaitEvent(event, 0),
                                   table->ResetEvent(event), table->CloseEvent(event)}));
    EXPECT_EQ(Joined({OVX_E_INVALID_ARGUMENT, OVX_E_INVALID_ARGUMENT, OVX_E_INVALID_ARGUMENT}),
              Joined({table->SetEvent(event), table->CreateEvent(2, 0, &event), table->CreateEvent(0, 0, nullptr)}));
    for (uint32_t kind : {kOvxSyncGeneral, kOvxSyncRecursive, kOvxSyncFast}) {
        ovxSyncHandle sync = 0;
        ASSERT_EQ(0u, table->CreateSync(kind, &sync));
        EXPECT_EQ(Joined({0, OVX_E_BUSY, 0, 0, OVX_E_INVALID_ARGUMENT}),
                  Joined({table->Lock(sync), ovxTest::OnAnotherThread([&] { return table->TryLock(sync); }),
                          table->Unlock(sync), table->CloseSync(sync), table->Lock(sync)}));
    }
    ovxSyncHandle sync = 0;
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, table->CreateSync(3, &sync));
    // The process-wide lock is recursive.
    for (auto call : {table->Lock, table->Lock, table->Unlock, table->Unlock})
        EXPECT_EQ(0u, call(kOvxGlobalSyncHandle));
}

TEST(ThreadingTable, CreatesAndStopsThreadsAndRefusesUnsupportedEntries) {
    const ovxThreadingFunctions* table = ovxGetThreadingFunctions();
    std::atomic<bool> ran{false};
    ovxThreadHandle handle = 0;
    int before = g_calls.load();
    ASSERT_EQ(0u, table->CreateThread(&CountCall, &ran, &handle));
    EXPECT_NE(0u, handle);
    EXPECT_EQ(Joined({0, 1, before + 1}),
              Joined({ovxThreadingDefaultImpl::instance().waitThread(handle, 10000), ran.load(), g_calls.load()}));
    ovxThreadHandle self = 0;
    EXPECT_EQ(0u, table->GetCurrentThreadId(&self));
    EXPECT_NE(0u, self);
    EXPECT_EQ(Joined({0, 0xC721003Cu, 0xC721003Cu}),
              Joined({table->Sleep(1), table->Unsupported7(), table->Unsupported19()}));
    // A service of its own stops all its threads.
    ovxThreadingDefaultImpl service;
    ASSERT_EQ(0u, service.createThread(&CountCall, &ran, &handle));
    EXPECT_EQ(Joined({0, OVX_E_INVALID_ARGUMENT, 1, 0}),
              Joined({service.waitThread(handle, 10000), service.waitThread(12345, 0),
                      service.stopAllThreads(500, true), service.threadCount()}));
}
