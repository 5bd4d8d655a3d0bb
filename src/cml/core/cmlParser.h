// The CML parser: CML text from memory or a file to a DOM document, with
// optional validation against the CML schema files, and the explanation of a
// validation failure caused by a newer schema version than ours.
//
// The parser lets nothing in from outside: it never opens a network
// connection, reads no file outside the schema folder, refuses document type
// declarations (and with them every entity) and nesting deeper than
// kMaxElementDepth.
#ifndef OVX_CML_CORE_CMLPARSER_H
#define OVX_CML_CORE_CMLPARSER_H

#include <xercesc/framework/LocalFileInputSource.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/ErrorHandler.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLEntityResolver.hpp>

#include <array>
#include <cstdint>
#include <set>
#include <string>

#include "cml/core/cmlDocument.h"
#include "cml/core/cmlDom.h"
#include "cml/core/cmlException.h"
#include "cml/core/cmlNamespaces.h"

namespace ovx {
namespace cml {

// Validation modes of a parse.
constexpr uint32_t kValidate = 1;
constexpr uint32_t kDoNotValidate = 2;
// The parser's default mode; a default of 3 validates when the process-wide
// validation switch is on.
constexpr uint32_t kValidateByDefault = 3;

// The system id of every parse from memory.
extern const wchar_t kCmlStreamSystemId[];

class CSchemaIncompatibility {
public:
    CSchemaIncompatibility(std::wstring namespaceUri, std::wstring supportedVersion, std::wstring foundVersion);
    CSchemaIncompatibility* Clone() const { return new CSchemaIncompatibility(*this); }
    const std::wstring& GetNamespaceUri() const { return m_namespaceUri; }
    const std::wstring& GetSupportedVersion() const { return m_supportedVersion; }
    const std::wstring& GetFoundVersion() const { return m_foundVersion; }
    bool operator<(const CSchemaIncompatibility& other) const;

private:
    std::wstring m_namespaceUri;
    std::wstring m_supportedVersion;
    std::wstring m_foundVersion;
};

// A validation failure explained by schema versions newer than ours.
class CSchemaException : public CCmlException {
public:
    using Incompatibilities = std::set<CSchemaIncompatibility>;
    CSchemaException(std::wstring operation, std::wstring message, uint32_t errorCode);
    virtual void AddIncompatibility(const std::wstring& namespaceUri, const std::wstring& supportedVersion,
                                    const std::wstring& foundVersion);
    Incompatibilities::const_iterator begin() const { return m_incompatibilities.begin(); }
    Incompatibilities::const_iterator end() const { return m_incompatibilities.end(); }
    size_t size() const { return m_incompatibilities.size(); }

private:
    Incompatibilities m_incompatibilities;
};

// Turns every warning, error and fatal error of the XML parser into a
// CCmlException, so any of them ends the parse.
class CCmlSaxErrorHandler : public xercesc::ErrorHandler {
public:
    void warning(const xercesc::SAXParseException& error) override;
    void error(const xercesc::SAXParseException& error) override;
    void fatalError(const xercesc::SAXParseException& error) override;
    void resetErrors() override {}
};

// Bytes in memory, read in place (never copied: the caller keeps them alive
// for the parse).
class CCmlMemBufInputSource : public xercesc::MemBufInputSource {
public:
    CCmlMemBufInputSource(const XMLByte* bytes, XMLSize_t size, const XMLCh* systemId, bool adopt = false)
        : xercesc::MemBufInputSource(bytes, size, systemId, adopt), m_bytes(bytes), m_size(size) {
        setCopyBufToStream(false);
    }
    const XMLByte* Bytes() const { return m_bytes; }
    XMLSize_t Size() const { return m_size; }

private:
    const XMLByte* m_bytes;
    XMLSize_t m_size;
};

class CCmlLocalFileInputSource : public xercesc::LocalFileInputSource {
public:
    using xercesc::LocalFileInputSource::LocalFileInputSource;
};

// Resolves schema locations inside the allowed folder to their files and
// answers everything else (external entities, DTDs, schemas elsewhere, any
// URL) with an empty input, so nothing outside is ever opened.
class CCmlEntityResolver : public xercesc::XMLEntityResolver {
public:
    void SetAllowedFolder(const std::string& folder);
    xercesc::InputSource* resolveEntity(xercesc::XMLResourceIdentifier* resource) override;

private:
    std::string m_allowedFolder;  // canonical, with a trailing "/"; empty: nothing allowed
};

// The Xerces DOM parser with document type declarations refused and a
// bound on element nesting.
class CCmlDOMParser : public xercesc::XercesDOMParser {
public:
    CCmlDOMParser();
    void ResetDepth() { m_depth = 0; }
    void RefuseDocumentTypes();

protected:
    void doctypeDecl(const xercesc::DTDElementDecl& elemDecl, const XMLCh* const publicId, const XMLCh* const systemId,
                     const bool hasIntSubset, const bool hasExtSubset) override;
    void startElement(const xercesc::XMLElementDecl& elemDecl, const unsigned int urlId, const XMLCh* const elemPrefix,
                      const xercesc::RefVectorOf<xercesc::XMLAttr>& attrList, const XMLSize_t attrCount,
                      const bool isEmpty, const bool isRoot) override;
    void endElement(const xercesc::XMLElementDecl& elemDecl, const unsigned int urlId, const bool isRoot,
                    const XMLCh* const elemPrefix) override;

private:
    [[noreturn]] void Refuse(const wchar_t* what);
    int m_depth = 0;
};

class CCmlParser {
public:
    explicit CCmlParser(uint32_t defaultValidationMode = kValidateByDefault);
    CCmlParser(const CCmlParser&) = delete;
    CCmlParser& operator=(const CCmlParser&) = delete;

