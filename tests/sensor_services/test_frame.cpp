// The exported frame over a fake session: the shared wrapper, SS_Init and
// SS_ShutDown, reference counting under concurrent calls, and the entries
// that work without a session.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ovxSensorSvcs.h"
#include "sensor_services/SessionOperations.h"
#include "support/TraceLines.h"

namespace {

std::atomic<int> g_live{0};

// Records the last operation and the arguments a test looks at.
class FakeSession : public CSessionOperations {
public:
    FakeSession() { ++g_live; }
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
    uint32_t Init(const ovxToolsLib::ovxThreadingFunctions* threading, SS_TraceSink*, const char*, const char*,
                  const char*, const char*, const char* sessionString2) override {
        initThreading = threading;
        initSessionString2 = sessionString2 ? sessionString2 : "(null)";
        return s_initStatus;
    }
    uint32_t ShutDown() override {
        shutDownCalled = true;
        return 0;
    }

#define FAKE_OP(name, params)                           \
    uint32_t name params override {                     \
        std::lock_guard<std::mutex> hold(m_recordLock); \
        last = #name;                                   \
        if (s_throw) throw std::runtime_error("boom");  \
        return s_status;                                \
    }
    FAKE_OP(GetAgentId, (char**))
    FAKE_OP(SetAgentId, (const char*))
    FAKE_OP(SetLastGoodAgentId, (const char*))
    uint32_t SetLanguage(const char* language) override {
        std::lock_guard<std::mutex> hold(m_recordLock);
        last = "SetLanguage";
        lastText = language ? language : "(null)";
        return s_status;
    }
    FAKE_OP(SetGroupnameHint, (const char*))
    FAKE_OP(RegisterCertificateInfo, (const SS_CertificateInfo*))
    FAKE_OP(UnregisterCertificateInfo, ())
    FAKE_OP(StartAliveHeartbeats, (uint32_t, uint32_t))
    FAKE_OP(StopAliveHeartbeats, ())
    FAKE_OP(ResetRetryState, ())
    FAKE_OP(GetStatistics, (SS_Statistics*))
    FAKE_OP(ExchangeKeys,
            (SS_HMESSAGE, uint32_t, uint32_t, uint32_t, const char*, uint32_t, const char*, char**, uint32_t*, char**))
    FAKE_OP(AttachToSite,
            (SS_HMESSAGE, uint32_t, uint32_t, uint32_t, const char*, const char*, const char*, uint32_t, const char*))
    void* Allocate(uint32_t size) override { return new char[size]; }
    FAKE_OP(AddServer, (int32_t, const char*, const char*, const char*, const char*, const char*, const char*,
                        const char*, const char*, const char*, const char*, uint8_t))
    FAKE_OP(DeleteServer, (int32_t))
    FAKE_OP(GetServerCount, (uint32_t*))
    FAKE_OP(GetServerInfo, (int32_t, char**, char**, char**, char**, char**, char**, char**, char**, char**, char**))
    uint32_t LoadServers(const char*, uint32_t replaceExisting) override {
        std::lock_guard<std::mutex> hold(m_recordLock);
        last = "LoadServers";
        lastNumber = replaceExisting;
        return s_status;
    }
    FAKE_OP(LoadCommSettingsFile, (const char*))
    FAKE_OP(SaveCommSettings, (const char*))
    FAKE_OP(LoadLocalSettingsFile, (const char*))
    FAKE_OP(TestCommSettings, (const char*, uint32_t))
    FAKE_OP(TestCommSettingsFile, (const char*, uint32_t))
    FAKE_OP(CreateMessage, (SS_HMESSAGE*, const char*, const char*, const char*))
    FAKE_OP(FreeMessage, (SS_HMESSAGE))
    FAKE_OP(CreateHeartbeat, (SS_HMESSAGE*, const char*, const char*, const char*, const char*, const char*))
    FAKE_OP(FreeHeartbeat, (SS_HMESSAGE))
    uint32_t SetBasicAgentInfo(SS_HMESSAGE, const char*, const char*, uint32_t, const char*, uint32_t, const char*,
                               const char*, const char*, const char*, uint8_t, uint8_t,
                               const char* lastRestart) override {
        std::lock_guard<std::mutex> hold(m_recordLock);
        last = "SetBasicAgentInfo";
        lastText = lastRestart ? lastRestart : "(null)";
        return s_status;
    }
    FAKE_OP(SetAgentInfo, (SS_HMESSAGE, const char*, const char*, uint32_t, const char*, const char*))
    FAKE_OP(SetHostInfo, (SS_HMESSAGE, const char*, const char*, const char*, uint32_t, const char*, const char*,
                          const char*, const char*))
    FAKE_OP(AddModuleInfo, (SS_HMESSAGE, const char*, const char*, uint32_t, SS_HMODULE*))
    FAKE_OP(AddModuleInfoParams, (SS_HMODULE, const char*, uint32_t))
    FAKE_OP(AddSchemaInfo, (SS_HMESSAGE, const char*, const char*, const char*, uint8_t, uint8_t, uint8_t, uint8_t))
    FAKE_OP(AddAgentParams, (SS_HMESSAGE, const char*, uint32_t))
    uint32_t AddGetPolicyRequest(SS_HMESSAGE, const char*, const char*, const char*, const char* schemaVersion, char*,
                                 uint32_t*) override {
        std::lock_guard<std::mutex> hold(m_recordLock);
        last = "AddGetPolicyRequest";
        lastText = schemaVersion ? schemaVersion : "(null)";
        return s_status;
    }
    FAKE_OP(AddSetPolicyRequest, (SS_HMESSAGE, const char*, uint32_t, char*, uint32_t*))
    FAKE_OP(AddSetPolicyResponse, (SS_HMESSAGE, const char*, const char*, const char*, uint32_t, const char*,
                                   const char*, const char*, uint32_t))
    FAKE_OP(AddGetSchemaRequest, (SS_HMESSAGE, const char*, const char*, const char*, char*, uint32_t*))
    FAKE_OP(AddSetSchemaRequest,
            (SS_HMESSAGE, const char*, const char*, const char*, uint8_t, const char*, uint32_t, char*, uint32_t*))
    FAKE_OP(AddGetSchemaResponse, (SS_HMESSAGE, const char*, const char*, const char*, uint32_t, const char*, uint8_t,
                                   const char*, uint32_t, const char*, uint32_t))
    FAKE_OP(AddSetSchemaResponse,
            (SS_HMESSAGE, const char*, const char*, const char*, uint32_t, const char*, const char*, uint32_t))
    FAKE_OP(PostHeartbeat, (SS_HMESSAGE, char*, uint32_t*))
    FAKE_OP(PostPing, (char*, uint32_t*))
    FAKE_OP(RegisterErrorCallback, (SS_ErrorCallbackFn))
    FAKE_OP(RegisterGetPolicyResponse, (SS_PolicyCallbackFn))
    FAKE_OP(RegisterSetPolicyResponse, (SS_PolicyCallbackFn))
    FAKE_OP(RegisterGetSchemaResponse, (SS_SchemaCallbackFn))
    FAKE_OP(RegisterSetSchemaResponse, (SS_SchemaCallbackFn))
    FAKE_OP(RegisterGetSchemaRequest, (SS_SchemaCallbackFn))
    FAKE_OP(RegisterSetSchemaRequest, (SS_SchemaCallbackFn))
    FAKE_OP(RegisterGenericResponse, (SS_GenericResponseFn))
    FAKE_OP(RegisterResponseComplete, (SS_ResponseCompleteFn))
    FAKE_OP(RegisterPingResponse, (SS_PingResponseFn))
    FAKE_OP(RegisterCommSettingsResponse, (SS_PolicyCallbackFn))
#undef FAKE_OP

