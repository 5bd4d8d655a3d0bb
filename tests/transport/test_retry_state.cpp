// The retry and failover schedule: the documented sequences, and tables of
// results with the schedule each must give, worked out from the rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "ovxStatus.h"
#include "tools/ovxClock.h"
#include "transport/svcRetryState.h"

namespace {

int64_t g_now = 1000000;
int64_t FakeNow() { return g_now; }

std::map<std::string, std::string> g_settings;  // "section/key" -> value
uint32_t g_serverCount = 1, g_countStatus = 0;

class FakeOwner : public svcRetryOwner {
public:
    FakeOwner() {
        m_table = mslLoader_ovxSessionConfigSvcs::Scs();
        m_table.SCS_RetrieveLocalSettingsValue = [](int32_t, const char* section, const char* key, char** value) {
            auto it = g_settings.find(std::string(section) + "/" + key);
            *value = it == g_settings.end() ? nullptr : strdup(it->second.c_str());
            return 0u;
        };
        m_table.SCS_GetServerCount = [](int32_t, uint32_t* count) {
            *count = g_serverCount;
            return g_countStatus;
        };
        m_table.SCS_Free = [](void* pointer) { free(pointer); };
    }
    int32_t DefaultDestination() const override { return 7; }
    void Trace(uint32_t level, const char* where, const char* text) const override {
        if (TraceWanted(level)) m_sink.write(m_sink.context, level, text, where);
    }
    bool TraceWanted(uint32_t level) const override { return (m_sink.levelMask & level) != 0; }
    const mslLoader_ovxSessionConfigSvcs::ScsFunctionTable& ScsTable() const override { return m_table; }

    static inline std::vector<std::string> lines;

private:
    static uint32_t Write(uint32_t, uint32_t, const char* text, const char*) {
        lines.emplace_back(text);
        return 0;
    }
    SS_TraceSink m_sink{0, SS_TRACE_PROGRESS, &Write};
    mslLoader_ovxSessionConfigSvcs::ScsFunctionTable m_table;
};

constexpr uint32_t kFail = OVX_E_SCS_CONNECTION_REFUSED;
constexpr uint32_t kInf = svcRetryState::kInfinite;

class RetryTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_settings.clear();
        g_serverCount = 1;
        g_countStatus = 0;
        g_now = 1000000;
        FakeOwner::lines.clear();
        m_previous = ovxToolsLib::ovxClock::SetSourceForTesting(&FakeNow);
    }
    void TearDown() override { ovxToolsLib::ovxClock::SetSourceForTesting(m_previous); }
    void Start() { ASSERT_EQ(0u, state.Init("Agent Manager", &owner)); }
    FakeOwner owner;
    svcRetryState state;
    ovxToolsLib::ovxTimeSource m_previous = nullptr;
};

// The settings and their defaults, and a server list that cannot be read or
// is empty, at the start and at a reload.
TEST_F(RetryTest, SettingsDefaultsAndTheServerCount) {
    Start();
    EXPECT_EQ("sensor_services", state.GetSectionName());
    EXPECT_EQ(std::make_tuple(60000u, 1800000u, 5u, 7200u, true),
              std::make_tuple(state.retryInterval(), state.retryCeiling(), state.maxServerRetry(),
                              state.retryPrimaryServer(), state.retryServerLoop()));
    g_settings = {{"sensor_services/retryInterval", "1000"},
                  {"sensor_services/maxServerRetry", "x"},
                  {"sensor_services/retryServerLoop", "False"}};
    EXPECT_EQ(0u, state.ReloadDefault());
    EXPECT_EQ(1000u, state.retryInterval());
    EXPECT_EQ(0u, state.maxServerRetry());  // non-numeric parses as 0
    EXPECT_TRUE(state.retryServerLoop());   // only the exact "false" turns it off
    g_settings["sensor_services/retryServerLoop"] = "false";
    state.ReloadDefault();
    EXPECT_FALSE(state.retryServerLoop());
    EXPECT_EQ("event_services", svcRetryState::SectionForRole("Event Server"));
    EXPECT_EQ("", svcRetryState::SectionForRole("Coffee Server"));

    g_countStatus = 0xC759000Du;
    svcRetryState uncounted;
    EXPECT_EQ(0xC759000Du, uncounted.Init("Agent Manager", &owner));
    ASSERT_FALSE(FakeOwner::lines.empty());
    EXPECT_EQ("Unable to get server count for destination 7", FakeOwner::lines.back());
    g_countStatus = 0;
    g_serverCount = 0;
    EXPECT_EQ(0u, uncounted.ReloadDefault());
    EXPECT_EQ("No available servers for destination 7", FakeOwner::lines.back());
}

