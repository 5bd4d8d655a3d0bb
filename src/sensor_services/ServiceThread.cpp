#include "sensor_services/ServiceThread.h"

#include <string>

#include "ovxStatus.h"
#include "tools/ovxLateWork.h"
#include "transport/BaseSupport.h"

namespace ovxSensorServices {

namespace {

constexpr uint32_t kStopWaitMs = 60000;

// The service thread object whose thread this is, and whether its work has
// destroyed it.
thread_local const CServiceThread* t_thread = nullptr;
thread_local bool t_gone = false;

}  // namespace

bool CServiceThread::IsCurrentThread() const { return t_thread == this; }
void CServiceThread::ObjectGone() { t_gone = true; }

CServiceThread::~CServiceThread() = default;

void CServiceThread::Trace(uint32_t level, const char* where, const char* text) const {
    if (m_gate) m_gate->Trace(level, text, where);
}
void CServiceThread::Wake() const {
    if (!m_haveHandles) return;
    if (m_eventObject) {
        m_eventObject->set();
    } else {
        m_threading->SetEvent(m_event);
    }
}

void CServiceThread::WaitForWake(uint32_t timeoutMs) const {
    if (m_eventObject) {
        m_eventObject->wait(timeoutMs);
    } else {
        m_threading->WaitEvent(m_event, timeoutMs);
    }
}

uint32_t CServiceThread::Start(const ovxThreadingFunctions* threading, std::shared_ptr<ovxToolsLib::ovxAgentGate> gate,
                               const char* failureText, const char* where) {
    try {
        m_gate = std::move(gate);
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
            m_lockObject = ovxToolsLib::ovxDirectSync(threading, m_lock);
            m_eventObject = ovxToolsLib::ovxDirectEvent(threading, m_event);
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
        Trace(SS_TRACE_ERROR, where, failureText);
        m_running = false;
        Stop();
        return OVX_E_UNEXPECTED;
    }
}

uint32_t CServiceThread::Run(void* argument) {
    auto* self = static_cast<CServiceThread*>(argument);
    t_thread = self;
    const std::string process = BaseSupport::ProcessThreadText();
    const std::string name = self->Name();
    self->Trace(SS_TRACE_PROGRESS, self->Where(), ("Entering " + name + " thread: " + process).c_str());
    uint32_t result = 0;
    try {
        result = self->Loop();
    } catch (...) {
        if (!t_gone) self->Trace(SS_TRACE_PROGRESS, self->Where(), "Unknown exception caught!");
        result = OVX_E_UNEXPECTED;
    }
    if (t_gone) {
        // The object went with the session its work released; nobody waits
        // for this thread (the stop ran on it), and its exit event is gone.
        t_thread = nullptr;
        ovxToolsLib::ovxLateWork::Leave();
        return result;
    }
    self->Trace(SS_TRACE_PROGRESS, self->Where(), ("Exiting " + name + " thread: " + process).c_str());
    // After the exit event the object may be gone: only locals from here on.
    const ovxThreadingFunctions* threading = self->m_threading;
    const ovxEventHandle exitEvent = self->m_exit;
    self->m_running = false;
    t_thread = nullptr;
    threading->SetEvent(exitEvent);
    return result;
}

uint32_t CServiceThread::Stop() {
    m_stop = true;
    if (IsCurrentThread()) {
        // The thread's own work ends the object: nothing to wait for, and
        // the loop touches nothing of it once that work returns.
        CloseHandles();
        return 0;
    }
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
