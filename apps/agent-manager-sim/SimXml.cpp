#include "SimXml.h"

#include <strings.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace ovxSim {

namespace {

// What each byte may be, looked up rather than compared: the scan runs
// over every byte of every post.
enum : unsigned char { kSpace = 1, kNameStart = 2, kNameChar = 4, kPlain = 8 };

struct Classes {
    unsigned char of[256] = {};
    Classes() {
        for (int c = 0; c < 256; ++c) {
            const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
            const bool space = c == ' ' || c == '\t' || c == '\n' || c == '\r';
            of[c] =
                static_cast<unsigned char>((space ? kSpace : 0) | (letter ? kNameStart | kNameChar : 0) |
                                           ((c >= '0' && c <= '9') || c == '.' || c == '-' ? kNameChar : 0) |
                                           // Taken as it is in a value or text: ASCII, no control
                                           // character, nothing that starts markup or a reference.
                                           (c >= 0x20 && c < 0x80 && c != '<' && c != '&' && c != '>' ? kPlain : 0));
        }
    }
};
const Classes kClasses;

bool Is(char c, unsigned char what) { return (kClasses.of[static_cast<unsigned char>(c)] & what) != 0; }
bool Space(char c) { return Is(c, kSpace); }
bool NameStart(char c) { return Is(c, kNameStart); }
bool NameChar(char c) { return Is(c, kNameChar); }

// The length of the well-formed UTF-8 sequence of one character XML allows
// at `p` (its first byte 0x80 or above), or 0.
size_t Utf8Char(const unsigned char* p, const unsigned char* end) {
    const auto follows = [&](size_t i, unsigned char low, unsigned char high) {
        return p + i < end && p[i] >= low && p[i] <= high;
    };
    const unsigned char c = p[0];
    if (c >= 0xC2 && c <= 0xDF) return follows(1, 0x80, 0xBF) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        const unsigned char low = c == 0xE0 ? 0xA0 : 0x80, high = c == 0xED ? 0x9F : 0xBF;
        if (!follows(1, low, high) || !follows(2, 0x80, 0xBF)) return 0;
        return c == 0xEF && p[1] == 0xBF && p[2] >= 0xBE ? 0 : 3;  // U+FFFE and U+FFFF are no characters
    }
    if (c >= 0xF0 && c <= 0xF4) {
        const unsigned char low = c == 0xF0 ? 0x90 : 0x80, high = c == 0xF4 ? 0x8F : 0xBF;
        return follows(1, low, high) && follows(2, 0x80, 0xBF) && follows(3, 0x80, 0xBF) ? 4 : 0;
    }
    return 0;
}

void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

class Scanner {
public:
    Scanner(const char* data, size_t size, void* user, XmlStart start, XmlEnd end)
        : m_p(data), m_end(data + size), m_user(user), m_start(start), m_endTag(end) {}

