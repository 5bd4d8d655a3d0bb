// What the settings add to the schedule and the wire when asked for, against
// a real server on 127.0.0.1: the server's Retry-After, compressed heartbeats
// and the fall-back for a server that cannot read them, the statistics, the
// pending heartbeat store (across a session and across an agent killed with
// SIGKILL) and group settings on probation. With every setting at its
// default nothing of this shows: no header, no file, no rollback.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <random>
#include <sys/sysmacros.h>
#include <mutex>
#include <string>
#include <vector>

#include "HeartbeatServer.h"
#include "Listener.h"
#include "tools/ovxClock.h"

using namespace ovxTest;

namespace {

const std::string kAcknowledgement =
    Answer("", Doc("agent-startup-acknowledgement", kAgentNs, "hb-req", "", " code='0'"));

std::atomic<int64_t> g_now{1000000};
int64_t FakeNow() { return g_now.load(); }

Recorder g_errors;
uint32_t OnError(uint32_t status, uint32_t kind) {
    char text[64];
    std::snprintf(text, sizeof text, "0x%08x kind %u", status, kind);
    g_errors.Add(text);
    return 0;
}

// The statistics of this header's size into `statistics`; their status.
uint32_t Statistics(SS_Statistics& statistics) {
    statistics = SS_Statistics{};
    statistics.structSize = sizeof statistics;
    return SS_GetStatistics(&statistics);
}

// The wait SS_GetStatistics reports, 0xFFFFFFFF with no session.
uint32_t ReportedWait() {
    SS_Statistics statistics;
    return Statistics(statistics) == 0 ? statistics.retryDelayMs : svcRetryState::kInfinite;
}

class Extensions : public ServedSession {
protected:
    void SetUp() override {
        server.Default(kAcknowledgement);
        // While a post is on the wire the statistics tell the wait that
        // came before it.
        server.Note(&ReportedWait);
        server.Rule([this](const Arrival& arrival, size_t) {
            if (refuseGzip.load() && !arrival.encoding.empty()) return 415;
            return failing.load() ? 500 : 0;
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

    // Group settings whose one server nothing answers on, taken from the
    // answer to a first heartbeat; `session` is then the running one.
    void TakeDeadSettings() {
        ASSERT_NO_FATAL_FAILURE(Start());
        server.Then(GroupSettingsAnswer("tok-dead", dead));
        ASSERT_EQ(0u, PostHeartbeat(Heartbeat("first"), nullptr, nullptr));
        ASSERT_TRUE(WaitFor([&] { return session->GetGroupSettingsToken() == "tok-dead"; }));
    }
    std::atomic<bool> refuseGzip{false};
    std::atomic<bool> failing{false};
    ovxToolsLib::ovxTimeSource m_previousClock = nullptr;
    const std::string dead =
        "[group]\nschemaVersion=1.0.0\n[server.1]\nurl=http://127.0.0.1:" + std::to_string(TestServer::FreePort()) +
        "\n";
};

}  // namespace

// ---- Retry-After

// The server's wait is capped at the ceiling: here ten seconds.
class PatientExtensions : public Extensions {
protected:
    std::string Ceiling() override { return "10000"; }
};

TEST_F(PatientExtensions, A429WithRetryAfterIsRetriedNoSoonerThanTheServerAsked) {
    ASSERT_EQ(0u, Init());
    server.Status(429, "1");
    ASSERT_TRUE(Posted("patient", 2));
    const auto waited = server.ArrivalAt(1).at - server.ArrivalAt(0).at;
    // The schedule alone would have waited 0.1 s.
    EXPECT_GE(waited, std::chrono::milliseconds(990));
    EXPECT_LT(waited, std::chrono::milliseconds(3000));
    EXPECT_EQ(1u, TraceLines::Count("Next retry in 1 seconds to server index #0"));
    // The statistics told the wait the server asked for, not the schedule's.
    EXPECT_EQ(1000u, server.ArrivalAt(1).note);
}

// With jitter each wait is drawn: the statistics tell the one drawn, the
// one the server sees between two attempts.
class JitteredExtensions : public Extensions {
protected:
    std::string Flags() override { return "retryJitter=50\n"; }
    std::string Ceiling() override { return "400"; }
};

TEST_F(JitteredExtensions, TheStatisticsTellTheWaitDrawnAndTheServerSeesIt) {
    failing = true;
    ASSERT_EQ(0u, Init());
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("jittered"), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return server.Named("jittered") >= 6; }));
    bool drawn = false;  // a wait other than the schedule's plain steps
    long long waited = 0, reported = 0;
    for (size_t i = 1; i < 6; ++i) {
        SCOPED_TRACE(i);
        const Arrival arrival = server.ArrivalAt(i);
        const auto gap =
            std::chrono::duration_cast<std::chrono::milliseconds>(arrival.at - server.ArrivalAt(i - 1).at).count();
        std::printf("attempt %zu: %lld ms after the last, statistics said %u ms\n", i, static_cast<long long>(gap),
                    arrival.note);
        EXPECT_LE(arrival.note, 400u);
        // Never less than said; more only by what a loaded machine adds.
        EXPECT_GE(gap + 5, static_cast<long long>(arrival.note));
        waited += gap;
        reported += arrival.note;
        drawn = drawn || (arrival.note != 0 && arrival.note != 100 && arrival.note != 200 && arrival.note != 400);
    }
    EXPECT_LT(waited, reported + 1000);
    EXPECT_TRUE(drawn);
}

