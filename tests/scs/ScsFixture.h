// A temporary folder with a local property file and a comm settings file,
// an initialised SCS session and its default destination.
#ifndef OVX_TESTS_SCS_SCSFIXTURE_H
#define OVX_TESTS_SCS_SCSFIXTURE_H

#include "ovxStatus.h"
#include "scs/ScsDeclarations.h"
#include "support/Checks.h"
#include "support/TestFiles.h"

namespace ovxTest {

// The test certificates made when the build was configured.
inline const std::string kCerts = OVX_TEST_CERT_DIR;

class ScsFixture : public ::testing::Test {
protected:
    void SetUp() override {
        WriteText(localFile, LocalSettings());
        WriteText(commFile, CommSettings());
        TraceLines::Forget();
        ASSERT_EQ(0u, SCS_Init("5.9", "ovx-tests", nullptr, &sink));
        ASSERT_EQ(0u, SCS_AddDestinationFiles(localFile.c_str(), commFile.c_str(), &destination));
    }
    void TearDown() override { EXPECT_EQ(0u, SCS_ShutDown()); }
    virtual std::string LocalSettings() {
        return "[scs]\nagentIdFile=" + dir + "/agent-id.ini\n[sensor_services]\nretryInterval=1000\n";
    }
    virtual std::string CommSettings() {
        return "[group]\nschemaVersion=1.2\ngroupnameHint=Servers\n\n[server.1]\nname=primary\nurl=http://127.0.0.1:1\n"
               "\n[server.2]\nname=backup\nurl=http://127.0.0.1:2\nsite=north\nproxyPassword=s3cret\n";
    }
    static bool Traced(const std::string& text) { return TraceLines::Count(text) > 0; }

    TempDir temp{"ovx-scs"};
    std::string dir = temp.path(), localFile = dir + "/local.ini", commFile = dir + "/comm.ini";
    int32_t destination = -1;
    SS_TraceSink sink = TraceLines::Sink(SS_TRACE_ERROR);
};

}  // namespace ovxTest

#endif  // OVX_TESTS_SCS_SCSFIXTURE_H
