// PEM text as agents and servers hand it over: split into its boundary
// lines and body, or refused with a CML exception.
#include <cstddef>
#include <cstdint>
#include <string>

#include "cml/core/cmlException.h"
#include "cml/documents/cmlTrust.h"
#include "tools/ovxCodecvt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1u << 16) return 0;
    std::wstring text;
    try {
        text = ovxToolsLib::ovxUnicode<wchar_t>::FromUtf8(reinterpret_cast<const char*>(data), size);
    } catch (const std::exception&) {
        return 0;
    }
    std::wstring begin, end, body;
    try {
        ovx::cml::ExtractPemBoundaries(text.c_str(), begin, end, body);
        ovx::cml::CCmlKey key(body, begin, end, L"RSA", 2048);
        const std::wstring pem = key.GetPemText();
        std::wstring begin2, end2, body2;
        if (!pem.empty()) ovx::cml::ExtractPemBoundaries(pem.c_str(), begin2, end2, body2);
    } catch (const ovx::cml::CCmlException&) {
    }
    return 0;
}
