#include "cml/core/cmlParser.h"

#include <unistd.h>

#include <xercesc/dom/DOM.hpp>
#include <xercesc/internal/XMLScanner.hpp>
#include <xercesc/sax/Locator.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLUni.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLResourceIdentifier.hpp>
#include <xercesc/validators/DTD/DTDElementDecl.hpp>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <climits>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <sstream>
#include <vector>

#include "cml/core/cmlSerialize.h"
#include "cml/core/cmlVocabulary.h"
#include "cml/core/cmlXmlText.h"
#include "tools/ovxCodecvt.h"
#include "tools/ovxInstallLayout.h"
#include "tools/ovxForkHold.h"

namespace ovx {
namespace cml {

const wchar_t kCmlStreamSystemId[] = L"OVX CML Stream";

namespace {

using Utf8 = ovxToolsLib::ovxUnicode<wchar_t>;

// Entity expansions one document may make. CML has no entities at all (a
// document type declaration is refused before any is declared); this bounds
// what the XML layer would do if one ever got through.
constexpr XMLSize_t kEntityExpansionLimit = 1000;

std::mutex g_stateLock;
const ovxToolsLib::ovxForkHold g_stateForkHold(g_stateLock, ovxToolsLib::ovxForkRank::kLeaf);
CNamespaceSet& ImplicitNamespaces() {
    static auto* set = new CNamespaceSet();
    return *set;
}
// The schemas installed with the library until a caller names others.
std::wstring& SchemaDirectory() {
    static auto* folder = new std::wstring(Utf8::FromUtf8(ovxToolsLib::ovxInstallLayout::SchemaDirectory().c_str()));
    return *folder;
}
std::atomic<bool> g_validationSwitch{true};

std::wstring Conflict(const std::wstring& uri, const std::wstring& version) {
    return L"\"" + uri + L"\" version " + version;
}

// The canonical form of an existing path, or empty.
std::string Canonical(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr), &std::free);
    return resolved ? std::string(resolved.get()) : std::string();
}

std::string Narrow(const XMLCh* text) { return Utf8::ToUtf8(XmlUtils::ToWide(text)); }

void SaxError(const xercesc::SAXParseException& error, const wchar_t* kind, uint32_t code) {
    std::wostringstream text;
    text.imbue(std::locale::classic());
    text << kind << XmlUtils::ToWide(error.getSystemId()) << L"\", line " << error.getLineNumber() << L", column "
         << error.getColumnNumber() << L"\n   Message: " << XmlUtils::ToWide(error.getMessage());
    throw CCmlException(L"Parse operation", text.str(), code);
}

class CXercesPlatform {
public:
    CXercesPlatform() {
        try {
            xercesc::XMLPlatformUtils::Initialize();
            m_initialized = true;
        } catch (...) {
            // Without the platform every parse fails with a status; the host
            // process must not end because we were loaded.
        }
    }
    ~CXercesPlatform() {
        if (m_initialized) xercesc::XMLPlatformUtils::Terminate();
    }
    CXercesPlatform(const CXercesPlatform&) = delete;
    CXercesPlatform& operator=(const CXercesPlatform&) = delete;

private:
    bool m_initialized = false;
};

class CLoadTimeInitializer {
public:
    CLoadTimeInitializer() { Platform(); }
    // Initialised once and never terminated: a session thread left running
    // by a timed-out shut-down may still parse or free a document while the
    // process exits, and the process's end reclaims the rest.
    static CXercesPlatform& Platform() {
        static auto* platform = new CXercesPlatform();
        return *platform;
    }
};

CLoadTimeInitializer g_loadTimeInitializer;

}  // namespace

// ---- CSchemaIncompatibility, CSchemaException

CSchemaIncompatibility::CSchemaIncompatibility(std::wstring namespaceUri, std::wstring supportedVersion,
                                               std::wstring foundVersion)
    : m_namespaceUri(std::move(namespaceUri)),
      m_supportedVersion(std::move(supportedVersion)),
      m_foundVersion(std::move(foundVersion)) {}

