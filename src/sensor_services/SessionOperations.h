// The operations that the exported C functions forward to the one session
// object. The session class derives from this interface; the frame only
// knows it through these slots, so the exported layer can be built and
// tested before (and independently of) the session it drives.
#ifndef OVX_SENSOR_SERVICES_SESSIONOPERATIONS_H
#define OVX_SENSOR_SERVICES_SESSIONOPERATIONS_H

#include <cstdint>
#include <functional>
#include <string>

#include "ovxSensorSvcs.h"
#include "tools/asThreadingDefault.h"
#include "tools/ovxTrace.h"

class CSessionOperations {
public:
    CSessionOperations() = default;
    CSessionOperations(const CSessionOperations&) = delete;
    CSessionOperations& operator=(const CSessionOperations&) = delete;

    // Reference counting: the installed session pointer holds one reference,
    // every exported call in progress another. The last Release cleans the
    // object up and deletes it.
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;

    // Called once by SS_Init on a freshly made object. A non-zero status
    // means the object cleaned itself up and is deleted by the caller.
    virtual uint32_t Init(const ovxToolsLib::ovxThreadingFunctions* threading, SS_TraceSink* trace, const char* version,
                          const char* localPropertyFile, const char* commSettingsFile, const char* sessionString1,
                          const char* sessionString2) = 0;
    // SS_ShutDown, before the installed reference is released: clear the
    // callbacks that shut-down clears and stop the dispatch thread.
    virtual uint32_t ShutDown() = 0;
    // The object became the installed session (it won any race of SS_Init).
    virtual void OnInstalled() {}
    // Asked for by SS_ShutDown after ShutDown() and before it drops its
    // reference, run after: cuts the session off from its agent, so that
    // nothing of it reaches the agent once SS_ShutDown returns (the clean-up
    // that the last reference runs still writes its lines before that).
    virtual std::function<void()> AgentDetacher() { return {}; }
    // In a child of fork(), in place of the shut-down: the session's threads
    // are not in this process, so nothing of it runs; what would still call
    // into it from outside is taken back.
    virtual void ForgetInChild() {}

    // Session settings and identity.
    virtual uint32_t GetAgentId(char** agentId) = 0;
    virtual uint32_t SetAgentId(const char* agentId) = 0;
    virtual uint32_t SetLastGoodAgentId(const char* agentId) = 0;
    virtual uint32_t SetLanguage(const char* language) = 0;
    virtual uint32_t SetGroupnameHint(const char* hint) = 0;
    virtual uint32_t RegisterCertificateInfo(const SS_CertificateInfo* info) = 0;
    virtual uint32_t UnregisterCertificateInfo() = 0;
    virtual uint32_t StartAliveHeartbeats(uint32_t intervalMinutes, uint32_t durationMinutes) = 0;
    virtual uint32_t StopAliveHeartbeats() = 0;
    virtual uint32_t ResetRetryState() = 0;
    virtual uint32_t GetStatistics(SS_Statistics* statistics) = 0;
    virtual uint32_t ExchangeKeys(SS_HMESSAGE message, uint32_t connectTimeout, uint32_t transferTimeout,
                                  uint32_t dnsCacheTimeout, const char* keyAlgorithm, uint32_t keyLength,
                                  const char* pemText, char** outAlgorithm, uint32_t* outKeyLength,
                                  char** outPemText) = 0;
    virtual uint32_t AttachToSite(SS_HMESSAGE message, uint32_t connectTimeout, uint32_t transferTimeout,
                                  uint32_t dnsCacheTimeout, const char* userName, const char* password,
                                  const char* keyAlgorithm, uint32_t keyLength, const char* pemText) = 0;
    virtual void* Allocate(uint32_t size) = 0;

    // Server list and communication settings.
    virtual uint32_t AddServer(int32_t position, const char* name, const char* url, const char* caFile,
                               const char* clientCertificateFile, const char* clientKeyFile, const char* proxy,
                               const char* proxyUser, const char* proxyPassword, const char* site,
                               const char* description, uint8_t persist) = 0;
    virtual uint32_t DeleteServer(int32_t index) = 0;
    virtual uint32_t GetServerCount(uint32_t* count) = 0;
    virtual uint32_t GetServerInfo(int32_t index, char** name, char** url, char** caFile, char** clientCertificateFile,
                                   char** clientKeyFile, char** proxy, char** proxyUser, char** proxyPassword,
                                   char** site, char** description) = 0;
    virtual uint32_t LoadServers(const char* serverListFile, uint32_t replaceExisting) = 0;
    virtual uint32_t LoadCommSettingsFile(const char* path) = 0;
    virtual uint32_t SaveCommSettings(const char* path) = 0;
    virtual uint32_t LoadLocalSettingsFile(const char* path) = 0;
    virtual uint32_t TestCommSettings(const char* serverUrl, uint32_t timeoutMs) = 0;
    virtual uint32_t TestCommSettingsFile(const char* commSettingsFile, uint32_t timeoutMs) = 0;

