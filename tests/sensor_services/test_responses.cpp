// The server's answers to heartbeats: sorting, the agent's callbacks and
// their arguments, group settings, unknown requests and hostile answers.
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/stat.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>

#include "HeartbeatServer.h"

using namespace ovxTest;

namespace {

Recorder g_calls;
std::atomic<int> g_generic{0};
std::atomic<bool> g_genericThrows{false};

uint32_t OnSchema(const char* kind, const char* id, uint32_t idLength, uint32_t zero, const char* agent,
                  const char* name, const char* ns, const char* version, uint32_t code, const char* text,
                  const char* schema, uint32_t schemaLength, uint8_t last) {
    g_calls.Add(std::string(kind) + " " + Str(id, idLength) + " " + std::to_string(zero) + " " + Str(agent) + " " +
                Str(name) + " " + Str(ns) + " " + Str(version) + " " + std::to_string(code) + " " + Str(text) + " " +
                Str(schema, schemaLength) + " last=" + std::to_string(last));
    return 0;
}
#define OVX_SCHEMA_CALLBACK(fn, kind)                                                                                  \
    uint32_t fn(const char* id, uint32_t idLength, uint32_t zero, const char* agent, const char* name, const char* ns, \
                const char* version, uint32_t code, const char* text, const char* schema, uint32_t schemaLength,       \
                uint8_t last) {                                                                                        \
        return OnSchema(kind, id, idLength, zero, agent, name, ns, version, code, text, schema, schemaLength, last);   \
    }
OVX_SCHEMA_CALLBACK(OnGetSchemaRequest, "get-schema-request")
OVX_SCHEMA_CALLBACK(OnSetSchemaRequest, "set-schema-request")
OVX_SCHEMA_CALLBACK(OnGetSchemaResponse, "get-schema-response")
OVX_SCHEMA_CALLBACK(OnSetSchemaResponse, "set-schema-response")

uint32_t OnPolicy(const char* kind, const char* id, uint32_t idLength, const char* agent, const char* token,
                  const char* name, const char* ns, const char* schemaVersion, uint32_t code, const char* text,
                  const uint8_t* data, uint32_t dataLength, uint8_t last) {
    g_calls.Add(std::string(kind) + " " + Str(id, idLength) + " " + Str(agent) + " " + Str(token) + " " + Str(name) +
                " " + Str(ns) + " " + Str(schemaVersion) + " " + std::to_string(code) + " " + Str(text) + " [" +
                (data == nullptr ? "(null)" : std::string(reinterpret_cast<const char*>(data), dataLength)) +
                "] last=" + std::to_string(last));
    return 0;
}
#define OVX_POLICY_CALLBACK(fn, kind)                                                                                \
    uint32_t fn(const char* id, uint32_t idLength, uint32_t, const char* agent, const char* token, const char* name, \
                const char* ns, const char* schemaVersion, uint32_t code, const char* text, const uint8_t* data,     \
                uint32_t dataLength, uint8_t last) {                                                                 \
        return OnPolicy(kind, id, idLength, agent, token, name, ns, schemaVersion, code, text, data, dataLength,     \
                        last);                                                                                       \
    }
OVX_POLICY_CALLBACK(OnGetPolicyResponse, "get-policy-response")
OVX_POLICY_CALLBACK(OnSetPolicyResponse, "set-policy-response")
OVX_POLICY_CALLBACK(OnCommSettings, "comm-settings")

uint32_t OnGeneric(const char* tag, const char* id, uint32_t, const char* agent, uint32_t code, const char* text,
                   uint8_t last) {
    ++g_generic;
    g_calls.Add("generic " + Str(tag) + " " + Str(id) + " " + Str(agent) + " " + std::to_string(code) + " " +
                Str(text) + " last=" + std::to_string(last));
    if (g_genericThrows.load()) throw std::runtime_error("agent bug");
    return 0;
}

uint32_t OnComplete(const char* responseTo) {
    g_calls.Add("complete " + Str(responseTo));
    return 0;
}

class Responses : public ServedSession {
protected:
    void SetUp() override {
        server.Default(Answer("", ""));
        ServedSession::SetUp();
        g_calls.Take();
        g_generic = 0;
        g_genericThrows = false;
        ASSERT_NO_FATAL_FAILURE(Start());
    }
    std::string CommSettings() override {
        return "[group]\nschemaVersion=1.0.0\ngroupnameHint=Servers\n[server.1]\nurl=" + server.Url() + "\n";
    }
    uint32_t Process(const std::string& answer) {
        return session->HelperProcessHeartbeatResponse(reinterpret_cast<const uint8_t*>(answer.data()),
                                                       static_cast<uint32_t>(answer.size()));
    }
};

const std::string kThreeSchemas = Doc("get-schema-request", kSchemaNs, "g-1",
                                      "<schema-info namespace='urn:a' version='1.0' name='A'/>"
                                      "<schema-info namespace='urn:b' version='2.0' name='B'/>"
                                      "<schema-info namespace='urn:c' version='3.0' name='C'/>");
const std::string kAcknowledgement = Doc("agent-startup-acknowledgement", kAgentNs, "hb-req", "", " code='0'");

}  // namespace

