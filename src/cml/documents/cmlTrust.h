// Trust documents: the exchange of public keys and the attachment of an
// agent to a site, and the PEM key value they carry.
#ifndef OVX_CML_DOCUMENTS_CMLTRUST_H
#define OVX_CML_DOCUMENTS_CMLTRUST_H

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "cml/core/cmlDom.h"
#include "cml/core/cmlMessage.h"

namespace ovx {
namespace cml {

// One PEM key: its boundary lines and its base64 body without whitespace.
class CCmlKey {
public:
    CCmlKey() = default;
    // `algorithm` may be NULL (none).
    CCmlKey(const std::wstring& body, const std::wstring& beginBoundary, const std::wstring& endBoundary,
            const wchar_t* algorithm, uint32_t length);
    CCmlKey(const CCmlKey& other) = default;
    virtual ~CCmlKey();
    virtual CCmlKey& operator=(const CCmlKey& other);
    virtual CCmlKey* Clone() const { return new CCmlKey(*this); }

    virtual const std::wstring& GetAlgorithm() const { return m_algorithm; }
    virtual uint32_t GetLength() const { return m_length; }
    virtual const std::wstring& GetBeginBoundary() const { return m_begin; }
    virtual const std::wstring& GetEndBoundary() const { return m_end; }
    virtual const std::wstring& GetKeyBody() const { return m_body; }
    virtual void SetAlgorithm(const std::wstring& algorithm) { m_algorithm = algorithm; }
    virtual void SetLength(uint32_t length) { m_length = length; }
    virtual void SetBeginBoundary(const std::wstring& line) { m_begin = line; }
    virtual void SetEndBoundary(const std::wstring& line) { m_end = line; }
    // Stores the text without any whitespace.
    virtual void SetKeyBody(const std::wstring& body);
    // The begin line, the body in lines of 64, the end line; empty for an
    // empty body.
    virtual std::wstring GetPemText() const;

    virtual void Deserialize(CCmlDOM_Element& element);
    virtual void EmitKey(XmlUtils::CXmlOut& out, int level) const;
    template <class Char>
    void Serialize(std::basic_ostream<Char>& out, int level) const {
        XmlUtils::WriteThrough(out, [&](XmlUtils::CXmlOut& xml) { EmitKey(xml, level); });
    }
    virtual void EmitAttributes(XmlUtils::CXmlOut& out) const;
    template <class Char>
    void WriteAttributes(std::basic_ostream<Char>& out) const {
        XmlUtils::WriteThrough(out, [&](XmlUtils::CXmlOut& xml) { EmitAttributes(xml); });
    }

private:
    void WriteKey(XmlUtils::CXmlOut& out, int level) const;

    std::wstring m_algorithm;
    uint32_t m_length = 0;
    std::wstring m_begin;
    std::wstring m_end;
    std::wstring m_body;
};

// Splits PEM text into its begin line, end line and whitespace-free body.
// Throws CCmlException OVX_E_INVALID_ARGUMENT for NULL or text without both lines.
void ExtractPemBoundaries(const wchar_t* text, std::wstring& beginBoundary, std::wstring& endBoundary,
                          std::wstring& body);

// The keys of an exchange-keys document, shared by request and response.
class CKeyList {
public:
    CKeyList() = default;
    CKeyList(const CKeyList& other);
    CKeyList& operator=(const CKeyList& other);
    size_t GetKeyCount() const { return m_keys.size(); }
    CCmlKey* GetKey(size_t index);
    const CCmlKey* GetKey(size_t index) const;
    const std::vector<std::unique_ptr<CCmlKey>>& GetKeys() const { return m_keys; }
    CCmlKey* AddKey(CCmlKey* key);
    CCmlKey* AddKey(const wchar_t* pemText, const wchar_t* algorithm, uint32_t length);
    void ClearKeys() { m_keys.clear(); }
    // Appends a copy of each key of `other`.
    void Append(const CKeyList& other);
    void Read(CCmlDOM_Element& element);
    void Write(XmlUtils::CXmlOut& out, int level) const {
        for (const auto& key : m_keys) key->EmitKey(out, level);
    }

private:
    std::vector<std::unique_ptr<CCmlKey>> m_keys;
};

class CExchangeKeysRequest : public CCmlRequest, public CKeyList {
public:
    CExchangeKeysRequest();
    CExchangeKeysRequest(const CExchangeKeysRequest& other) = default;
    using CCmlRequest::operator=;
    // Base fields, then a copy of each key appended to those held.
    virtual CExchangeKeysRequest& operator=(const CExchangeKeysRequest& other);
    CExchangeKeysRequest* Clone() const override { return new CExchangeKeysRequest(*this); }
    bool HasContent() const override { return GetKeyCount() != 0; }
    void Deserialize(CCmlDOM_Element& element) override;
    void EmitContent(XmlUtils::CXmlOut& out, int level) const override { Write(out, level); }
};

class CExchangeKeysResponse : public CCmlResponse, public CKeyList {
public:
    CExchangeKeysResponse();
    CExchangeKeysResponse(const CExchangeKeysResponse& other) = default;
    using CCmlResponse::operator=;
    virtual CExchangeKeysResponse& operator=(const CExchangeKeysResponse& other);
    CExchangeKeysResponse* Clone() const override;
    bool HasContent() const override { return GetKeyCount() != 0; }
    void Deserialize(CCmlDOM_Element& element) override;
    void EmitContent(XmlUtils::CXmlOut& out, int level) const override { Write(out, level); }
};

class CAttachToSiteRequest : public CCmlRequest {
public:
    CAttachToSiteRequest();
    CAttachToSiteRequest(const CAttachToSiteRequest& other) = default;
    using CCmlRequest::operator=;
    virtual CAttachToSiteRequest& operator=(const CAttachToSiteRequest& other);
    CAttachToSiteRequest* Clone() const override;
    const std::wstring& GetUserName() const { return m_userName; }
    const std::wstring& GetPassword() const { return m_password; }
    void SetUserName(const std::wstring& name) { m_userName = name; }
    void SetPassword(const std::wstring& password) { m_password = password; }
    void Deserialize(CCmlDOM_Element& element) override;
    void EmitAttributes(XmlUtils::CXmlOut& out) const override;

private:
    std::wstring m_userName;
    std::wstring m_password;
};

class CAttachToSiteResponse : public CCmlResponse {
public:
    CAttachToSiteResponse();
    CAttachToSiteResponse* Clone() const override { return new CAttachToSiteResponse(*this); }
};

void RegisterTrustDocuments(CCmlClassFactory& factory);

}  // namespace cml
}  // namespace ovx

#endif  // OVX_CML_DOCUMENTS_CMLTRUST_H
