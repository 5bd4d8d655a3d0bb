// The heartbeat queue against a real server on 127.0.0.1, and the merge of
// a newer heartbeat into a pending one.
#include "cml/documents/cmlAgentInfo.h"
#include "cml/documents/cmlPolicy.h"
#include "sensor_services/HbUtils.h"
#include "HeartbeatServer.h"

using namespace ovxSensorServices;
using namespace ovx::cml;
using namespace ovxTest;

namespace {

// The statuses of the failed posts.
Recorder g_errors;
uint32_t OnError(uint32_t status, uint32_t kind) { return kind == 1 ? g_errors.Add(std::to_string(status)) : 0; }

struct Queue : ServedSession {
    void SetUp() override {
        ServedSession::SetUp();
        sink.levelMask = SS_TRACE_ERROR | SS_TRACE_WARNING;  // thousands of posts: keep only what explains a failure
        ASSERT_NO_FATAL_FAILURE(Start());
        g_errors.Take();
        SS_RegisterErrorCallback(&OnError);
    }
};

// The text written into the agent's buffer is the text posted, to the byte,
// the rest of the buffer zeros; a buffer too small for it is zeroed.
TEST_F(Queue, TheTextWrittenOutIsTheTextPosted) {
    std::vector<char> buffer(64 * 1024, 'x');
    uint32_t length = 16;
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat(), buffer.data(), &length));
    EXPECT_EQ(std::string(16, '\0') + std::string(16, 'x'), std::string(buffer.data(), 32));
    EXPECT_EQ(16u, length);
    ASSERT_TRUE(WaitFor([&] { return server.Count() == 1; }));
    length = static_cast<uint32_t>(buffer.size());
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat(), buffer.data(), &length));
    EXPECT_EQ(std::string(buffer.size() - length, '\0'), std::string(buffer.data() + length, buffer.size() - length));
    ASSERT_TRUE(WaitFor([&] { return server.Count() == 2; }));
    EXPECT_EQ(std::string(buffer.data(), length), server.Body(1));
    EXPECT_EQ("application/x-ovx-cml-data; charset=UTF-8", server.ArrivalAt(1).contentType);
}

// An acknowledged heartbeat is kept until the agent's thread frees it: the
// next CreateHeartbeat frees it before the next heartbeat is built, so one
// heartbeat at most is held besides the agent's; a failed creation frees
// nothing, and a post frees what no creation did.
TEST_F(Queue, TheAcknowledgedHeartbeatGoesWhenTheNextIsCreated) {
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat(), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return session->HoldsSentHeartbeat(); }));
    SS_HMESSAGE none = nullptr;
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, CreateHeartbeat(&none, nullptr, "n", "urn:n", "1", "127.0.0.1"));
    EXPECT_TRUE(session->HoldsSentHeartbeat());
    SS_HMESSAGE next = Heartbeat();
    EXPECT_FALSE(session->HoldsSentHeartbeat());
    SS_HMESSAGE third = Heartbeat();  // made while none is held
    ASSERT_EQ(0u, PostHeartbeat(next, nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return session->HoldsSentHeartbeat(); }));
    // Refused from now on, the third is never acknowledged: only its post
    // can have freed the second.
    server.Rule([](const Arrival&, size_t n) { return n >= 2 ? 500 : 0; });
    ASSERT_EQ(0u, PostHeartbeat(third, nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return !g_errors.Take().empty(); }));
    EXPECT_FALSE(session->HoldsSentHeartbeat());
}

// Two heartbeats meet in the queue: both wait (and the post of the one kept
// may be refused once), or the second is queued while the first is on the
// wire and the server refuses it, and its retry too (a retry is made from
// the heartbeat kept, not from a text kept). Without
// merging the newer agent heartbeat replaces the older; with it, each kind
// of the newer is merged into the pending one (an entry of the same key
// takes the newer values, another is appended, one document per kind). The
// library's own error responses (answering requests it does not know) join
// the agent's heartbeat either way, whichever came first: the server gets
// both. A failed heartbeat alone is sent again.
enum Message { kNone, kOlder, kNewer, kOwn };
struct PairCase {
    const char* name;
    bool merge;
    Message first, second;
    int fails;  // 0: none; 1: the first refused twice, the second queued meanwhile; 2: both wait, refused once
    std::vector<std::string> kept, gone;  // in every kind's document of the last post
    bool olderName;                       // the announcement's name is the older's
    int postedAs;                         // the text written out for the newer (0) or the older (1), or neither
};
void PrintTo(const PairCase& c, std::ostream* os) { *os << c.name; }

