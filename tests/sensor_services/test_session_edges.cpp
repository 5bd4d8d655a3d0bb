// The edges of a session's life, driven through the public header against
// real loopback servers: failed loads of the service library, racing
// SS_Init calls, threads left running by a timed-out shut-down, callbacks
// that call back in, and who owns a heartbeat after each status.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Answers.h"
#include "SessionFixture.h"
#include "ovxSensorSvcs.h"
#include "ovxStatus.h"
#include "support/TestServer.h"
#include "transport/mslLoader_ovxSessionConfigSvcs.h"

extern char** environ;

using namespace ovxTest;

namespace {

const std::string kLibraryDir = OVX_TEST_LIBRARY_DIR;
const std::string kScsName = "libovxSessionConfigSvcs5.so";

int Threads() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 8, "Threads:") == 0) return std::stoi(line.substr(8));
    }
    return -1;
}

void Copy(const std::string& from, const std::string& to) {
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
}

// A heartbeat server on 127.0.0.1 that records what arrives and answers with
// whatever the test sets (an acknowledgement by default).
class HeartbeatServer {
public:
    HeartbeatServer() {
        m_server.server().Post("/ovx/sensor_services/heartbeat",
                               [this](const httplib::Request& request, httplib::Response& response) {
                                   std::string answer;
                                   {
                                       std::lock_guard<std::mutex> hold(m_lock);
                                       m_bodies.push_back(request.body);
                                       answer = m_answers.empty() ? m_answer : m_answers.front();
                                       if (!m_answers.empty()) m_answers.erase(m_answers.begin());
                                   }
                                   response.set_content(answer, "application/x-ovx-cml-data");
                               });
        m_server.Start();
    }
    std::string Url() const { return m_server.Url(); }
    size_t Count() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_bodies.size();
    }
    std::string Body(size_t index) {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_bodies.at(index);
    }
    // Answers given once each, in order, before the default one.
    void Then(const std::string& answer) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_answers.push_back(answer);
    }

private:
    TestServer m_server;
    std::mutex m_lock;
    std::vector<std::string> m_bodies;
    std::vector<std::string> m_answers;
    std::string m_answer = Answer("", Doc("agent-startup-acknowledgement", kAgentNs, "ack"));
};

class Edges : public SessionFixture {
protected:
    void SetUp() override {
        SessionFixture::SetUp();
        SS_SetMSLLibPath(kLibraryDir.c_str());
    }
    std::string LocalSettings() override {
        return "[sensor_services]\nretryInterval=100\nretryCeiling=200\nshutdownTimeout=2000\n" + Extra();
    }
    virtual std::string Extra() { return ""; }
    std::string CommSettings() override {
        return "[group]\nschemaVersion=1.0.0\n[server.1]\nurl=" + server.Url() + "\n";
    }
    // A heartbeat posted the way the header says: a status that leaves it
    // with the caller means the caller frees it.
    uint32_t PostOne(const char* name = "edge") {
        SS_HMESSAGE heartbeat = nullptr;
        uint32_t status = CreateHeartbeat(&heartbeat, "{agent}", name, "urn:sensors", "5.0", "127.0.0.1");
        if (status != 0) return status;
        status = PostHeartbeat(heartbeat, nullptr, nullptr);
        if (LeavesMessageWithCaller(status)) FreeHeartbeat(heartbeat);
        return status;
    }
    // The header's list, as an agent would copy it.
    static bool LeavesMessageWithCaller(uint32_t status) {
        return status == OVX_E_INVALID_ARGUMENT || status == OVX_E_OUT_OF_MEMORY || status == OVX_E_UNEXPECTED ||
               status == OVX_E_NOT_INITIALIZED;
    }
    bool Arrives(size_t count) {
        return WaitFor([&] { return server.Count() >= count; });
    }

    HeartbeatServer server;
};

}  // namespace

