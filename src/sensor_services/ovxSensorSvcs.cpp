// The exported C functions. Each one finds the installed session, holds a
// reference to it for the length of the call and forwards its arguments
// unchanged; nothing thrown inside ever reaches the agent.
#include "ovxSensorSvcs.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include "sensor_services/SessionOperations.h"
#include "transport/BaseSupport.h"
#include "tools/ovxError.h"
#include "transport/mslLoader.h"

using ovxToolsLib::ovxThreadingFunctions;

namespace ovxSensorSvcs {
namespace {

// The installed session. Read without a lock on every call; written only
// under the process-wide lock by SS_Init and SS_ShutDown.
std::atomic<CSessionOperations*> g_session{nullptr};
// Calls that have read g_session but not yet taken their reference. A
// shut-down that has cleared g_session waits for this to drain before it
// drops the installed reference, so a reader never references a freed object.
std::atomic<int> g_acquiring{0};
std::atomic<SS_TraceSink*> g_trace{nullptr};
std::atomic<SessionFactory> g_factory{nullptr};
std::atomic<const ovxThreadingFunctions*> g_threading{nullptr};
// Set in a child of fork() that inherited an installed session. The session's
// threads stayed in the parent and its locks may have been copied held:
// nothing may use it. The child's SS_ShutDown forgets it and SS_Init then
// starts the child's own.
std::atomic<bool> g_inherited{false};

void MarkInheritedSession() {
    if (g_session.load() != nullptr) g_inherited.store(true);
}
struct ForkWatch {
    ForkWatch() { pthread_atfork(nullptr, nullptr, &MarkInheritedSession); }
} g_forkWatch;

const char kInitWhere[] = "ovxSensorSvcs::SS_Init()";

const ovxThreadingFunctions* Threading() {
    const ovxThreadingFunctions* table = g_threading.load();
    if (table == nullptr) {
        table = ovxToolsLib::ovxGetThreadingFunctions();
        g_threading.store(table);
    }
    return table;
}

// Holds the process-wide lock of the threading table for a scope.
class ProcessLock {
public:
    explicit ProcessLock(const ovxThreadingFunctions* table) : m_table(table) {
        if (m_table->Lock(ovxToolsLib::kOvxGlobalSyncHandle) != 0) throw std::runtime_error("process lock");
    }
    ~ProcessLock() { m_table->Unlock(ovxToolsLib::kOvxGlobalSyncHandle); }
    ProcessLock(const ProcessLock&) = delete;
    ProcessLock& operator=(const ProcessLock&) = delete;

private:
    const ovxThreadingFunctions* m_table;
};

void WaitForAcquirers() {
    while (g_acquiring.load() != 0) std::this_thread::yield();
}

// The shared wrapper of every session-bound entry.
template <typename Operation>
uint32_t SessionCall(Operation&& operation) noexcept {
    CSessionOperations* session = AcquireSession();
    if (session == nullptr) return OVX_E_NOT_INITIALIZED;
    uint32_t status;
    try {
        status = operation(*session);
    } catch (...) {
        status = OVX_E_UNEXPECTED;
    }
    try {
        session->Release();
    } catch (...) {
        status = OVX_E_UNEXPECTED;
    }
    return status;
}

// Opens the catalog while the library is being loaded so that the first
// SS_GetErrorMsg does not change the process environment behind the agent's back.
struct CatalogOpener {
    CatalogOpener() {
        try {
            ovxToolsLib::OVXError::OpenCatalog(nullptr, "ovx-ZuviDevi", "");
        } catch (...) {
        }
    }
} g_catalogOpener;

}  // namespace

SessionFactory SetSessionFactory(SessionFactory factory) { return g_factory.exchange(factory); }

CSessionOperations* AcquireSession() {
    if (g_inherited.load()) return nullptr;
    g_acquiring.fetch_add(1);
    CSessionOperations* session = g_session.load();
    if (session != nullptr) {
        try {
            session->AddRef();
        } catch (...) {
            session = nullptr;
        }
    }
    g_acquiring.fetch_sub(1);
    return session;
}

SS_TraceSink* CurrentTraceSink() { return g_trace.load(); }

}  // namespace ovxSensorSvcs

