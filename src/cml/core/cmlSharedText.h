// Texts that many CML objects hold alike: namespaces, tag names, schema
// versions. A heartbeat holds a hundred schema namespaces and a few dozen
// documents' names, the same in every heartbeat; each such text is held once
// for the process and shared, so that copying an object copies a pointer
// and freeing one frees no text.
//
// What is held is bounded, as texts also come from servers' answers: per
// kind of character, the first 1,024 texts of at most 256 characters, 64 KB
// in all. Any other text is a copy of its own, freed with the last object
// that holds it.
#ifndef OVX_CML_CORE_CMLSHAREDTEXT_H
#define OVX_CML_CORE_CMLSHAREDTEXT_H

#include <memory>
#include <string>
#include <string_view>

namespace ovx {
namespace cml {

template <class Char>
class CSharedText {
public:
    using Text = std::basic_string<Char>;

    CSharedText() = default;
    explicit CSharedText(std::basic_string_view<Char> text) : m_text(Share(text)) {}
    CSharedText& operator=(std::basic_string_view<Char> text) {
        m_text = Share(text);
        return *this;
    }
    // Empty also once moved from.
    const Text& Get() const { return m_text ? *m_text : Empty(); }

private:
    static std::shared_ptr<const Text> Share(std::basic_string_view<Char> text);
    static const Text& Empty();

    std::shared_ptr<const Text> m_text;  // null for the empty text
};

extern template class CSharedText<char>;
extern template class CSharedText<wchar_t>;

}  // namespace cml
}  // namespace ovx

#endif  // OVX_CML_CORE_CMLSHAREDTEXT_H
