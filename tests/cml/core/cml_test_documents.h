// Small document classes for tests of the class factory and the message
// body: a request with content, a response, and a document that is neither.
#ifndef OVX_TESTS_CML_TEST_DOCUMENTS_H
#define OVX_TESTS_CML_TEST_DOCUMENTS_H

#include <string>
#include <utility>

#include "cml/core/cmlDocument.h"
#include "cml/core/cmlException.h"
#include "cml/core/cmlMessage.h"
#include "support/CmlFailure.h"

namespace ovx {
namespace cml {
namespace testing {

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
        for (CCmlDOM_Node child = element.getFirstChild(); !child.IsNull(); child = child.getNextSibling()) {
            if (child.getNodeType() == xercesc::DOMNode::ELEMENT_NODE) {
                const wchar_t* text = child.getTextContent();
                note = text != nullptr ? text : L"";
            }
        }
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

class CProbeResponse : public CCmlResponse {
public:
    CProbeResponse(const wchar_t* version = L"1.0.0") : CCmlResponse(L"probe-response", kProbeNs, version) {}
    CProbeResponse* Clone() const override { return new CProbeResponse(*this); }
};

// Registered like a request but not one: the message must refuse it.
class CProbeDocument : public CCmlDocumentBase {
public:
    CProbeDocument(const wchar_t* tag = L"probe-document", const wchar_t* version = L"1.0.0")
        : CCmlDocumentBase(tag, kProbeNs, version), m_version(version) {}
    CProbeDocument* Clone() const override { return new CProbeDocument(*this); }
    const std::wstring& GetSchemaVersion() const override { return m_version; }
    void SetSchemaVersion(const wchar_t* version) override { m_version = version != nullptr ? version : L""; }
    bool HasContent() const override { return false; }
    void Deserialize(CCmlDOM_Element& element) override { ProcessStandardAttributes(element); }

private:
    std::wstring m_version;
};

}  // namespace testing
}  // namespace cml
}  // namespace ovx

#endif
