// The exported frame over a fake session: the shared wrapper, SS_Init and
// SS_ShutDown, reference counting under concurrent calls, and the entries
// that work without a session.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ovxSensorSvcs.h"
#include "sensor_services/SensorServices.h"
#include "support/TraceLines.h"

namespace {

std::atomic<int> g_live{0};

// The real session with its lifetime, start and stop replaced: a test sees
// its references and makes the one operation it calls (SS_SetLanguage)
// fail, throw or answer slowly.
class FakeSession : public ovxSensorServices::CSensorServices {
public:
    FakeSession() { ++g_live; }
    ~FakeSession() override { --g_live; }
    uint32_t AddRef() override {
        // A caller slow to take its reference: a shut-down meets it half-way.
        if (s_slowAddRef) std::this_thread::sleep_for(std::chrono::microseconds(100));
        return ++m_refs;
    }
    uint32_t Release() override {
        uint32_t left = --m_refs;
        if (left == 0) delete this;
        return left;
    }
    uint32_t Init(const ovxToolsLib::ovxThreadingFunctions*, SS_TraceSink*, const char*, const char*, const char*,
                  const char*, const char*) override {
        return s_initStatus;
    }
    uint32_t ShutDown() override { return 0; }
    // A session with nothing of the agent's to detach, as the interface's
    // defaults say.
    void OnInstalled() override { CSessionOperations::OnInstalled(); }
    std::function<void()> AgentDetacher() override { return CSessionOperations::AgentDetacher(); }
    uint32_t SetLanguage(const char*) override {
        if (s_throw) throw std::runtime_error("boom");
        return s_status;
    }

    static CSessionOperations* Make() { return s_last = new FakeSession(); }

    std::atomic<uint32_t> m_refs{1};

