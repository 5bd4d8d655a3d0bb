// The simulator's answers to the agent: heartbeats (announcements, policy and
// group settings requests, the agent's answers, queued server requests),
// the trust exchanges, pings and alive heartbeats.
#include "Simulator.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <sstream>

#include "cml/core/cmlMessage.h"
#include "cml/core/cmlNamespaces.h"
#include "cml/core/cmlParser.h"
#include "cml/core/cmlVocabulary.h"
#include "cml/documents/cmlAgentInfo.h"
#include "cml/documents/cmlAvpSections.h"
#include "cml/documents/cmlPolicy.h"
#include "cml/documents/cmlSchema.h"
#include "cml/documents/cmlTrust.h"
#include "tools/ovxCodecvt.h"
#include "tools/ovxDigest.h"
#include "tools/ovxGuid.h"
#include "SimHeartbeat.h"
#include "SimSupport.h"

using namespace ovx::cml;

namespace ovxSim {

using namespace support;

namespace {

// The records of a list of fields each followed by a NUL, `width` fields a
// record.
std::vector<std::vector<std::string>> Records(const std::string& fields, size_t width) {
    std::vector<std::vector<std::string>> records;
    for (size_t at = 0; at < fields.size();) {
        if (records.empty() || records.back().size() == width) records.emplace_back();
        const size_t end = fields.find('\0', at);
        records.back().push_back(fields.substr(at, end - at));
        at = end + 1;
    }
    return records;
}

}  // namespace

bool Simulator::QueueRequest(const std::string& agentId, const std::string& kind, const std::string& nameSpace,
                             const std::string& version, const std::string& name) {
    if (agentId.empty() || kind.empty()) return false;
    if (kind == "set-policy-request" && FindByStem(m_config.policiesFolder, name).empty()) return false;
    std::lock_guard<std::mutex> hold(m_lock);
    m_queue[agentId].push_back(Queued{kind, nameSpace, version, name});
    return true;
}

void Simulator::RecordAnnouncement(const std::string& agent, const HeartbeatPost::Announcement& announcement,
                                   CCmlMessage& answer, std::string& group) {
    if (!announcement.groupHint.empty()) group = announcement.groupHint;
    Exec(
        "INSERT INTO agents(id, name, namespace, grp, heartbeats, last_heartbeat) VALUES(?1, ?2, ?3, ?4, 1, ?5) "
        "ON CONFLICT(id) DO UPDATE SET name = ?2, namespace = ?3, grp = ?4, heartbeats = heartbeats + 1, "
        "last_heartbeat = ?5",
        {agent, announcement.name, announcement.nameSpace, group, Timestamp()});
    // The inventory as one string: the modules' fields, a NUL, the schemas'.
    std::string& written = m_inventories[agent];
    const std::string& modules = announcement.modules;
    const std::string& schemas = announcement.schemas;
    const bool same = written.size() == modules.size() + 1 + schemas.size() &&
                      written.compare(0, modules.size(), modules) == 0 && written[modules.size()] == '\0' &&
                      written.compare(modules.size() + 1, schemas.size(), schemas) == 0;
    if (!same) {
        Exec("DELETE FROM modules WHERE agent = ?1", {agent});
        for (const std::vector<std::string>& module : Records(modules, 2)) {
            Exec("INSERT OR REPLACE INTO modules VALUES(?1, ?2, ?3)", {agent, module[0], module[1]});
        }
        Exec("DELETE FROM schemas WHERE agent = ?1", {agent});
        for (const std::vector<std::string>& schema : Records(schemas, 3)) {
            Exec("INSERT OR REPLACE INTO schemas VALUES(?1, ?2, ?3, ?4)", {agent, schema[0], schema[1], schema[2]});
        }
        written.assign(modules).append(1, '\0').append(schemas);
    }
    CAgentStartupAcknowledgement acknowledgement;
    acknowledgement.SetRequestId(Wide(announcement.requestId).c_str());
    answer.AddResponse(acknowledgement);
}

// The group's settings file, unless the agent already has this version of it.
void Simulator::GroupSettingsFor(const std::string& group, const std::string& agentToken, CPolicyData& data,
                                 std::string& xml) {
    std::string content;
    const std::string file =
        !m_config.groupsFolder.empty() && SafeName(group) ? m_config.groupsFolder + "/" + group + ".ini" : "";
    if (file.empty() || !ReadFile(file, content)) {
        data.SetCode(OVX_I_GROUP_SETTINGS_NOT_ASSIGNED);
        return;
    }
    const std::string token = ovxToolsLib::ovxMd5Base64(content.data(), content.size());
    data.SetToken(Wide(token));
    if (agentToken == token) {
        data.SetCode(OVX_I_GROUP_SETTINGS_CURRENT);
        return;
    }
    xml = Base64Content(content);
    Bump("group-settings");
}

// A policy of the policies folder: XML as it is, anything else as base64.
void Simulator::PolicyFor(const std::string& name, CPolicyData& data, std::string& xml) {
    std::string content;
    const std::string file = FindByStem(m_config.policiesFolder, name);
    if (file.empty() || !ReadFile(file, content)) {
        data.SetCode(OVX_E_CML_NO_POLICY);
        data.SetText(L"no such policy");
        return;
    }
    xml = file.size() > 4 && file.compare(file.size() - 4, 4, ".xml") == 0 ? content : Base64Content(content);
    data.SetToken(Wide(ovxToolsLib::ovxMd5Base64(content.data(), content.size())));
    Bump("policy");
}

void Simulator::AnswerPolicies(const std::string& agent, const std::string& group,
                               const HeartbeatPost::PolicyAsk& asked, CCmlMessage& answer) {
    static const std::string kGroupSettings = Narrow(kNsGroupSettings);
    CGetPolicyResponse policies;
    policies.SetRequestId(Wide(asked.requestId).c_str());
    for (const HeartbeatPost::PolicyItem& item : asked.items) {
        Bump("asked:" + item.name);
        CPolicyData data(Wide(item.name), Wide(item.nameSpace), Wide(item.version), Wide(item.schemaVersion), L"", 0,
                         L"", L"", L"", L"", L"policy-item");
        std::string xml;
        if (item.nameSpace == kGroupSettings) {
            GroupSettingsFor(group, item.token, data, xml);
        } else {
            PolicyFor(item.name, data, xml);
        }
        if (!xml.empty()) WithElement(xml, [&](CCmlDOM_Element& element) { data.SetPolicy(element); });
        if (data.GetPolicy() != nullptr) {
            Exec("INSERT OR REPLACE INTO policies VALUES(?1, ?2, ?3, ?4, ?5)",
                 {agent, item.nameSpace, item.name, Narrow(data.GetToken()), Timestamp()});
        }
        policies.AddItem(data);
    }
    answer.AddResponse(policies);
}

void Simulator::AddQueuedRequest(const Queued& request, CCmlMessage& answer) {
    const std::wstring id = Wide("op-" + std::to_string(m_nextRequest++));
    const std::wstring ns = Wide(request.nameSpace), version = Wide(request.version), name = Wide(request.name);
    if (request.kind == "get-schema-request") {
        CSchemaRequest schema(kReqGetSchemaRequest);
        schema.SetRequestId(id.c_str());
        schema.AddItem(CSchemaInfo(ns, version, name));
        answer.AddRequest(schema);
    } else if (request.kind == "set-schema-request") {
        CSetSchemaRequest schema;
        schema.SetRequestId(id.c_str());
        WithElement(
            "<schema xmlns='http://www.w3.org/2001/XMLSchema' targetNamespace='" + request.nameSpace + "' version='" +
                request.version + "'/>",
            [&](CCmlDOM_Element& element) {
                schema.AddItem(CSetSchemaRequestData(ns, element, version, name, true, false, false, false, false));
            });
        answer.AddRequest(schema);
    } else if (request.kind == "set-policy-request") {
        CSetPolicyRequest policy;
        policy.SetRequestId(id.c_str());
        std::string content;
        const std::string file = FindByStem(m_config.policiesFolder, request.name);
        if (ReadFile(file, content)) {
            WithElement(content, [&](CCmlDOM_Element& element) { policy.AddPolicy(element); });
        }
        if (policy.GetCount() != 0) answer.AddRequest(policy);
    } else {
        CSimRequest other(Wide(request.kind).c_str(), kNsAgentMessages, kVersionAgentMessages);
        other.SetRequestId(id.c_str());
        answer.AddRequest(other);
    }
    Bump("request:" + request.kind);
}

namespace {

// The answer's envelope: from the Agent Manager to the sender of `messageId`.
std::unique_ptr<CCmlMessage> AnswerTo(const CAgentInfo& sender, const std::wstring& messageId) {
    std::unique_ptr<CCmlMessage> answer = NewMessage();
    answer->AddDestination(sender);
    answer->SetResponseTo(messageId);
    return answer;
}

CAgentInfo SenderOf(const HeartbeatPost& post) {
    CAgentInfo sender;
    sender.SetName(Wide(post.sourceName));
    sender.SetNamespace(Wide(post.sourceNamespace));
    sender.SetAgentId(Wide(post.sourceAgentId));
    sender.SetIpAddress(Wide(post.sourceIpAddress));
    sender.SetHostName(Wide(post.sourceHostName));
    sender.SetAuthToken(Wide(post.sourceAuthToken));
    sender.SetAuthHash(Wide(post.sourceAuthHash));
    for (const std::string& group : post.sourceGroups) sender.AddAgentGroup(Wide(group));
    return sender;
}

}  // namespace

std::string Simulator::Heartbeat(const std::string& body, int* status) {
    HeartbeatPost post;
    if (!ReadHeartbeat(body, post)) {
        *status = 400;
        return "";
    }
    std::unique_ptr<CCmlMessage> answer = AnswerTo(SenderOf(post), Wide(post.messageId));
    const std::string& agent = post.sourceAgentId;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        // One transaction a heartbeat, committed before the answer goes out:
        // an acknowledged heartbeat is recorded, whatever happens to the
        // process.
        Exec("BEGIN");
        struct Commit {
            Simulator& simulator;
            ~Commit() { simulator.Exec("COMMIT"); }
        } commit{*this};
        Bump("heartbeat");
        std::string group = "default";
        for (const auto& announcement : post.announcements) RecordAnnouncement(agent, announcement, *answer, group);
        for (const auto& asked : post.policyAsks) AnswerPolicies(agent, group, asked, *answer);
        // What the agent answered to earlier server requests.
        for (const HeartbeatPost::Reply& reply : post.replies) {
            Exec("INSERT INTO answers VALUES(?1, ?2, ?3, ?4, ?5, ?6)",
                 {agent, reply.tag, reply.requestId, std::to_string(reply.code), reply.text, Timestamp()});
            Bump("answer:" + reply.tag);
        }
        auto queued = m_queue.find(agent);
        if (queued != m_queue.end()) {
            for (const Queued& request : queued->second) AddQueuedRequest(request, *answer);
            m_queue.erase(queued);
        }
    }
    return Text(*answer);
}

