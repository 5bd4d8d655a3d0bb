// The transport half of the session: loads the session configuration
// services library, opens its session and default destination, reads the
// transport timeouts, owns the retry schedule's use and runs the dispatch
// thread, which waits for work or for the next retry time and hands the
// chosen server to the derived class's SendPendingData.
#ifndef OVX_TRANSPORT_BASESERVICES_H
#define OVX_TRANSPORT_BASESERVICES_H

#include <atomic>
#include <chrono>
#include <functional>
#include <cstdint>
#include <memory>
#include <string>

#include "ovxTraceSink.h"
#include "tools/asThreadingDefault.h"
#include "tools/ovxAgentGate.h"
#include "transport/svcRetryState.h"

class CBaseServices : public svcRetryOwner {
public:
    CBaseServices();
    CBaseServices(const CBaseServices&) = delete;
    CBaseServices& operator=(const CBaseServices&) = delete;
    // Unloads the service library if Init loaded it.
    ~CBaseServices() override;

    virtual uint32_t Init(const char* role, svcRetryState* retryState,
                          const ovxToolsLib::ovxThreadingFunctions* threading, SS_TraceSink* trace, const char* version,
                          const char* localPropertyFile, const char* settingsFile, const char* sessionString1,
                          const char* sessionString2, bool openDestination, bool openListener);
    // Destination and listener both opened, each from its own settings file.
    virtual uint32_t Init(const char* role, svcRetryState* retryState,
                          const ovxToolsLib::ovxThreadingFunctions* threading, SS_TraceSink* trace, const char* version,
                          const char* localPropertyFile, const char* commSettingsFile, const char* listenerSettingsFile,
                          const char* sessionString1, const char* sessionString2);
    virtual uint32_t ResetRetryState();
    virtual uint32_t TestCommSettings(const char* serverUrl, uint32_t timeoutMs, const char* section);
    virtual uint32_t TestCommSettingsFile(const char* commSettingsFile, uint32_t timeoutMs, const char* section);
    // New data is queued: dispatch at once when idle; a scheduled retry
    // keeps its time.
    virtual uint32_t RequestDispatch();
    // A request was given up on every server. Called on the dispatch thread
    // after the session lock is released, so that it may call the agent.
    virtual void OnRetryRequestFailed() {}
    virtual uint32_t Cleanup();
    virtual uint32_t LoadSettings(const char* role);
    virtual uint32_t LoadDestinationSettings(int32_t destination, const char* role);
    virtual uint32_t LoadListenerSettings(int32_t listener, const char* role);
    virtual uint32_t SendPendingData(int32_t serverIndex) = 0;

    // Stops the dispatch thread: waits up to shutdownTimeout for it to end.
    // Returns whether it ended in time.
    bool RequestStop();
    // Returns what cuts the session off from its agent, to be run once the
    // caller dropped its reference: no trace line or callback starts from
    // then on, and those running on other threads are waited for until
    // `deadline`. A dispatch thread still running is left to end alone,
    // with the process's exit guarded against it.
    std::function<void()> Detacher(std::chrono::steady_clock::time_point deadline) const;
    uint32_t AddRef();
    // The last release cleans up and deletes the object.
    uint32_t Release();

    int32_t DefaultDestination() const override { return m_defaultDestination; }
    int32_t DefaultListener() const { return m_defaultListener; }
    // The agent's sink; read only through the gate.
    const std::shared_ptr<ovxToolsLib::ovxAgentGate>& Gate() const { return m_gate; }
    bool IsDestinationOpen() const { return m_destinationOpen; }
    bool IsListenerOpen() const { return m_listenerOpen; }
    // The transport timeouts of the settings, in milliseconds, in this order.
    enum Timeout : size_t { kConnectTimeout, kTransferTimeout, kDnsCacheTimeout, kShutdownTimeout, kTimeoutCount };
    const uint32_t* Timeouts() const { return m_timeouts; }
    uint32_t ShutdownTimeout() const { return m_timeouts[kShutdownTimeout]; }
    const std::string& Version() const { return m_version; }
    int32_t ReferenceCount() const;
    bool HasDispatchThread() const { return m_dispatchRunning.load(); }
    // True from the moment a shut-down asks the dispatch thread to stop.
    bool IsStopping() const { return m_stop.load(); }

