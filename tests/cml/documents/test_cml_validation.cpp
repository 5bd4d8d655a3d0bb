// Every document this library writes validates against the shipped schemas,
// and the schemas are strict enough to refuse a misspelt or missing
// attribute.

#include "cml/core/cmlVocabulary.h"
#include "cml/documents/cmlAgentInfo.h"
#include "cml/documents/cmlAvpSections.h"
#include "cml/documents/cmlTrust.h"
#include "cml_documents_test_support.h"

using namespace ovx::cml::testing;

namespace {

CCmlMessage EveryDocument(bool older) {
    CCmlMessage message = Envelope(older ? L"1.0.0" : L"1.0.1");
    CAgentStartupAnnouncement announcement;
    Place(announcement, older).SetRequestId(L"1");
    announcement.GetContent().name = L"sensor";
    announcement.GetContent().schemas.push_back(CSchemaInfo(kNsAgentMessages, L"1.0.4", L"a"));
    CModuleInfo module(L"m", L"1");
    CCmlAvpSections status(true);
    CAvpSection section(kNsRoAvpSections, L"s");
    section.AddParameter(L"p", L"v", 1);
    status.AddSection(section);
    module.AddPolicy(status);
    announcement.GetContent().modules.push_back(module);
    message.AddRequest(announcement);
    CGetPolicyRequest get;
    get.AddItem(CPolicyItem(L"p", L"urn:p", L"1", L"", L"", 0, L"", L"", L"", L"2026-12-07T10:00:00Z", L"policy-item"));
    message.AddRequest(Place(get, older));
    CSchemaRequest schemas(kReqGetSchemaInfoRequest);
    schemas.AddItem(CSchemaInfo(kNsPolicyMessages, L"1.0.0", L""));
    message.AddRequest(Place(schemas, older));
    if (!older) {
        CAttachToSiteRequest attach;
        attach.SetUserName(L"u");
        message.AddRequest(attach);
        CExchangeKeysRequest keys;
        keys.AddKey(L"-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----", L"RSA", 1024);
        message.AddRequest(keys);
    }
    CAgentStartupAcknowledgement acknowledgement;
    message.AddResponse(Place(acknowledgement, older));
    CSetPolicyResponse outcome;
    outcome.AddItem(CPolicyItem(L"", L"", L"", L"", L"", 5, L"", L"", L"", L"", L"policy-item"));
    message.AddResponse(Place(outcome, older));
    CCmlErrorResponse error;
    error.SetRequestId(L"r");
    error.SetCode(1);
    message.AddResponse(Place(error, older));
    return message;
}

}  // namespace

// Every document we write validates in both formats; one misspelt or
// missing attribute makes it fail.
TEST(Validation, EveryDocumentValidatesAndMisspeltOrMissingAttributesFail) {
    for (bool older : {false, true}) {
        const std::string xml = Written(EveryDocument(older));
        EXPECT_EQ(0u, CodeOf([&] { DocumentOf(xml, kValidate); })) << xml;
    }
    const std::tuple<bool, const char*, const char*> mutations[] = {
        // in the older format, from, to
        {false, " name='sensor' agent-id=''", " name='sensor' agent-idd=''"},  // announcement attribute misspelt
        {false, " name='sensor' agent-id=''", " name='sensor'"},               // required attribute missing
        {false, " user-name='u' passwd=''", " user-name='u'"},                 // credentials are required
        {false, "<policy-item name='p'", "<policy-item nmae='p'"},             // policy item attribute misspelt
        {false, "timestamp='2026-12-07T10:00:00.000000Z'", "timestamp='yesterday'"},
        {false, "<schema-info namespace=", "<schema-info namespaces="},
        {false, "<key algorithm='RSA' length='1024'>", "<key algorithm='RSA' length='long'>"},
        {false, "ordinal='1'", "ordinal='first'"},
        {false, "<module name='m' version='1'>", "<module name='m'>"},
        {true, " name='sensor' agent-id=''", " name='sensor' agentid=''"},
    };
    for (const auto& [older, from, to] : mutations) {
        SCOPED_TRACE(to);
        std::string broken = Written(EveryDocument(older));
        Replace(broken, from, to);
        EXPECT_EQ(OVX_E_CML_PARSE_ERROR, CodeOf([&] { DocumentOf(broken, kValidate); })) << broken;
    }
}

TEST(Aliases, EveryMessageClassIsFoundUnderTheOlderNamespaceAtBothVersions) {
    std::istringstream tags(
        "agent-startup-announcement agent-startup-acknowledgement get-policy-request get-policy-response "
        "set-policy-request set-policy-response get-schema-request get-schema-info-request get-schema-info-response "
        "set-schema-response get-schema-response set-schema-request error-response out-of-band-response");
    for (std::string tag; tags >> tag;) {
        for (const char* version : {"2.4.1", "2.4.2"}) {
            SCOPED_TRACE(tag + " " + version);
            std::string xml = "<" + tag + " xmlns='https://schemas.example.org/xml/cml' schema-version='" + version +
                              "' request-id='7'/>";
            std::unique_ptr<CCmlDocumentBase> document = DocumentOf(xml, kDoNotValidate, nullptr);
            auto* message = dynamic_cast<CMessageBase*>(document.get());
            ASSERT_NE(nullptr, message);
            EXPECT_EQ(Joined({std::wstring(tag.begin(), tag.end()), kNsCml, L"7"}),
                      Joined({message->GetTagName(), message->GetNamespaceUri(), message->GetRequestId()}));
        }
    }
    // The AVP sections documents answer under their older companion namespaces.
    for (const char* ns : {"AvpSections", "RoAvpSections"}) {
        const std::string uri = std::string("https://schemas.example.org/xml/cml/") + ns;
        std::string xml =
            "<policy xmlns='" + uri + "' xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance' xsi:schemaLocation='" +
            uri + " ./schemas/cml/" + ns + "/" + ns + "2_0_1.xsd' schema-version='2.0.1'><section name='s'/></policy>";
        std::unique_ptr<CCmlDocumentBase> document = DocumentOf(xml, kValidate);  // a failure throws
        auto* sections = dynamic_cast<CCmlAvpSections*>(document.get());
        ASSERT_NE(nullptr, sections) << ns;
        EXPECT_EQ(1u, sections->GetCount());
    }
}