TEST_F(Responses, AnAnswerWithoutDestinationReachesNoCallback) {
    RegisterGetSchemaRequest(&OnGetSchemaRequest);
    RegisterResponseComplete(&OnComplete);
    EXPECT_EQ(OVX_E_BAD_RESPONSE, Process(Answer(kThreeSchemas, "", "")));
    EXPECT_TRUE(g_calls.Take().empty());
    EXPECT_EQ(1u, TraceLines::Count("no destination agents specified in response"));
}

TEST_F(Responses, TheLastFlagFallsOnTheFinalCallBeforeTheGenericResponses) {
    RegisterGetSchemaRequest(&OnGetSchemaRequest);
    RegisterResponseComplete(&OnComplete);
    // No generic callback: the schema request's third item is the last call.
    ASSERT_EQ(0u, Process(Answer(kThreeSchemas, kAcknowledgement)));
    std::vector<std::string> calls = g_calls.Take();
    ASSERT_EQ(4u, calls.size());
    EXPECT_EQ("get-schema-request g-1 0 {agent} A urn:a 1.0 0 (null) (null) last=0", calls[0]);
    EXPECT_EQ("get-schema-request g-1 0 {agent} C urn:c 3.0 0 (null) (null) last=1", calls[2]);
    EXPECT_EQ("complete hb-1", calls[3]);

    // With one, the generic response that follows takes the flag.
    RegisterGenericResponse(&OnGeneric);
    ASSERT_EQ(0u, Process(Answer(kThreeSchemas, kAcknowledgement)));
    calls = g_calls.Take();
    ASSERT_EQ(5u, calls.size());
    EXPECT_EQ("get-schema-request g-1 0 {agent} C urn:c 3.0 0 (null) (null) last=0", calls[2]);
    EXPECT_EQ("generic agent-startup-acknowledgement hb-req {agent} 0  last=1", calls[3]);

    // A generic callback but no generic response: the flag falls on the
    // policy that ends the answer, after the schema requests.
    RegisterGetPolicyResponse(&OnGetPolicyResponse);
    ASSERT_EQ(0u, Process(Answer(kThreeSchemas, Doc("get-policy-response", kPolicyNs, "gp-1",
                                                    Base64Item("urn:blob", "t", "x", "blob")))));
    calls = g_calls.Take();
    ASSERT_EQ(5u, calls.size());
    EXPECT_EQ("get-schema-request g-1 0 {agent} C urn:c 3.0 0 (null) (null) last=0", calls[2]);
    EXPECT_EQ("get-policy-response gp-1 {agent} t blob urn:blob 1.0.0 0 (null) [x] last=1", calls[3]);
}

