#include "cml/documents/cmlTrust.h"

#include <xercesc/dom/DOM.hpp>

#include <cwctype>
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
using XmlUtils::ReadGuarded;

namespace {

const wchar_t kTagKey[] = L"key";

std::wstring WithoutWhitespace(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        if (!std::iswspace(static_cast<wint_t>(c))) out.push_back(c);
    }
    return out;
}

[[noreturn]] void ThrowPem(const wchar_t* message) {
    throw CCmlException(L"Extracting PEM EBs", message, OVX_E_INVALID_ARGUMENT);
}

}  // namespace

// ---- CCmlKey

CCmlKey::CCmlKey(const std::wstring& body, const std::wstring& beginBoundary, const std::wstring& endBoundary,
                 const wchar_t* algorithm, uint32_t length)
    : m_length(length), m_begin(beginBoundary), m_end(endBoundary), m_body(WithoutWhitespace(body)) {
    if (algorithm != nullptr) m_algorithm = algorithm;
}

CCmlKey::~CCmlKey() = default;

CCmlKey& CCmlKey::operator=(const CCmlKey& other) {
    if (this != &other) {
        m_algorithm = other.m_algorithm;
        m_length = other.m_length;
        m_begin = other.m_begin;
        m_end = other.m_end;
        m_body = other.m_body;
    }
    return *this;
}

void CCmlKey::SetKeyBody(const std::wstring& body) { m_body = WithoutWhitespace(body); }

std::wstring CCmlKey::GetPemText() const {
    if (m_body.empty()) return std::wstring();
    std::wstring text = m_begin + L'\n';
    for (size_t at = 0; at < m_body.size(); at += 64) {
        text.append(m_body, at, 64);
        text += L'\n';
    }
    return text + m_end;
}

void ExtractPemBoundaries(const wchar_t* source, std::wstring& beginBoundary, std::wstring& endBoundary,
                          std::wstring& body) {
    if (source == nullptr) ThrowPem(L"Source string is NULL");
    const std::wstring text = source;
    // The searches for the closing dashes start past the shortest label the
    // format expects, as keys have always been read.
    size_t begin = text.find(L"-----BEGIN");
    if (begin == std::wstring::npos) ThrowPem(L"Source string is invalid");
    size_t close1 = text.find(L"-----", begin + 20);
    if (close1 == std::wstring::npos) ThrowPem(L"Source string is invalid");
    size_t end = text.find(L"-----END", close1 + 5);
    if (end == std::wstring::npos) ThrowPem(L"Source string is invalid");
    size_t close2 = text.find(L"-----", end + 18);
    if (close2 == std::wstring::npos) ThrowPem(L"Source string is invalid");
    beginBoundary = text.substr(begin, close1 + 5 - begin);
    body = WithoutWhitespace(text.substr(close1 + 5, end - (close1 + 5)));
    endBoundary = text.substr(end, close2 + 5 - end);
}

void CCmlKey::Deserialize(CCmlDOM_Element& element) {
    const wchar_t* operation = L"Parsing key";
    ReadGuarded(operation, [&] {
        if (element.IsNull() || element.getNodeType() != xercesc::DOMNode::ELEMENT_NODE ||
            std::wstring(XmlUtils::OrEmpty(element.getNodeName())) != kTagKey) {
            throw CCmlException(operation, L"Invalid content", OVX_E_CML_MISSING_ELEMENT);
        }
        m_algorithm = GetAttributeText(element, L"algorithm");
        m_length = 0;
        std::wistringstream length(GetAttributeText(element, L"length"));
        length.imbue(std::locale::classic());
        unsigned long value = 0;
        if (length >> value && value <= 0xFFFFFFFFul) m_length = static_cast<uint32_t>(value);
        CCmlDOM_Node first = element.getFirstChild();
        if (first.IsNull() || first.getNodeType() != xercesc::DOMNode::TEXT_NODE) {
            throw CCmlException(operation, L"Invalid content:  missing key", OVX_E_CML_MISSING_ELEMENT);
        }
        const wchar_t* data = first.getNodeValue();
        ExtractPemBoundaries(data != nullptr ? data : L"", m_begin, m_end, m_body);
    });
}

void CCmlKey::WriteKey(XmlUtils::CXmlOut& out, int level) const {
    XmlUtils::StartTag(out, level, kTagKey);
    EmitAttributes(out);
    XmlUtils::WriteLiteral(out, ">");
    XmlUtils::EscapeContent(out, GetPemText().c_str());
    XmlUtils::WriteLiteral(out, "</key>\n");
}

void CCmlKey::EmitKey(XmlUtils::CXmlOut& out, int level) const { WriteKey(out, level); }

void CCmlKey::EmitAttributes(XmlUtils::CXmlOut& out) const {
    if (!m_algorithm.empty()) WriteAttribute(out, L"algorithm", m_algorithm);
    if (m_length != 0) WriteAttribute(out, L"length", std::to_wstring(m_length));
}

// ---- CKeyList

CKeyList::CKeyList(const CKeyList& other) { Append(other); }

CKeyList& CKeyList::operator=(const CKeyList& other) {
    if (this != &other) {
        CKeyList copy(other);
        m_keys.swap(copy.m_keys);
    }
    return *this;
}

CCmlKey* CKeyList::GetKey(size_t index) {
    if (index >= m_keys.size()) throw CCmlException(L"Getting key", L"Invalid vector index", OVX_E_CML_BAD_INDEX);
    return m_keys[index].get();
}

const CCmlKey* CKeyList::GetKey(size_t index) const {
    if (index >= m_keys.size()) throw CCmlException(L"Getting key", L"Invalid vector index", OVX_E_CML_BAD_INDEX);
    return m_keys[index].get();
}

