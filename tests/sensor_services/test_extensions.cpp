// What the settings add to the schedule and the wire when asked for, against
// a real server on 127.0.0.1: the server's Retry-After, compressed heartbeats
// and the fall-back for a server that cannot read them, the statistics, the
// pending heartbeat store (across a session and across an agent killed with
// SIGKILL) and group settings on probation. With every setting at its
// default nothing of this shows: no header, no file, no rollback.
#include <signal.h>
#include <sys/sysmacros.h>

#include "HeartbeatServer.h"
#include "tools/ovxClock.h"

using namespace ovxTest;

namespace {

const std::string kAck = Answer("", Doc("agent-startup-acknowledgement", kAgentNs, "hb-req", "", " code='0'"));

std::atomic<int64_t> g_now{1000000};
int64_t FakeNow() { return g_now.load(); }

Recorder g_errors;
uint32_t OnError(uint32_t status, uint32_t kind) {
    char text[64];
    std::snprintf(text, sizeof text, "0x%08x kind %u", status, kind);
    return g_errors.Add(text);
}

// The statistics of this header's size into `statistics`; their status.
uint32_t Statistics(SS_Statistics& statistics) {
    statistics = SS_Statistics{};
    statistics.structSize = sizeof statistics;
    return SS_GetStatistics(&statistics);
}

struct Extensions : ServedSession {
    void SetUp() override {
        server.Default(kAck);
        // While a post is on the wire the statistics tell the wait that
        // came before it (0xFFFFFFFF with no session).
        server.Note([] {
            SS_Statistics statistics;
            return Statistics(statistics) == 0 ? statistics.retryDelayMs : svcRetryState::kInfinite;
        });
        ServedSession::SetUp();
        g_errors.Take();
        g_now = 1000000;
        m_previousClock = ovxToolsLib::ovxClock::SetSourceForTesting(&FakeNow);
    }
    void TearDown() override {
        ServedSession::TearDown();
        ovxToolsLib::ovxClock::SetSourceForTesting(m_previousClock);
    }
    std::string Store() const { return dir + "/pending.xml"; }
    // Files of the folder whose names begin with `prefix`.
    size_t Files(const std::string& prefix) const {
        return std::count_if(std::filesystem::directory_iterator(dir), {},
                             [&](const auto& file) { return file.path().filename().string().rfind(prefix, 0) == 0; });
    }
    // Posts `name` to a server nothing answers on and moves the clock on by
    // `seconds` between retries that begin at once: it does not arrive. With
    // `rescued`, one more second ends a probation and it arrives.
    void Strand(const char* name, int64_t seconds, bool rescued = false) {
        ASSERT_EQ(0u, PostHeartbeat(Heartbeat(name), nullptr, nullptr));
        const char* const retried = "Next retry in 0 seconds to server index #0";
        for (const int64_t step : {int64_t{0}, seconds}) {
            g_now += step;
            const size_t until = Says(retried) + 3;
            ASSERT_TRUE(WaitFor([&] { return Says(retried) >= until; }));
        }
        EXPECT_EQ(0u, server.Named(name));
        g_now += rescued ? 1 : 0;
        ASSERT_TRUE(!rescued || WaitFor([&] { return server.Named(name) == 1; }));
    }
    // The rolled-back settings offered again, after `heartbeat`: refused.
    void ExpectRefusedAgain(SS_HMESSAGE hb, const std::string& good) {
        server.Then(GroupSettingsAnswer("tok-dead", dead));
        ASSERT_TRUE(Posted(hb, [] { return Says("these settings were rolled back after their probation") == 1; }));
        EXPECT_EQ(good, ReadText(commFile));
    }
    // Group settings whose one server nothing answers on, taken from the
    // answer to a first heartbeat, on a probation of five seconds or none;
    // `session` is then the running one.
    void TakeDeadSettings(bool probation = true) {
        if (probation) Settings("settingsProbation=5\n");
        ASSERT_NO_FATAL_FAILURE(Start());
        server.Then(GroupSettingsAnswer("tok-dead", dead));
        ASSERT_TRUE(Posted(Heartbeat("first"), [&] { return session->GetGroupSettingsToken() == "tok-dead"; }));
    }

