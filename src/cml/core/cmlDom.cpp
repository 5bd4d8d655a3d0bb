#include "cml/core/cmlDom.h"

#include "cml/core/cmlDomNodes.h"

#include <algorithm>
#include <cwchar>
#include <iterator>
#include <string>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <xercesc/util/XMLUni.hpp>

#include "cml/core/cmlDomWrapperSupport.h"
#include "cml/core/cmlException.h"
#include "cml/core/cmlXmlText.h"
#include "tools/ovxCodecvt.h"
#include "tools/ovxError.h"

namespace ovx {
namespace cml {

using xercesc::DOMNode;

using DomWrapper::ThrowWrongType;
using DomWrapper::Where;

namespace {

// Converts into a wrapper's buffer; NULL stays NULL.
const wchar_t* KeepIn(std::wstring& buffer, const XMLCh* text) {
    if (text == nullptr) return nullptr;
    XmlUtils::AssignWide(buffer, text);
    return buffer.c_str();
}

[[noreturn]] void ThrowNull(const char* cls, const char* op, const wchar_t* what) {
    throw CCmlException(Where(cls, op), what, OVX_E_CML_WRAPPER_EMPTY);
}

// A wide argument in the parser's 16-bit form, for the length of one call.
// An optional argument may be NULL and stays NULL. Names and short values
// are converted on the stack: wrappers are called for every attribute read.
class XmlArg {
public:
    explicit XmlArg(const wchar_t* text) : m_null(text == nullptr) {
        if (text == nullptr) return;
        const size_t length = std::wcslen(text);
        if (length >= kSmall) {  // long: the general path
            Long(text);
            return;
        }
        size_t used = 0;
#if defined(__SSE2__) && WCHAR_MAX > 0xFFFF
        // Four characters at a time while all lie below the surrogates: each
        // narrowed to its low half.
        const __m128i below = _mm_set1_epi32(0xD800), negative = _mm_set1_epi32(-1);
        for (; length - used >= 4; used += 4) {
            const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + used));
            const __m128i fits = _mm_and_si128(_mm_cmplt_epi32(units, below), _mm_cmpgt_epi32(units, negative));
            if (_mm_movemask_epi8(fits) != 0xFFFF) break;
            __m128i halves = _mm_shufflelo_epi16(units, _MM_SHUFFLE(3, 3, 2, 0));
            halves = _mm_shufflehi_epi16(halves, _MM_SHUFFLE(3, 3, 2, 0));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(m_small + used),
                             _mm_shuffle_epi32(halves, _MM_SHUFFLE(3, 3, 2, 0)));
        }
#endif
        for (; used < length; ++used) {
            auto value = static_cast<uint32_t>(text[used]);
            if (value >= 0x10000) {  // beyond 16 bits: the general path writes surrogate pairs
                Long(text);
                return;
            }
            m_small[used] = (value >= 0xD800 && value <= 0xDFFF) ? u'\xFFFD' : static_cast<char16_t>(value);
        }
        m_small[used] = u'\0';
    }
    XmlArg(XmlArg&& other) noexcept
        : m_null(other.m_null), m_useLong(other.m_useLong), m_long(std::move(other.m_long)) {
        if (m_null || m_useLong) return;
        const size_t length = std::char_traits<char16_t>::length(other.m_small);
        std::copy(other.m_small, other.m_small + length + 1, m_small);
    }
    XmlArg(const XmlArg&) = delete;
    XmlArg& operator=(const XmlArg&) = delete;
    const XMLCh* get() const {
        if (m_null) return nullptr;
        return m_useLong ? m_long.c_str() : m_small;
    }

private:
    void Long(const wchar_t* text) {
        m_long = XmlUtils::ToXml(text);
        m_useLong = true;
    }
    static constexpr size_t kSmall = 64;
    bool m_null;
    bool m_useLong = false;
    char16_t m_small[kSmall];  // written up to its terminator before use
    std::u16string m_long;
};

// A required argument: NULL is refused before the DOM sees it.
XmlArg Required(const wchar_t* text, const char* cls, const char* op) {
    if (text == nullptr) throw CCmlException(Where(cls, op), L"Received value is NULL", OVX_E_INVALID_ARGUMENT);
    return XmlArg(text);
}

bool IsType(const DOMNode* node, std::initializer_list<DOMNode::NodeType> types) {
    for (DOMNode::NodeType type : types) {
        if (node->getNodeType() == type) return true;
    }
    return false;
}

}  // namespace

// ---- CCmlDOM_Node

CCmlDOM_Node& CCmlDOM_Node::operator=(const CCmlDOM_Node& other) {
    if (this != &other) SetDOMNode(other.m_node);
    return *this;
}

CCmlDOM_Node::~CCmlDOM_Node() { ReleaseOwnedDocument(); }

void CCmlDOM_Node::ReleaseOwnedDocument() {
    if (m_ownsDocument && m_node != nullptr) {
        xercesc::DOMDocument* document = m_node->getNodeType() == DOMNode::DOCUMENT_NODE
                                             ? static_cast<xercesc::DOMDocument*>(m_node)
                                             : m_node->getOwnerDocument();
        m_node = nullptr;
        if (document != nullptr) document->release();
    }
    m_ownsDocument = false;
    m_marked = false;
}

