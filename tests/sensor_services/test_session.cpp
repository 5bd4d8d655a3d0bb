// The session object against the real service library, its settings files
// in a temporary folder and, where a server is needed, a port on 127.0.0.1
// that nothing answers.
#include <atomic>

#include "support/Checks.h"
#include "SessionFixture.h"
#include "transport/BaseServices.h"
#include "transport/BaseSupport.h"

using namespace ovxSensorServices;
using namespace ovxTest;
using Session = ovxTest::SessionFixture;

// The flags (dump, group settings request, merge, response thread) and the
// shut-down timeout of `session`.
static std::string Settings(CSensorServices* s) {
    const SessionFlags f = s->GetFlags();
    return Joined({f.dumpEnabled, f.autoGroupSettingsRequest, f.mergeHeartbeatOnPost, f.processResponseThread,
                   s->ShutdownTimeout()});
}

static bool Said(const std::string& line, size_t times = 1) {
    return WaitFor([&] { return TraceLines::Count(line) >= times; });
}

// Init starts the dispatch and worker threads, which wait for work, and
// with no server a dispatch finds none; a second Init starts nothing; the
// shut-down stops both threads and a session starts again after it. The
// flags without a section of ours have their defaults.
TEST_F(Session, InitStartsTheThreadsWithTheDefaultsAndShutDownStopsThem) {
    ASSERT_NO_FATAL_FAILURE(Start());
    EXPECT_EQ(1u, TraceLines::Count("Zizozo razarivi initialized."));
    ASSERT_TRUE(Said("Entering dispatch thread: ProcessId = "));
    ASSERT_TRUE(Said("Entering worker thread: "));
    EXPECT_EQ("0 1 0 0 30000", Settings(session));
    EXPECT_EQ("0 " + commFile, Joined({session->GetGroupSettingsToken(), session->GetCommSettingsFile()}));
    ASSERT_TRUE(Said("Waiting on dispatch event with timeout = -1"));
    EXPECT_EQ(0u, session->RequestDispatch());
    ASSERT_TRUE(Said("Cannot dispatch data. No server found."));
    ASSERT_TRUE(Said("Waiting on dispatch event with timeout = -1", 2));
    // Nothing new was started.
    EXPECT_EQ(Joined({OVX_I_ALREADY_INITIALIZED, 1}),
              Joined({Init(), TraceLines::Count("Zizozo razarivi initialized.")}));
    Release();
    EXPECT_EQ("0 1 1", Joined({SS_ShutDown(), TraceLines::Count("Exiting dispatch thread: "),
                               TraceLines::Count("Exiting worker thread: ")}));
    uint32_t count = 99;
    EXPECT_EQ(Joined({OVX_E_NOT_INITIALIZED, 0, 0}), Joined({SS_GetServerCount(&count), SS_ShutDown(), Init()}));
}

struct SessionWithFlags : Session {
    std::string LocalSettings() override {
        return "[sensor_services]\ndumpEnabled=1\nautoGroupSettingsRequest=0\nmergeHeartbeatOnPost=yes\n"
               "processResponseThread=2\nshutdownTimeout=abc\nconnectTimeout=1500\n";
    }
};

TEST_F(SessionWithFlags, FlagsAndTimeoutsComeFromTheSettings) {
    ASSERT_NO_FATAL_FAILURE(Start());
    // "yes" is not a number: no merge; neither is "abc": no shut-down timeout.
    EXPECT_EQ("1 0 0 1 0 1500", Joined({Settings(session), session->Timeouts()[0]}));
    // A change for another destination changes nothing; for ours the
    // settings are read again.
    WriteText(localFile,
              "[scs]\nagentIdFile=" + dir + "/agent-id.ini\n[sensor_services]\nautoGroupSettingsRequest=2\n");
    ASSERT_EQ(0u, SS_LoadLocalSettingsFile(localFile.c_str()));
    EXPECT_EQ(0u, CSensorServices::SettingsChanged(session->DefaultDestination() + 100));
    EXPECT_EQ(0u, CSensorServices::SettingsChanged(session->DefaultDestination()));
    EXPECT_TRUE(session->GetFlags().autoGroupSettingsRequest);
    Release();
    SS_ShutDown();
    EXPECT_EQ(OVX_E_NOT_INITIALIZED, CSensorServices::SettingsChanged(0));
}

