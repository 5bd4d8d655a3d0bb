// Wide-string wrappers over the Xerces-C DOM. The CML classes go through
// these rather than the DOM itself: every operation checks that something is
// wrapped (a CCmlException instead of a null dereference), converts text to
// and from 32-bit characters, and a document wrapper may own its document.
//
// String results point into the wrapper's own buffer and stay valid until
// the next call on the same wrapper; NULL when the DOM gives NULL. Node
// results are new, non-owning wrappers. Exceptions of the DOM itself pass
// through as xercesc::DOMException.
#ifndef OVX_CML_CORE_CMLDOM_H
#define OVX_CML_CORE_CMLDOM_H

#include <xercesc/dom/DOM.hpp>

#include <cstdint>
#include <initializer_list>
#include <string>

namespace ovx {
namespace cml {

class CCmlDOM_NodeList;
class CCmlDOM_NamedNodeMap;
class CCmlDOM_Document;
class CCmlDOM_CDATASection;
class CCmlDOM_Comment;
class CCmlDOM_DocumentFragment;
class CCmlDOM_DocumentType;
class CCmlDOM_Entity;
class CCmlDOM_EntityReference;
class CCmlDOM_Notation;
class CCmlDOM_ProcessingInstruction;

class CCmlDOM_Node {
public:
    CCmlDOM_Node() = default;
    explicit CCmlDOM_Node(xercesc::DOMNode* node) : m_node(node) {}
    // A copy wraps the same node but never owns its document.
    CCmlDOM_Node(const CCmlDOM_Node& other) : m_node(other.m_node) {}
    CCmlDOM_Node& operator=(const CCmlDOM_Node& other);
    virtual ~CCmlDOM_Node();

    virtual xercesc::DOMNode* GetDOMNode() const { return m_node; }
    virtual bool OwnsDocument() const { return m_ownsDocument; }
    virtual bool IsMarked() const { return m_marked; }
    // An owning wrapper releases the node's document when it is destroyed or
    // pointed elsewhere.
    virtual void SetOwnsDocument(bool owns) { m_ownsDocument = owns; }
    virtual void Mark() { m_marked = true; }
    virtual void Unmark() { m_marked = false; }
    bool IsNull() const { return m_node == nullptr; }
    void SetDOMNode(xercesc::DOMNode* node);

    virtual const wchar_t* getNodeName();
    virtual const wchar_t* getNodeValue();
    virtual short getNodeType() const;
    virtual CCmlDOM_Node getParentNode() const;
    virtual CCmlDOM_NodeList getChildNodes() const;
    virtual CCmlDOM_Node getFirstChild() const;
    virtual CCmlDOM_Node getLastChild() const;
    virtual CCmlDOM_Node getPreviousSibling() const;
    virtual CCmlDOM_Node getNextSibling() const;
    virtual CCmlDOM_NamedNodeMap getAttributes() const;
    virtual CCmlDOM_Document getOwnerDocument() const;
    virtual CCmlDOM_Node cloneNode(bool deep) const;
    virtual CCmlDOM_Node insertBefore(const CCmlDOM_Node& newChild, const CCmlDOM_Node& refChild);
    virtual CCmlDOM_Node replaceChild(const CCmlDOM_Node& newChild, const CCmlDOM_Node& oldChild);
    virtual CCmlDOM_Node removeChild(const CCmlDOM_Node& oldChild);
    virtual CCmlDOM_Node appendChild(const CCmlDOM_Node& newChild);
    virtual bool hasChildNodes() const;
    virtual void setNodeValue(const wchar_t* value);
    virtual void normalize();
    virtual bool isSupported(const wchar_t* feature, const wchar_t* version) const;
    virtual const wchar_t* getNamespaceURI();
    virtual const wchar_t* getPrefix();
    virtual const wchar_t* getLocalName();
    virtual void setPrefix(const wchar_t* prefix);
    virtual bool hasAttributes() const;
    virtual bool isSameNode(const CCmlDOM_Node& other) const;
    virtual bool isEqualNode(const CCmlDOM_Node& other) const;
    virtual void* setUserData(const wchar_t* key, void* data, xercesc::DOMUserDataHandler* handler);
    virtual void* getUserData(const wchar_t* key) const;
    virtual const wchar_t* getBaseURI();
    // The DOM Level 3 name of this is compareDocumentPosition.
    virtual short compareTreePosition(const CCmlDOM_Node& other) const;
    virtual const wchar_t* getTextContent();
    virtual void setTextContent(const wchar_t* text);
    // Forwards to lookupPrefix; the DOM no longer takes useDefault.
    virtual const wchar_t* lookupNamespacePrefix(const wchar_t* namespaceUri, bool useDefault);
    virtual bool isDefaultNamespace(const wchar_t* namespaceUri) const;
    virtual const wchar_t* lookupNamespaceURI(const wchar_t* prefix);
    // Forwards to getFeature(feature, NULL).
    virtual void* getInterface(const wchar_t* feature) const;
    virtual void release();

protected:
    // The wrapped node, or CCmlException "The node is NULL" naming `cls::op()`.
    xercesc::DOMNode* Need(const char* cls, const char* op) const;
    const wchar_t* Keep(const XMLCh* text);
    void ReleaseOwnedDocument();

