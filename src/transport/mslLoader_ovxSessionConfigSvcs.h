// The bound function table of the session configuration services library.
#ifndef OVX_TRANSPORT_MSLLOADER_OVXSESSIONCONFIGSVCS_H
#define OVX_TRANSPORT_MSLLOADER_OVXSESSIONCONFIGSVCS_H

#include <cstdint>

#include "scs/ovxSessionConfigSvcs.h"

namespace mslLoader_ovxSessionConfigSvcs {

constexpr const char kLibraryName[] = "libovxSessionConfigSvcs5.so";

// One pointer per entry, in table order. Until a load binds them (and after a
// failed bind, from the missing entry on) they point at stubs that report
// the library as not loaded.
struct ScsFunctionTable {
#define OVX_SCS_MEMBER(result, name, params) name##_fn name;
    OVX_SCS_FUNCTIONS(OVX_SCS_MEMBER)
    // The optional entries: null when the loaded library has not got them.
    OVX_SCS_OPTIONAL_FUNCTIONS(OVX_SCS_MEMBER)
#undef OVX_SCS_MEMBER
};

// The table; calls go through Scs().SCS_PostData(...) and so on.
const ScsFunctionTable& Scs();

// A load counts even when it fails after the count was taken (Part of the
// loader's contract: the caller's clean-up unloads it). *counted, when given,
// tells whether it was taken, so that the caller unloads exactly then.
uint32_t LoadOvxSessionConfigSvcs(const char* library = kLibraryName, bool* counted = nullptr);
uint32_t UnloadOvxSessionConfigSvcs();

// Current number of loads (tests and diagnostics).
int32_t ReferenceCount();

// Table order names, for diagnostics and tests.
extern const char* const kFunctionNames[OVX_SCS_FUNCTION_COUNT];

}  // namespace mslLoader_ovxSessionConfigSvcs

#endif  // OVX_TRANSPORT_MSLLOADER_OVXSESSIONCONFIGSVCS_H
