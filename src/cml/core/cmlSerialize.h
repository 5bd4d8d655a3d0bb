// Writing XML text: escaping, declarations, the root start tag with its
// schema locations, schema file names, and writers for raw DOM subtrees.
// Every writer takes a wide or a narrow stream; a narrow stream receives
// UTF-8.
#ifndef OVX_CML_CORE_CMLSERIALIZE_H
#define OVX_CML_CORE_CMLSERIALIZE_H

#include <xercesc/dom/DOMNode.hpp>

#include <ostream>
#include <string>

#include "cml/core/cmlNamespaces.h"

namespace ovx {
namespace cml {
namespace XmlUtils {

constexpr int kIndentWidth = 4;
extern const wchar_t kSchemaInstanceDeclaration[];  // xmlns:xsi='...'
extern const wchar_t kSchemaFolder[];               // "./schemas", where written schema locations point
extern const char kDeclarationUtf8Standalone[];
extern const char kDeclarationUtf8[];
extern const wchar_t kDeclarationUtf16Standalone[];
extern const wchar_t kDeclarationUtf16[];
extern const wchar_t kDeclarationUcs4Standalone[];
extern const wchar_t kDeclarationUcs4[];

// Wide text to a stream: unchanged to a wide one, UTF-8 to a narrow one
// (a value that is not a Unicode scalar becomes U+FFFD).
void WriteText(std::wostream& out, const wchar_t* text, size_t length);
void WriteText(std::ostream& out, const wchar_t* text, size_t length);
template <class Char>
inline void WriteText(std::basic_ostream<Char>& out, const std::wstring& text) {
    WriteText(out, text.data(), text.size());
}
// The indentation of `level`: level times kIndentWidth spaces.
void WriteIndent(std::wostream& out, int level);
void WriteIndent(std::ostream& out, int level);

// Escaping: `out` is cleared and receives the escaped text. Narrow input is
// UTF-8. NULL input throws CCmlException 0xC7210003.
void EscapeAttributeValue(const wchar_t* text, std::wstring& out);
void EscapeAttributeValue(const char* text, std::wstring& out);
void EscapeAttributeValue(std::wostream& out, const wchar_t* text);
void EscapeAttributeValue(std::ostream& out, const wchar_t* text);
void EscapeContent(const wchar_t* text, std::wstring& out);
void EscapeContent(const char* text, std::wstring& out);
void EscapeContent(std::wostream& out, const wchar_t* text);
void EscapeContent(std::ostream& out, const wchar_t* text);

// The declaration and an end of line. A narrow stream is always UTF-8; a
// wide file stream is UTF-8 and a wide string stream UCS4; any other wide
// stream is refused (its encoding is unknown).
void WriteXmlDeclaration(std::ostream& out, bool standalone);
void WriteXmlDeclaration(std::wostream& out, bool standalone);

// Declaration, "<tag xmlns:xsi=...", and one schema location per namespace.
// The start tag is left open for the attributes.
void WriteRootStartTag(std::wostream& out, const wchar_t* tag, const CNamespaceSet& namespaces);
void WriteRootStartTag(std::ostream& out, const wchar_t* tag, const CNamespaceSet& namespaces);

// Schema file of a namespace at a version, under `folder`.
void BuildSchemaFileName(const std::wstring& namespaceUri, const std::wstring& version, const std::wstring& folder,
                         std::wstring& out);
void BuildSchemaFileName(const std::wstring& namespaceUri, const std::wstring& version, const std::string& folder,
                         std::string& out);
// The inverse, relative to the parser's schema folder. False (outputs
// empty) for a path outside it or whose file name does not match its folder.
bool ParseSchemaFileName(const std::wstring& path, std::wstring& namespaceUri, std::wstring& version,
                         std::wstring& baseName);

// A process-wide file name used instead of the namespace's last segment;
// empty (the default) to use the segment.
void SetSchemaFileNameOverride(const std::wstring& name);
std::wstring GetSchemaFileNameOverride();
// The folder schema files are read from (the parser's), "./schemas" at load.
void SetSchemaFolder(const std::wstring& folder);
std::wstring GetSchemaFolder();
// Whether attributes equal to their schema default are written anyway.
bool SetSerializeDefaults(bool on);
bool GetSerializeDefaults();

// Raw DOM subtrees. The walkers keep no recursion, so any depth of nesting
// is written without growing the stack. The formatted writer refuses a
// subtree more than 2048 levels deep (CCmlException 0xC7210003): its
// indentation alone would grow with the square of the depth.
void WriteNodeStartTag(std::wostream& out, const xercesc::DOMNode* node);
void WriteNodeStartTag(std::ostream& out, const xercesc::DOMNode* node);
void SerializeNodeFormatted(const xercesc::DOMNode* node, std::wostream& out, int level);
void SerializeNodeFormatted(const xercesc::DOMNode* node, std::ostream& out, int level);
void SerializeNodeUnformatted(const xercesc::DOMNode* node, std::wostream& out);
void SerializeNodeUnformatted(const xercesc::DOMNode* node, std::ostream& out);
// File forms: the folder is created (0755), the file truncated, UTF-8.
void SerializeNodeFormatted(const xercesc::DOMNode* node, const char* path, int level);
void SerializeNodeUnformatted(const xercesc::DOMNode* node, const char* path);

// Creates `folder` and its parents with mode 0755; throws CCmlException
// 0xC7210037 under `operation` when one cannot be made.
void CreateFolderFor(const std::string& filePath, const wchar_t* operation);

}  // namespace XmlUtils
}  // namespace cml
}  // namespace ovx

#endif  // OVX_CML_CORE_CMLSERIALIZE_H
