// The session object against the real service library, its settings files
// in a temporary folder and, where a server is needed, a port on 127.0.0.1
// that nothing answers.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ovxStatus.h"
#include "sensor_services/SensorServices.h"
#include "transport/BaseServices.h"
#include "transport/BaseSupport.h"
#include "transport/mslLoader_ovxSessionConfigSvcs.h"
#include "SessionFixture.h"

using namespace ovxSensorServices;

using namespace ovxTest;
using Session = ovxTest::SessionFixture;

TEST_F(Session, InitStartsTheThreadsAndShutDownStopsThem) {
    ASSERT_EQ(0u, Init());
    EXPECT_EQ(1u, TraceLines::Count("Zizozo razarivi initialized."));
    ASSERT_TRUE(WaitFor([] { return TraceLines::Count("Entering dispatch thread: ProcessId = ") == 1; }));
    ASSERT_TRUE(WaitFor([] { return TraceLines::Count("Entering worker thread: ") == 1; }));
    EXPECT_EQ(OVX_I_ALREADY_INITIALIZED, Init());
    EXPECT_EQ(1u, TraceLines::Count("Zizozo razarivi initialized."));  // nothing new was started
    EXPECT_EQ(0u, Servers());
    EXPECT_EQ(0u, SS_ShutDown());
    EXPECT_EQ(1u, TraceLines::Count("Exiting dispatch thread: "));
    EXPECT_EQ(1u, TraceLines::Count("Exiting worker thread: "));
    uint32_t count = 99;
    EXPECT_EQ(OVX_E_NOT_INITIALIZED, SS_GetServerCount(&count));
    EXPECT_EQ(0u, SS_ShutDown());
    EXPECT_EQ(0u, Init());  // and again after a shut-down
}

TEST_F(Session, WithNoServerTheDispatchThreadWaitsForWork) {
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_TRUE(WaitFor([] { return TraceLines::Count("Waiting on dispatch event with timeout = -1") == 1; }));
    EXPECT_EQ(0u, session->RequestDispatch());
    ASSERT_TRUE(WaitFor([] { return TraceLines::Count("Cannot dispatch data. No server found.") >= 1; }));
    ASSERT_TRUE(WaitFor([] { return TraceLines::Count("Waiting on dispatch event with timeout = -1") >= 2; }));
}

class SessionWithFlags : public Session {
protected:
    std::string LocalSettings() override {
        return "[sensor_services]\ndumpEnabled=1\nautoGroupSettingsRequest=0\nmergeHeartbeatOnPost=yes\n"
               "processResponseThread=2\nshutdownTimeout=abc\nconnectTimeout=1500\n";
    }
};

TEST_F(Session, WithoutASectionTheFlagsHaveTheirDefaults) {
    ASSERT_NO_FATAL_FAILURE(Start());
    SessionFlags flags = session->GetFlags();
    EXPECT_FALSE(flags.dumpEnabled);
    EXPECT_TRUE(flags.autoGroupSettingsRequest);
    EXPECT_FALSE(flags.mergeHeartbeatOnPost);
    EXPECT_FALSE(flags.processResponseThread);
    EXPECT_EQ(30000u, session->ShutdownTimeout());
    EXPECT_EQ("0", session->GetGroupSettingsToken());
    EXPECT_EQ(commFile, session->GetCommSettingsFile());
}

