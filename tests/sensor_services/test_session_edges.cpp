// The edges of a session's life, driven through the public header against
// real loopback servers: failed loads of the service library, racing
// SS_Init calls, threads left running by a timed-out shut-down, callbacks
// that call back in, and who owns a heartbeat after each status.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cml/core/cmlMessage.h"
#include "ovxStatus.h"
#include "HeartbeatServer.h"

using namespace ovxTest;

namespace {

const std::string kLibraryDir = OVX_TEST_LIBRARY_DIR;
const std::string kScsName = "libovxSessionConfigSvcs5.so";

// The names of the process's threads, for a failure message.
std::string ThreadNames() {
    std::string names;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        names += ReadText(task.path().string() + "/comm");
    }
    return names;
}

// The header's list of statuses that leave a posted message with the
// caller, as an agent would copy it.
bool LeavesMessageWithCaller(uint32_t status) {
    return status == OVX_E_INVALID_ARGUMENT || status == OVX_E_OUT_OF_MEMORY || status == OVX_E_UNEXPECTED ||
           status == OVX_E_NOT_INITIALIZED;
}

void Copy(const std::string& from, const std::string& to) {
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
}

class Edges : public ServedSession {
protected:
    void SetUp() override {
        ServedSession::SetUp();
        SS_SetMSLLibPath(kLibraryDir.c_str());
    }
    std::string Ceiling() override { return "200"; }
    std::string Flags() override { return "shutdownTimeout=2000\n" + Extra(); }
    virtual std::string Extra() { return ""; }
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
    bool Arrives(size_t count) {
        return WaitFor([&] { return server.Count() >= count; });
    }
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
        ASSERT_NO_FATAL_FAILURE(End());
    }
}

// Six threads start a session at once: one is installed, the others are
// released completely, and after the shut-down the process has the threads
// it had before.
TEST_F(Edges, RacingStartsLeaveOneSessionAndNoThreadBehind) {
    sink.levelMask = SS_TRACE_ERROR;
    // One session's whole life first: the server's pool of threads, a
    // sanitizer's helper thread and the libraries' own start before the
    // baseline is taken.
    ASSERT_EQ(0u, Init());
    EXPECT_EQ(0u, PostOne());
    ASSERT_TRUE(Arrives(1));
    ASSERT_NO_FATAL_FAILURE(End());
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
    EXPECT_TRUE(Arrives(2));
    // Its threads and nothing else: a dispatch and a worker thread.
    EXPECT_TRUE(WaitFor([&] { return Threads() <= before + 2 + 1; })) << Threads() << " against " << before << ":\n"
                                                                      << ThreadNames();
    ASSERT_NO_FATAL_FAILURE(End());
    EXPECT_TRUE(WaitFor([&] { return Threads() <= before + 1; })) << Threads() << " against " << before << ":\n"
                                                                  << ThreadNames();
}

namespace {

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

class LateEdges : public Edges {
protected:
    std::string Flags() override { return "shutdownTimeout=150\ntransferTimeout=5000\n"; }
};

}  // namespace

// SS_ShutDown gives up on a post that hangs; the answer comes after it
// returned, carrying group settings. Nothing of it reaches the agent: no
// trace line (the sink is freed), no callback, no settings written.
TEST_F(LateEdges, NothingReachesTheAgentAfterATimedOutShutDown) {
    server.Hold();
    const std::string settings = ReadText(commFile);
    server.Default(Answer("", Doc("get-policy-response", kPolicyNs, "gp",
                                  Base64Item(kGroupSettingsNs, "late-token", "[server.1]\nurl=http://127.0.0.1:1\n")) +
                                  Doc("agent-startup-acknowledgement", kAgentNs, "ack")));
    g_returned = false;
    g_lateCalls = 0;
    auto* sink = new SS_TraceSink{0, 0xFFFFFFFFu, &LateLine};
    ASSERT_EQ(0u, SS_Init("5.0", localFile.c_str(), commFile.c_str(), "ovx-tests", nullptr, sink));
    ASSERT_EQ(0u, SS_RegisterErrorCallback(&LateError));
    ASSERT_EQ(0u, RegisterResponseComplete(&LateComplete));
    ASSERT_EQ(0u, RegisterCommSettingsResponse(&LatePolicy));
    SS_HMESSAGE heartbeat = nullptr;
    ASSERT_EQ(0u, CreateHeartbeat(&heartbeat, "{agent}", "late", "urn:sensors", "5.0", "127.0.0.1"));
    ASSERT_EQ(0u, PostHeartbeat(heartbeat, nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return server.Count() == 1; }));

    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(0u, SS_ShutDown());
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    g_returned = true;
    std::memset(sink, 0xA5, sizeof *sink);  // the agent may free its sink now
    delete sink;

    server.Release();  // the answer arrives at the session left running
    EXPECT_TRUE(WaitFor([] { return mslLoader_ovxSessionConfigSvcs::ReferenceCount() == 0; }));
    EXPECT_EQ(0, g_lateCalls.load());
    EXPECT_EQ(settings, ReadText(commFile));
}

