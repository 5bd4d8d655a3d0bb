// Bounded formatting, the safe string helpers of the C-callable layer, and
// the checks of text that comes from settings files.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <tuple>

#include "tools/c-api-string.h"
#include "tools/ovxCodecvt.h"
#include "tools/ovxSettingValue.h"
#include "tools/ovxXmlChars.h"
#include "tools/xsnprintf.h"

using namespace ovxToolsLib;

// Bounded formatting and copies: cut text reports -1 and stays terminated;
// copies and appends never overrun.
TEST(CStrings, CutTextReportsItselfNoCopyOverrunsAndTheOtherHelpersWork) {
    char buffer[4];
    std::memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(-1, xsnprintf(buffer, sizeof(buffer), "%s", "abcde"));
    EXPECT_STREQ("abc", buffer);
    EXPECT_EQ(3, xsnprintf(buffer, sizeof(buffer), "%d", 123));
    EXPECT_STREQ("123", buffer);
    EXPECT_EQ(-1, xsnprintf(buffer, sizeof(buffer), "%d", 1234));  // exactly the size is cut too
    EXPECT_EQ(-1, xsnprintf(buffer, 0, "x"));
    EXPECT_EQ(-1, cxsnprintf(buffer, sizeof(buffer), "%s", "abcd"));
    char six[6];
    EXPECT_EQ(0, cStrCopy(six, sizeof(six), "hello"));
    EXPECT_STREQ("hello", six);
    EXPECT_EQ(EINVAL, cStrCopy(six, sizeof(six), "hello!"));
    EXPECT_STREQ("", six);
    EXPECT_EQ(EINVAL, cStrCopy(nullptr, 4, "a"));
    EXPECT_EQ(EINVAL, cStrCopy(six, sizeof(six), nullptr));
    EXPECT_EQ(0, cStrCopyN(six, sizeof(six), "abcdefgh", 3));
    EXPECT_STREQ("abc", six);
    EXPECT_EQ(0, cStrAppend(six, sizeof(six), "de"));
    EXPECT_STREQ("abcde", six);
    EXPECT_EQ(EINVAL, cStrAppend(six, sizeof(six), "f"));
    EXPECT_EQ(EINVAL, cStrCopyN(six, sizeof(six), "abcdefgh", 6));
    // Error texts, times, files and tokens.
    char message[128];
    EXPECT_EQ(0, cStrError(message, sizeof(message), ENOENT));
    EXPECT_STREQ(strerror(ENOENT), message);
    time_t when = 0;
    struct tm parts;
    EXPECT_EQ(0, cLocalTime(&when, &parts));
    EXPECT_EQ(EINVAL, cLocalTime(nullptr, &parts));
    FILE* file = nullptr;
    EXPECT_EQ(ENOENT, cFileOpen(&file, "/nonexistent/dir/file", "r"));
    EXPECT_EQ(nullptr, file);
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