bool CSchemaIncompatibility::operator<(const CSchemaIncompatibility& other) const {
    if (m_namespaceUri != other.m_namespaceUri) return m_namespaceUri < other.m_namespaceUri;
    if (m_supportedVersion != other.m_supportedVersion) return m_supportedVersion < other.m_supportedVersion;
    return m_foundVersion < other.m_foundVersion;
}

CSchemaException::CSchemaException(std::wstring operation, std::wstring message, uint32_t errorCode)
    : CCmlException(std::move(operation), std::move(message), errorCode) {}

void CSchemaException::AddIncompatibility(const std::wstring& namespaceUri, const std::wstring& supportedVersion,
                                          const std::wstring& foundVersion) {
    m_incompatibilities.insert(CSchemaIncompatibility(namespaceUri, supportedVersion, foundVersion));
}

// ---- CCmlSaxErrorHandler

void CCmlSaxErrorHandler::warning(const xercesc::SAXParseException& error) {
    SaxError(error, L"Warning parsing input \"", OVX_I_CML_PARSE_WARNING);
}
void CCmlSaxErrorHandler::error(const xercesc::SAXParseException& error) {
    SaxError(error, L"Error parsing input \"", OVX_E_CML_PARSE_ERROR);
}
void CCmlSaxErrorHandler::fatalError(const xercesc::SAXParseException& error) {
    SaxError(error, L"Fatal error parsing input \"", OVX_E_CML_PARSE_FATAL);
}

// ---- CCmlEntityResolver

void CCmlEntityResolver::SetAllowedFolder(const std::string& folder) {
    std::string canonical = folder.empty() ? std::string() : Canonical(folder);
    m_allowedFolder = canonical.empty() ? std::string() : canonical + "/";
}

xercesc::InputSource* CCmlEntityResolver::resolveEntity(xercesc::XMLResourceIdentifier* resource) {
    const XMLCh* systemId = resource->getSystemId();
    // With default resolution disabled, no input means nothing is read.
    auto refuse = []() -> xercesc::InputSource* { return nullptr; };
    using Type = xercesc::XMLResourceIdentifier::ResourceIdentifierType;
    Type type = resource->getResourceIdentifierType();
    bool schema = type == Type::SchemaGrammar || type == Type::SchemaImport || type == Type::SchemaInclude ||
                  type == Type::SchemaRedefine;
    if (!schema || systemId == nullptr || m_allowedFolder.empty()) return refuse();

    std::string location = Narrow(systemId);
    // Schema locations are written with spaces as %20.
    for (size_t at = location.find("%20"); at != std::string::npos; at = location.find("%20", at + 1)) {
        location.replace(at, 3, " ");
    }
    if (location.compare(0, 7, "file://") == 0) location.erase(0, 7);
    if (location.find("://") != std::string::npos || location.empty()) return refuse();

    std::vector<std::string> candidates;
    // Written documents name their schemas under the writer's folder
    // ("./schemas/..."); the allowed folder is where they really are.
    const std::string written = Utf8::ToUtf8(std::wstring(XmlUtils::kSchemaFolder) + L"/");
    if (location.compare(0, written.size(), written) == 0) {
        candidates.push_back(m_allowedFolder + location.substr(written.size()));
    }
    if (location[0] == '/') {
        candidates.push_back(location);
    } else {
        candidates.push_back(location);  // relative to the working folder, as schema folders are given
        std::string base = Narrow(resource->getBaseURI());
        if (base.compare(0, 7, "file://") == 0) base.erase(0, 7);
        size_t slash = base.rfind('/');
        if (!base.empty() && base[0] == '/' && slash != std::string::npos) {
            candidates.push_back(base.substr(0, slash + 1) + location);
        }
    }
    for (const std::string& candidate : candidates) {
        std::string canonical = Canonical(candidate);
        if (!canonical.empty() && canonical.compare(0, m_allowedFolder.size(), m_allowedFolder) == 0) {
            std::u16string path = XmlUtils::ToXml(Utf8::FromUtf8(canonical));
            return new xercesc::LocalFileInputSource(path.c_str());
        }
    }
    return refuse();
}

