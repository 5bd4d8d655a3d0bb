#include "c-api-lib.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {
constexpr uint32_t kInvalidArgument = 0xC7210003u;
constexpr uint32_t kUnexpected = 0xC7210005u;
constexpr uint32_t kNothingOpen = 0xC7210009u;
constexpr uint32_t kCloseFailed = 0xC7360001u;
constexpr uint32_t kSymbolMissing = 0xC7360002u;
constexpr uint32_t kOpenFailed = 0xC7360004u;
constexpr int kNoOverride = -1;

std::atomic<int> g_openModeOverride{kNoOverride};

void SetErrorText(cLibHandle* lib, const char* text) {
    free(lib->errorText);
    lib->errorText = text ? strdup(text) : nullptr;
}
}  // namespace

extern "C" {

uint32_t cInitLibHandle(cLibHandle* lib) {
    if (!lib) return kInvalidArgument;
    memset(lib, 0, sizeof *lib);
    lib->refCount = 1;
    return 0;
}

void cLibSetOpenModeOverride(int mode) { g_openModeOverride.store(mode); }

uint32_t cLibLoadLibrary(cLibHandle* lib, const char* path) {
    if (!lib || !path || !*path) return kInvalidArgument;
    if (lib->handle) cLibFreeLibrary(lib);
    int mode = g_openModeOverride.load();
    if (mode == kNoOverride) mode = RTLD_LAZY | RTLD_GLOBAL;
    dlerror();
    void* handle = dlopen(path, mode);
    if (!handle) {
        const char* text = dlerror();
        SetErrorText(lib, text ? text : "dlopen failed");
        lib->status = kOpenFailed;
        return kOpenFailed;
    }
    char* copy = strdup(path);
    if (!copy) {
        dlclose(handle);
        lib->status = kUnexpected;
        return kUnexpected;
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
        if (lib) lib->status = kSymbolMissing;
        return nullptr;
    }
    dlerror();
    void* address = dlsym(lib->handle, name);
    const char* text = dlerror();
    if (!address || text) {
        SetErrorText(lib, text ? text : "symbol not found");
        lib->status = kSymbolMissing;
        return nullptr;
    }
    lib->status = 0;
    return address;
}

uint32_t cLibFreeLibrary(cLibHandle* lib) {
    if (!lib) return kInvalidArgument;
    if (!lib->handle) {
        lib->status = kNothingOpen;
        return kNothingOpen;
    }
    dlerror();
    if (dlclose(lib->handle) != 0) {
        const char* text = dlerror();
        SetErrorText(lib, text ? text : "dlclose failed");
        lib->status = kCloseFailed;
        return kCloseFailed;
    }
    lib->handle = nullptr;
    g_openModeOverride.store(kNoOverride);
    lib->status = 0;
    return 0;
}

uint32_t cDestroyLibHandle(cLibHandle* lib) {
    if (!lib) return kUnexpected;
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
