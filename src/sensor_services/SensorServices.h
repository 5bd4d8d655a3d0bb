// The one session object behind the exported interface: the transport half
// (CBaseServices) plus what the agent side of the conversation needs: the
// registered callbacks, the pending heartbeat and ping, the behaviour flags
// from the settings, the worker thread for responses and the pulse thread
// for alive heartbeats.
#ifndef OVX_SENSOR_SERVICES_SENSORSERVICES_H
#define OVX_SENSOR_SERVICES_SENSORSERVICES_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <initializer_list>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "sensor_services/CallbackRegistry.h"
#include "sensor_services/DumpWriter.h"
#include "sensor_services/GroupSettingsState.h"
#include "sensor_services/PulseThread.h"
#include "sensor_services/WorkerThread.h"
#include "sensor_services/SessionOperations.h"
#include "sensor_services/DurableFile.h"
#include "sensor_services/SessionText.h"
#include "sensor_services/TransportStatistics.h"
#include "transport/BaseServices.h"

namespace ovx {
namespace cml {
class CCmlMessage;
class CCmlDOM_Element;
class CMessageBase;
class CCmlResponse;
class CSchemaRequest;
class CSetSchemaRequest;
class CGetSchemaResponse;
class CSchemaResponse;
class CGetPolicyResponse;
class CSetPolicyResponse;
}  // namespace cml
}  // namespace ovx

namespace ovxSensorServices {

class CHeartbeatRecord;

// One string argument of a builder: its name (as the header gives it), its
// value, whether it is required.
struct BuilderArgument {
    const char* name;
    const char* value;
    bool required;
};

// The four behaviour flags read from the "sensor_services" section.
struct SessionFlags {
    bool dumpEnabled = false;
    bool autoGroupSettingsRequest = true;
    bool mergeHeartbeatOnPost = false;
    bool processResponseThread = false;
    // Seconds in one "minute" of the alive interval and duration: 60, or
    // less where a test or a demonstration cannot wait minutes.
    uint32_t aliveUnitSeconds = 60;
    // Heartbeats go gzip-encoded, answers may come compressed.
    bool compressPosts = false;
    // Seconds new group settings have to let a post succeed before they are
    // rolled back; 0 = they are never rolled back.
    uint32_t settingsProbation = 0;
};

// Makes SS_Init create CSensorServices sessions; done when the library is
// loaded (a program linking the static library calls it itself).
void RegisterSessionFactory();

// The statuses of PostHeartbeat that leave the message with the agent (it
// was not queued): OVX_E_INVALID_ARGUMENT, OVX_E_OUT_OF_MEMORY,
// OVX_E_UNEXPECTED and OVX_E_NOT_INITIALIZED. Every other status, 0 among
// them, means the library took it.
bool IsCallerOwnedStatus(uint32_t status);

class CSensorServices : public CBaseServices, public CSessionOperations {
public:
    CSensorServices();
    ~CSensorServices() override;

    // CSessionOperations: lifetime.
    uint32_t AddRef() override { return CBaseServices::AddRef(); }
    uint32_t Release() override { return CBaseServices::Release(); }
    uint32_t Init(const ovxToolsLib::ovxThreadingFunctions* threading, SS_TraceSink* trace, const char* version,
                  const char* localPropertyFile, const char* commSettingsFile, const char* sessionString1,
                  const char* sessionString2) override;
    uint32_t ShutDown() override;
    static bool ReleaseFromWorker(void* session);
    void ForgetInChild() override;
    void OnInstalled() override;
    std::function<void()> AgentDetacher() override;

    // CBaseServices overrides.
    using CBaseServices::Init;
    uint32_t LoadSettings(const char* role) override;
    // Tells the agent, once each, the settings of ours that were refused
    // (level 2); called with no lock of ours held.
    void SaySettingWarnings();
    uint32_t Cleanup() override;
    uint32_t SendPendingData(int32_t serverIndex) override;
    void OnRetryRequestFailed() override;