void CCmlDOM_Node::SetDOMNode(DOMNode* node) {
    if (node == m_node) return;
    ReleaseOwnedDocument();
    m_node = node;
}

DOMNode* CCmlDOM_Node::Need(const char* cls, const char* op) const {
    if (m_node == nullptr) ThrowNull(cls, op, L"The node is NULL");
    return m_node;
}

const wchar_t* CCmlDOM_Node::Keep(const XMLCh* text) { return KeepIn(m_buffer, text); }

#define OVX_N(op) Need("CCmlDOM_Node", #op)

const wchar_t* CCmlDOM_Node::getNodeName() { return Keep(OVX_N(getNodeName)->getNodeName()); }
const wchar_t* CCmlDOM_Node::getNodeValue() { return Keep(OVX_N(getNodeValue)->getNodeValue()); }
short CCmlDOM_Node::getNodeType() const { return static_cast<short>(OVX_N(getNodeType)->getNodeType()); }
CCmlDOM_Node CCmlDOM_Node::getParentNode() const { return CCmlDOM_Node(OVX_N(getParentNode)->getParentNode()); }
CCmlDOM_NodeList CCmlDOM_Node::getChildNodes() const { return CCmlDOM_NodeList(OVX_N(getChildNodes)->getChildNodes()); }
CCmlDOM_Node CCmlDOM_Node::getFirstChild() const { return CCmlDOM_Node(OVX_N(getFirstChild)->getFirstChild()); }
CCmlDOM_Node CCmlDOM_Node::getLastChild() const { return CCmlDOM_Node(OVX_N(getLastChild)->getLastChild()); }
CCmlDOM_Node CCmlDOM_Node::getPreviousSibling() const {
    return CCmlDOM_Node(OVX_N(getPreviousSibling)->getPreviousSibling());
}
CCmlDOM_Node CCmlDOM_Node::getNextSibling() const { return CCmlDOM_Node(OVX_N(getNextSibling)->getNextSibling()); }
CCmlDOM_NamedNodeMap CCmlDOM_Node::getAttributes() const {
    return CCmlDOM_NamedNodeMap(OVX_N(getAttributes)->getAttributes());
}
CCmlDOM_Document CCmlDOM_Node::getOwnerDocument() const {
    return CCmlDOM_Document(OVX_N(getOwnerDocument)->getOwnerDocument());
}
CCmlDOM_Node CCmlDOM_Node::cloneNode(bool deep) const { return CCmlDOM_Node(OVX_N(cloneNode)->cloneNode(deep)); }
CCmlDOM_Node CCmlDOM_Node::insertBefore(const CCmlDOM_Node& newChild, const CCmlDOM_Node& refChild) {
    return CCmlDOM_Node(OVX_N(insertBefore)->insertBefore(newChild.m_node, refChild.m_node));
}
CCmlDOM_Node CCmlDOM_Node::replaceChild(const CCmlDOM_Node& newChild, const CCmlDOM_Node& oldChild) {
    return CCmlDOM_Node(OVX_N(replaceChild)->replaceChild(newChild.m_node, oldChild.m_node));
}
CCmlDOM_Node CCmlDOM_Node::removeChild(const CCmlDOM_Node& oldChild) {
    return CCmlDOM_Node(OVX_N(removeChild)->removeChild(oldChild.m_node));
}
CCmlDOM_Node CCmlDOM_Node::appendChild(const CCmlDOM_Node& newChild) {
    return CCmlDOM_Node(OVX_N(appendChild)->appendChild(newChild.m_node));
}
bool CCmlDOM_Node::hasChildNodes() const { return OVX_N(hasChildNodes)->hasChildNodes(); }
void CCmlDOM_Node::setNodeValue(const wchar_t* value) { OVX_N(setNodeValue)->setNodeValue(XmlArg(value).get()); }
void CCmlDOM_Node::normalize() { OVX_N(normalize)->normalize(); }
bool CCmlDOM_Node::isSupported(const wchar_t* feature, const wchar_t* version) const {
    DOMNode* node = OVX_N(isSupported);
    return node->isSupported(Required(feature, "CCmlDOM_Node", "isSupported").get(), XmlArg(version).get());
}
const wchar_t* CCmlDOM_Node::getNamespaceURI() { return Keep(OVX_N(getNamespaceURI)->getNamespaceURI()); }
const wchar_t* CCmlDOM_Node::getPrefix() { return Keep(OVX_N(getPrefix)->getPrefix()); }
const wchar_t* CCmlDOM_Node::getLocalName() { return Keep(OVX_N(getLocalName)->getLocalName()); }
void CCmlDOM_Node::setPrefix(const wchar_t* prefix) { OVX_N(setPrefix)->setPrefix(XmlArg(prefix).get()); }
bool CCmlDOM_Node::hasAttributes() const { return OVX_N(hasAttributes)->hasAttributes(); }
bool CCmlDOM_Node::isSameNode(const CCmlDOM_Node& other) const { return OVX_N(isSameNode)->isSameNode(other.m_node); }
bool CCmlDOM_Node::isEqualNode(const CCmlDOM_Node& other) const {
    return OVX_N(isEqualNode)->isEqualNode(other.m_node);
}
void* CCmlDOM_Node::setUserData(const wchar_t* key, void* data, xercesc::DOMUserDataHandler* handler) {
    DOMNode* node = OVX_N(setUserData);
    return node->setUserData(Required(key, "CCmlDOM_Node", "setUserData").get(), data, handler);
}
void* CCmlDOM_Node::getUserData(const wchar_t* key) const {
    DOMNode* node = OVX_N(getUserData);
    return node->getUserData(Required(key, "CCmlDOM_Node", "getUserData").get());
}
const wchar_t* CCmlDOM_Node::getBaseURI() { return Keep(OVX_N(getBaseURI)->getBaseURI()); }
short CCmlDOM_Node::compareTreePosition(const CCmlDOM_Node& other) const {
    DOMNode* node = OVX_N(compareTreePosition);
    if (other.m_node == nullptr) ThrowNull("CCmlDOM_Node", "compareTreePosition", L"The node is NULL");
    return node->compareDocumentPosition(other.m_node);
}
const wchar_t* CCmlDOM_Node::getTextContent() { return Keep(OVX_N(getTextContent)->getTextContent()); }
void CCmlDOM_Node::setTextContent(const wchar_t* text) { OVX_N(setTextContent)->setTextContent(XmlArg(text).get()); }
const wchar_t* CCmlDOM_Node::lookupNamespacePrefix(const wchar_t* namespaceUri, bool) {
    return Keep(OVX_N(lookupNamespacePrefix)->lookupPrefix(XmlArg(namespaceUri).get()));
}
bool CCmlDOM_Node::isDefaultNamespace(const wchar_t* namespaceUri) const {
    return OVX_N(isDefaultNamespace)->isDefaultNamespace(XmlArg(namespaceUri).get());
}
const wchar_t* CCmlDOM_Node::lookupNamespaceURI(const wchar_t* prefix) {
    return Keep(OVX_N(lookupNamespaceURI)->lookupNamespaceURI(XmlArg(prefix).get()));
}
void* CCmlDOM_Node::getInterface(const wchar_t* feature) const {
    DOMNode* node = OVX_N(getInterface);
    return node->getFeature(Required(feature, "CCmlDOM_Node", "getInterface").get(), nullptr);
}
void CCmlDOM_Node::release() {
    DOMNode* node = OVX_N(release);
    // The node is gone after this; an owning wrapper must not release it again.
    m_ownsDocument = false;
    m_marked = false;
    m_node = nullptr;
    node->release();
}

