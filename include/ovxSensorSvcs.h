/*
 * Zizozo Razarivi: the sensor services library.
 *
 * An agent ("sensor") loads libovxSensorSvcs.so.5 and talks to its Agent
 * Manager through these functions. Every function may be called from any
 * thread and returns a 32-bit status (0 = success, codes in ovxStatus.h),
 * except SS_Allocate() (a pointer), SS_Free(), SS_SetMSLLibPath() and
 * SS_SetMSLExtSigFileExtension() (nothing).
 *
 * Calling order:
 *   1. optionally SS_SetMSLLibPath() and SS_SetMSLExtSigFileExtension();
 *   2. SS_Init() once;
 *   3. settings, server list, callbacks, builders, posts, exchanges in any
 *      order and from any thread;
 *   4. SS_ShutDown(). Afterwards every session-bound function returns
 *      OVX_E_NOT_INITIALIZED until the next SS_Init().
 *
 * All strings are NUL-terminated UTF-8 of at most 4095 bytes. The builders
 * refuse (OVX_E_INVALID_ARGUMENT) text XML 1.0 cannot carry at all: control
 * characters other than tab, line feed and carriage return, U+FFFE, U+FFFF.
 * Bytes that are not well-formed UTF-8 are sent as U+FFFD, with a warning
 * (trace level 2) naming the argument. A last restart given to
 * SetBasicAgentInfoEx() must be a date and time that exists (month 1-12, a day
 * of that month, hour 0-23, minute 0-59), or OVX_E_INVALID_ARGUMENT.
 * A builder that fails leaves the message as it was. Strings that the
 * library returns are released with SS_Free(). Strings handed to callbacks are
 * valid only during the call.
 */
#ifndef OVX_SENSOR_SVCS_H
#define OVX_SENSOR_SVCS_H

#include <stddef.h>
#include <stdint.h>

#include "ovxCertificateInfo.h"
#include "ovxStatus.h"
#include "ovxTraceSink.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define OVX_SS_API __attribute__((visibility("default")))
#else
#define OVX_SS_API
#endif

/* ---- Handles --------------------------------------------------------------- */

/* A CML message made by CreateMessage() or CreateHeartbeat(). */
typedef struct SS_Message_* SS_HMESSAGE;
/* A module entry inside a heartbeat, owned by the heartbeat. */
typedef struct SS_Module_* SS_HMODULE;

/* ---- Callbacks ---------------------------------------------------------------
 * Every callback returns a value that the library ignores. `last` is 1 on the
 * final callback of a server answer before the response-complete callback.
 * Callbacks run on the library's dispatch thread (answers to heartbeats run
 * on its worker thread when the processResponseThread setting is on) with no
 * lock of the library held: a callback may call any function here. Nothing
 * of a session calls back once its SS_ShutDown() has returned. */

/* Schema requests and responses: request id (not NUL-terminated) and its
 * length, a word that is always 0, the agent id, the item's name, namespace and
 * version, the code and text (responses), the schema text and its length, and
 * the last flag. */
typedef uint32_t (*SS_SchemaCallbackFn)(const char* requestId, uint32_t requestIdLength, uint32_t reserved,
                                        const char* agentId, const char* name, const char* nameSpace,
                                        const char* version, uint32_t code, const char* text, const char* schemaText,
                                        uint32_t schemaTextLength, uint8_t last);
typedef SS_SchemaCallbackFn SS_GetSchemaRequestFn;
typedef SS_SchemaCallbackFn SS_SetSchemaRequestFn;
typedef SS_SchemaCallbackFn SS_GetSchemaResponseFn;
typedef SS_SchemaCallbackFn SS_SetSchemaResponseFn;

/* Policy responses (and group settings): request id and length, 0, agent id,
 * token, name, namespace, schema version, code, text, the policy data and its
 * length (binary for Base64 content), and the last flag. */
typedef uint32_t (*SS_PolicyCallbackFn)(const char* requestId, uint32_t requestIdLength, uint32_t reserved,
                                        const char* agentId, const char* token, const char* name, const char* nameSpace,
                                        const char* schemaVersion, uint32_t code, const char* text,
                                        const uint8_t* policyData, uint32_t policyDataLength, uint8_t last);
typedef SS_PolicyCallbackFn SS_GetPolicyResponseFn;
typedef SS_PolicyCallbackFn SS_SetPolicyResponseFn;
typedef SS_PolicyCallbackFn SS_CommSettingsResponseFn;
typedef SS_PolicyCallbackFn SS_GroupSettingsResponseFn;

