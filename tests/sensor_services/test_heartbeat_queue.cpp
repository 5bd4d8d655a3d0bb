// The heartbeat queue against a real server on 127.0.0.1.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cml/core/cmlMessage.h"
#include "cml/documents/cmlAgentInfo.h"
#include "cml/documents/cmlPolicy.h"
#include "ovxStatus.h"
#include "sensor_services/HbUtils.h"
#include "sensor_services/SensorServices.h"
#include "HeartbeatServer.h"

using namespace ovxSensorServices;
using namespace ovx::cml;
using ovxTest::WaitFor;

namespace {

std::atomic<int> g_errors{0};
std::atomic<uint32_t> g_lastError{0};
uint32_t OnError(uint32_t status, uint32_t kind) {
    if (kind == 1) {
        g_lastError = status;
        ++g_errors;
    }
    return 0;
}

// A minimal answer the session can read.
const char kAnswer[] =
    "<ovx xmlns='https://schemas.example.org/xml' schema-version='1.0.1'>"
    "<cml xmlns='https://schemas.example.org/xml/cml/Message' schema-version='1.0.0'>"
    "<message-envelope broadcast='false' message-id='a'><source name='AgentManager'/><message-body/>"
    "</message-envelope></cml></ovx>";

class Queue : public ovxTest::ServedSession {
protected:
    void SetUp() override {
        server.Default(kAnswer);
        server.Rule([this](const ovxTest::Arrival&, size_t n) {
            return failing.load() || (refuseEveryThird && Refused(n)) ? 500 : 0;
        });
        ServedSession::SetUp();
        sink.levelMask = SS_TRACE_ERROR | SS_TRACE_WARNING;  // thousands of posts: keep only what explains a failure
        ASSERT_NO_FATAL_FAILURE(Start());
        g_errors = 0;
        SS_RegisterErrorCallback(&OnError);
    }
    static bool Refused(size_t n) { return n % 3 == 2; }

    std::atomic<bool> failing{false};
    bool refuseEveryThird = false;
};

class MergingQueue : public Queue {
protected:
    std::string Flags() override { return "mergeHeartbeatOnPost=1\nautoGroupSettingsRequest=0\n"; }
};

}  // namespace

TEST_F(Queue, APostedHeartbeatIsSentWithTheGroupSettingsRequest) {
    SS_HMESSAGE heartbeat = Heartbeat("first");
    char small[16];
    uint32_t length = sizeof small;
    ASSERT_EQ(0u, PostHeartbeat(heartbeat, small, &length));
    EXPECT_EQ(std::string(sizeof small, '\0'), std::string(small, sizeof small));  // too small: zeroed
    EXPECT_EQ(sizeof small, length);
    ASSERT_TRUE(WaitFor([&] { return server.Count() == 1; }));
    const std::string body = server.Body(0);
    EXPECT_EQ(0u, body.find("<?xml version='1.0' encoding='UTF-8' standalone='no'?>"));
    ovxTest::ExpectContains(body, {"name='first'", "<policy-item namespace='" + ovxTest::kGroupSettingsNs +
                                                       "' schema-version='1.0.0' token='0'/>"});
    EXPECT_EQ("application/x-ovx-cml-data; charset=UTF-8", server.ArrivalAt(0).contentType);
    EXPECT_TRUE(WaitFor([&] { return !session->HasPendingHeartbeat(); }));
    EXPECT_EQ(0, g_errors.load());
}

// The text written into the agent's buffer is the text that is posted, to
// the byte, heartbeat after heartbeat; the rest of the buffer is zeros.
TEST_F(Queue, TheBytesPostedAreTheBytesOfTheOutBuffer) {
    std::vector<char> buffer(64 * 1024, 'x');
    for (const char* name : {"first", "second"}) {
        uint32_t length = static_cast<uint32_t>(buffer.size());
        const size_t before = server.Count();
        ASSERT_EQ(0u, PostHeartbeat(Heartbeat(name), buffer.data(), &length));
        ASSERT_LT(length, buffer.size());
        EXPECT_EQ(std::string(buffer.size() - length, '\0'),
                  std::string(buffer.data() + length, buffer.size() - length));
        ASSERT_TRUE(WaitFor([&] { return server.Count() == before + 1; }));
        EXPECT_EQ(std::string(buffer.data(), length), server.Body(before));
        EXPECT_NE(std::string::npos, server.Body(before).find(std::string("name='") + name + "'"));
    }
}

