// Reading and writing helpers shared by the document classes: attributes
// with their absent-means-empty rule, element children through the
// wrappers, status codes as "0x..." text, and start and end tags.
#ifndef OVX_CML_CORE_CMLDOCUMENTUTILS_H
#define OVX_CML_CORE_CMLDOCUMENTUTILS_H

#include <xercesc/dom/DOMException.hpp>
#include <xercesc/dom/DOMNode.hpp>

#include <cstdint>
#include <cwchar>
#include <ostream>
#include <string>

#include "cml/core/cmlDom.h"
#include "cml/core/cmlSerialize.h"
#include "cml/core/cmlXmlText.h"
#include "tools/ovxCodecvt.h"

namespace ovx {
namespace cml {
namespace XmlUtils {

inline const wchar_t* OrEmpty(const wchar_t* text) { return text == nullptr ? L"" : text; }

// The attribute's value; empty when absent.
inline std::wstring GetAttributeText(CCmlDOM_Element& element, const wchar_t* name) {
    return OrEmpty(element.getAttribute(name));
}

// Between the wide text of the document interface and the UTF-8 some
// documents keep theirs in; a value that is not a Unicode scalar becomes
// U+FFFD, as it would on the wire.
inline std::string Utf8Of(const std::wstring& text) { return ovxToolsLib::ovxUnicode<wchar_t>::ToUtf8(text); }
inline std::wstring WideOf(const std::string& text) { return ovxToolsLib::ovxUnicode<wchar_t>::FromUtf8(text); }

// Runs `read`, turning a DOM error into CCmlException under `operation`
// with the DOM's message and code.
template <class F>
void ReadGuarded(const wchar_t* operation, F read) {
    try {
        read();
    } catch (const xercesc::DOMException& error) {
        ThrowDomError(operation, error);
    }
}

// Calls `visit(CCmlDOM_Element&)` for each element child, in document order.
template <class Visit>
void ForEachChildElement(CCmlDOM_Node& parent, Visit visit) {
    for (CCmlDOM_Node child = parent.getFirstChild(); !child.IsNull(); child = child.getNextSibling()) {
        if (child.getNodeType() != xercesc::DOMNode::ELEMENT_NODE) continue;
        CCmlDOM_Element element;
        element.SetDOMElement(child.GetDOMNode());
        visit(element);
    }
}

// Indentation, "<" and the tag (attributes follow).
inline void StartTag(CXmlOut& out, int level, const std::wstring& tag) { out.StartTag(level, tag); }
inline void StartTag(CXmlOut& out, int level, const wchar_t* tag) { out.StartTag(level, tag); }
inline void StartTag(CXmlOut& out, int level, const std::string& tag) { out.StartTag(level, tag); }

// Indentation, "</", the tag, ">" and an end of line.
inline void EndTag(CXmlOut& out, int level, const std::wstring& tag) { out.EndTag(level, tag); }
inline void EndTag(CXmlOut& out, int level, const wchar_t* tag) { out.EndTag(level, tag); }
inline void EndTag(CXmlOut& out, int level, const std::string& tag) { out.EndTag(level, tag); }

// Markup and text into a writer, under the names the stream forms have.
template <size_t N>
void WriteLiteral(CXmlOut& out, const char (&text)[N]) {
    out.Literal(text);
}
inline void WriteText(CXmlOut& out, const std::wstring& text) { out.Text(text); }
inline void WriteText(CXmlOut& out, const wchar_t* text, size_t length) { out.Text(text, length); }
inline void WriteIndent(CXmlOut& out, int level) { out.Indent(level); }

}  // namespace XmlUtils
}  // namespace cml
}  // namespace ovx

#endif  // OVX_CML_CORE_CMLDOCUMENTUTILS_H