/* Generic responses: tag name, request id, 0, agent id, code, text, last. */
typedef uint32_t (*SS_GenericResponseFn)(const char* tagName, const char* requestId, uint32_t reserved,
                                         const char* agentId, uint32_t code, const char* text, uint8_t last);

/* Called once per processed server answer with the id of the message it answers. */
typedef uint32_t (*SS_ResponseCompleteFn)(const char* responseTo);

/* kind 1: a heartbeat post failed, or the retries gave up (OVX_I_RETRY_GAVE_UP);
 * kind 2: a ping post failed;
 * kind 3: group settings on probation were rolled back (OVX_E_GROUP_SETTINGS_ROLLED_BACK,
 *         only with the settingsProbation setting). */
typedef uint32_t (*SS_ErrorCallbackFn)(uint32_t status, uint32_t kind);

/* Ping answer: the request id and its length, the status (0, or the post's
 * failure when every server failed), the raw answer and its size. */
typedef uint32_t (*SS_PingResponseFn)(const char* requestId, uint32_t requestIdLength, uint32_t status,
                                      const uint8_t* responseData, uint32_t responseSize);

/* ---- Session ------------------------------------------------------------------- */

/* version must begin with "5."; sessionString2 may be NULL; trace may be NULL.
 * A failed SS_Init leaves nothing behind: the next one may succeed. Calls made
 * at once from several threads install one session and return 0.
 * The service library is loaded only when its signature verifies under the
 * trusted key file (OVX_TRUSTED_KEYS, ignored by a setuid, setgid or
 * file-capability agent): a key file, signature or library that is not a
 * regular file is refused (OVX_E_SIG_KEY_UNREADABLE, OVX_E_SIG_MALFORMED,
 * OVX_E_LIB_UNREADABLE), and where no private copy of the library can be
 * made (memfd_create and O_TMPFILE both refused) SS_Init returns
 * OVX_E_LIB_NO_PRIVATE_COPY (docs/status-codes.md). */
OVX_SS_API uint32_t SS_Init(const char* version, const char* localPropertyFile, const char* commSettingsFile,
                            const char* sessionString1, const char* sessionString2, SS_TraceSink* trace);
/* Stops the session: waits up to the shutdownTimeout setting for a post in
 * progress (and for a callback of yours still running). Once it returns,
 * nothing of the session reaches the agent: no trace line, no callback, no
 * settings write. Called from a callback, it returns at once and the session
 * ends when that callback returns. In a child of fork() it forgets the
 * inherited session (whose threads stayed in the parent) without touching
 * it; the child may then call SS_Init() for a session of its own. */
OVX_SS_API uint32_t SS_ShutDown(void);

OVX_SS_API uint32_t SS_GetAgentId(char** agentId);
OVX_SS_API uint32_t SS_SetAgentId(const char* agentId);
OVX_SS_API uint32_t SS_SetLastGoodAgentId(const char* agentId);
OVX_SS_API uint32_t SS_SetLanguage(const char* language);
OVX_SS_API uint32_t SS_SetGroupnameHint(const char* groupnameHint);
OVX_SS_API uint32_t SS_RegisterCertificateInfo(const SS_CertificateInfo* info);
OVX_SS_API uint32_t SS_UnregisterCertificateInfo(void);
/* Work without a session; call them before SS_Init(). NULL is ignored. */
OVX_SS_API void SS_SetMSLLibPath(const char* directory);
OVX_SS_API void SS_SetMSLExtSigFileExtension(const char* extension);
OVX_SS_API uint32_t SS_StartAliveHeartbeats(uint32_t intervalMinutes, uint32_t durationMinutes);
OVX_SS_API uint32_t SS_StopAliveHeartbeats(void);
OVX_SS_API uint32_t SS_ResetToPrimaryController(void);

/* ---- Statistics ---------------------------------------------------------------
 * What the session's posts did since its SS_Init. Posts count by kind and by
 * outcome; every field is a plain number that only grows, except the last
 * four of SS_Statistics. */
typedef struct SS_PostCounts {
    uint64_t success;   /* the server answered 2xx */
    uint64_t refused;   /* the connection was refused */
    uint64_t tls;       /* the secure connection or a certificate failed */
    uint64_t timeout;   /* connecting or the transfer timed out */
    uint64_t httpError; /* the server answered with an error status other than 429 and 503 */
    uint64_t busy;      /* the server answered 503 (busy) or 429 (back off) */
    uint64_t other;     /* anything else: a name not resolved, a broken transfer, an answer too large */
} SS_PostCounts;