    static inline uint32_t s_status = 0;
    static inline uint32_t s_initStatus = 0;
    static inline bool s_throw = false;
    static inline std::atomic<bool> s_slowAddRef{false};
    static inline FakeSession* s_last = nullptr;
};

// Every session-bound entry, called with harmless arguments; what they
// would give back goes to these.
char* g_text[10];
uint32_t g_number = 0;
SS_HMESSAGE g_message = nullptr;
SS_HMODULE g_module = nullptr;
SS_CertificateInfo g_info{sizeof(SS_CertificateInfo), 0, 0, 0, 0};

std::vector<std::pair<const char*, std::function<uint32_t()>>> SessionBoundEntries() {
    SS_HMESSAGE m = g_message;
    char** s = g_text;
    return {
        {"SS_GetAgentId", [=] { return SS_GetAgentId(&s[0]); }},
        {"SS_SetAgentId", [] { return SS_SetAgentId("a"); }},
        {"SS_SetLastGoodAgentId", [] { return SS_SetLastGoodAgentId("a"); }},
        {"SS_SetLanguage", [] { return SS_SetLanguage("en"); }},
        {"SS_SetGroupnameHint", [] { return SS_SetGroupnameHint("g"); }},
        {"SS_RegisterCertificateInfo", [] { return SS_RegisterCertificateInfo(&g_info); }},
        {"SS_UnregisterCertificateInfo", [] { return SS_UnregisterCertificateInfo(); }},
        {"SS_StartAliveHeartbeats", [] { return SS_StartAliveHeartbeats(1, 2); }},
        {"SS_StopAliveHeartbeats", [] { return SS_StopAliveHeartbeats(); }},
        {"SS_ResetToPrimaryController", [] { return SS_ResetToPrimaryController(); }},
        {"SS_ExchangeKeys", [=] { return SS_ExchangeKeys(m, 1, 1, 1, "RSA", 1024, "x", &s[0], &g_number, &s[1]); }},
        {"SS_AttachToSite", [=] { return SS_AttachToSite(m, 1, 1, 1, "u", "p", "RSA", 1024, "x"); }},
        {"SS_RegisterErrorCallback", [] { return SS_RegisterErrorCallback(nullptr); }},
        {"SS_AddServer", [] { return SS_AddServer(-1, "n", "u", 0, 0, 0, 0, 0, 0, 0, 0, 0); }},
        {"SS_DeleteServer", [] { return SS_DeleteServer(0); }},
        {"SS_GetServerCount", [] { return SS_GetServerCount(&g_number); }},
        {"SS_GetServerInfo",
         [=] { return SS_GetServerInfo(0, &s[0], &s[1], &s[2], &s[3], &s[4], &s[5], &s[6], &s[7], &s[8], &s[9]); }},
        {"SS_LoadServers", [] { return SS_LoadServers("f", 7); }},
        {"SS_LoadCommSettingsFile", [] { return SS_LoadCommSettingsFile("f"); }},
        {"SS_SaveCommSettings", [] { return SS_SaveCommSettings("f"); }},
        {"SS_LoadLocalSettingsFile", [] { return SS_LoadLocalSettingsFile("f"); }},
        {"SS_TestCommSettings", [] { return SS_TestCommSettings("http://127.0.0.1:1/", 10); }},
        {"SS_TestCommSettingsFile", [] { return SS_TestCommSettingsFile("f", 10); }},
        {"CreateMessage", [] { return CreateMessage(&g_message, "a", "n", "ns"); }},
        {"FreeMessage", [=] { return FreeMessage(m); }},
        {"CreateHeartbeat", [] { return CreateHeartbeat(&g_message, "a", "n", "ns", "1", "127.0.0.1"); }},
        {"FreeHeartbeat", [=] { return FreeHeartbeat(m); }},
        {"SetBasicAgentInfo", [=] { return SetBasicAgentInfo(m, "1", "p", 0, "d", 0, "i", "d", "m", "g", 0, 0); }},
        {"SetBasicAgentInfoEx",
         [=] { return SetBasicAgentInfoEx(m, "1", "p", 0, "d", 0, "i", "d", "m", "g", 0, 0, "2026-01-01T00:00:00"); }},
        {"SetAgentInfo", [=] { return SetAgentInfo(m, "1", "s", 0, "i", "d"); }},
        {"SetHostInfo", [=] { return SetHostInfo(m, "h", "127.0.0.1", "os", 0, "n", "d", "o", "g"); }},
        {"AddModuleInfo", [=] { return AddModuleInfo(m, "n", "1", 0, &g_module); }},
        {"AddModuleInfoParams", [] { return AddModuleInfoParams(g_module, "<x/>", 4); }},
        {"AddSchemaInfo", [=] { return AddSchemaInfo(m, "n", "ns", "1", 0, 0, 0, 0); }},
        {"AddAgentParams", [=] { return AddAgentParams(m, "<x/>", 4); }},
        {"AddOptAgentProperties", [=] { return AddOptAgentProperties(m, "<x/>", 4, nullptr, nullptr); }},
        {"AddAgentPolicyInfo", [=] { return AddAgentPolicyInfo(m, "t", "n", "ns", "v", nullptr, nullptr); }},
        {"AddGetPolicyRequest", [=] { return AddGetPolicyRequest(m, "t", "n", "ns", "v", nullptr, nullptr); }},
        {"AddSetPolicyRequest", [=] { return AddSetPolicyRequest(m, "<x/>", 4, nullptr, nullptr); }},
        {"AddSetPolicyResponse", [=] { return AddSetPolicyResponse(m, "n", "ns", "v", 0, "t", "k", "r", 1); }},
        {"AddGetSchemaRequest", [=] { return AddGetSchemaRequest(m, "n", "ns", "v", nullptr, nullptr); }},
        {"AddSetSchemaRequest", [=] { return AddSetSchemaRequest(m, "n", "ns", "v", 0, "<x/>", 4, nullptr, nullptr); }},
        {"AddGetSchemaResponse", [=] { return AddGetSchemaResponse(m, "n", "ns", "v", 0, "t", 0, "<x/>", 4, "r", 1); }},
        {"AddSetSchemaResponse", [=] { return AddSetSchemaResponse(m, "n", "ns", "v", 0, "t", "r", 1); }},
        {"PostHeartbeat", [=] { return PostHeartbeat(m, nullptr, nullptr); }},
        {"PostPing", [] { return PostPing(nullptr, nullptr); }},
        {"RegisterGetPolicyResponse", [] { return RegisterGetPolicyResponse(nullptr); }},
        {"RegisterSetPolicyResponse", [] { return RegisterSetPolicyResponse(nullptr); }},
        {"RegisterGetSchemaResponse", [] { return RegisterGetSchemaResponse(nullptr); }},
        {"RegisterSetSchemaResponse", [] { return RegisterSetSchemaResponse(nullptr); }},
        {"RegisterGetSchemaRequest", [] { return RegisterGetSchemaRequest(nullptr); }},
        {"RegisterSetSchemaRequest", [] { return RegisterSetSchemaRequest(nullptr); }},
        {"RegisterGenericResponse", [] { return RegisterGenericResponse(nullptr); }},
        {"RegisterResponseComplete", [] { return RegisterResponseComplete(nullptr); }},
        {"RegisterPingResponse", [] { return RegisterPingResponse(nullptr); }},
        {"RegisterCommSettingsResponse", [] { return RegisterCommSettingsResponse(nullptr); }},
        {"RegisterGroupSettingsResponse", [] { return RegisterGroupSettingsResponse(nullptr); }},
    };
}

using ovxTest::TraceLine;
using ovxTest::TraceLines;

class FrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        TraceLines::Forget();
        FakeSession::s_status = 0;
        FakeSession::s_initStatus = 0;
        FakeSession::s_throw = false;
        FakeSession::s_slowAddRef = false;
        m_previous = ovxSensorSvcs::SetSessionFactory(&FakeSession::Make);
    }
    void TearDown() override {
        EXPECT_EQ(0u, SS_ShutDown());
        ovxSensorSvcs::SetSessionFactory(m_previous);
        EXPECT_EQ(0, g_live.load()) << "a session object leaked";
    }
    uint32_t InitOk(SS_TraceSink* sink = nullptr) {
        return SS_Init("5.0.0", "local.ini", "comm.ini", "session", nullptr, sink);
    }
    ovxSensorSvcs::SessionFactory m_previous = nullptr;
};

}  // namespace

