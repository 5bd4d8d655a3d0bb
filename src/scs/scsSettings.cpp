#include "scs/scsSettings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ini.h>

#include <cerrno>
#include <cstring>

#include "ovxStatus.h"
#include "tools/ovxFileInfo.h"

namespace ovxScs {

const std::string* IniFile::Find(const std::string& section, const std::string& key) const {
    for (const auto& entry : sections) {
        if (entry.first != section) continue;
        for (const auto& pair : entry.second) {
            if (pair.first == key) return &pair.second;
        }
    }
    return nullptr;
}

void IniFile::Set(const std::string& section, const std::string& key, const std::string& value) {
    for (auto& entry : sections) {
        if (entry.first != section) continue;
        for (auto& pair : entry.second) {
            if (pair.first == key) {
                pair.second = value;
                return;
            }
        }
        entry.second.emplace_back(key, value);
        return;
    }
    sections.push_back({section, {{key, value}}});
}

namespace {

int Handler(void* user, const char* section, const char* name, const char* value) {
    auto* file = static_cast<IniFile*>(user);
    // A repeated key keeps the last value, as a later line overrides an earlier one.
    file->Set(section, name, value);
    return 1;
}

// inih reads through a fixed line buffer and would silently split a longer
// line into two, the second read as a line of its own; such files, and files
// with NUL bytes, are refused before inih sees them.
int FirstOverlongLine(const std::string& text) {
    int line = 1;
    size_t length = 0;
    for (char c : text) {
        if (c == '\0') return line;
        if (c == '\n') {
            ++line;
            length = 0;
            continue;
        }
        if (c != '\r' && ++length > kMaxIniLine) return line;
    }
    return 0;
}

}  // namespace

uint32_t ParseIni(const std::string& text, IniFile& out, int* errorLine) {
    if (errorLine != nullptr) *errorLine = 0;
    int bad = FirstOverlongLine(text);
    IniFile parsed;
    if (bad == 0) bad = ini_parse_string(text.c_str(), &Handler, &parsed);
    if (bad != 0) {
        if (errorLine != nullptr) *errorLine = bad;
        return bad < 0 ? OVX_E_OUT_OF_MEMORY : OVX_E_SCS_SETTINGS_SYNTAX;
    }
    out = std::move(parsed);
    return 0;
}

uint32_t LoadIniFile(const std::string& path, IniFile& out, int* errorLine) {
    if (errorLine != nullptr) *errorLine = 0;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return OVX_E_SCS_SETTINGS_READ;
    std::string text;
    const bool read = ovxToolsLib::ReadRegularFile(fd, kMaxIniFile, text);
    close(fd);
    if (!read) return OVX_E_SCS_SETTINGS_READ;
    return ParseIni(text, out, errorLine);
}

namespace {

// No line breaks or other control characters, and no blank followed by ';'
// (the parser takes the rest of the line for a comment).
bool IsOneLineWithoutComment(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) return false;
        if (c == ';' && i > 0 && text[i - 1] == ' ') return false;
    }
    return true;
}

// Text after "key=" reads back as it is when it also has no blank at either
// end: the parser strips them.
bool ReadsBackAsItIs(const std::string& text) {
    return (text.empty() || (text.front() != ' ' && text.back() != ' ')) && IsOneLineWithoutComment(text);
}

// A key must also not open a section or a comment, nor hold the separators.
bool IsWritableKey(const std::string& key) {
    if (!key.empty() && (key.front() == '[' || key.front() == ';' || key.front() == '#')) return false;
    return key.find_first_of("=:") == std::string::npos && ReadsBackAsItIs(key);
}

// The parser keeps a section's name as it stands, blanks included, up to
// its first ']' or inline comment, and no longer than its name buffer.
bool IsWritableSection(const std::string& name) {
    return name.size() <= kMaxIniSection && name.find(']') == std::string::npos && IsOneLineWithoutComment(name);
}

}  // namespace

bool IsStorableValue(const std::string& value) {
    return value.size() <= kMaxIniLine - 40 && ReadsBackAsItIs(value);  // leaves room for the key
}

bool FormatIni(const IniFile& file, std::string& out, std::string* unwritable) {
    std::string text;
    for (const auto& section : file.sections) {
        if (!IsWritableSection(section.first)) {
            if (unwritable != nullptr) *unwritable = "[" + section.first + "]";
            return false;
        }
        if (!text.empty()) text += '\n';
        text += '[' + section.first + "]\n";
        for (const auto& [key, value] : section.second) {
            // A line longer than the parser's bound would be split on reading,
            // so a value read from a continuation line may not fit its key's line.
            if (key.size() + 1 + value.size() > kMaxIniLine || !IsWritableKey(key) || !ReadsBackAsItIs(value)) {
                if (unwritable != nullptr) *unwritable = key;
                return false;
            }
            text += key + '=' + value + '\n';
        }
    }
    out = std::move(text);
    return true;
}

uint32_t WriteFileAtomically(const std::string& path, const std::string& content, int* osError) {
    const int error = ovxToolsLib::WriteFileAtomically(path, content);
    if (osError != nullptr) *osError = error;
    return error == 0 ? 0 : OVX_E_SCS_SETTINGS_WRITE;
}

}  // namespace ovxScs