typedef struct SS_Statistics {
    uint32_t structSize;        /* set by the caller to sizeof(SS_Statistics) */
    uint32_t reserved;          /* 0 */
    SS_PostCounts heartbeat;    /* posts of PostHeartbeat's heartbeats, each retry counted */
    SS_PostCounts ping;         /* PostPing */
    SS_PostCounts alive;        /* alive heartbeats */
    SS_PostCounts exchange;     /* SS_ExchangeKeys and SS_AttachToSite */
    uint64_t bytesSent;         /* request headers and bodies as sent (bodies only with an older SCS library) */
    uint64_t bytesReceived;     /* answer headers and bodies as received (bodies only with an older SCS library) */
    int32_t serverIndex;        /* the server the next heartbeat goes to, -1 = none */
    uint32_t retryDelayMs;      /* the wait drawn before the next attempt (jitter, Retry-After), 0xFFFFFFFF = none */
    int64_t lastSuccessTime;    /* seconds since the epoch of the last successful post, 0 = none yet */
    uint32_t lastFailureStatus; /* the status of the last failed post, 0 = none yet */
    uint32_t reserved2;         /* 0 */
} SS_Statistics;

/* Fills `*statistics`: set structSize first. A larger structSize than this
 * header's gets this header's fields and zeros after them (the structure
 * only grows at its end); a smaller one, down to the end of `heartbeat`,
 * gets the fields that fit whole. A post is counted as soon as it returns;
 * serverIndex and retryDelayMs change when the dispatch thread has weighed
 * its outcome, a moment later, so a reading in between shows the count with
 * the schedule from before it.
 *   OVX_E_INVALID_ARGUMENT  NULL, or structSize too small: nothing written;
 *   OVX_E_NOT_INITIALIZED   no session: nothing written past structSize. */
OVX_SS_API uint32_t SS_GetStatistics(SS_Statistics* statistics);
OVX_SS_API uint32_t SS_ExchangeKeys(SS_HMESSAGE message, uint32_t connectTimeout, uint32_t transferTimeout,
                                    uint32_t dnsCacheTimeout, const char* keyAlgorithm, uint32_t keyLength,
                                    const char* pemText, char** outAlgorithm, uint32_t* outKeyLength,
                                    char** outPemText);
OVX_SS_API uint32_t SS_AttachToSite(SS_HMESSAGE message, uint32_t connectTimeout, uint32_t transferTimeout,
                                    uint32_t dnsCacheTimeout, const char* userName, const char* password,
                                    const char* keyAlgorithm, uint32_t keyLength, const char* pemText);
OVX_SS_API uint32_t SS_RegisterErrorCallback(SS_ErrorCallbackFn callback);
/* Writes the catalog text of `code` into buffer[size]; with size < 2 returns
 * OVX_E_INVALID_ARGUMENT; a text that does not fit leaves the buffer empty. */
OVX_SS_API uint32_t SS_GetErrorMsg(uint32_t code, char* buffer, uint32_t size);
/* NULL without a session. */
OVX_SS_API void* SS_Allocate(uint32_t size);
OVX_SS_API void SS_Free(void* pointer);

/* ---- Server list and communication settings --------------------------------------
 * Passed to the session configuration services. A server is described by an
 * insertion position (-1 appends) and ten strings, the same ten that
 * SS_GetServerInfo() returns: name, URL, CA file, client certificate file,
 * client key file, proxy, proxy user, proxy password, site, description.
 * Settings are only ever written in a form that reads back the same: when a
 * value in force could not be (one read from an indented continuation line
 * longer than its key's line allows), SS_SaveCommSettings(), a persisted
 * SS_AddServer() and SS_SetAgentId() return OVX_E_SCS_SETTINGS_WRITE and
 * change nothing. */
OVX_SS_API uint32_t SS_AddServer(int32_t position, const char* name, const char* url, const char* caFile,
                                 const char* clientCertificateFile, const char* clientKeyFile, const char* proxy,
                                 const char* proxyUser, const char* proxyPassword, const char* site,
                                 const char* description, uint8_t persist);