    uint32_t ReloadGroupSettings();
    // The text of a settings file of at most 1 MiB + 64 KiB; false when it
    // cannot be read.
    static bool ReadSettingsFile(const std::string& path, std::string& text);
    // Before new group settings with `newToken` are written: refuses them
    // (a non-zero status) when they were rolled back before; otherwise, on
    // probation, reads the file in force into `lastGood` (`kept` tells).
    uint32_t PrepareProbation(const std::string& newToken, std::string& lastGood, bool& kept);
    SessionFlags GetFlags() const;
    std::string GetCommSettingsFile() const { return m_groupSettings.CommSettingsFile(); }
    std::string GetGroupSettingsToken() const;
    // The settings-changed callback given to the service library.
    static uint32_t SettingsChanged(int32_t destination);

    // Identity and settings pass-throughs.
    uint32_t GetAgentId(char** agentId) override;
    uint32_t SetAgentId(const char* agentId) override;
    uint32_t SetLastGoodAgentId(const char* agentId) override;
    uint32_t SetLanguage(const char* language) override;
    uint32_t SetGroupnameHint(const char* hint) override;
    uint32_t RegisterCertificateInfo(const SS_CertificateInfo* info) override;
    uint32_t UnregisterCertificateInfo() override;
    uint32_t StartAliveHeartbeats(uint32_t intervalMinutes, uint32_t durationMinutes) override;
    uint32_t StopAliveHeartbeats() override;
    uint32_t ResetRetryState() override { return CBaseServices::ResetRetryState(); }
    uint32_t GetStatistics(SS_Statistics* statistics) override;
    uint32_t ExchangeKeys(SS_HMESSAGE message, uint32_t connectTimeout, uint32_t transferTimeout,
                          uint32_t dnsCacheTimeout, const char* keyAlgorithm, uint32_t keyLength, const char* pemText,
                          char** outAlgorithm, uint32_t* outKeyLength, char** outPemText) override;
    uint32_t AttachToSite(SS_HMESSAGE message, uint32_t connectTimeout, uint32_t transferTimeout,
                          uint32_t dnsCacheTimeout, const char* userName, const char* password,
                          const char* keyAlgorithm, uint32_t keyLength, const char* pemText) override;
    void* Allocate(uint32_t size) override;

    // Server list and communication settings.
    uint32_t AddServer(int32_t position, const char* name, const char* url, const char* caFile,
                       const char* clientCertificateFile, const char* clientKeyFile, const char* proxy,
                       const char* proxyUser, const char* proxyPassword, const char* site, const char* description,
                       uint8_t persist) override;
    uint32_t DeleteServer(int32_t index) override;
    uint32_t GetServerCount(uint32_t* count) override;
    uint32_t GetServerInfo(int32_t index, char** name, char** url, char** caFile, char** clientCertificateFile,
                           char** clientKeyFile, char** proxy, char** proxyUser, char** proxyPassword, char** site,
                           char** description) override;
    uint32_t LoadServers(const char* serverListFile, uint32_t replaceExisting) override;
    uint32_t LoadCommSettingsFile(const char* path) override;
    uint32_t SaveCommSettings(const char* path) override;
    uint32_t LoadLocalSettingsFile(const char* path) override;
    // The operations' two-argument forms beside the base's, which take the section.
    using CBaseServices::TestCommSettings;
    using CBaseServices::TestCommSettingsFile;
    uint32_t TestCommSettings(const char* serverUrl, uint32_t timeoutMs) override;
    uint32_t TestCommSettingsFile(const char* commSettingsFile, uint32_t timeoutMs) override;

