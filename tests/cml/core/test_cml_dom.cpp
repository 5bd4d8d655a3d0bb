#include <xercesc/util/PlatformUtils.hpp>

#include "cml/core/cmlDomNodes.h"
#include "cml/documents/cml_documents_test_support.h"

using namespace ovx::cml::testing;

namespace {

// Each test gets a document of its own that its wrapper releases.
struct DomWrappers : ::testing::Test {
    DomWrappers() { document.SetOwnsDocument(true); }
    static void SetUpTestSuite() { xercesc::XMLPlatformUtils::Initialize(); }
    static void TearDownTestSuite() { xercesc::XMLPlatformUtils::Terminate(); }
    static xercesc::DOMDocument* NewDocument(const char16_t* tag = u"root") {
        return xercesc::DOMImplementationRegistry::getDOMImplementation(u"Core")->createDocument(nullptr, tag, nullptr);
    }
    CCmlDOM_Document document{NewDocument()};
};

// Counts releases of documents it is attached to.
struct ReleaseCounter : xercesc::DOMUserDataHandler {
    void handle(DOMOperationType operation, const XMLCh*, void*, const xercesc::DOMNode*, xercesc::DOMNode*) override {
        if (operation == NODE_DELETED) ++deleted;
    }
    int deleted = 0;
};

}  // namespace

TEST_F(DomWrappers, AStringResultLivesUntilTheNextCallOnTheSameWrapper) {
    CCmlDOM_Element root = document.getDocumentElement();
    root.setAttribute(L"a", L"first value, long enough to need the heap");
    root.setAttribute(L"b", L"second");
    const wchar_t* first = root.getAttribute(L"a");
    std::wstring kept = first;
    const wchar_t* second = root.getAttribute(L"b");
    EXPECT_STREQ(L"second", second);
    // One buffer per wrapper, reused in place: the earlier pointer now reads
    // the later value (and never dangles for text that fits).
    EXPECT_EQ(first, second);
    EXPECT_STRNE(kept.c_str(), first);
    CCmlDOM_Element other = root;  // another wrapper has a buffer of its own
    const wchar_t* mine = other.getAttribute(L"a");
    EXPECT_STREQ(L"second", root.getAttribute(L"b"));
    EXPECT_EQ(kept, mine);
}

