// The writer every CML document writes its XML text into: UTF-8 straight
// into one growing buffer (a std::string the caller owns), with no stream
// and no per-call locale or sentry. A heartbeat is a few thousand short
// pieces (tags, names, values of a few dozen characters); each piece here
// is a bounds check and a copy.
#ifndef OVX_CML_CORE_CMLXMLOUT_H
#define OVX_CML_CORE_CMLXMLOUT_H

#include <cstddef>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>

namespace ovx {
namespace cml {
namespace XmlUtils {

class CXmlOut {
public:
    // Appends to `target` from its current end.
    explicit CXmlOut(std::string& target);
    CXmlOut(const CXmlOut&) = delete;
    CXmlOut& operator=(const CXmlOut&) = delete;
    // Leaves `target` holding exactly what was written, also when a writer
    // threw half-way (as a stream would hold the pieces written before).
    ~CXmlOut();

    // ASCII markup.
    template <size_t N>
    void Literal(const char (&text)[N]) {
        Bytes(text, N - 1);
    }
    // Bytes as they are (UTF-8 text, or markup).
    void Bytes(const char* text, size_t length) {
        char* at = Room(length);
        std::memcpy(at, text, length);
        m_at = at + length;
    }
    // A NUL-terminated wide name (tags, attribute names), as UTF-8.
    void Name(const wchar_t* name);
    // Wide text as UTF-8; a value that is not a Unicode scalar becomes U+FFFD.
    void Text(const wchar_t* text, size_t length) { Encode(text, length, false, false); }
    void Text(const std::wstring& text) { Encode(text.data(), text.size(), false, false); }
    // Wide text escaped as an attribute value or as element content.
    void Escaped(const wchar_t* text, size_t length, bool attribute) { Encode(text, length, true, attribute); }
    // `level` times four spaces. Every line of a document starts with some:
    // a copy of a fixed size, not a call with a length.
    void Indent(int level) {
        if (level <= 0) return;
        const auto count = static_cast<size_t>(level) * 4;
        if (count > kIndentRun) {
            IndentLong(count);
            return;
        }
        // More spaces than asked for go in: the bytes past `count` are room
        // that the next piece writes over.
        char* at = Room(kIndentRun);
        std::memcpy(at, kSpaces, kIndentRun);
        m_at = at + count;
    }
    // " name='value'", the value escaped.
    void Attribute(const wchar_t* name, const wchar_t* value, size_t length);
    void Attribute(const wchar_t* name, const std::wstring& value) { Attribute(name, value.data(), value.size()); }
    void Attribute(const wchar_t* name, const wchar_t* value) { Attribute(name, value, std::wcslen(value)); }
    // The same from well-formed UTF-8 (what the documents that keep their
    // text as UTF-8 hold; bytes from 0x80 up go out as they are), the name
    // an ASCII literal: nothing to measure or narrow.
    template <size_t N>
    void Attribute(const char (&name)[N], const std::string& value) {
        // The name is copied at its known size, in place; only the value
        // goes through the escaping loop.
        char* at = Room(N + 2 + ValueRoom(value.size()));
        *at++ = ' ';
        std::memcpy(at, name, N - 1);
        at += N - 1;
        *at++ = '=';
        *at++ = '\'';
        at = PutAttributeValue(at, value.data(), value.size());
        *at++ = '\'';
        m_at = at;
    }
    // Indentation, "<" and the tag; the attributes follow.
    void StartTag(int level, const wchar_t* tag);
    void StartTag(int level, const std::wstring& tag);
    // Indentation, "</", the tag, ">" and an end of line.
    void EndTag(int level, const wchar_t* tag);
    void EndTag(int level, const std::wstring& tag);
    // The same for a tag held as UTF-8, or an ASCII literal.
    void StartTag(int level, const std::string& tag);
    template <size_t N>
    void StartTag(int level, const char (&tag)[N]) {
        Indent(level);
        char* at = Room(N);
        *at++ = '<';
        std::memcpy(at, tag, N - 1);
        m_at = at + N - 1;
    }
    void EndTag(int level, const std::string& tag);

    // What this writer has written so far, and forgetting it (the target
    // keeps what it held before the writer was made).
    const char* Data() const { return m_target.data() + m_start; }
    size_t Size() const { return static_cast<size_t>(m_at - Data()); }
    void Clear() { m_at = &m_target[0] + m_start; }

    // A narrow stream onto this text, for the few writers that have a stream
    // form only (raw DOM subtrees); made on first use.
    std::ostream& Stream();

    // The wide stream the text is finally decoded into, if any: its kind
    // decides the XML declaration (see WriteXmlDeclaration). Text bound for
    // a wide stream keeps every value as it is, Unicode scalar or not: such
    // a value is written as kKeptMarker (a byte UTF-8 never holds) followed
    // by its four bytes, and the decoding turns it back into the value.
    void SetWideTarget(const std::wostream* target) {
        m_wideTarget = target;
        m_keep = target != nullptr;
    }
    static constexpr unsigned char kKeptMarker = 0xFF;
    const std::wostream* GetWideTarget() const { return m_wideTarget; }
    // Whether `out` is the stream Stream() returns for some writer.
    static bool IsWriterStream(const std::ostream& out);

private:
    class Buffer;

    static constexpr size_t kIndentRun = 64;
    static constexpr char kSpaces[kIndentRun + 1] = "                                                                ";
    void IndentLong(size_t count);
    // Room for `count` more bytes; returns where they go.
    char* Room(size_t count) {
        if (static_cast<size_t>(m_end - m_at) < count) Grow(count);
        return m_at;
    }
    void Grow(size_t count);
    // Room PutAttributeValue needs for `length` bytes: six bytes a byte at
    // most (an escape), and a block it may write whole past the end.
    static size_t ValueRoom(size_t length) { return length * 6 + 16; }
    // Well-formed UTF-8 escaped as an attribute value at `at`; returns the
    // end of what it wrote.
    static char* PutAttributeValue(char* at, const char* value, size_t length);
    void Encode(const wchar_t* text, size_t length, bool escaping, bool attribute);

    std::string& m_target;
    size_t m_start;
    char* m_at = nullptr;
    char* m_end = nullptr;
    const std::wostream* m_wideTarget = nullptr;
    bool m_keep = false;
    std::unique_ptr<Buffer> m_buffer;
    std::unique_ptr<std::ostream> m_stream;
};

}  // namespace XmlUtils
}  // namespace cml
}  // namespace ovx

#endif  // OVX_CML_CORE_CMLXMLOUT_H