    ovxToolsLib::ovxTimeSource m_previousClock = nullptr;
    const std::string dead =
        "[group]\nschemaVersion=1.0.0\n[server.1]\nurl=http://127.0.0.1:" + std::to_string(TestServer::FreePort()) +
        "\n";
};

}  // namespace

// A 429's Retry-After is waited (capped at the ceiling, here ten seconds),
// said and told by the statistics instead of the schedule's wait.
TEST_F(Extensions, A429WithRetryAfterIsRetriedNoSoonerThanTheServerAsked) {
    Settings("", "10000");
    ASSERT_EQ(0u, Init());
    server.Status(429, "1");
    ASSERT_TRUE(Posted("patient", 2));
    // The schedule alone would have waited 0.1 s.
    const auto waited = server.ArrivalAt(1).at - server.ArrivalAt(0).at;
    EXPECT_TRUE(waited >= std::chrono::milliseconds(990) && waited < std::chrono::seconds(3)) << waited.count();
    EXPECT_EQ(1u, Says("Next retry in 1 seconds to server index #0"));
    EXPECT_EQ(1000u, server.ArrivalAt(1).note);
}

TEST_F(Extensions, HeartbeatsGoCompressedAndAServerThatRefusesThemGetsThemPlainFromThenOn) {
    Settings("compressPosts=1\n");
    ASSERT_EQ(0u, Init());
    ASSERT_TRUE(Posted("squeezed"));
    // The server's zlib gave back the heartbeat whole.
    ExpectContains(server.ArrivalAt(0).encoding + server.ArrivalAt(0).acceptEncoding + server.ArrivalAt(0).body,
                   {"gzipgzip<", "</ovx>"});
    // A server that cannot read them: 415, then the same heartbeat plain, at once.
    server.Rule([](const Arrival& arrival, size_t) { return arrival.encoding.empty() ? 0 : 415; });
    ASSERT_TRUE(Posted("refused", 2));
    EXPECT_EQ(server.ArrivalAt(1).encoding + server.ArrivalAt(1).body,
              "gzip" + server.ArrivalAt(2).encoding + server.ArrivalAt(2).body);
    EXPECT_EQ(1u, Says("Server index #0 refused a compressed heartbeat (HTTP 415); sending it "
                       "uncompressed from now on."));
    EXPECT_TRUE(g_errors.Take().empty());  // a heartbeat that arrived is no failure
    ASSERT_TRUE(Posted("after"));
    EXPECT_EQ("4 ", std::to_string(server.Arrived()) + " " + server.ArrivalAt(3).encoding);
}