    // Builders (MessageBuilders.cpp).
    uint32_t CreateMessage(SS_HMESSAGE* message, const char* agentId, const char* name, const char* nameSpace) override;
    uint32_t FreeMessage(SS_HMESSAGE message) override;
    uint32_t CreateHeartbeat(SS_HMESSAGE* message, const char* agentId, const char* name, const char* nameSpace,
                             const char* version, const char* ipAddress) override;
    uint32_t FreeHeartbeat(SS_HMESSAGE message) override;
    uint32_t SetBasicAgentInfo(SS_HMESSAGE message, const char* updateVersion, const char* lastUpdatePath,
                               uint32_t updateStatus, const char* updateStatusDescription, uint32_t agentStatus,
                               const char* agentInstallPath, const char* daemonInstallPath, const char* model,
                               const char* groupnameHint, uint8_t useLocalSettings, uint8_t registerAgent,
                               const char* lastRestart) override;
    uint32_t SetAgentInfo(SS_HMESSAGE message, const char* updateVersion, const char* agentStatus, uint32_t unused,
                          const char* agentInstallPath, const char* daemonInstallPath) override;
    uint32_t SetHostInfo(SS_HMESSAGE message, const char* hostName, const char* ipAddress, const char* os,
                         uint32_t unused, const char* netbiosName, const char* netbiosDomain,
                         const char* directoryObjectId, const char* directoryGroupId) override;
    uint32_t AddModuleInfo(SS_HMESSAGE message, const char* name, const char* version, uint32_t status,
                           SS_HMODULE* module) override;
    uint32_t AddModuleInfoParams(SS_HMODULE module, const char* xmlText, uint32_t xmlLength) override;
    uint32_t AddSchemaInfo(SS_HMESSAGE message, const char* name, const char* nameSpace, const char* version,
                           uint8_t root, uint8_t cpeEditable, uint8_t overwrite, uint8_t getFromAgent) override;
    uint32_t AddAgentParams(SS_HMESSAGE message, const char* xmlText, uint32_t xmlLength) override;
    uint32_t AddGetPolicyRequest(SS_HMESSAGE message, const char* token, const char* name, const char* nameSpace,
                                 const char* schemaVersion, char* buffer, uint32_t* length) override;
    uint32_t AddSetPolicyRequest(SS_HMESSAGE message, const char* xmlText, uint32_t xmlLength, char* buffer,
                                 uint32_t* length) override;
    uint32_t AddSetPolicyResponse(SS_HMESSAGE message, const char* name, const char* nameSpace,
                                  const char* schemaVersion, uint32_t code, const char* text, const char* token,
                                  const char* requestId, uint32_t requestIdLength) override;
    uint32_t AddGetSchemaRequest(SS_HMESSAGE message, const char* name, const char* nameSpace, const char* version,
                                 char* buffer, uint32_t* length) override;
    uint32_t AddSetSchemaRequest(SS_HMESSAGE message, const char* name, const char* nameSpace, const char* version,
                                 uint8_t flag, const char* schemaText, uint32_t schemaLength, char* buffer,
                                 uint32_t* length) override;
    uint32_t AddGetSchemaResponse(SS_HMESSAGE message, const char* name, const char* nameSpace, const char* version,
                                  uint32_t code, const char* text, uint8_t flag, const char* schemaText,
                                  uint32_t schemaLength, const char* requestId, uint32_t requestIdLength) override;
    uint32_t AddSetSchemaResponse(SS_HMESSAGE message, const char* name, const char* nameSpace, const char* version,
                                  uint32_t code, const char* text, const char* requestId,
                                  uint32_t requestIdLength) override;
    uint32_t PostHeartbeat(SS_HMESSAGE message, char* buffer, uint32_t* length) override;
    uint32_t PostPing(char* buffer, uint32_t* length) override;

    // Callback registration: each replaces the earlier pointer under the
    // lock; NULL clears.
    uint32_t RegisterErrorCallback(SS_ErrorCallbackFn callback) override;
    uint32_t RegisterGetPolicyResponse(SS_PolicyCallbackFn callback) override;
    uint32_t RegisterSetPolicyResponse(SS_PolicyCallbackFn callback) override;
    uint32_t RegisterGetSchemaResponse(SS_SchemaCallbackFn callback) override;
    uint32_t RegisterSetSchemaResponse(SS_SchemaCallbackFn callback) override;
    uint32_t RegisterGetSchemaRequest(SS_SchemaCallbackFn callback) override;
    uint32_t RegisterSetSchemaRequest(SS_SchemaCallbackFn callback) override;
    uint32_t RegisterGenericResponse(SS_GenericResponseFn callback) override;
    uint32_t RegisterResponseComplete(SS_ResponseCompleteFn callback) override;
    uint32_t RegisterPingResponse(SS_PingResponseFn callback) override;
    uint32_t RegisterCommSettingsResponse(SS_PolicyCallbackFn callback) override;
    SS_ErrorCallbackFn GetErrorCallback() const;

    // The response-processing function the worker thread runs.
    static uint32_t ProcessResponseItem(const uint8_t* data, uint32_t size, void* argument);

