// Settings files of the session configuration services: INI text read with
// inih, written back atomically.
#ifndef OVX_SCS_SCSSETTINGS_H
#define OVX_SCS_SCSSETTINGS_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace ovxScs {

// Sections in file order, each with its keys in file order.
struct IniFile {
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> sections;

    const std::string* Find(const std::string& section, const std::string& key) const;
    void Set(const std::string& section, const std::string& key, const std::string& value);
};

// Longest line accepted, without its line end (the parser's own bound).
constexpr size_t kMaxIniLine = 198;
// Longest section name the parser keeps; it cuts longer ones short.
constexpr size_t kMaxIniSection = 49;
// Largest settings file read.
constexpr size_t kMaxIniFile = 1024 * 1024;

// Parses INI text. On failure returns OVX_E_SCS_SETTINGS_SYNTAX and the
// 1-based number of the offending line in *errorLine.
uint32_t ParseIni(const std::string& text, IniFile& out, int* errorLine);
// Reads and parses a file; an unreadable file gives OVX_E_SCS_SETTINGS_READ.
uint32_t LoadIniFile(const std::string& path, IniFile& out, int* errorLine);

// True when the value can be written to a settings file and read back as it
// is: no line breaks or other control characters, no leading or trailing
// blank, no inline comment marker, and short enough for one line.
bool IsStorableValue(const std::string& value);
// The text of `file`, which the parser reads back to the same sections, keys
// and values. A file holding anything that would not read back as it is (a
// value read from a continuation line too long for its key's line, a control
// character) gives false, `out` untouched and the offending key or section in
// *unwritable: a settings file is never replaced by one that cannot be read.
bool FormatIni(const IniFile& file, std::string& out, std::string* unwritable = nullptr);

// Replaces `path` with `content` so that a reader sees the old file or the
// new one, never a part: temporary file in the same folder, fsync, rename,
// fsync of the folder. The file is created 0600. On failure the old file is
// untouched and *osError holds the system error.
uint32_t WriteFileAtomically(const std::string& path, const std::string& content, int* osError = nullptr);

}  // namespace ovxScs

#endif  // OVX_SCS_SCSSETTINGS_H
