// What goes over the wire, read by a parser nobody here wrote: every string
// argument of every builder, filled with the characters XML must escape and
// with characters of one to four UTF-8 bytes, reaches a loopback server as a
// document that libxml2's xmllint reads and validates against schemas/, and
// reads back as the value the agent gave. Text XML cannot carry at all is
// refused where it enters.
#include "support/Checks.h"
#include "HeartbeatServer.h"

using namespace ovxTest;

namespace {

// Everything XML escapes, a line feed, and characters of 1, 2, 3 and 4
// bytes.
const std::string kHostile = "a'\"&<>\n\t\r\r\n \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80z";

const std::string kSchemas = OVX_SCHEMA_DIR;

struct Wire : ServedSession {
    void SetUp() override {
        ServedSession::SetUp();
        ASSERT_EQ(0u, Init());
        // One schema that brings in every namespace a heartbeat uses (a
        // schema's namespace is its folder under the base), so that the
        // documents in the body are validated, not skipped.
        std::string driver =
            "<xs:schema xmlns:xs='http://www.w3.org/2001/XMLSchema' targetNamespace='urn:ovx-test:all'>\n";
        for (const std::string file :
             {"/Ovx1_0_1.xsd", "/cml/Message/Message1_0_0.xsd", "/cml/Message/AgentMessages/AgentMessages1_0_4.xsd",
              "/cml/Message/PolicyMessages/PolicyMessages1_0_0.xsd",
              "/cml/Message/SchemaMessages/SchemaMessages1_0_0.xsd"})
            driver += "  <xs:import namespace='" + kBase + file.substr(0, file.rfind('/')) + "' schemaLocation='" +
                      kSchemas + file + "'/>\n";
        WriteText(schema, driver + "</xs:schema>\n");
    }
    // xmllint reads and validates `body`; its complaints, if any.
    ::testing::AssertionResult ReadsAndValidates(const std::string& body) {
        WriteText(document, body);
        const ShellRun run = RunShell("xmllint --noout --nonet --schema " + schema + " " + document + " 2>&1");
        return run.status == 0 ? ::testing::AssertionSuccess()
                               : ::testing::AssertionFailure() << run.output << "\n"
                                                               << body;
    }
    // The text xmllint reads from the last document at `xpath`.
    std::string Read(const std::string& xpath) {
        std::string output = RunShell("xmllint --nonet --xpath \"" + xpath + "\" " + document + " 2>&1").output;
        if (!output.empty() && output.back() == '\n') output.pop_back();
        return output;
    }
    static std::string Attribute(const std::string& element, const std::string& attribute) {
        return "string((//*[local-name()='" + element + "'])[1]/@" + attribute + ")";
    }

    std::string schema = dir + "/all.xsd", document = dir + "/body.xml";
    std::string Ceiling() override { return "200"; }
};

}  // namespace

