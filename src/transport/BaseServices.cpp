#include "transport/BaseServices.h"

#include <cerrno>
#include <cstdlib>
#include <string>

#include "ovxStatus.h"
#include "tools/ovxLateWork.h"
#include "tools/ovxTrace.h"
#include "tools/xsnprintf.h"
#include "transport/BaseSupport.h"
#include "transport/mslLoader.h"
#include "transport/mslLoader_ovxSessionConfigSvcs.h"

using BaseSupport::OrNull;
using BaseSupport::ParseDecimal;
using BaseSupport::ProcessThreadText;
using BaseSupport::SectionForRole;
using mslLoader_ovxSessionConfigSvcs::Scs;
using mslLoader_ovxSessionConfigSvcs::ScsFunctionTable;

namespace {

const char kInitWhere[] = "CBaseServices::Init()";
// The version of the service library's interface this session speaks, given
// to its SCS_Init and SCS_SERVER_Init.
const char kScsInterfaceVersion[] = "5.9";

// The session whose dispatch thread the calling thread is, if it is one.
thread_local const CBaseServices* t_dispatching = nullptr;
const char kDispatchWhere[] = "CBaseServices::_DispatchThread()";
// The settings keys of the timeouts, in the order of CBaseServices::Timeout.
const char* const kTimeoutKeys[CBaseServices::kTimeoutCount] = {"connectTimeout", "transferTimeout", "dnsCacheTimeout",
                                                                "shutdownTimeout"};

}  // namespace

CBaseServices::CBaseServices() = default;

CBaseServices::~CBaseServices() {
    if (m_libraryLoaded) mslLoader_ovxSessionConfigSvcs::UnloadOvxSessionConfigSvcs();
    // The service library, its loader and the signature check write through
    // the routed sink: it must not lead here any more.
    if (m_gate) ovxToolsLib::ovxStopRoutingTo(m_gate.get());
}

void CBaseServices::Trace(uint32_t level, const char* where, const char* text) const {
    if (m_gate) m_gate->Trace(level, text, where);
}

bool CBaseServices::TraceWanted(uint32_t level) const { return m_gate && m_gate->Wants(level); }

int32_t CBaseServices::ReferenceCount() const { return m_references.load(std::memory_order_acquire); }

uint32_t CBaseServices::AddRef() {
    return static_cast<uint32_t>(m_references.fetch_add(1, std::memory_order_relaxed) + 1);
}

uint32_t CBaseServices::Release() {
    // Whatever this holder did with the session happens before the last
    // holder's clean-up.
    const int32_t count = m_references.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (count == 0) {
        Cleanup();
        delete this;
    }
    return static_cast<uint32_t>(count < 0 ? 0 : count);
}

uint32_t CBaseServices::Init(const char* role, svcRetryState* retryState,
                             const ovxToolsLib::ovxThreadingFunctions* threading, SS_TraceSink* trace,
                             const char* version, const char* localPropertyFile, const char* settingsFile,
                             const char* sessionString1, const char* sessionString2, bool openDestination,
                             bool openListener) {
    return InitSteps(role, retryState, threading, trace, version, localPropertyFile, settingsFile, settingsFile,
                     sessionString1, sessionString2, openDestination, openListener);
}

uint32_t CBaseServices::Init(const char* role, svcRetryState* retryState,
                             const ovxToolsLib::ovxThreadingFunctions* threading, SS_TraceSink* trace,
                             const char* version, const char* localPropertyFile, const char* commSettingsFile,
                             const char* listenerSettingsFile, const char* sessionString1, const char* sessionString2) {
    return InitSteps(role, retryState, threading, trace, version, localPropertyFile, commSettingsFile,
                     listenerSettingsFile, sessionString1, sessionString2, true, true);
}