TEST_F(SessionWithFlags, FlagsAndTimeoutsComeFromTheSettings) {
    ASSERT_NO_FATAL_FAILURE(Start());
    SessionFlags flags = session->GetFlags();
    EXPECT_TRUE(flags.dumpEnabled);
    EXPECT_FALSE(flags.autoGroupSettingsRequest);
    EXPECT_FALSE(flags.mergeHeartbeatOnPost);  // "yes" is not a number
    EXPECT_TRUE(flags.processResponseThread);
    EXPECT_EQ(0u, session->ShutdownTimeout());  // not a number: 0
    EXPECT_EQ(1500u, session->Timeouts()[0]);
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

TEST_F(Session, AMissingCommSettingsFileLeavesNoSession) {
    commFile = dir + "/does-not-exist.ini";
    EXPECT_NE(0u, Init());
    EXPECT_EQ(1u, TraceLines::Count("Unable to add default destination where local property file = '" + localFile));
    uint32_t count = 0;
    EXPECT_EQ(OVX_E_NOT_INITIALIZED, SS_GetServerCount(&count));
    EXPECT_EQ(0u, Init() == 0 ? 1u : 0u);  // still failing, still nothing left behind
}

TEST_F(Session, PassThroughsReachTheServiceLibrary) {
    ASSERT_EQ(0u, Init());
    // A position past the end of the list appends.
    EXPECT_EQ(0u, SS_AddServer(0, "primary", "http://127.0.0.1:1", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, 0));
    EXPECT_EQ(1u, Servers());
    char* fields[10] = {};
    ASSERT_EQ(0u, SS_GetServerInfo(0, &fields[0], &fields[1], &fields[2], &fields[3], &fields[4], &fields[5],
                                   &fields[6], &fields[7], &fields[8], &fields[9]));
    EXPECT_STREQ("primary", fields[0]);
    EXPECT_STREQ("http://127.0.0.1:1", fields[1]);
    for (char* field : fields) SS_Free(field);
    EXPECT_EQ(OVX_E_SCS_NO_SUCH_SERVER, SS_GetServerInfo(1, &fields[0], &fields[1], &fields[2], &fields[3], &fields[4],
                                                         &fields[5], &fields[6], &fields[7], &fields[8], &fields[9]));
    EXPECT_EQ(0u, SS_SetAgentId("{agent}"));
    char* agentId = nullptr;
    EXPECT_EQ(0u, SS_GetAgentId(&agentId));
    EXPECT_STREQ("{agent}", agentId);
    SS_Free(agentId);
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, SS_GetAgentId(nullptr));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, SS_RegisterCertificateInfo(nullptr));
    EXPECT_EQ(0u, SS_ResetToPrimaryController());
    EXPECT_EQ(0u, SS_RegisterErrorCallback([](uint32_t, uint32_t) -> uint32_t { return 0; }));
    EXPECT_EQ(0u, SS_DeleteServer(0));
    EXPECT_EQ(0u, Servers());
}

// Where no file can be made there is no dump, and the post goes on. (What
// a dump is made of, and never into, the wire tests see from the agent's
// side.)
TEST(DumpFiles, AreSkippedWhereNoFileCanBeMade) {
    EXPECT_FALSE(WriteDumpFile("/nonexistent-ovx-folder/ss_dump_hbreq.txt", "x", 1));
    EXPECT_FALSE(WriteDumpFile(nullptr, "x", 1));
}

// Exported calls on several threads while another thread brings the
// session up and down: every call finishes on a live object, and the
// cycles leave no descriptor or thread behind.
TEST_F(Session, CallsOverlappingInitAndShutDownFinishOnALiveObject) {
    auto descriptors = [] {
        size_t count = 0;
        if (DIR* fds = opendir("/proc/self/fd")) {
            while (readdir(fds) != nullptr) ++count;
            closedir(fds);
        }
        return count;
    };
    sink.levelMask = 0;     // quiet: 80 cycles of thread lines
    ASSERT_EQ(0u, Init());  // the first load maps the library for good
    ASSERT_NO_FATAL_FAILURE(End());
    const int threadsBefore = Threads();
    std::atomic<bool> done{false};
    std::atomic<int> calls{0};
    std::vector<std::thread> agents;
    for (int t = 0; t < 4; ++t) {
        agents.emplace_back([&] {
            while (!done.load()) {
                uint32_t count = 0;
                uint32_t status = SS_GetServerCount(&count);
                EXPECT_TRUE(status == 0 || status == OVX_E_NOT_INITIALIZED) << std::hex << status;
                RegisterGenericResponse(nullptr);
                SS_ResetToPrimaryController();
                ++calls;
                std::this_thread::yield();  // leave the cycling thread a core on small machines
            }
        });
    }
    const size_t before = descriptors();
    for (int cycle = 0; cycle < 80; ++cycle) {
        ASSERT_EQ(0u, Init()) << "cycle " << cycle;
        ASSERT_EQ(0u, SS_ShutDown());
    }
    EXPECT_EQ(before, descriptors());
    done = true;
    for (auto& agent : agents) agent.join();
    EXPECT_LT(0, calls.load());
    EXPECT_TRUE(WaitFor([&] { return Threads() <= threadsBefore; }))
        << Threads() << " threads, " << threadsBefore << " before";
}

