#include "sensor_services/WorkerThread.h"

#include <cstring>
#include <new>
#include <string>

#include "ovxStatus.h"
#include "tools/ovxError.h"
#include "tools/ovxLateWork.h"

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

uint32_t CWorkerThread::Init(const ovxThreadingFunctions* threading, std::shared_ptr<ovxToolsLib::ovxAgentGate> gate,
                             WorkFunction work, void* argument) {
    m_work = work;
    m_argument = argument;
    return Start(threading, std::move(gate), "Unexpected failure in worker thread initialization",
                 "CWorkerThread::Init()");
}

uint32_t CWorkerThread::QueueWorkItem(const uint8_t* data, uint32_t size) {
    try {
        CWorkItem item(data, size);
        LockGuard hold(*this);
        m_queue.push_back(std::move(item));
    } catch (const std::bad_alloc&) {
        return OVX_E_OUT_OF_MEMORY;
    }
    Wake();
    return 0;
}

size_t CWorkerThread::GetQueuedCount() const {
    LockGuard hold(*this);
    return m_queue.size();
}

bool CWorkerThread::ProcessNextWorkItem() {
    CWorkItem item;
    bool have = false;
    {
        LockGuard hold(*this);
        if (!m_queue.empty()) {
            item = std::move(m_queue.front());
            m_queue.pop_front();
            have = true;
        }
    }
    if (have && m_work != nullptr) {
        uint32_t status = m_work(item.GetData(), item.GetSize(), m_argument);
        if (status != 0 && TraceWanted(SS_TRACE_PROGRESS)) {
            ovxToolsLib::OVXError error(status);
            const char* text = error.GetMessageText();
            Trace(SS_TRACE_PROGRESS, "CWorkerThread::ProcessNextWorkItem()",
                  (std::string("Failed to process work item: ") + (text != nullptr ? text : "")).c_str());
        }
    }
    LockGuard hold(*this);
    return !m_queue.empty();
}

void CWorkerThread::ReleaseAfterItem(bool (*release)(void*), void* argument) {
    m_release = release;
    m_releaseArgument = argument;
}

uint32_t CWorkerThread::Loop() {
    while (!m_stop.load()) {
        if (TraceWanted(SS_TRACE_PROGRESS)) {
            Trace(SS_TRACE_PROGRESS, Where(),
                  ("Waiting on worker event with timeout = " + std::to_string(kWorkerWaitMs)).c_str());
        }
        WaitForWake(kWorkerWaitMs);
        if (m_stop.load()) break;
        for (;;) {
            const bool more = ProcessNextWorkItem();
            if (m_release != nullptr) {
                bool (*release)(void*) = m_release;
                m_release = nullptr;
                // What follows may run after SS_ShutDown returned, while the
                // agent exits: under the late-work hold, or not at all.
                if (!ovxToolsLib::ovxLateWork::Enter()) ovxToolsLib::ovxLateWork::Park();
                if (release(m_releaseArgument)) {
                    ObjectGone();
                    return 0;
                }
            }
            if (!more || m_stop.load()) break;
        }
    }
    return 0;
}

}  // namespace ovxSensorServices
