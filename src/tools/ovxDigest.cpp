#include "ovxStatus.h"
#include "ovxDigest.h"

#include <openssl/evp.h>

namespace ovxToolsLib {

namespace {
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

bool IsSpace(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
}  // namespace

uint32_t ovxMd5(const void* data, size_t size, uint8_t digest[16]) {
    if (!digest || (!data && size)) return OVX_E_INVALID_ARGUMENT;
    unsigned int length = 0;
    static const unsigned char kEmpty = 0;
    if (EVP_Digest(data ? data : &kEmpty, size, digest, &length, EVP_md5(), nullptr) != 1 || length != 16) {
        return OVX_E_UNEXPECTED;
    }
    return 0;
}

std::string ovxBase64Encode(const void* data, size_t size) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    std::string out;
    if (!bytes) return out;
    out.reserve((size + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        uint32_t n = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += kAlphabet[(n >> 6) & 63];
        out += kAlphabet[n & 63];
    }
    if (size - i == 1) {
        uint32_t n = bytes[i] << 16;
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += "==";
    } else if (size - i == 2) {
        uint32_t n = (bytes[i] << 16) | (bytes[i + 1] << 8);
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += kAlphabet[(n >> 6) & 63];
        out += '=';
    }
    return out;
}

uint32_t ovxBase64Decode(const char* text, size_t length, std::vector<uint8_t>& out) {
    out.clear();
    if (!text && length) return OVX_E_INVALID_ARGUMENT;
    std::vector<uint8_t> result;
    result.reserve(length / 4 * 3);
    int quad[4];
    int have = 0;
    int padding = 0;
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (IsSpace(c)) continue;
        if (c == '=') {
            // Padding may only fill the last one or two places of the final quad.
            if (have < 2) return OVX_E_INVALID_ARGUMENT;
            ++padding;
            quad[have++] = 0;
        } else {
            int v = Value(c);
            if (v < 0 || padding) return OVX_E_INVALID_ARGUMENT;
            quad[have++] = v;
        }
        if (have == 4) {
            uint32_t n = (quad[0] << 18) | (quad[1] << 12) | (quad[2] << 6) | quad[3];
            if (padding == 0) {
                result.push_back(static_cast<uint8_t>(n >> 16));
                result.push_back(static_cast<uint8_t>(n >> 8));
                result.push_back(static_cast<uint8_t>(n));
            } else if (padding == 1) {
                if (n & 0xFF) return OVX_E_INVALID_ARGUMENT;
                result.push_back(static_cast<uint8_t>(n >> 16));
                result.push_back(static_cast<uint8_t>(n >> 8));
            } else if (padding == 2) {
                if (n & 0xFFFF) return OVX_E_INVALID_ARGUMENT;
                result.push_back(static_cast<uint8_t>(n >> 16));
            } else {
                return OVX_E_INVALID_ARGUMENT;
            }
            have = 0;
            if (padding) {
                // Nothing but white space may follow the padded quad.
                for (size_t j = i + 1; j < length; ++j) {
                    if (!IsSpace(static_cast<unsigned char>(text[j]))) return OVX_E_INVALID_ARGUMENT;
                }
                break;
            }
        }
    }
    if (have != 0) return OVX_E_INVALID_ARGUMENT;
    out.swap(result);
    return 0;
}

std::string ovxMd5Base64(const void* data, size_t size) {
    uint8_t digest[16];
    if (ovxMd5(data, size, digest) != 0) return std::string();
    return ovxBase64Encode(digest, sizeof digest);
}

}  // namespace ovxToolsLib