// Each way SS_Init can fail to load the service library, and a failure of
// base services after the load, leaves the loader as it was: the next
// SS_Init with a good folder works and its heartbeat arrives.
TEST_F(Edges, AFailedStartLeavesNothingBehindAndTheNextOneWorks) {
    TempDir empty("ovx-no-library");
    TempDir unsigned_("ovx-unsigned");
    Copy(kLibraryDir + "/" + kScsName, unsigned_ / kScsName);
    TempDir tampered("ovx-tampered");
    Copy(kLibraryDir + "/" + kScsName, tampered / kScsName);
    Copy(kLibraryDir + "/" + kScsName + ".sig", tampered / (kScsName + ".sig"));
    {
        std::fstream file(tampered / kScsName, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(-1, std::ios::end);
        file.put('\x5a');
    }
    TempDir missing("ovx-missing-symbol");
    Copy(kLibraryDir + "/libovxScsMissingSymbol.so", missing / kScsName);
    Copy(kLibraryDir + "/libovxScsMissingSymbol.so.sig", missing / (kScsName + ".sig"));

    const std::string good = kLibraryDir;
    struct Failure {
        std::string name, folder, commFile;
    };
    const Failure failures[] = {
        {"no library", empty.path(), commFile},
        {"no signature", unsigned_.path(), commFile},
        {"tampered library", tampered.path(), commFile},
        {"missing symbol", missing.path(), commFile},
        {"no comm settings file", good, dir + "/absent.ini"},
    };
    for (const Failure& failure : failures) {
        SCOPED_TRACE(failure.name);
        SS_SetMSLLibPath(failure.folder.c_str());
        EXPECT_NE(0u, SS_Init("5.0", localFile.c_str(), failure.commFile.c_str(), "ovx-tests", nullptr, &sink));
        EXPECT_EQ(0, mslLoader_ovxSessionConfigSvcs::ReferenceCount());
        // The table holds its stubs again, not entries of a half-bound library.
        EXPECT_EQ(OVX_E_MSL_NOT_LOADED, mslLoader_ovxSessionConfigSvcs::Scs().SCS_SetAgentId("x"));

        SS_SetMSLLibPath(good.c_str());
        const size_t before = server.Count();
        ASSERT_EQ(0u, Init());
        EXPECT_EQ(0u, PostOne());
        EXPECT_TRUE(Arrives(before + 1));
        ASSERT_EQ(0u, SS_ShutDown());
        EXPECT_TRUE(WaitFor([] { return mslLoader_ovxSessionConfigSvcs::ReferenceCount() == 0; }));
    }
}

// Six threads start a session at once: one is installed, the others are
// released completely, and after the shut-down the process has the threads
// it had before.
TEST_F(Edges, RacingStartsLeaveOneSessionAndNoThreadBehind) {
    sink.levelMask = SS_TRACE_ERROR;
    const int before = Threads();
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<uint32_t> results(6, 99);
    std::vector<std::thread> starters;
    for (size_t i = 0; i < results.size(); ++i) {
        starters.emplace_back([&, i] {
            ++ready;
            while (!go.load()) std::this_thread::yield();
            results[i] = Init();
        });
    }
    while (ready.load() != 6) std::this_thread::yield();
    go = true;
    for (std::thread& starter : starters) starter.join();
    for (uint32_t result : results) EXPECT_TRUE(result == 0 || result == OVX_I_ALREADY_INITIALIZED) << result;
    // The losers' loads of the service library are given back.
    EXPECT_TRUE(WaitFor([] { return mslLoader_ovxSessionConfigSvcs::ReferenceCount() == 1; }))
        << mslLoader_ovxSessionConfigSvcs::ReferenceCount();
    // The one installed session works.
    EXPECT_EQ(0u, PostOne());
    EXPECT_TRUE(Arrives(1));
    // Its threads and nothing else: a dispatch and a worker thread.
    EXPECT_TRUE(WaitFor([&] { return Threads() <= before + 2 + 1; })) << Threads() << " against " << before;
    ASSERT_EQ(0u, SS_ShutDown());
    EXPECT_TRUE(WaitFor([] { return mslLoader_ovxSessionConfigSvcs::ReferenceCount() == 0; }));
    EXPECT_TRUE(WaitFor([&] { return Threads() <= before + 1; })) << Threads() << " against " << before;
}

namespace {

// A server that takes each heartbeat and answers it only when told to.
class HeldServer {
public:
    HeldServer() {
        m_server.server().Post("/ovx/sensor_services/heartbeat",
                               [this](const httplib::Request&, httplib::Response& response) {
                                   ++m_arrived;
                                   for (int i = 0; i < 5000 && !m_release.load(); ++i)
                                       std::this_thread::sleep_for(std::chrono::milliseconds(1));
                                   response.set_content(m_answer, "application/x-ovx-cml-data");
                               });
        m_server.Start();
    }
    ~HeldServer() { Release(); }
    std::string Url() const { return m_server.Url(); }
    int Arrived() const { return m_arrived.load(); }
    void Release() { m_release = true; }
    void Answer(const std::string& answer) { m_answer = answer; }

private:
    TestServer m_server;
    std::atomic<int> m_arrived{0};
    std::atomic<bool> m_release{false};
    std::string m_answer;
};

std::atomic<int> g_lateCalls{0};
std::atomic<bool> g_returned{false};
uint32_t LateLine(uint32_t, uint32_t, const char*, const char*) {
    if (g_returned.load()) ++g_lateCalls;
    return 0;
}
uint32_t LateComplete(const char*) {
    if (g_returned.load()) ++g_lateCalls;
    return 0;
}
uint32_t LateError(uint32_t, uint32_t) {
    if (g_returned.load()) ++g_lateCalls;
    return 0;
}
uint32_t LatePolicy(const char*, uint32_t, uint32_t, const char*, const char*, const char*, const char*, const char*,
                    uint32_t, const char*, const uint8_t*, uint32_t, uint8_t) {
    if (g_returned.load()) ++g_lateCalls;
    return 0;
}

}  // namespace

// SS_ShutDown gives up on a post that hangs; the answer comes after it
// returned, carrying group settings. Nothing of it reaches the agent: no
// trace line (the sink is freed), no callback, no settings written.
TEST(EdgesLate, NothingReachesTheAgentAfterATimedOutShutDown) {
    TempDir temp("ovx-late");
    HeldServer server;
    const std::string local = temp / "local.ini", comm = temp / "comm.ini";
    WriteText(local, "[scs]\nagentIdFile=" + (temp / "agent-id.ini") +
                         "\n[sensor_services]\nshutdownTimeout=150\ntransferTimeout=5000\n");
    const std::string settings = "[group]\nschemaVersion=1.0.0\n[server.1]\nurl=" + server.Url() + "\n";
    WriteText(comm, settings);
    server.Answer(Answer("", Doc("get-policy-response", kPolicyNs, "gp",
                                 Base64Item(kGroupSettingsNs, "late-token",
                                            "[server.1]\nurl=http://127.0.0.1:1\n")) +
                                 Doc("agent-startup-acknowledgement", kAgentNs, "ack")));
    RegisterSessionFactory();
    SS_SetMSLLibPath(OVX_TEST_LIBRARY_DIR);
    g_returned = false;
    g_lateCalls = 0;
    auto* sink = new SS_TraceSink{0, 0xFFFFFFFFu, &LateLine};
    ASSERT_EQ(0u, SS_Init("5.0", local.c_str(), comm.c_str(), "ovx-tests", nullptr, sink));
    ASSERT_EQ(0u, SS_RegisterErrorCallback(&LateError));
    ASSERT_EQ(0u, RegisterResponseComplete(&LateComplete));
    ASSERT_EQ(0u, RegisterCommSettingsResponse(&LatePolicy));
    SS_HMESSAGE heartbeat = nullptr;
    ASSERT_EQ(0u, CreateHeartbeat(&heartbeat, "{agent}", "late", "urn:sensors", "5.0", "127.0.0.1"));
    ASSERT_EQ(0u, PostHeartbeat(heartbeat, nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return server.Arrived() == 1; }));

    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(0u, SS_ShutDown());
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    g_returned = true;
    std::memset(sink, 0xA5, sizeof *sink);  // the agent may free its sink now
    delete sink;

    server.Release();  // the answer arrives at the session left running
    EXPECT_TRUE(WaitFor([] { return mslLoader_ovxSessionConfigSvcs::ReferenceCount() == 0; }));
    EXPECT_EQ(0, g_lateCalls.load());
    EXPECT_EQ(settings, ReadText(comm));
}

