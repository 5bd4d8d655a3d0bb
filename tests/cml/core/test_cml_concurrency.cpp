// Process-wide CML state used from several threads at once; run under
// ThreadSanitizer.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cml/core/cmlLibraryVersions.h"

using namespace ovx::cml;

TEST(LibraryVersionsConcurrency, ConcurrentUseIsSafe) {
    ReleaseLibraryVersionRegistry();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) {
                RegisterLibraryVersion(L"L" + std::to_wstring(t), std::to_wstring(i));
                std::ostringstream out;
                WriteLibraryVersions(out);
                if (i % 50 == 49) ReleaseLibraryVersionRegistry();
                (void)GetLibraryVersionRegistry();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    LibraryVersionMap now = GetLibraryVersionRegistry();
    EXPECT_EQ(L"1.0.0", now.at(L"CmlCore"));
    EXPECT_LE(now.size(), 5u);
}
