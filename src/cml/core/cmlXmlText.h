// Text crossing between Xerces (UTF-16 XMLCh) and the CML layer (wide,
// 32-bit), and DOM failures turned into the layer's own exception.
#ifndef OVX_CML_CORE_CMLXMLTEXT_H
#define OVX_CML_CORE_CMLXMLTEXT_H

#include <xercesc/dom/DOMException.hpp>
#include <xercesc/util/XercesDefs.hpp>

#include <cstdint>
#include <string>
#include <string_view>

#include "ovxStatus.h"

namespace ovx {
namespace cml {
namespace XmlUtils {

// UTF-16 to wide; surrogate pairs are joined and a lone surrogate becomes
// U+FFFD. NULL gives the empty string.
std::wstring ToWide(const XMLCh* text);
// The same into `out`, replacing its content but keeping its storage, so a
// buffer that is reused does not reallocate for text that fits.
void AssignWide(std::wstring& out, const XMLCh* text);
// Whether ToWide(text) == wanted, without making the wide text: for names
// and namespaces that are compared and not kept.
bool SameText(const XMLCh* text, std::wstring_view wanted);
// UTF-16 text widened for the length of a look-up or comparison: on the
// stack when short, as names, namespaces and versions are. NULL reads as
// empty. Not copyable: c_str() may point into the object.
class CWideText {
public:
    explicit CWideText(const XMLCh* text);
    CWideText(const CWideText&) = delete;
    CWideText& operator=(const CWideText&) = delete;
    const wchar_t* c_str() const { return m_text; }
    std::wstring_view view() const { return {m_text, m_length}; }

private:
    static constexpr size_t kSmall = 128;
    const wchar_t* m_text;
    size_t m_length;
    wchar_t m_small[kSmall];  // written up to its terminator when used
    std::wstring m_long;
};

// Wide to UTF-16; characters above U+FFFF become surrogate pairs, values
// that are not characters become U+FFFD.
std::u16string ToXml(const std::wstring& text);

// Status code of a DOM exception code, so its text comes from the catalog:
// 1..18 → OVX_I_DOM_INDEX_SIZE.., 20..30 → OVX_I_DOM_ABORT.., 32 → OVX_I_DOM_VERSION; any other
// value is returned unchanged. DomCodeFromStatus is the inverse.
uint32_t DomCodeToStatus(uint32_t domCode);
uint32_t DomCodeFromStatus(uint32_t status);

// Throws CCmlException(operation, the DOM message, the DOM code's status).
[[noreturn]] void ThrowDomError(const wchar_t* operation, const xercesc::DOMException& error);

}  // namespace XmlUtils
}  // namespace cml
}  // namespace ovx

#endif  // OVX_CML_CORE_CMLXMLTEXT_H