// One call per item, the last flag on the final one; a response without
// items gives one call with empty arguments.
TEST_F(Responses, SetResponsesGiveOneCallPerItemOrOneWithEmptyArguments) {
    RegisterSetPolicyResponse(&OnSetPolicyResponse);
    RegisterSetSchemaResponse(&OnSetSchemaResponse);
    ASSERT_EQ(0u, Process(Answer("", Doc("set-policy-response", kPolicyNs, "sp-1") +
                                         Doc("set-schema-response", kSchemaNs, "ss-1"))));
    std::vector<std::string> calls = g_calls.Take();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ("set-policy-response sp-1 {agent} (null) (null) (null) (null) 0 (null) [(null)] last=0", calls[0]);
    EXPECT_EQ("set-schema-response ss-1 0 {agent} (null) (null) (null) 0 (null) (null) last=1", calls[1]);

    ASSERT_EQ(0u,
              Process(Answer(
                  "", Doc("set-policy-response", kPolicyNs, "sp-2",
                          "<policy-item name='p1' namespace='urn:p' schema-version='1.0.0' token='t1' code='5' "
                          "text='bad'/><policy-item name='p2' namespace='urn:p' schema-version='1.0.1' token='t2'/>") +
                          Doc("set-schema-response", kSchemaNs, "ss-2",
                              "<schema-info namespace='urn:s' version='1.0' name='S' code='9' text='no'/>"))));
    calls = g_calls.Take();
    ASSERT_EQ(3u, calls.size());
    EXPECT_EQ("set-policy-response sp-2 {agent} t1 p1 urn:p 1.0.0 5 bad [(null)] last=0", calls[0]);
    EXPECT_EQ("set-policy-response sp-2 {agent} t2 p2 urn:p 1.0.1 0 (null) [(null)] last=0", calls[1]);
    EXPECT_EQ("set-schema-response ss-2 0 {agent} S urn:s 1.0 9 no (null) last=1", calls[2]);
}

TEST_F(Responses, SchemaDocumentsCarryTheirItemsCodesAndSchemaTexts) {
    RegisterSetSchemaRequest(&OnSetSchemaRequest);
    RegisterGetSchemaResponse(&OnGetSchemaResponse);
    const std::string schema =
        "<schema xmlns='http://www.w3.org/2001/XMLSchema' targetNamespace='urn:a'><element name='e'/></schema>";
    ASSERT_EQ(0u,
              Process(Answer(Doc("set-schema-request", kSchemaNs, "set-1",
                                 "<schema-info namespace='urn:a' version='1.0' name='A'>" + schema + "</schema-info>"),
                             Doc("get-schema-response", kSchemaNs, "agent-req",
                                 "<schema-info namespace='urn:b' version='2.0' name='B' code='7' "
                                 "text='not here'/>"))));
    std::vector<std::string> calls = g_calls.Take();
    ASSERT_EQ(2u, calls.size());
    // The set-schema-request goes first (list S), its schema as UTF-8 XML.
    EXPECT_EQ(0u, calls[0].find("set-schema-request set-1 0 {agent} A urn:a 1.0 0 (null) <")) << calls[0];
    ExpectContains(calls[0], {"targetNamespace='urn:a'", "last=0"});
    EXPECT_EQ("get-schema-response agent-req 0 {agent} B urn:b 2.0 7 not here (null) last=1", calls[1]);
}

