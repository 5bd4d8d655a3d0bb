#include "sensor_services/HbUtils.h"

#include <unordered_map>

#include "cml/core/cmlNamespaces.h"
#include "cml/core/cmlVocabulary.h"
#include "cml/documents/cmlAgentInfo.h"
#include "cml/documents/cmlPolicy.h"
#include "cml/documents/cmlSchema.h"

using namespace ovx::cml;

namespace ovxSensorServices {
namespace HbUtils {

bool IsMessageNamespace(const std::wstring& ns) {
    return ns == kNsMessage || ns == kNsAgentMessages || ns == kNsPolicyMessages || ns == kNsSchemaMessages;
}

namespace {

// Appends every entry of `from` to `into`, an entry whose key is already in
// `into` replacing it.
template <class List, class Key>
void MergeList(List& into, const List& from, Key key) {
    std::unordered_map<std::wstring, size_t> index;
    index.reserve(into.size() + from.size());
    for (size_t i = 0; i < into.size(); ++i) index.emplace(key(into[i]), i);
    for (const auto& entry : from) {
        auto found = index.find(key(entry));
        if (found != index.end()) {
            into[found->second] = entry;
        } else {
            index.emplace(key(entry), into.size());
            into.push_back(entry);
        }
    }
}

void Take(std::wstring& into, const std::wstring& from) {
    if (!from.empty()) into = from;
}

void MergeAnnouncement(const CAgentStartupAnnouncement& newer, CAgentStartupAnnouncement& pending) {
    const CAgentInfoContent& n = newer.GetContent();
    CAgentInfoContent& p = pending.GetContent();
    for (auto field : {&CAgentInfoContent::name, &CAgentInfoContent::agentId, &CAgentInfoContent::namespaceUri,
                       &CAgentInfoContent::version, &CAgentInfoContent::model, &CAgentInfoContent::packageVersion,
                       &CAgentInfoContent::agentInstallPath, &CAgentInfoContent::daemonInstallPath,
                       &CAgentInfoContent::lastPackagePath, &CAgentInfoContent::groupNameHint,
                       &CAgentInfoContent::lastRestart, &CAgentInfoContent::packageStatusDescription,
                       &CAgentInfoContent::registerAgent, &CAgentInfoContent::copyright, &CAgentInfoContent::patent}) {
        Take(p.*field, n.*field);
    }
    if (n.agentStatus != kNoAgentStatus) p.agentStatus = n.agentStatus;
    if (n.packageStatus != kNoAgentStatus) p.packageStatus = n.packageStatus;
    p.useLocalSettings = n.useLocalSettings;
    p.sendNewSchemas = n.sendNewSchemas;
    p.persistentConnection = n.persistentConnection;
    p.reverseConnection = n.reverseConnection;
    for (auto field : {&CHostInfo::os, &CHostInfo::version, &CHostInfo::ipAddress, &CHostInfo::hostName,
                       &CHostInfo::nbName, &CHostInfo::nbDomain, &CHostInfo::adObjectId, &CHostInfo::adGroupId}) {
        Take(p.host.*field, n.host.*field);
    }
    MergeList(p.schemas, n.schemas, [](const CSchemaInfo& s) { return s.IdentityKey(); });
    MergeList(p.contentDates, n.contentDates, [](const CContentDate& d) { return d.IdentityKey(); });
    MergeList(p.modules, n.modules, [](const CModuleInfo& m) { return m.IdentityKey(); });
    MergeList(p.updates, n.updates, [](const CUpdateInfo& u) { return u.IdentityKey(); });
    for (size_t i = 0; i < n.GetPolicyCount(); ++i) p.AddPolicy(*n.GetPolicy(i));
}

void MergeGetPolicy(const CGetPolicyRequest& newer, CGetPolicyRequest& pending) {
    std::unordered_map<std::wstring, CPolicyItem*> index;
    for (size_t i = 0; i < pending.GetCount(); ++i) index.emplace(pending.GetItem(i)->IdentityKey(), pending.GetItem(i));
    for (size_t i = 0; i < newer.GetCount(); ++i) {
        const CPolicyItem* item = newer.GetItem(i);
        auto found = index.find(item->IdentityKey());
        if (found != index.end()) {
            found->second->SetToken(item->GetToken());
        } else {
            index.emplace(item->IdentityKey(), pending.AddItem(*item));
        }
    }
}

void MergeSetPolicyResponse(const CSetPolicyResponse& newer, CSetPolicyResponse& pending) {
    std::unordered_map<std::wstring, CPolicyItem*> index;
    for (size_t i = 0; i < pending.GetCount(); ++i) index.emplace(pending.GetItem(i)->IdentityKey(), pending.GetItem(i));
    for (size_t i = 0; i < newer.GetCount(); ++i) {
        const CPolicyItem* item = newer.GetItem(i);
        auto found = index.find(item->IdentityKey());
        if (found != index.end()) {
            found->second->SetToken(item->GetToken());
            found->second->SetCode(item->GetCode());
            found->second->SetText(item->GetText());
        } else {
            index.emplace(item->IdentityKey(), pending.AddItem(*item));
        }
    }
}

std::wstring PolicyKey(CPolicySource& policy) { return policy.GetNamespaceUri() + L'\n' + policy.GetName(); }

void MergeSetPolicyRequest(const CSetPolicyRequest& newer, CSetPolicyRequest& pending) {
    std::unordered_map<std::wstring, size_t> index;
    for (size_t i = 0; i < pending.GetCount(); ++i) index.emplace(PolicyKey(*pending.GetPolicy(i)), i);
    for (size_t i = 0; i < newer.GetCount(); ++i) {
        CPolicySource* policy = newer.GetPolicy(i);
        auto found = index.find(PolicyKey(*policy));
        if (found != index.end()) {
            pending.ReplacePolicy(found->second, policy->Clone());
        } else {
            index.emplace(PolicyKey(*policy), pending.GetCount());
            pending.AddPolicy(*policy);
        }
    }
}

template <class Message>
void MergeSchemaItems(const Message& newer, Message& pending) {
    std::unordered_map<std::wstring, size_t> index;
    for (size_t i = 0; i < pending.GetCount(); ++i) index.emplace(pending.GetItem(i).IdentityKey(), i);
    for (size_t i = 0; i < newer.GetCount(); ++i) {
        const auto& item = newer.GetItem(i);
        auto found = index.find(item.IdentityKey());
        if (found != index.end()) {
            pending.GetItem(found->second) = item;
        } else {
            index.emplace(item.IdentityKey(), pending.GetCount());
            pending.AddItem(item);
        }
    }
}

// Finds the kind in both messages and merges, or copies it over.
template <class Document>
void MergeKind(const CCmlMessage& newer, CCmlMessage& pending, const wchar_t* tag, bool requests,
               void (*merge)(const Document&, Document&)) {
    auto* from = dynamic_cast<Document*>(FindDocument(const_cast<CCmlMessage&>(newer), tag, requests));
    if (from == nullptr) return;
    auto* into = dynamic_cast<Document*>(FindDocument(pending, tag, requests));
    if (into != nullptr) {
        merge(*from, *into);
    } else if constexpr (std::is_base_of<CCmlRequest, Document>::value) {
        pending.AddRequest(*from);
    } else {
        pending.AddResponse(*from);
    }
}

}  // namespace

CMessageBase* FindDocument(CCmlMessage& message, const std::wstring& tag, bool requests) {
    if (requests) {
        for (CCmlRequest* request : message.GetRequests()) {
            if (IsMessageNamespace(request->GetNamespaceUri()) && request->GetTagName() == tag) return request;
        }
    } else {
        for (CCmlResponse* response : message.GetResponses()) {
            if (IsMessageNamespace(response->GetNamespaceUri()) && response->GetTagName() == tag) return response;
        }
    }
    return nullptr;
}

void Merge(const CCmlMessage& newer, CCmlMessage& pending) {
    MergeKind<CAgentStartupAnnouncement>(newer, pending, kReqAgentStartupAnnouncement, true, &MergeAnnouncement);
    MergeKind<CGetPolicyRequest>(newer, pending, kReqGetPolicyRequest, true, &MergeGetPolicy);
    MergeKind<CSetPolicyRequest>(newer, pending, kReqSetPolicyRequest, true, &MergeSetPolicyRequest);
    MergeKind<CSetSchemaRequest>(newer, pending, kReqSetSchemaRequest, true, &MergeSchemaItems<CSetSchemaRequest>);
    MergeKind<CSchemaRequest>(newer, pending, kReqGetSchemaRequest, true, &MergeSchemaItems<CSchemaRequest>);
    MergeKind<CSetPolicyResponse>(newer, pending, kRespSetPolicyResponse, false, &MergeSetPolicyResponse);
    MergeKind<CSchemaResponse>(newer, pending, kRespSetSchemaResponse, false, &MergeSchemaItems<CSchemaResponse>);
    MergeKind<CGetSchemaResponse>(newer, pending, kRespGetSchemaResponse, false, &MergeSchemaItems<CGetSchemaResponse>);
}

}  // namespace HbUtils
}  // namespace ovxSensorServices