// ---- compression

class CompressedExtensions : public Extensions {
protected:
    std::string Flags() override { return "compressPosts=1\n"; }
};

TEST_F(CompressedExtensions, HeartbeatsGoCompressedAndAServerThatRefusesThemGetsThemPlainFromThenOn) {
    ASSERT_EQ(0u, Init());
    ASSERT_TRUE(Posted("squeezed"));
    EXPECT_EQ("gzip", server.ArrivalAt(0).encoding);
    EXPECT_EQ("gzip", server.ArrivalAt(0).acceptEncoding);
    // The server's zlib gave back the heartbeat whole.
    EXPECT_NE(std::string::npos, server.ArrivalAt(0).body.find("</ovx>"));

    // A server that cannot read them: 415, then the same heartbeat plain, at once.
    refuseGzip = true;
    ASSERT_TRUE(Posted("refused", 2));
    EXPECT_EQ("gzip", server.ArrivalAt(1).encoding);
    EXPECT_EQ("", server.ArrivalAt(2).encoding);
    EXPECT_EQ(server.ArrivalAt(1).body, server.ArrivalAt(2).body);
    EXPECT_EQ(
        1u, TraceLines::Count("Server index #0 refused a compressed heartbeat (HTTP 415); sending it uncompressed from "
                              "now on."));
    EXPECT_TRUE(g_errors.Take().empty());  // a heartbeat that arrived is no failure
    // From then on, plain only.
    ASSERT_TRUE(Posted("after"));
    EXPECT_EQ(4u, server.Arrived());
    EXPECT_EQ("", server.ArrivalAt(3).encoding);
}

// ---- statistics

