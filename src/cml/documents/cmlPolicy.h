// Policies: the configuration documents the management server pushes and
// the agent reports back, as typed objects (CCmlPolicy) or as DOM subtrees
// (CPolicyNode); the per-policy descriptors of requests and responses; and
// the four policy messages.
#ifndef OVX_CML_DOCUMENTS_CMLPOLICY_H
#define OVX_CML_DOCUMENTS_CMLPOLICY_H

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "cml/core/cmlDocument.h"
#include "cml/core/cmlDocumentUtils.h"
#include "cml/core/cmlDom.h"
#include "cml/core/cmlMessage.h"
#include "cml/core/cmlValueTypes.h"

namespace ovx {
namespace cml {

enum PolicySourceKind { kPolicyObject = 1, kPolicyNodeKind = 2 };

class CPolicySource : public CCmlDocumentBase {
public:
    using CCmlDocumentBase::CCmlDocumentBase;
    CPolicySource() = default;
    CPolicySource(const CPolicySource& other) = default;
    using CCmlDocumentBase::operator=;
    virtual CPolicySource& operator=(const CPolicySource& other);
    CPolicySource* Clone() const override = 0;
    virtual int GetSourceKind() const = 0;
    virtual std::wstring GetName() = 0;
    virtual std::wstring GetVersion() = 0;
    virtual bool GetValid() = 0;
};

// A policy read into an object: the base of typed policies.
class CCmlPolicy : public CPolicySource {
public:
    CCmlPolicy() = default;
    CCmlPolicy(const CCmlPolicy& other) = default;
    CCmlPolicy(const wchar_t* tagName, const wchar_t* namespaceUri, const wchar_t* classSchemaVersion);
    using CPolicySource::operator=;
    virtual CCmlPolicy& operator=(const CCmlPolicy& other);

    int GetSourceKind() const override { return kPolicyObject; }
    std::wstring GetName() override { return m_name; }
    std::wstring GetVersion() override { return m_version; }
    bool GetValid() override { return m_valid; }
    virtual bool GetOverwrite() const { return m_overwrite; }
    virtual void SetName(const std::wstring& name) { m_name = name; }
    virtual void SetVersion(const std::wstring& version) { m_version = version; }
    virtual void SetOverwrite(bool overwrite) { m_overwrite = overwrite; }
    virtual void SetValid(bool valid) { m_valid = valid; }

    const std::wstring& GetSchemaVersion() const override { return m_schemaVersion; }
    void SetSchemaVersion(const wchar_t* version) override { m_schemaVersion = XmlOrEmpty(version); }
    void EmitAttributes(XmlUtils::CXmlOut& out) const override;

protected:
    // Base attributes, then name, version, overwrite and valid.
    void ProcessStandardPolicyAttributes(CCmlDOM_Element& element);

private:
    static const wchar_t* XmlOrEmpty(const wchar_t* text) { return text == nullptr ? L"" : text; }
    void WritePolicyAttributes(XmlUtils::CXmlOut& out) const;

    std::wstring m_name;
    std::wstring m_version;
    bool m_overwrite = false;
    bool m_valid = true;
    std::wstring m_schemaVersion;
};

// A policy held as a DOM subtree. The node keeps a private copy of the
// element it was built on, in a document of its own that it releases when
// it is destroyed: it can never outlive its DOM, whatever happens to the
// document it was read from, and a clone is a copy of its own.
class CPolicyNode : public CPolicySource, public CCmlDOM_Element {
public:
    // Copies `element` (and its subtree); a null element gives an empty node.
    explicit CPolicyNode(const CCmlDOM_Element& element);
    CPolicyNode(const CPolicyNode& other);
    CPolicyNode& operator=(const CPolicyNode&) = delete;
    ~CPolicyNode() override;
    CPolicyNode* Clone() const override;

    int GetSourceKind() const override { return kPolicyNodeKind; }
    std::wstring GetName() override;
    std::wstring GetVersion() override;
    // True exactly when the `valid` attribute says "true".
    bool GetValid() override;
    const std::wstring& GetSchemaVersion() const override { return m_schemaVersion; }
    void SetSchemaVersion(const wchar_t* version) override;
    void ClearCache();

