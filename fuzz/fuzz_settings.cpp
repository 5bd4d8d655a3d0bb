// Settings files of the session configuration services: parsed, and when
// they parse, written and parsed again to the same content.
#include <cstddef>
#include <cstdint>
#include <string>

#include "scs/scsSettings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > ovxScs::kMaxIniFile) return 0;
    ovxScs::IniFile file;
    int line = 0;
    if (ovxScs::ParseIni(std::string(reinterpret_cast<const char*>(data), size), file, &line) != 0) return 0;
    // Only values the writer can store round-trip; others are refused on writing.
    for (const auto& section : file.sections) {
        for (const auto& pair : section.second) {
            if (!ovxScs::IsStorableValue(pair.second)) return 0;
        }
    }
    ovxScs::IniFile again;
    if (ovxScs::ParseIni(ovxScs::FormatIni(file), again, &line) != 0) __builtin_trap();
    if (again.sections.size() != file.sections.size()) __builtin_trap();
    return 0;
}
