// The edges of a session's life, driven through the public header against
// real loopback servers: failed loads of the service library, racing SS_Init
// calls, threads left running by a timed-out shut-down (in this process and
// in the agent probe, a child process), callbacks that call back in or end
// the session, fork, and who owns a heartbeat after each status.

#include "HeartbeatServer.h"
#include "support/Checks.h"
#include "cml/core/cmlMessage.h"

using namespace ovxTest;

namespace {

const std::string kLibraryDir = OVX_TEST_LIBRARY_DIR;
const std::string kScsName = "libovxSessionConfigSvcs5.so";

// The header's list of statuses that leave a posted message with the caller.
const std::set<uint32_t> kCallersOwn = {OVX_E_INVALID_ARGUMENT, OVX_E_OUT_OF_MEMORY, OVX_E_UNEXPECTED,
                                        OVX_E_NOT_INITIALIZED};

// A heartbeat posted as an agent following the header does: it frees what a
// status leaves with it.
uint32_t PostOne(const char* name = "edge") {
    SS_HMESSAGE hb = nullptr;
    uint32_t status = CreateHeartbeat(&hb, "{agent}", name, "urn:sensors", "5.0", "127.0.0.1");
    if (status == 0 && kCallersOwn.count(status = PostHeartbeat(hb, nullptr, nullptr))) FreeHeartbeat(hb);
    return status;
}

bool Unloaded() {
    return WaitFor([] { return mslLoader_ovxSessionConfigSvcs::ReferenceCount() == 0; });
}

// The fixture names the service library's folder.
struct Edges : ServedSession {
    std::string Flags() override { return "shutdownTimeout=2000\n"; }
    void Settings(const std::string& flags) { ServedSession::Settings(flags, "200"); }
    // PostOne, and true once its heartbeat arrived.
    bool PostedOne(const char* name = "edge") {
        const size_t before = server.Count();
        return PostOne(name) == 0 && WaitFor([&] { return server.Count() > before; });
    }
};

// Sessions set up to process answers on a thread of their own, and those that
// do not.
struct EitherEdges : Edges, ::testing::WithParamInterface<bool> {};

}  // namespace

