// Fast, recursive and reader/writer locks and their guards; events and
// semaphores: reset semantics and timed waits.

#include <atomic>

#include "support/Checks.h"
#include "support/TestFiles.h"
#include "tools/jsevent.h"
#include "tools/jssemaphore.h"
#include "tools/jssync.h"

using namespace ovxToolsLib;
using ovxTest::Joined;
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
    EXPECT_EQ("22 0 22 0", Joined({recursive.unlock(), recursive.lock(),
                                   OnAnotherThread([&] { return recursive.unlock(); }), recursive.unlock()}));
    jsSync sync(/*lockedByCreator=*/true);
    EXPECT_EQ(1, OnAnotherThread([&] { return sync.tryLock(); }));
    EXPECT_EQ(0, sync.tryLock());  // the owner may take it again
    sync.unlock();
    sync.unlock();
    EXPECT_TRUE(sync.probe());
    jsFastSync fast;
    EXPECT_EQ("1 0 1 0 0", Joined({fast.probe(), fast.lock(), OnAnotherThread([&] { return fast.tryLock(); }),
                                   OnAnotherThread([&] { return fast.probe(); }), fast.unlock()}));
}

TEST(Guards, ReleaseExactlyOnce) {
    jsRecursiveSync sync;
    {
        jsRecursiveLock guard(sync);
        EXPECT_EQ("1 0", Joined({guard.held(), (guard.release(), guard.held())}));
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

// ---- Events and semaphores: reset semantics and timed waits.

// An auto-reset event set twice releases one wait; a manual-reset one stays
// signalled until reset; one not initially reset starts signalled.
TEST(Event, ResetKinds) {
    jsEvent autoReset(/*initiallyReset=*/true, /*manualReset=*/false);
    EXPECT_EQ("1 1 0 1", Joined({autoReset.set(), autoReset.set(), autoReset.wait(0), autoReset.wait(0)}));
    jsEvent manual(true, true);
    EXPECT_EQ(1u, manual.wait(0));
    manual.set();
    EXPECT_EQ("0 0 0", Joined({manual.wait(0), manual.wait(0), manual.wait(0)}));
    manual.reset();
    EXPECT_EQ(1u, manual.wait(5));
    jsEvent signalled(false, false);
    EXPECT_EQ("0 1", Joined({signalled.wait(0), signalled.wait(0)}));
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
    EXPECT_EQ("0 1 1 0 0 0 0 1", Joined({semaphore.tryWait(), semaphore.tryWait(), semaphore.wait(20), semaphore.post(),
                                         semaphore.post(), semaphore.wait(20), semaphore.wait(), semaphore.tryWait()}));
    // A named one is shared by its name.
    std::string name = "/ovx-test-" + std::to_string(::getpid());
    {
        jsNamedSemaphore first(name.c_str(), 0);
        jsNamedSemaphore second(name.c_str(), 0);
        EXPECT_EQ("0 0 1", Joined({first.post(), second.tryWait(), first.tryWait()}));
    }
    sem_unlink(name.c_str());
}