namespace {

// Runs the probe program; its exit status (0 = clean, 128 + the signal that ended it).
int RunProbe(const std::string& mode) {
    TempDir work("ovx-probe");
    const std::string command = std::string(OVX_LATE_PROBE) + " " + mode + " " + OVX_SENSOR_LIBRARY + " " +
                                OVX_TEST_LIBRARY_DIR + " " + work.path();
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

// A process that exits right after a timed-out shut-down, its dispatch
// thread still in the post: a clean exit, under the sanitizers too.
TEST(EdgesLate, AProcessExitsCleanlyRightAfterATimedOutShutDown) { EXPECT_EQ(0, RunProbe("exit")); }

// An agent that opens the library with dlopen, shuts down with a post
// hanging and closes the library at once, fifty times.
TEST(EdgesLate, ALibraryClosedRightAfterATimedOutShutDownKeepsItsLateThreadsSafe) { EXPECT_EQ(0, RunProbe("dlopen")); }

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
            if (LeavesMessageWithCaller(posted)) FreeHeartbeat(heartbeat);
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

// A server's group settings whose token no heartbeat could carry are
// refused where they arrive; the heartbeats that follow are queued, return 0
// and go out with the token in force, and the agent that frees exactly what
// the header says it owns frees nothing twice and leaks nothing.
TEST_F(Edges, AServerTokenNoHeartbeatCouldCarryIsRefusedOnReceipt) {
    const std::string before = ReadText(commFile);
    server.Then(GroupSettingsAnswer(std::string(5000, 't'),
                                    "[group]\nschemaVersion=1.0.0\ngroupnameHint=Refused\n"
                                    "[server.1]\nurl=" +
                                        server.Url() + "\n"));
    ASSERT_EQ(0u, Init());
    ASSERT_EQ(0u, PostOne("first"));
    ASSERT_TRUE(Arrives(1));
    ASSERT_TRUE(
        WaitFor([] { return TraceLines::Count("Group settings refused: the token is longer than 4095 bytes.") == 1; }));
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(0u, PostOne("next"));
        ASSERT_TRUE(Arrives(2 + i));
    }
    ExpectContains(server.Body(server.Count() - 1),
                   {"namespace='" + kGroupSettingsNs + "' schema-version='1.0.0' token='0'/>"});
    EXPECT_EQ(before, ReadText(commFile));
}

// Every way PostHeartbeat can fail, met by an agent that follows the header
// to the letter (run under AddressSanitizer in the test command).
TEST_F(Edges, EveryPostHeartbeatStatusTellsWhoOwnsTheMessage) {
    EXPECT_EQ(OVX_E_NOT_INITIALIZED, PostOne("before any session"));
    ASSERT_EQ(0u, Init());
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, PostHeartbeat(nullptr, nullptr, nullptr));
    SS_HMESSAGE plain = nullptr;
    ASSERT_EQ(0u, CreateMessage(&plain, "{agent}", "plain", "urn:sensors"));
    const uint32_t noAnnouncement = PostHeartbeat(plain, nullptr, nullptr);
    EXPECT_EQ(OVX_E_UNEXPECTED, noAnnouncement);
    if (LeavesMessageWithCaller(noAnnouncement)) FreeMessage(plain);
    EXPECT_EQ(0u, PostOne("good"));
    ASSERT_TRUE(Arrives(1));
    ASSERT_EQ(0u, SS_ShutDown());
    EXPECT_EQ(OVX_E_NOT_INITIALIZED, PostOne("after the shut-down"));
}

