#include "jssemaphore.h"

#include <fcntl.h>

#include <cerrno>

#include "jsevent.h"
#include "jsexception.h"

namespace ovxToolsLib {

namespace {
uint32_t WaitOn(sem_t* semaphore) {
    int result;
    do {
        result = sem_wait(semaphore);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? kJsWaitSuccess : jsMapWaitResult(errno);
}

uint32_t TryWaitOn(sem_t* semaphore) {
    if (sem_trywait(semaphore) == 0) return kJsWaitSuccess;
    return errno == EAGAIN ? kJsWaitTimeout : jsMapWaitResult(errno);
}

uint32_t TimedWaitOn(sem_t* semaphore, uint32_t timeoutMs) {
    if (timeoutMs == kJsInfinite) return WaitOn(semaphore);
    struct timespec deadline = jsDeadlineAfter(timeoutMs);
    int result;
    do {
        result = sem_clockwait(semaphore, CLOCK_MONOTONIC, &deadline);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? kJsWaitSuccess : jsMapWaitResult(errno);
}

uint32_t PostOn(sem_t* semaphore) { return sem_post(semaphore) == 0 ? kJsWaitSuccess : kJsWaitFailed; }
}  // namespace

jsSemaphoreImpl::jsSemaphoreImpl(unsigned initialCount) {
    if (sem_init(&m_semaphore, 0, initialCount) != 0) {
        throw jsOsException("jsSemaphoreImpl::jsSemaphoreImpl::sem_init", errno);
    }
    m_valid = true;
}
jsSemaphoreImpl::~jsSemaphoreImpl() {
    if (m_valid) sem_destroy(&m_semaphore);
}

jsNamedSemaphoreImpl::jsNamedSemaphoreImpl(const char* name, unsigned initialCount) {
    m_semaphore = sem_open(name ? name : "", O_CREAT, 0600, initialCount);
    if (m_semaphore == SEM_FAILED) {
        m_semaphore = nullptr;
        throw jsOsException("jsNamedSemaphoreImpl::jsNamedSemaphoreImpl::sem_open", errno);
    }
    m_valid = true;
}
jsNamedSemaphoreImpl::~jsNamedSemaphoreImpl() {
    if (m_semaphore) sem_close(m_semaphore);
}

jsSemaphore::jsSemaphore(unsigned initialCount) : m_impl(new jsSemaphoreImpl(initialCount)) { m_valid = true; }
jsSemaphore::~jsSemaphore() = default;
uint32_t jsSemaphore::wait() { return WaitOn(m_impl->get()); }
uint32_t jsSemaphore::tryWait() { return TryWaitOn(m_impl->get()); }
uint32_t jsSemaphore::wait(uint32_t timeoutMs) { return TimedWaitOn(m_impl->get(), timeoutMs); }
uint32_t jsSemaphore::post() { return PostOn(m_impl->get()); }

jsNamedSemaphore::jsNamedSemaphore(const char* name, unsigned initialCount)
    : m_impl(new jsNamedSemaphoreImpl(name, initialCount)) {
    m_valid = true;
}
jsNamedSemaphore::~jsNamedSemaphore() = default;
uint32_t jsNamedSemaphore::wait() { return WaitOn(m_impl->get()); }
uint32_t jsNamedSemaphore::tryWait() { return TryWaitOn(m_impl->get()); }
uint32_t jsNamedSemaphore::wait(uint32_t timeoutMs) { return TimedWaitOn(m_impl->get(), timeoutMs); }
uint32_t jsNamedSemaphore::post() { return PostOn(m_impl->get()); }

}  // namespace ovxToolsLib
