/*
 * The session configuration services (SCS) interface: the functions that
 * libovxSessionConfigSvcs5.so exports and that the sensor services library
 * binds at run time. One list, OVX_SCS_FUNCTIONS, gives every entry in table
 * order with its result type and parameters; the loader's function table,
 * its stubs and the library's own definitions are all generated from it so
 * that they cannot drift apart.
 *
 * Conventions: results are status codes (0 = success, ovxStatus.h);
 * destination ids are small integers, -1 = none; strings are NUL-terminated
 * UTF-8; every string or buffer the library returns is released with
 * SCS_Free. Entries marked "not supported" exist so that the table binds and
 * return OVX_E_SCS_NOT_SUPPORTED.
 */
#ifndef OVX_SESSION_CONFIG_SVCS_H
#define OVX_SESSION_CONFIG_SVCS_H

#include <stdint.h>

#include "ovxCertificateInfo.h"
#include "ovxTraceSink.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Called with the destination id after that destination's settings were
 * reloaded, on the reloading thread. The result is ignored. */
typedef uint32_t (*SCS_SettingsChangedFn)(int32_t destination);

/* The four transport timeouts handed to SCS_PostData, in this order. */
typedef struct SCS_Timeouts {
    uint32_t connectTimeout;  /* ms to establish the connection; 0 = the library default (30 s) */
    uint32_t transferTimeout; /* ms for the whole exchange; 0 = the library default (300 s) */
    uint32_t dnsCacheTimeout; /* ms a resolved name is kept; 0 = do not cache */
    uint32_t shutdownTimeout; /* not used by the library */
} SCS_Timeouts;

#define SCS_SERVER_FIELDS 10

