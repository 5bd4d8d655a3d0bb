// Schema documents: the descriptors of the schemas each side knows, the
// schema texts they carry as W3C XML Schema elements, and the schema
// messages.
#ifndef OVX_CML_DOCUMENTS_CMLSCHEMA_H
#define OVX_CML_DOCUMENTS_CMLSCHEMA_H

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "cml/core/cmlDom.h"
#include "cml/core/cmlMessage.h"
#include "cml/core/cmlSharedText.h"

namespace ovx {
namespace cml {
extern const wchar_t kXmlSchemaNamespace[];

// A schema's descriptor. Its texts are kept as UTF-8, the form they arrive
// in from the agent and leave in on the wire: a heartbeat carries about a
// hundred of them, and short ones (versions) then fit in the string itself.
// The wide accessors convert.
class CSchemaInfo {
public:
    CSchemaInfo() = default;
    CSchemaInfo(const std::wstring& namespaceUri, const std::wstring& version, const std::wstring& name,
                bool overwrite = false, bool root = false, bool cpeEditable = false, bool getFromAgent = false,
                bool getLatestCompatible = false);
    // From well-formed UTF-8 (see ovxCleanUtf8), taken as it is.
    CSchemaInfo(std::string namespaceUri, std::string version, std::string name, bool overwrite = false,
                bool root = false, bool cpeEditable = false, bool getFromAgent = false,
                bool getLatestCompatible = false);
    CSchemaInfo(const CSchemaInfo& other) = default;
    CSchemaInfo& operator=(const CSchemaInfo& other) = default;
    // Moves keep a growing schema list from copying every string it holds.
    CSchemaInfo(CSchemaInfo&& other) noexcept = default;
    CSchemaInfo& operator=(CSchemaInfo&& other) noexcept = default;
    virtual ~CSchemaInfo();

    std::wstring GetNamespace() const;
    std::wstring GetVersion() const;
    std::wstring GetName() const;
    const std::string& GetNamespaceUtf8() const { return m_namespace.Get(); }
    const std::string& GetVersionUtf8() const { return m_version; }
    const std::string& GetNameUtf8() const { return m_name; }
    bool GetOverwrite() const { return m_overwrite; }
    bool GetRoot() const { return m_root; }
    bool GetCpeEditable() const { return m_cpeEditable; }
    bool GetGetFromAgent() const { return m_getFromAgent; }
    bool GetGetLatestCompatible() const { return m_getLatestCompatible; }
    void SetNamespace(const std::wstring& value);
    void SetVersion(const std::wstring& value);
    void SetName(const std::wstring& value);
    void SetOverwrite(bool value) { m_overwrite = value; }
    void SetRoot(bool value) { m_root = value; }
    void SetCpeEditable(bool value) { m_cpeEditable = value; }
    void SetGetFromAgent(bool value) { m_getFromAgent = value; }
    void SetGetLatestCompatible(bool value) { m_getLatestCompatible = value; }

    virtual void Deserialize(CCmlDOM_Element& element);
    virtual void EmitAttributes(XmlUtils::CXmlOut& out) const;
    template <class Char>
    void WriteAttributes(std::basic_ostream<Char>& out) const {
        XmlUtils::WriteThrough(out, [&](XmlUtils::CXmlOut& xml) { EmitAttributes(xml); });
    }
    // An empty schema-info element with the attributes.
    virtual void EmitElement(XmlUtils::CXmlOut& out, int level) const;
    template <class Char>
    void WriteElement(std::basic_ostream<Char>& out, int level) const {
        XmlUtils::WriteThrough(out, [&](XmlUtils::CXmlOut& xml) { EmitElement(xml, level); });
    }

private:
    void WriteInfoAttributes(XmlUtils::CXmlOut& out) const;

