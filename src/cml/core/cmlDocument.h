// The base of every CML document object and the process-wide class factory
// that turns a namespace, schema version and tag name into a new object.
//
// Objects are made from XML by cloning a registered prototype and letting the
// clone read itself from the DOM element; every document class registers its
// prototype from a static initializer when the library is loaded.
#ifndef OVX_CML_CORE_CMLDOCUMENT_H
#define OVX_CML_CORE_CMLDOCUMENT_H

#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "cml/core/cmlDom.h"
#include "cml/core/cmlNamespaces.h"
#include "cml/core/cmlSerialize.h"
#include "cml/core/cmlSharedText.h"

namespace ovx {
namespace cml {

// Lookup modes of the class factory: an exact schema version (building
// messages to send) or the compatible one (reading what was received).
constexpr int kMatchCompatible = 1;
constexpr int kMatchExact = 2;

class CCmlDocumentBase {
public:
    CCmlDocumentBase() = default;
    CCmlDocumentBase(const wchar_t* tagName, const wchar_t* namespaceUri, const wchar_t* classSchemaVersion);
    CCmlDocumentBase(const CCmlDocumentBase& other) = default;
    virtual CCmlDocumentBase& operator=(const CCmlDocumentBase& other);
    virtual ~CCmlDocumentBase();

    // A new object of the dynamic type with every field copied; the caller owns it.
    virtual CCmlDocumentBase* Clone() const = 0;

    virtual const std::wstring& GetTagName() const { return m_tagName.Get(); }
    virtual const std::wstring& GetClassSchemaVersion() const { return m_classSchemaVersion.Get(); }
    virtual const std::wstring& GetNamespaceUri() const { return m_namespaceUri.Get(); }
    // The schema version of this instance: the value of its schema-version attribute.
    virtual const std::wstring& GetSchemaVersion() const = 0;
    // NULL assigns the empty text.
    virtual void SetTagName(const wchar_t* tagName);
    virtual void SetClassSchemaVersion(const wchar_t* version);
    virtual void SetNamespaceUri(const wchar_t* namespaceUri);
    virtual void SetSchemaVersion(const wchar_t* version) = 0;

    // False: the element is written as an empty element.
    virtual bool HasContent() const = 0;
    // Adds this document's namespace and version, and those of its children,
    // to the set; a second version of one URI throws OVX_E_CML_VERSION_CONFLICT.
    virtual void CollectNamespaces(CNamespaceSet& namespaces) const;
    virtual void Deserialize(CCmlDOM_Element& element) = 0;

    // The document's text goes into a writer (UTF-8); the stream forms below
    // hand the writer's text to a stream.
    // The element at `level`: start tag, attributes, content, end tag.
    virtual void EmitElement(XmlUtils::CXmlOut& out, int level) const;
    // A complete XML document with this object as its root.
    virtual void EmitDocument(XmlUtils::CXmlOut& out) const;
    // xmlns and schema-version; derived classes call this first and add theirs.
    virtual void EmitAttributes(XmlUtils::CXmlOut& out) const;
    // The children, each at `level`. By default whatever the stream form of
    // WriteContent writes (nothing, unless a class overrides it).
    virtual void EmitContent(XmlUtils::CXmlOut& out, int level) const;

    virtual void WriteElement(std::wostream& out, int level) const;
    virtual void WriteElement(std::ostream& out, int level) const;
    virtual void Serialize(std::wostream& out) const;
    virtual void Serialize(std::ostream& out) const;
    // Serialize into a UTF-8 file, creating its folder (0755) first.
    virtual void SerializeToFile(const wchar_t* path) const;
    virtual void SerializeToFile(const char* path) const;
    virtual void WriteAttributes(std::wostream& out) const;
    virtual void WriteAttributes(std::ostream& out) const;
    virtual void WriteContent(std::wostream& out, int level) const;
    virtual void WriteContent(std::ostream& out, int level) const;

protected:
    // For Deserialize: checks the element's namespace against this object's
    // and takes its schema-version attribute as the instance version.
    void ProcessStandardAttributes(CCmlDOM_Element& element);

private:
    // The texts of a document class, shared by its objects.
    CSharedText<wchar_t> m_tagName;
    CSharedText<wchar_t> m_namespaceUri;
    CSharedText<wchar_t> m_classSchemaVersion;
};

// The prototypes of one (namespace, schema version), by tag name.
class CCmlDocumentClassFactory {
public:
    CCmlDocumentClassFactory() = default;
    CCmlDocumentClassFactory(const CCmlDocumentClassFactory&) = delete;
    CCmlDocumentClassFactory& operator=(const CCmlDocumentClassFactory&) = delete;
    virtual ~CCmlDocumentClassFactory();

    // Stores a clone of `prototype` under `tag`, replacing (and deleting) any
    // earlier one, and returns the stored clone. The caller keeps `prototype`.
    virtual CCmlDocumentBase* AddTagName(const wchar_t* tag, const CCmlDocumentBase& prototype);
    virtual void DeleteTagName(const wchar_t* tag);
    // A new clone of the prototype under `tag`, owned by the caller; NULL
    // when the tag is not registered.
    virtual CCmlDocumentBase* GetDocument(const wchar_t* tag) const;

private:
    std::map<std::wstring, std::unique_ptr<CCmlDocumentBase>, std::less<>> m_prototypes;
};

// One (namespace URI, schema version) pair of a registration.
using CNamespaceVersion = std::pair<std::wstring, std::wstring>;

// Namespace URI -> schema version text -> document class factory. Every
// operation holds the one class factory lock for its whole duration.
class CCmlClassFactory {
public:
    CCmlClassFactory() = default;
    CCmlClassFactory(const CCmlClassFactory&) = delete;
    CCmlClassFactory& operator=(const CCmlClassFactory&) = delete;
    virtual ~CCmlClassFactory();