    static CSessionOperations* Make() { return s_last = new FakeSession(); }

    std::atomic<uint32_t> m_refs{1};
    std::mutex m_recordLock;  // callers on several threads record here
    std::string last;
    std::string lastText;
    uint32_t lastNumber = 0;
    bool shutDownCalled = false;
    const ovxToolsLib::ovxThreadingFunctions* initThreading = nullptr;
    std::string initSessionString2;

    static inline uint32_t s_status = 0;
    static inline uint32_t s_initStatus = 0;
    static inline bool s_throw = false;
    static inline std::atomic<bool> s_slowAddRef{false};
    static inline FakeSession* s_last = nullptr;

protected:
    ~FakeSession() override { --g_live; }
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

TEST_F(FrameTest, EverySessionBoundEntryReachesTheSessionAndKeepsItsStatus) {
    ASSERT_EQ(0u, InitOk());
    FakeSession::s_status = 0xC7590004u;
    for (auto& entry : SessionBoundEntries()) EXPECT_EQ(0xC7590004u, entry.second()) << entry.first;
    EXPECT_EQ(1u, FakeSession::s_last->m_refs.load());  // every call gave its reference back
    // Memory comes from the session and goes back through SS_Free.
    char* memory = static_cast<char*>(SS_Allocate(32));
    ASSERT_NE(nullptr, memory);
    std::memset(memory, 'a', 32);
    SS_Free(memory);
}

TEST_F(FrameTest, AnExceptionInTheSessionBecomesUnexpectedFailure) {
    ASSERT_EQ(0u, InitOk());
    FakeSession::s_throw = true;
    EXPECT_EQ(OVX_E_UNEXPECTED, SS_SetAgentId("x"));
    EXPECT_EQ(OVX_E_UNEXPECTED, PostPing(nullptr, nullptr));
    EXPECT_EQ(1u, FakeSession::s_last->m_refs.load());
}

TEST_F(FrameTest, AliasesForwardToTheirSharedOperation) {
    ASSERT_EQ(0u, InitOk());
    FakeSession* session = FakeSession::s_last;
    AddAgentPolicyInfo(nullptr, "t", "n", "ns", "ignored", nullptr, nullptr);
    EXPECT_EQ("AddGetPolicyRequest", session->last);
    EXPECT_EQ("(null)", session->lastText);
    AddOptAgentProperties(nullptr, "<x/>", 4, nullptr, nullptr);
    EXPECT_EQ("AddSetPolicyRequest", session->last);
    RegisterGroupSettingsResponse(nullptr);
    EXPECT_EQ("RegisterCommSettingsResponse", session->last);
    SS_ResetToPrimaryController();
    EXPECT_EQ("ResetRetryState", session->last);
    SS_GetStatistics(nullptr);
    EXPECT_EQ("GetStatistics", session->last);
    SS_LoadServers("f", 7);
    EXPECT_EQ(1u, session->lastNumber);
    SS_LoadServers("f", 0);
    EXPECT_EQ(0u, session->lastNumber);
    SetBasicAgentInfo(nullptr, "1", "p", 0, "d", 0, "i", "d", "m", "g", 0, 0);
    EXPECT_EQ("(null)", session->lastText);
    SetBasicAgentInfoEx(nullptr, "1", "p", 0, "d", 0, "i", "d", "m", "g", 0, 0, "2026-12-06T10:00:00");
    EXPECT_EQ("2026-12-06T10:00:00", session->lastText);
    SS_SetLanguage("fr");
    EXPECT_EQ("fr", session->lastText);
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

// A second SS_Init makes nothing new; SS_ShutDown stops the session before
// it lets it go, and works without one; a session starts again after it.
TEST_F(FrameTest, InitTwiceThenShutDownThenInitAgain) {
    ASSERT_EQ(0u, InitOk());
    EXPECT_EQ("(null)", FakeSession::s_last->initSessionString2);
    EXPECT_NE(nullptr, FakeSession::s_last->initThreading);
    FakeSession* first = FakeSession::s_last;
    EXPECT_EQ(OVX_I_ALREADY_INITIALIZED, InitOk());
    EXPECT_EQ(first, FakeSession::s_last);  // nothing new was made
    first->AddRef();                        // kept alive to look at it afterwards
    EXPECT_EQ(0u, SS_ShutDown());
    EXPECT_TRUE(first->shutDownCalled);
    EXPECT_EQ(1u, first->m_refs.load());
    first->Release();
    EXPECT_EQ(0, g_live.load());
    EXPECT_EQ(OVX_E_NOT_INITIALIZED, SS_SetLanguage("en"));
    EXPECT_EQ(0u, SS_ShutDown());
    ASSERT_EQ(0u, InitOk());
    EXPECT_EQ(0u, SS_SetLanguage("en"));
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

TEST_F(FrameTest, ConcurrentInitsInstallExactlyOneSession) {
    std::vector<std::thread> starters;
    std::atomic<int> installed{0};
    for (int t = 0; t < 4; ++t) {
        starters.emplace_back([&] {
            if (InitOk() == 0) ++installed;
        });
    }
    for (auto& starter : starters) starter.join();
    EXPECT_GE(installed.load(), 1);
    EXPECT_EQ(1, g_live.load());  // losers were released
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
