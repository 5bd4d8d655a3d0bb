// Settings files of the session configuration services: parsed, and when
// the writer takes what was parsed, written and read back to the very same
// sections, keys and values.
#include <cstddef>
#include <cstdint>
#include <string>

#include "scs/scsSettings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > ovxScs::kMaxIniFile) return 0;
    ovxScs::IniFile file;
    int line = 0;
    if (ovxScs::ParseIni(std::string(reinterpret_cast<const char*>(data), size), file, &line) != 0) return 0;
    std::string text;
    if (!ovxScs::FormatIni(file, text)) return 0;  // refused: the unit tests name what is
    ovxScs::IniFile again;
    if (ovxScs::ParseIni(text, again, &line) != 0) __builtin_trap();
    if (again.sections != file.sections) __builtin_trap();
    return 0;
}
