// UTF-8 to wide text and back.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/ovxCodecvt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    bool clean = false;
    const std::wstring wide = ovxToolsLib::ovxUnicode<wchar_t>::FromUtf8(text.data(), text.size(), &clean);
    const std::string back = ovxToolsLib::ovxUnicode<wchar_t>::ToUtf8(wide);
    // Valid UTF-8 comes back byte for byte; anything converts to text that
    // converts again to itself.
    if (clean && back != text) __builtin_trap();
    const std::wstring again = ovxToolsLib::ovxUnicode<wchar_t>::FromUtf8(back.data(), back.size());
    if (again != wide) __builtin_trap();
    return 0;
}
