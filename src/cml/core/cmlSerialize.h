// Writing XML text: escaping, declarations, the root start tag with its
// schema locations, schema file names, and writers for raw DOM subtrees.
// Every writer takes a wide or a narrow stream; a narrow stream receives
// UTF-8.
#ifndef OVX_CML_CORE_CMLSERIALIZE_H
#define OVX_CML_CORE_CMLSERIALIZE_H

#include <xercesc/dom/DOMNode.hpp>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstdint>
#include <cwchar>
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
// ASCII markup, as it is.
void WriteLiteral(std::ostream& out, const char* text);
void WriteLiteral(std::wostream& out, const char* text);
// The indentation of `level`: level times kIndentWidth spaces.
void WriteIndent(std::wostream& out, int level);
void WriteIndent(std::ostream& out, int level);

// Collects short pieces of markup and text and hands them to the stream in
// one call: documents are written in many pieces of a few characters, and a
// stream call costs more than copying such a piece.
template <class Char>
class CTextBatch {
public:
    explicit CTextBatch(std::basic_ostream<Char>& out) : m_out(out) {}
    CTextBatch(const CTextBatch&) = delete;
    CTextBatch& operator=(const CTextBatch&) = delete;
    // Call Flush to write; what is left unflushed by an exception is dropped.
    ~CTextBatch() = default;

    // Wide text; a narrow batch encodes it as UTF-8 on the way in (a value
    // that is not a Unicode scalar becomes U+FFFD).
    void Append(const wchar_t* text, size_t length) {
        for (size_t i = 0; i < length;) {
            i = CopyPlain(text, i, length, false, false);
            if (i == length) break;
            if (m_used > kCapacity - 4) Flush();
            Put(text[i++]);
        }
    }
    void Append(const std::wstring& text) { Append(text.data(), text.size()); }
    // ASCII markup.
    void AppendLiteral(const char* text) {
        for (; *text != '\0'; ++text) {
            if (m_used == kCapacity) Flush();
            m_buffer[m_used++] = static_cast<Char>(static_cast<unsigned char>(*text));
        }
    }
    void AppendIndent(int level) {
        for (int left = level * kIndentWidth; left > 0; --left) {
            if (m_used == kCapacity) Flush();
            m_buffer[m_used++] = static_cast<Char>(' ');
        }
    }
    // The text escaped as an attribute value or as content.
    void AppendEscaped(const wchar_t* text, size_t length, bool attribute) {
        for (size_t i = 0; i < length;) {
            i = CopyPlain(text, i, length, true, attribute);
            if (i == length) break;
            const wchar_t c = text[i++];
            const char* escape = nullptr;
            switch (c) {
                case L'\t': escape = attribute ? "&#9;" : nullptr; break;
                case L'\n': escape = attribute ? "&#xa;" : nullptr; break;
                case L'\r': escape = "&#13;"; break;
                case L'"': escape = "&quot;"; break;
                case L'&': escape = "&amp;"; break;
                case L'\'': escape = "&apos;"; break;
                case L'<': escape = "&lt;"; break;
                case L'>': escape = "&gt;"; break;
                default: break;
            }
            if (escape != nullptr) {
                AppendLiteral(escape);
                continue;
            }
            if (m_used > kCapacity - 4) Flush();
            Put(c);
        }
    }
    void Flush() {
        if (m_used == 0) return;
        if (std::basic_streambuf<Char>* target = m_out.rdbuf()) {
            target->sputn(m_buffer, static_cast<std::streamsize>(m_used));
        }
        m_used = 0;
    }

private:
    static constexpr size_t kCapacity = 1024;

