// The builders through the exported entries, on a live session.
#include "support/Checks.h"
#include "SessionFixture.h"
#include "cml/documents/cmlAgentInfo.h"
#include "cml/documents/cmlPolicy.h"

using namespace ovxSensorServices;
using namespace ovx::cml;
using namespace ovxTest;

namespace {

const char* const kNull = "A required input parameter is NULL.";

struct Builders : SessionFixture {
    void SetUp() override {
        SessionFixture::SetUp();
        ASSERT_EQ(0u, Init());
        ASSERT_EQ(0u, CreateHeartbeat(&heartbeat, "{agent}", "Sensor", "urn:sensors", "5.0.1", "fe80::1%eth0"));
        ASSERT_EQ(0u, CreateMessage(&plain, "{agent}", "Sensor", "urn:sensors"));
    }
    void TearDown() override {
        FreeHeartbeat(heartbeat);
        FreeMessage(plain);
        SessionFixture::TearDown();
    }
    static CCmlMessage& Of(SS_HMESSAGE handle) { return *reinterpret_cast<CCmlMessage*>(handle); }
    CAgentInfoContent& Content() {
        return static_cast<CAgentStartupAnnouncement*>(Of(heartbeat).GetRequests()[0])->GetContent();
    }
    static std::string Written(const CCmlDocumentBase& cml) {
        std::ostringstream out;
        cml.Serialize(out);
        return out.str();
    }
    SS_HMESSAGE heartbeat = nullptr, plain = nullptr;
    const std::nullptr_t no = nullptr;  // an argument left out, short enough for a table's row
};

}  // namespace

// A heartbeat names its agent and the manager, carries its announcement
// with the supported schemas, and takes the agent's description.
TEST_F(Builders, AHeartbeatCarriesItsAnnouncementAndTheAgentsDescription) {
    CCmlMessage& message = Of(heartbeat);
    ASSERT_EQ("1 1", Joined({message.GetDestinations().size(), message.GetRequests().size()}));
    // The message id is a GUID in text form; the zone of the address is cut.
    const CAgentInfo& manager = message.GetDestinations()[0];
    EXPECT_EQ(std::wstring(L"{agent} AgentManager ") + kNsAgentManager + L" 36 fe80::1 5.0.1 8",
              WJoined({message.GetSource().GetAgentId(), manager.GetName(), manager.GetNamespace(),
                       message.GetMessageId().size(), Content().host.ipAddress, Content().version,
                       Content().schemas.size()}));
    EXPECT_NE(message.GetMessageId(), message.GetRequests()[0]->GetRequestId());
    EXPECT_TRUE(Of(plain).GetRequests().empty());
    EXPECT_EQ(0u, SetBasicAgentInfo(heartbeat, no, no, 7, no, 0xC7210005u, no, no, no, no, 1, 0));
    // No set-schema-request callback is registered: no new schemas are asked for.
    const CAgentInfoContent& c = Content();
    EXPECT_EQ(L"7 3340828677 1 false  0", WJoined({c.packageStatus, c.agentStatus, c.useLocalSettings, c.registerAgent,
                                                   c.model, c.sendNewSchemas}));
    const std::string longest(4095, 'n');
    EXPECT_EQ(0u, SetHostInfo(heartbeat, longest.c_str(), "10.0.0.1%2", "Linux", 0, no, no, no, no));
    EXPECT_EQ(L"4095 10.0.0.1", WJoined({Content().host.hostName.size(), Content().host.ipAddress}));
}