    // The heartbeat queue (HeartbeatQueue.cpp).
    // Part of an agent's out buffer still to be zeroed.
    struct OutBufferTail {
        char* data;
        size_t size;
    };
    // *taken (when given) tells whether the heartbeat became the library's:
    // a non-zero status after it was queued is the group settings step's.
    // With `zeroLater`, the part of the out buffer past the text is not
    // zeroed here but handed back to be zeroed by the caller.
    // `own` marks a heartbeat the library made to carry error responses of
    // its own (see m_pendingOwn).
    uint32_t QueueHeartbeatRequest(SS_HMESSAGE message, char* buffer, uint32_t* length, bool* taken = nullptr,
                                   OutBufferTail* zeroLater = nullptr, bool own = false);
    // The group settings step of a heartbeat: the request for newer group
    // settings (when autoGroupSettingsRequest is set) and the group name
    // hint. `info` gets the status of reading the settings information,
    // which the heartbeat carries back to the agent; a non-zero result stops
    // the heartbeat, which then stays the agent's.
    uint32_t AddGroupSettingsStep(SS_HMESSAGE handle, uint32_t& info, std::wstring& groupHint);
    // Queues the heartbeat (or merges it into the one queued); *taken is set
    // once it is the library's.
    // `text` is the message's text when the caller made it already (for the
    // agent's out buffer); it is kept for the post unless the message is
    // merged into the one queued.
    void EnqueueHeartbeat(ovx::cml::CCmlMessage* message, bool* taken, std::string text, bool own);
    uint32_t PostHeartbeat(SS_HMESSAGE message, char* buffer, uint32_t* length, bool* taken, bool own = false);
    uint32_t SendPendingHeartbeat(int32_t serverIndex);
    // A heartbeat left in the store by an earlier process goes into the
    // slot (sent first) when the slot is empty.
    void RestorePendingHeartbeat();
    // Group settings on probation that let no post succeed for their
    // probation time are replaced by the last known good ones; true when
    // that happened.
    bool RollBackExpiredSettings();
    // The probation in force written to, or removed from, its file.
    void SaveProbation();
    void ForgetProbation();
    // At start: a probation the last session left unfinished starts again.
    void ResumeProbation();
    // A heartbeat whose post failed goes back into the slot.
    void PutBack(std::unique_ptr<ovx::cml::CCmlMessage> heartbeat, bool own);
    // The pending heartbeat taken for sending, with its text if it has one,
    // the flags and the slot's version; in merge mode with a store a copy
    // stays as the heartbeat in flight.
    std::unique_ptr<ovx::cml::CCmlMessage> TakePendingHeartbeat(std::string& text, SessionFlags& flags,
                                                                uint64_t& version, bool& own);
    // After a heartbeat taken at `takenVersion` was acknowledged.
    void ForgetSentHeartbeat(uint64_t takenVersion);
    // A sent heartbeat and its bytes, left for the agent's thread to free
    // (see m_sent).
    void RetireSentHeartbeat(std::unique_ptr<ovx::cml::CCmlMessage> heartbeat,
                             std::unique_ptr<CHeartbeatRecord> record);
    // Frees the retired heartbeat, if there is one, on the calling thread.
    void FreeSentHeartbeat();
    // What the store holds for the slot as it is (under the lock): the
    // pending heartbeat, merged into the one in flight in merge mode.
    std::string StoreTextLocked() const;
    // The pending heartbeat's group settings request asks with `to` where
    // it asked with `from` (rolled-back settings); the store follows.
    void RetokenPendingHeartbeat(const std::string& from, const std::string& to);
    // One post of a heartbeat's text: compressed when asked and the server
    // has not refused that, plain again at once when it does.
    uint32_t PostHeartbeatRecord(const CHeartbeatRecord& record, int32_t serverIndex, bool compress, uint8_t** response,
                                 uint32_t* responseLength);
    bool HasPendingHeartbeat() const;
    // Whether an acknowledged heartbeat waits to be freed (see m_sent).
    bool HoldsSentHeartbeat() const;
    std::time_t GetLastPostTime() const;

