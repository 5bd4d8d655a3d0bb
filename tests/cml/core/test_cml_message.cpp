#include "cml/documents/cml_documents_test_support.h"
#include "tools/ovxCodecvt.h"

using namespace ovx::cml::testing;

namespace {

std::unique_ptr<CCmlMessage> Read(const std::string& xml) { return MessageOf(xml, kDoNotValidate, nullptr); }

struct Message : ::testing::Test {
    static void SetUpTestSuite() {
        GetGlobalClassFactory()->RegisterDocument(kProbeNs, L"1.0.0", L"probe-request", CProbeRequest());
        GetGlobalClassFactory()->RegisterDocument(kProbeNs, L"1.0.0", L"probe-document", CProbeDocument());
    }
    void TearDown() override { SetSerializeDefaults(false); }
};

}  // namespace

// A request that needs a reply and a response with code 0 say so only when
// the defaults are asked for.
TEST_F(Message, DefaultsAreWrittenOnlyWhenAskedAndWideStreamsGetTheSameMarkup) {
    CCmlMessage message = Envelope();
    CProbeRequest request;
    request.SetRequestId(L"q1");
    message.AddRequest(request);
    CCmlOutOfBandResponse plain;
    plain.SetRequestId(L"q9");
    message.AddResponse(plain);
    EXPECT_THAT(Written(message), AllOf(HasSubstr("request-id='q1'/>"), HasSubstr("request-id='q9'/>")));
    SetSerializeDefaults(true);
    EXPECT_THAT(Written(message),
                AllOf(HasSubstr("request-id='q1' need-reply='true'/>"), HasSubstr("request-id='q9' code='0x0'/>")));
    // A wide stream gets the same markup with the UCS4 declaration.
    CCmlErrorResponse error;
    error.SetText(L"S\u00e9nsor \u20ac \U0001F600 \u00ff & \U0010FFFF <");
    message.AddResponse(error);
    const std::string narrow = Written(message);
    EXPECT_EQ(L"<?xml version='1.0' encoding='UCS4' standalone='no'?>" +
                  ovxToolsLib::ovxUnicode<wchar_t>::FromUtf8(narrow.substr(narrow.find('\n'))),
              TextOf<wchar_t>([&](auto& out) { message.Serialize(out); }));
}

TEST_F(Message, TheOlderFormatReadsAndWritesItsSingleNamespace) {
    auto old = [](const std::string& version) {
        return "<ovx xmlns='https://schemas.example.org/xml' schema-version='1.0.0'>"
               "<cml xmlns='https://schemas.example.org/xml/cml' schema-version='2.4.2'>"
               "<message-envelope broadcast='false' message-id='old'><source name='s'/><destination name='d'/>"
               "<message-body><response><error-response xmlns='https://schemas.example.org/xml/cml' schema-version='" +
               version + "' request-id='1' code='010'/></response></message-body></message-envelope></cml></ovx>";
    };
    std::unique_ptr<CCmlMessage> back = Read(old("2.4.2"));
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(L"1.0.0 " + std::wstring(kNsCml), back->GetSchemaVersion() + L" " + back->GetMessageNamespace());
    ASSERT_EQ(1u, back->GetResponses().size());
    EXPECT_EQ(8u, back->GetResponses()[0]->GetCode());  // a leading 0 reads as octal
    EXPECT_THAT(Written(*back),
                HasSubstr("schema-version='1.0.0'>\n"
                          "    <cml xmlns='https://schemas.example.org/xml/cml' schema-version='2.4.2'>"));

    // A 2.4.1 response is read (compatible lookup) but cannot be written
    // beside the 2.4.2 envelope of the same namespace.
    back = Read(old("2.4.1"));
    ASSERT_NE(nullptr, back);
    ASSERT_EQ(1u, back->GetResponses().size());
    EXPECT_EQ(L"2.4.1", back->GetResponses()[0]->GetSchemaVersion());
    ExpectRefusal(OVX_E_CML_VERSION_CONFLICT, L"Constructing CmlMessage namespace object", L"",
                  [&] { Written(*back); });
}

// Each document that is not a message this library can read, with the
// failure it must give; a body item the factory does not know is skipped.
TEST_F(Message, MalformedEnvelopesAndBodiesGiveTheirFailure) {
    const std::string root = "<ovx xmlns='https://schemas.example.org/xml' schema-version='1.0.1'>";
    const std::string cml = root + "<cml xmlns='https://schemas.example.org/xml/cml/Message' schema-version='1.0.0'>";
    auto body = [&](const std::string& items) {
        return cml + "<message-envelope broadcast='false' message-id='x'><source/><message-body><request>" + items +
               "</request></message-body></message-envelope></cml></ovx>";
    };
    const std::string ns = "xmlns='https://schemas.example.org/xml/cml/Message/ProbeMessages' schema-version='1.0.0'";
    const wchar_t* parsing = L"Parsing compound message";
    ExpectRefusal(OVX_E_CML_MISSING_ELEMENT, parsing, L"Missing \"cml\" element",
                  [&] { Read(root + "<cml xmlns='urn:other' schema-version='1.0.0'/></ovx>"); });
    ExpectRefusal(OVX_E_CML_MISSING_ELEMENT, parsing, L"Missing \"message-envelope\" element",
                  [&] { Read(cml + "</cml></ovx>"); });
    ExpectRefusal(OVX_E_UNEXPECTED, L"Error deserializing CML request", L"Document is not a message",
                  [&] { Read(body("<probe-document " + ns + "/>")); });
    EXPECT_EQ(nullptr, Read("<ovx xmlns='https://schemas.example.org/xml/x' schema-version='1.0.1'/>"));
    CCmlMessage message;
    EXPECT_EQ(OVX_E_CML_NULL_ELEMENT, CodeOf([&] { ReadFrom(message, ""); }));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, CodeOf([&] { message.AddRequest(static_cast<CCmlRequest*>(nullptr)); }));

    std::unique_ptr<CCmlMessage> back =
        Read(body("<unknown-request " + ns + "/><probe-request " + ns + " request-id='2'/>"));
    ASSERT_NE(nullptr, back);
    ASSERT_EQ(1u, back->GetRequests().size());
    // No destinations; an empty source is an agent without a name.
    EXPECT_EQ(L"2|0||", Joined({back->GetRequests()[0]->GetRequestId(), back->GetDestinations().size(),
                                back->GetSource().GetName()}));
}

