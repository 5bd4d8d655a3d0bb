#include "cml/core/cmlXmlOut.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstdint>
#include <cwchar>
#include <streambuf>

namespace ovx {
namespace cml {
namespace XmlUtils {

namespace {

// The escape of each character up to '>' (every escaped character is at or
// below it), padded to eight bytes so that one fixed-size copy writes it;
// an empty one is not escaped. A reader normalises a raw tab, line feed or
// carriage return in an attribute value to a space, and a carriage return
// in content to a line feed: written as references they read back as given.
struct Escape {
    char text[8];
    uint8_t length;
};
constexpr unsigned kEscapedBelow = '>' + 1;

struct EscapeTable {
    Escape content[kEscapedBelow] = {};
    Escape attribute[kEscapedBelow] = {};
    constexpr EscapeTable() {
        Set('\r', "&#13;", 5);
        Set('"', "&quot;", 6);
        Set('&', "&amp;", 5);
        Set('\'', "&apos;", 6);
        Set('<', "&lt;", 4);
        Set('>', "&gt;", 4);
        SetAttribute('\t', "&#9;", 4);
        SetAttribute('\n', "&#xa;", 5);
    }
    constexpr void Set(char c, const char* text, uint8_t length) {
        SetAttribute(c, text, length);
        for (uint8_t i = 0; i < length; ++i) content[static_cast<unsigned char>(c)].text[i] = text[i];
        content[static_cast<unsigned char>(c)].length = length;
    }
    constexpr void SetAttribute(char c, const char* text, uint8_t length) {
        for (uint8_t i = 0; i < length; ++i) attribute[static_cast<unsigned char>(c)].text[i] = text[i];
        attribute[static_cast<unsigned char>(c)].length = length;
    }
};
constexpr EscapeTable kEscapes;

// Per ASCII character: 1 when it is copied as it is (no escape), in text,
// in content and in attribute values.
struct PlainTable {
    uint8_t text[128] = {};
    uint8_t content[128] = {};
    uint8_t attribute[128] = {};
    constexpr PlainTable() {
        for (unsigned c = 0; c < 128; ++c) {
            text[c] = 1;
            content[c] = c >= kEscapedBelow || kEscapes.content[c].length == 0 ? 1 : 0;
            attribute[c] = c >= kEscapedBelow || kEscapes.attribute[c].length == 0 ? 1 : 0;
        }
    }
};
constexpr PlainTable kPlain;

// One character as UTF-8; room for five bytes is made. A value that is not
// a Unicode scalar becomes U+FFFD, or, when `keep` is set, the marker byte
// and the value itself (see CXmlOut::kKeptMarker).
inline char* PutUtf8(char* at, uint32_t c, bool keep) {
    if (c < 0x80) {
        *at++ = static_cast<char>(c);
        return at;
    }
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
        if (keep) {
            *at++ = static_cast<char>(CXmlOut::kKeptMarker);
            std::memcpy(at, &c, sizeof c);
            return at + sizeof c;
        }
        c = 0xFFFD;
    }
    if (c < 0x800) {
        *at++ = static_cast<char>(0xC0 | (c >> 6));
    } else if (c < 0x10000) {
        *at++ = static_cast<char>(0xE0 | (c >> 12));
        *at++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    } else {
        *at++ = static_cast<char>(0xF0 | (c >> 18));
        *at++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *at++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    }
    *at++ = static_cast<char>(0x80 | (c & 0x3F));
    return at;
}

// One character, escaped when the table says so; room for eight bytes.
inline char* PutChar(char* at, uint32_t c, const Escape* escapes, bool keep) {
    if (escapes != nullptr && c < kEscapedBelow && escapes[c].length != 0) {
        std::memcpy(at, escapes[c].text, sizeof escapes[c].text);
        return at + escapes[c].length;
    }
    return PutUtf8(at, c, keep);
}

// A character that is escaped or encoded: kept out of the copy loops.
__attribute__((noinline)) char* PutSpecial(char* at, uint32_t c, const Escape* escapes, bool keep) {
    return PutChar(at, c, escapes, keep);
}

constexpr size_t kBlock = 16;
static_assert(kBlock <= 16, "CXmlOut::ValueRoom makes room for one block past a value");

#if defined(__SSE2__)
// The mask of the sixteen bytes that are escaped in content, or in an
// attribute value. Three pairs of them differ in one bit only: '<' (0x3C)
// and '>' (0x3E), '"' (0x22) and '&' (0x26), tab (0x09) and carriage return
// (0x0D). With that bit set, each pair is one comparison, and no other byte
// compares equal.
inline unsigned SpecialBytes(__m128i bytes, bool attribute) {
    const auto withBit = [&](char bit) { return _mm_or_si128(bytes, _mm_set1_epi8(bit)); };
    __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(withBit(0x02), _mm_set1_epi8('>')),
                               _mm_cmpeq_epi8(withBit(0x04), _mm_set1_epi8('&')));
    hit = _mm_or_si128(hit, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\'')));
    if (attribute) {
        hit = _mm_or_si128(hit, _mm_cmpeq_epi8(withBit(0x04), _mm_set1_epi8('\r')));
        hit = _mm_or_si128(hit, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n')));
    } else {
        hit = _mm_or_si128(hit, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r')));
    }
    return static_cast<unsigned>(_mm_movemask_epi8(hit));
}
#endif

#if defined(__SSE2__) && WCHAR_MAX > 0xFFFF
// Sixteen characters when all are ASCII: narrowed into `at` (sixteen bytes
// written), and the mask of those that need escaping returned in `special`.
// False, with nothing written, when one of them is not ASCII.
inline bool AsciiBlock(const wchar_t* text, char* at, bool escaping, bool attribute, unsigned& special) {
    const auto* v = reinterpret_cast<const __m128i*>(text);
    const __m128i a = _mm_loadu_si128(v);
    const __m128i b = _mm_loadu_si128(v + 1);
    const __m128i c = _mm_loadu_si128(v + 2);
    const __m128i d = _mm_loadu_si128(v + 3);
    const __m128i high = _mm_and_si128(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d)), _mm_set1_epi32(~0x7F));
    if (_mm_movemask_epi8(_mm_cmpeq_epi32(high, _mm_setzero_si128())) != 0xFFFF) return false;
    const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at), bytes);
    special = escaping ? SpecialBytes(bytes, attribute) : 0;
    return true;
}
#else
inline bool AsciiBlock(const wchar_t* text, char* at, bool escaping, bool attribute, unsigned& special) {
    uint32_t high = 0;
    for (size_t k = 0; k < kBlock; ++k) high |= static_cast<uint32_t>(text[k]);
    if ((high & ~0x7Fu) != 0) return false;
    const Escape* escapes = attribute ? kEscapes.attribute : kEscapes.content;
    special = 0;
    for (size_t k = 0; k < kBlock; ++k) {
        const auto c = static_cast<uint32_t>(text[k]);
        at[k] = static_cast<char>(c);
        if (escaping && c < kEscapedBelow && escapes[c].length != 0) special |= 1u << k;
    }
    return true;
}
#endif

}  // namespace

