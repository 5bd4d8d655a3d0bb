// Agent information: the content an agent announces itself with at start
// (identity, installation, status, host, schema inventory, content dates,
// modules with their status policies, updates), the startup announcement
// that carries it and the acknowledgement the server answers with.
#ifndef OVX_CML_DOCUMENTS_CMLAGENTINFO_H
#define OVX_CML_DOCUMENTS_CMLAGENTINFO_H

#include <cstdint>
#include <deque>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "ovxStatus.h"
#include "cml/core/cmlDom.h"
#include "cml/core/cmlMessage.h"
#include "cml/documents/cmlPolicy.h"
#include "cml/documents/cmlSchema.h"

namespace ovx {
namespace cml {

// The status code that means "no status": such a status is not written.

enum TriState { kTriTrue = 1, kTriFalse = 2, kTriUnset = 3 };

class CHostInfo {
public:
    std::wstring os, version, ipAddress, hostName, nbName, nbDomain, adObjectId, adGroupId;

    void Deserialize(CCmlDOM_Element& element);
    void EmitElement(XmlUtils::CXmlOut& out, int level) const;
    bool operator==(const CHostInfo& other) const;
};

class CContentDate {
public:
    CContentDate() = default;
    CContentDate(std::wstring identity, std::wstring date) : identity(std::move(identity)), date(std::move(date)) {}
    std::wstring elementName = L"content-date";
    std::wstring identity;
    std::wstring date;

    void Deserialize(CCmlDOM_Element& element);
    void EmitElement(XmlUtils::CXmlOut& out, int level) const;
};

class CUpdateInfo {
public:
    CUpdateInfo() = default;
    CUpdateInfo(std::wstring module, std::wstring type, std::wstring version)
        : module(std::move(module)), type(std::move(type)), version(std::move(version)) {}
    std::wstring module, type, version;

    void Deserialize(CCmlDOM_Element& element);
    void EmitElement(XmlUtils::CXmlOut& out, int level) const;
};

// A module and its status. Its texts are kept as UTF-8, as CSchemaInfo's
// are: the wide accessors convert.
class CModuleInfo {
public:
    CModuleInfo() = default;
    CModuleInfo(const std::wstring& name, const std::wstring& version, uint32_t status = OVX_I_CML_STATUS_NOT_SET);
    // From well-formed UTF-8 (see ovxCleanUtf8), taken as it is.
    CModuleInfo(std::string name, std::string version, uint32_t status = OVX_I_CML_STATUS_NOT_SET)
        : m_name(std::move(name)), m_version(std::move(version)), m_status(status) {}
    CModuleInfo(const CModuleInfo& other) = default;
    CModuleInfo& operator=(const CModuleInfo& other) = default;
    CModuleInfo(CModuleInfo&&) noexcept = default;
    CModuleInfo& operator=(CModuleInfo&&) noexcept = default;
    virtual ~CModuleInfo();

    std::wstring GetElementName() const;
    std::wstring GetName() const;
    std::wstring GetVersion() const;
    const std::string& GetNameUtf8() const { return m_name; }
    const std::string& GetVersionUtf8() const { return m_version; }
    const std::string& GetElementNameUtf8() const { return m_elementName; }
    uint32_t GetStatus() const { return m_status; }
    void SetName(const std::wstring& name);
    void SetVersion(const std::wstring& version);
    void SetStatus(uint32_t status) { m_status = status; }

    size_t GetPolicyCount() const { return m_policies.size(); }
    CPolicySource* GetPolicy(size_t index) const;
    CPolicySource* AddPolicy(const CPolicySource& policy);
    CPolicySource* AddPolicy(CPolicySource* policy);
    CPolicySource* AddPolicy(const CCmlDOM_Element& element);
    void ClearPolicies() { m_policies.clear(); }
    // The module's status policies for `namespaceUri`. For the agent status
    // details namespace, read-only AVP sections held as DOM nodes are first
    // turned into typed objects through the class factory.
    std::vector<CPolicySource*> GetPolicies(const std::wstring& namespaceUri);

    void Deserialize(CCmlDOM_Element& element);
    void EmitElement(XmlUtils::CXmlOut& out, int level) const;
    void CollectNamespaces(CNamespaceSet& namespaces) const;

private:
    void WriteModule(XmlUtils::CXmlOut& out, int level) const;