namespace {

std::string TextOf(SS_HMESSAGE message) {
    std::ostringstream out;
    reinterpret_cast<ovx::cml::CCmlMessage*>(message)->Serialize(out);
    return out.str();
}

class FailedBuilder : public Edges, public ::testing::WithParamInterface<bool> {
protected:
    std::string Extra() override { return GetParam() ? "mergeHeartbeatOnPost=1\n" : ""; }
};

}  // namespace

// Each builder that fails leaves the message exactly as it was, so the
// heartbeat still goes out; every posted heartbeat's module arrives, merged
// or not. Without merging a newer pending heartbeat replaces an older one,
// so each is awaited before the next is posted.
TEST_P(FailedBuilder, LeavesTheMessageAsItWas) {
    ASSERT_EQ(0u, Init());
    const std::string longText(5000, 'x');
    const char bad[] = "<policy><unclosed></policy>";
    const uint32_t badLength = sizeof bad - 1;
    using Builder = std::function<uint32_t(SS_HMESSAGE)>;
    const std::pair<const char*, Builder> builders[] = {
        {"AddSetPolicyRequest",
         [&](SS_HMESSAGE m) { return AddSetPolicyRequest(m, bad, badLength, nullptr, nullptr); }},
        {"AddOptAgentProperties",
         [&](SS_HMESSAGE m) { return AddOptAgentProperties(m, bad, badLength, nullptr, nullptr); }},
        {"AddSetSchemaRequest",
         [&](SS_HMESSAGE m) {
             return AddSetSchemaRequest(m, "s", "urn:s", "1.0", 0, bad, badLength, nullptr, nullptr);
         }},
        {"AddGetSchemaResponse",
         [&](SS_HMESSAGE m) {
             return AddGetSchemaResponse(m, "s", "urn:s", "1.0", 0, nullptr, 0, bad, badLength, "r", 1);
         }},
        {"AddAgentParams", [&](SS_HMESSAGE m) { return AddAgentParams(m, bad, badLength); }},
        {"SetBasicAgentInfoEx",
         [&](SS_HMESSAGE m) {
             return SetBasicAgentInfoEx(m, "9.9", "/new", 1, "changed", 2, "/opt/a", "/opt/d", "model", "group", 1, 1,
                                        "not a date");
         }},
        {"SetHostInfo",
         [&](SS_HMESSAGE m) {
             return SetHostInfo(m, "new-host", "10.0.0.9", "os", 0, "NB", "DOMAIN", "OU=x", longText.c_str());
         }},
        {"AddGetPolicyRequest",
         [&](SS_HMESSAGE m) { return AddGetPolicyRequest(m, "0", "bad\x01name", "urn:p", "1.0", nullptr, nullptr); }},
        {"AddSetPolicyResponse",
         [&](SS_HMESSAGE m) { return AddSetPolicyResponse(m, "p", "urn:p", "1.0", 1, longText.c_str(), "t", "r", 1); }},
        {"AddGetSchemaRequest",
         [&](SS_HMESSAGE m) { return AddGetSchemaRequest(m, "s", "urn:s\xef\xbf\xbf", "1.0", nullptr, nullptr); }},
        {"AddSetSchemaResponse",
         [&](SS_HMESSAGE m) { return AddSetSchemaResponse(m, "s", nullptr, "1.0", 0, nullptr, "r", 1); }},
        {"AddModuleInfo", [&](SS_HMESSAGE m) { return AddModuleInfo(m, longText.c_str(), "1.0", 0, nullptr); }},
        {"AddSchemaInfo", [&](SS_HMESSAGE m) { return AddSchemaInfo(m, "s", "urn:s\x1f", "1.0", 0, 0, 0, 0); }},
    };
    size_t posted = 0;
    for (const auto& builder : builders) {
        SCOPED_TRACE(builder.first);
        SS_HMESSAGE heartbeat = nullptr;
        const std::string module = std::string("module-") + builder.first;
        ASSERT_EQ(0u, CreateHeartbeat(&heartbeat, "{agent}", "edge", "urn:sensors", "5.0", "127.0.0.1"));
        SS_HMODULE handle = nullptr;
        ASSERT_EQ(0u, AddModuleInfo(heartbeat, module.c_str(), "1.0", 0, &handle));
        EXPECT_NE(0u, AddModuleInfoParams(handle, bad, badLength));
        const std::string before = TextOf(heartbeat);
        EXPECT_NE(0u, builder.second(heartbeat));
        EXPECT_EQ(before, TextOf(heartbeat));
        ASSERT_EQ(0u, PostHeartbeat(heartbeat, nullptr, nullptr));
        ++posted;
        if (!GetParam()) {
            ASSERT_TRUE(WaitFor([&] { return server.Count() == posted; }));
        }
    }
    for (const auto& builder : builders) {
        const std::string module = std::string("module-") + builder.first;
        EXPECT_TRUE(WaitFor([&] { return server.Named(module) > 0; })) << module;
    }
    EXPECT_EQ(posted, sizeof builders / sizeof builders[0]);
}

