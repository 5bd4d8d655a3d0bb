// Writing XML text: escaping, declarations, the root start tag with its
// schema locations, schema file names, and writers for raw DOM subtrees.
// Documents write into a CXmlOut (UTF-8); every writer here also takes a
// wide or a narrow stream, and a narrow stream receives UTF-8.
#ifndef OVX_CML_CORE_CMLSERIALIZE_H
#define OVX_CML_CORE_CMLSERIALIZE_H

#include <xercesc/dom/DOMNode.hpp>

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <ostream>
#include <streambuf>
#include <string>

#include "cml/core/cmlNamespaces.h"
#include "cml/core/cmlXmlOut.h"

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
// ASCII markup, as it is.
void WriteLiteral(std::ostream& out, const char* text);
void WriteLiteral(std::wostream& out, const char* text);
// The indentation of `level`: level times kIndentWidth spaces.
void WriteIndent(std::wostream& out, int level);
void WriteIndent(std::ostream& out, int level);

// Collects short pieces of markup and text and hands them to the stream in
// one call: documents are written in many pieces of a few characters, and a
// stream call costs more than copying such a piece. Call Flush to write;
// what is left unflushed by an exception is dropped.
template <class Char>
class CTextBatch;

// The narrow batch: UTF-8 through the document writer (a value that is not
// a Unicode scalar becomes U+FFFD).
template <>
class CTextBatch<char> {
public:
    explicit CTextBatch(std::ostream& out) : m_out(out), m_xml(m_text) {}
    CTextBatch(const CTextBatch&) = delete;
    CTextBatch& operator=(const CTextBatch&) = delete;

    void Append(const wchar_t* text, size_t length) { m_xml.Text(text, length); }
    void Append(const std::wstring& text) { m_xml.Text(text); }
    // ASCII markup.
    void AppendLiteral(const char* text) { m_xml.Bytes(text, std::strlen(text)); }
    void AppendIndent(int level) { m_xml.Indent(level); }
    // The text escaped as an attribute value or as content.
    void AppendEscaped(const wchar_t* text, size_t length, bool attribute) { m_xml.Escaped(text, length, attribute); }
    void Flush() {
        if (m_xml.Size() == 0) return;
        if (std::streambuf* target = m_out.rdbuf())
            target->sputn(m_xml.Data(), static_cast<std::streamsize>(m_xml.Size()));
        m_xml.Clear();
    }

private:
    std::ostream& m_out;
    std::string m_text;
    CXmlOut m_xml;
};

// The wide batch: characters as they are, escapes as wide text.
template <>
class CTextBatch<wchar_t> {
public:
    explicit CTextBatch(std::wostream& out) : m_out(out) {}
    CTextBatch(const CTextBatch&) = delete;
    CTextBatch& operator=(const CTextBatch&) = delete;

    void Append(const wchar_t* text, size_t length) { m_text.append(text, length); }
    void Append(const std::wstring& text) { m_text += text; }
    void AppendLiteral(const char* text) {
        for (; *text != '\0'; ++text) m_text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*text)));
    }
    void AppendIndent(int level) {
        if (level > 0) m_text.append(static_cast<size_t>(level) * kIndentWidth, L' ');
    }
    void AppendEscaped(const wchar_t* text, size_t length, bool attribute);
    void Flush() {
        if (m_text.empty()) return;
        if (std::wstreambuf* target = m_out.rdbuf())
            target->sputn(m_text.data(), static_cast<std::streamsize>(m_text.size()));
        m_text.clear();
    }

private:
    std::wostream& m_out;
    std::wstring m_text;
};

// Escaping: `out` is cleared and receives the escaped text. Narrow input is
// UTF-8. NULL input throws CCmlException OVX_E_INVALID_ARGUMENT.
void EscapeAttributeValue(const wchar_t* text, std::wstring& out);
void EscapeAttributeValue(const char* text, std::wstring& out);
void EscapeAttributeValue(std::wostream& out, const wchar_t* text);
void EscapeAttributeValue(std::ostream& out, const wchar_t* text);
void EscapeAttributeValue(std::wostream& out, const std::wstring& text);
void EscapeAttributeValue(std::ostream& out, const std::wstring& text);
void EscapeContent(const wchar_t* text, std::wstring& out);
void EscapeContent(const char* text, std::wstring& out);
void EscapeContent(std::wostream& out, const wchar_t* text);
void EscapeContent(std::ostream& out, const wchar_t* text);
void EscapeContent(CXmlOut& out, const wchar_t* text);

// The declaration and an end of line. A narrow stream is always UTF-8; a
// wide file stream is UTF-8 and a wide string stream UCS4; any other wide
// stream is refused (its encoding is unknown).
void WriteXmlDeclaration(std::ostream& out, bool standalone);
void WriteXmlDeclaration(std::wostream& out, bool standalone);
// Into a writer: UTF-8, unless the writer's text goes to a wide stream,
// whose kind then decides as above.
void WriteXmlDeclaration(CXmlOut& out, bool standalone);

// Declaration, "<tag xmlns:xsi=...", and one schema location per namespace.
// The start tag is left open for the attributes.
void WriteRootStartTag(std::wostream& out, const wchar_t* tag, const CNamespaceSet& namespaces);
void WriteRootStartTag(std::ostream& out, const wchar_t* tag, const CNamespaceSet& namespaces);
void WriteRootStartTag(CXmlOut& out, const wchar_t* tag, const CNamespaceSet& namespaces);

// Runs `write` on a writer and hands its text to `out`: a narrow stream
// gets the bytes, a wide one the characters they encode. What was written
// before an exception is handed on as well, as a stream written piece by
// piece would hold it.
void HandOn(std::ostream& out, const std::string& text);
void HandOn(std::wostream& out, const std::string& text);
template <class Char, class Write>
void WriteThrough(std::basic_ostream<Char>& out, Write write) {
    std::string text;
    try {
        CXmlOut xml(text);
        if constexpr (sizeof(Char) != 1) xml.SetWideTarget(&out);
        write(xml);
    } catch (...) {
        HandOn(out, text);
        throw;
    }
    HandOn(out, text);
}

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
// subtree more than 2048 levels deep (CCmlException OVX_E_INVALID_ARGUMENT): its
// indentation alone would grow with the square of the depth.
void WriteNodeStartTag(std::wostream& out, const xercesc::DOMNode* node);
void WriteNodeStartTag(std::ostream& out, const xercesc::DOMNode* node);
void SerializeNodeFormatted(const xercesc::DOMNode* node, std::wostream& out, int level);
void SerializeNodeFormatted(const xercesc::DOMNode* node, std::ostream& out, int level);
void SerializeNodeUnformatted(const xercesc::DOMNode* node, std::wostream& out);
void SerializeNodeUnformatted(const xercesc::DOMNode* node, std::ostream& out);
void SerializeNodeFormatted(const xercesc::DOMNode* node, CXmlOut& out, int level);
// File forms: the folder is created (0755), the file truncated, UTF-8.
void SerializeNodeFormatted(const xercesc::DOMNode* node, const char* path, int level);
void SerializeNodeUnformatted(const xercesc::DOMNode* node, const char* path);

// Creates `folder` and its parents with mode 0755; throws CCmlException
// OVX_E_FOLDER_CREATE under `operation` when one cannot be made.
void CreateFolderFor(const std::string& filePath, const wchar_t* operation);

}  // namespace XmlUtils
}  // namespace cml
}  // namespace ovx

#endif  // OVX_CML_CORE_CMLSERIALIZE_H