TEST_F(RetryTest, SetServerRecordsTheSwitch) {
    const auto schedule = [](svcRetryState& of) {
        uint32_t timeout = 0;
        int32_t index = 0;
        of.GetSchedule(&timeout, &index);
        return std::make_pair(timeout, index);
    };
    g_serverCount = 3;
    Start();
    state.SetServer(5000, 2);
    EXPECT_EQ(std::make_pair(5000u, 2), schedule(state));
    state.SetServer(1, 3);  // out of range: ignored
    EXPECT_EQ(std::make_pair(5000u, 2), schedule(state));
    state.Reset();
    EXPECT_EQ(std::make_pair(kInf, 0), schedule(state));
    g_serverCount = 0;  // without servers there is nothing to switch to
    svcRetryState none;
    ASSERT_EQ(0u, none.Init("Agent Manager", &owner));
    none.SetServer(0, 0);
    EXPECT_EQ(-1, schedule(none).second);
}

// Sequences of results and the schedule each must give, worked out by hand
// from the rules for a few setting combinations: the back-off doubling to
// the ceiling, the moves between servers, the loop or the give-up after the
// last one, the return to the primary, the back-off status that neither
// counts nor moves, the server's own delay (Retry-After) and the special
// results.
constexpr uint32_t kBackOff = OVX_I_SCS_BACK_OFF;
constexpr uint32_t kAgain = OVX_E_TRY_AGAIN;
constexpr uint32_t kNone = OVX_E_NOTHING_OPEN;

constexpr uint32_t kBusy = OVX_E_SCS_SERVER_BUSY;
constexpr int kPending = 1;  // data queued before the result
constexpr int kGaveUp = 2;   // the step gives up on the request

// One result and the schedule it must give: the wait (ms) and the server.
struct Event {
    int64_t seconds;  // the clock moves on this much first
    uint32_t result;
    uint32_t timeout;
    int32_t index;
    int flags = 0;
    const char* traced = nullptr;  // a line the step must trace
    uint32_t serverDelay = 0;      // the server asked for this wait (ms) first
};

struct Scenario {
    const char* name;
    // retryInterval retryCeiling maxServerRetry retryPrimaryServer retryServerLoop
    const char* settings;
    uint32_t servers;
    std::vector<Event> events;
};

// Each line of events is a phase of the schedule.
// clang-format off
const Scenario kScenarios[] = {
    {"the default settings, two servers", "60000 1800000 5 7200 true", 2, {
        {0, kFail, 60000, 0, 0, "Next retry in 60 seconds to server index #0"},
        {0, kFail, 120000, 0}, {0, kFail, 240000, 0},
        {0, kFail, 480000, 0, 0, "Can retry failed server again. Attempts made: 4 of 5"},
        {0, kFail, 0, 1, 0, "Cannot retry failed server again. Attempts made: 5 of 5. Switching to next server: 1 of 2"}}},
    {"three tries a server, two servers, loop", "1000 5000 3 100 true", 2, {
        {0, kFail, 1000, 0}, {0, kFail, 2000, 0}, {0, kFail, 0, 1},  // third failure: next server at once
        {0, kFail, 1000, 1}, {0, kFail, 2000, 1}, {0, kFail, 0, 0},  // past the last server: the first again
        {0, kFail, 1000, 0}, {0, kFail, 2000, 0}, {0, kFail, 0, 1},  // the first server is left now
        {0, 0, kInf, 1}, {100, 0, kInf, 1},                          // 100 s away is not more than 100
        {1, 0, kInf, 0}}},                                           // 101 s: back to the first, idle
    {"delays double to the ceiling and stay", "1250 5000 10 7200 true", 1, {
        {0, kFail, 1250, 0}, {0, kFail, 2500, 0}, {0, kFail, 5000, 0}, {0, kFail, 5000, 0},
        {0, 0, kInf, 0}, {0, kFail, 1250, 0}}},
    {"a doubled delay above the ceiling is the ceiling", "1000 5000 10 7200 true", 1, {
        {0, kFail, 1000, 0}, {0, kFail, 2000, 0}, {0, kFail, 4000, 0}, {0, kFail, 5000, 0}, {0, kFail, 5000, 0}}},
    {"one try a server, three servers, no loop", "1000 60000 1 7200 false", 3, {
        {0, kFail, 1000, 1}, {0, kFail, 1000, 2},
        {0, kFail, kInf, 0, kGaveUp,  // every server failed: given up, idle
         "Retries failed on all servers in the server list! No more retries for this request!"},
        {0, kFail, 1000, 1},
        {0, 0, 0, 1, kPending},  // queued while idle goes out at once
        {0, 0, kInf, 1}}},
    {"the back-off status waits longer but neither counts nor moves", "1000 8000 1 10 true", 2, {
        {0, kBackOff, 1000, 0}, {0, kBackOff, 2000, 0}, {0, kBackOff, 4000, 0},
        {0, kFail, 1000, 1},      // 8000, then the move waits the interval
        {60, kBackOff, 2000, 1},  // long away, but a back-off never returns
        {0, 0, kInf, 0}}},
    {"away long enough: a failure returns to the first server", "1000 60000 2 10 true", 3, {
        {0, kFail, 1000, 0}, {0, kFail, 0, 1},
        {11, kFail, 1000, 0},  // counted on server 1, then home
        {0, kFail, 0, 1},
        {11, kAgain, 1000, 0}}},  // try-again, but home first
    {"special results", "1000 60000 5 7200 true", 2, {
        {0, kAgain, 0, 0}, {0, kNone, kInf, 0}, {0, kNone, 0, 0, kPending}, {0, 0, kInf, 0}}},
    {"one try a server, three servers, loop: each move waits the interval", "1000 60000 1 7200 true", 3, {
        {0, kFail, 1000, 1}, {0, kFail, 1000, 2}, {0, kFail, 1000, 0}}},
    {"the server's delay is waited when longer, capped at the ceiling, and only once", "200 5000 5 7200 true", 1, {
        {0, kBackOff, 3000, 0, 0, "Next retry in 3 seconds to server index #0", 3000},  // 429, Retry-After: 3
        {0, kFail, 400, 0},                     // back on the schedule
        {0, kBusy, 800, 0, 0, nullptr, 100},    // shorter: the schedule's wins
        {0, kBusy, 5000, 0, 0, nullptr, 3600000}}},  // an hour: the ceiling
    {"no servers", "1000 60000 1 7200 false", 0, {
        {0, kFail, 1000, -1}, {0, kFail, 2000, -1}, {0, 0, kInf, -1}}},
};
// clang-format on
}  // namespace

