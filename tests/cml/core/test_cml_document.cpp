#include <sys/stat.h>
#include <unistd.h>

#include "cml/documents/cml_documents_test_support.h"
#include "support/TestFiles.h"

using namespace ovx::cml::testing;

namespace {

// A private class factory, so tests do not disturb the process-wide one.
struct ClassFactory : ::testing::Test {
    std::unique_ptr<CCmlDocumentBase> Create(const wchar_t* ns, const wchar_t* version, const wchar_t* tag) {
        return std::unique_ptr<CCmlDocumentBase>(factory.CreateDocument(ns, version, tag, kMatchExact));
    }
    // The namespace, class version and schema version of the clone made for a key.
    std::wstring Identity(const wchar_t* ns, const wchar_t* version, const wchar_t* tag) {
        std::unique_ptr<CCmlDocumentBase> made = Create(ns, version, tag);
        if (made == nullptr) return L"none";
        return Joined({made->GetNamespaceUri(), made->GetClassSchemaVersion(), made->GetSchemaVersion()});
    }
    CCmlClassFactory factory;
};

}  // namespace

// "1.0.10" sorts before "1.0.2" as text but is the newer revision: revisions
// compare as numbers. Deregistering takes only the identical version away.
// A second prototype under one key replaces the first.
TEST_F(ClassFactory, ASecondPrototypeReplacesTheFirstAndCompatibleLookupTakesTheHighestRevision) {
    factory.RegisterDocument(kProbeNs, L"1.0.0", L"probe-request", CProbeRequest(L"1.0.0", L"first"));
    factory.RegisterDocument(kProbeNs, L"1.0.0", L"probe-request", CProbeRequest(L"1.0.0", L"second"));
    std::unique_ptr<CCmlDocumentBase> made = Create(kProbeNs, L"1.0.0", L"probe-request");
    ASSERT_NE(nullptr, made);
    EXPECT_EQ(L"second", static_cast<CProbeRequest*>(made.get())->note);
    EXPECT_NE(made, Create(kProbeNs, L"1.0.0", L"probe-request"));  // a fresh clone each time, never the prototype
    for (const wchar_t* version : {L"1.0.0", L"1.0.2", L"1.0.10"})
        factory.RegisterDocument(kProbeNs, version, L"probe-request", CProbeRequest(version));
    CCmlDocumentClassFactory* v1010 = factory.FindDocumentClassFactory(kProbeNs, L"1.0.10", kMatchExact);
    CCmlDocumentClassFactory* v100 = factory.FindDocumentClassFactory(kProbeNs, L"1.0.0", kMatchExact);
    ASSERT_NE(nullptr, v1010);
    for (const wchar_t* version : {L"1.0.1", L"1.0.11", L"1.0.0"})
        EXPECT_EQ(v1010, factory.FindDocumentClassFactory(kProbeNs, version, kMatchCompatible)) << version;
    for (const wchar_t* version : {L"1.1.0", L"2.0.0"})
        EXPECT_EQ(nullptr, factory.FindDocumentClassFactory(kProbeNs, version, kMatchCompatible)) << version;
    EXPECT_EQ(nullptr, factory.FindDocumentClassFactory(kProbeNs, L"1.0.1", kMatchExact));
    EXPECT_EQ(v100, factory.FindDocumentClassFactory(kProbeNs, L"1.0.0", kMatchExact));
    EXPECT_EQ(nullptr, factory.FindDocumentClassFactory(L"urn:unknown", L"1.0.0", kMatchCompatible));
    // Answers already given follow a later registration or removal.
    factory.RegisterDocument(kProbeNs, L"1.0.12", L"probe-request", CProbeRequest(L"1.0.12"));
    CCmlDocumentClassFactory* v1012 = factory.FindDocumentClassFactory(kProbeNs, L"1.0.12", kMatchExact);
    ASSERT_NE(nullptr, v1012);
    EXPECT_EQ(v1012, factory.FindDocumentClassFactory(kProbeNs, L"1.0.1", kMatchCompatible));
    EXPECT_EQ(v100, factory.FindDocumentClassFactory(kProbeNs, L"1.0.0", kMatchExact));
    factory.DeregisterDocumentClassFactory(kProbeNs, L"1.0.0");
    EXPECT_EQ(nullptr, factory.FindDocumentClassFactory(kProbeNs, L"1.0.0", kMatchExact));
    // However many different ones were asked.
    for (int revision = 0; revision < 20; ++revision) {
        const std::wstring version = L"1.0." + std::to_wstring(revision);
        EXPECT_EQ(v1012, factory.FindDocumentClassFactory(kProbeNs, version.c_str(), kMatchCompatible)) << version;
    }
    EXPECT_NE(nullptr, factory.FindDocumentClassFactory(kProbeNs, L"1.0.2", kMatchExact));
}

