#include "cml/documents/cmlAgentInfo.h"

#include <xercesc/dom/DOM.hpp>

#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

#include "cml/core/cmlDocumentUtils.h"
#include "cml/core/cmlException.h"
#include "cml/core/cmlKeptText.h"
#include "cml/core/cmlNamespaces.h"
#include "cml/core/cmlVocabulary.h"
#include "cml/core/cmlXmlText.h"
#include "tools/ovxCodecvt.h"
#include "tools/ovxError.h"
#include "tools/ovxForkHold.h"

namespace ovx {
namespace cml {

using XmlUtils::GetAttributeText;
using XmlUtils::OrEmpty;
using XmlUtils::ReadGuarded;
using XmlUtils::Utf8Of;
using XmlUtils::WideOf;

namespace {

const wchar_t kReadPrefix[] = L"Parsing agent-startup-announcement/get-agent-info-response ";

std::wstring ReadOperation(const wchar_t* element) { return std::wstring(kReadPrefix) + element + L" element"; }

uint32_t ReadStatus(CCmlDOM_Element& element, const wchar_t* name) {
    const wchar_t* text = element.getAttribute(name);
    if (text == nullptr || *text == L'\0') return OVX_I_CML_STATUS_NOT_SET;
    std::wstring value = text;
    uint32_t status = ToUnsigned(value.c_str());
    // "0" reads as 0; anything else that reads as 0 was unreadable.
    bool zero = value.find_first_not_of(L"0xX") == std::wstring::npos;
    return status == 0 && !zero ? OVX_I_CML_STATUS_NOT_SET : status;
}

TriState ReadTriState(CCmlDOM_Element& element, const wchar_t* name) {
    std::wstring value = GetAttributeText(element, name);
    if (value == kValueTrue) return kTriTrue;
    if (value == kValueFalse) return kTriFalse;
    return kTriUnset;
}

bool IsAgentNamespace(CCmlDOM_Element& element) {
    std::wstring uri = OrEmpty(element.getNamespaceURI());
    return uri == kNsAgentMessages || uri == kNsCml;
}

std::wstring NameOf(CCmlDOM_Element& element) { return OrEmpty(element.getNodeName()); }

void WriteIfSet(XmlUtils::CXmlOut& out, const wchar_t* name, const std::wstring& value) {
    if (!value.empty()) WriteAttribute(out, name, value);
}

template <class List>
void WriteList(XmlUtils::CXmlOut& out, int level, const wchar_t* tag, const List& items) {
    if (items.empty()) return;
    XmlUtils::StartTag(out, level, tag);
    XmlUtils::WriteLiteral(out, ">\n");
    for (const auto& item : items) item.EmitElement(out, level + 1);
    XmlUtils::EndTag(out, level, tag);
}

// An agent lists the same schemas and modules in every heartbeat, and the
// two lists are most of the work of writing one: each thread keeps the last
// text it wrote of each (see cmlKeptText.h).
using XmlUtils::CKeptText;
// Lists of usual size are kept; a larger one is written each time.
constexpr size_t kKeptListText = 64 * 1024;

// What a schema-info element is written from; every one can be kept.
template <class Key>
bool KeyOf(Key& key, const CSchemaInfo& info) {
    const char flags[] = {info.GetOverwrite(), info.GetRoot(), info.GetCpeEditable(), info.GetGetFromAgent(),
                          info.GetGetLatestCompatible()};
    return key.Text(std::string_view(info.GetNamespaceUtf8())) && key.Text(std::string_view(info.GetVersionUtf8())) &&
           key.Text(std::string_view(info.GetNameUtf8())) && key.Bytes(flags, sizeof flags);
}

// What a module element is written from. One with policies, or with a
// status while no catalog gives its text (the fallback text names errno),
// cannot be kept: false.
template <class Key>
bool KeyOf(Key& key, const CModuleInfo& module) {
    const uint32_t status = module.GetStatus();
    if (module.GetPolicyCount() != 0) return false;
    if (status != OVX_I_CML_STATUS_NOT_SET && ovxToolsLib::ovxCatalogGeneration() == 0) return false;
    return key.Text(std::string_view(module.GetElementNameUtf8())) &&
           key.Text(std::string_view(module.GetNameUtf8())) && key.Text(std::string_view(module.GetVersionUtf8())) &&
           key.Bytes(&status, sizeof status);
}

// WriteList for a list whose text this thread may have kept in `kept`. The
// text also depends on its indentation, on whether default values are
// written and on the catalog's status texts. It is the same for a narrow
// and a wide stream: the items hold well-formed UTF-8, and the rest is ASCII
// or the catalog's text.
template <class List>
void WriteKeptList(XmlUtils::CXmlOut& out, int level, const wchar_t* tag, const List& items, CKeptText& kept) {
    if (items.empty()) return;
    const auto keyOf = [&](auto& key) {
        const bool defaults = XmlUtils::GetSerializeDefaults();
        const uint64_t catalog = ovxToolsLib::ovxCatalogGeneration();
        if (!key.Bytes(&level, sizeof level) || !key.Bytes(&defaults, sizeof defaults) ||
            !key.Bytes(&catalog, sizeof catalog)) {
            return false;
        }
        for (const auto& item : items) {
            if (!KeyOf(key, item)) return false;
        }
        return true;
    };
    XmlUtils::WriteKept(out, kept, kKeptListText, keyOf, [&] { WriteList(out, level, tag, items); });
}

void WriteTextElement(XmlUtils::CXmlOut& out, int level, const wchar_t* tag, const std::wstring& text) {
    if (text.empty()) return;
    XmlUtils::StartTag(out, level, tag);
    XmlUtils::WriteLiteral(out, ">");
    XmlUtils::EscapeContent(out, text.c_str());
    XmlUtils::WriteLiteral(out, "</");
    XmlUtils::WriteText(out, tag, std::wcslen(tag));
    XmlUtils::WriteLiteral(out, ">\n");
}

CPolicySource* CheckedPolicy(const COwnedVector<CPolicySource>& policies, size_t index, const wchar_t* operation) {
    if (index >= policies.size()) throw CCmlException(operation, L"Invalid vector index", OVX_E_CML_BAD_INDEX);
    return policies.at(index);
}

CPolicySource* AppendPolicy(COwnedVector<CPolicySource>& policies, CPolicySource* policy) {
    if (policy == nullptr)
        throw CCmlException(L"Adding policy to policy vector", L"NULL object pointer", OVX_E_INVALID_ARGUMENT);
    policies.push_back(std::unique_ptr<CPolicySource>(policy));
    return policy;
}

}  // namespace

namespace {

// Every heartbeat writes the text of each module's status, mostly the same
// few codes: the attributes are kept, as the bytes they are written as, for
// as long as the catalog they came from stays open. Never destroyed: a
// heartbeat may be written while the process exits.
struct StatusTexts {
    std::mutex lock;
    uint64_t generation = 0;
    std::unordered_map<uint32_t, std::string> attributes;
};
StatusTexts& Texts() {
    static StatusTexts* texts = new StatusTexts();
    return *texts;
}
const ovxToolsLib::ovxForkHold g_textsForkHold(Texts().lock, ovxToolsLib::ovxForkRank::kLeaf);
constexpr size_t kMaxKeptTexts = 256;

std::wstring ReadStatusText(uint32_t status) {
    ovxToolsLib::OVXError error(status);
    const char* text = error.GetMessageText();
    std::wstring wide = ovxToolsLib::ovxUnicode<wchar_t>::FromUtf8(text != nullptr ? text : "");
    // Catalog texts end their lines; an attribute value should not.
    while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L' ')) wide.pop_back();
    return wide;
}

}  // namespace

