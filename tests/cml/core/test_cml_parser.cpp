#include <poll.h>
#include <sys/resource.h>

#include <iconv.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "cml/documents/cml_documents_test_support.h"
#include "support/Listener.h"

using namespace ovx::cml::testing;

namespace {

CCmlMessage SampleMessage() {
    CCmlMessage message = Envelope();
    CCmlErrorResponse error;
    error.SetRequestId(L"r");
    error.SetCode(1);
    message.AddResponse(error);
    return message;
}

// A written message with `body` first in its body; `envelope` false drops
// the envelope's required message id.
std::string WithBody(const std::string& body, bool envelope = true) {
    std::string xml = Written(SampleMessage());
    if (!envelope) Replace(xml, " message-id='m-1'", "");
    Replace(xml, "<message-body>", "<message-body>" + body);
    return xml;
}
std::string WithoutMessageId() { return WithBody("", false); }

// One request of a set the schemas do not know, with `extra` attributes,
// holding `content`.
std::string UnknownItem(const std::string& extra, const std::string& content) {
    return "<request><p:item xmlns:p='urn:p' schema-version='1.0.0'" + extra + ">" + content + "</p:item></request>";
}

// `depth` nested elements.
std::string Nested(int depth) {
    std::string xml;
    for (int i = 0; i < depth; ++i) xml += "<d>";
    for (int i = 0; i < depth; ++i) xml += "</d>";
    return xml;
}

// What parsing `xml` in `mode` throws (code 0 when it parses).
CCmlException ParseFailure(CCmlParser& parser, const std::string& xml, uint32_t mode,
                           const wchar_t* folder = SchemaFolder()) {
    return Failure([&] { parser.ParseBuffer(xml.data(), xml.size(), mode, folder); });
}

// Parsing `xml` in `mode` fails with `code` in the form every failure of a
// parse has: the operation, the kind of failure the code says, the input, the
// place and the XML layer's message, which holds `part`; nothing usable is
// left behind. Returns the failure.
CCmlException ExpectFailure(CCmlParser& parser, const std::string& xml, uint32_t mode, uint32_t code,
                            const std::wstring& part = L"") {
    const CCmlException error = ParseFailure(parser, xml, mode);
    EXPECT_EQ(code, error.GetErrorCode());
    EXPECT_EQ(L"Parse operation", error.GetOperation());
    const std::wstring kind = code == OVX_I_CML_PARSE_WARNING ? L"Warning"
                              : code == OVX_E_CML_PARSE_ERROR ? L"Error"
                                                              : L"Fatal error";
    EXPECT_EQ(0u, error.GetMessage().find(kind + L" parsing input \"OVX CML Stream\", line ")) << error.GetMessage();
    EXPECT_NE(std::wstring::npos, error.GetMessage().find(part)) << error.GetMessage();
    EXPECT_TRUE(parser.GetDocument().IsNull());
    return error;
}

// Exposes the schema location the parser would give the XML layer.
struct CInspectableParser : CCmlParser {
    using CCmlParser::BuildExternalSchemaLocation;
};

struct Parser : ::testing::Test {
    void TearDown() override {
        CCmlParser::ClearImplicitNamespaces();
        CCmlParser::SetValidationSwitch(true);
    }
};

long PeakResidentKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

}  // namespace