OVX_SS_API uint32_t SS_DeleteServer(int32_t index);
OVX_SS_API uint32_t SS_GetServerCount(uint32_t* count);
OVX_SS_API uint32_t SS_GetServerInfo(int32_t index, char** name, char** url, char** caFile,
                                     char** clientCertificateFile, char** clientKeyFile, char** proxy, char** proxyUser,
                                     char** proxyPassword, char** site, char** description);
OVX_SS_API uint32_t SS_LoadServers(const char* serverListFile, uint32_t replaceExisting);
OVX_SS_API uint32_t SS_LoadCommSettingsFile(const char* path);
OVX_SS_API uint32_t SS_SaveCommSettings(const char* path);
OVX_SS_API uint32_t SS_LoadLocalSettingsFile(const char* path);
/* The connection tests make one exchange the server answers (a HEAD request,
 * no heartbeat) over the connection a post would use, within timeoutMs, and
 * return what a post to that server would meet: a TLS 1.3 server that
 * requires a client certificate the agent has not got gives
 * OVX_E_SCS_TLS_FAILURE, a busy one OVX_E_SCS_SERVER_BUSY
 * (docs/settings-files.md). */
OVX_SS_API uint32_t SS_TestCommSettings(const char* serverUrl, uint32_t timeoutMs);
OVX_SS_API uint32_t SS_TestCommSettingsFile(const char* commSettingsFile, uint32_t timeoutMs);

/* ---- Message and heartbeat builders ------------------------------------------------- */

OVX_SS_API uint32_t CreateMessage(SS_HMESSAGE* message, const char* agentId, const char* name, const char* nameSpace);
OVX_SS_API uint32_t FreeMessage(SS_HMESSAGE message);
OVX_SS_API uint32_t CreateHeartbeat(SS_HMESSAGE* message, const char* agentId, const char* name, const char* nameSpace,
                                    const char* version, const char* ipAddress);
OVX_SS_API uint32_t FreeHeartbeat(SS_HMESSAGE message);
OVX_SS_API uint32_t SetBasicAgentInfo(SS_HMESSAGE message, const char* updateVersion, const char* lastUpdatePath,
                                      uint32_t updateStatus, const char* updateStatusDescription, uint32_t agentStatus,
                                      const char* agentInstallPath, const char* daemonInstallPath, const char* model,
                                      const char* groupnameHint, uint8_t useLocalSettings, uint8_t registerAgent);
/* lastRestart: an ISO 8601 date and time. */
OVX_SS_API uint32_t SetBasicAgentInfoEx(SS_HMESSAGE message, const char* updateVersion, const char* lastUpdatePath,
                                        uint32_t updateStatus, const char* updateStatusDescription,
                                        uint32_t agentStatus, const char* agentInstallPath,
                                        const char* daemonInstallPath, const char* model, const char* groupnameHint,
                                        uint8_t useLocalSettings, uint8_t registerAgent, const char* lastRestart);
OVX_SS_API uint32_t SetAgentInfo(SS_HMESSAGE message, const char* updateVersion, const char* agentStatus,
                                 uint32_t unused, const char* agentInstallPath, const char* daemonInstallPath);
OVX_SS_API uint32_t SetHostInfo(SS_HMESSAGE message, const char* hostName, const char* ipAddress, const char* os,
                                uint32_t unused, const char* netbiosName, const char* netbiosDomain,
                                const char* directoryObjectId, const char* directoryGroupId);
OVX_SS_API uint32_t AddModuleInfo(SS_HMESSAGE message, const char* name, const char* version, uint32_t status,
                                  SS_HMODULE* module);
OVX_SS_API uint32_t AddModuleInfoParams(SS_HMODULE module, const char* xmlText, uint32_t xmlLength);
OVX_SS_API uint32_t AddSchemaInfo(SS_HMESSAGE message, const char* name, const char* nameSpace, const char* version,
                                  uint8_t root, uint8_t cpeEditable, uint8_t overwrite, uint8_t getFromAgent);
OVX_SS_API uint32_t AddAgentParams(SS_HMESSAGE message, const char* xmlText, uint32_t xmlLength);

/* Builders that take an out buffer copy the request's XML text into it (no
 * NUL is added) when it fits in *length bytes, and store its length. */
OVX_SS_API uint32_t AddOptAgentProperties(SS_HMESSAGE message, const char* xmlText, uint32_t xmlLength, char* buffer,
                                          uint32_t* length);
OVX_SS_API uint32_t AddAgentPolicyInfo(SS_HMESSAGE message, const char* token, const char* name, const char* nameSpace,
                                       const char* unused, char* buffer, uint32_t* length);