// The stream form: what is written through it is appended as it is.
class CXmlOut::Buffer : public std::streambuf {
public:
    explicit Buffer(CXmlOut& out) : m_out(out) {}

protected:
    std::streamsize xsputn(const char* text, std::streamsize count) override {
        m_out.Bytes(text, static_cast<size_t>(count));
        return count;
    }
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            const char one = traits_type::to_char_type(c);
            m_out.Bytes(&one, 1);
        }
        return traits_type::not_eof(c);
    }

private:
    CXmlOut& m_out;
};

CXmlOut::CXmlOut(std::string& target) : m_target(target), m_start(target.size()) {
    const size_t used = m_start;
    target.resize(target.capacity() > used + 256 ? target.capacity() : used + 256);
    m_at = &target[0] + used;
    m_end = &target[0] + target.size();
}

CXmlOut::~CXmlOut() { m_target.resize(static_cast<size_t>(m_at - &m_target[0])); }

void CXmlOut::Grow(size_t count) {
    const size_t used = static_cast<size_t>(m_at - &m_target[0]);
    const size_t wanted = used + count + 256;
    m_target.resize(wanted > 2 * m_target.size() ? wanted : 2 * m_target.size());
    m_at = &m_target[0] + used;
    m_end = &m_target[0] + m_target.size();
}