void WriteStatusText(XmlUtils::CXmlOut& out, uint32_t status) {
    const uint64_t generation = ovxToolsLib::ovxCatalogGeneration();
    // Without a catalog the text is a fallback that names errno: not kept.
    if (generation == 0) {
        WriteAttribute(out, L"status-text", ReadStatusText(status));
        return;
    }
    // A heartbeat's modules mostly share one status: the last attribute
    // this thread wrote is reused without the shared table's lock. Plain
    // bytes, so that the copy needs no destructor at thread exit.
    thread_local struct {
        uint64_t generation;
        uint32_t status;
        uint32_t length;
        char bytes[240];
    } t_last{};
    if (t_last.generation == generation && t_last.status == status) {
        out.Bytes(t_last.bytes, t_last.length);
        return;
    }
    const auto remember = [&](const std::string& attribute) {
        if (attribute.size() > sizeof t_last.bytes) return;
        std::memcpy(t_last.bytes, attribute.data(), attribute.size());
        t_last.length = static_cast<uint32_t>(attribute.size());
        t_last.status = status;
        t_last.generation = generation;
    };
    StatusTexts& kept = Texts();
    {
        std::lock_guard<std::mutex> hold(kept.lock);
        if (kept.generation == generation) {
            auto found = kept.attributes.find(status);
            if (found != kept.attributes.end()) {
                out.Bytes(found->second.data(), found->second.size());
                remember(found->second);
                return;
            }
        }
    }
    std::string attribute;
    {
        XmlUtils::CXmlOut piece(attribute);
        WriteAttribute(piece, L"status-text", ReadStatusText(status));
    }
    out.Bytes(attribute.data(), attribute.size());
    remember(attribute);
    std::lock_guard<std::mutex> hold(kept.lock);
    if (kept.generation != generation) {
        kept.attributes.clear();
        kept.generation = generation;
    }
    if (kept.attributes.size() < kMaxKeptTexts) kept.attributes.emplace(status, std::move(attribute));
}