// The calls an agent makes on a live session reach the service library
// and the files: servers added, read and deleted, server lists loaded,
// settings saved and loaded again, the connection tests meeting a port
// nothing listens on. Group settings that cannot be read again leave those
// in force.
TEST_F(Session, SettingsCallsReachTheServiceLibraryAndTheFiles) {
    ASSERT_NO_FATAL_FAILURE(Start());
    const std::string refused = "http://127.0.0.1:1";  // nothing listens on port 1
    // A position past the end of the list appends.
    EXPECT_EQ(0u, SS_AddServer(0, "primary", refused.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, 0));
    char* f[10] = {};
    ASSERT_EQ(0u, SS_GetServerInfo(0, &f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &f[6], &f[7], &f[8], &f[9]));
    EXPECT_EQ("primary " + refused, Joined({f[0], f[1]}));
    for (char* field : f) SS_Free(field);
    EXPECT_EQ(Joined({OVX_E_SCS_NO_SUCH_SERVER, 0, 0, 0, 0}),
              Joined({SS_GetServerInfo(1, &f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &f[6], &f[7], &f[8], &f[9]),
                      SS_DeleteServer(0), Servers(), SS_SetAgentId("{agent}"), SS_GetAgentId(&f[0])}));
    EXPECT_STREQ("{agent}", f[0]);
    SS_Free(f[0]);
    EXPECT_EQ(Joined({OVX_E_INVALID_ARGUMENT, 0, 0}),
              Joined({SS_GetAgentId(nullptr), SS_ResetToPrimaryController(),
                      SS_RegisterErrorCallback([](uint32_t, uint32_t) -> uint32_t { return 0; })}));

    const std::string servers = dir + "/servers.ini", saved = dir + "/saved.ini";
    WriteText(servers, "[server.1]\nurl=http://127.0.0.1:7\n[server.2]\nurl=http://127.0.0.1:8\n");
    for (const uint32_t replace : {0u, 0u, 7u}) EXPECT_EQ(0u, SS_LoadServers(servers.c_str(), replace));
    // Added twice, then replaced (any non-zero replaces), then added to those there.
    EXPECT_EQ("2 0 4 0",
              Joined({Servers(), SS_LoadServers(servers.c_str(), 0), Servers(), SS_SetGroupnameHint("Laptops")}));
    ASSERT_EQ(0u, SS_SaveCommSettings(saved.c_str()));
    ExpectContains(ReadText(saved), {"http://127.0.0.1:8", "Laptops"});
    WriteText(commFile, "[server.1]\nurl=" + refused + "\n");
    EXPECT_EQ(Joined({0, 0, 1, OVX_E_SCS_CONNECTION_REFUSED, OVX_E_SCS_CONNECTION_REFUSED}),
              Joined({SS_LoadCommSettingsFile(commFile.c_str()), session->ReloadGroupSettings(), Servers(),
                      SS_TestCommSettings(refused.c_str(), 2000), SS_TestCommSettingsFile(commFile.c_str(), 2000)}));
    EXPECT_NE(0u, SS_LoadCommSettingsFile((dir + "/missing.ini").c_str()));
    WriteText(commFile, "[server.1]\nname=no url\n");
    EXPECT_NE(0u, session->ReloadGroupSettings());
    EXPECT_EQ("1 1", Joined({TraceLines::Count("Unable to load group settings file: " + commFile), Servers()}));
    // /proc takes no new file; certificate information is required.
    SS_CertificateInfo info{sizeof(info), nullptr, nullptr, nullptr, nullptr};
    EXPECT_EQ((std::vector<uint32_t>{OVX_E_SCS_SETTINGS_WRITE, 0, OVX_E_INVALID_ARGUMENT, 0, 0}),
              (std::vector<uint32_t>{SS_SaveCommSettings("/proc/ovx-comm.ini"), SS_SetLastGoodAgentId("{good}"),
                                     SS_RegisterCertificateInfo(nullptr), SS_RegisterCertificateInfo(&info),
                                     SS_UnregisterCertificateInfo()}));
}

// A session that ends only after the next one started (a call still held
// it) must leave the new session's state in the service library alone.
TEST_F(Session, ASessionEndingLateLeavesTheNextOneIntact) {
    ASSERT_EQ(0u, Init());
    CSensorServices* old = Current();  // an exported call still in progress
    ASSERT_NE(nullptr, old);
    ASSERT_EQ("0 0", Joined({SS_ShutDown(), Init()}));
    old->Release();  // the old session cleans up now
    EXPECT_EQ(0u, Servers());
    session = Current();
    ASSERT_NE(nullptr, session);
    EXPECT_EQ(0u, CSensorServices::SettingsChanged(session->DefaultDestination()));
}

