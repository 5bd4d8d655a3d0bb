#include "sensor_services/SensorServices.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>

#include "cml/core/cmlDocument.h"
#include "cml/core/cmlMessage.h"
#include "cml/core/cmlNamespaces.h"
#include "cml/core/cmlVocabulary.h"
#include "cml/documents/cmlAgentInfo.h"
#include "cml/documents/cmlAvpSections.h"
#include "cml/documents/cmlPolicy.h"
#include "cml/documents/cmlSchema.h"
#include "cml/documents/cmlTrust.h"
#include "ovxStatus.h"
#include "sensor_services/HeartbeatRecord.h"
#include "sensor_services/SessionText.h"
#include "tools/ovxClock.h"
#include "tools/ovxFileInfo.h"
#include "tools/ovxLateWork.h"
#include "tools/ovxSettingValue.h"
#include "tools/xsnprintf.h"
#include "transport/mslLoader_ovxSessionConfigSvcs.h"

using mslLoader_ovxSessionConfigSvcs::Scs;

namespace ovxSensorServices {

namespace {

const char kRole[] = "Agent Manager";
const char kSection[] = "sensor_services";

// A server request the session has no class for, read as a plain request.
class CUnrecognizedRequest : public ovx::cml::CCmlRequest {
public:
    using CCmlRequest::CCmlRequest;
    CUnrecognizedRequest* Clone() const override { return new CUnrecognizedRequest(*this); }
};

// The session creates and casts documents by name: every class it relies on
// must be in the class factory, whichever of their registrations the
// linker kept.
void EnsureDocumentClasses() {
    using namespace ovx::cml;
    CCmlClassFactory* factory = GetGlobalClassFactory();
    std::unique_ptr<CCmlDocumentBase> probe(factory->CreateDocument(kCmlBaseUri, kVersionRoot, L"ovx", kMatchExact));
    std::unique_ptr<CCmlDocumentBase> announcement(
        factory->CreateDocument(kNsAgentMessages, kVersionAgentMessages, L"agent-startup-announcement", kMatchExact));
    if (!probe || !announcement) {
        RegisterMessageDocuments(*factory);
        RegisterPolicyDocuments(*factory);
        RegisterSchemaDocuments(*factory);
        RegisterAgentInfoDocuments(*factory);
        RegisterTrustDocuments(*factory);
        RegisterAvpSectionsDocuments(*factory);
    }
    // A server request the agent has no class for must still be read: it
    // is answered with an error response instead of vanishing unanswered.
    // Every request name of the vocabulary without a class of its own is
    // read as a plain request in each message namespace.
    std::unique_ptr<CCmlDocumentBase> generic(
        factory->CreateDocument(kNsAgentMessages, kVersionAgentMessages, kReqGetAgentInfoRequest, kMatchExact));
    if (generic) return;
    static const std::pair<const wchar_t*, const wchar_t*> kNamespaces[] = {
        {kNsMessage, kVersionMessage},
        {kNsAgentMessages, kVersionAgentMessages},
        {kNsPolicyMessages, kVersionPolicyMessages},
        {kNsSchemaMessages, kVersionSchemaMessages},
        {kNsTaskMessages, kVersionTaskMessages},
    };
#define OVX_REQUEST_TAG(name, text) name,
    static const wchar_t* const kRequestTags[] = {OVX_CML_REQUEST_NAMES(OVX_REQUEST_TAG)};
#undef OVX_REQUEST_TAG
    for (const auto& ns : kNamespaces) {
        for (const wchar_t* tag : kRequestTags) {
            std::unique_ptr<CCmlDocumentBase> known(factory->CreateDocument(ns.first, ns.second, tag, kMatchExact));
            if (known) continue;
            CUnrecognizedRequest prototype(tag, ns.first, ns.second);
            factory->RegisterDocument(ns.first, ns.second, tag, prototype);
        }
    }
}

CSessionOperations* CreateSession() {
    auto* session = new (std::nothrow) CSensorServices();
    if (session != nullptr) session->AddRef();
    return session;
}

// Installed while the library is loaded.
struct FactoryRegistration {
    FactoryRegistration() { RegisterSessionFactory(); }
} g_factoryRegistration;

}  // namespace

void RegisterSessionFactory() { ovxSensorSvcs::SetSessionFactory(&CreateSession); }

void CSensorServices::Dump(const char* name, const void* data, size_t size) const { m_dumps.Write(name, data, size); }

CSensorServices::CSensorServices()
    : m_dumps([this](const std::string& name) {
          Trace(SS_TRACE_WARNING, "CSensorServices::Dump()", ("Dump file skipped: " + name).c_str());
      }),
      // The durable files' lines name the file they speak of; their location
      // is the function that tells them, once no lock of ours is held.
      m_store("pending heartbeat store",
              [this](uint32_t level, const std::string& text) { Trace(level, "CDurableFile::Tell()", text.c_str()); }),
      m_lastGoodFile(
          "last known good group settings file",
          [this](uint32_t level, const std::string& text) { Trace(level, "CDurableFile::Tell()", text.c_str()); }),
      m_lastPostTime(static_cast<std::time_t>(ovxToolsLib::ovxClock::NowSeconds())) {
    EnsureDocumentClasses();
}

CSensorServices::~CSensorServices() = default;

uint32_t CSensorServices::Init(const ovxToolsLib::ovxThreadingFunctions* threading, SS_TraceSink* trace,
                               const char* version, const char* localPropertyFile, const char* commSettingsFile,
                               const char* sessionString1, const char* sessionString2) {
    try {
        m_retryStateObject.reset(new (std::nothrow) svcRetryState());
        if (!m_retryStateObject) return OVX_E_OUT_OF_MEMORY;
        uint32_t status =
            CBaseServices::Init(kRole, m_retryStateObject.get(), threading, trace, version, localPropertyFile,
                                commSettingsFile, sessionString1, sessionString2, true, false);
        if (status == 0) {
            m_groupSettings.SetCommSettingsFile(commSettingsFile != nullptr ? commSettingsFile : "");
            if (LoadSettings(kRole) != 0) {
                Trace(SS_TRACE_WARNING, "CSensorServices::Init()", "Failed to load settings from local property file");
            }
            SaySettingWarnings();
            status = Scs().SCS_RegisterSettingsChanged(&CSensorServices::SettingsChanged, this);
            if (status == 0) {
                ResumeProbation();
                RestorePendingHeartbeat();
            }
        }
        if (status == 0) status = m_worker.Init(threading, Gate(), &CSensorServices::ProcessResponseItem, this);
        if (status != 0) {
            Cleanup();
            return status;
        }
        Trace(SS_TRACE_PROGRESS, "CSensorServices::SS_Init()", "Zizozo razarivi initialized.");
        return 0;
    } catch (...) {
        Cleanup();
        return OVX_E_UNEXPECTED;
    }
}

uint32_t CSensorServices::ShutDown() {
    // The error and response-complete callbacks stay while the dispatch
    // thread finishes: a response still being processed may report through
    // them. After that nothing of this session reaches the agent.
    m_callbacks.ClearAnswerCallbacks();
    m_shutdownDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ShutdownTimeout());
    if (m_worker.IsCurrentThread()) {
        // A callback on the worker thread shuts the session down: the worker
        // keeps it alive until that callback has returned, then releases it
        // (and, as the last holder, ends it there).
        AddRef();
        m_worker.ReleaseAfterItem(&CSensorServices::ReleaseFromWorker, this);
        m_workerHoldsSession = true;
    }
    RequestStop();
    return 0;
}