TEST_F(Queue, WithoutMergingOnlyTheNewestPendingHeartbeatIsSent) {
    ASSERT_EQ(0u, session->QueueHeartbeatRequest(Heartbeat("older"), nullptr, nullptr));
    ASSERT_EQ(0u, session->QueueHeartbeatRequest(Heartbeat("newer"), nullptr, nullptr));
    session->RequestDispatch();
    ASSERT_TRUE(WaitFor([&] { return server.Count() == 1; }));
    EXPECT_NE(std::string::npos, server.Body(0).find("name='newer'"));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(1u, server.Count());
}

TEST_F(Queue, AFailedPostReportsAndIsSentAgain) {
    failing = true;
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat("again"), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return server.Count() >= 2; }));  // retried on the schedule
    EXPECT_LE(1, g_errors.load());
    EXPECT_NE(0u, g_lastError.load());
    failing = false;
    ASSERT_TRUE(WaitFor([&] { return !session->HasPendingHeartbeat(); }));
    EXPECT_NE(std::string::npos, server.Body(server.Count() - 1).find("name='again'"));
}

TEST_F(MergingQueue, ANewerHeartbeatIsMergedIntoThePendingOne) {
    SS_HMESSAGE first = Heartbeat("first");
    AddGetPolicyRequest(first, "1", "one", "urn:p", nullptr, nullptr, nullptr);
    ASSERT_EQ(0u, session->QueueHeartbeatRequest(first, nullptr, nullptr));
    SS_HMESSAGE second = Heartbeat("");
    AddGetPolicyRequest(second, "2", "two", "urn:p", nullptr, nullptr, nullptr);
    AddGetPolicyRequest(second, "3", "one", "urn:p", nullptr, nullptr, nullptr);
    ASSERT_EQ(0u, session->QueueHeartbeatRequest(second, nullptr, nullptr));
    session->RequestDispatch();
    ASSERT_TRUE(WaitFor([&] { return server.Count() == 1; }));
    const std::string body = server.Body(0);
    // An empty name does not overwrite the announcement's (the source's is never merged); one request.
    const size_t announcement = body.find("<agent-startup-announcement");
    ASSERT_NE(std::string::npos, announcement) << body;
    ovxTest::ExpectContains(body.substr(announcement, body.find('>', announcement) - announcement), {"name='first'"});
    ovxTest::ExpectContains(body, {"<policy-item name='one' namespace='urn:p' token='3'/>",
                                   "<policy-item name='two' namespace='urn:p' token='2'/>"});
    EXPECT_EQ(body.find("<get-policy-request"), body.rfind("<get-policy-request"));
}