    std::wstring m_buffer;

private:
    xercesc::DOMNode* m_node = nullptr;
    bool m_ownsDocument = false;
    bool m_marked = false;
};

class CCmlDOM_NodeList {
public:
    CCmlDOM_NodeList() = default;
    explicit CCmlDOM_NodeList(xercesc::DOMNodeList* list) : m_list(list) {}
    virtual ~CCmlDOM_NodeList() = default;
    void SetDOMNodeList(xercesc::DOMNodeList* list) { m_list = list; }
    xercesc::DOMNodeList* GetDOMNodeList() const { return m_list; }
    virtual XMLSize_t getLength() const;
    virtual CCmlDOM_Node item(XMLSize_t index) const;

private:
    xercesc::DOMNodeList* m_list = nullptr;
};

class CCmlDOM_NamedNodeMap {
public:
    CCmlDOM_NamedNodeMap() = default;
    explicit CCmlDOM_NamedNodeMap(xercesc::DOMNamedNodeMap* map) : m_map(map) {}
    virtual ~CCmlDOM_NamedNodeMap() = default;
    void SetDOMNamedNodeMap(xercesc::DOMNamedNodeMap* map) { m_map = map; }
    xercesc::DOMNamedNodeMap* GetDOMNamedNodeMap() const { return m_map; }
    virtual XMLSize_t getLength() const;
    virtual CCmlDOM_Node item(XMLSize_t index) const;
    virtual CCmlDOM_Node getNamedItem(const wchar_t* name) const;
    virtual CCmlDOM_Node setNamedItem(const CCmlDOM_Node& node);
    virtual CCmlDOM_Node removeNamedItem(const wchar_t* name);
    virtual CCmlDOM_Node getNamedItemNS(const wchar_t* namespaceUri, const wchar_t* localName) const;
    virtual CCmlDOM_Node setNamedItemNS(const CCmlDOM_Node& node);
    virtual CCmlDOM_Node removeNamedItemNS(const wchar_t* namespaceUri, const wchar_t* localName);

private:
    xercesc::DOMNamedNodeMap* Need(const char* op) const;
    xercesc::DOMNamedNodeMap* m_map = nullptr;
};

class CCmlDOM_Element;

// Schema type information of an element or attribute (DOMTypeInfo).
class CCmlDOM_TypeInfo {
public:
    CCmlDOM_TypeInfo() = default;
    explicit CCmlDOM_TypeInfo(const xercesc::DOMTypeInfo* info) : m_info(info) {}
    virtual ~CCmlDOM_TypeInfo() = default;
    void SetDOMTypeInfo(const xercesc::DOMTypeInfo* info) { m_info = info; }
    const xercesc::DOMTypeInfo* GetDOMTypeInfo() const { return m_info; }
    // getTypeName and getTypeNamespace in DOM Level 3.
    virtual const wchar_t* getName();
    virtual const wchar_t* getNamespace();

private:
    const xercesc::DOMTypeInfo* Need(const char* op) const;
    const xercesc::DOMTypeInfo* m_info = nullptr;
    std::wstring m_buffer;
};

class CCmlDOM_Attr : public CCmlDOM_Node {
public:
    CCmlDOM_Attr() = default;
    explicit CCmlDOM_Attr(xercesc::DOMAttr* attr) : CCmlDOM_Node(attr) {}
    void SetDOMAttr(xercesc::DOMNode* node);
    virtual const wchar_t* getName();
    virtual bool getSpecified() const;
    virtual const wchar_t* getValue();
    virtual void setValue(const wchar_t* value);
    virtual CCmlDOM_Element getOwnerElement() const;
    virtual bool isId() const;
    // getSchemaTypeInfo in DOM Level 3.
    virtual CCmlDOM_TypeInfo getTypeInfo() const;

private:
    xercesc::DOMAttr* Attr(const char* op) const;
};

// One attribute CCmlDOM_Element::ReadAttributes looks for, and where its
// value goes.
struct CAttributeTarget {
    const wchar_t* name;
    std::wstring* value;
};

class CCmlDOM_Element : public CCmlDOM_Node {
public:
    CCmlDOM_Element() = default;
    explicit CCmlDOM_Element(xercesc::DOMElement* element) : CCmlDOM_Node(element) {}
    // A NULL element is accepted; a node that is not an element is refused.
    void SetDOMElement(xercesc::DOMNode* node);
    xercesc::DOMElement* GetDOMElement() const;

