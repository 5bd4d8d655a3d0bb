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

namespace ovx {
namespace cml {
namespace XmlUtils {

inline const wchar_t* OrEmpty(const wchar_t* text) { return text == nullptr ? L"" : text; }

// The attribute's value; empty when absent.
inline std::wstring GetAttributeText(CCmlDOM_Element& element, const wchar_t* name) {
    return OrEmpty(element.getAttribute(name));
}

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

// "0x" and lower-case hexadecimal without leading zeros.
std::wstring HexCode(uint32_t code);

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
template <class Char>
void StartTag(std::basic_ostream<Char>& out, int level, const wchar_t* tag, size_t length) {
    CTextBatch<Char> batch(out);
    batch.AppendIndent(level);
    batch.AppendLiteral("<");
    batch.Append(tag, length);
    batch.Flush();
}
template <class Char>
void StartTag(std::basic_ostream<Char>& out, int level, const std::wstring& tag) {
    StartTag(out, level, tag.data(), tag.size());
}
template <class Char>
void StartTag(std::basic_ostream<Char>& out, int level, const wchar_t* tag) {
    StartTag(out, level, tag, std::wcslen(tag));
}

// Indentation, "</", the tag, ">" and an end of line.
template <class Char>
void EndTag(std::basic_ostream<Char>& out, int level, const wchar_t* tag, size_t length) {
    CTextBatch<Char> batch(out);
    batch.AppendIndent(level);
    batch.AppendLiteral("</");
    batch.Append(tag, length);
    batch.AppendLiteral(">\n");
    batch.Flush();
}
template <class Char>
void EndTag(std::basic_ostream<Char>& out, int level, const std::wstring& tag) {
    EndTag(out, level, tag.data(), tag.size());
}
template <class Char>
void EndTag(std::basic_ostream<Char>& out, int level, const wchar_t* tag) {
    EndTag(out, level, tag, std::wcslen(tag));
}

}  // namespace XmlUtils
}  // namespace cml
}  // namespace ovx

#endif  // OVX_CML_CORE_CMLDOCUMENTUTILS_H
