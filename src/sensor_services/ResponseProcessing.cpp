// The server's answer to a heartbeat: parsed, sorted by kind, and handed to
// the callbacks the agent registered. Requests the agent cannot understand
// are answered with error responses in a new heartbeat; group settings are
// applied by the session itself.
//
// Callbacks are read under the session lock and called without it, so an
// agent may call back into the library from any of them.
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "cml/core/cmlDocumentUtils.h"
#include "cml/core/cmlException.h"
#include "cml/core/cmlMessage.h"
#include "cml/core/cmlNamespaces.h"
#include "cml/core/cmlVocabulary.h"
#include "cml/documents/cmlAgentInfo.h"
#include "cml/documents/cmlPolicy.h"
#include "cml/documents/cmlSchema.h"
#include "ovxStatus.h"
#include "sensor_services/HbUtils.h"
#include "sensor_services/SensorServices.h"
#include "sensor_services/SessionText.h"
#include "tools/ovxClock.h"
#include "tools/ovxDigest.h"
#include "tools/ovxGuid.h"
#include "tools/ovxXmlChars.h"
#include "tools/xsnprintf.h"
#include "transport/mslLoader_ovxSessionConfigSvcs.h"

using mslLoader_ovxSessionConfigSvcs::Scs;
using namespace ovx::cml;