// Every builder refuses a handle, text or request id it cannot do without,
// a text or request id too long, a request id holding what XML cannot carry
// and a description for a plain message (it has no announcement to
// describe), with a line that says why; a request id that is merely not
// UTF-8 is taken with a warning.
TEST_F(Builders, EveryBuilderRefusesWhatItCannotDoWithoutAndSaysWhy) {
    SS_HMODULE module = nullptr;
    ASSERT_EQ(0u, AddModuleInfo(heartbeat, "m", "1.0", 0, &module));
    const char* const x = "<x/>";
    const std::string tooLong(4096, 'r');
    const char* const kTooLarge = "An input parameter is too large.";
    const char* const kNotUtf8 =
        "An input parameter is not well-formed UTF-8; U+FFFD stands for its ill-formed bytes: requestId";
#define ROW(call) #call, [&] { return call; }
    struct Row {
        const char* name;
        std::function<uint32_t()> call;
        uint32_t status = OVX_E_INVALID_ARGUMENT;
        const char* said = kNull;
    };
    // clang-format off
    const Row rows[] = {
        {ROW(CreateMessage(no, "a", "n", "u"))}, {ROW(CreateHeartbeat(no, "a", "n", "u", "5.0", "127.0.0.1"))},
        {ROW(SetBasicAgentInfo(no, no, no, 0, no, 0, no, no, no, no, 0, 0))},
        {ROW(SetBasicAgentInfo(plain, no, no, 0, no, 0, no, no, no, no, 0, 0)), OVX_E_UNEXPECTED, "Heartbeat message is missing its startup announcement"},
        {ROW(SetAgentInfo(no, "1", "5", 0, no, no))}, {ROW(SetAgentInfo(no, "1", no, 0, no, no))},
        {ROW(SetHostInfo(no, "h", no, no, 0, no, no, no, no))},
        {ROW(SetHostInfo(heartbeat, tooLong.c_str(), no, no, 0, no, no, no, no)), OVX_E_INVALID_ARGUMENT, kTooLarge},
        {ROW(AddModuleInfo(no, "m", "1", 0, no))}, {ROW(AddModuleInfo(heartbeat, no, "1", 0, no))},
        {ROW(AddSchemaInfo(no, "s", "u", "1", 0, 0, 0, 0))}, {ROW(AddAgentParams(no, x, 4))},
        {ROW(AddAgentParams(heartbeat, x, 0))}, {ROW(AddAgentParams(heartbeat, no, 4))},
        {ROW(AddModuleInfoParams(no, x, 4))}, {ROW(AddModuleInfoParams(module, no, 4))},
        {ROW(AddModuleInfoParams(module, x, 0))}, {ROW(AddSetPolicyRequest(no, x, 4, no, no))},
        {ROW(AddSetPolicyRequest(plain, no, 4, no, no))}, {ROW(AddSetPolicyRequest(plain, x, 0, no, no))},
        {ROW(AddSetSchemaRequest(no, "s", "u", "1", 0, x, 4, no, no))},
        {ROW(AddSetSchemaRequest(plain, "s", "u", "1", 0, no, 4, no, no))},
        {ROW(AddSetSchemaRequest(plain, "s", "u", "1", 0, x, 0, no, no))},
        {ROW(AddGetSchemaResponse(no, "s", "u", "1", 0, no, 0, no, 0, "r", 1))},
        {ROW(AddGetSchemaResponse(plain, "s", "u", "1", 0, no, 0, no, 0, no, 1))},
        {ROW(AddGetSchemaResponse(plain, "s", "u", "1", 0, no, 0, no, 0, "r", 0))},
        {ROW(AddGetSchemaResponse(plain, "s", "u", "1", 0, no, 0, no, 0, tooLong.c_str(), 4096)), OVX_E_INVALID_ARGUMENT, kTooLarge},
        {ROW(AddGetPolicyRequest(no, "0", "p", "u", no, no, no))},
        {ROW(AddSetPolicyResponse(no, "p", "u", "1", 0, no, no, "r", 1))},
        {ROW(AddSetPolicyResponse(plain, "p", "u", "1", 0, no, no, no, 1))},
        {ROW(AddSetPolicyResponse(plain, "p", "u", "1", 0, no, no, "r\xff", 2)), 0u, kNotUtf8},
        {ROW(AddGetSchemaRequest(no, "s", "u", "1", no, no))},
        {ROW(AddSetSchemaResponse(no, "s", "u", "1", 0, no, "r", 1))},
        {ROW(AddSetSchemaResponse(plain, "s", "u", "1", 0, no, no, 1))},
        {ROW(AddSetSchemaResponse(plain, "s", "u", "1", 0, no, "r", 0))},
        {ROW(AddSetSchemaResponse(plain, "s", "u", "1", 0, no, "r\x01", 2)), OVX_E_INVALID_ARGUMENT,
         "An input parameter holds a character XML cannot carry: requestId"}};
    // clang-format on
    for (const Row& row : rows) EXPECT_EQ(Joined({row.status, 1}), AnswerAndLines(row.said, row.call)) << row.name;
#undef ROW
}

