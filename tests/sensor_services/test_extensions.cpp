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
#include <deque>
#include <dirent.h>
#include <mutex>
#include <string>
#include <vector>

#include "SessionFixture.h"
#include "sensor_services/Answers.h"
#include "support/TestServer.h"
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

struct Arrival {
    Clock::time_point at;
    std::string path, encoding, acceptEncoding, body;
};

class Extensions : public SessionFixture {
protected:
    void SetUp() override {
        server.server().Post(
            ".*", [this](const httplib::Request& request, httplib::Response& response) { Answer(request, response); });
        if (StartServer()) server.Start();
        SessionFixture::SetUp();
        g_errors.Take();
        g_now = 1000000;
        if (FakeClock()) m_previousClock = ovxToolsLib::ovxClock::SetSourceForTesting(&FakeNow);
    }
    void TearDown() override {
        SessionFixture::TearDown();
        if (FakeClock()) ovxToolsLib::ovxClock::SetSourceForTesting(m_previousClock);
        server.Stop();
    }
    virtual bool StartServer() { return true; }
    virtual bool FakeClock() { return true; }
    std::string LocalSettings() override {
        return "[sensor_services]\nretryInterval=100\nretryCeiling=" + Ceiling() + "\n" + Flags();
    }
    virtual std::string Flags() { return ""; }
    virtual std::string Ceiling() { return "100"; }
    std::string CommSettings() override {
        return "[group]\nschemaVersion=1.0.0\n[server.1]\nurl=" + server.Url() + "\n";
    }

    void Answer(const httplib::Request& request, httplib::Response& response) {
        std::lock_guard<std::mutex> hold(lock);
        arrivals.push_back({Clock::now(), request.path, request.get_header_value("Content-Encoding"),
                            request.get_header_value("Accept-Encoding"), request.body});
        if (!statuses.empty()) {
            response.status = statuses.front().first;
            if (!statuses.front().second.empty()) response.set_header("Retry-After", statuses.front().second);
            statuses.pop_front();
            return;
        }
        if (refuseGzip && request.has_header("Content-Encoding")) {
            response.status = 415;
            return;
        }
        if (failing) {
            response.status = 500;
            return;
        }
        std::string answer = kAcknowledgement;
        if (!answers.empty()) {
            answer = answers.front();
            answers.pop_front();
        }
        response.set_content(answer, "application/x-ovx-cml-data");
    }
    SS_HMESSAGE Heartbeat(const char* name) {
        SS_HMESSAGE heartbeat = nullptr;
        EXPECT_EQ(0u, CreateHeartbeat(&heartbeat, "{agent}", name, "urn:sensors", "5.0", "127.0.0.1"));
        return heartbeat;
    }
    size_t Arrivals() {
        std::lock_guard<std::mutex> hold(lock);
        return arrivals.size();
    }
    Arrival ArrivalAt(size_t index) {
        std::lock_guard<std::mutex> hold(lock);
        return arrivals.at(index);
    }
    // The heartbeats that arrived with `name` in them.
    size_t HeartbeatsNamed(const std::string& name) {
        std::lock_guard<std::mutex> hold(lock);
        size_t n = 0;
        for (const Arrival& arrival : arrivals) {
            n += arrival.path == "/ovx/sensor_services/heartbeat" &&
                 arrival.body.find("name='" + name + "'") != std::string::npos;
        }
        return n;
    }

    TestServer server;
    std::mutex lock;
    std::vector<Arrival> arrivals;
    std::deque<std::pair<int, std::string>> statuses;  // answered first, in order: status, Retry-After
    std::deque<std::string> answers;
    bool refuseGzip = false;
    bool failing = false;
    ovxToolsLib::ovxTimeSource m_previousClock = nullptr;
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
    {
        std::lock_guard<std::mutex> hold(lock);
        statuses.push_back({429, "1"});
    }
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("patient"), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return HeartbeatsNamed("patient") == 2; }));
    const auto waited = ArrivalAt(1).at - ArrivalAt(0).at;
    // The schedule alone would have waited 0.1 s.
    EXPECT_GE(waited, std::chrono::milliseconds(990));
    EXPECT_LT(waited, std::chrono::milliseconds(3000));
    EXPECT_EQ(1u, Count("Next retry in 1 seconds to server index #0"));
}

