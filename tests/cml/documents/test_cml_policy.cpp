#include "cml/documents/cmlAvpSections.h"
#include "cml/documents/cmlPolicy.h"
#include "cml_documents_test_support.h"

using namespace ovx::cml::testing;

namespace {

const char kPolicyXml[] =
    "<p:settings xmlns:p='https://schemas.example.org/xml/cml/CommonDocuments/ServerSettings' "
    "schema-version='1.0.0' name='srv' version='7'><p:server host='a&amp;b'/><!-- kept --></p:settings>";

// A response item; code 0 is no code.
CPolicyData Data(uint32_t code = 0) {
    CPolicyData data;
    data.SetElementName(L"policy-item");
    data.SetCode(code);
    return data;
}

struct Policy : ::testing::Test {
    void TearDown() override { SetSerializeDefaults(false); }
};

}  // namespace

TEST_F(Policy, ItemsWriteWhatIsSetReadCodesInAnyBaseAndSkipForeignItems) {
    CPolicyItem item(L"n&m", L"urn:ns", L"2", L"1.0.0", L"t", 0x12AB, L"say \"hi\"", L"tok", L"g",
                     L"2026-12-07T10:11:12Z", L"policy-item");
    EXPECT_EQ(
        L"    <policy-item name='n&amp;m' namespace='urn:ns' version='2' schema-version='1.0.0' tag='t' "
        L"code='0x12ab' text='say &quot;hi&quot;' token='tok' group-msid='g' timestamp='2026-12-07T10:11:12.000000Z'/>\n",
        ElementOf(item, 1));
    // Texts are kept as they go on the wire: a character beyond ASCII as its
    // UTF-8 bytes, a value that is not a Unicode scalar as U+FFFD.
    CPolicyItem wide;
    wide.SetElementName(L"policy-item");
    wide.SetName(std::wstring(L"caf\u00e9 ") + static_cast<wchar_t>(0xD800));
    EXPECT_EQ("caf\xC3\xA9 \xEF\xBF\xBD", wide.GetNameUtf8());
    EXPECT_EQ(L"caf\u00e9 \uFFFD", wide.GetName());
    EXPECT_EQ(L"<policy-item name='caf\u00e9 \uFFFD'/>\n", ElementOf(wide));
    CPolicyItem bare;
    EXPECT_EQ(L"", ElementOf(bare));  // no element name: nothing
    bare.SetElementName(L"policy-item");
    EXPECT_EQ(L"<policy-item/>\n", ElementOf(bare));

    CPolicyItem read;
    for (auto code : {std::make_pair("0x12ab", 4779u), std::make_pair("017", 15u)})
        EXPECT_EQ(code.second, ReadFrom(read, std::string("<policy-item code='") + code.first + "'/>").GetCode());
    EXPECT_EQ(L"policy-item", read.GetElementName());
    // A request skips foreign items; a message without items is refused.
    CGetPolicyRequest request;
    ReadFrom(request,
             "<get-policy-request xmlns='https://schemas.example.org/xml/cml/Message/PolicyMessages' "
             "schema-version='1.0.0' request-id='1'><policy-item name='a'/><x:policy-item xmlns:x='urn:other' "
             "name='b'/><other name='c'/></get-policy-request>");
    ASSERT_EQ(1u, request.GetCount());
    EXPECT_EQ(L"a", request.GetItem(0)->GetName());
    EXPECT_EQ(OVX_E_CML_BAD_INDEX, CodeOf([&] { request.GetItem(1); }));

    ExpectRefusal(OVX_E_CML_NO_POLICY, L"Serializing get-policy-request", L"No policy specified",
                  [] { ElementOf<char>(CGetPolicyRequest()); });
    EXPECT_EQ(OVX_E_CML_NO_POLICY, CodeOf([] { ElementOf<char>(CSetPolicyResponse()); }));
    EXPECT_EQ(OVX_E_CML_NO_POLICY, CodeOf([] { ElementOf<char>(CGetPolicyResponse()); }));
    CNamespaceSet namespaces;
    EXPECT_EQ(L"Constructing set-policy-request namespace set",
              Failure([&] { CSetPolicyRequest().CollectNamespaces(namespaces); }).GetOperation());
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, CodeOf([&] { request.AddItem(static_cast<CPolicyItem*>(nullptr)); }));
    // A response item without content needs a code.
    CGetPolicyResponse response;
    response.AddItem(Data(1));
    response.CollectNamespaces(namespaces);
    response.AddItem(Data());
    ExpectRefusal(0, L"Constructing get-policy-response namespace set", L"No policy specified",
                  [&] { response.CollectNamespaces(namespaces); });
}