#undef OVX_N

// ---- CCmlDOM_NodeList

XMLSize_t CCmlDOM_NodeList::getLength() const {
    if (m_list == nullptr) ThrowNull("CCmlDOM_NodeList", "getLength", L"The node list is NULL");
    return m_list->getLength();
}

CCmlDOM_Node CCmlDOM_NodeList::item(XMLSize_t index) const {
    if (m_list == nullptr) ThrowNull("CCmlDOM_NodeList", "item", L"The node list is NULL");
    return CCmlDOM_Node(m_list->item(index));
}

// ---- CCmlDOM_NamedNodeMap

xercesc::DOMNamedNodeMap* CCmlDOM_NamedNodeMap::Need(const char* op) const {
    if (m_map == nullptr) ThrowNull("CCmlDOM_NamedNodeMap", op, L"The node map is NULL");
    return m_map;
}

#define OVX_M(op) Need(#op)
#define OVX_REQ(text, op) Required(text, "CCmlDOM_NamedNodeMap", #op).get()

XMLSize_t CCmlDOM_NamedNodeMap::getLength() const { return OVX_M(getLength)->getLength(); }
CCmlDOM_Node CCmlDOM_NamedNodeMap::item(XMLSize_t index) const { return CCmlDOM_Node(OVX_M(item)->item(index)); }
CCmlDOM_Node CCmlDOM_NamedNodeMap::getNamedItem(const wchar_t* name) const {
    auto* map = OVX_M(getNamedItem);
    return CCmlDOM_Node(map->getNamedItem(OVX_REQ(name, getNamedItem)));
}
CCmlDOM_Node CCmlDOM_NamedNodeMap::setNamedItem(const CCmlDOM_Node& node) {
    return CCmlDOM_Node(OVX_M(setNamedItem)->setNamedItem(node.GetDOMNode()));
}
CCmlDOM_Node CCmlDOM_NamedNodeMap::removeNamedItem(const wchar_t* name) {
    auto* map = OVX_M(removeNamedItem);
    return CCmlDOM_Node(map->removeNamedItem(OVX_REQ(name, removeNamedItem)));
}
CCmlDOM_Node CCmlDOM_NamedNodeMap::getNamedItemNS(const wchar_t* namespaceUri, const wchar_t* localName) const {
    auto* map = OVX_M(getNamedItemNS);
    return CCmlDOM_Node(map->getNamedItemNS(XmlArg(namespaceUri).get(), OVX_REQ(localName, getNamedItemNS)));
}
CCmlDOM_Node CCmlDOM_NamedNodeMap::setNamedItemNS(const CCmlDOM_Node& node) {
    return CCmlDOM_Node(OVX_M(setNamedItemNS)->setNamedItemNS(node.GetDOMNode()));
}
CCmlDOM_Node CCmlDOM_NamedNodeMap::removeNamedItemNS(const wchar_t* namespaceUri, const wchar_t* localName) {
    auto* map = OVX_M(removeNamedItemNS);
    return CCmlDOM_Node(map->removeNamedItemNS(XmlArg(namespaceUri).get(), OVX_REQ(localName, removeNamedItemNS)));
}