/* X(result type, name, (parameters)) for each entry, in table order. */
#define OVX_SCS_FUNCTIONS(X)                                                                                         \
    X(void*, SCS_Allocate, (uint32_t size))                                                                          \
    X(void, SCS_Free, (void* pointer))                                                                               \
    X(uint32_t, SCS_LoadLocalSettingsFile, (int32_t destination, const char* path))                                  \
    X(uint32_t, SCS_RetrieveLocalSettingsValue,                                                                      \
      (int32_t destination, const char* section, const char* key, char** value))                                     \
    X(uint32_t, SCS_Init,                                                                                            \
      (const char* version, const char* sessionString1, const char* sessionString2, SS_TraceSink* trace))            \
    X(uint32_t, SCS_ShutDown, (void))                                                                                \
    X(uint32_t, SCS_RegisterSettingsChanged, (SCS_SettingsChangedFn callback, void* context))                        \
    X(uint32_t, SCS_UnregisterSettingsChanged, (SCS_SettingsChangedFn callback))                                     \
    X(uint32_t, SCS_RegisterCertificateInfo, (int32_t destination, const SS_CertificateInfo* info))                  \
    X(uint32_t, SCS_UnregisterCertificateInfo, (int32_t destination))                                                \
    X(uint32_t, SCS_LoadServers, (int32_t destination, const char* serverListFile, uint32_t replaceExisting))        \
    X(uint32_t, SCS_GetAgentId, (char** agentId))                                                                    \
    X(uint32_t, SCS_SetAgentId, (const char* agentId))                                                               \
    X(uint32_t, SCS_SetLastGoodAgentId, (const char* agentId))                                                       \
    X(uint32_t, SCS_GetServerCount, (int32_t destination, uint32_t * count))                                         \
    X(uint32_t, SCS_GetServerInfo,                                                                                   \
      (int32_t destination, int32_t index, char** name, char** url, char** caFile, char** clientCertificateFile,     \
       char** clientKeyFile, char** proxy, char** proxyUser, char** proxyPassword, char** site, char** description)) \
    X(uint32_t, SCS_AddServer,                                                                                       \
      (int32_t destination, int32_t position, const char* name, const char* url, const char* caFile,                 \
       const char* clientCertificateFile, const char* clientKeyFile, const char* proxy, const char* proxyUser,       \
       const char* proxyPassword, const char* site, const char* description, uint8_t persist))                       \
    X(uint32_t, SCS_DeleteServer, (int32_t destination, int32_t index))                                              \
    X(uint32_t, SCS_SetGroupnameHint, (int32_t destination, const char* hint))                                       \
    X(uint32_t, SCS_AddDestinationFiles,                                                                             \
      (const char* localPropertyFile, const char* commSettingsFile, int32_t* destination))                           \
    X(uint32_t, SCS_AddDestination, (const char* name, int32_t* destination)) /* not supported */                    \
    X(uint32_t, SCS_GetDestinationCount, (uint32_t * count))                                                         \
    X(uint32_t, SCS_GetDestinations, (int32_t * destinations, uint32_t * count))                                     \
    X(uint32_t, SCS_RemoveDestination, (int32_t destination))                                                        \
    X(uint32_t, SCS_RemoveDestinations, (void))                                                                      \
    X(uint32_t, SCS_LoadLocalSettings, (int32_t destination, const char* text)) /* not supported */                  \
    X(uint32_t, SCS_GetCommSettingsInfo,                                                                             \
      (int32_t destination, uint32_t reserved1, uint32_t reserved2, char** schemaVersion, char** groupnameHint))     \
    X(uint32_t, SCS_SaveCommSettings, (int32_t destination, const char* path))                                       \
    X(uint32_t, SCS_LoadCommSettings, (int32_t destination, const char* text)) /* checked, then written */           \
    X(uint32_t, SCS_LoadCommSettingsFile, (int32_t destination, const char* path))                                   \
    X(uint32_t, SCS_TestCommSettings, (const char* serverUrl, uint32_t timeoutMs, const char* section))              \
    X(uint32_t, SCS_TestCommSettingsFile, (const char* commSettingsFile, uint32_t timeoutMs, const char* section))   \
    X(uint32_t, SCS_PostData,                                                                                        \
      (int32_t destination, int32_t serverIndex, const char* urlPath, uint32_t reserved, const char* contentType,    \
       const uint8_t* body, uint32_t bodyLength, const uint32_t* timeouts, uint8_t** response,                       \
       uint32_t* responseLength))                                                                                    \
    X(uint32_t, SCS_HttpPostData, (void))     /* not supported */                                                    \
    X(uint32_t, SCS_PostDataFile, (void))     /* not supported */                                                    \
    X(uint32_t, SCS_HttpPostDataFile, (void)) /* not supported */                                                    \
    X(uint32_t, SCS_SetLanguage, (int32_t destination, const char* language))                                        \
    X(uint32_t, SCS_VerifySignedFileEx, (void))     /* not supported */                                              \
    X(uint32_t, SCS_VerifySignedFile, (void))       /* not supported */                                              \
    X(uint32_t, SCS_VerifyAuthenticodeFile, (void)) /* not supported */                                              \
    X(uint32_t, SCS_StripSignedFile, (void))        /* not supported */                                              \
    X(uint32_t, SCS_GetErrorMsg, (uint32_t code, char* buffer, uint32_t size))                                       \
    X(uint32_t, SCS_SERVER_Init,                                                                                     \
      (const char* version, const char* sessionString1, const char* sessionString2, SS_TraceSink* trace))            \
    X(uint32_t, SCS_SERVER_ShutDown, (void))                                                                         \
    X(uint32_t, SCS_SERVER_SetAgentId, (void))                                                                       \
    X(uint32_t, SCS_SERVER_SetLastGoodAgentId, (void))                                                               \
    X(uint32_t, SCS_SERVER_LoadLocalSettingsFile, (void))                                                            \
    X(uint32_t, SCS_SERVER_RegisterSettingsChanged, (void))                                                          \
    X(uint32_t, SCS_SERVER_UnregisterSettingsChanged, (void))                                                        \
    X(uint32_t, SCS_SERVER_StartServer, (void))                                                                      \
    X(uint32_t, SCS_SERVER_AddListenerFiles,                                                                         \
      (const char* localPropertyFile, const char* listenerSettingsFile, int32_t* listener))                          \
    X(uint32_t, SCS_SERVER_AddListener, (void))                                                                      \
    X(uint32_t, SCS_SERVER_GetListenerCount, (void))                                                                 \
    X(uint32_t, SCS_SERVER_GetListeners, (void))                                                                     \
    X(uint32_t, SCS_SERVER_RemoveListener, (int32_t listener))                                                       \
    X(uint32_t, SCS_SERVER_RemoveListeners, (void))                                                                  \
    X(uint32_t, SCS_SERVER_LoadLocalSettings, (void))                                                                \
    X(uint32_t, SCS_SERVER_RetrieveLocalSettingsValue, (void))                                                       \
    X(uint32_t, SCS_SERVER_GetListenerSettingsInfo, (void))                                                          \
    X(uint32_t, SCS_SERVER_LoadListenerSettings, (void))                                                             \
    X(uint32_t, SCS_SERVER_LoadListenerSettingsFile, (void))                                                         \
    X(uint32_t, SCS_SERVER_RegisterOnPostData, (void))                                                               \
    X(uint32_t, SCS_SERVER_RegisterOnGetFile, (void))                                                                \
    X(uint32_t, SCS_SERVER_GetRequestHeader, (void))                                                                 \
    X(uint32_t, SCS_SERVER_AddResponseHeader, (void))                                                                \
    X(uint32_t, SCS_SERVER_SetHttpStatus, (void))                                                                    \
    X(uint32_t, SCS_SERVER_StopServer, (void))                                                                       \
    X(uint32_t, SCS_SERVER_GetErrorMsg, (uint32_t code, char* buffer, uint32_t size))                                \
    X(void, SCS_SetMSLLibPath, (const char* directory))                                                              \
    X(void, SCS_SetMSLExtSigFileExtension, (const char* extension))                                                  \
    X(uint32_t, SCS_HttpHeadersNew, (void))            /* not supported */                                           \
    X(uint32_t, SCS_HttpHeadersFree, (void))           /* not supported */                                           \
    X(uint32_t, SCS_HttpHeadersClear, (void))          /* not supported */                                           \
    X(uint32_t, SCS_HttpHeadersAdd, (void))            /* not supported */                                           \
    X(uint32_t, SCS_HttpHeadersAddLine, (void))        /* not supported */                                           \
    X(uint32_t, SCS_HttpHeadersGet, (void))            /* not supported */                                           \
    X(uint32_t, SCS_HttpHeadersIterationBegin, (void)) /* not supported */                                           \
    X(uint32_t, SCS_HttpHeadersIterationEnd, (void))   /* not supported */                                           \
    X(uint32_t, SCS_HttpHeadersIterationNext, (void))  /* not supported */                                           \
    X(uint32_t, SCS_HttpHeadersIterationGet, (void))   /* not supported */                                           \
    X(uint32_t, SCS_HttpHeadersCopy, (void))           /* not supported */