    bool Document() {
        if (!Declaration()) return false;
        SkipSpace();
        if (m_p == m_end || *m_p != '<' || !Element()) return false;
        SkipSpace();
        return m_p == m_end;
    }

private:
    // The loops over bytes run on locals: m_p, a member, would be read
    // again after every write to a string.
    void SkipSpace() {
        const char* p = m_p;
        while (p < m_end && Space(*p)) ++p;
        m_p = p;
    }
    bool Literal(const char* text) {
        const size_t length = std::strlen(text);
        if (static_cast<size_t>(m_end - m_p) < length || std::memcmp(m_p, text, length) != 0) return false;
        m_p += length;
        return true;
    }
    // A name at m_p, appended to `out`; false when none starts there.
    bool Name(std::string& out) {
        const char *first = m_p, *p = m_p, *const end = m_end;
        if (p == end || !NameStart(*p)) return false;
        while (p < end && NameChar(*p)) ++p;
        if (p < end && static_cast<unsigned char>(*p) >= 0x80) return false;  // a name beyond ASCII
        m_p = p;
        out.append(first, static_cast<size_t>(p - first));
        return true;
    }
    // The declaration, when there is one: version 1.0, UTF-8 if it names an
    // encoding, standalone yes or no.
    bool Declaration() {
        if (!Literal("<?xml")) return m_end - m_p < 2 || std::memcmp(m_p, "<?", 2) != 0;
        static const char* const kNames[] = {"version", "encoding", "standalone"};
        size_t next = 0;
        std::string name, value;
        for (;;) {
            const char* before = m_p;
            SkipSpace();
            if (Literal("?>")) return next > 0;
            name.clear();
            value.clear();
            if (m_p == before || !Name(name) || !Equals()) return false;
            const char* quoted = m_p;
            if (!Value(value) || std::memchr(quoted, '&', static_cast<size_t>(m_p - quoted)) != nullptr) return false;
            while (next < 3 && name != kNames[next]) {
                if (next == 0) return false;  // the version comes first
                ++next;
            }
            if (next == 3) return false;
            bool known = false;
            if (next == 0) known = value == "1.0";
            if (next == 1) known = strcasecmp(value.c_str(), "UTF-8") == 0;
            if (next == 2) known = value == "yes" || value == "no";
            if (!known) return false;
            ++next;
        }
    }
    bool Equals() {
        SkipSpace();
        if (!Literal("=")) return false;
        SkipSpace();
        return true;
    }
    // A reference after its '&', its text appended to `out`.
    bool Reference(std::string& out) {
        static const char* const kEntities[][2] = {
            {"lt;", "<"}, {"gt;", ">"}, {"amp;", "&"}, {"apos;", "'"}, {"quot;", "\""}};
        for (const auto& entity : kEntities) {
            if (Literal(entity[0])) {
                out += entity[1];
                return true;
            }
        }
        if (!Literal("#")) return false;
        const bool hex = Literal("x");
        uint32_t code = 0;
        const char* digits = m_p;
        for (; m_p < m_end && *m_p != ';'; ++m_p) {
            const char c = *m_p;
            int digit = -1;
            if (c >= '0' && c <= '9') digit = c - '0';
            if (hex && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
            if (hex && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
            if (digit < 0) return false;
            code = code * (hex ? 16 : 10) + static_cast<uint32_t>(digit);
            if (code > 0x10FFFF) return false;
        }
        if (m_p == digits || m_p == m_end) return false;
        ++m_p;
        const bool character = code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code <= 0xD7FF) ||
                               (code >= 0xE000 && code <= 0xFFFD) || code >= 0x10000;
        if (!character) return false;
        AppendUtf8(out, code);
        return true;
    }
    // One character XML allows beyond ASCII, copied to `out` when given.
    bool Wide(std::string* out) {
        const size_t length =
            Utf8Char(reinterpret_cast<const unsigned char*>(m_p), reinterpret_cast<const unsigned char*>(m_end));
        if (length == 0) return false;
        if (out != nullptr) out->append(m_p, length);
        m_p += length;
        return true;
    }
    // A quoted attribute value, normalized as a parser without a document
    // type does: references replaced, each line break and tab a space.
    bool Value(std::string& out) {
        if (m_p == m_end || (*m_p != '\'' && *m_p != '"')) return false;
        const char quote = *m_p++;
        // The value ends at the next quote of its kind (it cannot hold one).
        const void* found = std::memchr(m_p, quote, static_cast<size_t>(m_end - m_p));
        if (found == nullptr) return false;
        const char* const close = static_cast<const char*>(found);
        while (m_p < close) {
            const char c = *m_p;
            const char* plain = m_p;
            const char* p = m_p;
            while (p < close && Is(*p, kPlain)) ++p;
            if (p != plain) {
                m_p = p;
                out.append(plain, static_cast<size_t>(p - plain));
                continue;
            }
            if (c == '>') {
                out += *m_p++;
            } else if (c == '&') {
                ++m_p;
                if (!Reference(out)) return false;
            } else if (c == '\t' || c == '\n' || c == '\r') {
                ++m_p;
                if (c == '\r' && m_p < m_end && *m_p == '\n') ++m_p;  // one line break
                out += ' ';
            } else if (static_cast<unsigned char>(c) >= 0x80) {
                if (!Wide(&out)) return false;
            } else {
                return false;  // '<' or a control character
            }
        }
        if (m_p == m_end) return false;
        ++m_p;
        return true;
    }
    // Character data up to the next '<': checked, not kept.
    bool Text() {
        std::string ignored;
        while (m_p < m_end && *m_p != '<') {
            const unsigned char c = static_cast<unsigned char>(*m_p);
            if (Is(*m_p, kPlain | kSpace)) {
                const char* p = m_p + 1;
                while (p < m_end && Is(*p, kPlain | kSpace)) ++p;
                m_p = p;
            } else if (c == '&') {
                ++m_p;
                ignored.clear();
                if (!Reference(ignored)) return false;
            } else if (c >= 0x80) {
                if (!Wide(nullptr)) return false;
            } else if (c < 0x20 && !Space(*m_p)) {
                return false;
            } else if (c == '>' && m_p - m_root >= 2 && m_p[-1] == ']' && m_p[-2] == ']') {
                return false;  // "]]>" may not appear in text
            } else {
                ++m_p;
            }
        }
        return true;
    }
    // A start tag at its '<': its name and attributes; false for anything
    // else. *empty when it closes itself.
    bool StartTag(bool* empty) {
        ++m_p;
        m_attributes.clear();
        m_offsets.clear();
        if (!Name(m_attributes)) return false;
        m_attributes += '\0';
        for (;;) {
            const char* before = m_p;
            SkipSpace();
            if (Literal(">")) break;
            if (Literal("/>")) {
                *empty = true;
                break;
            }
            const size_t name = m_attributes.size();
            if (m_p == before || !Name(m_attributes)) return false;
            m_attributes += '\0';
            const size_t value = m_attributes.size();
            if (!Equals() || !Value(m_attributes)) return false;
            m_attributes += '\0';
            for (size_t i = 0; i < m_offsets.size(); i += 2) {
                const char* other = m_attributes.c_str() + m_offsets[i];
                if (other[0] == m_attributes[name] && std::strcmp(other, m_attributes.c_str() + name) == 0)
                    return false;
            }
            m_offsets.push_back(name);
            m_offsets.push_back(value);
        }
        m_pointers.clear();
        for (size_t offset : m_offsets) m_pointers.push_back(m_attributes.c_str() + offset);
        m_pointers.push_back(nullptr);
        return true;
    }
    // The root element, and within it every element, with the text between.
    bool Element() {
        m_root = m_p;
        for (;;) {
            if (m_p < m_end && *m_p == '<' && m_p + 1 < m_end && m_p[1] == '/') {
                m_p += 2;
                const char* name = m_p;
                if (m_open.empty() || !Literal(m_open.c_str() + m_depths.back())) return false;
                if (m_p == name || (m_p < m_end && NameChar(*m_p))) return false;
                SkipSpace();
                if (!Literal(">")) return false;
                m_endTag(m_user, m_open.c_str() + m_depths.back());
                m_open.resize(m_depths.back());
                m_depths.pop_back();
                if (m_depths.empty()) return true;
            } else if (m_p < m_end && *m_p == '<') {
                bool empty = false;
                if (!StartTag(&empty)) return false;
                m_start(m_user, m_attributes.c_str(), m_pointers.data());
                if (empty) {
                    m_endTag(m_user, m_attributes.c_str());
                    if (m_depths.empty()) return true;
                } else {
                    m_depths.push_back(m_open.size());
                    m_open.append(m_attributes.c_str()).push_back('\0');
                }
            }
            if (m_p == m_end || !Text()) return false;
        }
    }

    const char* m_p;
    const char* const m_end;
    const char* m_root = nullptr;  // the root's '<'
    void* m_user;
    XmlStart m_start;
    XmlEnd m_endTag;
    // The names of the open elements, each ended by a NUL, and where each
    // begins.
    std::string m_open;
    std::vector<size_t> m_depths;
    // The tag being read: its name, then each attribute's name and value,
    // each ended by a NUL; where each attribute's begin; as pointers.
    std::string m_attributes;
    std::vector<size_t> m_offsets;
    std::vector<const char*> m_pointers;
};

}  // namespace

PlainXml ReadPlainXml(const char* data, size_t size, void* user, XmlStart start, XmlEnd end) {
    Scanner scanner(data, size, user, start, end);
    return scanner.Document() ? PlainXml::kRead : PlainXml::kGiveUp;
}

}  // namespace ovxSim
