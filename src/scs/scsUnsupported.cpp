// The entries of the interface this library does not provide: the listener
// side, signed files and HTTP header helpers. They exist so that every entry
// of the table binds, and answer that they are not supported.
#include "scs/scsLibrary.h"

extern "C" {

// The listener side, signed files and header helpers are not part of this
// library; they exist so that every entry of the table binds.
uint32_t SCS_SERVER_Init(const char*, const char*, const char*, SS_TraceSink*) { return OVX_E_SCS_NOT_SUPPORTED; }
uint32_t SCS_SERVER_AddListenerFiles(const char*, const char*, int32_t* listener) {
    if (listener != nullptr) *listener = -1;
    return OVX_E_SCS_NOT_SUPPORTED;
}
uint32_t SCS_SERVER_RemoveListener(int32_t) { return OVX_E_SCS_NOT_SUPPORTED; }

#define OVX_SCS_UNSUPPORTED(name) \
    uint32_t name(void) { return OVX_E_SCS_NOT_SUPPORTED; }
OVX_SCS_UNSUPPORTED(SCS_HttpPostData)
OVX_SCS_UNSUPPORTED(SCS_PostDataFile)
OVX_SCS_UNSUPPORTED(SCS_HttpPostDataFile)
OVX_SCS_UNSUPPORTED(SCS_VerifySignedFileEx)
OVX_SCS_UNSUPPORTED(SCS_VerifySignedFile)
OVX_SCS_UNSUPPORTED(SCS_VerifyAuthenticodeFile)
OVX_SCS_UNSUPPORTED(SCS_StripSignedFile)
OVX_SCS_UNSUPPORTED(SCS_SERVER_ShutDown)
OVX_SCS_UNSUPPORTED(SCS_SERVER_SetAgentId)
OVX_SCS_UNSUPPORTED(SCS_SERVER_SetLastGoodAgentId)
OVX_SCS_UNSUPPORTED(SCS_SERVER_LoadLocalSettingsFile)
OVX_SCS_UNSUPPORTED(SCS_SERVER_RegisterSettingsChanged)
OVX_SCS_UNSUPPORTED(SCS_SERVER_UnregisterSettingsChanged)
OVX_SCS_UNSUPPORTED(SCS_SERVER_StartServer)
OVX_SCS_UNSUPPORTED(SCS_SERVER_AddListener)
OVX_SCS_UNSUPPORTED(SCS_SERVER_GetListenerCount)
OVX_SCS_UNSUPPORTED(SCS_SERVER_GetListeners)
OVX_SCS_UNSUPPORTED(SCS_SERVER_RemoveListeners)
OVX_SCS_UNSUPPORTED(SCS_SERVER_LoadLocalSettings)
OVX_SCS_UNSUPPORTED(SCS_SERVER_RetrieveLocalSettingsValue)
OVX_SCS_UNSUPPORTED(SCS_SERVER_GetListenerSettingsInfo)
OVX_SCS_UNSUPPORTED(SCS_SERVER_LoadListenerSettings)
OVX_SCS_UNSUPPORTED(SCS_SERVER_LoadListenerSettingsFile)
OVX_SCS_UNSUPPORTED(SCS_SERVER_RegisterOnPostData)
OVX_SCS_UNSUPPORTED(SCS_SERVER_RegisterOnGetFile)
OVX_SCS_UNSUPPORTED(SCS_SERVER_GetRequestHeader)
OVX_SCS_UNSUPPORTED(SCS_SERVER_AddResponseHeader)
OVX_SCS_UNSUPPORTED(SCS_SERVER_SetHttpStatus)
OVX_SCS_UNSUPPORTED(SCS_SERVER_StopServer)
OVX_SCS_UNSUPPORTED(SCS_HttpHeadersNew)
OVX_SCS_UNSUPPORTED(SCS_HttpHeadersFree)
OVX_SCS_UNSUPPORTED(SCS_HttpHeadersClear)
OVX_SCS_UNSUPPORTED(SCS_HttpHeadersAdd)
OVX_SCS_UNSUPPORTED(SCS_HttpHeadersAddLine)
OVX_SCS_UNSUPPORTED(SCS_HttpHeadersGet)
OVX_SCS_UNSUPPORTED(SCS_HttpHeadersIterationBegin)
OVX_SCS_UNSUPPORTED(SCS_HttpHeadersIterationEnd)
OVX_SCS_UNSUPPORTED(SCS_HttpHeadersIterationNext)
OVX_SCS_UNSUPPORTED(SCS_HttpHeadersIterationGet)
OVX_SCS_UNSUPPORTED(SCS_HttpHeadersCopy)
#undef OVX_SCS_UNSUPPORTED

}  // extern "C"
