#include "cml/documents/cmlAvpSections.h"

#include <xercesc/dom/DOM.hpp>

#include <new>

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

const wchar_t kTagSection[] = L"section";
const wchar_t kTagPolicy[] = L"policy";

bool IsAvpNamespace(const std::wstring& ns) { return ns == kNsAvpSections || ns == kNsRoAvpSections; }

uint32_t ReadOrdinal(CCmlDOM_Element& element) {
    std::wstring text = GetAttributeText(element, kAttrOrdinal);
    if (text.empty()) return kNoOrdinal;
    uint32_t value = ToUnsigned(text.c_str());
    bool zero = text.find_first_not_of(L"0xX") == std::wstring::npos;
    return value == 0 && !zero ? kNoOrdinal : value;
}

}  // namespace

// ---- CAvpSection

CAvpSection::CAvpSection(std::wstring namespaceUri, std::wstring name, uint32_t ordinal)
    : m_namespace(std::move(namespaceUri)), m_name(std::move(name)), m_ordinal(ordinal) {}

CAvpSection* CAvpSection::Clone() const {
    try {
        return new CAvpSection(*this);
    } catch (const std::bad_alloc&) {
        throw CCmlException(L"Cloning AVP section object", L"Insufficient memory", OVX_E_INSUFFICIENT_MEMORY);
    }
}

void CAvpSection::Insert(const CNameValuePair& pair) {
    if (m_parameters.count(pair.GetName()) != 0) {
        throw CCmlException(L"Inserting name-value pair", L"Insertion failed", OVX_E_CML_INSERTION_FAILED);
    }
    m_order.push_back(pair.GetName());
    try {
        m_parameters.emplace(pair.GetName(), pair);
    } catch (...) {
        m_order.pop_back();
        throw;
    }
}

const CNameValuePair& CAvpSection::AddParameter(const std::wstring& name, const std::wstring& value, int32_t ordinal) {
    const wchar_t* ns = IsAvpNamespace(m_namespace) ? kNsPolicyCommon : kNsCommon;
    Insert(CNameValuePair(ns, name, value, ordinal));
    return m_parameters.at(name);
}

const CNameValuePair* CAvpSection::FindParameter(const std::wstring& name) const {
    auto found = m_parameters.find(name);
    return found == m_parameters.end() ? nullptr : &found->second;
}

std::vector<const CNameValuePair*> CAvpSection::GetParameters() const {
    std::vector<const CNameValuePair*> ordered;
    ordered.reserve(m_order.size());
    for (const std::wstring& name : m_order) ordered.push_back(&m_parameters.at(name));
    return ordered;
}

void CAvpSection::Clear() {
    m_parameters.clear();
    m_order.clear();
}

void CAvpSection::EmitAttributes(XmlUtils::CXmlOut& out) const {
    WriteAttribute(out, kAttrXmlns, m_namespace);
    if (!m_name.empty()) WriteAttribute(out, kAttrName, m_name);
    if (m_ordinal != 0 && m_ordinal != kNoOrdinal) WriteAttribute(out, kAttrOrdinal, std::to_wstring(m_ordinal));
}

void CAvpSection::WriteSection(XmlUtils::CXmlOut& out, int level) const {
    XmlUtils::StartTag(out, level, m_tag);
    EmitAttributes(out);
    if (m_order.empty()) {
        XmlUtils::WriteLiteral(out, "/>\n");
        return;
    }
    XmlUtils::WriteLiteral(out, ">\n");
    for (const std::wstring& name : m_order) {
        XmlUtils::StartTag(out, level + 1, kTagParam);
        m_parameters.at(name).EmitAttributes(out);
        XmlUtils::WriteLiteral(out, "/>\n");
    }
    XmlUtils::EndTag(out, level, m_tag);
}

void CAvpSection::EmitElement(XmlUtils::CXmlOut& out, int level) const { WriteSection(out, level); }

void CAvpSection::Deserialize(CCmlDOM_Element& element) {
    ReadGuarded(L"Processing AVP section", [&] {
        Clear();
        XmlUtils::ForEachChildElement(element, [&](CCmlDOM_Element& child) {
            std::wstring ns = OrEmpty(child.getNamespaceURI());
            if (std::wstring(OrEmpty(child.getNodeName())) != kTagParam || (ns != kNsCommon && ns != kNsPolicyCommon)) {
                return;
            }
            CNameValuePair pair;
            pair.Deserialize(child);
            Insert(pair);
        });
    });
}

// ---- CCmlAvpSections

CCmlAvpSections::CCmlAvpSections(bool readOnly)
    : CCmlPolicy(kTagPolicy, readOnly ? kNsRoAvpSections : kNsAvpSections,
                 readOnly ? kVersionRoAvpSections : kVersionAvpSections) {}

CCmlAvpSections* CCmlAvpSections::Clone() const {
    try {
        return new CCmlAvpSections(*this);
    } catch (const std::bad_alloc&) {
        throw CCmlException(L"Cloning AVP sections object", L"Insufficient memory", OVX_E_INSUFFICIENT_MEMORY);
    }
}

