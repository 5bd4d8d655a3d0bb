#include "cml/core/cmlDocument.h"

#include <xercesc/dom/DOM.hpp>

#include <cwchar>
#include <fstream>
#include <locale>
#include <new>
#include <sstream>
#include <string_view>

#include "cml/core/cmlDocumentUtils.h"
#include "cml/core/cmlException.h"
#include "cml/core/cmlVocabulary.h"
#include "cml/core/cmlXmlText.h"
#include "tools/jssync.h"
#include "tools/ovxCodecvt.h"
#include "tools/ovxForkHold.h"

namespace ovx {
namespace cml {

namespace {

// Function-local statics: document classes in other translation units
// register from their own static initializers, which may run before ours.
ovxToolsLib::jsRecursiveSync& FactoryLock() {
    static auto* lock = new ovxToolsLib::jsRecursiveSync();
    return *lock;
}
const ovxToolsLib::ovxForkHold g_factoryForkHold(FactoryLock(), ovxToolsLib::ovxForkRank::kRegistry);

CCmlClassFactory*& FactoryPointer() {
    static CCmlClassFactory* factory = nullptr;
    return factory;
}

const wchar_t* OrEmpty(const wchar_t* text) { return text == nullptr ? L"" : text; }

[[noreturn]] void ThrowInvalid(const wchar_t* operation) {
    throw CCmlException(operation, L"One or more arguments are invalid", OVX_E_INVALID_ARGUMENT);
}

// Restores a stream's locale when a write ends, normally or not.
template <class Char>
class LocaleGuard {
public:
    explicit LocaleGuard(std::basic_ios<Char>& stream)
        : m_stream(stream), m_previous(stream.imbue(std::locale(stream.getloc(), new ovxToolsLib::COvxCodecvt()))) {}
    ~LocaleGuard() { m_stream.imbue(m_previous); }
    LocaleGuard(const LocaleGuard&) = delete;
    LocaleGuard& operator=(const LocaleGuard&) = delete;

private:
    std::basic_ios<Char>& m_stream;
    std::locale m_previous;
};

template <class Char>
void SerializeThrough(const CCmlDocumentBase& document, std::basic_ostream<Char>& out) {
    LocaleGuard<Char> guard(out);
    XmlUtils::WriteThrough(out, [&](XmlUtils::CXmlOut& xml) { document.EmitDocument(xml); });
}

}  // namespace

// ---- shared helpers

void WriteHexAttribute(XmlUtils::CXmlOut& out, const wchar_t* name, uint32_t code) {
    // Made on the stack: a code is written for every module of a heartbeat.
    wchar_t text[10];
    size_t at = sizeof text / sizeof text[0];
    do {
        text[--at] = L"0123456789abcdef"[code & 0xF];
        code >>= 4;
    } while (code != 0);
    text[--at] = L'x';
    text[--at] = L'0';
    out.Attribute(name, text + at, sizeof text / sizeof text[0] - at);
}

// ---- CCmlDocumentBase

CCmlDocumentBase::CCmlDocumentBase(const wchar_t* tagName, const wchar_t* namespaceUri,
                                   const wchar_t* classSchemaVersion)
    : m_tagName(OrEmpty(tagName)),
      m_namespaceUri(OrEmpty(namespaceUri)),
      m_classSchemaVersion(OrEmpty(classSchemaVersion)) {}

CCmlDocumentBase& CCmlDocumentBase::operator=(const CCmlDocumentBase& other) {
    if (this != &other) {
        SetTagName(other.GetTagName().c_str());
        SetClassSchemaVersion(other.GetClassSchemaVersion().c_str());
        SetNamespaceUri(other.GetNamespaceUri().c_str());
    }
    return *this;
}

CCmlDocumentBase::~CCmlDocumentBase() = default;

void CCmlDocumentBase::SetTagName(const wchar_t* tagName) { m_tagName = OrEmpty(tagName); }
void CCmlDocumentBase::SetClassSchemaVersion(const wchar_t* version) { m_classSchemaVersion = OrEmpty(version); }
void CCmlDocumentBase::SetNamespaceUri(const wchar_t* namespaceUri) { m_namespaceUri = OrEmpty(namespaceUri); }

void CCmlDocumentBase::CollectNamespaces(CNamespaceSet& namespaces) const {
    AddNamespace(namespaces, GetNamespaceUri(), GetSchemaVersion());
}

void CCmlDocumentBase::EmitElement(XmlUtils::CXmlOut& out, int level) const {
    out.StartTag(level, GetTagName());
    EmitAttributes(out);
    if (!HasContent()) {
        out.Literal("/>\n");
        return;
    }
    out.Literal(">\n");
    EmitContent(out, level + 1);
    out.EndTag(level, GetTagName());
}

void CCmlDocumentBase::EmitDocument(XmlUtils::CXmlOut& out) const {
    CNamespaceSet namespaces;
    CollectNamespaces(namespaces);  // a conflict throws before anything is written
    XmlUtils::WriteRootStartTag(out, GetTagName().c_str(), namespaces);
    EmitAttributes(out);
    if (HasContent()) {
        out.Literal(">\n");
        EmitContent(out, 1);
        out.Literal("</");
        out.Text(GetTagName());
        out.Literal(">");
    } else {
        out.Literal("/>");
    }
    out.Literal("\n");
}

void CCmlDocumentBase::EmitAttributes(XmlUtils::CXmlOut& out) const {
    out.Attribute(kAttrXmlns, GetNamespaceUri());
    out.Attribute(kTagSchemaVersion, GetSchemaVersion());
}

void CCmlDocumentBase::EmitContent(XmlUtils::CXmlOut& out, int level) const { WriteContent(out.Stream(), level); }

void CCmlDocumentBase::WriteElement(std::wostream& out, int level) const {
    XmlUtils::WriteThrough(out, [&](XmlUtils::CXmlOut& xml) { EmitElement(xml, level); });
}
void CCmlDocumentBase::WriteElement(std::ostream& out, int level) const {
    XmlUtils::WriteThrough(out, [&](XmlUtils::CXmlOut& xml) { EmitElement(xml, level); });
}
void CCmlDocumentBase::Serialize(std::wostream& out) const { SerializeThrough(*this, out); }
void CCmlDocumentBase::Serialize(std::ostream& out) const { SerializeThrough(*this, out); }

void CCmlDocumentBase::SerializeToFile(const wchar_t* path) const {
    if (path == nullptr) throw CCmlException(L"Serializing to file", L"NULL pointer received", OVX_E_INVALID_ARGUMENT);
    SerializeToFile(ovxToolsLib::ovxUnicode<wchar_t>::ToUtf8(path, std::wcslen(path)).c_str());
}

void CCmlDocumentBase::SerializeToFile(const char* path) const {
    const wchar_t* operation = L"Serializing to file";
    if (path == nullptr) throw CCmlException(operation, L"NULL pointer received", OVX_E_INVALID_ARGUMENT);
    XmlUtils::CreateFolderFor(path, operation);
    std::ofstream file;
    file.imbue(std::locale(std::locale::classic(), new ovxToolsLib::COvxCodecvt()));
    file.open(path, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!file.is_open()) {
        throw CCmlException(operation,
                            L"Unable to open file '" + ovxToolsLib::ovxUnicode<wchar_t>::FromUtf8(path) + L"'",
                            OVX_E_CANNOT_OPEN);
    }
    Serialize(file);
    file.close();
}

void CCmlDocumentBase::WriteAttributes(std::wostream& out) const {
    XmlUtils::WriteThrough(out, [&](XmlUtils::CXmlOut& xml) { EmitAttributes(xml); });
}
void CCmlDocumentBase::WriteAttributes(std::ostream& out) const {
    XmlUtils::WriteThrough(out, [&](XmlUtils::CXmlOut& xml) { EmitAttributes(xml); });
}
void CCmlDocumentBase::WriteContent(std::wostream& out, int level) const {
    XmlUtils::WriteThrough(out, [&](XmlUtils::CXmlOut& xml) { EmitContent(xml, level); });
}
void CCmlDocumentBase::WriteContent(std::ostream& out, int level) const {
    // Reached from EmitContent's default through the writer's own stream: a
    // class that writes no content of its own.
    if (XmlUtils::CXmlOut::IsWriterStream(out)) return;
    XmlUtils::WriteThrough(out, [&](XmlUtils::CXmlOut& xml) { EmitContent(xml, level); });
}

void CCmlDocumentBase::ProcessStandardAttributes(CCmlDOM_Element& element) {
    if (element.IsNull())
        throw CCmlException(L"Deserializing document", L"Null element received", OVX_E_CML_NULL_ELEMENT);
    const wchar_t* operation = L"Processing standard document attributes";
    try {
        const XMLCh* uri = element.GetDOMNode()->getNamespaceURI();
        if (!XmlUtils::SameText(uri, GetNamespaceUri())) {
            throw CCmlException(operation, L"Unrecognized namespace " + XmlUtils::ToWide(uri),
                                OVX_E_CML_UNKNOWN_NAMESPACE);
        }
        SetSchemaVersion(element.getAttribute(kTagSchemaVersion));
    } catch (const xercesc::DOMException& error) {
        XmlUtils::ThrowDomError(operation, error);
    }
}

// ---- CCmlDocumentClassFactory

CCmlDocumentClassFactory::~CCmlDocumentClassFactory() = default;

CCmlDocumentBase* CCmlDocumentClassFactory::AddTagName(const wchar_t* tag, const CCmlDocumentBase& prototype) {
    if (tag == nullptr) ThrowInvalid(L"Adding tagname to document class factory");
    std::unique_ptr<CCmlDocumentBase> clone(prototype.Clone());
    CCmlDocumentBase* stored = clone.get();
    m_prototypes[tag] = std::move(clone);  // deletes the prototype stored before, if any
    return stored;
}

void CCmlDocumentClassFactory::DeleteTagName(const wchar_t* tag) {
    if (tag == nullptr) ThrowInvalid(L"Deleting tagname from document class factory");
    m_prototypes.erase(tag);
}

CCmlDocumentBase* CCmlDocumentClassFactory::GetDocument(const wchar_t* tag) const {
    if (tag == nullptr) ThrowInvalid(L"Getting document object from document class factory");
    auto found = m_prototypes.find(std::wstring_view(tag));
    return found == m_prototypes.end() ? nullptr : found->second->Clone();
}

// ---- CCmlClassFactory

CCmlClassFactory::~CCmlClassFactory() = default;

CCmlDocumentClassFactory* CCmlClassFactory::RegisterNamespace(const wchar_t* namespaceUri, const wchar_t* version) {
    ovxToolsLib::jsLock hold(FactoryLock());
    if (namespaceUri == nullptr && version == nullptr) ThrowInvalid(L"Registering namespace with global class factory");
    std::unique_ptr<CCmlDocumentClassFactory>& entry = m_namespaces[OrEmpty(namespaceUri)][OrEmpty(version)];
    if (!entry) {
        entry = std::make_unique<CCmlDocumentClassFactory>();
        m_found.clear();  // a compatible look-up may now find this one
    }
    return entry.get();
}

CCmlDocumentBase* CCmlClassFactory::RegisterDocument(const wchar_t* namespaceUri, const wchar_t* version,
                                                     const wchar_t* tag, const CCmlDocumentBase& prototype) {
    ovxToolsLib::jsLock hold(FactoryLock());
    CCmlDocumentClassFactory* factory = RegisterNamespace(namespaceUri, version);
    if (factory == nullptr) {
        throw CCmlException(std::wstring(L"Registering document object for namespace '") + OrEmpty(namespaceUri) +
                                L"' schema version '" + OrEmpty(version) + L"'",
                            L"Internal error:  no document class factory", OVX_E_UNEXPECTED);
    }
    return factory->AddTagName(tag, prototype);
}

void CCmlClassFactory::RegisterDocumentVersions(const wchar_t* namespaceUri, const std::vector<std::wstring>& versions,
                                                const wchar_t* tag, const CCmlDocumentBase& prototype) {
    ovxToolsLib::jsLock hold(FactoryLock());
    for (const std::wstring& version : versions) {
        CCmlDocumentBase* stored = RegisterDocument(namespaceUri, version.c_str(), tag, prototype);
        stored->SetTagName(tag);
        stored->SetClassSchemaVersion(version.c_str());
    }
}

void CCmlClassFactory::RegisterDocumentAliases(const wchar_t* namespaceUri, const wchar_t* version,
                                               const std::vector<CNamespaceVersion>& aliases, const wchar_t* tag,
                                               const CCmlDocumentBase& prototype) {
    ovxToolsLib::jsLock hold(FactoryLock());
    RegisterDocument(namespaceUri, version, tag, prototype);
    for (const CNamespaceVersion& alias : aliases) {
        CCmlDocumentBase* stored = RegisterDocument(alias.first.c_str(), alias.second.c_str(), tag, prototype);
        stored->SetNamespaceUri(alias.first.c_str());
        stored->SetClassSchemaVersion(alias.second.c_str());
        stored->SetSchemaVersion(alias.second.c_str());
    }
}

void CCmlClassFactory::RegisterDocumentPair(const wchar_t* namespace1, const wchar_t* version1,
                                            const wchar_t* namespace2, const wchar_t* version2, const wchar_t* tag,
                                            const CCmlDocumentBase& prototype) {
    ovxToolsLib::jsLock hold(FactoryLock());
    RegisterDocument(namespace1, version1, tag, prototype);
    CCmlDocumentBase* stored = RegisterDocument(namespace2, version2, tag, prototype);
    stored->SetNamespaceUri(namespace2);
    stored->SetClassSchemaVersion(version2);
    stored->SetSchemaVersion(version2);
}

CCmlDocumentClassFactory* CCmlClassFactory::FindDocumentClassFactory(const wchar_t* namespaceUri,
                                                                     const wchar_t* version, int matchMode) {
    ovxToolsLib::jsLock hold(FactoryLock());
    if (namespaceUri == nullptr && version == nullptr) ThrowInvalid(L"Finding document class factory");
    const std::wstring_view uri(OrEmpty(namespaceUri)), wanted(OrEmpty(version));
    for (const CFound& found : m_found) {
        if (found.matchMode == matchMode && found.namespaceUri == uri && found.version == wanted) return found.factory;
    }
    CCmlDocumentClassFactory* factory = SearchDocumentClassFactory(uri, wanted, matchMode);
    // Bounded in count and length: a server may name any namespace and
    // version, and such names are rare enough to be searched each time.
    constexpr size_t kFoundMax = 16, kKeyMax = 256;
    if (uri.size() <= kKeyMax && wanted.size() <= kKeyMax) {
        if (m_found.size() >= kFoundMax) m_found.clear();
        try {
            m_found.push_back({std::wstring(uri), std::wstring(wanted), matchMode, factory});
        } catch (const std::bad_alloc&) {  // remembering is best effort: the answer stands
        }
    }
    return factory;
}

CCmlDocumentClassFactory* CCmlClassFactory::SearchDocumentClassFactory(std::wstring_view namespaceUri,
                                                                       std::wstring_view version, int matchMode) const {
    // Looked up as views: each comparison then knows both lengths.
    auto entry = m_namespaces.find(namespaceUri);
    if (entry == m_namespaces.end()) return nullptr;
    const auto& versions = entry->second;
    if (matchMode == kMatchExact) {
        auto exact = versions.find(version);
        return exact == versions.end() ? nullptr : exact->second.get();
    }
    // Versions are walked in text order, which is not revision order ("1.0.10"
    // sorts before "1.0.2"): an older revision is only taken while nothing
    // better has been found.
    const std::wstring requested(version);
    const std::wstring* best = &requested;
    CCmlDocumentClassFactory* chosen = nullptr;
    for (const auto& candidate : versions) {
        VersionRelation relation = CompareSchemaVersions(candidate.first, *best);
        bool take =
            relation == NewerRevision || relation == Identical || (relation == OlderRevision && chosen == nullptr);
        if (take) {
            chosen = candidate.second.get();
            best = &candidate.first;
        }
    }
    return chosen;
}

CCmlDocumentBase* CCmlClassFactory::CreateDocument(const wchar_t* namespaceUri, const wchar_t* version,
                                                   const wchar_t* tag, int matchMode) {
    ovxToolsLib::jsLock hold(FactoryLock());
    CCmlDocumentClassFactory* factory = FindDocumentClassFactory(namespaceUri, version, matchMode);
    return factory == nullptr ? nullptr : factory->GetDocument(tag);
}

CCmlDocumentBase* CCmlClassFactory::CreateDocumentFromElement(CCmlDOM_Element& element, int matchMode) {
    if (element.IsNull()) {
        throw CCmlException(L"Deserializing a parsed document", L"Null element received", OVX_E_CML_NULL_ELEMENT);
    }
    try {
        // The names are looked up, not kept: widened on the stack from the
        // parser's node rather than copied into strings of their own.
        const xercesc::DOMNode* node = element.GetDOMNode();
        const XmlUtils::CWideText uri(node->getNamespaceURI());
        const XmlUtils::CWideText localName(node->getLocalName());
        const wchar_t* version = OrEmpty(element.getAttribute(kTagSchemaVersion));
        ovxToolsLib::jsLock hold(FactoryLock());
        CCmlDocumentClassFactory* factory = FindDocumentClassFactory(uri.c_str(), version, matchMode);
        return factory == nullptr ? nullptr : factory->GetDocument(localName.c_str());
    } catch (const xercesc::DOMException& error) {
        XmlUtils::ThrowDomError(L"Deserializing a parsed document", error);
    }
}

void CCmlClassFactory::DeregisterDocumentClassFactory(const wchar_t* namespaceUri, const wchar_t* version) {
    ovxToolsLib::jsLock hold(FactoryLock());
    if (namespaceUri == nullptr && version == nullptr) ThrowInvalid(L"Deregistering document class factory");
    m_found.clear();
    auto entry = m_namespaces.find(OrEmpty(namespaceUri));
    if (entry == m_namespaces.end()) return;
    auto& versions = entry->second;
    for (auto it = versions.begin(); it != versions.end();) {
        it = CompareSchemaVersions(it->first, OrEmpty(version)) == Identical ? versions.erase(it) : std::next(it);
    }
}

// ---- process-wide factory

CCmlClassFactory* GetGlobalClassFactory() {
    ovxToolsLib::jsLock hold(FactoryLock());
    CCmlClassFactory*& factory = FactoryPointer();
    if (factory == nullptr) factory = new CCmlClassFactory();
    return factory;
}

void ReleaseGlobalClassFactory() {
    ovxToolsLib::jsLock hold(FactoryLock());
    CCmlClassFactory*& factory = FactoryPointer();
    delete factory;
    factory = nullptr;
}

CCmlDocumentBase* DeserializeParsedDocument(CCmlDOM_Element& element, int matchMode) {
    std::unique_ptr<CCmlDocumentBase> document;
    {
        ovxToolsLib::jsLock hold(FactoryLock());
        CCmlClassFactory* factory = FactoryPointer();
        if (factory == nullptr) {
            throw CCmlException(L"Deserializing a parsed document", L"Global class factory is not available",
                                OVX_E_UNEXPECTED);
        }
        document.reset(factory->CreateDocumentFromElement(element, matchMode));
    }
    if (!document) return nullptr;
    document->Deserialize(element);  // outside the lock: reading may take long
    return document.release();
}

namespace {

// The factory is made at load time and stays until the process ends: a
// session thread left running by a timed-out shut-down may still use it
// while the process exits.
class CLoadTimeInitializer {
public:
    CLoadTimeInitializer() { GetGlobalClassFactory(); }
};

CLoadTimeInitializer g_loadTimeInitializer;

}  // namespace

}  // namespace cml
}  // namespace ovx