TEST_F(Responses, PoliciesReachTheAgentDecodedOrAsXmlAndGroupSettingsReplaceTheCommFile) {
    RegisterGetPolicyResponse(&OnGetPolicyResponse);
    RegisterGroupSettingsResponse(&OnCommSettings);  // the other name of the same registration
    const std::string settings =
        "[group]\nschemaVersion=1.0.0\ngroupnameHint=Laptops\n[server.1]\nurl=" + server.Url() + "\n";
    const std::string xmlPolicy =
        "<policy-item name='fw' namespace='urn:firewall' schema-version='1.0.0' token='t-fw'>"
        "<rules xmlns='urn:firewall' name='fw'><rule port='22'/></rules></policy-item>";
    const std::string binary("\x01\x00\xfe\xff", 4);  // Base64 "AQD+/w=="
    ASSERT_EQ(0u, Process(Answer("", Doc("get-policy-response", kPolicyNs, "gp-1",
                                         xmlPolicy + Base64Item(kGroupSettingsNs, "tok-2", settings) +
                                             Base64Item("urn:blob", "t-blob", binary, "blob")))));
    std::vector<std::string> calls = g_calls.Take();
    ASSERT_EQ(3u, calls.size());
    EXPECT_EQ(0u, calls[0].find("get-policy-response gp-1 {agent} t-fw fw urn:firewall 1.0.0 0 (null) [<")) << calls[0];
    ExpectContains(calls[0], {"<rule port='22'/>", "last=0"});
    // Group settings: to the file first, then the agent hears of it.
    EXPECT_EQ("comm-settings gp-1 {agent} tok-2  " + kGroupSettingsNs + " 1.0.0 0 (null) [" + settings + "] last=0",
              calls[1]);
    EXPECT_EQ("get-policy-response gp-1 {agent} t-blob blob urn:blob 1.0.0 0 (null) [" + binary + "] last=1", calls[2]);
    EXPECT_EQ(settings, ReadText(commFile));
    EXPECT_EQ(0600u, Mode(commFile));
    EXPECT_EQ("tok-2", session->GetGroupSettingsToken());
    // Reloaded: the new group name hint is what the service library now holds.
    char* schemaVersion = nullptr;
    char* hint = nullptr;
    ASSERT_EQ(0u, mslLoader_ovxSessionConfigSvcs::Scs().SCS_GetCommSettingsInfo(session->DefaultDestination(), 0, 0,
                                                                                &schemaVersion, &hint));
    EXPECT_EQ("Laptops", Str(hint));
    mslLoader_ovxSessionConfigSvcs::Scs().SCS_Free(schemaVersion);
    mslLoader_ovxSessionConfigSvcs::Scs().SCS_Free(hint);
}

// An item whose content cannot be read is skipped with a line saying why;
// the others still reach the agent, the last flag on the final one. Group
// settings that come with neither content nor code change nothing.
TEST_F(Responses, ItemsWhoseContentCannotBeReadAreSkippedAndTheRestHandedOn) {
    RegisterGetPolicyResponse(&OnGetPolicyResponse);
    RegisterCommSettingsResponse(&OnCommSettings);
    const std::string before = ReadText(commFile);
    auto item = [](const std::string& name, const std::string& content) {
        return "<policy-item name='" + name +
               "' namespace='urn:blob' schema-version='1.0.0' token='t'><content xmlns='" + kBase64Ns + "'>" + content +
               "</content></policy-item>";
    };
    ASSERT_EQ(
        0u, Process(Answer("", Doc("get-policy-response", kPolicyNs, "gp-1",
                                   item("empty", "") + item("element", "<x xmlns='urn:x'/>") +
                                       item("not-base64", "!!!!") + item("good", "AQI=") + "<policy-item namespace='" +
                                       kGroupSettingsNs + "' schema-version='1.0.0' token='tok-none'/>"))));
    const std::vector<std::string> calls = g_calls.Take();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ("get-policy-response gp-1 {agent} t good urn:blob 1.0.0 0 (null) [\x01\x02] last=1", calls[0]);
    EXPECT_EQ(1u, TraceLines::Count("Missing child content"));
    EXPECT_EQ(2u, TraceLines::Count("Invalid child content"));
    EXPECT_EQ(1u, TraceLines::Count("Group settings missing and no error."));
    EXPECT_EQ(before, ReadText(commFile));
    EXPECT_EQ("0", session->GetGroupSettingsToken());
}