TEST_F(Extensions, StatisticsCountEveryPostByKindAndOutcomeAndFitTheCallersStructure) {
    SS_Statistics s;
    EXPECT_EQ(OVX_E_NOT_INITIALIZED, Statistics(s));
    ASSERT_EQ(0u, Init());
    server.Status(500);
    server.Status(503);
    ASSERT_TRUE(Posted("counted", 3));
    ASSERT_EQ(0u, PostPing(nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return server.Arrived() == 4; }));
    // The last post's statistics are recorded right after it returns; the
    // retry delay is "none" once the dispatch thread has found nothing left
    // to send (until then it says "at once").
    ASSERT_TRUE(WaitFor(
        [&] { return Statistics(s) == 0 && s.ping.success == 1 && s.retryDelayMs == svcRetryState::kInfinite; }));
    EXPECT_EQ(sizeof s, s.structSize);
    const auto& hb = s.heartbeat;
    EXPECT_EQ(std::make_tuple(1u, 1u, 1u, 0u, 0u),
              std::make_tuple(hb.success, hb.httpError, hb.busy, hb.refused + hb.tls + hb.timeout + hb.other,
                              s.alive.success + s.exchange.success));
    uint64_t bodies = 0;
    for (size_t i = 0; i < 4; ++i) bodies += server.ArrivalAt(i).body.size();
    EXPECT_GT(s.bytesSent, bodies);  // bodies and headers
    EXPECT_GT(s.bytesReceived, 2 * kAck.size());
    // The clock seam's time, the last failure, the server.
    EXPECT_EQ(std::make_tuple(int64_t{1000000}, OVX_E_SCS_SERVER_BUSY, 0),
              std::make_tuple(int64_t{s.lastSuccessTime}, s.lastFailureStatus, int{s.serverIndex}));

    // A structure of an older, shorter header: whole fields that fit, nothing past them.
    unsigned char bytes[sizeof(SS_Statistics) + 16];
    std::memset(bytes, 0xAB, sizeof bytes);
    auto* other = reinterpret_cast<SS_Statistics*>(bytes);
    other->structSize = offsetof(SS_Statistics, alive) + 4;  // ends inside `alive`
    ASSERT_EQ(0u, SS_GetStatistics(other));
    EXPECT_EQ(std::make_tuple(1u, 1u, 0xAB), std::make_tuple(other->heartbeat.success, other->ping.success,
                                                             int{bytes[offsetof(SS_Statistics, alive)]}));
    // A newer, longer one: zeros after this header's fields.
    std::memset(bytes, 0xAB, sizeof bytes);
    other->structSize = sizeof bytes;
    ASSERT_EQ(0u, SS_GetStatistics(other));
    EXPECT_EQ(sizeof bytes, other->structSize);
    EXPECT_EQ(std::string(16, '\0'), std::string(bytes + sizeof(SS_Statistics), bytes + sizeof bytes));
    // Too short to hold even the heartbeat counts, or none at all.
    other->structSize = offsetof(SS_Statistics, heartbeat);
    EXPECT_EQ(std::make_pair(OVX_E_INVALID_ARGUMENT, OVX_E_INVALID_ARGUMENT),
              std::make_pair(SS_GetStatistics(other), SS_GetStatistics(nullptr)));

    // A new session starts from nothing; a server gone: refused connections.
    ASSERT_NO_FATAL_FAILURE(End());
    WriteText(commFile, dead);
    ASSERT_EQ(0u, Init());
    ASSERT_EQ(0u, Statistics(s));
    EXPECT_EQ(0u, hb.success + s.ping.success + hb.httpError + s.bytesSent + static_cast<uint64_t>(s.lastSuccessTime));
    ASSERT_TRUE(Posted(Heartbeat("unheard"), [&] { return Statistics(s) == 0 && hb.refused >= 1; }));
    EXPECT_EQ(OVX_E_SCS_CONNECTION_REFUSED, s.lastFailureStatus);
}

TEST_F(Extensions, OurSettingsTakeDigitsInTheirRangeAndAnythingElseGivesTheDefaultWithAWarning) {
    // What the warning of each key says after the value.
    const std::map<std::string, std::string> said = {
        {"retryJitter", "a whole number from 0 to 100: 0 is used instead."},
        {"settingsProbation", "a whole number from 0 to 2592000: 0 is used instead."},
        {"aliveUnitSeconds", "a whole number from 1 to 60: 60 is used instead."},
        {"compressPosts", "a flag (0 for off, another number in digits for on): 0 (off) is used instead."},
        {"maxResponseSize", "a whole number from 1 to 4294967295: 16777216 is used instead."}};
    // Then in range; and the keys every agent knows keep their own rules.
    for (const bool taken : {false, true}) {
        std::istringstream settings(
            taken ? "retryJitter=100 settingsProbation=2592000 aliveUnitSeconds=1 compressPosts=2 "
                    "maxResponseSize=4294967295 retryInterval=100abc dumpEnabled=no retryServerLoop=no"
                  : "retryJitter=-5 retryJitter=101 retryJitter=50abc retryJitter=1e3 retryJitter= "
                    "settingsProbation=2592001 settingsProbation=-1 aliveUnitSeconds=0 aliveUnitSeconds=61 "
                    "compressPosts=-1 compressPosts=yes compressPosts=true maxResponseSize=-1 maxResponseSize=0 "
                    "maxResponseSize=4294967296");
        for (std::string setting; settings >> setting;) {
            SCOPED_TRACE(setting);
            const std::string key = setting.substr(0, setting.find('=')), line = setting + "\n";
            const bool scs = key == "maxResponseSize";
            Settings(scs ? "" : line, "100", scs ? line : "");
            server.Status(500);
            ASSERT_EQ(0u, Init());
            ASSERT_TRUE(Posted("strict", 2));
            const std::string warning = "The setting " + key + "=\"" + setting.substr(key.size() + 1) + "\" is not ";
            EXPECT_EQ(taken ? "0 0" : "1 1", std::to_string(TraceLines::CountAtLevel(
                                                 SS_TRACE_WARNING, warning + (taken ? "" : said.at(key)))) +
                                                 " " + std::to_string(Says("The setting ")));
            // Without jitter the wait after a failure is the schedule's 0.1 s.
            EXPECT_TRUE((taken && key == "retryJitter") || server.ArrivalAt(1).note == 100u);
            // By default heartbeats go plain and ask for no encoding.
            EXPECT_EQ(taken && key == "compressPosts" ? "gzipgzip" : "",
                      server.ArrivalAt(0).encoding + server.ArrivalAt(0).acceptEncoding);
            ASSERT_NO_FATAL_FAILURE(End());
            TraceLines::Forget();
            server.Forget();
        }
    }
}