void CSensorServices::ForgetInChild() {
    if (IsDestinationOpen() || IsListenerOpen()) Scs().SCS_UnregisterSettingsChanged(&CSensorServices::SettingsChanged);
    if (Gate()) {
        ovxToolsLib::ovxStopRoutingTo(Gate().get());
        Gate()->Close(0);
    }
}

bool CSensorServices::ReleaseFromWorker(void* argument) {
    return static_cast<CSensorServices*>(argument)->Release() == 0;
}

std::function<void()> CSensorServices::AgentDetacher() {
    std::function<void()> detach = Detacher(m_shutdownDeadline);
    if (!m_workerHoldsSession) return detach;
    return [detach] {
        detach();
        // The worker thread ends the session after SS_ShutDown returned.
        ovxToolsLib::ovxLateWork::ArmExitHandler();
    };
}

void CSensorServices::OnInstalled() {
    // Sessions that lost a race of SS_Init routed the service library's
    // lines to themselves on the way: they belong to this one.
    ovxToolsLib::ovxRouteTraceTo(Gate());
}

namespace {
// The ranges of the numeric settings this library adds: a value outside
// them gives the default, with a warning.
const ovxToolsLib::ovxSettingRule kAliveUnit{"aliveUnitSeconds", 1, 60, 60};
const ovxToolsLib::ovxSettingRule kProbation{"settingsProbation", 0, 30u * 86400, 0};
}  // namespace

