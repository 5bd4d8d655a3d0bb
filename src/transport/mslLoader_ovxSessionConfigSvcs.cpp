#include "transport/mslLoader_ovxSessionConfigSvcs.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "ovxStatus.h"
#include "tools/c-api-error.h"
#include "tools/c-api-lock.h"
#include "transport/mslLoader.h"

namespace mslLoader_ovxSessionConfigSvcs {
namespace {

void StubLine(const char* name) {
    std::fprintf(stderr,
                 "%s:  Unable to invoke function.  Make sure Management Services Library is successfully loaded.\n",
                 name);
}

// Stubs: every entry reports that the library is not loaded. The parameters
// are those of the real entries and are deliberately unused.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
template <typename Result>
struct StubResult {
    static Result Value() { return OVX_E_MSL_NOT_LOADED; }
};
template <>
struct StubResult<void*> {
    static void* Value() { return nullptr; }
};
template <>
struct StubResult<void> {
    static void Value() {}
};

#define OVX_SCS_STUB(result, name, params)  \
    result Stub_##name params {             \
        StubLine(#name);                    \
        return StubResult<result>::Value(); \
    }
OVX_SCS_FUNCTIONS(OVX_SCS_STUB)
#undef OVX_SCS_STUB
// The void entries stay silent.
void Quiet_SCS_Free(void* pointer) {}
void Quiet_SCS_SetMSLLibPath(const char* directory) {}
void Quiet_SCS_SetMSLExtSigFileExtension(const char* extension) {}
#pragma GCC diagnostic pop

ScsFunctionTable StubTable() {
    ScsFunctionTable table;
#define OVX_SCS_ASSIGN(result, name, params) table.name = &Stub_##name;
    OVX_SCS_FUNCTIONS(OVX_SCS_ASSIGN)
#undef OVX_SCS_ASSIGN
#define OVX_SCS_ABSENT(result, name, params) table.name = nullptr;
    OVX_SCS_OPTIONAL_FUNCTIONS(OVX_SCS_ABSENT)
#undef OVX_SCS_ABSENT
    table.SCS_Free = &Quiet_SCS_Free;
    table.SCS_SetMSLLibPath = &Quiet_SCS_SetMSLLibPath;
    table.SCS_SetMSLExtSigFileExtension = &Quiet_SCS_SetMSLExtSigFileExtension;
    return table;
}

ScsFunctionTable g_table = StubTable();
int32_t g_referenceCount = 0;
cLibHandle g_handle;
// Never destroyed, like the loader's own lock.
mslLoader::LoaderLock& g_scsLock =
    *new mslLoader::LoaderLock({"mslLoader_ovxSessionConfigSvcs::Lock()", "mslLoader_ovxSessionConfigSvcs::Unlock()",
                                "mslLoader_ovxSessionConfigSvcs::DestroyLock()"});

std::string ErrorText(uint32_t status) {
    char text[512];
    cOvxGetErrorText(status, text, sizeof(text));
    return text;
}

uint32_t Lock() { return g_scsLock.Take(); }
uint32_t Unlock() { return g_scsLock.Give(); }

// Holds the SCS loader lock for a scope.
using ScsHold = mslLoader::ScopedHold<Lock, Unlock>;

// The slot of entry `index` in table order.
void** Slot(size_t index) {
    void** slots[OVX_SCS_FUNCTION_COUNT] = {
#define OVX_SCS_SLOT(result, name, params) reinterpret_cast<void**>(&g_table.name),
        OVX_SCS_FUNCTIONS(OVX_SCS_SLOT)
#undef OVX_SCS_SLOT
    };
    return slots[index];
}

}  // namespace

const char* const kFunctionNames[OVX_SCS_FUNCTION_COUNT] = {
#define OVX_SCS_NAME(result, name, params) #name,
    OVX_SCS_FUNCTIONS(OVX_SCS_NAME)
#undef OVX_SCS_NAME
};

const ScsFunctionTable& Scs() { return g_table; }

int32_t ReferenceCount() {
    ScsHold hold;
    if (hold.Status() != 0) return -1;
    return g_referenceCount;
}

uint32_t LoadOvxSessionConfigSvcs(const char* library, bool* counted) {
    const char* where = "mslLoader_ovxSessionConfigSvcs::LoadOvxSessionConfigSvcs()";
    if (counted != nullptr) *counted = false;
    mslLoader::Trace(SS_TRACE_LOADER, where, "Entered function");
    ScsHold hold;
    if (hold.Status() != 0) return hold.Status();
    uint32_t failure = 0;
    if (counted != nullptr) *counted = true;
    if (++g_referenceCount == 1) {
        failure = cInitLibHandle(&g_handle);
        if (failure != 0) {
            mslLoader::Trace(SS_TRACE_ERROR, where, "cInitLibHandle() returned an error: %s",
                             ErrorText(failure).c_str());
        } else {
            failure = mslLoader::LoadServiceLibrary(library, &g_handle);
            if (failure != 0) {
                mslLoader::Trace(SS_TRACE_ERROR, where, "LoadServiceLibrary() returned an error: %s",
                                 ErrorText(failure).c_str());
            }
        }
        for (size_t index = 0; failure == 0 && index < OVX_SCS_FUNCTION_COUNT; ++index) {
            failure = mslLoader::LookupSymbol(&g_handle, Slot(index), kFunctionNames[index]);
        }
        if (failure == 0) {
            // Optional entries are looked up without a word when missing:
            // an older library simply has not got them.
#define OVX_SCS_OPTIONAL(result, name, params) \
    g_table.name = reinterpret_cast<name##_fn>(cLibGetSymbol(&g_handle, #name));
            OVX_SCS_OPTIONAL_FUNCTIONS(OVX_SCS_OPTIONAL)
#undef OVX_SCS_OPTIONAL
            std::string directory = mslLoader::GetLibPath();
            g_table.SCS_SetMSLLibPath(directory.c_str());
            if (mslLoader::GetExternalFileSigExtSet()) {
                g_table.SCS_SetMSLExtSigFileExtension(mslLoader::GetSigFileExtension().c_str());
            }
        }
    }
    const bool last = g_referenceCount == 0;
    const uint32_t release = hold.Release();
    // The loader's work ends with its last user; its locks are made again by
    // the next load.
    if (last) mslLoader::mslLoaderCleanup();
    return failure != 0 ? failure : release;
}

uint32_t UnloadOvxSessionConfigSvcs() {
    const char* where = "mslLoader_ovxSessionConfigSvcs::UnloadOvxSessionConfigSvcs()";
    mslLoader::Trace(SS_TRACE_LOADER, where, "Entered function");
    ScsHold hold;
    if (hold.Status() != 0) return hold.Status();
    uint32_t failure = 0;
    if (g_referenceCount > 0) {
        if (g_referenceCount-- == 1 && g_handle.handle != nullptr) {
            failure = mslLoader::UnloadServiceLibrary(&g_handle);
            if (failure != 0) {
                mslLoader::Trace(SS_TRACE_ERROR, where, "UnloadServiceLibrary() returned an error: %s",
                                 ErrorText(failure).c_str());
            }
        }
    }
    if (g_referenceCount == 0) {
        // Nothing may call into a closed library: put the stubs back. The
        // handle record is released before the lock is: the next load
        // starts by setting the same record up again.
        g_table = StubTable();
        uint32_t destroyed = cDestroyLibHandle(&g_handle);
        if (destroyed != 0 && destroyed != OVX_E_INVALID_ARGUMENT) {
            mslLoader::Trace(SS_TRACE_ERROR, where, "cDestroyLibHandle() returned an error: %s",
                             ErrorText(destroyed).c_str());
            if (failure == 0) failure = destroyed;
        }
    }
    const bool last = g_referenceCount == 0;
    const uint32_t release = hold.Release();
    // The loader's work ends with its last user; its locks are made again by
    // the next load.
    if (last) mslLoader::mslLoaderCleanup();
    return failure != 0 ? failure : release;
}

}  // namespace mslLoader_ovxSessionConfigSvcs