TEST_F(Policy, PolicyNodesDisagreeWithTypedPoliciesOnAMissingValidAndOutliveTheirDocuments) {
    CCmlAvpSections typed;
    typed.SetName(L"x");
    for (bool defaults : {false, true}) {
        SetSerializeDefaults(defaults);
        const std::wstring text = TextOf<wchar_t>([&](auto& out) { typed.WriteAttributes(out); });
        EXPECT_EQ(defaults, text.find(L" valid='true'") != std::wstring::npos) << text;
        EXPECT_EQ(std::wstring::npos, text.find(defaults ? L"overwrite" : L"valid=")) << text;
    }

    CCmlParser parser;
    CCmlDOM_Element element = RootOf(parser, kPolicyXml);
    CPolicyNode node(element);
    EXPECT_EQ(L"0|1|settings|srv|7|1.0.0|",
              Joined({node.GetValid(), node.GetSourceKind() == kPolicyNodeKind, node.getLocalName(), node.GetName(),
                      node.GetVersion(), node.GetSchemaVersion()}));
    CPolicyNode none{CCmlDOM_Element()};
    EXPECT_EQ(OVX_E_CML_NULL_NODE, CodeOf([&] { none.GetName(); }));
    EXPECT_EQ(L"Getting policy node version #", Failure([&] { none.GetVersion(); }).GetOperation());
    EXPECT_EQ(L"Getting policy node valid attribute", Failure([&] { none.GetValid(); }).GetOperation());
    // A policy node outlives every document it came from.
    std::unique_ptr<CPolicyNode> kept;
    std::unique_ptr<CSetPolicyRequest> copy;
    {
        auto parser = std::make_unique<CCmlParser>();
        CCmlDOM_Element element = RootOf(*parser, kPolicyXml);
        kept = std::make_unique<CPolicyNode>(element);
        CSetPolicyRequest request;
        request.AddPolicy(element);
        request.AddPolicy(static_cast<const CPolicySource&>(*kept));
        copy.reset(request.Clone());
        parser.reset();  // the parsed document is gone
    }
    ASSERT_EQ(2u, copy->GetCount());
    EXPECT_EQ(L"srv", copy->GetPolicy(0)->GetName());
    std::unique_ptr<CPolicySource> clone(copy->GetPolicy(1)->Clone());
    copy.reset();  // and the message holding the originals
    EXPECT_EQ(L"srv", clone->GetName());
    EXPECT_THAT(ElementOf(*clone), AllOf(HasSubstr(L"<p:server host='a&amp;b'/>"), HasSubstr(L"<!-- kept -->")));
    kept->SetSchemaVersion(L"1.0.1");
    EXPECT_EQ(L"1.0.0", static_cast<CPolicyNode*>(clone.get())->GetSchemaVersion());  // copies are independent
}

// Read back, each message is of its class and writes the same text again.
TEST_F(Policy, TheFourMessagesSurviveTheRoundTripInBothNamespaces) {
    CCmlParser parser;
    CCmlDOM_Element policy = RootOf(parser, kPolicyXml);
    for (bool older : {false, true}) {
        SCOPED_TRACE(older);
        CCmlMessage message = Envelope(older ? L"1.0.0" : L"1.0.1");
        CGetPolicyRequest get;
        get.AddItem(CPolicyItem(L"srv", L"urn:x", L"", L"", L"", 0, L"", L"", L"", L"", L"policy-item"));
        message.AddRequest(Place(get, older));
        CSetPolicyRequest set;
        set.AddPolicy(policy);
        message.AddRequest(Place(set, older));
        CGetPolicyResponse answer;
        CPolicyData data = Data();
        data.SetName(L"srv");
        data.SetPolicy(policy);
        answer.AddItem(data);
        answer.AddItem(Data(0xC7560006u));
        message.AddResponse(Place(answer, older));
        CSetPolicyResponse outcome;
        outcome.AddItem(CPolicyItem(L"", L"", L"", L"", L"", 0, L"ok", L"", L"", L"", L"policy-item"));
        message.AddResponse(Place(outcome, older));

        std::unique_ptr<CCmlMessage> back = RoundTrip(message, true);
        ASSERT_TRUE(back && back->GetRequests().size() == 2 && back->GetResponses().size() == 2);
        EXPECT_EQ(Written(message), Written(*back));
        auto* readSet = dynamic_cast<CSetPolicyRequest*>(back->GetRequests()[1]);
        auto* readAnswer = dynamic_cast<CGetPolicyResponse*>(back->GetResponses()[0]);
        ASSERT_TRUE(readSet && readAnswer && dynamic_cast<CGetPolicyRequest*>(back->GetRequests()[0]) &&
                    dynamic_cast<CSetPolicyResponse*>(back->GetResponses()[1]));
        EXPECT_EQ(L"7", readSet->GetPolicy(0)->GetVersion());
        ASSERT_NE(nullptr, readAnswer->GetItem(0)->GetPolicy());
        EXPECT_EQ(L"srv", readAnswer->GetItem(0)->GetPolicy()->GetName());
        EXPECT_EQ(nullptr, readAnswer->GetItem(1)->GetPolicy());
    }
}
