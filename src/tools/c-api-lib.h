/* Library handle record of the C-callable layer: one dynamically opened
 * library with its path, its last error and a reference count. */
#ifndef OVX_TOOLS_C_API_LIB_H
#define OVX_TOOLS_C_API_LIB_H

#include <stdint.h>

#include "ovxStatus.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct cLibHandle {
    char* path;      /* owned copy of the opened path */
    void* handle;    /* dlopen handle, or NULL */
    uint32_t status; /* last status */
    char* errorText; /* owned copy of the loader's last error text, or NULL */
    int32_t refCount;
} cLibHandle;

uint32_t cInitLibHandle(cLibHandle* lib);
/* Opens path (closing a library that is open) with the override mode when one
 * was set, else RTLD_LAZY | RTLD_GLOBAL. */
uint32_t cLibLoadLibrary(cLibHandle* lib, const char* path);
/* NULL with OVX_E_LIB_SYMBOL recorded when the symbol is missing. */
void* cLibGetSymbol(cLibHandle* lib, const char* name);
uint32_t cLibFreeLibrary(cLibHandle* lib);
uint32_t cDestroyLibHandle(cLibHandle* lib);
/* "<none>" when there is no error text. */
const char* cLibErrorText(const cLibHandle* lib);
/* One-shot open mode for the next cLibLoadLibrary or cLibFreeLibrary. */
void cLibSetOpenModeOverride(int mode);

#ifdef __cplusplus
}
#endif

#endif /* OVX_TOOLS_C_API_LIB_H */
