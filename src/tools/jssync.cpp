#include "jssync.h"

#include <cerrno>

#include "jsthread.h"

namespace ovxToolsLib {

namespace {
unsigned long Self() { return jsThread::currentThreadId(); }
}  // namespace

jsFastSync& jsGlobalLock() {
    // Never destroyed: guards may run during static destruction.
    static jsFastSync* lock = new jsFastSync();
    return *lock;
}

// ---- fast sync ----------------------------------------------------------------

jsFastSyncImpl::jsFastSyncImpl() { m_valid = pthread_mutex_init(&m_mutex, nullptr) == 0; }
jsFastSyncImpl::~jsFastSyncImpl() {
    if (m_valid) pthread_mutex_destroy(&m_mutex);
}
int jsFastSyncImpl::lock() { return m_valid ? pthread_mutex_lock(&m_mutex) : EINVAL; }
int jsFastSyncImpl::tryLock() { return m_valid ? pthread_mutex_trylock(&m_mutex) : EINVAL; }
int jsFastSyncImpl::unlock() {
    if (!m_valid) return EINVAL;
    int saved = errno;
    int result = pthread_mutex_unlock(&m_mutex);
    errno = saved;
    return result;
}

jsFastSync::jsFastSync(bool lockedByCreator) : m_impl(new jsFastSyncImpl()) {
    m_valid = m_impl->isValid();
    if (m_valid && lockedByCreator) lock();
}
jsFastSync::~jsFastSync() = default;

int jsFastSync::lock() {
    int result = m_impl->lock();
    if (result == 0) m_owner.store(Self(), std::memory_order_relaxed);
    return result;
}
int jsFastSync::unlock() {
    m_owner.store(0, std::memory_order_relaxed);
    return m_impl->unlock();
}
int jsFastSync::tryLockSync() {
    int result = m_impl->tryLock();
    if (result == 0) m_owner.store(Self(), std::memory_order_relaxed);
    return result;
}
int jsFastSync::tryLock() { return tryLockSync() == 0 ? 0 : 1; }
bool jsFastSync::probe() {
    if (m_impl->tryLock() != 0) return false;
    m_impl->unlock();
    return true;
}

// ---- recursive sync -------------------------------------------------------------
// The inner mutex is held for as long as some thread owns the lock, so a thread
// that finds the lock owned elsewhere simply blocks on it.

jsRecursiveSyncImpl::jsRecursiveSyncImpl() { m_valid = pthread_mutex_init(&m_inner, nullptr) == 0; }
jsRecursiveSyncImpl::~jsRecursiveSyncImpl() {
    if (m_valid) pthread_mutex_destroy(&m_inner);
}

// Takes the inner mutex with `take` unless this thread owns the lock already.
template <class Take>
int jsRecursiveSyncImpl::Acquire(Take take) {
    if (!m_valid) return EINVAL;
    const unsigned long self = Self();
    if (m_owner.load(std::memory_order_relaxed) == self) {
        const uint16_t count = m_count.load(std::memory_order_relaxed);
        if (count == UINT16_MAX) return EAGAIN;
        m_count.store(static_cast<uint16_t>(count + 1), std::memory_order_relaxed);
        return 0;
    }
    const int result = take(&m_inner);
    if (result != 0) return result;
    m_owner.store(self, std::memory_order_relaxed);
    m_count.store(1, std::memory_order_relaxed);
    return 0;
}

int jsRecursiveSyncImpl::lock() {
    return Acquire([](pthread_mutex_t* inner) { return pthread_mutex_lock(inner); });
}

int jsRecursiveSyncImpl::tryLock() {
    return Acquire([](pthread_mutex_t* inner) { return pthread_mutex_trylock(inner) == 0 ? 0 : EBUSY; });
}

int jsRecursiveSyncImpl::unlock() {
    if (!m_valid) return EINVAL;
    if (m_owner.load(std::memory_order_relaxed) != Self()) return EINVAL;
    const auto count = static_cast<uint16_t>(m_count.load(std::memory_order_relaxed) - 1);
    m_count.store(count, std::memory_order_relaxed);
    if (count == 0) {
        m_owner.store(0, std::memory_order_relaxed);
        const int saved = errno;
        pthread_mutex_unlock(&m_inner);
        errno = saved;
    }
    return 0;
}

unsigned long jsRecursiveSyncImpl::owner() { return m_owner.load(std::memory_order_relaxed); }

unsigned jsRecursiveSyncImpl::count() { return m_count.load(std::memory_order_relaxed); }

#define OVX_RECURSIVE_FRONT(Class, Impl)                                                      \
    Class::Class(bool lockedByCreator) : m_impl(new Impl()) {                                 \
        m_valid = m_impl->isValid();                                                          \
        if (m_valid && lockedByCreator) lock();                                               \
    }                                                                                         \
    Class::~Class() = default;                                                                \
    int Class::lock() {                                                                       \
        int result = m_impl->lock();                                                          \
        if (result == 0) m_owner.store(Self(), std::memory_order_relaxed);                    \
        return result;                                                                        \
    }                                                                                         \
    int Class::unlock() {                                                                     \
        int result = m_impl->unlock();                                                        \
        if (result == 0 && m_impl->owner() == 0) m_owner.store(0, std::memory_order_relaxed); \
        return result;                                                                        \
    }                                                                                         \
    int Class::tryLockSync() {                                                                \
        int result = m_impl->tryLock();                                                       \
        if (result == 0) m_owner.store(Self(), std::memory_order_relaxed);                    \
        return result;                                                                        \
    }                                                                                         \
    int Class::tryLock() { return tryLockSync() == 0 ? 0 : 1; }                               \
    bool Class::probe() {                                                                     \
        if (m_impl->tryLock() != 0) return false;                                             \
        m_impl->unlock();                                                                     \
        return true;                                                                          \
    }

OVX_RECURSIVE_FRONT(jsRecursiveSync, jsRecursiveSyncImpl)
OVX_RECURSIVE_FRONT(jsSync, jsSyncImpl)
#undef OVX_RECURSIVE_FRONT

// ---- reader/writer sync ---------------------------------------------------------
// A writer holds the writer sync for its whole hold and waits for the readers
// to drain; readers pass through the writer sync only to register themselves.

jsRWSync::jsRWSync() : m_noReaders(false, true) {
    m_valid = m_noReaders.isValid() && m_writer.isValid() && m_readerCountSync.isValid();
}
jsRWSync::~jsRWSync() = default;
bool jsRWSync::isValid() const { return m_valid; }

uint32_t jsRWSync::lock(int mode, bool tryOnly) {
    if (!m_valid) return kJsWaitFailed;
    if (mode == kJsRWShared) {
        if (tryOnly) {
            if (m_writer.tryLock() != 0) return kJsWaitTimeout;
            if (m_readerCountSync.tryLock() != 0) {
                m_writer.unlock();
                return kJsWaitTimeout;
            }
        } else {
            if (m_writer.lock() != 0) return kJsWaitFailed;
            if (m_readerCountSync.lock() != 0) {
                m_writer.unlock();
                return kJsWaitFailed;
            }
        }
        if (++m_readerCount == 1) m_noReaders.reset();
        m_readerCountSync.unlock();
        m_writer.unlock();
        return kJsWaitSuccess;
    }
    if (mode == kJsRWExclusive) {
        if (tryOnly) {
            if (m_writer.tryLock() != 0) return kJsWaitTimeout;
            if (m_noReaders.wait(0) != kJsWaitSuccess) {
                m_writer.unlock();
                return kJsWaitTimeout;
            }
            return kJsWaitSuccess;
        }
        if (m_writer.lock() != 0) return kJsWaitFailed;
        if (m_noReaders.wait(kJsInfinite) != kJsWaitSuccess) {
            m_writer.unlock();
            return kJsWaitFailed;
        }
        return kJsWaitSuccess;
    }
    return kJsWaitFailed;
}

uint32_t jsRWSync::unlock(int mode) {
    if (!m_valid) return kJsWaitFailed;
    if (mode == kJsRWShared) {
        if (m_readerCountSync.lock() != 0) return kJsWaitFailed;
        if (m_readerCount > 0 && --m_readerCount == 0) m_noReaders.set();
        m_readerCountSync.unlock();
        return kJsWaitSuccess;
    }
    if (mode == kJsRWExclusive) return m_writer.unlock() == 0 ? kJsWaitSuccess : kJsWaitFailed;
    return kJsWaitSuccess;  // mode 0 does nothing
}

int jsRWSync::tryLockSync() { return lock(kJsRWExclusive, true) == kJsWaitSuccess ? 0 : EBUSY; }

// ---- guards ----------------------------------------------------------------------

jsLock::jsLock(jsSyncBase& sync) : m_sync(sync) {
    m_held = sync.lockSync() == 0;
    m_valid = m_held;
}

void jsLock::release() {
    bool wasHeld;
    {
        jsFastHold global(jsGlobalLock());
        wasHeld = m_held;
        m_held = false;
    }
    if (wasHeld) m_sync.unlockSync();
}

jsLock::~jsLock() { release(); }

jsRWLock::jsRWLock(jsRWSync& sync, int mode) : m_sync(sync), m_mode(mode) {
    m_held = sync.lock(mode) == kJsWaitSuccess;
    m_valid = m_held;
}

void jsRWLock::release() {
    bool wasHeld;
    {
        jsFastHold global(jsGlobalLock());
        wasHeld = m_held;
        m_held = false;
    }
    if (wasHeld) m_sync.unlock(m_mode);
}

jsRWLock::~jsRWLock() { release(); }

}  // namespace ovxToolsLib
