// UTF-8 <-> wide conversion, lenient on bad input.
#include <gtest/gtest.h>

#include <locale>
#include <string>

#include "tools/ovxCodecvt.h"

using namespace ovxToolsLib;
using Unicode = ovxUnicode<wchar_t>;

TEST(Utf8, RoundTripsOneToFourByteSequences) {
    const std::wstring text = L"A\u00e9\u20ac\U0001F600z";
    bool clean = false;
    std::string utf8 = Unicode::ToUtf8(text, &clean);
    EXPECT_TRUE(clean);
    EXPECT_EQ("A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z", utf8);
    EXPECT_EQ(text, Unicode::FromUtf8(utf8, &clean));
    EXPECT_TRUE(clean);
}

TEST(Utf8, InvalidInputBecomesReplacementCharacters) {
    struct Case {
        std::string bytes;
        std::wstring expected;
    } cases[] = {
        {"a\xFF"
         "b",
         L"a\uFFFDb"},                                      // never valid byte
        {"\xC3", L"\uFFFD"},                                // truncated sequence
        {"\xC0\xAF", L"\uFFFD\uFFFD"},                      // overlong slash
        {"\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},            // surrogate half
        {"\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
    };
    for (const auto& c : cases) {
        bool clean = true;
        std::wstring decoded = Unicode::FromUtf8(c.bytes, &clean);
        EXPECT_FALSE(clean);
        EXPECT_EQ(c.expected, decoded);
    }
    bool clean = true;
    std::wstring lone = {static_cast<wchar_t>(0xD800)};
    EXPECT_EQ("\xEF\xBF\xBD", Unicode::ToUtf8(lone, &clean));
    EXPECT_FALSE(clean);
}

TEST(Utf8, FacetConvertsThroughAStandardLocale) {
    std::locale locale(std::locale::classic(), new COvxCodecvt());
    const auto& facet = std::use_facet<std::codecvt<wchar_t, char, std::mbstate_t>>(locale);
    EXPECT_EQ(4, facet.max_length());
    std::wstring text = L"\u00e9t\u00e9";
    std::mbstate_t state{};
    char out[16];
    const wchar_t* fromNext = nullptr;
    char* toNext = nullptr;
    ASSERT_EQ(std::codecvt_base::ok,
              facet.out(state, text.data(), text.data() + text.size(), fromNext, out, out + sizeof(out), toNext));
    EXPECT_EQ("\xC3\xA9t\xC3\xA9", std::string(out, toNext));
    wchar_t back[8];
    const char* inNext = nullptr;
    wchar_t* backNext = nullptr;
    ASSERT_EQ(std::codecvt_base::ok, facet.in(state, out, toNext, inNext, back, back + 8, backNext));
    EXPECT_EQ(text, std::wstring(back, backNext));
}