// ---- CCmlDOMParser

CCmlDOMParser::CCmlDOMParser() = default;

void CCmlDOMParser::Refuse(const wchar_t* what) {
    std::wostringstream text;
    text.imbue(std::locale::classic());
    const xercesc::Locator* where = getScanner() != nullptr ? getScanner()->getLocator() : nullptr;
    text << L"Fatal error parsing input \"" << (where != nullptr ? XmlUtils::ToWide(where->getSystemId()) : L"")
         << L"\", line " << (where != nullptr ? where->getLineNumber() : 0) << L", column "
         << (where != nullptr ? where->getColumnNumber() : 0) << L"\n   Message: " << what;
    throw CCmlException(L"Parse operation", text.str(), OVX_E_CML_PARSE_FATAL);
}

void CCmlDOMParser::RefuseDocumentTypes() {
    // The scanner refuses the declaration where it meets it, after decoding,
    // so no encoding of the answer (UTF-16, UCS-4, EBCDIC) can slip one past.
    // Each scanner the parser switches to starts with the flag off.
    if (xercesc::XMLScanner* scanner = getScanner()) scanner->setDisallowDTD(true);
}

void CCmlDOMParser::doctypeDecl(const xercesc::DTDElementDecl&, const XMLCh* const, const XMLCh* const, const bool,
                                const bool) {
    Refuse(L"Document type declarations are not accepted");
}

void CCmlDOMParser::startElement(const xercesc::XMLElementDecl& elemDecl, const unsigned int urlId,
                                 const XMLCh* const elemPrefix, const xercesc::RefVectorOf<xercesc::XMLAttr>& attrList,
                                 const XMLSize_t attrCount, const bool isEmpty, const bool isRoot) {
    if (!isEmpty && ++m_depth > kMaxElementDepth) Refuse(L"Elements are nested too deeply");
    xercesc::XercesDOMParser::startElement(elemDecl, urlId, elemPrefix, attrList, attrCount, isEmpty, isRoot);
}

void CCmlDOMParser::endElement(const xercesc::XMLElementDecl& elemDecl, const unsigned int urlId, const bool isRoot,
                               const XMLCh* const elemPrefix) {
    --m_depth;
    xercesc::XercesDOMParser::endElement(elemDecl, urlId, isRoot, elemPrefix);
}

// ---- CCmlParser

CCmlParser::CCmlParser(uint32_t defaultValidationMode) : m_defaultValidationMode(defaultValidationMode) {
    m_securityManager.setEntityExpansionLimit(kEntityExpansionLimit);
    m_parser.setSecurityManager(&m_securityManager);
    ApplyFixedSettings();
}

void CCmlParser::ApplyFixedSettings() {
    // Most of the parser's settings live in its scanner, and a scanner made
    // anew does not take them all over from the one it replaces: without
    // these, a parser that switched scanners (a validating parse, then the
    // plain one that looks at the versions) resolved schema locations
    // itself, reading any local file and connecting to any URL a document
    // named. They are set before every parse.
    m_parser.setXMLEntityResolver(&m_resolver);
    m_parser.setDisableDefaultEntityResolution(true);
    m_parser.setLoadExternalDTD(false);
    m_parser.setSkipDTDValidation(true);
    m_parser.setCreateEntityReferenceNodes(false);
    m_parser.setDoXInclude(false);
    m_parser.setErrorHandler(&m_errorHandler);
    m_parser.setDoNamespaces(true);
}

CCmlParser::~CCmlParser() = default;

