// Documents write UTF-8, and a wide stream gets the characters back: a
// value UTF-8 cannot carry (not a Unicode scalar) must still reach a wide
// stream as it was given, while a narrow stream gets U+FFFD for it.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "cml/core/cmlMessage.h"

using namespace ovx::cml;

namespace {

struct Carried {
    wchar_t value;
    const char* utf8;  // what a narrow stream must hold for it
};
const Carried kCarried[] = {
    {static_cast<wchar_t>(0xD800), "\xEF\xBF\xBD"},        // first surrogate
    {static_cast<wchar_t>(0xDFFF), "\xEF\xBF\xBD"},        // last surrogate
    {static_cast<wchar_t>(0x110000), "\xEF\xBF\xBD"},      // past the last code point
    {static_cast<wchar_t>(-5), "\xEF\xBF\xBD"},            // no code point at all
    {static_cast<wchar_t>(0x10FFFF), "\xF4\x8F\xBF\xBF"},  // the last code point
    {static_cast<wchar_t>(0xFF), "\xC3\xBF"},
};

}  // namespace

TEST(XmlOut, AWideStreamGetsEveryValueAsGivenAndANarrowOneUtf8) {
    for (const Carried& carried : kCarried) {
        // Before, inside and after a run of plain text, which the writer
        // copies in blocks of sixteen.
        for (size_t at : {0u, 1u, 15u, 16u, 17u, 40u}) {
            std::wstring text(40, L'x');
            text.insert(at, 1, carried.value);
            text += L"&";
            std::string utf8(40, 'x');
            utf8.insert(at, carried.utf8);
            utf8 += "&amp;";
            CCmlErrorResponse response;
            response.SetText(text.c_str());
            std::wostringstream wide;
            response.WriteAttributes(wide);
            std::ostringstream narrow;
            response.WriteAttributes(narrow);
            const std::wstring wideText = L" text='" + text.substr(0, text.size() - 1) + L"&amp;'";
            EXPECT_NE(std::wstring::npos, wide.str().find(wideText)) << std::hex << carried.value << " at " << at;
            EXPECT_NE(std::string::npos, narrow.str().find(" text='" + utf8 + "'")) << carried.utf8 << " at " << at;
        }
    }
}