TEST_F(Extensions, StatisticsCountEveryPostByKindAndOutcomeAndFitTheCallersStructure) {
    SS_Statistics statistics;
    EXPECT_EQ(OVX_E_NOT_INITIALIZED, Statistics(statistics));
    ASSERT_EQ(0u, Init());
    SS_RegisterErrorCallback(&OnError);
    server.Status(500);
    server.Status(503);
    ASSERT_TRUE(Posted("counted", 3));
    ASSERT_EQ(0u, PostPing(nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return server.Arrived() == 4; }));
    // The last post's statistics are recorded right after it returns; the
    // retry delay is "none" once the dispatch thread has found nothing left
    // to send (until then it says "at once").
    ASSERT_TRUE(WaitFor([&] {
        return Statistics(statistics) == 0 && statistics.ping.success == 1 &&
               statistics.retryDelayMs == svcRetryState::kInfinite;
    }));
    EXPECT_EQ(sizeof statistics, statistics.structSize);
    EXPECT_EQ(1u, statistics.heartbeat.success);
    EXPECT_EQ(1u, statistics.heartbeat.httpError);
    EXPECT_EQ(1u, statistics.heartbeat.busy);
    EXPECT_EQ(0u, statistics.heartbeat.refused + statistics.heartbeat.tls + statistics.heartbeat.timeout +
                      statistics.heartbeat.other);
    EXPECT_EQ(0u, statistics.alive.success + statistics.exchange.success);
    uint64_t bodies = 0;
    for (size_t i = 0; i < 4; ++i) bodies += server.ArrivalAt(i).body.size();
    EXPECT_GT(statistics.bytesSent, bodies);  // bodies and headers
    EXPECT_GT(statistics.bytesReceived, 2 * kAcknowledgement.size());
    EXPECT_EQ(1000000, statistics.lastSuccessTime);  // the clock seam's time
    EXPECT_EQ(OVX_E_SCS_SERVER_BUSY, statistics.lastFailureStatus);
    EXPECT_EQ(0, statistics.serverIndex);

    // A structure of an older, shorter header: whole fields that fit, nothing past them.
    unsigned char bytes[sizeof(SS_Statistics) + 16];
    std::memset(bytes, 0xAB, sizeof bytes);
    auto* shorter = reinterpret_cast<SS_Statistics*>(bytes);
    shorter->structSize = offsetof(SS_Statistics, alive) + 4;  // ends inside `alive`
    ASSERT_EQ(0u, SS_GetStatistics(shorter));
    EXPECT_EQ(1u, shorter->heartbeat.success);
    EXPECT_EQ(1u, shorter->ping.success);
    EXPECT_EQ(0xAB, bytes[offsetof(SS_Statistics, alive)]);
    // A newer, longer one: zeros after this header's fields.
    std::memset(bytes, 0xAB, sizeof bytes);
    shorter->structSize = sizeof bytes;
    ASSERT_EQ(0u, SS_GetStatistics(shorter));
    EXPECT_EQ(sizeof bytes, shorter->structSize);
    for (size_t i = sizeof(SS_Statistics); i < sizeof bytes; ++i) EXPECT_EQ(0, bytes[i]);
    // Too short to hold even the heartbeat counts, or none at all.
    shorter->structSize = offsetof(SS_Statistics, heartbeat);
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, SS_GetStatistics(shorter));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, SS_GetStatistics(nullptr));

    // A new session starts from nothing; a server gone: refused
    // connections, and a retry scheduled.
    ASSERT_NO_FATAL_FAILURE(End());
    WriteText(commFile, "[server.1]\nurl=http://127.0.0.1:" + std::to_string(TestServer::FreePort()) + "\n");
    ASSERT_EQ(0u, Init());
    ASSERT_EQ(0u, Statistics(statistics));
    EXPECT_EQ(0u, statistics.heartbeat.success + statistics.ping.success + statistics.heartbeat.httpError);
    EXPECT_EQ(0u, statistics.bytesSent);
    EXPECT_EQ(0, statistics.lastSuccessTime);
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("unheard"), nullptr, nullptr));
    // The failure is counted when the post returns, the wait drawn when
    // the dispatch thread has weighed it: until then it reads "none" or
    // "at once".
    ASSERT_TRUE(WaitFor([&] {
        return Statistics(statistics) == 0 && statistics.heartbeat.refused >= 1 &&
               statistics.retryDelayMs != svcRetryState::kInfinite && statistics.retryDelayMs != 0;
    }));
    EXPECT_EQ(OVX_E_SCS_CONNECTION_REFUSED, statistics.lastFailureStatus);
    EXPECT_EQ(100u, statistics.retryDelayMs);
}

// ---- settings of ours, read strictly

