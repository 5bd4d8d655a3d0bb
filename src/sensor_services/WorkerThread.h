// CWorkerThread processes a queue of byte buffers one by one: heartbeat
// answers, read away from the dispatch thread.
#ifndef OVX_SENSOR_SERVICES_WORKERTHREAD_H
#define OVX_SENSOR_SERVICES_WORKERTHREAD_H

#include <cstdint>
#include <deque>

#include "sensor_services/ServiceThread.h"

namespace ovxSensorServices {

// One queued buffer: a private copy of the bytes.
class CWorkItem {
public:
    CWorkItem() = default;
    CWorkItem(const uint8_t* data, uint32_t size) { Set(data, size); }
    CWorkItem(const CWorkItem& other) { *this = other; }
    // Moves hand the bytes over: a queued answer may be large.
    CWorkItem(CWorkItem&& other) noexcept : m_data(other.m_data), m_size(other.m_size) {
        other.m_data = nullptr;
        other.m_size = 0;
    }
    CWorkItem& operator=(CWorkItem&& other) noexcept {
        if (this != &other) {
            delete[] m_data;
            m_data = other.m_data;
            m_size = other.m_size;
            other.m_data = nullptr;
            other.m_size = 0;
        }
        return *this;
    }
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

typedef uint32_t (*WorkFunction)(const uint8_t* data, uint32_t size, void* argument);

class CWorkerThread : public CServiceThread {
public:
    ~CWorkerThread() override;
    virtual uint32_t Init(const ovxThreadingFunctions* threading, std::shared_ptr<ovxToolsLib::ovxAgentGate> gate,
                          WorkFunction work, void* argument);
    virtual uint32_t QueueWorkItem(const uint8_t* data, uint32_t size);
    // Processes the front item; returns whether more remain.
    virtual bool ProcessNextWorkItem();
    size_t GetQueuedCount() const;
    // On the worker thread, from inside the work function: `release` runs
    // once the item in hand is done and nothing of this object is touched
    // any more, and may destroy it (it returns whether it did). This is how
    // a session shut down from one of its own callbacks on this thread ends
    // once that callback has returned.
    void ReleaseAfterItem(bool (*release)(void*), void* argument);

protected:
    uint32_t Loop() override;
    const char* Name() const override { return "worker"; }
    const char* Where() const override { return "CWorkerThread::_WorkerThread()"; }

private:
    WorkFunction m_work = nullptr;
    void* m_argument = nullptr;
    std::deque<CWorkItem> m_queue;
    // Set and read on the worker thread only.
    bool (*m_release)(void*) = nullptr;
    void* m_releaseArgument = nullptr;
};

}  // namespace ovxSensorServices

#endif  // OVX_SENSOR_SERVICES_WORKERTHREAD_H
