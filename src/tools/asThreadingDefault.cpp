#include "ovxStatus.h"
#include "asThreadingDefault.h"

#include <pthread.h>

#include <cerrno>
#include <new>
#include <vector>

namespace ovxToolsLib {

namespace {
constexpr uint32_t kOk = 0;

// Handles are taken from a counter; 0 and the global handle are never issued.
uint32_t NextHandle(uint32_t& counter) {
    uint32_t handle = counter++;
    if (counter == 0 || counter == kOvxGlobalSyncHandle) counter = 1;
    return handle;
}
}  // namespace

_asThread::_asThread(ovxThreadFunction function, void* argument)
    : jsThread("_asThread-instance", 2), m_function(function), m_argument(argument) {}

_asThread::~_asThread() { stop(500, true); }

uint32_t _asThread::run() {
    uint32_t result = m_function(m_argument);
    m_finished.store(true);
    return result;
}

ovxThreadingDefaultImpl::ovxThreadingDefaultImpl() = default;

ovxThreadingDefaultImpl::~ovxThreadingDefaultImpl() {
    stopAllThreads(500, true);
    jsLock events(m_eventsLock);
    m_events.clear();
    jsLock syncs(m_syncsLock);
    m_syncs.clear();
}

ovxThreadingDefaultImpl& ovxThreadingDefaultImpl::instance() {
    // Never destroyed: threads it started may still be ending while the
    // process exits, and they must not find a destroyed table.
    static ovxThreadingDefaultImpl* service = [] {
        auto* created = new ovxThreadingDefaultImpl();
        pthread_atfork(&ovxThreadingDefaultImpl::forkPrepare, &ovxThreadingDefaultImpl::forkParent,
                       &ovxThreadingDefaultImpl::forkChild);
        return created;
    }();
    return *service;
}

// fork() copies one thread. Its handlers hold the table's locks across the
// copy (in the order SS_Init takes them: the process-wide sync first), so no
// lock is copied held by a thread the child does not have. The handlers are
// the one place these locks are taken and given back in separate functions.
void ovxThreadingDefaultImpl::forkPrepare() {
    ovxThreadingDefaultImpl& self = instance();
    self.m_globalSync.lockSync();
    self.m_threadsLock.lock();
    self.m_eventsLock.lock();
    self.m_syncsLock.lock();
}

void ovxThreadingDefaultImpl::forkParent() {
    ovxThreadingDefaultImpl& self = instance();
    self.m_syncsLock.unlock();
    self.m_eventsLock.unlock();
    self.m_threadsLock.unlock();
    self.m_globalSync.unlockSync();
}

// The child has none of the parent's threads, and the ids their records are
// kept under may name threads the child starts. Their records are forgotten
// without being destroyed: destroying one would stop, or kill, whatever
// thread now has its id.
void ovxThreadingDefaultImpl::forkChild() {
    ovxThreadingDefaultImpl& self = instance();
    for (auto& entry : self.m_threads) static_cast<void>(entry.second.release());
    self.m_threads.clear();
    self.m_syncsLock.unlock();
    self.m_eventsLock.unlock();
    self.m_threadsLock.unlock();
    self.m_globalSync.unlockSync();
}

void ovxThreadingDefaultImpl::purgeFinishedThreads() {
    for (auto it = m_threads.begin(); it != m_threads.end();) {
        if (it->second->finished() && !it->second->isRunning()) {
            it = m_threads.erase(it);
        } else {
            ++it;
        }
    }
}

uint32_t ovxThreadingDefaultImpl::createThread(ovxThreadFunction function, void* argument, ovxThreadHandle* handle) {
    if (!function || !handle) return OVX_E_INVALID_ARGUMENT;
    *handle = 0;
    jsLock hold(m_threadsLock);
    purgeFinishedThreads();
    std::unique_ptr<_asThread> thread(new (std::nothrow) _asThread(function, argument));
    if (!thread) return OVX_E_OUT_OF_MEMORY;
    if (!thread->start()) return OVX_E_UNEXPECTED;
    ovxThreadHandle id = thread->getThreadId();
    if (id == 0) id = reinterpret_cast<uintptr_t>(thread.get());  // it already ended
    *handle = id;
    m_threads[id] = std::move(thread);
    return kOk;
}

uint32_t ovxThreadingDefaultImpl::closeThread(ovxThreadHandle handle) {
    std::unique_ptr<_asThread> thread;
    {
        jsLock hold(m_threadsLock);
        auto it = m_threads.find(handle);
        if (it == m_threads.end()) return OVX_E_INVALID_ARGUMENT;
        thread = std::move(it->second);
        m_threads.erase(it);
    }
    return kOk;  // the thread object stops its thread as it is destroyed
}

uint32_t ovxThreadingDefaultImpl::stopThread(ovxThreadHandle handle, uint32_t timeoutMs, bool kill) {
    jsLock hold(m_threadsLock);
    auto it = m_threads.find(handle);
    if (it == m_threads.end()) return OVX_E_INVALID_ARGUMENT;
    it->second->stop(timeoutMs, kill);
    return kOk;
}

uint32_t ovxThreadingDefaultImpl::waitThread(ovxThreadHandle handle, uint32_t timeoutMs) {
    jsLock hold(m_threadsLock);
    auto it = m_threads.find(handle);
    if (it == m_threads.end()) return OVX_E_INVALID_ARGUMENT;
    return it->second->waitForExit(timeoutMs) ? kOk : OVX_E_UNEXPECTED;
}

size_t ovxThreadingDefaultImpl::threadCount() {
    jsLock hold(m_threadsLock);
    purgeFinishedThreads();
    return m_threads.size();
}

bool ovxThreadingDefaultImpl::stopAllThreads(uint32_t timeoutMs, bool kill) {
    std::map<ovxThreadHandle, std::unique_ptr<_asThread>> threads;
    {
        jsLock hold(m_threadsLock);
        threads.swap(m_threads);
    }
    bool allEnded = true;
    for (auto& entry : threads) entry.second->stop(0, false);
    for (auto& entry : threads) {
        if (!entry.second->isRunning()) continue;
        if (!entry.second->waitForExit(timeoutMs)) {
            allEnded = false;
            if (kill) entry.second->kill();
        }
    }
    return allEnded;
}

uint32_t ovxThreadingDefaultImpl::createEvent(uint32_t initiallySignalled, uint32_t manualReset,
                                              ovxEventHandle* handle) {
    if (!handle || initiallySignalled > 1 || manualReset > 1) return OVX_E_INVALID_ARGUMENT;
    *handle = 0;
    std::shared_ptr<jsEvent> event(new (std::nothrow) jsEvent(initiallySignalled == 0, manualReset == 1));
    if (!event) return OVX_E_OUT_OF_MEMORY;
    if (!event->isValid()) return OVX_E_UNEXPECTED;
    jsLock hold(m_eventsLock);
    uint32_t id = NextHandle(m_nextEvent);
    m_events[id] = std::move(event);
    *handle = id;
    return kOk;
}

std::shared_ptr<jsEvent> ovxThreadingDefaultImpl::findEvent(ovxEventHandle handle) {
    jsLock hold(m_eventsLock);
    auto it = m_events.find(handle);
    return it == m_events.end() ? nullptr : it->second;
}

uint32_t ovxThreadingDefaultImpl::setEvent(ovxEventHandle handle) {
    auto event = findEvent(handle);
    if (!event) return OVX_E_INVALID_ARGUMENT;
    return event->set() ? kOk : OVX_E_UNEXPECTED;
}

uint32_t ovxThreadingDefaultImpl::resetEvent(ovxEventHandle handle) {
    auto event = findEvent(handle);
    if (!event) return OVX_E_INVALID_ARGUMENT;
    return event->reset() ? kOk : OVX_E_UNEXPECTED;
}

uint32_t ovxThreadingDefaultImpl::waitEvent(ovxEventHandle handle, uint32_t timeoutMs) {
    auto event = findEvent(handle);
    if (!event) return OVX_E_INVALID_ARGUMENT;
    return event->wait(timeoutMs) == kJsWaitFailed ? OVX_E_UNEXPECTED : kOk;
}

uint32_t ovxThreadingDefaultImpl::closeEvent(ovxEventHandle handle) {
    jsLock hold(m_eventsLock);
    return m_events.erase(handle) ? kOk : OVX_E_INVALID_ARGUMENT;
}

uint32_t ovxThreadingDefaultImpl::createSync(uint32_t kind, ovxSyncHandle* handle) {
    if (!handle) return OVX_E_INVALID_ARGUMENT;
    *handle = 0;
    std::shared_ptr<jsSyncBase> sync;
    switch (kind) {
        case kOvxSyncGeneral: sync.reset(new (std::nothrow) jsSync()); break;
        case kOvxSyncRecursive: sync.reset(new (std::nothrow) jsRecursiveSync()); break;
        case kOvxSyncFast: sync.reset(new (std::nothrow) jsFastSync()); break;
        default: return OVX_E_INVALID_ARGUMENT;
    }
    if (!sync) return OVX_E_OUT_OF_MEMORY;
    if (!sync->isValid()) return OVX_E_UNEXPECTED;
    jsLock hold(m_syncsLock);
    uint32_t id = NextHandle(m_nextSync);
    m_syncs[id] = std::move(sync);
    *handle = id;
    return kOk;
}

std::shared_ptr<jsSyncBase> ovxThreadingDefaultImpl::findSync(ovxSyncHandle handle) {
    if (handle == kOvxGlobalSyncHandle) {
        // Aliasing pointer: shares no ownership, the member lives with the service.
        return std::shared_ptr<jsSyncBase>(std::shared_ptr<jsSyncBase>(), &m_globalSync);
    }
    jsLock hold(m_syncsLock);
    auto it = m_syncs.find(handle);
    return it == m_syncs.end() ? nullptr : it->second;
}

uint32_t ovxThreadingDefaultImpl::lock(ovxSyncHandle handle) {
    auto sync = findSync(handle);
    if (!sync) return OVX_E_INVALID_ARGUMENT;
    return sync->lockSync() == 0 ? kOk : OVX_E_UNEXPECTED;
}

uint32_t ovxThreadingDefaultImpl::tryLock(ovxSyncHandle handle) {
    auto sync = findSync(handle);
    if (!sync) return OVX_E_INVALID_ARGUMENT;
    int result = sync->tryLockSync();
    if (result == 0) return kOk;
    return result == EBUSY ? OVX_E_BUSY : OVX_E_UNEXPECTED;
}

uint32_t ovxThreadingDefaultImpl::unlock(ovxSyncHandle handle) {
    auto sync = findSync(handle);
    if (!sync) return OVX_E_INVALID_ARGUMENT;
    return sync->unlockSync() == 0 ? kOk : OVX_E_UNEXPECTED;
}

uint32_t ovxThreadingDefaultImpl::closeSync(ovxSyncHandle handle) {
    if (handle == kOvxGlobalSyncHandle) return OVX_E_INVALID_ARGUMENT;
    jsLock hold(m_syncsLock);
    return m_syncs.erase(handle) ? kOk : OVX_E_INVALID_ARGUMENT;
}

// ---- the function table ------------------------------------------------------------

namespace {
ovxThreadingDefaultImpl& Service() { return ovxThreadingDefaultImpl::instance(); }

uint32_t TableCreateThread(ovxThreadFunction function, void* argument, ovxThreadHandle* handle) {
    try {
        return Service().createThread(function, argument, handle);
    } catch (const std::bad_alloc&) {
        return OVX_E_OUT_OF_MEMORY;
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
}
uint32_t TableCurrentThreadId(ovxThreadHandle* id) {
    if (!id) return OVX_E_INVALID_ARGUMENT;
    *id = jsThread::currentThreadId();
    return kOk;
}
uint32_t TableSleep(uint32_t milliseconds) {
    jsThread::sleep(milliseconds);
    return kOk;
}
uint32_t TableCreateEvent(uint32_t initiallySignalled, uint32_t manualReset, ovxEventHandle* handle) {
    try {
        return Service().createEvent(initiallySignalled, manualReset, handle);
    } catch (...) {
        return OVX_E_OUT_OF_MEMORY;
    }
}
uint32_t TableSetEvent(ovxEventHandle handle) { return Service().setEvent(handle); }
uint32_t TableResetEvent(ovxEventHandle handle) { return Service().resetEvent(handle); }
uint32_t TableWaitEvent(ovxEventHandle handle, uint32_t milliseconds) {
    return Service().waitEvent(handle, milliseconds);
}
uint32_t TableCloseEvent(ovxEventHandle handle) { return Service().closeEvent(handle); }
uint32_t TableCreateSync(uint32_t kind, ovxSyncHandle* handle) {
    try {
        return Service().createSync(kind, handle);
    } catch (...) {
        return OVX_E_OUT_OF_MEMORY;
    }
}
uint32_t TableLock(ovxSyncHandle handle) { return Service().lock(handle); }
uint32_t TableTryLock(ovxSyncHandle handle) { return Service().tryLock(handle); }
uint32_t TableUnlock(ovxSyncHandle handle) { return Service().unlock(handle); }
uint32_t TableCloseSync(ovxSyncHandle handle) { return Service().closeSync(handle); }
uint32_t TableUnsupported() { return OVX_E_UNSUPPORTED; }

const ovxThreadingFunctions kTable = {
    TableCreateThread, TableCurrentThreadId, TableSleep,       TableCreateEvent, TableSetEvent,
    TableResetEvent,   TableWaitEvent,       TableUnsupported, TableCloseEvent,  TableCreateSync,
    TableLock,         TableTryLock,         TableUnlock,      TableCloseSync,   TableUnsupported,
    TableUnsupported,  TableUnsupported,     TableUnsupported, TableUnsupported, TableUnsupported,
};
}  // namespace

const ovxThreadingFunctions* ovxGetThreadingFunctions() { return &kTable; }

std::shared_ptr<jsSyncBase> ovxDirectSync(const ovxThreadingFunctions* table, ovxSyncHandle handle) {
    // The process-wide lock's object is a member, not shared: it stays with
    // its table.
    if (table != &kTable || handle == kOvxGlobalSyncHandle) return nullptr;
    return Service().findSync(handle);
}

std::shared_ptr<jsEvent> ovxDirectEvent(const ovxThreadingFunctions* table, ovxEventHandle handle) {
    return table == &kTable ? Service().findEvent(handle) : nullptr;
}

}  // namespace ovxToolsLib