namespace {

// Names are short ASCII: four characters at a time once their length is
// known. Room for five bytes a character is made.
inline char* PutName(char* at, const wchar_t* name, size_t length, bool keep) {
    size_t i = 0;
#if defined(__SSE2__) && WCHAR_MAX > 0xFFFF
    for (; i + 4 <= length; i += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(name + i));
        const __m128i high = _mm_and_si128(v, _mm_set1_epi32(~0x7F));
        if (_mm_movemask_epi8(_mm_cmpeq_epi32(high, _mm_setzero_si128())) != 0xFFFF) break;
        const __m128i words = _mm_packs_epi32(v, v);
        const auto four = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(words, words)));
        std::memcpy(at, &four, sizeof four);
        at += sizeof four;
    }
#endif
    for (; i < length; ++i) at = PutUtf8(at, static_cast<uint32_t>(name[i]), keep);
    return at;
}

// Runs of characters that need neither escaping nor encoding go sixteen at a
// time; the characters that do, one at a time. Room for eight bytes a
// character and one block more is made.
struct Encoding {
    const Escape* escapes;
    const uint8_t* plain;
    bool escaping;
    bool attribute;
    bool keep;
};

inline char* PutText(char* at, const wchar_t* p, const wchar_t* end, const Encoding& how) {
    while (end - p >= static_cast<ptrdiff_t>(kBlock)) {
        unsigned special = 0;
        if (!AsciiBlock(p, at, how.escaping, how.attribute, special)) {
            for (const wchar_t* const stop = p + kBlock; p < stop; ++p) {
                at = PutChar(at, static_cast<uint32_t>(*p), how.escapes, how.keep);
            }
            continue;
        }
        if (special == 0) {
            at += kBlock;
            p += kBlock;
            continue;
        }
        // The plain characters before the first special one are in place.
        const auto run = static_cast<size_t>(__builtin_ctz(special));
        at += run;
        p += run;
        at = PutSpecial(at, static_cast<uint32_t>(*p++), how.escapes, how.keep);
    }
    for (; p < end; ++p) {
        const auto c = static_cast<uint32_t>(*p);
        if (c < 0x80 && how.plain[c] != 0) {
            *at++ = static_cast<char>(c);
        } else {
            at = PutSpecial(at, c, how.escapes, how.keep);
        }
    }
    return at;
}

constexpr size_t kPiece = 4096;

// Well-formed UTF-8 escaped as an attribute value: sixteen bytes at a time
// while none needs escaping, the last few through a padded copy so that
// short values (most are) take no byte-at-a-time loop. Room for six bytes a
// byte and one block more is made.
inline char* PutUtf8Attribute(char* at, const char* p, const char* end) {
    const Escape* const escapes = kEscapes.attribute;
#if defined(__SSE2__)
    while (p < end) {
        const auto left = static_cast<size_t>(end - p);
        size_t count = kBlock;
        __m128i bytes;
        if (left >= kBlock) {
            bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        } else {
            // The last few bytes, read without passing the value's end: two
            // copies of a fixed size that overlap, not a call with a length.
            alignas(16) char padded[kBlock] = {};
            if (left >= 8) {
                std::memcpy(padded, p, 8);
                std::memcpy(padded + left - 8, end - 8, 8);
            } else if (left >= 4) {
                std::memcpy(padded, p, 4);
                std::memcpy(padded + left - 4, end - 4, 4);
            } else {
                for (size_t i = 0; i < left; ++i) padded[i] = p[i];
            }
            bytes = _mm_load_si128(reinterpret_cast<const __m128i*>(padded));
            count = left;
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at), bytes);
        const unsigned special = SpecialBytes(bytes, true) & ((1u << count) - 1);
        if (special == 0) {
            at += count;
            p += count;
            continue;
        }
        // The bytes before the first special one are in place.
        const auto run = static_cast<size_t>(__builtin_ctz(special));
        at += run;
        p += run;
        const auto c = static_cast<unsigned char>(*p++);
        std::memcpy(at, escapes[c].text, sizeof escapes[c].text);
        at += escapes[c].length;
    }
