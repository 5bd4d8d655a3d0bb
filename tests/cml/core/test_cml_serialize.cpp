#include <fstream>
#include <cstring>
#include <thread>
#include <utility>

#include "cml/core/cmlSerialize.h"
#include "cml/core/cmlXmlOut.h"
#include "cml/core/cmlXmlText.h"
#include "tools/ovxCodecvt.h"
#include "cml/documents/cml_documents_test_support.h"
#include "support/TestFiles.h"

using namespace ovx::cml::testing;
using namespace ovx::cml::XmlUtils;

namespace {

// Subtrees of documents parsed by the library's parser, which keeps them.
struct Subtrees : ::testing::Test {
    xercesc::DOMDocument* Parse(const std::string& xml) {
        return RootOf(m_parser, xml).GetDOMElement()->getOwnerDocument();
    }
    CCmlParser m_parser;
};

}  // namespace

// Text given as UTF-8 is read as such (every entry point escapes by the
// table below); a NULL text is refused, naming the kind of text.
TEST(Escaping, Utf8TextIsReadAndNullTextsAreRefused) {
    std::wstring out = L"stale";
    EscapeContent("caf\xC3\xA9 & \xF0\x9F\x98\x80", out);
    EXPECT_EQ(L"caf\u00e9 &amp; \U0001F600", out);
    ExpectRefusal(OVX_E_INVALID_ARGUMENT, L"Translating XML attribute value", L"NULL pointer received",
                  [&] { EscapeAttributeValue(static_cast<const wchar_t*>(nullptr), out); });
    EXPECT_EQ(L"Translating XML content",
              Failure([&] { EscapeContent(static_cast<const char*>(nullptr), out); }).GetOperation());
}