void CCmlParser::AddNamespace(const std::wstring& namespaceUri, const std::wstring& version) {
    const wchar_t* operation = L"Adding namespace to CML parser";
    {
        std::lock_guard<std::mutex> hold(g_stateLock);
        auto implicit = ImplicitNamespaces().find(CNamespace(namespaceUri, version));
        if (implicit != ImplicitNamespaces().end()) {
            throw CCmlException(operation,
                                L"Namespace/schema-version conflict:  tried to add namespace " +
                                    Conflict(namespaceUri, version) +
                                    L" to instance-specific namespace set; implicit namespace set already contains "
                                    L"namespace " +
                                    Conflict(namespaceUri, implicit->GetSchemaVersion()),
                                OVX_E_CML_IMPLICIT_NAMESPACE_CONFLICT);
        }
    }
    auto inserted = m_namespaces.insert(CNamespace(namespaceUri, version));
    if (!inserted.second && inserted.first->GetSchemaVersion() != version) {
        throw CCmlException(operation,
                            L"Adding namespace " + Conflict(namespaceUri, version) + L"; namespace " +
                                Conflict(namespaceUri, inserted.first->GetSchemaVersion()) + L" already specified",
                            OVX_E_CML_VERSION_CONFLICT);
    }
}

void CCmlParser::RemoveNamespace(const std::wstring& namespaceUri) {
    m_namespaces.erase(CNamespace(namespaceUri, L""));
}

void CCmlParser::AddImplicitNamespace(const std::wstring& namespaceUri, const std::wstring& version) {
    std::lock_guard<std::mutex> hold(g_stateLock);
    auto inserted = ImplicitNamespaces().insert(CNamespace(namespaceUri, version));
    if (!inserted.second && inserted.first->GetSchemaVersion() != version) {
        throw CCmlException(L"Adding implicit namespace to CML parser",
                            L"Namespace/schema-version conflict:  tried to add namespace " +
                                Conflict(namespaceUri, version) + L"; set already contains namespace " +
                                Conflict(namespaceUri, inserted.first->GetSchemaVersion()),
                            OVX_E_CML_VERSION_CONFLICT);
    }
}

CNamespaceSet CCmlParser::GetImplicitNamespaces() {
    std::lock_guard<std::mutex> hold(g_stateLock);
    return ImplicitNamespaces();
}

void CCmlParser::ClearImplicitNamespaces() {
    std::lock_guard<std::mutex> hold(g_stateLock);
    ImplicitNamespaces().clear();
}

void CCmlParser::SetSchemaDirectory(const std::wstring& folder) {
    std::wstring normalized = folder;
    for (wchar_t& c : normalized) {
        if (c == L'\\') c = L'/';
    }
    if (!normalized.empty() && normalized.back() == L'/') normalized.pop_back();
    {
        std::lock_guard<std::mutex> hold(g_stateLock);
        SchemaDirectory() = normalized;
    }
    if (!normalized.empty()) XmlUtils::SetSchemaFolder(normalized);
}

std::wstring CCmlParser::GetSchemaDirectory() {
    std::lock_guard<std::mutex> hold(g_stateLock);
    return SchemaDirectory();
}

bool CCmlParser::SetValidationSwitch(bool on) { return g_validationSwitch.exchange(on); }
bool CCmlParser::GetValidationSwitch() { return g_validationSwitch.load(); }

void CCmlParser::ParseFile(const wchar_t* path, uint32_t validationMode, const wchar_t* schemaFolder) {
    if (path == nullptr) throw CCmlException(L"Parse operation", L"NULL pointer received", OVX_E_INVALID_ARGUMENT);
    std::u16string xmlPath = XmlUtils::ToXml(path);
    std::unique_ptr<CCmlLocalFileInputSource> source;
    try {
        source = std::make_unique<CCmlLocalFileInputSource>(xmlPath.c_str());
    } catch (const xercesc::XMLException& error) {
        throw CCmlException(L"Parse operation",
                            L"CML Parser\nError parsing input content; error = " + std::to_wstring(error.getCode()) +
                                L"\nMessage:  " + XmlUtils::ToWide(error.getMessage()),
                            OVX_E_CML_PARSE_ERROR);
    }
    Parse(*source, validationMode, schemaFolder);
}