TEST_F(Extensions, OurSettingsTakeDigitsInTheirRangeAndAnythingElseGivesTheDefaultWithAWarning) {
    struct Case {
        const char* key;
        const char* value;
        const char* said;         // what the warning says after the value, "" for none
        bool exactWait = true;    // no jitter: the wait after a failure is the schedule's 100 ms
        bool compressed = false;  // heartbeats go gzip'ed
        const char* section = "sensor_services";
    };
    const char* kJitter = "a whole number from 0 to 100: 0 is used instead.";
    const char* kProbation = "a whole number from 0 to 2592000: 0 is used instead.";
    const char* kUnit = "a whole number from 1 to 60: 60 is used instead.";
    const char* kFlag = "a flag (0 for off, another number in digits for on): 0 (off) is used instead.";
    const char* kSize = "a whole number from 1 to 4294967295: 16777216 is used instead.";
    const Case cases[] = {
        {"retryJitter", "-5", kJitter},
        {"retryJitter", "101", kJitter},
        {"retryJitter", "50abc", kJitter},
        {"retryJitter", "1e3", kJitter},
        {"retryJitter", "", kJitter},
        {"settingsProbation", "2592001", kProbation},
        {"settingsProbation", "-1", kProbation},
        {"aliveUnitSeconds", "0", kUnit},
        {"aliveUnitSeconds", "61", kUnit},
        {"compressPosts", "-1", kFlag},
        {"compressPosts", "yes", kFlag},
        {"compressPosts", "true", kFlag},
        {"maxResponseSize", "-1", kSize, true, false, "scs"},
        {"maxResponseSize", "0", kSize, true, false, "scs"},
        {"maxResponseSize", "4294967296", kSize, true, false, "scs"},
        // In range: taken, nothing said.
        {"retryJitter", "100", "", false},
        {"settingsProbation", "2592000", ""},
        {"aliveUnitSeconds", "1", ""},
        {"compressPosts", "2", "", true, true},
        {"maxResponseSize", "4294967295", "", true, false, "scs"},
        // The keys every agent knows keep their own rules.
        {"retryInterval", "100abc", ""},
        {"dumpEnabled", "no", ""},
        {"retryServerLoop", "no", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + "=" + c.value);
        const std::string line = std::string(c.key) + "=" + c.value + "\n";
        WriteText(localFile, "[scs]\n" + std::string(c.section == std::string("scs") ? line : "") +
                                 "[sensor_services]\nretryInterval=100\nretryCeiling=100\n" +
                                 (c.section == std::string("scs") ? "" : line));
        server.Status(500);
        ASSERT_EQ(0u, Init());
        ASSERT_TRUE(Posted("strict", 2));
        if (*c.said != '\0') {
            const std::string said = "The setting " + std::string(c.key) + "=\"" + c.value + "\" is not " + c.said;
            EXPECT_EQ(1u, TraceLines::CountAtLevel(SS_TRACE_WARNING, said));
        }
        EXPECT_EQ(*c.said != '\0' ? 1u : 0u, TraceLines::Count("The setting "));
        if (c.exactWait) {
            EXPECT_EQ(100u, server.ArrivalAt(1).note);
        }
        // By default heartbeats go plain and ask for no encoding.
        EXPECT_EQ(c.compressed ? "gzip" : "", server.ArrivalAt(0).encoding);
        EXPECT_EQ(c.compressed ? "gzip" : "", server.ArrivalAt(0).acceptEncoding);
        ASSERT_NO_FATAL_FAILURE(End());
        TraceLines::Forget();
        server.Forget();
    }
}

// ---- the pending store

class StoredExtensions : public Extensions {
protected:
    std::string Flags() override { return "pendingStore=" + Store() + "\n"; }
    std::string Store() const { return dir + "/pending.xml"; }
    static bool Exists(const std::string& path) { return Mode(path) != ~0u; }
    // Files of the folder whose names begin with `prefix`.
    size_t Files(const std::string& prefix) const {
        size_t n = 0;
        if (DIR* folder = ::opendir(dir.c_str())) {
            while (dirent* entry = ::readdir(folder)) n += std::string(entry->d_name).rfind(prefix, 0) == 0;
            ::closedir(folder);
        }
        return n;
    }
    size_t SetAside() const { return Files("pending.xml.bad."); }
};

TEST_F(StoredExtensions, APendingHeartbeatOutlivesItsSessionAndIsSentFirstByTheNext) {
    failing = true;
    ASSERT_EQ(0u, Init());
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("kept"), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return server.Named("kept") >= 2; }));
    ASSERT_EQ(0600u, Mode(Store()));
    const std::string stored = ReadText(Store());
    EXPECT_EQ(server.ArrivalAt(0).body, stored);  // exactly the text that would be sent
    ASSERT_NO_FATAL_FAILURE(End());
    ASSERT_TRUE(Exists(Store()));

    failing = false;
    server.Forget();
    ASSERT_EQ(0u, Init());
    ASSERT_TRUE(WaitFor([&] { return server.Named("kept") == 1; }));
    EXPECT_EQ(stored, server.ArrivalAt(0).body);
    // Sent: the store is gone; the next heartbeat goes on its own.
    ASSERT_TRUE(WaitFor([&] { return !Exists(Store()); }));
    ASSERT_TRUE(Posted("next"));
    EXPECT_EQ(1u, server.Named("kept"));
    EXPECT_EQ(1u, TraceLines::Count("A heartbeat left pending by an earlier session is queued first."));
}

