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
#include "SimSupport.h"

using namespace ovx::cml;

namespace ovxSim {

using namespace support;

bool Simulator::QueueRequest(const std::string& agentId, const std::string& kind, const std::string& nameSpace,
                             const std::string& version, const std::string& name) {
    if (agentId.empty() || kind.empty()) return false;
    if (kind == "set-policy-request" && FindByStem(m_config.policiesFolder, name).empty()) return false;
    std::lock_guard<std::mutex> hold(m_lock);
    m_queue[agentId].push_back(Queued{kind, nameSpace, version, name});
    return true;
}

void Simulator::RecordAnnouncement(const std::string& agent, const CAgentStartupAnnouncement& announcement,
                                   CCmlMessage& answer, std::string& group) {
    const CAgentInfoContent& content = announcement.GetContent();
    if (!content.groupNameHint.empty()) group = Narrow(content.groupNameHint);
    Exec(
        "INSERT INTO agents(id, name, namespace, grp, heartbeats, last_heartbeat) VALUES(?1, ?2, ?3, ?4, 1, ?5) "
        "ON CONFLICT(id) DO UPDATE SET name = ?2, namespace = ?3, grp = ?4, heartbeats = heartbeats + 1, "
        "last_heartbeat = ?5",
        {agent, Narrow(content.name), Narrow(content.namespaceUri), group, Timestamp()});
    std::string inventory;
    for (const CModuleInfo& module : content.modules) {
        inventory += Narrow(module.GetName()) + '\0' + Narrow(module.GetVersion()) + '\0';
    }
    inventory += '\0';
    for (const CSchemaInfo& schema : content.schemas) {
        inventory +=
            Narrow(schema.GetNamespace()) + '\0' + Narrow(schema.GetVersion()) + '\0' + Narrow(schema.GetName()) + '\0';
    }
    std::string& written = m_inventories[agent];
    const std::string digest = ovxToolsLib::ovxMd5Base64(inventory.data(), inventory.size());
    if (digest != written) {
        Exec("DELETE FROM modules WHERE agent = ?1", {agent});
        for (const CModuleInfo& module : content.modules) {
            Exec("INSERT OR REPLACE INTO modules VALUES(?1, ?2, ?3)",
                 {agent, Narrow(module.GetName()), Narrow(module.GetVersion())});
        }
        Exec("DELETE FROM schemas WHERE agent = ?1", {agent});
        for (const CSchemaInfo& schema : content.schemas) {
            Exec("INSERT OR REPLACE INTO schemas VALUES(?1, ?2, ?3, ?4)",
                 {agent, Narrow(schema.GetNamespace()), Narrow(schema.GetVersion()), Narrow(schema.GetName())});
        }
        written = digest;
    }
    CAgentStartupAcknowledgement acknowledgement;
    acknowledgement.SetRequestId(announcement.GetRequestId().c_str());
    answer.AddResponse(acknowledgement);
}

// The group's settings file, unless the agent already has this version of it.
void Simulator::GroupSettingsFor(const std::string& group, const CPolicyItem& item, CPolicyData& data,
                                 std::string& xml) {
    std::string content;
    const std::string file = SafeName(group) ? m_config.groupsFolder + "/" + group + ".ini" : "";
    if (file.empty() || !ReadFile(file, content)) {
        data.SetCode(OVX_I_GROUP_SETTINGS_NOT_ASSIGNED);
        return;
    }
    const std::string token = ovxToolsLib::ovxMd5Base64(content.data(), content.size());
    data.SetToken(Wide(token));
    if (Narrow(item.GetToken()) == token) {
        data.SetCode(OVX_I_GROUP_SETTINGS_CURRENT);
        return;
    }
    xml = Base64Content(content);
    Bump("group-settings");
}

// A policy of the policies folder: XML as it is, anything else as base64.
void Simulator::PolicyFor(const CPolicyItem& item, CPolicyData& data, std::string& xml) {
    std::string content;
    const std::string file = FindByStem(m_config.policiesFolder, Narrow(item.GetName()));
    if (file.empty() || !ReadFile(file, content)) {
        data.SetCode(OVX_E_CML_NO_POLICY);
        data.SetText(L"no such policy");
        return;
    }
    xml = file.size() > 4 && file.compare(file.size() - 4, 4, ".xml") == 0 ? content : Base64Content(content);
    data.SetToken(Wide(ovxToolsLib::ovxMd5Base64(content.data(), content.size())));
    Bump("policy");
}

void Simulator::AnswerPolicies(const std::string& agent, const std::string& group, const CGetPolicyRequest& asked,
                               CCmlMessage& answer) {
    CGetPolicyResponse policies;
    policies.SetRequestId(asked.GetRequestId().c_str());
    for (size_t i = 0; i < asked.GetCount(); ++i) {
        const CPolicyItem& item = *asked.GetItem(i);
        Bump("asked:" + Narrow(item.GetName()));
        CPolicyData data(item.GetName(), item.GetNamespace(), item.GetVersion(), item.GetSchemaVersion(), L"", 0, L"",
                         L"", L"", L"", L"policy-item");
        std::string xml;
        if (item.GetNamespace() == kNsGroupSettings) {
            GroupSettingsFor(group, item, data, xml);
        } else {
            PolicyFor(item, data, xml);
        }
        if (!xml.empty()) WithElement(xml, [&](CCmlDOM_Element& element) { data.SetPolicy(element); });
        if (data.GetPolicy() != nullptr) {
            Exec("INSERT OR REPLACE INTO policies VALUES(?1, ?2, ?3, ?4, ?5)",
                 {agent, Narrow(item.GetNamespace()), Narrow(item.GetName()), Narrow(data.GetToken()), Timestamp()});
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

std::string Simulator::Answer(const std::string& body, int* status, Filler fill) {
    // One parser a thread, kept: making one costs as much as a small parse.
    thread_local std::unique_ptr<CCmlParser> parser;
    std::unique_ptr<CCmlDocumentBase> document;
    try {
        if (!parser) parser.reset(new CCmlParser(kDoNotValidate));
        parser->ParseBuffer(body.data(), body.size(), kDoNotValidate, nullptr);
        CCmlDOM_Element root = parser->GetDocument().getDocumentElement();
        if (!root.IsNull()) document.reset(DeserializeParsedDocument(root, kMatchCompatible));
    } catch (...) {
    }
    auto* message = dynamic_cast<CCmlMessage*>(document.get());
    if (message == nullptr) {
        *status = 400;
        return "";
    }
    std::unique_ptr<CCmlMessage> answer = NewMessage();
    answer->AddDestination(message->GetSource());
    answer->SetResponseTo(message->GetMessageId());
    (this->*fill)(*message, *answer);
    return Text(*answer);
}

void Simulator::Heartbeat(CCmlMessage& message, CCmlMessage& answer) {
    const std::string agent = Narrow(message.GetSource().GetAgentId());

    std::lock_guard<std::mutex> hold(m_lock);
    // One transaction a heartbeat, committed before the answer goes out: an
    // acknowledged heartbeat is recorded, whatever happens to the process.
    Exec("BEGIN");
    struct Commit {
        Simulator& simulator;
        ~Commit() { simulator.Exec("COMMIT"); }
    } commit{*this};
    Bump("heartbeat");
    std::string group = "default";
    for (CCmlRequest* request : message.GetRequests()) {
        if (auto* announcement = dynamic_cast<CAgentStartupAnnouncement*>(request)) {
            RecordAnnouncement(agent, *announcement, answer, group);
        }
    }
    for (CCmlRequest* request : message.GetRequests()) {
        if (auto* asked = dynamic_cast<CGetPolicyRequest*>(request)) AnswerPolicies(agent, group, *asked, answer);
    }
    // What the agent answered to earlier server requests.
    for (CCmlResponse* response : message.GetResponses()) {
        Exec("INSERT INTO answers VALUES(?1, ?2, ?3, ?4, ?5, ?6)",
             {agent, Narrow(response->GetTagName()), Narrow(response->GetRequestId()),
              std::to_string(response->GetCode()), Narrow(response->GetText()), Timestamp()});
        Bump("answer:" + Narrow(response->GetTagName()));
    }
    auto queued = m_queue.find(agent);
    if (queued != m_queue.end()) {
        for (const Queued& request : queued->second) AddQueuedRequest(request, answer);
        m_queue.erase(queued);
    }
}

void Simulator::Trust(CCmlMessage& message, CCmlMessage& answer) {
    std::lock_guard<std::mutex> hold(m_lock);
    for (CCmlRequest* request : message.GetRequests()) {
        if (auto* keys = dynamic_cast<CExchangeKeysRequest*>(request)) {
            CExchangeKeysResponse response;
            response.SetRequestId(keys->GetRequestId().c_str());
            response.AddKey(Wide(m_publicKeyPem).c_str(), Wide(m_keyAlgorithm).c_str(),
                            static_cast<uint32_t>(m_keyBits));
            answer.AddResponse(response);
            Bump("key-exchange");
        }
    }
    for (CCmlRequest* request : message.GetRequests()) {
        if (auto* attach = dynamic_cast<CAttachToSiteRequest*>(request)) {
            const std::string password = Narrow(attach->GetPassword());
            auto user = m_config.users.find(Narrow(attach->GetUserName()));
            const bool accepted = user != m_config.users.end() &&
                                  user->second == ovxToolsLib::ovxMd5Base64(password.data(), password.size());
            CAttachToSiteResponse response;
            response.SetRequestId(attach->GetRequestId().c_str());
            response.SetCode(accepted ? 0 : OVX_E_CML_ATTACH_REFUSED);
            if (!accepted) response.SetText(L"unknown user or wrong password");
            answer.AddResponse(response);
            Bump(accepted ? "attach" : "attach-refused");
        }
    }
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
