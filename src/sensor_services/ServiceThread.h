// The base of the session's two small threads (CPulseThread and
// CWorkerThread): both run on the threading function table and write their
// progress to the agent's trace sink.
#ifndef OVX_SENSOR_SERVICES_SERVICETHREAD_H
#define OVX_SENSOR_SERVICES_SERVICETHREAD_H

#include <atomic>
#include <cstdint>
#include <memory>

#include "ovxSensorSvcs.h"
#include "tools/asThreadingDefault.h"
#include "tools/ovxAgentGate.h"

namespace ovxSensorServices {

using ovxToolsLib::ovxEventHandle;
using ovxToolsLib::ovxSyncHandle;
using ovxToolsLib::ovxThreadHandle;
using ovxToolsLib::ovxThreadingFunctions;

// What both threads share: the table, the agent's gate (for the trace
// sink), the lock, the two events, the stop flag and the thread's start and
// exit.
class CServiceThread {
public:
    CServiceThread() = default;
    CServiceThread(const CServiceThread&) = delete;
    CServiceThread& operator=(const CServiceThread&) = delete;
    virtual ~CServiceThread();

    // Sets the stop flag, wakes the thread and waits up to 60 s for it to
    // end; then closes the events and the lock. Returns 0. Called on the
    // thread itself (its work ended the object), it waits for nothing.
    virtual uint32_t Stop();
    bool IsRunning() const { return m_running.load(); }
    // Whether the calling thread is this object's thread.
    bool IsCurrentThread() const;

protected:
    // Creates the lock and the events; then, with a table, the thread.
    uint32_t Start(const ovxThreadingFunctions* threading, std::shared_ptr<ovxToolsLib::ovxAgentGate> gate,
                   const char* failureText, const char* where);
    void Trace(uint32_t level, const char* where, const char* text) const;
    bool TraceWanted(uint32_t level) const { return m_gate && m_gate->Wants(level); }
    // Holds the thread object's lock for a scope.
    class LockGuard {
    public:
        explicit LockGuard(const CServiceThread& thread)
            : m_hold(thread.m_haveHandles ? thread.m_threading : nullptr, thread.m_lock, thread.m_lockObject.get()) {}

    private:
        ovxToolsLib::ovxSyncGuard m_hold;
    };
    void Wake() const;
    // Waits on the thread's event until Wake() or `timeoutMs`.
    void WaitForWake(uint32_t timeoutMs) const;
    // Called by Loop() on the thread when its work has just destroyed this
    // object: the loop returns at once, and the thread ends touching nothing
    // of it.
    static void ObjectGone();
    // The body of the thread, between its entry and exit lines.
    virtual uint32_t Loop() = 0;
    virtual const char* Name() const = 0;   // "pulse", "worker"
    virtual const char* Where() const = 0;  // "CPulseThread::_PulseThread()"

    const ovxThreadingFunctions* m_threading = nullptr;
    std::shared_ptr<ovxToolsLib::ovxAgentGate> m_gate;
    ovxSyncHandle m_lock = 0;
    ovxEventHandle m_event = 0;
    ovxThreadHandle m_thread = 0;
    ovxEventHandle m_exit = 0;
    std::atomic<bool> m_stop{true};
    bool m_haveHandles = false;
    std::atomic<bool> m_running{false};

private:
    // The lock's and the event's objects when the table is the library's
    // own, reached without a look-up per call; set with the handles, before
    // the thread starts, and kept to the end.
    std::shared_ptr<ovxToolsLib::jsSyncBase> m_lockObject;
    std::shared_ptr<ovxToolsLib::jsEvent> m_eventObject;
    static uint32_t Run(void* self);
    void CloseHandles();
};

}  // namespace ovxSensorServices

#endif  // OVX_SENSOR_SERVICES_SERVICETHREAD_H