TEST_F(StoredExtensions, AStoreThatCannotBeTrustedIsSetAsideWithAWarningAndTheSessionStarts) {
    struct Case {
        const char* name;
        std::string content;
        mode_t mode;
        const char* why;
    };
    const Case cases[] = {
        {"not XML", "garbage <<<", 0600, "is not a heartbeat"},
        {"XML, not a heartbeat", kAcknowledgement, 0600, "is not a heartbeat"},
        {"writable by others", "<x/>", 0666, "is not this user's alone"},
        {"empty", "", 0600, "has an impossible size"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteText(Store(), c.content);
        ASSERT_EQ(0, ::chmod(Store().c_str(), c.mode));
        const size_t before = SetAside();
        ASSERT_EQ(0u, Init());
        EXPECT_FALSE(Exists(Store()));
        EXPECT_EQ(before + 1, SetAside());
        EXPECT_EQ(1u, TraceLines::Count(std::string("' ") + c.why + "; it was moved to '"));
        ASSERT_NO_FATAL_FAILURE(End());
        TraceLines::Forget();
    }
    EXPECT_EQ(0u, server.Arrived());  // nothing of it was sent
}

// What is at the store's path and is not a regular file was not written by
// the library: it is refused with an error line and never moved, replaced
// or removed, and the session runs without a store.
TEST_F(StoredExtensions, AStorePathThatIsNotARegularFileIsRefusedAndLeftAsItIs) {
    failing = true;
    const std::string target = dir + "/agents-own.xml";
    WriteText(target, "the agent's own file\n");
    struct Case {
        const char* name;
        const char* kind;
        std::function<int()> make;
    };
    const Case cases[] = {
        {"folder", "a folder",
         [&] {
             const int made = ::mkdir(Store().c_str(), 0700);
             WriteText(Store() + "/inside.txt", "kept\n");
             return made;
         }},
        {"FIFO", "a FIFO", [&] { return ::mkfifo(Store().c_str(), 0600); }},
        {"symlink to a file", "a symbolic link", [&] { return ::symlink(target.c_str(), Store().c_str()); }},
        {"dangling symlink", "a symbolic link", [&] { return ::symlink((dir + "/nowhere").c_str(), Store().c_str()); }},
        {"device", "a device", [&] { return ::mknod(Store().c_str(), S_IFCHR | 0600, makedev(1, 3)); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.make() != 0) {
            std::printf("%s: cannot be made here (%s), skipped\n", c.name, std::strerror(errno));
            continue;
        }
        struct stat before {};
        ASSERT_EQ(0, ::lstat(Store().c_str(), &before));
        ASSERT_EQ(0u, Init());
        EXPECT_EQ(1u, TraceLines::CountAtLevel(SS_TRACE_ERROR, "' is " + std::string(c.kind) + ", not a regular file"));
        // Posts that fail and go back to the slot, each a change of the store.
        const size_t arrived = server.Arrived();
        ASSERT_EQ(0u, PostHeartbeat(Heartbeat("unstored"), nullptr, nullptr));
        ASSERT_TRUE(WaitFor([&] { return server.Arrived() >= arrived + 2; }));
        ASSERT_NO_FATAL_FAILURE(End());
        struct stat after {};
        ASSERT_EQ(0, ::lstat(Store().c_str(), &after));
        EXPECT_EQ(before.st_ino, after.st_ino);
        EXPECT_EQ(before.st_mode, after.st_mode);
        EXPECT_EQ(0u, SetAside());
        EXPECT_EQ(1u, TraceLines::CountAtLevel(SS_TRACE_ERROR, "not a regular file"));
        if (S_ISDIR(after.st_mode)) {
            EXPECT_EQ("kept\n", ReadText(Store() + "/inside.txt"));
            ::unlink((Store() + "/inside.txt").c_str());
            ::rmdir(Store().c_str());
        } else {
            ::unlink(Store().c_str());
        }
        EXPECT_EQ("the agent's own file\n", ReadText(target));
        TraceLines::Forget();
    }
}

// A writer killed between making its temporary file and renaming it leaves
// the file behind: the next session removes those of its store, regular
// files of this user with the temporary files' names, and nothing else.
TEST_F(StoredExtensions, TemporaryFilesLeftByAKilledWriterAreRemovedAtStartAndNothingElse) {
    const std::string left = Store() + ".tmpA1b2C3";  // as mkostemp names them
    WriteText(left, "half a heartb");
    const std::vector<std::string> kept = {
        Store() + ".tmpAB12",          // not a name mkostemp gives
        Store() + ".tmpAB12CD.x",      // nor this
        dir + "/other.xml.tmpA1b2C3",  // another file's
        Store() + ".tmpUSR123",        // another user's
    };
    for (const std::string& path : kept) WriteText(path, "someone else's\n");
    const bool chowned = ::chown(kept.back().c_str(), 65534, 65534) == 0;
    ASSERT_EQ(0, ::mkdir((Store() + ".tmpDIR123").c_str(), 0700));
    ASSERT_EQ(0, ::symlink(kept.front().c_str(), (Store() + ".tmpLNK123").c_str()));
    ASSERT_EQ(0u, Init());
    EXPECT_FALSE(Exists(left));
    EXPECT_EQ(
        1u, TraceLines::CountAtLevel(SS_TRACE_PROGRESS, "Removed 1 temporary file(s) of the pending heartbeat store"));
    for (size_t i = 0; i < kept.size(); ++i) {
        SCOPED_TRACE(kept[i]);
        if (i + 1 == kept.size() && !chowned) continue;  // not root: no other user's file to make
        EXPECT_EQ("someone else's\n", ReadText(kept[i]));
    }
    struct stat about {};
    EXPECT_EQ(0, ::lstat((Store() + ".tmpDIR123").c_str(), &about));
    EXPECT_TRUE(S_ISDIR(about.st_mode));
    EXPECT_EQ(0, ::lstat((Store() + ".tmpLNK123").c_str(), &about));
    EXPECT_TRUE(S_ISLNK(about.st_mode));
}

// SIGKILLs at random moments of an agent posting heartbeats while the one
// in flight hangs. After the restart what was taken arrives: in merge mode
// every heartbeat posted (merged), in replace mode the last one posted,
// which replaced the others by the rule. The store is never torn, and the
// temporary files the kills left are gone once the next session started.
class KilledPostingAgent : public StoredExtensions {
protected:
    size_t Temporaries() const { return Files("pending.xml.tmp"); }
    // Starts the probe posting `count` heartbeats named `name`, kills it
    // after it said `killAfter` posts and `delayUs` more, and returns the
    // modules of every post it said returned.
    std::vector<std::string> PostAndKill(const std::string& name, int count, int killAfter, int delayUs) {
        std::vector<std::string> posted;
        int output[2];
        if (::pipe(output) != 0) return posted;
        const pid_t child = ::fork();
        if (child == 0) {
            ::dup2(output[1], STDOUT_FILENO);
            ::close(output[0]);
            ::execl(OVX_PENDING_PROBE, OVX_PENDING_PROBE, OVX_TEST_LIBRARY_DIR, localFile.c_str(), commFile.c_str(),
                    name.c_str(), std::to_string(count).c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(output[1]);
        FILE* said = ::fdopen(output[0], "r");
        char line[128];
        bool killed = false;
        while (said != nullptr && std::fgets(line, sizeof line, said) != nullptr) {
            std::string text(line);
            if (text.rfind("posted ", 0) == 0) posted.push_back(text.substr(7, text.size() - 8));
            if (!killed && static_cast<int>(posted.size()) >= killAfter) {
                ::usleep(static_cast<useconds_t>(delayUs));
                ::kill(child, SIGKILL);
                killed = true;
            }
        }
        if (!killed) ::kill(child, SIGKILL);
        if (said != nullptr) std::fclose(said);
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status)) << "the probe ended by itself: " << status;
        return posted;
    }
    bool Arrived(const std::string& module) { return server.Named(module) > 0; }
};

TEST_F(KilledPostingAgent, WhatWasPostedArrivesAfterASigkillAtAnyMomentInBothMergeModes) {
    // Nothing answers: a heartbeat sent there stays in flight until the transfer times out.
    const Listener hanging;
    ASSERT_NE(0, hanging.port);
    std::mt19937 random(std::random_device{}());
    const int kRounds = 12, kPosts = 6;
    for (const char* merge : {"1", "0"}) {
        size_t lost = 0, temporaries = 0;
        for (int round = 0; round < kRounds; ++round) {
            const std::string name = std::string("m") + merge + "r" + std::to_string(round);
            SCOPED_TRACE(name);
            WriteText(localFile,
                      "[sensor_services]\nretryInterval=100\nretryCeiling=100\ntransferTimeout=30000\n"
                      "mergeHeartbeatOnPost=" +
                          std::string(merge) + "\npendingStore=" + Store() + "\n");
            WriteText(commFile, "[server.1]\nurl=http://127.0.0.1:" + std::to_string(hanging.port) + "\n");
            const int killAfter = static_cast<int>(random() % kPosts) + 1;
            const std::vector<std::string> posted =
                PostAndKill(name, kPosts, killAfter, static_cast<int>(random() % 6000));
            ASSERT_GE(posted.size(), static_cast<size_t>(killAfter));
            temporaries += Temporaries();

            // The restart, with a server that answers.
            WriteText(commFile, "[server.1]\nurl=" + server.Url() + "\n");
            ASSERT_EQ(0u, Init());
            // A post the kill cut short after it was taken may be in the
            // store too: in replace mode it replaced the last one said.
            auto arrivedFrom = [&](size_t first) {
                for (size_t i = first; i <= static_cast<size_t>(kPosts); ++i) {
                    if (Arrived(name + "-" + std::to_string(i))) return true;
                }
                return false;
            };
            bool owed = true;
            if (std::string(merge) == "1") {
                WaitFor([&] { return Arrived(posted.back()); });
                for (const std::string& module : posted) {
                    EXPECT_TRUE(Arrived(module)) << module;
                    owed = owed && Arrived(module);
                }
            } else {
                owed = WaitFor([&] { return arrivedFrom(posted.size()); });
                EXPECT_TRUE(owed) << posted.back() << " or a later one";
            }
            lost += owed ? 0 : 1;
            EXPECT_EQ(0u, TraceLines::Count("it was moved to"));  // never a torn or foreign store
            EXPECT_EQ(0u, Temporaries());
            ASSERT_NO_FATAL_FAILURE(End());
            TraceLines::Forget();
            server.Forget();
        }
        std::printf(
            "mergeHeartbeatOnPost=%s: %d kills, %zu temporary files left by them and removed, %zu restarts "
            "that lost what was posted\n",
            merge, kRounds, temporaries, lost);
    }
}

// ---- group settings on probation

class ProbationExtensions : public Extensions {
protected:
    std::string Flags() override { return "settingsProbation=5\n"; }
};

TEST_F(ProbationExtensions, SettingsThatReachNoServerAreRolledBackAfterTheirProbationAndNotTakenAgain) {
    const std::string good = ReadText(commFile);
    ASSERT_NO_FATAL_FAILURE(TakeDeadSettings());
    SS_RegisterErrorCallback(&OnError);
    EXPECT_EQ(dead, ReadText(commFile));

    // Cut off: every post goes to the dead server and fails.
    const auto appliedAt = Clock::now();
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("stranded"), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return TraceLines::Count("Next retry in 0 seconds to server index #0") >= 3; }));
    EXPECT_EQ(0u, server.Named("stranded"));
    // Five seconds on: still on probation.
    g_now += 5;
    ASSERT_TRUE(WaitFor([&] { return TraceLines::Count("Next retry in 0 seconds to server index #0") >= 6; }));
    EXPECT_EQ(0u, server.Named("stranded"));
    // Past the probation: at the next retry the good settings are back and the heartbeat arrives.
    g_now += 1;
    ASSERT_TRUE(WaitFor([&] { return server.Named("stranded") == 1; }));
    // It was posted with the settings on probation; it goes with the restored token.
    const std::string stranded = server.FirstNamed("stranded");
    EXPECT_NE(std::string::npos, stranded.find("token='0'")) << stranded;
    EXPECT_EQ(std::string::npos, stranded.find("tok-dead"));
    std::printf("rolled back and delivered %lld ms after the cut-off (probation on the clock seam)\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - appliedAt).count()));
    EXPECT_EQ(good, ReadText(commFile));
    EXPECT_EQ("0", session->GetGroupSettingsToken());
    EXPECT_EQ(1u, TraceLines::Count(
                      "No post succeeded for 5 seconds with the new group settings: the last known good settings "
                      "are restored."));
    std::vector<std::string> errors = g_errors.Take();
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ("0xc7560014 kind 3", errors.back());

    // The server offers the same settings again: refused, the file stays.
    server.Then(GroupSettingsAnswer("tok-dead", dead));
    // Even a request the agent makes itself with the rolled-back token
    // goes with the restored one.
    SS_HMESSAGE again = Heartbeat("again");
    ASSERT_EQ(0u, AddGetPolicyRequest(again, "tok-dead", nullptr,
                                      "https://schemas.example.org/xml/cml/CommonDocuments/GroupSettings", "1.0.0",
                                      nullptr, nullptr));
    ASSERT_EQ(0u, PostHeartbeat(again, nullptr, nullptr));
    ASSERT_TRUE(
        WaitFor([&] { return TraceLines::Count("these settings were rolled back after their probation") == 1; }));
    EXPECT_EQ(std::string::npos, server.FirstNamed("again").find("tok-dead"));
    EXPECT_EQ(good, ReadText(commFile));
    EXPECT_EQ("0", session->GetGroupSettingsToken());
}

