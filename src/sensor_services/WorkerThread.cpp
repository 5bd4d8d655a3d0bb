#include "sensor_services/WorkerThread.h"

#include <cstring>
#include <new>
#include <string>

#include "tools/ovxError.h"

namespace ovxSensorServices {

namespace {

constexpr uint32_t kWorkerWaitMs = 60000;

}  // namespace

CWorkItem& CWorkItem::operator=(const CWorkItem& other) {
    if (this != &other) {
        Clear();
        Set(other.m_data, other.m_size);
    }
    return *this;
}

void CWorkItem::Clear() {
    delete[] m_data;
    m_data = nullptr;
    m_size = 0;
}

void CWorkItem::Set(const uint8_t* data, uint32_t size) {
    Clear();
    if (data == nullptr || size == 0) return;
    m_data = new uint8_t[size];
    std::memcpy(m_data, data, size);
    m_size = size;
}

CWorkerThread::~CWorkerThread() { Stop(); }

uint32_t CWorkerThread::Init(const ovxThreadingFunctions* threading, SS_TraceSink* trace, WorkFunction work,
                             void* argument) {
    m_work = work;
    m_argument = argument;
    return Start(threading, trace, "Unexpected failure in worker thread initialization", "CWorkerThread::Init()");
}

uint32_t CWorkerThread::QueueWorkItem(const uint8_t* data, uint32_t size) {
    try {
        CWorkItem item(data, size);
        Lock();
        try {
            m_queue.push_back(std::move(item));
        } catch (...) {
            Unlock();
            throw;
        }
        Unlock();
    } catch (const std::bad_alloc&) {
        return 0xC7210004u;
    }
    Wake();
    return 0;
}

size_t CWorkerThread::GetQueuedCount() const {
    Lock();
    size_t count = m_queue.size();
    Unlock();
    return count;
}

bool CWorkerThread::ProcessNextWorkItem() {
    CWorkItem item;
    bool more = false;
    bool have = false;
    Lock();
    if (!m_queue.empty()) {
        item = m_queue.front();
        m_queue.pop_front();
        have = true;
    }
    Unlock();
    if (have && m_work != nullptr) {
        uint32_t status = m_work(item.GetData(), item.GetSize(), m_argument);
        if (status != 0) {
            ovxToolsLib::OVXError error(status);
            const char* text = error.GetMessageText();
            Trace(8, "CWorkerThread::ProcessNextWorkItem()",
                  (std::string("Failed to process work item: ") + (text != nullptr ? text : "")).c_str());
        }
    }
    Lock();
    more = !m_queue.empty();
    Unlock();
    return more;
}

uint32_t CWorkerThread::Loop() {
    while (!m_stop.load()) {
        Trace(8, Where(), ("Waiting on worker event with timeout = " + std::to_string(kWorkerWaitMs)).c_str());
        m_threading->WaitEvent(m_event, kWorkerWaitMs);
        if (m_stop.load()) break;
        while (ProcessNextWorkItem() && !m_stop.load()) {
        }
    }
    return 0;
}

}  // namespace ovxSensorServices
