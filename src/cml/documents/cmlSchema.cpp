#include "cml/documents/cmlSchema.h"

#include <xercesc/dom/DOM.hpp>

#include <new>

#include "cml/core/cmlDocumentUtils.h"
#include "cml/core/cmlException.h"
#include "cml/core/cmlNamespaces.h"
#include "cml/core/cmlVocabulary.h"
#include "cml/core/cmlXmlText.h"
#include "cml/documents/cmlPolicy.h"

namespace ovx {
namespace cml {

const wchar_t kXmlSchemaNamespace[] = L"http://www.w3.org/2001/XMLSchema";

using XmlUtils::GetAttributeText;
using XmlUtils::OrEmpty;
using XmlUtils::ReadGuarded;
using XmlUtils::Utf8Of;
using XmlUtils::WideOf;

namespace {

const wchar_t kTagSchemaInfo[] = L"schema-info";

void WriteFlag(XmlUtils::CXmlOut& out, const wchar_t* name, bool value, bool defaults) {
    if (value || defaults) WriteAttribute(out, name, value ? kValueTrue : kValueFalse);
}

}  // namespace

// ---- CSchemaInfo

CSchemaInfo::CSchemaInfo(const std::wstring& namespaceUri, const std::wstring& version, const std::wstring& name,
                         bool overwrite, bool root, bool cpeEditable, bool getFromAgent, bool getLatestCompatible)
    : CSchemaInfo(Utf8Of(namespaceUri), Utf8Of(version), Utf8Of(name), overwrite, root, cpeEditable, getFromAgent,
                  getLatestCompatible) {}

CSchemaInfo::CSchemaInfo(std::string namespaceUri, std::string version, std::string name, bool overwrite, bool root,
                         bool cpeEditable, bool getFromAgent, bool getLatestCompatible)
    : m_namespace(namespaceUri),
      m_version(std::move(version)),
      m_name(std::move(name)),
      m_overwrite(overwrite),
      m_root(root),
      m_cpeEditable(cpeEditable),
      m_getFromAgent(getFromAgent),
      m_getLatestCompatible(getLatestCompatible) {}

std::wstring CSchemaInfo::GetNamespace() const { return WideOf(GetNamespaceUtf8()); }
std::wstring CSchemaInfo::GetVersion() const { return WideOf(m_version); }
std::wstring CSchemaInfo::GetName() const { return WideOf(m_name); }
void CSchemaInfo::SetNamespace(const std::wstring& value) { m_namespace = Utf8Of(value); }
void CSchemaInfo::SetVersion(const std::wstring& value) { m_version = Utf8Of(value); }
void CSchemaInfo::SetName(const std::wstring& value) { m_name = Utf8Of(value); }

CSchemaInfo::~CSchemaInfo() = default;

void CSchemaInfo::WriteInfoAttributes(XmlUtils::CXmlOut& out) const {
    WriteAttribute(out, "namespace", GetNamespaceUtf8());
    if (!m_version.empty()) WriteAttribute(out, "version", m_version);
    if (!m_name.empty()) WriteAttribute(out, "name", m_name);
    if (m_overwrite) WriteAttribute(out, L"overwrite", kValueTrue);
    const bool defaults = GetSerializeDefaults();
    WriteFlag(out, L"root", m_root, defaults);
    WriteFlag(out, L"cpe-editable", m_cpeEditable, defaults);
    WriteFlag(out, L"get-from-agent", m_getFromAgent, defaults);
    WriteFlag(out, L"get-latest-compatible", m_getLatestCompatible, defaults);
}

void CSchemaInfo::EmitAttributes(XmlUtils::CXmlOut& out) const { WriteInfoAttributes(out); }

namespace {
void WriteEmptyInfo(const CSchemaInfo& info, XmlUtils::CXmlOut& out, int level) {
    out.StartTag(level, "schema-info");
    info.EmitAttributes(out);
    XmlUtils::WriteLiteral(out, "/>\n");
}
}  // namespace

void CSchemaInfo::EmitElement(XmlUtils::CXmlOut& out, int level) const { WriteEmptyInfo(*this, out, level); }

void CSchemaInfo::Deserialize(CCmlDOM_Element& element) {
    if (element.IsNull())
        throw CCmlException(L"Deserializing schema-info", L"Null element received", OVX_E_CML_NULL_ELEMENT);
    ReadGuarded(L"Deserializing schema-info", [&] {
        m_namespace = Utf8Of(GetAttributeText(element, kAttrNamespace));
        m_version = Utf8Of(GetAttributeText(element, L"version"));
        m_name = Utf8Of(GetAttributeText(element, kAttrName));
        m_overwrite = GetAttributeText(element, L"overwrite") == kValueTrue;
        m_root = GetAttributeText(element, L"root") == kValueTrue;
        m_cpeEditable = GetAttributeText(element, L"cpe-editable") == kValueTrue;
        m_getFromAgent = GetAttributeText(element, L"get-from-agent") == kValueTrue;
        m_getLatestCompatible = GetAttributeText(element, L"get-latest-compatible") == kValueTrue;
    });
}

// ---- CSchemaInfoResponseData

void CSchemaInfoResponseData::Deserialize(CCmlDOM_Element& element) {
    CSchemaInfo::Deserialize(element);
    ReadGuarded(L"Deserializing schema-info", [&] {
        m_code = ToUnsigned(element.getAttribute(kTagCode));
        m_text = GetAttributeText(element, kTagText);
    });
}

void CSchemaInfoResponseData::WriteResponseElement(XmlUtils::CXmlOut& out, int level) const {
    XmlUtils::StartTag(out, level, kTagSchemaInfo);
    EmitAttributes(out);
    if (m_code != 0) WriteHexAttribute(out, kTagCode, m_code);
    if (!m_text.empty()) WriteAttribute(out, kTagText, m_text);
    XmlUtils::WriteLiteral(out, "/>\n");
}

void CSchemaInfoResponseData::EmitElement(XmlUtils::CXmlOut& out, int level) const { WriteResponseElement(out, level); }

// ---- CSchemaSource, CSchemaNode

CSchemaSource::~CSchemaSource() = default;

CSchemaNode::CSchemaNode(const CCmlDOM_Node& element) {
    if (element.GetDOMNode() == nullptr) return;
    SetDOMNode(XmlUtils::CopyDOMNode(element.GetDOMNode()));
    SetOwnsDocument(true);
}

CSchemaNode::CSchemaNode(const CSchemaNode& other) : CSchemaSource(), CCmlDOM_Node() {
    if (other.GetDOMNode() == nullptr) return;
    SetDOMNode(XmlUtils::CopyDOMNode(other.GetDOMNode()));
    SetOwnsDocument(true);
}

std::wstring CSchemaNode::GetNamespace() {
    if (IsNull()) throw CCmlException(L"Getting schema node namespace", L"Null node", OVX_E_CML_NULL_NODE);
    if (m_namespace.empty()) m_namespace = OrEmpty(getNamespaceURI());
    return m_namespace;
}

std::wstring CSchemaNode::GetVersion() {
    if (IsNull()) throw CCmlException(L"Getting schema version", L"Null node", OVX_E_CML_NULL_NODE);
    if (m_version.empty()) {
        CCmlDOM_Element element;
        element.SetDOMElement(GetDOMNode());
        m_version = GetAttributeText(element, L"version");
    }
    return m_version;
}

void CSchemaNode::EmitSchema(XmlUtils::CXmlOut& out) const { XmlUtils::SerializeNodeFormatted(GetDOMNode(), out, 0); }

// ---- schema carriers

template <class Base>
void CSchemaCarrier<Base>::Deserialize(CCmlDOM_Element& element) {
    Base::Deserialize(element);
    m_schema.reset();
    ReadGuarded(L"Deserializing schema item", [&] {
        bool found = false;
        XmlUtils::ForEachChildElement(element, [&](CCmlDOM_Element& child) {
            // The node name is the qualified one: only an unprefixed schema
            // element is taken.
            if (found || std::wstring(OrEmpty(child.getNamespaceURI())) != kXmlSchemaNamespace ||
                std::wstring(OrEmpty(child.getNodeName())) != L"schema") {
                return;
            }
            found = true;
            try {
                m_schema.reset(new CSchemaNode(child));
            } catch (const std::bad_alloc&) {
                throw CCmlException(L"Deserializing schema item", L"Insufficient memory", OVX_E_INSUFFICIENT_MEMORY);
            }
        });
    });
}

template <class Base>
void CSchemaCarrier<Base>::WriteWithSchema(XmlUtils::CXmlOut& out, int level) const {
    XmlUtils::StartTag(out, level, kTagSchemaInfo);
    this->CSchemaInfo::EmitAttributes(out);
    XmlUtils::WriteLiteral(out, ">\n");
    m_schema->EmitSchema(out);
    XmlUtils::WriteLiteral(out, "\n");
    XmlUtils::EndTag(out, level, kTagSchemaInfo);
}

template class CSchemaCarrier<CSchemaInfoResponseData>;
template class CSchemaCarrier<CSchemaInfo>;

void CGetSchemaResponseData::EmitElement(XmlUtils::CXmlOut& out, int level) const {
    if (m_schema) {
        WriteWithSchema(out, level);
    } else {
        CSchemaInfoResponseData::EmitElement(out, level);
    }
}

CSetSchemaRequestData::CSetSchemaRequestData(const std::wstring& namespaceUri, const CCmlDOM_Node& schema,
                                             const std::wstring& version, const std::wstring& name, bool overwrite,
                                             bool root, bool cpeEditable, bool getFromAgent, bool getLatestCompatible)
    : CSchemaCarrier<CSchemaInfo>(namespaceUri, version, name, overwrite, root, cpeEditable, getFromAgent,
                                  getLatestCompatible) {
    try {
        m_schema.reset(new CSchemaNode(schema));
    } catch (const std::bad_alloc&) {
        throw CCmlException(L"Creating schema node object", L"Insufficient memory", OVX_E_INSUFFICIENT_MEMORY);
    }
}

void CSetSchemaRequestData::EmitElement(XmlUtils::CXmlOut& out, int level) const {
    if (!m_schema) throw CCmlException(L"Serializing schema", L"No schema specified", OVX_E_CML_NO_SCHEMA);
    WriteWithSchema(out, level);
}

// ---- messages

template <class Base, class Item>
const wchar_t* CSchemaMessage<Base, Item>::kNsSchemaMessagesUri() {
    return kNsSchemaMessages;
}
template <class Base, class Item>
const wchar_t* CSchemaMessage<Base, Item>::kVersionSchemaMessagesText() {
    return kVersionSchemaMessages;
}

template <class Base, class Item>
Item& CSchemaMessage<Base, Item>::GetItem(size_t index) {
    if (index >= m_items.size()) throw CCmlException(m_indexOperation, L"Invalid vector index", OVX_E_CML_BAD_INDEX);
    return m_items[index];
}
template <class Base, class Item>
const Item& CSchemaMessage<Base, Item>::GetItem(size_t index) const {
    if (index >= m_items.size()) throw CCmlException(m_indexOperation, L"Invalid vector index", OVX_E_CML_BAD_INDEX);
    return m_items[index];
}

template <class Base, class Item>
void CSchemaMessage<Base, Item>::Deserialize(CCmlDOM_Element& element) {
    Base::Deserialize(element);
    m_items.clear();
    ReadGuarded(m_readOperation, [&] {
        XmlUtils::ForEachChildElement(element, [&](CCmlDOM_Element& child) {
            if (std::wstring(OrEmpty(child.getNodeName())) != kTagSchemaInfo ||
                this->GetNamespaceUri() != OrEmpty(child.getNamespaceURI())) {
                return;
            }
            Item item;
            item.Deserialize(child);
            m_items.push_back(std::move(item));
        });
    });
}

template <class Base, class Item>
void CSchemaMessage<Base, Item>::EmitContent(XmlUtils::CXmlOut& out, int level) const {
    for (const Item& item : m_items) item.EmitElement(out, level);
}

template class CSchemaMessage<CCmlRequest, CSchemaInfo>;
template class CSchemaMessage<CCmlResponse, CSchemaInfoResponseData>;
template class CSchemaMessage<CCmlResponse, CGetSchemaResponseData>;
template class CSchemaMessage<CCmlRequest, CSetSchemaRequestData>;

CSchemaRequest::CSchemaRequest(const wchar_t* tag)
    : CSchemaMessage(tag, L"Getting schema request", L"Parsing schema request element") {}
CSchemaResponse::CSchemaResponse(const wchar_t* tag)
    : CSchemaMessage(tag, L"Getting schema response", L"Parsing schema info response element") {}
CGetSchemaResponse::CGetSchemaResponse()
    : CSchemaMessage(kRespGetSchemaResponse, L"Getting get-schema-response", L"Parsing get-schema-response element") {}
CSetSchemaRequest::CSetSchemaRequest()
    : CSchemaMessage(kReqSetSchemaRequest, L"Getting set-schema-request", L"Parsing set-schema-request element") {}

void RegisterSchemaDocuments(CCmlClassFactory& factory) {
    const std::vector<CNamespaceVersion> aliases = {{kNsCml, kVersionCmlOlder}, {kNsCml, kVersionCml}};
    auto reg = [&](const wchar_t* tag, const CCmlDocumentBase& prototype) {
        factory.RegisterDocumentAliases(kNsSchemaMessages, kVersionSchemaMessages, aliases, tag, prototype);
    };
    reg(kReqGetSchemaRequest, CSchemaRequest(kReqGetSchemaRequest));
    reg(kReqGetSchemaInfoRequest, CSchemaRequest(kReqGetSchemaInfoRequest));
    reg(kRespSetSchemaResponse, CSchemaResponse(kRespSetSchemaResponse));
    reg(kRespGetSchemaInfoResponse, CSchemaResponse(kRespGetSchemaInfoResponse));
    reg(kRespGetSchemaResponse, CGetSchemaResponse());
    reg(kReqSetSchemaRequest, CSetSchemaRequest());
}

namespace {
const bool g_registered = RegisterAtLoad(RegisterSchemaDocuments);
}  // namespace

}  // namespace cml
}  // namespace ovx
