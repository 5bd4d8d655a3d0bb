// The library against the Agent Manager simulator over TLS on 127.0.0.1:
// what the demo's scripted life only sees happen (its failover and return
// included), checked to the letter; every fault the simulator can inject,
// none of which may lose a heartbeat.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>

#include "Simulator.h"
#include "sensor_services/Answers.h"
#include "support/Checks.h"
#include "sensor_services/SessionFixture.h"
#include "support/TypicalHeartbeat.h"

using namespace ovxTest;

namespace {

const std::string kCerts = OVX_TEST_CERT_DIR;
const char kAgentKey[] = "-----BEGIN PUBLIC KEY-----\nQQ==\n-----END PUBLIC KEY-----";

Recorder g_events;
uint32_t OnPolicy(const char*, uint32_t, uint32_t, const char*, const char*, const char* name, const char*, const char*,
                  uint32_t code, const char*, const uint8_t* data, uint32_t size, uint8_t) {
    g_events.Add("policy " + Str(name) + " " + std::to_string(code) + " " +
                 (data == nullptr ? "" : std::string(reinterpret_cast<const char*>(data), size)));
    return 0;
}
uint32_t OnCommSettings(const char*, uint32_t, uint32_t, const char*, const char* token, const char*, const char*,
                        const char*, uint32_t code, const char*, const uint8_t*, uint32_t, uint8_t) {
    g_events.Add("group-settings " + Str(token) + " " + std::to_string(code));
    return 0;
}
uint32_t OnComplete(const char*) {
    g_events.Add("complete");
    return 0;
}
bool Seen(const std::string& prefix) {
    std::lock_guard<std::mutex> hold(g_events.lock);
    return std::any_of(g_events.calls.begin(), g_events.calls.end(),
                       [&](const std::string& event) { return event.rfind(prefix, 0) == 0; });
}

// A simulator serving TLS with the test certificate `pair` (.pem and .key).
ovxSim::SimConfig Config(const std::string& name, const std::string& dir, const std::string& pair = "server") {
    ovxSim::SimConfig config;
    config.name = name;
    config.certificateFile = kCerts + "/" + pair + ".pem";
    config.keyFile = kCerts + "/" + pair + ".key";
    config.stateFile = dir + "/" + name + ".db";
    config.groupsFolder = dir + "/groups";
    config.policiesFolder = dir + "/policies";
    config.users["operator"] = ovxToolsLib::ovxMd5Base64("right", 5);
    config.log = [](const std::string&) {};
    return config;
}

// A heartbeat of the test's agent asking for each of `policies`.
SS_HMESSAGE Asking(const std::vector<std::string>& policies) {
    SS_HMESSAGE heartbeat = nullptr;
    EXPECT_EQ(0u, CreateHeartbeat(&heartbeat, "{e2e-agent}", "e2e", "urn:sensors", "5.0", "127.0.0.1"));
    for (const std::string& policy : policies)
        AddGetPolicyRequest(heartbeat, "0", policy.c_str(), "urn:demo:scanner", "1.0.0", nullptr, nullptr);
    return heartbeat;
}

class EndToEnd : public SessionFixture {
protected:
    void SetUp() override {
        SessionFixture::SetUp();
        g_events.Take();
        for (const char* folder : {"/groups", "/policies"}) mkdir((dir + folder).c_str(), 0700);
        WriteText(dir + "/policies/scanner-settings.xml",
                  "<policy xmlns='urn:demo:scanner' name='scanner-settings'><depth level='3'/></policy>");
        // Policies that are no XML travel as base64, each length (mod 3) padded its own way.
        for (const size_t length : {3, 4, 5})
            WriteText(dir + "/policies/blob-" + std::to_string(length) + ".bin", std::string(length, 'b'));
        primary = std::make_unique<ovxSim::Simulator>(Config("primary", dir));
        secondary = std::make_unique<ovxSim::Simulator>(Config("secondary", dir));
        ASSERT_GT(primary->Start(), 0);
        ASSERT_GT(secondary->Start(), 0);
        WriteText(commFile, Servers());
        WriteText(dir + "/groups/Lab.ini", Servers());
        ASSERT_EQ(0u, Init());
        ASSERT_EQ(0u, SS_SetAgentId("{e2e-agent}"));
    }
    void TearDown() override {
        SessionFixture::TearDown();
        if (primary) primary->Stop();
        secondary->Stop();
    }
    std::string LocalSettings() override {
        return "[sensor_services]\nretryInterval=100\nretryCeiling=400\nmaxServerRetry=1\nretryPrimaryServer=1\n"
               "transferTimeout=3000\naliveUnitSeconds=1\n";
    }
    std::string Servers() {
        return "[group]\nschemaVersion=1.0.0\ngroupnameHint=Lab\n[server.1]\nurl=" + primary->Url() +
               "\ncaFile=" + kCerts + "/ca.pem\n[server.2]\nurl=" + secondary->Url() + "\ncaFile=" + kCerts +
               "/ca.pem\n";
    }
    // What either server counted of `what`.
    int Both(const std::string& what) { return primary->Count(what) + secondary->Count(what); }