const CAvpSection& CCmlAvpSections::AddSection(const CAvpSection& section) {
    if (section.GetOrdinal() == kNoOrdinal) {
        CAvpSection numbered(section);
        uint32_t ordinal = m_lastOrdinal + 1;
        if (m_sections.count(ordinal) != 0) {
            throw CCmlException(L"Inserting AVP section", L"Insertion failed", OVX_E_CML_INSERTION_FAILED);
        }
        numbered.SetOrdinal(ordinal);
        m_lastOrdinal = ordinal;
        return m_sections.emplace(ordinal, std::move(numbered)).first->second;
    }
    auto inserted = m_sections.emplace(section.GetOrdinal(), section);
    if (!inserted.second)
        throw CCmlException(L"Inserting AVP section", L"Insertion failed", OVX_E_CML_INSERTION_FAILED);
    return inserted.first->second;
}

const CAvpSection* CCmlAvpSections::FindSection(uint32_t ordinal) const {
    auto found = m_sections.find(ordinal);
    return found == m_sections.end() ? nullptr : &found->second;
}

const CAvpSection* CCmlAvpSections::FindSection(const std::wstring& name) const {
    for (const auto& entry : m_sections) {
        if (entry.second.GetName() == name) return &entry.second;
    }
    return nullptr;
}

void CCmlAvpSections::Clear() {
    m_sections.clear();
    m_lastOrdinal = 0;
}

void CCmlAvpSections::Deserialize(CCmlDOM_Element& element) {
    ProcessStandardPolicyAttributes(element);
    Clear();
    ReadGuarded(L"Processing AVP sections document", [&] {
        XmlUtils::ForEachChildElement(element, [&](CCmlDOM_Element& child) {
            if (std::wstring(OrEmpty(child.getNodeName())) != kTagSection ||
                GetNamespaceUri() != OrEmpty(child.getNamespaceURI())) {
                return;
            }
            uint32_t ordinal = ReadOrdinal(child);
            if (ordinal == kNoOrdinal) {
                ordinal = NextOrdinal();
            } else if (ordinal > m_lastOrdinal) {
                m_lastOrdinal = ordinal;
            }
            // Sections keep the flavour of the document they were read from.
            CAvpSection section(GetNamespaceUri(), GetAttributeText(child, kAttrName), ordinal);
            section.Deserialize(child);
            AddSection(section);
        });
    });
}

void CCmlAvpSections::EmitContent(XmlUtils::CXmlOut& out, int level) const {
    for (const auto& entry : m_sections) entry.second.EmitElement(out, level);
}

// ---- group settings children

CGroupSettingsChildSource::~CGroupSettingsChildSource() = default;

CGroupSettingsChildNode::CGroupSettingsChildNode(const CGroupSettingsChildNode& other)
    : CGroupSettingsChildSource(), CCmlDOM_Node(), m_tagName(other.m_tagName), m_namespace(other.m_namespace) {
    if (other.GetDOMNode() == nullptr) return;
    SetDOMNode(XmlUtils::CopyDOMNode(other.GetDOMNode()));
    SetOwnsDocument(true);
}

std::wstring CGroupSettingsChildNode::GetTagName() {
    if (IsNull()) throw CCmlException(L"Getting group settings child node tagname", L"Null node", OVX_E_CML_NULL_NODE);
    return m_tagName;
}

std::wstring CGroupSettingsChildNode::GetNamespace() {
    if (IsNull())
        throw CCmlException(L"Getting group settings child node namespace", L"Null node", OVX_E_CML_NULL_NODE);
    return m_namespace;
}

void CGroupSettingsChildNode::Deserialize(CCmlDOM_Element& element) {
    if (element.IsNull()) {
        throw CCmlException(L"Deserializing group settings child node", L"Null element received",
                            OVX_E_CML_NULL_ELEMENT);
    }
    ReadGuarded(L"Processing group settings child element", [&] {
        m_tagName = OrEmpty(element.getTagName());
        m_namespace = OrEmpty(element.getNamespaceURI());
        SetDOMNode(nullptr);
        SetDOMNode(XmlUtils::CopyDOMNode(element.GetDOMNode()));
        SetOwnsDocument(true);
    });
}

void CGroupSettingsChildNode::EmitElement(XmlUtils::CXmlOut& out, int level) const {
    XmlUtils::SerializeNodeFormatted(GetDOMNode(), out, level);
}

bool CGroupSettingsChildNode::HasContent() {
    if (IsNull()) throw CCmlException(L"Testing for child node content", L"Null node", OVX_E_CML_NULL_NODE);
    return hasChildNodes();
}

size_t CGroupSettingsChildNode::GetChildCount() {
    if (IsNull()) {
        throw CCmlException(L"Getting group settings child node child count", L"Null node", OVX_E_CML_NULL_NODE);
    }
    return getChildNodes().getLength();
}

void RegisterAvpSectionsDocuments(CCmlClassFactory& factory) {
    factory.RegisterDocumentPair(kNsAvpSections, kVersionAvpSections, kNsAvpSectionsOlder, kVersionAvpSectionsOlder,
                                 kTagPolicy, CCmlAvpSections(false));
    factory.RegisterDocumentPair(kNsRoAvpSections, kVersionRoAvpSections, kNsRoAvpSectionsOlder,
                                 kVersionRoAvpSectionsOlder, kTagPolicy, CCmlAvpSections(true));
}

namespace {
const bool g_registered = RegisterAtLoad(RegisterAvpSectionsDocuments);
}  // namespace

}  // namespace cml
}  // namespace ovx