// ---- CHostInfo

void CHostInfo::Deserialize(CCmlDOM_Element& element) {
    ReadGuarded(ReadOperation(L"host-info").c_str(), [&] {
        os = GetAttributeText(element, L"os");
        version = GetAttributeText(element, L"version");
        ipAddress = GetAttributeText(element, kAttrIpAddress);
        hostName = GetAttributeText(element, kAttrHostName);
        nbName = GetAttributeText(element, L"nbname");
        nbDomain = GetAttributeText(element, L"nbdomain");
        adObjectId = GetAttributeText(element, L"ad-object-id");
        adGroupId = GetAttributeText(element, L"ad-group-id");
    });
}

namespace {
void WriteHost(const CHostInfo& host, XmlUtils::CXmlOut& out, int level) {
    XmlUtils::StartTag(out, level, L"host-info");
    WriteAttribute(out, L"os", host.os);
    WriteAttribute(out, L"version", host.version);
    WriteIfSet(out, kAttrIpAddress, host.ipAddress);
    WriteIfSet(out, kAttrHostName, host.hostName);
    WriteIfSet(out, L"nbname", host.nbName);
    WriteIfSet(out, L"nbdomain", host.nbDomain);
    WriteIfSet(out, L"ad-object-id", host.adObjectId);
    WriteIfSet(out, L"ad-group-id", host.adGroupId);
    XmlUtils::WriteLiteral(out, "/>\n");
}
}  // namespace

void CHostInfo::EmitElement(XmlUtils::CXmlOut& out, int level) const { WriteHost(*this, out, level); }
bool CHostInfo::operator==(const CHostInfo& other) const {
    return os == other.os && version == other.version && ipAddress == other.ipAddress && hostName == other.hostName &&
           nbName == other.nbName && nbDomain == other.nbDomain && adObjectId == other.adObjectId &&
           adGroupId == other.adGroupId;
}

// ---- CContentDate, CUpdateInfo

