// UTF-8 <-> wide conversion, lenient on bad input.
#include <gtest/gtest.h>

#include <locale>
#include <string>

#include "tools/ovxCodecvt.h"

using namespace ovxToolsLib;
using Unicode = ovxUnicode<wchar_t>;

TEST(Utf8, InvalidInputBecomesReplacementCharacters) {
    const std::pair<std::string, std::wstring> cases[] = {
        {std::string("a\xFF") + "b", L"a\uFFFDb"},          // never valid byte
        {"\xC3", L"\uFFFD"},                                // truncated sequence
        {"\xC0\xAF", L"\uFFFD\uFFFD"},                      // overlong slash
        {"\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},            // surrogate half
        {"\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
    };
    for (const auto& [bytes, expected] : cases) {
        bool clean = true;
        EXPECT_EQ(expected, Unicode::FromUtf8(bytes, &clean));
        EXPECT_FALSE(clean);
    }
    bool clean = true;
    EXPECT_EQ("\xEF\xBF\xBD", Unicode::ToUtf8(std::wstring(1, static_cast<wchar_t>(0xD800)), &clean));  // a lone half
    EXPECT_FALSE(clean);
}

// Long text is decoded in pieces, ASCII several bytes at a time: multi-byte
// sequences and bad bytes land at every offset of a piece, and the text is
// longer than several pieces.
TEST(Utf8, LongMixedTextDecodesWhateverTheOffsetOfEachSequence) {
    const std::pair<const char*, std::wstring> sequences[] = {
        {"\xC3\xA9", L"\u00e9"}, {"\xE2\x82\xAC", L"\u20ac"}, {"\xF0\x9F\x98\x80", L"\U0001F600"}, {"\xFF", L"\uFFFD"}};
    std::string utf8;
    std::wstring expected;
    for (int i = 0; i < 600; ++i) {
        utf8 += std::string("abcdefghijklmnopqr", i % 19);
        expected += std::wstring(L"abcdefghijklmnopqr", i % 19);
        utf8 += sequences[i % 4].first;
        expected += sequences[i % 4].second;
    }
    utf8 += std::string(1, '\0') + "tail";
    expected += std::wstring(1, L'\0') + L"tail";
    bool clean = true;
    EXPECT_EQ(expected, Unicode::FromUtf8(utf8, &clean));
    EXPECT_FALSE(clean);  // the 0xFF bytes
    // The same without the bad bytes is clean, and a sequence cut off by
    // the end of a long text gives one replacement character.
    std::string good;
    std::wstring goodExpected;
    for (int i = 0; i < 300; ++i) {
        good += std::string(i % 11, 'x') + "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
        goodExpected += std::wstring(i % 11, L'x') + L"\u00e9\u20ac\U0001F600";
    }
    EXPECT_EQ(goodExpected, Unicode::FromUtf8(good, &clean));
    EXPECT_TRUE(clean);
    EXPECT_EQ(goodExpected + L"\uFFFD", Unicode::FromUtf8(good + "\xF0\x9F", &clean));
    EXPECT_FALSE(clean);
    // Wide to UTF-8 gives the same sequences of one to four bytes.
    EXPECT_EQ(good, Unicode::ToUtf8(goodExpected, &clean));
    EXPECT_TRUE(clean);
}

TEST(Utf8, FacetConvertsThroughAStandardLocale) {
    std::locale locale(std::locale::classic(), new COvxCodecvt());
    const auto& facet = std::use_facet<std::codecvt<wchar_t, char, std::mbstate_t>>(locale);
    EXPECT_EQ(4, facet.max_length());
    std::wstring text = L"\u00e9t\u00e9";
    std::mbstate_t state{};
    char out[16], *toNext = nullptr;
    const wchar_t* fromNext = nullptr;
    ASSERT_EQ(std::codecvt_base::ok,
              facet.out(state, text.data(), text.data() + text.size(), fromNext, out, out + sizeof(out), toNext));
    EXPECT_EQ("\xC3\xA9t\xC3\xA9", std::string(out, toNext));
    wchar_t back[8], *backNext = nullptr;
    const char* inNext = nullptr;
    ASSERT_EQ(std::codecvt_base::ok, facet.in(state, out, toNext, inNext, back, back + 8, backNext));
    EXPECT_EQ(text, std::wstring(back, backNext));
}
