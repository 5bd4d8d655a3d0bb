// A live session for tests: settings files in a temporary folder, the real
// service library, and the trace lines it writes.
#ifndef OVX_TESTS_SENSOR_SERVICES_SESSIONFIXTURE_H
#define OVX_TESTS_SENSOR_SERVICES_SESSIONFIXTURE_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ovxSensorSvcs.h"
#include "ovxStatus.h"
#include "sensor_services/SensorServices.h"
#include "transport/mslLoader.h"
#include "support/TestFiles.h"
#include "transport/mslLoader_ovxSessionConfigSvcs.h"

using Clock = std::chrono::steady_clock;

namespace ovxTest {

using ovxSensorServices::CSensorServices;
using ovxSensorServices::RegisterSessionFactory;

inline std::mutex g_linesLock;
inline std::vector<std::string> g_lines;
inline std::vector<std::string> g_wheres;  // the `where` of each line
inline std::vector<uint32_t> g_levels;     // the level of each line
inline uint32_t Collect(uint32_t, uint32_t level, const char* text, const char* where) {
    std::lock_guard<std::mutex> hold(g_linesLock);
    g_lines.emplace_back(text);
    g_wheres.emplace_back(where != nullptr ? where : "");
    g_levels.push_back(level);
    return 0;
}
// Lines containing `text` written at `level`.
inline size_t CountAtLevel(uint32_t level, const std::string& text) {
    std::lock_guard<std::mutex> hold(g_linesLock);
    size_t n = 0;
    for (size_t i = 0; i < g_lines.size(); ++i) n += g_levels[i] == level && g_lines[i].find(text) != std::string::npos;
    return n;
}
inline void ForgetLines() {
    std::lock_guard<std::mutex> hold(g_linesLock);
    g_lines.clear();
    g_wheres.clear();
    g_levels.clear();
}
// Lines exactly `text` written with exactly `where`.
inline size_t CountAt(const std::string& where, const std::string& text) {
    std::lock_guard<std::mutex> hold(g_linesLock);
    size_t n = 0;
    for (size_t i = 0; i < g_lines.size(); ++i) n += g_lines[i] == text && g_wheres[i] == where;
    return n;
}
inline size_t Count(const std::string& text) {
    std::lock_guard<std::mutex> hold(g_linesLock);
    size_t n = 0;
    for (const std::string& line : g_lines) n += line.find(text) != std::string::npos;
    return n;
}

class SessionFixture : public ::testing::Test {
protected:
    void SetUp() override {
        localFile = dir + "/local.ini";
        commFile = dir + "/comm.ini";
        WriteText(localFile, "[scs]\nagentIdFile=" + dir + "/agent-id.ini\n" + LocalSettings());
        WriteText(commFile, CommSettings());
        mslLoader::SetMSLLoaderLibPath(OVX_TEST_LIBRARY_DIR);
        RegisterSessionFactory();
        ForgetLines();
    }
    void TearDown() override {
        SS_ShutDown();
        // A stop that gave up waiting leaves the session to end on its
        // dispatch thread, which still writes to this fixture's sink.
        EXPECT_TRUE(WaitFor([] { return mslLoader_ovxSessionConfigSvcs::ReferenceCount() == 0; }));
        if (HasFailure()) {
            std::lock_guard<std::mutex> hold(g_linesLock);
            for (const std::string& line : g_lines) std::printf("trace: %s\n", line.c_str());
        }
    }
    virtual std::string LocalSettings() { return ""; }
    virtual std::string CommSettings() { return "[group]\ngroupnameHint=Servers\n"; }
    uint32_t Init() { return SS_Init("5.0", localFile.c_str(), commFile.c_str(), "ovx-tests", nullptr, &sink); }
    // The installed session, with a reference the caller releases.
    CSensorServices* Current() {
        CSessionOperations* session = ovxSensorSvcs::AcquireSession();
        return session == nullptr ? nullptr : dynamic_cast<CSensorServices*>(session);
    }

    TempDir temp{"ovx-session"};
    std::string dir = temp.path(), localFile, commFile;
    SS_TraceSink sink{0, 0xFFFFFFFFu, &Collect};
};

}  // namespace ovxTest

#endif
