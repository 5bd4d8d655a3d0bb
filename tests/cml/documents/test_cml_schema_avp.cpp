#include "cml/core/cmlVocabulary.h"
#include "cml/documents/cmlAvpSections.h"
#include "cml/documents/cmlSchema.h"
#include "cml_documents_test_support.h"

#include <functional>
#include <string>
#include <vector>

using namespace ovx::cml::testing;

namespace {

const char kSchemaXml[] =
    "<schema xmlns='http://www.w3.org/2001/XMLSchema' targetNamespace='urn:s' version='3.1'>"
    "<element name='thing'/></schema>";

}  // namespace

TEST(SchemaDocuments, MessagesRoundTripWithTheirSchemasAndFlagsFollowTheDefaultsRule) {
    CCmlParser parser;
    CCmlDOM_Element schema = RootOf(parser, kSchemaXml);
    CCmlMessage message = Envelope();
    CSchemaRequest wanted(kReqGetSchemaRequest);
    EXPECT_EQ(
        L"<get-schema-request xmlns='https://schemas.example.org/xml/cml/Message/SchemaMessages' "
        L"schema-version='1.0.0' request-id=''/>\n",
        ElementOf(wanted));
    wanted.AddItem(CSchemaInfo(L"urn:s", L"3.1", L"s", false, false, false, true));
    message.AddRequest(wanted);
    CSetSchemaRequest set;
    set.AddItem(CSetSchemaRequestData(L"urn:s", schema, L"3.1", L"s", true, true, false, false, false));
    message.AddRequest(set);
    CGetSchemaResponse answer;
    CGetSchemaResponseData found, missing;
    found.SetNamespace(L"urn:s");
    found.SetSchema(schema);
    answer.AddItem(found);
    missing.SetNamespace(L"urn:t");
    missing.SetCode(0xC7560006u);
    answer.AddItem(missing);
    message.AddResponse(answer);
    CSchemaResponse inventory(kRespGetSchemaInfoResponse);
    CSchemaInfoResponseData entry;
    entry.SetNamespace(L"urn:s");
    entry.SetText(L"a & b");
    inventory.AddItem(entry);
    message.AddResponse(inventory);
    schema = CCmlDOM_Element();

    std::unique_ptr<CCmlMessage> back = RoundTrip(message, true);
    ASSERT_TRUE(back && back->GetRequests().size() == 2 && back->GetResponses().size() == 2);
    EXPECT_EQ(Written(message), Written(*back));  // the same classes, holding the same
    EXPECT_TRUE(dynamic_cast<CSchemaRequest*>(back->GetRequests()[0]) &&
                dynamic_cast<CSetSchemaRequest*>(back->GetRequests()[1]) &&
                dynamic_cast<CGetSchemaResponse*>(back->GetResponses()[0]) &&
                dynamic_cast<CSchemaResponse*>(back->GetResponses()[1]));
    EXPECT_EQ(L"get-schema-info-response", back->GetResponses()[1]->GetTagName());
    // The copies of the schema are the message's own.
    std::unique_ptr<CCmlMessage> clone(back->Clone());
    back.reset();
    EXPECT_EQ(L"3.1", static_cast<CSetSchemaRequest*>(clone->GetRequests()[1])->GetItem(0).GetSchema()->GetVersion());
    // Schema flags are written by the defaults rule and read as XML booleans.
    CSchemaInfo info(L"urn:s", L"", L"");
    EXPECT_EQ(L"<schema-info namespace='urn:s'/>\n", ElementOf(info));
    SetSerializeDefaults(true);
    EXPECT_EQ(
        L"<schema-info namespace='urn:s' root='false' cpe-editable='false' get-from-agent='false' "
        L"get-latest-compatible='false'/>\n",
        ElementOf(info));
    SetSerializeDefaults(false);

    ReadFrom(info, "<schema-info namespace='n' root='TRUE' cpe-editable='true'/>");
    EXPECT_TRUE(!info.GetRoot() && info.GetCpeEditable());
}