// The field's case: the server fails every post while the agent keeps
// posting. Each kind a newer heartbeat carries is merged into the pending
// one: an entry matched on its identifying fields takes the newer values, an
// unmatched one is appended, and the heartbeat keeps one document per kind.
TEST_F(MergingQueue, EveryKindPostedWhileTheServerFailsIsMergedIntoThePendingOne) {
    failing = true;
    const std::string schema = "<schema xmlns='http://www.w3.org/2001/XMLSchema'/>";
    const uint32_t schemaLength = static_cast<uint32_t>(schema.size());
    // `key` picks the entry, `value` is what it says.
    auto post = [&](const std::string& key, const std::string& value) {
        SS_HMESSAGE heartbeat = Heartbeat("merged");
        const std::string policy = "<cfg xmlns='urn:cfg' name='" + key + "' note='" + value + "'/>";
        const std::string ns = "urn:" + key;
        const char* v = value.c_str();
        EXPECT_EQ(
            0u, AddSetPolicyRequest(heartbeat, policy.data(), static_cast<uint32_t>(policy.size()), nullptr, nullptr));
        EXPECT_EQ(0u, AddSetPolicyResponse(heartbeat, key.c_str(), "urn:p", "1.0.0", 0, v, v, "r", 1));
        EXPECT_EQ(
            0u, AddSetSchemaRequest(heartbeat, v, ns.c_str(), "1.0", 1, schema.data(), schemaLength, nullptr, nullptr));
        EXPECT_EQ(0u, AddGetSchemaRequest(heartbeat, v, ns.c_str(), "1.0", nullptr, nullptr));
        EXPECT_EQ(0u,
                  AddGetSchemaResponse(heartbeat, v, ns.c_str(), "1.0", 0, v, 0, schema.data(), schemaLength, "r", 1));
        EXPECT_EQ(0u, AddSetSchemaResponse(heartbeat, v, ns.c_str(), "1.0", 0, v, "r", 1));
        EXPECT_EQ(0u, PostHeartbeat(heartbeat, nullptr, nullptr));
    };
    post("shared", "v-old");
    ASSERT_TRUE(WaitFor([&] { return server.Count() >= 1; }));  // refused: pending again
    post("shared", "v-new");
    post("other", "v-other");
    failing = false;
    // Done once nothing is pending and the last post carries the newest
    // heartbeat's entries: a heartbeat in flight as the server came back may
    // have arrived alone before it.
    ASSERT_TRUE(WaitFor([&] {
        return !session->HasPendingHeartbeat() && server.Body(server.Count() - 1).find("v-other") != std::string::npos;
    }));
    const std::string body = server.Body(server.Count() - 1);
    auto count = [&](const std::string& text) { return ovxTest::Occurrences(body, text); };
    for (const char* tag : {"<set-policy-request", "<set-policy-response", "<set-schema-request", "<get-schema-request",
                            "<get-schema-response", "<set-schema-response"}) {
        EXPECT_EQ(1u, count(tag)) << tag << " in " << body;
    }
    EXPECT_EQ(0u, count("v-old")) << body;  // every matched entry took the newer values
    EXPECT_LE(6u, count("v-new")) << body;
    EXPECT_EQ(count("v-new"), count("v-other")) << body;  // and the unmatched ones were appended
}

// A heartbeat whose text was written out for the agent, then merged with a
// newer one, is posted as merged: not as the text written earlier.
TEST_F(MergingQueue, AMergedHeartbeatIsPostedAsMergedNotAsWrittenOut) {
    std::vector<char> first(64 * 1024), second(64 * 1024);
    uint32_t firstLength = static_cast<uint32_t>(first.size()), secondLength = firstLength;
    SS_HMESSAGE older = Heartbeat("first");
    AddGetPolicyRequest(older, "1", "one", "urn:p", nullptr, nullptr, nullptr);
    ASSERT_EQ(0u, session->QueueHeartbeatRequest(older, first.data(), &firstLength));
    SS_HMESSAGE newer = Heartbeat("");
    AddGetPolicyRequest(newer, "2", "two", "urn:p", nullptr, nullptr, nullptr);
    ASSERT_EQ(0u, session->QueueHeartbeatRequest(newer, second.data(), &secondLength));
    session->RequestDispatch();
    ASSERT_TRUE(WaitFor([&] { return server.Count() == 1; }));
    const std::string body = server.Body(0);
    EXPECT_NE(std::string(first.data(), firstLength), body);
    EXPECT_NE(std::string(second.data(), secondLength), body);
    ovxTest::ExpectContains(body, {"name='first'", "<policy-item name='one' namespace='urn:p' token='1'/>",
                                   "<policy-item name='two' namespace='urn:p' token='2'/>"});
}

// The library answers server requests it does not know with error
// responses in a heartbeat of its own, queued just as the agent, answering
// the same server message from a callback, posts its own. Neither may cost
// the other: whichever comes first, whether both wait or the first fails on
// the wire while the second is posted, merging or not, the server gets
// both.
struct JoinCase {
    const char* name;
    bool merge, ownFirst, firstFails;
};
void PrintTo(const JoinCase& c, std::ostream* os) { *os << c.name; }

class ErrorResponsesJoin : public Queue, public ::testing::WithParamInterface<JoinCase> {
protected:
    std::string Flags() override { return GetParam().merge ? "mergeHeartbeatOnPost=1\n" : ""; }
    SS_HMESSAGE Own() {
        SS_HMESSAGE message = Heartbeat("library");
        CCmlErrorResponse error;
        error.SetRequestId(L"unknown-1");
        error.SetCode(OVX_E_CML_UNRECOGNIZED_REQUEST);
        reinterpret_cast<CCmlMessage*>(message)->AddResponse(error);
        return message;
    }
};

