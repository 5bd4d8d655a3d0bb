// The two small threads of the session: CPulseThread calls one function at
// a fixed period (alive heartbeats), CWorkerThread processes a queue of byte
// buffers one by one (heartbeat responses, off the dispatch thread). Both
// run on the threading function table and write their progress to the
// agent's trace sink.
#ifndef OVX_SENSOR_SERVICES_SERVICETHREADS_H
#define OVX_SENSOR_SERVICES_SERVICETHREADS_H

#include <atomic>
#include <cstdint>
#include <deque>

#include "ovxSensorSvcs.h"
#include "tools/asThreadingDefault.h"

namespace ovxSensorServices {

using ovxToolsLib::ovxEventHandle;
using ovxToolsLib::ovxSyncHandle;
using ovxToolsLib::ovxThreadHandle;
using ovxToolsLib::ovxThreadingFunctions;

// One queued buffer: a private copy of the bytes.
class CWorkItem {
public:
    CWorkItem() = default;
    CWorkItem(const uint8_t* data, uint32_t size) { Set(data, size); }
    CWorkItem(const CWorkItem& other) { *this = other; }
    virtual ~CWorkItem() { Clear(); }
    virtual CWorkItem& operator=(const CWorkItem& other);
    virtual void Clear();
    // Copies the bytes when both are non-zero; otherwise the item is empty.
    virtual void Set(const uint8_t* data, uint32_t size);
    const uint8_t* GetData() const { return m_data; }
    uint32_t GetSize() const { return m_size; }

private:
    uint8_t* m_data = nullptr;
    uint32_t m_size = 0;
};

// What both threads share: the table, the sink, the lock, the two events,
// the stop flag and the thread's start and exit.
class CServiceThread {
public:
    CServiceThread() = default;
    CServiceThread(const CServiceThread&) = delete;
    CServiceThread& operator=(const CServiceThread&) = delete;
    virtual ~CServiceThread();

    // Sets the stop flag, wakes the thread and waits up to 60 s for it to
    // end; then closes the events and the lock. Returns 0.
    virtual uint32_t Stop();
    bool IsRunning() const { return m_running.load(); }

protected:
    // Creates the lock and the events; then, with a table, the thread.
    uint32_t Start(const ovxThreadingFunctions* threading, SS_TraceSink* trace, const char* failureText,
                   const char* where);
    void Trace(uint32_t level, const char* where, const char* text) const;
    void Lock() const;
    void Unlock() const;
    void Wake() const;
    // The body of the thread, between its entry and exit lines.
    virtual uint32_t Loop() = 0;
    virtual const char* Name() const = 0;   // "pulse", "worker"
    virtual const char* Where() const = 0;  // "CPulseThread::_PulseThread()"

    const ovxThreadingFunctions* m_threading = nullptr;
    SS_TraceSink* m_trace = nullptr;
    ovxSyncHandle m_lock = 0;
    ovxEventHandle m_event = 0;
    ovxThreadHandle m_thread = 0;
    ovxEventHandle m_exit = 0;
    std::atomic<bool> m_stop{true};
    bool m_haveHandles = false;
    std::atomic<bool> m_running{false};

private:
    static uint32_t Run(void* self);
    void CloseHandles();
};

typedef uint32_t (*PulseFunction)(void* argument);

class CPulseThread : public CServiceThread {
public:
    ~CPulseThread() override;
    virtual uint32_t Init(const ovxThreadingFunctions* threading, SS_TraceSink* trace, PulseFunction pulse,
                          uint32_t periodSeconds, void* argument);
    // Takes effect from the next wait on.
    virtual void SetPeriod(uint32_t periodSeconds);
    uint32_t GetPeriod() const;
    virtual uint32_t Pulse();

protected:
    uint32_t Loop() override;
    const char* Name() const override { return "pulse"; }
    const char* Where() const override { return "CPulseThread::_PulseThread()"; }

private:
    PulseFunction m_pulse = nullptr;
    void* m_argument = nullptr;
    uint32_t m_periodSeconds = 0;
};

typedef uint32_t (*WorkFunction)(const uint8_t* data, uint32_t size, void* argument);

class CWorkerThread : public CServiceThread {
public:
    ~CWorkerThread() override;
    virtual uint32_t Init(const ovxThreadingFunctions* threading, SS_TraceSink* trace, WorkFunction work,
                          void* argument);
    virtual uint32_t QueueWorkItem(const uint8_t* data, uint32_t size);
    // Processes the front item; returns whether more remain.
    virtual bool ProcessNextWorkItem();
    size_t GetQueuedCount() const;

protected:
    uint32_t Loop() override;
    const char* Name() const override { return "worker"; }
    const char* Where() const override { return "CWorkerThread::_WorkerThread()"; }

private:
    WorkFunction m_work = nullptr;
    void* m_argument = nullptr;
    std::deque<CWorkItem> m_queue;
};

}  // namespace ovxSensorServices

#endif  // OVX_SENSOR_SERVICES_SERVICETHREADS_H
