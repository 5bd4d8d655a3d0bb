// GUID text layout and uniqueness across threads.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "support/TestFiles.h"
#include "tools/ovxGuid.h"

using namespace ovxToolsLib;

// Thirty-six hex digits in groups of 8-4-4-4-12, new each time, on any
// thread; the other platforms' variants refuse to generate.
TEST(Guid, TextLayoutPlatformVariantsAndUniquenessAcrossThreads) {
    COVXGuid* guid = ovxGuidCreate();
    ASSERT_NE(nullptr, guid);
    ASSERT_EQ(0, ovxGuidGenerate(guid));
    const std::string text = ovxGuidText(guid);
    EXPECT_TRUE(std::regex_match(text, std::regex("[0-9A-Fa-f]{8}(-[0-9A-Fa-f]{4}){3}-[0-9A-Fa-f]{12}"))) << text;
    ASSERT_EQ(0, ovxGuidGenerate(guid));
    EXPECT_NE(text, ovxGuidText(guid));
    ovxGuidDelete(guid);
    COVXWin32Guid win32;
    EXPECT_EQ(-1, win32.generate());
    // Unique across two threads.
    constexpr int kPerThread = 100000;
    std::vector<std::string> produced[2];
    ovxTest::OnThreads(2, [&](int t) {
        produced[t].reserve(kPerThread);
        COVXUXGuid guid;
        for (int i = 0; i < kPerThread; ++i) {
            guid.generate();
            produced[t].emplace_back(guid.text());
        }
    });
    std::set<std::string> all(produced[0].begin(), produced[0].end());
    all.insert(produced[1].begin(), produced[1].end());
    EXPECT_EQ(2u * kPerThread, all.size());
}
