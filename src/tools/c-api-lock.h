/* Lock record of the C-callable layer: a mutex with a hold count, used by the
 * service library loader. */
#ifndef OVX_TOOLS_C_API_LOCK_H
#define OVX_TOOLS_C_API_LOCK_H

#include <pthread.h>
#include <stdint.h>

#include "ovxStatus.h"

#ifdef __cplusplus
extern "C" {
#endif

#define OVX_LOCK_RECURSIVE 1u

typedef struct cLockRecord {
    int recursive;
    int valid;
    int32_t holdCount;
    pthread_mutexattr_t attributes;
    pthread_mutex_t mutex;
} cLockRecord;

uint32_t cLockInit(cLockRecord* lock, uint32_t flags);
uint32_t cLockTake(cLockRecord* lock);
/* OVX_I_LOCK_NOT_HELD when the lock is not held. */
uint32_t cLockRelease(cLockRecord* lock);
uint32_t cLockDestroy(cLockRecord* lock);

#ifdef __cplusplus
}
#endif

#endif /* OVX_TOOLS_C_API_LOCK_H */
