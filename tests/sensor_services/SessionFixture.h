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
#include <string>
#include <thread>
#include <vector>

#include "ovxSensorSvcs.h"
#include "ovxStatus.h"
#include "sensor_services/SensorServices.h"
#include "transport/mslLoader.h"
#include "support/TestFiles.h"
#include "support/TraceLines.h"
#include "transport/mslLoader_ovxSessionConfigSvcs.h"

using Clock = std::chrono::steady_clock;

namespace ovxTest {

using ovxSensorServices::CSensorServices;
using ovxSensorServices::RegisterSessionFactory;

class SessionFixture : public ::testing::Test {
protected:
    void SetUp() override {
        localFile = dir + "/local.ini";
        commFile = dir + "/comm.ini";
        WriteText(localFile, "[scs]\nagentIdFile=" + dir + "/agent-id.ini\n" + LocalSettings());
        WriteText(commFile, CommSettings());
        mslLoader::SetMSLLoaderLibPath(OVX_TEST_LIBRARY_DIR);
        RegisterSessionFactory();
        TraceLines::Forget();
    }
    void TearDown() override {
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
    CSensorServices* Current() {
        CSessionOperations* session = ovxSensorSvcs::AcquireSession();
        return session == nullptr ? nullptr : dynamic_cast<CSensorServices*>(session);
    }

    TempDir temp{"ovx-session"};
    std::string dir = temp.path(), localFile, commFile;
    SS_TraceSink sink = TraceLines::Sink();
};

}  // namespace ovxTest

#endif