// Each malformed or hostile document with the failure it must give; after
// each the parser holds nothing usable and reads the next document.
TEST_F(Parser, MalformedDocumentsGiveTheirFailure) {
    const std::string deep = WithBody(UnknownItem("", Nested(100000)));
    const struct {
        std::string xml;
        uint32_t mode, code;
        const wchar_t* part;  // of the message
    } rows[] = {
        {"<?xml version='1.0' encoding='UTF-16'?><a/>", kDoNotValidate, OVX_I_CML_PARSE_WARNING, L"line 1, column "},
        {"<a><b></a>", kDoNotValidate, OVX_E_CML_PARSE_FATAL, L"line 1, column "},
        {WithoutMessageId(), kValidate, OVX_E_CML_PARSE_ERROR,
         L"line 7, column 45\n   Message: missing required attribute "},
        {WithBody("<surprise/>"), kValidate, OVX_E_CML_PARSE_ERROR, L"Message: "},  // not in the envelope
        {deep, kDoNotValidate, OVX_E_CML_PARSE_FATAL, L"Message: Elements are nested too deeply"},
        {deep, kValidate, OVX_E_CML_PARSE_FATAL, L"Message: Elements are nested too deeply"},
        {Nested(kMaxElementDepth + 1), kDoNotValidate, OVX_E_CML_PARSE_FATAL, L"nested too deeply"},  // one too deep
    };
    CCmlParser parser;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.xml.substr(0, 80));
        ExpectFailure(parser, row.xml, row.mode, row.code, row.part);
        EXPECT_STREQ(L"a", RootOf(parser, "<a/>").getTagName());
    }
    EXPECT_EQ(OVX_E_CML_PARSE_FATAL,
              CodeOf([&] { parser.ParseFile("/nonexistent/file.xml", kDoNotValidate, nullptr); }));
    // An envelope error is the schema's: the plain parse reads the document.
    EXPECT_EQ(0u, ParseFailure(parser, WithoutMessageId(), kDoNotValidate).GetErrorCode());
    // At the bound of nesting, a document is read.
    EXPECT_EQ(0u, ParseFailure(parser, Nested(kMaxElementDepth), kDoNotValidate, nullptr).GetErrorCode());
    EXPECT_NE(nullptr, MessageOf(WithBody(UnknownItem("", Nested(kMaxElementDepth - 8))), kDoNotValidate, nullptr));
}

// A namespace, the root's or a set's, found at a newer minor or major
// version than the parser knows explains the validation failure with the
// two versions; an older one leaves the plain parse error.
TEST_F(Parser, ANewerSchemaVersionExplainsTheValidationFailure) {
    auto rootAt = [](const std::string& version) {
        std::string xml = WithoutMessageId();
        Replace(xml, "xml' schema-version='1.0.1'", "xml' schema-version='" + version + "'");
        return xml;
    };
    auto setAt = [](const std::string& version) {
        const std::string ns = "https://schemas.example.org/xml/cml/Message/AgentMessages";
        return WithBody("<request><x:item xmlns:x='" + ns + "' schema-version='" + version + "'/></request>", false);
    };
    const struct {
        std::string xml;
        std::wstring incompatibility;  // the namespace, the version supported and the one found
    } rows[] = {
        {rootAt("1.0.2"), std::wstring(kCmlBaseUri) + L" 1.0.1 1.0.2"},
        {setAt("1.1.0"), std::wstring(kNsAgentMessages) + L" 1.0.4 1.1.0"},
        {setAt("2.0.4"), std::wstring(kNsAgentMessages) + L" 1.0.4 2.0.4"},
        {rootAt("1.0.0"), L"plain parse error"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.xml);
        CCmlParser parser;
        parser.AddNamespace(kNsAgentMessages, L"1.0.4");
        std::wstring found;
        try {
            parser.ParseBuffer(row.xml.data(), row.xml.size(), kValidate, SchemaFolder());
            ADD_FAILURE() << "validated";
        } catch (const CSchemaException& error) {
            EXPECT_EQ(OVX_E_CML_PARSE_ERROR, error.GetErrorCode());
            for (const auto& each : error)
                found += each.GetNamespaceUri() + L" " + each.GetSupportedVersion() + L" " + each.GetFoundVersion();
        } catch (const CCmlException& error) {
            EXPECT_EQ(OVX_E_CML_PARSE_ERROR, error.GetErrorCode());
            found = L"plain parse error";
        }
        EXPECT_EQ(row.incompatibility, found);
    }
}