std::string Simulator::Trust(const std::string& body, int* status) {
    std::unique_ptr<CCmlDocumentBase> document;
    try {
        document.reset(
            CreateDocumentFromXml(body.data(), body.size(), kDoNotValidate, nullptr, nullptr, kMatchCompatible));
    } catch (...) {
    }
    auto* message = dynamic_cast<CCmlMessage*>(document.get());
    if (message == nullptr) {
        *status = 400;
        return "";
    }
    std::unique_ptr<CCmlMessage> answer = AnswerTo(message->GetSource(), message->GetMessageId());
    std::lock_guard<std::mutex> hold(m_lock);
    for (CCmlRequest* request : message->GetRequests()) {
        if (auto* keys = dynamic_cast<CExchangeKeysRequest*>(request)) {
            CExchangeKeysResponse response;
            response.SetRequestId(keys->GetRequestId().c_str());
            response.AddKey(Wide(m_publicKeyPem).c_str(), Wide(m_keyAlgorithm).c_str(),
                            static_cast<uint32_t>(m_keyBits));
            answer->AddResponse(response);
            Bump("key-exchange");
        }
    }
    for (CCmlRequest* request : message->GetRequests()) {
        if (auto* attach = dynamic_cast<CAttachToSiteRequest*>(request)) {
            const std::string password = Narrow(attach->GetPassword());
            auto user = m_config.users.find(Narrow(attach->GetUserName()));
            const bool accepted = user != m_config.users.end() &&
                                  user->second == ovxToolsLib::ovxMd5Base64(password.data(), password.size());
            CAttachToSiteResponse response;
            response.SetRequestId(attach->GetRequestId().c_str());
            response.SetCode(accepted ? 0 : OVX_E_CML_ATTACH_REFUSED);
            if (!accepted) response.SetText(L"unknown user or wrong password");
            answer->AddResponse(response);
            Bump(accepted ? "attach" : "attach-refused");
        }
    }
    return Text(*answer);
}

std::string Simulator::Ping(const std::string& body) {
    CCmlAvpSections sections;
    CAvpSection section(kNsAvpSections, L"agent-ping");
    section.AddParameter(L"request-id", Wide(body.substr(0, 256)));
    sections.AddSection(section);
    std::lock_guard<std::mutex> hold(m_lock);
    Bump("ping");
    return Text(sections);
}

void Simulator::Alive(const std::string& body) {
    const std::string agent = body.substr(0, 256);
    std::lock_guard<std::mutex> hold(m_lock);
    Bump("alive");
    Exec(
        "INSERT INTO agents(id, alive, last_alive) VALUES(?1, 1, ?2) "
        "ON CONFLICT(id) DO UPDATE SET alive = alive + 1, last_alive = ?2",
        {agent, Timestamp()});
}

}  // namespace ovxSim
