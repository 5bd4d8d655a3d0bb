// The simulator's plain XML reader against expat, a full parser: whatever
// the plain reader accepts, expat must accept too and report element for
// element, attribute for attribute, alike. What the plain reader does not
// take (it gives up) goes to expat in the simulator, so giving up is always
// safe; accepting what expat refuses, or reading a value otherwise, is the
// fault these tests look for.
#include <expat.h>
#include <gtest/gtest.h>

#include <string>

#include "SimXml.h"

namespace {

void OnStart(void* data, const char* name, const char** attributes) {
    std::string& events = *static_cast<std::string*>(data);
    events.append("<").append(name);
    for (size_t i = 0; attributes[i] != nullptr; i += 2)
        events.append(" ").append(attributes[i]).append("=[").append(attributes[i + 1]).append("]");
    events.append(">");
}

void OnEnd(void* data, const char* name) { static_cast<std::string*>(data)->append("</").append(name).append(">"); }

// What a reader made of `text`: "read " and the events ("<name a=[v]>" and
// "</name>", in order), or "left" (the plain reader gave it up) or
// "refused" (expat found it ill-formed).
std::string Plain(const std::string& text) {
    std::string events;
    const auto read = ovxSim::ReadPlainXml(text.data(), text.size(), &events, &OnStart, &OnEnd);
    return read == ovxSim::PlainXml::kRead ? "read " + events : "left";
}

std::string Expat(const std::string& text) {
    std::string events;
    XML_Parser parser = XML_ParserCreate(nullptr);
    XML_SetUserData(parser, &events);
    XML_SetElementHandler(parser, &OnStart, &OnEnd);
    const bool read = XML_Parse(parser, text.data(), static_cast<int>(text.size()), XML_TRUE) == XML_STATUS_OK;
    XML_ParserFree(parser);
    return read ? "read " + events : "refused";
}

// Fails the test when the plain reader accepts `text` and expat does not,
// or reads it otherwise; true when the plain reader accepted it.
bool AgreesWithExpat(const std::string& text) {
    const std::string plain = Plain(text);
    if (plain == "left") return false;
    EXPECT_EQ(Expat(text), plain) << text;
    return true;
}

// The form agents post, as the library writes it (shortened).
const std::string kHeartbeat =
    "<?xml version='1.0' encoding='UTF-8' standalone='no'?>\n"
    "<ovx xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance'\n    xsi:schemaLocation='urn:a ./a.xsd\n    urn:b "
    "./b.xsd'\n     xmlns='urn:ovx' schema-version='1.0.1'>\n"
    "    <cml xmlns='urn:cml' schema-version='1.0.0'>\n"
    "        <message-envelope broadcast='false' message-id='m-1'>\n"
    "            <source name='probe &amp; co' namespace='urn:probe' agent-id='{a&#x31;}'/>\n"
    "            <message-body><request>\n"
    "                <agent-startup-announcement request-id='r-1' name=\"caf\xC3\xA9 \xE2\x82\xAC\" version='5'>\n"
    "                    <module-list><module name='m&lt;1&gt;' version='1.2.3'/></module-list>\n"
    "                </agent-startup-announcement>\n"
    "            </request></message-body>\n"
    "        </message-envelope>\n"
    "    </cml>\n"
    "</ovx>\n";

// Plain documents are read, as expat reads them; the values follow the
// rules of attribute values without a document type.
TEST(SimPlainXml, PlainDocumentsAreReadAsAFullParserReadsThem) {
    const std::pair<std::string, std::string> cases[] = {
        // the text, and the events read
        {"<a/>", "<a></a>"},
        {"<?xml version=\"1.0\"?><a  b = 'x' c=\"y\" ></a >", "<a b=[x] c=[y]></a>"},
        {"<a b='1&#10;2&#x9;3&#13;'/>", "<a b=[1\n2\t3\r]></a>"},          // references are not normalized
        {"<a b='1\r\n2\n3\t4\r5'/>", "<a b=[1 2 3 4 5]></a>"},             // line breaks and tabs are
        {"<a b='&quot;&apos;&lt;&gt;&amp;\"'/>", "<a b=[\"'<>&\"]></a>"},  // entities of XML itself
        {"<a b='&#x20AC;&#128512;'/>", "<a b=[\xE2\x82\xAC\xF0\x9F\x98\x80]></a>"},
        {"<x:a x:b='1' xmlns:x='u'>t &amp; \xC3\xA9 ]]<x:c/></x:a>", "<x:a x:b=[1] xmlns:x=[u]><x:c></x:c></x:a>"},
        {"\n<a>\r\n</a>\r\n", "<a></a>"},
    };
    for (const auto& [text, events] : cases) {
        EXPECT_EQ("read " + events, Plain(text));
        EXPECT_TRUE(AgreesWithExpat(text)) << text;
    }
    EXPECT_TRUE(AgreesWithExpat(kHeartbeat));
}

// Ill-formed documents, and well-formed ones beyond the plain form, are
// left to the full parser.
TEST(SimPlainXml, AnythingElseIsLeftToTheFullParser) {
    // One kind a line: the structure, attributes, references, characters and
    // encodings, the prolog, and what a plain document never holds.
    // clang-format off
    const std::string cases[] = {
        "", "   ", "<a>", "<a></b>", "<a></a><b/>", "<a/>text",
        "<a b='1' b='2'/>", "<a b='1'c='2'/>", "<a b=1/>", "<a b='<'/>",
        "<a b='&unknown;'/>", "<a b='&#0;'/>", "<a b='&#xD800;'/>", "<a b='&#x110000;'/>", "<a b='&#;'/>",
        "<a>]]></a>", "<a>\x01</a>", "<a b='\xC0\x80'/>", "<a b='\xED\xA0\x80'/>", "<a b='\xEF\xBF\xBF'/>",
        "<a>\xF4\x90\x80\x80</a>", "<\xC3\xA9/>", "<a\xC3\xA9/>",
        "<?xml version='1.1'?><a/>", "<?xml version='&#49;.0'?><a/>", "<?xml encoding='UTF-8' version='1.0'?><a/>",
        "<?xml version='1.0' encoding='ISO-8859-1'?><a b='\xE9'/>", " <?xml version='1.0'?><a/>", "\xEF\xBB\xBF<a/>",
        "<!DOCTYPE a><a/>", "<!-- note --><a/>", "<?pi x?><a/>", "<a><![CDATA[x]]></a>", "<a><!-- note --></a>"};
    // clang-format on
    for (const std::string& text : cases) EXPECT_EQ("left", Plain(text)) << text;
}

// Every document a byte away from the heartbeat (each byte cut off, taken
// out, or replaced by a byte that matters to XML) is read as expat reads
// it, or left to it.
TEST(SimPlainXml, DocumentsAByteAwayFromAHeartbeatAreNeverReadOtherwise) {
    const std::string replacements = std::string("<>&;#'\"/=! \t\r\n\x01\x80\xC3\xFFxX:-.0", 24);
    int read = 0, total = 0;
    const auto check = [&](const std::string& text) {
        read += AgreesWithExpat(text) ? 1 : 0;
        ++total;
    };
    for (size_t i = 0; i < kHeartbeat.size() && !HasFailure(); ++i) {
        check(kHeartbeat.substr(0, i));
        check(kHeartbeat.substr(0, i) + kHeartbeat.substr(i + 1));
        for (char c : replacements) check(kHeartbeat.substr(0, i) + c + kHeartbeat.substr(i + 1));
    }
    ASSERT_FALSE(HasFailure());
    // Both verdicts occur: many such changes leave the document plain (a
    // letter of a value), many break it.
    EXPECT_GT(read, total / 10);
    EXPECT_LT(read, total - total / 10);
}

}  // namespace