// ---- the pending store

struct StoreModes : Extensions, ::testing::WithParamInterface<bool> {};

// A heartbeat no server took outlives its session, as the very text that
// would be sent, and the next session sends it first; a stored heartbeat goes
// only once the server acknowledged that one, not another in flight before
// it. A session starting with a store removes the temporary files a writer
// killed between making one and renaming it left, and nothing else.
TEST_P(StoreModes, APendingHeartbeatOutlivesItsSessionAndGoesOnlyOnceAcknowledged) {
    Settings("pendingStore=" + Store() + "\nmergeHeartbeatOnPost=" + (GetParam() ? "1" : "0") + "\n");
    server.Rule([](const Arrival&, size_t) { return 500; });  // every post fails
    ASSERT_EQ(0u, Init());
    ASSERT_TRUE(Posted(Heartbeat("kept"), [&] { return server.Named("kept") >= 2; }));
    ASSERT_EQ(0600u, Mode(Store()));
    const std::string stored = ReadText(Store());
    EXPECT_EQ(server.ArrivalAt(0).body, stored);
    ASSERT_NO_FATAL_FAILURE(End());

    const std::string left = Store() + ".tmpA1b2C3";  // as mkostemp names them
    WriteText(left, "half a heartb");
    // Not names mkostemp gives, another file's, a folder, a link, another user's (when this one may give it away).
    const std::string kept[] = {Store() + ".tmpAB12",   Store() + ".tmpAB12CD.x", dir + "/other.xml.tmpA1b2C3",
                                Store() + ".tmpDIR123", Store() + ".tmpLNK123",   Store() + ".tmpUSR123"};
    for (const std::string& path : {kept[0], kept[1], kept[2], kept[5]}) WriteText(path, "someone else's\n");
    ASSERT_EQ(0, ::mkdir(kept[3].c_str(), 0700));
    ASSERT_EQ(0, ::symlink(kept[0].c_str(), kept[4].c_str()));
    const bool chowned = ::chown(kept[5].c_str(), 65534, 65534) == 0;
    server.Rule(nullptr);
    server.Forget();
    ASSERT_EQ(0u, Init());
    EXPECT_EQ(~0u, Mode(left));
    EXPECT_EQ(
        1u, TraceLines::CountAtLevel(SS_TRACE_PROGRESS, "Removed 1 temporary file(s) of the pending heartbeat store"));
    for (size_t i = 0; i < std::size(kept) - (chowned ? 0 : 1); ++i) EXPECT_NE(~0u, Mode(kept[i])) << kept[i];
    ASSERT_TRUE(WaitFor([&] { return server.Named("kept") == 1; }));
    EXPECT_EQ(stored, server.ArrivalAt(0).body);
    EXPECT_EQ(1u, Says("A heartbeat left pending by an earlier session is queued first."));
    ASSERT_TRUE(WaitFor([&] { return Mode(Store()) == ~0u; }));

    // One heartbeat in flight, a newer one posted: in merge mode the store
    // holds both, as the retry would send them, otherwise the newer one.
    server.Hold();
    SS_HMESSAGE older = Heartbeat(), newer = Heartbeat();
    ASSERT_EQ(0u, AddModuleInfo(older, "older", "1.0", 0, nullptr));
    ASSERT_EQ(0u, AddModuleInfo(newer, "newer", "1.0", 0, nullptr));
    ASSERT_TRUE(Posted(older, [&] { return server.Named("older") == 1; }));
    server.Rule([](const Arrival& a, size_t) { return a.body.find("name='newer'") != a.body.npos ? 500 : 0; });
    ASSERT_EQ(0u, PostHeartbeat(newer, nullptr, nullptr));
    const auto holds = [&](const char* name) { return ReadText(Store()).find(name) != std::string::npos; };
    EXPECT_EQ(std::make_pair(GetParam(), true), std::make_pair(holds("name='older'"), holds("name='newer'")));
    // The older one acknowledged, the newer one refused: the newer one alone.
    server.Release();
    ASSERT_TRUE(WaitFor([&] { return server.Named("newer") >= 1; }));
    EXPECT_EQ(std::make_pair(false, true), std::make_pair(holds("name='older'"), holds("name='newer'")));
    server.Rule(nullptr);
    EXPECT_TRUE(WaitFor([&] { return Mode(Store()) == ~0u; }));
}