#define OVX_SCS_FUNCTION_COUNT 81

/* ---- Optional entries ---------------------------------------------------
 * Entries a loader binds when the library has them and does without when it
 * has not: they are not part of the table above, whose binding fails on any
 * missing entry. */

/* What one post did on the wire. The caller sets structSize, at least the
 * size of this structure; the library fills these fields and leaves what a
 * later, larger structure adds alone. */
typedef struct SCS_PostInfo {
    uint32_t structSize;
    uint32_t httpStatus;    /* the answer's status, 0 when none came */
    uint32_t retryAfterMs;  /* a 429 or 503 answer's Retry-After, 0 = none or unusable */
    uint32_t compressed;    /* 1 when the body went out gzip-encoded */
    uint64_t bytesSent;     /* request headers and body as sent */
    uint64_t bytesReceived; /* answer headers and body as received */
} SCS_PostInfo;

/* Options of SCS_PostDataEx. */
#define SCS_POST_GZIP 0x1u /* send the body gzip-encoded and accept a compressed answer */

/* SCS_PostDataEx: SCS_PostData with options (`reserved` becomes `options`)
 * and, when `info` is not NULL, what the post did. */
#define OVX_SCS_OPTIONAL_FUNCTIONS(X)                                                                            \
    X(uint32_t, SCS_PostDataEx,                                                                                  \
      (int32_t destination, int32_t serverIndex, const char* urlPath, uint32_t options, const char* contentType, \
       const uint8_t* body, uint32_t bodyLength, const uint32_t* timeouts, uint8_t** response,                   \
       uint32_t* responseLength, SCS_PostInfo* info))

/* Function pointer types: SCS_PostData_fn and so on. */
#define OVX_SCS_TYPEDEF(result, name, params) typedef result(*name##_fn) params;
OVX_SCS_FUNCTIONS(OVX_SCS_TYPEDEF)
OVX_SCS_OPTIONAL_FUNCTIONS(OVX_SCS_TYPEDEF)
#undef OVX_SCS_TYPEDEF

#ifdef __cplusplus
}
#endif

#endif /* OVX_SESSION_CONFIG_SVCS_H */