// Answers of a kind the agent registered no callback for reach nobody and
// are no failure.
TEST_F(Responses, AnswersWithoutTheirCallbackReachNobody) {
    RegisterResponseComplete(&OnComplete);
    ASSERT_EQ(0u, Process(Answer(
                      kThreeSchemas + Doc("set-schema-request", kSchemaNs, "set-1",
                                          "<schema-info namespace='urn:a' version='1.0' name='A'/>"),
                      Doc("get-schema-response", kSchemaNs, "g", "<schema-info namespace='urn:b' version='2.0'/>") +
                          Doc("set-schema-response", kSchemaNs, "s") + Doc("set-policy-response", kPolicyNs, "p") +
                          kAcknowledgement)));
    EXPECT_EQ(std::vector<std::string>{"complete hb-1"}, g_calls.Take());
}

// The out-of-band response reaches the generic callback as the error
// response does; a response of a kind heartbeats do not handle (the
// attachment's) is answered like an unknown request.
TEST_F(Responses, OutOfBandAnswersAreGenericAndForeignResponsesUnknown) {
    RegisterGenericResponse(&OnGeneric);
    ASSERT_EQ(0u, Process(Answer("", Doc("out-of-band-response", kMessageNs, "r-0", "", " code='3' text='later'") +
                                         Doc("attach-to-site-response", kAgentNs, "r-1") +
                                         Doc("error-response", kMessageNs, "r-2"))));
    const std::vector<std::string> calls = g_calls.Take();
    ASSERT_EQ(2u, calls.size()) << ::testing::PrintToString(calls);
    EXPECT_EQ("generic out-of-band-response r-0 {agent} 3 later last=0", calls[0]);
    EXPECT_EQ("generic error-response r-2 {agent} 0  last=1", calls[1]);
    EXPECT_EQ(1u, TraceLines::Count("Unknown CML message received. Tag name: attach-to-site-response"));
}

TEST_F(Responses, GroupSettingsThatCannotBeReadChangeNothing) {
    RegisterCommSettingsResponse(&OnCommSettings);
    const std::string before = ReadText(commFile);
    const std::string refused[] = {
        "[server.1\nurl=http://127.0.0.1:1\n",             // syntax
        "[group]\ngroupnameHint=Nobody\n",                 // no server left to reach
        "[server.1]\nurl=file:///etc/passwd\n",            // not a server
        std::string("[server.1]\nurl=http://a\0b\n", 24),  // embedded NUL
        "<settings><server url='http://127.0.0.1'/></settings>",
    };
    for (const std::string& payload : refused) {
        SCOPED_TRACE(payload);
        ASSERT_EQ(0u, Process(GroupSettingsAnswer("tok-bad", payload)));
        EXPECT_EQ(before, ReadText(commFile));
        EXPECT_EQ("0", session->GetGroupSettingsToken());
        // The comm settings callback means "applied": a refusal is heard
        // in the trace only.
        EXPECT_TRUE(g_calls.Take().empty());
    }
    EXPECT_EQ(5u, TraceLines::Count("Error writing out group settings. File: " + commFile));
    // Server codes that mean "nothing new" change nothing and say nothing.
    for (const char* code : {"1196818438", "1196818451"}) {  // 0x47560006, 0x47560013
        ASSERT_EQ(0u, Process(Answer("", Doc("get-policy-response", kPolicyNs, "gp",
                                             "<policy-item namespace='" + kGroupSettingsNs +
                                                 "' schema-version='1.0.0' code='" + code + "'/>"))));
    }
    EXPECT_TRUE(g_calls.Take().empty());
    EXPECT_EQ(before, ReadText(commFile));
    // Any other code is reported in the trace, and nothing changes either.
    ASSERT_EQ(0u, Process(Answer("", Doc("get-policy-response", kPolicyNs, "gp",
                                         "<policy-item namespace='" + kGroupSettingsNs +
                                             "' schema-version='1.0.0' code='5' text='no group'/>"))));
    EXPECT_EQ(1u, TraceLines::Count("CML error code while processing group settings. Code: 0x00000005 Text: no group"));
    EXPECT_EQ(before, ReadText(commFile));
}

