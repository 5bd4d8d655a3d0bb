#include "cml/core/cmlDomNodes.h"

#include <string>

#include "cml/core/cmlDomWrapperSupport.h"
#include "cml/core/cmlException.h"
#include "cml/core/cmlXmlText.h"

namespace ovx {
namespace cml {

using xercesc::DOMNode;

using DomWrapper::Where;

namespace {

void CheckType(const DOMNode* node, DOMNode::NodeType type, const char* cls, const char* setter) {
    if (node != nullptr && node->getNodeType() != type) DomWrapper::ThrowWrongType(cls, setter);
}

[[noreturn]] void ThrowReadOnly(const char* cls, const char* op) {
    throw CCmlException(Where(cls, op), L"Not supported: the DOM keeps this property read-only", OVX_E_UNEXPECTED);
}

std::u16string RequiredText(const wchar_t* text, const char* cls, const char* op) {
    if (text == nullptr) throw CCmlException(Where(cls, op), L"Received value is NULL", OVX_E_INVALID_ARGUMENT);
    return XmlUtils::ToXml(text);
}

}  // namespace

void CCmlDOM_CDATASection::SetDOMCDATASection(DOMNode* node) {
    CheckType(node, DOMNode::CDATA_SECTION_NODE, "CCmlDOM_CDATASection", "SetDOMCDATASection");
    SetDOMNode(node);
}

void CCmlDOM_Comment::SetDOMComment(DOMNode* node) {
    CheckType(node, DOMNode::COMMENT_NODE, "CCmlDOM_Comment", "SetDOMComment");
    SetDOMNode(node);
}

void CCmlDOM_DocumentFragment::SetDOMDocumentFragment(DOMNode* node) {
    CheckType(node, DOMNode::DOCUMENT_FRAGMENT_NODE, "CCmlDOM_DocumentFragment", "SetDOMDocumentFragment");
    SetDOMNode(node);
}

void CCmlDOM_EntityReference::SetDOMEntityReference(DOMNode* node) {
    CheckType(node, DOMNode::ENTITY_REFERENCE_NODE, "CCmlDOM_EntityReference", "SetDOMEntityReference");
    SetDOMNode(node);
}

// ---- CCmlDOM_DocumentType

void CCmlDOM_DocumentType::SetDOMDocumentType(DOMNode* node) {
    CheckType(node, DOMNode::DOCUMENT_TYPE_NODE, "CCmlDOM_DocumentType", "SetDOMDocumentType");
    SetDOMNode(node);
}
xercesc::DOMDocumentType* CCmlDOM_DocumentType::Type(const char* op) const {
    return static_cast<xercesc::DOMDocumentType*>(Need("CCmlDOM_DocumentType", op));
}
const wchar_t* CCmlDOM_DocumentType::getName() { return Keep(Type("getName")->getName()); }
CCmlDOM_NamedNodeMap CCmlDOM_DocumentType::getEntities() const {
    return CCmlDOM_NamedNodeMap(Type("getEntities")->getEntities());
}
CCmlDOM_NamedNodeMap CCmlDOM_DocumentType::getNotations() const {
    return CCmlDOM_NamedNodeMap(Type("getNotations")->getNotations());
}
const wchar_t* CCmlDOM_DocumentType::getPublicId() { return Keep(Type("getPublicId")->getPublicId()); }
const wchar_t* CCmlDOM_DocumentType::getSystemId() { return Keep(Type("getSystemId")->getSystemId()); }
const wchar_t* CCmlDOM_DocumentType::getInternalSubset() {
    return Keep(Type("getInternalSubset")->getInternalSubset());
}

// ---- CCmlDOM_Entity

void CCmlDOM_Entity::SetDOMEntity(DOMNode* node) {
    CheckType(node, DOMNode::ENTITY_NODE, "CCmlDOM_Entity", "SetDOMEntity");
    SetDOMNode(node);
}
xercesc::DOMEntity* CCmlDOM_Entity::Entity(const char* op) const {
    return static_cast<xercesc::DOMEntity*>(Need("CCmlDOM_Entity", op));
}
const wchar_t* CCmlDOM_Entity::getPublicId() { return Keep(Entity("getPublicId")->getPublicId()); }
const wchar_t* CCmlDOM_Entity::getSystemId() { return Keep(Entity("getSystemId")->getSystemId()); }
const wchar_t* CCmlDOM_Entity::getNotationName() { return Keep(Entity("getNotationName")->getNotationName()); }
const wchar_t* CCmlDOM_Entity::getActualEncoding() { return Keep(Entity("getActualEncoding")->getInputEncoding()); }
void CCmlDOM_Entity::setActualEncoding(const wchar_t*) {
    Entity("setActualEncoding");
    ThrowReadOnly("CCmlDOM_Entity", "setActualEncoding");
}
const wchar_t* CCmlDOM_Entity::getEncoding() { return Keep(Entity("getEncoding")->getXmlEncoding()); }
void CCmlDOM_Entity::setEncoding(const wchar_t*) {
    Entity("setEncoding");
    ThrowReadOnly("CCmlDOM_Entity", "setEncoding");
}
const wchar_t* CCmlDOM_Entity::getVersion() { return Keep(Entity("getVersion")->getXmlVersion()); }
void CCmlDOM_Entity::setVersion(const wchar_t*) {
    Entity("setVersion");
    ThrowReadOnly("CCmlDOM_Entity", "setVersion");
}

// ---- CCmlDOM_Notation

void CCmlDOM_Notation::SetDOMNotation(DOMNode* node) {
    CheckType(node, DOMNode::NOTATION_NODE, "CCmlDOM_Notation", "SetDOMNotation");
    SetDOMNode(node);
}
xercesc::DOMNotation* CCmlDOM_Notation::Notation(const char* op) const {
    return static_cast<xercesc::DOMNotation*>(Need("CCmlDOM_Notation", op));
}
const wchar_t* CCmlDOM_Notation::getPublicId() { return Keep(Notation("getPublicId")->getPublicId()); }
const wchar_t* CCmlDOM_Notation::getSystemId() { return Keep(Notation("getSystemId")->getSystemId()); }

// ---- CCmlDOM_ProcessingInstruction

void CCmlDOM_ProcessingInstruction::SetDOMProcessingInstruction(DOMNode* node) {
    CheckType(node, DOMNode::PROCESSING_INSTRUCTION_NODE, "CCmlDOM_ProcessingInstruction",
              "SetDOMProcessingInstruction");
    SetDOMNode(node);
}
xercesc::DOMProcessingInstruction* CCmlDOM_ProcessingInstruction::Instruction(const char* op) const {
    return static_cast<xercesc::DOMProcessingInstruction*>(Need("CCmlDOM_ProcessingInstruction", op));
}
const wchar_t* CCmlDOM_ProcessingInstruction::getTarget() { return Keep(Instruction("getTarget")->getTarget()); }
const wchar_t* CCmlDOM_ProcessingInstruction::getData() { return Keep(Instruction("getData")->getData()); }
void CCmlDOM_ProcessingInstruction::setData(const wchar_t* data) {
    xercesc::DOMProcessingInstruction* node = Instruction("setData");
    node->setData(RequiredText(data, "CCmlDOM_ProcessingInstruction", "setData").c_str());
}

// ---- CCmlDOM_TypeInfo

const xercesc::DOMTypeInfo* CCmlDOM_TypeInfo::Need(const char* op) const {
    if (m_info == nullptr) {
        throw CCmlException(Where("CCmlDOM_TypeInfo", op), L"The type information is NULL", OVX_E_CML_WRAPPER_EMPTY);
    }
    return m_info;
}
const wchar_t* CCmlDOM_TypeInfo::getName() {
    const XMLCh* text = Need("getName")->getTypeName();
    if (text == nullptr) return nullptr;
    XmlUtils::AssignWide(m_buffer, text);
    return m_buffer.c_str();
}
const wchar_t* CCmlDOM_TypeInfo::getNamespace() {
    const XMLCh* text = Need("getNamespace")->getTypeNamespace();
    if (text == nullptr) return nullptr;
    XmlUtils::AssignWide(m_buffer, text);
    return m_buffer.c_str();
}

CCmlDOM_TypeInfo CCmlDOM_Element::getTypeInfo() const {
    return CCmlDOM_TypeInfo(Element("getTypeInfo")->getSchemaTypeInfo());
}

CCmlDOM_TypeInfo CCmlDOM_Attr::getTypeInfo() const {
    return CCmlDOM_TypeInfo(static_cast<xercesc::DOMAttr*>(Need("CCmlDOM_Attr", "getTypeInfo"))->getSchemaTypeInfo());
}

// ---- exception wrappers

CCmlDOM_Exception::CCmlDOM_Exception(const xercesc::DOMException& error)
    : m_code(static_cast<uint32_t>(error.code)), m_message(XmlUtils::ToWide(error.getMessage())) {}

CCmlSAX_Exception::CCmlSAX_Exception(const xercesc::SAXException& error)
    : m_message(XmlUtils::ToWide(error.getMessage())) {}

CCmlSAX_ParseException::CCmlSAX_ParseException(const xercesc::SAXParseException& error)
    : CCmlSAX_Exception(error),
      m_systemId(XmlUtils::ToWide(error.getSystemId())),
      m_publicId(XmlUtils::ToWide(error.getPublicId())),
      m_line(error.getLineNumber()),
      m_column(error.getColumnNumber()) {}

}  // namespace cml
}  // namespace ovx
