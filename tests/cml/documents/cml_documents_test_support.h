// Round trips through a compound message for the document tests.
#ifndef OVX_TESTS_CML_DOCUMENTS_SUPPORT_H
#define OVX_TESTS_CML_DOCUMENTS_SUPPORT_H

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>

#include "cml/core/cmlException.h"
#include "cml/core/cmlMessage.h"
#include "cml/core/cmlNamespaces.h"
#include "cml/core/cmlParser.h"
#include "support/CmlFailure.h"

namespace ovx {
namespace cml {
namespace testing {

inline const wchar_t* SchemaFolder() {
    static const std::wstring folder = [] {
        std::string narrow = OVX_SCHEMA_DIR;
        return std::wstring(narrow.begin(), narrow.end());
    }();
    return folder.c_str();
}

inline CCmlMessage Envelope(const wchar_t* format = L"1.0.1") {
    CAgentInfo source;
    source.SetName(L"sensor");
    CAgentInfo destination;
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
    std::ostringstream out;
    document.Serialize(out);
    return out.str();
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

// What `item` writes as its element, `level` deep, on a wide stream.
template <class T>
std::wstring ElementOf(const T& item, int level = 0) {
    std::wostringstream out;
    item.WriteElement(out, level);
    return out.str();
}

// The element at the root of `xml`, in a parser the caller keeps.
inline CCmlDOM_Element RootOf(CCmlParser& parser, const std::string& xml) {
    parser.ParseBuffer(xml.data(), xml.size(), kDoNotValidate, nullptr);
    return parser.GetDocument().getDocumentElement();
}

}  // namespace testing
}  // namespace cml
}  // namespace ovx

#endif
