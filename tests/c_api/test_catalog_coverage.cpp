// Every symbolic status code of the public header has a text in the catalog.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>

#include "ovxSensorSvcs.h"
#include "support/TestFiles.h"

TEST(Catalog, EverySymbolicCodeHasAText) {
    const std::string text = ovxTest::ReadText(OVX_STATUS_HEADER);
    ASSERT_FALSE(text.empty()) << OVX_STATUS_HEADER;
    // Facility bases are not codes of their own: a code is added to them.
    std::regex define(R"(#define (OVX_(?!FACILITY_)\w+)\s+(0x[0-9A-Fa-f]+)u)");
    int seen = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), define); it != std::sregex_iterator(); ++it) {
        uint32_t code = static_cast<uint32_t>(std::stoul((*it)[2].str(), nullptr, 16));
        char buffer[1024];
        ASSERT_EQ(0u, SS_GetErrorMsg(code, buffer, sizeof(buffer)));
        EXPECT_NE(0, std::strncmp(buffer, "Status ", 7)) << (*it)[1] << ": " << buffer;
        ++seen;
    }
    EXPECT_GT(seen, 100);
}