INSTANTIATE_TEST_SUITE_P(MergingOrNot, StoreModes, ::testing::Bool());

// A store that cannot be trusted is set aside with a warning. What is at the
// store's path and is not a regular file was not written by the library: it
// is refused with an error line and never moved, replaced or removed. Either
// way the session starts and runs, and nothing that was there is sent.
TEST_F(Extensions, AStoreThatCannotBeTrustedIsSetAsideAndOneThatIsNoFileIsLeftAsItIs) {
    Settings("pendingStore=" + Store() + "\n");
    server.Rule([](const Arrival&, size_t) { return 500; });  // every post fails
    const std::string target = dir + "/agents-own.xml";
    WriteText(target, "the agent's own file\n");
    const auto file = [&](const std::string& content, mode_t mode, const std::string& inside = "") {
        WriteText(Store() + inside, content);
        return ::chmod((Store() + inside).c_str(), mode);
    };
    const std::string moved = "; it was moved to '", left = ", not a regular file";
    // What a warning (a file set aside) or an error (what is left) says, and what is there.
    const std::pair<std::string, std::function<int()>> cases[] = {
        {"' is not a heartbeat" + moved, [&] { return file("garbage <<<", 0600); }},
        {"' is not a heartbeat" + moved, [&] { return file(kAck, 0600); }},
        {"' is not this user's alone" + moved, [&] { return file("<x/>", 0666); }},
        {"' has an impossible size" + moved, [&] { return file("", 0600); }},
        {"' is a folder" + left, [&] { return ::mkdir(Store().c_str(), 0700) + file("kept\n", 0600, "/inside.txt"); }},
        {"' is a FIFO" + left, [&] { return ::mkfifo(Store().c_str(), 0600); }},
        {"' is a symbolic link" + left, [&] { return ::symlink(target.c_str(), Store().c_str()); }},
        {"' is a symbolic link" + left, [&] { return ::symlink((dir + "/none").c_str(), Store().c_str()); }},
        {"' is a device" + left, [&] { return ::mknod(Store().c_str(), S_IFCHR | 0600, makedev(1, 3)); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        if (c.second() != 0) continue;  // a device needs privileges this user may not have
        struct stat before = {}, after = {};
        ASSERT_EQ(0, ::lstat(Store().c_str(), &before));
        const bool regular = S_ISREG(before.st_mode);
        const size_t aside = Files("pending.xml.bad.");
        ASSERT_EQ(0u, Init());
        EXPECT_EQ(1u, regular ? Says(c.first) : TraceLines::CountAtLevel(SS_TRACE_ERROR, c.first));
        // Posts that fail and go back to the slot, each a change of the store.
        const size_t arrived = server.Arrived();
        ASSERT_TRUE(Posted(Heartbeat("unstored"), [&] { return server.Arrived() >= arrived + 2; }));
        ASSERT_NO_FATAL_FAILURE(End());
        EXPECT_EQ(aside + (regular ? 1 : 0), Files("pending.xml.bad."));
        // Not a file of ours: the very same thing is still there.
        EXPECT_TRUE(regular || (::lstat(Store().c_str(), &after) == 0 && after.st_ino == before.st_ino &&
                                after.st_mode == before.st_mode));
        EXPECT_EQ(S_ISDIR(before.st_mode) ? "kept\n" : "", ReadText(Store() + "/inside.txt"));
        std::filesystem::remove_all(Store());
        TraceLines::Forget();
    }
    EXPECT_EQ(server.Arrived(), server.Named("unstored"));
    EXPECT_EQ("the agent's own file\n", ReadText(target));
}

// SIGKILLs at random moments of an agent (the probe) posting heartbeats in
// merge mode while the one in flight hangs. After the restart every heartbeat
// it said was posted arrives, merged. The store is never torn, and the
// temporary files the kills left are gone once the next session started.
TEST_F(Extensions, WhatWasPostedArrivesAfterASigkillAtAnyMoment) {
    const Listener hanging;  // accepts, never answers: a post there stays in flight
    std::mt19937 random(std::random_device{}());
    for (int round = 0; round < 16; ++round) {
        const std::string name = "round" + std::to_string(round);
        SCOPED_TRACE(name);
        Settings("transferTimeout=30000\nmergeHeartbeatOnPost=1\npendingStore=" + Store() + "\n");
        WriteText(commFile, "[server.1]\nurl=http://127.0.0.1:" + std::to_string(hanging.port) + "\n");
        const size_t killAfter = random() % 6 + 1;
        std::string said;
        const std::string arguments = name + " 6 " + std::to_string(killAfter) + " " + std::to_string(random() % 6000);
        EXPECT_EQ(128 + SIGKILL, Probe("post", said, arguments)) << said;
        std::istringstream lines(said);
        const std::vector<std::string> posted{std::istream_iterator<std::string>(lines), {}};
        ASSERT_GE(posted.size(), 2 * killAfter);  // "posted" and the module, each
        // The restart, with a server that answers.
        WriteText(commFile, "[server.1]\nurl=" + server.Url() + "\n");
        ASSERT_EQ(0u, Init());
        WaitFor([&] { return server.Named(posted.back()) > 0; });
        for (size_t i = 1; i < posted.size(); i += 2) EXPECT_LT(0u, server.Named(posted[i])) << posted[i];
        EXPECT_EQ(0u, Says("it was moved to"));  // never a torn or foreign store
        EXPECT_EQ(0u, Files("pending.xml.tmp"));
        ASSERT_NO_FATAL_FAILURE(End());
        TraceLines::Forget();
        server.Forget();
    }
}

// ---- group settings on probation

// Settings that reach no server are rolled back once their probation (five
// seconds on the clock seam) is over; the heartbeat that waited (posted with
// their token) goes with the restored token, and the same settings offered
// again are refused, even when the agent itself asks with their token.
TEST_F(Extensions, SettingsThatReachNoServerAreRolledBackAfterTheirProbationAndNotTakenAgain) {
    const std::string good = ReadText(commFile);
    ASSERT_NO_FATAL_FAILURE(TakeDeadSettings());
    SS_RegisterErrorCallback(&OnError);
    EXPECT_EQ(dead, ReadText(commFile));
    // Cut off: every post goes to the dead server and fails.
    // Past the probation: at the next retry the good settings are back and the heartbeat arrives.
    ASSERT_NO_FATAL_FAILURE(Strand("stranded", 5, true));
    EXPECT_THAT(server.Carrying("stranded"), ElementsAre(AllOf(HasSubstr("token='0'"), Not(HasSubstr("tok-dead")))));
    EXPECT_EQ(good, ReadText(commFile));
    EXPECT_EQ("0", session->GetGroupSettingsToken());
    EXPECT_EQ(1u, Says("No post succeeded for 5 seconds with the new group settings: the last known good "
                       "settings are restored."));
    EXPECT_EQ("0xc7560014 kind 3", g_errors.Take().back());

    SS_HMESSAGE again = Heartbeat("again");
    ASSERT_EQ(0u, AddGetPolicyRequest(again, "tok-dead", nullptr, kGroupSettingsNs.c_str(), "1.0.0", nullptr, nullptr));
    ASSERT_NO_FATAL_FAILURE(ExpectRefusedAgain(again, good));
    EXPECT_THAT(server.Carrying("again"), Each(Not(HasSubstr("tok-dead"))));
    EXPECT_EQ("0", session->GetGroupSettingsToken());
}

// An agent restarted while its settings are on probation resumes it from the
// file kept next to the comm settings, from the start: the restart does not
// leave it cut off, and the rolled-back token is still refused.
TEST_F(Extensions, AProbationOutlivesARestartOfTheAgent) {
    const std::string good = ReadText(commFile), kept = commFile + ".lastgood";
    ASSERT_NO_FATAL_FAILURE(TakeDeadSettings());
    // The token is taken just before the probation is written down.
    ASSERT_TRUE(WaitFor([&] { return Mode(kept) == 0600u; }));
    EXPECT_THAT(ReadText(kept), HasSubstr(good));
    ASSERT_NO_FATAL_FAILURE(Strand("cut off", 5));
    ASSERT_NO_FATAL_FAILURE(End());
    ASSERT_EQ(dead, ReadText(commFile));
    ASSERT_EQ(0u, Init());
    EXPECT_EQ(1u, Says("Group settings were on probation when the last session ended: their probation starts again."));
    ASSERT_NO_FATAL_FAILURE(Strand("stranded", 5, true));
    EXPECT_EQ(good, ReadText(commFile));
    ASSERT_TRUE(WaitFor([&] { return Mode(kept) == ~0u; }));
    // The server, hearing token 0, offers the same settings: refused.
    ASSERT_NO_FATAL_FAILURE(ExpectRefusedAgain(Heartbeat("again"), good));
}

// The last known good settings cannot be written back (their file became a
// folder): the session says so, keeps the settings it has and reports no
// rollback.
TEST_F(Extensions, ARestoreThatCannotBeWrittenIsSaidAndNothingIsRolledBack) {
    ASSERT_NO_FATAL_FAILURE(TakeDeadSettings());
    SS_RegisterErrorCallback(&OnError);
    ASSERT_EQ(0, ::unlink(commFile.c_str()));
    ASSERT_EQ(0, ::mkdir(commFile.c_str(), 0700));
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("stranded"), nullptr, nullptr));
    g_now += 6;
    EXPECT_TRUE(WaitFor([&] { return Says("Unable to restore the last known good group settings. OSSTAT: ") >= 1; }));
    EXPECT_EQ("tok-dead", session->GetGroupSettingsToken());
    EXPECT_EQ(0u, Says("the last known good settings are restored."));
    EXPECT_THAT(g_errors.Take(), Each(Not(HasSubstr("kind 3"))));
}