    // Response processing (ResponseProcessing.cpp): the server's answer to a
    // heartbeat, sorted and handed to the agent's callbacks.
    uint32_t HelperProcessHeartbeatResponse(const uint8_t* data, uint32_t size);
    uint32_t HelperProcessParsedHeartbeatResponse(ovx::cml::CCmlMessage* message);
    void HelperProcessGenericResponses(const std::string& agentId,
                                       const std::vector<ovx::cml::CMessageBase*>& responses);
    void HelperProcessUnknownMessages(const ovx::cml::CCmlMessage& message,
                                      const std::vector<ovx::cml::CMessageBase*>& documents);
    // Hands the documents of one list to their handlers; the last one is
    // "last" when `final` is set.
    void DispatchList(const std::string& agentId, const std::vector<ovx::cml::CMessageBase*>& documents, bool final);
    void HelperProcessGetSchemaRequest(const std::string& agentId, const ovx::cml::CSchemaRequest& request, bool last);
    void HelperProcessSetSchemaRequest(const std::string& agentId, const ovx::cml::CSetSchemaRequest& request,
                                       bool last);
    void HelperProcessGetSchemaResponse(const std::string& agentId, const ovx::cml::CGetSchemaResponse& response,
                                        bool last);
    void HelperProcessSetSchemaResponse(const std::string& agentId, const ovx::cml::CSchemaResponse& response,
                                        bool last);
    void HelperProcessSetPolicyResponse(const std::string& agentId, const ovx::cml::CSetPolicyResponse& response,
                                        bool last);
    void HelperProcessGetPolicyResponse(const std::string& agentId, const ovx::cml::CGetPolicyResponse& response,
                                        bool last);
    // The session's own handler of the group settings item, in the shape of
    // the policy callbacks; `status` is the transport status (0 from a
    // server answer). It runs on the session whose answer carried the item,
    // under the reference the processing thread holds, never on whichever
    // session is installed by then.
    uint32_t _GetPropertiesCallback(const char* requestId, uint32_t requestIdLength, uint32_t status,
                                    const char* agentId, const char* token, const char* name, const char* nameSpace,
                                    const char* schemaVersion, uint32_t code, const char* text,
                                    const uint8_t* policyData, uint32_t policyDataLength, uint8_t last);

    // Exchanges (Exchanges.cpp).
    uint32_t SynchronousPostData(PostKind kind, const char* path, uint32_t flags, const char* contentType,
                                 const uint8_t* data, uint32_t size, const uint32_t* timeouts, uint8_t** response,
                                 uint32_t* responseSize);
    // Every post of the session: through the service library's extended
    // entry when it has one (options, and what the post did), counted in
    // the statistics. `info`, when given, receives what the post did (zeros
    // but the status with an older library).
    uint32_t Post(PostKind kind, int32_t serverIndex, const char* path, uint32_t options, const char* contentType,
                  const uint8_t* data, uint32_t size, const uint32_t* timeouts, uint8_t** response,
                  uint32_t* responseSize, SCS_PostInfo* info = nullptr);
    // Sends the pending ping from `serverIndex` on; on success the index
    // becomes the server that answered.
    uint32_t SendPendingPing(int32_t& serverIndex);
    // The answers of the trust exchanges, read into the exchange's result;
    // they throw CTRLEXC or CCmlException for an answer that is not one.
    uint32_t ReadKeysAnswer(const uint8_t* data, uint32_t size, char** outAlgorithm, uint32_t* outKeyLength,
                            char** outPemText) const;
    uint32_t ReadAttachAnswer(const uint8_t* data, uint32_t size) const;
    uint32_t HelperProcessPingResponse(const uint8_t* data, uint32_t size);
    // One alive heartbeat; the pulse thread's function, `argument` the session.
    static uint32_t AliveHeartbeat(void* argument);
    bool HasAliveThread() const;
    // A dump file when dumpEnabled is set; one that is skipped gets a level 2
    // line.
    void Dump(const char* name, const void* data, size_t size) const;
    // A trace line of this session, for the helpers of its operations.
    void TraceLine(uint32_t level, const char* where, const char* text) const;
    // Runs `call`, a call into the agent, while the agent gate lets it
    // through; false when the session is cut off from its agent.
    template <class Call>
    bool CallAgent(Call&& call) const {
        ovxToolsLib::ovxAgentGate::Pass pass(Gate().get());
        if (!pass.Open()) return false;
        call();
        return true;
    }

