// Fast, recursive and reader/writer locks and their guards.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/TestFiles.h"
#include "tools/jssync.h"

using namespace ovxToolsLib;
using ovxTest::OnAnotherThread;

TEST(RecursiveSync, ThreeLocksNeedThreeUnlocksBeforeAnotherThreadGetsItAndNestedGuardsCount) {
    jsRecursiveSync sync;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(0, sync.lock());
    std::atomic<bool> acquired{false};
    std::thread other([&] {
        sync.lock();
        acquired = true;
        sync.unlock();
    });
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(0, sync.unlock());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_FALSE(acquired.load());
    }
    EXPECT_EQ(0, sync.unlock());
    other.join();
    EXPECT_TRUE(acquired.load());
    // Nested guards on many threads count exactly.
    long counter = 0;
    ovxTest::OnThreads(4, [&](int) {
        for (int i = 0; i < 2000; ++i) {
            jsRecursiveLock outer(sync);
            jsRecursiveLock inner(sync);
            ++counter;
        }
    });
    EXPECT_EQ(8000, counter);
    EXPECT_TRUE(ovxTest::WaitFor([&] { return sync.probe(); }));
}

// Only the owner unlocks; another thread's try is busy while it holds the
// lock, and its own try succeeds.
TEST(Syncs, OnlyTheOwnerUnlocksAndAnotherThreadsTryIsBusy) {
    jsRecursiveSync recursive;
    EXPECT_EQ(22, recursive.unlock());
    recursive.lock();
    EXPECT_EQ(22, OnAnotherThread([&] { return recursive.unlock(); }));
    EXPECT_EQ(0, recursive.unlock());
    jsSync sync(/*lockedByCreator=*/true);
    EXPECT_EQ(1, OnAnotherThread([&] { return sync.tryLock(); }));
    EXPECT_EQ(0, sync.tryLock());  // the owner may take it again
    sync.unlock();
    sync.unlock();
    EXPECT_TRUE(sync.probe());
    jsFastSync fast;
    EXPECT_TRUE(fast.probe());
    EXPECT_EQ(0, fast.lock());
    EXPECT_EQ(1, OnAnotherThread([&] { return fast.tryLock(); }));
    EXPECT_FALSE(OnAnotherThread([&] { return fast.probe(); }));
    EXPECT_EQ(0, fast.unlock());
}

TEST(Guards, ReleaseExactlyOnce) {
    jsRecursiveSync sync;
    {
        jsRecursiveLock guard(sync);
        EXPECT_TRUE(guard.held());
        guard.release();
        EXPECT_FALSE(guard.held());
    }  // the destructor must not unlock a second time
    EXPECT_TRUE(OnAnotherThread([&] { return sync.probe(); }));
    jsFastSync fast;
    { jsFastLock guard(fast); }
    EXPECT_TRUE(fast.probe());
    jsRWSync rw;
    { jsRWLock guard(rw, kJsRWExclusive); }
    { jsRWLock guard(rw, kJsRWShared); }
    EXPECT_EQ(0u, rw.lock(kJsRWExclusive, true));
    rw.unlock(kJsRWExclusive);
}

// A reader waits for the writer; readers share, and the writer waits for
// the last of them.
TEST(RWSync, AReaderWaitsForTheWriterAndTheWriterForTheLastReader) {
    jsRWSync sync;
    ASSERT_EQ(0u, sync.lock(kJsRWExclusive));
    std::atomic<bool> reading{false};
    std::thread reader([&] {
        sync.lock(kJsRWShared);
        reading = true;
        sync.unlock(kJsRWShared);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(reading.load());
    EXPECT_EQ(1u, OnAnotherThread([&] { return sync.lock(kJsRWShared, /*tryOnly=*/true); }));
    sync.unlock(kJsRWExclusive);
    reader.join();
    EXPECT_TRUE(reading.load());

    ASSERT_EQ(0u, sync.lock(kJsRWShared));
    ASSERT_EQ(0u, sync.lock(kJsRWShared));  // a second reader gets in at once
    std::atomic<bool> writing{false};
    std::thread writer([&] {
        sync.lock(kJsRWExclusive);
        writing = true;
        sync.unlock(kJsRWExclusive);
    });
    sync.unlock(kJsRWShared);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(writing.load());
    sync.unlock(kJsRWShared);
    writer.join();
    EXPECT_TRUE(writing.load());
    EXPECT_EQ(0u, sync.unlock(kJsRWNone));
}