// The last known good settings cannot be written back (their file became a
// folder): the session says so, keeps the settings it has and reports no
// rollback.
TEST_F(ProbationExtensions, ARestoreThatCannotBeWrittenIsSaidAndNothingIsRolledBack) {
    ASSERT_NO_FATAL_FAILURE(TakeDeadSettings());
    SS_RegisterErrorCallback(&OnError);
    ASSERT_EQ(0, ::unlink(commFile.c_str()));
    ASSERT_EQ(0, ::mkdir(commFile.c_str(), 0700));
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("stranded"), nullptr, nullptr));
    g_now += 6;
    EXPECT_TRUE(WaitFor(
        [&] { return TraceLines::Count("Unable to restore the last known good group settings. OSSTAT: ") >= 1; }));
    EXPECT_EQ("tok-dead", session->GetGroupSettingsToken());
    EXPECT_EQ(0u, TraceLines::Count("the last known good settings are restored."));
    for (const std::string& error : g_errors.Take()) EXPECT_EQ(std::string::npos, error.find("kind 3")) << error;
}

// An agent restarted while its settings are on probation resumes it from
// the file kept next to the comm settings: the restart does not leave it
// cut off, and the rolled-back token is still refused.
TEST_F(ProbationExtensions, AProbationOutlivesARestartOfTheAgent) {
    const std::string good = ReadText(commFile);
    const std::string kept = commFile + ".lastgood";
    ASSERT_NO_FATAL_FAILURE(TakeDeadSettings());
    // The token is taken just before the probation is written down.
    ASSERT_TRUE(WaitFor([&] { return Mode(kept) != ~0u; }));
    EXPECT_EQ(0600u, Mode(kept));
    EXPECT_NE(std::string::npos, ReadText(kept).find(good));

    // The agent stops and starts again, its comm settings the dead ones.
    ASSERT_NO_FATAL_FAILURE(End());
    ASSERT_EQ(dead, ReadText(commFile));
    ASSERT_EQ(0u, Init());
    EXPECT_EQ(1u, TraceLines::Count(
                      "Group settings were on probation when the last session ended: their probation starts again."));
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("stranded"), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return TraceLines::Count("Next retry in 0 seconds to server index #0") >= 3; }));
    g_now += 6;
    ASSERT_TRUE(WaitFor([&] { return server.Named("stranded") == 1; }));
    EXPECT_EQ(good, ReadText(commFile));
    ASSERT_TRUE(WaitFor([&] { return Mode(kept) == ~0u; }));
    // The server, hearing token 0, offers the same settings: refused.
    server.Then(GroupSettingsAnswer("tok-dead", dead));
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("again"), nullptr, nullptr));
    ASSERT_TRUE(
        WaitFor([&] { return TraceLines::Count("these settings were rolled back after their probation") == 1; }));
    EXPECT_EQ(good, ReadText(commFile));
}

