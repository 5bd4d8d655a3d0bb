#include "scs/scsSettings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ini.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

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

bool IsStorableValue(const std::string& value) {
    if (value.size() > kMaxIniLine - 40) return false;  // leaves room for the key
    if (!value.empty() &&
        (value.front() == ' ' || value.front() == '\t' || value.back() == ' ' || value.back() == '\t')) {
        return false;
    }
    for (size_t i = 0; i < value.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(value[i]);
        if (c < 0x20 || c == 0x7F) return false;
        if (c == ';' && i > 0 && (value[i - 1] == ' ' || value[i - 1] == '\t')) return false;
    }
    return true;
}

std::string FormatIni(const IniFile& file) {
    std::ostringstream out;
    bool first = true;
    for (const auto& section : file.sections) {
        if (!first) out << '\n';
        first = false;
        out << '[' << section.first << "]\n";
        for (const auto& pair : section.second) out << pair.first << '=' << pair.second << '\n';
    }
    return out.str();
}

uint32_t WriteFileAtomically(const std::string& path, const std::string& content, int* osError) {
    const int error = ovxToolsLib::WriteFileAtomically(path, content);
    if (osError != nullptr) *osError = error;
    return error == 0 ? 0 : OVX_E_SCS_SETTINGS_WRITE;
}

}  // namespace ovxScs
