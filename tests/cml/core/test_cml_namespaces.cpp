#include <set>

#include "cml/core/cmlLibraryVersions.h"
#include "cml/core/cmlVocabulary.h"
#include "cml/documents/cml_documents_test_support.h"

using namespace ovx::cml::testing;

TEST(CmlNamespaces, OnlyTheKnownSetIsCmlAndRequestAndResponseNamesAreTold) {
    for (const wchar_t* inside : {kNsMessage, kNsCml, kNsTaskMessages}) EXPECT_TRUE(IsCmlNamespace(inside)) << inside;
    // Known URIs that are deliberately outside the set; and exact and
    // case-sensitive: no prefix, suffix or case variant passes.
    const std::wstring message = kNsMessage;
    std::wstring upper = message;
    upper.back() = L'E';
    for (const std::wstring& outside :
         {std::wstring(), std::wstring(kCmlBaseUri), std::wstring(kNsEventQueryMessages),
          std::wstring(kNsExternalTrustSettings), std::wstring(kNsConnectionStatus), std::wstring(kNsAgentManager),
          std::wstring(kNsDesktopController), message + L"/", message.substr(0, message.size() - 1), upper})
        EXPECT_FALSE(IsCmlNamespace(outside)) << outside;
    // Request and response names are told apart by the tables alone.
    std::set<std::wstring> names;
    for (size_t i = 0; i < kRequestNameCount; ++i) names.insert(kRequestNames[i]);
    for (size_t i = 0; i < kResponseNameCount; ++i) names.insert(kResponseNames[i]);
    EXPECT_EQ(kRequestNameCount + kResponseNameCount, names.size());
    EXPECT_EQ(L"1|0|1|0|0|", Joined({IsRequestName(L"exchange-keys-request"), IsRequestName(L"exchange-keys-response"),
                                     IsResponseName(L"error-response"), IsResponseName(nullptr), IsRequestName(L"")}));
}

TEST(CmlNamespaces, SchemaVersionsCompareByTextThenByRevisionNumber) {
    // The major and minor parts compare as text; the revision, all that
    // follows the second dot, as a number (0 when it is not one), and an
    // enormous one neither wraps nor throws.
    const struct {
        const wchar_t *version, *other;
        int expected;
    } rows[] = {
        {L"1.0.4", L"1.0.4", Identical},      {L"1.0.3", L"1.0.4", OlderRevision}, {L"1.0.10", L"1.0.9", NewerRevision},
        {L"1.1.0", L"1.0.0", MinorMismatch},  {L"2.4.1", L"1.0.0", MajorMismatch}, {L"1.00.1", L"1.0.1", MinorMismatch},
        {L"01.0.1", L"1.0.1", MajorMismatch}, {L"1.0.x", L"1.0.0", Identical},     {L"1.0", L"1.0.0", Identical},
        {L"1.0.2.7", L"1.0.0", Identical},    {L"1", L"1.0", MinorMismatch},       {L"", L"", Identical}};
    for (const auto& row : rows) EXPECT_EQ(row.expected, CompareSchemaVersions(row.version, row.other)) << row.version;
    EXPECT_EQ(NewerRevision, CompareSchemaVersions(L"1.0.99999999999999999999999", L"1.0.5"));
}