uint32_t CBaseServices::CreateSyncs(const ovxToolsLib::ovxThreadingFunctions* threading) {
    uint32_t status = threading->CreateSync(ovxToolsLib::kOvxSyncRecursive, &m_lock);
    if (status == 0) {
        status = threading->CreateEvent(0, 0, &m_dispatchEvent);
        if (status == 0) {
            status = threading->CreateEvent(0, 0, &m_exitEvent);
            if (status != 0) threading->CloseEvent(m_dispatchEvent);
        }
        if (status != 0) threading->CloseSync(m_lock);
    }
    if (status != 0) return status;
    m_lockObject = ovxToolsLib::ovxDirectSync(threading, m_lock);
    m_dispatchEventObject = ovxToolsLib::ovxDirectEvent(threading, m_dispatchEvent);
    m_threading = threading;
    m_lockTable = threading;
    return 0;
}

void CBaseServices::WakeDispatch() const {
    if (m_dispatchEventObject) {
        m_dispatchEventObject->set();
    } else {
        m_threading->SetEvent(m_dispatchEvent);
    }
}

// What the default destination and the default listener differ in: the
// service library's calls that open and close them, the texts of their
// failures, and the members that record what is open.
struct CBaseServices::OpenEnd {
    decltype(ScsFunctionTable::SCS_Init) ScsFunctionTable::*init;
    const char* initFailure;
    decltype(ScsFunctionTable::SCS_AddDestinationFiles) ScsFunctionTable::*addFiles;
    const char* addFailure;
    decltype(ScsFunctionTable::SCS_RemoveDestination) ScsFunctionTable::*remove;
    const char* removeFailure;
    decltype(ScsFunctionTable::SCS_ShutDown) ScsFunctionTable::*shutDown;
    bool CBaseServices::*open;
    int32_t CBaseServices::*id;
};

const CBaseServices::OpenEnd CBaseServices::kDestination = {
    &ScsFunctionTable::SCS_Init,
    "SCS_Init(%s, %s, %s, 0x%08lx) failed",
    &ScsFunctionTable::SCS_AddDestinationFiles,
    "Unable to add default destination where local property file = '%s' and comm settings file = '%s'",
    &ScsFunctionTable::SCS_RemoveDestination,
    "Unable to remove default destination %d",
    &ScsFunctionTable::SCS_ShutDown,
    &CBaseServices::m_destinationOpen,
    &CBaseServices::m_defaultDestination};
const CBaseServices::OpenEnd CBaseServices::kListener = {
    &ScsFunctionTable::SCS_SERVER_Init,
    "SCS_SERVER_Init(%s, %s, %s, 0x%08lx) failed",
    &ScsFunctionTable::SCS_SERVER_AddListenerFiles,
    "Unable to add default listener where local property file = '%s' and listener settings file = '%s'",
    &ScsFunctionTable::SCS_SERVER_RemoveListener,
    "Unable to remove default listener %d",
    &ScsFunctionTable::SCS_SERVER_ShutDown,
    &CBaseServices::m_listenerOpen,
    &CBaseServices::m_defaultListener};

uint32_t CBaseServices::Open(const OpenEnd& end, SS_TraceSink* trace, const char* localPropertyFile,
                             const char* settingsFile, const char* sessionString1, const char* sessionString2) {
    char text[1024];
    uint32_t status =
        (Scs().*end.init)(kScsInterfaceVersion, sessionString1, sessionString2, ovxToolsLib::ovxRoutedTraceSink());
    if (status != 0) {
        ovxToolsLib::xsnprintf(text, sizeof text, end.initFailure, kScsInterfaceVersion, OrNull(sessionString1),
                               OrNull(sessionString2), static_cast<unsigned long>(reinterpret_cast<uintptr_t>(trace)));
        Trace(SS_TRACE_ERROR, kInitWhere, text);
        return status;
    }
    this->*end.open = true;
    status = (Scs().*end.addFiles)(localPropertyFile, settingsFile, &(this->*end.id));
    if (status != 0) {
        ovxToolsLib::xsnprintf(text, sizeof text, end.addFailure, OrNull(localPropertyFile), OrNull(settingsFile));
        Trace(SS_TRACE_ERROR, kInitWhere, text);
        this->*end.id = -1;
    }
    return status;
}

