// The threading function table over the process-wide threading service.
#include <gtest/gtest.h>

#include <atomic>

#include "ovxStatus.h"
#include "support/TestFiles.h"
#include "tools/asThreadingDefault.h"

using namespace ovxToolsLib;

namespace {
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
    EXPECT_EQ(0u, table->WaitEvent(event, 0));  // a time-out also counts as success
    EXPECT_EQ(0u, table->SetEvent(event));
    EXPECT_EQ(0u, table->WaitEvent(event, 0));
    EXPECT_EQ(0u, table->ResetEvent(event));
    EXPECT_EQ(0u, table->CloseEvent(event));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, table->SetEvent(event));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, table->CreateEvent(2, 0, &event));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, table->CreateEvent(0, 0, nullptr));
    for (uint32_t kind : {kOvxSyncGeneral, kOvxSyncRecursive, kOvxSyncFast}) {
        ovxSyncHandle sync = 0;
        ASSERT_EQ(0u, table->CreateSync(kind, &sync));
        EXPECT_EQ(0u, table->Lock(sync));
        EXPECT_EQ(OVX_E_BUSY, ovxTest::OnAnotherThread([&] { return table->TryLock(sync); }));
        EXPECT_EQ(0u, table->Unlock(sync));
        EXPECT_EQ(0u, table->CloseSync(sync));
        EXPECT_EQ(OVX_E_INVALID_ARGUMENT, table->Lock(sync));
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
    EXPECT_EQ(0u, ovxThreadingDefaultImpl::instance().waitThread(handle, 10000));
    EXPECT_TRUE(ran.load());
    EXPECT_EQ(before + 1, g_calls.load());
    ovxThreadHandle self = 0;
    EXPECT_EQ(0u, table->GetCurrentThreadId(&self));
    EXPECT_NE(0u, self);
    EXPECT_EQ(0u, table->Sleep(1));
    EXPECT_EQ(0xC721003Cu, table->Unsupported7());
    EXPECT_EQ(0xC721003Cu, table->Unsupported19());
    // A service of its own stops all its threads.
    ovxThreadingDefaultImpl service;
    ASSERT_EQ(0u, service.createThread(&CountCall, &ran, &handle));
    EXPECT_EQ(0u, service.waitThread(handle, 10000));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, service.waitThread(12345, 0));
    EXPECT_TRUE(service.stopAllThreads(500, true));
    EXPECT_EQ(0u, service.threadCount());
}