    // Set-schema-request callback registered: announcements say
    // send-new-schemas.
    bool HasSetSchemaRequestCallback() const;

private:
    // A registered callback, read just before it is called.
    template <class T>
    T ReadCallback(T CCallbackRegistry::Callbacks::*slot) const {
        return m_callbacks.Get(slot);
    }
    template <class T>
    uint32_t Register(T CCallbackRegistry::Callbacks::*slot, T callback) {
        m_callbacks.Set(slot, callback);
        return 0;
    }
    // The checks of a builder's string arguments, before anything changes.
    uint32_t CheckArguments(const char* builder, std::initializer_list<BuilderArgument> arguments) const;
    uint32_t CheckRequestId(const char* builder, const char* requestId, uint32_t length) const;
    // The shared step of the builders that parse an XML text.
    uint32_t ParseInto(const char* builder, const wchar_t* systemId, const char* text, uint32_t length,
                       const char* rootMissing, const std::function<void(ovx::cml::CCmlDOM_Element&)>& add);

    // One setting of the "sensor_services" section, if it has a value.
    bool ReadLocalSetting(const char* key, std::string& value) const;
    // The settings this library adds, read strictly (under the lock).
    void LoadOwnSettings();

    std::unique_ptr<svcRetryState> m_retryStateObject;
    // Warnings about refused settings, to be told once the lock is released,
    // and those already told this session.
    std::vector<std::string> m_settingWarnings;
    std::set<std::string> m_saidSettingWarnings;
    CGroupSettingsState m_groupSettings;
    CCallbackRegistry m_callbacks;
    CDumpWriter m_dumps;
    std::unique_ptr<ovx::cml::CCmlMessage> m_pendingHeartbeat;
    // The pending heartbeat's text when it was made on the way in (empty
    // when not): the post sends it instead of serializing the message again.
    std::string m_pendingText;
    // The pending heartbeat is one the library made for the error responses
    // to server requests it does not know. Such a heartbeat carries nothing
    // of the agent's, so it never displaces the agent's heartbeat, nor is it
    // displaced by it: its responses join the agent's, merging or not. The
    // agent, answering a server request from its callback, posts just as
    // the library queues its own answers to the same message.
    bool m_pendingOwn = false;
    std::unique_ptr<CHeartbeatRecord> m_pendingPing;
    SessionFlags m_flags;
    CTransportStatistics m_statistics;
    // Servers (by index) that refused a compressed heartbeat; cleared when
    // the settings are loaded again.
    std::set<int32_t> m_plainServers;
    // The pending heartbeat on disk when the settings name a store; each
    // change of the slot has a version of its own.
    CDurableFile m_store;
    // The last known good group settings of settings on probation, with
    // their token, kept next to the comm settings file: an agent restarted
    // while on probation resumes it.
    CDurableFile m_lastGoodFile;
    std::atomic<uint64_t> m_lastGoodVersion{0};
    bool m_storeOn = false;
    // A copy of the heartbeat being sent, in merge mode with a store, until
    // the server acknowledges it.
    std::unique_ptr<ovx::cml::CCmlMessage> m_inFlight;
    // The last acknowledged heartbeat (of up to 256 KB of text), freed on
    // the agent's thread, which made it: by the next CreateHeartbeat, before
    // the agent builds the next one in the same memory and while no round
    // trip is running; else by the next PostHeartbeat, while the dispatch
    // thread posts; else with the session.
    // Freed by the dispatch thread, its thousand or so objects went back
    // to the allocator's arena of the agent's thread under that arena's
    // lock just as the agent, woken by the answer, built the next one in
    // it: the two threads queued on the lock at every heartbeat.
    struct SentHeartbeat {
        std::unique_ptr<ovx::cml::CCmlMessage> message;
        std::unique_ptr<CHeartbeatRecord> record;
    } m_sent;
    uint64_t m_slotVersion = 0;
    // Answers of every kind are read through one reused parser. Declared
    // before the worker that reads answers, so it outlives that thread.
    mutable CServerDocumentReader m_answerReader;
    CWorkerThread m_worker;
    uint32_t m_aliveIntervalMinutes = 15;
    uint32_t m_aliveDurationMinutes = 1440;
    std::time_t m_lastPostTime;
    std::unique_ptr<CPulseThread> m_pulse;
    // Until when SS_ShutDown waits, all told (shutdownTimeout from its start).
    std::chrono::steady_clock::time_point m_shutdownDeadline;
    // Set by a shut-down asked for on the worker thread (see ShutDown()).
    bool m_workerHoldsSession = false;
};

}  // namespace ovxSensorServices

#endif  // OVX_SENSOR_SERVICES_SENSORSERVICES_H