void CContentDate::Deserialize(CCmlDOM_Element& element) {
    ReadGuarded(ReadOperation(L"content-date").c_str(), [&] {
        elementName = NameOf(element);
        identity = GetAttributeText(element, L"identity");
        date = GetAttributeText(element, L"date");
    });
}

namespace {
void WriteDate(const CContentDate& item, XmlUtils::CXmlOut& out, int level) {
    XmlUtils::StartTag(out, level, item.elementName);
    WriteAttribute(out, L"identity", item.identity);
    WriteAttribute(out, L"date", item.date);
    XmlUtils::WriteLiteral(out, "/>\n");
}
void WriteUpdate(const CUpdateInfo& item, XmlUtils::CXmlOut& out, int level) {
    XmlUtils::StartTag(out, level, L"update");
    WriteIfSet(out, L"module", item.module);
    WriteIfSet(out, L"type", item.type);
    WriteIfSet(out, L"version", item.version);
    XmlUtils::WriteLiteral(out, "/>\n");
}
}  // namespace

void CContentDate::EmitElement(XmlUtils::CXmlOut& out, int level) const { WriteDate(*this, out, level); }

void CUpdateInfo::Deserialize(CCmlDOM_Element& element) {
    ReadGuarded(ReadOperation(L"update").c_str(), [&] {
        module = GetAttributeText(element, L"module");
        type = GetAttributeText(element, L"type");
        version = GetAttributeText(element, L"version");
    });
}
void CUpdateInfo::EmitElement(XmlUtils::CXmlOut& out, int level) const { WriteUpdate(*this, out, level); }

// ---- CModuleInfo

CModuleInfo::CModuleInfo(const std::wstring& name, const std::wstring& version, uint32_t status)
    : CModuleInfo(Utf8Of(name), Utf8Of(version), status) {}

CModuleInfo::~CModuleInfo() = default;

std::wstring CModuleInfo::GetElementName() const { return WideOf(m_elementName); }
std::wstring CModuleInfo::GetName() const { return WideOf(m_name); }
std::wstring CModuleInfo::GetVersion() const { return WideOf(m_version); }
void CModuleInfo::SetName(const std::wstring& name) { m_name = Utf8Of(name); }
void CModuleInfo::SetVersion(const std::wstring& version) { m_version = Utf8Of(version); }

CPolicySource* CModuleInfo::GetPolicy(size_t index) const {
    return CheckedPolicy(m_policies, index, L"Getting module policy source");
}
CPolicySource* CModuleInfo::AddPolicy(const CPolicySource& policy) { return AppendPolicy(m_policies, policy.Clone()); }
CPolicySource* CModuleInfo::AddPolicy(CPolicySource* policy) { return AppendPolicy(m_policies, policy); }
CPolicySource* CModuleInfo::AddPolicy(const CCmlDOM_Element& element) {
    CPolicyNode* node = nullptr;
    try {
        node = new CPolicyNode(element);
    } catch (const std::bad_alloc&) {
        throw CCmlException(L"Creating policy node object", L"Insufficient memory", OVX_E_INSUFFICIENT_MEMORY);
    }
    return AppendPolicy(m_policies, node);
}

std::vector<CPolicySource*> CModuleInfo::GetPolicies(const std::wstring& namespaceUri) {
    if (namespaceUri == kNsAgentStatusDetails) {
        for (size_t i = 0; i < m_policies.size(); ++i) {
            auto* node = dynamic_cast<CPolicyNode*>(m_policies.at(i));
            if (node == nullptr || node->GetNamespaceUri() != kNsRoAvpSections) continue;
            std::unique_ptr<CCmlDocumentBase> typed(DeserializeParsedDocument(*node, kMatchCompatible));
            if (auto* object = dynamic_cast<CCmlPolicy*>(typed.get())) {
                typed.release();
                m_policies.reset(i, object);
            }
        }
    }
    std::vector<CPolicySource*> result;
    result.reserve(m_policies.size());
    for (auto& policy : m_policies) result.push_back(policy.get());
    return result;
}