TEST_F(Wire, EveryStringOfEveryBuilderArrivesEscapedAndValid) {
    const char* h = kHostile.c_str();
    // XML texts given to the parse family: well-formed, carrying the same
    // characters, escaped as XML text must be.
    const std::string xmlValue =
        "a&apos;&quot;&amp;&lt;&gt;&#xa;&#9;&#13;&#13;&#10; \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80z";
    const std::string policy = "<policy xmlns='urn:wire' note='" + xmlValue + "'>" + xmlValue + "</policy>";
    const std::string schemaText =
        "<xs:schema xmlns:xs='http://www.w3.org/2001/XMLSchema' targetNamespace='urn:wire'>"
        "<xs:annotation><xs:documentation>" +
        xmlValue + "</xs:documentation></xs:annotation></xs:schema>";
    const uint32_t policyLength = Len(policy), schemaLength = Len(schemaText), idLength = Len(kHostile);

    SS_HMESSAGE heartbeat = nullptr;
    ASSERT_EQ(0u, CreateHeartbeat(&heartbeat, h, h, h, h, h));
    ASSERT_EQ(0u, SetBasicAgentInfoEx(heartbeat, h, h, 1, h, 2, h, h, h, h, 1, 1, "2026-12-08T10:00:00Z"));
    ASSERT_EQ(0u, SetHostInfo(heartbeat, h, h, h, 0, h, h, h, h));
    SS_HMODULE module = nullptr;
    ASSERT_EQ(0u, AddModuleInfo(heartbeat, h, h, 3, &module));
    ASSERT_EQ(0u, AddModuleInfoParams(module, policy.c_str(), policyLength));
    ASSERT_EQ(0u, AddSchemaInfo(heartbeat, h, h, h, 1, 1, 1, 1));
    ASSERT_EQ(0u, AddAgentParams(heartbeat, policy.c_str(), policyLength));
    ASSERT_EQ(0u, AddGetPolicyRequest(heartbeat, h, h, h, h, nullptr, nullptr));
    ASSERT_EQ(0u, AddAgentPolicyInfo(heartbeat, h, h, h, h, nullptr, nullptr));
    ASSERT_EQ(0u, AddSetPolicyRequest(heartbeat, policy.c_str(), policyLength, nullptr, nullptr));
    ASSERT_EQ(0u, AddOptAgentProperties(heartbeat, policy.c_str(), policyLength, nullptr, nullptr));
    ASSERT_EQ(0u, AddSetPolicyResponse(heartbeat, h, h, h, 5, h, h, h, idLength));
    ASSERT_EQ(0u, AddGetSchemaRequest(heartbeat, h, h, h, nullptr, nullptr));
    ASSERT_EQ(0u, AddSetSchemaRequest(heartbeat, h, h, h, 1, schemaText.c_str(), schemaLength, nullptr, nullptr));
    ASSERT_EQ(0u, AddGetSchemaResponse(heartbeat, h, h, h, 6, h, 1, schemaText.c_str(), schemaLength, h, idLength));
    ASSERT_EQ(0u, AddSetSchemaResponse(heartbeat, h, h, h, 7, h, h, idLength));
    ASSERT_EQ(0u, PostHeartbeat(heartbeat, nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return server.Count() == 1; }));

    ASSERT_TRUE(ReadsAndValidates(server.Body(0)));
    // The values come back as given (the line feed too: it is escaped).
    // (An element below another is named by its path.)
    const std::pair<const char*, std::vector<const char*>> read[] = {
        {"host-info", {"host-name", "os", "nbname", "nbdomain", "ad-object-id", "ad-group-id"}},
        {"agent-startup-announcement", {"name", "agent-id", "namespace", "version", "model", "groupname-hint"}},
        {"source", {"agent-id"}},
        {"module", {"name"}},
        {"set-policy-response", {"request-id"}},
        {"set-policy-response']/*[local-name()='policy-item", {"text"}},
        {"get-policy-request']/*[local-name()='policy-item", {"token"}},
        {"policy", {"note"}}};
    for (const auto& [element, attributes] : read)
        for (const char* attribute : attributes) EXPECT_EQ(kHostile, Read(Attribute(element, attribute))) << attribute;
    // The agent's own XML comes back as it read, in attributes (above) and
    // content. (Content is written indented on lines of its own: the value is what
    // stands between that white space.)
    const std::string content = Read("string((//*[local-name()='policy'])[1])");
    const size_t first = content.find_first_not_of(" \n"), last = content.find_last_not_of(" \n");
    ASSERT_NE(std::string::npos, first);
    EXPECT_EQ(kHostile, content.substr(first, last + 1 - first));
}

TEST_F(Wire, TheTrustExchangesArriveEscapedAndValid) {
    const char* h = kHostile.c_str();
    const std::string pem = "-----BEGIN PUBLIC KEY-----\n" + kHostile + "\n-----END PUBLIC KEY-----\n";
    SS_HMESSAGE message = nullptr;
    ASSERT_EQ(0u, CreateMessage(&message, h, h, h));
    char *algorithm = nullptr, *key = nullptr;
    uint32_t length = 0;
    SS_ExchangeKeys(message, 2000, 2000, 0, h, 2048, pem.c_str(), &algorithm, &length, &key);
    SS_Free(algorithm);
    SS_Free(key);
    FreeMessage(message);
    ASSERT_EQ(0u, CreateMessage(&message, h, h, h));
    SS_AttachToSite(message, 2000, 2000, 0, h, h, h, 2048, pem.c_str());
    FreeMessage(message);
    const std::vector<std::string> posted = server.Trust();
    ASSERT_EQ(2u, posted.size());
    for (const std::string& body : posted) ASSERT_TRUE(ReadsAndValidates(body));
    for (const char* attribute : {"user-name", "passwd"})
        EXPECT_EQ(kHostile, Read(Attribute("attach-to-site-request", attribute))) << attribute;
    EXPECT_EQ(kHostile, Read(Attribute("key", "algorithm")));
    // Every line of the key exchange names it the same way, its exit too.
    for (const char* step : {"ENTER", "Creating CML Class Factory", "Make request document", "Adding Key",
                             "Adding Request", "Serializing", "Posting data", "Posting Complete", "EXIT"})
        EXPECT_EQ(1u, TraceLines::CountAt("CSensorServices::ExchangeKeys", step)) << step;
    EXPECT_EQ(1u, TraceLines::CountAt("CSensorServices::AttachToSite()", "ENTER"));
    EXPECT_EQ(1u, TraceLines::CountAt("CSensorServices::AttachToSite()", "EXIT"));
    EXPECT_EQ(1u, TraceLines::CountAt("CSensorServices::AttachToSite", "Make attach request document"));
    EXPECT_THAT(Read("string(//*[local-name()='key'])"), HasSubstr("-----BEGIN PUBLIC KEY-----"));
}

