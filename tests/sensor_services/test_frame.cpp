// The exported frame over a fake session: the shared wrapper, SS_Init and
// SS_ShutDown, reference counting under concurrent calls, and the entries
// that work without a session.
#include <cstring>
#include <stdexcept>
#include <thread>

#include "support/Checks.h"
#include "sensor_services/SensorServices.h"

namespace {

std::atomic<int> g_live{0};

// The real session with its lifetime, start and stop replaced: a test sees
// its references and makes the one operation it calls (SS_SetLanguage)
// fail, throw or answer slowly.
struct FakeSession : ovxSensorServices::CSensorServices {
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
    uint32_t SetLanguage(const char*) override { return s_throw ? throw std::runtime_error("boom") : s_status; }

    static CSessionOperations* Make() { return s_last = new FakeSession(); }

    std::atomic<uint32_t> m_refs{1};

    static inline uint32_t s_status = 0, s_initStatus = 0;
    static inline bool s_throw = false;
    static inline std::atomic<bool> s_slowAddRef{false};
    static inline FakeSession* s_last = nullptr;
};

using namespace ovxTest;

struct FrameTest : ::testing::Test {
    void SetUp() override {
        TraceLines::Forget();
        FakeSession::s_status = FakeSession::s_initStatus = 0;
        FakeSession::s_throw = FakeSession::s_slowAddRef = false;
        m_previous = ovxSensorSvcs::SetSessionFactory(&FakeSession::Make);
    }
    void TearDown() override {
        EXPECT_EQ(0u, SS_ShutDown());
        ovxSensorSvcs::SetSessionFactory(m_previous);
        EXPECT_EQ(0, g_live.load()) << "a session object leaked";
    }
    uint32_t InitOk() { return SS_Init("5.0.0", "local.ini", "comm.ini", "session", nullptr, nullptr); }
    ovxSensorSvcs::SessionFactory m_previous = nullptr;
};

}  // namespace

