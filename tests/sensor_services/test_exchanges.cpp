// Key exchange, site attachment, pings and alive heartbeats against real
// servers on 127.0.0.1.
#include "support/Checks.h"
#include "HeartbeatServer.h"
#include "tools/ovxClock.h"

using namespace ovxTest;

namespace {

const char kAgentPem[] = "-----BEGIN PUBLIC KEY-----\nAGENTKEYAGENTKEY\n-----END PUBLIC KEY-----";
const char kPassword[] = "pa55-w0rd-never-traced";

// An AVP sections policy holding `sections`.
std::string Avp(const std::string& sections) {
    return "<policy xmlns='" + kBase + "/cml/CommonDocuments/AvpSections' schema-version='2.0.1'>" + sections +
           "</policy>";
}

std::string KeysAnswer(const std::string& code = "0") {
    return Answer("", Doc("exchange-keys-response", kMessageNs, "k-1",
                          "<key algorithm='RSA' length='2048'>-----BEGIN PUBLIC KEY-----\nSERVERKEY\n"
                          "-----END PUBLIC KEY-----</key>",
                          " code='" + code + "'"));
}

Recorder g_pings;
std::atomic<int> g_pingErrors{0};
uint32_t OnPing(const char* id, uint32_t idLength, uint32_t status, const uint8_t* data, uint32_t size) {
    g_pings.Add(Joined({Str(id, idLength), status, data == nullptr ? "(null)" : std::to_string(size)}));
    return 0;
}
uint32_t OnError(uint32_t status, uint32_t kind) {
    if (kind == 2 && status != 0) ++g_pingErrors;
    return 0;
}

constexpr char kPingPath[] = "/ovx/sensor_services/new_ping";
constexpr char kAlivePath[] = "/ovx/sensor_services/alive";

struct Exchanges : ServedSession {
    void SetUp() override {
        // One Agent Manager: busy on the trust path when told, each ping
        // answered with its own request id, alive heartbeats with nothing.
        server.TrustAnswer(KeysAnswer());
        server.Rule([this](const Arrival& arrival, size_t) { return busy && arrival.path == kTrustPath ? 503 : 0; });
        server.Reply([](const Arrival& arrival) -> std::string {
            if (arrival.path == kAlivePath) return "";  // read by nobody
            return Avp("<section name='agent-ping'><param xmlns='" + kBase + "/cml/common' name='request-id' value='" +
                       arrival.body + "'/></section>");
        });
        ServedSession::SetUp();
        g_pings.Take();
        g_pingErrors = 0;
        ASSERT_NO_FATAL_FAILURE(Start());
        ASSERT_EQ("0 0",
                  Joined({SS_SetAgentId("{agent-7}"), CreateMessage(&message, "{agent-7}", "sensor", "urn:sensors")}));
    }
    void TearDown() override {
        if (message != nullptr) FreeMessage(message);
        SS_Free(algorithm);
        SS_Free(pem);
        ServedSession::TearDown();
    }
    std::string Flags() override { return "maxServerRetry=2\naliveUnitSeconds=1\n"; }
    std::string CommSettings() override {
        // The first server refuses connections: nothing listens on its port.
        return "[group]\nschemaVersion=1.0.0\n[server.1]\nurl=http://127.0.0.1:" + std::to_string(closedPort) +
               "\n[server.2]\nurl=" + server.Url() + "\n";
    }
    // The server's key and its algorithm and length go to the members below.
    uint32_t Exchange(const char* asked) {
        return SS_ExchangeKeys(message, 2000, 5000, 60000, asked, 1024, kAgentPem, &algorithm, &length, &pem);
    }