TEST_F(ClassFactory, RegistrationFormsSetTheClonesIdentity) {
    factory.RegisterDocumentVersions(kProbeNs, {L"1.0.0", L"1.0.3"}, L"probe-request", CProbeRequest());
    EXPECT_THAT(Identity(kProbeNs, L"1.0.3", L"probe-request"), ::testing::StartsWith(Joined({kProbeNs, L"1.0.3"})));

    factory.RegisterDocumentAliases(kProbeNs, L"1.0.0", {{L"urn:alias", L"2.4.1"}, {L"urn:alias", L"2.4.2"}},
                                    L"probe-document", CProbeDocument());
    EXPECT_EQ(L"urn:alias|2.4.2|2.4.2|", Identity(L"urn:alias", L"2.4.2", L"probe-document"));

    factory.RegisterDocumentPair(kProbeNs, L"3.0.1", L"urn:pair", L"3.0.0", L"probe-document", CProbeDocument());
    EXPECT_THAT(Identity(kProbeNs, L"3.0.1", L"probe-document"), ::testing::StartsWith(Joined({kProbeNs})));
    EXPECT_EQ(L"urn:pair|3.0.0|3.0.0|", Identity(L"urn:pair", L"3.0.0", L"probe-document"));
}

TEST_F(ClassFactory, NullArgumentsAndUnknownTagsFollowTheirRules) {
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, CodeOf([&] { factory.RegisterNamespace(nullptr, nullptr); }));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, CodeOf([&] { factory.DeregisterDocumentClassFactory(nullptr, nullptr); }));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, CodeOf([&] { factory.FindDocumentClassFactory(nullptr, nullptr, kMatchExact); }));
    CCmlDocumentClassFactory* documents = factory.RegisterNamespace(kProbeNs, L"1.0.0");
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, CodeOf([&] { documents->AddTagName(nullptr, CProbeRequest()); }));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, CodeOf([&] { documents->DeleteTagName(nullptr); }));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, CodeOf([&] { documents->GetDocument(nullptr); }));
    EXPECT_EQ(nullptr, documents->GetDocument(L"not-registered"));
    EXPECT_EQ(nullptr, Create(kProbeNs, L"1.0.0", L"not-registered"));

    documents->AddTagName(L"probe-request", CProbeRequest());
    documents->DeleteTagName(L"probe-request");
    EXPECT_EQ(nullptr, documents->GetDocument(L"probe-request"));
}

TEST(GlobalClassFactory, WithoutTheFactoryDeserializingIsAnInternalError) {
    CCmlParser parser;
    CCmlDOM_Element root = RootOf(parser, "<a/>");
    ReleaseGlobalClassFactory();
    EXPECT_EQ(OVX_E_UNEXPECTED, CodeOf([&] { DeserializeParsedDocument(root, kMatchCompatible); }));
    // The registrations made at load are gone with it; a new factory is empty.
    EXPECT_EQ(nullptr, GetGlobalClassFactory()->CreateDocument(kCmlBaseUri, L"1.0.1", L"ovx", kMatchExact));
    RegisterMessageDocuments(*GetGlobalClassFactory());
    std::unique_ptr<CCmlDocumentBase> made(
        GetGlobalClassFactory()->CreateDocument(kCmlBaseUri, L"1.0.1", L"ovx", kMatchExact));
    EXPECT_NE(nullptr, dynamic_cast<CCmlMessage*>(made.get()));
}

TEST(DocumentBase, StandardAttributesCheckTheNamespace) {
    CProbeDocument document;
    ExpectRefusal(OVX_E_CML_UNKNOWN_NAMESPACE, L"Processing standard document attributes",
                  L"Unrecognized namespace urn:elsewhere",
                  [&] { ReadFrom(document, "<probe-document xmlns='urn:elsewhere' schema-version='1.0.0'/>"); });
    EXPECT_EQ(OVX_E_CML_NULL_ELEMENT, CodeOf([&] { ReadFrom(document, ""); }));
}

TEST(DocumentBase, SerializeToFileCreatesFoldersAndReportsFailures) {
    ovxTest::TempDir temp("ovx-doc");
    CProbeDocument document;
    document.SerializeToFile((temp / "a/b/c/doc.xml").c_str());
    const std::string expected = Written(document);
    EXPECT_EQ(expected, ovxTest::ReadText(temp / "a/b/c/doc.xml"));
    struct stat info {};
    ASSERT_EQ(0, stat((temp / "a/b").c_str(), &info));
    EXPECT_EQ(0755u, info.st_mode & 0777u & ~0022u);

    // No folder part: written where we are, nothing created.
    char cwd[4096];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
    ASSERT_EQ(0, chdir(temp.path().c_str()));
    document.SerializeToFile(L"plain.xml");
    EXPECT_EQ(expected, ovxTest::ReadText(temp / "plain.xml"));
    ASSERT_EQ(0, chdir(cwd));

    // A folder that cannot be made: a plain file stands where it should be.
    EXPECT_EQ(OVX_E_FOLDER_CREATE, CodeOf([&] { document.SerializeToFile((temp / "plain.xml/sub/doc.xml").c_str()); }));
    EXPECT_EQ(OVX_E_CANNOT_OPEN, CodeOf([&] { document.SerializeToFile((temp / "a").c_str()); }));
    EXPECT_EQ(OVX_E_INVALID_ARGUMENT, CodeOf([&] { document.SerializeToFile(static_cast<const char*>(nullptr)); }));
}
