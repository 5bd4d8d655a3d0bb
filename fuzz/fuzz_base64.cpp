// Base64 text: decoded or refused with a status, never garbage; what
// decodes encodes back to the canonical text of the same bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/ovxDigest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    std::vector<uint8_t> bytes;
    if (ovxToolsLib::ovxBase64Decode(text, size, bytes) != 0) return 0;
    const std::string encoded = ovxToolsLib::ovxBase64Encode(bytes.data(), bytes.size());
    std::vector<uint8_t> again;
    if (ovxToolsLib::ovxBase64Decode(encoded.data(), encoded.size(), again) != 0 || again != bytes) __builtin_trap();
    // Any bytes encode and decode to themselves.
    const std::string raw = ovxToolsLib::ovxBase64Encode(data, size);
    std::vector<uint8_t> back;
    if (ovxToolsLib::ovxBase64Decode(raw.data(), raw.size(), back) != 0 ||
        back != std::vector<uint8_t>(data, data + size)) {
        __builtin_trap();
    }
    return 0;
}
