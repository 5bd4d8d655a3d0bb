// Bounded formatting and the safe string helpers of the C-callable layer.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "tools/c-api-string.h"
#include "tools/xsnprintf.h"

using namespace ovxToolsLib;

TEST(Xsnprintf, CutTextReportsMinusOneAndStaysTerminated) {
    char buffer[4];
    std::memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(-1, xsnprintf(buffer, sizeof(buffer), "%s", "abcde"));
    EXPECT_STREQ("abc", buffer);
    EXPECT_EQ(3, xsnprintf(buffer, sizeof(buffer), "%d", 123));
    EXPECT_STREQ("123", buffer);
    EXPECT_EQ(-1, xsnprintf(buffer, sizeof(buffer), "%d", 1234));  // exactly the size is cut too
    EXPECT_EQ(-1, xsnprintf(buffer, 0, "x"));
    EXPECT_EQ(-1, cxsnprintf(buffer, sizeof(buffer), "%s", "abcd"));
}

TEST(CStrings, CopyAndAppendNeverOverrun) {
    char buffer[6];
    EXPECT_EQ(0, cStrCopy(buffer, sizeof(buffer), "hello"));
    EXPECT_STREQ("hello", buffer);
    EXPECT_EQ(EINVAL, cStrCopy(buffer, sizeof(buffer), "hello!"));
    EXPECT_STREQ("", buffer);
    EXPECT_EQ(EINVAL, cStrCopy(nullptr, 4, "a"));
    EXPECT_EQ(EINVAL, cStrCopy(buffer, sizeof(buffer), nullptr));
    EXPECT_EQ(0, cStrCopyN(buffer, sizeof(buffer), "abcdefgh", 3));
    EXPECT_STREQ("abc", buffer);
    EXPECT_EQ(0, cStrAppend(buffer, sizeof(buffer), "de"));
    EXPECT_STREQ("abcde", buffer);
    EXPECT_EQ(EINVAL, cStrAppend(buffer, sizeof(buffer), "f"));
    EXPECT_EQ(EINVAL, cStrCopyN(buffer, sizeof(buffer), "abcdefgh", 6));
}

TEST(CStrings, ErrorTextTimeFilesAndTokens) {
    char buffer[128];
    EXPECT_EQ(0, cStrError(buffer, sizeof(buffer), ENOENT));
    EXPECT_STREQ(strerror(ENOENT), buffer);
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
    for (char* token = cStrTok(text, ",", &position); token; token = cStrTok(nullptr, ",", &position)) {
        seen += token;
        seen += '|';
    }
    EXPECT_EQ("a|b|c|", seen);
}