    virtual CCmlDocumentClassFactory* RegisterNamespace(const wchar_t* namespaceUri, const wchar_t* version);
    virtual CCmlDocumentBase* RegisterDocument(const wchar_t* namespaceUri, const wchar_t* version, const wchar_t* tag,
                                               const CCmlDocumentBase& prototype);
    // The prototype under each version, each stored clone taking that version
    // as its class schema version.
    virtual void RegisterDocumentVersions(const wchar_t* namespaceUri, const std::vector<std::wstring>& versions,
                                          const wchar_t* tag, const CCmlDocumentBase& prototype);
    // The prototype under (namespace, version) and under each alias pair, an
    // alias clone taking the alias namespace and version as its own.
    virtual void RegisterDocumentAliases(const wchar_t* namespaceUri, const wchar_t* version,
                                         const std::vector<CNamespaceVersion>& aliases, const wchar_t* tag,
                                         const CCmlDocumentBase& prototype);
    virtual void RegisterDocumentPair(const wchar_t* namespace1, const wchar_t* version1, const wchar_t* namespace2,
                                      const wchar_t* version2, const wchar_t* tag, const CCmlDocumentBase& prototype);
    // Exact: the factory of exactly `version`. Compatible: among the versions
    // of the same major and minor, the highest revision. NULL when none.
    virtual CCmlDocumentClassFactory* FindDocumentClassFactory(const wchar_t* namespaceUri, const wchar_t* version,
                                                               int matchMode);
    virtual CCmlDocumentBase* CreateDocument(const wchar_t* namespaceUri, const wchar_t* version, const wchar_t* tag,
                                             int matchMode);
    // An empty object of the class registered for the element's namespace,
    // schema-version attribute and local name; NULL when there is none.
    virtual CCmlDocumentBase* CreateDocumentFromElement(CCmlDOM_Element& element, int matchMode);
    // Removes every version entry of the namespace identical to `version`.
    virtual void DeregisterDocumentClassFactory(const wchar_t* namespaceUri, const wchar_t* version);

private:
    CCmlDocumentClassFactory* SearchDocumentClassFactory(std::wstring_view namespaceUri, std::wstring_view version,
                                                         int matchMode) const;

    std::map<std::wstring, std::map<std::wstring, std::unique_ptr<CCmlDocumentClassFactory>, std::less<>>, std::less<>>
        m_namespaces;
    // Look-ups already answered. A server's answers name the same few
    // namespaces and versions each time, and the maps' long keys, all alike
    // up to their last segment, and the walk over the versions cost more than
    // a scan of these. Forgotten whenever a namespace or version is added or
    // removed; a few short entries at most, whatever a server sends.
    struct CFound {
        std::wstring namespaceUri, version;
        int matchMode;
        CCmlDocumentClassFactory* factory;
    };
    std::vector<CFound> m_found;
};

// The process-wide factory, created on first use (and at load).
CCmlClassFactory* GetGlobalClassFactory();
// Deletes the process-wide factory; lookups afterwards find nothing until it
// is created again.
void ReleaseGlobalClassFactory();
// Whether attributes equal to their schema default are written; the setter
// returns the previous setting.
using XmlUtils::GetSerializeDefaults;
using XmlUtils::SetSerializeDefaults;

// A new object read from `element`, owned by the caller; NULL when no class
// is registered for it. A failing Deserialize propagates its exception.
CCmlDocumentBase* DeserializeParsedDocument(CCmlDOM_Element& element, int matchMode);

// Writes a start-tag attribute: a space, the name, "='", the value escaped
// as an attribute value, "'". Every value is escaped, names and versions
// included: a value that cannot hold a quote or an ampersand today may hold
// one tomorrow, and one unescaped byte makes the whole document unreadable.
inline void WriteAttribute(XmlUtils::CXmlOut& out, const wchar_t* name, const std::wstring& value) {
    out.Attribute(name, value);
}
inline void WriteAttribute(XmlUtils::CXmlOut& out, const wchar_t* name, const wchar_t* value) {
    out.Attribute(name, value);
}
// The same from well-formed UTF-8, the name an ASCII literal.
template <size_t N>
void WriteAttribute(XmlUtils::CXmlOut& out, const char (&name)[N], const std::string& value) {
    out.Attribute(name, value);
}
// A code as "0x" and lower-case hexadecimal without leading zeros.
void WriteHexAttribute(XmlUtils::CXmlOut& out, const wchar_t* name, uint32_t code);

// Runs a registration from a static initializer. An exception must not end
// the host process while it loads us: the class stays unregistered instead,
// and lookups of it find nothing, which every caller handles.
template <class Register>
bool RegisterAtLoad(Register reg) noexcept {
    try {
        reg(*GetGlobalClassFactory());
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace cml
}  // namespace ovx

#endif  // OVX_CML_CORE_CMLDOCUMENT_H