void CModuleInfo::Deserialize(CCmlDOM_Element& element) {
    ReadGuarded(ReadOperation(L"module").c_str(), [&] {
        m_elementName = Utf8Of(NameOf(element));
        m_name = Utf8Of(GetAttributeText(element, kAttrName));
        m_version = Utf8Of(GetAttributeText(element, L"version"));
        m_status = ReadStatus(element, L"status");
        m_policies.clear();
        XmlUtils::ForEachChildElement(element, [&](CCmlDOM_Element& child) { AddPolicy(child); });
    });
}

void CModuleInfo::WriteModule(XmlUtils::CXmlOut& out, int level) const {
    XmlUtils::StartTag(out, level, m_elementName);
    WriteAttribute(out, "name", m_name);
    WriteAttribute(out, "version", m_version);
    if (m_status != OVX_I_CML_STATUS_NOT_SET) {
        WriteHexAttribute(out, L"status", m_status);
        WriteStatusText(out, m_status);
    }
    if (m_policies.empty()) {
        XmlUtils::WriteLiteral(out, "/>\n");
        return;
    }
    XmlUtils::WriteLiteral(out, ">\n");
    for (const auto& policy : m_policies) policy->EmitElement(out, level + 1);
    XmlUtils::EndTag(out, level, m_elementName);
}

void CModuleInfo::EmitElement(XmlUtils::CXmlOut& out, int level) const { WriteModule(out, level); }

void CModuleInfo::CollectNamespaces(CNamespaceSet& namespaces) const {
    for (const auto& policy : m_policies) policy->CollectNamespaces(namespaces);
}

// ---- CAgentInfoContent

CAgentInfoContent::CAgentInfoContent()
    : m_carrierNamespace(kNsAgentMessages), m_carrierVersion(kVersionAgentMessages) {}

CAgentInfoContent::~CAgentInfoContent() = default;

void CAgentInfoContent::SetCarrier(const std::wstring& namespaceUri, const std::wstring& carrierVersion) {
    m_carrierNamespace = namespaceUri;
    m_carrierVersion = carrierVersion;
}

bool CAgentInfoContent::WritesNewerAttributes() const {
    if (m_carrierNamespace != kNsCml) return true;
    VersionRelation relation = CompareSchemaVersions(m_carrierVersion, kVersionCml);
    return relation == Identical || relation == NewerRevision;
}

const CContentDate& CAgentInfoContent::GetContentDate(size_t index) const {
    if (index >= contentDates.size())
        throw CCmlException(L"Getting content date", L"Invalid vector index", OVX_E_CML_BAD_INDEX);
    return contentDates[index];
}

CPolicySource* CAgentInfoContent::GetPolicy(size_t index) const {
    return CheckedPolicy(m_policies, index, L"Getting policy source from agent info content");
}

void CAgentInfoContent::SetPolicy(size_t index, const CPolicySource& policy) {
    CheckedPolicy(m_policies, index, L"Setting policy source for agent info content");
    m_policies.reset(index, policy.Clone());
}

CPolicySource* CAgentInfoContent::AddPolicy(const CPolicySource& policy) {
    return AppendPolicy(m_policies, policy.Clone());
}
CPolicySource* CAgentInfoContent::AddPolicy(CPolicySource* policy) { return AppendPolicy(m_policies, policy); }

bool CAgentInfoContent::HasContent() const {
    // The host description is always written.
    return true;
}