// ---- compression

class CompressedExtensions : public Extensions {
protected:
    std::string Flags() override { return "compressPosts=1\n"; }
};

TEST_F(Extensions, ByDefaultHeartbeatsGoPlainAndAskForNoEncoding) {
    ASSERT_EQ(0u, Init());
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("plain"), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return HeartbeatsNamed("plain") == 1; }));
    EXPECT_EQ("", ArrivalAt(0).encoding);
    EXPECT_EQ("", ArrivalAt(0).acceptEncoding);
}

TEST_F(CompressedExtensions, HeartbeatsGoCompressedAndAServerThatRefusesThemGetsThemPlainFromThenOn) {
    ASSERT_EQ(0u, Init());
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("squeezed"), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return HeartbeatsNamed("squeezed") == 1; }));
    EXPECT_EQ("gzip", ArrivalAt(0).encoding);
    EXPECT_EQ("gzip", ArrivalAt(0).acceptEncoding);
    // The server's zlib gave back the heartbeat whole.
    EXPECT_NE(std::string::npos, ArrivalAt(0).body.find("</ovx>"));

    // A server that cannot read them: 415, then the same heartbeat plain, at once.
    {
        std::lock_guard<std::mutex> hold(lock);
        refuseGzip = true;
    }
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("refused"), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return HeartbeatsNamed("refused") == 2; }));
    EXPECT_EQ("gzip", ArrivalAt(1).encoding);
    EXPECT_EQ("", ArrivalAt(2).encoding);
    EXPECT_EQ(ArrivalAt(1).body, ArrivalAt(2).body);
    EXPECT_EQ(1u, Count("Server index #0 refused a compressed heartbeat (HTTP 415); sending it uncompressed from "
                        "now on."));
    EXPECT_TRUE(g_errors.Take().empty());  // a heartbeat that arrived is no failure
    // From then on, plain only.
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("after"), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return HeartbeatsNamed("after") == 1; }));
    EXPECT_EQ(4u, Arrivals());
    EXPECT_EQ("", ArrivalAt(3).encoding);
}

// ---- statistics

