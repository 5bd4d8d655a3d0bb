// The threading service: one process-wide object that creates threads, events
// and syncs and hands them out by handle, and the table of plain functions
// over it that the session layer uses.
#ifndef OVX_TOOLS_ASTHREADINGDEFAULT_H
#define OVX_TOOLS_ASTHREADINGDEFAULT_H

#include <cstdint>
#include <map>
#include <memory>

#include "ovxStatus.h"
#include "jsevent.h"
#include "jssync.h"
#include "jsthread.h"

namespace ovxToolsLib {

typedef uint64_t ovxThreadHandle;
typedef uint32_t ovxEventHandle;
typedef uint32_t ovxSyncHandle;
typedef uint32_t (*ovxThreadFunction)(void* argument);

// The sync handle of the process-wide lock.
constexpr ovxSyncHandle kOvxGlobalSyncHandle = 0xFFFFFFFFu;

// Sync kinds.
enum : uint32_t { kOvxSyncGeneral = 0, kOvxSyncRecursive = 1, kOvxSyncFast = 2 };

// Every entry returns a status: 0, OVX_E_INVALID_ARGUMENT (bad argument or unknown
// handle), OVX_E_OUT_OF_MEMORY (no memory), OVX_E_UNEXPECTED (the operation failed) or
// OVX_E_UNSUPPORTED (unsupported).
struct ovxThreadingFunctions {
    uint32_t (*CreateThread)(ovxThreadFunction function, void* argument, ovxThreadHandle* handle);
    uint32_t (*GetCurrentThreadId)(ovxThreadHandle* id);
    uint32_t (*Sleep)(uint32_t milliseconds);
    uint32_t (*CreateEvent)(uint32_t initiallySignalled, uint32_t manualReset, ovxEventHandle* handle);
    uint32_t (*SetEvent)(ovxEventHandle handle);
    uint32_t (*ResetEvent)(ovxEventHandle handle);
    // A time-out counts as success.
    uint32_t (*WaitEvent)(ovxEventHandle handle, uint32_t milliseconds);
    uint32_t (*Unsupported7)(void);
    uint32_t (*CloseEvent)(ovxEventHandle handle);
    uint32_t (*CreateSync)(uint32_t kind, ovxSyncHandle* handle);
    uint32_t (*Lock)(ovxSyncHandle handle);
    uint32_t (*TryLock)(ovxSyncHandle handle);  // OVX_E_BUSY when held elsewhere
    uint32_t (*Unlock)(ovxSyncHandle handle);
    uint32_t (*CloseSync)(ovxSyncHandle handle);
    uint32_t (*Unsupported14)(void);
    uint32_t (*Unsupported15)(void);
    uint32_t (*Unsupported16)(void);
    uint32_t (*Unsupported17)(void);
    uint32_t (*Unsupported18)(void);
    uint32_t (*Unsupported19)(void);
};

// The table over the process-wide threading service object.
const ovxThreadingFunctions* ovxGetThreadingFunctions();

// The object behind a sync or event handle of the table above, for a holder
// that uses it on every call: reached directly, it costs none of the handle's
// look-up (a process-wide lock and two updates of a reference count that
// every thread shares). The reference keeps the object alive after its
// handle is closed. Null for another table or an unknown handle: calls then
// go through the table.
std::shared_ptr<jsSyncBase> ovxDirectSync(const ovxThreadingFunctions* table, ovxSyncHandle handle);
std::shared_ptr<jsEvent> ovxDirectEvent(const ovxThreadingFunctions* table, ovxEventHandle handle);

// Holds a sync of a threading table for a scope, so that nothing thrown
// between taking and releasing it can leave it held. A null table holds
// nothing (objects initialised without a table run single-threaded). A lock
// that failed is not released: the release would give up a hold of another
// scope (a recursive sync) or of another thread. Status() tells the lock's
// answer.
class ovxSyncGuard {
public:
    // `direct`, when given, is the handle's object (ovxDirectSync): locked
    // without the table.
    ovxSyncGuard(const ovxThreadingFunctions* table, ovxSyncHandle handle, jsSyncBase* direct = nullptr)
        : m_table(table), m_direct(table != nullptr ? direct : nullptr), m_handle(handle), m_status(Take()) {}
    ~ovxSyncGuard() {
        if (m_table == nullptr || m_status != 0) return;
        if (m_direct != nullptr) {
            m_direct->unlockSync();
        } else {
            m_table->Unlock(m_handle);
        }
    }
    ovxSyncGuard(const ovxSyncGuard&) = delete;
    ovxSyncGuard& operator=(const ovxSyncGuard&) = delete;
    uint32_t Status() const { return m_status; }

private:
    uint32_t Take() {
        if (m_table == nullptr) return 0;
        if (m_direct == nullptr) return m_table->Lock(m_handle);
        return m_direct->lockSync() == 0 ? 0 : OVX_E_UNEXPECTED;
    }
    const ovxThreadingFunctions* m_table;
    jsSyncBase* m_direct;
    ovxSyncHandle m_handle;
    uint32_t m_status;
};

class ovxThreadingDefaultImpl;

// A thread created by the threading service: runs one function once.
class _asThread : public jsThread {
public:
    _asThread(ovxThreadFunction function, void* argument);
    ~_asThread() override;
    uint32_t run() override;
    bool finished() const { return m_finished.load(); }

private:
    ovxThreadFunction m_function;
    void* m_argument;
    std::atomic<bool> m_finished{false};
};

class ovxThreadingDefaultImpl {
public:
    ovxThreadingDefaultImpl();
    ~ovxThreadingDefaultImpl();  // stops every thread (500 ms, then kill)
    ovxThreadingDefaultImpl(const ovxThreadingDefaultImpl&) = delete;
    ovxThreadingDefaultImpl& operator=(const ovxThreadingDefaultImpl&) = delete;