// Each way SS_Init can fail to load the service library, and a failure of
// base services after the load, leaves the loader as it was: the next
// SS_Init with a good folder works and its heartbeat arrives.
TEST_F(Edges, AFailedStartLeavesNothingBehindAndTheNextOneWorks) {
    const std::string scs = kLibraryDir + "/" + kScsName, missing = kLibraryDir + "/libovxScsMissingSymbol.so";
    TempDir none("ovx-no-library"), unsigned_("ovx-unsigned"), tampered("ovx-tampered"), unbound("ovx-missing");
    // The library alone, or with its signature.
    for (const auto& [library, folder] : {std::make_pair(scs, &unsigned_), {scs, &tampered}, {missing, &unbound}}) {
        std::filesystem::copy_file(library, *folder / kScsName);
        if (folder != &unsigned_) std::filesystem::copy_file(library + ".sig", *folder / (kScsName + ".sig"));
    }
    std::fstream(tampered / kScsName, std::ios::in | std::ios::out | std::ios::binary).seekp(-1, std::ios::end) << 'Z';
    // The last: a good folder, and no comm settings file.
    for (const std::string& folder : {none.path(), unsigned_.path(), tampered.path(), unbound.path(), kLibraryDir}) {
        SCOPED_TRACE(folder);
        const std::string comm = folder == kLibraryDir ? dir + "/absent.ini" : commFile;
        SS_SetMSLLibPath(folder.c_str());
        EXPECT_NE(0u, SS_Init("5.0", localFile.c_str(), comm.c_str(), "ovx-tests", nullptr, &sink));
        EXPECT_EQ("0 " + std::to_string(~0u), Joined({mslLoader_ovxSessionConfigSvcs::ReferenceCount(), Servers()}));
        // Only a library that loads gets as far as the missing comm settings file, and says so.
        EXPECT_EQ(folder == kLibraryDir,
                  Says("Unable to add default destination where local property file = '" + localFile + "'") == 1);
        // The table holds its stubs again, not entries of a half-bound library.
        EXPECT_EQ(OVX_E_MSL_NOT_LOADED, mslLoader_ovxSessionConfigSvcs::Scs().SCS_SetAgentId("x"));
        SS_SetMSLLibPath(kLibraryDir.c_str());
        ASSERT_EQ(0u, Init());
        EXPECT_TRUE(PostedOne());
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
    ASSERT_TRUE(PostedOne());
    ASSERT_NO_FATAL_FAILURE(End());
    const int before = Threads();
    std::atomic<int> ready{0};
    std::vector<std::thread> starters;
    for (int i = 0; i < 6; ++i)
        starters.emplace_back([&] {
            for (++ready; ready.load() != 6;) std::this_thread::yield();
            EXPECT_THAT(Init(), AnyOf(0u, OVX_I_ALREADY_INITIALIZED));
        });
    for (std::thread& starter : starters) starter.join();
    // The losers' loads of the service library are given back.
    EXPECT_TRUE(WaitFor([] { return mslLoader_ovxSessionConfigSvcs::ReferenceCount() == 1; }));
    EXPECT_TRUE(PostedOne());
    // Its threads and nothing else: a dispatch and a worker thread.
    EXPECT_TRUE(WaitFor([&] { return Threads() <= before + 2 + 1; })) << Threads() << " against " << before;
    ASSERT_NO_FATAL_FAILURE(End());
    EXPECT_TRUE(WaitFor([&] { return Threads() <= before + 1; })) << Threads() << " against " << before;
}

// What the callbacks of these tests saw and did.
static std::atomic<int> g_returned{0}, g_lateCalls{0}, g_gaveUp{0}, g_innerStatus{-1}, g_agentIdStatus{-1};
static std::atomic<long> g_shutDownStatus{-1}, g_threadsInCallback{0}, g_answers{0};
static std::atomic<size_t> g_linesAtReturn{0};
// Any callback or trace line, counted once SS_ShutDown returned.
template <class... Arguments>
static uint32_t Late(Arguments...) {
    if (g_returned.load()) ++g_lateCalls;
    return 0;
}

// SS_ShutDown gives up on a post that hangs; the answer comes after it
// returned, carrying group settings. Nothing of it reaches the agent: no
// trace line (the sink is freed), no callback, no settings written. A
// process that exits right then exits cleanly, and so does one that closes
// the library at once (fifty times), under the sanitizers too.
TEST_F(Edges, NothingReachesTheAgentAfterATimedOutShutDown) {
    Settings("shutdownTimeout=150\ntransferTimeout=5000\n");
    server.Hold();
    const std::string settings = ReadText(commFile);
    server.Default(Answer("", Doc("get-policy-response", kPolicyNs, "gp",
                                  Base64Item(kGroupSettingsNs, "late-token", "[server.1]\nurl=http://127.0.0.1:1\n")) +
                                  Doc("agent-startup-acknowledgement", kAgentNs, "ack")));
    g_returned = g_lateCalls = 0;
    auto* sink = new SS_TraceSink{0, 0xFFFFFFFFu, &Late};
    ASSERT_EQ(0u, SS_Init("5.0", localFile.c_str(), commFile.c_str(), "ovx-tests", nullptr, sink));
    ASSERT_EQ(0u, SS_RegisterErrorCallback(&Late));
    ASSERT_EQ(0u, RegisterResponseComplete(&Late));
    ASSERT_EQ(0u, RegisterCommSettingsResponse(&Late));
    ASSERT_EQ(0u, PostOne("late"));
    ASSERT_TRUE(WaitFor([&] { return server.Count() == 1; }));
    const auto started = Clock::now();
    ASSERT_EQ(0u, SS_ShutDown());
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(2));
    g_returned = true;
    std::memset(sink, 0xA5, sizeof *sink);  // the agent may free its sink now
    delete sink;
    server.Release();  // the answer arrives at the session left running
    EXPECT_TRUE(Unloaded());
    EXPECT_EQ(0, g_lateCalls.load());
    EXPECT_EQ(settings, ReadText(commFile));

    const Listener hanging;  // accepts, never answers
    WriteText(commFile, "[server.1]\nurl=http://127.0.0.1:" + std::to_string(hanging.port) + "\n");
    // Transfers that outlast the process, or that end while later cycles run.
    for (const auto& mode : {std::make_pair("exit", "60000"), std::make_pair("dlopen", "700")}) {
        Settings(std::string("shutdownTimeout=100\ntransferTimeout=") + mode.second + "\n");
        std::string said;
        EXPECT_EQ(0, Probe(mode.first, said)) << mode.first << ": " << said;
    }
}

