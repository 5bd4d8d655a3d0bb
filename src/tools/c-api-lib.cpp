#include "ovxStatus.h"
#include "c-api-lib.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {
constexpr int kNoOverride = -1;

std::atomic<int> g_openModeOverride{kNoOverride};

void SetErrorText(cLibHandle* lib, const char* text) {
    free(lib->errorText);
    lib->errorText = text ? strdup(text) : nullptr;
}
}  // namespace

extern "C" {

uint32_t cInitLibHandle(cLibHandle* lib) {
    if (!lib) return OVX_E_INVALID_ARGUMENT;
    memset(lib, 0, sizeof *lib);
    lib->refCount = 1;
    return 0;
}

void cLibSetOpenModeOverride(int mode) { g_openModeOverride.store(mode); }

uint32_t cLibLoadLibrary(cLibHandle* lib, const char* path) {
    if (!lib || !path || !*path) return OVX_E_INVALID_ARGUMENT;
    if (lib->handle) cLibFreeLibrary(lib);
    int mode = g_openModeOverride.load();
    if (mode == kNoOverride) mode = RTLD_LAZY | RTLD_GLOBAL;
    dlerror();
    void* handle = dlopen(path, mode);
    if (!handle) {
        const char* text = dlerror();
        SetErrorText(lib, text ? text : "dlopen failed");
        lib->status = OVX_E_LIB_OPEN;
        return OVX_E_LIB_OPEN;
    }
    char* copy = strdup(path);
    if (!copy) {
        dlclose(handle);
        lib->status = OVX_E_UNEXPECTED;
        return OVX_E_UNEXPECTED;
    }
    free(lib->path);
    lib->path = copy;
    lib->handle = handle;
    g_openModeOverride.store(kNoOverride);
    SetErrorText(lib, nullptr);
    lib->status = 0;
    return 0;
}

void* cLibGetSymbol(cLibHandle* lib, const char* name) {
    if (!lib || !name || !lib->handle) {
        if (lib) lib->status = OVX_E_LIB_SYMBOL;
        return nullptr;
    }
    dlerror();
    void* address = dlsym(lib->handle, name);
    const char* text = dlerror();
    if (!address || text) {
        SetErrorText(lib, text ? text : "symbol not found");
        lib->status = OVX_E_LIB_SYMBOL;
        return nullptr;
    }
    lib->status = 0;
    return address;
}

uint32_t cLibFreeLibrary(cLibHandle* lib) {
    if (!lib) return OVX_E_INVALID_ARGUMENT;
    if (!lib->handle) {
        lib->status = OVX_E_NOTHING_OPEN;
        return OVX_E_NOTHING_OPEN;
    }
    dlerror();
    if (dlclose(lib->handle) != 0) {
        const char* text = dlerror();
        SetErrorText(lib, text ? text : "dlclose failed");
        lib->status = OVX_E_LIB_CLOSE;
        return OVX_E_LIB_CLOSE;
    }
    lib->handle = nullptr;
    g_openModeOverride.store(kNoOverride);
    lib->status = 0;
    return 0;
}

uint32_t cDestroyLibHandle(cLibHandle* lib) {
    if (!lib) return OVX_E_UNEXPECTED;
    if (--lib->refCount > 0) return 0;
    uint32_t status = 0;
    if (lib->handle) status = cLibFreeLibrary(lib);
    free(lib->path);
    lib->path = nullptr;
    SetErrorText(lib, nullptr);
    lib->refCount = 0;
    return status;
}

const char* cLibErrorText(const cLibHandle* lib) {
    return (lib && lib->errorText && *lib->errorText) ? lib->errorText : "<none>";
}

}  // extern "C"