bool CSensorServices::ReadLocalSetting(const char* key, std::string& value) const {
    char* text = nullptr;
    const bool found =
        Scs().SCS_RetrieveLocalSettingsValue(DefaultDestination(), kSection, key, &text) == 0 && text != nullptr;
    if (found) value = text;
    if (text != nullptr) Scs().SCS_Free(text);
    return found;
}

void CSensorServices::LoadOwnSettings() {
    std::string value, warning;
    auto note = [&] {
        if (!warning.empty()) m_settingWarnings.push_back(warning);
    };
    if (ReadLocalSetting("compressPosts", value)) {
        m_flags.compressPosts = ovxToolsLib::ReadSettingFlag("compressPosts", value.c_str(), false, warning);
        note();
    }
    if (ReadLocalSetting(kAliveUnit.key, value)) {
        m_flags.aliveUnitSeconds =
            static_cast<uint32_t>(ovxToolsLib::ReadSettingNumber(kAliveUnit, value.c_str(), warning));
        note();
    }
    if (ReadLocalSetting(kProbation.key, value)) {
        m_flags.settingsProbation =
            static_cast<uint32_t>(ovxToolsLib::ReadSettingNumber(kProbation, value.c_str(), warning));
        note();
    }
}

uint32_t CSensorServices::LoadSettings(const char* role) {
    struct Key {
        const char* name;
        bool SessionFlags::*flag;
    };
    // The flags every agent knows keep their own rule: a decimal number,
    // on when it is not 0 ("no" and "" read as 0).
    static const Key kKeys[] = {
        {"dumpEnabled", &SessionFlags::dumpEnabled},
        {"autoGroupSettingsRequest", &SessionFlags::autoGroupSettingsRequest},
        {"mergeHeartbeatOnPost", &SessionFlags::mergeHeartbeatOnPost},
        {"processResponseThread", &SessionFlags::processResponseThread},
    };
    {
        LockGuard hold(*this);
        std::string value;
        for (const Key& key : kKeys) {
            if (ReadLocalSetting(key.name, value)) m_flags.*key.flag = std::strtol(value.c_str(), nullptr, 10) != 0;
        }
        LoadOwnSettings();
        m_dumps.SetEnabled(m_flags.dumpEnabled);
        // The servers found to refuse compressed posts: new settings may
        // name other servers, or the same ones now taking them, so each is
        // tried compressed again.
        m_plainServers.clear();
        std::string storePath;
        ReadLocalSetting("pendingStore", storePath);
        m_store.SetPath(storePath);
        m_storeOn = !storePath.empty();
    }
    return CBaseServices::LoadSettings(role);
}

