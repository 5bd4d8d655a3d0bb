// INI parsing bounds and atomic file replacement.

#include <signal.h>
#include <sys/resource.h>

#include <iterator>

#include "ovxStatus.h"
#include "scs/scsSettings.h"
#include "support/Checks.h"
#include "support/TestFiles.h"

using namespace ovxScs;
using namespace std::string_literals;

using ovxTest::Joined;
using ovxTest::ReadText;

// The value of `key` in `section`, "(none)" when there is none.
static std::string ValueOf(const IniFile& file, const std::string& section, const std::string& key) {
    return file.Find(section, key) != nullptr ? *file.Find(section, key) : "(none)";
}

TEST(Ini, SectionsKeysCommentsAndUtf8) {
    IniFile file;
    int line = -1;
    ASSERT_EQ(0u, ParseIni("; comment\n[a]\nx = 1\n# another\ny=caf\xC3\xA9\n\n[b]\nx=2\n[a]\nx=3\n", file, &line));
    // A later line overrides.
    EXPECT_EQ("0 3 caf\xC3\xA9 2 (none)", Joined({line, ValueOf(file, "a", "x"), ValueOf(file, "a", "y"),
                                                  ValueOf(file, "b", "x"), ValueOf(file, "b", "y")}));
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
        EXPECT_EQ(Joined({OVX_E_SCS_SETTINGS_SYNTAX, bad, "v"}),
                  Joined({ParseIni(text, file, &line), line, ValueOf(file, "kept", "k")}));
    }
    IniFile file;
    EXPECT_EQ(0u, ParseIni("[a]\nx=" + std::string(kMaxIniLine - 2, 'v') + "\r\n", file, nullptr));  // just fits
}

TEST(Ini, StorableValuesRoundTrip) {
    for (const std::string& value : {"https://127.0.0.1:8443/path?q=1"s, "a;b"s, "caf\xC3\xA9"s, ""s}) {
        EXPECT_TRUE(IsStorableValue(value)) << value;
        IniFile file, back;
        file.Set("s", "k", value);
        std::string text;
        EXPECT_EQ("1 0 " + value,
                  Joined({FormatIni(file, text), ParseIni(text, back, nullptr), ValueOf(back, "s", "k")}));
    }
    for (const std::string& value : {"two\nlines"s, " padded"s, "x ; comment"s, "tab\there"s, std::string(300, 'x')})
        EXPECT_FALSE(IsStorableValue(value)) << value;
}

// The writer refuses, naming what it refuses, every file it could not read
// back the same: whatever was set in code, or read from a continuation line.
TEST(Ini, WhatWouldNotReadBackIsNeverWritten) {
    const std::string kept = "[kept]\nk=v\n";
    const struct {
        std::string section, key, value, named;
    } rows[] = {
        {"s", std::string(100, 'k'), std::string(98, 'v'), std::string(100, 'k')},  // one past the longest line
        {"s", "k", "tail ", "k"},
        {"s", "k", "x ; comment", "k"},
        {"s", "k", "two\nlines", "k"},
        {"s", "a=b", "v", "a=b"},
        {"s", "a:b", "v", "a:b"},
        {"s", "[k", "v", "[k"},
        {"s", "#k", "v", "#k"},
        {"s", " k", "v", " k"},
        {"s]x", "k", "v", "[s]x]"},
        {std::string(kMaxIniSection + 1, 's'), "k", "v", "[" + std::string(kMaxIniSection + 1, 's') + "]"},
        {"s ;x", "k", "v", "[s ;x]"},
    };
    for (const auto& row : rows) {
        IniFile file;
        file.Set(row.section, row.key, row.value);
        std::string text = kept, named;
        EXPECT_EQ(Joined({0, kept, row.named}), Joined({FormatIni(file, text, &named), text, named})) << row.key;
    }
    // The longest line that fits, and a file as the parser left it after a
    // continuation line, are written and read back the same.
    IniFile file, back;
    ASSERT_EQ(0u, ParseIni("[a]\nurl=x\n  http://127.0.0.1/continued\n", file, nullptr));
    file.Set(std::string(kMaxIniSection, 's'), std::string(100, 'k'), std::string(97, 'v'));
    std::string text;
    ASSERT_TRUE(FormatIni(file, text));
    ASSERT_EQ(0u, ParseIni(text, back, nullptr));
    EXPECT_EQ(
        Joined({std::string(97, 'v'), "http://127.0.0.1/continued"}),
        Joined({ValueOf(back, std::string(kMaxIniSection, 's'), std::string(100, 'k')), ValueOf(back, "a", "url")}));
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