// Each refusal with its code, the wrapper's class and operation and its
// message (0 or "" where a call does not check them).
TEST_F(DomWrappers, EmptyWrappersNullArgumentsAndWrongNodeTypesAreRefused) {
    CCmlDOM_Element element, root = document.getDocumentElement();
    xercesc::DOMText* text = document.GetDOMDocument()->createTextNode(u"t");
    CCmlDOM_ProcessingInstruction instruction = document.createProcessingInstruction(L"target", L"data");
    CCmlDOM_Comment comment = document.createComment(L"note");
    CCmlDOM_CDATASection cdata = document.createCDATASection(L"<raw>");
    CCmlDOM_DocumentType type;
    type.SetDOMDocumentType(nullptr);  // NULL empties a wrapper
    const uint32_t kEmpty = OVX_E_CML_WRAPPER_EMPTY, kNull = OVX_E_INVALID_ARGUMENT, kType = OVX_E_CML_WRONG_NODE_TYPE;
    ExpectRefusal(kEmpty, L"CCmlDOM_Element::getAttribute()", L"The node is NULL", [&] { element.getAttribute(L"x"); });
    std::wstring value = L"kept";
    ExpectRefusal(kEmpty, L"CCmlDOM_Element::ReadAttributes()", L"The node is NULL", [&] {
        element.ReadAttributes({{L"x", &value}});
    });
    ExpectRefusal(kNull, L"CCmlDOM_Element::ReadAttributes()", L"Received value is NULL", [&] {
        root.ReadAttributes({{L"x", &value}, {nullptr, &value}});
    });
    EXPECT_EQ(L"kept", value);  // a refused read changes nothing
    ExpectRefusal(kEmpty, L"CCmlDOM_Node::getNodeName()", L"", [&] { element.getNodeName(); });
    ExpectRefusal(kEmpty, L"CCmlDOM_DocumentType::getName()", L"The node is NULL", [&] { type.getName(); });
    ExpectRefusal(0, L"CCmlDOM_Text::splitText()", L"", [] { CCmlDOM_Text().splitText(1); });
    ExpectRefusal(kEmpty, L"", L"", [] { CCmlDOM_TypeInfo().getNamespace(); });
    ExpectRefusal(0, L"", L"The document is NULL", [] { CCmlDOM_Document().createElement(L"x"); });
    ExpectRefusal(0, L"", L"The node map is NULL", [] { CCmlDOM_NamedNodeMap().getLength(); });
    ExpectRefusal(0, L"", L"The node list is NULL", [] { CCmlDOM_NodeList().item(0); });
    ExpectRefusal(kNull, L"CCmlDOM_Element::setAttribute()", L"Received value is NULL",
                  [&] { root.setAttribute(L"name", nullptr); });
    ExpectRefusal(kNull, L"", L"", [&] { document.createTextNode(nullptr); });
    ExpectRefusal(kNull, L"", L"", [&] { instruction.setData(nullptr); });
    ExpectRefusal(kType, L"CCmlDOM_Element::SetDOMElement()", L"", [&] { element.SetDOMElement(text); });
    ExpectRefusal(kType, L"", L"", [&] { CCmlDOM_Attr().SetDOMAttr(text); });
    ExpectRefusal(kType, L"CCmlDOM_Comment::SetDOMComment()", L"", [&] { comment.SetDOMComment(cdata.GetDOMNode()); });
    ExpectRefusal(kType, L"", L"", [&] { CCmlDOM_Notation().SetDOMNotation(comment.GetDOMNode()); });
    // Gone from the DOM:
    ExpectRefusal(OVX_E_UNEXPECTED, L"", L"", [&] { document.setEncoding(L"UTF-8"); });
    ExpectRefusal(OVX_E_UNEXPECTED, L"", L"", [&] { document.setActualEncoding(L"UTF-8"); });
    ExpectRefusal(OVX_E_UNEXPECTED, L"", L"", [&] { document.createEntity(L"e").setVersion(L"1.1"); });
    EXPECT_TRUE(element.IsNull());   // a refused node leaves the wrapper empty
    element.SetDOMElement(nullptr);  // NULL is accepted
    CCmlDOM_Text wrapped;
    wrapped.SetDOMText(text);
    EXPECT_EQ(1u, wrapped.getLength());
    // A DOM error itself passes through as the DOM's exception, with its texts.
    try {
        document.createElement(L"not a name");
        FAIL() << "the DOM accepted an invalid name";
    } catch (const xercesc::DOMException& error) {
        CCmlDOM_Exception wrapped(error);
        EXPECT_EQ(static_cast<uint32_t>(xercesc::DOMException::INVALID_CHARACTER_ERR), wrapped.GetCode());
        EXPECT_FALSE(wrapped.GetMessage().empty());
    }
}