    bool HasContent() const override { return true; }
    void CollectNamespaces(CNamespaceSet& namespaces) const override;
    void Deserialize(CCmlDOM_Element& element) override;
    void EmitElement(XmlUtils::CXmlOut& out, int level) const override;

private:
    void Adopt(const xercesc::DOMNode* element);

    std::wstring m_name;
    std::wstring m_version;
    std::wstring m_schemaVersion;
};

// A policy item keeps its texts as UTF-8, as they go on the wire: an item of
// usual size then takes no heap block beyond itself, and is written without
// a conversion. The wide accessors convert; a wide value that is not a
// Unicode scalar is stored as U+FFFD, as the writer would send it.
class CPolicyItem {
public:
    CPolicyItem() = default;
    CPolicyItem(const std::wstring& name, const std::wstring& namespaceUri, const std::wstring& version,
                const std::wstring& schemaVersion, const std::wstring& tag, uint32_t code, const std::wstring& text,
                const std::wstring& token, const std::wstring& groupMsid, const std::wstring& timestamp,
                const std::wstring& elementName);
    CPolicyItem(const CPolicyItem& other) = default;
    CPolicyItem& operator=(const CPolicyItem& other) = default;
    virtual ~CPolicyItem();
    virtual CPolicyItem* Clone() const;

    std::wstring GetElementName() const { return XmlUtils::WideOf(m_elementName); }
    std::wstring GetName() const { return XmlUtils::WideOf(m_name); }
    std::wstring GetNamespace() const { return XmlUtils::WideOf(m_namespace); }
    std::wstring GetVersion() const { return XmlUtils::WideOf(m_version); }
    std::wstring GetSchemaVersion() const { return XmlUtils::WideOf(m_schemaVersion); }
    std::wstring GetTag() const { return XmlUtils::WideOf(m_tag); }
    uint32_t GetCode() const { return m_code; }
    std::wstring GetText() const { return XmlUtils::WideOf(m_text); }
    std::wstring GetToken() const { return XmlUtils::WideOf(m_token); }
    std::wstring GetGroupMsid() const { return XmlUtils::WideOf(m_groupMsid); }
    const XmlUtils::CDateTime& GetTimestamp() const { return m_timestamp; }

    // The texts as stored.
    const std::string& GetElementNameUtf8() const { return m_elementName; }
    const std::string& GetNameUtf8() const { return m_name; }
    const std::string& GetNamespaceUtf8() const { return m_namespace; }
    const std::string& GetSchemaVersionUtf8() const { return m_schemaVersion; }
    const std::string& GetTextUtf8() const { return m_text; }
    const std::string& GetTokenUtf8() const { return m_token; }

    void SetElementName(const std::wstring& value) { m_elementName = XmlUtils::Utf8Of(value); }
    void SetName(const std::wstring& value) { m_name = XmlUtils::Utf8Of(value); }
    void SetNamespace(const std::wstring& value) { m_namespace = XmlUtils::Utf8Of(value); }
    void SetVersion(const std::wstring& value) { m_version = XmlUtils::Utf8Of(value); }
    void SetSchemaVersion(const std::wstring& value) { m_schemaVersion = XmlUtils::Utf8Of(value); }
    void SetTag(const std::wstring& value) { m_tag = XmlUtils::Utf8Of(value); }
    void SetCode(uint32_t value) { m_code = value; }
    void SetText(const std::wstring& value) { m_text = XmlUtils::Utf8Of(value); }
    void SetToken(const std::wstring& value) { m_token = XmlUtils::Utf8Of(value); }
    void SetGroupMsid(const std::wstring& value) { m_groupMsid = XmlUtils::Utf8Of(value); }
    void SetTimestamp(const XmlUtils::CDateTime& value) { m_timestamp = value; }