TEST_F(Responses, UnknownRequestsAreAnsweredByOneErrorResponseHeartbeat) {
    std::string requests = Doc("get-agent-info-request", kAgentNs, "unknown-1") +
                           Doc("configure-task-request", kTaskNs, "task-1") +
                           Doc("something-else", "urn:not-ours", "foreign-1");
    for (int i = 0; i < 2000; ++i) requests += Doc("get-agent-status-request", kAgentNs, "flood-" + std::to_string(i));
    ASSERT_EQ(0u, Process(Answer(requests, "")));
    EXPECT_EQ(1u, TraceLines::Count("Unknown CML message received. Tag name: get-agent-info-request"));
    EXPECT_EQ(2000u, TraceLines::Count("Unknown CML message received. Tag name: get-agent-status-request"));
    EXPECT_EQ(0u, TraceLines::Count("configure-task-request"));  // other namespaces are skipped silently
    EXPECT_EQ(0u, TraceLines::Count("something-else"));
    ASSERT_TRUE(WaitFor([&] { return server.Count() >= 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(1u, server.Count());
    const std::string body = server.Body(0);
    ExpectContains(body, {"name='DesktopController' namespace='" + kBase + "/cml/DesktopController'",
                          "request-id='unknown-1' code='0xc7380004'", "text='zizozo razarivi - unrecognized request'",
                          "request-id='flood-1999'"});
    EXPECT_EQ(std::string::npos, body.find("task-1"));
    EXPECT_EQ(2001u, Occurrences(body, "<error-response"));
}

TEST_F(Responses, AFailingGenericCallbackDoesNotStopTheRest) {
    RegisterGenericResponse(&OnGeneric);
    RegisterResponseComplete(&OnComplete);
    g_genericThrows = true;
    ASSERT_EQ(0u, Process(Answer(
                      "", kAcknowledgement + Doc("error-response", kMessageNs, "e-1", "", " code='9' text='bad'"))));
    EXPECT_EQ(2, g_generic.load());
    std::vector<std::string> calls = g_calls.Take();
    ASSERT_EQ(3u, calls.size());
    EXPECT_EQ("generic error-response e-1 {agent} 9 bad last=1", calls[1]);
    EXPECT_EQ("complete hb-1", calls[2]);
    EXPECT_EQ(2u, TraceLines::Count("An exception occurred in the agent's generic response callback function"));
}

TEST_F(Responses, HostileAnswersAreRefusedAndTheSessionGoesOn) {
    RegisterGetSchemaRequest(&OnGetSchemaRequest);
    std::string deep = "<?xml version='1.0'?><ovx xmlns='" + kBase + "'>";
    for (int i = 0; i < 5000; ++i) deep += "<a>";
    const std::string hostile[] = {
        deep,
        "<?xml version='1.0'?><!DOCTYPE ovx [<!ENTITY a 'aaaaaaaaaa'><!ENTITY b '&a;&a;&a;&a;&a;&a;'>]><ovx>&b;</ovx>",
        "<?xml version='1.0'?><!DOCTYPE ovx SYSTEM 'file:///etc/passwd'><ovx/>",
        "<policy xmlns='" + kBase + "/cml/CommonDocuments/AvpSections' schema-version='2.0.1'/>",
        "not xml at all",
        std::string(1 << 20, '<'),
    };
    for (const std::string& answer : hostile) {
        EXPECT_EQ(OVX_E_BAD_RESPONSE, Process(answer)) << answer.substr(0, 80);
    }
    EXPECT_TRUE(g_calls.Take().empty());
    // Still working.
    ASSERT_EQ(0u, Process(Answer(kThreeSchemas, "")));
    EXPECT_EQ(3u, g_calls.Take().size());
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, session->HelperProcessHeartbeatResponse(nullptr, 10));
}

// A refused answer gives back what reading it took, as a read one does: the
// parser's buffers grow to the largest value met and would otherwise stay.
// (Large blocks are mapped apart from the heap: both count.)
TEST_F(Responses, ARefusedLargeAnswerGivesItsMemoryBack) {
    auto inUse = [] {
        const struct mallinfo2 info = mallinfo2();
        return info.uordblks + info.hblkhd;
    };
    const std::string small = Answer(kThreeSchemas, "");
    ASSERT_EQ(0u, Process(small));
    g_calls.Take();
    const size_t before = inUse();
    if (before == 0) GTEST_SKIP() << "this allocator keeps no malloc statistics";
    std::string large = Answer("", Doc("get-policy-response", kPolicyNs, "gp-1",
                                       "<policy-item name='large' namespace='urn:large' schema-version='1.0.0' "
                                       "token='1'><policy xmlns='urn:large' blob='" +
                                           std::string(12 << 20, 'x') + "'/></policy-item>"));
    large.resize(large.size() - 12);
    EXPECT_EQ(OVX_E_BAD_RESPONSE, Process(large));
    std::string().swap(large);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(0u, Process(small));
    EXPECT_LT(inUse(), before + (4u << 20));
}

// ---- callbacks that call back

namespace {

std::atomic<int> g_reentered{0};
uint32_t CallBackIn(const char*, uint32_t, uint32_t, const char* agent, const char*, const char*, const char*, uint32_t,
                    const char*, const char*, uint32_t, uint8_t) {
    SS_HMESSAGE heartbeat = nullptr;
    if (CreateHeartbeat(&heartbeat, agent, "sensor", "urn:sensors", "5.0", "127.0.0.1") != 0) return 1;
    SS_HMODULE module = nullptr;
    AddModuleInfo(heartbeat, "m", "1", 0, &module);
    PostHeartbeat(heartbeat, nullptr, nullptr);
    PostPing(nullptr, nullptr);
    SS_StartAliveHeartbeats(10, 10);
    SS_StopAliveHeartbeats();
    RegisterGenericResponse(&OnGeneric);
    char* id = nullptr;
    if (SS_GetAgentId(&id) == 0) SS_Free(id);
    ++g_reentered;
    return 0;
}

}  // namespace

TEST_F(Responses, ACallbackMayCallAnyExportedFunction) {
    RegisterGetSchemaRequest(&CallBackIn);
    g_reentered = 0;
    server.Then(Answer(kThreeSchemas, ""));
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat(), nullptr, nullptr));
    // On the dispatch thread: the heartbeats posted from the callback follow.
    ASSERT_TRUE(WaitFor([] { return g_reentered.load() == 3; }));
    ASSERT_TRUE(WaitFor([&] { return server.Count() >= 2; }));
    EXPECT_FALSE(session->HasAliveThread());
}