static uint32_t JoinsACallingThread(uint32_t status, uint32_t kind) {
    if (status != OVX_I_RETRY_GAVE_UP || kind != 1 || g_gaveUp.load() != 0) return 0;
    // Another thread of the agent calls in, and the callback waits for it.
    std::thread([] {
        g_innerStatus = static_cast<int>(PostOne("inner"));
        char* agentId = nullptr;
        g_agentIdStatus = static_cast<int>(SS_GetAgentId(&agentId));
        SS_Free(agentId);
    }).join();
    ++g_gaveUp;
    return 0;
}

// The give-up report runs with no lock of the library held: an error
// callback that waits for another thread calling in finishes.
TEST_F(Edges, AGiveUpCallbackMayWaitForAThreadThatCallsIn) {
    Settings("maxServerRetry=1\nretryServerLoop=false\n");
    WriteText(commFile, "[server.1]\nurl=http://127.0.0.1:1\n");
    g_gaveUp = 0;
    ASSERT_EQ(0u, Init());
    ASSERT_EQ(0u, SS_RegisterErrorCallback(&JoinsACallingThread));
    EXPECT_EQ(0u, PostOne());
    ASSERT_TRUE(WaitFor([] { return g_gaveUp.load() == 1; }));
    EXPECT_TRUE(g_innerStatus.load() == 0 && g_agentIdStatus.load() != -1) << g_innerStatus << " " << g_agentIdStatus;
}

// A server's group settings whose token no heartbeat could carry are
// refused where they arrive; the heartbeats that follow are queued, return 0
// and go out with the token in force, and the agent that frees exactly what
// the header says it owns frees nothing twice and leaks nothing.
TEST_F(Edges, AServerTokenNoHeartbeatCouldCarryIsRefusedOnReceipt) {
    const std::string before = ReadText(commFile);
    server.Then(GroupSettingsAnswer(std::string(5000, 't'),
                                    "[group]\nschemaVersion=1.0.0\n[server.1]\nurl=" + server.Url() + "\n"));
    ASSERT_EQ(0u, Init());
    ASSERT_EQ(0u, PostOne("first"));
    ASSERT_TRUE(WaitFor([] { return Says("Group settings refused: the token is longer than 4095 bytes.") == 1; }));
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(PostedOne("next"));
    ExpectContains(server.Body(server.Count() - 1),
                   {"namespace='" + kGroupSettingsNs + "' schema-version='1.0.0' token='0'/>"});
    EXPECT_EQ(before, ReadText(commFile));
}

// Every way PostHeartbeat can fail, met by an agent that follows the header
// to the letter (under AddressSanitizer in CI); a handle a builder could not
// fill is cleared first, whatever it held.
TEST_F(Edges, EveryStatusTellsWhoOwnsTheMessageAndAFailedCreateClearsItsHandle) {
    EXPECT_EQ(OVX_E_NOT_INITIALIZED, PostOne("before any session"));
    ASSERT_EQ(0u, Init());
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, PostHeartbeat(nullptr, nullptr, nullptr));
    SS_HMESSAGE message = nullptr;
    ASSERT_EQ(0u, CreateMessage(&message, "{agent}", "plain", "urn:sensors"));
    EXPECT_EQ(OVX_E_UNEXPECTED, PostHeartbeat(message, nullptr, nullptr));
    FreeMessage(message);  // left with the caller, as the header says
    const std::function<uint32_t(SS_HMESSAGE*)> creates[] = {
        [](SS_HMESSAGE* out) { return CreateMessage(out, nullptr, "n", "urn:n"); },
        [](SS_HMESSAGE* out) { return CreateMessage(out, "{agent}", "bad\x02", "urn:n"); },
        [](SS_HMESSAGE* out) { return CreateHeartbeat(out, "{agent}", "n", "urn:n", "5.0", nullptr); }};
    for (const auto& create : creates) {
        message = reinterpret_cast<SS_HMESSAGE>(static_cast<uintptr_t>(0x1234));
        EXPECT_EQ(OVX_E_INVALID_ARGUMENT, create(&message));
        EXPECT_EQ(nullptr, message);
    }
    EXPECT_EQ(1u, Says("An input parameter holds a character XML cannot carry: name"));
    ASSERT_TRUE(PostedOne("good"));
    ASSERT_EQ(0u, SS_ShutDown());
    EXPECT_EQ(OVX_E_NOT_INITIALIZED, PostOne("after the shut-down"));
}

