#include "jsevent.h"

#include <cerrno>
#include <ctime>

namespace ovxToolsLib {

uint32_t jsMapWaitResult(int systemResult) {
    if (systemResult == 0) return kJsWaitSuccess;
    if (systemResult == EBUSY || systemResult == ETIME || systemResult == ETIMEDOUT) return kJsWaitTimeout;
    return kJsWaitFailed;
}

struct timespec jsDeadlineAfter(uint32_t timeoutMs) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    now.tv_sec += static_cast<time_t>(timeoutMs / 1000);
    now.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (now.tv_nsec > 999999999L) {
        now.tv_sec += 1;
        now.tv_nsec -= 1000000000L;
    }
    return now;
}

namespace {
// Unlocks on scope exit, including the forced unwinding of a cancelled thread.
struct MutexHold {
    explicit MutexHold(pthread_mutex_t* mutex) : m_mutex(mutex) {}
    ~MutexHold() { pthread_mutex_unlock(m_mutex); }
    pthread_mutex_t* m_mutex;
};
}  // namespace

jsEventImpl::jsEventImpl(bool initiallyReset, bool manualReset)
    : m_signalled(!initiallyReset), m_manualReset(manualReset) {
    if (pthread_mutex_init(&m_mutex, nullptr) != 0) return;  // "jsEventImpl::mutexInit failed"
    m_mutexReady = true;
    pthread_condattr_t attributes;
    if (pthread_condattr_init(&attributes) != 0) return;
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    m_conditionReady = pthread_cond_init(&m_condition, &attributes) == 0;
    pthread_condattr_destroy(&attributes);
    m_valid = m_conditionReady;
}

jsEventImpl::~jsEventImpl() {
    if (m_conditionReady) pthread_cond_destroy(&m_condition);
    if (m_mutexReady) pthread_mutex_destroy(&m_mutex);
}

bool jsEventImpl::set() {
    if (!m_valid) return false;
    if (pthread_mutex_lock(&m_mutex) != 0) return false;
    {
        MutexHold hold(&m_mutex);
        m_signalled = true;
    }
    // Woken after the mutex is free: woken while it is held, the waiter
    // would run only to sleep again on the mutex until this thread let go
    // of it, two more switches between threads for every event. A waiter
    // checks m_signalled under the mutex before it sleeps, so none misses
    // this wake-up; the event outlives every call that sets it.
    return (m_manualReset ? pthread_cond_broadcast(&m_condition) : pthread_cond_signal(&m_condition)) == 0;
}

bool jsEventImpl::reset() {
    if (!m_valid) return false;
    if (pthread_mutex_lock(&m_mutex) != 0) return false;
    MutexHold hold(&m_mutex);
    m_signalled = false;
    return true;
}

uint32_t jsEventImpl::wait(uint32_t timeoutMs) {
    if (!m_valid) return kJsWaitFailed;
    if (pthread_mutex_lock(&m_mutex) != 0) return kJsWaitFailed;
    MutexHold hold(&m_mutex);
    struct timespec deadline = jsDeadlineAfter(timeoutMs == kJsInfinite ? 0 : timeoutMs);
    int result = 0;
    for (;;) {
        if (m_signalled) {
            if (!m_manualReset) m_signalled = false;
            return kJsWaitSuccess;
        }
        if (result != 0) break;
        // A poll: the dispatch loop waits with no time at all whenever data
        // was queued while it was busy, and an expired deadline would still
        // cost a system call to learn what is already known.
        if (timeoutMs == 0) return kJsWaitTimeout;
        if (timeoutMs == kJsInfinite) {
            result = pthread_cond_wait(&m_condition, &m_mutex);
        } else {
            result = pthread_cond_timedwait(&m_condition, &m_mutex, &deadline);
        }
    }
    return jsMapWaitResult(result);
}

jsEvent::jsEvent(bool initiallyReset, bool manualReset) : m_impl(new jsEventImpl(initiallyReset, manualReset)) {
    m_valid = m_impl->isValid();
}

jsEvent::~jsEvent() = default;

bool jsEvent::isValid() const { return m_valid && m_impl->isValid(); }
bool jsEvent::set() { return m_valid && m_impl->set(); }
bool jsEvent::reset() { return m_valid && m_impl->reset(); }
uint32_t jsEvent::wait(uint32_t timeoutMs) { return m_valid ? m_impl->wait(timeoutMs) : kJsWaitFailed; }

}  // namespace ovxToolsLib
