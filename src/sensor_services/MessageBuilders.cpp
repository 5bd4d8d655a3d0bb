// The builders: what the agent says about itself and the requests and
// responses it queues, written into CML objects of a message handle.
#include <cstring>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <string>
#include <type_traits>

#include "cml/core/cmlDocument.h"
#include "cml/core/cmlException.h"
#include "cml/core/cmlMessage.h"
#include "cml/core/cmlNamespaces.h"
#include "cml/core/cmlParser.h"
#include "cml/core/cmlSerialize.h"
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
#include "tools/ovxXmlChars.h"
#include "tools/xsnprintf.h"

using namespace ovx::cml;

namespace ovxSensorServices {

namespace {

const char kRequiredNull[] = "A required input parameter is NULL.";
const char kTooLarge[] = "An input parameter is too large.";
const char kNotXmlText[] = "An input parameter holds a character XML cannot carry: ";
const char kNoAnnouncement[] = "Heartbeat message is missing its startup announcement";
const char kNotUtf8[] = "An input parameter is not well-formed UTF-8; U+FFFD stands for its ill-formed bytes: ";

// Whether the bytes are well-formed UTF-8: no overlong form, surrogate, value
// past U+10FFFF or cut sequence. Plain ASCII, by far the most common text,
// costs one compare a byte.
bool IsWellFormedUtf8(const char* text, size_t length) {
    const char* cursor = text;
    const char* const end = text + length;
    while (cursor != end) {
        if (static_cast<unsigned char>(*cursor) < 0x80) {
            ++cursor;
            continue;
        }
        char32_t character = 0;
        if (ovxToolsLib::ovxDecodeUtf8(&cursor, end, &character) != 1) return false;
    }
    return true;
}

// The reading of a date and time is lenient about what it stores; what the
// agent gives as its last restart must also be a date and time that exists:
// month 1 to 12, a day of that month, hour 0 to 23 (24 only for the end of
// a day), minute 0 to 59, seconds below 61 (a leap second), and an offset of
// at most 14 hours.
bool IsCalendarDateTime(const XmlUtils::CDateTime& when) {
    const int32_t year = when.GetYear(), month = when.GetMonth(), day = when.GetDay();
    if (month < 1 || month > 12 || day < 1) return false;
    static const int32_t kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (day > kDays[month - 1] + (month == 2 && leap ? 1 : 0)) return false;
    const int32_t hour = when.GetHour(), minute = when.GetMinute();
    const double seconds = when.GetSeconds();
    if (minute < 0 || minute > 59 || !(seconds >= 0.0 && seconds < 61.0)) return false;
    if (hour < 0 || hour > 24 || (hour == 24 && (minute != 0 || seconds != 0.0))) return false;
    if (when.HasTimeZone()) {
        const int32_t zoneHours = when.GetTimeZoneHours(), zoneMinutes = when.GetTimeZoneMinutes();
        if (zoneHours < -14 || zoneHours > 14 || zoneMinutes < 0 || zoneMinutes > 59) return false;
    }
    return true;
}

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

// The request of the message with `tag`, or null.
template <class Request>
Request* FindRequest(CCmlMessage& message, const wchar_t* tag, const wchar_t* ns) {
    for (CCmlRequest* request : message.GetRequests()) {
        if (request->GetTagName() == tag && InMessageNamespace(*request, ns)) {
            if (auto* typed = dynamic_cast<Request*>(request)) return typed;
        }
    }
    return nullptr;
}

template <class Response>
Response* FindResponse(CCmlMessage& message, const wchar_t* tag, const wchar_t* ns) {
    for (CCmlResponse* response : message.GetResponses()) {
        if (response->GetTagName() == tag && InMessageNamespace(*response, ns)) {
            if (auto* typed = dynamic_cast<Response*>(response)) return typed;
        }
    }
    return nullptr;
}

// A builder changes the message only once everything it adds is ready:
// `fill` runs on the request the message already has, or on a new one made
// aside, which is attached only when `fill` returned. A failure in between
// leaves the message as it was.
// The new one is made by `make` only when the message has none yet: most
// calls add to the one the first call made.
template <class Make, class Fill, class Request = std::invoke_result_t<Make>>
Request* AddToRequest(CCmlMessage& message, const wchar_t* tag, const wchar_t* ns, Make make, Fill fill) {
    if (Request* existing = FindRequest<Request>(message, tag, ns)) {
        fill(*existing);
        return existing;
    }
    Request prototype = make();
    fill(prototype);
    return dynamic_cast<Request*>(message.AddRequest(prototype));
}

template <class Make, class Fill, class Response = std::invoke_result_t<Make>>
Response* AddToResponse(CCmlMessage& message, const wchar_t* tag, const wchar_t* ns, Make make, const char* requestId,
                        uint32_t requestIdLength, Fill fill) {
    if (Response* existing = FindResponse<Response>(message, tag, ns)) {
        fill(*existing);
        return existing;
    }
    Response prototype = make();
    prototype.SetRequestId(Wide(requestId, requestIdLength).c_str());
    fill(prototype);
    return dynamic_cast<Response*>(message.AddResponse(prototype));
}

// The request as UTF-8 text into the caller's buffer, when it fits. The
// copy is a service on the side: the builder has completed when it runs, so
// a copy that cannot be made leaves the buffer zeroed, nothing else.
void CopyRequestText(const CCmlDocumentBase& request, char* buffer, uint32_t* length) {
    if (buffer == nullptr || length == nullptr) return;
    std::memset(buffer, 0, *length);
    try {
        std::ostringstream out;
        request.Serialize(out);
        const std::string text = out.str();
        if (text.size() <= *length) {
            std::memcpy(buffer, text.data(), text.size());
            *length = static_cast<uint32_t>(text.size());
        }
    } catch (...) {
        std::memset(buffer, 0, *length);
    }
}

}  // namespace

bool CSensorServices::HasSetSchemaRequestCallback() const {
    return ReadCallback(&CCallbackRegistry::Callbacks::setSchemaRequest) != nullptr;
}

// Every string argument of a builder is checked before anything changes:
// required ones for NULL, then each for its length (a NUL within 4096
// bytes) and for characters XML cannot carry, which would make every
// document that holds it malformed.
uint32_t CSensorServices::CheckArguments(const char* builder, std::initializer_list<BuilderArgument> arguments) const {
    for (const BuilderArgument& argument : arguments) {
        if (argument.required && argument.value == nullptr) {
            Trace(SS_TRACE_ERROR, Where(builder).c_str(), kRequiredNull);
            return OVX_E_INVALID_ARGUMENT;
        }
    }
    // Ill-formed bytes are carried as U+FFFD (a module named by raw bytes is
    // still reported), and said once every argument has passed, so that the
    // agent can find the text. Each string is measured once.
    uint64_t illFormed = 0;
    size_t index = 0;
    for (const BuilderArgument& argument : arguments) {
        const size_t bit = index++;
        if (argument.value == nullptr) continue;
        // Measured in one pass that also tells whether the text is printable
        // ASCII, as nearly every argument is: such text is XML text and
        // well-formed UTF-8 without the two checks below.
        size_t length = 0;
        bool printable = true;
        for (; length <= kMaxArgumentBytes && argument.value[length] != '\0'; ++length) {
            printable &= static_cast<unsigned char>(argument.value[length] - 0x20) < 0x5F;
        }
        if (length > kMaxArgumentBytes) {
            Trace(SS_TRACE_ERROR, Where(builder).c_str(), kTooLarge);
            return OVX_E_INVALID_ARGUMENT;
        }
        if (printable) continue;
        if (!ovxToolsLib::ovxIsXmlText(argument.value, length)) {
            Trace(SS_TRACE_ERROR, Where(builder).c_str(), (std::string(kNotXmlText) + argument.name).c_str());
            return OVX_E_INVALID_ARGUMENT;
        }
        if (bit < 64 && !IsWellFormedUtf8(argument.value, length)) illFormed |= uint64_t{1} << bit;
    }
    index = 0;
    for (const BuilderArgument& argument : arguments) {
        const size_t bit = index++;
        if (bit < 64 && ((illFormed >> bit) & 1u) != 0) {
            Trace(SS_TRACE_WARNING, Where(builder).c_str(), (std::string(kNotUtf8) + argument.name).c_str());
        }
    }
    return 0;
}

// The id of the request a response answers: bytes and a length.
uint32_t CSensorServices::CheckRequestId(const char* builder, const char* requestId, uint32_t length) const {
    if (requestId == nullptr || length == 0) {
        Trace(SS_TRACE_ERROR, Where(builder).c_str(), kRequiredNull);
        return OVX_E_INVALID_ARGUMENT;
    }
    if (length > kMaxArgumentBytes) {
        Trace(SS_TRACE_ERROR, Where(builder).c_str(), kTooLarge);
        return OVX_E_INVALID_ARGUMENT;
    }
    if (!ovxToolsLib::ovxIsXmlText(requestId, length)) {
        Trace(SS_TRACE_ERROR, Where(builder).c_str(), (std::string(kNotXmlText) + "requestId").c_str());
        return OVX_E_INVALID_ARGUMENT;
    }
    if (!IsWellFormedUtf8(requestId, length)) {
        Trace(SS_TRACE_WARNING, Where(builder).c_str(), (std::string(kNotUtf8) + "requestId").c_str());
    }
    return 0;
}

#define OVX_CHECK(builder, ...)                                          \
    do {                                                                 \
        const uint32_t checked = CheckArguments(builder, {__VA_ARGS__}); \
        if (checked != 0) return checked;                                \
    } while (0)
#define OVX_REQUIRE(condition, builder)                                   \
    do {                                                                  \
        if (!(condition)) {                                               \
            Trace(SS_TRACE_ERROR, Where(builder).c_str(), kRequiredNull); \
            return OVX_E_INVALID_ARGUMENT;                                \
        }                                                                 \
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
    if (message != nullptr) *message = nullptr;
    OVX_REQUIRE(message != nullptr, "CreateMessage");
    OVX_CHECK("CreateMessage", {"agentId", agentId, true}, {"name", name, true}, {"nameSpace", nameSpace, true});
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
    if (message != nullptr) *message = nullptr;
    OVX_REQUIRE(message != nullptr, "CreateHeartbeat");
    OVX_CHECK("CreateHeartbeat", {"agentId", agentId, true}, {"name", name, true}, {"nameSpace", nameSpace, true},
              {"version", version, true}, {"ipAddress", ipAddress, true});
    // The last heartbeat goes before the next is built: the peak holds one.
    FreeSentHeartbeat();
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
    OVX_CHECK(builder, {"updateVersion", updateVersion, false}, {"lastUpdatePath", lastUpdatePath, false},
              {"updateStatusDescription", updateStatusDescription, false},
              {"agentInstallPath", agentInstallPath, false}, {"daemonInstallPath", daemonInstallPath, false},
              {"model", model, false}, {"groupnameHint", groupnameHint, false}, {"lastRestart", lastRestart, false});
    OVX_BUILD({
        CAgentStartupAnnouncement* announcement = AnnouncementOf(*MessageOf(message));
        if (announcement == nullptr) {
            Trace(SS_TRACE_ERROR, Where(builder).c_str(), kNoAnnouncement);
            return OVX_E_UNEXPECTED;
        }
        if (lastRestart != nullptr) {
            XmlUtils::CDateTime when;
            when.FromString(Wide(lastRestart));
            if (when.IsNull() || !IsCalendarDateTime(when)) {
                Trace(SS_TRACE_ERROR, "CSensorServices::SetBasicAgentInfoEx()",
                      "Invalid ISO 8601 date time parameter.");
                return OVX_E_INVALID_ARGUMENT;
            }
        }
        // Everything checked: the new texts are made aside, then moved in,
        // which cannot fail. (The content itself stays: module handles
        // point into it.)
        const char* const given[] = {updateVersion,     lastUpdatePath, updateStatusDescription, agentInstallPath,
                                     daemonInstallPath, model,          groupnameHint,           lastRestart};
        std::wstring converted[8];
        for (size_t i = 0; i < 8; ++i) {
            if (given[i] != nullptr) converted[i] = Wide(given[i]);
        }
        std::wstring registerText = registerAgent != 0 ? L"true" : L"false";
        const bool sendNewSchemas = HasSetSchemaRequestCallback();
        CAgentInfoContent& content = announcement->GetContent();
        std::wstring* const fields[] = {
            &content.packageVersion,   &content.lastPackagePath,   &content.packageStatusDescription,
            &content.agentInstallPath, &content.daemonInstallPath, &content.model,
            &content.groupNameHint,    &content.lastRestart};
        for (size_t i = 0; i < 8; ++i) {
            if (given[i] != nullptr) *fields[i] = std::move(converted[i]);
        }
        content.packageStatus = updateStatus;
        content.agentStatus = agentStatus;
        content.useLocalSettings = useLocalSettings != 0;
        content.registerAgent = std::move(registerText);
        content.sendNewSchemas = sendNewSchemas;
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
    OVX_CHECK("SetHostInfo", {"hostName", hostName, false}, {"ipAddress", ipAddress, false}, {"os", os, false},
              {"netbiosName", netbiosName, false}, {"netbiosDomain", netbiosDomain, false},
              {"directoryObjectId", directoryObjectId, false}, {"directoryGroupId", directoryGroupId, false});
    OVX_BUILD({
        CAgentStartupAnnouncement* announcement = AnnouncementOf(*MessageOf(message));
        if (announcement == nullptr) {
            Trace(SS_TRACE_ERROR, Where("SetHostInfo").c_str(), kNoAnnouncement);
            return OVX_E_UNEXPECTED;
        }
        CHostInfo host = announcement->GetContent().host;
        const std::pair<const char*, std::wstring*> strings[] = {
            {hostName, &host.hostName},
            {os, &host.os},
            {netbiosName, &host.nbName},
            {netbiosDomain, &host.nbDomain},
            {directoryObjectId, &host.adObjectId},
            {directoryGroupId, &host.adGroupId},
        };
        if (ipAddress != nullptr) host.ipAddress = WithoutZone(ipAddress);
        for (const auto& field : strings) {
            if (field.first != nullptr) *field.second = Wide(field.first);
        }
        std::swap(announcement->GetContent().host, host);
        return 0;
    })
}

uint32_t CSensorServices::AddModuleInfo(SS_HMESSAGE message, const char* name, const char* version, uint32_t status,
                                        SS_HMODULE* module) {
    if (module != nullptr) *module = nullptr;
    OVX_REQUIRE(message != nullptr, "AddModuleInfo");
    OVX_CHECK("AddModuleInfo", {"name", name, true}, {"version", version, true});
    OVX_BUILD({
        CAgentStartupAnnouncement* announcement = AnnouncementOf(*MessageOf(message));
        if (announcement == nullptr) {
            Trace(SS_TRACE_ERROR, Where("AddModuleInfo").c_str(), kNoAnnouncement);
            return OVX_E_UNEXPECTED;
        }
        auto& modules = announcement->GetContent().modules;
        modules.emplace_back(CleanUtf8(name), CleanUtf8(version), status);
        if (module != nullptr) *module = reinterpret_cast<SS_HMODULE>(&modules.back());
        return 0;
    })
}

uint32_t CSensorServices::AddSchemaInfo(SS_HMESSAGE message, const char* name, const char* nameSpace,
                                        const char* version, uint8_t root, uint8_t cpeEditable, uint8_t overwrite,
                                        uint8_t getFromAgent) {
    OVX_REQUIRE(message != nullptr, "AddSchemaInfo");
    OVX_CHECK("AddSchemaInfo", {"nameSpace", nameSpace, true}, {"version", version, true}, {"name", name, false});
    OVX_BUILD({
        CAgentStartupAnnouncement* announcement = AnnouncementOf(*MessageOf(message));
        if (announcement == nullptr) {
            Trace(SS_TRACE_ERROR, Where("AddSchemaInfo").c_str(), kNoAnnouncement);
            return OVX_E_UNEXPECTED;
        }
        announcement->GetContent().schemas.push_back(CSchemaInfo(CleanUtf8(nameSpace), CleanUtf8(version),
                                                                 CleanUtf8(name), overwrite != 0, root != 0,
                                                                 cpeEditable != 0, getFromAgent != 0, false));
        return 0;
    })
}

// ---- the parse family
//
// The text is parsed first; only a document that parsed is added, so a
// refused text leaves the message exactly as it was.

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
            return OVX_E_BAD_XML_INPUT;
        }
        add(root);
        return 0;
    } catch (const CCmlException& error) {
        Trace(SS_TRACE_ERROR, where.c_str(), ParseFailureLine(error, OVX_E_BAD_XML_INPUT).c_str());
        return OVX_E_BAD_XML_INPUT;
    } catch (const std::bad_alloc&) {
        return OVX_E_OUT_OF_MEMORY;
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
}

namespace {

// A policy is written with a schema location for every namespace it brings
// (its own and those of descendants that carry a schema version). A namespace
// outside the CML ones has no schema location, so a message holding such a
// policy could never be written: every post of it would fail and, merged,
// it would take every later heartbeat down with it. It is refused here, as a
// text that is not the CML document asked for, before the message changes.
void RequireWritable(const CPolicyNode& policy) {
    CNamespaceSet namespaces;
    policy.CollectNamespaces(namespaces);
    std::wstring file;
    for (const CNamespace& entry : namespaces) {
        XmlUtils::BuildSchemaFileName(entry.GetNamespaceUri(), entry.GetSchemaVersion(), std::wstring(L"./schemas"),
                                      file);
    }
}

}  // namespace

uint32_t CSensorServices::AddAgentParams(SS_HMESSAGE message, const char* xmlText, uint32_t xmlLength) {
    OVX_REQUIRE(message != nullptr && xmlText != nullptr && xmlLength != 0, "AddAgentParams");
    CAgentStartupAnnouncement* announcement = nullptr;
    OVX_BUILD({ announcement = AnnouncementOf(*MessageOf(message)); })
    if (announcement == nullptr) {
        Trace(SS_TRACE_ERROR, Where("AddAgentParams").c_str(), kNoAnnouncement);
        return OVX_E_UNEXPECTED;
    }
    return ParseInto("AddAgentParams", L"OVX-SensorServices-AddAgentParams", xmlText, xmlLength,
                     "parsed policy but document root element is NULL!", [&](CCmlDOM_Element& root) {
                         std::unique_ptr<CPolicyNode> policy(new CPolicyNode(root));
                         RequireWritable(*policy);
                         announcement->GetContent().AddPolicy(policy.release());
                     });
}

uint32_t CSensorServices::AddModuleInfoParams(SS_HMODULE module, const char* xmlText, uint32_t xmlLength) {
    OVX_REQUIRE(module != nullptr && xmlText != nullptr && xmlLength != 0, "AddModuleInfoParams");
    auto* entry = reinterpret_cast<CModuleInfo*>(module);
    return ParseInto("AddModuleInfoParams", L"OVX-SensorServices-AddModuleInfoParams", xmlText, xmlLength,
                     "parsed policy but document root element is NULL!", [&](CCmlDOM_Element& root) {
                         RequireWritable(CPolicyNode(root));
                         entry->AddPolicy(root);
                     });
}

uint32_t CSensorServices::AddSetPolicyRequest(SS_HMESSAGE message, const char* xmlText, uint32_t xmlLength,
                                              char* buffer, uint32_t* length) {
    OVX_REQUIRE(message != nullptr && xmlText != nullptr && xmlLength != 0, "AddSetPolicyRequest");
    CSetPolicyRequest* request = nullptr;
    uint32_t status = ParseInto("AddSetPolicyRequest", L"OVX-SensorServices-SetPolicyRequest", xmlText, xmlLength,
                                "parsed policy but document root element is NULL!", [&](CCmlDOM_Element& root) {
                                    RequireWritable(CPolicyNode(root));
                                    request = AddToRequest(
                                        *MessageOf(message), kReqSetPolicyRequest, kNsPolicyMessages,
                                        [] { return CSetPolicyRequest(); },
                                        [&](CSetPolicyRequest& target) { target.AddPolicy(root); });
                                });
    if (status != 0) return status;
    if (request == nullptr) return OVX_E_UNEXPECTED;
    CopyRequestText(*request, buffer, length);
    return 0;
}

uint32_t CSensorServices::AddSetSchemaRequest(SS_HMESSAGE message, const char* name, const char* nameSpace,
                                              const char* version, uint8_t flag, const char* schemaText,
                                              uint32_t schemaLength, char* buffer, uint32_t* length) {
    OVX_REQUIRE(message != nullptr && schemaText != nullptr && schemaLength != 0, "AddSetSchemaRequest");
    OVX_CHECK("AddSetSchemaRequest", {"nameSpace", nameSpace, true}, {"version", version, true}, {"name", name, false});
    CSetSchemaRequest* request = nullptr;
    uint32_t status =
        ParseInto("AddSetSchemaRequest", L"OVX-SensorServices-SetSchemaRequest", schemaText, schemaLength,
                  "parsed schema but document root element is NULL!", [&](CCmlDOM_Element& root) {
                      CSetSchemaRequestData item(Wide(nameSpace), root, Wide(version), Wide(name), flag != 0, false,
                                                 false, false, false);
                      request = AddToRequest(
                          *MessageOf(message), kReqSetSchemaRequest, kNsSchemaMessages,
                          [] { return CSetSchemaRequest(); }, [&](CSetSchemaRequest& target) { target.AddItem(item); });
                  });
    if (status != 0) return status;
    if (request == nullptr) return OVX_E_UNEXPECTED;
    CopyRequestText(*request, buffer, length);
    return 0;
}

uint32_t CSensorServices::AddGetSchemaResponse(SS_HMESSAGE message, const char* name, const char* nameSpace,
                                               const char* version, uint32_t code, const char* text, uint8_t flag,
                                               const char* schemaText, uint32_t schemaLength, const char* requestId,
                                               uint32_t requestIdLength) {
    OVX_REQUIRE(message != nullptr && requestId != nullptr && requestIdLength != 0, "AddGetSchemaResponse");
    OVX_CHECK("AddGetSchemaResponse", {"nameSpace", nameSpace, true}, {"name", name, false},
              {"version", version, false}, {"text", text, false});
    const uint32_t idStatus = CheckRequestId("AddGetSchemaResponse", requestId, requestIdLength);
    if (idStatus != 0) return idStatus;
    CGetSchemaResponseData data;
    OVX_BUILD({
        data.SetNamespace(Wide(nameSpace));
        data.SetVersion(Wide(version));
        data.SetName(Wide(name));
        data.SetOverwrite(flag != 0);
        data.SetCode(code);
        data.SetText(Wide(text));
    })
    if (schemaText != nullptr && schemaLength != 0) {
        uint32_t status = ParseInto("AddGetSchemaResponse", L"OVX-SensorServices-GetSchemaRequest", schemaText,
                                    schemaLength, "parsed schema but document root element is NULL!",
                                    [&](CCmlDOM_Element& root) { data.SetSchema(root); });
        if (status != 0) return status;
    }
    OVX_BUILD({
        AddToResponse(
            *MessageOf(message), kRespGetSchemaResponse, kNsSchemaMessages, [] { return CGetSchemaResponse(); },
            requestId, requestIdLength,
            [&](CGetSchemaResponse& target) {
                target.AddItem(data);
                if (code != 0) target.SetCode(OVX_E_CML_GET_SCHEMA_FAILED);
            });
        return 0;
    })
}

// ---- policy and schema items

uint32_t CSensorServices::AddGetPolicyRequest(SS_HMESSAGE message, const char* token, const char* name,
                                              const char* nameSpace, const char* schemaVersion, char* buffer,
                                              uint32_t* length) {
    OVX_REQUIRE(message != nullptr, "AddGetPolicyRequest");
    OVX_CHECK("AddGetPolicyRequest", {"nameSpace", nameSpace, true}, {"token", token, false}, {"name", name, false},
              {"schemaVersion", schemaVersion, false});
    OVX_BUILD({
        CPolicyItem item;
        item.SetElementNameUtf8("policy-item");
        item.SetTokenUtf8(token != nullptr ? CleanUtf8(token) : std::string("0"));
        item.SetNameUtf8(CleanUtf8(name));
        item.SetNamespaceUtf8(CleanUtf8(nameSpace));
        item.SetSchemaVersionUtf8(CleanUtf8(schemaVersion));
        CGetPolicyRequest* request = AddToRequest(
            *MessageOf(message), kReqGetPolicyRequest, kNsPolicyMessages, [] { return CGetPolicyRequest(); },
            [&](CGetPolicyRequest& target) { target.AddItem(item); });
        if (request == nullptr) return OVX_E_UNEXPECTED;
        CopyRequestText(*request, buffer, length);
        return 0;
    })
}

uint32_t CSensorServices::AddSetPolicyResponse(SS_HMESSAGE message, const char* name, const char* nameSpace,
                                               const char* schemaVersion, uint32_t code, const char* text,
                                               const char* token, const char* requestId, uint32_t requestIdLength) {
    OVX_REQUIRE(message != nullptr && requestId != nullptr && requestIdLength != 0, "AddSetPolicyResponse");
    OVX_CHECK("AddSetPolicyResponse", {"nameSpace", nameSpace, true}, {"schemaVersion", schemaVersion, true},
              {"name", name, false}, {"text", text, false}, {"token", token, false});
    const uint32_t idStatus = CheckRequestId("AddSetPolicyResponse", requestId, requestIdLength);
    if (idStatus != 0) return idStatus;
    OVX_BUILD({
        CPolicyItem item;
        item.SetElementNameUtf8("policy-item");
        item.SetNameUtf8(CleanUtf8(name));
        item.SetNamespaceUtf8(CleanUtf8(nameSpace));
        item.SetSchemaVersionUtf8(CleanUtf8(schemaVersion));
        item.SetCode(code);
        item.SetTextUtf8(CleanUtf8(text));
        item.SetTokenUtf8(CleanUtf8(token));
        AddToResponse(
            *MessageOf(message), kRespSetPolicyResponse, kNsPolicyMessages, [] { return CSetPolicyResponse(); },
            requestId, requestIdLength,
            [&](CSetPolicyResponse& target) {
                target.AddItem(item);
                if (code != 0 && target.GetCode() == 0) target.SetCode(OVX_E_CML_SET_POLICY_FAILED);
            });
        return 0;
    })
}

uint32_t CSensorServices::AddGetSchemaRequest(SS_HMESSAGE message, const char* name, const char* nameSpace,
                                              const char* version, char* buffer, uint32_t* length) {
    OVX_REQUIRE(message != nullptr, "AddGetSchemaRequest");
    OVX_CHECK("AddGetSchemaRequest", {"nameSpace", nameSpace, true}, {"name", name, false},
              {"version", version, false});
    OVX_BUILD({
        const CSchemaInfo item(CleanUtf8(nameSpace), CleanUtf8(version), CleanUtf8(name));
        CSchemaRequest* request = AddToRequest(
            *MessageOf(message), kReqGetSchemaRequest, kNsSchemaMessages,
            [] { return CSchemaRequest(kReqGetSchemaRequest); }, [&](CSchemaRequest& target) { target.AddItem(item); });
        if (request == nullptr) return OVX_E_UNEXPECTED;
        CopyRequestText(*request, buffer, length);
        return 0;
    })
}

uint32_t CSensorServices::AddSetSchemaResponse(SS_HMESSAGE message, const char* name, const char* nameSpace,
                                               const char* version, uint32_t code, const char* text,
                                               const char* requestId, uint32_t requestIdLength) {
    OVX_REQUIRE(message != nullptr && requestId != nullptr && requestIdLength != 0, "AddSetSchemaResponse");
    OVX_CHECK("AddSetSchemaResponse", {"nameSpace", nameSpace, true}, {"name", name, false},
              {"version", version, false}, {"text", text, false});
    const uint32_t idStatus = CheckRequestId("AddSetSchemaResponse", requestId, requestIdLength);
    if (idStatus != 0) return idStatus;
    OVX_BUILD({
        CSchemaInfoResponseData item(CleanUtf8(nameSpace), CleanUtf8(version), CleanUtf8(name));
        item.SetCode(code);
        item.SetText(Wide(text));
        AddToResponse(
            *MessageOf(message), kRespSetSchemaResponse, kNsSchemaMessages,
            [] { return CSchemaResponse(kRespSetSchemaResponse); }, requestId, requestIdLength,
            [&](CSchemaResponse& target) {
                target.AddItem(item);
                if (code != 0 && target.GetCode() == 0) target.SetCode(OVX_E_CML_SET_SCHEMA_FAILED);
            });
        return 0;
    })
}

}  // namespace ovxSensorServices
