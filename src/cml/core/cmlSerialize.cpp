#include "cml/core/cmlSerialize.h"

#include <sys/stat.h>

#include <xercesc/dom/DOM.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <locale>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>

#include "cml/core/cmlException.h"
#include "cml/core/cmlKeptText.h"
#include "cml/core/cmlXmlText.h"
#include "tools/ovxCodecvt.h"
#include "tools/ovxForkHold.h"

namespace ovx {
namespace cml {
namespace XmlUtils {

const wchar_t kSchemaInstanceDeclaration[] = L"xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance'";
const wchar_t kSchemaFolder[] = L"./schemas";
const char kDeclarationUtf8Standalone[] = "<?xml version='1.0' encoding='UTF-8' standalone='yes'?>";
const char kDeclarationUtf8[] = "<?xml version='1.0' encoding='UTF-8' standalone='no'?>";
const wchar_t kDeclarationUtf16Standalone[] = L"<?xml version='1.0' encoding='UTF-16' standalone='yes'?>";
const wchar_t kDeclarationUtf16[] = L"<?xml version='1.0' encoding='UTF-16' standalone='no'?>";
const wchar_t kDeclarationUcs4Standalone[] = L"<?xml version='1.0' encoding='UCS4' standalone='yes'?>";
const wchar_t kDeclarationUcs4[] = L"<?xml version='1.0' encoding='UCS4' standalone='no'?>";

namespace {

using xercesc::DOMNode;

std::mutex g_settingsLock;
const ovxToolsLib::ovxForkHold g_settingsForkHold(g_settingsLock, ovxToolsLib::ovxForkRank::kLeaf);
// Process-wide settings, never destroyed: a session thread left running by
// a timed-out shut-down may still serialize while the process exits.
std::wstring& Override() {
    static auto* value = new std::wstring();
    return *value;
}
std::wstring& Folder() {
    static auto* value = new std::wstring(kSchemaFolder);
    return *value;
}
std::atomic<bool> g_serializeDefaults{false};

template <class Char>
void Put(std::basic_ostream<Char>& out, const wchar_t* text, size_t length) {
    WriteText(out, text, length);
}
template <class Char>
void Put(std::basic_ostream<Char>& out, const std::wstring& text) {
    WriteText(out, text.data(), text.size());
}
template <class Char>
void Put(std::basic_ostream<Char>& out, const wchar_t* text) {
    WriteText(out, text, std::wcslen(text));
}
template <class Char>
void Indent(std::basic_ostream<Char>& out, int level) {
    WriteIndent(out, level);
}
template <class Char>
void Eol(std::basic_ostream<Char>& out) {
    WriteLiteral(out, "\n");
}

inline const wchar_t* EscapeOf(wchar_t c, bool attribute) {
    if (c > L'>') return nullptr;  // every escaped character is at or below '>'
    switch (c) {
        // A reader normalises a raw tab, line feed or carriage return in an
        // attribute value to a space, and a carriage return in content to a
        // line feed: written as references they read back as given.
        case L'\t': return attribute ? L"&#9;" : nullptr;
        case L'\n': return attribute ? L"&#xa;" : nullptr;
        case L'\r': return L"&#13;";
        case L'"': return L"&quot;";
        case L'&': return L"&amp;";
        case L'\'': return L"&apos;";
        case L'<': return L"&lt;";
        case L'>': return L"&gt;";
        default: return nullptr;
    }
}

void Escape(const wchar_t* text, size_t length, bool attribute, std::wstring& out) {
    out.clear();
    out.reserve(length + length / 8);
    for (size_t i = 0; i < length; ++i) {
        const wchar_t* escape = EscapeOf(text[i], attribute);
        if (escape != nullptr) {
            out += escape;
        } else {
            out.push_back(text[i]);
        }
    }
}

const wchar_t* OperationOf(bool attribute) {
    return attribute ? L"Translating XML attribute value" : L"Translating XML content";
}

void CheckText(const void* text, bool attribute) {
    if (text == nullptr) throw CCmlException(OperationOf(attribute), L"NULL pointer received", OVX_E_INVALID_ARGUMENT);
}

template <class Char>
void EscapeTo(std::basic_ostream<Char>& out, const wchar_t* text, size_t length, bool attribute) {
    CTextBatch<Char> batch(out);
    batch.AppendEscaped(text, length, attribute);
    batch.Flush();
}

template <class Char>
void EscapeTo(std::basic_ostream<Char>& out, const std::wstring& text, bool attribute) {
    EscapeTo(out, text.data(), text.size(), attribute);
}

// DOM text (UTF-16) handed on in pieces of code points: a value of any size
// is written without a second copy of the whole of it.
template <class Write>
void InPieces(const XMLCh* text, Write write) {
    if (text == nullptr) return;
    constexpr size_t kPiece = 4096;
    wchar_t piece[kPiece];
    size_t used = 0;
    for (const XMLCh* p = text; *p != 0; ++p) {
        const char32_t unit = *p;
        if (unit >= 0xD800 && unit <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
            piece[used++] = static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (p[1] - 0xDC00));
            ++p;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            piece[used++] = static_cast<wchar_t>(0xFFFD);
        } else {
            piece[used++] = static_cast<wchar_t>(unit);
        }
        if (used == kPiece) {
            write(piece, used);
            used = 0;
        }
    }
    if (used != 0) write(piece, used);
}

template <class Char>
void EscapeDomText(std::basic_ostream<Char>& out, const XMLCh* text, bool attribute) {
    InPieces(text, [&](const wchar_t* piece, size_t length) { EscapeTo(out, piece, length, attribute); });
}

template <class Char>
void PutDomText(std::basic_ostream<Char>& out, const XMLCh* text) {
    InPieces(text, [&](const wchar_t* piece, size_t length) { Put(out, piece, length); });
}

// ---- raw DOM subtrees

bool IsSkippedText(const xercesc::DOMText* text) {
    const XMLCh* value = text->getNodeValue();
    if (value == nullptr || *value == 0 || text->getIsElementContentWhitespace()) return true;
    for (const XMLCh* p = value; *p != 0; ++p) {
        if (*p != u' ' && *p != u'\n') return false;
    }
    return true;
}

bool SameNamespace(const XMLCh* a, const XMLCh* b) {
    if (a == nullptr || b == nullptr) return a == b;
    return xercesc::XMLString::equals(a, b);
}

template <class Char>
void ElementStartTag(std::basic_ostream<Char>& out, const xercesc::DOMElement* element) {
    Put(out, L"<");
    Put(out, ToWide(element->getNodeName()));
    const XMLCh* uri = element->getNamespaceURI();
    if (uri != nullptr) {
        const DOMNode* parent = element->getParentNode();
        bool declare = parent == nullptr || (parent->getNodeType() == DOMNode::ELEMENT_NODE &&
                                             !SameNamespace(parent->getNamespaceURI(), uri));
        if (declare) {
            std::u16string name = u"xmlns";
            if (element->getPrefix() != nullptr) name += std::u16string(u":") + element->getPrefix();
            if (!element->hasAttribute(u"xmlns") && !element->hasAttribute(name.c_str())) {
                Put(out, L" ");
                Put(out, ToWide(name.c_str()));
                Put(out, L"='");
                EscapeDomText(out, uri, true);
                Put(out, L"'");
            }
        }
    }
    const xercesc::DOMNamedNodeMap* attributes = element->getAttributes();
    bool defaults = GetSerializeDefaults();
    for (XMLSize_t i = 0; attributes != nullptr && i < attributes->getLength(); ++i) {
        const auto* attribute = static_cast<const xercesc::DOMAttr*>(attributes->item(i));
        if (!attribute->getSpecified() && !defaults) continue;
        Put(out, L" ");
        Put(out, ToWide(attribute->getName()));
        Put(out, L"='");
        EscapeDomText(out, attribute->getValue(), true);
        Put(out, L"'");
    }
    Put(out, element->hasChildNodes() ? L">" : L"/>");
}

template <class Char>
void StartTag(std::basic_ostream<Char>& out, const DOMNode* node) {
    switch (node->getNodeType()) {
        case DOMNode::ELEMENT_NODE: ElementStartTag(out, static_cast<const xercesc::DOMElement*>(node)); return;
        case DOMNode::TEXT_NODE:
            if (IsSkippedText(static_cast<const xercesc::DOMText*>(node))) return;
            EscapeDomText(out, node->getNodeValue(), false);
            Eol(out);
            return;
        case DOMNode::CDATA_SECTION_NODE:
            if (IsSkippedText(static_cast<const xercesc::DOMText*>(node))) return;
            Put(out, L"<![CDATA[");
            PutDomText(out, node->getNodeValue());
            Put(out, L"]]>");
            Eol(out);
            return;
        case DOMNode::COMMENT_NODE:
            Put(out, L"<!--");
            PutDomText(out, node->getNodeValue());
            Put(out, L"-->");
            Eol(out);
            return;
        default:
            Eol(out);
            Put(out, L"Unrecognized node type:  " + std::to_wstring(static_cast<int>(node->getNodeType())));
            return;
    }
}

const wchar_t kFormatted[] = L"Serializing formatted content";
const wchar_t kUnformatted[] = L"Serializing unformatted content";

// Visits `root` and its descendants in document order without recursion:
// enter(node, depth) on the way down, leave(node, depth) once its children
// are done.
template <class Enter, class Leave>
void Walk(const DOMNode* root, Enter enter, Leave leave) {
    const DOMNode* node = root;
    int depth = 0;
    for (;;) {
        enter(node, depth);
        if (node->getNodeType() == DOMNode::ELEMENT_NODE && node->getFirstChild() != nullptr) {
            node = node->getFirstChild();
            ++depth;
            continue;
        }
        for (;;) {
            leave(node, depth);
            if (node == root) return;
            if (node->getNextSibling() != nullptr) {
                node = node->getNextSibling();
                break;
            }
            node = node->getParentNode();
            --depth;
        }
    }
}

// Indentation grows with depth, so formatted text of a deep subtree grows
// with the square of it (100,000 levels would be 40 GB of spaces). Deeper
// subtrees are refused before anything is written; the unformatted writer
// handles any depth.
constexpr int kMaxFormattedDepth = 2048;

template <class Char>
void Formatted(const DOMNode* root, std::basic_ostream<Char>& out, int level) {
    int deepest = 0;
    Walk(
        root, [&](const DOMNode*, int depth) { deepest = depth > deepest ? depth : deepest; },
        [](const DOMNode*, int) {});
    if (level < 0 || deepest + level > kMaxFormattedDepth) {
        throw CCmlException(kFormatted,
                            L"The content is nested too deeply to be written formatted (more than " +
                                std::to_wstring(kMaxFormattedDepth) + L" levels)",
                            OVX_E_INVALID_ARGUMENT);
    }
    Walk(
        root,
        [&](const DOMNode* node, int depth) {
            switch (node->getNodeType()) {
                case DOMNode::ELEMENT_NODE:
                    Indent(out, level + depth);
                    StartTag(out, node);
                    Eol(out);
                    return;
                case DOMNode::TEXT_NODE:
                case DOMNode::CDATA_SECTION_NODE:
                    if (IsSkippedText(static_cast<const xercesc::DOMText*>(node))) return;
                    Indent(out, level + depth);
                    StartTag(out, node);
                    return;
                case DOMNode::COMMENT_NODE:
                    Indent(out, level + depth);
                    StartTag(out, node);
                    return;
                default: StartTag(out, node); return;
            }
        },
        [&](const DOMNode* node, int depth) {
            if (node->getNodeType() != DOMNode::ELEMENT_NODE || !node->hasChildNodes()) return;
            Indent(out, level + depth);
            Put(out, L"</");
            Put(out, ToWide(node->getNodeName()));
            Put(out, L">");
            Eol(out);
        });
}

template <class Char>
void Unformatted(const DOMNode* root, std::basic_ostream<Char>& out) {
    Walk(
        root,
        [&](const DOMNode* node, int) {
            switch (node->getNodeType()) {
                case DOMNode::ELEMENT_NODE: StartTag(out, node); return;
                case DOMNode::TEXT_NODE: EscapeDomText(out, node->getNodeValue(), false); return;
                case DOMNode::CDATA_SECTION_NODE:
                    Put(out, L"<![CDATA[");
                    PutDomText(out, node->getNodeValue());
                    Put(out, L"]]>");
                    return;
                case DOMNode::COMMENT_NODE:
                    Put(out, L"<!--");
                    PutDomText(out, node->getNodeValue());
                    Put(out, L"-->");
                    return;
                default: StartTag(out, node); return;
            }
        },
        [&](const DOMNode* node, int) {
            if (node->getNodeType() != DOMNode::ELEMENT_NODE || !node->hasChildNodes()) return;
            Put(out, L"</");
            Put(out, ToWide(node->getNodeName()));
            Put(out, L">");
        });
}

// Runs a subtree writer, turning DOM errors into CCmlException.
template <class Write>
void Guarded(const wchar_t* operation, const DOMNode* node, Write write) {
    if (node == nullptr) throw CCmlException(operation, L"Null element received", OVX_E_CML_NULL_ELEMENT);
    try {
        write();
    } catch (const xercesc::DOMException& error) {
        ThrowDomError(operation, error);
    }
}

// Opens `path` for a UTF-8 wide write, creating its folder.
void OpenForWriting(std::wofstream& file, const char* path, const wchar_t* operation) {
    if (path == nullptr) throw CCmlException(operation, L"NULL pointer received", OVX_E_INVALID_ARGUMENT);
    CreateFolderFor(path, operation);
    file.imbue(std::locale(std::locale::classic(), new ovxToolsLib::COvxCodecvt()));
    file.open(path, std::ios::out | std::ios::trunc);
    if (!file.is_open()) {
        throw CCmlException(operation,
                            L"Unable to open file '" + ovxToolsLib::ovxUnicode<wchar_t>::FromUtf8(path) + L"'",
                            OVX_E_CANNOT_OPEN);
    }
}

}  // namespace

// ---- text, indentation

// The writers go straight to the stream buffer: documents are written in
// many small pieces, and the stream's per-call sentry would cost more than
// the copying itself.
void WriteText(std::wostream& out, const wchar_t* text, size_t length) {
    if (std::wstreambuf* buffer = out.rdbuf()) buffer->sputn(text, static_cast<std::streamsize>(length));
}

// Encoded through a bounded buffer on the stack: documents write many short
// texts, and one allocation per text would dominate the cost of writing.
void WriteText(std::ostream& out, const wchar_t* text, size_t length) {
    std::streambuf* target = out.rdbuf();
    if (target == nullptr) return;
    char buffer[1024];
    size_t used = 0;
    size_t i = 0;
    while (i < length) {
        // Room for the worst case (4 bytes a character) without a check per byte.
        size_t end = std::min(length, i + (sizeof buffer - used) / 4);
        if (end == i) {
            target->sputn(buffer, static_cast<std::streamsize>(used));
            used = 0;
            continue;
        }
        for (; i < end; ++i) {
            auto c = static_cast<uint32_t>(text[i]);
            if (c < 0x80) {
                buffer[used++] = static_cast<char>(c);
                continue;
            }
            if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;  // not a scalar value
            if (c < 0x800) {
                buffer[used++] = static_cast<char>(0xC0 | (c >> 6));
            } else if (c < 0x10000) {
                buffer[used++] = static_cast<char>(0xE0 | (c >> 12));
                buffer[used++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            } else {
                buffer[used++] = static_cast<char>(0xF0 | (c >> 18));
                buffer[used++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
                buffer[used++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            }
            buffer[used++] = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    target->sputn(buffer, static_cast<std::streamsize>(used));
}

void WriteIndent(std::wostream& out, int level) {
    static const std::wstring& spaces = *new std::wstring(64, L' ');
    for (int left = level * kIndentWidth; left > 0; left -= 64) WriteText(out, spaces.data(), std::min(left, 64));
}

void WriteIndent(std::ostream& out, int level) {
    static const std::string& spaces = *new std::string(64, ' ');
    std::streambuf* target = out.rdbuf();
    if (target == nullptr) return;
    for (int left = level * kIndentWidth; left > 0; left -= 64) target->sputn(spaces.data(), std::min(left, 64));
}

void WriteLiteral(std::ostream& out, const char* text) {
    if (std::streambuf* target = out.rdbuf()) target->sputn(text, static_cast<std::streamsize>(std::strlen(text)));
}

void WriteLiteral(std::wostream& out, const char* text) {
    wchar_t wide[64];
    size_t used = 0;
    for (; *text != '\0'; ++text) {
        wide[used++] = static_cast<wchar_t>(static_cast<unsigned char>(*text));
        if (used == 64) {
            WriteText(out, wide, used);
            used = 0;
        }
    }
    WriteText(out, wide, used);
}

// ---- escaping

void EscapeAttributeValue(const wchar_t* text, std::wstring& out) {
    CheckText(text, true);
    Escape(text, std::wcslen(text), true, out);
}
void EscapeAttributeValue(const char* text, std::wstring& out) {
    CheckText(text, true);
    std::wstring wide = ovxToolsLib::ovxUnicode<wchar_t>::FromUtf8(text, std::strlen(text));
    Escape(wide.data(), wide.size(), true, out);
}
void EscapeAttributeValue(std::wostream& out, const wchar_t* text) {
    CheckText(text, true);
    EscapeTo(out, text, std::wcslen(text), true);
}
void EscapeAttributeValue(std::ostream& out, const wchar_t* text) {
    CheckText(text, true);
    EscapeTo(out, text, std::wcslen(text), true);
}
void EscapeAttributeValue(std::wostream& out, const std::wstring& text) { EscapeTo(out, text, true); }
void EscapeAttributeValue(std::ostream& out, const std::wstring& text) { EscapeTo(out, text, true); }
void EscapeContent(const wchar_t* text, std::wstring& out) {
    CheckText(text, false);
    Escape(text, std::wcslen(text), false, out);
}
void EscapeContent(const char* text, std::wstring& out) {
    CheckText(text, false);
    std::wstring wide = ovxToolsLib::ovxUnicode<wchar_t>::FromUtf8(text, std::strlen(text));
    Escape(wide.data(), wide.size(), false, out);
}
void EscapeContent(std::wostream& out, const wchar_t* text) {
    CheckText(text, false);
    EscapeTo(out, text, std::wcslen(text), false);
}
void EscapeContent(std::ostream& out, const wchar_t* text) {
    CheckText(text, false);
    EscapeTo(out, text, std::wcslen(text), false);
}
void EscapeContent(CXmlOut& out, const wchar_t* text) {
    CheckText(text, false);
    out.Escaped(text, std::wcslen(text), false);
}

// ---- declarations and the root

void WriteXmlDeclaration(std::ostream& out, bool standalone) {
    out << (standalone ? kDeclarationUtf8Standalone : kDeclarationUtf8) << '\n';
}

void WriteXmlDeclaration(std::wostream& out, bool standalone) {
    if (dynamic_cast<std::wofstream*>(&out) != nullptr || dynamic_cast<std::wfstream*>(&out) != nullptr) {
        // A wide file is written through the UTF-8 facet. The declaration is ASCII.
        const char* declaration = standalone ? kDeclarationUtf8Standalone : kDeclarationUtf8;
        out << std::wstring(declaration, declaration + std::strlen(declaration)) << L'\n';
    } else if (dynamic_cast<std::wostringstream*>(&out) != nullptr ||
               dynamic_cast<std::wstringstream*>(&out) != nullptr) {
        out << (standalone ? kDeclarationUcs4Standalone : kDeclarationUcs4) << L'\n';
    } else {
        throw CCmlException(L"Writing XML declaration", L"Unsupported stream type", OVX_E_INVALID_ARGUMENT);
    }
}

void WriteXmlDeclaration(CXmlOut& out, bool standalone) {
    const std::wostream* wide = out.GetWideTarget();
    if (wide == nullptr || dynamic_cast<const std::wofstream*>(wide) != nullptr ||
        dynamic_cast<const std::wfstream*>(wide) != nullptr) {
        // A wide file is written through the UTF-8 facet.
        out.Bytes(standalone ? kDeclarationUtf8Standalone : kDeclarationUtf8,
                  std::strlen(standalone ? kDeclarationUtf8Standalone : kDeclarationUtf8));
    } else if (dynamic_cast<const std::wostringstream*>(wide) != nullptr ||
               dynamic_cast<const std::wstringstream*>(wide) != nullptr) {
        out.Name(standalone ? kDeclarationUcs4Standalone : kDeclarationUcs4);
    } else {
        throw CCmlException(L"Writing XML declaration", L"Unsupported stream type", OVX_E_INVALID_ARGUMENT);
    }
    out.Literal("\n");
}

namespace {

void WriteRootStartTagAnew(CXmlOut& out, const wchar_t* tag, const CNamespaceSet& namespaces) {
    WriteXmlDeclaration(out, false);
    out.Literal("<");
    out.Name(tag);
    out.Literal(" ");
    out.Name(kSchemaInstanceDeclaration);
    out.Literal("\n");
    bool first = true;
    for (const CNamespace& ns : namespaces) {
        std::wstring file;
        BuildSchemaFileName(ns.GetNamespaceUri(), ns.GetSchemaVersion(), kSchemaFolder, file);
        if (first) {
            out.Literal("    xsi:schemaLocation='");
            first = false;
        } else {
            out.Literal("\n    ");
        }
        out.Escaped(ns.GetNamespaceUri().data(), ns.GetNamespaceUri().size(), true);
        out.Literal(" ");
        out.Escaped(file.data(), file.size(), true);
    }
    if (!first) out.Literal("'");
}

}  // namespace

void WriteRootStartTag(CXmlOut& out, const wchar_t* tag, const CNamespaceSet& namespaces) {
    if (tag == nullptr)
        throw CCmlException(L"Writing root start tag", L"NULL pointer received", OVX_E_INVALID_ARGUMENT);
    if (out.GetWideTarget() != nullptr) {  // its declaration depends on the kind of wide stream
        WriteRootStartTagAnew(out, tag, namespaces);
        return;
    }
    // Every heartbeat of an agent starts with the same root tag, which names
    // the schema file of each namespace: the last one this thread wrote is
    // kept (see cmlKeptText.h).
    thread_local CKeptText t_kept;
    constexpr size_t kKeptRootTag = 16 * 1024;
    const auto keyOf = [&](auto& key) {
        if (!key.Text(std::wstring_view(tag))) return false;
        for (const CNamespace& ns : namespaces) {
            if (!key.Text(std::wstring_view(ns.GetNamespaceUri())) ||
                !key.Text(std::wstring_view(ns.GetSchemaVersion()))) {
                return false;
            }
        }
        return true;
    };
    WriteKept(out, t_kept, kKeptRootTag, keyOf, [&] { WriteRootStartTagAnew(out, tag, namespaces); });
}
void WriteRootStartTag(std::wostream& out, const wchar_t* tag, const CNamespaceSet& namespaces) {
    WriteThrough(out, [&](CXmlOut& xml) { WriteRootStartTag(xml, tag, namespaces); });
}
void WriteRootStartTag(std::ostream& out, const wchar_t* tag, const CNamespaceSet& namespaces) {
    WriteThrough(out, [&](CXmlOut& xml) { WriteRootStartTag(xml, tag, namespaces); });
}

void HandOn(std::ostream& out, const std::string& text) {
    if (std::streambuf* target = out.rdbuf()) target->sputn(text.data(), static_cast<std::streamsize>(text.size()));
}
void HandOn(std::wostream& out, const std::string& text) {
    std::wstring wide;
    for (size_t at = 0; at < text.size();) {
        size_t marker = text.find(static_cast<char>(CXmlOut::kKeptMarker), at);
        if (marker == std::string::npos || text.size() - marker <= sizeof(uint32_t)) marker = text.size();
        wide += ovxToolsLib::ovxUnicode<wchar_t>::FromUtf8(text.data() + at, marker - at);
        if (marker == text.size()) break;
        uint32_t value = 0;
        std::memcpy(&value, text.data() + marker + 1, sizeof value);
        wide.push_back(static_cast<wchar_t>(value));
        at = marker + 1 + sizeof value;
    }
    if (std::wstreambuf* target = out.rdbuf()) target->sputn(wide.data(), static_cast<std::streamsize>(wide.size()));
}

void CTextBatch<wchar_t>::AppendEscaped(const wchar_t* text, size_t length, bool attribute) {
    for (size_t i = 0; i < length; ++i) {
        const wchar_t* escape = EscapeOf(text[i], attribute);
        if (escape != nullptr) {
            m_text += escape;
        } else {
            m_text.push_back(text[i]);
        }
    }
}

// ---- schema file names

// Every heartbeat names the schemas of its namespaces in its root tag: the
// name is built in one string, sized once.
void BuildSchemaFileName(const std::wstring& namespaceUri, const std::wstring& version, const std::wstring& folder,
                         std::wstring& out) {
    const std::wstring_view base = kCmlBaseUri;
    std::wstring result;
    result.reserve(folder.size() + namespaceUri.size() + 2 * version.size() + 16);
    result = folder;
    const auto appendSuffix = [&] {
        for (const wchar_t c : version) result.push_back(c == L'.' ? L'_' : c);
    };
    if (namespaceUri == base) {
        result += L"/Ovx";
        appendSuffix();
        result += L".xsd";
    } else {
        if (namespaceUri.compare(0, base.size(), base) != 0 || namespaceUri.size() == base.size()) {
            throw CCmlException(L"Building schema filename", L"Invalid namespace", OVX_E_CML_UNKNOWN_NAMESPACE);
        }
        result.append(namespaceUri, base.size(), std::wstring::npos);
        result += L'/';
        const std::wstring override = GetSchemaFileNameOverride();
        if (!override.empty()) {
            result += override;
            if (override.find(L".xsd") == std::wstring::npos) {
                appendSuffix();
                result += L".xsd";
            }
        } else {
            result.append(namespaceUri, namespaceUri.rfind(L'/') + 1, std::wstring::npos);
            appendSuffix();
            result += L".xsd";
        }
    }
    if (result.find(L' ') == std::wstring::npos) {
        out = std::move(result);
        return;
    }
    out.clear();
    for (const wchar_t c : result) {
        if (c == L' ') {
            out += L"%20";
        } else {
            out.push_back(c);
        }
    }
}

void BuildSchemaFileName(const std::wstring& namespaceUri, const std::wstring& version, const std::string& folder,
                         std::string& out) {
    std::wstring wide;
    BuildSchemaFileName(namespaceUri, version, ovxToolsLib::ovxUnicode<wchar_t>::FromUtf8(folder), wide);
    out = ovxToolsLib::ovxUnicode<wchar_t>::ToUtf8(wide);
}

bool ParseSchemaFileName(const std::wstring& path, std::wstring& namespaceUri, std::wstring& version,
                         std::wstring& baseName) {
    namespaceUri.clear();
    version.clear();
    baseName.clear();
    std::wstring normal = path;
    for (wchar_t& c : normal) {
        if (c == L'\\') c = L'/';
    }
    std::wstring folder = GetSchemaFolder();
    if (normal.compare(0, folder.size(), folder) != 0) return false;
    std::wstring rest = normal.substr(folder.size());
    size_t slash = rest.rfind(L'/');
    if (slash == std::wstring::npos) return false;
    std::wstring directory = rest.substr(0, slash);
    std::wstring file = rest.substr(slash + 1);
    size_t dot = file.rfind(L'.');
    if (dot != std::wstring::npos) file.erase(dot);
    size_t digits = file.find_last_not_of(L"0123456789_");
    digits = digits == std::wstring::npos ? 0 : digits + 1;
    std::wstring name = file.substr(0, digits);
    std::wstring number = file.substr(digits);
    for (wchar_t& c : number) {
        if (c == L'_') c = L'.';
    }
    if (directory.empty()) {
        // The root namespace's own schema sits in the folder itself.
        if (name != L"Ovx") return false;
        namespaceUri = kCmlBaseUri;
    } else {
        if (name.empty() || directory.substr(directory.rfind(L'/') + 1) != name) return false;
        namespaceUri = kCmlBaseUri + directory;
    }
    version = number;
    baseName = name;
    return true;
}

void SetSchemaFileNameOverride(const std::wstring& name) {
    std::lock_guard<std::mutex> hold(g_settingsLock);
    Override() = name;
}
std::wstring GetSchemaFileNameOverride() {
    std::lock_guard<std::mutex> hold(g_settingsLock);
    return Override();
}
void SetSchemaFolder(const std::wstring& folder) {
    std::lock_guard<std::mutex> hold(g_settingsLock);
    Folder() = folder;
}
std::wstring GetSchemaFolder() {
    std::lock_guard<std::mutex> hold(g_settingsLock);
    return Folder();
}
bool SetSerializeDefaults(bool on) { return g_serializeDefaults.exchange(on); }
bool GetSerializeDefaults() { return g_serializeDefaults.load(); }

// ---- raw DOM subtrees

void WriteNodeStartTag(std::wostream& out, const DOMNode* node) {
    Guarded(kUnformatted, node, [&] { StartTag(out, node); });
}
void WriteNodeStartTag(std::ostream& out, const DOMNode* node) {
    Guarded(kUnformatted, node, [&] { StartTag(out, node); });
}
void SerializeNodeFormatted(const DOMNode* node, std::wostream& out, int level) {
    Guarded(kFormatted, node, [&] { Formatted(node, out, level); });
}
void SerializeNodeFormatted(const DOMNode* node, std::ostream& out, int level) {
    Guarded(kFormatted, node, [&] { Formatted(node, out, level); });
}
void SerializeNodeUnformatted(const DOMNode* node, std::wostream& out) {
    Guarded(kUnformatted, node, [&] { Unformatted(node, out); });
}
void SerializeNodeUnformatted(const DOMNode* node, std::ostream& out) {
    Guarded(kUnformatted, node, [&] { Unformatted(node, out); });
}
void SerializeNodeFormatted(const DOMNode* node, CXmlOut& out, int level) {
    SerializeNodeFormatted(node, out.Stream(), level);
}

void SerializeNodeFormatted(const DOMNode* node, const char* path, int level) {
    std::wofstream file;
    OpenForWriting(file, path, kFormatted);
    SerializeNodeFormatted(node, file, level);
}

void SerializeNodeUnformatted(const DOMNode* node, const char* path) {
    std::wofstream file;
    OpenForWriting(file, path, kUnformatted);
    SerializeNodeUnformatted(node, file);
}

void CreateFolderFor(const std::string& filePath, const wchar_t* operation) {
    size_t slash = filePath.rfind('/');
    if (slash == std::string::npos || slash == 0) return;
    std::string folder = filePath.substr(0, slash);
    auto fail = [&] {
        throw CCmlException(
            operation, L"Unable to create folder; path = '" + ovxToolsLib::ovxUnicode<wchar_t>::FromUtf8(folder) + L"'",
            OVX_E_FOLDER_CREATE);
    };
    for (size_t at = 1; at <= folder.size(); ++at) {
        if (at != folder.size() && folder[at] != '/') continue;
        if (mkdir(folder.substr(0, at).c_str(), 0755) != 0 && errno != EEXIST) fail();
    }
    struct stat info {};
    if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) fail();
}

}  // namespace XmlUtils
}  // namespace cml
}  // namespace ovx