// A last restart must name an instant that exists; a value the reading
// would store but no calendar has is refused like one that does not read.
TEST_F(Builders, ALastRestartIsADateAndTimeThatExists) {
    const std::string kInvalid = "Invalid ISO 8601 date time parameter.";
    const char* const refused[] = {
        "2007-13-45T99:99:99+00:00", "2007-13-01T10:00:00Z",   "2007-00-01T10:00:00Z",      "2007-01-45T10:00:00Z",
        "2023-02-29T10:00:00Z",      "2007-04-31T10:00:00Z",   "2007-01-01T25:00:00Z",      "2007-01-01T24:00:01Z",
        "2007-01-01T10:60:00Z",      "2007-01-01T10:00:61Z",   "2007-01-01T10:00:00+15:00", "2007-01-01T10:00:00+05:60",
        "2007-01-00T10:00:00Z",      "2007-01-01T24:00:00.5Z", "2007-01-01T10:00:00-15:00"};
    const char* const accepted[] = {"2007-01-01T10:00:00-14:00", "2024-02-29T10:00:00Z", "2000-02-29T23:59:60.5-05:30",
                                    "2007-12-31T24:00:00Z",      "2007-01-15T10:04:05",  "2007-01-15T10:04:05+14:00"};
    auto set = [&](const char* t) { return SetBasicAgentInfoEx(heartbeat, no, no, 0, no, 0, no, no, no, no, 0, 0, t); };
    for (const char* text : refused)
        EXPECT_EQ(Joined({OVX_E_INVALID_ARGUMENT, 1}), AnswerAndLines(kInvalid, [&] { return set(text); })) << text;
    for (const char* text : accepted) {
        EXPECT_EQ(0u, set(text)) << text;
        EXPECT_EQ(Wide(text), Content().lastRestart);
    }
}

// Bytes that are not UTF-8 still reach the server (as U+FFFD), with one
// warning that names the argument; well-formed text of every length says
// nothing. Module handles stay valid as more modules are added.
TEST_F(Builders, IllFormedUtf8IsCarriedAndSaidAndModuleHandlesStayValid) {
    SS_HMODULE first = nullptr;
    ASSERT_EQ(0u, AddModuleInfo(heartbeat, "scanner", "2.1", 0, &first));
    // clang-format off
    const char* const illFormed[] = {"\xC0\xAF", "\xC1\xBF", "\xE0\x80\xAF", "\xE0\x9F\xBF", "\xF0\x80\x80\xAF",
        "\xF0\x8F\xBF\xBF", "\xED\xA0\x80", "\xED\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF", "\xFE",
        "\x80", "\xBF", "\xC3", "\xE2\x82", "\xF0\x9F\x98"};
    // clang-format on
    const std::string warning = "An input parameter is not well-formed UTF-8; U+FFFD stands for its ill-formed bytes: ";
    for (const char* bytes : illFormed) {
        const std::string name = std::string("mod-") + bytes + "-x";
        const auto add = [&] { return AddModuleInfo(heartbeat, name.c_str(), "1.0", 0, nullptr); };
        ASSERT_EQ("0 1", AnswerAndLines(warning + "name", add)) << name;
        EXPECT_THAT(Content().modules.back().GetName(), AllOf(StartsWith(L"mod-"), HasSubstr(L"\xFFFD"))) << name;
    }
    EXPECT_EQ(0u, TraceLines::Count(warning + "version"));
    const size_t warnings = TraceLines::Count(warning + "name");
    for (int i = 0; i < 40; ++i)
        for (const char* good : {"plain", "caf\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF"})
            ASSERT_EQ(0u, AddModuleInfo(heartbeat, good, "1", 0x47380022u, nullptr));
    EXPECT_EQ(warnings, TraceLines::Count(warning + "name"));
    const std::string params =
        "<policy xmlns='https://schemas.example.org/xml/cml/CommonDocuments/RoAvpSections' schema-version='2.0.1'>"
        "<section name='engine'/></policy>";
    ASSERT_EQ(0u, AddModuleInfoParams(first, params.data(), Len(params)));
    EXPECT_EQ(1u, Content().modules.front().GetPolicyCount());
}