    std::unique_ptr<ovxSim::Simulator> primary, secondary;
};

TEST_F(EndToEnd, NoFaultLosesAHeartbeat) {
    const std::pair<ovxSim::Fault, int> faults[] = {{ovxSim::Fault::kBusy, 0},     {ovxSim::Fault::kThrottle, 0},
                                                    {ovxSim::Fault::kStall, 4000}, {ovxSim::Fault::kTruncate, 0},
                                                    {ovxSim::Fault::kGarble, 0},   {ovxSim::Fault::kOversize, 0}};
    session = Current();  // released by the fixture
    ASSERT_NE(nullptr, session);
    for (const auto& [fault, stallMs] : faults) {
        SCOPED_TRACE(static_cast<int>(fault));
        const int before = Both("heartbeat");
        for (auto* server : {primary.get(), secondary.get()}) server->InjectFault(fault, 1, stallMs);
        ASSERT_EQ(0u, PostHeartbeat(Asking({}), nullptr, nullptr));
        // Whichever server took it, and however often it had to be sent:
        // it arrived and nothing is left waiting.
        // A fault that broke the post itself has the heartbeat sent again;
        // an answer that cannot be read still means it was delivered.
        const bool resent = fault != ovxSim::Fault::kTruncate && fault != ovxSim::Fault::kGarble;
        ASSERT_TRUE(WaitFor([&] { return Both("heartbeat") >= before + (resent ? 2 : 1); }, std::chrono::seconds(30)));
        EXPECT_TRUE(WaitFor([&] { return !session->HasPendingHeartbeat(); }, std::chrono::seconds(30)));
    }
}

// A server whose certificate the agent does not trust is refused, and the
// refusal is counted as the secure connection's.
TEST_F(EndToEnd, ACertificateTheAgentDoesNotTrustIsRefused) {
    ovxSim::Simulator rogue(Config("rogue", dir, "wrong-ca"));
    ASSERT_GT(rogue.Start(), 0);
    for (const int index : {1, 0}) ASSERT_EQ(0u, SS_DeleteServer(index));
    ASSERT_EQ(0u, SS_AddServer(0, "rogue", rogue.Url().c_str(), (kCerts + "/ca.pem").c_str(), nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr, 0));
    SS_HMESSAGE message = nullptr;
    ASSERT_EQ(0u, CreateMessage(&message, "{e2e-agent}", "e2e", "urn:sensors"));
    char *algorithm = nullptr, *pem = nullptr;
    uint32_t keyLength = 0;
    EXPECT_EQ(OVX_E_SCS_CERTIFICATE_REJECTED,
              SS_ExchangeKeys(message, 2000, 5000, 60000, nullptr, 0, kAgentKey, &algorithm, &keyLength, &pem));
    SS_Statistics statistics{};
    statistics.structSize = sizeof statistics;
    EXPECT_EQ("0 1 0", Joined({SS_GetStatistics(&statistics), statistics.exchange.tls, rogue.Count("key-exchange")}));
    FreeMessage(message);
}

// ---- many agent threads against failing servers

std::atomic<int> g_failures{0};
uint32_t CountFailure(uint32_t status, uint32_t kind) {
    if (kind == 1 && status != 0x47590025u) ++g_failures;
    return 0;
}

class Merging : public EndToEnd {
protected:
    std::string LocalSettings() override { return EndToEnd::LocalSettings() + "mergeHeartbeatOnPost=1\n"; }
};

}  // namespace