// A tree edited through the wrappers reads back as the DOM's own rules say.
TEST_F(DomWrappers, TreesEditedThroughTheWrappersReadBackAsTheDomSays) {
    CCmlDOM_Element root = document.getDocumentElement();
    auto a = document.createElement(L"a"), b = document.createElement(L"b"), c = document.createElement(L"c");
    root.appendChild(b);
    root.insertBefore(a, b);  // a b
    EXPECT_STREQ(L"a", b.getPreviousSibling().getNodeName());
    root.replaceChild(c, b);  // a c
    EXPECT_STREQ(L"c", root.getLastChild().getNodeName());
    root.removeChild(a);  // c
    EXPECT_EQ(L"c|root|", Joined({root.getFirstChild().getNodeName(), c.getParentNode().getNodeName()}));

    // Wide text both ways; an absent attribute is empty, as the DOM gives;
    // NULL stays NULL.
    c.setAttribute(L"k", L"caf\u00e9 \U0001F600");
    EXPECT_EQ(L"caf\u00e9 \U0001F600||(null)|1|",
              Joined({c.getAttribute(L"k"), c.getAttribute(L"absent"), c.getNamespaceURI(), c.hasAttributes()}));
    CCmlDOM_Attr attribute = c.getAttributeNode(L"k");
    attribute.setValue(L"w");
    EXPECT_EQ(L"w|w|c|k|",
              Joined({c.getAttribute(L"k"), attribute.getValue(), attribute.getOwnerElement().getNodeName(),
                      c.getAttributes().getNamedItem(L"k").getNodeName()}));
    // A value of several text children, as only a hand-built tree has, is
    // their text joined; an empty one is empty.
    attribute.appendChild(document.createTextNode(L"2"));
    EXPECT_EQ(L"w2|w2|", Joined({c.getAttribute(L"k"), attribute.getValue()}));
    attribute.setValue(L"");
    EXPECT_EQ(L"|1|", Joined({c.getAttribute(L"k"), c.hasAttribute(L"k")}));
    attribute.setValue(L"w");
    // Read in one pass, each value is what getAttribute gives, two text
    // children and a prefixed name included; one not there is emptied.
    attribute.appendChild(document.createTextNode(L"3"));
    c.setAttributeNS(L"urn:x", L"x:n", L"caf\u00e9 \U0001F600");
    c.setAttribute(L"e", L"");
    std::wstring k = L"old", n, e = L"old", absent = L"old", prefix;
    c.ReadAttributes({{L"k", &k}, {L"x:n", &n}, {L"e", &e}, {L"absent", &absent}, {L"n", &prefix}});
    EXPECT_EQ(L"w3|caf\u00e9 \U0001F600||||",
              Joined({k.c_str(), n.c_str(), e.c_str(), absent.c_str(), prefix.c_str()}));
    EXPECT_EQ(Joined({c.getAttribute(L"k"), c.getAttribute(L"x:n")}), Joined({k.c_str(), n.c_str()}));
    c.removeAttributeNS(L"urn:x", L"n");
    c.removeAttribute(L"e");
    attribute.setValue(L"w");
    CCmlDOM_Node copy = c.cloneNode(true);
    EXPECT_TRUE(copy.isEqualNode(c));
    c.removeAttribute(L"k");
    EXPECT_EQ(L"0|0|", Joined({c.hasAttributes(), copy.isEqualNode(c)}));
    c.setAttributeNS(L"urn:x", L"x:n", L"1");
    EXPECT_EQ(L"1|1|1|x:n|",
              Joined({c.hasAttributeNS(L"urn:x", L"n"), c.hasAttribute(L"x:n"), c.getAttributeNS(L"urn:x", L"n"),
                      c.getAttributeNodeNS(L"urn:x", L"n").getName()}));
    c.removeAttributeNS(L"urn:x", L"n");
    EXPECT_EQ(L"0|1|", Joined({c.hasAttributeNS(L"urn:x", L"n"), root.getElementsByTagName(L"c").getLength()}));
    CCmlDOM_Element leaf = document.createElementNS(L"urn:y", L"y:leaf");
    root.appendChild(leaf);
    EXPECT_EQ(L"1|y|urn:y|", Joined({root.getLastChild().isSameNode(leaf), leaf.lookupNamespacePrefix(L"urn:y", false),
                                     leaf.lookupNamespaceURI(L"y")}));
    EXPECT_NE(0, leaf.compareTreePosition(root));
    root.removeChild(leaf);
    EXPECT_EQ(1u, document.getElementsByTagName(L"c").getLength());

    CCmlDOM_Text text = document.createTextNode(L"hello");
    c.appendChild(text);
    text.appendData(L" world");
    text.insertData(0, L">");
    text.deleteData(0, 1);
    text.replaceData(0, 5, L"HELLO");
    EXPECT_EQ(L"HELLO world|world|", Joined({text.getData(), text.substringData(6, 5)}));
    c.appendChild(document.createTextNode(L"!"));
    EXPECT_EQ(L"HELLO world!", std::wstring(text.getWholeText()));
    root.normalize();  // the two texts become one
    EXPECT_EQ(L"HELLO world!", std::wstring(c.getFirstChild().getNodeValue()));
    text.setData(L"x");
    c.setTextContent(L"plain");  // the text node leaves the tree with its data
    EXPECT_EQ(L"1|plain|", Joined({text.getLength(), c.getTextContent()}));
}

