// Finds, checks, opens and binds separately shipped service libraries.
// Plain functions over process-wide state, each serialised by a loader lock.
#ifndef OVX_TRANSPORT_MSLLOADER_H
#define OVX_TRANSPORT_MSLLOADER_H

#include <cstdint>
#include <mutex>
#include <string>

#include "ovxTraceSink.h"
#include "tools/c-api-lib.h"
#include "tools/c-api-lock.h"

namespace mslLoader {

// Directory the libraries are loaded from ("" = the dynamic loader's search).
// A non-empty directory gets a trailing "/".
void SetMSLLoaderLibPath(const char* path);
// Extension of the detached signature file; ".sig" until one is set.
void SetMSLLoaderExtSigFileExtension(const char* extension);
bool GetExternalFileSigExtSet();
std::string GetLibPath();
std::string GetSigFileExtension();  // the one in force, ".sig" by default

// The sink for the loader's trace lines; also opens the message catalog and
// hands the sink to the signature check.
void SetTraceSink(SS_TraceSink* sink);
void Trace(uint32_t level, const char* where, const char* format, ...) __attribute__((format(printf, 3, 4)));

uint32_t LoadServiceLibrary(const char* library, cLibHandle* handle);
uint32_t LookupSymbol(cLibHandle* handle, void** slot, const char* symbol);
uint32_t UnloadServiceLibrary(cLibHandle* handle);

// A loader lock that lives from its first take until mslLoaderCleanup(): it
// is made by the first take, destroyed by the cleanup once no thread holds
// it or waits for it (one that does keeps it for the next cleanup), and made
// again by the next take. Every loader lock registers itself so that the
// cleanup reaches them all. Failures are written at level 1 where given.
class LoaderLock {
public:
    struct Where {
        const char* take;
        const char* give;
        const char* destroy;
    };
    explicit LoaderLock(Where where);
    LoaderLock(const LoaderLock&) = delete;
    LoaderLock& operator=(const LoaderLock&) = delete;
    uint32_t Take();
    uint32_t Give();
    uint32_t Destroy();
    bool Made();  // between a take that made it and the cleanup

private:
    const Where m_where;
    std::mutex m_life;  // guards making, destroying and the count of users
    int m_users = 0;    // threads holding the record or waiting for it
    cLockRecord m_record{};
};

uint32_t mslLoaderLock();
uint32_t mslLoaderUnlock();
uint32_t mslLoaderDestroyLock();
// Destroys every loader lock; called when the last user of the service
// library has unloaded it.
void mslLoaderCleanup();

// Holds a loader lock, taken by `Take` and given back by `Give`, for a
// scope. Release() gives it back early and returns the release's status; a
// hold whose take failed holds nothing.
template <uint32_t (*Take)(), uint32_t (*Give)()>
class ScopedHold {
public:
    ScopedHold() : m_status(Take()) {}
    ~ScopedHold() { Release(); }
    ScopedHold(const ScopedHold&) = delete;
    ScopedHold& operator=(const ScopedHold&) = delete;
    // The take's status: 0 when the lock is held.
    uint32_t Status() const { return m_status; }
    uint32_t Release() {
        if (m_status != 0 || m_released) return 0;
        m_released = true;
        return Give();
    }

private:
    uint32_t m_status;
    bool m_released = false;
};
using LoaderHold = ScopedHold<mslLoaderLock, mslLoaderUnlock>;

// Forgets the directory and extension (tests).
void ResetForTesting();

}  // namespace mslLoader

#endif  // OVX_TRANSPORT_MSLLOADER_H