TEST_P(ErrorResponsesJoin, TheAgentsHeartbeatAndTheLibrarysErrorResponsesBothReachTheServer) {
    SS_HMESSAGE agent = Heartbeat("agent");
    SS_HMESSAGE own = Own();
    SS_HMESSAGE first = GetParam().ownFirst ? own : agent;
    SS_HMESSAGE second = first == own ? agent : own;
    auto queue = [&](SS_HMESSAGE message) {
        return session->QueueHeartbeatRequest(message, nullptr, nullptr, nullptr, nullptr, message == own);
    };
    size_t posts = 1;
    std::atomic<bool> secondQueued{false};
    if (GetParam().firstFails) {
        posts = 2;
        server.Note([&] {
            if (!secondQueued.exchange(true)) {
                EXPECT_EQ(0u, queue(second));
            }
            return 0u;
        });
        server.Rule([](const ovxTest::Arrival&, size_t n) { return n == 0 ? 500 : 0; });
        ASSERT_EQ(0u, queue(first));
    } else {
        ASSERT_EQ(0u, queue(first));
        ASSERT_EQ(0u, queue(second));
    }
    session->RequestDispatch();
    ASSERT_TRUE(WaitFor([&] { return server.Count() == posts && !session->HasPendingHeartbeat(); }));
    ovxTest::ExpectContains(server.Body(posts - 1), {"name='agent'", "request-id='unknown-1' code='0xc7380004'"});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(posts, server.Count());
    server.Note(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Cases, ErrorResponsesJoin,
                         ::testing::Values(JoinCase{"AgentThenOwn", false, false, false},
                                           JoinCase{"OwnThenAgent", false, true, false},
                                           JoinCase{"AgentFailsOwnPosted", false, false, true},
                                           JoinCase{"OwnFailsAgentPosted", false, true, true},
                                           JoinCase{"MergingAgentThenOwn", true, false, false}),
                         [](const ::testing::TestParamInfo<JoinCase>& info) { return std::string(info.param.name); });

TEST(HbMerge, ListsMergeOnTheirKeysAndOtherKindsAreNotCarried) {
    CCmlMessage pending, newer;
    CAgentStartupAnnouncement a;
    a.GetContent().modules.emplace_back(L"m1", L"1");
    a.GetContent().modules.emplace_back(L"m2", L"1");
    a.GetContent().agentStatus = 5;
    pending.AddRequest(a);
    CAgentStartupAnnouncement b;
    b.GetContent().modules.emplace_back(L"m2", L"2");
    b.GetContent().modules.emplace_back(L"m3", L"1");
    b.GetContent().agentStatus = OVX_I_CML_STATUS_NOT_SET;
    newer.AddRequest(b);
    CCmlErrorResponse error;
    newer.AddResponse(error);
    CSetPolicyResponse outcome;
    CPolicyItem item(L"p", L"urn:p", L"", L"1.0", L"", 7, L"bad", L"", L"", L"", L"policy-item");
    outcome.AddItem(item);
    newer.AddResponse(outcome);
    HbUtils::Merge(newer, pending);
    auto* merged = static_cast<CAgentStartupAnnouncement*>(pending.GetRequests()[0]);
    ASSERT_EQ(3u, merged->GetContent().modules.size());
    EXPECT_EQ(L"2", merged->GetContent().modules[1].GetVersion());
    EXPECT_EQ(5u, merged->GetContent().agentStatus);  // "not set" does not overwrite
    ASSERT_EQ(1u, pending.GetResponses().size());     // the error response stays behind
    EXPECT_EQ(L"set-policy-response", pending.GetResponses()[0]->GetTagName());
    EXPECT_EQ(nullptr, HbUtils::FindDocument(pending, L"error-response", false));
}

TEST(HbMerge, EntriesMatchOnTheirIdentifyingFieldsOnly) {
    CCmlMessage pending, newer;
    CAgentStartupAnnouncement a, b;
    a.GetContent().schemas.push_back(CSchemaInfo(L"urn:s", L"1.0.0", L"first"));
    a.GetContent().updates.emplace_back(L"ab", L"c", L"1");
    b.GetContent().schemas.push_back(CSchemaInfo(L"urn:s", L"1.0.0", L"second", true));  // same schema
    b.GetContent().schemas.push_back(CSchemaInfo(L"urn:s", L"1.0.1", L"first"));         // another version
    b.GetContent().updates.emplace_back(L"a", L"bc", L"2");  // ("a", "bc") is not ("ab", "c")
    b.GetContent().updates.emplace_back(L"ab", L"c", L"3");
    pending.AddRequest(a);
    newer.AddRequest(b);
    CGetPolicyRequest p, q;
    p.AddItem(CPolicyItem(L"n", L"urn:p", L"1", L"", L"t", 0, L"", L"old", L"", L"", L"policy-item"));
    // A policy item is its name, namespace and schema version: the version
    // and the answer fields do not tell it apart.
    q.AddItem(CPolicyItem(L"n", L"urn:p", L"2", L"", L"t", 5, L"other", L"new", L"", L"", L"policy-item"));
    q.AddItem(CPolicyItem(L"n", L"urn:p", L"1", L"2.0", L"t", 0, L"", L"own", L"", L"", L"policy-item"));
    pending.AddRequest(p);
    newer.AddRequest(q);
    HbUtils::Merge(newer, pending);
    const auto& merged = static_cast<CAgentStartupAnnouncement*>(pending.GetRequests()[0])->GetContent();
    ASSERT_EQ(2u, merged.schemas.size());
    EXPECT_EQ(L"second", merged.schemas[0].GetName());
    EXPECT_EQ(L"1.0.1", merged.schemas[1].GetVersion());
    ASSERT_EQ(2u, merged.updates.size());
    EXPECT_EQ(L"3", merged.updates[0].version);
    EXPECT_EQ(L"a", merged.updates[1].module);
    auto* policies = static_cast<CGetPolicyRequest*>(pending.GetRequests()[1]);
    ASSERT_EQ(2u, policies->GetCount());
    EXPECT_EQ(L"new", policies->GetItem(0)->GetToken());
    EXPECT_EQ(L"own", policies->GetItem(1)->GetToken());
}

// Lists far longer than an index's first size, each newer entry either
// replacing the pending one of its key or appended in order.
TEST(HbMerge, LongListsKeepOrderAndReplaceInPlace) {
    constexpr int kCount = 5000;
    CCmlMessage pending, newer;
    CAgentStartupAnnouncement a, b;
    for (int i = 0; i < kCount; ++i) {
        a.GetContent().modules.emplace_back(L"m" + std::to_wstring(i), L"1");
        b.GetContent().modules.emplace_back(L"m" + std::to_wstring(i + kCount / 2), L"2");
    }
    pending.AddRequest(a);
    newer.AddRequest(b);
    HbUtils::Merge(newer, pending);
    const auto& modules = static_cast<CAgentStartupAnnouncement*>(pending.GetRequests()[0])->GetContent().modules;
    ASSERT_EQ(static_cast<size_t>(kCount + kCount / 2), modules.size());
    for (int i = 0; i < kCount + kCount / 2; ++i) {
        ASSERT_EQ(L"m" + std::to_wstring(i), modules[i].GetName());
        ASSERT_EQ(i < kCount / 2 ? L"1" : L"2", modules[i].GetVersion()) << i;
    }
}

namespace {

class StressQueue : public MergingQueue {
protected:
    void SetUp() override {
        refuseEveryThird = true;
        MergingQueue::SetUp();
    }
};

}  // namespace

// Eight agent threads post heartbeats with items of their own while the
// server refuses every third post: merging and requeuing lose nothing.
TEST_F(StressQueue, EveryPostedItemReachesTheServer) {
    constexpr int kThreads = 8;
    constexpr int kPosts = 1000;
    std::vector<std::thread> agents;
    for (int t = 0; t < kThreads; ++t) {
        agents.emplace_back([this, t] {
            for (int i = 0; i < kPosts; ++i) {
                SS_HMESSAGE heartbeat = Heartbeat("stress");
                const std::string name = "item-" + std::to_string(t) + "-" + std::to_string(i);
                EXPECT_EQ(0u, AddGetPolicyRequest(heartbeat, "0", name.c_str(), "urn:p", nullptr, nullptr, nullptr));
                EXPECT_EQ(0u, PostHeartbeat(heartbeat, nullptr, nullptr));
            }
        });
    }
    for (auto& agent : agents) agent.join();
    auto delivered = [this] {
        std::set<std::string> names;
        const std::vector<std::string> bodies = server.Bodies(ovxTest::kHeartbeatPath);
        for (size_t i = 0; i < bodies.size(); ++i) {
            if (Refused(i)) continue;
            const std::string& body = bodies[i];
            for (size_t at = body.find("name='item-"); at != std::string::npos; at = body.find("name='item-", at + 1)) {
                size_t end = body.find('\'', at + 6);
                names.insert(body.substr(at + 6, end - at - 6));
            }
        }
        return names.size();
    };
    EXPECT_TRUE(WaitFor([&] { return delivered() == kThreads * kPosts; }, std::chrono::seconds(60)))
        << delivered() << " of " << kThreads * kPosts << " items delivered";
    EXPECT_LT(0, g_errors.load());
}

// Random pairs of heartbeats merged, checked against a model of maps keyed
// by the identifying fields.
TEST(HbMerge, RandomPairsAgreeWithAKeyedModel) {
    std::mt19937 random(20261207);
    auto pick = [&](int high) { return std::uniform_int_distribution<int>(0, high)(random); };
    using Model = std::map<std::wstring, std::wstring>;
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        CCmlMessage messages[2];
        Model modules[2], schemas[2], tokens[2];
        for (int side = 0; side < 2; ++side) {
            CAgentStartupAnnouncement announcement;
            for (int n = pick(12); n > 0; --n) {
                std::wstring name = L"m" + std::to_wstring(pick(15)), version = std::to_wstring(pick(9));
                if (modules[side].count(name) != 0) continue;
                modules[side][name] = version;
                announcement.GetContent().modules.emplace_back(name, version);
            }
            for (int n = pick(12); n > 0; --n) {
                std::wstring ns = L"urn:s" + std::to_wstring(pick(10)), label = L"n" + std::to_wstring(pick(99));
                if (schemas[side].count(ns) != 0) continue;
                schemas[side][ns] = label;
                announcement.GetContent().schemas.push_back(CSchemaInfo(ns, L"1.0", label));
            }
            messages[side].AddRequest(announcement);
            if (pick(3) != 0) {
                CGetPolicyRequest request;
                for (int n = pick(12); n > 0; --n) {
                    std::wstring name = L"p" + std::to_wstring(pick(15)), token = std::to_wstring(pick(999));
                    if (tokens[side].count(name) != 0) continue;
                    tokens[side][name] = token;
                    request.AddItem(
                        CPolicyItem(name, L"urn:p", L"", L"", L"", 0, L"", token, L"", L"", L"policy-item"));
                }
                messages[side].AddRequest(request);
            }
        }
        // The model: the newer side's entries win, the rest of the pending stay.
        for (const auto& entry : modules[1]) modules[0][entry.first] = entry.second;
        for (const auto& entry : schemas[1]) schemas[0][entry.first] = entry.second;
        for (const auto& entry : tokens[1]) tokens[0][entry.first] = entry.second;

        HbUtils::Merge(messages[1], messages[0]);

        Model gotModules, gotSchemas, gotTokens;
        auto* announcement = dynamic_cast<CAgentStartupAnnouncement*>(
            HbUtils::FindDocument(messages[0], L"agent-startup-announcement", true));
        ASSERT_NE(nullptr, announcement);
        for (const CModuleInfo& module : announcement->GetContent().modules) {
            EXPECT_TRUE(gotModules.emplace(module.GetName(), module.GetVersion()).second) << "duplicate module";
        }
        for (const CSchemaInfo& schema : announcement->GetContent().schemas) {
            EXPECT_TRUE(gotSchemas.emplace(schema.GetNamespace(), schema.GetName()).second) << "duplicate schema";
        }
        if (auto* request =
                dynamic_cast<CGetPolicyRequest*>(HbUtils::FindDocument(messages[0], L"get-policy-request", true))) {
            for (size_t i = 0; i < request->GetCount(); ++i) {
                EXPECT_TRUE(gotTokens.emplace(request->GetItem(i)->GetName(), request->GetItem(i)->GetToken()).second);
            }
        }
        EXPECT_EQ(modules[0], gotModules);
        EXPECT_EQ(schemas[0], gotSchemas);
        EXPECT_EQ(tokens[0], gotTokens);
        if (::testing::Test::HasFailure()) break;
    }
}
