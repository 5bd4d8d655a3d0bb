#include "sensor_services/ServiceThread.h"

#include <string>

#include "tools/ovxTrace.h"
#include "transport/BaseSupport.h"

namespace ovxSensorServices {

namespace {

constexpr uint32_t kInternalError = 0xC7210005u;
constexpr uint32_t kStopWaitMs = 60000;

}  // namespace

CServiceThread::~CServiceThread() = default;

void CServiceThread::Trace(uint32_t level, const char* where, const char* text) const {
    ovxToolsLib::TraceLine(m_trace, level, text, where);
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
    const std::string process = BaseSupport::ProcessThreadText();
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

}  // namespace ovxSensorServices
