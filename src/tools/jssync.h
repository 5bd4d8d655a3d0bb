// Mutual exclusion: fast (non-recursive), recursive and reader/writer syncs,
// and scoped guards that release a hold exactly once.
#ifndef OVX_TOOLS_JSSYNC_H
#define OVX_TOOLS_JSSYNC_H

#include <pthread.h>

#include <atomic>
#include <memory>

#include "jsbase.h"
#include "jsevent.h"

namespace ovxToolsLib {

// Validity flag and owner thread id (0 when not owned).
class jsSyncBase : public jsBase {
public:
    // 0 on success, else the system error (EBUSY from tryLockSync when held elsewhere).
    virtual int lockSync() = 0;
    virtual int unlockSync() = 0;
    virtual int tryLockSync() = 0;
    unsigned long owner() const { return m_owner.load(std::memory_order_relaxed); }

protected:
    std::atomic<unsigned long> m_owner{0};
};

class jsFastSyncImpl : public jsBase {
public:
    jsFastSyncImpl();
    ~jsFastSyncImpl() override;
    int lock();
    int unlock();
    int tryLock();

private:
    pthread_mutex_t m_mutex;
};

// Non-recursive system mutex.
class jsFastSync : public jsSyncBase {
public:
    explicit jsFastSync(bool lockedByCreator = false);
    ~jsFastSync() override;
    int lock();
    int unlock();
    int tryLock();  // 0 taken, 1 busy
    bool probe();   // true when the lock could be taken (it is released at once)
    int lockSync() override { return lock(); }
    int unlockSync() override { return unlock(); }
    int tryLockSync() override;

private:
    std::unique_ptr<jsFastSyncImpl> m_impl;
};

class jsRecursiveSyncImpl : public jsBase {
public:
    jsRecursiveSyncImpl();
    ~jsRecursiveSyncImpl() override;
    int lock();
    int unlock();   // EINVAL when the caller is not the owner
    int tryLock();  // EBUSY when another thread owns it
    unsigned long owner();
    unsigned count();

private:
    template <class Take>
    int Acquire(Take take);

    // The owner's id and its depth are written only by the owning thread;
    // another thread reading the id sees someone else's or none, never its
    // own, so it takes the inner mutex. One mutex operation a lock.
    std::atomic<unsigned long> m_owner{0};
    std::atomic<uint16_t> m_count{0};
    pthread_mutex_t m_inner;
};

class jsSyncImpl : public jsRecursiveSyncImpl {};

// Recursive lock: the owner may take it again; it is free after as many
// unlocks as locks.
class jsRecursiveSync : public jsSyncBase {
public:
    explicit jsRecursiveSync(bool lockedByCreator = false);
    ~jsRecursiveSync() override;
    virtual int lock();
    virtual int unlock();
    virtual int tryLock();  // 0 taken, 1 busy
    bool probe();
    int lockSync() override { return lock(); }
    int unlockSync() override { return unlock(); }
    int tryLockSync() override;

private:
    std::unique_ptr<jsRecursiveSyncImpl> m_impl;
};

// The general lock: recursive.
class jsSync : public jsSyncBase {
public:
    explicit jsSync(bool lockedByCreator = false);
    ~jsSync() override;
    int lock();
    int unlock();
    int tryLock();  // 0 taken, 1 busy
    bool probe();
    int lockSync() override { return lock(); }
    int unlockSync() override { return unlock(); }
    int tryLockSync() override;

private:
    std::unique_ptr<jsSyncImpl> m_impl;
};

enum jsRWMode : int { kJsRWNone = 0, kJsRWShared = 1, kJsRWExclusive = 2 };

// Reader/writer lock: any number of readers, or one writer.
class jsRWSync : public jsSyncBase {
public:
    jsRWSync();
    ~jsRWSync() override;
    bool isValid() const override;
    // 0 success, 1 busy (tryOnly), 2 failure.
    uint32_t lock(int mode, bool tryOnly = false);
    uint32_t unlock(int mode);
    int lockSync() override { return lock(kJsRWExclusive) == 0 ? 0 : 1; }
    int unlockSync() override { return unlock(kJsRWExclusive) == 0 ? 0 : 1; }
    int tryLockSync() override;

private:
    jsEvent m_noReaders;
    jsSync m_writer;
    jsSync m_readerCountSync;
    long m_readerCount = 0;
};

// Scoped guard over any sync: takes it in the constructor; the destructor (or
// release()) reads and clears the held flag under the tools library's global
// lock, so a hold is never released twice.
class jsLock : public jsBase {
public:
    explicit jsLock(jsSyncBase& sync);
    ~jsLock() override;
    void release();
    bool held() const { return m_held; }

private:
    jsSyncBase& m_sync;
    bool m_held = false;
};

// Holds a fast sync for a scope, releasing it only when it was taken. Unlike
// jsLock it keeps no flag under the global lock, so it can hold the global
// lock itself.
class jsFastHold {
public:
    explicit jsFastHold(jsFastSync& sync) : m_sync(sync), m_held(sync.lock() == 0) {}
    ~jsFastHold() {
        if (m_held) m_sync.unlock();
    }
    jsFastHold(const jsFastHold&) = delete;
    jsFastHold& operator=(const jsFastHold&) = delete;
    bool held() const { return m_held; }

private:
    jsFastSync& m_sync;
    bool m_held;
};

class jsFastLock : public jsLock {
public:
    explicit jsFastLock(jsFastSync& sync) : jsLock(sync) {}
};

class jsRecursiveLock : public jsLock {
public:
    explicit jsRecursiveLock(jsRecursiveSync& sync) : jsLock(sync) {}
};

class jsRWLock : public jsBase {
public:
    jsRWLock(jsRWSync& sync, int mode);
    ~jsRWLock() override;
    void release();

private:
    jsRWSync& m_sync;
    int m_mode;
    bool m_held = false;
};

// Compatibility names.
using ovxFastSynch = jsFastSync;
using ovxRecursiveSynch = jsRecursiveSync;
using ovxRWSync = jsRWSync;
using ovxFastLock = jsFastLock;
using ovxRecursiveLock = jsRecursiveLock;
using ovxRWLock = jsRWLock;

// The tools library's one global lock (guard destructors, thread-local slots).
jsFastSync& jsGlobalLock();

}  // namespace ovxToolsLib

#endif  // OVX_TOOLS_JSSYNC_H
