// Conversion between wide text (32-bit characters) and UTF-8.
//
// Conversion is lenient: an ill-formed UTF-8 sequence, a lone surrogate or a
// value above U+10FFFF becomes U+FFFD instead of failing, so text from the
// network can always be carried; `clean` reports whether that happened.
#ifndef OVX_TOOLS_OVXCODECVT_H
#define OVX_TOOLS_OVXCODECVT_H

#include <cwchar>
#include <locale>
#include <string>

namespace ovxToolsLib {

constexpr char32_t kOvxReplacementCharacter = 0xFFFD;

template <class CharT>
struct ovxUnicode;

template <>
struct ovxUnicode<wchar_t> {
    static std::string ToUtf8(const wchar_t* text, size_t length, bool* clean = nullptr);
    static std::string ToUtf8(const std::wstring& text, bool* clean = nullptr) {
        return ToUtf8(text.data(), text.size(), clean);
    }
    static std::wstring FromUtf8(const char* text, size_t length, bool* clean = nullptr);
    static std::wstring FromUtf8(const std::string& text, bool* clean = nullptr) {
        return FromUtf8(text.data(), text.size(), clean);
    }
};

// `text` as well-formed UTF-8: the bytes as they are, each ill-formed
// sequence replaced as FromUtf8 replaces it, so that the result is what
// ToUtf8(FromUtf8(text)) would give without the detour through wide text.
std::string ovxCleanUtf8(const char* text, size_t length, bool* clean = nullptr);

// Appends the UTF-8 form of one character; returns false (and appends U+FFFD)
// for a surrogate or a value above U+10FFFF.
bool ovxAppendUtf8(std::string& out, char32_t character);

// Decodes one character from [*cursor, end). Returns 0 for an incomplete
// sequence at the end (nothing consumed), 1 for a character, -1 for an
// ill-formed sequence (one byte consumed, *character = U+FFFD).
int ovxDecodeUtf8(const char** cursor, const char* end, char32_t* character);

// A conversion facet that, imbued into a wide stream, writes and reads UTF-8.
class COvxCodecvt : public std::codecvt<wchar_t, char, std::mbstate_t> {
public:
    explicit COvxCodecvt(size_t references = 0) : std::codecvt<wchar_t, char, std::mbstate_t>(references) {}

protected:
    result do_out(state_type& state, const intern_type* from, const intern_type* fromEnd, const intern_type*& fromNext,
                  extern_type* to, extern_type* toEnd, extern_type*& toNext) const override;
    result do_in(state_type& state, const extern_type* from, const extern_type* fromEnd, const extern_type*& fromNext,
                 intern_type* to, intern_type* toEnd, intern_type*& toNext) const override;
    result do_unshift(state_type&, extern_type* to, extern_type*, extern_type*& toNext) const override {
        toNext = to;
        return noconv;
    }
    int do_encoding() const noexcept override { return 0; }
    bool do_always_noconv() const noexcept override { return false; }
    int do_length(state_type& state, const extern_type* from, const extern_type* end, size_t max) const override;
    int do_max_length() const noexcept override { return 4; }
};

}  // namespace ovxToolsLib

#endif  // OVX_TOOLS_OVXCODECVT_H
