#include "cml/core/cmlXmlText.h"

#include "cml/core/cmlException.h"

#include <xercesc/util/XMLString.hpp>

#include <cwchar>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ovx {
namespace cml {
namespace XmlUtils {

std::wstring ToWide(const XMLCh* text) {
    std::wstring out;
    AssignWide(out, text);
    return out;
}

namespace {

// Widens [p, end) into `to`, which has room for end - p characters (surrogate
// pairs only shrink the text); returns the end of what was written.
wchar_t* Widen(const XMLCh* p, const XMLCh* const end, wchar_t* to) {
#if defined(__SSE2__) && WCHAR_MAX > 0xFFFF
    // Eight units at a time while none is a surrogate, as in nearly every
    // text a server sends: each widened as it is.
    const __m128i zero = _mm_setzero_si128();
    const __m128i surrogateBits = _mm_set1_epi16(static_cast<short>(0xF800));
    const __m128i surrogate = _mm_set1_epi16(static_cast<short>(0xD800));
    for (; end - p >= 8; p += 8, to += 8) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(units, surrogateBits), surrogate)) != 0) break;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_unpacklo_epi16(units, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 4), _mm_unpackhi_epi16(units, zero));
    }
#endif
    for (; p != end; ++p) {
        const char32_t unit = *p;
        if (unit < 0xD800 || unit > 0xDFFF) {
            *to++ = static_cast<wchar_t>(unit);
        } else if (unit <= 0xDBFF && p + 1 != end && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
            *to++ = static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (p[1] - 0xDC00));
            ++p;
        } else {
            *to++ = static_cast<wchar_t>(0xFFFD);
        }
    }
    return to;
}

}  // namespace

void AssignWide(std::wstring& out, const XMLCh* text) {
    out.clear();
    if (text == nullptr) return;
    // One allocation of the final size, not a doubling series whose last
    // steps hold two large copies at once; the characters are stored through
    // a pointer, without a capacity check each, and the string cut to what
    // was written.
    const XMLCh* const end = text + xercesc::XMLString::stringLen(text);
    out.resize(static_cast<size_t>(end - text));
    wchar_t* to = Widen(text, end, &out[0]);
    out.resize(static_cast<size_t>(to - out.data()));
}

bool SameText(const XMLCh* text, std::wstring_view wanted) {
    if (text == nullptr) return wanted.empty();
    size_t at = 0;
    for (const XMLCh* p = text; *p != 0; ++p, ++at) {
        if (at == wanted.size()) return false;
        char32_t unit = *p;
        if (unit >= 0xD800 && unit <= 0xDFFF) {  // as ToWide joins or replaces it
            if (unit <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (p[1] - 0xDC00);
                ++p;
            } else {
                unit = 0xFFFD;
            }
        }
        if (static_cast<uint32_t>(wanted[at]) != static_cast<uint32_t>(unit)) return false;
    }
    return at == wanted.size();
}

CWideText::CWideText(const XMLCh* text) {
    const XMLCh* const end = text != nullptr ? text + xercesc::XMLString::stringLen(text) : text;
    const auto length = static_cast<size_t>(end - text);
    if (length < kSmall) {
        m_text = m_small;
        m_length = static_cast<size_t>(Widen(text, end, m_small) - m_small);
        m_small[m_length] = L'\0';
        return;
    }
    AssignWide(m_long, text);
    m_text = m_long.c_str();
    m_length = m_long.size();
}

std::u16string ToXml(const std::wstring& text) {
    std::u16string out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        auto value = static_cast<uint32_t>(c);
        if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
            out.push_back(u'\xFFFD');
        } else if (value >= 0x10000) {
            value -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (value >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (value & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(value));
        }
    }
    return out;
}

uint32_t DomCodeToStatus(uint32_t domCode) {
    if (domCode >= 1 && domCode <= 18) return OVX_I_DOM_INDEX_SIZE + (domCode - 1);
    if (domCode >= 20 && domCode <= 30) return OVX_I_DOM_ABORT + (domCode - 20);
    if (domCode == 32) return OVX_I_DOM_VERSION;
    return domCode;
}

uint32_t DomCodeFromStatus(uint32_t status) {
    if (status >= OVX_I_DOM_INDEX_SIZE && status <= OVX_I_DOM_SECURITY) return status - OVX_I_DOM_INDEX_SIZE + 1;
    if (status >= OVX_I_DOM_ABORT && status <= OVX_I_DOM_DATA) return status - OVX_I_DOM_ABORT + 20;
    if (status == OVX_I_DOM_VERSION) return 32;
    return status;
}

void ThrowDomError(const wchar_t* operation, const xercesc::DOMException& error) {
    throw CCmlException(operation, ToWide(error.getMessage()), DomCodeToStatus(static_cast<uint32_t>(error.code)));
}

}  // namespace XmlUtils
}  // namespace cml
}  // namespace ovx