    // Well-formed UTF-8, stored as it is.
    void SetElementNameUtf8(std::string value) { m_elementName = std::move(value); }
    void SetNameUtf8(std::string value) { m_name = std::move(value); }
    void SetNamespaceUtf8(std::string value) { m_namespace = std::move(value); }
    void SetSchemaVersionUtf8(std::string value) { m_schemaVersion = std::move(value); }
    void SetTextUtf8(std::string value) { m_text = std::move(value); }
    void SetTokenUtf8(std::string value) { m_token = std::move(value); }

    virtual void EmitElement(XmlUtils::CXmlOut& out, int level) const;
    // Stream forms of the writer above.
    template <class Char>
    void WriteElement(std::basic_ostream<Char>& out, int level) const {
        XmlUtils::WriteThrough(out, [&](XmlUtils::CXmlOut& xml) { EmitElement(xml, level); });
    }
    virtual void Deserialize(CCmlDOM_Element& element);
    virtual void EmitAttributes(XmlUtils::CXmlOut& out) const;
    template <class Char>
    void WriteAttributes(std::basic_ostream<Char>& out) const {
        XmlUtils::WriteThrough(out, [&](XmlUtils::CXmlOut& xml) { EmitAttributes(xml); });
    }

    // What identifies the policy an item is about: merging heartbeats
    // matches items on these (namespace, schema version, name).

private:
    void WriteItemAttributes(XmlUtils::CXmlOut& out) const;

    std::string m_elementName;
    std::string m_name;
    std::string m_namespace;
    std::string m_version;
    std::string m_schemaVersion;
    std::string m_tag;
    uint32_t m_code = 0;
    std::string m_text;
    std::string m_token;
    std::string m_groupMsid;
    XmlUtils::CDateTime m_timestamp;
};

class CPolicyData : public CPolicyItem {
public:
    CPolicyData() = default;
    using CPolicyItem::CPolicyItem;
    CPolicyData(const CPolicyData& other);
    CPolicyData& operator=(const CPolicyData& other);
    ~CPolicyData() override;
    CPolicyData* Clone() const override;

    CPolicySource* GetPolicy() const { return m_policy.get(); }
    // Stores a copy; the previous policy is deleted.
    void SetPolicy(const CPolicySource& policy);
    // Takes ownership (NULL clears).
    void SetPolicy(CPolicySource* policy) { m_policy.reset(policy); }
    void SetPolicy(const CCmlDOM_Element& element);

    void EmitElement(XmlUtils::CXmlOut& out, int level) const override;
    void Deserialize(CCmlDOM_Element& element) override;

private:
    void WriteData(XmlUtils::CXmlOut& out, int level) const;
    std::unique_ptr<CPolicySource> m_policy;
};

// An ordered, owning vector of the items of one message.
template <class T>
class COwnedVector {
public:
    COwnedVector() = default;
    COwnedVector(const COwnedVector& other) { Replace(other); }
    COwnedVector(COwnedVector&&) noexcept = default;
    COwnedVector& operator=(COwnedVector&&) noexcept = default;
    COwnedVector& operator=(const COwnedVector& other) {
        if (this != &other) {
            COwnedVector copy(other);
            m_items.swap(copy.m_items);
        }
        return *this;
    }
    size_t size() const { return m_items.size(); }
    bool empty() const { return m_items.empty(); }
    T* at(size_t index) const { return m_items.at(index).get(); }
    void push_back(std::unique_ptr<T> item) { m_items.push_back(std::move(item)); }
    // Replaces the item at `index` by `item`, which the vector now owns.
    void reset(size_t index, T* item) { m_items.at(index).reset(item); }
    void clear() { m_items.clear(); }
    void Replace(const COwnedVector& other) {
        std::vector<std::unique_ptr<T>> items;
        items.reserve(other.size());
        for (const auto& item : other.m_items) items.emplace_back(static_cast<T*>(item->Clone()));
        m_items.swap(items);
    }
    typename std::vector<std::unique_ptr<T>>::const_iterator begin() const { return m_items.begin(); }
    typename std::vector<std::unique_ptr<T>>::const_iterator end() const { return m_items.end(); }

private:
    std::vector<std::unique_ptr<T>> m_items;
};

// The body of the two messages that carry a list of policy items,
// get-policy-request and set-policy-response: they differ only in their base
// (a request, a response) and in the locations their errors name.
template <class Base>
class CPolicyItemList : public Base {
public:
    size_t GetCount() const { return m_items.size(); }
    CPolicyItem* GetItem(size_t index) const;
    CPolicyItem* AddItem(const CPolicyItem& item);
    CPolicyItem* AddItem(CPolicyItem* item);
    void SetItems(const COwnedVector<CPolicyItem>& items) { m_items.Replace(items); }
    const COwnedVector<CPolicyItem>& GetItems() const { return m_items; }