// Each builder refuses a string holding a character XML 1.0 cannot carry,
// names the argument in a level 1 line, and leaves the message alone: the
// heartbeat still goes out and reads as valid. (Which characters XML
// cannot carry the string tools' tests list; each argument here meets one.)
TEST_F(Wire, TextXmlCannotCarryIsRefusedWhereItEnters) {
    const std::string forbidden[] = {"ok\x01", "ok\x1f", "ok\xef\xbf\xbe", "ok\xef\xbf\xbf", "ok\x7f\x0b"};
    auto b = [&](size_t i) { return forbidden[i % 5].c_str(); };
    SS_HMESSAGE heartbeat = Heartbeat();
    const std::nullptr_t no = nullptr;
    const std::pair<const char*, std::function<uint32_t()>> cases[] = {
        {"name", [&] { return AddModuleInfo(heartbeat, b(0), "1", 0, no); }},
        {"hostName", [&] { return SetHostInfo(heartbeat, b(1), no, no, 0, no, no, no, no); }},
        {"directoryGroupId", [&] { return SetHostInfo(heartbeat, no, no, no, 0, no, no, no, b(2)); }},
        {"model", [&] { return SetBasicAgentInfo(heartbeat, no, no, 0, no, 0, no, no, b(3), no, 0, 0); }},
        {"token", [&] { return AddGetPolicyRequest(heartbeat, b(4), no, "urn:p", no, no, no); }},
        {"nameSpace", [&] { return AddGetSchemaRequest(heartbeat, no, b(5), no, no, no); }},
        {"text", [&] { return AddSetSchemaResponse(heartbeat, no, "urn:s", no, 1, b(6), "r", 1); }},
        {"requestId",
         [&] { return AddSetPolicyResponse(heartbeat, no, "urn:p", "1", 0, no, no, b(7), Len(forbidden[2])); }}};
    const std::string said = "An input parameter holds a character XML cannot carry: ";
    for (const auto& [argument, call] : cases)
        EXPECT_EQ(Joined({OVX_E_INVALID_ARGUMENT, 1}), AnswerAndLines(said + argument, call, SS_TRACE_ERROR))
            << argument;
    ASSERT_EQ(0u, PostHeartbeat(heartbeat, nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return server.Count() == 1; }));
    EXPECT_TRUE(ReadsAndValidates(server.Body(0)));
}

namespace {

struct Dumping : Wire {
    std::string LocalSettings() override { return "[sensor_services]\ndumpEnabled=1\n"; }
};

// Runs in `folder` for its scope: dump files go to the current directory.
struct InFolder {
    explicit InFolder(const std::string& folder) { std::filesystem::current_path(folder); }
    ~InFolder() { std::filesystem::current_path(previous); }
    const std::filesystem::path previous = std::filesystem::current_path();
};

}  // namespace

// A dump file that another user made, or a symbolic link, in the dump's
// place is never written into: the dump is made anew, 0600, for this user.
TEST_F(Dumping, ADumpIsNeverWrittenIntoAFileSomeoneElseMade) {
    TempDir work("ovx-dumps");
    InFolder inside(work.path());
    const std::string victim = work / "victim.txt", target = work / "target.txt";
    WriteText(victim, "someone else's file");
    WriteText(target, "where the link leads");
    // The other user's file, under the name the next ping dump takes...
    ASSERT_EQ(0, link(victim.c_str(), (work / "ss_dump_pingreq.txt").c_str()));
    ASSERT_TRUE(geteuid() != 0 || chown(victim.c_str(), 65534, 65534) == 0);
    // ...and a link under the name of the heartbeat dump.
    ASSERT_EQ(0, symlink(target.c_str(), (work / "ss_dump_hbreq.txt").c_str()));

    char ping[64];
    uint32_t length = sizeof ping;
    ASSERT_EQ("0 0", Joined({PostPing(ping, &length), PostHeartbeat(Heartbeat(), nullptr, nullptr)}));

    EXPECT_EQ("someone else's file where the link leads", Joined({ReadText(victim), ReadText(target)}));
    for (const char* name : {"ss_dump_pingreq.txt", "ss_dump_hbreq.txt"}) {
        struct stat info {};
        ASSERT_EQ(0, lstat((work / name).c_str(), &info)) << name;
        EXPECT_TRUE(S_ISREG(info.st_mode)) << name;
        EXPECT_EQ(0600u, info.st_mode & 0777u) << name;
        EXPECT_EQ(geteuid(), info.st_uid) << name;
    }
    EXPECT_EQ(std::string(ping, length), ReadText(work / "ss_dump_pingreq.txt"));
    EXPECT_THAT(ReadText(work / "ss_dump_hbreq.txt"), HasSubstr("agent-startup-announcement"));
}

// Every schema shipped under schemas/ compiles on its own with xmllint:
// whatever it refers to, it includes or imports.
TEST(Schemas, EveryShippedSchemaCompilesOnItsOwn) {
    TempDir temp("ovx-schemas");
    const std::string document = temp / "empty.xml";
    WriteText(document, "<nothing/>");
    size_t compiled = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(kSchemas)) {
        if (entry.path().extension() != ".xsd") continue;
        const std::string output =
            RunShell("xmllint --noout --nonet --schema " + entry.path().string() + " " + document + " 2>&1").output;
        EXPECT_THAT(output, AllOf(Not(HasSubstr("Schemas parser error")), Not(HasSubstr("failed to compile"))))
            << entry.path();
        ++compiled;
    }
    EXPECT_GE(compiled, 19u);
}