TEST_F(Extensions, SettingsConfirmedByAPostLeaveNoProbationFileAndAForgedOneIsSetAside) {
    Settings("settingsProbation=5\n");
    const std::string kept = commFile + ".lastgood";
    WriteText(kept, "not a probation record");
    ASSERT_EQ(0, ::chmod(kept.c_str(), 0600));
    ASSERT_EQ(0u, Init());
    EXPECT_EQ(1u, Says("' is not a probation record; it was moved to '"));
    const auto newer = "[group]\nschemaVersion=1.0.0\ngroupnameHint=Newer\n[server.1]\nurl=" + server.Url() + "\n";
    server.Then(GroupSettingsAnswer("tok-newer", newer));
    ASSERT_TRUE(Posted(Heartbeat("first"), [&] { return ReadText(commFile) == newer; }));
    ASSERT_TRUE(Posted(Heartbeat("confirming"),
                       [] { return Says("A post succeeded: the new group settings are kept.") == 1; }));
    ASSERT_TRUE(WaitFor([&] { return Mode(kept) == ~0u; }));
    // Kept for good: a probation's length later they are still in force.
    g_now += 60;
    ASSERT_TRUE(Posted("later"));
    EXPECT_EQ(newer, ReadText(commFile));
}

TEST_F(Extensions, WithoutProbationSettingsThatReachNoServerStay) {
    ASSERT_NO_FATAL_FAILURE(TakeDeadSettings(false));
    ASSERT_NO_FATAL_FAILURE(Strand("stranded", 3600));
    EXPECT_EQ(dead, ReadText(commFile));
}