TEST_F(ProbationExtensions, SettingsConfirmedByAPostLeaveNoProbationFileAndAForgedOneIsSetAside) {
    WriteText(commFile + ".lastgood", "not a probation record");
    ASSERT_EQ(0, ::chmod((commFile + ".lastgood").c_str(), 0600));
    ASSERT_EQ(0u, Init());
    EXPECT_EQ(1u, TraceLines::Count("' is not a probation record; it was moved to '"));
    const std::string newer =
        "[group]\nschemaVersion=1.0.0\ngroupnameHint=Newer\n[server.1]\nurl=" + server.Url() + "\n";
    server.Then(GroupSettingsAnswer("tok-newer", newer));
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("first"), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return ReadText(commFile) == newer; }));
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("confirming"), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return TraceLines::Count("A post succeeded: the new group settings are kept.") == 1; }));
    ASSERT_TRUE(WaitFor([&] { return Mode(commFile + ".lastgood") == ~0u; }));
    // Kept for good: a probation's length later they are still in force.
    g_now += 60;
    ASSERT_TRUE(Posted("later"));
    EXPECT_EQ(newer, ReadText(commFile));
}

TEST_F(Extensions, WithoutProbationSettingsThatReachNoServerStay) {
    ASSERT_NO_FATAL_FAILURE(TakeDeadSettings());
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("stranded"), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return TraceLines::Count("Next retry in 0 seconds to server index #0") >= 3; }));
    g_now += 3600;
    ASSERT_TRUE(WaitFor([&] { return TraceLines::Count("Next retry in 0 seconds to server index #0") >= 6; }));
    EXPECT_EQ(dead, ReadText(commFile));
    EXPECT_EQ(0u, server.Named("stranded"));
}