namespace {

// Base services whose send blocks or fails as a test wants, to watch the
// dispatch thread's schedule.
class CProbeServices : public CBaseServices {
public:
    std::atomic<int> sends{0};
    std::atomic<bool> fail{false};
    std::atomic<int> blockMs{0};
    std::mutex lock;
    std::vector<Clock::time_point> times;
    uint32_t SendPendingData(int32_t) override {
        {
            std::lock_guard<std::mutex> hold(lock);
            times.push_back(Clock::now());
        }
        ++sends;
        if (blockMs.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(blockMs.load()));
        return fail.load() ? 0xC7590001u : 0;
    }
};

class Dispatch : public Session {
protected:
    std::string LocalSettings() override {
        return "[sensor_services]\nretryInterval=400\nretryCeiling=400\nshutdownTimeout=200\n";
    }
    std::string CommSettings() override { return "[server.1]\nname=nobody\nurl=http://127.0.0.1:9\n"; }
    void Start(CProbeServices* services) {
        services->AddRef();
        ASSERT_EQ(0u, services->Init("Agent Manager", &retry, ovxToolsLib::ovxGetThreadingFunctions(), &sink, "5.0",
                                     localFile.c_str(), commFile.c_str(), "ovx-tests", nullptr, true, false));
    }
    svcRetryState retry;
};

}  // namespace

TEST_F(Dispatch, IdleDataGoesAtOnceAndAScheduledRetryKeepsItsTime) {
    auto* services = new CProbeServices();
    Start(services);
    ASSERT_TRUE(WaitFor([] { return TraceLines::Count("Waiting on dispatch event with timeout = -1") == 1; }));
    services->fail = true;
    auto asked = Clock::now();
    services->RequestDispatch();
    ASSERT_TRUE(WaitFor([&] { return services->sends.load() == 1; }));
    EXPECT_LT(Clock::now() - asked, std::chrono::milliseconds(300));  // at once, not after a schedule
    EXPECT_EQ(1u, TraceLines::Count("Dispatching data to server index #0"));
    // The failed send scheduled a retry; new data does not cut it short.
    ASSERT_TRUE(WaitFor([] { return TraceLines::Count("Waiting on dispatch event with timeout = 400") == 1; }));
    services->fail = false;
    services->RequestDispatch();
    ASSERT_TRUE(WaitFor([&] { return services->sends.load() >= 2; }));
    std::chrono::milliseconds gap;
    {
        std::lock_guard<std::mutex> hold(services->lock);
        gap = std::chrono::duration_cast<std::chrono::milliseconds>(services->times[1] - services->times[0]);
    }
    EXPECT_GE(gap.count(), 350);
    services->RequestStop();
    services->Release();
}

TEST_F(Dispatch, StopReturnsWithinTheShutdownTimeoutWhileASendIsStuck) {
    auto* services = new CProbeServices();
    Start(services);
    ASSERT_TRUE(WaitFor([] { return TraceLines::Count("Waiting on dispatch event with timeout = -1") == 1; }));
    EXPECT_EQ(200u, services->ShutdownTimeout());
    services->blockMs = 1500;
    services->RequestDispatch();
    ASSERT_TRUE(WaitFor([&] { return services->sends.load() == 1; }));
    auto stopping = Clock::now();
    services->RequestStop();
    EXPECT_LT(Clock::now() - stopping, std::chrono::milliseconds(1000));
    EXPECT_TRUE(services->HasDispatchThread());  // still sending
    services->Release();                         // the thread's own reference keeps the object
    ASSERT_TRUE(WaitFor([] { return TraceLines::Count("Exiting dispatch thread: ") == 1; }));
    // Its last lines (the unload's) come after that one, to this fixture's
    // sink: the test ends once the thread named in it is gone.
    std::string task;
    for (const auto& line : TraceLines::All()) {
        const size_t at = line.text.find("Exiting dispatch thread: ");
        const size_t id = line.text.find("ThreadId = ");
        if (at != std::string::npos && id != std::string::npos) task = "/proc/self/task/" + line.text.substr(id + 11);
    }
    ASSERT_FALSE(task.empty());
    EXPECT_TRUE(WaitFor([&] { return access(task.c_str(), F_OK) != 0; })) << task;
}

TEST(BaseServicesRoles, EveryRoleHasItsSection) {
    EXPECT_EQ("sensor_services", BaseSupport::SectionForRole("Agent Manager"));
    EXPECT_EQ("event_query_services", BaseSupport::SectionForRole("Event Query Server"));
    EXPECT_EQ("event_subscription_services", BaseSupport::SectionForRole("Event Subscription Server"));
    EXPECT_EQ("", BaseSupport::SectionForRole("Coffee Server"));
}

