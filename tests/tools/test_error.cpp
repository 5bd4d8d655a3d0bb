// Error objects, catalog addressing, insert expansion and the C form.
#include "support/Checks.h"

#include <cerrno>
#include <cstring>
#include <sstream>

#include "tools/c-api-error.h"
#include "tools/jsexception.h"
#include "tools/ovxError.h"
#include "tools/ovxErrorException.h"

using namespace ovxToolsLib;
using ovxTest::HasSubstr;
using ovxTest::Joined;
using ovxTest::Not;
using ovxTest::StartsWith;

namespace {
// Every test here expects the build's catalog (NLSPATH is set by ctest).
class ErrorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ovxCatalogIsOpen() || OVXError::OpenCatalog(nullptr, "ovx-ZuviDevi", "") == 0);
    }
};
}  // namespace

// Where a code's text is in the catalog, and the code of an errno.
TEST_F(ErrorTest, CatalogAddressOfACodeAndOperatingSystemErrors) {
    const std::pair<uint32_t, int> sets[] = {
        {0xC7210003u, 37}, {0xC7560003u, 90}, {0xC0050001u, 0x7FFFFFFF}, {0xC0010001u, 2}};
    for (const auto& [code, set] : sets) EXPECT_EQ(set, OVXError::CatalogSet(code)) << code;
    EXPECT_EQ(3, OVXError::CatalogMessage(0xC7210003u));
    EXPECT_EQ(0x4004, OVXError::CatalogMessage(0x47560004u));
    const std::pair<int, uint32_t> os[] = {{ENOENT, 0xC721000Au}, {EINVAL, 0xC7210003u}, {ENOSPC, 0xC721001Eu},
                                           {EFBIG, 0xC721001Eu},  {EBUSY, 0xC7210025u},  {99, 99u}};
    for (const auto& [error, code] : os) EXPECT_EQ(code, OVXError::MapOsError(error)) << error;
}

// A width limits every line, the identifier's included; inserts are
// expanded from the catalog text unless asked not to be.
TEST_F(ErrorTest, WidthLimitsEveryLineAndInsertsAreExpanded) {
    OVXError error(0xC7210003u);
    EXPECT_STREQ("0xc7210003", error.GetIdentifier());
    EXPECT_EQ(std::string::npos, std::string(error.GetMessageText(255)).find('\n'));
    bool identifierAlone = false;
    for (unsigned width = 20; width <= 60; ++width) {
        std::string text = error.GetMessageText(width);
        EXPECT_NE('\n', text.back()) << "no final newline with a width";
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), width) << text;
        identifierAlone |= text.find("\n[ID=0xc7210003]") != std::string::npos;
    }
    EXPECT_TRUE(identifierAlone);
    OVXError socket(0xC721002Du);  // "Socket error %1."
    EXPECT_THAT(socket.GetMessageText(0, {ovxInsert(104u)}, kOvxMsgNoIdentifier), StartsWith("Socket error 104."));
    EXPECT_THAT(socket.GetMessageText(0, {ovxInsert(104u)}, kOvxMsgNoIdentifier | kOvxMsgNoInserts),
                StartsWith("Socket error %1."));
}

TEST(ExpandInserts, EscapesFormatsAndPercentZero) {
    bool ended = false;
    EXPECT_EQ("a 7 b 0", Joined({ovxExpandInserts("a %1 b", {ovxInsert(7)}, 0, &ended), ended}));
    EXPECT_EQ("x=00ff", ovxExpandInserts("x=%1!04x!", {ovxInsert(255u)}, 0, &ended));
    EXPECT_EQ("two one", ovxExpandInserts("%2 %1", {ovxInsert("one"), ovxInsert("two")}, 0, &ended));
    EXPECT_EQ("100% . ! [ ]", ovxExpandInserts("100%% %. %! [%b]", {}, 0, &ended));
    EXPECT_EQ("a\rb\nc", ovxExpandInserts("a%rb%\\c", {}, 0, &ended));
    EXPECT_EQ("line one line two", ovxExpandInserts("line one\nline two", {}, 40, &ended));
    EXPECT_EQ("kept 1", Joined({ovxExpandInserts("kept%0dropped", {}, 0, &ended), ended}));
    // An insert that was not supplied stays as written rather than reading past the list.
    EXPECT_EQ("[%3]", ovxExpandInserts("[%3]", {ovxInsert(1)}, 0, &ended));
}

// The texts of the exceptions, of an operating system's status and of the
// C form, whose buffer bounds the text.
TEST_F(ErrorTest, ExceptionOperatingSystemAndCFormTexts) {
    try {
        OVXError::RaiseAt("file.cpp", 12, 0xC7210003u);
        ADD_FAILURE() << "no exception";
    } catch (const jsThreadException& exception) {
        EXPECT_THAT(exception.what(), StartsWith("Error detected at: file.cpp:12\nAn argument is invalid"));
    }
    EXPECT_STREQ("jsException: At(open) error(2)", jsOsException("open", 2).what());
    EXPECT_STREQ("jsFileException: At(read) error(13) path(/tmp/x)", jsFileException("read", 13, "/tmp/x").what());
    EXPECT_THAT(ovxErrorException(0xC7210003u).what(), StartsWith("ovxErrorException : An argument is invalid"));
    EXPECT_THAT(OVXError(0xC0990001u).GetOsMessageText(), StartsWith("Operating system specific status encountered."));
    EXPECT_THAT(OVXError(10054).GetOsMessageText(), Not(HasSubstr("Operating system specific")));
    char tiny[8], buffer[256];
    cOvxGetErrorText(0xC7210003u, tiny, sizeof(tiny));
    EXPECT_STREQ("ErrMsgB", tiny);
    cOvxGetErrorText(0xC7210003u, buffer, sizeof(buffer));
    EXPECT_THAT(buffer, HasSubstr("[ID=c7210003]"));
    EXPECT_EQ(0, cOvxOpenCatalog(nullptr, "ovx-ZuviDevi.cat", ""));
}