    // Copies the run of ASCII from `i` on that needs neither escaping nor
    // encoding, as far as the buffer has room, and returns where it stopped.
    // Most text is such runs: one compare and one store a character.
    size_t CopyPlain(const wchar_t* text, size_t i, size_t length, bool escaping, bool attribute) {
        if (m_used == kCapacity) Flush();
        const size_t end = length - i < kCapacity - m_used ? length : i + (kCapacity - m_used);
        // Sixteen characters at a time while none of them needs work: most
        // text is long runs of plain ASCII, and a test of the whole block
        // with one narrowing store beats a branch a character.
        constexpr size_t kBlock = 16;
        while (end - i >= kBlock && PlainBlock(text + i, escaping, attribute)) {
            StoreBlock(text + i);
            m_used += kBlock;
            i += kBlock;
        }
        for (; i < end; ++i) {
            const auto c = static_cast<uint32_t>(text[i]);
            if (c >= 0x80) break;
            if (escaping && c <= '>' && NeedsEscape(c, attribute)) break;
            m_buffer[m_used++] = static_cast<Char>(c);
        }
        return i;
    }
#if defined(__SSE2__) && WCHAR_MAX > 0xFFFF
    // Four vectors of four 32-bit characters: a lane is special when it is
    // not ASCII or, when escaping, is one of the escaped characters.
    static bool PlainBlock(const wchar_t* text, bool escaping, bool attribute) {
        const __m128i high = _mm_set1_epi32(~0x7F);
        __m128i special = _mm_setzero_si128();
        for (int k = 0; k < 4; ++k) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + 4 * k));
            special = _mm_or_si128(special, _mm_xor_si128(_mm_cmpeq_epi32(_mm_and_si128(v, high), _mm_setzero_si128()),
                                                          _mm_set1_epi32(-1)));
            if (escaping) {
                special = _mm_or_si128(special, _mm_cmpeq_epi32(v, _mm_set1_epi32('"')));
                special = _mm_or_si128(special, _mm_cmpeq_epi32(v, _mm_set1_epi32('&')));
                special = _mm_or_si128(special, _mm_cmpeq_epi32(v, _mm_set1_epi32('\'')));
                special = _mm_or_si128(special, _mm_cmpeq_epi32(v, _mm_set1_epi32('<')));
                special = _mm_or_si128(special, _mm_cmpeq_epi32(v, _mm_set1_epi32('>')));
                special = _mm_or_si128(special, _mm_cmpeq_epi32(v, _mm_set1_epi32('\r')));
                if (attribute) {
                    special = _mm_or_si128(special, _mm_cmpeq_epi32(v, _mm_set1_epi32('\n')));
                    special = _mm_or_si128(special, _mm_cmpeq_epi32(v, _mm_set1_epi32('\t')));
                }
            }
        }
        return _mm_movemask_epi8(special) == 0;
    }
    // Sixteen ASCII characters, already tested, narrowed into the buffer.
    void StoreBlock(const wchar_t* text) {
        if constexpr (sizeof(Char) == 1) {
            const auto* v = reinterpret_cast<const __m128i*>(text);
            const __m128i low = _mm_packs_epi32(_mm_loadu_si128(v), _mm_loadu_si128(v + 1));
            const __m128i high = _mm_packs_epi32(_mm_loadu_si128(v + 2), _mm_loadu_si128(v + 3));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(m_buffer + m_used), _mm_packus_epi16(low, high));
        } else {
            for (size_t k = 0; k < 16; ++k) m_buffer[m_used + k] = static_cast<Char>(text[k]);
        }
    }
#else
    static bool PlainBlock(const wchar_t* text, bool escaping, bool attribute) {
        uint32_t special = 0;
        for (size_t k = 0; k < 16; ++k) {
            const auto c = static_cast<uint32_t>(text[k]);
            special |= static_cast<uint32_t>(c >= 0x80) | (escaping ? Special(c, attribute) : 0u);
        }
        return special == 0;
    }
    void StoreBlock(const wchar_t* text) {
        for (size_t k = 0; k < 16; ++k) m_buffer[m_used + k] = static_cast<Char>(text[k]);
    }
    // NeedsEscape without branches, for the block test.
    static uint32_t Special(uint32_t c, bool attribute) {
        return static_cast<uint32_t>(c == '"') | static_cast<uint32_t>(c == '&') | static_cast<uint32_t>(c == '\'') |
               static_cast<uint32_t>(c == '<') | static_cast<uint32_t>(c == '>') | static_cast<uint32_t>(c == '\r') |
               (static_cast<uint32_t>(attribute) &
                (static_cast<uint32_t>(c == '\n') | static_cast<uint32_t>(c == '\t')));
    }
#endif
    static bool NeedsEscape(uint32_t c, bool attribute) {
        return c == '"' || c == '&' || c == '\'' || c == '<' || c == '>' || c == '\r' ||
               (attribute && (c == '\n' || c == '\t'));
    }

    // One character, with room for four bytes already made.
    void Put(wchar_t wide) {
        if constexpr (sizeof(Char) == sizeof(wchar_t)) {
            m_buffer[m_used++] = static_cast<Char>(wide);
        } else {
            auto c = static_cast<uint32_t>(wide);
            if (c < 0x80) {
                m_buffer[m_used++] = static_cast<Char>(c);
                return;
            }
            if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;
            if (c < 0x800) {
                m_buffer[m_used++] = static_cast<Char>(0xC0 | (c >> 6));
            } else if (c < 0x10000) {
                m_buffer[m_used++] = static_cast<Char>(0xE0 | (c >> 12));
                m_buffer[m_used++] = static_cast<Char>(0x80 | ((c >> 6) & 0x3F));
            } else {
                m_buffer[m_used++] = static_cast<Char>(0xF0 | (c >> 18));
                m_buffer[m_used++] = static_cast<Char>(0x80 | ((c >> 12) & 0x3F));
                m_buffer[m_used++] = static_cast<Char>(0x80 | ((c >> 6) & 0x3F));
            }
            m_buffer[m_used++] = static_cast<Char>(0x80 | (c & 0x3F));
        }
    }

    std::basic_ostream<Char>& m_out;
    Char m_buffer[kCapacity];
    size_t m_used = 0;
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
// subtree more than 2048 levels deep (CCmlException OVX_E_INVALID_ARGUMENT): its
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
// OVX_E_FOLDER_CREATE under `operation` when one cannot be made.
void CreateFolderFor(const std::string& filePath, const wchar_t* operation);

}  // namespace XmlUtils
}  // namespace cml
}  // namespace ovx

#endif  // OVX_CML_CORE_CMLSERIALIZE_H