TEST_F(Extensions, StatisticsCountEveryPostByKindAndOutcomeAndFitTheCallersStructure) {
    SS_Statistics none{};
    none.structSize = sizeof none;
    EXPECT_EQ(OVX_E_NOT_INITIALIZED, SS_GetStatistics(&none));
    ASSERT_EQ(0u, Init());
    SS_RegisterErrorCallback(&OnError);
    {
        std::lock_guard<std::mutex> hold(lock);
        statuses.push_back({500, ""});
        statuses.push_back({503, ""});
    }
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("counted"), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return HeartbeatsNamed("counted") == 3; }));
    ASSERT_EQ(0u, PostPing(nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return Arrivals() == 4; }));
    // The last post's statistics are recorded right after it returns.
    SS_Statistics statistics{};
    ASSERT_TRUE(WaitFor([&] {
        statistics = SS_Statistics{};
        statistics.structSize = sizeof statistics;
        return SS_GetStatistics(&statistics) == 0 && statistics.ping.success == 1;
    }));
    EXPECT_EQ(sizeof statistics, statistics.structSize);
    EXPECT_EQ(1u, statistics.heartbeat.success);
    EXPECT_EQ(1u, statistics.heartbeat.httpError);
    EXPECT_EQ(1u, statistics.heartbeat.busy);
    EXPECT_EQ(0u, statistics.heartbeat.refused + statistics.heartbeat.tls + statistics.heartbeat.timeout +
                      statistics.heartbeat.other);
    EXPECT_EQ(0u, statistics.alive.success + statistics.exchange.success);
    uint64_t bodies = 0;
    for (size_t i = 0; i < 4; ++i) bodies += ArrivalAt(i).body.size();
    EXPECT_GT(statistics.bytesSent, bodies);  // bodies and headers
    EXPECT_GT(statistics.bytesReceived, 2 * kAcknowledgement.size());
    EXPECT_EQ(1000000, statistics.lastSuccessTime);  // the clock seam's time
    EXPECT_EQ(OVX_E_SCS_SERVER_BUSY, statistics.lastFailureStatus);
    EXPECT_EQ(0, statistics.serverIndex);
    EXPECT_EQ(svcRetryState::kInfinite, statistics.retryDelayMs);

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
    ASSERT_EQ(0u, SS_ShutDown());
    ASSERT_TRUE(WaitFor([] { return mslLoader_ovxSessionConfigSvcs::ReferenceCount() == 0; }));
    WriteText(commFile, "[server.1]\nurl=http://127.0.0.1:" + std::to_string(TestServer::FreePort()) + "\n");
    ASSERT_EQ(0u, Init());
    statistics = SS_Statistics{};
    statistics.structSize = sizeof statistics;
    ASSERT_EQ(0u, SS_GetStatistics(&statistics));
    EXPECT_EQ(0u, statistics.heartbeat.success + statistics.ping.success + statistics.heartbeat.httpError);
    EXPECT_EQ(0u, statistics.bytesSent);
    EXPECT_EQ(0, statistics.lastSuccessTime);
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("unheard"), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] {
        statistics.structSize = sizeof statistics;
        return SS_GetStatistics(&statistics) == 0 && statistics.heartbeat.refused >= 1;
    }));
    EXPECT_EQ(OVX_E_SCS_CONNECTION_REFUSED, statistics.lastFailureStatus);
    EXPECT_EQ(100u, statistics.retryDelayMs);
}

// ---- the pending store

class StoredExtensions : public Extensions {
protected:
    std::string Flags() override { return "pendingStore=" + Store() + "\n"; }
    std::string Store() const { return dir + "/pending.xml"; }
    static bool Exists(const std::string& path) {
        struct stat about {};
        return ::stat(path.c_str(), &about) == 0;
    }
    std::vector<std::string> SetAside() const {
        std::vector<std::string> names;
        if (DIR* folder = ::opendir(dir.c_str())) {
            while (dirent* entry = ::readdir(folder)) {
                if (std::string(entry->d_name).rfind("pending.xml.bad.", 0) == 0) names.push_back(entry->d_name);
            }
            ::closedir(folder);
        }
        return names;
    }
};

TEST_F(StoredExtensions, APendingHeartbeatOutlivesItsSessionAndIsSentFirstByTheNext) {
    failing = true;
    ASSERT_EQ(0u, Init());
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("kept"), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return HeartbeatsNamed("kept") >= 2; }));
    ASSERT_TRUE(Exists(Store()));
    struct stat about {};
    ASSERT_EQ(0, ::stat(Store().c_str(), &about));
    EXPECT_EQ(0600u, about.st_mode & 0777u);
    const std::string stored = ReadText(Store());
    EXPECT_EQ(ArrivalAt(0).body, stored);  // exactly the text that would be sent
    ASSERT_EQ(0u, SS_ShutDown());
    ASSERT_TRUE(WaitFor([] { return mslLoader_ovxSessionConfigSvcs::ReferenceCount() == 0; }));
    ASSERT_TRUE(Exists(Store()));

    {
        std::lock_guard<std::mutex> hold(lock);
        failing = false;
        arrivals.clear();
    }
    ASSERT_EQ(0u, Init());
    ASSERT_TRUE(WaitFor([&] { return HeartbeatsNamed("kept") == 1; }));
    EXPECT_EQ(stored, ArrivalAt(0).body);
    // Sent: the store is gone; the next heartbeat goes on its own.
    ASSERT_TRUE(WaitFor([&] { return !Exists(Store()); }));
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("next"), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return HeartbeatsNamed("next") == 1; }));
    EXPECT_EQ(1u, HeartbeatsNamed("kept"));
    EXPECT_EQ(1u, Count("A heartbeat left pending by an earlier session is queued first."));
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
        const size_t before = SetAside().size();
        ASSERT_EQ(0u, Init());
        EXPECT_FALSE(Exists(Store()));
        EXPECT_EQ(before + 1, SetAside().size());
        EXPECT_EQ(1u, Count(std::string("' ") + c.why + "; it was moved to '"));
        ASSERT_EQ(0u, SS_ShutDown());
        ASSERT_TRUE(WaitFor([] { return mslLoader_ovxSessionConfigSvcs::ReferenceCount() == 0; }));
        std::lock_guard<std::mutex> hold(g_linesLock);
        g_lines.clear();
        g_wheres.clear();
    }
    EXPECT_EQ(0u, Arrivals());  // nothing of it was sent
}