    void Trace(uint32_t level, const char* where, const char* text) const override;
    // Whether a line at `level` would reach the agent: worth formatting.
    bool TraceWanted(uint32_t level) const override;

    // Holds the session lock for a scope.
    class LockGuard {
    public:
        explicit LockGuard(const CBaseServices& services)
            : m_hold(services.m_lockTable.load(), services.m_lock, services.m_lockObject.get()) {}

    private:
        ovxToolsLib::ovxSyncGuard m_hold;
    };

protected:
    svcRetryState* RetryState() const { return m_retryState; }
    // Called on the session's own threads right after a call that may have
    // blocked past a shut-down (a post): parks the thread if the process is
    // exiting, so that it touches nothing exit destroys.
    void ContinueAfterBlockingCall() const;
    const ovxToolsLib::ovxThreadingFunctions* Threading() const { return m_threading; }
    void WakeDispatch() const;

private:
    uint32_t InitSteps(const char* role, svcRetryState* retryState, const ovxToolsLib::ovxThreadingFunctions* threading,
                       SS_TraceSink* trace, const char* version, const char* localPropertyFile,
                       const char* destinationFile, const char* listenerFile, const char* sessionString1,
                       const char* sessionString2, bool openDestination, bool openListener);
    // The steps of InitSteps that can fail; each leaves what it made for
    // Cleanup() when it does, except CreateSyncs, which undoes its own.
    uint32_t CreateSyncs(const ovxToolsLib::ovxThreadingFunctions* threading);
    // Opens the service library's session and adds the default destination
    // (kDestination) or the default listener (kListener) from its files;
    // Close removes it and shuts that session down.
    struct OpenEnd;
    static const OpenEnd kDestination, kListener;
    uint32_t Open(const OpenEnd& end, SS_TraceSink* trace, const char* localPropertyFile, const char* settingsFile,
                  const char* sessionString1, const char* sessionString2);
    uint32_t Close(const OpenEnd& end);
    uint32_t StartDispatch(const ovxToolsLib::ovxThreadingFunctions* threading);
    static uint32_t DispatchThread(void* self);
    uint32_t DispatchLoop();
    // One turn of the schedule under the lock; a give-up is reported after
    // the lock is released.
    void NextSchedule(uint32_t result, uint32_t* timeout, int32_t* index);

    bool m_destinationOpen = false;
    bool m_listenerOpen = false;
    svcRetryState* m_retryState = nullptr;
    int32_t m_defaultDestination = -1;
    int32_t m_defaultListener = -1;
    const ovxToolsLib::ovxThreadingFunctions* m_threading = nullptr;
    // The table the lock is taken through while the lock exists.
    std::atomic<const ovxToolsLib::ovxThreadingFunctions*> m_lockTable{nullptr};
    // The lock's and the dispatch event's objects when the table is the
    // library's own, reached without a look-up per call; set with the
    // handles, before any other thread uses them, and kept to the end.
    std::shared_ptr<ovxToolsLib::jsSyncBase> m_lockObject;
    std::shared_ptr<ovxToolsLib::jsEvent> m_dispatchEventObject;
    std::shared_ptr<ovxToolsLib::ovxAgentGate> m_gate;
    ovxToolsLib::ovxSyncHandle m_lock = 0;
    ovxToolsLib::ovxEventHandle m_dispatchEvent = 0;
    ovxToolsLib::ovxThreadHandle m_dispatchThread = 0;
    ovxToolsLib::ovxEventHandle m_exitEvent = 0;
    std::atomic<bool> m_stop{true};
    uint32_t m_timeouts[kTimeoutCount] = {0, 0, 60000, 30000};
    // Counted without the session lock: every exported call takes and gives
    // back a reference, and the lock taken through the threading table for
    // each would cost more than most builders themselves.
    std::atomic<int32_t> m_references{0};
    std::string m_version;
    bool m_libraryLoaded = false;
    std::atomic<bool> m_dispatchRunning{false};
};

#endif  // OVX_TRANSPORT_BASESERVICES_H