TEST_F(Parser, ValidationModesFollowTheDefaultAndTheSwitch) {
    auto validates = [](uint32_t defaultMode, uint32_t mode) {
        CCmlParser parser(defaultMode);
        return ParseFailure(parser, WithoutMessageId(), mode).GetErrorCode() != 0;
    };
    // 1: validated, by (the parser's default, the parse's mode).
    EXPECT_EQ(L"1|0|1|0|1|",
              Joined({validates(kDoNotValidate, kValidate), validates(kValidate, kDoNotValidate),
                      validates(kValidate, kValidateByDefault), validates(kDoNotValidate, kValidateByDefault),
                      validates(kValidateByDefault, kValidateByDefault)}));
    EXPECT_TRUE(CCmlParser::SetValidationSwitch(false));
    EXPECT_EQ(L"0|1|",
              Joined({validates(kValidateByDefault, kValidateByDefault), validates(kValidate, kValidateByDefault)}));
}

TEST_F(Parser, NamespaceSetsRefuseSecondVersionsAndListTheirSchemasUnderTheFolder) {
    for (int again = 0; again < 2; ++again) CCmlParser::AddImplicitNamespace(L"urn:a", L"1.0.0");  // the same: accepted
    ExpectRefusal(OVX_E_CML_VERSION_CONFLICT, L"",
                  L"Namespace/schema-version conflict:  tried to add namespace \"urn:a\" version 1.0.1; set already "
                  L"contains namespace \"urn:a\" version 1.0.0",
                  [] { CCmlParser::AddImplicitNamespace(L"urn:a", L"1.0.1"); });

    CCmlParser parser;
    ExpectRefusal(OVX_E_CML_IMPLICIT_NAMESPACE_CONFLICT, L"Adding namespace to CML parser", L"",
                  [&] { parser.AddNamespace(L"urn:a", L"1.0.0"); });
    for (int again = 0; again < 2; ++again) parser.AddNamespace(L"urn:b", L"2.0.0");
    ExpectRefusal(OVX_E_CML_VERSION_CONFLICT, L"",
                  L"Adding namespace \"urn:b\" version 2.0.1; namespace \"urn:b\" version 2.0.0 already specified",
                  [&] { parser.AddNamespace(L"urn:b", L"2.0.1"); });
    parser.RemoveNamespace(L"urn:b");
    parser.AddNamespace(L"urn:b", L"2.0.1");
    EXPECT_EQ(1u, parser.GetNamespaces().size());
    // The schema locations given to the XML layer list both sets under the folder.
    CCmlParser::ClearImplicitNamespaces();
    CInspectableParser inspectable;
    std::wstring location;
    inspectable.BuildExternalSchemaLocation(location, nullptr);
    EXPECT_EQ(L"", location);  // no folder anywhere: none
    CCmlParser::AddImplicitNamespace(kNsAgentMessages, L"1.0.4");
    inspectable.AddNamespace(kCmlBaseUri, L"1.0.1");
    inspectable.BuildExternalSchemaLocation(location, L"/s");
    EXPECT_EQ(std::wstring(kNsAgentMessages) + L" /s/cml/Message/AgentMessages/AgentMessages1_0_4.xsd " + kCmlBaseUri +
                  L" /s/Ovx1_0_1.xsd",
              location);

    CCmlParser::SetSchemaDirectory(L"C:\\agent\\schemas\\");
    EXPECT_EQ(L"C:/agent/schemas", CCmlParser::GetSchemaDirectory());
    CCmlParser::SetSchemaDirectory(L"");
}

// ---- hostile input

