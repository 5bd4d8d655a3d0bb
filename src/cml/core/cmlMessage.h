// The compound message: the envelope every exchange with the management
// server travels in, the bases of every request and response document, the
// two generic responses, the agent information of the envelope and the
// name/value pair of documents that carry parameters.
#ifndef OVX_CML_CORE_CMLMESSAGE_H
#define OVX_CML_CORE_CMLMESSAGE_H

#include <cstdint>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "cml/core/cmlDocument.h"

namespace ovx {
namespace cml {

class CMessageBase : public CCmlDocumentBase {
public:
    CMessageBase() = default;
    CMessageBase(const wchar_t* tagName, const wchar_t* namespaceUri, const wchar_t* classSchemaVersion);
    CMessageBase(const CMessageBase& other) = default;
    using CCmlDocumentBase::operator=;
    virtual CMessageBase& operator=(const CMessageBase& other);

    virtual const std::wstring& GetRequestId() const { return m_requestId; }
    virtual void SetRequestId(const wchar_t* requestId) { m_requestId = requestId == nullptr ? L"" : requestId; }

    const std::wstring& GetSchemaVersion() const override { return m_schemaVersion.Get(); }
    void SetSchemaVersion(const wchar_t* version) override { m_schemaVersion = version == nullptr ? L"" : version; }
    bool HasContent() const override { return false; }
    void Deserialize(CCmlDOM_Element& element) override;
    void EmitAttributes(XmlUtils::CXmlOut& out) const override;

protected:
    // The operation text of DOM failures while reading.
    virtual const wchar_t* ParseOperation() const { return L"Deserializing message"; }

private:
    std::wstring m_requestId;
    CSharedText<wchar_t> m_schemaVersion;
};

class CCmlRequest : public CMessageBase {
public:
    CCmlRequest() = default;
    CCmlRequest(const wchar_t* tagName, const wchar_t* namespaceUri, const wchar_t* classSchemaVersion);
    CCmlRequest(const CCmlRequest& other) = default;
    using CMessageBase::operator=;
    virtual CCmlRequest& operator=(const CCmlRequest& other);

    virtual bool GetNeedReply() const { return m_needReply; }
    virtual void SetNeedReply(bool needReply) { m_needReply = needReply; }

    void Deserialize(CCmlDOM_Element& element) override;
    void EmitAttributes(XmlUtils::CXmlOut& out) const override;

protected:
    const wchar_t* ParseOperation() const override { return L"Parsing request element"; }

private:
    bool m_needReply = true;
};

class CCmlResponse : public CMessageBase {
public:
    CCmlResponse() = default;
    CCmlResponse(const wchar_t* tagName, const wchar_t* namespaceUri, const wchar_t* classSchemaVersion);
    CCmlResponse(const CCmlResponse& other) = default;
    using CMessageBase::operator=;
    virtual CCmlResponse& operator=(const CCmlResponse& other);

    virtual uint32_t GetCode() const { return m_code; }
    virtual const std::wstring& GetText() const { return m_text; }
    virtual void SetCode(uint32_t code) { m_code = code; }
    virtual void SetText(const wchar_t* text) { m_text = text == nullptr ? L"" : text; }

    void Deserialize(CCmlDOM_Element& element) override;
    void EmitAttributes(XmlUtils::CXmlOut& out) const override;

protected:
    const wchar_t* ParseOperation() const override { return L"Parsing response element"; }

private:
    uint32_t m_code = 0;
    std::wstring m_text;
};

// error-response: a request could not be carried out.
class CCmlErrorResponse : public CCmlResponse {
public:
    CCmlErrorResponse();
    CCmlErrorResponse* Clone() const override { return new CCmlErrorResponse(*this); }
};

// out-of-band-response: an answer outside the request/response pairing.
class CCmlOutOfBandResponse : public CCmlResponse {
public:
    CCmlOutOfBandResponse();
    CCmlOutOfBandResponse* Clone() const override { return new CCmlOutOfBandResponse(*this); }
};

// One agent as the envelope names it: its source or a destination.
class CAgentInfo {
public:
    CAgentInfo() = default;
    CAgentInfo(const CAgentInfo& other) = default;
    CAgentInfo(CAgentInfo&& other) noexcept = default;
    CAgentInfo& operator=(const CAgentInfo& other) = default;
    CAgentInfo& operator=(CAgentInfo&& other) noexcept = default;
    virtual ~CAgentInfo();
    virtual CAgentInfo* Clone() const;

    const std::wstring& GetTagName() const { return m_tagName; }
    const std::wstring& GetName() const { return m_name; }
    const std::wstring& GetNamespace() const { return m_namespace; }
    const std::wstring& GetIpAddress() const { return m_ipAddress; }
    const std::wstring& GetHostName() const { return m_hostName; }
    const std::wstring& GetAgentId() const { return m_agentId; }
    const std::wstring& GetAuthToken() const { return m_authToken; }
    const std::wstring& GetAuthHash() const { return m_authHash; }
    const std::set<std::wstring>& GetAgentGroups() const { return m_groups; }

    void SetTagName(const std::wstring& value) { m_tagName = value; }
    void SetName(const std::wstring& value) { m_name = value; }
    void SetNamespace(const std::wstring& value) { m_namespace = value; }
    void SetIpAddress(const std::wstring& value) { m_ipAddress = value; }
    void SetHostName(const std::wstring& value) { m_hostName = value; }
    void SetAgentId(const std::wstring& value) { m_agentId = value; }
    void SetAuthToken(const std::wstring& value) { m_authToken = value; }
    void SetAuthHash(const std::wstring& value) { m_authHash = value; }
    // A name already present is not added twice.
    void AddAgentGroup(const std::wstring& name) { m_groups.insert(name); }
    void ClearAgentGroups() { m_groups.clear(); }