void CCmlParser::ParseFile(const char* path, uint32_t validationMode, const wchar_t* schemaFolder) {
    if (path == nullptr) throw CCmlException(L"Parse operation", L"NULL pointer received", OVX_E_INVALID_ARGUMENT);
    ParseFile(Utf8::FromUtf8(path).c_str(), validationMode, schemaFolder);
}

void CCmlParser::ParseBuffer(const char* buffer, size_t length, uint32_t validationMode, const wchar_t* schemaFolder) {
    ParseBuffer(buffer, length, validationMode, schemaFolder, kCmlStreamSystemId);
}

void CCmlParser::ParseBuffer(const char* buffer, size_t length, uint32_t validationMode, const wchar_t* schemaFolder,
                             const wchar_t* systemId) {
    if (buffer == nullptr) throw CCmlException(L"Parse operation", L"NULL pointer received", OVX_E_INVALID_ARGUMENT);
    const std::u16string id = XmlUtils::ToXml(systemId != nullptr ? systemId : kCmlStreamSystemId);
    CCmlMemBufInputSource source(reinterpret_cast<const XMLByte*>(buffer), length, id.c_str(), false);
    Parse(source, validationMode, schemaFolder);
}

void CCmlParser::Parse(const xercesc::InputSource& source, uint32_t validationMode, const wchar_t* schemaFolder) {
    bool validate =
        validationMode == kValidate || (validationMode == kValidateByDefault &&
                                        (m_defaultValidationMode == kValidate ||
                                         (m_defaultValidationMode == kValidateByDefault && GetValidationSwitch())));
    if (!validate) {
        NonValidatingParse(source);
        return;
    }
    try {
        ValidatingParse(source, schemaFolder);
    } catch (const CCmlException& error) {
        if (error.GetErrorCode() != OVX_E_CML_PARSE_ERROR) throw;
        CSchemaException schemaError(error.GetOperation(), error.GetMessage(), error.GetErrorCode());
        if (auto* earlier = dynamic_cast<const CSchemaException*>(&error)) {
            for (const CSchemaIncompatibility& entry : *earlier) {
                schemaError.AddIncompatibility(entry.GetNamespaceUri(), entry.GetSupportedVersion(),
                                               entry.GetFoundVersion());
            }
        }
        CheckSchemaCompatibility(source, schemaError);
        if (schemaError.size() > 0) throw schemaError;
        throw;
    }
}

void CCmlParser::UseScanner(bool wellFormedness) {
    if (wellFormedness == m_wellFormednessScanner) return;
    m_parser.useScanner(wellFormedness ? xercesc::XMLUni::fgWFXMLScanner : xercesc::XMLUni::fgIGXMLScanner);
    m_wellFormednessScanner = wellFormedness;
}

void CCmlParser::ValidatingParse(const xercesc::InputSource& source, const wchar_t* schemaFolder) {
    UseScanner(false);
    m_parser.setSecurityManager(&m_securityManager);
    std::wstring folder = schemaFolder != nullptr ? schemaFolder : GetSchemaDirectory();
    // Only schemas under the folder may be read; without a folder, those
    // under the default one that written documents point to.
    m_resolver.SetAllowedFolder(Utf8::ToUtf8(folder.empty() ? std::wstring(XmlUtils::kSchemaFolder) : folder));
    m_parser.setDoSchema(true);
    m_parser.setLoadSchema(true);
    m_parser.setValidationScheme(xercesc::XercesDOMParser::Val_Auto);
    m_parser.cacheGrammarFromParse(true);
    std::wstring location;
    BuildExternalSchemaLocation(location, schemaFolder);
    std::u16string xmlLocation = XmlUtils::ToXml(location);
    m_parser.setExternalSchemaLocation(location.empty() ? nullptr : xmlLocation.c_str());
    ParseSource(source);
}