TEST_F(Message, CodesAndOrdinalsReadOnlyWhatFits) {
    // Hexadecimal, decimal or octal by the prefix; anything else, or too
    // large for 32 bits, is 0.
    const std::pair<const wchar_t*, uint32_t> codes[] = {
        {L"10", 10},  {L"010", 8},   {L"0xC7210005", 0xC7210005u}, {L"-1", 0}, {L"", 0}, {L"0x100000000", 0},
        {nullptr, 0}, {L"12abc", 0},
    };
    for (const auto& code : codes) EXPECT_EQ(code.second, ToUnsigned(code.first)) << Field(code.first).text;

    CNameValuePair pair;
    EXPECT_EQ(CNameValuePair(L"urn:p", L"a&b", L"v", 3),
              ReadFrom(pair, "<param xmlns='urn:p' name='a&amp;b' value='v' ordinal='3'/>"));
    EXPECT_EQ(L" xmlns='urn:p' name='a&amp;b' value='v' ordinal='3'",
              TextOf<wchar_t>([&](auto& out) { pair.WriteAttributes(out); }));
    EXPECT_EQ(-1, ReadFrom(pair, "<param name='n' ordinal='x'/>").GetOrdinal());
}

// Free texts of every class of character (the escaped ones, letters beyond
// ASCII, characters beyond the first plane) in every field of a message with
// several of each part, set and unset: written, read and written again,
// nothing was lost, moved or changed, with the defaults written or not.
TEST_F(Message, EveryFieldCarriesEveryCharacterThroughTheRoundTrip) {
    const std::wstring text = L"a Z7 \"'&<>\n\u00e9\u00df\u20ac\u4e2d\U0001F600\U00010348";
    const std::wstring token = L"abcXYZ0189-.:/{}";
    auto agent = [&](const std::wstring& name) {
        CAgentInfo agent;
        for (auto set : {&CAgentInfo::SetHostName, &CAgentInfo::SetAgentId, &CAgentInfo::SetAuthToken,
                         &CAgentInfo::SetAuthHash, &CAgentInfo::AddAgentGroup})
            (agent.*set)(text);
        for (auto set : {&CAgentInfo::SetName, &CAgentInfo::AddAgentGroup}) (agent.*set)(name);
        for (auto set : {&CAgentInfo::SetNamespace, &CAgentInfo::SetIpAddress}) (agent.*set)(token);
        return agent;
    };
    CCmlMessage message(agent(text), token, agent(L"d"), true, token);
    message.AddDestination(agent(L"e"));
    message.AddDestination(CAgentInfo());
    for (bool needReply : {true, false}) {
        CProbeRequest request(L"1.0.0", needReply ? text : L"");
        request.SetRequestId(token.c_str());
        request.SetNeedReply(needReply);
        message.AddRequest(request);
    }
    CCmlErrorResponse error;
    error.SetCode(0xC7210005u);
    CCmlOutOfBandResponse plain;
    for (CCmlResponse* response : std::initializer_list<CCmlResponse*>{&error, &plain}) {
        response->SetRequestId(token.c_str());
        response->SetText(text.c_str());
        message.AddResponse(*response);
    }
    for (bool defaults : {false, true}) {
        SetSerializeDefaults(defaults);
        const std::string xml = Written(message);
        std::unique_ptr<CCmlMessage> back = Read(xml);
        ASSERT_NE(nullptr, back) << xml;
        EXPECT_EQ(xml, Written(*back));
        EXPECT_EQ(message.GetSource(), back->GetSource());
        EXPECT_EQ(message.GetDestinations(), back->GetDestinations());
        EXPECT_TRUE(back->GetBroadcast());
        ASSERT_EQ(2u, back->GetRequests().size());
        EXPECT_TRUE(back->GetRequests()[0]->GetNeedReply() && !back->GetRequests()[1]->GetNeedReply());
        EXPECT_EQ(text, static_cast<CProbeRequest*>(back->GetRequests()[0])->note);
        EXPECT_EQ(xml, Written(*std::unique_ptr<CCmlMessage>(message.Clone())));
    }
}
