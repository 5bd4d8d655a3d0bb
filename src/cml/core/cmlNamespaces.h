// CML namespaces and the schema versions this library writes in them, the
// comparison of schema versions, and the per-document namespace set.
#ifndef OVX_CML_CORE_CMLNAMESPACES_H
#define OVX_CML_CORE_CMLNAMESPACES_H

#include <set>
#include <string>

namespace ovx {
namespace cml {

// The base URI that begins every CML namespace; alone, the namespace of the
// root element of a compound message.
extern const wchar_t kCmlBaseUri[];

// Every namespace URI, each defined once (cmlNamespaces.cpp).
#define OVX_CML_NAMESPACES(X)                                                 \
    X(kNsCml, "/cml")                                                         \
    X(kNsCommon, "/cml/common")                                               \
    X(kNsProperty, "/cml/property")                                           \
    X(kNsPolicyBaseOlder, "/cml/PolicyBase")                                  \
    X(kNsGroupSettingsOlder, "/cml/GroupSettings")                            \
    X(kNsNetworkObjects, "/cml/NetworkObjects")                               \
    X(kNsLmiLinksOlder, "/cml/LmiLinks")                                      \
    X(kNsServerSettingsOlder, "/cml/ServerSettings")                          \
    X(kNsAvpSectionsOlder, "/cml/AvpSections")                                \
    X(kNsRoAvpSectionsOlder, "/cml/RoAvpSections")                            \
    X(kNsAgentStatusDetailsOlder, "/cml/AgentStatusDetails")                  \
    X(kNsSchemaInventoryOlder, "/cml/SchemaInventory")                        \
    X(kNsCore, "/cml/Core")                                                   \
    X(kNsMessage, "/cml/Message")                                             \
    X(kNsMessageCommon, "/cml/Core/MessageCommon")                            \
    X(kNsPolicyCommon, "/cml/Core/PolicyCommon")                              \
    X(kNsPolicyBase, "/cml/Core/PolicyBase")                                  \
    X(kNsPropertyDocuments, "/cml/CommonDocuments/Property")                  \
    X(kNsGroupSettings, "/cml/CommonDocuments/GroupSettings")                 \
    X(kNsExternalTrustSettings, "/cml/CommonDocuments/ExternalTrustSettings") \
    X(kNsLmiLinks, "/cml/CommonDocuments/LmiLinks")                           \
    X(kNsServerSettings, "/cml/CommonDocuments/ServerSettings")               \
    X(kNsAvpSections, "/cml/CommonDocuments/AvpSections")                     \
    X(kNsRoAvpSections, "/cml/CommonDocuments/RoAvpSections")                 \
    X(kNsAgentStatusDetails, "/cml/CommonDocuments/AgentStatusDetails")       \
    X(kNsConnectionStatus, "/cml/CommonDocuments/ConnectionStatus")           \
    X(kNsSchemaInventory, "/cml/CommonDocuments/SchemaInventory")             \
    X(kNsBase64Binary, "/cml/CommonDocuments/Base64Binary")                   \
    X(kNsNullPolicy, "/cml/CommonDocuments/NullPolicy")                       \
    X(kNsAgentMessages, "/cml/Message/AgentMessages")                         \
    X(kNsAssetMessages, "/cml/Message/AssetMessages")                         \
    X(kNsEventQueryMessages, "/cml/Message/EventQueryMessages")               \
    X(kNsPolicyMessages, "/cml/Message/PolicyMessages")                       \
    X(kNsSchemaMessages, "/cml/Message/SchemaMessages")                       \
    X(kNsTaskMessages, "/cml/Message/TaskMessages")                           \
    X(kNsAgentManager, "/cml/Agent/AgentManager")                             \
    X(kNsDesktopController, "/cml/DesktopController")

#define OVX_CML_DECLARE_NAMESPACE(name, path) extern const wchar_t name[];
OVX_CML_NAMESPACES(OVX_CML_DECLARE_NAMESPACE)
#undef OVX_CML_DECLARE_NAMESPACE

// Schema versions written, one constant per namespace even where the texts
// are equal, so one can change without the others.
extern const wchar_t kVersionRoot[];       // message format of the root element
extern const wchar_t kVersionRootOlder[];  // older message format, still read
extern const wchar_t kVersionCml[];        // "/cml"
extern const wchar_t kVersionCmlOlder[];   // "/cml" requests and responses, also registered
extern const wchar_t kVersionAvpSectionsOlder[];
extern const wchar_t kVersionRoAvpSectionsOlder[];
extern const wchar_t kVersionCore[];
extern const wchar_t kVersionMessage[];
extern const wchar_t kVersionMessageCommon[];
extern const wchar_t kVersionAvpSections[];
extern const wchar_t kVersionRoAvpSections[];
extern const wchar_t kVersionAgentMessages[];
extern const wchar_t kVersionPolicyMessages[];
extern const wchar_t kVersionSchemaMessages[];
extern const wchar_t kVersionTaskMessages[];

// True exactly when `uri` is one of the namespaces this library knows
// documents of (exact, case-sensitive). The base URI alone is not one.
bool IsCmlNamespace(const std::wstring& uri);

enum VersionRelation {
    Identical = 0,
    OlderRevision = 1,
    NewerRevision = 2,
    MinorMismatch = 3,
    MajorMismatch = 4,
};

// Relation of version `a` to version `b` ("major.minor.revision"): major and
// minor compare as text, the revision as a decimal number.
VersionRelation CompareSchemaVersions(const std::wstring& a, const std::wstring& b);

class CNamespace {
public:
    CNamespace(std::wstring uri, std::wstring version);
    CNamespace(const CNamespace& other) = default;
    virtual CNamespace& operator=(const CNamespace& other);
    virtual ~CNamespace();
    // A copy the caller owns.
    virtual CNamespace* Clone() const;
    // Orders by URI alone, so a set holds one entry per URI.
    virtual bool operator<(const CNamespace& other) const;
    virtual const std::wstring& GetNamespaceUri() const { return m_uri; }
    virtual const std::wstring& GetSchemaVersion() const { return m_version; }

private:
    std::wstring m_uri;
    std::wstring m_version;
};

// Orders namespaces by URI, and lets a set be searched by a URI alone.
struct CNamespaceOrder {
    using is_transparent = void;
    bool operator()(const CNamespace& a, const CNamespace& b) const { return a < b; }
    bool operator()(const CNamespace& a, const std::wstring& b) const { return a.GetNamespaceUri() < b; }
    bool operator()(const std::wstring& a, const CNamespace& b) const { return a < b.GetNamespaceUri(); }
};

// The namespaces of one document and its descendants.
using CNamespaceSet = std::set<CNamespace, CNamespaceOrder>;

// Adds `ns` to `set`. The same URI with the same version is no change; with
// another version it throws CCmlException OVX_E_CML_VERSION_CONFLICT under `operation`, and
// the set keeps the entry it had.
void AddNamespace(CNamespaceSet& set, const CNamespace& ns,
                  const wchar_t* operation = L"Constructing document namespace object");
// The same without building a CNamespace when the URI is already there, as
// it is for most documents of a message.
void AddNamespace(CNamespaceSet& set, const std::wstring& uri, const std::wstring& version,
                  const wchar_t* operation = L"Constructing document namespace object");

}  // namespace cml
}  // namespace ovx

#endif  // OVX_CML_CORE_CMLNAMESPACES_H