TEST(CmlNamespaces, NamespacesOrderByUriAloneAndASetRefusesASecondVersion) {
    CNamespace a(L"urn:a", L"2.0.0"), b(L"urn:b", L"1.0.0"), a2(L"urn:a", L"9.9.9"), ab(L"urn:ab", L"");
    // a < b, b < a, a < a2, a2 < a; on a common prefix the shorter first.
    EXPECT_EQ(L"1|0|0|0|1|", Joined({a < b, b < a, a < a2, a2 < a, a < ab}));

    std::unique_ptr<CNamespace> copy(a.Clone());
    EXPECT_EQ(L"urn:a|2.0.0|", Joined({copy->GetNamespaceUri(), copy->GetSchemaVersion()}));
    *copy = b;
    EXPECT_EQ(L"urn:b|1.0.0|", Joined({copy->GetNamespaceUri(), copy->GetSchemaVersion()}));
    CNamespace& self = *copy;
    *copy = self;
    EXPECT_EQ(L"urn:b|1.0.0|", Joined({copy->GetNamespaceUri(), copy->GetSchemaVersion()}));

    // A set holds one version of a URI: the same again is taken, another refused.
    CNamespaceSet set;
    AddNamespace(set, CNamespace(kNsMessage, L"1.0.0"));
    AddNamespace(set, CNamespace(kNsMessage, L"1.0.0"));
    AddNamespace(set, CNamespace(kNsAgentMessages, L"1.0.4"));
    EXPECT_EQ(2u, set.size());
    const std::wstring uri = kNsMessage, operation = L"Constructing CmlMessage namespace object";
    ExpectRefusal(OVX_E_CML_VERSION_CONFLICT, operation,
                  L"Namespace/schema-version conflict among descendant elements:  tried to add namespace \"" + uri +
                      L"\" version 1.0.7; set already contains namespace \"" + uri + L"\" version 1.0.0",
                  [&] { AddNamespace(set, CNamespace(kNsMessage, L"1.0.7"), operation.c_str()); });
    ASSERT_EQ(2u, set.size());
    EXPECT_EQ(L"1.0.0", set.find(CNamespace(kNsMessage, L""))->GetSchemaVersion());  // existing entry kept
}

TEST(CmlException, FormatsOperationMessageAndLowerCaseHexCode) {
    CCmlException error(L"Parsing", L"Bad thing", 0xC738000Eu);
    EXPECT_EQ(L"Parsing:  Bad thing; error = 0xc738000e", error.Format());
    std::wostringstream out;
    out << std::uppercase << std::dec;
    const auto flags = out.flags();
    out << error << L" " << 255;
    EXPECT_EQ(L"Parsing:  Bad thing; error = 0xc738000e 255", out.str());  // caller's decimal stays
    EXPECT_EQ(flags, out.flags());
    CCmlException copy = error;
    EXPECT_EQ(error.Format(), copy.Format());
    copy = CCmlException(L"x", L"y", 1);
    EXPECT_EQ(L"x:  y; error = 0x1", copy.Format());
}

// The registry writes its libraries in name order, a second registration
// replacing the first; the common library registers once a process.
TEST(LibraryVersions, RegisterReplacesAndWritesInNameOrder) {
    auto written = [] { return TextOf([](auto& out) { WriteLibraryVersions(out); }); };
    ReleaseLibraryVersionRegistry();
    EXPECT_EQ("Library:  CmlCore version = 1.0.0\n", written());  // a fresh registry holds the core alone
    for (const auto& [name, version] : {std::make_pair(L"Zeta", L"3"), std::make_pair(L"Alpha", L"1"),
                                        std::make_pair(L"Zeta", L"4"), std::make_pair(L"Ünïcode", L"2")})
        RegisterLibraryVersion(name, version);
    EXPECT_EQ(
        "Library:  Alpha version = 1\nLibrary:  CmlCore version = 1.0.0\nLibrary:  Zeta version = 4\n"
        "Library:  \xC3\x9Cn\xC3\xAF"
        "code version = 2\n",
        written());
    ReleaseLibraryVersionRegistry();
    EXPECT_EQ(1u, GetLibraryVersionRegistry().size());  // recreated afresh
    RegisterCommonLibraryVersion();
    EXPECT_EQ(L"1.0.0", GetLibraryVersionRegistry().at(L"CmlCommon"));
    ReleaseLibraryVersionRegistry();
    RegisterCommonLibraryVersion();  // the process-wide flag is already set
    EXPECT_EQ(0u, GetLibraryVersionRegistry().count(L"CmlCommon"));
    ReleaseLibraryVersionRegistry();
}