// The dispatch thread holds a reference of its own.
uint32_t CBaseServices::StartDispatch(const ovxToolsLib::ovxThreadingFunctions* threading) {
    m_stop = false;
    AddRef();
    m_dispatchRunning = true;
    uint32_t status = threading->CreateThread(&CBaseServices::DispatchThread, this, &m_dispatchThread);
    if (status != 0) {
        m_dispatchRunning = false;
        m_stop = true;
        m_references.fetch_sub(1, std::memory_order_relaxed);
    }
    return status;
}

uint32_t CBaseServices::InitSteps(const char* role, svcRetryState* retryState,
                                  const ovxToolsLib::ovxThreadingFunctions* threading, SS_TraceSink* trace,
                                  const char* version, const char* localPropertyFile, const char* destinationFile,
                                  const char* listenerFile, const char* sessionString1, const char* sessionString2,
                                  bool openDestination, bool openListener) {
    try {
        // 1. The lock and the two events.
        if (threading != nullptr) {
            uint32_t status = CreateSyncs(threading);
            if (status != 0) return status;
        }
        // 2. The sink and the version. Everything this session writes to the
        // agent passes its gate; the loader, the signature check and the
        // service library write through the routed sink, which leads to it.
        m_gate = std::make_shared<ovxToolsLib::ovxAgentGate>(trace);
        ovxToolsLib::ovxRouteTraceTo(m_gate);
        m_version = version != nullptr ? version : "";
        mslLoader::SetTraceSink(ovxToolsLib::ovxRoutedTraceSink());
        // 3. The service library. A load that failed after it was counted is
        // unloaded with the rest of the session, which leaves the loader as
        // it was before this call.
        uint32_t status = mslLoader_ovxSessionConfigSvcs::LoadOvxSessionConfigSvcs(
            mslLoader_ovxSessionConfigSvcs::kLibraryName, &m_libraryLoaded);
        if (status != 0) Trace(SS_TRACE_ERROR, kInitWhere, "Failure loading SCS support library");
        // 4. The session and the default destination; 5. the listener.
        if (status == 0 && openDestination) {
            status = Open(kDestination, trace, localPropertyFile, destinationFile, sessionString1, sessionString2);
        }
        if (status == 0 && openListener) {
            status = Open(kListener, trace, localPropertyFile, listenerFile, sessionString1, sessionString2);
        }
        // 6. The retry schedule.
        if (status == 0) {
            m_retryState = retryState;
            status = retryState != nullptr ? retryState->Init(role, this) : OVX_E_INVALID_ARGUMENT;
            if (status != 0) Trace(SS_TRACE_ERROR, kInitWhere, "Failed to initialize the retry state object");
        }
        if (status != 0) {
            Cleanup();
            return status;
        }
        // 7. The timeouts.
        if (LoadSettings(role) != 0) {
            Trace(SS_TRACE_WARNING, kInitWhere, "Failed to load settings from local property file");
        }
        // 8. The dispatch thread.
        if (threading == nullptr) return 0;
        status = StartDispatch(threading);
        if (status != 0) Cleanup();
        return status;
    } catch (...) {
        Trace(SS_TRACE_ERROR, kInitWhere, "Unexpected failure in base services initialization");
        Cleanup();
        return OVX_E_UNEXPECTED;
    }
}

uint32_t CBaseServices::LoadSettings(const char* role) {
    if (m_defaultDestination != -1) {
        uint32_t status = LoadDestinationSettings(m_defaultDestination, role);
        if (status != 0) return status;
    }
    if (m_defaultListener != -1) return LoadListenerSettings(m_defaultListener, role);
    return 0;
}

uint32_t CBaseServices::LoadDestinationSettings(int32_t destination, const char* role) {
    const std::string section = SectionForRole(role != nullptr ? role : "");
    for (size_t i = 0; i < kTimeoutCount; ++i) {
        char* value = nullptr;
        if (Scs().SCS_RetrieveLocalSettingsValue(destination, section.c_str(), kTimeoutKeys[i], &value) == 0 &&
            value != nullptr) {
            m_timeouts[i] = ParseDecimal(value);
        }
        if (value != nullptr) Scs().SCS_Free(value);
    }
    return 0;
}