INSTANTIATE_TEST_SUITE_P(MergingOrNot, FailedBuilder, ::testing::Bool());

// An agent callback may end the session it runs on, on either thread that
// runs callbacks: SS_ShutDown returns at once (the thread cannot wait for
// itself), nothing reaches the agent once it has returned, and the session
// ends when the callback returns; a new one then starts and posts.
namespace {

class ShutDownFromCallback : public Edges, public ::testing::WithParamInterface<bool> {
protected:
    std::string Extra() override {
        return std::string("shutdownTimeout=20000\nprocessResponseThread=") + (GetParam() ? "1" : "0") + "\n";
    }
};

std::atomic<long> g_shutDownStatus{-1};
std::atomic<long> g_shutDownMs{-1};
std::atomic<size_t> g_linesAtReturn{0};
std::atomic<int> g_threadsInCallback{0};
uint32_t ShutsDown(const char*) {
    g_threadsInCallback = Threads();
    const auto start = std::chrono::steady_clock::now();
    const uint32_t status = SS_ShutDown();
    g_shutDownMs = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    g_linesAtReturn = TraceLines::Count("");
    g_shutDownStatus = static_cast<long>(status);
    return 0;
}

}  // namespace

TEST_P(ShutDownFromCallback, EndsTheSessionOnceTheCallbackReturns) {
    g_shutDownStatus = -1;
    ASSERT_EQ(0u, Init());
    ASSERT_EQ(0u, RegisterResponseComplete(&ShutsDown));
    EXPECT_EQ(0u, PostOne());
    ASSERT_TRUE(WaitFor([] { return g_shutDownStatus.load() != -1; }));
    EXPECT_EQ(0, g_shutDownStatus.load());
    EXPECT_LT(g_shutDownMs.load(), 2000);
    EXPECT_TRUE(WaitFor([] { return mslLoader_ovxSessionConfigSvcs::ReferenceCount() == 0; }));
    // Its two threads (dispatch and worker) are gone.
    const int threads = g_threadsInCallback.load() - 2;
    EXPECT_TRUE(WaitFor([&] { return Threads() == threads; })) << Threads() << " threads, not " << threads;
    EXPECT_EQ(g_linesAtReturn.load(), TraceLines::Count(""));

    ASSERT_EQ(0u, Init());
    EXPECT_EQ(0u, PostOne());
    EXPECT_TRUE(Arrives(2));
}

INSTANTIATE_TEST_SUITE_P(OnEitherThread, ShutDownFromCallback, ::testing::Bool());

// A child of fork() has the parent's session but none of its threads: it may
// shut that session down (which forgets it, touching nothing the parent's
// threads held) and start its own, whose heartbeat arrives. The children fork
// at instants spread over the parent's post, its answer and its callback, so
// that some are copied while a thread of the parent holds a lock of ours.
namespace {

std::atomic<int> g_parentAnswers{0};
uint32_t ParentAnswered(const char*) {
    ++g_parentAnswers;
    return 0;
}
std::atomic<bool> g_childAnswered{false};
uint32_t ChildAnswered(const char*) {
    g_childAnswered = true;
    return 0;
}

// The child's steps, as an agent would take them; the exit code names the
// first that failed.
int ChildRestarts(const std::string& localFile, const std::string& commFile) {
    alarm(20);  // a child that hangs ends, and the parent sees it
    if (SS_ShutDown() != 0) return 3;
    if (SS_Init("5.0", localFile.c_str(), commFile.c_str(), "ovx-child", nullptr, nullptr) != 0) return 4;
    if (RegisterResponseComplete(&ChildAnswered) != 0) return 5;
    SS_HMESSAGE heartbeat = nullptr;
    if (CreateHeartbeat(&heartbeat, "{agent}", "child", "urn:sensors", "5.0", "127.0.0.1") != 0) return 6;
    if (PostHeartbeat(heartbeat, nullptr, nullptr) != 0) return 7;
    if (!WaitFor([] { return g_childAnswered.load(); })) return 8;
    return SS_ShutDown() == 0 ? 0 : 9;
}

}  // namespace

