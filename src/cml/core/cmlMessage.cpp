#include "cml/core/cmlMessage.h"

#include <xercesc/dom/DOM.hpp>

#include <cerrno>
#include <cwchar>
#include <locale>
#include <new>

#include "cml/core/cmlDocumentUtils.h"
#include "cml/core/cmlException.h"
#include "cml/core/cmlNamespaces.h"
#include "cml/core/cmlSerialize.h"
#include "cml/core/cmlVocabulary.h"
#include "cml/core/cmlXmlText.h"
#include "tools/ovxCodecvt.h"

namespace ovx {
namespace cml {

using XmlUtils::EndTag;
using XmlUtils::ForEachChildElement;
using XmlUtils::StartTag;

namespace {

using XmlUtils::OrEmpty;

std::wstring Attribute(CCmlDOM_Element& element, const wchar_t* name) {
    return XmlUtils::GetAttributeText(element, name);
}

}  // namespace

uint32_t ToUnsigned(const wchar_t* text) {
    if (text == nullptr) return 0;
    while (*text == L' ' || *text == L'\t') ++text;
    if (*text == L'\0' || *text == L'-' || *text == L'+') return 0;
    errno = 0;
    wchar_t* end = nullptr;
    unsigned long long value = std::wcstoull(text, &end, 0);
    if (errno != 0 || end == text || value > 0xFFFFFFFFull) return 0;
    while (*end == L' ' || *end == L'\t') ++end;
    return *end == L'\0' ? static_cast<uint32_t>(value) : 0;
}

// ---- CMessageBase, CCmlRequest, CCmlResponse

CMessageBase::CMessageBase(const wchar_t* tagName, const wchar_t* namespaceUri, const wchar_t* classSchemaVersion)
    : CCmlDocumentBase(tagName, namespaceUri, classSchemaVersion), m_schemaVersion(OrEmpty(classSchemaVersion)) {}

CMessageBase& CMessageBase::operator=(const CMessageBase& other) {
    if (this != &other) {
        CCmlDocumentBase::operator=(other);
        m_requestId = other.m_requestId;
        m_schemaVersion = other.m_schemaVersion;
    }
    return *this;
}

void CMessageBase::Deserialize(CCmlDOM_Element& element) {
    if (element.IsNull())
        throw CCmlException(L"Deserializing message", L"Null element received", OVX_E_CML_NULL_ELEMENT);
    try {
        ProcessStandardAttributes(element);
        SetRequestId(element.getAttribute(kTagRequestId));
    } catch (const xercesc::DOMException& error) {
        XmlUtils::ThrowDomError(ParseOperation(), error);
    }
}

void CMessageBase::EmitAttributes(XmlUtils::CXmlOut& out) const {
    CCmlDocumentBase::EmitAttributes(out);
    WriteAttribute(out, kTagRequestId, m_requestId);
}

CCmlRequest::CCmlRequest(const wchar_t* tagName, const wchar_t* namespaceUri, const wchar_t* classSchemaVersion)
    : CMessageBase(tagName, namespaceUri, classSchemaVersion) {}

CCmlRequest& CCmlRequest::operator=(const CCmlRequest& other) {
    if (this != &other) {
        CMessageBase::operator=(other);
        m_needReply = other.m_needReply;
    }
    return *this;
}

void CCmlRequest::Deserialize(CCmlDOM_Element& element) {
    CMessageBase::Deserialize(element);
    try {
        m_needReply = Attribute(element, kTagNeedReply) != kValueFalse;
    } catch (const xercesc::DOMException& error) {
        XmlUtils::ThrowDomError(ParseOperation(), error);
    }
}

void CCmlRequest::EmitAttributes(XmlUtils::CXmlOut& out) const {
    CMessageBase::EmitAttributes(out);
    if (!m_needReply) {
        WriteAttribute(out, kTagNeedReply, kValueFalse);
    } else if (GetSerializeDefaults()) {
        WriteAttribute(out, kTagNeedReply, kValueTrue);
    }
}

CCmlResponse::CCmlResponse(const wchar_t* tagName, const wchar_t* namespaceUri, const wchar_t* classSchemaVersion)
    : CMessageBase(tagName, namespaceUri, classSchemaVersion) {}

CCmlResponse& CCmlResponse::operator=(const CCmlResponse& other) {
    if (this != &other) {
        CMessageBase::operator=(other);
        m_code = other.m_code;
        m_text = other.m_text;
    }
    return *this;
}

void CCmlResponse::Deserialize(CCmlDOM_Element& element) {
    CMessageBase::Deserialize(element);
    try {
        m_code = ToUnsigned(element.getAttribute(kTagCode));
        m_text = Attribute(element, kTagText);
    } catch (const xercesc::DOMException& error) {
        XmlUtils::ThrowDomError(ParseOperation(), error);
    }
}

void CCmlResponse::EmitAttributes(XmlUtils::CXmlOut& out) const {
    CMessageBase::EmitAttributes(out);
    if (m_code != 0 || GetSerializeDefaults()) WriteHexAttribute(out, kTagCode, m_code);
    if (!m_text.empty()) WriteAttribute(out, kTagText, m_text);
}

CCmlErrorResponse::CCmlErrorResponse() : CCmlResponse(kRespErrorResponse, kNsMessage, kVersionMessage) {}
CCmlOutOfBandResponse::CCmlOutOfBandResponse() : CCmlResponse(kRespOutOfBandResponse, kNsMessage, kVersionMessage) {}

// ---- CAgentInfo

CAgentInfo::~CAgentInfo() = default;

CAgentInfo* CAgentInfo::Clone() const {
    auto* copy = new (std::nothrow) CAgentInfo;
    if (copy == nullptr)
        throw CCmlException(L"Cloning agent info object", L"Insufficient memory", OVX_E_INSUFFICIENT_MEMORY);
    *copy = *this;
    return copy;
}

namespace {

void WriteAgentInfo(const CAgentInfo& agent, XmlUtils::CXmlOut& out, int level) {
    StartTag(out, level, agent.GetTagName().c_str());
    struct Field {
        const wchar_t* name;
        const std::wstring& value;
    };
    const Field fields[] = {
        {kAttrName, agent.GetName()},           {kAttrNamespace, agent.GetNamespace()},
        {kAttrIpAddress, agent.GetIpAddress()}, {kAttrHostName, agent.GetHostName()},
        {kAttrAgentId, agent.GetAgentId()},     {kAttrAuthToken, agent.GetAuthToken()},
        {kAttrAuthHash, agent.GetAuthHash()},
    };
    for (const Field& field : fields) {
        if (!field.value.empty()) WriteAttribute(out, field.name, field.value);
    }
    if (agent.GetAgentGroups().empty()) {
        XmlUtils::WriteLiteral(out, "/>\n");
        return;
    }
    XmlUtils::WriteLiteral(out, ">\n");
    // A group belongs to the property namespace, which is where readers look
    // for it; without the declaration it would inherit the envelope's.
    const std::wstring groupNamespace = std::wstring(kNsPropertyDocuments);
    for (const std::wstring& group : agent.GetAgentGroups()) {
        StartTag(out, level + 1, kTagAgentGroup);
        WriteAttribute(out, kAttrXmlns, groupNamespace);
        WriteAttribute(out, kAttrName, group);
        XmlUtils::WriteLiteral(out, "/>\n");
    }
    EndTag(out, level, agent.GetTagName().c_str());
}

}  // namespace

void CAgentInfo::EmitElement(XmlUtils::CXmlOut& out, int level) const { WriteAgentInfo(*this, out, level); }
void CAgentInfo::WriteElement(std::wostream& out, int level) const {
    XmlUtils::WriteThrough(out, [&](XmlUtils::CXmlOut& xml) { EmitElement(xml, level); });
}
void CAgentInfo::WriteElement(std::ostream& out, int level) const {
    XmlUtils::WriteThrough(out, [&](XmlUtils::CXmlOut& xml) { EmitElement(xml, level); });
}

void CAgentInfo::Deserialize(CCmlDOM_Element& element) {
    const wchar_t* operation = L"Processing agent-info element";
    if (element.IsNull()) throw CCmlException(operation, L"Null element received", OVX_E_CML_NULL_ELEMENT);
    try {
        element.ReadAttributes({{kAttrName, &m_name},
                                {kAttrNamespace, &m_namespace},
                                {kAttrIpAddress, &m_ipAddress},
                                {kAttrHostName, &m_hostName},
                                {kAttrAgentId, &m_agentId},
                                {kAttrAuthToken, &m_authToken},
                                {kAttrAuthHash, &m_authHash}});
        m_groups.clear();
        const std::wstring groupNamespace = std::wstring(kNsPropertyDocuments);
        ForEachChildElement(element, [&](CCmlDOM_Element& child) {
            if (groupNamespace == OrEmpty(child.getNamespaceURI()) &&
                std::wcscmp(OrEmpty(child.getNodeName()), kTagAgentGroup) == 0) {
                m_groups.insert(Attribute(child, kAttrName));
            }
        });
    } catch (const xercesc::DOMException& error) {
        XmlUtils::ThrowDomError(operation, error);
    }
}

bool CAgentInfo::operator==(const CAgentInfo& other) const {
    return m_tagName == other.m_tagName && m_name == other.m_name && m_namespace == other.m_namespace &&
           m_ipAddress == other.m_ipAddress && m_hostName == other.m_hostName && m_agentId == other.m_agentId &&
           m_authToken == other.m_authToken && m_authHash == other.m_authHash && m_groups == other.m_groups;
}

// ---- CNameValuePair

CNameValuePair::CNameValuePair(std::wstring namespaceUri, std::wstring name, std::wstring value, int32_t ordinal)
    : m_namespaceUri(std::move(namespaceUri)), m_name(std::move(name)), m_value(std::move(value)), m_ordinal(ordinal) {}

namespace {
void WritePairAttributes(const CNameValuePair& pair, XmlUtils::CXmlOut& out) {
    WriteAttribute(out, kAttrXmlns, pair.GetNamespaceUri());
    WriteAttribute(out, kAttrName, pair.GetName());
    WriteAttribute(out, kAttrValue, pair.GetValue());
    if (pair.GetOrdinal() != -1) WriteAttribute(out, kAttrOrdinal, std::to_wstring(pair.GetOrdinal()));
}
}  // namespace

void CNameValuePair::EmitAttributes(XmlUtils::CXmlOut& out) const { WritePairAttributes(*this, out); }
void CNameValuePair::WriteAttributes(std::wostream& out) const {
    XmlUtils::WriteThrough(out, [&](XmlUtils::CXmlOut& xml) { EmitAttributes(xml); });
}
void CNameValuePair::WriteAttributes(std::ostream& out) const {
    XmlUtils::WriteThrough(out, [&](XmlUtils::CXmlOut& xml) { EmitAttributes(xml); });
}

void CNameValuePair::Deserialize(CCmlDOM_Element& element) {
    const wchar_t* operation = L"Parsing param element";
    if (element.IsNull()) throw CCmlException(operation, L"Null element received", OVX_E_CML_NULL_ELEMENT);
    try {
        m_namespaceUri = OrEmpty(element.getNamespaceURI());
        m_name = Attribute(element, kAttrName);
        m_value = Attribute(element, kAttrValue);
        m_ordinal = -1;
        std::wstring ordinal = Attribute(element, kAttrOrdinal);
        if (!ordinal.empty()) {
            errno = 0;
            wchar_t* end = nullptr;
            long long value = std::wcstoll(ordinal.c_str(), &end, 10);
            if (errno == 0 && end != ordinal.c_str() && *end == L'\0' && value >= INT32_MIN && value <= INT32_MAX) {
                m_ordinal = static_cast<int32_t>(value);
            }
        }
    } catch (const xercesc::DOMException& error) {
        XmlUtils::ThrowDomError(operation, error);
    }
}

bool CNameValuePair::operator==(const CNameValuePair& other) const {
    return m_namespaceUri == other.m_namespaceUri && m_name == other.m_name && m_value == other.m_value &&
           m_ordinal == other.m_ordinal;
}

// ---- CCmlMessage

CCmlMessage::CCmlMessage() : CCmlDocumentBase(kTagOvx, kCmlBaseUri, kVersionRoot) {
    SetSchemaVersion(kVersionRoot);
    m_source.SetTagName(kTagSource);
}

CCmlMessage::CCmlMessage(const CAgentInfo& source, const std::wstring& messageId, const CAgentInfo& destination,
                         bool broadcast, const std::wstring& responseTo)
    : CCmlMessage() {
    m_source = source;
    m_source.SetTagName(kTagSource);
    AddDestination(destination);
    m_broadcast = broadcast;
    m_messageId = messageId;
    m_responseTo = responseTo;
}

CCmlMessage::CCmlMessage(const CCmlMessage& other)
    : CCmlDocumentBase(other),
      m_source(other.m_source),
      m_destinations(other.m_destinations),
      m_broadcast(other.m_broadcast),
      m_messageId(other.m_messageId),
      m_responseTo(other.m_responseTo),
      m_formatVersion(other.m_formatVersion),
      m_messageNamespace(other.m_messageNamespace),
      m_messageSchemaVersion(other.m_messageSchemaVersion) {
    try {
        m_requests.reserve(other.m_requests.size());
        for (const CCmlRequest* request : other.m_requests) AddRequest(*request);
        m_responses.reserve(other.m_responses.size());
        for (const CCmlResponse* response : other.m_responses) AddResponse(*response);
    } catch (...) {
        ClearBody();
        throw;
    }
}

CCmlMessage::~CCmlMessage() { ClearBody(); }

void CCmlMessage::ClearBody() {
    for (CCmlRequest* request : m_requests) delete request;
    for (CCmlResponse* response : m_responses) delete response;
    m_requests.clear();
    m_responses.clear();
}

CCmlMessage* CCmlMessage::Clone() const {
    try {
        return new CCmlMessage(*this);
    } catch (const std::bad_alloc&) {
        throw CCmlException(L"Cloning envelope object", L"Insufficient memory", OVX_E_INSUFFICIENT_MEMORY);
    }
}

void CCmlMessage::AddDestination(const CAgentInfo& destination) {
    m_destinations.push_back(destination);
    m_destinations.back().SetTagName(kTagDestination);
}

void CCmlMessage::AddDestination(CAgentInfo&& destination) {
    m_destinations.push_back(std::move(destination));
    m_destinations.back().SetTagName(kTagDestination);
}

void CCmlMessage::AddRequest(CCmlRequest* request) {
    if (request == nullptr) {
        throw CCmlException(L"Adding request to message vector", L"Internal error: invalid parameter",
                            OVX_E_INVALID_ARGUMENT);
    }
    std::unique_ptr<CCmlRequest> owned(request);  // deleted if the vector cannot grow
    m_requests.push_back(request);
    owned.release();
}

void CCmlMessage::AddResponse(CCmlResponse* response) {
    if (response == nullptr) {
        throw CCmlException(L"Adding response to message vector", L"Internal error: invalid parameter",
                            OVX_E_INVALID_ARGUMENT);
    }
    std::unique_ptr<CCmlResponse> owned(response);
    m_responses.push_back(response);
    owned.release();
}

CCmlRequest* CCmlMessage::AddRequest(const CCmlRequest& request) {
    auto* copy = static_cast<CCmlRequest*>(request.Clone());
    AddRequest(copy);
    return copy;
}

CCmlResponse* CCmlMessage::AddResponse(const CCmlResponse& response) {
    auto* copy = static_cast<CCmlResponse*>(response.Clone());
    AddResponse(copy);
    return copy;
}

void CCmlMessage::SetSchemaVersion(const wchar_t* version) {
    m_formatVersion = OrEmpty(version);
    if (m_formatVersion == kVersionRootOlder) {
        m_messageNamespace = kNsCml;
        m_messageSchemaVersion = kVersionCml;
    } else {
        m_messageNamespace = kNsMessage;
        m_messageSchemaVersion = kVersionMessage;
    }
}

void CCmlMessage::CollectNamespaces(CNamespaceSet& namespaces) const {
    const wchar_t* operation = L"Constructing CmlMessage namespace object";
    AddNamespace(namespaces, std::wstring(kCmlBaseUri), m_formatVersion, operation);
    AddNamespace(namespaces, m_messageNamespace, m_messageSchemaVersion, operation);
    try {
        for (const CCmlRequest* request : m_requests) request->CollectNamespaces(namespaces);
        for (const CCmlResponse* response : m_responses) response->CollectNamespaces(namespaces);
    } catch (const CCmlException& error) {
        if (error.GetErrorCode() != OVX_E_CML_VERSION_CONFLICT) throw;
        throw CCmlException(operation, error.GetMessage(), error.GetErrorCode());
    }
}

void CCmlMessage::EmitEnvelope(XmlUtils::CXmlOut& out) const {
    StartTag(out, 2, kTagMessageEnvelope);
    WriteAttribute(out, kAttrBroadcast, m_broadcast ? kValueTrue : kValueFalse);
    WriteAttribute(out, kTagMessageId, m_messageId);
    if (!m_responseTo.empty()) WriteAttribute(out, kTagResponseTo, m_responseTo);
    XmlUtils::WriteLiteral(out, ">\n");
    m_source.EmitElement(out, 3);
    for (const CAgentInfo& destination : m_destinations) destination.EmitElement(out, 3);
    StartTag(out, 3, kTagMessageBody);
    XmlUtils::WriteLiteral(out, ">\n");
    if (!m_requests.empty()) {
        StartTag(out, 4, kTagRequest);
        XmlUtils::WriteLiteral(out, ">\n");
        for (const CCmlRequest* request : m_requests) request->EmitElement(out, 5);
        EndTag(out, 4, kTagRequest);
    }
    if (!m_responses.empty()) {
        StartTag(out, 4, kTagResponse);
        XmlUtils::WriteLiteral(out, ">\n");
        for (const CCmlResponse* response : m_responses) response->EmitElement(out, 5);
        EndTag(out, 4, kTagResponse);
    }
    EndTag(out, 3, kTagMessageBody);
    EndTag(out, 2, kTagMessageEnvelope);
}

void CCmlMessage::EmitDocument(XmlUtils::CXmlOut& out) const {
    CNamespaceSet namespaces;
    CollectNamespaces(namespaces);  // a conflict throws before anything is written
    XmlUtils::WriteRootStartTag(out, kTagOvx, namespaces);
    out.Literal("\n");
    out.Indent(1);
    WriteAttribute(out, kAttrXmlns, kCmlBaseUri);
    WriteAttribute(out, kTagSchemaVersion, m_formatVersion);
    out.Literal(">\n");
    StartTag(out, 1, kTagCml);
    WriteAttribute(out, kAttrXmlns, m_messageNamespace);
    WriteAttribute(out, kTagSchemaVersion, m_messageSchemaVersion);
    out.Literal(">\n");
    EmitEnvelope(out);
    EndTag(out, 1, kTagCml);
    EndTag(out, 0, kTagOvx);
}

void CCmlMessage::Deserialize(CCmlDOM_Element& element) {
    if (element.IsNull()) {
        throw CCmlException(L"Deserializing compound message", L"Null element received", OVX_E_CML_NULL_ELEMENT);
    }
    ClearBody();
    m_destinations.clear();
    try {
        ProcessStandardAttributes(element);
        CCmlDOM_Element cml;
        ForEachChildElement(element, [&](CCmlDOM_Element& child) {
            const xercesc::DOMNode* node = child.GetDOMNode();
            if (!cml.IsNull() || !XmlUtils::SameText(node->getNodeName(), kTagCml)) return;
            const XMLCh* uri = node->getNamespaceURI();
            if (XmlUtils::SameText(uri, kNsCml) || XmlUtils::SameText(uri, kNsMessage)) cml = child;
        });
        if (cml.IsNull()) {
            throw CCmlException(L"Parsing compound message", L"Missing \"cml\" element", OVX_E_CML_MISSING_ELEMENT);
        }
        m_messageSchemaVersion = Attribute(cml, kTagSchemaVersion);
        CCmlDOM_Element envelope;
        ForEachChildElement(cml, [&](CCmlDOM_Element& child) {
            if (envelope.IsNull() && XmlUtils::SameText(child.GetDOMNode()->getLocalName(), kTagMessageEnvelope)) {
                envelope = child;
            }
        });
        if (envelope.IsNull()) {
            throw CCmlException(L"Parsing compound message", L"Missing \"message-envelope\" element",
                                OVX_E_CML_MISSING_ELEMENT);
        }
        ReadEnvelope(envelope);
    } catch (const xercesc::DOMException& error) {
        XmlUtils::ThrowDomError(L"Parsing message envelope", error);
    }
}

void CCmlMessage::ReadEnvelope(CCmlDOM_Element& envelope) {
    std::wstring broadcast;
    envelope.ReadAttributes(
        {{kAttrBroadcast, &broadcast}, {kTagMessageId, &m_messageId}, {kTagResponseTo, &m_responseTo}});
    m_broadcast = broadcast == kValueTrue;
    ForEachChildElement(envelope, [&](CCmlDOM_Element& child) {
        const XMLCh* name = child.GetDOMNode()->getLocalName();
        if (XmlUtils::SameText(name, kTagSource)) {
            m_source.Deserialize(child);
            m_source.SetTagName(kTagSource);
        } else if (XmlUtils::SameText(name, kTagDestination)) {
            CAgentInfo destination;
            destination.Deserialize(child);
            AddDestination(std::move(destination));
        } else if (XmlUtils::SameText(name, kTagMessageBody)) {
            ReadBody(child);
        }
    });
}

void CCmlMessage::ReadBody(CCmlDOM_Element& body) {
    ForEachChildElement(body, [&](CCmlDOM_Element& group) {
        const XMLCh* name = group.GetDOMNode()->getLocalName();
        const bool requests = XmlUtils::SameText(name, kTagRequest);
        if (!requests && !XmlUtils::SameText(name, kTagResponse)) return;
        ForEachChildElement(group, [&](CCmlDOM_Element& item) {
            std::unique_ptr<CCmlDocumentBase> document(DeserializeParsedDocument(item, kMatchCompatible));
            if (!document) return;  // no class registered for it: not ours to read
            if (requests) {
                auto* request = dynamic_cast<CCmlRequest*>(document.get());
                if (request == nullptr) {
                    throw CCmlException(L"Error deserializing CML request", L"Document is not a message",
                                        OVX_E_UNEXPECTED);
                }
                document.release();
                AddRequest(request);
            } else {
                auto* response = dynamic_cast<CCmlResponse*>(document.get());
                if (response == nullptr) {
                    throw CCmlException(L"Error deserializing CML response", L"Document is not a message",
                                        OVX_E_UNEXPECTED);
                }
                document.release();
                AddResponse(response);
            }
        });
    });
}

// ---- registrations

void RegisterMessageDocuments(CCmlClassFactory& factory) {
    CCmlMessage message;
    factory.RegisterDocumentPair(kCmlBaseUri, kVersionRoot, kCmlBaseUri, kVersionRootOlder, kTagOvx, message);
    const std::vector<CNamespaceVersion> aliases = {{kNsCml, kVersionCmlOlder}, {kNsCml, kVersionCml}};
    CCmlErrorResponse error;
    factory.RegisterDocumentAliases(kNsMessage, kVersionMessage, aliases, kRespErrorResponse, error);
    CCmlOutOfBandResponse outOfBand;
    factory.RegisterDocumentAliases(kNsMessage, kVersionMessage, aliases, kRespOutOfBandResponse, outOfBand);
}

namespace {
const bool g_registered = RegisterAtLoad(RegisterMessageDocuments);
}  // namespace

}  // namespace cml
}  // namespace ovx