// Each builder that fails leaves the message exactly as it was, so the
// heartbeat still goes out: every posted heartbeat's module arrives, merged
// into the one pending.
TEST_F(Edges, AFailedBuilderLeavesTheMessageAsItWas) {
    Settings("mergeHeartbeatOnPost=1\n");
    ASSERT_EQ(0u, Init());
    const std::string huge(5000, 'x');
    const char b[] = "<policy><unclosed></policy>";
    const uint32_t n = sizeof b - 1;
    const std::function<uint32_t(SS_HMESSAGE)> builders[] = {
        [&](auto m) { return AddSetPolicyRequest(m, b, n, nullptr, nullptr); },
        [&](auto m) { return AddOptAgentProperties(m, b, n, nullptr, nullptr); },
        [&](auto m) { return AddSetSchemaRequest(m, "s", "urn:s", "1.0", 0, b, n, nullptr, nullptr); },
        [&](auto m) { return AddGetSchemaResponse(m, "s", "urn:s", "1.0", 0, nullptr, 0, b, n, "r", 1); },
        [&](auto m) { return AddAgentParams(m, b, n); },
        [&](auto m) {
            return SetBasicAgentInfoEx(m, "9.9", "/new", 1, "changed", 2, "/a", "/d", "model", "g", 1, 1, "not a date");
        },
        [&](auto m) { return SetHostInfo(m, "new-host", "10.0.0.9", "os", 0, "NB", "DOMAIN", "OU=x", huge.c_str()); },
        [&](auto m) { return AddGetPolicyRequest(m, "0", "bad\x01name", "urn:p", "1.0", nullptr, nullptr); },
        [&](auto m) { return AddSetPolicyResponse(m, "p", "urn:p", "1.0", 1, huge.c_str(), "t", "r", 1); },
        [&](auto m) { return AddGetSchemaRequest(m, "s", "urn:s\xef\xbf\xbf", "1.0", nullptr, nullptr); },
        [&](auto m) { return AddSetSchemaResponse(m, "s", nullptr, "1.0", 0, nullptr, "r", 1); },
        [&](auto m) { return AddModuleInfo(m, huge.c_str(), "1.0", 0, nullptr); },
        [&](auto m) { return AddSchemaInfo(m, "s", "urn:s\x1f", "1.0", 0, 0, 0, 0); },
    };
    for (size_t i = 0; i < std::size(builders); ++i) {
        SCOPED_TRACE(i);
        SS_HMESSAGE heartbeat = Heartbeat("edge");
        SS_HMODULE handle = nullptr;
        ASSERT_EQ(0u, AddModuleInfo(heartbeat, ("module-" + std::to_string(i)).c_str(), "1.0", 0, &handle));
        EXPECT_NE(0u, AddModuleInfoParams(handle, b, n));
        std::ostringstream before, after;
        reinterpret_cast<ovx::cml::CCmlMessage*>(heartbeat)->Serialize(before);
        EXPECT_NE(0u, builders[i](heartbeat));
        reinterpret_cast<ovx::cml::CCmlMessage*>(heartbeat)->Serialize(after);
        EXPECT_EQ(before.str(), after.str());
        ASSERT_EQ(0u, PostHeartbeat(heartbeat, nullptr, nullptr));
    }
    for (size_t i = 0; i < std::size(builders); ++i)
        EXPECT_TRUE(WaitFor([&] { return server.Named("module-" + std::to_string(i)) > 0; })) << i;
}

static uint32_t ShutsDown(const char*) {
    g_threadsInCallback = Threads();
    const uint32_t status = SS_ShutDown();
    g_linesAtReturn = TraceLines::Count("");
    g_shutDownStatus = static_cast<long>(status);
    return 0;
}

// An agent callback may end the session it runs on, on either thread that
// runs callbacks: SS_ShutDown returns at once (the thread cannot wait for
// itself), nothing reaches the agent once it has returned, and the session
// ends when the callback returns; a new one then starts and posts.
TEST_P(EitherEdges, AShutDownFromACallbackEndsTheSessionOnceTheCallbackReturns) {
    Settings(std::string("shutdownTimeout=20000\nprocessResponseThread=") + (GetParam() ? "1" : "0") + "\n");
    g_shutDownStatus = -1;
    ASSERT_EQ(0u, Init());
    ASSERT_EQ(0u, RegisterResponseComplete(&ShutsDown));
    EXPECT_EQ(0u, PostOne());
    // Far sooner than the shut-down's timeout.
    ASSERT_TRUE(WaitFor([] { return g_shutDownStatus.load() != -1; }, std::chrono::seconds(5)));
    EXPECT_EQ(0, g_shutDownStatus.load());
    EXPECT_TRUE(Unloaded());
    // Its two threads (dispatch and worker) are gone.
    const int threads = g_threadsInCallback.load() - 2;
    EXPECT_TRUE(WaitFor([&] { return Threads() == threads; })) << Threads() << " threads, not " << threads;
    EXPECT_EQ(g_linesAtReturn.load(), TraceLines::Count(""));
    ASSERT_EQ(0u, Init());
    EXPECT_TRUE(PostedOne());
}