void CSensorServices::SaySettingWarnings() {
    std::vector<std::string> said;
    {
        LockGuard hold(*this);
        std::vector<std::string> warnings;
        warnings.swap(m_settingWarnings);
        if (RetryState() != nullptr) {
            for (std::string& warning : RetryState()->TakeWarnings()) warnings.push_back(std::move(warning));
        }
        // Settings are read more than once at start: each value is told once.
        for (std::string& warning : warnings) {
            if (m_saidSettingWarnings.insert(warning).second) said.push_back(std::move(warning));
        }
    }
    for (const std::string& warning : said) Trace(SS_TRACE_WARNING, "CSensorServices::LoadSettings()", warning.c_str());
}

SessionFlags CSensorServices::GetFlags() const {
    LockGuard hold(*this);
    return m_flags;
}

std::string CSensorServices::GetGroupSettingsToken() const { return m_groupSettings.Token(); }

uint32_t CSensorServices::SettingsChanged(int32_t destination) {
    CSessionOperations* session = ovxSensorSvcs::AcquireSession();
    if (session == nullptr) return OVX_E_NOT_INITIALIZED;
    uint32_t status = 0;
    try {
        auto* self = dynamic_cast<CSensorServices*>(session);
        if (self != nullptr && destination == self->DefaultDestination()) {
            {
                LockGuard hold(*self);
                self->LoadSettings(kRole);
                if (self->RetryState() != nullptr) self->RetryState()->ReloadDefault();
            }
            self->SaySettingWarnings();
        }
    } catch (...) {
        status = OVX_E_UNEXPECTED;
    }
    session->Release();
    return status;
}

bool CSensorServices::ReadSettingsFile(const std::string& path, std::string& text) {
    // Group settings are at most 1 MiB of text; a file much larger is not one.
    constexpr size_t kMaxBytes = 1024 * 1024 + 64 * 1024;
    const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (file < 0) return false;
    const bool read = ovxToolsLib::ReadRegularFile(file, kMaxBytes, text);
    ::close(file);
    return read;
}

bool CSensorServices::RollBackExpiredSettings() {
    const char* where = "CSensorServices::RollBackExpiredSettings()";
    const uint32_t seconds = GetFlags().settingsProbation;
    CGroupSettingsState::Probation expired;
    if (seconds == 0 || !m_groupSettings.TakeExpired(ovxToolsLib::ovxClock::NowSeconds(), seconds, expired)) {
        return false;
    }
    const uint32_t written = Scs().SCS_LoadCommSettings(DefaultDestination(), expired.lastGood.c_str());
    if (written != 0) {
        Trace(SS_TRACE_ERROR, where,
              ("Unable to restore the last known good group settings. OSSTAT: " + StatusHex(written)).c_str());
        return false;
    }
    m_groupSettings.SetToken(expired.goodToken);
    // The heartbeat waiting to go asks with the restored token too.
    RetokenPendingHeartbeat(expired.newToken, expired.goodToken);
    ReloadGroupSettings();
    ForgetProbation();
    Trace(SS_TRACE_WARNING, where,
          ("No post succeeded for " + std::to_string(seconds) +
           " seconds with the new group settings: the last known good settings are restored.")
              .c_str());
    ResetRetryState();
    SS_ErrorCallbackFn callback = GetErrorCallback();
    if (callback != nullptr) CallAgent([&] { callback(OVX_E_GROUP_SETTINGS_ROLLED_BACK, 3); });
    return true;
}

namespace {
// The probation file: a first line of its own, the length of the token on
// probation and the token, then the last known good settings as they were.
const char kProbationMark[] = "ovx-settings-probation";
}  // namespace

void CSensorServices::SaveProbation() {
    CGroupSettingsState::Probation current;
    if (!m_groupSettings.CurrentProbation(current)) return;
    m_lastGoodFile.Save(++m_lastGoodVersion, std::string(kProbationMark) + "\n" +
                                                 std::to_string(current.newToken.size()) + "\n" + current.newToken +
                                                 current.lastGood);
}