    // The instance-specific namespaces that feed validation and the
    // compatibility check.
    virtual void AddNamespace(const std::wstring& namespaceUri, const std::wstring& version);
    virtual void RemoveNamespace(const std::wstring& namespaceUri);
    virtual ~CCmlParser();

    virtual void ParseFile(const wchar_t* path, uint32_t validationMode, const wchar_t* schemaFolder);
    virtual void ParseFile(const char* path, uint32_t validationMode, const wchar_t* schemaFolder);
    // The bytes are neither copied nor adopted; they must outlive the call.
    virtual void ParseBuffer(const char* buffer, size_t length, uint32_t validationMode, const wchar_t* schemaFolder);
    // The same under a system id of the caller's, which error texts name.
    virtual void ParseBuffer(const char* buffer, size_t length, uint32_t validationMode, const wchar_t* schemaFolder,
                             const wchar_t* systemId);

    // Four texts kept for the caller; the parse does not use them.
    const std::wstring& GetUserText(size_t index) const { return m_userTexts.at(index); }
    void SetUserText(size_t index, const std::wstring& text) { m_userTexts.at(index) = text; }
    // The document of the last successful parse, owned by the parser.
    CCmlDOM_Document& GetDocument() { return m_document; }
    const CNamespaceSet& GetNamespaces() const { return m_namespaces; }

    uint32_t GetValidationMode() const { return m_defaultValidationMode; }
    void SetValidationMode(uint32_t mode) { m_defaultValidationMode = mode; }

    // Process-wide, meant to be set while the host starts up.
    static void AddImplicitNamespace(const std::wstring& namespaceUri, const std::wstring& version);
    static CNamespaceSet GetImplicitNamespaces();
    static void ClearImplicitNamespaces();
    // Backslashes become slashes; one trailing slash is removed.
    static void SetSchemaDirectory(const std::wstring& folder);
    static std::wstring GetSchemaDirectory();
    static bool SetValidationSwitch(bool on);
    static bool GetValidationSwitch();

protected:
    virtual void ValidatingParse(const xercesc::InputSource& source, const wchar_t* schemaFolder);
    virtual void NonValidatingParse(const xercesc::InputSource& source);
    virtual void Parse(const xercesc::InputSource& source, uint32_t validationMode, const wchar_t* schemaFolder);
    virtual void CheckSchemaCompatibility(const xercesc::InputSource& source, CSchemaException& incompatibilities);
    virtual void BuildExternalSchemaLocation(std::wstring& out, const wchar_t* schemaFolder);
    virtual void ParseSource(const xercesc::InputSource& source);

private:
    void CompareVersions(CSchemaException& into, const wchar_t* namespaceUri, const wchar_t* localName,
                         const std::wstring& supported);

    // Switches the scanner: the well-formedness scanner for plain parses
    // (a large attribute costs it less than half of what the validating one
    // keeps of it), the validating one when a schema is applied.
    void UseScanner(bool wellFormedness);
    // The settings every parse runs with, whichever scanner it uses.
    void ApplyFixedSettings();

    CCmlDOMParser m_parser;
    bool m_wellFormednessScanner = false;
    CCmlDOM_Document m_document;
    std::array<std::wstring, 4> m_userTexts;
    CNamespaceSet m_namespaces;
    CCmlSaxErrorHandler m_errorHandler;
    CCmlEntityResolver m_resolver;
    xercesc::SecurityManager m_securityManager;
    uint32_t m_defaultValidationMode;
};

// Parses CML text (or a file) and reads its document element into a new
// object of the registered class; NULL when no class is registered for the
// root. With validation mode 1 the given namespaces join the parser's.
CCmlDocumentBase* CreateDocumentFromXml(const char* buffer, size_t length, uint32_t validationMode,
                                        const CNamespaceSet* namespaces, const wchar_t* schemaFolder, int matchMode);
CCmlDocumentBase* CreateDocumentFromXml(const wchar_t* path, uint32_t validationMode, const CNamespaceSet* namespaces,
                                        const wchar_t* schemaFolder, int matchMode);

}  // namespace cml
}  // namespace ovx

#endif  // OVX_CML_CORE_CMLPARSER_H
