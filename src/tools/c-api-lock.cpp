#include "ovxStatus.h"
#include "c-api-lock.h"

#include <cerrno>
#include <cstring>

#include "ovxError.h"

namespace {

uint32_t FromErrno(int error) { return ovxToolsLib::OVXError::MapOsError(static_cast<uint32_t>(error)); }
}  // namespace

extern "C" {

uint32_t cLockInit(cLockRecord* lock, uint32_t flags) {
    if (!lock) return OVX_E_INVALID_ARGUMENT;
    memset(lock, 0, sizeof *lock);
    int error = pthread_mutexattr_init(&lock->attributes);
    if (error) return FromErrno(error);
    lock->recursive = (flags & OVX_LOCK_RECURSIVE) ? 1 : 0;
    pthread_mutexattr_settype(&lock->attributes, lock->recursive ? PTHREAD_MUTEX_RECURSIVE : PTHREAD_MUTEX_ERRORCHECK);
    error = pthread_mutex_init(&lock->mutex, &lock->attributes);
    if (error) {
        pthread_mutexattr_destroy(&lock->attributes);
        return FromErrno(error);
    }
    lock->valid = 1;
    return 0;
}

uint32_t cLockTake(cLockRecord* lock) {
    if (!lock) return OVX_E_INVALID_ARGUMENT;
    if (!lock->valid) return OVX_E_LOCK_INVALID;
    int error = pthread_mutex_lock(&lock->mutex);
    if (error) return FromErrno(error);
    ++lock->holdCount;  // changed only while the mutex is held
    return 0;
}

uint32_t cLockRelease(cLockRecord* lock) {
    if (!lock) return OVX_E_INVALID_ARGUMENT;
    if (!lock->valid) return OVX_E_LOCK_INVALID;
    if (lock->holdCount < 1) return OVX_I_LOCK_NOT_HELD;
    int savedErrno = errno;
    --lock->holdCount;
    int error = pthread_mutex_unlock(&lock->mutex);
    errno = savedErrno;
    if (error) {
        ++lock->holdCount;
        return FromErrno(error);
    }
    return 0;
}

uint32_t cLockDestroy(cLockRecord* lock) {
    if (!lock) return OVX_E_INVALID_ARGUMENT;
    if (!lock->valid) return OVX_E_LOCK_INVALID;
    while (lock->holdCount > 0) {
        if (cLockRelease(lock) != 0) break;
    }
    lock->holdCount = 0;
    lock->valid = 0;
    pthread_mutex_destroy(&lock->mutex);
    pthread_mutexattr_destroy(&lock->attributes);
    return 0;
}

}  // extern "C"
