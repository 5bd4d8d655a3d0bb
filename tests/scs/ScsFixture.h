// A temporary folder with a local property file and a comm settings file,
// an initialised SCS session and its default destination.
#ifndef OVX_TESTS_SCS_SCSFIXTURE_H
#define OVX_TESTS_SCS_SCSFIXTURE_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ovxStatus.h"
#include "scs/ScsDeclarations.h"
#include "support/TestFiles.h"

namespace ovxTest {

// The test certificates made when the build was configured.
inline const std::string kCerts = OVX_TEST_CERT_DIR;

class ScsFixture : public ::testing::Test {
protected:
    void SetUp() override {
        localFile = dir + "/local.ini";
        commFile = dir + "/comm.ini";
        WriteText(localFile, LocalSettings());
        WriteText(commFile, CommSettings());
        lines.clear();
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
    static uint32_t Collect(uint32_t, uint32_t, const char* text, const char*) {
        lines.emplace_back(text);
        return 0;
    }
    static bool Traced(const std::string& text) {
        for (const auto& line : lines) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }

    TempDir temp{"ovx-scs"};
    std::string dir = temp.path(), localFile, commFile;
    int32_t destination = -1;
    static inline std::vector<std::string> lines;
    SS_TraceSink sink{0, SS_TRACE_ERROR, &Collect};
};

}  // namespace ovxTest

#endif  // OVX_TESTS_SCS_SCSFIXTURE_H