CCmlKey* CKeyList::AddKey(CCmlKey* key) {
    if (key == nullptr) throw CCmlException(L"Adding key", L"Invalid argument", OVX_E_INVALID_ARGUMENT);
    std::unique_ptr<CCmlKey> owned(key);
    m_keys.push_back(std::move(owned));
    return key;
}

CCmlKey* CKeyList::AddKey(const wchar_t* pemText, const wchar_t* algorithm, uint32_t length) {
    if (pemText == nullptr) throw CCmlException(L"Adding key", L"Invalid argument", OVX_E_INVALID_ARGUMENT);
    std::wstring begin, end, body;
    ExtractPemBoundaries(pemText, begin, end, body);
    try {
        return AddKey(new CCmlKey(body, begin, end, algorithm, length));
    } catch (const std::bad_alloc&) {
        throw CCmlException(L"Adding key", L"Insufficient memory", OVX_E_INSUFFICIENT_MEMORY);
    }
}

void CKeyList::Append(const CKeyList& other) {
    for (const auto& key : other.m_keys) AddKey(key->Clone());
}

void CKeyList::Read(CCmlDOM_Element& element) {
    XmlUtils::ForEachChildElement(element, [&](CCmlDOM_Element& child) {
        if (std::wstring(XmlUtils::OrEmpty(child.getNodeName())) != kTagKey) return;
        auto key = std::make_unique<CCmlKey>();
        key->Deserialize(child);
        AddKey(key.release());
    });
}

// ---- exchange-keys

CExchangeKeysRequest::CExchangeKeysRequest() : CCmlRequest(kReqExchangeKeysRequest, kNsMessage, kVersionMessage) {}

CExchangeKeysRequest& CExchangeKeysRequest::operator=(const CExchangeKeysRequest& other) {
    if (this != &other) {
        CCmlRequest::operator=(other);
        Append(other);
    }
    return *this;
}

void CExchangeKeysRequest::Deserialize(CCmlDOM_Element& element) {
    CCmlRequest::Deserialize(element);
    ReadGuarded(L"Parsing exchange-keys request element", [&] { Read(element); });
}

CExchangeKeysResponse::CExchangeKeysResponse() : CCmlResponse(kRespExchangeKeysResponse, kNsMessage, kVersionMessage) {}

CExchangeKeysResponse& CExchangeKeysResponse::operator=(const CExchangeKeysResponse& other) {
    if (this != &other) {
        CCmlResponse::operator=(other);
        Append(other);
    }
    return *this;
}

CExchangeKeysResponse* CExchangeKeysResponse::Clone() const {
    try {
        return new CExchangeKeysResponse(*this);
    } catch (const std::bad_alloc&) {
        throw CCmlException(L"Cloning exchange-keys-response object", L"Insufficient memory",
                            OVX_E_INSUFFICIENT_MEMORY);
    }
}

void CExchangeKeysResponse::Deserialize(CCmlDOM_Element& element) {
    CCmlResponse::Deserialize(element);
    ReadGuarded(L"Parsing exchange-keys response element", [&] { Read(element); });
}

// ---- attach-to-site

CAttachToSiteRequest::CAttachToSiteRequest()
    : CCmlRequest(kReqAttachToSiteRequest, kNsAgentMessages, kVersionAgentMessages) {}

CAttachToSiteRequest& CAttachToSiteRequest::operator=(const CAttachToSiteRequest& other) {
    if (this != &other) {
        CCmlRequest::operator=(other);
        m_userName = other.m_userName;
        m_password = other.m_password;
    }
    return *this;
}

CAttachToSiteRequest* CAttachToSiteRequest::Clone() const {
    try {
        return new CAttachToSiteRequest(*this);
    } catch (const std::bad_alloc&) {
        throw CCmlException(L"Cloning attach-to-site-request object", L"Insufficient memory",
                            OVX_E_INSUFFICIENT_MEMORY);
    }
}

void CAttachToSiteRequest::Deserialize(CCmlDOM_Element& element) {
    CCmlRequest::Deserialize(element);
    ReadGuarded(L"Parsing attach-to-site request element", [&] {
        m_userName = GetAttributeText(element, L"user-name");
        m_password = GetAttributeText(element, L"passwd");
    });
}

void CAttachToSiteRequest::EmitAttributes(XmlUtils::CXmlOut& out) const {
    CCmlRequest::EmitAttributes(out);
    WriteAttribute(out, L"user-name", m_userName);
    WriteAttribute(out, L"passwd", m_password);
}

CAttachToSiteResponse::CAttachToSiteResponse()
    : CCmlResponse(kRespAttachToSiteResponse, kNsAgentMessages, kVersionAgentMessages) {}

void RegisterTrustDocuments(CCmlClassFactory& factory) {
    factory.RegisterDocument(kNsMessage, kVersionMessage, kReqExchangeKeysRequest, CExchangeKeysRequest());
    factory.RegisterDocument(kNsMessage, kVersionMessage, kRespExchangeKeysResponse, CExchangeKeysResponse());
    factory.RegisterDocument(kNsAgentMessages, kVersionAgentMessages, kReqAttachToSiteRequest, CAttachToSiteRequest());
    factory.RegisterDocument(kNsAgentMessages, kVersionAgentMessages, kRespAttachToSiteResponse,
                             CAttachToSiteResponse());
}

namespace {
const bool g_registered = RegisterAtLoad(RegisterTrustDocuments);
}  // namespace

}  // namespace cml
}  // namespace ovx
