// Text: bounded formatting and the safe string helpers of the C-callable
// layer, the checks of text that comes from settings files, UTF-8 <-> wide
// conversion, MD5 and Base64, and GUIDs as text.

#include <cerrno>
#include <cstring>
#include <ctime>
#include <locale>
#include <regex>
#include <set>
#include <tuple>

#include "support/Checks.h"
#include "support/TestFiles.h"
#include "tools/c-api-string.h"
#include "tools/ovxCodecvt.h"
#include "tools/ovxDigest.h"
#include "tools/ovxGuid.h"
#include "tools/ovxSettingValue.h"
#include "tools/ovxXmlChars.h"
#include "tools/xsnprintf.h"

using namespace ovxToolsLib;
using Unicode = ovxUnicode<wchar_t>;
using ovxTest::Joined;
using ovxTest::WJoined;

// Bounded formatting and copies: cut text reports -1 and stays terminated;
// copies and appends never overrun.
TEST(CStrings, CutTextReportsItselfNoCopyOverrunsAndTheOtherHelpersWork) {
    char buffer[4];
    std::memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ("-1 abc", Joined({xsnprintf(buffer, sizeof(buffer), "%s", "abcde"), buffer}));
    EXPECT_EQ("3 123", Joined({xsnprintf(buffer, sizeof(buffer), "%d", 123), buffer}));
    EXPECT_EQ(-1, xsnprintf(buffer, sizeof(buffer), "%d", 1234));  // exactly the size is cut too
    EXPECT_EQ(-1, xsnprintf(buffer, 0, "x"));
    EXPECT_EQ(-1, cxsnprintf(buffer, sizeof(buffer), "%s", "abcd"));
    char six[6];
    EXPECT_EQ("0 hello", Joined({cStrCopy(six, sizeof(six), "hello"), six}));
    EXPECT_EQ(Joined({EINVAL, ""}), Joined({cStrCopy(six, sizeof(six), "hello!"), six}));
    EXPECT_EQ(Joined({EINVAL, EINVAL}), Joined({cStrCopy(nullptr, 4, "a"), cStrCopy(six, sizeof(six), nullptr)}));
    EXPECT_EQ("0 abc", Joined({cStrCopyN(six, sizeof(six), "abcdefgh", 3), six}));
    EXPECT_EQ("0 abcde", Joined({cStrAppend(six, sizeof(six), "de"), six}));
    EXPECT_EQ(Joined({EINVAL, EINVAL}),
              Joined({cStrAppend(six, sizeof(six), "f"), cStrCopyN(six, sizeof(six), "abcdefgh", 6)}));
    // Error texts, times, files and tokens.
    char message[128];
    EXPECT_EQ(Joined({0, strerror(ENOENT)}), Joined({cStrError(message, sizeof(message), ENOENT), message}));
    time_t when = 0;
    struct tm parts;
    EXPECT_EQ(Joined({0, EINVAL}), Joined({cLocalTime(&when, &parts), cLocalTime(nullptr, &parts)}));
    FILE* file = nullptr;
    EXPECT_EQ(Joined({ENOENT, 1}), Joined({cFileOpen(&file, "/nonexistent/dir/file", "r"), file == nullptr}));
    char text[] = "a,b,,c";
    char* position = nullptr;
    std::string seen;
    for (char* token = cStrTok(text, ",", &position); token; token = cStrTok(nullptr, ",", &position))
        seen += std::string(token) + '|';
    EXPECT_EQ("a|b|c|", seen);
}

