// The server's answers to heartbeats: sorting, the agent's callbacks and
// their arguments, group settings, unknown requests and hostile answers.
#include <malloc.h>

#include <regex>

#include "HeartbeatServer.h"

using namespace ovxTest;

namespace {

Recorder g_calls;
std::atomic<bool> g_genericThrows{false};

// The schema and the policy callbacks, each kind recording its arguments.
const char* const kKinds[] = {"get-schema-request",  "set-schema-request",  "get-schema-response",
                              "set-schema-response", "get-policy-response", "set-policy-response",
                              "comm-settings"};
template <int kind>
uint32_t OnSchema(const char* id, uint32_t idLength, uint32_t zero, const char* agent, const char* name, const char* ns,
                  const char* version, uint32_t code, const char* text, const char* schema, uint32_t schemaLength,
                  uint8_t last) {
    return g_calls.Add(std::string(kKinds[kind]) + " " + Str(id, idLength) + " " + std::to_string(zero) + " " +
                       Str(agent) + " " + Str(name) + " " + Str(ns) + " " + Str(version) + " " + std::to_string(code) +
                       " " + Str(text) + " " + Str(schema, schemaLength) + " last=" + std::to_string(last));
}
template <int kind>
uint32_t OnPolicy(const char* id, uint32_t idLength, uint32_t, const char* agent, const char* token, const char* name,
                  const char* ns, const char* schemaVersion, uint32_t code, const char* text, const uint8_t* data,
                  uint32_t dataLength, uint8_t last) {
    return g_calls.Add(std::string(kKinds[kind]) + " " + Str(id, idLength) + " " + Str(agent) + " " + Str(token) + " " +
                       Str(name) + " " + Str(ns) + " " + Str(schemaVersion) + " " + std::to_string(code) + " " +
                       Str(text) + " [" + Str(reinterpret_cast<const char*>(data), dataLength) +
                       "] last=" + std::to_string(last));
}

uint32_t OnGeneric(const char* tag, const char* id, uint32_t, const char* agent, uint32_t code, const char* text,
                   uint8_t last) {
    g_calls.Add("generic " + Str(tag) + " " + Str(id) + " " + Str(agent) + " " + std::to_string(code) + " " +
                Str(text) + " last=" + std::to_string(last));
    if (g_genericThrows.load()) throw std::runtime_error("agent bug");
    return 0;
}

uint32_t OnComplete(const char* responseTo) { return g_calls.Add("complete " + Str(responseTo)); }

constexpr unsigned kGetSchemaRequest = 1, kSetSchemaRequest = 2, kGetSchemaResponse = 4, kSetSchemaResponse = 8,
                   kGetPolicy = 16, kSetPolicy = 32, kComm = 64, kGeneric = 128,
                   kThrowing = 256 /* a generic that throws */, kComplete = 512, kGroup = 1024;

struct Responses : ServedSession {
    void SetUp() override {
        server.Default(Answer("", ""));
        ServedSession::SetUp();
        g_calls.Take();
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
const std::string kGetSchemaCalls[] = {"get-schema-request g-1 0 {agent} A urn:a 1.0 0 (null) (null) last=0",
                                       "get-schema-request g-1 0 {agent} B urn:b 2.0 0 (null) (null) last=0",
                                       "get-schema-request g-1 0 {agent} C urn:c 3.0 0 (null) (null) last="};

// `pattern` with each '*' standing for any text.
bool Matches(std::string_view pattern, std::string_view text) {
    if (pattern.empty() || pattern[0] != '*')
        return pattern.empty() ? text.empty()
                               : !text.empty() && pattern[0] == text[0] && Matches(pattern.substr(1), text.substr(1));
    return Matches(pattern.substr(1), text) || (!text.empty() && Matches(pattern, text.substr(1)));
}

// Each answer is read by a fresh session with the callbacks of its row: the
// calls it gives in order (with their arguments and the last flag, which
// falls on the final call), the trace lines it writes, and its status. Group
// settings applied replace the comm settings file (the agent's alone to
// read), the service library reloads them and the next heartbeat asks with
// their token; any other answer changes none of these. Whatever the answer,
// the session reads the next one.
const std::string kLaptop = "[group]\nschemaVersion=1.0.0\ngroupnameHint=Laptops\n[server.1]\nurl=http://127.0.0.1:1\n";
struct AnswerCase {
    const char* name;
    unsigned callbacks;
    std::string answer;
    std::vector<std::string> calls;
    std::vector<std::pair<std::string, size_t>> traces;  // "{comm}" is the comm settings file
    uint32_t status;
    std::string token;  // the group settings token after it: "0" when none were applied
};
void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.name; }

struct AnswerCallbacks : Responses, ::testing::WithParamInterface<AnswerCase> {};

TEST_P(AnswerCallbacks, ReachTheAgentAsTheRulesSay) {
    const AnswerCase& c = GetParam();
    const std::string before = ReadText(commFile);
    if (c.callbacks & kGetSchemaRequest) RegisterGetSchemaRequest(&OnSchema<0>);
    if (c.callbacks & kSetSchemaRequest) RegisterSetSchemaRequest(&OnSchema<1>);
    if (c.callbacks & kGetSchemaResponse) RegisterGetSchemaResponse(&OnSchema<2>);
    if (c.callbacks & kSetSchemaResponse) RegisterSetSchemaResponse(&OnSchema<3>);
    if (c.callbacks & kGetPolicy) RegisterGetPolicyResponse(&OnPolicy<4>);
    if (c.callbacks & kSetPolicy) RegisterSetPolicyResponse(&OnPolicy<5>);
    if (c.callbacks & kComm) RegisterCommSettingsResponse(&OnPolicy<6>);
    if (c.callbacks & kGroup) RegisterGroupSettingsResponse(&OnPolicy<6>);
    if (c.callbacks & (kGeneric | kThrowing)) RegisterGenericResponse(&OnGeneric);
    if (c.callbacks & kComplete) RegisterResponseComplete(&OnComplete);
    g_genericThrows = (c.callbacks & kThrowing) != 0;
    EXPECT_EQ(c.status, Process(c.answer));
    const std::vector<std::string> got = g_calls.Take();
    ASSERT_EQ(c.calls.size(), got.size()) << ::testing::PrintToString(got);
    for (size_t i = 0; i < got.size(); ++i) EXPECT_TRUE(Matches(c.calls[i], got[i])) << c.calls[i] << "\n" << got[i];
    for (const auto& [line, count] : c.traces)
        EXPECT_EQ(count, Says(std::regex_replace(line, std::regex("\\{comm\\}"), commFile))) << line;
    const bool applied = c.token != "0";
    EXPECT_EQ(applied ? kLaptop : before, ReadText(commFile));
    EXPECT_EQ(applied ? 0600u : Mode(commFile), Mode(commFile));
    EXPECT_EQ(c.token, session->GetGroupSettingsToken());
    char *schemaVersion = nullptr, *hint = nullptr;
    const auto& scs = mslLoader_ovxSessionConfigSvcs::Scs();
    ASSERT_EQ(0u, scs.SCS_GetCommSettingsInfo(session->DefaultDestination(), 0, 0, &schemaVersion, &hint));
    EXPECT_EQ(applied ? "Laptops" : "Servers", Str(hint));
    for (char* text : {schemaVersion, hint}) scs.SCS_Free(text);
    std::vector<char> text(64 * 1024);
    uint32_t length = static_cast<uint32_t>(text.size());
    ASSERT_EQ(0u, session->QueueHeartbeatRequest(Heartbeat(), text.data(), &length));
    ExpectContains(std::string(text.data(), length), {"token='" + c.token + "'/>"});
    RegisterResponseComplete(&OnComplete);
    g_genericThrows = false;
    ASSERT_EQ(0u, Process(Answer("", "", kDestination, "next")));
    EXPECT_EQ(std::vector<std::string>{"complete next"}, g_calls.Take());
}

std::string Deep() {
    std::string deep = "<?xml version='1.0'?><ovx xmlns='" + kBase + "'>";
    for (int i = 0; i < 5000; ++i) deep += "<a>";
    return deep;
}
std::string Item(const std::string& name, const std::string& content) {
    return "<policy-item name='" + name + "' namespace='urn:blob' schema-version='1.0.0' token='t'><content xmlns='" +
           kBase64Ns + "'>" + content + "</content></policy-item>";
}
std::string GroupSettingsCode(const std::string& code) {
    return Answer("", Doc("get-policy-response", kPolicyNs, "gp",
                          "<policy-item namespace='" + kGroupSettingsNs + "' schema-version='1.0.0' code='" + code +
                              "' text='no group'/>"));
}
AnswerCase Row(const char* name, unsigned callbacks, const std::string& answer, std::vector<std::string> calls = {},
               std::vector<std::pair<std::string, size_t>> traces = {}, uint32_t status = 0, std::string token = "0") {
    return {name, callbacks, answer, std::move(calls), std::move(traces), status, std::move(token)};
}
AnswerCase Unwritable(const char* name, const std::string& text) {
    return Row(name, kComm, GroupSettingsAnswer("t", text), {},
               {{"Error writing out group settings. File: {comm}", 1}});
}
// Answers the parser refuses reach no callback.
AnswerCase Refused(const char* name, const std::string& answer) {
    return Row(name, kGetSchemaRequest, answer, {}, {}, OVX_E_BAD_RESPONSE);
}
const std::string kCodeTraced = "CML error code while processing group settings. Code: ";

const AnswerCase kAnswerCases[] = {
    Row("WithoutDestination", kGetSchemaRequest | kComplete, Answer(kThreeSchemas, "", ""), {},
        {{"no destination agents specified in response", 1}}, OVX_E_BAD_RESPONSE),
    // The last flag falls on the final call before the generic responses;
    // with a generic callback on the generic response that ends the answer,
    // or without a generic response on the policy after the schema requests.
    Row("LastOnTheFinalItem", kGetSchemaRequest | kComplete, Answer(kThreeSchemas, kAcknowledgement),
        {kGetSchemaCalls[0], kGetSchemaCalls[1], kGetSchemaCalls[2] + "1", "complete hb-1"}),
    Row("LastOnTheGenericResponse", kGetSchemaRequest | kGeneric | kComplete, Answer(kThreeSchemas, kAcknowledgement),
        {kGetSchemaCalls[0], kGetSchemaCalls[1], kGetSchemaCalls[2] + "0",
         "generic agent-startup-acknowledgement hb-req {agent} 0  last=1", "complete hb-1"}),
    Row("LastOnThePolicy", kGetSchemaRequest | kGeneric | kGetPolicy | kComplete,
        Answer(kThreeSchemas, Doc("get-policy-response", kPolicyNs, "gp-1", Base64Item("urn:blob", "t", "x", "blob"))),
        {kGetSchemaCalls[0], kGetSchemaCalls[1], kGetSchemaCalls[2] + "0",
         "get-policy-response gp-1 {agent} t blob urn:blob 1.0.0 0 (null) [x] last=1", "complete hb-1"}),
    // Policies reach the agent decoded or as XML; group settings (the other
    // name of the comm settings registration) replace the comm settings.
    Row("PoliciesAndGroupSettings", kGetPolicy | kGroup,
        Answer("", Doc("get-policy-response", kPolicyNs, "gp-1",
                       "<policy-item name='fw' namespace='urn:firewall' schema-version='1.0.0' token='t-fw'><rules "
                       "xmlns='urn:firewall' name='fw'><rule port='22'/></rules></policy-item>" +
                           Base64Item(kGroupSettingsNs, "tok-2", kLaptop) +
                           Base64Item("urn:blob", "t-blob", std::string("\x01\x00\xfe\xff", 4), "blob"))),
        {"get-policy-response gp-1 {agent} t-fw fw urn:firewall 1.0.0 0 (null) [<*<rule port='22'/>*] last=0",
         "comm-settings gp-1 {agent} tok-2  " + kGroupSettingsNs + " 1.0.0 0 (null) [" + kLaptop + "] last=0",
         "get-policy-response gp-1 {agent} t-blob blob urn:blob 1.0.0 0 (null) [" + std::string("\x01\x00\xfe\xff", 4) +
             "] last=1"},
        {}, 0, "tok-2"),
    // One call per item; a response without items gives one with empty arguments.
    Row("SetResponsesWithoutItems", kSetPolicy | kSetSchemaResponse,
        Answer("", Doc("set-policy-response", kPolicyNs, "sp-1") + Doc("set-schema-response", kSchemaNs, "ss-1")),
        {"set-policy-response sp-1 {agent} (null) (null) (null) (null) 0 (null) [(null)] last=0",
         "set-schema-response ss-1 0 {agent} (null) (null) (null) 0 (null) (null) last=1"}),
    Row("SetResponsesPerItem", kSetPolicy | kSetSchemaResponse,
        Answer("", Doc("set-policy-response", kPolicyNs, "sp-2",
                       "<policy-item name='p1' namespace='urn:p' schema-version='1.0.0' token='t1' code='5' "
                       "text='bad'/><policy-item name='p2' namespace='urn:p' schema-version='1.0.1' token='t2'/>") +
                       Doc("set-schema-response", kSchemaNs, "ss-2",
                           "<schema-info namespace='urn:s' version='1.0' name='S' code='9' text='no'/>")),
        {"set-policy-response sp-2 {agent} t1 p1 urn:p 1.0.0 5 bad [(null)] last=0",
         "set-policy-response sp-2 {agent} t2 p2 urn:p 1.0.1 0 (null) [(null)] last=0",
         "set-schema-response ss-2 0 {agent} S urn:s 1.0 9 no (null) last=1"}),
    // The set-schema-request and the get-schema-response go first (list S),
    // its schema as UTF-8 XML; the last flag falls after them.
    Row("SchemaTextsAndCodes", kSetSchemaRequest | kGetSchemaResponse | kSetPolicy,
        Answer(Doc("set-schema-request", kSchemaNs, "set-1",
                   "<schema-info namespace='urn:a' version='1.0' name='A'><schema xmlns='http://www.w3.org/2001/"
                   "XMLSchema' targetNamespace='urn:a'><element name='e'/></schema></schema-info>"),
               Doc("get-schema-response", kSchemaNs, "agent-req",
                   "<schema-info namespace='urn:b' version='2.0' name='B' code='7' text='not here'/>") +
                   Doc("set-policy-response", kPolicyNs, "sp-1")),
        {"set-schema-request set-1 0 {agent} A urn:a 1.0 0 (null) <schema *targetNamespace='urn:a'*<element "
         "name='e'/>* last=0",
         "get-schema-response agent-req 0 {agent} B urn:b 2.0 7 not here (null) last=0",
         "set-policy-response sp-1 {agent} (null) (null) (null) (null) 0 (null) [(null)] last=1"}),
    // An item whose content cannot be read is skipped with a line saying why;
    // group settings with neither content nor code change nothing.
    Row("UnreadableItemsSkipped", kGetPolicy | kComm,
        Answer("", Doc("get-policy-response", kPolicyNs, "gp-1",
                       Item("empty", "") + Item("element", "<x xmlns='urn:x'/>") + Item("not-base64", "!!!!") +
                           Item("good", "AQI=") + "<policy-item namespace='" + kGroupSettingsNs +
                           "' schema-version='1.0.0' token='tok-none'/>")),
        {"get-policy-response gp-1 {agent} t good urn:blob 1.0.0 0 (null) [\x01\x02] last=1"},
        {{"Missing child content", 1}, {"Invalid child content", 2}, {"Group settings missing and no error.", 1}}),
    // An unreadable item at the end leaves the last flag on the one before.
    Row("UnreadableLastItem", kGetPolicy,
        Answer("", Doc("get-policy-response", kPolicyNs, "gp-1", Item("good", "AQI=") + Item("not-base64", "!!!!"))),
        {"get-policy-response gp-1 {agent} t good urn:blob 1.0.0 0 (null) [\x01\x02] last=1"},
        {{"Invalid child content", 1}}),
    // Answers of a kind the agent registered no callback for reach nobody.
    Row("WithoutTheirCallbacks", kComplete,
        Answer(kThreeSchemas + Doc("set-schema-request", kSchemaNs, "set-1",
                                   "<schema-info namespace='urn:a' version='1.0' name='A'/>"),
               Doc("get-schema-response", kSchemaNs, "g", "<schema-info namespace='urn:b' version='2.0'/>") +
                   Doc("set-schema-response", kSchemaNs, "s") + Doc("set-policy-response", kPolicyNs, "p") +
                   kAcknowledgement),
        {"complete hb-1"}),
    // The out-of-band response is generic as the error response is; one of a
    // kind heartbeats do not handle (the attachment's) is unknown.
    Row("OutOfBandGenericForeignUnknown", kGeneric,
        Answer("", Doc("out-of-band-response", kMessageNs, "r-0", "", " code='3' text='later'") +
                       Doc("attach-to-site-response", kAgentNs, "r-1") + Doc("error-response", kMessageNs, "r-2")),
        {"generic out-of-band-response r-0 {agent} 3 later last=0", "generic error-response r-2 {agent} 0  last=1"},
        {{"Unknown CML message received. Tag name: attach-to-site-response", 1}}),
    Row("AThrowingGenericCallbackStopsNothing", kThrowing | kComplete,
        Answer("", kAcknowledgement + Doc("error-response", kMessageNs, "e-1", "", " code='9' text='bad'")),
        {"generic agent-startup-acknowledgement hb-req {agent} 0  last=0",
         "generic error-response e-1 {agent} 9 bad last=1", "complete hb-1"},
        {{"An exception occurred in the agent's generic response callback function", 2}}),
    // Group settings that cannot be read change nothing; the comm settings
    // callback means "applied": a refusal is heard in the trace only.
    Unwritable("SettingsSyntax", "[server.1\nurl=http://127.0.0.1:1\n"),
    Unwritable("SettingsWithoutServer", "[group]\ngroupnameHint=Nobody\n"),
    Unwritable("SettingsNotAServer", "[server.1]\nurl=file:///etc/passwd\n"),
    Unwritable("SettingsWithNul", std::string("[server.1]\nurl=http://a\0b\n", 24)),
    Unwritable("SettingsNotIni", "<settings><server url='http://127.0.0.1'/></settings>"),
    // Codes that mean "nothing new" say nothing; any other is traced.
    Row("NothingNew", kComm, GroupSettingsCode("1196818438"), {}, {{kCodeTraced, 0}}),  // 0x47560006
    Row("NothingNewEither", kComm, GroupSettingsCode("1196818451"), {}, {{kCodeTraced, 0}}),
    Row("ErrorCode", kComm, GroupSettingsCode("5"), {}, {{kCodeTraced + "0x00000005 Text: no group", 1}}),
    Refused("Deep", Deep()),
    Refused(
        "EntityExpansion",
        "<?xml version='1.0'?><!DOCTYPE ovx [<!ENTITY a 'aaaaaaaaaa'><!ENTITY b '&a;&a;&a;&a;&a;&a;'>]><ovx>&b;</ovx>"),
    Refused("ExternalEntity", "<?xml version='1.0'?><!DOCTYPE ovx SYSTEM 'file:///etc/passwd'><ovx/>"),
    Refused("NotAMessage", "<policy xmlns='" + kBase + "/cml/CommonDocuments/AvpSections' schema-version='2.0.1'/>"),
    Refused("NotXml", "not xml at all"),
    Refused("OpeningBrackets", std::string(1 << 20, '<')),
};
INSTANTIATE_TEST_SUITE_P(Cases, AnswerCallbacks, ::testing::ValuesIn(kAnswerCases),
                         [](const ::testing::TestParamInfo<AnswerCase>& info) { return std::string(info.param.name); });

TEST_F(Responses, UnknownRequestsAreAnsweredByOneErrorResponseHeartbeat) {
    std::string requests = Doc("get-agent-info-request", kAgentNs, "unknown-1") +
                           Doc("configure-task-request", kTaskNs, "task-1") +
                           Doc("something-else", "urn:not-ours", "foreign-1");
    for (int i = 0; i < 2000; ++i) requests += Doc("get-agent-status-request", kAgentNs, "flood-" + std::to_string(i));
    ASSERT_EQ(0u, Process(Answer(requests, "")));
    EXPECT_EQ(1u, Says("Unknown CML message received. Tag name: get-agent-info-request"));
    EXPECT_EQ(2000u, Says("Unknown CML message received. Tag name: get-agent-status-request"));
    EXPECT_EQ(0u, Says("configure-task-request"));  // other namespaces are skipped silently
    EXPECT_EQ(0u, Says("something-else"));
    ASSERT_TRUE(WaitFor([&] { return server.Count() >= 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(1u, server.Count());
    const std::string body = server.Body(0);
    ExpectContains(body, {"name='DesktopController' namespace='" + kBase + "/cml/DesktopController'",
                          "request-id='unknown-1' code='0xc7380004'", "text='zizozo razarivi - unrecognized request'",
                          "request-id='flood-1999'"});
    EXPECT_EQ(std::string::npos, body.find("task-1"));
    EXPECT_EQ(2001u, Occurrences(body, "<error-response"));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, session->HelperProcessHeartbeatResponse(nullptr, 10));
}

// A refused answer gives back what reading it took, as a read one does: the
// parser's buffers grow to the largest value met and would otherwise stay.
// (Large blocks are mapped apart from the heap: both count.)
TEST_F(Responses, ARefusedLargeAnswerGivesItsMemoryBack) {
    auto inUse = [] { return mallinfo2().uordblks + mallinfo2().hblkhd; };
    const std::string small = Answer(kThreeSchemas, "");
    ASSERT_EQ(0u, Process(small));
    const size_t before = inUse();
    if (before == 0) GTEST_SKIP() << "this allocator keeps no malloc statistics";
    std::string large = LargePolicyAnswer("gp-1", 12 << 20);
    large.resize(large.size() - 12);
    EXPECT_EQ(OVX_E_BAD_RESPONSE, Process(large));
    std::string().swap(large);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(0u, Process(small));
    EXPECT_LT(inUse(), before + (4u << 20));
}

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

TEST_F(Responses, ACallbackMayCallAnyExportedFunction) {
    RegisterGetSchemaRequest(&CallBackIn);
    server.Then(Answer(kThreeSchemas, ""));
    // On the dispatch thread: the heartbeats posted from the callback follow.
    ASSERT_TRUE(Posted(Heartbeat(), [] { return g_reentered.load() == 3; }));
    ASSERT_TRUE(WaitFor([&] { return server.Count() >= 2; }));
    EXPECT_FALSE(session->HasAliveThread());
}

struct WorkerResponses : Responses {
    std::string Flags() override { return "processResponseThread=1\n"; }
};

TEST_F(WorkerResponses, AnswersAreProcessedOnTheWorkerThreadInOrder) {
    RegisterResponseComplete(&OnComplete);
    for (int i = 0; i < 5; ++i) server.Then(Answer("", "", kDestination, "hb-" + std::to_string(i)));
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(Posted("sensor", i + 1));
    ASSERT_TRUE(WaitFor([] { return g_calls.Size() == 5; }));
    EXPECT_THAT(g_calls.Take(),
                ElementsAre("complete hb-0", "complete hb-1", "complete hb-2", "complete hb-3", "complete hb-4"));
}
}  // namespace