#undef OVX_M
#undef OVX_REQ

// ---- CCmlDOM_Attr

void CCmlDOM_Attr::SetDOMAttr(DOMNode* node) {
    if (node != nullptr && node->getNodeType() != DOMNode::ATTRIBUTE_NODE) ThrowWrongType("CCmlDOM_Attr", "SetDOMAttr");
    SetDOMNode(node);
}

xercesc::DOMAttr* CCmlDOM_Attr::Attr(const char* op) const {
    return static_cast<xercesc::DOMAttr*>(Need("CCmlDOM_Attr", op));
}

const wchar_t* CCmlDOM_Attr::getName() { return Keep(Attr("getName")->getName()); }
bool CCmlDOM_Attr::getSpecified() const { return Attr("getSpecified")->getSpecified(); }
const wchar_t* CCmlDOM_Attr::getValue() { return Keep(Attr("getValue")->getValue()); }
void CCmlDOM_Attr::setValue(const wchar_t* value) {
    xercesc::DOMAttr* attr = Attr("setValue");
    attr->setValue(Required(value, "CCmlDOM_Attr", "setValue").get());
}
CCmlDOM_Element CCmlDOM_Attr::getOwnerElement() const {
    return CCmlDOM_Element(Attr("getOwnerElement")->getOwnerElement());
}
bool CCmlDOM_Attr::isId() const { return Attr("isId")->isId(); }

// ---- CCmlDOM_Element

void CCmlDOM_Element::SetDOMElement(DOMNode* node) {
    if (node != nullptr && node->getNodeType() != DOMNode::ELEMENT_NODE) {
        ThrowWrongType("CCmlDOM_Element", "SetDOMElement");
    }
    SetDOMNode(node);
}

xercesc::DOMElement* CCmlDOM_Element::GetDOMElement() const { return static_cast<xercesc::DOMElement*>(GetDOMNode()); }

xercesc::DOMElement* CCmlDOM_Element::Element(const char* op) const {
    return static_cast<xercesc::DOMElement*>(Need("CCmlDOM_Element", op));
}

#define OVX_E(op) Element(#op)
#define OVX_REQ(text, op) Required(text, "CCmlDOM_Element", #op).get()
#define OVX_ATTR(attr) static_cast<xercesc::DOMAttr*>((attr).GetDOMNode())

const wchar_t* CCmlDOM_Element::getTagName() { return Keep(OVX_E(getTagName)->getTagName()); }
// What DOMElement::getAttribute gives, without its cost for the usual case.
// The DOM's own attribute value reaches the attribute's one text child
// through a dynamic_cast that walks the node class hierarchy, hundreds of
// instructions for each attribute read; the child's siblings and type are
// plain virtual calls. Any other shape (no text, several children, entity
// references built by hand) still goes through the DOM.
namespace {
const XMLCh* ValueOf(const DOMNode* attribute) {
    const DOMNode* text = attribute->getFirstChild();
    if (text != nullptr && text->getNextSibling() == nullptr && text->getNodeType() == DOMNode::TEXT_NODE) {
        return text->getNodeValue();
    }
    return attribute->getNodeValue();
}
const XMLCh* AttributeValue(const xercesc::DOMElement* element, const XMLCh* name) {
    const xercesc::DOMNamedNodeMap* attributes = element->getAttributes();
    const DOMNode* attribute = attributes != nullptr ? attributes->getNamedItem(name) : nullptr;
    return attribute != nullptr ? ValueOf(attribute) : xercesc::XMLUni::fgZeroLenString;
}
// Whether a name in the parser's form is `wanted`, unit by unit.
bool SameName(const XMLCh* name, const wchar_t* wanted) {
    for (;; ++name, ++wanted) {
        if (static_cast<uint32_t>(*name) != static_cast<uint32_t>(*wanted)) return false;
        if (*name == 0) return true;
    }
}
}  // namespace