TEST_F(Edges, AForkedChildReleasesTheInheritedSessionAndStartsItsOwn) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not follow a multi-threaded fork";
#endif
    ASSERT_EQ(0u, Init());
    ASSERT_EQ(0u, RegisterResponseComplete(&ParentAnswered));
    constexpr int kChildren = 24;
    for (int child = 0; child < kChildren; ++child) {
        const size_t before = server.Count();
        const int answers = g_parentAnswers.load();
        EXPECT_EQ(0u, PostOne("parent"));
#if defined(__SANITIZE_ADDRESS__)
        // AddressSanitizer's own allocator is not held across fork(): a child
        // copied while a parent's thread allocates waits in it for ever. Under
        // it the children fork once the parent is idle.
        ASSERT_TRUE(WaitFor([&] { return g_parentAnswers.load() > answers; }));
#else
        // 0 to 1.9 ms after the post: a heartbeat's round trip here.
        std::this_thread::sleep_for(std::chrono::microseconds(child * 80));
#endif
        const pid_t pid = fork();
        ASSERT_NE(-1, pid);
        if (pid == 0) _exit(ChildRestarts(localFile, commFile));
        int status = -1;
        ASSERT_TRUE(WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(25)));
        EXPECT_TRUE(WIFEXITED(status)) << "child " << child << " ended by signal " << WTERMSIG(status);
        EXPECT_EQ(0, WIFEXITED(status) ? WEXITSTATUS(status) : -1) << "child " << child;
        // The parent's and the child's heartbeats both arrive.
        EXPECT_TRUE(Arrives(before + 2)) << "child " << child;
        ASSERT_TRUE(WaitFor([&] { return g_parentAnswers.load() > answers; }));
    }
    // The parent's session goes on.
    const size_t before = server.Count();
    EXPECT_EQ(0u, PostOne("after"));
    EXPECT_TRUE(Arrives(before + 1));
}

// A handle the builder could not fill is cleared first, whatever it held.
TEST_F(Edges, OutHandlesAreClearedFirst) {
    ASSERT_EQ(0u, Init());
    auto stale = reinterpret_cast<SS_HMESSAGE>(static_cast<uintptr_t>(0x1234));
    SS_HMESSAGE message = stale;
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, CreateMessage(&message, nullptr, "n", "urn:n"));
    EXPECT_EQ(nullptr, message);
    message = stale;
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, CreateMessage(&message, "{agent}", "bad\x02", "urn:n"));
    EXPECT_EQ(nullptr, message);
    message = stale;
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, CreateHeartbeat(&message, "{agent}", "n", "urn:n", "5.0", nullptr));
    EXPECT_EQ(nullptr, message);
    EXPECT_EQ(1u, TraceLines::Count("An input parameter holds a character XML cannot carry: name"));
}

namespace {

// The memory probe's figures: peak growth in kB and the answer's size.
bool MeasureAnswer(int megabytes, long* growthKb, long* answerBytes) {
    TempDir work("ovx-memory");
    const std::string size = std::to_string(megabytes);
    const std::string command = std::string(OVX_MEMORY_PROBE) + " " + OVX_SENSOR_LIBRARY + " " + OVX_TEST_LIBRARY_DIR +
                                " " + work.path() + " " + size;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return false;
    int read = std::fscanf(pipe, "peak-growth-kb %ld answer-bytes %ld", growthKb, answerBytes);
    return pclose(pipe) == 0 && read == 2;
}

}  // namespace

// A large answer (one policy whose content is a single attribute of 20 MB)
// costs at most eight times its size and 16 MB while it is processed.
TEST(EdgesMemory, ALargeAnswerTakesMemoryInProportionToItsSize) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' shadow memory says nothing of ours";
#endif
    long growthKb = 0, answerBytes = 0;
    ASSERT_TRUE(MeasureAnswer(20, &growthKb, &answerBytes));
    const long limitKb = 8 * answerBytes / 1024 + 16 * 1024;
    EXPECT_LE(growthKb, limitKb) << "peak grew by " << growthKb << " kB for an answer of " << answerBytes << " bytes";
    std::printf("peak growth %ld kB for an answer of %ld bytes (%.1f times)\n", growthKb, answerBytes,
                growthKb * 1024.0 / answerBytes);
}
