// A session's memory over a long run: after the first thousand heartbeats
// posted and answered, more of them must not make it grow. The test command
// posts a few thousand; OVX_HEARTBEATS=100000 runs the full measurement.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "ProcessUsage.h"
#include "sensor_services/Answers.h"
#include "sensor_services/SessionFixture.h"
#include "support/TestServer.h"

using namespace ovxTest;

namespace {

const char kAgent[] = "{6B29FC40-CA47-1067-B31D-00DD010662DA}";

// What the server says to a heartbeat that asks for nothing new.
const std::string kAnswer =
    Answer("", "", "<destination name='sensor' namespace='urn:sensors' agent-id='" + std::string(kAgent) + "'/>");

std::mutex g_answeredLock;
std::condition_variable g_answeredChanged;
unsigned g_answered = 0;
uint32_t Answered(const char*) {
    std::lock_guard<std::mutex> hold(g_answeredLock);
    ++g_answered;
    g_answeredChanged.notify_all();
    return 0;
}

class Growth : public SessionFixture {
protected:
    void SetUp() override {
        server.server().Post("/ovx/sensor_services/heartbeat", [](const httplib::Request&, httplib::Response& answer) {
            answer.set_content(kAnswer, "application/x-ovx-cml-data");
        });
        server.Start();
        SessionFixture::SetUp();
    }
    std::string LocalSettings() override { return "[sensor_services]\nautoGroupSettingsRequest=0\n"; }
    std::string CommSettings() override { return "[server.1]\nurl=" + server.Url() + "\n"; }

    // Posts one heartbeat and waits until its answer has been processed.
    bool PostOne(int index) {
        SS_HMESSAGE heartbeat = nullptr;
        if (CreateHeartbeat(&heartbeat, kAgent, "Growth sensor", "urn:sensors", "5.0.0", "127.0.0.1") != 0) {
            return false;
        }
        SetHostInfo(heartbeat, "growth-host", "127.0.0.1", "Linux", 0, "GROWTH", "WORKGROUP", nullptr, nullptr);
        for (int i = 0; i < 5; ++i)
            AddModuleInfo(heartbeat, ("module-" + std::to_string(i)).c_str(), "1.2.3", 0, nullptr);
        AddGetPolicyRequest(heartbeat, "0", ("policy-" + std::to_string(index % 7)).c_str(), "urn:p", nullptr, nullptr,
                            nullptr);
        std::unique_lock<std::mutex> hold(g_answeredLock);
        const unsigned before = g_answered;
        if (PostHeartbeat(heartbeat, nullptr, nullptr) != 0) {
            FreeHeartbeat(heartbeat);
            return false;
        }
        return g_answeredChanged.wait_for(hold, std::chrono::seconds(10), [&] { return g_answered != before; });
    }

    TestServer server;
};

}  // namespace

TEST_F(Growth, ResidentMemoryStaysFlatAfterTheFirstThousandHeartbeats) {
    sink.levelMask = SS_TRACE_ERROR;
    ASSERT_EQ(0u, Init());
    ASSERT_EQ(0u, RegisterResponseComplete(&Answered));
    const char* configured = std::getenv("OVX_HEARTBEATS");
    const int total = configured != nullptr ? std::atoi(configured) : 4000;
    ASSERT_GT(total, 1000);
    long afterFirst = 0;
    for (int i = 0; i < total; ++i) {
        ASSERT_TRUE(PostOne(i)) << "heartbeat " << i << " not answered";
        if (i + 1 == 1000) afterFirst = ResidentKiB();
    }
    const long afterAll = ResidentKiB();
    std::printf("resident after 1000 heartbeats: %ld KiB, after %d: %ld KiB (%+ld KiB)\n", afterFirst, total, afterAll,
                afterAll - afterFirst);
    std::printf(
        "ovx-bench\tresident memory after %d heartbeats vs after 1000\t%ld KiB\t%ld KiB\t%.2fx\t"
        "<= +1024 KiB\t%s\n",
        total, afterAll, afterFirst, static_cast<double>(afterAll) / afterFirst,
        afterAll - afterFirst <= 1024 ? "ok" : "MISSED");
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // A sanitizer keeps freed memory in quarantine and shadows the rest:
    // there the run checks leaks and races, not resident size.
#else
    EXPECT_LE(afterAll - afterFirst, 1024);
#endif
    EXPECT_EQ(0u, TraceLines::Count("")) << "error lines were traced";
}
