// MD5 and Base64 against the RFC test vectors.
#include <gtest/gtest.h>

#include <cstring>

#include "tools/ovxDigest.h"

using namespace ovxToolsLib;

TEST(Base64, Rfc4648VectorsLineBreaksAndMalformedText) {
    const std::string plain[] = {"", "f", "fo", "foo", "foob", "fooba", "foobar"};
    const std::string encoded[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(encoded[i], ovxBase64Encode(plain[i].data(), plain[i].size()));
        std::vector<uint8_t> decoded;
        ASSERT_EQ(0u, ovxBase64Decode(encoded[i].data(), encoded[i].size(), decoded)) << encoded[i];
        EXPECT_EQ(plain[i], std::string(decoded.begin(), decoded.end()));
    }
    // Line breaks are skipped; malformed text is refused and leaves nothing.
    std::vector<uint8_t> decoded;
    ASSERT_EQ(0u, ovxBase64Decode("Zm9v\r\nYmFy\n", 11, decoded));
    EXPECT_EQ("foobar", std::string(decoded.begin(), decoded.end()));
    for (std::string bad : {"Zm9", "Zm9v!A==", "Z===", "Zg==Zg==", "Zh=="}) {
        decoded.assign(3, 'x');
        EXPECT_NE(0u, ovxBase64Decode(bad.data(), bad.size(), decoded)) << bad;
        EXPECT_TRUE(decoded.empty()) << bad;
    }
}

TEST(Md5, Rfc1321Vectors) {
    EXPECT_EQ("1B2M2Y8AsgTpgAmY7PhCfg==", ovxMd5Base64("", 0));  // d41d8cd98f00b204e9800998ecf8427e
    uint8_t digest[16];
    ASSERT_EQ(0u, ovxMd5("abc", 3, digest));
    const uint8_t expected[16] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                                  0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
    EXPECT_EQ(0, memcmp(expected, digest, 16));
}