void CCmlParser::NonValidatingParse(const xercesc::InputSource& source) {
    UseScanner(true);
    // The well-formedness scanner counts every predefined entity reference
    // (each "&amp;" of an escaped text) against the expansion limit, which
    // would refuse an ordinary answer with a thousand escaped characters.
    // It expands nothing else, so it needs no limit.
    m_parser.setSecurityManager(nullptr);
    m_resolver.SetAllowedFolder(std::string());
    m_parser.setDoSchema(false);
    m_parser.setLoadSchema(false);
    m_parser.setValidationScheme(xercesc::XercesDOMParser::Val_Never);
    m_parser.cacheGrammarFromParse(false);
    m_parser.setExternalSchemaLocation(static_cast<const XMLCh*>(nullptr));
    ParseSource(source);
}

void CCmlParser::BuildExternalSchemaLocation(std::wstring& out, const wchar_t* schemaFolder) {
    out.clear();
    std::wstring folder = schemaFolder != nullptr ? schemaFolder : GetSchemaDirectory();
    if (folder.empty()) return;
    auto append = [&](const CNamespaceSet& set) {
        for (const CNamespace& ns : set) {
            std::wstring file;
            XmlUtils::BuildSchemaFileName(ns.GetNamespaceUri(), ns.GetSchemaVersion(), folder, file);
            if (!out.empty()) out += L' ';
            out += ns.GetNamespaceUri();
            out += L' ';
            out += file;
        }
    };
    append(GetImplicitNamespaces());
    append(m_namespaces);
}

void CCmlParser::ParseSource(const xercesc::InputSource& source) {
    m_document.SetDOMDocument(nullptr);  // releases the previous document
    try {
        ApplyFixedSettings();
        m_parser.reset();
        m_parser.resetDocumentPool();
        m_parser.ResetDepth();
        m_parser.RefuseDocumentTypes();
        m_parser.parse(source);
        m_document.SetDOMDocument(m_parser.adoptDocument());
        m_document.SetOwnsDocument(true);
    } catch (const CCmlException&) {
        throw;
    } catch (const xercesc::XMLException& error) {
        throw CCmlException(L"Parse operation",
                            L"CML Parser\nError parsing input content; error = " +
                                std::to_wstring(static_cast<int>(error.getCode())) + L"\nMessage:  " +
                                XmlUtils::ToWide(error.getMessage()),
                            OVX_E_CML_PARSE_ERROR);
    } catch (const xercesc::SAXException& error) {
        throw CCmlException(
            L"Parse operation",
            L"CML Parser\nError parsing input content\nMessage:  " + XmlUtils::ToWide(error.getMessage()),
            OVX_E_CML_PARSE_ERROR);
    } catch (const xercesc::DOMException& error) {
        XmlUtils::ThrowDomError(L"Parsing document", error);
    } catch (const std::exception& error) {
        throw CCmlException(L"Parse operation",
                            L"CML Parser\nParse operation\nMessage:  " + Utf8::FromUtf8(error.what()),
                            OVX_E_CML_PARSE_ERROR);
    }
}

void CCmlParser::CompareVersions(CSchemaException& into, const wchar_t* namespaceUri, const wchar_t* localName,
                                 const std::wstring& supported) {
    xercesc::DOMDocument* document = m_document.GetDOMDocument();
    std::u16string uri = XmlUtils::ToXml(namespaceUri);
    std::u16string name = XmlUtils::ToXml(localName);
    std::u16string attribute = XmlUtils::ToXml(kTagSchemaVersion);
    xercesc::DOMNodeList* elements = document->getElementsByTagNameNS(uri.c_str(), name.c_str());
    for (XMLSize_t i = 0; i < elements->getLength(); ++i) {
        auto* element = static_cast<xercesc::DOMElement*>(elements->item(i));
        if (!element->hasAttribute(attribute.c_str())) continue;
        std::wstring found = XmlUtils::ToWide(element->getAttribute(attribute.c_str()));
        VersionRelation relation = CompareSchemaVersions(found, supported);
        if (relation == NewerRevision || relation == MinorMismatch || relation == MajorMismatch) {
            into.AddIncompatibility(namespaceUri, supported, found);
        }
    }
}