struct QueuedPair : Queue, ::testing::WithParamInterface<PairCase> {
    std::string Flags() override {
        return std::string(GetParam().merge ? "mergeHeartbeatOnPost=1\n" : "") + "autoGroupSettingsRequest=0\n";
    }
    // Every kind the merge knows, one entry per key: `key` picks the entry, `value` is what it says.
    SS_HMESSAGE Agent(const char* name, std::vector<std::pair<std::string, std::string>> entries) {
        SS_HMESSAGE m = Heartbeat(name);
        const std::string schema = "<schema xmlns='http://www.w3.org/2001/XMLSchema'/>";
        const uint32_t size = static_cast<uint32_t>(schema.size());
        for (const auto& [key, value] : entries) {
            const std::string policy = "<cfg xmlns='urn:cfg' name='" + key + "' note='" + value + "'/>";
            const std::string ns = "urn:" + key;
            const char *k = key.c_str(), *v = value.c_str(), *n = ns.c_str();
            // In this order, each accepted (|| stops at the first refusal).
            EXPECT_FALSE(AddModuleInfo(m, k, v, 0, nullptr) || AddGetPolicyRequest(m, v, k, "urn:p", 0, 0, 0) ||
                         AddSetPolicyRequest(m, policy.data(), static_cast<uint32_t>(policy.size()), 0, 0) ||
                         AddSetPolicyResponse(m, k, "urn:p", "1.0.0", 0, v, v, "r", 1) ||
                         AddSetSchemaRequest(m, v, n, "1.0", 1, schema.data(), size, nullptr, nullptr) ||
                         AddGetSchemaRequest(m, v, n, "1.0", nullptr, nullptr) ||
                         AddGetSchemaResponse(m, v, n, "1.0", 0, v, 0, schema.data(), size, "r", 1) ||
                         AddSetSchemaResponse(m, v, n, "1.0", 0, v, "r", 1));
        }
        return m;
    }
    SS_HMESSAGE Own() {
        SS_HMESSAGE message = Heartbeat("library");
        CCmlErrorResponse error;
        error.SetRequestId(L"unknown-1");
        error.SetCode(OVX_E_CML_UNRECOGNIZED_REQUEST);
        reinterpret_cast<CCmlMessage*>(message)->AddResponse(error);
        return message;
    }
    std::vector<char> written[2] = {std::vector<char>(64 * 1024), std::vector<char>(64 * 1024)};
    uint32_t lengths[2] = {64 * 1024, 64 * 1024};
};

