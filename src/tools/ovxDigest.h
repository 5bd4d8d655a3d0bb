// MD5 digests and Base64 text (RFC 4648, standard alphabet).
#ifndef OVX_TOOLS_OVXDIGEST_H
#define OVX_TOOLS_OVXDIGEST_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ovxStatus.h"

namespace ovxToolsLib {

// Returns 0, or OVX_E_UNEXPECTED when the digest cannot be computed.
uint32_t ovxMd5(const void* data, size_t size, uint8_t digest[16]);

std::string ovxBase64Encode(const void* data, size_t size);

// Strict decoding: only the alphabet, '=' padding at the end, a length that is
// a multiple of 4 and zero unused bits are accepted; ASCII white space between
// characters (line-wrapped text) is skipped. Anything else returns OVX_E_INVALID_ARGUMENT
// and leaves `out` empty.
uint32_t ovxBase64Decode(const char* text, size_t length, std::vector<uint8_t>& out);

// The Base64 text of the MD5 digest of a buffer ("" when it cannot be computed).
std::string ovxMd5Base64(const void* data, size_t size);

}  // namespace ovxToolsLib

#endif  // OVX_TOOLS_OVXDIGEST_H