    static ovxThreadingDefaultImpl& instance();

    uint32_t createThread(ovxThreadFunction function, void* argument, ovxThreadHandle* handle);
    uint32_t closeThread(ovxThreadHandle handle);
    uint32_t stopThread(ovxThreadHandle handle, uint32_t timeoutMs, bool kill);
    uint32_t waitThread(ovxThreadHandle handle, uint32_t timeoutMs);
    size_t threadCount();

    uint32_t createEvent(uint32_t initiallySignalled, uint32_t manualReset, ovxEventHandle* handle);
    uint32_t setEvent(ovxEventHandle handle);
    uint32_t resetEvent(ovxEventHandle handle);
    uint32_t waitEvent(ovxEventHandle handle, uint32_t timeoutMs);
    uint32_t closeEvent(ovxEventHandle handle);

    uint32_t createSync(uint32_t kind, ovxSyncHandle* handle);
    uint32_t lock(ovxSyncHandle handle);
    uint32_t tryLock(ovxSyncHandle handle);
    uint32_t unlock(ovxSyncHandle handle);
    uint32_t closeSync(ovxSyncHandle handle);

    // True when every thread ended within the timeout.
    bool stopAllThreads(uint32_t timeoutMs, bool kill);

    // The object behind a handle, or null.
    std::shared_ptr<jsEvent> findEvent(ovxEventHandle handle);
    std::shared_ptr<jsSyncBase> findSync(ovxSyncHandle handle);

private:
    static void forkPrepare();
    static void forkParent();
    static void forkChild();
    void purgeFinishedThreads();

    jsFastSync m_threadsLock;
    std::map<ovxThreadHandle, std::unique_ptr<_asThread>> m_threads;
    jsFastSync m_eventsLock;
    std::map<ovxEventHandle, std::shared_ptr<jsEvent>> m_events;
    uint32_t m_nextEvent = 1;
    jsFastSync m_syncsLock;
    std::map<ovxSyncHandle, std::shared_ptr<jsSyncBase>> m_syncs;
    uint32_t m_nextSync = 1;
    jsRecursiveSync m_globalSync;
};

}  // namespace ovxToolsLib

#endif  // OVX_TOOLS_ASTHREADINGDEFAULT_H