    virtual const wchar_t* getTagName();
    // Empty, not NULL, for an attribute that is not there, as the DOM does.
    virtual const wchar_t* getAttribute(const wchar_t* name);
    // What getAttribute gives for each name of `wanted` (plain ASCII names),
    // read in one pass over the element's attributes: an element that lacks
    // most of the attributes it may have, as an agent's description does,
    // costs a comparison of names for each, not a search.
    void ReadAttributes(std::initializer_list<CAttributeTarget> wanted);
    virtual CCmlDOM_Attr getAttributeNode(const wchar_t* name) const;
    virtual CCmlDOM_NodeList getElementsByTagName(const wchar_t* name) const;
    virtual void setAttribute(const wchar_t* name, const wchar_t* value);
    virtual CCmlDOM_Attr setAttributeNode(const CCmlDOM_Attr& attr);
    virtual CCmlDOM_Attr removeAttributeNode(const CCmlDOM_Attr& attr);
    virtual void removeAttribute(const wchar_t* name);
    virtual const wchar_t* getAttributeNS(const wchar_t* namespaceUri, const wchar_t* localName);
    virtual void setAttributeNS(const wchar_t* namespaceUri, const wchar_t* qualifiedName, const wchar_t* value);
    virtual void removeAttributeNS(const wchar_t* namespaceUri, const wchar_t* localName);
    virtual CCmlDOM_Attr getAttributeNodeNS(const wchar_t* namespaceUri, const wchar_t* localName) const;
    virtual CCmlDOM_Attr setAttributeNodeNS(const CCmlDOM_Attr& attr);
    virtual CCmlDOM_NodeList getElementsByTagNameNS(const wchar_t* namespaceUri, const wchar_t* localName) const;
    virtual bool hasAttribute(const wchar_t* name) const;
    virtual bool hasAttributeNS(const wchar_t* namespaceUri, const wchar_t* localName) const;
    virtual void setIdAttribute(const wchar_t* name, bool isId);
    virtual void setIdAttributeNS(const wchar_t* namespaceUri, const wchar_t* localName, bool isId);
    virtual void setIdAttributeNode(const CCmlDOM_Attr& attr, bool isId);
    // getSchemaTypeInfo in DOM Level 3.
    virtual CCmlDOM_TypeInfo getTypeInfo() const;

private:
    xercesc::DOMElement* Element(const char* op) const;
};

class CCmlDOM_CharacterData : public CCmlDOM_Node {
public:
    CCmlDOM_CharacterData() = default;
    explicit CCmlDOM_CharacterData(xercesc::DOMCharacterData* data) : CCmlDOM_Node(data) {}
    // Text, CDATA section or comment nodes.
    void SetDOMCharacterData(xercesc::DOMNode* node);
    virtual const wchar_t* getData();
    virtual XMLSize_t getLength() const;
    virtual const wchar_t* substringData(XMLSize_t offset, XMLSize_t count);
    virtual void appendData(const wchar_t* data);
    virtual void insertData(XMLSize_t offset, const wchar_t* data);
    virtual void deleteData(XMLSize_t offset, XMLSize_t count);
    virtual void replaceData(XMLSize_t offset, XMLSize_t count, const wchar_t* data);
    virtual void setData(const wchar_t* data);

protected:
    xercesc::DOMCharacterData* Data(const char* cls, const char* op) const;
};

class CCmlDOM_Text : public CCmlDOM_CharacterData {
public:
    CCmlDOM_Text() = default;
    explicit CCmlDOM_Text(xercesc::DOMText* text) : CCmlDOM_CharacterData(text) {}
    // Text or CDATA section nodes.
    void SetDOMText(xercesc::DOMNode* node);
    virtual CCmlDOM_Text splitText(XMLSize_t offset);
    // Xerces 3.2 calls this getIsElementContentWhitespace.
    virtual bool getIsWhitespaceInElementContent() const;
    virtual bool isIgnorableWhitespace() const;
    virtual const wchar_t* getWholeText();
    virtual CCmlDOM_Text replaceWholeText(const wchar_t* content);

private:
    xercesc::DOMText* Text(const char* op) const;
};

class CCmlDOM_Document {
public:
    CCmlDOM_Document() = default;
    explicit CCmlDOM_Document(xercesc::DOMDocument* document) : m_document(document) {}
    CCmlDOM_Document(const CCmlDOM_Document& other) : m_document(other.m_document) {}
    CCmlDOM_Document& operator=(const CCmlDOM_Document& other);
    // An owning wrapper releases its document here.
    virtual ~CCmlDOM_Document();
    void SetDOMDocument(xercesc::DOMDocument* document);
    xercesc::DOMDocument* GetDOMDocument() const { return m_document; }
    bool IsNull() const { return m_document == nullptr; }
    virtual bool OwnsDocument() const { return m_ownsDocument; }
    virtual void SetOwnsDocument(bool owns) { m_ownsDocument = owns; }