// Attribute nodes, namespaced lookups, ids, nodes of another document, the
// less common nodes and the document's properties, through the wrappers.
TEST_F(DomWrappers, AttributeNodesImportsAndTheLessCommonNodesForward) {
    CCmlDOM_Element root = document.getDocumentElement();
    CCmlDOM_Attr made = document.createAttribute(L"a");
    made.setValue(L"1");
    root.setAttributeNode(made);
    EXPECT_EQ(L"1", std::wstring(root.getAttribute(L"a")));
    root.removeAttributeNode(made);
    EXPECT_FALSE(root.hasAttributes());
    CCmlDOM_Attr namespaced = document.createAttributeNS(L"urn:x", L"x:b");
    CCmlDOM_NamedNodeMap attributes = root.getAttributes();
    attributes.setNamedItemNS(namespaced);
    attributes.setNamedItem(document.createAttribute(L"c"));
    EXPECT_EQ(L"0|2|", Joined({root.getAttributeNodeNS(L"urn:x", L"b").IsNull(), attributes.getLength()}));
    attributes.removeNamedItem(L"c");
    EXPECT_EQ(1u, attributes.getLength());

    CCmlDOM_Element child = document.createElement(L"child");
    root.appendChild(child);
    child.setAttribute(L"id", L"the-one");
    child.setIdAttribute(L"id", true);
    root.appendChild(document.createElementNS(L"urn:y", L"y:leaf"));
    EXPECT_EQ(L"child|1|1|", Joined({document.getElementById(L"the-one").getTagName(),
                                     document.getElementsByTagNameNS(L"urn:y", L"leaf").getLength(),
                                     root.getElementsByTagNameNS(L"urn:y", L"leaf").getLength()}));

    CCmlDOM_Document other(NewDocument(u"other"));
    other.SetOwnsDocument(true);
    CCmlDOM_Node imported = other.importNode(child, true);
    other.getDocumentElement().appendChild(imported);
    EXPECT_EQ(L"child|1|", Joined({imported.getNodeName(), other.getElementsByTagName(L"child").getLength()}));

    CCmlDOM_ProcessingInstruction instruction = document.createProcessingInstruction(L"target", L"data");
    const std::wstring target = instruction.getTarget();
    instruction.setData(L"other");
    EXPECT_EQ(L"target|other|note|<raw>|e|root|",
              Joined({target, instruction.getData(), document.createComment(L"note").getData(),
                      document.createCDATASection(L"<raw>").getData(), document.createEntity(L"e").getNodeName(),
                      document.createDocumentType(L"root").getName()}));
    EXPECT_EQ(xercesc::DOMNode::DOCUMENT_FRAGMENT_NODE, document.createDocumentFragment().getNodeType());
    EXPECT_TRUE(document.getDoctype().IsNull());
    // Type information exists only after a validating parse; the wrapper
    // still answers, with no name.
    EXPECT_EQ(nullptr, document.getDocumentElement().getTypeInfo().getName());
    document.setVersion(L"1.0");
    document.setStandalone(true);
    EXPECT_EQ(L"1.0|1|", Joined({document.getVersion(), document.getStandalone()}));
    EXPECT_NE(nullptr, document.getDOMConfiguration());
}

