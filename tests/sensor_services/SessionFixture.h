// A live session for tests: settings files in a temporary folder, the real
// service library, and the trace lines it writes.
#ifndef OVX_TESTS_SENSOR_SERVICES_SESSIONFIXTURE_H
#define OVX_TESTS_SENSOR_SERVICES_SESSIONFIXTURE_H

#include <gmock/gmock.h>
#include <sys/stat.h>

#include <cstring>
#include <iterator>
#include <random>

#include "sensor_services/SensorServices.h"
#include "transport/mslLoader.h"
#include "support/TestFiles.h"
#include "support/TraceLines.h"
#include "transport/mslLoader_ovxSessionConfigSvcs.h"

using Clock = std::chrono::steady_clock;

namespace ovxTest {

using ovxSensorServices::CSensorServices, ovxSensorServices::RegisterSessionFactory;
using ::testing::AllOf, ::testing::AnyOf, ::testing::Each, ::testing::ElementsAre, ::testing::HasSubstr, ::testing::Not;

struct SessionFixture : ::testing::Test {
    void SetUp() override {
        WriteText(localFile, "[scs]\nagentIdFile=" + dir + "/agent-id.ini\n" + LocalSettings());
        WriteText(commFile, CommSettings());
        mslLoader::SetMSLLoaderLibPath(OVX_TEST_LIBRARY_DIR);
        RegisterSessionFactory();
        TraceLines::Forget();
    }
    void TearDown() override {
        Release();
        SS_ShutDown();
        // A stop that gave up waiting leaves the session to end on its
        // dispatch thread, which still writes to this fixture's sink.
        EXPECT_TRUE(WaitFor([] { return mslLoader_ovxSessionConfigSvcs::ReferenceCount() == 0; }));
        if (HasFailure()) TraceLines::Print();
    }
    virtual std::string LocalSettings() { return ""; }
    virtual std::string CommSettings() { return "[group]\ngroupnameHint=Servers\n"; }
    // The usual heartbeat of a sensor.
    SS_HMESSAGE Heartbeat(const char* name = "sensor") {
        SS_HMESSAGE heartbeat = nullptr;
        EXPECT_EQ(0u, CreateHeartbeat(&heartbeat, "{agent}", name, "urn:sensors", "5.0", "127.0.0.1"));
        return heartbeat;
    }
    uint32_t Init() { return SS_Init("5.0", localFile.c_str(), commFile.c_str(), "ovx-tests", nullptr, &sink); }
    // The installed session, with a reference the caller releases.
    CSensorServices* Current() { return dynamic_cast<CSensorServices*>(ovxSensorSvcs::AcquireSession()); }
    // A session started and held in `session` until the test ends.
    void Start() {
        ASSERT_EQ(0u, Init());
        ASSERT_NE(nullptr, session = Current());
    }
    void Release() {
        if (CSensorServices* held = std::exchange(session, nullptr)) held->Release();
    }
    // Shuts the session down and waits until the service library is let go.
    void End() {
        Release();
        ASSERT_EQ(0u, SS_ShutDown());
        ASSERT_TRUE(WaitFor([] { return mslLoader_ovxSessionConfigSvcs::ReferenceCount() == 0; }));
    }
    // The count of servers (99 when it was not written), or ~0u when the call fails.
    static uint32_t Servers() {
        uint32_t count = 99;
        return SS_GetServerCount(&count) == 0 ? count : ~0u;
    }

#ifdef OVX_PROBE
    // Runs the agent probe in `mode` on the settings files, `arguments` after
    // them; its exit status (128 + the signal that ended it), and what it
    // printed into `said`.
    int Probe(const std::string& mode, std::string& said, const std::string& arguments = "") {
        const std::string command = std::string(OVX_PROBE) + " " + mode + " " + OVX_SENSOR_LIBRARY + " " +
                                    OVX_TEST_LIBRARY_DIR + " " + localFile + " " + commFile + " " + arguments;
        const ShellRun run = RunShell(command);
        said += run.output;
        return WIFEXITED(run.status) ? WEXITSTATUS(run.status) : 128 + WTERMSIG(run.status);
    }
#endif

    TempDir temp{"ovx-session"};
    std::string dir = temp.path(), localFile = dir + "/local.ini", commFile = dir + "/comm.ini";
    SS_TraceSink sink = TraceLines::Sink();
    CSensorServices* session = nullptr;
};

// The threads of this process.
inline int Threads() {
    return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}));
}

// How many trace lines say `text`.
inline size_t Says(const std::string& text) { return TraceLines::Count(text); }

// How many times `part` is in `text`.
inline size_t Occurrences(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// The permission bits of what `path` names, ~0u when there is nothing.
inline unsigned Mode(const std::string& path) {
    struct stat about {};
    return ::stat(path.c_str(), &about) == 0 ? about.st_mode & 0777u : ~0u;
}

// Every one of `parts` is in `text`.
inline void ExpectContains(const std::string& text, std::initializer_list<std::string> parts) {
    for (const std::string& part : parts) EXPECT_NE(std::string::npos, text.find(part)) << part << " in\n" << text;
}

}  // namespace ovxTest

#endif