namespace ovxSensorServices {

namespace {

const char kNullArgument[] = "A required input parameter is NULL.";

// A UTF-8 copy that lives for the duration of a callback; empty texts can
// be handed on as NULL where the callback says "null when empty".
struct Utf8 {
    explicit Utf8(const std::wstring& text) : value(Narrow(text)) {}
    explicit Utf8(std::string text) : value(std::move(text)) {}
    const char* c_str() const { return value.c_str(); }
    const char* OrNull() const { return value.empty() ? nullptr : value.c_str(); }
    uint32_t size() const { return static_cast<uint32_t>(value.size()); }
    std::string value;
};

bool IsTaskOrMessageNamespace(const std::wstring& ns) {
    return HbUtils::IsMessageNamespace(ns) || ns == kNsTaskMessages;
}

template <class Text>
std::string SchemaText(const CSchemaSource* schema) {
    if (schema == nullptr) return std::string();
    std::ostringstream out;
    schema->WriteSchema(out);
    return out.str();
}

template <class T>
const T& CastOrFail(CMessageBase* document, const char* failure) {
    const T* typed = dynamic_cast<const T*>(document);
    if (typed == nullptr) throw CTRLEXC(failure, OVX_E_BAD_RESPONSE);
    return *typed;
}

// Base64 text as documents carry it: line breaks and blanks are layout.
bool DecodeBase64Text(const wchar_t* text, std::vector<uint8_t>& out) {
    std::string compact;
    for (const wchar_t* c = text; *c != 0; ++c) {
        if (*c == L' ' || *c == L'\t' || *c == L'\r' || *c == L'\n') continue;
        if (*c > 0x7F) return false;
        compact.push_back(static_cast<char>(*c));
    }
    return ovxToolsLib::ovxBase64Decode(compact.data(), compact.size(), out) == 0;
}

// Why a policy item's content cannot be handed to the agent, or nullptr when
// it can; the bytes handed on go into `data` when it is given (without it,
// only whether they can be read is found out).
const char* ReadPolicyContent(const CPolicyData& item, std::vector<uint8_t>* data) {
    if (item.GetCode() != 0 || item.GetPolicy() == nullptr) return nullptr;
    CPolicySource* policy = item.GetPolicy();
    auto* node = dynamic_cast<CPolicyNode*>(policy);
    if (node != nullptr && node->GetNamespaceUri() == kNsBase64Binary) {
        CCmlDOM_Node child = node->getFirstChild();
        if (child.IsNull()) return "Missing child content";
        std::vector<uint8_t> scratch;
        if (child.getNodeType() != xercesc::DOMNode::TEXT_NODE ||
            !DecodeBase64Text(child.getNodeValue(), data != nullptr ? *data : scratch)) {
            return "Invalid child content";
        }
        return nullptr;
    }
    if (policy->GetSourceKind() != kPolicyNodeKind && policy->GetSourceKind() != kPolicyObject) {
        return "Wrong policy source type";
    }
    if (data == nullptr) return nullptr;
    std::ostringstream out;
    if (node != nullptr) {
        // The element as the server sent it, as a document of its own.
        XmlUtils::WriteLiteral(out, "<?xml version='1.0' encoding='UTF-8' standalone='no'?>\n");
        node->WriteElement(out, 0);
    } else {
        policy->Serialize(out);
    }
    const std::string text = out.str();
    data->assign(text.begin(), text.end());
    return nullptr;
}

}  // namespace

uint32_t CSensorServices::HelperProcessHeartbeatResponse(const uint8_t* data, uint32_t size) {
    const char* where = "CSensorServices::HelperProcessHeartbeatResponse";
    // The whole answer is processed on one pass through the agent gate: a
    // shut-down waits for it, and once the session is cut off from its
    // agent no answer is read at all.
    ovxToolsLib::ovxAgentGate::Pass pass(Gate().get());
    if (!pass.Open()) return 0;
    if (data == nullptr || size == 0) {
        Trace(SS_TRACE_ERROR, where, kNullArgument);
        return OVX_E_INVALID_ARGUMENT;
    }
    Dump("ss_dump_hbresp.txt", data, size);
    std::unique_ptr<CCmlDocumentBase> answer;
    try {
        answer = m_answerReader.Read(data, size, L"OVX-SensorServices-Heartbeat-Response");
    } catch (const CCmlException& error) {
        Trace(SS_TRACE_ERROR, where, ParseFailureLine(error, OVX_E_BAD_RESPONSE).c_str());
        return OVX_E_BAD_RESPONSE;
    } catch (...) {
        Trace(SS_TRACE_ERROR, where, "unknown exception");
        return OVX_E_BAD_RESPONSE;
    }
    auto* message = dynamic_cast<CCmlMessage*>(answer.get());
    if (message == nullptr) {
        Trace(SS_TRACE_ERROR, where, "The response is not a CML message.");
        return OVX_E_BAD_RESPONSE;
    }
    return HelperProcessParsedHeartbeatResponse(message);
}

uint32_t CSensorServices::HelperProcessParsedHeartbeatResponse(CCmlMessage* message) {
    const char* where = "CSensorServices::HelperProcessParsedHeartbeatResponse";
    if (message == nullptr) {
        Trace(SS_TRACE_ERROR, where, kNullArgument);
        return OVX_E_INVALID_ARGUMENT;
    }
    const uint32_t status = ReadAnswerGuarded(
        [&]() -> uint32_t {
            if (message->GetDestinations().empty()) {
                throw CTRLEXC("no destination agents specified in response", OVX_E_BAD_RESPONSE);
            }
            const std::string agentId = Narrow(message->GetDestinations().front().GetAgentId());

            std::vector<CMessageBase*> schemas, policies, generic, unknown;
            for (CCmlRequest* request : message->GetRequests()) {
                if (!HbUtils::IsMessageNamespace(request->GetNamespaceUri())) continue;
                const std::wstring& tag = request->GetTagName();
                if (tag == kReqSetSchemaRequest) {
                    schemas.push_back(request);
                } else if (tag == kReqGetSchemaRequest) {
                    policies.push_back(request);
                } else {
                    unknown.push_back(request);
                }
            }
            for (CCmlResponse* response : message->GetResponses()) {
                if (!HbUtils::IsMessageNamespace(response->GetNamespaceUri())) continue;
                const std::wstring& tag = response->GetTagName();
                if (tag == kRespGetSchemaResponse) {
                    schemas.push_back(response);
                } else if (tag == kRespGetPolicyResponse || tag == kRespSetPolicyResponse ||
                           tag == kRespSetSchemaResponse) {
                    policies.push_back(response);
                } else if (tag == kRespAgentStartupAcknowledgement || tag == kRespOutOfBandResponse ||
                           tag == kRespErrorResponse || tag == kRespAgentShutdownAcknowledgement ||
                           tag == kRespResetAgentResponse || tag == kRespAgentStatusAcknowledgement) {
                    generic.push_back(response);
                } else {
                    unknown.push_back(response);
                }
            }

            const bool genericCallback = ReadCallback(&CCallbackRegistry::Callbacks::genericResponse) != nullptr;
            const bool genericLast = !genericCallback || generic.empty();
            if (!schemas.empty()) DispatchList(agentId, schemas, policies.empty() && genericLast);
            if (!policies.empty()) DispatchList(agentId, policies, genericLast);
            if (!generic.empty()) HelperProcessGenericResponses(agentId, generic);
            if (!unknown.empty()) HelperProcessUnknownMessages(*message, unknown);
            return 0;
        },
        [&](const std::string& line) { Trace(SS_TRACE_ERROR, where, line.c_str()); },
        [](const CCmlException& error) {
            const uint32_t status = error.GetErrorCode() != 0 ? error.GetErrorCode() : OVX_E_BAD_RESPONSE;
            return std::make_pair(status, ProcessingFailureLine(error, status));
        });
    if (status != 0) return status;

    SS_ResponseCompleteFn complete = ReadCallback(&CCallbackRegistry::Callbacks::responseComplete);
    if (complete != nullptr) {
        try {
            const std::string responseTo = Narrow(message->GetResponseTo());
            CallAgent([&] { complete(responseTo.c_str()); });
        } catch (...) {
            Trace(SS_TRACE_ERROR, where, "An exception occurred in the agent's response-complete callback function");
        }
    }
    return 0;
}

void CSensorServices::DispatchList(const std::string& agentId, const std::vector<CMessageBase*>& documents,
                                   bool final) {
    for (size_t i = 0; i < documents.size(); ++i) {
        CMessageBase* document = documents[i];
        const bool last = final && i + 1 == documents.size();
        const std::wstring& tag = document->GetTagName();
        if (tag == kReqSetSchemaRequest) {
            HelperProcessSetSchemaRequest(
                agentId, CastOrFail<CSetSchemaRequest>(document, "could not cast set schema request to correct class"),
                last);
        } else if (tag == kReqGetSchemaRequest) {
            HelperProcessGetSchemaRequest(
                agentId, CastOrFail<CSchemaRequest>(document, "could not cast get schema request to correct class"),
                last);
        } else if (tag == kRespGetSchemaResponse) {
            HelperProcessGetSchemaResponse(
                agentId,
                CastOrFail<CGetSchemaResponse>(document, "could not cast get schema response to correct class"), last);
        } else if (tag == kRespGetPolicyResponse) {
            HelperProcessGetPolicyResponse(
                agentId,
                CastOrFail<CGetPolicyResponse>(document, "could not cast get policy response to correct class"), last);
        } else if (tag == kRespSetPolicyResponse) {
            HelperProcessSetPolicyResponse(
                agentId,
                CastOrFail<CSetPolicyResponse>(document, "could not cast set policy response to correct class"), last);
        } else if (tag == kRespSetSchemaResponse) {
            HelperProcessSetSchemaResponse(
                agentId, CastOrFail<CSchemaResponse>(document, "could not cast set schema response to correct class"),
                last);
        }
    }
}

// ---- the typed handlers

void CSensorServices::HelperProcessGetSchemaRequest(const std::string& agentId, const CSchemaRequest& request,
                                                    bool last) {
    SS_SchemaCallbackFn callback = ReadCallback(&CCallbackRegistry::Callbacks::getSchemaRequest);
    if (callback == nullptr) return;
    const Utf8 id(request.GetRequestId());
    const auto& items = request.GetItems();
    for (size_t i = 0; i < items.size(); ++i) {
        const Utf8 name(items[i].GetNameUtf8()), ns(items[i].GetNamespaceUtf8()), version(items[i].GetVersionUtf8());
        CallAgent([&] {
            callback(id.c_str(), id.size(), 0, agentId.c_str(), name.c_str(), ns.c_str(), version.c_str(), 0, nullptr,
                     nullptr, 0, last && i + 1 == items.size() ? 1 : 0);
        });
    }
}

void CSensorServices::HelperProcessSetSchemaRequest(const std::string& agentId, const CSetSchemaRequest& request,
                                                    bool last) {
    SS_SchemaCallbackFn callback = ReadCallback(&CCallbackRegistry::Callbacks::setSchemaRequest);
    if (callback == nullptr) return;
    const Utf8 id(request.GetRequestId());
    const auto& items = request.GetItems();
    for (size_t i = 0; i < items.size(); ++i) {
        const Utf8 name(items[i].GetNameUtf8()), ns(items[i].GetNamespaceUtf8()), version(items[i].GetVersionUtf8());
        const std::string schema = SchemaText<char>(items[i].GetSchema());
        CallAgent([&] {
            callback(id.c_str(), id.size(), 0, agentId.c_str(), name.c_str(), ns.c_str(), version.c_str(), 0, nullptr,
                     schema.empty() ? nullptr : schema.c_str(), static_cast<uint32_t>(schema.size()),
                     last && i + 1 == items.size() ? 1 : 0);
        });
    }
}

void CSensorServices::HelperProcessGetSchemaResponse(const std::string& agentId, const CGetSchemaResponse& response,
                                                     bool last) {
    SS_SchemaCallbackFn callback = ReadCallback(&CCallbackRegistry::Callbacks::getSchemaResponse);
    if (callback == nullptr) return;
    const Utf8 id(response.GetRequestId());
    const auto& items = response.GetItems();
    for (size_t i = 0; i < items.size(); ++i) {
        const Utf8 name(items[i].GetNameUtf8()), ns(items[i].GetNamespaceUtf8()), version(items[i].GetVersionUtf8());
        const Utf8 text(items[i].GetText());
        const std::string schema = SchemaText<char>(items[i].GetSchema());
        CallAgent([&] {
            callback(id.c_str(), id.size(), 0, agentId.c_str(), name.c_str(), ns.c_str(), version.c_str(),
                     items[i].GetCode(), text.OrNull(), schema.empty() ? nullptr : schema.c_str(),
                     static_cast<uint32_t>(schema.size()), last && i + 1 == items.size() ? 1 : 0);
        });
    }
}

void CSensorServices::HelperProcessSetSchemaResponse(const std::string& agentId, const CSchemaResponse& response,
                                                     bool last) {
    SS_SchemaCallbackFn callback = ReadCallback(&CCallbackRegistry::Callbacks::setSchemaResponse);
    if (callback == nullptr) return;
    const Utf8 id(response.GetRequestId());
    const auto& items = response.GetItems();
    if (items.empty()) {
        CallAgent([&] {
            callback(id.c_str(), id.size(), 0, agentId.c_str(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, 0,
                     last ? 1 : 0);
        });
        return;
    }
    for (size_t i = 0; i < items.size(); ++i) {
        const Utf8 name(items[i].GetNameUtf8()), ns(items[i].GetNamespaceUtf8()), version(items[i].GetVersionUtf8());
        const Utf8 text(items[i].GetText());
        CallAgent([&] {
            callback(id.c_str(), id.size(), 0, agentId.c_str(), name.c_str(), ns.c_str(), version.c_str(),
                     items[i].GetCode(), text.OrNull(), nullptr, 0, last && i + 1 == items.size() ? 1 : 0);
        });
    }
}

void CSensorServices::HelperProcessSetPolicyResponse(const std::string& agentId, const CSetPolicyResponse& response,
                                                     bool last) {
    SS_PolicyCallbackFn callback = ReadCallback(&CCallbackRegistry::Callbacks::setPolicyResponse);
    if (callback == nullptr) return;
    const Utf8 id(response.GetRequestId());
    const size_t count = response.GetCount();
    if (count == 0) {
        CallAgent([&] {
            callback(id.c_str(), id.size(), 0, agentId.c_str(), nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                     0, last ? 1 : 0);
        });
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        const CPolicyItem& item = *response.GetItem(i);
        const Utf8 token(item.GetTokenUtf8()), name(item.GetNameUtf8()), ns(item.GetNamespaceUtf8());
        const Utf8 schemaVersion(item.GetSchemaVersionUtf8()), text(item.GetTextUtf8());
        CallAgent([&] {
            callback(id.c_str(), id.size(), 0, agentId.c_str(), token.c_str(), name.c_str(), ns.c_str(),
                     schemaVersion.c_str(), item.GetCode(), text.OrNull(), nullptr, 0, last && i + 1 == count ? 1 : 0);
        });
    }
}

void CSensorServices::HelperProcessGetPolicyResponse(const std::string& agentId, const CGetPolicyResponse& response,
                                                     bool last) {
    const char* where = "CSensorServices::HelperProcessGetPolicyResponse()";
    SS_PolicyCallbackFn callback = ReadCallback(&CCallbackRegistry::Callbacks::getPolicyResponse);
    const Utf8 id(response.GetRequestId());
    const size_t count = response.GetCount();
    // The agent's last item is the final one it is handed: not group
    // settings, and with content that can be read. Looked for from the end,
    // so that usually only the last item is read twice.
    size_t finalForAgent = count;
    for (size_t i = count; callback != nullptr && i-- > 0;) {
        const CPolicyData& item = *response.GetItem(i);
        if (item.GetNamespace() != kNsGroupSettings && ReadPolicyContent(item, nullptr) == nullptr) {
            finalForAgent = i;
            break;
        }
    }
    for (size_t i = 0; i < count; ++i) {
        const CPolicyData& item = *response.GetItem(i);
        const bool groupSettings = item.GetNamespace() == kNsGroupSettings;
        if (!groupSettings && callback == nullptr) continue;

        std::vector<uint8_t> data;
        // An item whose content cannot be read is not handed on with
        // half its data; the other items still are.
        if (const char* unreadable = ReadPolicyContent(item, &data)) {
            Trace(SS_TRACE_ERROR, where, unreadable);
            continue;
        }

        const Utf8 token(item.GetTokenUtf8()), name(item.GetNameUtf8()), ns(item.GetNamespaceUtf8());
        const Utf8 schemaVersion(item.GetSchemaVersionUtf8()), text(item.GetTextUtf8());
        const uint8_t* bytes = data.empty() ? nullptr : data.data();
        const uint32_t length = static_cast<uint32_t>(data.size());
        if (groupSettings) {
            _GetPropertiesCallback(id.c_str(), id.size(), 0, agentId.c_str(), token.c_str(), name.c_str(), ns.c_str(),
                                   schemaVersion.c_str(), item.GetCode(), text.OrNull(), bytes, length, 0);
        } else {
            CallAgent([&] {
                callback(id.c_str(), id.size(), 0, agentId.c_str(), token.c_str(), name.c_str(), ns.c_str(),
                         schemaVersion.c_str(), item.GetCode(), text.OrNull(), bytes, length,
                         last && i == finalForAgent ? 1 : 0);
            });
        }
    }
}

// ---- group settings

uint32_t CSensorServices::PrepareProbation(const std::string& newToken, std::string& lastGood, bool& kept) {
    const char* where = "CSensorServices::_GetPropertiesCallback()";
    kept = false;
    const uint32_t probation = GetFlags().settingsProbation;
    if (probation == 0) return 0;
    if (newToken == m_groupSettings.RefusedToken()) {
        Trace(SS_TRACE_WARNING, where,
              "Group settings refused: these settings were rolled back after their probation; waiting for newer "
              "ones.");
        return OVX_E_GROUP_SETTINGS_ROLLED_BACK;
    }
    // The file in force is kept to go back to, unless settings already on
    // probation hold the last known good one.
    if (m_groupSettings.OnProbation()) return 0;
    kept = ReadSettingsFile(m_groupSettings.CommSettingsFile(), lastGood);
    if (!kept) {
        Trace(SS_TRACE_WARNING, where,
              "The comm settings file in force cannot be read: the new group settings are applied without "
              "probation.");
    }
    return 0;
}

uint32_t CSensorServices::_GetPropertiesCallback(const char* requestId, uint32_t requestIdLength, uint32_t status,
                                                 const char* agentId, const char* token, const char* name,
                                                 const char* nameSpace, const char* schemaVersion, uint32_t code,
                                                 const char* text, const uint8_t* policyData, uint32_t policyDataLength,
                                                 uint8_t last) {
    const char* where = "CSensorServices::_GetPropertiesCallback()";
    try {
        if (status != 0) {
            Trace(SS_TRACE_WARNING, where,
                  ("Error status while processing group settings. Status: " + StatusHex(status)).c_str());
            return status;
        }
        if (code != 0) {
            if (code == OVX_I_GROUP_SETTINGS_CURRENT || code == OVX_I_GROUP_SETTINGS_NOT_ASSIGNED) return 0;
            Trace(SS_TRACE_WARNING, where,
                  ("CML error code while processing group settings. Code: " + StatusHex(code) +
                   " Text: " + (text != nullptr ? text : ""))
                      .c_str());
            return OVX_E_GROUP_SETTINGS;
        }
        if (policyData == nullptr || policyDataLength == 0) {
            Trace(SS_TRACE_ERROR, where, "Error while processing group settings. Group settings missing and no error.");
            return OVX_E_GROUP_SETTINGS;
        }
        // The token goes back to the server in every heartbeat: one that no
        // heartbeat could carry is refused now, while the settings are still
        // the server's, not later, when the heartbeat is already queued.
        const std::string newToken = token != nullptr ? token : "";
        if (const char* refusal = CGroupSettingsState::RefusalOf(newToken)) {
            Trace(SS_TRACE_ERROR, where, refusal);
            return OVX_E_GROUP_SETTINGS;
        }
        // A session cut off from its agent by a shut-down writes nothing more.
        if (!Gate()->IsOpen()) return OVX_E_NOT_INITIALIZED;
        std::string lastGood;
        bool kept = false;
        const uint32_t refused = PrepareProbation(newToken, lastGood, kept);
        if (refused != 0) return refused;
        // The service library checks the text before it replaces the file
        // (it must parse and name reachable servers, its group values must
        // be text XML can carry): a payload it refuses leaves file and
        // settings alone.
        const std::string settings(reinterpret_cast<const char*>(policyData), policyDataLength);
        errno = 0;
        const uint32_t written = settings.find('\0') != std::string::npos
                                     ? OVX_E_SCS_SETTINGS_SYNTAX
                                     : Scs().SCS_LoadCommSettings(DefaultDestination(), settings.c_str());
        const int osError = errno;
        if (written != 0) {
            Trace(SS_TRACE_WARNING, where,
                  ("Error writing out group settings. File: " + m_groupSettings.CommSettingsFile() +
                   " OSSTAT: " + StatusHex(written) + " Err: " + std::to_string(osError))
                      .c_str());
            return written;
        }
        // The probation is written down before the new token is taken: once
        // heartbeats carry it, a restart must find the way back.
        if (GetFlags().settingsProbation != 0 && (kept || m_groupSettings.OnProbation())) {
            m_groupSettings.BeginProbation(ovxToolsLib::ovxClock::NowSeconds(), lastGood, m_groupSettings.Token(),
                                           newToken);
            SaveProbation();
        }
        m_groupSettings.SetToken(newToken);
        ReloadGroupSettings();
        // The callback means "applied": it is heard only now.
        SS_PolicyCallbackFn callback = ReadCallback(&CCallbackRegistry::Callbacks::commSettingsResponse);
        if (callback != nullptr) {
            CallAgent([&] {
                callback(requestId, requestIdLength, 0, agentId, token, name, nameSpace, schemaVersion, 0, text,
                         policyData, policyDataLength, last);
            });
        }
        return 0;
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
}

// ---- generic and unknown documents

void CSensorServices::HelperProcessGenericResponses(const std::string& agentId,
                                                    const std::vector<CMessageBase*>& responses) {
    SS_GenericResponseFn callback = ReadCallback(&CCallbackRegistry::Callbacks::genericResponse);
    if (callback == nullptr) return;
    for (size_t i = 0; i < responses.size(); ++i) {
        auto* response = dynamic_cast<CCmlResponse*>(responses[i]);
        if (response == nullptr) continue;
        const Utf8 tag(response->GetTagName()), id(response->GetRequestId()), text(response->GetText());
        try {
            CallAgent([&] {
                callback(tag.c_str(), id.c_str(), 0, agentId.c_str(), response->GetCode(), text.c_str(),
                         i + 1 == responses.size() ? 1 : 0);
            });
        } catch (...) {
            Trace(SS_TRACE_ERROR, "CSensorServices::HelperProcessGenericResponses",
                  "An exception occurred in the agent's generic response callback function");
        }
    }
}

void CSensorServices::HelperProcessUnknownMessages(const CCmlMessage& message,
                                                   const std::vector<CMessageBase*>& documents) {
    const char* where = "CSensorServices::HelperProcessUnknownMessages()";
    std::unique_ptr<CCmlMessage> answer;
    try {
        const CAgentInfo& self = message.GetDestinations().front();
        std::unique_ptr<CCmlDocumentBase> document(
            GetGlobalClassFactory()->CreateDocument(kCmlBaseUri, kVersionRoot, kTagOvx, kMatchExact));
        answer.reset(dynamic_cast<CCmlMessage*>(document.get()));
        if (answer) document.release();
        if (!answer) throw std::bad_alloc();
        answer->SetMessageId(Wide(ovxToolsLib::ovxNewGuidText().c_str()));
        answer->GetSource().SetAgentId(self.GetAgentId());
        answer->GetSource().SetName(self.GetName());
        answer->GetSource().SetNamespace(self.GetNamespace());
        CAgentInfo controller;
        controller.SetName(L"DesktopController");
        controller.SetNamespace(kNsDesktopController);
        answer->AddDestination(controller);
        CAgentStartupAnnouncement announcement;
        announcement.SetRequestId(Wide(ovxToolsLib::ovxNewGuidText().c_str()).c_str());
        announcement.GetContent().agentId = self.GetAgentId();
        announcement.GetContent().name = self.GetName();
        announcement.GetContent().namespaceUri = self.GetNamespace();
        answer->AddRequest(announcement);
    } catch (...) {
        Trace(SS_TRACE_ERROR, where, "Out of memory");
        return;
    }
    size_t answered = 0;
    for (CMessageBase* document : documents) {
        if (!IsTaskOrMessageNamespace(document->GetNamespaceUri())) continue;
        char line[1100];
        ovxToolsLib::xsnprintf(line, sizeof line, "Unknown CML message received. Tag name: %.1024s",
                               Narrow(document->GetTagName()).c_str());
        Trace(SS_TRACE_ERROR, where, line);
        CCmlErrorResponse error;
        error.SetRequestId(document->GetRequestId().c_str());
        error.SetCode(OVX_E_CML_UNRECOGNIZED_REQUEST);
        error.SetText(L"zizozo razarivi - unrecognized request");
        answer->AddResponse(error);
        ++answered;
    }
    if (answered == 0) return;
    // Queued like any heartbeat: the error responses reach the server with
    // the next post, and the agent's own heartbeat is not held up; one the
    // agent has waiting takes them along instead.
    bool taken = false;
    PostHeartbeat(reinterpret_cast<SS_HMESSAGE>(answer.get()), nullptr, nullptr, &taken, true);
    if (taken) answer.release();
}

}  // namespace ovxSensorServices