INSTANTIATE_TEST_SUITE_P(OrNot, EitherEdges, ::testing::Bool());

static uint32_t Answered(const char*) {
    ++g_answers;
    return 0;
}

// A child of fork() has the parent's session but none of its threads: it may
// shut that session down (which forgets it, touching nothing the parent's
// threads held) and start its own, whose heartbeat arrives. The children fork
// at instants spread over the parent's post, its answer and its callback, so
// that some are copied while a thread of the parent holds a lock of ours.
TEST_F(Edges, AForkedChildReleasesTheInheritedSessionAndStartsItsOwn) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not follow a multi-threaded fork";
#endif
    ASSERT_EQ(0u, Init());
    ASSERT_EQ(0u, RegisterResponseComplete(&Answered));
    // The child's steps, as an agent would take them; the exit code names the
    // first that failed.
    const auto child = [&] {
        alarm(20);  // a child that hangs ends, and the parent sees it
        const int answers = g_answers.load();
        if (SS_ShutDown() != 0) return 3;
        if (SS_Init("5.0", localFile.c_str(), commFile.c_str(), "ovx-child", nullptr, nullptr) != 0) return 4;
        if (RegisterResponseComplete(&Answered) != 0) return 5;
        if (PostOne("child") != 0) return 6;
        if (!WaitFor([&] { return g_answers.load() > answers; })) return 7;
        return SS_ShutDown() == 0 ? 0 : 8;
    };
    for (int i = 0; i < 24; ++i) {
        const size_t before = server.Count();
        const int answers = g_answers.load();
        EXPECT_EQ(0u, PostOne("parent"));
#if defined(__SANITIZE_ADDRESS__)
        // AddressSanitizer's own allocator is not held across fork(): a child
        // copied while a parent's thread allocates waits in it for ever. Under
        // it the children fork once the parent is idle.
        ASSERT_TRUE(WaitFor([&] { return g_answers.load() > answers; }));
#else
        // 0 to 1.9 ms after the post: a heartbeat's round trip here.
        std::this_thread::sleep_for(std::chrono::microseconds(i * 80));
#endif
        EXPECT_EQ(0, ChildExit(child)) << "child " << i;
        // The parent's and the child's heartbeats both arrive.
        EXPECT_TRUE(WaitFor([&] { return server.Count() >= before + 2; })) << "child " << i;
        ASSERT_TRUE(WaitFor([&] { return g_answers.load() > answers; }));
    }
    // The parent's session goes on.
    EXPECT_TRUE(PostedOne("after"));
}

// A large answer (one policy whose content is a single attribute of 20 MB)
// costs the probe at most eight times its size and 16 MB while it processes it.
TEST_F(Edges, ALargeAnswerTakesMemoryInProportionToItsSize) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' shadow memory says nothing of ours";
#endif
    const size_t megabytes = 20;
    const std::string large = LargePolicyAnswer("gp", megabytes << 20);
    server.Then(Answer("", Doc("agent-startup-acknowledgement", kAgentNs, "ack")));
    server.Then(large);
    WriteText(localFile, "[scs]\nagentIdFile=" + dir + "/agent-id.ini\nmaxResponseSize=" +
                             std::to_string(large.size() + 1024) + "\n[sensor_services]\nautoGroupSettingsRequest=0\n");
    std::string said;
    ASSERT_EQ(0, Probe("memory", said)) << said;
    long growthKb = 0, policyBytes = 0;
    ASSERT_EQ(2, std::sscanf(said.c_str(), "peak-growth-kb %ld policy-bytes %ld", &growthKb, &policyBytes)) << said;
    EXPECT_GT(policyBytes, static_cast<long>(megabytes << 20));
    EXPECT_LE(growthKb, static_cast<long>(8 * large.size() / 1024 + 16 * 1024)) << "for an answer of " << large.size();
}