#else
    for (; p < end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c >= 0x80 || kPlain.attribute[c] != 0) {
            *at++ = static_cast<char>(c);
        } else {
            std::memcpy(at, escapes[c].text, sizeof escapes[c].text);
            at += escapes[c].length;
        }
    }
#endif
    return at;
}

}  // namespace

void CXmlOut::Name(const wchar_t* name) {
    const size_t length = std::wcslen(name);
    m_at = PutName(Room(length * 5), name, length, m_keep);
}

void CXmlOut::Encode(const wchar_t* text, size_t length, bool escaping, bool attribute) {
    const Encoding how{escaping ? (attribute ? kEscapes.attribute : kEscapes.content) : nullptr,
                       escaping ? (attribute ? kPlain.attribute : kPlain.content) : kPlain.text, escaping, attribute,
                       m_keep};
    for (const wchar_t* p = text; p < text + length;) {
        const wchar_t* const end = text + length - p > static_cast<ptrdiff_t>(kPiece) ? p + kPiece : text + length;
        m_at = PutText(Room(static_cast<size_t>(end - p) * 8 + kBlock), p, end, how);
        p = end;
    }
}

// An attribute of a name and a value of usual size is one piece: room made
// once for all of it.
void CXmlOut::Attribute(const wchar_t* name, const wchar_t* value, size_t length) {
    const size_t nameLength = std::wcslen(name);
    if (length > kPiece) {
        Literal(" ");
        Name(name);
        Literal("='");
        Encode(value, length, true, true);
        Literal("'");
        return;
    }
    const Encoding how{kEscapes.attribute, kPlain.attribute, true, true, m_keep};
    char* at = Room(nameLength * 5 + length * 8 + kBlock + 4);
    *at++ = ' ';
    at = PutName(at, name, nameLength, m_keep);
    *at++ = '=';
    *at++ = '\'';
    at = PutText(at, value, value + length, how);
    *at++ = '\'';
    m_at = at;
}

char* CXmlOut::PutAttributeValue(char* at, const char* value, size_t length) {
    return PutUtf8Attribute(at, value, value + length);
}

void CXmlOut::IndentLong(size_t count) {
    char* at = Room(count);
    std::memset(at, ' ', count);
    m_at = at + count;
}

void CXmlOut::StartTag(int level, const wchar_t* tag) {
    Indent(level);
    Literal("<");
    Name(tag);
}

void CXmlOut::StartTag(int level, const std::wstring& tag) {
    Indent(level);
    Literal("<");
    Text(tag);
}

void CXmlOut::EndTag(int level, const wchar_t* tag) {
    Indent(level);
    Literal("</");
    Name(tag);
    Literal(">\n");
}

void CXmlOut::EndTag(int level, const std::wstring& tag) {
    Indent(level);
    Literal("</");
    Text(tag);
    Literal(">\n");
}

void CXmlOut::StartTag(int level, const std::string& tag) {
    Indent(level);
    Literal("<");
    Bytes(tag.data(), tag.size());
}

void CXmlOut::EndTag(int level, const std::string& tag) {
    Indent(level);
    Literal("</");
    Bytes(tag.data(), tag.size());
    Literal(">\n");
}

std::ostream& CXmlOut::Stream() {
    if (!m_stream) {
        m_buffer = std::make_unique<Buffer>(*this);
        m_stream = std::make_unique<std::ostream>(m_buffer.get());
    }
    return *m_stream;
}

bool CXmlOut::IsWriterStream(const std::ostream& out) { return dynamic_cast<const Buffer*>(out.rdbuf()) != nullptr; }

}  // namespace XmlUtils
}  // namespace cml
}  // namespace ovx