    const int closedPort = TestServer::FreePort();  // bound once, then closed: nothing listens on it
    std::atomic<bool> busy{false};                  // read by the server, which is stopped before it goes
    SS_HMESSAGE message = nullptr;
    char *algorithm = nullptr, *pem = nullptr;
    uint32_t length = 0;
};

// Keys come from the first server that answers. Every answer that carries
// no key is a failure with its status, never a success with empty results,
// and the agent's out arguments stay empty.
TEST_F(Exchanges, KeysAreExchangedWithTheFirstServerThatAnswersOrFailWithTheirStatus) {
    ASSERT_EQ(0u, Exchange(nullptr));
    EXPECT_EQ("RSA 2048 -----BEGIN PUBLIC KEY-----\nSERVERKEY\n-----END PUBLIC KEY-----",
              Joined({algorithm, length, pem}));
    SS_Free(algorithm);
    SS_Free(pem);
    algorithm = pem = nullptr;
    // Without an algorithm the key goes as a certificate: no algorithm, length 0.
    EXPECT_THAT(server.Trust(), ElementsAre(AllOf(::testing::ContainsRegex("<key[^>]*>"),
                                                  Not(::testing::ContainsRegex("<key[^>]*algorithm=")),
                                                  HasSubstr("AGENTKEYAGENTKEY"))));
    EXPECT_EQ(1u, TraceLines::Count("Adding Certificate via AddKey interface"));
    EXPECT_EQ(1u, TraceLines::Count("Posting Complete"));
    const std::string unexpected = "The message document is of an unexpected type.";
    // The answer, the status it gives and the line that says why.
    const std::tuple<std::string, uint32_t, std::string> rows[] = {
        {KeysAnswer("0xc7380015"), 0xC7380015u, "(error from called routine)"},
        {Avp(""), OVX_E_CML_NOT_A_MESSAGE, unexpected},
        {Answer("", ""), OVX_E_UNEXPECTED, "Empty response vector!"},
        {Answer("", Doc("attach-to-site-response", kAgentNs, "a-1")), OVX_E_CML_NOT_A_MESSAGE, unexpected},
        {Answer("", Doc("exchange-keys-response", kMessageNs, "k-1")), OVX_E_BAD_RESPONSE,
         "The exchange-keys response carries no key."},
        {"<broken", OVX_E_CML_PARSE_FATAL, "Fatal error parsing input \"OVX-SensorServices-Trust-Response\""},
    };
    for (const auto& [answer, status, said] : rows) {
        server.TrustAnswer(answer);
        // The status and the line, then the out arguments, still empty.
        EXPECT_EQ(Joined({status, 1, "(null) (null)"}),
                  Joined({AnswerAndLines(said, [&] { return Exchange("RSA"); }), algorithm, pem}))
            << answer;
    }
    // Every out argument is required, and the message.
    char* text = nullptr;
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, SS_ExchangeKeys(nullptr, 1, 1, 1, "RSA", 0, kAgentPem, &text, &length, &text));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, SS_ExchangeKeys(message, 1, 1, 1, "RSA", 0, kAgentPem, nullptr, &length, &text));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, SS_ExchangeKeys(message, 1, 1, 1, "RSA", 0, kAgentPem, &text, nullptr, &text));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, SS_ExchangeKeys(message, 1, 1, 1, "RSA", 0, kAgentPem, &text, &length, nullptr));
    EXPECT_EQ(4u, TraceLines::Count("A required input parameter is NULL."));
}

TEST_F(Exchanges, ABusyServerIsAskedAgainUpToTheLimit) {
    busy = true;
    EXPECT_EQ(OVX_E_SCS_SERVER_BUSY, Exchange("RSA"));
    // The first try and two more (maxServerRetry=2), 500 ms apart.
    EXPECT_EQ(3u, server.Trust().size());
}

TEST_F(Exchanges, AttachingSendsTheCredentialsAndTracesNoPassword) {
    server.TrustAnswer(Answer("", Doc("attach-to-site-response", kAgentNs, "a-1", "", " code='0x47380021'")));
    EXPECT_EQ(0x47380021u, SS_AttachToSite(message, 2000, 5000, 60000, "operator", kPassword, "RSA", 1024, kAgentPem));
    // The password is on the wire, to the server only.
    EXPECT_THAT(server.Trust(),
                ElementsAre(AllOf(HasSubstr("user-name='operator'"), HasSubstr(kPassword),
                                  HasSubstr("<attach-to-site-request"), HasSubstr("<exchange-keys-request"))));
    // An answer that says nothing of the attachment has not attached.
    server.TrustAnswer(KeysAnswer());
    EXPECT_EQ(OVX_E_BAD_RESPONSE,
              SS_AttachToSite(message, 2000, 5000, 60000, "operator", kPassword, nullptr, 0, kAgentPem));
    server.TrustAnswer("not a message");
    EXPECT_NE(0u, SS_AttachToSite(message, 2000, 5000, 60000, "operator", kPassword, nullptr, 0, kAgentPem));
    // The user, the password, the key and the message are each required.
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, SS_AttachToSite(message, 1, 1, 1, nullptr, kPassword, nullptr, 0, kAgentPem));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, SS_AttachToSite(message, 1, 1, 1, "operator", nullptr, nullptr, 0, kAgentPem));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, SS_AttachToSite(message, 1, 1, 1, "operator", kPassword, nullptr, 0, nullptr));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, SS_AttachToSite(nullptr, 1, 1, 1, "operator", kPassword, nullptr, 0, kAgentPem));
    EXPECT_LE(2u, TraceLines::Count("ENTER"));
    EXPECT_EQ(0u, TraceLines::Count(kPassword));
}