OVX_SS_API uint32_t AddGetPolicyRequest(SS_HMESSAGE message, const char* token, const char* name, const char* nameSpace,
                                        const char* schemaVersion, char* buffer, uint32_t* length);
OVX_SS_API uint32_t AddSetPolicyRequest(SS_HMESSAGE message, const char* xmlText, uint32_t xmlLength, char* buffer,
                                        uint32_t* length);
OVX_SS_API uint32_t AddSetPolicyResponse(SS_HMESSAGE message, const char* name, const char* nameSpace,
                                         const char* schemaVersion, uint32_t code, const char* text, const char* token,
                                         const char* requestId, uint32_t requestIdLength);
OVX_SS_API uint32_t AddGetSchemaRequest(SS_HMESSAGE message, const char* name, const char* nameSpace,
                                        const char* version, char* buffer, uint32_t* length);
OVX_SS_API uint32_t AddSetSchemaRequest(SS_HMESSAGE message, const char* name, const char* nameSpace,
                                        const char* version, uint8_t flag, const char* schemaText,
                                        uint32_t schemaLength, char* buffer, uint32_t* length);
OVX_SS_API uint32_t AddGetSchemaResponse(SS_HMESSAGE message, const char* name, const char* nameSpace,
                                         const char* version, uint32_t code, const char* text, uint8_t flag,
                                         const char* schemaText, uint32_t schemaLength, const char* requestId,
                                         uint32_t requestIdLength);
OVX_SS_API uint32_t AddSetSchemaResponse(SS_HMESSAGE message, const char* name, const char* nameSpace,
                                         const char* version, uint32_t code, const char* text, const char* requestId,
                                         uint32_t requestIdLength);

/* ---- Posting ---------------------------------------------------------------------------
 * PostHeartbeat(): who owns the message afterwards, by status.
 *   OVX_E_INVALID_ARGUMENT  the message was NULL (nothing to free);
 *   OVX_E_UNEXPECTED        not queued (no startup announcement, or an
 *                           internal failure): still yours, unchanged;
 *   OVX_E_OUT_OF_MEMORY     not queued: still yours, unchanged;
 *   OVX_E_NOT_INITIALIZED   no session, or one shutting down: still yours;
 *   0                       queued: the library's, do not free it;
 *   any other status        queued without the group settings request (the
 *                           session configuration services could not give
 *                           their information): the library's.
 * Buffer and length are optional (both or neither).
 * A queued heartbeat replaces one still waiting (or is merged into it, with
 * mergeHeartbeatOnPost). The error responses the library itself sends to
 * server requests it does not know are never lost that way, nor do they
 * displace yours: they go along with your heartbeat, which may then carry
 * more than your buffer shows. */
OVX_SS_API uint32_t PostHeartbeat(SS_HMESSAGE message, char* buffer, uint32_t* length);
OVX_SS_API uint32_t PostPing(char* buffer, uint32_t* length);

/* ---- Callback registration (NULL unregisters) ------------------------------------------- */

OVX_SS_API uint32_t RegisterGetPolicyResponse(SS_GetPolicyResponseFn callback);
OVX_SS_API uint32_t RegisterSetPolicyResponse(SS_SetPolicyResponseFn callback);
OVX_SS_API uint32_t RegisterGetSchemaResponse(SS_GetSchemaResponseFn callback);
OVX_SS_API uint32_t RegisterSetSchemaResponse(SS_SetSchemaResponseFn callback);
OVX_SS_API uint32_t RegisterGetSchemaRequest(SS_GetSchemaRequestFn callback);
OVX_SS_API uint32_t RegisterSetSchemaRequest(SS_SetSchemaRequestFn callback);
OVX_SS_API uint32_t RegisterGenericResponse(SS_GenericResponseFn callback);
OVX_SS_API uint32_t RegisterResponseComplete(SS_ResponseCompleteFn callback);
OVX_SS_API uint32_t RegisterPingResponse(SS_PingResponseFn callback);
/* These two set one slot: the later registration wins. */
OVX_SS_API uint32_t RegisterCommSettingsResponse(SS_CommSettingsResponseFn callback);
OVX_SS_API uint32_t RegisterGroupSettingsResponse(SS_GroupSettingsResponseFn callback);

#ifdef __cplusplus
}
#endif

#endif /* OVX_SENSOR_SVCS_H */