// A document type declaration is refused in every encoding the XML layer
// reads, not only in bytes that look like ASCII, and with it every entity:
// an external one is never read. The same document without one is read, so
// each row proves the encoding itself was understood.
TEST_F(Parser, DocumentTypesAreRefusedInEveryEncoding) {
    struct Row {
        const char *encoding, *declared;  // iconv's name, the name in the XML declaration (or none)
        std::string bom;
    };
    const Row rows[] = {
        {"UTF-16LE", "UTF-16", "\xFF\xFE"}, {"UTF-16BE", "UTF-16", "\xFE\xFF"}, {"UTF-16LE", "UTF-16LE", ""},
        {"UTF-16BE", "UTF-16BE", ""},       {"UCS-4BE", "ISO-10646-UCS-4", ""}, {"UCS-4LE", "ISO-10646-UCS-4", ""},
        {"IBM037", "IBM037", ""},           {"ISO-8859-1", "ISO-8859-1", ""},   {"UTF-8", nullptr, "\xEF\xBB\xBF"},
    };
    auto encode = [](const Row& row, const std::string& body) {
        std::string text = "<?xml version='1.0'" +
                           (row.declared ? std::string(" encoding='") + row.declared + "'" : std::string()) + "?>" +
                           body;
        iconv_t convert = iconv_open(row.encoding, "UTF-8");  // when it fails, so does iconv()
        std::string out(text.size() * 4, '\0');
        char *in = &text[0], *to = &out[0];
        size_t inLeft = text.size(), outLeft = out.size();
        EXPECT_NE(static_cast<size_t>(-1), iconv(convert, &in, &inLeft, &to, &outLeft)) << row.encoding;
        iconv_close(convert);
        return row.bom + out.substr(0, out.size() - outLeft);
    };
    const std::string declarations[] = {
        "<!DOCTYPE a><a/>",
        "<!DOCTYPE a [<!ENTITY x 'y'>]><a>&x;</a>",
        "<!DOCTYPE a [<!ENTITY % p 'x'> %p;]><a/>",
        "<!-- first --><!DOCTYPE a SYSTEM 'a.dtd'><a/>",
        "<!DOCTYPE a [<!ENTITY x SYSTEM 'file:///etc/passwd'>]><a>&x;</a>",
    };
    for (const Row& row : rows) {
        for (uint32_t mode : {kDoNotValidate, kValidate}) {
            CCmlParser parser;
            ASSERT_EQ(0u, ParseFailure(parser, encode(row, "<a>\xC3\xA9</a>"), kDoNotValidate, nullptr).GetErrorCode())
                << row.encoding;
            for (const std::string& declaration : declarations) {
                SCOPED_TRACE(std::string(row.encoding) + " " + declaration);
                const auto error = ExpectFailure(parser, encode(row, declaration), mode, OVX_E_CML_PARSE_FATAL);
                EXPECT_EQ(std::wstring::npos, error.GetMessage().find(L"root:"));  // no file was read
            }
        }
    }
}

// The session reads every answer with one parser: whatever a document did
// to it (a refusal, a failed validation, the plain parse that then looks at
// the versions), the next one is held to the same rules.
TEST_F(Parser, NoConnectionIsMadeForEntitiesOrSchemaLocations) {
    const Listener listener;
    ASSERT_NE(0, listener.port);
    const std::string url = "http://127.0.0.1:" + std::to_string(listener.port);
    // A connection is counted and closed at once, so that a parser that
    // does connect fails instead of waiting for an answer.
    std::atomic<bool> done{false};
    std::atomic<int> connections{0};
    std::thread closer([&] {
        while (!done.load()) {
            pollfd incoming{listener.fd, POLLIN, 0};
            if (poll(&incoming, 1, 20) <= 0) continue;
            const int connection = accept(listener.fd, nullptr, nullptr);
            if (connection >= 0 && ++connections) close(connection);
        }
    });

    // Refused outright: document types, and with them every entity.
    const std::string refused[] = {
        "<!DOCTYPE a SYSTEM '" + url + "/a.dtd'><a/>",
        "<!DOCTYPE a [<!ENTITY x SYSTEM '" + url + "/x'>]><a>&x;</a>",
    };
    // Schema hints outside the schema folder: not read, so the validating
    // parse finds no grammar; the plain parse never looks at them.
    const std::string hinted[] = {
        "<a xmlns='urn:a' xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance' xsi:schemaLocation='urn:a " + url +
            "/a.xsd'/>",
        "<a xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance' xsi:noNamespaceSchemaLocation='" + url + "/a.xsd'/>",
        "<a xmlns='urn:a' xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance' "
        "xsi:schemaLocation='urn:a ./schemas/../../../../../../../etc/passwd'/>",
    };
    CCmlParser parser;
    for (int round = 0; round < 2; ++round) {
        for (uint32_t mode : {kDoNotValidate, kValidate, kDoNotValidate}) {
            for (const std::string& xml : refused) ExpectFailure(parser, xml, mode, OVX_E_CML_PARSE_FATAL);
            const uint32_t expected = mode == kValidate ? OVX_E_CML_PARSE_ERROR : 0u;
            for (const std::string& xml : hinted)
                EXPECT_EQ(expected, ParseFailure(parser, xml, mode).GetErrorCode()) << xml;
        }
    }
    done = true;
    closer.join();
    EXPECT_EQ(0, connections.load()) << "the parser connected to " << url;
}