TEST_F(FrameTest, EverySessionBoundEntryAnswersNotInitialisedWithoutASession) {
    for (auto& entry : SessionBoundEntries()) EXPECT_EQ(OVX_E_NOT_INITIALIZED, entry.second()) << entry.first;
    EXPECT_EQ(nullptr, SS_Allocate(16));
    SS_Free(nullptr);
    SS_SetMSLLibPath(nullptr);
    SS_SetMSLExtSigFileExtension(nullptr);
}

// The session's status comes back as it is; an exception becomes
// OVX_E_UNEXPECTED; either way the call gives its reference back.
TEST_F(FrameTest, AnEntryKeepsTheSessionsStatusAndTurnsAnExceptionIntoUnexpected) {
    ASSERT_EQ(0u, InitOk());
    FakeSession::s_status = 0xC7590004u;
    EXPECT_EQ(0xC7590004u, SS_SetLanguage("en"));
    FakeSession::s_throw = true;
    EXPECT_EQ(OVX_E_UNEXPECTED, SS_SetLanguage("en"));
    EXPECT_EQ(1u, FakeSession::s_last->m_refs.load());
    // Memory comes from the session and goes back through SS_Free.
    char* memory = static_cast<char*>(SS_Allocate(32));
    ASSERT_NE(nullptr, memory);
    std::memset(memory, 'a', 32);
    SS_Free(memory);
    EXPECT_EQ(1u, FakeSession::s_last->m_refs.load());
}

