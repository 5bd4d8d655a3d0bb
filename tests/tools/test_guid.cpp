// GUID text layout and uniqueness across threads.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tools/ovxGuid.h"

using namespace ovxToolsLib;

TEST(Guid, TextLayoutIsThirtySixHexCharactersWithDashes) {
    COVXUXGuid guid;
    ASSERT_EQ(0, guid.generate());
    std::string text = guid.text();
    ASSERT_EQ(36u, text.size());
    EXPECT_TRUE(std::regex_match(
        text, std::regex("[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}")))
        << text;
    ASSERT_EQ(0, guid.generate());
    EXPECT_NE(text, guid.text());
}

TEST(Guid, OtherPlatformVariantsRefuseToGenerate) {
    COVXWin32Guid win32;
    EXPECT_EQ(-1, win32.generate());
    COVXGuid* guid = ovxGuidCreate();
    ASSERT_NE(nullptr, guid);
    EXPECT_EQ(0, ovxGuidGenerate(guid));
    EXPECT_EQ(36u, std::strlen(ovxGuidText(guid)));
    ovxGuidDelete(guid);
}

TEST(Guid, UniqueAcrossTwoThreads) {
    constexpr int kPerThread = 100000;
    std::vector<std::string> produced[2];
    std::thread workers[2];
    for (int t = 0; t < 2; ++t) {
        workers[t] = std::thread([&, t] {
            produced[t].reserve(kPerThread);
            COVXUXGuid guid;
            for (int i = 0; i < kPerThread; ++i) {
                guid.generate();
                produced[t].emplace_back(guid.text());
            }
        });
    }
    for (auto& worker : workers) worker.join();
    std::set<std::string> all(produced[0].begin(), produced[0].end());
    all.insert(produced[1].begin(), produced[1].end());
    EXPECT_EQ(2u * kPerThread, all.size());
}
