// AVP sections: a policy of named sections holding name/value parameters,
// in a read-write and a read-only flavour; and the generic wrapper of the
// children of a group settings document, carried and written back as they
// were read.
#ifndef OVX_CML_DOCUMENTS_CMLAVPSECTIONS_H
#define OVX_CML_DOCUMENTS_CMLAVPSECTIONS_H

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "cml/core/cmlDom.h"
#include "cml/core/cmlMessage.h"
#include "cml/documents/cmlPolicy.h"

namespace ovx {
namespace cml {

constexpr uint32_t kNoOrdinal = 0xFFFFFFFFu;

class CAvpSection {
public:
    CAvpSection() = default;
    CAvpSection(std::wstring namespaceUri, std::wstring name, uint32_t ordinal = kNoOrdinal);
    CAvpSection* Clone() const;

    const std::wstring& GetTag() const { return m_tag; }
    const std::wstring& GetNamespace() const { return m_namespace; }
    const std::wstring& GetName() const { return m_name; }
    uint32_t GetOrdinal() const { return m_ordinal; }
    void SetTag(const std::wstring& tag) { m_tag = tag; }
    void SetNamespace(const std::wstring& ns) { m_namespace = ns; }
    void SetName(const std::wstring& name) { m_name = name; }
    void SetOrdinal(uint32_t ordinal) { m_ordinal = ordinal; }

    // A parameter in the namespace the section's own calls for; a name
    // already present throws OVX_E_CML_INSERTION_FAILED.
    const CNameValuePair& AddParameter(const std::wstring& name, const std::wstring& value, int32_t ordinal = -1);
    const CNameValuePair* FindParameter(const std::wstring& name) const;
    size_t GetCount() const { return m_order.size(); }
    // The parameters in the order they were added.
    std::vector<const CNameValuePair*> GetParameters() const;
    void Clear();

    void EmitAttributes(XmlUtils::CXmlOut& out) const;
    template <class Char>
    void WriteAttributes(std::basic_ostream<Char>& out) const {
        XmlUtils::WriteThrough(out, [&](XmlUtils::CXmlOut& xml) { EmitAttributes(xml); });
    }
    void EmitElement(XmlUtils::CXmlOut& out, int level) const;
    template <class Char>
    void WriteElement(std::basic_ostream<Char>& out, int level) const {
        XmlUtils::WriteThrough(out, [&](XmlUtils::CXmlOut& xml) { EmitElement(xml, level); });
    }
    void Deserialize(CCmlDOM_Element& element);

private:
    void Insert(const CNameValuePair& pair);
    void WriteSection(XmlUtils::CXmlOut& out, int level) const;

    std::wstring m_tag = L"section";
    std::wstring m_namespace;
    std::wstring m_name;
    uint32_t m_ordinal = kNoOrdinal;
    std::map<std::wstring, CNameValuePair> m_parameters;
    std::vector<std::wstring> m_order;
};

class CCmlAvpSections : public CCmlPolicy {
public:
    // The read-write flavour unless `readOnly`.
    explicit CCmlAvpSections(bool readOnly = false);
    CCmlAvpSections* Clone() const override;

    // A section without an ordinal gets the next one; an ordinal already
    // present throws OVX_E_CML_INSERTION_FAILED.
    const CAvpSection& AddSection(const CAvpSection& section);
    const CAvpSection* FindSection(uint32_t ordinal) const;
    const CAvpSection* FindSection(const std::wstring& name) const;
    size_t GetCount() const { return m_sections.size(); }
    const std::map<uint32_t, CAvpSection>& GetSections() const { return m_sections; }
    void Clear();
    uint32_t GetLastOrdinal() const { return m_lastOrdinal; }
    void SetLastOrdinal(uint32_t ordinal) { m_lastOrdinal = ordinal; }
    uint32_t NextOrdinal() { return ++m_lastOrdinal; }

    bool HasContent() const override { return !m_sections.empty(); }
    void Deserialize(CCmlDOM_Element& element) override;
    void EmitContent(XmlUtils::CXmlOut& out, int level) const override;

private:
    std::map<uint32_t, CAvpSection> m_sections;
    uint32_t m_lastOrdinal = 0;
};

// One child of a group settings document.
class CGroupSettingsChildSource {
public:
    virtual ~CGroupSettingsChildSource();
    virtual CGroupSettingsChildSource* Clone() const = 0;
    virtual std::wstring GetTagName() = 0;
    virtual std::wstring GetNamespace() = 0;
    virtual void Deserialize(CCmlDOM_Element& element) = 0;
    virtual void EmitElement(XmlUtils::CXmlOut& out, int level) const = 0;
    template <class Char>
    void WriteElement(std::basic_ostream<Char>& out, int level) const {
        XmlUtils::WriteThrough(out, [&](XmlUtils::CXmlOut& xml) { EmitElement(xml, level); });
    }
    virtual bool HasContent() = 0;
    virtual size_t GetChildCount() = 0;
};

// A group settings child kept as the DOM element it was read from, on a
// private copy (see CPolicyNode), and written back unchanged.
class CGroupSettingsChildNode : public CGroupSettingsChildSource, public CCmlDOM_Node {
public:
    CGroupSettingsChildNode() = default;
    explicit CGroupSettingsChildNode(CCmlDOM_Element& element) { Deserialize(element); }
    CGroupSettingsChildNode(const CGroupSettingsChildNode& other);
    CGroupSettingsChildNode& operator=(const CGroupSettingsChildNode&) = delete;
    CGroupSettingsChildNode* Clone() const override { return new CGroupSettingsChildNode(*this); }
    std::wstring GetTagName() override;
    std::wstring GetNamespace() override;
    void Deserialize(CCmlDOM_Element& element) override;
    void EmitElement(XmlUtils::CXmlOut& out, int level) const override;
    bool HasContent() override;
    size_t GetChildCount() override;

private:
    std::wstring m_tagName;
    std::wstring m_namespace;
};

void RegisterAvpSectionsDocuments(CCmlClassFactory& factory);

}  // namespace cml
}  // namespace ovx

#endif  // OVX_CML_DOCUMENTS_CMLAVPSECTIONS_H