    CSharedText<char> m_namespace;
    std::string m_version;
    std::string m_name;
    bool m_overwrite = false;
    bool m_root = false;
    bool m_cpeEditable = false;
    bool m_getFromAgent = false;
    bool m_getLatestCompatible = false;
};

class CSchemaInfoResponseData : public CSchemaInfo {
public:
    using CSchemaInfo::CSchemaInfo;
    CSchemaInfoResponseData() = default;
    uint32_t GetCode() const { return m_code; }
    const std::wstring& GetText() const { return m_text; }
    void SetCode(uint32_t code) { m_code = code; }
    void SetText(const std::wstring& text) { m_text = text; }
    void Deserialize(CCmlDOM_Element& element) override;
    void EmitElement(XmlUtils::CXmlOut& out, int level) const override;

private:
    void WriteResponseElement(XmlUtils::CXmlOut& out, int level) const;
    uint32_t m_code = 0;
    std::wstring m_text;
};

class CSchemaSource {
public:
    virtual ~CSchemaSource();
    virtual CSchemaSource* Clone() const = 0;
    virtual std::wstring GetNamespace() = 0;
    virtual std::wstring GetVersion() = 0;
    virtual void EmitSchema(XmlUtils::CXmlOut& out) const = 0;
    template <class Char>
    void WriteSchema(std::basic_ostream<Char>& out) const {
        XmlUtils::WriteThrough(out, [&](XmlUtils::CXmlOut& xml) { EmitSchema(xml); });
    }
};

// A schema held as a DOM element, on a private copy of the element it was
// built on: it cannot outlive its DOM (see CPolicyNode).
class CSchemaNode : public CSchemaSource, public CCmlDOM_Node {
public:
    explicit CSchemaNode(const CCmlDOM_Node& element);
    CSchemaNode(const CSchemaNode& other);
    CSchemaNode& operator=(const CSchemaNode&) = delete;
    CSchemaNode* Clone() const override { return new CSchemaNode(*this); }
    std::wstring GetNamespace() override;
    std::wstring GetVersion() override;
    void EmitSchema(XmlUtils::CXmlOut& out) const override;

private:
    std::wstring m_namespace;
    std::wstring m_version;
};

// A schema-info that may carry its schema.
template <class Base>
class CSchemaCarrier : public Base {
public:
    using Base::Base;
    CSchemaCarrier() = default;
    CSchemaCarrier(const CSchemaCarrier& other) : Base(other) {
        if (other.m_schema) m_schema.reset(other.m_schema->Clone());
    }
    CSchemaCarrier& operator=(const CSchemaCarrier& other) {
        if (this != &other) {
            std::unique_ptr<CSchemaSource> schema(other.m_schema ? other.m_schema->Clone() : nullptr);
            Base::operator=(other);
            m_schema = std::move(schema);
        }
        return *this;
    }
    CSchemaSource* GetSchema() const { return m_schema.get(); }
    // Takes ownership; the previous schema is deleted.
    void SetSchema(CSchemaSource* schema) { m_schema.reset(schema); }
    void SetSchema(const CCmlDOM_Node& element) { m_schema.reset(new CSchemaNode(element)); }
    void Deserialize(CCmlDOM_Element& element) override;

protected:
    void WriteWithSchema(XmlUtils::CXmlOut& out, int level) const;

    std::unique_ptr<CSchemaSource> m_schema;
};

class CGetSchemaResponseData : public CSchemaCarrier<CSchemaInfoResponseData> {
public:
    using CSchemaCarrier<CSchemaInfoResponseData>::CSchemaCarrier;
    void EmitElement(XmlUtils::CXmlOut& out, int level) const override;
};

class CSetSchemaRequestData : public CSchemaCarrier<CSchemaInfo> {
public:
    using CSchemaCarrier<CSchemaInfo>::CSchemaCarrier;
    CSetSchemaRequestData() = default;
    CSetSchemaRequestData(const std::wstring& namespaceUri, const CCmlDOM_Node& schema, const std::wstring& version,
                          const std::wstring& name, bool overwrite, bool root, bool cpeEditable, bool getFromAgent,
                          bool getLatestCompatible);
    void EmitElement(XmlUtils::CXmlOut& out, int level) const override;
};

// The schema messages: one class for each payload type, serving every tag
// that carries it.
template <class Base, class Item>
class CSchemaMessage : public Base {
public:
    CSchemaMessage(const wchar_t* tag, const wchar_t* indexOperation, const wchar_t* readOperation)
        : Base(tag, kNsSchemaMessagesUri(), kVersionSchemaMessagesText()),
          m_indexOperation(indexOperation),
          m_readOperation(readOperation) {}
    size_t GetCount() const { return m_items.size(); }
    Item& GetItem(size_t index);
    const Item& GetItem(size_t index) const;
    void AddItem(const Item& item) { m_items.push_back(item); }
    void Reserve(size_t count) { m_items.reserve(count); }
    void Clear() { m_items.clear(); }
    const std::vector<Item>& GetItems() const { return m_items; }
    bool HasContent() const override { return !m_items.empty(); }
    void Deserialize(CCmlDOM_Element& element) override;
    void EmitContent(XmlUtils::CXmlOut& out, int level) const override;

private:
    static const wchar_t* kNsSchemaMessagesUri();
    static const wchar_t* kVersionSchemaMessagesText();
    const wchar_t* m_indexOperation;
    const wchar_t* m_readOperation;
    std::vector<Item> m_items;
};

// get-schema-request and get-schema-info-request.
class CSchemaRequest : public CSchemaMessage<CCmlRequest, CSchemaInfo> {
public:
    explicit CSchemaRequest(const wchar_t* tag = L"get-schema-request");
    CSchemaRequest* Clone() const override { return new CSchemaRequest(*this); }
};

// set-schema-response and get-schema-info-response.
class CSchemaResponse : public CSchemaMessage<CCmlResponse, CSchemaInfoResponseData> {
public:
    explicit CSchemaResponse(const wchar_t* tag = L"get-schema-info-response");
    CSchemaResponse* Clone() const override { return new CSchemaResponse(*this); }
};

class CGetSchemaResponse : public CSchemaMessage<CCmlResponse, CGetSchemaResponseData> {
public:
    CGetSchemaResponse();
    CGetSchemaResponse* Clone() const override { return new CGetSchemaResponse(*this); }
};

class CSetSchemaRequest : public CSchemaMessage<CCmlRequest, CSetSchemaRequestData> {
public:
    CSetSchemaRequest();
    CSetSchemaRequest* Clone() const override { return new CSetSchemaRequest(*this); }
};

void RegisterSchemaDocuments(CCmlClassFactory& factory);

}  // namespace cml
}  // namespace ovx

#endif  // OVX_CML_DOCUMENTS_CMLSCHEMA_H