    // Builders.
    virtual uint32_t CreateMessage(SS_HMESSAGE* message, const char* agentId, const char* name,
                                   const char* nameSpace) = 0;
    virtual uint32_t FreeMessage(SS_HMESSAGE message) = 0;
    virtual uint32_t CreateHeartbeat(SS_HMESSAGE* message, const char* agentId, const char* name, const char* nameSpace,
                                     const char* version, const char* ipAddress) = 0;
    virtual uint32_t FreeHeartbeat(SS_HMESSAGE message) = 0;
    virtual uint32_t SetBasicAgentInfo(SS_HMESSAGE message, const char* updateVersion, const char* lastUpdatePath,
                                       uint32_t updateStatus, const char* updateStatusDescription, uint32_t agentStatus,
                                       const char* agentInstallPath, const char* daemonInstallPath, const char* model,
                                       const char* groupnameHint, uint8_t useLocalSettings, uint8_t registerAgent,
                                       const char* lastRestart) = 0;
    virtual uint32_t SetAgentInfo(SS_HMESSAGE message, const char* updateVersion, const char* agentStatus,
                                  uint32_t unused, const char* agentInstallPath, const char* daemonInstallPath) = 0;
    virtual uint32_t SetHostInfo(SS_HMESSAGE message, const char* hostName, const char* ipAddress, const char* os,
                                 uint32_t unused, const char* netbiosName, const char* netbiosDomain,
                                 const char* directoryObjectId, const char* directoryGroupId) = 0;
    virtual uint32_t AddModuleInfo(SS_HMESSAGE message, const char* name, const char* version, uint32_t status,
                                   SS_HMODULE* module) = 0;
    virtual uint32_t AddModuleInfoParams(SS_HMODULE module, const char* xmlText, uint32_t xmlLength) = 0;
    virtual uint32_t AddSchemaInfo(SS_HMESSAGE message, const char* name, const char* nameSpace, const char* version,
                                   uint8_t root, uint8_t cpeEditable, uint8_t overwrite, uint8_t getFromAgent) = 0;
    virtual uint32_t AddAgentParams(SS_HMESSAGE message, const char* xmlText, uint32_t xmlLength) = 0;
    virtual uint32_t AddGetPolicyRequest(SS_HMESSAGE message, const char* token, const char* name,
                                         const char* nameSpace, const char* schemaVersion, char* buffer,
                                         uint32_t* length) = 0;
    virtual uint32_t AddSetPolicyRequest(SS_HMESSAGE message, const char* xmlText, uint32_t xmlLength, char* buffer,
                                         uint32_t* length) = 0;
    virtual uint32_t AddSetPolicyResponse(SS_HMESSAGE message, const char* name, const char* nameSpace,
                                          const char* schemaVersion, uint32_t code, const char* text, const char* token,
                                          const char* requestId, uint32_t requestIdLength) = 0;
    virtual uint32_t AddGetSchemaRequest(SS_HMESSAGE message, const char* name, const char* nameSpace,
                                         const char* version, char* buffer, uint32_t* length) = 0;
    virtual uint32_t AddSetSchemaRequest(SS_HMESSAGE message, const char* name, const char* nameSpace,
                                         const char* version, uint8_t flag, const char* schemaText,
                                         uint32_t schemaLength, char* buffer, uint32_t* length) = 0;
    virtual uint32_t AddGetSchemaResponse(SS_HMESSAGE message, const char* name, const char* nameSpace,
                                          const char* version, uint32_t code, const char* text, uint8_t flag,
                                          const char* schemaText, uint32_t schemaLength, const char* requestId,
                                          uint32_t requestIdLength) = 0;
    virtual uint32_t AddSetSchemaResponse(SS_HMESSAGE message, const char* name, const char* nameSpace,
                                          const char* version, uint32_t code, const char* text, const char* requestId,
                                          uint32_t requestIdLength) = 0;

    // Posting.
    virtual uint32_t PostHeartbeat(SS_HMESSAGE message, char* buffer, uint32_t* length) = 0;
    virtual uint32_t PostPing(char* buffer, uint32_t* length) = 0;

    // Callback registration; each replaces the earlier pointer, NULL clears.
    virtual uint32_t RegisterErrorCallback(SS_ErrorCallbackFn callback) = 0;
    virtual uint32_t RegisterGetPolicyResponse(SS_PolicyCallbackFn callback) = 0;
    virtual uint32_t RegisterSetPolicyResponse(SS_PolicyCallbackFn callback) = 0;
    virtual uint32_t RegisterGetSchemaResponse(SS_SchemaCallbackFn callback) = 0;
    virtual uint32_t RegisterSetSchemaResponse(SS_SchemaCallbackFn callback) = 0;
    virtual uint32_t RegisterGetSchemaRequest(SS_SchemaCallbackFn callback) = 0;
    virtual uint32_t RegisterSetSchemaRequest(SS_SchemaCallbackFn callback) = 0;
    virtual uint32_t RegisterGenericResponse(SS_GenericResponseFn callback) = 0;
    virtual uint32_t RegisterResponseComplete(SS_ResponseCompleteFn callback) = 0;
    virtual uint32_t RegisterPingResponse(SS_PingResponseFn callback) = 0;
    virtual uint32_t RegisterCommSettingsResponse(SS_PolicyCallbackFn callback) = 0;

protected:
    virtual ~CSessionOperations() = default;
};

namespace ovxSensorSvcs {

// Makes a new, uninitialised session object with one reference, or null
// when it cannot be allocated.
typedef CSessionOperations* (*SessionFactory)();

// The session class registers its factory here; tests install their own.
// Returns the previous factory.
SessionFactory SetSessionFactory(SessionFactory factory);

// The installed session with a reference taken for the caller, or null.
// The caller Releases it. Used by threads and callbacks of the library that
// reach the session through the process-wide pointer.
CSessionOperations* AcquireSession();

// The trace sink given to the last SS_Init (may be null).
SS_TraceSink* CurrentTraceSink();

// Writes text to the sink when the sink takes `level`.
inline void Trace(SS_TraceSink* sink, uint32_t level, const char* text, const char* where) {
    ovxToolsLib::TraceLine(sink, level, text, where);
}

}  // namespace ovxSensorSvcs

#endif  // OVX_SENSOR_SERVICES_SESSIONOPERATIONS_H