void CSensorServices::ForgetProbation() { m_lastGoodFile.Remove(++m_lastGoodVersion); }

void CSensorServices::ResumeProbation() {
    m_lastGoodFile.SetPath(
        m_groupSettings.CommSettingsFile().empty() ? std::string() : m_groupSettings.CommSettingsFile() + ".lastgood");
    std::string text;
    if (!m_lastGoodFile.Load(text)) return;
    if (GetFlags().settingsProbation == 0) {
        ForgetProbation();  // probation was turned off: the settings in force stay
        return;
    }
    const size_t mark = text.find('\n');
    const size_t length = mark == std::string::npos ? std::string::npos : text.find('\n', mark + 1);
    size_t tokenSize = 0;
    bool valid = length != std::string::npos && text.compare(0, mark, kProbationMark) == 0;
    if (valid) {
        const std::string digits = text.substr(mark + 1, length - mark - 1);
        valid = !digits.empty() && digits.size() <= 4 && digits.find_first_not_of("0123456789") == std::string::npos;
        if (valid) tokenSize = static_cast<size_t>(std::stoul(digits));
        valid = valid && tokenSize <= text.size() - length - 1;
    }
    if (!valid) {
        m_lastGoodFile.SetAside("is not a probation record");
        return;
    }
    const std::string token = text.substr(length + 1, tokenSize);
    m_groupSettings.BeginProbation(ovxToolsLib::ovxClock::NowSeconds(), text.substr(length + 1 + tokenSize),
                                   CGroupSettingsState::kNoToken, token);
    Trace(SS_TRACE_WARNING, "CSensorServices::Init()",
          "Group settings were on probation when the last session ended: their probation starts again.");
}

uint32_t CSensorServices::ReloadGroupSettings() {
    const std::string file = m_groupSettings.CommSettingsFile();
    uint32_t status = Scs().SCS_LoadCommSettingsFile(DefaultDestination(), file.c_str());
    if (status != 0) {
        char text[1024];
        ovxToolsLib::xsnprintf(text, sizeof text, "Unable to load group settings file: %s", file.c_str());
        Trace(SS_TRACE_WARNING, "CSensorServices::ReloadGroupSettings()", text);
    }
    return status;
}

uint32_t CSensorServices::Cleanup() {
    // No timer may call into a session that is going away.
    if (m_pulse) {
        m_pulse->Stop();
        m_pulse.reset();
    }
    m_worker.Stop();
    if (IsDestinationOpen() || IsListenerOpen()) Scs().SCS_UnregisterSettingsChanged(&CSensorServices::SettingsChanged);
    m_groupSettings.SetCommSettingsFile("");
    std::unique_ptr<ovx::cml::CCmlMessage> pendingHeartbeat;
    std::unique_ptr<CHeartbeatRecord> pendingPing;
    {
        LockGuard hold(*this);
        m_callbacks.Clear();
        pendingHeartbeat = std::move(m_pendingHeartbeat);
        m_pendingOwn = false;
        m_pendingText.clear();
        pendingPing = std::move(m_pendingPing);
        // Nothing is dumped, asked for or merged any more; the other flags
        // go back to their defaults.
        m_flags = SessionFlags();
        m_flags.autoGroupSettingsRequest = false;
        m_dumps.SetEnabled(false);
    }
    uint32_t status = CBaseServices::Cleanup();
    // The schedule goes last: the base's clean-up must not find it gone.
    m_retryStateObject.reset();
    return status;
}

void CSensorServices::OnRetryRequestFailed() {
    SS_ErrorCallbackFn callback = GetErrorCallback();
    if (callback == nullptr) return;
    try {
        CallAgent([&] { callback(OVX_I_RETRY_GAVE_UP, 1); });
    } catch (...) {
        Trace(SS_TRACE_ERROR, "CSensorServices::OnRetryRequestFailed", "unknown exception!");
    }
}