    bool HasContent() const override { return !m_items.empty(); }
    void Deserialize(CCmlDOM_Element& element) override;
    void EmitContent(XmlUtils::CXmlOut& out, int level) const override;
    void EmitElement(XmlUtils::CXmlOut& out, int level) const override;

protected:
    // The locations of an index out of range, of a parse failure and of a
    // message written without items.
    struct Locations {
        const wchar_t* getting;
        const wchar_t* parsing;
        const wchar_t* serializing;
    };
    CPolicyItemList(const wchar_t* tagName, const Locations& locations);

private:
    Locations m_locations;
    COwnedVector<CPolicyItem> m_items;
};

class CGetPolicyRequest : public CPolicyItemList<CCmlRequest> {
public:
    CGetPolicyRequest();
    CGetPolicyRequest* Clone() const override;
};

class CGetPolicyResponse : public CCmlResponse {
public:
    CGetPolicyResponse();
    CGetPolicyResponse* Clone() const override;
    size_t GetCount() const { return m_items.size(); }
    CPolicyData* GetItem(size_t index) const;
    CPolicyData* AddItem(const CPolicyData& item);
    CPolicyData* AddItem(CPolicyData* item);
    void SetItems(const COwnedVector<CPolicyData>& items) { m_items.Replace(items); }
    const COwnedVector<CPolicyData>& GetItems() const { return m_items; }

    bool HasContent() const override { return !m_items.empty(); }
    void CollectNamespaces(CNamespaceSet& namespaces) const override;
    void Deserialize(CCmlDOM_Element& element) override;
    void EmitContent(XmlUtils::CXmlOut& out, int level) const override;
    void EmitElement(XmlUtils::CXmlOut& out, int level) const override;

private:
    COwnedVector<CPolicyData> m_items;
};

class CSetPolicyRequest : public CCmlRequest {
public:
    CSetPolicyRequest();
    CSetPolicyRequest* Clone() const override;
    size_t GetCount() const { return m_policies.size(); }
    CPolicySource* GetPolicy(size_t index) const;
    CPolicySource* AddPolicy(const CPolicySource& policy);
    CPolicySource* AddPolicy(CPolicySource* policy);
    CPolicySource* AddPolicy(const CCmlDOM_Element& element);
    void SetPolicy(size_t index, const CPolicySource& policy);
    // Puts `policy` (owned from now on) in place of the one at `index`.
    void ReplacePolicy(size_t index, CPolicySource* policy);
    void SetPolicies(const COwnedVector<CPolicySource>& policies) { m_policies.Replace(policies); }
    const COwnedVector<CPolicySource>& GetPolicies() const { return m_policies; }

    bool HasContent() const override { return !m_policies.empty(); }
    void CollectNamespaces(CNamespaceSet& namespaces) const override;
    void Deserialize(CCmlDOM_Element& element) override;
    void EmitContent(XmlUtils::CXmlOut& out, int level) const override;
    void EmitElement(XmlUtils::CXmlOut& out, int level) const override;

private:
    COwnedVector<CPolicySource> m_policies;
};

class CSetPolicyResponse : public CPolicyItemList<CCmlResponse> {
public:
    CSetPolicyResponse();
    CSetPolicyResponse* Clone() const override;
};

// Registers the policy messages; done at load.
void RegisterPolicyDocuments(CCmlClassFactory& factory);

}  // namespace cml
}  // namespace ovx

#endif  // OVX_CML_DOCUMENTS_CMLPOLICY_H