// Our numeric settings take decimal digits only, within their range; any
// other text gives the default and a warning that names key, value (shown
// safely) and the default used. Flags take any number in digits.
TEST(SettingValues, NumbersAndFlagsTakeDigitsOnlyAndWarnOtherwise) {
    const ovxSettingRule rule{"retryJitter", 5, 50, 20};
    const std::string longest(64, '7');
    // The text; the number it gives under `rule`; the flag it gives, its
    // default being on; whether the flag is refused too; the text as the
    // warnings show it.
    const std::tuple<std::string, uint64_t, bool, bool, std::string> rows[] = {
        {"5", 5, true, false, ""},
        {"50", 50, true, false, ""},
        {"0", 20, false, false, "0"},  // a good flag, but below the range
        {"51", 20, true, false, "51"},
        {"4", 20, true, false, "4"},
        {"", 20, true, true, ""},
        {"-1", 20, true, true, "-1"},
        {"+7", 20, true, true, "+7"},
        {"7s", 20, true, true, "7s"},
        {" 7", 20, true, true, " 7"},
        {"yes", 20, true, true, "yes"},
        {"18446744073709551615", 20, true, false, "18446744073709551615"},  // fits, out of range
        {"18446744073709551616", 20, true, true, "18446744073709551616"},   // does not fit 64 bits
        {"a\"b\x01\x7F", 20, true, true, "a?b??"},
        {longest + "9", 20, true, true, longest + "..."},
    };
    for (const auto& [text, value, on, flagWarns, shown] : rows) {
        SCOPED_TRACE(text);
        std::string warning = "stale";
        EXPECT_EQ(value, ReadSettingNumber(rule, text.c_str(), warning));
        EXPECT_EQ(value != rule.fallback ? std::string()
                                         : "The setting retryJitter=\"" + shown +
                                               "\" is not a whole number from 5 to 50: 20 is used instead.",
                  warning);
        EXPECT_EQ(on, ReadSettingFlag("sendAll", text.c_str(), true, warning));
        EXPECT_EQ(!flagWarns ? std::string()
                             : "The setting sendAll=\"" + shown +
                                   "\" is not a flag (0 for off, another number in digits for on): 1 (on) is "
                                   "used instead.",
                  warning);
    }
    std::string warning;
    EXPECT_FALSE(ReadSettingFlag("sendAll", nullptr, false, warning));
    EXPECT_NE(std::string::npos, warning.find("sendAll=\"\" is not a flag (0 for off, another number in digits for "
                                              "on): 0 (off) is used instead."));
    EXPECT_EQ(20u, ReadSettingNumber(rule, nullptr, warning));
    EXPECT_NE(std::string::npos, warning.find("retryJitter=\"\""));
}

// XML 1.0 cannot carry C0 controls other than tab, line feed and carriage
// return, nor U+FFFE and U+FFFF, in any escape.
TEST(XmlChars, OnlyCharactersXmlCanCarryPass) {
    const std::pair<std::wstring, bool> rows[] = {
        {L"plain", true},  {L"a\tb\nc\rd", true}, {L"\u00e9\u20ac\U0001F600", true},
        {L"\uFFFD", true}, {L"a\x01", false},     {std::wstring(1, L'\0'), false},
        {L"\x1F", false},  {L"x\uFFFE", false},   {L"\uFFFF", false},
        {L"\x7F", true},  // DEL is an XML character
    };
    for (const auto& row : rows) {
        const std::string utf8 = ovxToolsLib::ovxUnicode<wchar_t>::ToUtf8(row.first);
        EXPECT_EQ(row.second, ovxIsXmlText(row.first)) << utf8;
        EXPECT_EQ(row.second, ovxIsXmlText(utf8)) << utf8;
    }
    EXPECT_TRUE(ovxIsXmlText(nullptr, 5));
    EXPECT_TRUE(ovxIsXmlText(std::string("\xEF\xBF")));  // cut short: not U+FFFF
    EXPECT_TRUE(ovxIsXmlText(std::string("\xEF\xBE\xBF")));
}

// ---- UTF-8 <-> wide conversion, lenient on bad input.

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
        EXPECT_EQ(expected + L" 0", WJoined({Unicode::FromUtf8(bytes, &clean), clean}));
        // Cleaned in place: the same replacements, still as UTF-8.
        clean = true;
        EXPECT_EQ(Unicode::ToUtf8(expected) + " 0",
                  Joined({ovxToolsLib::ovxCleanUtf8(bytes.data(), bytes.size(), &clean), clean}));
    }
    bool clean = true;  // a lone half
    EXPECT_EQ("\xEF\xBF\xBD 0",
              Joined({Unicode::ToUtf8(std::wstring(1, static_cast<wchar_t>(0xD800)), &clean), clean}));
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
    bool clean = true;  // but for the 0xFF bytes
    EXPECT_EQ(expected + L" 0", WJoined({Unicode::FromUtf8(utf8, &clean), clean}));
    EXPECT_EQ(Unicode::ToUtf8(expected) + " 0",
              Joined({ovxToolsLib::ovxCleanUtf8(utf8.data(), utf8.size(), &clean), clean}));
    // The same without the bad bytes is clean, and a sequence cut off by
    // the end of a long text gives one replacement character.
    std::string good;
    std::wstring goodExpected;
    for (int i = 0; i < 300; ++i) {
        good += std::string(i % 11, 'x') + "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
        goodExpected += std::wstring(i % 11, L'x') + L"\u00e9\u20ac\U0001F600";
    }
    EXPECT_EQ(goodExpected + L" 1", WJoined({Unicode::FromUtf8(good, &clean), clean}));
    EXPECT_EQ(goodExpected + L"\uFFFD 0", WJoined({Unicode::FromUtf8(good + "\xF0\x9F", &clean), clean}));
    EXPECT_EQ(good + " 1", Joined({ovxToolsLib::ovxCleanUtf8(good.data(), good.size(), &clean), clean}));
    const std::string cut = good + "\xF0\x9F";
    EXPECT_EQ(good + "\xEF\xBF\xBD 0", Joined({ovxToolsLib::ovxCleanUtf8(cut.data(), cut.size(), &clean), clean}));
    // Wide to UTF-8 gives the same sequences of one to four bytes.
    EXPECT_EQ(good + " 1", Joined({Unicode::ToUtf8(goodExpected, &clean), clean}));
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