const wchar_t* CCmlDOM_Element::getAttribute(const wchar_t* name) {
    xercesc::DOMElement* element = OVX_E(getAttribute);
    return Keep(AttributeValue(element, OVX_REQ(name, getAttribute)));
}
void CCmlDOM_Element::ReadAttributes(std::initializer_list<CAttributeTarget> wanted) {
    xercesc::DOMElement* element = OVX_E(ReadAttributes);
    for (const CAttributeTarget& target : wanted) {
        if (target.name == nullptr || target.value == nullptr) {
            throw CCmlException(Where("CCmlDOM_Element", "ReadAttributes"), L"Received value is NULL",
                                OVX_E_INVALID_ARGUMENT);
        }
    }
    for (const CAttributeTarget& target : wanted) target.value->clear();
    const xercesc::DOMNamedNodeMap* attributes = element->getAttributes();
    const XMLSize_t count = attributes != nullptr ? attributes->getLength() : 0;
    for (XMLSize_t i = 0; i < count; ++i) {
        const DOMNode* attribute = attributes->item(i);
        if (attribute == nullptr) continue;
        const XMLCh* name = attribute->getNodeName();
        for (const CAttributeTarget& target : wanted) {
            if (!SameName(name, target.name)) continue;
            XmlUtils::AssignWide(*target.value, ValueOf(attribute));
            break;
        }
    }
}
CCmlDOM_Attr CCmlDOM_Element::getAttributeNode(const wchar_t* name) const {
    xercesc::DOMElement* element = OVX_E(getAttributeNode);
    return CCmlDOM_Attr(element->getAttributeNode(OVX_REQ(name, getAttributeNode)));
}
CCmlDOM_NodeList CCmlDOM_Element::getElementsByTagName(const wchar_t* name) const {
    xercesc::DOMElement* element = OVX_E(getElementsByTagName);
    return CCmlDOM_NodeList(element->getElementsByTagName(OVX_REQ(name, getElementsByTagName)));
}
void CCmlDOM_Element::setAttribute(const wchar_t* name, const wchar_t* value) {
    xercesc::DOMElement* element = OVX_E(setAttribute);
    element->setAttribute(OVX_REQ(name, setAttribute), OVX_REQ(value, setAttribute));
}
CCmlDOM_Attr CCmlDOM_Element::setAttributeNode(const CCmlDOM_Attr& attr) {
    return CCmlDOM_Attr(OVX_E(setAttributeNode)->setAttributeNode(OVX_ATTR(attr)));
}
CCmlDOM_Attr CCmlDOM_Element::removeAttributeNode(const CCmlDOM_Attr& attr) {
    return CCmlDOM_Attr(OVX_E(removeAttributeNode)->removeAttributeNode(OVX_ATTR(attr)));
}
void CCmlDOM_Element::removeAttribute(const wchar_t* name) {
    xercesc::DOMElement* element = OVX_E(removeAttribute);
    element->removeAttribute(OVX_REQ(name, removeAttribute));
}
const wchar_t* CCmlDOM_Element::getAttributeNS(const wchar_t* namespaceUri, const wchar_t* localName) {
    xercesc::DOMElement* element = OVX_E(getAttributeNS);
    return Keep(element->getAttributeNS(XmlArg(namespaceUri).get(), OVX_REQ(localName, getAttributeNS)));
}
void CCmlDOM_Element::setAttributeNS(const wchar_t* namespaceUri, const wchar_t* qualifiedName, const wchar_t* value) {
    xercesc::DOMElement* element = OVX_E(setAttributeNS);
    element->setAttributeNS(XmlArg(namespaceUri).get(), OVX_REQ(qualifiedName, setAttributeNS),
                            OVX_REQ(value, setAttributeNS));
}
void CCmlDOM_Element::removeAttributeNS(const wchar_t* namespaceUri, const wchar_t* localName) {
    xercesc::DOMElement* element = OVX_E(removeAttributeNS);
    element->removeAttributeNS(XmlArg(namespaceUri).get(), OVX_REQ(localName, removeAttributeNS));
}
CCmlDOM_Attr CCmlDOM_Element::getAttributeNodeNS(const wchar_t* namespaceUri, const wchar_t* localName) const {
    xercesc::DOMElement* element = OVX_E(getAttributeNodeNS);
    return CCmlDOM_Attr(
        element->getAttributeNodeNS(XmlArg(namespaceUri).get(), OVX_REQ(localName, getAttributeNodeNS)));
}
CCmlDOM_Attr CCmlDOM_Element::setAttributeNodeNS(const CCmlDOM_Attr& attr) {
    return CCmlDOM_Attr(OVX_E(setAttributeNodeNS)->setAttributeNodeNS(OVX_ATTR(attr)));
}
CCmlDOM_NodeList CCmlDOM_Element::getElementsByTagNameNS(const wchar_t* namespaceUri, const wchar_t* localName) const {
    xercesc::DOMElement* element = OVX_E(getElementsByTagNameNS);
    return CCmlDOM_NodeList(
        element->getElementsByTagNameNS(XmlArg(namespaceUri).get(), OVX_REQ(localName, getElementsByTagNameNS)));
}
bool CCmlDOM_Element::hasAttribute(const wchar_t* name) const {
    xercesc::DOMElement* element = OVX_E(hasAttribute);
    return element->hasAttribute(OVX_REQ(name, hasAttribute));
}
bool CCmlDOM_Element::hasAttributeNS(const wchar_t* namespaceUri, const wchar_t* localName) const {
    xercesc::DOMElement* element = OVX_E(hasAttributeNS);
    return element->hasAttributeNS(XmlArg(namespaceUri).get(), OVX_REQ(localName, hasAttributeNS));
}
void CCmlDOM_Element::setIdAttribute(const wchar_t* name, bool isId) {
    xercesc::DOMElement* element = OVX_E(setIdAttribute);
    element->setIdAttribute(OVX_REQ(name, setIdAttribute), isId);
}
void CCmlDOM_Element::setIdAttributeNS(const wchar_t* namespaceUri, const wchar_t* localName, bool isId) {
    xercesc::DOMElement* element = OVX_E(setIdAttributeNS);
    element->setIdAttributeNS(XmlArg(namespaceUri).get(), OVX_REQ(localName, setIdAttributeNS), isId);
}
void CCmlDOM_Element::setIdAttributeNode(const CCmlDOM_Attr& attr, bool isId) {
    OVX_E(setIdAttributeNode)->setIdAttributeNode(OVX_ATTR(attr), isId);
}

#undef OVX_E
#undef OVX_REQ
#undef OVX_ATTR