using namespace ovxSensorSvcs;
using BaseSupport::OrNull;

namespace {

uint32_t Init(const char* version, const char* localPropertyFile, const char* commSettingsFile,
              const char* sessionString1, const char* sessionString2, SS_TraceSink* trace) {
    Trace(trace, SS_TRACE_PROGRESS, "Initializing Zizozo Razarivi...", kInitWhere);
    if (version == nullptr || localPropertyFile == nullptr || commSettingsFile == nullptr ||
        sessionString1 == nullptr || std::strncmp(version, "5.", 2) != 0) {
        if (ovxToolsLib::TraceWanted(trace, SS_TRACE_ERROR)) {
            char text[512];
            std::snprintf(text, sizeof(text),
                          "...Error validating arguments in call to SS_Init(%s, %s, %s, %s, %s, 0x%08lx)",
                          OrNull(version), OrNull(localPropertyFile), OrNull(commSettingsFile), OrNull(sessionString1),
                          OrNull(sessionString2), static_cast<unsigned long>(reinterpret_cast<uintptr_t>(trace)));
            Trace(trace, SS_TRACE_ERROR, text, kInitWhere);
        }
        return OVX_E_INVALID_ARGUMENT;
    }
    if (g_session.load() != nullptr) return OVX_I_ALREADY_INITIALIZED;

    CSessionOperations* created = nullptr;
    try {
        const ovxThreadingFunctions* threading = Threading();
        g_trace.store(trace);
        SessionFactory factory = g_factory.load();
        if (factory == nullptr) {
            Trace(trace, SS_TRACE_ERROR, "No session implementation is linked into this library.", kInitWhere);
            return OVX_E_UNEXPECTED;
        }
        created = factory();
        if (created == nullptr) return OVX_E_OUT_OF_MEMORY;
        uint32_t status = created->Init(threading, trace, version, localPropertyFile, commSettingsFile, sessionString1,
                                        sessionString2);
        if (status != 0) {
            // A failed Init has already cleaned up; dropping the only
            // reference deletes the object.
            CSessionOperations* failed = created;
            created = nullptr;
            failed->Release();
            return status;
        }
        CSessionOperations* loser = nullptr;
        {
            ProcessLock hold(threading);
            if (g_session.load() != nullptr) {
                loser = created;
            } else {
                g_session.store(created);  // the factory's reference becomes the installed one
                created->OnInstalled();
            }
        }
        created = nullptr;
        if (loser != nullptr) {
            // Lost the race to another SS_Init: the session goes completely,
            // its dispatch thread (which holds a reference of its own) first.
            loser->ShutDown();
            std::function<void()> detach = loser->AgentDetacher();
            loser->Release();
            if (detach) detach();
        }
        return 0;
    } catch (...) {
        if (created != nullptr) {
            try {
                created->Release();
            } catch (...) {
            }
        }
        return OVX_E_UNEXPECTED;
    }
}

uint32_t ShutDown() {
    CSessionOperations* session = nullptr;
    try {
        ProcessLock hold(Threading());
        session = g_session.exchange(nullptr);
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
    if (session == nullptr) return 0;
    if (g_inherited.exchange(false)) {
        // A child of fork(): the parent's session is left untouched (its
        // memory stays with the child for good), its settings callback
        // taken back so that the service library no longer calls it.
        session->ForgetInChild();
        return 0;
    }
    uint32_t status = 0;
    std::function<void()> detach;
    try {
        WaitForAcquirers();
        session->ShutDown();
        detach = session->AgentDetacher();
    } catch (...) {
        status = OVX_E_UNEXPECTED;
    }
    try {
        session->Release();
        // Last: the clean-up that this release may run still writes its
        // lines; from here on nothing of the session reaches the agent.
        if (detach) detach();
    } catch (...) {
        status = OVX_E_UNEXPECTED;
    }
    return status;
}

}  // namespace

extern "C" {

uint32_t SS_Init(const char* version, const char* localPropertyFile, const char* commSettingsFile,
                 const char* sessionString1, const char* sessionString2, SS_TraceSink* trace) {
    try {
        uint32_t s = Init(version, localPropertyFile, commSettingsFile, sessionString1, sessionString2, trace);
        return s;
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
}

uint32_t SS_ShutDown(void) {
    try {
        return ShutDown();
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
}

uint32_t SS_GetErrorMsg(uint32_t code, char* buffer, uint32_t size) {
    if (buffer == nullptr || size < 2) return OVX_E_INVALID_ARGUMENT;
    try {
        std::memset(buffer, 0, size);
        ovxToolsLib::OVXError error(code);
        // Width 255 keeps the catalog's lines as they are, so the text has
        // no line break of ours in it.
        const char* text = error.GetMessageText(255);
        size_t length = std::strlen(text);
        if (length + 1 <= size) std::memcpy(buffer, text, length + 1);
        return 0;
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
}

void* SS_Allocate(uint32_t size) {
    CSessionOperations* session = AcquireSession();
    if (session == nullptr) return nullptr;
    void* memory = nullptr;
    try {
        memory = session->Allocate(size);
    } catch (...) {
        memory = nullptr;
    }
    try {
        session->Release();
    } catch (...) {
    }
    return memory;
}

void SS_Free(void* pointer) { delete[] static_cast<char*>(pointer); }

void SS_SetMSLLibPath(const char* directory) {
    if (directory == nullptr) return;
    try {
        mslLoader::SetMSLLoaderLibPath(directory);
    } catch (...) {
    }
}

void SS_SetMSLExtSigFileExtension(const char* extension) {
    if (extension == nullptr) return;
    try {
        mslLoader::SetMSLLoaderExtSigFileExtension(extension);
    } catch (...) {
    }
}

// ---- session-bound entries -------------------------------------------------

#define OVX_FORWARD(call) SessionCall([&](CSessionOperations& s) { return s.call; })

uint32_t SS_GetAgentId(char** agentId) { return OVX_FORWARD(GetAgentId(agentId)); }
uint32_t SS_SetAgentId(const char* agentId) { return OVX_FORWARD(SetAgentId(agentId)); }
uint32_t SS_SetLastGoodAgentId(const char* agentId) { return OVX_FORWARD(SetLastGoodAgentId(agentId)); }
uint32_t SS_SetLanguage(const char* language) { return OVX_FORWARD(SetLanguage(language)); }
uint32_t SS_SetGroupnameHint(const char* hint) { return OVX_FORWARD(SetGroupnameHint(hint)); }
uint32_t SS_RegisterCertificateInfo(const SS_CertificateInfo* info) {
    return OVX_FORWARD(RegisterCertificateInfo(info));
}
uint32_t SS_UnregisterCertificateInfo(void) { return OVX_FORWARD(UnregisterCertificateInfo()); }
uint32_t SS_StartAliveHeartbeats(uint32_t intervalMinutes, uint32_t durationMinutes) {
    return OVX_FORWARD(StartAliveHeartbeats(intervalMinutes, durationMinutes));
}
uint32_t SS_StopAliveHeartbeats(void) { return OVX_FORWARD(StopAliveHeartbeats()); }
uint32_t SS_ResetToPrimaryController(void) { return OVX_FORWARD(ResetRetryState()); }
uint32_t SS_GetStatistics(SS_Statistics* statistics) { return OVX_FORWARD(GetStatistics(statistics)); }
uint32_t SS_ExchangeKeys(SS_HMESSAGE message, uint32_t connectTimeout, uint32_t transferTimeout,
                         uint32_t dnsCacheTimeout, const char* keyAlgorithm, uint32_t keyLength, const char* pemText,
                         char** outAlgorithm, uint32_t* outKeyLength, char** outPemText) {
    return OVX_FORWARD(ExchangeKeys(message, connectTimeout, transferTimeout, dnsCacheTimeout, keyAlgorithm, keyLength,
                                    pemText, outAlgorithm, outKeyLength, outPemText));
}
uint32_t SS_AttachToSite(SS_HMESSAGE message, uint32_t connectTimeout, uint32_t transferTimeout,
                         uint32_t dnsCacheTimeout, const char* userName, const char* password, const char* keyAlgorithm,
                         uint32_t keyLength, const char* pemText) {
    return OVX_FORWARD(AttachToSite(message, connectTimeout, transferTimeout, dnsCacheTimeout, userName, password,
                                    keyAlgorithm, keyLength, pemText));
}
uint32_t SS_RegisterErrorCallback(SS_ErrorCallbackFn callback) { return OVX_FORWARD(RegisterErrorCallback(callback)); }

uint32_t SS_AddServer(int32_t position, const char* name, const char* url, const char* caFile,
                      const char* clientCertificateFile, const char* clientKeyFile, const char* proxy,
                      const char* proxyUser, const char* proxyPassword, const char* site, const char* description,
                      uint8_t persist) {
    return OVX_FORWARD(AddServer(position, name, url, caFile, clientCertificateFile, clientKeyFile, proxy, proxyUser,
                                 proxyPassword, site, description, persist));
}
uint32_t SS_DeleteServer(int32_t index) { return OVX_FORWARD(DeleteServer(index)); }
uint32_t SS_GetServerCount(uint32_t* count) { return OVX_FORWARD(GetServerCount(count)); }
uint32_t SS_GetServerInfo(int32_t index, char** name, char** url, char** caFile, char** clientCertificateFile,
                          char** clientKeyFile, char** proxy, char** proxyUser, char** proxyPassword, char** site,
                          char** description) {
    return OVX_FORWARD(GetServerInfo(index, name, url, caFile, clientCertificateFile, clientKeyFile, proxy, proxyUser,
                                     proxyPassword, site, description));
}
uint32_t SS_LoadServers(const char* serverListFile, uint32_t replaceExisting) {
    return OVX_FORWARD(LoadServers(serverListFile, replaceExisting != 0 ? 1 : 0));
}
uint32_t SS_LoadCommSettingsFile(const char* path) { return OVX_FORWARD(LoadCommSettingsFile(path)); }
uint32_t SS_SaveCommSettings(const char* path) { return OVX_FORWARD(SaveCommSettings(path)); }
uint32_t SS_LoadLocalSettingsFile(const char* path) { return OVX_FORWARD(LoadLocalSettingsFile(path)); }
uint32_t SS_TestCommSettings(const char* serverUrl, uint32_t timeoutMs) {
    return OVX_FORWARD(TestCommSettings(serverUrl, timeoutMs));
}
uint32_t SS_TestCommSettingsFile(const char* commSettingsFile, uint32_t timeoutMs) {
    return OVX_FORWARD(TestCommSettingsFile(commSettingsFile, timeoutMs));
}

uint32_t CreateMessage(SS_HMESSAGE* message, const char* agentId, const char* name, const char* nameSpace) {
    return OVX_FORWARD(CreateMessage(message, agentId, name, nameSpace));
}
uint32_t FreeMessage(SS_HMESSAGE message) { return OVX_FORWARD(FreeMessage(message)); }
uint32_t CreateHeartbeat(SS_HMESSAGE* message, const char* agentId, const char* name, const char* nameSpace,
                         const char* version, const char* ipAddress) {
    return OVX_FORWARD(CreateHeartbeat(message, agentId, name, nameSpace, version, ipAddress));
}
uint32_t FreeHeartbeat(SS_HMESSAGE message) { return OVX_FORWARD(FreeHeartbeat(message)); }
uint32_t SetBasicAgentInfo(SS_HMESSAGE message, const char* updateVersion, const char* lastUpdatePath,
                           uint32_t updateStatus, const char* updateStatusDescription, uint32_t agentStatus,
                           const char* agentInstallPath, const char* daemonInstallPath, const char* model,
                           const char* groupnameHint, uint8_t useLocalSettings, uint8_t registerAgent) {
    return OVX_FORWARD(SetBasicAgentInfo(message, updateVersion, lastUpdatePath, updateStatus, updateStatusDescription,
                                         agentStatus, agentInstallPath, daemonInstallPath, model, groupnameHint,
                                         useLocalSettings, registerAgent, nullptr));
}
uint32_t SetBasicAgentInfoEx(SS_HMESSAGE message, const char* updateVersion, const char* lastUpdatePath,
                             uint32_t updateStatus, const char* updateStatusDescription, uint32_t agentStatus,
                             const char* agentInstallPath, const char* daemonInstallPath, const char* model,
                             const char* groupnameHint, uint8_t useLocalSettings, uint8_t registerAgent,
                             const char* lastRestart) {
    return OVX_FORWARD(SetBasicAgentInfo(message, updateVersion, lastUpdatePath, updateStatus, updateStatusDescription,
                                         agentStatus, agentInstallPath, daemonInstallPath, model, groupnameHint,
                                         useLocalSettings, registerAgent, lastRestart != nullptr ? lastRestart : ""));
}
uint32_t SetAgentInfo(SS_HMESSAGE message, const char* updateVersion, const char* agentStatus, uint32_t unused,
                      const char* agentInstallPath, const char* daemonInstallPath) {
    return OVX_FORWARD(SetAgentInfo(message, updateVersion, agentStatus, unused, agentInstallPath, daemonInstallPath));
}
uint32_t SetHostInfo(SS_HMESSAGE message, const char* hostName, const char* ipAddress, const char* os, uint32_t unused,
                     const char* netbiosName, const char* netbiosDomain, const char* directoryObjectId,
                     const char* directoryGroupId) {
    return OVX_FORWARD(SetHostInfo(message, hostName, ipAddress, os, unused, netbiosName, netbiosDomain,
                                   directoryObjectId, directoryGroupId));
}
uint32_t AddModuleInfo(SS_HMESSAGE message, const char* name, const char* version, uint32_t status,
                       SS_HMODULE* module) {
    return OVX_FORWARD(AddModuleInfo(message, name, version, status, module));
}
uint32_t AddModuleInfoParams(SS_HMODULE module, const char* xmlText, uint32_t xmlLength) {
    return OVX_FORWARD(AddModuleInfoParams(module, xmlText, xmlLength));
}
uint32_t AddSchemaInfo(SS_HMESSAGE message, const char* name, const char* nameSpace, const char* version, uint8_t root,
                       uint8_t cpeEditable, uint8_t overwrite, uint8_t getFromAgent) {
    return OVX_FORWARD(AddSchemaInfo(message, name, nameSpace, version, root, cpeEditable, overwrite, getFromAgent));
}
uint32_t AddAgentParams(SS_HMESSAGE message, const char* xmlText, uint32_t xmlLength) {
    return OVX_FORWARD(AddAgentParams(message, xmlText, xmlLength));
}
uint32_t AddOptAgentProperties(SS_HMESSAGE message, const char* xmlText, uint32_t xmlLength, char* buffer,
                               uint32_t* length) {
    return OVX_FORWARD(AddSetPolicyRequest(message, xmlText, xmlLength, buffer, length));
}
uint32_t AddAgentPolicyInfo(SS_HMESSAGE message, const char* token, const char* name, const char* nameSpace,
                            const char* /*unused*/, char* buffer, uint32_t* length) {
    return OVX_FORWARD(AddGetPolicyRequest(message, token, name, nameSpace, nullptr, buffer, length));
}
uint32_t AddGetPolicyRequest(SS_HMESSAGE message, const char* token, const char* name, const char* nameSpace,
                             const char* schemaVersion, char* buffer, uint32_t* length) {
    return OVX_FORWARD(AddGetPolicyRequest(message, token, name, nameSpace, schemaVersion, buffer, length));
}
uint32_t AddSetPolicyRequest(SS_HMESSAGE message, const char* xmlText, uint32_t xmlLength, char* buffer,
                             uint32_t* length) {
    return OVX_FORWARD(AddSetPolicyRequest(message, xmlText, xmlLength, buffer, length));
}
uint32_t AddSetPolicyResponse(SS_HMESSAGE message, const char* name, const char* nameSpace, const char* schemaVersion,
                              uint32_t code, const char* text, const char* token, const char* requestId,
                              uint32_t requestIdLength) {
    return OVX_FORWARD(
        AddSetPolicyResponse(message, name, nameSpace, schemaVersion, code, text, token, requestId, requestIdLength));
}
uint32_t AddGetSchemaRequest(SS_HMESSAGE message, const char* name, const char* nameSpace, const char* version,
                             char* buffer, uint32_t* length) {
    return OVX_FORWARD(AddGetSchemaRequest(message, name, nameSpace, version, buffer, length));
}
uint32_t AddSetSchemaRequest(SS_HMESSAGE message, const char* name, const char* nameSpace, const char* version,
                             uint8_t flag, const char* schemaText, uint32_t schemaLength, char* buffer,
                             uint32_t* length) {
    return OVX_FORWARD(
        AddSetSchemaRequest(message, name, nameSpace, version, flag, schemaText, schemaLength, buffer, length));
}
uint32_t AddGetSchemaResponse(SS_HMESSAGE message, const char* name, const char* nameSpace, const char* version,
                              uint32_t code, const char* text, uint8_t flag, const char* schemaText,
                              uint32_t schemaLength, const char* requestId, uint32_t requestIdLength) {
    return OVX_FORWARD(AddGetSchemaResponse(message, name, nameSpace, version, code, text, flag, schemaText,
                                            schemaLength, requestId, requestIdLength));
}
uint32_t AddSetSchemaResponse(SS_HMESSAGE message, const char* name, const char* nameSpace, const char* version,
                              uint32_t code, const char* text, const char* requestId, uint32_t requestIdLength) {
    return OVX_FORWARD(AddSetSchemaResponse(message, name, nameSpace, version, code, text, requestId, requestIdLength));
}

uint32_t PostHeartbeat(SS_HMESSAGE message, char* buffer, uint32_t* length) {
    return OVX_FORWARD(PostHeartbeat(message, buffer, length));
}
uint32_t PostPing(char* buffer, uint32_t* length) { return OVX_FORWARD(PostPing(buffer, length)); }

uint32_t RegisterGetPolicyResponse(SS_GetPolicyResponseFn callback) {
    return OVX_FORWARD(RegisterGetPolicyResponse(callback));
}
uint32_t RegisterSetPolicyResponse(SS_SetPolicyResponseFn callback) {
    return OVX_FORWARD(RegisterSetPolicyResponse(callback));
}
uint32_t RegisterGetSchemaResponse(SS_GetSchemaResponseFn callback) {
    return OVX_FORWARD(RegisterGetSchemaResponse(callback));
}
uint32_t RegisterSetSchemaResponse(SS_SetSchemaResponseFn callback) {
    return OVX_FORWARD(RegisterSetSchemaResponse(callback));
}
uint32_t RegisterGetSchemaRequest(SS_GetSchemaRequestFn callback) {
    return OVX_FORWARD(RegisterGetSchemaRequest(callback));
}
uint32_t RegisterSetSchemaRequest(SS_SetSchemaRequestFn callback) {
    return OVX_FORWARD(RegisterSetSchemaRequest(callback));
}
uint32_t RegisterGenericResponse(SS_GenericResponseFn callback) {
    return OVX_FORWARD(RegisterGenericResponse(callback));
}
uint32_t RegisterResponseComplete(SS_ResponseCompleteFn callback) {
    return OVX_FORWARD(RegisterResponseComplete(callback));
}
uint32_t RegisterPingResponse(SS_PingResponseFn callback) { return OVX_FORWARD(RegisterPingResponse(callback)); }
uint32_t RegisterCommSettingsResponse(SS_CommSettingsResponseFn callback) {
    return OVX_FORWARD(RegisterCommSettingsResponse(callback));
}
uint32_t RegisterGroupSettingsResponse(SS_GroupSettingsResponseFn callback) {
    return OVX_FORWARD(RegisterCommSettingsResponse(callback));
}

#undef OVX_FORWARD

}  // extern "C"