    std::string m_elementName = "module";
    std::string m_name;
    std::string m_version;
    uint32_t m_status = OVX_I_CML_STATUS_NOT_SET;
    COwnedVector<CPolicySource> m_policies;
};

class CAgentInfoContent {
public:
    CAgentInfoContent();
    CAgentInfoContent(const CAgentInfoContent& other) = default;
    CAgentInfoContent& operator=(const CAgentInfoContent& other) = default;
    CAgentInfoContent(CAgentInfoContent&& other) = default;
    CAgentInfoContent& operator=(CAgentInfoContent&& other) = default;
    virtual ~CAgentInfoContent();

    // Identity, installation and status attributes.
    std::wstring name, agentId, namespaceUri, version, model, packageVersion, agentInstallPath, daemonInstallPath;
    uint32_t agentStatus = OVX_I_CML_STATUS_NOT_SET;
    std::wstring lastPackagePath, groupNameHint;
    bool useLocalSettings = false;
    std::wstring lastRestart;
    bool sendNewSchemas = true;
    uint32_t packageStatus = OVX_I_CML_STATUS_NOT_SET;
    std::wstring packageStatusDescription, registerAgent;
    TriState persistentConnection = kTriUnset;
    TriState reverseConnection = kTriUnset;

    CHostInfo host;
    std::vector<CSchemaInfo> schemas;
    std::vector<CContentDate> contentDates;
    // A deque: module handles given to the agent stay valid as modules are added.
    std::deque<CModuleInfo> modules;
    std::vector<CUpdateInfo> updates;
    std::wstring copyright;
    std::wstring patent;

    // The namespace and version of the message that carries the content:
    // they decide whether the newer attributes are written.
    void SetCarrier(const std::wstring& namespaceUri, const std::wstring& version);

    const CContentDate& GetContentDate(size_t index) const;
    size_t GetPolicyCount() const { return m_policies.size(); }
    CPolicySource* GetPolicy(size_t index) const;
    void SetPolicy(size_t index, const CPolicySource& policy);
    CPolicySource* AddPolicy(const CPolicySource& policy);
    CPolicySource* AddPolicy(CPolicySource* policy);

    bool HasContent() const;
    void Deserialize(CCmlDOM_Element& element);
    void EmitAttributes(XmlUtils::CXmlOut& out) const;
    void EmitContent(XmlUtils::CXmlOut& out, int level) const;
    void CollectNamespaces(CNamespaceSet& namespaces) const;

private:
    bool WritesNewerAttributes() const;
    void WriteContentAttributes(XmlUtils::CXmlOut& out) const;
    void WriteChildren(XmlUtils::CXmlOut& out, int level) const;

    std::wstring m_carrierNamespace;
    std::wstring m_carrierVersion;
    COwnedVector<CPolicySource> m_policies;
};

class CAgentStartupAnnouncement : public CCmlRequest {
public:
    CAgentStartupAnnouncement();
    CAgentStartupAnnouncement* Clone() const override { return new CAgentStartupAnnouncement(*this); }
    CAgentInfoContent& GetContent() { return m_content; }
    const CAgentInfoContent& GetContent() const { return m_content; }

    void SetNamespaceUri(const wchar_t* namespaceUri) override;
    void SetSchemaVersion(const wchar_t* version) override;
    bool HasContent() const override { return m_content.HasContent(); }
    void CollectNamespaces(CNamespaceSet& namespaces) const override;
    void Deserialize(CCmlDOM_Element& element) override;
    void EmitAttributes(XmlUtils::CXmlOut& out) const override;
    void EmitContent(XmlUtils::CXmlOut& out, int level) const override { m_content.EmitContent(out, level); }

private:
    CAgentInfoContent m_content;
};

class CAgentStartupAcknowledgement : public CCmlResponse {
public:
    CAgentStartupAcknowledgement();
    CAgentStartupAcknowledgement* Clone() const override { return new CAgentStartupAcknowledgement(*this); }
};

// The catalog text of a status code, as the "status-text" attribute written
// beside it.
void WriteStatusText(XmlUtils::CXmlOut& out, uint32_t status);

void RegisterAgentInfoDocuments(CCmlClassFactory& factory);

}  // namespace cml
}  // namespace ovx

#endif  // OVX_CML_DOCUMENTS_CMLAGENTINFO_H