// Every session-bound entry, called with harmless arguments, in the order
// of the public header (a table, several entries a line).
TEST_F(FrameTest, EverySessionBoundEntryAnswersNotInitialisedWithoutASession) {
    char* s[10] = {};
    uint32_t n = 0;
    SS_HMESSAGE m = nullptr;
    SS_HMODULE module = nullptr;
    const SS_CertificateInfo info{sizeof(SS_CertificateInfo), 0, 0, 0, 0};
    // clang-format off
    const uint32_t statuses[] = {
        SS_GetAgentId(&s[0]), SS_SetAgentId("a"), SS_SetLastGoodAgentId("a"), SS_SetLanguage("en"),
        SS_SetGroupnameHint("g"), SS_RegisterCertificateInfo(&info), SS_UnregisterCertificateInfo(),
        SS_StartAliveHeartbeats(1, 2), SS_StopAliveHeartbeats(), SS_ResetToPrimaryController(),
        SS_ExchangeKeys(m, 1, 1, 1, "RSA", 1024, "x", &s[0], &n, &s[1]),
        SS_AttachToSite(m, 1, 1, 1, "u", "p", "RSA", 1024, "x"), SS_RegisterErrorCallback(nullptr),
        SS_AddServer(-1, "n", "u", 0, 0, 0, 0, 0, 0, 0, 0, 0), SS_DeleteServer(0), SS_GetServerCount(&n),
        SS_GetServerInfo(0, &s[0], &s[1], &s[2], &s[3], &s[4], &s[5], &s[6], &s[7], &s[8], &s[9]),
        SS_LoadServers("f", 7), SS_LoadCommSettingsFile("f"), SS_SaveCommSettings("f"), SS_LoadLocalSettingsFile("f"),
        SS_TestCommSettings("http://127.0.0.1:1/", 10), SS_TestCommSettingsFile("f", 10),
        CreateMessage(&m, "a", "n", "ns"), FreeMessage(m), CreateHeartbeat(&m, "a", "n", "ns", "1", "127.0.0.1"),
        FreeHeartbeat(m), SetBasicAgentInfo(m, "1", "p", 0, "d", 0, "i", "d", "m", "g", 0, 0),
        SetBasicAgentInfoEx(m, "1", "p", 0, "d", 0, "i", "d", "m", "g", 0, 0, "2026-01-01T00:00:00"),
        SetAgentInfo(m, "1", "s", 0, "i", "d"), SetHostInfo(m, "h", "127.0.0.1", "os", 0, "n", "d", "o", "g"),
        AddModuleInfo(m, "n", "1", 0, &module), AddModuleInfoParams(module, "<x/>", 4),
        AddSchemaInfo(m, "n", "ns", "1", 0, 0, 0, 0), AddAgentParams(m, "<x/>", 4),
        AddOptAgentProperties(m, "<x/>", 4, nullptr, nullptr),
        AddAgentPolicyInfo(m, "t", "n", "ns", "v", nullptr, nullptr),
        AddGetPolicyRequest(m, "t", "n", "ns", "v", nullptr, nullptr),
        AddSetPolicyRequest(m, "<x/>", 4, nullptr, nullptr),
        AddSetPolicyResponse(m, "n", "ns", "v", 0, "t", "k", "r", 1),
        AddGetSchemaRequest(m, "n", "ns", "v", nullptr, nullptr),
        AddSetSchemaRequest(m, "n", "ns", "v", 0, "<x/>", 4, nullptr, nullptr),
        AddGetSchemaResponse(m, "n", "ns", "v", 0, "t", 0, "<x/>", 4, "r", 1),
        AddSetSchemaResponse(m, "n", "ns", "v", 0, "t", "r", 1), PostHeartbeat(m, nullptr, nullptr),
        PostPing(nullptr, nullptr), RegisterGetPolicyResponse(nullptr), RegisterSetPolicyResponse(nullptr),
        RegisterGetSchemaResponse(nullptr), RegisterSetSchemaResponse(nullptr), RegisterGetSchemaRequest(nullptr),
        RegisterSetSchemaRequest(nullptr), RegisterGenericResponse(nullptr), RegisterResponseComplete(nullptr),
        RegisterPingResponse(nullptr), RegisterCommSettingsResponse(nullptr), RegisterGroupSettingsResponse(nullptr)};
    // clang-format on
    EXPECT_THAT(statuses, ::testing::Each(OVX_E_NOT_INITIALIZED));
    EXPECT_EQ(nullptr, SS_Allocate(16));
    SS_Free(nullptr);
    SS_SetMSLLibPath(nullptr);
    SS_SetMSLExtSigFileExtension(nullptr);
}

// The session's status comes back as it is; an exception becomes
// OVX_E_UNEXPECTED; either way the call gives its reference back. Memory
// comes from the session and goes back through SS_Free.
TEST_F(FrameTest, AnEntryKeepsTheSessionsStatusAndTurnsAnExceptionIntoUnexpected) {
    ASSERT_EQ(0u, InitOk());
    FakeSession::s_status = 0xC7590004u;
    EXPECT_EQ(0xC7590004u, SS_SetLanguage("en"));
    FakeSession::s_throw = true;
    EXPECT_EQ(Joined({OVX_E_UNEXPECTED, 1}), Joined({SS_SetLanguage("en"), FakeSession::s_last->m_refs.load()}));
    char* memory = static_cast<char*>(SS_Allocate(32));
    ASSERT_NE(nullptr, memory);
    std::memset(memory, 'a', 32);
    SS_Free(memory);
    EXPECT_EQ(1u, FakeSession::s_last->m_refs.load());
}