// ---- MD5 and Base64 against the RFC test vectors.

TEST(Base64, Rfc4648VectorsLineBreaksAndMalformedText) {
    const std::string plain[] = {"", "f", "fo", "foo", "foob", "fooba", "foobar"};
    const std::string encoded[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(encoded[i], ovxBase64Encode(plain[i].data(), plain[i].size()));
        std::vector<uint8_t> decoded;
        ASSERT_EQ(0u, ovxBase64Decode(encoded[i].data(), encoded[i].size(), decoded)) << encoded[i];
        EXPECT_EQ(plain[i], std::string(decoded.begin(), decoded.end()));
    }
    // Line breaks are skipped; malformed text is refused and leaves nothing.
    std::vector<uint8_t> decoded;
    ASSERT_EQ(0u, ovxBase64Decode("Zm9v\r\nYmFy\n", 11, decoded));
    EXPECT_EQ("foobar", std::string(decoded.begin(), decoded.end()));
    for (std::string bad : {"Zm9", "Zm9v!A==", "Z===", "Zg==Zg==", "Zh=="}) {
        decoded.assign(3, 'x');
        EXPECT_NE(0u, ovxBase64Decode(bad.data(), bad.size(), decoded)) << bad;
        EXPECT_TRUE(decoded.empty()) << bad;
    }
}

TEST(Md5, Rfc1321Vectors) {
    EXPECT_EQ("1B2M2Y8AsgTpgAmY7PhCfg==", ovxMd5Base64("", 0));  // d41d8cd98f00b204e9800998ecf8427e
    uint8_t digest[16];
    ASSERT_EQ(0u, ovxMd5("abc", 3, digest));
    const uint8_t expected[16] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                                  0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
    EXPECT_EQ(0, memcmp(expected, digest, 16));
}

// ---- GUID text layout and uniqueness across threads.

// Thirty-six hex digits in groups of 8-4-4-4-12, new each time, on any
// thread; the other platforms' variants refuse to generate.
TEST(Guid, TextLayoutPlatformVariantsAndUniquenessAcrossThreads) {
    COVXGuid* guid = ovxGuidCreate();
    ASSERT_NE(nullptr, guid);
    ASSERT_EQ(0, ovxGuidGenerate(guid));
    const std::string text = ovxGuidText(guid);
    EXPECT_TRUE(std::regex_match(text, std::regex("[0-9A-Fa-f]{8}(-[0-9A-Fa-f]{4}){3}-[0-9A-Fa-f]{12}"))) << text;
    ASSERT_EQ(0, ovxGuidGenerate(guid));
    EXPECT_NE(text, ovxGuidText(guid));
    ovxGuidDelete(guid);
    EXPECT_EQ(-1, COVXWin32Guid().generate());
    // Unique across two threads.
    constexpr int kPerThread = 100000;
    std::vector<std::string> produced[2];
    ovxTest::OnThreads(2, [&](int t) {
        produced[t].reserve(kPerThread);
        COVXUXGuid guid;
        for (int i = 0; i < kPerThread; ++i) {
            guid.generate();
            produced[t].emplace_back(guid.text());
        }
    });
    std::set<std::string> all(produced[0].begin(), produced[0].end());
    all.insert(produced[1].begin(), produced[1].end());
    EXPECT_EQ(2u * kPerThread, all.size());
}
