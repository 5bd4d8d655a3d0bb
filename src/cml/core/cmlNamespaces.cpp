#include "cml/core/cmlNamespaces.h"

#include <cwchar>
#include <string>
#include <string_view>
#include <utility>

#include "cml/core/cmlException.h"

// Neutral and reserved for documentation use, so it can never clash with a
// real organisation's namespaces.
#define OVX_CML_BASE_URI L"https://schemas.example.org/xml"

namespace ovx {
namespace cml {

const wchar_t kCmlBaseUri[] = OVX_CML_BASE_URI;

#define OVX_CML_DEFINE_NAMESPACE(name, path) const wchar_t name[] = OVX_CML_BASE_URI L"" path;
OVX_CML_NAMESPACES(OVX_CML_DEFINE_NAMESPACE)
#undef OVX_CML_DEFINE_NAMESPACE

const wchar_t kVersionRoot[] = L"1.0.1";
const wchar_t kVersionRootOlder[] = L"1.0.0";
const wchar_t kVersionCml[] = L"2.4.2";
const wchar_t kVersionCmlOlder[] = L"2.4.1";
const wchar_t kVersionAvpSectionsOlder[] = L"2.0.1";
const wchar_t kVersionRoAvpSectionsOlder[] = L"2.0.1";
const wchar_t kVersionCore[] = L"1.0.0";
const wchar_t kVersionMessage[] = L"1.0.0";
const wchar_t kVersionMessageCommon[] = L"1.0.0";
const wchar_t kVersionAvpSections[] = L"2.0.1";
const wchar_t kVersionRoAvpSections[] = L"2.0.1";
const wchar_t kVersionAgentMessages[] = L"1.0.4";
const wchar_t kVersionPolicyMessages[] = L"1.0.0";
const wchar_t kVersionSchemaMessages[] = L"1.0.0";
const wchar_t kVersionTaskMessages[] = L"1.0.3";

namespace {

// The namespaces documents of this library may live in. Built on first use
// (thread-safe) rather than by a global constructor, so other load-time code
// can ask before this file's statics would have been constructed.
const std::set<std::wstring>& KnownNamespaces() {
    static const auto* known = new std::set<std::wstring>{
        kNsCml,
        kNsCommon,
        kNsProperty,
        kNsPolicyBaseOlder,
        kNsGroupSettingsOlder,
        kNsNetworkObjects,
        kNsLmiLinksOlder,
        kNsServerSettingsOlder,
        kNsAvpSectionsOlder,
        kNsRoAvpSectionsOlder,
        kNsAgentStatusDetailsOlder,
        kNsSchemaInventoryOlder,
        kNsCore,
        kNsMessage,
        kNsMessageCommon,
        kNsPolicyCommon,
        kNsPolicyBase,
        kNsPropertyDocuments,
        kNsGroupSettings,
        kNsLmiLinks,
        kNsServerSettings,
        kNsAvpSections,
        kNsRoAvpSections,
        kNsAgentStatusDetails,
        kNsSchemaInventory,
        kNsBase64Binary,
        kNsNullPolicy,
        kNsAgentMessages,
        kNsAssetMessages,
        kNsPolicyMessages,
        kNsSchemaMessages,
        kNsTaskMessages,
    };
    return *known;
}

// Views into the version text: comparing versions is done for every
// document read, and must not allocate.
struct VersionParts {
    std::wstring_view major, minor, revision;
};

VersionParts Split(std::wstring_view version) {
    VersionParts parts;
    size_t first = version.find(L'.');
    parts.major = version.substr(0, first);
    if (first == std::wstring_view::npos) return parts;
    size_t second = version.find(L'.', first + 1);
    parts.minor =
        version.substr(first + 1, second == std::wstring_view::npos ? std::wstring_view::npos : second - first - 1);
    if (second != std::wstring_view::npos) parts.revision = version.substr(second + 1);
    return parts;
}

// A revision that is not a plain decimal number counts as 0; one too large
// for 64 bits saturates rather than wrapping.
unsigned long long Revision(std::wstring_view text) {
    if (text.empty()) return 0;
    unsigned long long value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return 0;
        unsigned digit = static_cast<unsigned>(c - L'0');
        if (value > (~0ULL - digit) / 10) return ~0ULL;
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace

bool IsCmlNamespace(const std::wstring& uri) { return !uri.empty() && KnownNamespaces().count(uri) != 0; }

VersionRelation CompareSchemaVersions(const std::wstring& a, const std::wstring& b) {
    VersionParts left = Split(a), right = Split(b);
    if (left.major != right.major) return MajorMismatch;
    if (left.minor != right.minor) return MinorMismatch;
    unsigned long long l = Revision(left.revision), r = Revision(right.revision);
    if (l < r) return OlderRevision;
    if (l > r) return NewerRevision;
    return Identical;
}

CNamespace::CNamespace(std::wstring uri, std::wstring version) : m_uri(std::move(uri)), m_version(std::move(version)) {}

CNamespace& CNamespace::operator=(const CNamespace& other) {
    if (this != &other) {
        m_uri = other.m_uri;
        m_version = other.m_version;
    }
    return *this;
}

CNamespace::~CNamespace() = default;

CNamespace* CNamespace::Clone() const { return new CNamespace(m_uri, m_version); }

bool CNamespace::operator<(const CNamespace& other) const { return m_uri < other.m_uri; }

void AddNamespace(CNamespaceSet& set, const std::wstring& uri, const std::wstring& version, const wchar_t* operation) {
    auto found = set.find(uri);
    if (found == set.end()) {
        set.emplace_hint(found, uri, version);  // built in its place: the strings copied once
        return;
    }
    if (found->GetSchemaVersion() == version) return;
    AddNamespace(set, CNamespace(uri, version), operation);  // the conflict, told as ever
}

void AddNamespace(CNamespaceSet& set, const CNamespace& ns, const wchar_t* operation) {
    auto inserted = set.insert(ns);
    if (inserted.second) return;
    const CNamespace& existing = *inserted.first;
    if (existing.GetSchemaVersion() == ns.GetSchemaVersion()) return;
    std::wstring message = L"Namespace/schema-version conflict among descendant elements:  tried to add namespace \"";
    message += ns.GetNamespaceUri();
    message += L"\" version ";
    message += ns.GetSchemaVersion();
    message += L"; set already contains namespace \"";
    message += existing.GetNamespaceUri();
    message += L"\" version ";
    message += existing.GetSchemaVersion();
    throw CCmlException(operation != nullptr ? operation : L"", message, OVX_E_CML_VERSION_CONFLICT);
}

}  // namespace cml
}  // namespace ovx