// Each class of character with the bytes it must come out as, written out
// from the escaping rules: the escaped characters (tab and line feed only in
// attribute values, carriage return in both), everything else unchanged, as
// UTF-8 on a narrow stream, and a value UTF-8 cannot carry (a surrogate, past
// the last code point, negative) as U+FFFD there; a wide stream gets every
// value as it was given. The last five are one bit away from an escaped
// character and come out unchanged.
struct EscapedForm {
    wchar_t character;
    const char* attribute;
    const char* content;
};
const char kU[] = "\xEF\xBF\xBD";  // U+FFFD
const EscapedForm kEscapedForms[] = {
    {L'a', "a", "a"},          {L'Z', "Z", "Z"},           {L'\x20AC', "\xE2\x82\xAC", "\xE2\x82\xAC"},
    {L'0', "0", "0"},          {L' ', " ", " "},           {L'\x1F600', "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
    {L'=', "=", "="},          {L'\t', "&#9;", "\t"},      {L'\x10FFFF', "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
    {L'\r', "&#13;", "&#13;"}, {L'\n', "&#xa;", "\n"},     {L'\'', "&apos;", "&apos;"},
    {L'&', "&amp;", "&amp;"},  {L'"', "&quot;", "&quot;"}, {L'\xE9', "\xC3\xA9", "\xC3\xA9"},
    {L'>', "&gt;", "&gt;"},    {L'<', "&lt;", "&lt;"},     {L'\xFF', "\xC3\xBF", "\xC3\xBF"},
    {L'\xD800', kU, kU},       {L'\xDFFF', kU, kU},        {L'\x110000', kU, kU},
    {wchar_t(-5), kU, kU},     {L'#', "#", "#"},           {L'?', "?", "?"},
    {L';', ";", ";"},          {L'$', "$", "$"},           {L'%', "%", "%"},
};

// `text` escaped through one batch of `Char`.
template <class Char>
std::basic_string<Char> Batched(const std::wstring& text, bool attribute) {
    std::basic_ostringstream<Char> out;
    CTextBatch<Char> batch(out);
    batch.AppendEscaped(text.data(), text.size(), attribute);
    batch.Flush();
    return out.str();
}

// Long texts mixing every class through one batch: runs, escapes and
// multi-byte sequences meet the batch's buffer boundary at every offset, and
// each must still come out in its form of the table.
TEST(Escaping, EveryCharacterClassComesOutInItsFormAtAnyOffset) {
    constexpr size_t kForms = sizeof kEscapedForms / sizeof kEscapedForms[0];
    uint32_t seed = 12345;
    for (int round = 0; round < 40; ++round) {
        std::wstring text, wide[2];  // [0] content, [1] attribute value
        std::string narrow[2], plain;
        for (int i = 0; i < 3000 + round * 37; ++i) {
            seed = seed * 1103515245u + 12345u;
            // Mostly plain letters, as real values are, with the rest mixed in.
            const uint32_t pick = (seed >> 16) % (3 * kForms);
            const EscapedForm& form = kEscapedForms[pick < 2 * kForms ? 0 : pick - 2 * kForms];
            text += form.character;
            for (int attribute : {0, 1}) {
                const char* escaped = attribute ? form.attribute : form.content;
                narrow[attribute] += escaped;
                wide[attribute] += *escaped == '&' ? std::wstring(escaped, escaped + strlen(escaped))
                                                   : std::wstring(1, form.character);
            }
            // Unescaped, the text is its content form with the escaped
            // characters (all ASCII) put back.
            plain += *form.content == '&' ? std::string(1, static_cast<char>(form.character)) : form.content;
        }
        SCOPED_TRACE(round);
        for (int attribute : {0, 1}) {
            ASSERT_EQ(narrow[attribute], Batched<char>(text, attribute)) << attribute;
            ASSERT_EQ(wide[attribute], Batched<wchar_t>(text, attribute)) << attribute;
        }
        // The entry points for a whole text give the same, in place of what
        // the string held and on either kind of stream.
        std::wstring attributeValue = L"stale", content = L"stale";
        EscapeAttributeValue(text.c_str(), attributeValue);
        EscapeContent(text.c_str(), content);
        ASSERT_EQ(wide[1] + wide[0] + wide[0],
                  attributeValue + content + TextOf<wchar_t>([&](auto& out) { EscapeContent(out, text.c_str()); }));
        ASSERT_EQ(narrow[1] + plain,
                  TextOf([&](auto& out) { EscapeAttributeValue(out, text); }) + TextOf([&](auto& out) {
                      CTextBatch<char> unescaped(out);
                      unescaped.Append(text);
                      unescaped.Flush();
                  }));
        // Documents that keep their text as UTF-8 hold it well-formed (a
        // value that is not a scalar is U+FFFD there already) and write the
        // same attribute value.
        std::string viaUtf8;
        {
            CXmlOut out(viaUtf8);
            out.Attribute("v", ovxToolsLib::ovxUnicode<wchar_t>::ToUtf8(text));
        }
        ASSERT_EQ(" v='" + narrow[1] + "'", viaUtf8);
    }
}

TEST(Declarations, TheStreamDecidesTheEncodingAndTheRootTagListsTheSchemas) {
    EXPECT_EQ("<?xml version='1.0' encoding='UTF-8' standalone='yes'?>\n",
              TextOf([](auto& out) { WriteXmlDeclaration(out, true); }));

    ovxTest::TempDir temp("ovx-decl");
    {
        std::wofstream file(temp / "decl.xml");
        WriteXmlDeclaration(file, false);
    }
    EXPECT_EQ("<?xml version='1.0' encoding='UTF-8' standalone='no'?>\n", ovxTest::ReadText(temp / "decl.xml"));

    std::wostringstream empty;
    std::wostream other(empty.rdbuf());  // a plain wide stream: encoding unknown
    const CCmlException error = Failure([&] { WriteXmlDeclaration(other, false); });
    EXPECT_EQ(L"Writing XML declaration: Unsupported stream type", error.GetOperation() + L": " + error.GetMessage());

    // The root start tag: a wide string stream is UCS4; no schema location
    // for an empty set, and one pair per namespace.
    EXPECT_EQ(
        L"<?xml version='1.0' encoding='UCS4' standalone='no'?>\n"
        L"<ovx xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance'\n",
        TextOf<wchar_t>([](auto& out) { WriteRootStartTag(out, L"ovx", CNamespaceSet()); }));

    const CNamespaceSet set{CNamespace(kNsMessage, kVersionMessage), CNamespace(kCmlBaseUri, kVersionRoot),
                            CNamespace(kNsAgentMessages, kVersionAgentMessages)};
    EXPECT_EQ(
        "<?xml version='1.0' encoding='UTF-8' standalone='no'?>\n"
        "<ovx xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance'\n"
        "    xsi:schemaLocation='https://schemas.example.org/xml ./schemas/Ovx1_0_1.xsd\n"
        "    https://schemas.example.org/xml/cml/Message ./schemas/cml/Message/Message1_0_0.xsd\n"
        "    https://schemas.example.org/xml/cml/Message/AgentMessages "
        "./schemas/cml/Message/AgentMessages/AgentMessages1_0_4.xsd'",
        TextOf([&](auto& out) { WriteRootStartTag(out, L"ovx", set); }));

    // A thread keeps the last root tag it wrote: after each change of what
    // the tag is written from, it is what a thread that wrote none writes.
    const auto tagOf = [](const wchar_t* tag, const CNamespaceSet& namespaces) {
        return TextOf([&](auto& out) { WriteRootStartTag(out, tag, namespaces); });
    };
    const std::pair<const wchar_t*, CNamespaceSet> changes[] = {
        {L"ovx", set},
        {L"other", set},
        {L"other", {CNamespace(kNsMessage, kVersionMessage)}},
        {L"other", {CNamespace(kNsMessage, L"1.0.9")}},
        {L"other", {CNamespace(kNsAgentMessages, L"1.0.9")}},
        {L"other", {}},
    };
    std::string before;
    for (const auto& [tag, namespaces] : changes) {
        std::string fresh;
        std::thread([&, tag = tag, &namespaces = namespaces] { fresh = tagOf(tag, namespaces); }).join();
        const std::string again = tagOf(tag, namespaces);
        EXPECT_EQ(fresh, again);
        EXPECT_EQ(again, tagOf(tag, namespaces));
        EXPECT_NE(before, again);
        before = again;
    }
}

TEST(SchemaFileNames, BuildAndParseAreInverse) {
    std::wstring file;  // the plain forms: in the root start tag's test
    std::string narrow;
    BuildSchemaFileName(kNsCml, L"2.4.2", std::string("/opt/my schemas"), narrow);
    EXPECT_EQ("/opt/my%20schemas/cml/cml2_4_2.xsd", narrow);

    SetSchemaFileNameOverride(L"Special");
    BuildSchemaFileName(kNsCore, L"1.0.0", L"./schemas", file);
    EXPECT_EQ(L"./schemas/cml/Core/Special1_0_0.xsd", file);
    SetSchemaFileNameOverride(L"Fixed.xsd");
    BuildSchemaFileName(kNsCore, L"1.0.0", L"./schemas", file);
    EXPECT_EQ(L"./schemas/cml/Core/Fixed.xsd", file);
    SetSchemaFileNameOverride(L"");

    ExpectRefusal(OVX_E_CML_UNKNOWN_NAMESPACE, L"Building schema filename", L"Invalid namespace",
                  [&] { BuildSchemaFileName(L"urn:other", L"1.0.0", L"./schemas", file); });

    std::wstring uri, version, base;
    ASSERT_TRUE(
        ParseSchemaFileName(L".\\schemas\\cml\\Message\\AgentMessages\\AgentMessages1_0_4.xsd", uri, version, base));
    EXPECT_EQ(std::wstring(kNsAgentMessages) + L" 1.0.4 AgentMessages", uri + L" " + version + L" " + base);
    ASSERT_TRUE(ParseSchemaFileName(L"./schemas/Ovx1_0_1.xsd", uri, version, base));
    EXPECT_EQ(kCmlBaseUri, uri);
    EXPECT_FALSE(ParseSchemaFileName(L"/elsewhere/cml/Core/Core1_0_0.xsd", uri, version, base));
    EXPECT_FALSE(ParseSchemaFileName(L"./schemas/cml/Core/Other1_0_0.xsd", uri, version, base));
    EXPECT_TRUE(uri.empty());
}

TEST_F(Subtrees, FormattedOutputIndentsAndSkipsBlankText) {
    xercesc::DOMDocument* document = Parse(
        "<r xmlns='urn:a'>\n  <c k='1&amp;2' n='a&#10;b'>x &lt; y</c>\n  <d xmlns='urn:b'><![CDATA[<raw>]]></d>"
        "<!--note--><e>\t</e>\n</r>");
    EXPECT_EQ(
        L"    <r xmlns='urn:a'>\n"
        L"        <c k='1&amp;2' n='a&#xa;b'>\n"
        L"            x &lt; y\n"
        L"        </c>\n"
        L"        <d xmlns='urn:b'>\n"
        L"            <![CDATA[<raw>]]>\n"
        L"        </d>\n"
        L"        <!--note-->\n"
        L"        <e>\n"
        L"            \t\n"
        L"        </e>\n"
        L"    </r>\n",
        TextOf<wchar_t>([&](auto& out) { SerializeNodeFormatted(document->getDocumentElement(), out, 1); }));
}

TEST_F(Subtrees, UnformattedOutputKeepsTextAndDeclaresNamespacesOnlyWhereTheyChange) {
    xercesc::DOMDocument* document = Parse("<p:r xmlns:p='urn:a'><p:same/><q:other xmlns:q='urn:b'/></p:r>");
    xercesc::DOMElement* root = document->getDocumentElement();
    EXPECT_EQ("<p:r xmlns:p='urn:a'><p:same/><q:other xmlns:q='urn:b'/></p:r>",
              TextOf([&](auto& out) { SerializeNodeUnformatted(root, out); }));

    // A detached copy has no parent: it declares its namespace itself.
    xercesc::DOMNode* copy = document->importNode(root->getFirstChild(), true);
    EXPECT_EQ("<p:same xmlns:p='urn:a'/>", TextOf([&](auto& out) { WriteNodeStartTag(out, copy); }));
    copy->release();
    // Unformatted output keeps text exactly.
    xercesc::DOMDocument* text = Parse("<r a='&quot;'>  lead <b>\n</b>&amp;<![CDATA[x]]><!--c--></r>");
    EXPECT_EQ(L"<r a='&quot;'>  lead <b>\n</b>&amp;<![CDATA[x]]><!--c--></r>",
              TextOf<wchar_t>([&](auto& out) { SerializeNodeUnformatted(text->getDocumentElement(), out); }));
    ExpectRefusal(0, L"", L"Null element received",
                  [] { TextOf<wchar_t>([](auto& out) { SerializeNodeUnformatted(nullptr, out); }); });
}

TEST_F(Subtrees, DeepNestingIsWrittenWithoutRecursion) {
    const int depth = 100000;
    xercesc::DOMDocument* document =
        xercesc::DOMImplementationRegistry::getDOMImplementation(u"Core")->createDocument(nullptr, u"r", nullptr);
    // Built from the inside out: appending under a deep node makes the DOM
    // walk all its ancestors, which would make building quadratic.
    xercesc::DOMNode* chain = document->createElement(u"n");
    for (int i = 1; i < depth; ++i) {
        xercesc::DOMNode* outer = document->createElement(u"n");
        outer->appendChild(chain);
        chain = outer;
    }
    document->getDocumentElement()->appendChild(chain);
    const std::string text = TextOf([&](auto& out) { SerializeNodeUnformatted(document->getDocumentElement(), out); });
    // "<r>", depth-1 times "<n>", the innermost "<n/>", depth-1 times "</n>", "</r>".
    const size_t inner = static_cast<size_t>(depth) - 1;
    EXPECT_EQ(3 + 3 * inner + 4 + 4 * inner + 4, text.size());
    EXPECT_EQ(0u, text.find("<r><n><n>"));
    EXPECT_EQ(text.size() - 8, text.rfind("</n></r>"));
    std::ostringstream formatted;
    CCmlException error = Failure([&] { SerializeNodeFormatted(document->getDocumentElement(), formatted, 0); });
    EXPECT_EQ(L"Serializing formatted content", error.GetOperation());
    EXPECT_EQ(0u, formatted.str().size());  // refused before writing anything
    document->release();
}

TEST_F(Subtrees, FileFormsCreateTheFolderAndWriteUtf8) {
    xercesc::DOMDocument* document = Parse("<r>\xE2\x82\xAC</r>");
    ovxTest::TempDir temp("ovx-serialize");
    SerializeNodeUnformatted(document->getDocumentElement(), (temp / "a/b/out.xml").c_str());
    EXPECT_EQ("<r>\xE2\x82\xAC</r>", ovxTest::ReadText(temp / "a/b/out.xml"));

    const std::string blocked = temp / "file";
    ovxTest::WriteText(blocked, "x");
    ExpectRefusal(0xC7210037u, L"Serializing formatted content", L"",
                  [&] { SerializeNodeFormatted(document->getDocumentElement(), (blocked + "/x.xml").c_str(), 0); });
    EXPECT_EQ(0xC7210003u, CodeOf([&] { SerializeNodeUnformatted(document->getDocumentElement(), nullptr); }));
}
