#include "ovxStatus.h"
#include "sensor_services/HbUtils.h"

#include <deque>
#include <string_view>
#include <unordered_map>
#include <vector>

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

// An entry's identity, the fields a newer heartbeat's entry must share with a
// pending one to replace it, as views into its own strings: looking an entry
// up builds and copies no key. Wide for the documents that keep wide text,
// narrow for those that keep UTF-8.
template <class Char>
struct KeyView {
    std::basic_string_view<Char> a, b, c;
    bool operator==(const KeyView& other) const { return a == other.a && b == other.b && c == other.c; }
};

template <class Char>
size_t HashOf(const KeyView<Char>& key) {
    const std::hash<std::basic_string_view<Char>> hash;
    size_t seed = hash(key.a);
    for (const std::basic_string_view<Char> part : {key.b, key.c}) {
        seed ^= hash(part) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
    }
    return seed;
}

using WideKey = KeyView<wchar_t>;
using Utf8Key = KeyView<char>;
Utf8Key KeyOf(const CSchemaInfo& schema) { return {schema.GetNamespaceUtf8(), schema.GetVersionUtf8(), {}}; }
WideKey KeyOf(const CContentDate& date) { return {date.identity, {}, {}}; }
Utf8Key KeyOf(const CModuleInfo& module) { return {module.GetNameUtf8(), {}, {}}; }
WideKey KeyOf(const CUpdateInfo& update) { return {update.module, update.type, {}}; }
Utf8Key KeyOf(const CPolicyItem& item) {
    return {item.GetNamespaceUtf8(), item.GetSchemaVersionUtf8(), item.GetNameUtf8()};
}

// The positions of a list's entries by key, for one merge. Open addressing
// in one array sized for every entry the merge can add: a probe reads a slot
// and touches an entry only when the full hashes agree, which keeps a merge of
// tens of thousands of entries from chasing a node, an entry and a string per
// lookup. `keyAt(position)` is the key of the entry at a position, read from
// the list itself, so the list may grow and move its entries.
template <class KeyAt>
class CPositionIndex {
public:
    static constexpr size_t kNone = static_cast<size_t>(-1);

    CPositionIndex(size_t entries, KeyAt keyAt) : m_keyAt(keyAt) {
        size_t capacity = 16;
        while (capacity < 2 * entries) capacity *= 2;
        m_slots.assign(capacity, Slot{0, kNone});
    }

    // The position of the entry whose key is `key`; when there is none,
    // `position` is recorded as that key's and kNone returned. At most
    // `entries` positions are recorded, so the array never fills.
    template <class Key>
    size_t FindOrAdd(const Key& key, size_t position) {
        const size_t hash = HashOf(key);
        const size_t mask = m_slots.size() - 1;
        for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
            Slot& probe = m_slots[slot];
            if (probe.position == kNone) {
                probe = Slot{hash, position};
                return kNone;
            }
            if (probe.hash == hash && m_keyAt(probe.position) == key) return probe.position;
        }
    }

private:
    struct Slot {
        size_t hash;
        size_t position;
    };
    std::vector<Slot> m_slots;
    KeyAt m_keyAt;
};

template <class KeyAt>
CPositionIndex<KeyAt> MakeIndex(size_t entries, KeyAt keyAt) {
    return CPositionIndex<KeyAt>(entries, keyAt);
}

template <class T>
void Reserve(std::vector<T>& list, size_t count) {
    list.reserve(count);
}
template <class T>
void Reserve(std::deque<T>&, size_t) {}