// The agent is killed (SIGKILL) while its server is down; after the restart
// the heartbeat it had posted arrives.
class KilledAgent : public StoredExtensions {
protected:
    bool StartServer() override { return false; }
    std::string CommSettings() override {
        port = TestServer::FreePort();
        return "[group]\nschemaVersion=1.0.0\n[server.1]\nurl=http://127.0.0.1:" + std::to_string(port) + "\n";
    }
    int port = 0;
};

TEST_F(KilledAgent, AHeartbeatPostedBeforeASigkillArrivesAfterTheRestart) {
    int output[2];
    ASSERT_EQ(0, ::pipe(output));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::dup2(output[1], STDOUT_FILENO);
        ::close(output[0]);
        ::execl(OVX_PENDING_PROBE, OVX_PENDING_PROBE, OVX_TEST_LIBRARY_DIR, localFile.c_str(), commFile.c_str(),
                "killed", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(output[1]);
    char said[16] = {0};
    ASSERT_GT(::read(output[0], said, sizeof said - 1), 0);
    ::close(output[0]);
    EXPECT_EQ(std::string("posted\n"), said);
    const auto killedAt = Clock::now();
    ASSERT_TRUE(WaitFor([&] { return Exists(Store()); }));
    ASSERT_EQ(0, ::kill(child, SIGKILL));
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    ASSERT_TRUE(WIFSIGNALED(status));

    ASSERT_TRUE(server.StartOn(port));
    ASSERT_EQ(0u, Init());
    ASSERT_TRUE(WaitFor([&] { return HeartbeatsNamed("killed") == 1; }));
    std::printf("killed, restarted and delivered in %lld ms\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(ArrivalAt(0).at - killedAt).count()));
    ASSERT_TRUE(WaitFor([&] { return !Exists(Store()); }));
}

// ---- group settings on probation

class ProbationExtensions : public Extensions {
protected:
    std::string Flags() override { return "settingsProbation=5\n"; }
    std::string DeadSettings() const {
        return "[group]\nschemaVersion=1.0.0\n[server.1]\nurl=http://127.0.0.1:" +
               std::to_string(TestServer::FreePort()) + "\n";
    }
};

TEST_F(ProbationExtensions, SettingsThatReachNoServerAreRolledBackAfterTheirProbationAndNotTakenAgain) {
    ASSERT_EQ(0u, Init());
    SS_RegisterErrorCallback(&OnError);
    const std::string good = ReadText(commFile);
    const std::string dead = DeadSettings();
    {
        std::lock_guard<std::mutex> hold(lock);
        answers.push_back(GroupSettingsAnswer("tok-dead", dead));
    }
    CSensorServices* session = Current();
    ASSERT_NE(nullptr, session);
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("first"), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return session->GetGroupSettingsToken() == "tok-dead"; }));
    EXPECT_EQ(dead, ReadText(commFile));

    // Cut off: every post goes to the dead server and fails.
    const auto appliedAt = Clock::now();
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("stranded"), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return Count("Next retry in 0 seconds to server index #0") >= 3; }));
    EXPECT_EQ(0u, HeartbeatsNamed("stranded"));
    // Five seconds on: still on probation.
    g_now += 5;
    ASSERT_TRUE(WaitFor([&] { return Count("Next retry in 0 seconds to server index #0") >= 6; }));
    EXPECT_EQ(0u, HeartbeatsNamed("stranded"));
    // Past the probation: at the next retry the good settings are back and the heartbeat arrives.
    g_now += 1;
    ASSERT_TRUE(WaitFor([&] { return HeartbeatsNamed("stranded") == 1; }));
    std::printf("rolled back and delivered %lld ms after the cut-off (probation on the clock seam)\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - appliedAt).count()));
    EXPECT_EQ(good, ReadText(commFile));
    EXPECT_EQ("0", session->GetGroupSettingsToken());
    EXPECT_EQ(1u, Count("No post succeeded for 5 seconds with the new group settings: the last known good settings "
                        "are restored."));
    std::vector<std::string> errors = g_errors.Take();
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ("0xc7560014 kind 3", errors.back());

    // The server offers the same settings again: refused, the file stays.
    {
        std::lock_guard<std::mutex> hold(lock);
        answers.push_back(GroupSettingsAnswer("tok-dead", dead));
    }
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("again"), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return Count("these settings were rolled back after their probation") == 1; }));
    EXPECT_EQ(good, ReadText(commFile));
    EXPECT_EQ("0", session->GetGroupSettingsToken());

    // Newer settings that work are taken, and kept once a post succeeds.
    const std::string newer =
        "[group]\nschemaVersion=1.0.0\ngroupnameHint=Newer\n[server.1]\nurl=" + server.Url() + "\n";
    {
        std::lock_guard<std::mutex> hold(lock);
        answers.push_back(GroupSettingsAnswer("tok-newer", newer));
    }
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("newer"), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return session->GetGroupSettingsToken() == "tok-newer"; }));
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("confirming"), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return HeartbeatsNamed("confirming") == 1; }));
    ASSERT_TRUE(WaitFor([&] { return Count("A post succeeded: the new group settings are kept.") == 1; }));
    g_now += 60;
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("later"), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return HeartbeatsNamed("later") == 1; }));
    EXPECT_EQ(newer, ReadText(commFile));
    session->Release();
}

