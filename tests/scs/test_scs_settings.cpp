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
static std::string ValueOf(const IniFile& file, const char* section, const char* key) {
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
        EXPECT_EQ("0 " + value, Joined({ParseIni(FormatIni(file), back, nullptr), ValueOf(back, "s", "k")}));
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