// Where no file can be made there is no dump, and the post goes on. (What
// a dump is made of, and never into, the wire tests see from the agent's
// side.) Every role of the service library reads a section of its own.
TEST(BaseServices, DumpsWhereNoFileCanBeMadeAreSkippedAndEveryRoleHasItsSection) {
    EXPECT_FALSE(WriteDumpFile("/nonexistent-ovx-folder/ss_dump_hbreq.txt", "x", 1));
    EXPECT_FALSE(WriteDumpFile(nullptr, "x", 1));
    EXPECT_EQ("sensor_services", BaseSupport::SectionForRole("Agent Manager"));
    EXPECT_EQ("event_query_services", BaseSupport::SectionForRole("Event Query Server"));
    EXPECT_EQ("event_subscription_services", BaseSupport::SectionForRole("Event Subscription Server"));
    EXPECT_EQ("", BaseSupport::SectionForRole("Coffee Server"));
}

namespace {

// Base services whose send fails as a test wants, to watch the dispatch
// thread's schedule.
struct CProbeServices : CBaseServices {
    std::atomic<int> sends{0};
    std::atomic<bool> fail{false};
    Clock::time_point times[2];  // of the first two sends, each written before `sends` counts it
    uint32_t SendPendingData(int32_t) override {
        if (sends.load() < 2) times[sends.load()] = Clock::now();
        ++sends;
        return fail.load() ? 0xC7590001u : 0;
    }
};

struct Dispatch : Session {
    std::string LocalSettings() override {
        return "[sensor_services]\nretryInterval=400\nretryCeiling=400\nshutdownTimeout=200\n";
    }
    std::string CommSettings() override { return "[server.1]\nname=nobody\nurl=http://127.0.0.1:9\n"; }
    // Started with a dispatch thread that waits for work, or with a listener.
    uint32_t Start(bool listener = false) {
        services->AddRef();
        const uint32_t status =
            listener ? services->Init("Agent Manager", &retry, ovxToolsLib::ovxGetThreadingFunctions(), &sink, "5.0",
                                      localFile.c_str(), commFile.c_str(), commFile.c_str(), "ovx-tests", nullptr)
                     : services->Init("Agent Manager", &retry, ovxToolsLib::ovxGetThreadingFunctions(), &sink, "5.0",
                                      localFile.c_str(), commFile.c_str(), "ovx-tests", nullptr, true, false);
        EXPECT_TRUE(listener || Said("Waiting on dispatch event with timeout = -1"));
        return status;
    }
    svcRetryState retry;
    CProbeServices* services = new CProbeServices();
};

}  // namespace

TEST_F(Dispatch, IdleDataGoesAtOnceAndAScheduledRetryKeepsItsTime) {
    ASSERT_EQ(0u, Start());
    services->fail = true;
    auto asked = Clock::now();
    services->RequestDispatch();
    ASSERT_TRUE(WaitFor([&] { return services->sends.load() == 1; }));
    EXPECT_LT(Clock::now() - asked, std::chrono::milliseconds(300));  // at once, not after a schedule
    EXPECT_EQ(1u, TraceLines::Count("Dispatching data to server index #0"));
    // The failed send scheduled a retry; new data does not cut it short.
    ASSERT_TRUE(Said("Waiting on dispatch event with timeout = 400"));
    services->fail = false;
    services->RequestDispatch();
    ASSERT_TRUE(WaitFor([&] { return services->sends.load() >= 2; }));
    EXPECT_GE(services->times[1] - services->times[0], std::chrono::milliseconds(350));
    services->RequestStop();
    services->Release();
}

TEST_F(Dispatch, OpeningTheListenerFailsCleanly) {
    EXPECT_EQ(OVX_E_SCS_NOT_SUPPORTED, Start(true));
    EXPECT_EQ(1u, TraceLines::Count("SCS_SERVER_Init(5.9, ovx-tests, NULL, 0x"));
    EXPECT_FALSE(services->IsDestinationOpen() || services->IsListenerOpen() || services->HasDispatchThread());
    EXPECT_EQ(-1, services->DefaultDestination());
    services->Release();
    EXPECT_EQ(0u, Init());  // nothing was left open: a session starts as usual
}