TEST_F(DomWrappers, OnlyAnOwningWrapperReleasesItsDocumentAndACopiedNodeHasADocumentOfItsOwn) {
    xercesc::DOMDocument* raw = NewDocument();
    ReleaseCounter counter;
    raw->getDocumentElement()->setUserData(u"watch", &counter, &counter);
    {
        CCmlDOM_Element borrowed(raw->getDocumentElement());
        CCmlDOM_Element copy = borrowed;
    }
    EXPECT_EQ(0, counter.deleted);  // non-owning wrappers leave the tree alone
    {
        CCmlDOM_Element owner(raw->getDocumentElement());
        owner.SetOwnsDocument(true);
        CCmlDOM_Element copy = owner;  // copies never own
        owner.SetDOMElement(nullptr);  // pointing elsewhere releases first
        EXPECT_EQ(L"0|1|0|", Joined({copy.OwnsDocument(), counter.deleted, owner.OwnsDocument()}));
    }
    EXPECT_EQ(1, counter.deleted);
    // A deep copy of a node lives in a document of its own, which the caller owns.
    EXPECT_EQ(nullptr, XmlUtils::CopyDOMNode(nullptr));
    xercesc::DOMDocument* source = NewDocument();
    xercesc::DOMElement* child = source->createElement(u"child");
    child->setAttribute(u"k", u"v");
    child->appendChild(source->createElement(u"grandchild"));
    source->getDocumentElement()->appendChild(child);

    xercesc::DOMNode* copy = XmlUtils::CopyDOMNode(child);
    source->release();  // the copy does not depend on the source
    ASSERT_NE(nullptr, copy);
    CCmlDOM_Element wrapped;
    wrapped.SetDOMElement(copy);
    EXPECT_EQ(L"v|grandchild|dummy|", Joined({wrapped.getAttribute(L"k"), wrapped.getFirstChild().getNodeName(),
                                              wrapped.getOwnerDocument().getDocumentElement().getTagName()}));
    wrapped.SetOwnsDocument(true);  // the caller owns the new document
}

// DOM error texts come from the catalog; the parse error's wrapper carries
// its texts and place.
TEST_F(DomWrappers, ErrorTextsComeFromTheCatalogAndTheParseError) {
    std::wstring text;
    EXPECT_EQ(0x47210050u, XmlUtils::GetDOMErrorText(14, text));
    EXPECT_NE(std::wstring::npos, text.find(L"0x47210050")) << text;
    xercesc::SAXParseException parse(u"bad thing", u"public", u"system", 3, 7);
    CCmlSAX_ParseException wrapped(parse);
    EXPECT_EQ(L"bad thing|system|3|7|", Joined({wrapped.GetMessage(), wrapped.GetSystemId(), wrapped.GetLineNumber(),
                                                wrapped.GetColumnNumber()}));
}

// Names and values cross between the wrappers' wide characters and the DOM's
// 16-bit units several characters at a time where they can: every kind of
// character (ASCII, the last below the surrogates, one above them, one that
// needs a pair, a lone surrogate, which becomes U+FFFD) at every offset of
// texts longer than a step, and of texts longer than the conversions keep on
// the stack, checked against the units the DOM holds.
TEST_F(DomWrappers, NamesAndValuesKeepEveryCharacterAtEveryOffset) {
    CCmlDOM_Element root = document.getDocumentElement();
    auto* element = static_cast<xercesc::DOMElement*>(root.GetDOMNode());
    const struct {
        wchar_t wide;
        std::u16string units;  // what the DOM must hold
        wchar_t back;          // what reading it back gives
    } kinds[] = {{L'q', u"q", L'q'},
                 {static_cast<wchar_t>(0xD7FF), u"\uD7FF", static_cast<wchar_t>(0xD7FF)},
                 {static_cast<wchar_t>(0xE000), u"\uE000", static_cast<wchar_t>(0xE000)},
                 {static_cast<wchar_t>(0x1F600), u"\U0001F600", static_cast<wchar_t>(0x1F600)},
                 {static_cast<wchar_t>(0xDC00), u"\uFFFD", static_cast<wchar_t>(0xFFFD)}};
    for (const size_t length : {size_t{20}, size_t{140}}) {
        for (const auto& kind : kinds) {
            for (size_t at = 0; at < length; ++at) {
                std::wstring value(length, L'v'), expectedBack(length, L'v');
                std::u16string units(at, u'v');
                value[at] = kind.wide;
                expectedBack[at] = kind.back;
                units += kind.units + std::u16string(length - 1 - at, u'v');
                const std::wstring name = L"n" + std::wstring(at, L'a');
                root.setAttribute(name.c_str(), value.c_str());
                const std::u16string name16 = u"n" + std::u16string(at, u'a');
                ASSERT_NE(nullptr, element->getAttributeNode(name16.c_str())) << at;
                EXPECT_EQ(units, std::u16string(element->getAttribute(name16.c_str()))) << at;
                EXPECT_EQ(expectedBack, std::wstring(root.getAttribute(name.c_str()))) << at;
            }
        }
    }
}