// ---- CCmlDOM_CharacterData and CCmlDOM_Text

void CCmlDOM_CharacterData::SetDOMCharacterData(DOMNode* node) {
    if (node != nullptr && !IsType(node, {DOMNode::TEXT_NODE, DOMNode::CDATA_SECTION_NODE, DOMNode::COMMENT_NODE})) {
        ThrowWrongType("CCmlDOM_CharacterData", "SetDOMCharacterData");
    }
    SetDOMNode(node);
}

xercesc::DOMCharacterData* CCmlDOM_CharacterData::Data(const char* cls, const char* op) const {
    return dynamic_cast<xercesc::DOMCharacterData*>(Need(cls, op));
}

#define OVX_D(op) Data("CCmlDOM_CharacterData", #op)
#define OVX_REQ(text, op) Required(text, "CCmlDOM_CharacterData", #op).get()

const wchar_t* CCmlDOM_CharacterData::getData() { return Keep(OVX_D(getData)->getData()); }
XMLSize_t CCmlDOM_CharacterData::getLength() const { return OVX_D(getLength)->getLength(); }
const wchar_t* CCmlDOM_CharacterData::substringData(XMLSize_t offset, XMLSize_t count) {
    return Keep(OVX_D(substringData)->substringData(offset, count));
}
void CCmlDOM_CharacterData::appendData(const wchar_t* data) {
    auto* node = OVX_D(appendData);
    node->appendData(OVX_REQ(data, appendData));
}
void CCmlDOM_CharacterData::insertData(XMLSize_t offset, const wchar_t* data) {
    auto* node = OVX_D(insertData);
    node->insertData(offset, OVX_REQ(data, insertData));
}
void CCmlDOM_CharacterData::deleteData(XMLSize_t offset, XMLSize_t count) {
    OVX_D(deleteData)->deleteData(offset, count);
}
void CCmlDOM_CharacterData::replaceData(XMLSize_t offset, XMLSize_t count, const wchar_t* data) {
    auto* node = OVX_D(replaceData);
    node->replaceData(offset, count, OVX_REQ(data, replaceData));
}
void CCmlDOM_CharacterData::setData(const wchar_t* data) {
    auto* node = OVX_D(setData);
    node->setData(OVX_REQ(data, setData));
}

#undef OVX_D
#undef OVX_REQ

void CCmlDOM_Text::SetDOMText(DOMNode* node) {
    if (node != nullptr && !IsType(node, {DOMNode::TEXT_NODE, DOMNode::CDATA_SECTION_NODE})) {
        ThrowWrongType("CCmlDOM_Text", "SetDOMText");
    }
    SetDOMNode(node);
}

xercesc::DOMText* CCmlDOM_Text::Text(const char* op) const {
    return static_cast<xercesc::DOMText*>(Need("CCmlDOM_Text", op));
}

CCmlDOM_Text CCmlDOM_Text::splitText(XMLSize_t offset) { return CCmlDOM_Text(Text("splitText")->splitText(offset)); }
bool CCmlDOM_Text::getIsWhitespaceInElementContent() const {
    return Text("getIsWhitespaceInElementContent")->getIsElementContentWhitespace();
}
bool CCmlDOM_Text::isIgnorableWhitespace() const { return Text("isIgnorableWhitespace")->isIgnorableWhitespace(); }
const wchar_t* CCmlDOM_Text::getWholeText() { return Keep(Text("getWholeText")->getWholeText()); }
CCmlDOM_Text CCmlDOM_Text::replaceWholeText(const wchar_t* content) {
    xercesc::DOMText* text = Text("replaceWholeText");
    return CCmlDOM_Text(text->replaceWholeText(Required(content, "CCmlDOM_Text", "replaceWholeText").get()));
}

// ---- CCmlDOM_Document

CCmlDOM_Document& CCmlDOM_Document::operator=(const CCmlDOM_Document& other) {
    if (this != &other) SetDOMDocument(other.m_document);
    return *this;
}

CCmlDOM_Document::~CCmlDOM_Document() { ReleaseOwned(); }

void CCmlDOM_Document::ReleaseOwned() {
    if (m_ownsDocument && m_document != nullptr) {
        xercesc::DOMDocument* document = m_document;
        m_document = nullptr;
        document->release();
    }
    m_ownsDocument = false;
}

void CCmlDOM_Document::SetDOMDocument(xercesc::DOMDocument* document) {
    if (document == m_document) return;
    ReleaseOwned();
    m_document = document;
}

xercesc::DOMDocument* CCmlDOM_Document::Need(const char* op) const {
    if (m_document == nullptr) ThrowNull("CCmlDOM_Document", op, L"The document is NULL");
    return m_document;
}

const wchar_t* CCmlDOM_Document::Keep(const XMLCh* text) { return KeepIn(m_buffer, text); }

#define OVX_DOC(op) Need(#op)
#define OVX_REQ(text, op) Required(text, "CCmlDOM_Document", #op).get()