uint32_t CBaseServices::LoadListenerSettings(int32_t, const char*) { return 0; }

uint32_t CBaseServices::ResetRetryState() {
    {
        LockGuard hold(*this);
        if (m_retryState != nullptr) m_retryState->Reset();
    }
    if (m_threading != nullptr) WakeDispatch();
    return 0;
}

uint32_t CBaseServices::TestCommSettings(const char* serverUrl, uint32_t timeoutMs, const char* section) {
    return Scs().SCS_TestCommSettings(serverUrl, timeoutMs, section);
}

uint32_t CBaseServices::TestCommSettingsFile(const char* commSettingsFile, uint32_t timeoutMs, const char* section) {
    return Scs().SCS_TestCommSettingsFile(commSettingsFile, timeoutMs, section);
}

uint32_t CBaseServices::RequestDispatch() {
    uint32_t timeout = svcRetryState::kInfinite;
    int32_t index = svcRetryState::kNoServer;
    try {
        {
            LockGuard hold(*this);
            if (m_retryState != nullptr) {
                m_retryState->GetSchedule(&timeout, &index);
                m_retryState->SetDispatchPending(true);
            }
        }
        if (m_threading != nullptr) {
            // The dispatch thread sends. Once it has ended (the session is
            // shutting down) nothing is sent any more, and never on the
            // caller's thread: what waits goes with the session.
            if (m_dispatchRunning.load() && timeout == svcRetryState::kInfinite) WakeDispatch();
            return 0;
        }
        if (index < 0) return OVX_E_NOTHING_OPEN;
        return SendPendingData(index);
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
}

bool CBaseServices::RequestStop() {
    m_stop = true;
    if (m_threading == nullptr) return true;
    WakeDispatch();
    // Asked from the dispatch thread itself (an agent callback that shuts
    // the session down): it cannot wait for its own end. It stops when the
    // callback returns, and its reference keeps the session until then.
    if (t_dispatching == this) return false;
    if (m_dispatchRunning.load()) m_threading->WaitEvent(m_exitEvent, ShutdownTimeout());
    return !m_dispatchRunning.load();
}

std::function<void()> CBaseServices::Detacher(std::chrono::steady_clock::time_point deadline) const {
    // A dispatch thread still in a post outlives SS_ShutDown: the process
    // may exit before it ends, and its last work must not race with exit.
    const bool threadLeft = m_dispatchRunning.load();
    std::shared_ptr<ovxToolsLib::ovxAgentGate> gate = m_gate;
    return [gate, deadline, threadLeft] {
        if (gate) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            gate->Close(left.count() > 0 ? static_cast<uint32_t>(left.count()) : 0);
        }
        if (threadLeft) ovxToolsLib::ovxLateWork::ArmExitHandler();
    };
}

// The removal warning carries Init's location, as the lines of the step it
// undoes do.
uint32_t CBaseServices::Close(const OpenEnd& end) {
    this->*end.open = false;
    int32_t& id = this->*end.id;
    if (id != -1 && (Scs().*end.remove)(id) != 0) {
        char text[128];
        ovxToolsLib::xsnprintf(text, sizeof text, end.removeFailure, id);
        Trace(SS_TRACE_WARNING, kInitWhere, text);
    }
    id = -1;
    return (Scs().*end.shutDown)();
}

// Undoes Init's steps in reverse: the listener, then the destination. The
// answer is the status of the last shut-down made: the destination's when it
// was open, else the listener's.
uint32_t CBaseServices::Cleanup() {
    uint32_t status = 0;
    if (m_listenerOpen) status = Close(kListener);
    if (m_destinationOpen) status = Close(kDestination);
    if (m_threading != nullptr && !m_dispatchRunning.load()) {
        // With the thread gone nothing else waits on or signals the events.
        m_threading->SetEvent(m_dispatchEvent);
        m_threading->CloseEvent(m_dispatchEvent);
        m_threading->CloseSync(m_lock);
        m_threading->CloseEvent(m_exitEvent);
        m_lockTable = nullptr;
        m_threading = nullptr;
    }
    return status;
}