// An agent restarted while its settings are on probation resumes it from
// the file kept next to the comm settings: the restart does not leave it
// cut off, and the rolled-back token is still refused.
TEST_F(ProbationExtensions, AProbationOutlivesARestartOfTheAgent) {
    ASSERT_EQ(0u, Init());
    const std::string good = ReadText(commFile);
    const std::string dead = DeadSettings();
    const std::string kept = commFile + ".lastgood";
    {
        std::lock_guard<std::mutex> hold(lock);
        answers.push_back(GroupSettingsAnswer("tok-dead", dead));
    }
    CSensorServices* session = Current();
    ASSERT_NE(nullptr, session);
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("first"), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return session->GetGroupSettingsToken() == "tok-dead"; }));
    session->Release();
    // The token is taken just before the probation is written down.
    struct stat about {};
    ASSERT_TRUE(WaitFor([&] { return ::stat(kept.c_str(), &about) == 0; }));
    EXPECT_EQ(0600u, about.st_mode & 0777u);
    EXPECT_NE(std::string::npos, ReadText(kept).find(good));

    // The agent stops and starts again, its comm settings the dead ones.
    ASSERT_EQ(0u, SS_ShutDown());
    ASSERT_TRUE(WaitFor([] { return mslLoader_ovxSessionConfigSvcs::ReferenceCount() == 0; }));
    ASSERT_EQ(dead, ReadText(commFile));
    ASSERT_EQ(0u, Init());
    EXPECT_EQ(1u, Count("Group settings were on probation when the last session ended: their probation starts again."));
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("stranded"), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return Count("Next retry in 0 seconds to server index #0") >= 3; }));
    g_now += 6;
    ASSERT_TRUE(WaitFor([&] { return HeartbeatsNamed("stranded") == 1; }));
    EXPECT_EQ(good, ReadText(commFile));
    ASSERT_TRUE(WaitFor([&] { return ::stat(kept.c_str(), &about) != 0; }));
    // The server, hearing token 0, offers the same settings: refused.
    {
        std::lock_guard<std::mutex> hold(lock);
        answers.push_back(GroupSettingsAnswer("tok-dead", dead));
    }
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("again"), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return Count("these settings were rolled back after their probation") == 1; }));
    EXPECT_EQ(good, ReadText(commFile));
}

