#include "tools/ovxXmlChars.h"

namespace ovxToolsLib {
namespace {

bool IsForbiddenControl(unsigned char c) { return c < 0x20 && c != '\t' && c != '\n' && c != '\r'; }

}  // namespace

bool ovxIsXmlText(const char* text, size_t length) {
    if (text == nullptr) return true;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    for (size_t i = 0; i < length; ++i) {
        if (IsForbiddenControl(bytes[i])) return false;
        // U+FFFE and U+FFFF are EF BF BE and EF BF BF.
        if (bytes[i] == 0xEF && i + 2 < length && bytes[i + 1] == 0xBF &&
            (bytes[i + 2] == 0xBE || bytes[i + 2] == 0xBF))
            return false;
    }
    return true;
}

bool ovxIsXmlText(const std::wstring& text) {
    for (wchar_t c : text) {
        const auto code = static_cast<unsigned long>(c);
        if (code < 0x20 && IsForbiddenControl(static_cast<unsigned char>(code))) return false;
        if (code == 0xFFFE || code == 0xFFFF) return false;
    }
    return true;
}

}  // namespace ovxToolsLib