// Policy items gather in one request; the text written goes to the
// agent's buffer, or, one byte short, the buffer is zeroed and the length
// kept.
TEST_F(Builders, PolicyItemsGatherInOneRequestAndCopyItsText) {
    char buffer[8192];
    uint32_t length = sizeof buffer;
    ASSERT_EQ(0u, AddGetPolicyRequest(heartbeat, nullptr, "first", "urn:p", nullptr, buffer, &length));
    ASSERT_EQ(0u, AddAgentPolicyInfo(heartbeat, "t2", "second", "urn:p", "ignored", nullptr, nullptr));
    ASSERT_EQ(2u, Of(heartbeat).GetRequests().size());
    auto* request = dynamic_cast<CGetPolicyRequest*>(Of(heartbeat).GetRequests()[1]);
    ASSERT_NE(nullptr, request);
    ASSERT_EQ(2u, request->GetCount());
    EXPECT_EQ(L"0 t2", request->GetItem(0)->GetToken() + L" " + request->GetItem(1)->GetToken());
    EXPECT_THAT(std::string(buffer, length),
                AllOf(StartsWith("<?xml version='1.0' encoding='UTF-8' standalone='no'?>"), HasSubstr("name='first'")));
    CGetPolicyRequest copy(*request);
    copy.AddItem(CPolicyItem(L"third", L"urn:p", L"", L"", L"", 0, L"", L"0", L"", L"", L"policy-item"));
    uint32_t given = Len(Written(copy)) - 1;
    std::vector<char> small(given, 'x');
    ASSERT_EQ(0u, AddGetPolicyRequest(heartbeat, "0", "third", "urn:p", nullptr, small.data(), &given));
    EXPECT_EQ(small.size(), given);
    EXPECT_EQ(std::string(given, '\0'), std::string(small.begin(), small.end()));
}

// Responses take their request id and a failure code; texts that do not
// parse are refused with the parse failure's line; a policy of the agent
// goes only into a heartbeat.
TEST_F(Builders, ResponsesTakeTheirRequestIdAndUnparsableTextsAreRefused) {
    const char id[] = "{request-7}";
    ASSERT_EQ(0u, AddSetPolicyResponse(plain, "p", "urn:p", "1.0.0", 0, nullptr, nullptr, id, sizeof id - 1));
    auto* response = dynamic_cast<CSetPolicyResponse*>(Of(plain).GetResponses()[0]);
    ASSERT_NE(nullptr, response);
    EXPECT_EQ(L"{request-7} 0", response->GetRequestId() + L" " + std::to_wstring(response->GetCode()));
    ASSERT_EQ(0u, AddSetPolicyResponse(plain, "q", "urn:p", "1.0.0", 5, "bad", nullptr, id, sizeof id - 1));
    EXPECT_EQ((std::pair<uint32_t, size_t>{0xC7380017u, 2}), std::make_pair(response->GetCode(), response->GetCount()));
    ASSERT_EQ(0u, AddSetSchemaResponse(plain, nullptr, "urn:s", "1", 9, nullptr, id, sizeof id - 1));
    EXPECT_EQ(0xC7380019u, Of(plain).GetResponses()[1]->GetCode());
    const std::string schema = "<schema xmlns='http://www.w3.org/2001/XMLSchema' version='2'/>";
    ASSERT_EQ(0u, AddGetSchemaResponse(plain, nullptr, "urn:s", "2", 0, nullptr, 0, schema.data(), Len(schema), id,
                                       sizeof id - 1));
    auto* schemas = dynamic_cast<CGetSchemaResponse*>(Of(plain).GetResponses()[2]);
    ASSERT_NE(nullptr, schemas);
    ASSERT_NE(nullptr, schemas->GetItem(0).GetSchema());
    EXPECT_EQ(L"2", schemas->GetItem(0).GetSchema()->GetVersion());
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, AddSetPolicyResponse(plain, "p", "urn:p", "1.0.0", 0, nullptr, nullptr, id, 0));

    const std::string broken = "<policy><unclosed></policy>";
    EXPECT_EQ(0xC7560012u, AddSetPolicyRequest(plain, broken.data(), Len(broken), nullptr, nullptr));
    EXPECT_EQ("1 1", Joined({TraceLines::Count("parse failed with CML error. Exception: Parse operation:  Fatal error "
                                               "parsing input \"OVX-SensorServices-SetPolicyRequest\""),
                             TraceLines::Count(" ERR code: 0xc7560012 CML code: 0xc7380003")}));
    const std::string policy =
        "<p:cfg xmlns:p='https://schemas.example.org/xml/cml/CommonDocuments/ServerSettings' schema-version='1.0.0' "
        "name='c'/>";
    char buffer[4096];
    uint32_t length = sizeof buffer;
    ASSERT_EQ(0u, AddOptAgentProperties(plain, policy.data(), Len(policy), buffer, &length));
    auto* request = dynamic_cast<CSetPolicyRequest*>(Of(plain).GetRequests().back());
    ASSERT_NE(nullptr, request);
    EXPECT_EQ(L"c", request->GetPolicy(0)->GetName());
    EXPECT_THAT(std::string(buffer, length), HasSubstr("<p:cfg"));
    EXPECT_EQ(0u, AddSetSchemaRequest(plain, "s", "urn:s", "1.0", 1, schema.data(), Len(schema), nullptr, nullptr));
    EXPECT_EQ(OVX_E_UNEXPECTED, AddAgentParams(plain, policy.data(), Len(policy)));
    EXPECT_EQ("0 1", Joined({AddAgentParams(heartbeat, policy.data(), Len(policy)), Content().GetPolicyCount()}));
}