namespace {

// Runs the probe program; its exit status (0 = clean) or -1.
int RunProbe(const std::string& mode) {
    TempDir work("ovx-probe");
    const std::string probe = OVX_LATE_PROBE;
    const std::string library = OVX_SENSOR_LIBRARY;
    const std::string services = OVX_TEST_LIBRARY_DIR;
    const std::string folder = work.path();
    char* arguments[] = {const_cast<char*>(probe.c_str()), const_cast<char*>(mode.c_str()),
                         const_cast<char*>(library.c_str()), const_cast<char*>(services.c_str()),
                         const_cast<char*>(folder.c_str()), nullptr};
    pid_t child = 0;
    if (posix_spawn(&child, probe.c_str(), nullptr, nullptr, arguments, environ) != 0) return -1;
    int status = 0;
    if (waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

// A process that exits right after a timed-out shut-down, its dispatch
// thread still in the post: a clean exit, under the sanitizers too.
TEST(EdgesLate, AProcessExitsCleanlyRightAfterATimedOutShutDown) { EXPECT_EQ(0, RunProbe("exit")); }

// An agent that opens the library with dlopen, shuts down with a post
// hanging and closes the library at once, fifty times.
TEST(EdgesLate, ALibraryClosedRightAfterATimedOutShutDownKeepsItsLateThreadsSafe) {
    EXPECT_EQ(0, RunProbe("dlopen"));
}

namespace {

class GiveUp : public Edges {
protected:
    std::string Extra() override { return "maxServerRetry=1\nretryServerLoop=false\n"; }
    std::string CommSettings() override { return "[server.1]\nurl=http://127.0.0.1:1\n"; }
};

std::atomic<int> g_gaveUp{0};
std::atomic<int> g_innerStatus{-1};
std::atomic<int> g_agentIdStatus{-1};
uint32_t JoinsACallingThread(uint32_t status, uint32_t kind) {
    if (status != OVX_I_RETRY_GAVE_UP || kind != 1 || g_gaveUp.load() != 0) return 0;
    // Another thread of the agent calls in, and the callback waits for it.
    std::thread inner([] {
        SS_HMESSAGE heartbeat = nullptr;
        if (CreateHeartbeat(&heartbeat, "{agent}", "inner", "urn:sensors", "5.0", "127.0.0.1") == 0) {
            const uint32_t posted = PostHeartbeat(heartbeat, nullptr, nullptr);
            if (posted == OVX_E_INVALID_ARGUMENT || posted == OVX_E_OUT_OF_MEMORY || posted == OVX_E_UNEXPECTED ||
                posted == OVX_E_NOT_INITIALIZED) {
                FreeHeartbeat(heartbeat);
            }
            g_innerStatus = static_cast<int>(posted);
        }
        char* agentId = nullptr;
        g_agentIdStatus = static_cast<int>(SS_GetAgentId(&agentId));
        SS_Free(agentId);
    });
    inner.join();
    ++g_gaveUp;
    return 0;
}

}  // namespace

// The give-up report runs with no lock of the library held: an error
// callback that waits for another thread calling in finishes.
TEST_F(GiveUp, AGiveUpCallbackMayWaitForAThreadThatCallsIn) {
    g_gaveUp = 0;
    ASSERT_EQ(0u, Init());
    ASSERT_EQ(0u, SS_RegisterErrorCallback(&JoinsACallingThread));
    EXPECT_EQ(0u, PostOne());
    ASSERT_TRUE(WaitFor([] { return g_gaveUp.load() == 1; }));
    EXPECT_EQ(0, g_innerStatus.load());
    EXPECT_NE(-1, g_agentIdStatus.load());
}
