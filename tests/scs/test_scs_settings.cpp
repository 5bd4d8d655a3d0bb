// INI parsing bounds and atomic file replacement.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <iterator>
#include <string>

#include "ovxStatus.h"
#include "scs/scsSettings.h"
#include "support/TestFiles.h"

using namespace ovxScs;
using namespace std::string_literals;

using ovxTest::ReadText;

TEST(Ini, SectionsKeysCommentsAndUtf8) {
    IniFile file;
    int line = -1;
    ASSERT_EQ(0u, ParseIni("; comment\n[a]\nx = 1\n# another\ny=caf\xC3\xA9\n\n[b]\nx=2\n[a]\nx=3\n", file, &line));
    EXPECT_EQ(0, line);
    ASSERT_NE(nullptr, file.Find("a", "x"));
    EXPECT_EQ("3", *file.Find("a", "x"));  // a later line overrides
    EXPECT_EQ("caf\xC3\xA9", *file.Find("a", "y"));
    EXPECT_EQ("2", *file.Find("b", "x"));
    EXPECT_EQ(nullptr, file.Find("b", "y"));
}

// A refused text names its first bad line and leaves the file as it was.
TEST(Ini, ErrorsNameTheLineAndChangeNothing) {
    const std::pair<std::string, int> rows[] = {
        // the text, its first bad line
        {"[a]\nx=1\nthis line has no equals sign\n", 3},
        {"[a\nx=1\n", 1},
        {"[a]\nx=" + std::string(kMaxIniLine, 'v') + "\n", 2},
        {std::string("[a]\nx=1") + '\0' + "\ny=2\n", 2},
    };
    for (const auto& [text, bad] : rows) {
        IniFile file;
        file.Set("kept", "k", "v");
        int line = 0;
        EXPECT_EQ(OVX_E_SCS_SETTINGS_SYNTAX, ParseIni(text, file, &line)) << bad;
        EXPECT_EQ(bad, line);
        EXPECT_NE(nullptr, file.Find("kept", "k"));
    }
    IniFile file;
    EXPECT_EQ(0u, ParseIni("[a]\nx=" + std::string(kMaxIniLine - 2, 'v') + "\r\n", file, nullptr));  // just fits
}

TEST(Ini, StorableValuesRoundTrip) {
    for (const std::string& value : {"https://127.0.0.1:8443/path?q=1"s, "a;b"s, "caf\xC3\xA9"s, ""s}) {
        EXPECT_TRUE(IsStorableValue(value)) << value;
        IniFile file, back;
        file.Set("s", "k", value);
        ASSERT_EQ(0u, ParseIni(FormatIni(file), back, nullptr));
        ASSERT_NE(nullptr, back.Find("s", "k"));
        EXPECT_EQ(value, *back.Find("s", "k"));
    }
    for (const std::string& value : {"two\nlines"s, " padded"s, "x ; comment"s, "tab\there"s, std::string(300, 'x')})
        EXPECT_FALSE(IsStorableValue(value)) << value;
}

// A full disk keeps the old file, and leaves no temporary file behind (the
// replacement itself, its mode and the other refusals are the tools' own).
TEST(AtomicWrite, AFullDiskKeepsTheOldFile) {
    ovxTest::TempDir temp("ovx-atomic");
    const std::string file = temp / "settings.ini";
    ASSERT_EQ(0u, WriteFileAtomically(file, "old content\n"));
    EXPECT_EQ(0, ovxTest::ChildExit([&] {
                  // A file size limit stands in for a full disk: writes past it fail.
                  signal(SIGXFSZ, SIG_IGN);
                  struct rlimit limit = {4096, 4096};
                  setrlimit(RLIMIT_FSIZE, &limit);
                  int error = 0;
                  const uint32_t status = WriteFileAtomically(file, std::string(100000, 'n'), &error);
                  return status == OVX_E_SCS_SETTINGS_WRITE && error != 0 ? 0 : 1;
              }));
    EXPECT_EQ("old content\n", ReadText(file));
    EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(temp.path()), {}));
}
