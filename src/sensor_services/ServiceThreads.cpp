#include "sensor_services/ServiceThreads.h"

#include <cstring>
#include <new>
#include <string>

#include "tools/ovxError.h"
#include "transport/BaseServices.h"

namespace ovxSensorServices {

namespace {

constexpr uint32_t kInternalError = 0xC7210005u;
constexpr uint32_t kStopWaitMs = 60000;
constexpr uint32_t kWorkerWaitMs = 60000;

}  // namespace

// ---- CWorkItem

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

// ---- CServiceThread

CServiceThread::~CServiceThread() = default;

void CServiceThread::Trace(uint32_t level, const char* where, const char* text) const {
    if (m_trace != nullptr && m_trace->write != nullptr && (m_trace->levelMask & level) != 0) {
        m_trace->write(m_trace->context, level, text, where);
    }
}

void CServiceThread::Lock() const {
    if (m_haveHandles) m_threading->Lock(m_lock);
}
void CServiceThread::Unlock() const {
    if (m_haveHandles) m_threading->Unlock(m_lock);
}
void CServiceThread::Wake() const {
    if (m_haveHandles) m_threading->SetEvent(m_event);
}

uint32_t CServiceThread::Start(const ovxThreadingFunctions* threading, SS_TraceSink* trace, const char* failureText,
                               const char* where) {
    try {
        m_trace = trace;
        if (threading != nullptr) {
            uint32_t status = threading->CreateSync(ovxToolsLib::kOvxSyncRecursive, &m_lock);
            if (status == 0) {
                status = threading->CreateEvent(0, 0, &m_event);
                if (status == 0) {
                    status = threading->CreateEvent(0, 0, &m_exit);
                    if (status != 0) threading->CloseEvent(m_event);
                }
                if (status != 0) threading->CloseSync(m_lock);
            }
            if (status != 0) {
                Stop();
                return status;
            }
            m_haveHandles = true;
        }
        m_threading = threading;
        if (threading == nullptr) return 0;  // no thread without a table
        m_stop = false;
        m_running = true;
        uint32_t status = threading->CreateThread(&CServiceThread::Run, this, &m_thread);
        if (status != 0) {
            m_running = false;
            Stop();
            return status;
        }
        return 0;
    } catch (...) {
        Trace(1, where, failureText);
        m_running = false;
        Stop();
        return kInternalError;
    }
}

uint32_t CServiceThread::Run(void* argument) {
    auto* self = static_cast<CServiceThread*>(argument);
    const std::string process = CBaseServices::ProcessThreadText();
    const std::string name = self->Name();
    self->Trace(8, self->Where(), ("Entering " + name + " thread: " + process).c_str());
    uint32_t result = 0;
    try {
        result = self->Loop();
    } catch (...) {
        self->Trace(8, self->Where(), "Unknown exception caught!");
        result = kInternalError;
    }
    self->Trace(8, self->Where(), ("Exiting " + name + " thread: " + process).c_str());
    // After the exit event the object may be gone: only locals from here on.
    const ovxThreadingFunctions* threading = self->m_threading;
    const ovxEventHandle exitEvent = self->m_exit;
    self->m_running = false;
    threading->SetEvent(exitEvent);
    return result;
}

uint32_t CServiceThread::Stop() {
    m_stop = true;
    if (m_haveHandles) {
        m_threading->SetEvent(m_event);
        if (m_running.load()) m_threading->WaitEvent(m_exit, kStopWaitMs);
    }
    CloseHandles();
    return 0;
}

void CServiceThread::CloseHandles() {
    if (!m_haveHandles) return;
    m_haveHandles = false;
    m_threading->CloseEvent(m_event);
    m_threading->CloseEvent(m_exit);
    m_threading->CloseSync(m_lock);
    m_event = m_exit = 0;
    m_lock = 0;
    m_thread = 0;
}

// ---- CPulseThread

CPulseThread::~CPulseThread() { Stop(); }

uint32_t CPulseThread::Init(const ovxThreadingFunctions* threading, SS_TraceSink* trace, PulseFunction pulse,
                            uint32_t periodSeconds, void* argument) {
    m_periodSeconds = periodSeconds;
    m_pulse = pulse;
    m_argument = argument;
    return Start(threading, trace, "Unexpected failure in pulse thread initialization", "CPulseThread::Init()");
}

void CPulseThread::SetPeriod(uint32_t periodSeconds) {
    Lock();
    m_periodSeconds = periodSeconds;
    Unlock();
}

uint32_t CPulseThread::GetPeriod() const {
    Lock();
    uint32_t period = m_periodSeconds;
    Unlock();
    return period;
}

uint32_t CPulseThread::Pulse() { return m_pulse != nullptr ? m_pulse(m_argument) : 0; }

uint32_t CPulseThread::Loop() {
    // A period too long for the wait's milliseconds waits as long as it can.
    auto timeout = [this] {
        uint64_t ms = static_cast<uint64_t>(GetPeriod()) * 1000u;
        return static_cast<uint32_t>(ms > 0xFFFFFFFEu ? 0xFFFFFFFEu : ms);
    };
    uint32_t wait = timeout();
    while (!m_stop.load()) {
        Trace(8, Where(), ("Waiting on pulse event with timeout = " + std::to_string(wait)).c_str());
        m_threading->WaitEvent(m_event, wait);
        if (m_stop.load()) break;
        (void)Pulse();
        wait = timeout();
    }
    return 0;
}

// ---- CWorkerThread

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