TEST_F(Parser, BillionLaughsFailsFastAndSmall) {
    std::string xml = "<?xml version='1.0'?><!DOCTYPE lolz [<!ENTITY lol 'lol'>";
    for (int level = 1; level <= 9; ++level) {
        xml += "<!ENTITY lol" + std::to_string(level) + " '";
        for (int i = 0; i < 10; ++i) xml += level == 1 ? "&lol;" : "&lol" + std::to_string(level - 1) + ";";
        xml += "'>";
    }
    xml += "]><lolz>&lol9;</lolz>";
    const long before = PeakResidentKb();
    const auto start = std::chrono::steady_clock::now();
    CCmlParser parser;
    EXPECT_EQ(OVX_E_CML_PARSE_FATAL, ParseFailure(parser, xml, kDoNotValidate, nullptr).GetErrorCode());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_LT(PeakResidentKb() - before, 32 * 1024);
}

// Escaped characters are not entities a document declared: an answer with
// tens of thousands of them (a policy full of "&lt;" and "&amp;") is read in
// every mode.
TEST_F(Parser, EscapedTextsOfAnySizeAreRead) {
    std::string text;
    for (int i = 0; i < 20000; ++i) text += "&amp;&lt;&quot;";
    const std::string xml = WithBody(UnknownItem(" note='" + text + "'", text));
    CCmlParser parser;
    // The schemas do not know the item: the parse fails on that, not on the
    // number of escaped characters.
    EXPECT_THAT(ParseFailure(parser, xml, kValidate).GetMessage(), Not(HasSubstr(L"xpansion")));
    EXPECT_NE(std::wstring::npos, std::wstring(RootOf(parser, xml).getTextContent()).find(L"&<\"&<\""));
}

TEST_F(Parser, AFiftyMegabyteMessageIsReadInProportionalMemory) {
    GetGlobalClassFactory()->RegisterDocument(kProbeNs, L"1.0.0", L"probe-request", CProbeRequest());
    CCmlMessage message = SampleMessage();
    CProbeRequest request(L"1.0.0", std::wstring(200, L'x'));
    message.AddRequest(request);
    const size_t small = Written(message).size();
    message.AddRequest(request);
    const size_t each = Written(message).size() - small, count = 50u * 1024 * 1024 / each;
    for (size_t i = 2; i < count; ++i) message.AddRequest(request);
    const std::string xml = Written(message);
    ASSERT_GE(xml.size(), 50u * 1024 * 1024 - each);
    const long before = PeakResidentKb();
    std::unique_ptr<CCmlMessage> back = MessageOf(xml, kDoNotValidate, nullptr);
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(count, back->GetRequests().size());
#if defined(__SANITIZE_ADDRESS__)
    (void)before;  // the sanitizer's shadow memory says nothing of ours
#else
    EXPECT_LT(PeakResidentKb() - before, static_cast<long>(xml.size() / 1024) * 12);
#endif
}