// A policy brings a schema location for its namespace (and for each
// descendant's that carries a schema version): one outside the CML
// namespaces has none, so no message holding it could be written. Each
// policy builder refuses it and leaves the message as it was, still
// writable.
TEST_F(Builders, PoliciesNoMessageCouldCarryAreRefusedAndTheMessageStaysWritable) {
    SS_HMODULE module = nullptr;
    ASSERT_EQ(0u, AddModuleInfo(heartbeat, "m", "1.0", 0, &module));
    const std::string cml = "https://schemas.example.org/xml/cml/CommonDocuments/ServerSettings";
    const std::string foreign = "<p:cfg xmlns:p='urn:cfg' schema-version='1.0.0' name='k'/>";
    const std::string nested = "<p:cfg xmlns:p='" + cml + "' schema-version='1.0.0' name='k'><q:x xmlns:q='urn:x' " +
                               "schema-version='2'/></p:cfg>";
    using Add = std::function<uint32_t(const char*, uint32_t)>;
    const std::pair<const char*, Add> builders[] = {
        {"AddSetPolicyRequest",
         [&](const char* t, uint32_t n) { return AddSetPolicyRequest(heartbeat, t, n, no, no); }},
        {"AddAgentParams", [&](const char* t, uint32_t n) { return AddAgentParams(heartbeat, t, n); }},
        {"AddModuleInfoParams", [&](const char* t, uint32_t n) { return AddModuleInfoParams(module, t, n); }}};
    for (const auto& [name, add] : builders) {
        for (const std::string* text : {&foreign, &nested}) {
            const std::string before = Written(Of(heartbeat));
            EXPECT_EQ(OVX_E_BAD_XML_INPUT, add(text->data(), Len(*text))) << name << *text;
            EXPECT_EQ(before, Written(Of(heartbeat))) << name;
        }
        const std::string inCml = "<p:cfg xmlns:p='" + cml + "' schema-version='1.0.0' name='" + name + "'/>";
        EXPECT_EQ(0u, add(inCml.data(), Len(inCml))) << name;
        EXPECT_THAT(Written(Of(heartbeat)), HasSubstr(std::string("name='") + name + "'"));
    }
    EXPECT_EQ(6u, TraceLines::CountStartingWith("parse failed with CML error. Exception: Building schema filename"));
}
