// The builders: what the agent says about itself and the requests and
// responses it queues, written into CML objects of a message handle.
#include <cstring>
#include <memory>
#include <sstream>
#include <string>

#include "cml/core/cmlDocument.h"
#include "cml/core/cmlException.h"
#include "cml/core/cmlMessage.h"
#include "cml/core/cmlNamespaces.h"
#include "cml/core/cmlParser.h"
#include "cml/core/cmlValueTypes.h"
#include "cml/core/cmlVocabulary.h"
#include "cml/documents/cmlAgentInfo.h"
#include "cml/documents/cmlPolicy.h"
#include "cml/documents/cmlSchema.h"
#include "ovxStatus.h"
#include "sensor_services/SensorServices.h"
#include "sensor_services/SessionText.h"
#include "tools/ovxCodecvt.h"
#include "tools/ovxGuid.h"
#include "tools/xsnprintf.h"

using namespace ovx::cml;

namespace ovxSensorServices {

namespace {

constexpr size_t kStringBound = 4096;
constexpr uint32_t kParseFailed = 0xC7560012u;
constexpr uint32_t kSetPolicyItemFailed = 0xC7380017u;
constexpr uint32_t kSetSchemaItemFailed = 0xC7380019u;
constexpr uint32_t kGetSchemaItemFailed = 0xC738001Au;

const char kRequiredNull[] = "A required input parameter is NULL.";
const char kTooLarge[] = "An input parameter is too large.";
const char kNoAnnouncement[] = "Heartbeat message is missing its startup announcement";

bool TooLarge(const char* text) { return text != nullptr && strnlen(text, kStringBound) == kStringBound; }

std::string Where(const char* builder) { return std::string("CSensorServices::") + builder + "()"; }

// The IP address up to its zone suffix.
std::wstring WithoutZone(const char* address) {
    std::string text = address;
    size_t zone = text.find('%');
    return Wide(zone == std::string::npos ? text.c_str() : text.substr(0, zone).c_str());
}

CCmlMessage* MessageOf(SS_HMESSAGE handle) { return reinterpret_cast<CCmlMessage*>(handle); }

CAgentStartupAnnouncement* AnnouncementOf(CCmlMessage& message) {
    for (CCmlRequest* request : message.GetRequests()) {
        if (request->GetTagName() == kReqAgentStartupAnnouncement) {
            return dynamic_cast<CAgentStartupAnnouncement*>(request);
        }
    }
    return nullptr;
}

bool InMessageNamespace(const CMessageBase& document, const wchar_t* ns) {
    return document.GetNamespaceUri() == ns || document.GetNamespaceUri() == kNsCml;
}

// The request of the message with `tag`, or a new one added to it.
template <class Request>
Request* RequestOf(CCmlMessage& message, const wchar_t* tag, const wchar_t* ns, Request prototype) {
    for (CCmlRequest* request : message.GetRequests()) {
        if (request->GetTagName() == tag && InMessageNamespace(*request, ns)) {
            if (auto* typed = dynamic_cast<Request*>(request)) return typed;
        }
    }
    return dynamic_cast<Request*>(message.AddRequest(prototype));
}

template <class Response>
Response* ResponseOf(CCmlMessage& message, const wchar_t* tag, const wchar_t* ns, Response prototype,
                     const char* requestId, uint32_t requestIdLength) {
    for (CCmlResponse* response : message.GetResponses()) {
        if (response->GetTagName() == tag && InMessageNamespace(*response, ns)) {
            if (auto* typed = dynamic_cast<Response*>(response)) return typed;
        }
    }
    prototype.SetRequestId(Wide(requestId, requestIdLength).c_str());
    return dynamic_cast<Response*>(message.AddResponse(prototype));
}

// The request as UTF-8 text into the caller's buffer, when it fits.
void CopyRequestText(const CCmlDocumentBase& request, char* buffer, uint32_t* length) {
    if (buffer == nullptr || length == nullptr) return;
    std::ostringstream out;
    request.Serialize(out);
    const std::string text = out.str();
    std::memset(buffer, 0, *length);
    if (text.size() <= *length) {
        std::memcpy(buffer, text.data(), text.size());
        *length = static_cast<uint32_t>(text.size());
    }
}

}  // namespace

bool CSensorServices::HasSetSchemaRequestCallback() const {
    LockGuard hold(*this);
    return m_setSchemaRequest != nullptr;
}

#define OVX_REQUIRE(condition, builder)                                   \
    do {                                                                  \
        if (!(condition)) {                                               \
            Trace(SS_TRACE_ERROR, Where(builder).c_str(), kRequiredNull); \
            return OVX_E_INVALID_ARGUMENT;                                \
        }                                                                 \
    } while (0)
#define OVX_BOUNDED(text, builder)                                    \
    do {                                                              \
        if (TooLarge(text)) {                                         \
            Trace(SS_TRACE_ERROR, Where(builder).c_str(), kTooLarge); \
            return OVX_E_INVALID_ARGUMENT;                            \
        }                                                             \
    } while (0)
// Runs a builder body, turning what the CML layer throws into a status.
#define OVX_BUILD(...)                                                        \
    try {                                                                     \
        __VA_ARGS__                                                           \
    } catch (const ovx::cml::CCmlException& e) {                              \
        Trace(SS_TRACE_ERROR, "CSensorServices", Narrow(e.Format()).c_str()); \
        return OVX_E_UNEXPECTED;                                              \
    } catch (const std::bad_alloc&) {                                         \
        return OVX_E_OUT_OF_MEMORY;                                           \
    } catch (...) {                                                           \
        return OVX_E_UNEXPECTED;                                              \
    }

// ---- messages and heartbeats

uint32_t CSensorServices::CreateMessage(SS_HMESSAGE* message, const char* agentId, const char* name,
                                        const char* nameSpace) {
    OVX_REQUIRE(message != nullptr && agentId != nullptr && name != nullptr && nameSpace != nullptr, "CreateMessage");
    *message = nullptr;
    OVX_BOUNDED(agentId, "CreateMessage");
    OVX_BOUNDED(name, "CreateMessage");
    OVX_BOUNDED(nameSpace, "CreateMessage");
    OVX_BUILD({
        std::unique_ptr<CCmlDocumentBase> document(
            GetGlobalClassFactory()->CreateDocument(kCmlBaseUri, kVersionRoot, kTagOvx, kMatchExact));
        auto* created = dynamic_cast<CCmlMessage*>(document.get());
        if (created == nullptr) return OVX_E_UNEXPECTED;
        CAgentInfo& source = created->GetSource();
        source.SetAgentId(Wide(agentId));
        source.SetName(Wide(name));
        source.SetNamespace(Wide(nameSpace));
        created->SetMessageId(Wide(ovxToolsLib::ovxNewGuidText().c_str()));
        CAgentInfo destination;
        destination.SetName(L"AgentManager");
        destination.SetNamespace(kNsAgentManager);
        created->AddDestination(destination);
        document.release();
        *message = reinterpret_cast<SS_HMESSAGE>(created);
        return 0;
    })
}

uint32_t CSensorServices::FreeMessage(SS_HMESSAGE message) {
    delete MessageOf(message);
    return 0;
}

uint32_t CSensorServices::CreateHeartbeat(SS_HMESSAGE* message, const char* agentId, const char* name,
                                          const char* nameSpace, const char* version, const char* ipAddress) {
    OVX_REQUIRE(message != nullptr && agentId != nullptr && name != nullptr && nameSpace != nullptr &&
                    version != nullptr && ipAddress != nullptr,
                "CreateHeartbeat");
    *message = nullptr;
    for (const char* text : {agentId, name, nameSpace, version, ipAddress}) OVX_BOUNDED(text, "CreateHeartbeat");
    SS_HMESSAGE created = nullptr;
    uint32_t status = CreateMessage(&created, agentId, name, nameSpace);
    if (status != 0) return status;
    std::unique_ptr<CCmlMessage> heartbeat(MessageOf(created));
    OVX_BUILD({
        CAgentStartupAnnouncement prototype;
        prototype.SetRequestId(Wide(ovxToolsLib::ovxNewGuidText().c_str()).c_str());
        CAgentInfoContent& content = prototype.GetContent();
        content.name = Wide(name);
        content.agentId = Wide(agentId);
        content.namespaceUri = Wide(nameSpace);
        content.version = Wide(version);
        content.host.ipAddress = WithoutZone(ipAddress);
        static const std::pair<const wchar_t*, const wchar_t*> kSupported[] = {
            {kCmlBaseUri, kVersionRoot},
            {kNsCore, kVersionCore},
            {kNsMessage, kVersionMessage},
            {kNsMessageCommon, kVersionMessageCommon},
            {kNsAgentMessages, kVersionAgentMessages},
            {kNsPolicyMessages, kVersionPolicyMessages},
            {kNsSchemaMessages, kVersionSchemaMessages},
            {kNsTaskMessages, kVersionTaskMessages},
        };
        for (const auto& schema : kSupported) content.schemas.push_back(CSchemaInfo(schema.first, schema.second, L""));
        heartbeat->AddRequest(prototype);
        *message = reinterpret_cast<SS_HMESSAGE>(heartbeat.release());
        return 0;
    })
}

uint32_t CSensorServices::FreeHeartbeat(SS_HMESSAGE message) { return FreeMessage(message); }

// ---- the agent's description

uint32_t CSensorServices::SetBasicAgentInfo(SS_HMESSAGE message, const char* updateVersion, const char* lastUpdatePath,
                                            uint32_t updateStatus, const char* updateStatusDescription,
                                            uint32_t agentStatus, const char* agentInstallPath,
                                            const char* daemonInstallPath, const char* model, const char* groupnameHint,
                                            uint8_t useLocalSettings, uint8_t registerAgent, const char* lastRestart) {
    const char* builder = lastRestart != nullptr ? "SetBasicAgentInfoEx" : "SetBasicAgentInfo";
    OVX_REQUIRE(message != nullptr, builder);
    OVX_BUILD({
        CAgentStartupAnnouncement* announcement = AnnouncementOf(*MessageOf(message));
        if (announcement == nullptr) {
            Trace(SS_TRACE_ERROR, Where(builder).c_str(), kNoAnnouncement);
            return OVX_E_UNEXPECTED;
        }
        CAgentInfoContent& content = announcement->GetContent();
        // Numbers and flags are always written; strings only when given,
        // each checked when reached.
        content.packageStatus = updateStatus;
        content.agentStatus = agentStatus;
        content.useLocalSettings = useLocalSettings != 0;
        content.registerAgent = registerAgent != 0 ? L"true" : L"false";
        content.sendNewSchemas = HasSetSchemaRequestCallback();
        const std::pair<const char*, std::wstring*> strings[] = {
            {updateVersion, &content.packageVersion},
            {lastUpdatePath, &content.lastPackagePath},
            {updateStatusDescription, &content.packageStatusDescription},
            {agentInstallPath, &content.agentInstallPath},
            {daemonInstallPath, &content.daemonInstallPath},
            {model, &content.model},
            {groupnameHint, &content.groupNameHint},
        };
        for (const auto& field : strings) {
            if (field.first == nullptr) continue;
            OVX_BOUNDED(field.first, builder);
            *field.second = Wide(field.first);
        }
        if (lastRestart != nullptr) {
            OVX_BOUNDED(lastRestart, builder);
            XmlUtils::CDateTime when;
            when.FromString(Wide(lastRestart));
            if (when.IsNull()) {
                Trace(SS_TRACE_ERROR, "CSensorServices::SetBasicAgentInfoEx()",
                      "Invalid ISO 8601 date time parameter.");
                return OVX_E_INVALID_ARGUMENT;
            }
            content.lastRestart = Wide(lastRestart);
        }
        return 0;
    })
}

uint32_t CSensorServices::SetAgentInfo(SS_HMESSAGE message, const char* updateVersion, const char* agentStatus,
                                       uint32_t, const char* agentInstallPath, const char* daemonInstallPath) {
    uint32_t status = agentStatus != nullptr ? static_cast<uint32_t>(std::strtoul(agentStatus, nullptr, 10)) : 0;
    return SetBasicAgentInfo(message, updateVersion, nullptr, 0, nullptr, status, agentInstallPath, daemonInstallPath,
                             nullptr, nullptr, 0, 1, nullptr);
}

uint32_t CSensorServices::SetHostInfo(SS_HMESSAGE message, const char* hostName, const char* ipAddress, const char* os,
                                      uint32_t, const char* netbiosName, const char* netbiosDomain,
                                      const char* directoryObjectId, const char* directoryGroupId) {
    OVX_REQUIRE(message != nullptr, "SetHostInfo");
    OVX_BUILD({
        CAgentStartupAnnouncement* announcement = AnnouncementOf(*MessageOf(message));
        if (announcement == nullptr) {
            Trace(SS_TRACE_ERROR, Where("SetHostInfo").c_str(), kNoAnnouncement);
            return OVX_E_UNEXPECTED;
        }
        CHostInfo& host = announcement->GetContent().host;
        const std::pair<const char*, std::wstring*> strings[] = {
            {hostName, &host.hostName},
            {os, &host.os},
            {netbiosName, &host.nbName},
            {netbiosDomain, &host.nbDomain},
            {directoryObjectId, &host.adObjectId},
            {directoryGroupId, &host.adGroupId},
        };
        if (ipAddress != nullptr) {
            OVX_BOUNDED(ipAddress, "SetHostInfo");
            host.ipAddress = WithoutZone(ipAddress);
        }
        for (const auto& field : strings) {
            if (field.first == nullptr) continue;
            OVX_BOUNDED(field.first, "SetHostInfo");
            *field.second = Wide(field.first);
        }
        return 0;
    })
}

uint32_t CSensorServices::AddModuleInfo(SS_HMESSAGE message, const char* name, const char* version, uint32_t status,
                                        SS_HMODULE* module) {
    OVX_REQUIRE(message != nullptr && name != nullptr && version != nullptr, "AddModuleInfo");
    OVX_BOUNDED(name, "AddModuleInfo");
    OVX_BOUNDED(version, "AddModuleInfo");
    OVX_BUILD({
        CAgentStartupAnnouncement* announcement = AnnouncementOf(*MessageOf(message));
        if (announcement == nullptr) {
            Trace(SS_TRACE_ERROR, Where("AddModuleInfo").c_str(), kNoAnnouncement);
            return OVX_E_UNEXPECTED;
        }
        auto& modules = announcement->GetContent().modules;
        modules.emplace_back(Wide(name), Wide(version), status);
        if (module != nullptr) *module = reinterpret_cast<SS_HMODULE>(&modules.back());
        return 0;
    })
}

uint32_t CSensorServices::AddSchemaInfo(SS_HMESSAGE message, const char* name, const char* nameSpace,
                                        const char* version, uint8_t root, uint8_t cpeEditable, uint8_t overwrite,
                                        uint8_t getFromAgent) {
    OVX_REQUIRE(message != nullptr && nameSpace != nullptr && version != nullptr, "AddSchemaInfo");
    OVX_BOUNDED(nameSpace, "AddSchemaInfo");
    OVX_BOUNDED(version, "AddSchemaInfo");
    OVX_BOUNDED(name, "AddSchemaInfo");
    OVX_BUILD({
        CAgentStartupAnnouncement* announcement = AnnouncementOf(*MessageOf(message));
        if (announcement == nullptr) {
            Trace(SS_TRACE_ERROR, Where("AddSchemaInfo").c_str(), kNoAnnouncement);
            return OVX_E_UNEXPECTED;
        }
        announcement->GetContent().schemas.push_back(CSchemaInfo(Wide(nameSpace), Wide(version), Wide(name),
                                                                 overwrite != 0, root != 0, cpeEditable != 0,
                                                                 getFromAgent != 0, false));
        return 0;
    })
}

// ---- the parse family

uint32_t CSensorServices::ParseInto(const char* builder, const wchar_t* systemId, const char* text, uint32_t length,
                                    const char* rootMissing, const std::function<void(CCmlDOM_Element&)>& add) {
    const std::string where = Where(builder);
    try {
        // The agent's own texts: read as written, not validated against
        // schemas the host may not have.
        CCmlParser parser(kDoNotValidate);
        parser.ParseBuffer(text, length, kDoNotValidate, nullptr, systemId);
        CCmlDOM_Element root = parser.GetDocument().getDocumentElement();
        if (root.IsNull()) {
            Trace(SS_TRACE_ERROR, where.c_str(), rootMissing);
            return kParseFailed;
        }
        add(root);
        return 0;
    } catch (const CCmlException& error) {
        Trace(SS_TRACE_ERROR, where.c_str(), ParseFailureLine(error, kParseFailed).c_str());
        return kParseFailed;
    } catch (const std::bad_alloc&) {
        return OVX_E_OUT_OF_MEMORY;
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
}

uint32_t CSensorServices::AddAgentParams(SS_HMESSAGE message, const char* xmlText, uint32_t xmlLength) {
    OVX_REQUIRE(message != nullptr && xmlText != nullptr && xmlLength != 0, "AddAgentParams");
    CAgentStartupAnnouncement* announcement = nullptr;
    OVX_BUILD({ announcement = AnnouncementOf(*MessageOf(message)); })
    if (announcement == nullptr) {
        Trace(SS_TRACE_ERROR, Where("AddAgentParams").c_str(), kNoAnnouncement);
        return OVX_E_UNEXPECTED;
    }
    return ParseInto("AddAgentParams", L"OVX-SensorServices-AddAgentParams", xmlText, xmlLength,
                     "parsed policy but document root element is NULL!",
                     [&](CCmlDOM_Element& root) { announcement->GetContent().AddPolicy(new CPolicyNode(root)); });
}

uint32_t CSensorServices::AddModuleInfoParams(SS_HMODULE module, const char* xmlText, uint32_t xmlLength) {
    OVX_REQUIRE(module != nullptr && xmlText != nullptr && xmlLength != 0, "AddModuleInfoParams");
    auto* entry = reinterpret_cast<CModuleInfo*>(module);
    return ParseInto("AddModuleInfoParams", L"OVX-SensorServices-AddModuleInfoParams", xmlText, xmlLength,
                     "parsed policy but document root element is NULL!",
                     [&](CCmlDOM_Element& root) { entry->AddPolicy(root); });
}

uint32_t CSensorServices::AddSetPolicyRequest(SS_HMESSAGE message, const char* xmlText, uint32_t xmlLength,
                                              char* buffer, uint32_t* length) {
    OVX_REQUIRE(message != nullptr && xmlText != nullptr && xmlLength != 0, "AddSetPolicyRequest");
    CSetPolicyRequest* request = nullptr;
    OVX_BUILD(
        { request = RequestOf(*MessageOf(message), kReqSetPolicyRequest, kNsPolicyMessages, CSetPolicyRequest()); })
    if (request == nullptr) return OVX_E_UNEXPECTED;
    uint32_t status = ParseInto("AddSetPolicyRequest", L"OVX-SensorServices-SetPolicyRequest", xmlText, xmlLength,
                                "parsed policy but document root element is NULL!",
                                [&](CCmlDOM_Element& root) { request->AddPolicy(root); });
    if (status != 0) return status;
    OVX_BUILD({
        CopyRequestText(*request, buffer, length);
        return 0;
    })
}

uint32_t CSensorServices::AddSetSchemaRequest(SS_HMESSAGE message, const char* name, const char* nameSpace,
                                              const char* version, uint8_t flag, const char* schemaText,
                                              uint32_t schemaLength, char* buffer, uint32_t* length) {
    OVX_REQUIRE(
        message != nullptr && nameSpace != nullptr && version != nullptr && schemaText != nullptr && schemaLength != 0,
        "AddSetSchemaRequest");
    OVX_BOUNDED(nameSpace, "AddSetSchemaRequest");
    OVX_BOUNDED(version, "AddSetSchemaRequest");
    OVX_BOUNDED(name, "AddSetSchemaRequest");
    CSetSchemaRequest* request = nullptr;
    OVX_BUILD(
        { request = RequestOf(*MessageOf(message), kReqSetSchemaRequest, kNsSchemaMessages, CSetSchemaRequest()); })
    if (request == nullptr) return OVX_E_UNEXPECTED;
    uint32_t status =
        ParseInto("AddSetSchemaRequest", L"OVX-SensorServices-SetSchemaRequest", schemaText, schemaLength,
                  "parsed schema but document root element is NULL!", [&](CCmlDOM_Element& root) {
                      request->AddItem(CSetSchemaRequestData(Wide(nameSpace), root, Wide(version), Wide(name),
                                                             flag != 0, false, false, false, false));
                  });
    if (status != 0) return status;
    OVX_BUILD({
        CopyRequestText(*request, buffer, length);
        return 0;
    })
}

uint32_t CSensorServices::AddGetSchemaResponse(SS_HMESSAGE message, const char* name, const char* nameSpace,
                                               const char* version, uint32_t code, const char* text, uint8_t flag,
                                               const char* schemaText, uint32_t schemaLength, const char* requestId,
                                               uint32_t requestIdLength) {
    OVX_REQUIRE(message != nullptr && nameSpace != nullptr && requestId != nullptr && requestIdLength != 0,
                "AddGetSchemaResponse");
    for (const char* field : {name, nameSpace, version, text}) OVX_BOUNDED(field, "AddGetSchemaResponse");
    CGetSchemaResponse* response = nullptr;
    OVX_BUILD({
        response = ResponseOf(*MessageOf(message), kRespGetSchemaResponse, kNsSchemaMessages, CGetSchemaResponse(),
                              requestId, requestIdLength);
    })
    if (response == nullptr) return OVX_E_UNEXPECTED;
    CGetSchemaResponseData data;
    data.SetNamespace(Wide(nameSpace));
    data.SetVersion(Wide(version));
    data.SetName(Wide(name));
    data.SetOverwrite(flag != 0);
    data.SetCode(code);
    data.SetText(Wide(text));
    if (schemaText != nullptr && schemaLength != 0) {
        uint32_t status = ParseInto("AddGetSchemaResponse", L"OVX-SensorServices-GetSchemaRequest", schemaText,
                                    schemaLength, "parsed schema but document root element is NULL!",
                                    [&](CCmlDOM_Element& root) { data.SetSchema(root); });
        if (status != 0) return status;
    }
    OVX_BUILD({
        response->AddItem(data);
        if (code != 0) response->SetCode(kGetSchemaItemFailed);
        return 0;
    })
}

// ---- policy and schema items

uint32_t CSensorServices::AddGetPolicyRequest(SS_HMESSAGE message, const char* token, const char* name,
                                              const char* nameSpace, const char* schemaVersion, char* buffer,
                                              uint32_t* length) {
    OVX_REQUIRE(message != nullptr && nameSpace != nullptr, "AddGetPolicyRequest");
    for (const char* field : {token, name, nameSpace, schemaVersion}) OVX_BOUNDED(field, "AddGetPolicyRequest");
    OVX_BUILD({
        CGetPolicyRequest* request =
            RequestOf(*MessageOf(message), kReqGetPolicyRequest, kNsPolicyMessages, CGetPolicyRequest());
        if (request == nullptr) return OVX_E_UNEXPECTED;
        CPolicyItem item;
        item.SetElementName(L"policy-item");
        item.SetToken(token != nullptr ? Wide(token) : L"0");
        item.SetName(Wide(name));
        item.SetNamespace(Wide(nameSpace));
        item.SetSchemaVersion(Wide(schemaVersion));
        request->AddItem(item);
        CopyRequestText(*request, buffer, length);
        return 0;
    })
}

uint32_t CSensorServices::AddSetPolicyResponse(SS_HMESSAGE message, const char* name, const char* nameSpace,
                                               const char* schemaVersion, uint32_t code, const char* text,
                                               const char* token, const char* requestId, uint32_t requestIdLength) {
    OVX_REQUIRE(message != nullptr && nameSpace != nullptr && schemaVersion != nullptr && requestId != nullptr &&
                    requestIdLength != 0,
                "AddSetPolicyResponse");
    for (const char* field : {name, nameSpace, schemaVersion, text, token}) OVX_BOUNDED(field, "AddSetPolicyResponse");
    OVX_BUILD({
        CSetPolicyResponse* response = ResponseOf(*MessageOf(message), kRespSetPolicyResponse, kNsPolicyMessages,
                                                  CSetPolicyResponse(), requestId, requestIdLength);
        if (response == nullptr) return OVX_E_UNEXPECTED;
        CPolicyItem item;
        item.SetElementName(L"policy-item");
        item.SetName(Wide(name));
        item.SetNamespace(Wide(nameSpace));
        item.SetSchemaVersion(Wide(schemaVersion));
        item.SetCode(code);
        item.SetText(Wide(text));
        item.SetToken(Wide(token));
        response->AddItem(item);
        if (code != 0 && response->GetCode() == 0) response->SetCode(kSetPolicyItemFailed);
        return 0;
    })
}

uint32_t CSensorServices::AddGetSchemaRequest(SS_HMESSAGE message, const char* name, const char* nameSpace,
                                              const char* version, char* buffer, uint32_t* length) {
    OVX_REQUIRE(message != nullptr && nameSpace != nullptr, "AddGetSchemaRequest");
    for (const char* field : {name, nameSpace, version}) OVX_BOUNDED(field, "AddGetSchemaRequest");
    OVX_BUILD({
        CSchemaRequest* request = RequestOf(*MessageOf(message), kReqGetSchemaRequest, kNsSchemaMessages,
                                            CSchemaRequest(kReqGetSchemaRequest));
        if (request == nullptr) return OVX_E_UNEXPECTED;
        request->AddItem(CSchemaInfo(Wide(nameSpace), Wide(version), Wide(name)));
        CopyRequestText(*request, buffer, length);
        return 0;
    })
}

uint32_t CSensorServices::AddSetSchemaResponse(SS_HMESSAGE message, const char* name, const char* nameSpace,
                                               const char* version, uint32_t code, const char* text,
                                               const char* requestId, uint32_t requestIdLength) {
    OVX_REQUIRE(message != nullptr && nameSpace != nullptr && requestId != nullptr && requestIdLength != 0,
                "AddSetSchemaResponse");
    for (const char* field : {name, nameSpace, version, text}) OVX_BOUNDED(field, "AddSetSchemaResponse");
    OVX_BUILD({
        CSchemaResponse* response = ResponseOf(*MessageOf(message), kRespSetSchemaResponse, kNsSchemaMessages,
                                               CSchemaResponse(kRespSetSchemaResponse), requestId, requestIdLength);
        if (response == nullptr) return OVX_E_UNEXPECTED;
        CSchemaInfoResponseData item(Wide(nameSpace), Wide(version), Wide(name));
        item.SetCode(code);
        item.SetText(Wide(text));
        response->AddItem(item);
        if (code != 0 && response->GetCode() == 0) response->SetCode(kSetSchemaItemFailed);
        return 0;
    })
}

}  // namespace ovxSensorServices