// Agent threads post while the servers answer 503 in bursts and the primary
// goes away and comes back: every item arrives, every failure is reported.
TEST_F(Merging, EveryPolicyItemAnyThreadPostedReachesAServer) {
    g_failures = 0;
    SS_RegisterErrorCallback(&CountFailure);
    primary->InjectFault(ovxSim::Fault::kBusy, 6);
    secondary->InjectFault(ovxSim::Fault::kBusy, 3);
    std::thread chaos([&] { std::this_thread::sleep_for(std::chrono::milliseconds(150)), primary->RefuseFor(1); });
    // Four agent threads, each asking for policies of its own.
    OnThreads(4, [](int t) {
        for (int i = 0; i < 25; ++i) {
            SS_HMESSAGE heartbeat = Asking({"p-" + std::to_string(t) + "-" + std::to_string(i)});
            if (heartbeat != nullptr && PostHeartbeat(heartbeat, nullptr, nullptr) != 0) FreeHeartbeat(heartbeat);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    chaos.join();
    // A heartbeat may still be on the wire, or waiting for its retry: the
    // items arrive in the end, each of them.
    auto missing = [&] {
        std::string names;
        for (int item = 0; item < 100; ++item) {
            const std::string asked = "asked:p-" + std::to_string(item / 25) + "-" + std::to_string(item % 25);
            if (Both(asked) == 0) names += " " + asked;
        }
        return names;
    };
    EXPECT_TRUE(WaitFor([&] { return missing().empty(); }, std::chrono::seconds(60))) << "never arrived:" << missing();
    // Every failed post reaches the agent's error callback (the last one
    // may still be on its way when the slot is seen empty).
    EXPECT_TRUE(WaitFor([&] { return g_failures >= Both("fault"); })) << g_failures << " failures reported";
    EXPECT_GT(Both("fault"), 0);
}

// What the demo's scripted life only sees happen, to the letter, for the
// typical heartbeat posted plain and then compressed: policies that are no
// XML come as the bytes the server holds, whatever their padding, and the
// server records the agent as it described itself, its compressed answer
// read back; the compressed post costs at most a fifth of the bytes on the
// wire (headers included). A wrong password is the attachment's own refusal.
TEST_F(EndToEnd, WhatTheSimulatorAnswersReachesTheAgentToTheLetterPlainOrCompressed) {
    uint64_t sent[2] = {};
    for (const bool compress : {false, true}) {
        SCOPED_TRACE(compress);
        if (compress) {
            ASSERT_NO_FATAL_FAILURE(End());
            WriteText(localFile, ReadText(localFile) + "compressPosts=1\n");
            ASSERT_EQ(0u, Init());
        }
        g_events.Take();
        RegisterGetPolicyResponse(&OnPolicy);
        RegisterCommSettingsResponse(&OnCommSettings);
        RegisterResponseComplete(&OnComplete);
        SS_HMESSAGE heartbeat = TypicalHeartbeat("{e2e-agent}", "e2e", "e2e-host", "E2E");
        for (const char* policy : {"scanner-settings", "blob-3", "blob-4", "blob-5"})
            AddGetPolicyRequest(heartbeat, "0", policy, "urn:demo:scanner", "1.0.0", nullptr, nullptr);
        ASSERT_EQ(0u, PostHeartbeat(heartbeat, nullptr, nullptr));
        // "complete" is the last callback of the answer, on its own thread.
        for (const char* event : {"policy scanner-settings 0 <?xml", "policy blob-3 0 bbb", "policy blob-4 0 bbbb",
                                  "policy blob-5 0 bbbbb", "group-settings ", "complete"})
            EXPECT_TRUE(WaitFor([&] { return Seen(event); })) << event;
        SS_Statistics statistics{};
        ASSERT_TRUE(WaitFor([&] {
            statistics.structSize = sizeof statistics;
            return SS_GetStatistics(&statistics) == 0 && statistics.heartbeat.success == 1;
        }));
        EXPECT_EQ(Joined({compress, compress}), Joined({primary->Count("gzip-in"), primary->Count("gzip-out")}));
        sent[compress] = statistics.bytesSent;
    }
    EXPECT_EQ(2, primary->Count("heartbeat"));
    EXPECT_LE(sent[1] * 5, sent[0]) << sent[0] << " bytes plain, " << sent[1] << " compressed";
    const std::string json = primary->StatusJson();
    for (const char* field : {"\"id\":\"{e2e-agent}\"", "\"modules\":[\"module-0\",\"module-1\",", "\"group\":\"Lab\""})
        EXPECT_NE(std::string::npos, json.find(field)) << json;
    SS_HMESSAGE message = nullptr;
    ASSERT_EQ(0u, CreateMessage(&message, "{e2e-agent}", "e2e", "urn:sensors"));
    EXPECT_EQ(OVX_E_CML_ATTACH_REFUSED,
              SS_AttachToSite(message, 2000, 5000, 60000, "operator", "wrong", nullptr, 0, kAgentKey));
    FreeMessage(message);
}