// A ping is answered through the callback; of those waiting, only the
// newest is sent. One that no server takes goes back with its status.
TEST_F(Exchanges, APingIsAnsweredThroughTheCallbackAndOnlyTheNewestWaitingPingIsSent) {
    RegisterPingResponse(&OnPing);
    SS_RegisterErrorCallback(&OnError);
    auto ping = [] {
        std::string id(64, '\0');
        uint32_t length = 64;
        EXPECT_EQ(0u, PostPing(&id[0], &length));
        return id.substr(0, length);
    };
    server.Hold();
    const std::string first = ping();
    ASSERT_TRUE(WaitFor([&] { return server.Bodies(kPingPath).size() == 1; }));
    // While the first is on the wire, two more: the second replaces the first.
    ASSERT_EQ(0u, PostPing(nullptr, nullptr));
    const std::string last = ping();
    server.Release();
    ASSERT_TRUE(WaitFor([] { return g_pings.Size() == 2; }));
    EXPECT_EQ((std::vector<std::string>{first, last}), server.Bodies(kPingPath));
    EXPECT_THAT(g_pings.Take(), ElementsAre(StartsWith(first + " 0 "), StartsWith(last + " 0 ")));
    // The refusing first server was tried once and reported as kind 2.
    EXPECT_EQ(1, g_pingErrors.load());
    server.Stop();
    ASSERT_EQ(0u, PostPing(nullptr, nullptr));
    ASSERT_TRUE(WaitFor([] { return g_pings.Size() == 1; }));
    EXPECT_THAT(g_pings.Take(), ElementsAre(HasSubstr(" " + std::to_string(OVX_E_SCS_CONNECTION_REFUSED) + " (null)")));
    EXPECT_EQ(3, g_pingErrors.load());  // each server once more
}

TEST_F(Exchanges, PingAnswersAreReadOnlyForAnAgentThatListens) {
    auto process = [&](const std::string& text) {
        return session->HelperProcessPingResponse(reinterpret_cast<const uint8_t*>(text.data()), Len(text));
    };
    // Nobody listens: not even parsed, so no trace line either.
    EXPECT_EQ("0 0", Joined({process("<<<"), TraceLines::Count("parse failed")}));
    RegisterPingResponse(&OnPing);
    EXPECT_EQ(OVX_E_BAD_RESPONSE, process("<<<"));
    EXPECT_EQ(OVX_E_BAD_RESPONSE, process(Avp("<section name='agent-ping'/>")));
    EXPECT_EQ(1u, TraceLines::Count("no request ID specified in response"));
    EXPECT_EQ(OVX_E_BAD_RESPONSE, process(Avp("<section name='other'/>")));
    EXPECT_EQ(2u, TraceLines::Count("no request ID specified in response"));
    EXPECT_EQ(OVX_E_BAD_RESPONSE, process(Answer("", "")));
    EXPECT_EQ(1u, TraceLines::Count("The ping response is not an AVP sections document."));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, session->HelperProcessPingResponse(nullptr, 0));
    EXPECT_EQ(0u, g_pings.Size());
}

int64_t g_now = 0;
int64_t FakeNow() { return g_now; }

TEST_F(Exchanges, AliveHeartbeatsPostTheAgentIdWhileTheAgentKeepsPosting) {
    // Refused without a period; none running to stop.
    EXPECT_EQ(Joined({OVX_E_INVALID_ARGUMENT, 0}), Joined({SS_StartAliveHeartbeats(0, 10), SS_StopAliveHeartbeats()}));
    // Period 1 s here (one "minute" is a second in these settings); started
    // again, the same thread takes the new period.
    ASSERT_EQ("0 0 1",
              Joined({SS_StartAliveHeartbeats(1, 1440), SS_StartAliveHeartbeats(1, 1440), session->HasAliveThread()}));
    ASSERT_TRUE(WaitFor([&] { return !server.Bodies(kAlivePath).empty(); }));
    EXPECT_EQ("{agent-7} 0 0",
              Joined({server.Bodies(kAlivePath)[0], SS_StopAliveHeartbeats(), session->HasAliveThread()}));

    // The duration rule, through the clock seam: one post, then silence
    // once the agent has not posted for the whole duration.
    ASSERT_EQ(0u, SS_StartAliveHeartbeats(60, 10));  // 10 "minutes": 10 s here
    const size_t before = server.Bodies(kAlivePath).size();
    g_now = session->GetLastPostTime() + 9;
    ovxToolsLib::ovxClock::SetSourceForTesting(&FakeNow);
    EXPECT_EQ(0u, CSensorServices::AliveHeartbeat(session));
    g_now = session->GetLastPostTime() + 10;
    EXPECT_EQ(0u, CSensorServices::AliveHeartbeat(session));
    ovxToolsLib::ovxClock::SetSourceForTesting(nullptr);
    EXPECT_EQ(before + 1, server.Bodies(kAlivePath).size());
    EXPECT_EQ(OVX_E_NOT_INITIALIZED, CSensorServices::AliveHeartbeat(nullptr));
}
}  // namespace