xercesc::DOMImplementation* CCmlDOM_Document::getImplementation() const {
    return OVX_DOC(getImplementation)->getImplementation();
}
CCmlDOM_Element CCmlDOM_Document::getDocumentElement() const {
    return CCmlDOM_Element(OVX_DOC(getDocumentElement)->getDocumentElement());
}
CCmlDOM_Element CCmlDOM_Document::createElement(const wchar_t* tagName) {
    auto* document = OVX_DOC(createElement);
    return CCmlDOM_Element(document->createElement(OVX_REQ(tagName, createElement)));
}
CCmlDOM_DocumentFragment CCmlDOM_Document::createDocumentFragment() {
    return CCmlDOM_DocumentFragment(OVX_DOC(createDocumentFragment)->createDocumentFragment());
}
CCmlDOM_Text CCmlDOM_Document::createTextNode(const wchar_t* data) {
    auto* document = OVX_DOC(createTextNode);
    return CCmlDOM_Text(document->createTextNode(OVX_REQ(data, createTextNode)));
}
CCmlDOM_Comment CCmlDOM_Document::createComment(const wchar_t* data) {
    auto* document = OVX_DOC(createComment);
    return CCmlDOM_Comment(document->createComment(OVX_REQ(data, createComment)));
}
CCmlDOM_CDATASection CCmlDOM_Document::createCDATASection(const wchar_t* data) {
    auto* document = OVX_DOC(createCDATASection);
    return CCmlDOM_CDATASection(document->createCDATASection(OVX_REQ(data, createCDATASection)));
}
CCmlDOM_ProcessingInstruction CCmlDOM_Document::createProcessingInstruction(const wchar_t* target,
                                                                            const wchar_t* data) {
    auto* document = OVX_DOC(createProcessingInstruction);
    return CCmlDOM_ProcessingInstruction(document->createProcessingInstruction(
        OVX_REQ(target, createProcessingInstruction), OVX_REQ(data, createProcessingInstruction)));
}
CCmlDOM_Attr CCmlDOM_Document::createAttribute(const wchar_t* name) {
    auto* document = OVX_DOC(createAttribute);
    return CCmlDOM_Attr(document->createAttribute(OVX_REQ(name, createAttribute)));
}
CCmlDOM_EntityReference CCmlDOM_Document::createEntityReference(const wchar_t* name) {
    auto* document = OVX_DOC(createEntityReference);
    return CCmlDOM_EntityReference(document->createEntityReference(OVX_REQ(name, createEntityReference)));
}
CCmlDOM_DocumentType CCmlDOM_Document::getDoctype() const {
    return CCmlDOM_DocumentType(OVX_DOC(getDoctype)->getDoctype());
}
CCmlDOM_Entity CCmlDOM_Document::createEntity(const wchar_t* name) {
    auto* document = OVX_DOC(createEntity);
    return CCmlDOM_Entity(document->createEntity(OVX_REQ(name, createEntity)));
}
CCmlDOM_DocumentType CCmlDOM_Document::createDocumentType(const wchar_t* name) {
    auto* document = OVX_DOC(createDocumentType);
    return CCmlDOM_DocumentType(document->createDocumentType(OVX_REQ(name, createDocumentType)));
}
CCmlDOM_Notation CCmlDOM_Document::createNotation(const wchar_t* name) {
    auto* document = OVX_DOC(createNotation);
    return CCmlDOM_Notation(document->createNotation(OVX_REQ(name, createNotation)));
}
CCmlDOM_NodeList CCmlDOM_Document::getElementsByTagName(const wchar_t* name) const {
    auto* document = OVX_DOC(getElementsByTagName);
    return CCmlDOM_NodeList(document->getElementsByTagName(OVX_REQ(name, getElementsByTagName)));
}
CCmlDOM_Node CCmlDOM_Document::importNode(const CCmlDOM_Node& node, bool deep) {
    auto* document = OVX_DOC(importNode);
    if (node.IsNull())
        throw CCmlException(L"CCmlDOM_Document::importNode()", L"Received value is NULL", OVX_E_INVALID_ARGUMENT);
    return CCmlDOM_Node(document->importNode(node.GetDOMNode(), deep));
}
CCmlDOM_Element CCmlDOM_Document::createElementNS(const wchar_t* namespaceUri, const wchar_t* qualifiedName) {
    auto* document = OVX_DOC(createElementNS);
    return CCmlDOM_Element(
        document->createElementNS(XmlArg(namespaceUri).get(), OVX_REQ(qualifiedName, createElementNS)));
}
CCmlDOM_Attr CCmlDOM_Document::createAttributeNS(const wchar_t* namespaceUri, const wchar_t* qualifiedName) {
    auto* document = OVX_DOC(createAttributeNS);
    return CCmlDOM_Attr(
        document->createAttributeNS(XmlArg(namespaceUri).get(), OVX_REQ(qualifiedName, createAttributeNS)));
}
CCmlDOM_NodeList CCmlDOM_Document::getElementsByTagNameNS(const wchar_t* namespaceUri, const wchar_t* localName) const {
    auto* document = OVX_DOC(getElementsByTagNameNS);
    return CCmlDOM_NodeList(
        document->getElementsByTagNameNS(XmlArg(namespaceUri).get(), OVX_REQ(localName, getElementsByTagNameNS)));
}
CCmlDOM_Element CCmlDOM_Document::getElementById(const wchar_t* id) const {
    auto* document = OVX_DOC(getElementById);
    return CCmlDOM_Element(document->getElementById(OVX_REQ(id, getElementById)));
}
const wchar_t* CCmlDOM_Document::getActualEncoding() { return Keep(OVX_DOC(getActualEncoding)->getInputEncoding()); }
void CCmlDOM_Document::setActualEncoding(const wchar_t*) {
    OVX_DOC(setActualEncoding);
    throw CCmlException(L"CCmlDOM_Document::setActualEncoding()",
                        L"The input encoding of a document is read-only in this DOM", OVX_E_UNEXPECTED);
}
const wchar_t* CCmlDOM_Document::getEncoding() { return Keep(OVX_DOC(getEncoding)->getXmlEncoding()); }
void CCmlDOM_Document::setEncoding(const wchar_t*) {
    OVX_DOC(setEncoding);
    throw CCmlException(L"CCmlDOM_Document::setEncoding()",
                        L"The XML encoding of a document is read-only in this DOM; set it on the serializer's output",
                        OVX_E_UNEXPECTED);
}
bool CCmlDOM_Document::getStandalone() const { return OVX_DOC(getStandalone)->getXmlStandalone(); }
void CCmlDOM_Document::setStandalone(bool standalone) { OVX_DOC(setStandalone)->setXmlStandalone(standalone); }
const wchar_t* CCmlDOM_Document::getVersion() { return Keep(OVX_DOC(getVersion)->getXmlVersion()); }
void CCmlDOM_Document::setVersion(const wchar_t* version) {
    auto* document = OVX_DOC(setVersion);
    document->setXmlVersion(OVX_REQ(version, setVersion));
}
const wchar_t* CCmlDOM_Document::getDocumentURI() { return Keep(OVX_DOC(getDocumentURI)->getDocumentURI()); }
void CCmlDOM_Document::setDocumentURI(const wchar_t* uri) {
    OVX_DOC(setDocumentURI)->setDocumentURI(XmlArg(uri).get());
}
bool CCmlDOM_Document::getStrictErrorChecking() const {
    return OVX_DOC(getStrictErrorChecking)->getStrictErrorChecking();
}
void CCmlDOM_Document::setStrictErrorChecking(bool strict) {
    OVX_DOC(setStrictErrorChecking)->setStrictErrorChecking(strict);
}
CCmlDOM_Node CCmlDOM_Document::renameNode(const CCmlDOM_Node& node, const wchar_t* namespaceUri, const wchar_t* name) {
    auto* document = OVX_DOC(renameNode);
    return CCmlDOM_Node(document->renameNode(node.GetDOMNode(), XmlArg(namespaceUri).get(), OVX_REQ(name, renameNode)));
}
CCmlDOM_Node CCmlDOM_Document::adoptNode(const CCmlDOM_Node& node) {
    return CCmlDOM_Node(OVX_DOC(adoptNode)->adoptNode(node.GetDOMNode()));
}
void CCmlDOM_Document::normalizeDocument() { OVX_DOC(normalizeDocument)->normalizeDocument(); }
xercesc::DOMConfiguration* CCmlDOM_Document::getDOMConfiguration() const {
    return OVX_DOC(getDOMConfiguration)->getDOMConfig();
}