// Each schema message takes only the schema-info items of its own namespace,
// and each item only its first unprefixed XML Schema child; an index past
// the items is refused, naming the message.
TEST(SchemaDocuments, MessagesTakeOnlyTheirOwnItemsAndEachItemOneSchema) {
    const std::string items =
        "<schema-info namespace='urn:a'><x:schema xmlns:x='urn:not-xsd'/><schema xmlns='urn:not-xsd'/>"
        "<xs:schema xmlns:xs='http://www.w3.org/2001/XMLSchema' version='1.0'/>"
        "<other xmlns='http://www.w3.org/2001/XMLSchema'/>"
        "<schema xmlns='http://www.w3.org/2001/XMLSchema' version='2.0'/>"
        "<schema xmlns='http://www.w3.org/2001/XMLSchema' version='3.0'/></schema-info>"
        "<schema-info xmlns='urn:foreign' namespace='urn:b'/><other-info namespace='urn:c'/>";
    auto check = [&](auto message, const wchar_t* operation) {
        const std::string tag(message.GetTagName().begin(), message.GetTagName().end());
        SCOPED_TRACE(tag);
        ReadFrom(message, "<" + tag + " xmlns='https://schemas.example.org/xml/cml/Message/" +
                              "SchemaMessages' schema-version='1.0.0' request-id='1'>" + items + "</" + tag + ">");
        ASSERT_EQ(1u, message.GetCount());
        EXPECT_EQ(L"urn:a", message.GetItem(0).GetNamespace());
        ExpectRefusal(OVX_E_CML_BAD_INDEX, operation, L"", [&] { std::as_const(message).GetItem(1); });
        EXPECT_EQ(OVX_E_CML_BAD_INDEX, CodeOf([&] { message.GetItem(1); }));
    };
    check(CSchemaRequest(kReqGetSchemaRequest), L"Getting schema request");
    check(CSchemaResponse(kRespSetSchemaResponse), L"Getting schema response");
    check(CSetSchemaRequest(), L"Getting set-schema-request");
    check(CGetSchemaResponse(), L"Getting get-schema-response");
    auto schemaOf = [&](auto data) {
        ReadFrom(data, items.substr(0, items.find("<schema-info xmlns=")));
        EXPECT_EQ(OVX_E_CML_NULL_ELEMENT, CodeOf([&] { ReadFrom(data, ""); }));
        return data.GetSchema() == nullptr ? L"none"
                                           : data.GetSchema()->GetNamespace() + L" " + data.GetSchema()->GetVersion();
    };
    EXPECT_EQ(L"http://www.w3.org/2001/XMLSchema 2.0", schemaOf(CGetSchemaResponseData()));
    EXPECT_EQ(L"http://www.w3.org/2001/XMLSchema 2.0", schemaOf(CSetSchemaRequestData()));

    // With a schema, the item carries it and no code or text.
    CCmlParser parser;
    CCmlDOM_Element schema = RootOf(parser, kSchemaXml);
    CGetSchemaResponseData data;
    data.SetNamespace(L"urn:s");
    data.SetCode(7);
    data.SetText(L"ignored with a schema");
    data.SetSchema(schema);
    EXPECT_THAT(ElementOf(data, 1), AllOf(::testing::StartsWith(L"    <schema-info namespace='urn:s'>\n<schema "),
                                          Not(HasSubstr(L"code=")), HasSubstr(L"    </schema-info>\n")));
    ExpectRefusal(OVX_E_CML_NO_SCHEMA, L"", L"No schema specified", [&] { ElementOf(CSetSchemaRequestData()); });

    CSchemaNode none{CCmlDOM_Element()};
    for (auto get : {&CSchemaNode::GetNamespace, &CSchemaNode::GetVersion})
        EXPECT_EQ(OVX_E_CML_NULL_NODE, CodeOf([&] { (none.*get)(); }));
    EXPECT_TRUE(CSchemaNode(none).IsNull());
}

// A namespace's text is held once and shared by the schema-infos that name
// it, as a document class's texts are by its documents, up to bounds; a long one, or one past the bounds, is a copy of
// its own. Either way each reads back what it was given, and one moved from reads an empty namespace.
TEST(SchemaDocuments, NamespacesAndClassTextsAreSharedAndReadBackAsGiven) {
    const CSchemaInfo first(std::string("urn:shared"), "1.0", ""), second(std::string("urn:shared"), "2.0", "");
    EXPECT_EQ(first.GetNamespaceUtf8().data(), second.GetNamespaceUtf8().data());
    const CSetSchemaRequest one, two;  // a document class's texts, likewise
    EXPECT_EQ(one.GetTagName().data(), two.GetTagName().data());
    EXPECT_EQ(one.GetSchemaVersion().data(), two.GetSchemaVersion().data());
    const std::string longer = "urn:" + std::string(400, 'x');
    const CSchemaInfo own(longer, "1.0", ""), other(longer, "1.0", "");
    EXPECT_NE(own.GetNamespaceUtf8().data(), other.GetNamespaceUtf8().data());
    EXPECT_EQ(longer, other.GetNamespaceUtf8());
    std::vector<CSchemaInfo> many;
    for (int i = 0; i < 1500; ++i) many.emplace_back("urn:many:" + std::to_string(i), "1.0", "");
    for (int i = 0; i < 1500; ++i) ASSERT_EQ("urn:many:" + std::to_string(i), many[i].GetNamespaceUtf8());
    CSchemaInfo moved(std::string("urn:shared"), "1.0", "");
    CSchemaInfo taken(std::move(moved));
    EXPECT_EQ("urn:shared", taken.GetNamespaceUtf8());
    EXPECT_EQ(L"", moved.GetNamespace());  // a moved-from object stays usable
    moved.SetNamespace(L"urn:again");
    EXPECT_EQ("urn:again", moved.GetNamespaceUtf8());
}