void CAgentInfoContent::WriteContentAttributes(XmlUtils::CXmlOut& out) const {
    WriteAttribute(out, kAttrName, name);
    WriteAttribute(out, kAttrAgentId, agentId);
    WriteAttribute(out, kAttrNamespace, namespaceUri);
    WriteAttribute(out, L"version", version);
    WriteIfSet(out, L"model", model);
    WriteIfSet(out, L"vqd-version", packageVersion);
    WriteIfSet(out, L"agent-install-path", agentInstallPath);
    WriteIfSet(out, L"daemon-install-path", daemonInstallPath);
    if (agentStatus != OVX_I_CML_STATUS_NOT_SET) {
        WriteHexAttribute(out, L"agent-status", agentStatus);
        WriteStatusText(out, agentStatus);
    }
    WriteIfSet(out, L"last-vqd-path", lastPackagePath);
    WriteIfSet(out, L"groupname-hint", groupNameHint);
    if (useLocalSettings || GetSerializeDefaults()) {
        WriteAttribute(out, L"use-local-settings", useLocalSettings ? kValueTrue : kValueFalse);
    }
    WriteIfSet(out, L"last-restart", lastRestart);
    if (!sendNewSchemas || GetSerializeDefaults()) {
        WriteAttribute(out, L"send-new-schemas", sendNewSchemas ? kValueTrue : kValueFalse);
    }
    if (!WritesNewerAttributes()) return;
    if (packageStatus != OVX_I_CML_STATUS_NOT_SET) WriteAttribute(out, L"vqd-status", std::to_wstring(packageStatus));
    WriteIfSet(out, L"vqd-status-description", packageStatusDescription);
    WriteIfSet(out, L"register-agent", registerAgent);
    if (persistentConnection != kTriUnset) {
        WriteAttribute(out, L"persistent-connection", persistentConnection == kTriTrue ? kValueTrue : kValueFalse);
    }
    if (reverseConnection != kTriUnset) {
        WriteAttribute(out, L"reverse-connection", reverseConnection == kTriTrue ? kValueTrue : kValueFalse);
    }
}

void CAgentInfoContent::EmitAttributes(XmlUtils::CXmlOut& out) const { WriteContentAttributes(out); }

void CAgentInfoContent::WriteChildren(XmlUtils::CXmlOut& out, int level) const {
    host.EmitElement(out, level);
    thread_local CKeptText t_schemas, t_modules;
    WriteKeptList(out, level, L"schema-list", schemas, t_schemas);
    WriteList(out, level, L"content-date-list", contentDates);
    WriteKeptList(out, level, L"module-list", modules, t_modules);
    WriteList(out, level, L"update-list", updates);
    WriteTextElement(out, level, L"copyright-info", copyright);
    WriteTextElement(out, level, L"patent-info", patent);
    for (const auto& policy : m_policies) policy->EmitElement(out, level);
}

void CAgentInfoContent::EmitContent(XmlUtils::CXmlOut& out, int level) const { WriteChildren(out, level); }

void CAgentInfoContent::CollectNamespaces(CNamespaceSet& namespaces) const {
    for (const CModuleInfo& module : modules) module.CollectNamespaces(namespaces);
    for (const auto& policy : m_policies) policy->CollectNamespaces(namespaces);
}