#undef OVX_DOC
#undef OVX_REQ

// ---- XmlUtils

namespace XmlUtils {

int SubtreeDepth(const DOMNode* node, int limit) {
    if (node == nullptr) return 0;
    int depth = 0;
    int deepest = 0;
    const DOMNode* current = node;
    while (current != nullptr) {
        if (current->getFirstChild() != nullptr) {
            current = current->getFirstChild();
            if (++depth > deepest) deepest = depth;
            if (deepest > limit) return deepest;
            continue;
        }
        while (current != node && current->getNextSibling() == nullptr) {
            current = current->getParentNode();
            --depth;
        }
        if (current == node) break;
        current = current->getNextSibling();
    }
    return deepest;
}

DOMNode* CopyDOMNode(const DOMNode* node) {
    if (node == nullptr) return nullptr;
    if (SubtreeDepth(node, kMaxElementDepth) > kMaxElementDepth) {
        throw CCmlException(L"XmlUtils::CopyDOMNode", L"The node is nested too deeply to copy", OVX_E_INVALID_ARGUMENT);
    }
    const xercesc::DOMDocument* owner = node->getNodeType() == DOMNode::DOCUMENT_NODE
                                            ? static_cast<const xercesc::DOMDocument*>(node)
                                            : node->getOwnerDocument();
    xercesc::DOMImplementation* implementation = owner != nullptr ? owner->getImplementation() : nullptr;
    if (implementation == nullptr) {
        throw CCmlException(L"XmlUtils::CopyDOMNode", L"DOMDocument::getImplementation() returned NULL",
                            OVX_E_UNEXPECTED);
    }
    xercesc::DOMDocument* copy = implementation->createDocument(nullptr, u"dummy", nullptr);
    try {
        return copy->importNode(node, true);
    } catch (...) {
        copy->release();
        throw;
    }
}

uint32_t GetDOMErrorText(uint32_t domCode, std::wstring& text) {
    uint32_t status = DomCodeToStatus(domCode);
    ovxToolsLib::OVXError error(status);
    const char* message = error.GetMessageText();
    text = ovxToolsLib::ovxUnicode<wchar_t>::FromUtf8(message != nullptr ? message : "");
    return status;
}

}  // namespace XmlUtils

}  // namespace cml
}  // namespace ovx