uint32_t CBaseServices::DispatchThread(void* argument) {
    auto* self = static_cast<CBaseServices*>(argument);
    return self->DispatchLoop();
}

void CBaseServices::NextSchedule(uint32_t result, uint32_t* timeout, int32_t* index) {
    bool gaveUp = false;
    {
        LockGuard hold(*this);
        if (m_retryState != nullptr) {
            m_retryState->NextState(result, timeout, index);
            gaveUp = m_retryState->TakeGaveUp();
        }
    }
    if (gaveUp) OnRetryRequestFailed();
}

uint32_t CBaseServices::DispatchLoop() {
    t_dispatching = this;
    const std::string process = ProcessThreadText();
    Trace(SS_TRACE_PROGRESS, kDispatchWhere, ("Entering dispatch thread: " + process).c_str());
    uint32_t result = 0;
    try {
        uint32_t timeout = svcRetryState::kInfinite;
        int32_t index = svcRetryState::kNoServer;
        NextSchedule(0, &timeout, &index);
        for (;;) {
            if (TraceWanted(SS_TRACE_PROGRESS)) {
                Trace(SS_TRACE_PROGRESS, kDispatchWhere,
                      ("Waiting on dispatch event with timeout = " + std::to_string(static_cast<int32_t>(timeout)))
                          .c_str());
            }
            if (m_stop.load()) break;
            if (m_dispatchEventObject) {
                m_dispatchEventObject->wait(timeout);
            } else {
                m_threading->WaitEvent(m_dispatchEvent, timeout);
            }
            if (m_stop.load()) break;
            if (index < 0) {
                Trace(SS_TRACE_PROGRESS, kDispatchWhere, "Cannot dispatch data. No server found.");
                result = OVX_E_NOTHING_OPEN;
            } else {
                if (TraceWanted(SS_TRACE_PROGRESS)) {
                    Trace(SS_TRACE_PROGRESS, kDispatchWhere,
                          ("Dispatching data to server index #" + std::to_string(index)).c_str());
                }
                Trace(SS_TRACE_PROGRESS, kDispatchWhere, "Calling service SendPendingData.");
                result = SendPendingData(index);
                ContinueAfterBlockingCall();
                Trace(SS_TRACE_PROGRESS, kDispatchWhere, "Returned from service SendPendingData.");
            }
            if (m_stop.load()) break;
            NextSchedule(result, &timeout, &index);
        }
    } catch (...) {
        Trace(SS_TRACE_PROGRESS, kDispatchWhere, "Unknown exception caught!");
        result = OVX_E_UNEXPECTED;
    }
    ContinueAfterBlockingCall();
    Trace(SS_TRACE_PROGRESS, kDispatchWhere, ("Exiting dispatch thread: " + process).c_str());
    // The thread's reference goes first: while SS_ShutDown waits on the exit
    // event it holds a reference of its own, so the object is deleted on its
    // thread, not here. Only after a stop that gave up waiting is this
    // release the last one; the exit event is then set on a closed handle,
    // which the threading service refuses harmlessly.
    const ovxToolsLib::ovxThreadingFunctions* threading = m_threading;
    const ovxToolsLib::ovxEventHandle exitEvent = m_exitEvent;
    m_dispatchRunning = false;
    Release();
    threading->SetEvent(exitEvent);
    t_dispatching = nullptr;
    ovxToolsLib::ovxLateWork::Leave();
    return result;
}

void CBaseServices::ContinueAfterBlockingCall() const {
    // Once a shut-down has been asked for, what the dispatch thread does
    // next may run after SS_ShutDown returned and while the process exits:
    // it runs under the late-work hold (given back when the thread ends), or
    // not at all.
    if (t_dispatching != this || !m_stop.load()) return;
    if (!ovxToolsLib::ovxLateWork::Enter()) ovxToolsLib::ovxLateWork::Park();
}