TEST_F(RetryTest, SchedulesFollowTheRulesStepByStep) {
    for (const Scenario& scenario : kScenarios) {
        std::istringstream settings(scenario.settings);
        g_settings.clear();
        for (const char* key :
             {"retryInterval", "retryCeiling", "maxServerRetry", "retryPrimaryServer", "retryServerLoop"})
            settings >> g_settings[std::string("sensor_services/") + key];
        g_serverCount = scenario.servers;
        FakeOwner fresh;
        svcRetryState subject;
        ASSERT_EQ(0u, subject.Init("Agent Manager", &fresh));
        int step = 0;
        for (const Event& event : scenario.events) {
            SCOPED_TRACE(std::string(scenario.name) + ", step " + std::to_string(++step));
            g_now += event.seconds;
            if (event.flags & kPending) subject.SetDispatchPending(true);
            if (event.serverDelay != 0) subject.SetServerDelay(event.serverDelay);
            FakeOwner::lines.clear();
            uint32_t timeout = 0;
            int32_t index = -1;
            subject.GetSchedule(nullptr, &index);
            subject.NextState(event.result, &timeout, &index);
            EXPECT_EQ(event.timeout, timeout);
            EXPECT_EQ(event.index, index);
            const bool gaveUp = (event.flags & kGaveUp) != 0;
            EXPECT_EQ(gaveUp, subject.TakeGaveUp());
            EXPECT_TRUE(!gaveUp || subject.attempts() == 0);
            EXPECT_TRUE(event.traced == nullptr ||
                        std::count(FakeOwner::lines.begin(), FakeOwner::lines.end(), event.traced) > 0)
                << event.traced;
        }
    }
}

// ---- jitter

// 1,000 schedules that have reached the ceiling, each failing once more:
// the delays fill the whole window [ceiling x (1 - j), ceiling] (ten equal
// buckets, none empty) and none goes above the ceiling.
TEST_F(RetryTest, JitterSpreadsDelaysAtTheCeilingOverTheWholeWindowAndNeverAboveIt) {
    g_settings = {{"sensor_services/retryInterval", "60000"},
                  {"sensor_services/retryCeiling", "60000"},
                  {"sensor_services/maxServerRetry", "1000000"},
                  {"sensor_services/retryJitter", "50"}};
    Start();
    EXPECT_EQ(50u, state.retryJitter());
    const uint32_t lowest = 30000, ceiling = 60000;
    int buckets[10] = {0};
    for (int schedule = 0; schedule < 1000; ++schedule) {
        uint32_t timeout = 0;
        int32_t index = 0;
        state.NextState(kFail, &timeout, &index);
        ASSERT_GE(timeout, lowest);
        ASSERT_LE(timeout, ceiling);
        ++buckets[std::min<uint32_t>(9, (timeout - lowest) * 10 / (ceiling - lowest))];
        // The next turn starts from the ceiling, not from the jittered wait.
        state.NextState(kFail, &timeout, &index);
    }
    for (int bucket = 0; bucket < 10; ++bucket) EXPECT_GT(buckets[bucket], 0) << "bucket " << bucket;
}