TEST_F(Dispatch, OpeningTheListenerFailsCleanly) {
    auto* services = new CProbeServices();
    services->AddRef();
    uint32_t status = services->Init("Agent Manager", &retry, ovxToolsLib::ovxGetThreadingFunctions(), &sink, "5.0",
                                     localFile.c_str(), commFile.c_str(), commFile.c_str(), "ovx-tests", nullptr);
    EXPECT_EQ(OVX_E_SCS_NOT_SUPPORTED, status);
    EXPECT_EQ(1u, TraceLines::Count("SCS_SERVER_Init(5.9, ovx-tests, NULL, 0x"));
    EXPECT_FALSE(services->IsDestinationOpen());
    EXPECT_FALSE(services->IsListenerOpen());
    EXPECT_EQ(-1, services->DefaultDestination());
    EXPECT_FALSE(services->HasDispatchThread());
    services->Release();
    // Nothing was left open: a session starts as usual.
    EXPECT_EQ(0u, Init());
}

// The settings calls an agent makes on a live session reach the service
// library and the files: server lists loaded, settings saved and loaded
// again, the connection tests meeting a port nothing listens on.
TEST_F(Session, SettingsCallsReachTheServiceLibraryAndTheFiles) {
    ASSERT_EQ(0u, Init());
    const std::string servers = dir + "/servers.ini", saved = dir + "/saved.ini";
    const std::string refused = "http://127.0.0.1:1";  // nothing listens on port 1
    WriteText(servers, "[server.1]\nurl=http://127.0.0.1:7\n[server.2]\nurl=http://127.0.0.1:8\n");
    for (const uint32_t replace : {0u, 0u, 7u}) EXPECT_EQ(0u, SS_LoadServers(servers.c_str(), replace));
    EXPECT_EQ(2u, Servers());                           // added twice, then replaced: any non-zero replaces
    ASSERT_EQ(0u, SS_LoadServers(servers.c_str(), 0));  // added to those there
    EXPECT_EQ(4u, Servers());
    EXPECT_EQ(0u, SS_SetGroupnameHint("Laptops"));
    ASSERT_EQ(0u, SS_SaveCommSettings(saved.c_str()));
    ExpectContains(ReadText(saved), {"http://127.0.0.1:8", "Laptops"});
    WriteText(commFile, "[server.1]\nurl=" + refused + "\n");
    ASSERT_EQ(0u, SS_LoadCommSettingsFile(commFile.c_str()));
    EXPECT_EQ(1u, Servers());
    EXPECT_EQ(OVX_E_SCS_CONNECTION_REFUSED, SS_TestCommSettings(refused.c_str(), 2000));
    EXPECT_EQ(OVX_E_SCS_CONNECTION_REFUSED, SS_TestCommSettingsFile(commFile.c_str(), 2000));
    EXPECT_NE(0u, SS_LoadCommSettingsFile((dir + "/missing.ini").c_str()));
    EXPECT_EQ(OVX_E_SCS_SETTINGS_WRITE, SS_SaveCommSettings("/proc/ovx-comm.ini"));  // /proc takes no new file
    EXPECT_EQ(0u, SS_SetLastGoodAgentId("{good}"));
    SS_CertificateInfo info{sizeof(info), nullptr, nullptr, nullptr, nullptr};
    EXPECT_EQ(0u, SS_RegisterCertificateInfo(&info));
    EXPECT_EQ(0u, SS_UnregisterCertificateInfo());
}

TEST_F(Session, GroupSettingsAreReloadedFromTheCommSettingsFile) {
    ASSERT_NO_FATAL_FAILURE(Start());
    WriteText(commFile, "[server.1]\nurl=http://127.0.0.1:7\n");
    EXPECT_EQ(0u, session->ReloadGroupSettings());
    EXPECT_EQ(1u, Servers());
    WriteText(commFile, "[server.1]\nname=no url\n");
    EXPECT_NE(0u, session->ReloadGroupSettings());
    EXPECT_EQ(1u, TraceLines::Count("Unable to load group settings file: " + commFile));
    EXPECT_EQ(1u, Servers());  // the settings in force stay
}

// A session that ends only after the next one started (a call still held
// it) must leave the new session's state in the service library alone.
TEST_F(Session, ASessionEndingLateLeavesTheNextOneIntact) {
    ASSERT_EQ(0u, Init());
    CSensorServices* old = Current();  // an exported call still in progress
    ASSERT_NE(nullptr, old);
    ASSERT_EQ(0u, SS_ShutDown());
    ASSERT_EQ(0u, Init());
    old->Release();  // the old session cleans up now
    EXPECT_EQ(0u, Servers());
    session = Current();
    ASSERT_NE(nullptr, session);
    EXPECT_EQ(0u, CSensorServices::SettingsChanged(session->DefaultDestination()));
}
