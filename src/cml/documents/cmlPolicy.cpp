#include "cml/documents/cmlPolicy.h"

#include <xercesc/dom/DOM.hpp>

#include <new>
#include <sstream>

#include "cml/core/cmlDocumentUtils.h"
#include "cml/core/cmlException.h"
#include "cml/core/cmlNamespaces.h"
#include "cml/core/cmlVocabulary.h"
#include "cml/core/cmlXmlText.h"

namespace ovx {
namespace cml {

using XmlUtils::GetAttributeText;
using XmlUtils::OrEmpty;
using XmlUtils::ReadGuarded;

namespace {

const wchar_t kTagPolicyItem[] = L"policy-item";

[[noreturn]] void ThrowIndex(const wchar_t* operation) {
    throw CCmlException(operation, L"Invalid vector index", OVX_E_CML_BAD_INDEX);
}
[[noreturn]] void ThrowNoPolicy(const wchar_t* operation) {
    throw CCmlException(operation, L"No policy specified", OVX_E_CML_NO_POLICY);
}
[[noreturn]] void ThrowNullObject(const wchar_t* operation) {
    throw CCmlException(operation, L"NULL object pointer", OVX_E_INVALID_ARGUMENT);
}

template <class T, class F>
T* Allocate(const wchar_t* operation, F make) {
    try {
        return make();
    } catch (const std::bad_alloc&) {
        throw CCmlException(operation, L"Insufficient memory", OVX_E_INSUFFICIENT_MEMORY);
    }
}

std::wstring TimestampText(const XmlUtils::CDateTime& timestamp) {
    std::wostringstream text;
    timestamp.Write(text);
    return text.str();
}

// Reads the children of a message element, turning DOM errors into
// CCmlException under the message's location.
bool IsPolicyItemOf(CCmlDOM_Element& child, const std::wstring& ns) {
    return std::wstring(OrEmpty(child.getNodeName())) == kTagPolicyItem && ns == OrEmpty(child.getNamespaceURI());
}

const std::vector<CNamespaceVersion>& CmlAliases() {
    static const auto* aliases = new std::vector<CNamespaceVersion>{{kNsCml, kVersionCmlOlder}, {kNsCml, kVersionCml}};
    return *aliases;
}

}  // namespace

// ---- CPolicySource, CCmlPolicy

CPolicySource& CPolicySource::operator=(const CPolicySource& other) {
    CCmlDocumentBase::operator=(other);
    return *this;
}

CCmlPolicy::CCmlPolicy(const wchar_t* tagName, const wchar_t* namespaceUri, const wchar_t* classSchemaVersion)
    : CPolicySource(tagName, namespaceUri, classSchemaVersion), m_schemaVersion(OrEmpty(classSchemaVersion)) {}

CCmlPolicy& CCmlPolicy::operator=(const CCmlPolicy& other) {
    if (this != &other) {
        CPolicySource::operator=(other);
        m_schemaVersion = other.m_schemaVersion;
        SetName(other.m_name);
        SetVersion(other.m_version);
        SetOverwrite(other.m_overwrite);
        SetValid(other.m_valid);
    }
    return *this;
}

void CCmlPolicy::WritePolicyAttributes(XmlUtils::CXmlOut& out) const {
    CCmlDocumentBase::EmitAttributes(out);
    if (!m_name.empty()) WriteAttribute(out, kAttrName, m_name);
    if (!m_version.empty()) WriteAttribute(out, L"version", m_version);
    if (m_overwrite) WriteAttribute(out, L"overwrite", kValueTrue);
    if (!m_valid) {
        WriteAttribute(out, L"valid", kValueFalse);
    } else if (GetSerializeDefaults()) {
        WriteAttribute(out, L"valid", kValueTrue);
    }
}

void CCmlPolicy::EmitAttributes(XmlUtils::CXmlOut& out) const { WritePolicyAttributes(out); }

void CCmlPolicy::ProcessStandardPolicyAttributes(CCmlDOM_Element& element) {
    if (element.IsNull())
        throw CCmlException(L"Deserializing policy", L"Null element received", OVX_E_CML_NULL_ELEMENT);
    ProcessStandardAttributes(element);
    ReadGuarded(L"Processing standard policy attributes", [&] {
        m_name = GetAttributeText(element, kAttrName);
        m_version = GetAttributeText(element, L"version");
        m_overwrite = GetAttributeText(element, L"overwrite") == kValueTrue;
        m_valid = GetAttributeText(element, L"valid") != kValueFalse;
    });
}

// ---- CPolicyNode

CPolicyNode::CPolicyNode(const CCmlDOM_Element& element) : CPolicySource() { Adopt(element.GetDOMNode()); }

CPolicyNode::CPolicyNode(const CPolicyNode& other) : CPolicySource(other), CCmlDOM_Element() {
    Adopt(other.GetDOMNode());
    m_schemaVersion = other.m_schemaVersion;
}

CPolicyNode::~CPolicyNode() = default;  // the wrapper releases the private document

void CPolicyNode::Adopt(const xercesc::DOMNode* element) {
    SetDOMNode(nullptr);
    ClearCache();
    m_schemaVersion.clear();
    if (element == nullptr) return;
    xercesc::DOMNode* copy = XmlUtils::CopyDOMNode(element);
    SetDOMNode(copy);
    SetOwnsDocument(true);
    auto* own = static_cast<xercesc::DOMElement*>(copy);
    SetTagName(XmlUtils::ToWide(own->getTagName()).c_str());
    SetNamespaceUri(XmlUtils::ToWide(own->getNamespaceURI()).c_str());
    SetClassSchemaVersion(L"");
    std::u16string attribute = XmlUtils::ToXml(kTagSchemaVersion);
    m_schemaVersion = XmlUtils::ToWide(own->getAttribute(attribute.c_str()));
}

CPolicyNode* CPolicyNode::Clone() const {
    return Allocate<CPolicyNode>(L"Cloning policy node object", [&] { return new CPolicyNode(*this); });
}

std::wstring CPolicyNode::GetName() {
    if (IsNull()) throw CCmlException(L"Getting policy node name", L"Null node", OVX_E_CML_NULL_NODE);
    if (m_name.empty()) m_name = GetAttributeText(*this, kAttrName);
    return m_name;
}

std::wstring CPolicyNode::GetVersion() {
    if (IsNull()) throw CCmlException(L"Getting policy node version #", L"Null node", OVX_E_CML_NULL_NODE);
    if (m_version.empty()) m_version = GetAttributeText(*this, L"version");
    return m_version;
}

bool CPolicyNode::GetValid() {
    if (IsNull()) throw CCmlException(L"Getting policy node valid attribute", L"Null node", OVX_E_CML_NULL_NODE);
    return GetAttributeText(*this, L"valid") == kValueTrue;
}

void CPolicyNode::SetSchemaVersion(const wchar_t* version) {
    if (!IsNull()) setAttribute(kTagSchemaVersion, OrEmpty(version));
    m_schemaVersion = OrEmpty(version);
}

void CPolicyNode::ClearCache() {
    m_name.clear();
    m_version.clear();
}

void CPolicyNode::CollectNamespaces(CNamespaceSet& namespaces) const {
    const wchar_t* operation = L"Constructing policy node namespace object";
    if (!m_schemaVersion.empty()) AddNamespace(namespaces, GetNamespaceUri(), m_schemaVersion, operation);
    // Descendants in other namespaces that carry their own schema version.
    const xercesc::DOMNode* root = GetDOMNode();
    if (root == nullptr) return;
    std::u16string attribute = XmlUtils::ToXml(kTagSchemaVersion);
    const xercesc::DOMNode* node = root->getFirstChild();
    while (node != nullptr && node != root) {
        if (node->getNodeType() == xercesc::DOMNode::ELEMENT_NODE) {
            auto* element = static_cast<const xercesc::DOMElement*>(node);
            if (element->hasAttribute(attribute.c_str()) && element->getNamespaceURI() != nullptr) {
                AddNamespace(namespaces, XmlUtils::ToWide(element->getNamespaceURI()),
                             XmlUtils::ToWide(element->getAttribute(attribute.c_str())), operation);
            }
        }
        if (node->getFirstChild() != nullptr) {
            node = node->getFirstChild();
            continue;
        }
        while (node != root && node->getNextSibling() == nullptr) node = node->getParentNode();
        if (node != root) node = node->getNextSibling();
    }
}

void CPolicyNode::Deserialize(CCmlDOM_Element& element) {
    if (element.IsNull())
        throw CCmlException(L"Deserializing policy", L"Null element received", OVX_E_CML_NULL_ELEMENT);
    Adopt(element.GetDOMNode());
}

void CPolicyNode::EmitElement(XmlUtils::CXmlOut& out, int level) const {
    XmlUtils::SerializeNodeFormatted(GetDOMNode(), out, level);
}

// ---- CPolicyItem

CPolicyItem::CPolicyItem(const std::wstring& name, const std::wstring& namespaceUri, const std::wstring& version,
                         const std::wstring& schemaVersion, const std::wstring& tag, uint32_t code,
                         const std::wstring& text, const std::wstring& token, const std::wstring& groupMsid,
                         const std::wstring& timestamp, const std::wstring& elementName)
    : m_elementName(XmlUtils::Utf8Of(elementName)),
      m_name(XmlUtils::Utf8Of(name)),
      m_namespace(XmlUtils::Utf8Of(namespaceUri)),
      m_version(XmlUtils::Utf8Of(version)),
      m_schemaVersion(XmlUtils::Utf8Of(schemaVersion)),
      m_tag(XmlUtils::Utf8Of(tag)),
      m_code(code),
      m_text(XmlUtils::Utf8Of(text)),
      m_token(XmlUtils::Utf8Of(token)),
      m_groupMsid(XmlUtils::Utf8Of(groupMsid)) {
    if (!timestamp.empty()) m_timestamp.FromString(timestamp);
}

CPolicyItem::~CPolicyItem() = default;

CPolicyItem* CPolicyItem::Clone() const {
    return Allocate<CPolicyItem>(L"Cloning policy item object", [&] { return new CPolicyItem(*this); });
}

void CPolicyItem::WriteItemAttributes(XmlUtils::CXmlOut& out) const {
    if (!m_name.empty()) WriteAttribute(out, "name", m_name);
    if (!m_namespace.empty()) WriteAttribute(out, "namespace", m_namespace);
    if (!m_version.empty()) WriteAttribute(out, "version", m_version);
    if (!m_schemaVersion.empty()) WriteAttribute(out, "schema-version", m_schemaVersion);
    if (!m_tag.empty()) WriteAttribute(out, "tag", m_tag);
    if (m_code != 0) WriteHexAttribute(out, kTagCode, m_code);
    if (!m_text.empty()) WriteAttribute(out, "text", m_text);
    if (!m_token.empty()) WriteAttribute(out, "token", m_token);
    if (!m_groupMsid.empty()) WriteAttribute(out, "group-msid", m_groupMsid);
    if (!m_timestamp.IsNull()) WriteAttribute(out, L"timestamp", TimestampText(m_timestamp));
}

void CPolicyItem::EmitAttributes(XmlUtils::CXmlOut& out) const { WriteItemAttributes(out); }

namespace {
void WritePlainItem(const CPolicyItem& item, XmlUtils::CXmlOut& out, int level) {
    if (item.GetElementNameUtf8().empty()) return;
    out.StartTag(level, item.GetElementNameUtf8());
    item.EmitAttributes(out);
    XmlUtils::WriteLiteral(out, "/>\n");
}
}  // namespace

void CPolicyItem::EmitElement(XmlUtils::CXmlOut& out, int level) const { WritePlainItem(*this, out, level); }

void CPolicyItem::Deserialize(CCmlDOM_Element& element) {
    if (element.IsNull()) {
        throw CCmlException(L"Deserializing policy-item node", L"Null element received", OVX_E_CML_NULL_ELEMENT);
    }
    ReadGuarded(L"Deserializing policy-item node", [&] {
        m_elementName = XmlUtils::Utf8Of(OrEmpty(element.getNodeName()));
        std::wstring name, namespaceUri, version, schemaVersion, tag, code, text, token, groupMsid, timestamp;
        element.ReadAttributes({{kAttrName, &name},
                                {kAttrNamespace, &namespaceUri},
                                {L"version", &version},
                                {kTagSchemaVersion, &schemaVersion},
                                {L"tag", &tag},
                                {kTagCode, &code},
                                {kTagText, &text},
                                {L"token", &token},
                                {L"group-msid", &groupMsid},
                                {L"timestamp", &timestamp}});
        m_name = XmlUtils::Utf8Of(name);
        m_namespace = XmlUtils::Utf8Of(namespaceUri);
        m_version = XmlUtils::Utf8Of(version);
        m_schemaVersion = XmlUtils::Utf8Of(schemaVersion);
        m_tag = XmlUtils::Utf8Of(tag);
        m_code = ToUnsigned(code.c_str());
        m_text = XmlUtils::Utf8Of(text);
        m_token = XmlUtils::Utf8Of(token);
        m_groupMsid = XmlUtils::Utf8Of(groupMsid);
        m_timestamp.Clear();
        if (!timestamp.empty()) m_timestamp.FromString(timestamp);
    });
}

// ---- CPolicyData

CPolicyData::CPolicyData(const CPolicyData& other) : CPolicyItem(other) {
    if (other.m_policy) {
        m_policy.reset(Allocate<CPolicySource>(L"Copying policy data object", [&] { return other.m_policy->Clone(); }));
    }
}

CPolicyData& CPolicyData::operator=(const CPolicyData& other) {
    if (this != &other) {
        std::unique_ptr<CPolicySource> policy;
        if (other.m_policy) {
            policy.reset(
                Allocate<CPolicySource>(L"Assigning policy data object", [&] { return other.m_policy->Clone(); }));
        }
        CPolicyItem::operator=(other);
        m_policy = std::move(policy);
    }
    return *this;
}

CPolicyData::~CPolicyData() = default;

CPolicyData* CPolicyData::Clone() const {
    return Allocate<CPolicyData>(L"Cloning policy data object", [&] { return new CPolicyData(*this); });
}

void CPolicyData::SetPolicy(const CPolicySource& policy) { m_policy.reset(policy.Clone()); }

void CPolicyData::SetPolicy(const CCmlDOM_Element& element) {
    m_policy.reset();
    m_policy.reset(Allocate<CPolicyNode>(L"Constructing policy node object", [&] { return new CPolicyNode(element); }));
}

void CPolicyData::WriteData(XmlUtils::CXmlOut& out, int level) const {
    if (GetElementNameUtf8().empty()) return;
    out.StartTag(level, GetElementNameUtf8());
    EmitAttributes(out);
    if (!m_policy) {
        XmlUtils::WriteLiteral(out, "/>\n");
        return;
    }
    XmlUtils::WriteLiteral(out, ">\n");
    m_policy->EmitElement(out, level + 1);
    out.EndTag(level, GetElementNameUtf8());
}

void CPolicyData::EmitElement(XmlUtils::CXmlOut& out, int level) const { WriteData(out, level); }

void CPolicyData::Deserialize(CCmlDOM_Element& element) {
    CPolicyItem::Deserialize(element);
    m_policy.reset();
    ReadGuarded(L"Parsing policy-item element", [&] {
        bool found = false;
        XmlUtils::ForEachChildElement(element, [&](CCmlDOM_Element& child) {
            if (found) return;
            found = true;
            SetPolicy(child);
        });
    });
}

// ---- the four messages

namespace {

// Writing a policy message with nothing in it is refused, whichever way it
// is written.
template <class Message>
void WriteNonEmpty(const Message& message, bool empty, const wchar_t* operation, XmlUtils::CXmlOut& out, int level) {
    if (empty) ThrowNoPolicy(operation);
    message.CCmlDocumentBase::EmitElement(out, level);
}

template <class Vector>
void WriteAll(const Vector& items, XmlUtils::CXmlOut& out, int level) {
    for (const auto& item : items) item->EmitElement(out, level);
}

}  // namespace

template <class Base>
CPolicyItemList<Base>::CPolicyItemList(const wchar_t* tagName, const Locations& locations)
    : Base(tagName, kNsPolicyMessages, kVersionPolicyMessages), m_locations(locations) {}
template <class Base>
CPolicyItem* CPolicyItemList<Base>::GetItem(size_t index) const {
    if (index >= m_items.size()) ThrowIndex(m_locations.getting);
    return m_items.at(index);
}
template <class Base>
CPolicyItem* CPolicyItemList<Base>::AddItem(const CPolicyItem& item) {
    return AddItem(item.Clone());
}
template <class Base>
CPolicyItem* CPolicyItemList<Base>::AddItem(CPolicyItem* item) {
    if (item == nullptr) ThrowNullObject(L"Adding policy item to specification vector");
    m_items.push_back(std::unique_ptr<CPolicyItem>(item));
    return item;
}
template <class Base>
void CPolicyItemList<Base>::Deserialize(CCmlDOM_Element& element) {
    Base::Deserialize(element);
    m_items.clear();
    ReadGuarded(m_locations.parsing, [&] {
        XmlUtils::ForEachChildElement(element, [&](CCmlDOM_Element& child) {
            if (!IsPolicyItemOf(child, this->GetNamespaceUri())) return;
            auto item = std::make_unique<CPolicyItem>();
            item->SetElementName(kTagPolicyItem);
            item->Deserialize(child);
            m_items.push_back(std::move(item));
        });
    });
}

template <class Base>
void CPolicyItemList<Base>::EmitContent(XmlUtils::CXmlOut& out, int level) const {
    WriteAll(m_items, out, level);
}

template <class Base>
void CPolicyItemList<Base>::EmitElement(XmlUtils::CXmlOut& out, int level) const {
    WriteNonEmpty(*this, m_items.empty(), m_locations.serializing, out, level);
}
template class CPolicyItemList<CCmlRequest>;
template class CPolicyItemList<CCmlResponse>;

CGetPolicyRequest::CGetPolicyRequest()
    : CPolicyItemList(kReqGetPolicyRequest, {L"Getting get-policy-request item", L"Parsing policy request element",
                                             L"Serializing get-policy-request"}) {}
CGetPolicyRequest* CGetPolicyRequest::Clone() const {
    return Allocate<CGetPolicyRequest>(L"Cloning get-policy-request object",
                                       [&] { return new CGetPolicyRequest(*this); });
}

CGetPolicyResponse::CGetPolicyResponse()
    : CCmlResponse(kRespGetPolicyResponse, kNsPolicyMessages, kVersionPolicyMessages) {}
CGetPolicyResponse* CGetPolicyResponse::Clone() const {
    return Allocate<CGetPolicyResponse>(L"Cloning get-policy-response object",
                                        [&] { return new CGetPolicyResponse(*this); });
}
CPolicyData* CGetPolicyResponse::GetItem(size_t index) const {
    if (index >= m_items.size()) ThrowIndex(L"Getting get-policy response");
    return m_items.at(index);
}
CPolicyData* CGetPolicyResponse::AddItem(const CPolicyData& item) { return AddItem(item.Clone()); }
CPolicyData* CGetPolicyResponse::AddItem(CPolicyData* item) {
    if (item == nullptr) ThrowNullObject(L"Adding policy item to specification vector");
    m_items.push_back(std::unique_ptr<CPolicyData>(item));
    return item;
}
void CGetPolicyResponse::CollectNamespaces(CNamespaceSet& namespaces) const {
    CCmlResponse::CollectNamespaces(namespaces);
    const wchar_t* operation = L"Constructing get-policy-response namespace set";
    for (const auto& item : m_items) {
        if (item->GetCode() != 0) continue;
        if (item->GetPolicy() == nullptr) ThrowNoPolicy(operation);
        item->GetPolicy()->CollectNamespaces(namespaces);
    }
}
void CGetPolicyResponse::Deserialize(CCmlDOM_Element& element) {
    CCmlResponse::Deserialize(element);
    m_items.clear();
    ReadGuarded(L"Parsing policy response element", [&] {
        XmlUtils::ForEachChildElement(element, [&](CCmlDOM_Element& child) {
            auto item = std::make_unique<CPolicyData>();
            item->SetElementName(kTagPolicyItem);
            CPolicyData* stored = item.get();
            m_items.push_back(std::move(item));
            stored->Deserialize(child);
        });
    });
}
void CGetPolicyResponse::EmitContent(XmlUtils::CXmlOut& out, int level) const { WriteAll(m_items, out, level); }
void CGetPolicyResponse::EmitElement(XmlUtils::CXmlOut& out, int level) const {
    WriteNonEmpty(*this, m_items.empty(), L"Serializing get-policy-response", out, level);
}

CSetPolicyRequest::CSetPolicyRequest() : CCmlRequest(kReqSetPolicyRequest, kNsPolicyMessages, kVersionPolicyMessages) {}
CSetPolicyRequest* CSetPolicyRequest::Clone() const {
    return Allocate<CSetPolicyRequest>(L"Cloning set-policy-request object",
                                       [&] { return new CSetPolicyRequest(*this); });
}
CPolicySource* CSetPolicyRequest::GetPolicy(size_t index) const {
    if (index >= m_policies.size()) ThrowIndex(L"Getting policy source from set-policy-request");
    return m_policies.at(index);
}
CPolicySource* CSetPolicyRequest::AddPolicy(const CPolicySource& policy) { return AddPolicy(policy.Clone()); }
CPolicySource* CSetPolicyRequest::AddPolicy(CPolicySource* policy) {
    if (policy == nullptr) ThrowNullObject(L"Adding policy to policy vector");
    m_policies.push_back(std::unique_ptr<CPolicySource>(policy));
    return policy;
}
CPolicySource* CSetPolicyRequest::AddPolicy(const CCmlDOM_Element& element) {
    return AddPolicy(Allocate<CPolicyNode>(L"Creating policy node object", [&] { return new CPolicyNode(element); }));
}
void CSetPolicyRequest::SetPolicy(size_t index, const CPolicySource& policy) {
    if (index >= m_policies.size()) ThrowIndex(L"Setting set-policy-request policy source");
    COwnedVector<CPolicySource> replaced;
    for (size_t i = 0; i < m_policies.size(); ++i) {
        replaced.push_back(std::unique_ptr<CPolicySource>(i == index ? policy.Clone() : m_policies.at(i)->Clone()));
    }
    m_policies = replaced;
}
void CSetPolicyRequest::ReplacePolicy(size_t index, CPolicySource* policy) {
    std::unique_ptr<CPolicySource> owned(policy);
    if (index >= m_policies.size()) ThrowIndex(L"Setting set-policy-request policy source");
    if (policy == nullptr) ThrowNullObject(L"Adding policy to policy vector");
    m_policies.reset(index, owned.release());
}

void CSetPolicyRequest::CollectNamespaces(CNamespaceSet& namespaces) const {
    if (m_policies.empty()) ThrowNoPolicy(L"Constructing set-policy-request namespace set");
    CCmlRequest::CollectNamespaces(namespaces);
    for (const auto& policy : m_policies) policy->CollectNamespaces(namespaces);
}
void CSetPolicyRequest::Deserialize(CCmlDOM_Element& element) {
    CCmlRequest::Deserialize(element);
    m_policies.clear();
    ReadGuarded(L"Parsing set-policy request element",
                [&] { XmlUtils::ForEachChildElement(element, [&](CCmlDOM_Element& child) { AddPolicy(child); }); });
}
void CSetPolicyRequest::EmitContent(XmlUtils::CXmlOut& out, int level) const { WriteAll(m_policies, out, level); }
void CSetPolicyRequest::EmitElement(XmlUtils::CXmlOut& out, int level) const {
    WriteNonEmpty(*this, m_policies.empty(), L"Serializing set-policy-request", out, level);
}

CSetPolicyResponse::CSetPolicyResponse()
    : CPolicyItemList(kRespSetPolicyResponse, {L"Getting set-policy response", L"Parsing set-policy-response element",
                                               L"Serializing set-policy-response"}) {}
CSetPolicyResponse* CSetPolicyResponse::Clone() const {
    return Allocate<CSetPolicyResponse>(L"Cloning set-policy-response object",
                                        [&] { return new CSetPolicyResponse(*this); });
}

void RegisterPolicyDocuments(CCmlClassFactory& factory) {
    factory.RegisterDocumentAliases(kNsPolicyMessages, kVersionPolicyMessages, CmlAliases(), kReqGetPolicyRequest,
                                    CGetPolicyRequest());
    factory.RegisterDocumentAliases(kNsPolicyMessages, kVersionPolicyMessages, CmlAliases(), kRespGetPolicyResponse,
                                    CGetPolicyResponse());
    factory.RegisterDocumentAliases(kNsPolicyMessages, kVersionPolicyMessages, CmlAliases(), kReqSetPolicyRequest,
                                    CSetPolicyRequest());
    factory.RegisterDocumentAliases(kNsPolicyMessages, kVersionPolicyMessages, CmlAliases(), kRespSetPolicyResponse,
                                    CSetPolicyResponse());
}

namespace {
const bool g_registered = RegisterAtLoad(RegisterPolicyDocuments);
}  // namespace

}  // namespace cml
}  // namespace ovx