    virtual xercesc::DOMImplementation* getImplementation() const;
    virtual CCmlDOM_Element getDocumentElement() const;
    virtual CCmlDOM_Element createElement(const wchar_t* tagName);
    virtual CCmlDOM_DocumentFragment createDocumentFragment();
    virtual CCmlDOM_Text createTextNode(const wchar_t* data);
    virtual CCmlDOM_Comment createComment(const wchar_t* data);
    virtual CCmlDOM_CDATASection createCDATASection(const wchar_t* data);
    virtual CCmlDOM_ProcessingInstruction createProcessingInstruction(const wchar_t* target, const wchar_t* data);
    virtual CCmlDOM_Attr createAttribute(const wchar_t* name);
    virtual CCmlDOM_EntityReference createEntityReference(const wchar_t* name);
    virtual CCmlDOM_DocumentType getDoctype() const;
    // Xerces extensions to the DOM document: entities, document types and
    // notations built by hand.
    virtual CCmlDOM_Entity createEntity(const wchar_t* name);
    virtual CCmlDOM_DocumentType createDocumentType(const wchar_t* name);
    virtual CCmlDOM_Notation createNotation(const wchar_t* name);
    virtual CCmlDOM_NodeList getElementsByTagName(const wchar_t* name) const;
    virtual CCmlDOM_Node importNode(const CCmlDOM_Node& node, bool deep);
    virtual CCmlDOM_Element createElementNS(const wchar_t* namespaceUri, const wchar_t* qualifiedName);
    virtual CCmlDOM_Attr createAttributeNS(const wchar_t* namespaceUri, const wchar_t* qualifiedName);
    virtual CCmlDOM_NodeList getElementsByTagNameNS(const wchar_t* namespaceUri, const wchar_t* localName) const;
    virtual CCmlDOM_Element getElementById(const wchar_t* id) const;
    // getInputEncoding in DOM Level 3.
    virtual const wchar_t* getActualEncoding();
    // The DOM keeps the input encoding read-only now: throws CCmlException.
    virtual void setActualEncoding(const wchar_t* encoding);
    // getXmlEncoding in DOM Level 3.
    virtual const wchar_t* getEncoding();
    // Read-only in DOM Level 3: throws CCmlException.
    virtual void setEncoding(const wchar_t* encoding);
    virtual bool getStandalone() const;
    virtual void setStandalone(bool standalone);
    virtual const wchar_t* getVersion();
    virtual void setVersion(const wchar_t* version);
    virtual const wchar_t* getDocumentURI();
    virtual void setDocumentURI(const wchar_t* uri);
    virtual bool getStrictErrorChecking() const;
    virtual void setStrictErrorChecking(bool strict);
    virtual CCmlDOM_Node renameNode(const CCmlDOM_Node& node, const wchar_t* namespaceUri, const wchar_t* name);
    virtual CCmlDOM_Node adoptNode(const CCmlDOM_Node& node);
    virtual void normalizeDocument();
    // getDOMConfig in DOM Level 3.
    virtual xercesc::DOMConfiguration* getDOMConfiguration() const;

private:
    xercesc::DOMDocument* Need(const char* op) const;
    const wchar_t* Keep(const XMLCh* text);
    void ReleaseOwned();

    xercesc::DOMDocument* m_document = nullptr;
    bool m_ownsDocument = false;
    std::wstring m_buffer;
};

// The deepest element nesting this layer reads or copies. The DOM's own
// deep operations recurse, so deeper trees are refused rather than risking
// the stack of the host's thread; CML documents nest a few dozen levels.
constexpr int kMaxElementDepth = 2048;

namespace XmlUtils {

// The depth of the deepest node below `node` (0 for a leaf), walked without
// recursion; stops counting once `limit` is passed.
int SubtreeDepth(const xercesc::DOMNode* node, int limit);

// A deep copy of `node` in a document of its own (document element "dummy"),
// which the caller owns through the returned node; NULL for NULL. A subtree
// deeper than kMaxElementDepth throws CCmlException OVX_E_INVALID_ARGUMENT.
xercesc::DOMNode* CopyDOMNode(const xercesc::DOMNode* node);

// The catalog text of a DOM exception code, through its status code.
uint32_t GetDOMErrorText(uint32_t domCode, std::wstring& text);

}  // namespace XmlUtils

}  // namespace cml
}  // namespace ovx

#endif  // OVX_CML_CORE_CMLDOM_H