class WorkerResponses : public Responses {
protected:
    std::string Flags() override { return "processResponseThread=1\n"; }
};

TEST_F(WorkerResponses, AnswersAreProcessedOnTheWorkerThreadInOrder) {
    RegisterResponseComplete(&OnComplete);
    {
        for (int i = 0; i < 5; ++i) server.Then(Answer("", "", kDestination, "hb-" + std::to_string(i)));
    }
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(0u, PostHeartbeat(Heartbeat(), nullptr, nullptr));
        ASSERT_TRUE(WaitFor([&] { return server.Count() == static_cast<size_t>(i + 1); }));
    }
    ASSERT_TRUE(WaitFor([] { return g_calls.Size() == 5; }));
    std::vector<std::string> calls = g_calls.Take();
    for (int i = 0; i < 5; ++i) EXPECT_EQ("complete hb-" + std::to_string(i), calls[i]);
}

TEST_F(Responses, GroupSettingsFromTheServerAreAppliedAndAskedForWithTheirToken) {
    const std::string settings =
        "[group]\nschemaVersion=1.0.0\ngroupnameHint=Servers\n[server.1]\nurl=" + server.Url() + "\n";
    server.Then(GroupSettingsAnswer("tok-7", settings));
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat(), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return session->GetGroupSettingsToken() == "tok-7"; }));
    EXPECT_EQ(settings, ReadText(commFile));
    ASSERT_EQ(0u, PostHeartbeat(Heartbeat(), nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return server.Count() == 2; }));
    ExpectContains(server.Body(1), {"token='tok-7'"});
}