SS_ErrorCallbackFn CSensorServices::GetErrorCallback() const {
    return m_callbacks.Get(&CCallbackRegistry::Callbacks::error);
}

uint32_t CSensorServices::ProcessResponseItem(const uint8_t* data, uint32_t size, void* argument) {
    auto* self = static_cast<CSensorServices*>(argument);
    if (self == nullptr) return OVX_E_NOT_INITIALIZED;
    return self->HelperProcessHeartbeatResponse(data, size);
}

// ---- identity and settings pass-throughs

uint32_t CSensorServices::GetAgentId(char** agentId) {
    if (agentId == nullptr) return OVX_E_INVALID_ARGUMENT;
    char* library = nullptr;
    uint32_t status = Scs().SCS_GetAgentId(&library);
    try {
        *agentId = AgentCopy(library);
    } catch (const std::bad_alloc&) {
        *agentId = nullptr;
        status = OVX_E_OUT_OF_MEMORY;
    }
    if (library != nullptr) Scs().SCS_Free(library);
    return status;
}

uint32_t CSensorServices::SetAgentId(const char* agentId) { return Scs().SCS_SetAgentId(agentId); }
uint32_t CSensorServices::SetLastGoodAgentId(const char* agentId) { return Scs().SCS_SetLastGoodAgentId(agentId); }
uint32_t CSensorServices::SetLanguage(const char* language) {
    return Scs().SCS_SetLanguage(DefaultDestination(), language);
}
uint32_t CSensorServices::SetGroupnameHint(const char* hint) {
    return Scs().SCS_SetGroupnameHint(DefaultDestination(), hint);
}

uint32_t CSensorServices::RegisterCertificateInfo(const SS_CertificateInfo* info) {
    if (info == nullptr) return OVX_E_INVALID_ARGUMENT;
    LockGuard hold(*this);
    Scs().SCS_RegisterCertificateInfo(DefaultDestination(), info);
    return 0;
}

uint32_t CSensorServices::UnregisterCertificateInfo() {
    LockGuard hold(*this);
    Scs().SCS_UnregisterCertificateInfo(DefaultDestination());
    return 0;
}

void* CSensorServices::Allocate(uint32_t size) { return new (std::nothrow) char[size == 0 ? 1 : size]; }

// ---- server list and communication settings

uint32_t CSensorServices::AddServer(int32_t position, const char* name, const char* url, const char* caFile,
                                    const char* clientCertificateFile, const char* clientKeyFile, const char* proxy,
                                    const char* proxyUser, const char* proxyPassword, const char* site,
                                    const char* description, uint8_t persist) {
    return Scs().SCS_AddServer(DefaultDestination(), position, name, url, caFile, clientCertificateFile, clientKeyFile,
                               proxy, proxyUser, proxyPassword, site, description, persist);
}

uint32_t CSensorServices::DeleteServer(int32_t index) { return Scs().SCS_DeleteServer(DefaultDestination(), index); }

uint32_t CSensorServices::GetServerCount(uint32_t* count) {
    return Scs().SCS_GetServerCount(DefaultDestination(), count);
}

uint32_t CSensorServices::GetServerInfo(int32_t index, char** name, char** url, char** caFile,
                                        char** clientCertificateFile, char** clientKeyFile, char** proxy,
                                        char** proxyUser, char** proxyPassword, char** site, char** description) {
    char** out[SCS_SERVER_FIELDS] = {
        name, url, caFile, clientCertificateFile, clientKeyFile, proxy, proxyUser, proxyPassword, site, description};
    char* library[SCS_SERVER_FIELDS] = {};
    uint32_t status =
        Scs().SCS_GetServerInfo(DefaultDestination(), index, &library[0], &library[1], &library[2], &library[3],
                                &library[4], &library[5], &library[6], &library[7], &library[8], &library[9]);
    for (int i = 0; i < SCS_SERVER_FIELDS; ++i) {
        if (status == 0 && out[i] != nullptr) {
            try {
                *out[i] = AgentCopy(library[i]);
            } catch (const std::bad_alloc&) {
                *out[i] = nullptr;
                status = OVX_E_OUT_OF_MEMORY;
            }
        }
        if (library[i] != nullptr) Scs().SCS_Free(library[i]);
    }
    return status;
}