TEST_F(ProbationExtensions, SettingsConfirmedByAPostLeaveNoProbationFileAndAForgedOneIsSetAside) {
    WriteText(commFile + ".lastgood", "not a probation record");
    ASSERT_EQ(0, ::chmod((commFile + ".lastgood").c_str(), 0600));
    ASSERT_EQ(0u, Init());
    EXPECT_EQ(1u, Count("' is not a probation record; it was moved to '"));
    const std::string newer =
        "[group]\nschemaVersion=1.0.0\ngroupnameHint=Newer\n[server.1]\nurl=" + server.Url() + "\n";
    {
        std::lock_guard<std::mutex> hold(lock);
        answers.push_back(GroupSettingsAnswer("tok-newer", newer));
    }
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("first"), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return ReadText(commFile) == newer; }));
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("confirming"), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return Count("A post succeeded: the new group settings are kept.") == 1; }));
    struct stat about {};
    ASSERT_TRUE(WaitFor([&] { return ::stat((commFile + ".lastgood").c_str(), &about) != 0; }));
}

// The same on the real clock: a one-second probation ends one to two
// seconds after the settings came, and the next retry (0.2 s) is on the
// good server.
class RealTimeProbation : public ProbationExtensions {
protected:
    bool FakeClock() override { return false; }
    std::string Flags() override { return "settingsProbation=1\n"; }
    std::string Ceiling() override { return "200"; }
};

TEST_F(RealTimeProbation, TheAgentIsBackOnTheGoodServerWithinTheProbationAndOneRetry) {
    ASSERT_EQ(0u, Init());
    const std::string good = ReadText(commFile);
    {
        std::lock_guard<std::mutex> hold(lock);
        answers.push_back(GroupSettingsAnswer("tok-dead", DeadSettings()));
    }
    CSensorServices* session = Current();
    ASSERT_NE(nullptr, session);
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("first"), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return session->GetGroupSettingsToken() == "tok-dead"; }));
    const auto appliedAt = Clock::now();
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("stranded"), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return HeartbeatsNamed("stranded") == 1; }));
    const auto back = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - appliedAt);
    std::printf("back on the good server %lld ms after the settings were applied\n",
                static_cast<long long>(back.count()));
    EXPECT_GE(back, std::chrono::milliseconds(1000));
    // The probation (one to two seconds on a clock of whole seconds), one retry, slack for a loaded machine.
    EXPECT_LE(back, std::chrono::milliseconds(2000 + 200 + 800));
    EXPECT_EQ(good, ReadText(commFile));
    session->Release();
}

TEST_F(Extensions, WithoutProbationSettingsThatReachNoServerStay) {
    ASSERT_EQ(0u, Init());
    const std::string dead =
        "[group]\nschemaVersion=1.0.0\n[server.1]\nurl=http://127.0.0.1:" + std::to_string(TestServer::FreePort()) +
        "\n";
    {
        std::lock_guard<std::mutex> hold(lock);
        answers.push_back(GroupSettingsAnswer("tok-dead", dead));
    }
    CSensorServices* session = Current();
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("first"), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return session->GetGroupSettingsToken() == "tok-dead"; }));
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("stranded"), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return Count("Next retry in 0 seconds to server index #0") >= 3; }));
    g_now += 3600;
    ASSERT_TRUE(WaitFor([&] { return Count("Next retry in 0 seconds to server index #0") >= 6; }));
    EXPECT_EQ(dead, ReadText(commFile));
    EXPECT_EQ(0u, HeartbeatsNamed("stranded"));
    session->Release();
}
