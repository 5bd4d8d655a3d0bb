// What the CML tests share: the failure a call throws, round trips through a
// compound message, and small document classes for tests of the class
// factory and the message body.
#ifndef OVX_TESTS_CML_DOCUMENTS_SUPPORT_H
#define OVX_TESTS_CML_DOCUMENTS_SUPPORT_H

#include <gmock/gmock.h>

#include <memory>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>

#include "cml/core/cmlMessage.h"
#include "cml/core/cmlParser.h"

namespace ovx {
namespace cml {
namespace testing {

// A test that takes these helpers takes the library's names with them, and
// the matchers for texts.
using namespace ::ovx::cml;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;

// The exception f() throws, or one with code 0 and "no exception" when it
// throws none: a test that expects a failure then fails on its code.
template <class F>
CCmlException Failure(F f) {
    try {
        f();
    } catch (const CCmlException& error) {
        return error;
    }
    return CCmlException(L"", L"no exception", 0);
}

// The code of the failure f() throws (0 for none).
template <class F>
uint32_t CodeOf(F f) {
    return Failure(f).GetErrorCode();
}

// f() fails with this code, operation and message (0 or "": any, but never
// all three), compared as one text so that a mismatch shows all three.
template <class F>
void ExpectRefusal(uint32_t code, const std::wstring& operation, const std::wstring& message, F f) {
    const CCmlException error = Failure(f);
    const CCmlException expected(operation.empty() ? error.GetOperation() : operation,
                                 message.empty() ? error.GetMessage() : message,
                                 code != 0 ? code : error.GetErrorCode());
    EXPECT_EQ(expected.Format(), error.Format());
}

// One field of a joined text: a text (NULL as "(null)") or a number, taken
// when the list is made, before a later call on the same wrapper reuses the
// wrapper's buffer.
struct Field {
    Field(const wchar_t* text) : text(text != nullptr ? text : L"(null)") {}
    Field(std::wstring text) : text(std::move(text)) {}
    template <class N, class = std::enable_if_t<std::is_arithmetic<N>::value>>
    Field(N number) : text(std::to_wstring(number)) {}
    std::wstring text;
};

// The fields, each followed by "|": one comparison shows every field.
inline std::wstring Joined(std::initializer_list<Field> fields) {
    std::wstring out;
    for (const Field& field : fields) out += field.text + L"|";
    return out;
}

// What `write` puts on a fresh string stream of `Char`.
template <class Char = char, class F>
std::basic_string<Char> TextOf(F write) {
    std::basic_ostringstream<Char> out;
    write(out);
    return out.str();
}

inline const wchar_t* SchemaFolder() { return L"" OVX_SCHEMA_DIR; }

inline CCmlMessage Envelope(const wchar_t* format = L"1.0.1") {
    CAgentInfo source, destination;
    source.SetName(L"sensor");
    destination.SetName(L"manager");
    CCmlMessage message(source, L"m-1", destination, false, L"");
    message.SetSchemaVersion(format);
    return message;
}

// Moves a message document to the older format's single namespace.
template <class T>
T& Place(T& document, bool older) {
    if (older) {
        document.SetNamespaceUri(kNsCml);
        document.SetSchemaVersion(kVersionCml);
    }
    return document;
}

inline std::string Written(const CCmlDocumentBase& document) {
    return TextOf([&](auto& out) { document.Serialize(out); });
}

// The document read from `xml` in `mode`, with the schemas of `folder`.
inline std::unique_ptr<CCmlDocumentBase> DocumentOf(const std::string& xml, uint32_t mode,
                                                    const wchar_t* folder = SchemaFolder()) {
    return std::unique_ptr<CCmlDocumentBase>(
        CreateDocumentFromXml(xml.data(), xml.size(), mode, nullptr, folder, kMatchCompatible));
}

// The message read from `xml`, or none when it is another document.
inline std::unique_ptr<CCmlMessage> MessageOf(const std::string& xml, uint32_t mode,
                                              const wchar_t* folder = SchemaFolder()) {
    std::unique_ptr<CCmlDocumentBase> document = DocumentOf(xml, mode, folder);
    auto* read = dynamic_cast<CCmlMessage*>(document.get());
    if (read != nullptr) document.release();
    return std::unique_ptr<CCmlMessage>(read);
}

// Writes the message, parses it back (validating against the shipped
// schemas when asked) and reads it.
inline std::unique_ptr<CCmlMessage> RoundTrip(const CCmlMessage& message, bool validate = false) {
    return MessageOf(Written(message), validate ? kValidate : kDoNotValidate);
}

// Replaces the first `from` in `text`, which must hold it.
inline void Replace(std::string& text, const std::string& from, const std::string& to) {
    size_t at = text.find(from);
    ASSERT_NE(std::string::npos, at) << from;
    text.replace(at, from.size(), to);
}

// What `item` writes as its element, `level` deep, on a wide (or narrow) stream.
template <class Char = wchar_t, class T>
std::basic_string<Char> ElementOf(const T& item, int level = 0) {
    return TextOf<Char>([&](auto& out) { item.WriteElement(out, level); });
}

// The element at the root of `xml`, in a parser the caller keeps.
inline CCmlDOM_Element RootOf(CCmlParser& parser, const std::string& xml) {
    parser.ParseBuffer(xml.data(), xml.size(), kDoNotValidate, nullptr);
    return parser.GetDocument().getDocumentElement();
}

// Reads `target` from the root element of `xml` (from an empty wrapper when
// `xml` is empty); what reading throws passes through.
template <class T>
T& ReadFrom(T& target, const std::string& xml) {
    CCmlParser parser;
    CCmlDOM_Element root = xml.empty() ? CCmlDOM_Element() : RootOf(parser, xml);
    target.Deserialize(root);
    return target;
}

constexpr wchar_t kProbeNs[] = L"https://schemas.example.org/xml/cml/Message/ProbeMessages";

// A request carrying one free text as its `note` child element.
class CProbeRequest : public CCmlRequest {
public:
    CProbeRequest(const wchar_t* version = L"1.0.0", std::wstring text = L"")
        : CCmlRequest(L"probe-request", kProbeNs, version), note(std::move(text)) {}
    CProbeRequest* Clone() const override { return new CProbeRequest(*this); }
    bool HasContent() const override { return !note.empty(); }
    void WriteContent(std::wostream& out, int level) const override { Write(out, level); }
    void WriteContent(std::ostream& out, int level) const override { Write(out, level); }
    void Deserialize(CCmlDOM_Element& element) override {
        CCmlRequest::Deserialize(element);
        note.clear();
        for (CCmlDOM_Node child = element.getFirstChild(); !child.IsNull(); child = child.getNextSibling())
            if (child.getNodeType() == xercesc::DOMNode::ELEMENT_NODE && child.getTextContent() != nullptr)
                note = child.getTextContent();
    }
    std::wstring note;

private:
    template <class Char>
    void Write(std::basic_ostream<Char>& out, int level) const {
        XmlUtils::WriteIndent(out, level);
        XmlUtils::WriteText(out, std::wstring(L"<note>"));
        XmlUtils::EscapeContent(out, note.c_str());
        XmlUtils::WriteText(out, std::wstring(L"</note>\n"));
    }
};

// Registered like a request but not one: the message must refuse it.
class CProbeDocument : public CCmlDocumentBase {
public:
    CProbeDocument() : CCmlDocumentBase(L"probe-document", kProbeNs, L"1.0.0") {}
    CProbeDocument* Clone() const override { return new CProbeDocument(*this); }
    const std::wstring& GetSchemaVersion() const override { return m_version; }
    void SetSchemaVersion(const wchar_t* version) override { m_version = version != nullptr ? version : L""; }
    bool HasContent() const override { return false; }
    void Deserialize(CCmlDOM_Element& element) override { ProcessStandardAttributes(element); }

private:
    std::wstring m_version = L"1.0.0";
};

}  // namespace testing
}  // namespace cml
}  // namespace ovx

#endif