TEST_F(FrameTest, InitValidatesItsArgumentsAndTracesTheFailure) {
    SS_TraceSink sink = TraceLines::Sink(SS_TRACE_ERROR | SS_TRACE_PROGRESS, 0x5eed);
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, SS_Init("4.9", "l", "c", "s1", nullptr, &sink));
    // Each line as level, place and text.
    std::string said;
    for (const TraceLine& line : TraceLines::All()) said += Joined({line.level, line.where, line.text}) + "\n";
    char expected[300];
    snprintf(expected, sizeof(expected),
             "%u ovxSensorSvcs::SS_Init() Initializing Zizozo Razarivi...\n%u ovxSensorSvcs::SS_Init() ...Error "
             "validating arguments in call to SS_Init(4.9, l, c, s1, NULL, 0x%08lx)\n",
             SS_TRACE_PROGRESS, SS_TRACE_ERROR, static_cast<unsigned long>(reinterpret_cast<uintptr_t>(&sink)));
    EXPECT_EQ(expected, said);
    const char* const arguments[][4] = {{nullptr, "l", "c", "s1"},
                                        {"5.0", nullptr, "c", "s1"},
                                        {"5.0", "l", nullptr, "s1"},
                                        {"5.0", "l", "c", nullptr},
                                        {"5", "l", "c", "s1"}};
    for (const auto& a : arguments) EXPECT_EQ(OVX_E_INVALID_ARGUMENT, SS_Init(a[0], a[1], a[2], a[3], "s2", &sink));
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
    EXPECT_EQ(Joined({0xC7590002u, 0, OVX_E_NOT_INITIALIZED}), Joined({InitOk(), g_live.load(), SS_SetLanguage("en")}));
    ovxSensorSvcs::SetSessionFactory(nullptr);
    EXPECT_EQ(OVX_E_UNEXPECTED, InitOk());
}

TEST_F(FrameTest, CallsOverlappingShutDownFinishOnALiveObject) {
    FakeSession::s_slowAddRef = true;
    std::atomic<bool> done{false};
    std::atomic<long> answered{0}, reached{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 3; ++t)
        callers.emplace_back([&] {
            while (!done.load()) {
                const uint32_t status = SS_SetLanguage("en");
                const bool valid = status == 0 || status == OVX_E_NOT_INITIALIZED;
                EXPECT_TRUE(valid) << std::hex << status;
                answered += valid;
                reached += status == 0;
            }
        });
    // Cycle until the callers have really overlapped the cycles (bounded),
    // each shut-down once a call has reached the session.
    for (int cycle = 0; cycle < 50 || (answered.load() < 1000 && cycle < 200000); ++cycle) {
        EXPECT_THAT(InitOk(), AnyOf(0u, OVX_I_ALREADY_INITIALIZED));
        const long seen = reached.load();
        for (int i = 0; i < 100000 && reached.load() == seen; ++i) std::this_thread::yield();
        EXPECT_EQ(0u, SS_ShutDown());
    }
    done = true;
    for (auto& caller : callers) caller.join();
    EXPECT_GT(answered.load(), 0);
}

// The text goes whole into a buffer that holds it, or not at all; one made
// from a template with inserts (socket errors, system statuses of other
// facilities) names the status asked about.
TEST(GetErrorMsg, BufferRulesAndInsertTexts) {
    char buffer[512];
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, SS_GetErrorMsg(OVX_E_INVALID_ARGUMENT, buffer, 1));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, SS_GetErrorMsg(OVX_E_INVALID_ARGUMENT, nullptr, 100));
    ASSERT_EQ(0u, SS_GetErrorMsg(OVX_E_NOT_INITIALIZED, buffer, sizeof(buffer)));
    EXPECT_STREQ("Zizozo Razarivi is not initialised. [ID=0xc7560003]", buffer);
    size_t length = std::strlen(buffer);
    std::memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(0u, SS_GetErrorMsg(OVX_E_NOT_INITIALIZED, buffer, static_cast<uint32_t>(length)));
    // The whole given buffer was cleared, and nothing past it.
    EXPECT_EQ(std::string(length, '\0') + 'x', std::string(buffer, length + 1));
    ASSERT_EQ(0u, SS_GetErrorMsg(OVX_E_NOT_INITIALIZED, buffer, static_cast<uint32_t>(length + 1)));
    EXPECT_EQ(length, std::strlen(buffer));
    ASSERT_EQ(0u, SS_GetErrorMsg(0xC72B0068u, buffer, sizeof buffer));
    EXPECT_STREQ("Socket error 104. [ID=0xc72b0068]", buffer);
    ASSERT_EQ(0u, SS_GetErrorMsg(0xC8A00005u, buffer, sizeof buffer));
    EXPECT_THAT(std::string(buffer), AllOf(Not(HasSubstr("0xc721002")), HasSubstr(" [ID=0xc8a00005]")));
}
