// The less common members of the DOM wrapper family: CDATA sections,
// comments, fragments, document types, entities, notations, processing
// instructions and type information, plus the exception wrappers. They follow
// the rules of the wrappers in cmlDom.h: a null check on every operation,
// wide strings in and out, results in the wrapper's own buffer.
#ifndef OVX_CML_CORE_CMLDOMNODES_H
#define OVX_CML_CORE_CMLDOMNODES_H

#include <xercesc/dom/DOM.hpp>
#include <xercesc/sax/SAXException.hpp>
#include <xercesc/sax/SAXParseException.hpp>

#include <string>

#include "cml/core/cmlDom.h"

namespace ovx {
namespace cml {

class CCmlDOM_CDATASection : public CCmlDOM_Text {
public:
    CCmlDOM_CDATASection() = default;
    explicit CCmlDOM_CDATASection(xercesc::DOMCDATASection* node) : CCmlDOM_Text(node) {}
    void SetDOMCDATASection(xercesc::DOMNode* node);
};

class CCmlDOM_Comment : public CCmlDOM_CharacterData {
public:
    CCmlDOM_Comment() = default;
    explicit CCmlDOM_Comment(xercesc::DOMComment* node) : CCmlDOM_CharacterData(node) {}
    void SetDOMComment(xercesc::DOMNode* node);
};

class CCmlDOM_DocumentFragment : public CCmlDOM_Node {
public:
    CCmlDOM_DocumentFragment() = default;
    explicit CCmlDOM_DocumentFragment(xercesc::DOMDocumentFragment* node) : CCmlDOM_Node(node) {}
    void SetDOMDocumentFragment(xercesc::DOMNode* node);
};

class CCmlDOM_EntityReference : public CCmlDOM_Node {
public:
    CCmlDOM_EntityReference() = default;
    explicit CCmlDOM_EntityReference(xercesc::DOMEntityReference* node) : CCmlDOM_Node(node) {}
    void SetDOMEntityReference(xercesc::DOMNode* node);
};

class CCmlDOM_DocumentType : public CCmlDOM_Node {
public:
    CCmlDOM_DocumentType() = default;
    explicit CCmlDOM_DocumentType(xercesc::DOMDocumentType* node) : CCmlDOM_Node(node) {}
    void SetDOMDocumentType(xercesc::DOMNode* node);
    virtual const wchar_t* getName();
    virtual CCmlDOM_NamedNodeMap getEntities() const;
    virtual CCmlDOM_NamedNodeMap getNotations() const;
    virtual const wchar_t* getPublicId();
    virtual const wchar_t* getSystemId();
    virtual const wchar_t* getInternalSubset();

private:
    xercesc::DOMDocumentType* Type(const char* op) const;
};

class CCmlDOM_Entity : public CCmlDOM_Node {
public:
    CCmlDOM_Entity() = default;
    explicit CCmlDOM_Entity(xercesc::DOMEntity* node) : CCmlDOM_Node(node) {}
    void SetDOMEntity(xercesc::DOMNode* node);
    virtual const wchar_t* getPublicId();
    virtual const wchar_t* getSystemId();
    virtual const wchar_t* getNotationName();
    // getInputEncoding in DOM Level 3.
    virtual const wchar_t* getActualEncoding();
    // The three setters below have no DOM Level 3 counterpart (entity
    // properties are read-only there): they throw CCmlException.
    virtual void setActualEncoding(const wchar_t* encoding);
    // getXmlEncoding in DOM Level 3.
    virtual const wchar_t* getEncoding();
    virtual void setEncoding(const wchar_t* encoding);
    // getXmlVersion in DOM Level 3.
    virtual const wchar_t* getVersion();
    virtual void setVersion(const wchar_t* version);

private:
    xercesc::DOMEntity* Entity(const char* op) const;
};

class CCmlDOM_Notation : public CCmlDOM_Node {
public:
    CCmlDOM_Notation() = default;
    explicit CCmlDOM_Notation(xercesc::DOMNotation* node) : CCmlDOM_Node(node) {}
    void SetDOMNotation(xercesc::DOMNode* node);
    virtual const wchar_t* getPublicId();
    virtual const wchar_t* getSystemId();

private:
    xercesc::DOMNotation* Notation(const char* op) const;
};

class CCmlDOM_ProcessingInstruction : public CCmlDOM_Node {
public:
    CCmlDOM_ProcessingInstruction() = default;
    explicit CCmlDOM_ProcessingInstruction(xercesc::DOMProcessingInstruction* node) : CCmlDOM_Node(node) {}
    void SetDOMProcessingInstruction(xercesc::DOMNode* node);
    virtual const wchar_t* getTarget();
    virtual const wchar_t* getData();
    virtual void setData(const wchar_t* data);

private:
    xercesc::DOMProcessingInstruction* Instruction(const char* op) const;
};

// A DOM exception with its message as a wide string.
class CCmlDOM_Exception {
public:
    explicit CCmlDOM_Exception(const xercesc::DOMException& error);
    uint32_t GetCode() const { return m_code; }
    const std::wstring& GetMessage() const { return m_message; }

private:
    uint32_t m_code;
    std::wstring m_message;
};

// A SAX exception with its message as a wide string.
class CCmlSAX_Exception {
public:
    explicit CCmlSAX_Exception(const xercesc::SAXException& error);
    virtual ~CCmlSAX_Exception() = default;
    const std::wstring& GetMessage() const { return m_message; }

private:
    std::wstring m_message;
};

// A SAX parse exception: its message plus where in which input it happened.
class CCmlSAX_ParseException : public CCmlSAX_Exception {
public:
    explicit CCmlSAX_ParseException(const xercesc::SAXParseException& error);
    const std::wstring& GetSystemId() const { return m_systemId; }
    const std::wstring& GetPublicId() const { return m_publicId; }
    XMLFileLoc GetLineNumber() const { return m_line; }
    XMLFileLoc GetColumnNumber() const { return m_column; }

private:
    std::wstring m_systemId;
    std::wstring m_publicId;
    XMLFileLoc m_line;
    XMLFileLoc m_column;
};

}  // namespace cml
}  // namespace ovx

#endif  // OVX_CML_CORE_CMLDOMNODES_H