    virtual void EmitElement(XmlUtils::CXmlOut& out, int level) const;
    void WriteElement(std::wostream& out, int level) const;
    void WriteElement(std::ostream& out, int level) const;
    virtual void Deserialize(CCmlDOM_Element& element);

    bool operator==(const CAgentInfo& other) const;

private:
    std::wstring m_tagName;
    std::wstring m_name;
    std::wstring m_namespace;
    std::wstring m_ipAddress;
    std::wstring m_hostName;
    std::wstring m_agentId;
    std::wstring m_authToken;
    std::wstring m_authHash;
    std::set<std::wstring> m_groups;
};

// The attributes of a `param` element.
class CNameValuePair {
public:
    CNameValuePair() = default;
    CNameValuePair(std::wstring namespaceUri, std::wstring name, std::wstring value, int32_t ordinal = -1);

    const std::wstring& GetNamespaceUri() const { return m_namespaceUri; }
    const std::wstring& GetName() const { return m_name; }
    const std::wstring& GetValue() const { return m_value; }
    int32_t GetOrdinal() const { return m_ordinal; }  // -1: absent
    void SetNamespaceUri(const std::wstring& value) { m_namespaceUri = value; }
    void SetName(const std::wstring& value) { m_name = value; }
    void SetValue(const std::wstring& value) { m_value = value; }
    void SetOrdinal(int32_t ordinal) { m_ordinal = ordinal; }

    void EmitAttributes(XmlUtils::CXmlOut& out) const;
    void WriteAttributes(std::wostream& out) const;
    void WriteAttributes(std::ostream& out) const;
    void Deserialize(CCmlDOM_Element& element);

    bool operator==(const CNameValuePair& other) const;

private:
    std::wstring m_namespaceUri;
    std::wstring m_name;
    std::wstring m_value;
    int32_t m_ordinal = -1;
};

class CCmlMessage : public CCmlDocumentBase {
public:
    // An empty message of the current format with no destination, as the
    // class factory's prototype.
    CCmlMessage();
    CCmlMessage(const CAgentInfo& source, const std::wstring& messageId, const CAgentInfo& destination, bool broadcast,
                const std::wstring& responseTo);
    CCmlMessage(const CCmlMessage& other);
    CCmlMessage& operator=(const CCmlMessage&) = delete;
    ~CCmlMessage() override;
    CCmlMessage* Clone() const override;

    const CAgentInfo& GetSource() const { return m_source; }
    CAgentInfo& GetSource() { return m_source; }
    const std::vector<CAgentInfo>& GetDestinations() const { return m_destinations; }
    std::vector<CAgentInfo>& GetDestinations() { return m_destinations; }
    void AddDestination(const CAgentInfo& destination);
    void AddDestination(CAgentInfo&& destination);
    bool GetBroadcast() const { return m_broadcast; }
    void SetBroadcast(bool broadcast) { m_broadcast = broadcast; }
    const std::wstring& GetMessageId() const { return m_messageId; }
    void SetMessageId(const std::wstring& messageId) { m_messageId = messageId; }
    void SetResponseTo(const std::wstring& responseTo) { m_responseTo = responseTo; }
    const std::wstring& GetResponseTo() const { return m_responseTo; }
    const std::wstring& GetMessageNamespace() const { return m_messageNamespace; }
    const std::wstring& GetMessageSchemaVersion() const { return m_messageSchemaVersion; }

    // The message keeps ownership of what these return.
    const std::vector<CCmlRequest*>& GetRequests() const { return m_requests; }
    const std::vector<CCmlResponse*>& GetResponses() const { return m_responses; }
    // Takes ownership; NULL throws OVX_E_INVALID_ARGUMENT.
    void AddRequest(CCmlRequest* request);
    void AddResponse(CCmlResponse* response);
    // Stores a copy and returns it; the caller keeps its object.
    CCmlRequest* AddRequest(const CCmlRequest& request);
    CCmlResponse* AddResponse(const CCmlResponse& response);

    // The message format version ("1.0.1"; "1.0.0" is the older format with
    // its single inner namespace).
    const std::wstring& GetSchemaVersion() const override { return m_formatVersion; }
    void SetSchemaVersion(const wchar_t* version) override;
    bool HasContent() const override { return true; }
    void CollectNamespaces(CNamespaceSet& namespaces) const override;
    void Deserialize(CCmlDOM_Element& element) override;
    void EmitDocument(XmlUtils::CXmlOut& out) const override;

private:
    void EmitEnvelope(XmlUtils::CXmlOut& out) const;
    void ReadEnvelope(CCmlDOM_Element& envelope);
    void ReadBody(CCmlDOM_Element& body);
    void ClearBody();

    CAgentInfo m_source;
    std::vector<CAgentInfo> m_destinations;
    bool m_broadcast = false;
    std::wstring m_messageId;
    std::wstring m_responseTo;
    std::wstring m_formatVersion;
    std::wstring m_messageNamespace;
    std::wstring m_messageSchemaVersion;
    std::vector<CCmlRequest*> m_requests;
    std::vector<CCmlResponse*> m_responses;
};

// Registers the compound message and the generic responses; done at load,
// and again by a host that released and recreated the class factory.
void RegisterMessageDocuments(CCmlClassFactory& factory);

// An attribute read as an unsigned 32-bit number: "0x" hexadecimal, a
// leading "0" octal, else decimal; absent, unreadable or out of range gives 0.
uint32_t ToUnsigned(const wchar_t* text);

}  // namespace cml
}  // namespace ovx

#endif  // OVX_CML_CORE_CMLMESSAGE_H