// Appends every entry of `from` to `into`, an entry whose key is already in
// `into` replacing it.
template <class List>
void MergeList(List& into, const List& from) {
    Reserve(into, into.size() + from.size());
    auto index = MakeIndex(into.size() + from.size(), [&](size_t at) { return KeyOf(into[at]); });
    for (size_t i = 0; i < into.size(); ++i) index.FindOrAdd(KeyOf(into[i]), i);
    for (const auto& entry : from) {
        const size_t found = index.FindOrAdd(KeyOf(entry), into.size());
        if (found == index.kNone) {
            into.push_back(entry);
        } else {
            into[found] = entry;
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
    if (n.agentStatus != OVX_I_CML_STATUS_NOT_SET) p.agentStatus = n.agentStatus;
    if (n.packageStatus != OVX_I_CML_STATUS_NOT_SET) p.packageStatus = n.packageStatus;
    p.useLocalSettings = n.useLocalSettings;
    p.sendNewSchemas = n.sendNewSchemas;
    p.persistentConnection = n.persistentConnection;
    p.reverseConnection = n.reverseConnection;
    for (auto field : {&CHostInfo::os, &CHostInfo::version, &CHostInfo::ipAddress, &CHostInfo::hostName,
                       &CHostInfo::nbName, &CHostInfo::nbDomain, &CHostInfo::adObjectId, &CHostInfo::adGroupId}) {
        Take(p.host.*field, n.host.*field);
    }
    MergeList(p.schemas, n.schemas);
    MergeList(p.contentDates, n.contentDates);
    MergeList(p.modules, n.modules);
    MergeList(p.updates, n.updates);
    for (size_t i = 0; i < n.GetPolicyCount(); ++i) p.AddPolicy(*n.GetPolicy(i));
}

// A policy item matched keeps its place and takes the newer item's fields
// through `update`.
template <class Message, class Update>
void MergePolicyItems(const Message& newer, Message& pending, Update update) {
    const size_t entries = pending.GetCount() + newer.GetCount();
    auto index = MakeIndex(entries, [&](size_t at) { return KeyOf(*pending.GetItem(at)); });
    for (size_t i = 0; i < pending.GetCount(); ++i) index.FindOrAdd(KeyOf(*pending.GetItem(i)), i);
    for (size_t i = 0; i < newer.GetCount(); ++i) {
        const CPolicyItem* item = newer.GetItem(i);
        const size_t found = index.FindOrAdd(KeyOf(*item), pending.GetCount());
        if (found == index.kNone) {
            pending.AddItem(*item);
        } else {
            update(*pending.GetItem(found), *item);
        }
    }
}

void MergeGetPolicy(const CGetPolicyRequest& newer, CGetPolicyRequest& pending) {
    MergePolicyItems(newer, pending,
                     [](CPolicyItem& into, const CPolicyItem& item) { into.SetTokenUtf8(item.GetTokenUtf8()); });
}

void MergeSetPolicyResponse(const CSetPolicyResponse& newer, CSetPolicyResponse& pending) {
    MergePolicyItems(newer, pending, [](CPolicyItem& into, const CPolicyItem& item) {
        into.SetTokenUtf8(item.GetTokenUtf8());
        into.SetCode(item.GetCode());
        into.SetTextUtf8(item.GetTextUtf8());
    });
}

std::wstring PolicyKey(CPolicySource& policy) { return policy.GetNamespaceUri() + L'\n' + policy.GetName(); }

void MergeSetPolicyRequest(const CSetPolicyRequest& newer, CSetPolicyRequest& pending) {
    std::unordered_map<std::wstring, size_t> index;
    index.reserve(pending.GetCount() + newer.GetCount());
    for (size_t i = 0; i < pending.GetCount(); ++i) index.emplace(PolicyKey(*pending.GetPolicy(i)), i);
    for (size_t i = 0; i < newer.GetCount(); ++i) {
        CPolicySource* policy = newer.GetPolicy(i);
        const auto placed = index.try_emplace(PolicyKey(*policy), pending.GetCount());
        if (placed.second) {
            pending.AddPolicy(*policy);
        } else {
            pending.ReplacePolicy(placed.first->second, policy->Clone());
        }
    }
}

template <class Message>
void MergeSchemaItems(const Message& newer, Message& pending) {
    pending.Reserve(pending.GetCount() + newer.GetCount());
    const size_t entries = pending.GetCount() + newer.GetCount();
    auto index = MakeIndex(entries, [&](size_t at) { return KeyOf(pending.GetItem(at)); });
    for (size_t i = 0; i < pending.GetCount(); ++i) index.FindOrAdd(KeyOf(pending.GetItem(i)), i);
    for (size_t i = 0; i < newer.GetCount(); ++i) {
        const auto& item = newer.GetItem(i);
        const size_t found = index.FindOrAdd(KeyOf(item), pending.GetCount());
        if (found == index.kNone) {
            pending.AddItem(item);
        } else {
            pending.GetItem(found) = item;
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

void CarryResponses(const CCmlMessage& from, CCmlMessage& to) {
    for (const CCmlResponse* response : from.GetResponses()) to.AddResponse(*response);
}

bool ReplaceGroupSettingsToken(CCmlMessage& message, const std::wstring& from, const std::wstring& to) {
    auto* request = dynamic_cast<CGetPolicyRequest*>(FindDocument(message, kReqGetPolicyRequest, true));
    if (request == nullptr) return false;
    bool replaced = false;
    const std::string groupSettings = XmlUtils::Utf8Of(kNsGroupSettings), fromUtf8 = XmlUtils::Utf8Of(from);
    for (size_t i = 0; i < request->GetCount(); ++i) {
        CPolicyItem* item = request->GetItem(i);
        if (item->GetNamespaceUtf8() == groupSettings && item->GetTokenUtf8() == fromUtf8) {
            item->SetToken(to);
            replaced = true;
        }
    }
    return replaced;
}

}  // namespace HbUtils
}  // namespace ovxSensorServices
