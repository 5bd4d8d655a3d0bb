// Text a thread wrote last time, kept with a key of everything it was
// written from: an agent's heartbeats repeat most of themselves (the root
// tag, the schema and module lists), and a piece whose key is the same is
// that text again. The key is written once, when a text is kept, and read
// in place each time the piece is written, both through one description of
// what the piece is written from, so that the two cannot drift apart.
#ifndef OVX_CML_CORE_CMLKEPTTEXT_H
#define OVX_CML_CORE_CMLKEPTTEXT_H

#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "cml/core/cmlXmlOut.h"

namespace ovx {
namespace cml {
namespace XmlUtils {

struct CKeptText {
    std::string key;
    std::string text;
};

class CKeyWriter {
public:
    explicit CKeyWriter(std::string& key) : m_key(key) {}
    bool Bytes(const void* bytes, size_t length) {
        m_key.append(static_cast<const char*>(bytes), length);
        return true;
    }
    template <class Char>
    bool Text(std::basic_string_view<Char> text) {
        const auto length = static_cast<uint32_t>(text.size());
        return Bytes(&length, sizeof length) && Bytes(text.data(), text.size() * sizeof(Char));
    }

private:
    std::string& m_key;
};

// Compares in place, with no copy: false at the first difference.
class CKeyReader {
public:
    explicit CKeyReader(const std::string& key) : m_at(key.data()), m_end(key.data() + key.size()) {}
    bool Bytes(const void* bytes, size_t length) {
        if (static_cast<size_t>(m_end - m_at) < length || std::memcmp(m_at, bytes, length) != 0) return false;
        m_at += length;
        return true;
    }
    template <class Char>
    bool Text(std::basic_string_view<Char> text) {
        const auto length = static_cast<uint32_t>(text.size());
        return Bytes(&length, sizeof length) && Bytes(text.data(), text.size() * sizeof(Char));
    }
    bool AtEnd() const { return m_at == m_end; }

private:
    const char* m_at;
    const char* m_end;
};

// What `write` writes into `out`, or the text kept in `kept` when
// `keyOf(key)` (for a CKeyReader and a CKeyWriter alike) describes the same
// key it was kept with. `keyOf` returns false for a piece that cannot be
// kept; a text longer than `limit` bytes is not kept either.
template <class KeyOf, class Write>
void WriteKept(CXmlOut& out, CKeptText& kept, size_t limit, KeyOf keyOf, Write write) {
    CKeyReader same(kept.key);
    if (!kept.key.empty() && keyOf(same) && same.AtEnd()) {
        out.Bytes(kept.text.data(), kept.text.size());
        return;
    }
    const size_t start = out.Size();
    write();
    const size_t length = out.Size() - start;
    kept.key.clear();  // a text that cannot be kept leaves none
    // Keeping is best effort: short of memory, the text is written and not kept.
    try {
        std::string key;
        CKeyWriter writer(key);
        if (length > limit || !keyOf(writer)) return;
        kept.text.assign(out.Data() + start, length);
        kept.key.swap(key);
    } catch (const std::bad_alloc&) {
        kept.key.clear();
    }
}

}  // namespace XmlUtils
}  // namespace cml
}  // namespace ovx

#endif  // OVX_CML_CORE_CMLKEPTTEXT_H