uint32_t CSensorServices::LoadServers(const char* serverListFile, uint32_t replaceExisting) {
    return Scs().SCS_LoadServers(DefaultDestination(), serverListFile, replaceExisting != 0 ? 1 : 0);
}
uint32_t CSensorServices::LoadCommSettingsFile(const char* path) {
    return Scs().SCS_LoadCommSettingsFile(DefaultDestination(), path);
}
uint32_t CSensorServices::SaveCommSettings(const char* path) {
    return Scs().SCS_SaveCommSettings(DefaultDestination(), path);
}
uint32_t CSensorServices::LoadLocalSettingsFile(const char* path) {
    return Scs().SCS_LoadLocalSettingsFile(DefaultDestination(), path);
}
uint32_t CSensorServices::TestCommSettings(const char* serverUrl, uint32_t timeoutMs) {
    return CBaseServices::TestCommSettings(serverUrl, timeoutMs, kSection);
}
uint32_t CSensorServices::TestCommSettingsFile(const char* commSettingsFile, uint32_t timeoutMs) {
    return CBaseServices::TestCommSettingsFile(commSettingsFile, timeoutMs, kSection);
}

// ---- callbacks

uint32_t CSensorServices::RegisterErrorCallback(SS_ErrorCallbackFn callback) {
    return Register(&CCallbackRegistry::Callbacks::error, callback);
}
uint32_t CSensorServices::RegisterGetPolicyResponse(SS_PolicyCallbackFn callback) {
    return Register(&CCallbackRegistry::Callbacks::getPolicyResponse, callback);
}
uint32_t CSensorServices::RegisterSetPolicyResponse(SS_PolicyCallbackFn callback) {
    return Register(&CCallbackRegistry::Callbacks::setPolicyResponse, callback);
}
uint32_t CSensorServices::RegisterGetSchemaResponse(SS_SchemaCallbackFn callback) {
    return Register(&CCallbackRegistry::Callbacks::getSchemaResponse, callback);
}
uint32_t CSensorServices::RegisterSetSchemaResponse(SS_SchemaCallbackFn callback) {
    return Register(&CCallbackRegistry::Callbacks::setSchemaResponse, callback);
}
uint32_t CSensorServices::RegisterGetSchemaRequest(SS_SchemaCallbackFn callback) {
    return Register(&CCallbackRegistry::Callbacks::getSchemaRequest, callback);
}
uint32_t CSensorServices::RegisterSetSchemaRequest(SS_SchemaCallbackFn callback) {
    return Register(&CCallbackRegistry::Callbacks::setSchemaRequest, callback);
}
uint32_t CSensorServices::RegisterGenericResponse(SS_GenericResponseFn callback) {
    return Register(&CCallbackRegistry::Callbacks::genericResponse, callback);
}
uint32_t CSensorServices::RegisterResponseComplete(SS_ResponseCompleteFn callback) {
    return Register(&CCallbackRegistry::Callbacks::responseComplete, callback);
}
uint32_t CSensorServices::RegisterPingResponse(SS_PingResponseFn callback) {
    return Register(&CCallbackRegistry::Callbacks::pingResponse, callback);
}
uint32_t CSensorServices::RegisterCommSettingsResponse(SS_PolicyCallbackFn callback) {
    return Register(&CCallbackRegistry::Callbacks::commSettingsResponse, callback);
}

}  // namespace ovxSensorServices
