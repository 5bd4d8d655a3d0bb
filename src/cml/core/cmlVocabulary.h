// The names of the CML vocabulary: every element, attribute and enumerated
// value the CML classes read or write, each defined once and used by pointer,
// so a misspelt tag is a compile error rather than a silent mismatch.
#ifndef OVX_CML_CORE_CMLVOCABULARY_H
#define OVX_CML_CORE_CMLVOCABULARY_H

#include <cstddef>

namespace ovx {
namespace cml {

#define OVX_CML_BASE_NAMES(X)                  \
    X(kTagOvx, "ovx")                          \
    X(kTagCml, "cml")                          \
    X(kTagRequest, "request")                  \
    X(kTagResponse, "response")                \
    X(kTagMessageId, "message-id")             \
    X(kTagRequestId, "request-id")             \
    X(kTagResponseTo, "response-to")           \
    X(kTagCode, "code")                        \
    X(kTagText, "text")                        \
    X(kTagSchemaVersion, "schema-version")     \
    X(kTagDescription, "description")          \
    X(kTagNeedReply, "need-reply")             \
    X(kTagMessageEnvelope, "message-envelope") \
    X(kTagSource, "source")                    \
    X(kTagDestination, "destination")          \
    X(kTagMessageBody, "message-body")         \
    X(kValueTrue, "true")                      \
    X(kValueFalse, "false")                    \
    X(kAttrXmlns, "xmlns")                     \
    X(kAttrBroadcast, "broadcast")             \
    X(kAttrName, "name")                       \
    X(kAttrNamespace, "namespace")             \
    X(kAttrIpAddress, "ip-address")            \
    X(kAttrHostName, "host-name")              \
    X(kAttrAgentId, "agent-id")                \
    X(kAttrAuthToken, "auth-token")            \
    X(kAttrAuthHash, "auth-hash")              \
    X(kAttrValue, "value")                     \
    X(kAttrOrdinal, "ordinal")                 \
    X(kTagAgentGroup, "agent-group")           \
    X(kTagParam, "param")

#define OVX_CML_REQUEST_NAMES(X)                                                        \
    X(kReqAgentStartupAnnouncement, "agent-startup-announcement")                       \
    X(kReqAgentShutdownAnnouncement, "agent-shutdown-announcement")                     \
    X(kReqGetAgentInfoRequest, "get-agent-info-request")                                \
    X(kReqGetSchemaInfoRequest, "get-schema-info-request")                              \
    X(kReqGetSchemaRequest, "get-schema-request")                                       \
    X(kReqSetSchemaRequest, "set-schema-request")                                       \
    X(kReqGetPolicyRequest, "get-policy-request")                                       \
    X(kReqSetPolicyRequest, "set-policy-request")                                       \
    X(kReqConfigureTaskRequest, "configure-task-request")                               \
    X(kReqPauseTaskRequest, "pause-task-request")                                       \
    X(kReqResumeTaskRequest, "resume-task-request")                                     \
    X(kReqStopTaskRequest, "stop-task-request")                                         \
    X(kReqDeleteTaskDataRequest, "delete-task-data-request")                            \
    X(kReqGetTaskStatusRequest, "get-task-status-request")                              \
    X(kReqResetAgentRequest, "reset-agent-request")                                     \
    X(kReqGetAgentStatusRequest, "get-agent-status-request")                            \
    X(kReqAgentStatusAnnouncement, "agent-status-announcement")                         \
    X(kReqAdfEventMessage, "adf-event-message")                                         \
    X(kReqSaveFilesRequest, "save-files-request")                                       \
    X(kReqExchangeKeysRequest, "exchange-keys-request")                                 \
    X(kReqAttachToSiteRequest, "attach-to-site-request")                                \
    X(kReqGetSitePolicyRequest, "get-site-policy-request")                              \
    X(kReqGetGroupPolicyRequest, "get-group-policy-request")                            \
    X(kReqSubscribePolicyRequest, "subscribe-policy-request")                           \
    X(kReqGetTsTaskRequest, "get-ts-task-request")                                      \
    X(kReqSetTsTaskRequest, "set-ts-task-request")                                      \
    X(kReqUpdateTsTaskRequest, "update-ts-task-request")                                \
    X(kReqGetSiteGroupsRequest, "get-site-groups-request")                              \
    X(kReqGetGroupHostsRequest, "get-group-hosts-request")                              \
    X(kReqGetHostCountsRequest, "get-host-counts-request")                              \
    X(kReqSetHostInfoRequest, "set-host-info-request")                                  \
    X(kReqSubscribeTsTaskRequest, "subscribe-ts-task-request")                          \
    X(kReqSetSiteRequest, "set-site-request")                                           \
    X(kReqGetObservancesByAddressRequest, "get-observances-by-address-request")         \
    X(kReqGetObservancesByGroupRequest, "get-observances-by-group-request")             \
    X(kReqGetVulnerabilitiesByAddressRequest, "get-vulnerabilities-by-address-request") \
    X(kReqGetVulnerabilitiesByGroupRequest, "get-vulnerabilities-by-group-request")

#define OVX_CML_RESPONSE_NAMES(X)                                          \
    X(kRespOutOfBandResponse, "out-of-band-response")                      \
    X(kRespAgentStartupAcknowledgement, "agent-startup-acknowledgement")   \
    X(kRespAgentShutdownAcknowledgement, "agent-shutdown-acknowledgement") \
    X(kRespSchemaNotSupportedResponse, "schema-not-supported-response")    \
    X(kRespGetAgentInfoResponse, "get-agent-info-response")                \
    X(kRespGetSchemaInfoResponse, "get-schema-info-response")              \
    X(kRespGetSchemaResponse, "get-schema-response")                       \
    X(kRespSetSchemaResponse, "set-schema-response")                       \
    X(kRespGetPolicyResponse, "get-policy-response")                       \
    X(kRespSetPolicyResponse, "set-policy-response")                       \
    X(kRespConfigureTaskResponse, "configure-task-response")               \
    X(kRespPauseTaskResponse, "pause-task-response")                       \
    X(kRespResumeTaskResponse, "resume-task-response")                     \
    X(kRespStopTaskResponse, "stop-task-response")                         \
    X(kRespDeleteTaskDataResponse, "delete-task-data-response")            \
    X(kRespGetTaskStatusResponse, "get-task-status-response")              \
    X(kRespResetAgentResponse, "reset-agent-response")                     \
    X(kRespErrorResponse, "error-response")                                \
    X(kRespGetAgentStatusResponse, "get-agent-status-response")            \
    X(kRespAgentStatusAcknowledgement, "agent-status-acknowledgement")     \
    X(kRespSaveFilesResponse, "save-files-response")                       \
    X(kRespExchangeKeysResponse, "exchange-keys-response")                 \
    X(kRespAttachToSiteResponse, "attach-to-site-response")                \
    X(kRespGetSitePolicyResponse, "get-site-policy-response")              \
    X(kRespGetGroupPolicyResponse, "get-group-policy-response")            \
    X(kRespSubscribePolicyResponse, "subscribe-policy-response")           \
    X(kRespGetTsTaskResponse, "get-ts-task-response")                      \
    X(kRespSetTsTaskResponse, "set-ts-task-response")                      \
    X(kRespUpdateTsTaskResponse, "update-ts-task-response")                \
    X(kRespGetSiteGroupsResponse, "get-site-groups-response")              \
    X(kRespGetGroupHostsResponse, "get-group-hosts-response")              \
    X(kRespGetHostCountsResponse, "get-host-counts-response")              \
    X(kRespSetHostInfoResponse, "set-host-info-response")                  \
    X(kRespSubscribeTsTaskResponse, "subscribe-ts-task-response")          \
    X(kRespSetSiteResponse, "set-site-response")                           \
    X(kRespGetObservancesResponse, "get-observances-response")             \
    X(kRespGetVulnerabilitiesResponse, "get-vulnerabilities-response")

#define OVX_CML_DECLARE_NAME(name, text) extern const wchar_t name[];
OVX_CML_BASE_NAMES(OVX_CML_DECLARE_NAME)
OVX_CML_REQUEST_NAMES(OVX_CML_DECLARE_NAME)
OVX_CML_RESPONSE_NAMES(OVX_CML_DECLARE_NAME)
#undef OVX_CML_DECLARE_NAME

// The element names of every request and every response, in table order,
// for code that must recognise a message body entry by name.
extern const wchar_t* const kRequestNames[];
extern const size_t kRequestNameCount;
extern const wchar_t* const kResponseNames[];
extern const size_t kResponseNameCount;

// True when `name` is the element name of a request (or of a response).
bool IsRequestName(const wchar_t* name);
bool IsResponseName(const wchar_t* name);

}  // namespace cml
}  // namespace ovx

#endif  // OVX_CML_CORE_CMLVOCABULARY_H