TEST_P(QueuedPair, TheLastPostCarriesWhatTheRulesKeep) {
    const PairCase& c = GetParam();
    auto queue = [&](Message kind) {
        if (kind == kOwn) return session->QueueHeartbeatRequest(Own(), nullptr, nullptr, nullptr, nullptr, true);
        const bool older = kind == kOlder;
        SS_HMESSAGE m = older ? Agent("older", {{"shared", "v-old"}, {"mine", "v-mine"}})
                              : Agent("", {{"shared", "v-new"}, {"other", "v-other"}});
        return session->QueueHeartbeatRequest(m, written[older].data(), &lengths[older]);
    };
    std::atomic<bool> secondQueued{false};
    if (c.fails == 2) server.Rule([](const Arrival&, size_t n) { return n < 1 ? 500 : 0; });
    if (c.fails == 1) {
        server.Note([&] {
            if (c.second != kNone && !secondQueued.exchange(true)) {
                EXPECT_EQ(0u, queue(c.second));
            }
            return 0u;
        });
        server.Rule([](const Arrival&, size_t n) { return n < 2 ? 500 : 0; });
    }
    ASSERT_EQ(0u, queue(c.first));
    if (c.fails != 1 && c.second != kNone) {
        ASSERT_EQ(0u, queue(c.second));
    }
    session->RequestDispatch();
    const size_t posts = c.fails == 1 ? 3 : 1 + c.fails / 2;
    ASSERT_TRUE(WaitFor([&] { return server.Count() == posts && !session->HasPendingHeartbeat(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(posts, server.Count());
    server.Note([] { return 0u; });
    EXPECT_EQ(std::vector<std::string>(posts - 1, std::to_string(OVX_E_SCS_HTTP_STATUS)), g_errors.Take());
    const std::string body = server.Body(posts - 1);
    for (const char* tag :
         {"agent-startup-announcement", "get-policy-request", "set-policy-request", "set-policy-response",
          "set-schema-request", "get-schema-request", "get-schema-response", "set-schema-response"}) {
        EXPECT_EQ(1u, Occurrences(body, std::string("<") + tag + " ")) << tag << " in " << body;
        const size_t at = body.find(std::string("<") + tag + " ");
        const std::string document = body.substr(at, body.find(std::string("</") + tag, at) - at);
        for (const std::string& text : c.kept) EXPECT_THAT(document, HasSubstr(text));
        for (const std::string& text : c.gone) EXPECT_THAT(document, Not(HasSubstr(text)));
    }
    // An empty name does not overwrite the pending one's.
    const size_t announcement = body.find("<agent-startup-announcement");
    EXPECT_EQ(c.olderName,
              body.substr(announcement, body.find('>', announcement) - announcement).find("name='older'") != body.npos);
    EXPECT_EQ(c.first == kOwn || c.second == kOwn, body.find("request-id='unknown-1' code='0xc7380004'") != body.npos);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(c.postedAs == i, body == std::string(written[i].data(), lengths[i])) << i;
}

const std::vector<std::string> kNewerOnly = {"v-new", "v-other"}, kOlderGone = {"v-old", "v-mine"};
const std::vector<std::string> kMerged = {"v-mine", "v-new", "v-other"}, kStale = {"v-old"};
const std::vector<std::string> kOlderOnly = {"v-old", "v-mine"}, kLibrary = {"library"};
INSTANTIATE_TEST_SUITE_P(
    Cases, QueuedPair,
    ::testing::Values(PairCase{"Replaced", false, kOlder, kNewer, false, kNewerOnly, kOlderGone, false, 0},
                      PairCase{"ReplacedAndRefused", false, kOlder, kNewer, 2, kNewerOnly, kOlderGone, false, 0},
                      PairCase{"Merged", true, kOlder, kNewer, false, kMerged, kStale, true, -1},
                      PairCase{"FailedAndReplaced", false, kOlder, kNewer, true, kNewerOnly, kOlderGone, false, 0},
                      PairCase{"FailedAndMerged", true, kOlder, kNewer, true, kMerged, kStale, true, -1},
                      PairCase{"FailedAndSentAgain", false, kOlder, kNone, true, kOlderOnly, {}, true, 1},
                      PairCase{"AgentThenOwn", false, kOlder, kOwn, false, kOlderOnly, kLibrary, true, -1},
                      PairCase{"OwnThenAgent", false, kOwn, kOlder, false, kOlderOnly, kLibrary, true, -1},
                      PairCase{"AgentFailsOwnPosted", false, kOlder, kOwn, true, kOlderOnly, kLibrary, true, -1},
                      PairCase{"OwnFailsAgentPosted", false, kOwn, kOlder, true, kOlderOnly, kLibrary, true, -1},
                      PairCase{"MergingAgentThenOwn", true, kOlder, kOwn, false, kOlderOnly, kLibrary, true, -1}),
    [](const ::testing::TestParamInfo<PairCase>& info) { return std::string(info.param.name); });

// Entries match on their identifying fields only; a status "not set" does
// not overwrite, and documents of kinds the merge does not know stay behind.
TEST(HbMerge, EntriesMatchOnTheirIdentifyingFieldsOnly) {
    CCmlMessage pending, newer;
    CAgentStartupAnnouncement a, b;
    a.GetContent().agentStatus = 5;
    b.GetContent().agentStatus = OVX_I_CML_STATUS_NOT_SET;
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
    CSetPolicyResponse earlier, outcome;  // the same item: the newer outcome stands
    earlier.AddItem(CPolicyItem(L"p", L"urn:p", L"", L"1.0", L"", 3, L"old", L"", L"", L"", L"policy-item"));
    pending.AddResponse(earlier);
    outcome.AddItem(CPolicyItem(L"p", L"urn:p", L"", L"1.0", L"", 7, L"bad", L"", L"", L"", L"policy-item"));
    newer.AddResponse(CCmlErrorResponse());
    newer.AddResponse(outcome);
    HbUtils::Merge(newer, pending);
    const auto& merged = static_cast<CAgentStartupAnnouncement*>(pending.GetRequests()[0])->GetContent();
    std::wstring got = std::to_wstring(merged.agentStatus);
    for (const CSchemaInfo& schema : merged.schemas) got += L" " + schema.GetName() + L"/" + schema.GetVersion();
    for (const auto& update : merged.updates) got += L" " + update.module + L"/" + update.version;
    auto* policies = static_cast<CGetPolicyRequest*>(pending.GetRequests()[1]);
    for (size_t i = 0; i < policies->GetCount(); ++i) got += L" " + policies->GetItem(i)->GetToken();
    for (const auto* response : pending.GetResponses()) got += L" " + response->GetTagName();
    const auto* outcomes = static_cast<CSetPolicyResponse*>(pending.GetResponses()[0]);
    for (size_t i = 0; i < outcomes->GetCount(); ++i)
        got += L" " + std::to_wstring(outcomes->GetItem(i)->GetCode()) + L"/" + outcomes->GetItem(i)->GetText();
    EXPECT_EQ(L"5 second/1.0.0 first/1.0.1 ab/3 a/2 new own set-policy-response 7/bad", got);
}

// Random pairs of heartbeats, the first with lists far longer than an
// index's first size, against the rule: each newer entry replaces the
// pending one of its key in place, or is appended in order. (The lists of
// the announcement share one merge: its modules stand for all of them.)
TEST(HbMerge, RandomPairsFollowTheRule) {
    std::mt19937 random(20261207);
    auto pick = [&](int high) { return std::uniform_int_distribution<int>(0, high)(random); };
    using List = std::vector<std::pair<std::wstring, std::wstring>>;
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const int keys = round == 0 ? 7500 : 15;
        auto list = [&](const wchar_t* prefix) {
            List made;
            std::set<std::wstring> seen;
            for (int n = round == 0 ? 5000 : pick(12); n > 0; --n) {
                std::wstring key = prefix + std::to_wstring(pick(keys));
                if (seen.insert(key).second) made.emplace_back(key, std::to_wstring(pick(999)));
            }
            return made;
        };
        CCmlMessage messages[2];
        List expected[2];  // modules, policy items
        for (int side = 0; side < 2; ++side) {
            CAgentStartupAnnouncement announcement;
            List modules = list(L"m");
            for (const auto& [name, version] : modules) announcement.GetContent().modules.emplace_back(name, version);
            messages[side].AddRequest(announcement);
            List tokens;
            if (pick(3) != 0) {
                CGetPolicyRequest r;
                tokens = list(L"p");
                for (const auto& [name, token] : tokens)
                    r.AddItem(CPolicyItem(name, L"urn:p", L"", L"", L"", 0, L"", token, L"", L"", L"policy-item"));
                messages[side].AddRequest(r);
            }
            int kind = 0;
            for (const List* from : {&modules, &tokens}) {
                List& into = expected[kind++];
                for (const auto& e : *from) {
                    auto at = std::find_if(into.begin(), into.end(), [&](const auto& x) { return x.first == e.first; });
                    if (at == into.end()) at = into.insert(at, e);
                    at->second = e.second;
                }
            }
        }
        HbUtils::Merge(messages[1], messages[0]);
        List got[2];
        auto* a = dynamic_cast<CAgentStartupAnnouncement*>(
            HbUtils::FindDocument(messages[0], L"agent-startup-announcement", true));
        ASSERT_NE(nullptr, a);
        for (const CModuleInfo& m : a->GetContent().modules) got[0].emplace_back(m.GetName(), m.GetVersion());
        if (auto* r = dynamic_cast<CGetPolicyRequest*>(HbUtils::FindDocument(messages[0], L"get-policy-request", true)))
            for (size_t i = 0; i < r->GetCount(); ++i)
                got[1].emplace_back(r->GetItem(i)->GetName(), r->GetItem(i)->GetToken());
        for (int kind = 0; kind < 2; ++kind) EXPECT_TRUE(expected[kind] == got[kind]) << "kind " << kind;
        if (::testing::Test::HasFailure()) break;
    }
}

}  // namespace