void CAgentInfoContent::Deserialize(CCmlDOM_Element& element) {
    ReadGuarded(L"Parsing agent-info response element", [&] {
        name = GetAttributeText(element, kAttrName);
        agentId = GetAttributeText(element, kAttrAgentId);
        namespaceUri = GetAttributeText(element, kAttrNamespace);
        version = GetAttributeText(element, L"version");
        model = GetAttributeText(element, L"model");
        packageVersion = GetAttributeText(element, L"vqd-version");
        agentInstallPath = GetAttributeText(element, L"agent-install-path");
        daemonInstallPath = GetAttributeText(element, L"daemon-install-path");
        agentStatus = ReadStatus(element, L"agent-status");
        lastPackagePath = GetAttributeText(element, L"last-vqd-path");
        groupNameHint = GetAttributeText(element, L"groupname-hint");
        useLocalSettings = GetAttributeText(element, L"use-local-settings") == kValueTrue;
        lastRestart = GetAttributeText(element, L"last-restart");
        sendNewSchemas = GetAttributeText(element, L"send-new-schemas") != kValueFalse;
        packageStatus = ReadStatus(element, L"vqd-status");
        packageStatusDescription = GetAttributeText(element, L"vqd-status-description");
        registerAgent = GetAttributeText(element, L"register-agent");
        persistentConnection = ReadTriState(element, L"persistent-connection");
        reverseConnection = ReadTriState(element, L"reverse-connection");
        host = CHostInfo();
        schemas.clear();
        contentDates.clear();
        modules.clear();
        updates.clear();
        copyright.clear();
        patent.clear();
        XmlUtils::ForEachChildElement(element, [&](CCmlDOM_Element& child) {
            std::wstring tag = NameOf(child);
            auto enter = [&](const wchar_t* itemTag, auto& list) {
                XmlUtils::ForEachChildElement(child, [&](CCmlDOM_Element& item) {
                    if (NameOf(item) != itemTag || !IsAgentNamespace(item)) return;
                    typename std::decay_t<decltype(list)>::value_type value;
                    value.Deserialize(item);
                    list.push_back(std::move(value));
                });
            };
            if (tag == L"host-info") {
                host.Deserialize(child);
            } else if (tag == L"schema-list") {
                enter(L"schema-info", schemas);
            } else if (tag == L"content-date-list") {
                enter(L"content-date", contentDates);
            } else if (tag == L"module-list") {
                enter(L"module", modules);
            } else if (tag == L"update-list") {
                enter(L"update", updates);
            } else if (tag == L"copyright-info") {
                copyright = OrEmpty(child.getTextContent());
            } else if (tag == L"patent-info") {
                patent = OrEmpty(child.getTextContent());
            }
        });
    });
}

// ---- announcement and acknowledgement

CAgentStartupAnnouncement::CAgentStartupAnnouncement()
    : CCmlRequest(kReqAgentStartupAnnouncement, kNsAgentMessages, kVersionAgentMessages) {}

void CAgentStartupAnnouncement::SetNamespaceUri(const wchar_t* namespaceUri) {
    CCmlRequest::SetNamespaceUri(namespaceUri);
    m_content.SetCarrier(GetNamespaceUri(), GetSchemaVersion());
}

void CAgentStartupAnnouncement::SetSchemaVersion(const wchar_t* version) {
    CCmlRequest::SetSchemaVersion(version);
    m_content.SetCarrier(GetNamespaceUri(), GetSchemaVersion());
}

void CAgentStartupAnnouncement::CollectNamespaces(CNamespaceSet& namespaces) const {
    CCmlRequest::CollectNamespaces(namespaces);
    m_content.CollectNamespaces(namespaces);
}

void CAgentStartupAnnouncement::Deserialize(CCmlDOM_Element& element) {
    CCmlRequest::Deserialize(element);
    m_content.Deserialize(element);
}

void CAgentStartupAnnouncement::EmitAttributes(XmlUtils::CXmlOut& out) const {
    CCmlRequest::EmitAttributes(out);
    m_content.EmitAttributes(out);
}

CAgentStartupAcknowledgement::CAgentStartupAcknowledgement()
    : CCmlResponse(kRespAgentStartupAcknowledgement, kNsAgentMessages, kVersionAgentMessages) {}

void RegisterAgentInfoDocuments(CCmlClassFactory& factory) {
    const std::vector<CNamespaceVersion> aliases = {{kNsCml, kVersionCmlOlder}, {kNsCml, kVersionCml}};
    factory.RegisterDocumentAliases(kNsAgentMessages, kVersionAgentMessages, aliases, kReqAgentStartupAnnouncement,
                                    CAgentStartupAnnouncement());
    factory.RegisterDocumentAliases(kNsAgentMessages, kVersionAgentMessages, aliases, kRespAgentStartupAcknowledgement,
                                    CAgentStartupAcknowledgement());
}

namespace {
const bool g_registered = RegisterAtLoad(RegisterAgentInfoDocuments);
}  // namespace

}  // namespace cml
}  // namespace ovx