TEST_F(FrameTest, InitValidatesItsArgumentsAndTracesTheFailure) {
    SS_TraceSink sink = TraceLines::Sink(SS_TRACE_ERROR | SS_TRACE_PROGRESS, 0x5eed);
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, SS_Init("4.9", "l", "c", "s1", nullptr, &sink));
    const std::vector<TraceLine> lines = TraceLines::All();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(SS_TRACE_PROGRESS, lines[0].level);
    EXPECT_EQ("Initializing Zizozo Razarivi...", lines[0].text);
    EXPECT_EQ("ovxSensorSvcs::SS_Init()", lines[0].where);
    EXPECT_EQ(SS_TRACE_ERROR, lines[1].level);
    char expected[200];
    snprintf(expected, sizeof(expected),
             "...Error validating arguments in call to SS_Init(4.9, l, c, s1, NULL, 0x%08lx)",
             static_cast<unsigned long>(reinterpret_cast<uintptr_t>(&sink)));
    EXPECT_EQ(expected, lines[1].text);
    EXPECT_EQ("ovxSensorSvcs::SS_Init()", lines[1].where);

    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, SS_Init(nullptr, "l", "c", "s1", "s2", &sink));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, SS_Init("5.0", nullptr, "c", "s1", "s2", &sink));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, SS_Init("5.0", "l", nullptr, "s1", "s2", &sink));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, SS_Init("5.0", "l", "c", nullptr, "s2", &sink));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, SS_Init("5", "l", "c", "s1", "s2", &sink));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, SS_Init("50.", "l", "c", "s1", "s2", nullptr));  // silently
    EXPECT_EQ(0, g_live.load());
    // Every line carries the agent's context back.
    for (const TraceLine& line : TraceLines::All()) EXPECT_EQ(0x5eedu, line.context) << line.text;
    // Levels outside the mask are not written.
    TraceLines::Forget();
    sink.levelMask = SS_TRACE_WARNING;
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, SS_Init("x", "l", "c", "s1", nullptr, &sink));
    EXPECT_TRUE(TraceLines::All().empty());
}

// A session that fails to start, or none to make, leaves none behind.
TEST_F(FrameTest, FailedInitLeavesNoSession) {
    FakeSession::s_initStatus = 0xC7590002u;
    EXPECT_EQ(0xC7590002u, InitOk());
    EXPECT_EQ(0, g_live.load());
    EXPECT_EQ(OVX_E_NOT_INITIALIZED, SS_SetLanguage("en"));
    ovxSensorSvcs::SetSessionFactory(nullptr);
    EXPECT_EQ(OVX_E_UNEXPECTED, InitOk());
}

TEST_F(FrameTest, CallsOverlappingShutDownFinishOnALiveObject) {
    FakeSession::s_slowAddRef = true;
    std::atomic<bool> done{false};
    std::atomic<long> answered{0}, reached{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 3; ++t) {
        callers.emplace_back([&] {
            while (!done.load()) {
                uint32_t status = SS_SetLanguage("en");
                if (status == 0 || status == OVX_E_NOT_INITIALIZED)
                    ++answered;
                else
                    ADD_FAILURE() << std::hex << status;
                if (status == 0) ++reached;
            }
        });
    }
    // Cycle until the callers have really overlapped the cycles (bounded),
    // each shut-down once a call has reached the session.
    for (int cycle = 0; cycle < 50 || (answered.load() < 1000 && cycle < 200000); ++cycle) {
        uint32_t status = InitOk();
        EXPECT_TRUE(status == 0 || status == OVX_I_ALREADY_INITIALIZED);
        const long seen = reached.load();
        for (int i = 0; i < 100000 && reached.load() == seen; ++i) std::this_thread::yield();
        EXPECT_EQ(0u, SS_ShutDown());
    }
    done = true;
    for (auto& caller : callers) caller.join();
    EXPECT_GT(answered.load(), 0);
}

TEST(GetErrorMsg, BufferRules) {
    char buffer[512];
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, SS_GetErrorMsg(OVX_E_INVALID_ARGUMENT, buffer, 1));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, SS_GetErrorMsg(OVX_E_INVALID_ARGUMENT, nullptr, 100));
    ASSERT_EQ(0u, SS_GetErrorMsg(OVX_E_NOT_INITIALIZED, buffer, sizeof(buffer)));
    EXPECT_STREQ("Zizozo Razarivi is not initialised. [ID=0xc7560003]", buffer);
    size_t length = std::strlen(buffer);
    std::memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(0u, SS_GetErrorMsg(OVX_E_NOT_INITIALIZED, buffer, static_cast<uint32_t>(length)));
    EXPECT_STREQ("", buffer);
    EXPECT_EQ('\0', buffer[length - 1]);  // the whole given buffer was cleared
    EXPECT_EQ('x', buffer[length]);       // and nothing past it
    ASSERT_EQ(0u, SS_GetErrorMsg(OVX_E_NOT_INITIALIZED, buffer, static_cast<uint32_t>(length + 1)));
    EXPECT_EQ(length, std::strlen(buffer));
}