void CCmlParser::CheckSchemaCompatibility(const xercesc::InputSource& source, CSchemaException& incompatibilities) {
    try {
        NonValidatingParse(source);
        xercesc::DOMDocument* document = m_document.GetDOMDocument();
        xercesc::DOMElement* root = document != nullptr ? document->getDocumentElement() : nullptr;
        if (root == nullptr) return;
        std::u16string attribute = XmlUtils::ToXml(kTagSchemaVersion);
        if (XmlUtils::ToWide(root->getNamespaceURI()) == kCmlBaseUri) {
            std::wstring found = XmlUtils::ToWide(root->getAttribute(attribute.c_str()));
            VersionRelation relation = CompareSchemaVersions(found, kVersionRoot);
            if (relation == NewerRevision || relation == MinorMismatch || relation == MajorMismatch) {
                incompatibilities.AddIncompatibility(kCmlBaseUri, kVersionRoot, found);
            }
        }
        CompareVersions(incompatibilities, kNsCml, kTagCml, kVersionCml);
        CompareVersions(incompatibilities, kNsMessage, kTagCml, kVersionMessage);
        for (const CNamespaceSet& set : {GetImplicitNamespaces(), m_namespaces}) {
            for (const CNamespace& ns : set) {
                CompareVersions(incompatibilities, ns.GetNamespaceUri().c_str(), L"*", ns.GetSchemaVersion());
            }
        }
    } catch (const CCmlException&) {
        // Not even well-formed: the validation error stands as it was.
    } catch (const xercesc::DOMException&) {
    }
    m_document.SetDOMDocument(nullptr);  // the failed parse leaves no usable document
}

// ---- CreateDocumentFromXml

namespace {

CCmlDocumentBase* DocumentOf(CCmlParser& parser, int matchMode) {
    CCmlDOM_Element root = parser.GetDocument().getDocumentElement();
    if (root.IsNull()) {
        throw CCmlException(L"Deserializing a parsed document", L"Null element received", OVX_E_CML_NULL_ELEMENT);
    }
    return DeserializeParsedDocument(root, matchMode);
}

void AddNamespaces(CCmlParser& parser, uint32_t validationMode, const CNamespaceSet* namespaces) {
    if (validationMode != kValidate || namespaces == nullptr) return;
    for (const CNamespace& ns : *namespaces) parser.AddNamespace(ns.GetNamespaceUri(), ns.GetSchemaVersion());
}

}  // namespace

CCmlDocumentBase* CreateDocumentFromXml(const char* buffer, size_t length, uint32_t validationMode,
                                        const CNamespaceSet* namespaces, const wchar_t* schemaFolder, int matchMode) {
    CCmlParser parser(kValidateByDefault);
    AddNamespaces(parser, validationMode, namespaces);
    parser.ParseBuffer(buffer, length, validationMode, schemaFolder);
    return DocumentOf(parser, matchMode);
}

CCmlDocumentBase* CreateDocumentFromXml(const wchar_t* path, uint32_t validationMode, const CNamespaceSet* namespaces,
                                        const wchar_t* schemaFolder, int matchMode) {
    CCmlParser parser(kValidateByDefault);
    AddNamespaces(parser, validationMode, namespaces);
    parser.ParseFile(path, validationMode, schemaFolder);
    return DocumentOf(parser, matchMode);
}

}  // namespace cml
}  // namespace ovx