TEST(AvpSections, OrdinalsAreAssignedOrKeptAndDuplicatesRefused) {
    CCmlAvpSections sections;
    for (const wchar_t* name : {L"a", L"b", L"c"}) sections.AddSection(CAvpSection(kNsAvpSections, name));
    EXPECT_EQ(3u, sections.GetCount());
    EXPECT_EQ(L"c", sections.FindSection(3)->GetName());
    ExpectRefusal(OVX_E_CML_IMPLICIT_NAMESPACE_CONFLICT, L"Inserting AVP section", L"",
                  [&] { sections.AddSection(CAvpSection(kNsAvpSections, L"d", 2)); });
    // The next number for an unnumbered section is the one after the last
    // it gave: taken by a numbered one, it is refused.
    sections.AddSection(CAvpSection(kNsAvpSections, L"e", 4));
    EXPECT_EQ(OVX_E_CML_INSERTION_FAILED, CodeOf([&] { sections.AddSection(CAvpSection(kNsAvpSections, L"f")); }));
    CAvpSection section(kNsAvpSections, L"p");
    section.AddParameter(L"x", L"1");
    section.AddParameter(L"a", L"2");
    EXPECT_EQ(L"Inserting name-value pair", Failure([&] { section.AddParameter(L"x", L"2"); }).GetOperation());
    ASSERT_EQ(2u, section.GetParameters().size());  // in the order added
    EXPECT_EQ(L"xa", section.GetParameters()[0]->GetName() + section.GetParameters()[1]->GetName());
    EXPECT_EQ(kNsPolicyCommon, section.FindParameter(L"x")->GetNamespaceUri());
    CAvpSection other(L"urn:elsewhere", L"q");
    EXPECT_EQ(kNsCommon, other.AddParameter(L"y", L"2").GetNamespaceUri());
    // Reading keeps explicit ordinals and numbers the rest.
    CCmlAvpSections read;
    ReadFrom(read,
             "<policy xmlns='https://schemas.example.org/xml/cml/CommonDocuments/AvpSections' schema-version='2.0.1' "
             "name='n'><section name='five' ordinal='5'><param xmlns='https://schemas.example.org/xml/cml/common' "
             "name='a' value='1'/><param xmlns='urn:unrelated' name='b' value='2'/></section><section name='none'/>"
             "<section name='two' ordinal='2'/><x:section xmlns:x='urn:x' name='foreign'/></policy>");
    ASSERT_TRUE(read.GetCount() == 3 && read.FindSection(5) && read.FindSection(6) && read.FindSection(2));
    // The unrelated param is skipped.
    EXPECT_EQ(L"five|1|none|two|", Joined({read.FindSection(5)->GetName(), read.FindSection(5)->GetCount(),
                                           read.FindSection(6)->GetName(), read.FindSection(2)->GetName()}));
    const std::wstring text = ElementOf(read);
    // Ascending ordinals, whatever the order read.
    EXPECT_LT(text.find(L"name='two'"), text.find(L"name='five'"));
    EXPECT_LT(text.find(L"name='five'"), text.find(L"name='none'"));
    EXPECT_THAT(text, HasSubstr(L"<section xmlns='https://schemas.example.org/xml/cml/CommonDocuments/AvpSections' "
                                L"name='two' ordinal='2'/>"));
    CCmlAvpSections zero;
    zero.AddSection(CAvpSection(kNsAvpSections, L"z", 0));
    EXPECT_THAT(ElementOf(zero), HasSubstr(L"name='z'/>"));
}

TEST(GroupSettings, ChildrenAreCarriedUnchangedAndOutliveTheirDocument) {
    std::unique_ptr<CGroupSettingsChildNode> child;
    {
        CCmlParser parser;
        auto element = RootOf(parser, "<s:server xmlns:s='urn:settings' host='h'><s:port>80</s:port></s:server>");
        child = std::make_unique<CGroupSettingsChildNode>(element);
    }
    EXPECT_EQ(L"s:server|urn:settings|1|1|",
              Joined({child->GetTagName(), child->GetNamespace(), child->HasContent(), child->GetChildCount()}));
    std::unique_ptr<CGroupSettingsChildSource> clone(child->Clone());
    child.reset();
    EXPECT_EQ("<s:server host='h' xmlns:s='urn:settings'>\n    <s:port>\n        80\n    </s:port>\n</s:server>\n",
              ElementOf<char>(*clone));
    CGroupSettingsChildNode empty;
    const std::function<void()> calls[] = {[&] { empty.GetTagName(); }, [&] { empty.GetNamespace(); },
                                           [&] { empty.HasContent(); }, [&] { empty.GetChildCount(); }};
    for (const auto& call : calls) EXPECT_EQ(OVX_E_CML_NULL_NODE, CodeOf(call));
    EXPECT_EQ(OVX_E_CML_NULL_ELEMENT, CodeOf([&] { ReadFrom(empty, ""); }));
}
